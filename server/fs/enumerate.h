// Directory enumeration: FPEnumerate, FPEnumerateExt and FPEnumerateExt2.
#pragma once

#include "server/afp/afp_handler.h"

AFP_HANDLER(FPEnumerate);

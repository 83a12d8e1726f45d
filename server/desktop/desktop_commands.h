// Opening and closing a volume's desktop database.
#pragma once

#include "server/afp/afp_handler.h"

AFP_HANDLER(FPOpenDT);
AFP_HANDLER(FPCloseDT);

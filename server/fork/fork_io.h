// Reading and writing open forks: FPRead and FPReadExt, FPWrite and
// FPWriteExt (the writes arrive in DSI Write requests).
#pragma once

#include "server/afp/afp_handler.h"

AFP_HANDLER(FPRead);
AFP_HANDLER(FPWrite);

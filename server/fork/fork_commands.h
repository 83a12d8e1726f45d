// Opening, inspecting, resizing, flushing and closing forks.
#pragma once

#include "server/afp/afp_handler.h"

AFP_HANDLER(FPOpenFork);
AFP_HANDLER(FPCloseFork);
AFP_HANDLER(FPFlushFork);
AFP_HANDLER(FPGetForkParms);
AFP_HANDLER(FPSetForkParms);

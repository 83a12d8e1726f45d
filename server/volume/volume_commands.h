// The volume commands: FPOpenVol, FPGetVolParms, FPFlush, FPCloseVol.
#pragma once

#include "server/afp/afp_handler.h"

AFP_HANDLER(FPOpenVol);
AFP_HANDLER(FPGetVolParms);
AFP_HANDLER(FPFlush);
AFP_HANDLER(FPCloseVol);

// Session-control commands: reconnect tokens (FPGetSessionToken,
// FPDisconnectOldSession) and sleep (FPZzzz).
#pragma once

#include "server/afp/afp_handler.h"

AFP_HANDLER(FPGetSessionToken);
AFP_HANDLER(FPDisconnectOldSession);
AFP_HANDLER(FPZzzz);

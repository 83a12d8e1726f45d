// The Finder's icons in the desktop database.
#pragma once

#include "server/afp/afp_handler.h"

// Reached for code 192, inside DSI Write requests only.
AFP_HANDLER(FPAddIcon);
AFP_HANDLER(FPGetIcon);
AFP_HANDLER(FPGetIconInfo);

// Application mappings in the desktop database: which application opens
// files of a creator. At most one mapping per creator is kept.
#pragma once

#include "server/afp/afp_handler.h"

AFP_HANDLER(FPAddAPPL);
AFP_HANDLER(FPRemoveAPPL);
AFP_HANDLER(FPGetAPPL);

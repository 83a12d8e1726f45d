// Commands that change the shape of a volume or name things in it.
#pragma once

#include "server/afp/afp_handler.h"

AFP_HANDLER(FPCreateDir);
AFP_HANDLER(FPCreateFile);
AFP_HANDLER(FPDelete);
AFP_HANDLER(FPRename);
AFP_HANDLER(FPMoveAndRename);
AFP_HANDLER(FPCopyFile);
AFP_HANDLER(FPCreateID);
AFP_HANDLER(FPMapID);

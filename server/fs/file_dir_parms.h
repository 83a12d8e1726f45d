// Reading and setting the parameters of one file or folder:
// FPGetFileDirParms and FPSetFileDirParms (also as FPSetDirParms and
// FPSetFileParms).
#pragma once

#include "server/afp/afp_handler.h"

AFP_HANDLER(FPGetFileDirParms);
AFP_HANDLER(FPSetFileDirParms);

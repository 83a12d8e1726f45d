// Finder comments: each file or folder keeps its own in the node attribute
// "Afp_Comment" (at most 199 bytes, no length byte, no terminator).
#pragma once

#include "server/afp/afp_handler.h"

AFP_HANDLER(FPAddComment);
AFP_HANDLER(FPRemoveComment);
AFP_HANDLER(FPGetComment);

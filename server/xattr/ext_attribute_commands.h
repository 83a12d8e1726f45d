// Extended attributes of files and folders, one to one with node
// attributes: FPGetExtAttribute, FPSetExtAttribute, FPRemoveExtAttribute,
// FPListExtAttribute.
#pragma once

#include "server/afp/afp_handler.h"

AFP_HANDLER(FPGetExtAttribute);
AFP_HANDLER(FPSetExtAttribute);
AFP_HANDLER(FPRemoveExtAttribute);
AFP_HANDLER(FPListExtAttribute);

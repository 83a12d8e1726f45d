#include "platform/host_name.h"

#include <unistd.h>

status_t GetHostName(std::string* name) {
  char buffer[256] = {};
  if (gethostname(buffer, sizeof(buffer) - 1) != 0 || buffer[0] == '\0') return B_NAME_NOT_FOUND;
  *name = buffer;
  return B_OK;
}

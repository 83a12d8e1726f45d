#include "platform/find_directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace {

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

}  // namespace

status_t FindUserSettingsDirectory(std::string* path) {
  if (const char* own = NonEmptyEnv("CORVANE_SETTINGS_DIR")) {
    *path = own;
  } else if (const char* xdg = NonEmptyEnv("XDG_CONFIG_HOME")) {
    *path = xdg;
  } else if (const char* home = NonEmptyEnv("HOME")) {
    *path = std::string(home) + "/.config";
  } else {
    return B_ENTRY_NOT_FOUND;
  }
  while (path->size() > 1 && path->back() == '/') path->pop_back();
  return B_OK;
}

status_t EnsureDirectory(const std::string& path) {
  if (path.empty()) return B_BAD_VALUE;
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return B_ERROR;
    if (slash == std::string::npos) break;
  }
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? B_OK : B_ERROR;
}

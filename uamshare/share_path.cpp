#include "uamshare/share_path.h"

#include <stdlib.h>
#include <unistd.h>

std::optional<std::string> AbsoluteSharePath(const std::string& given) {
  std::string path = given;
  if (path.empty() || path[0] != '/') {
    char* current = getcwd(nullptr, 0);
    if (current == nullptr) return std::nullopt;
    path = std::string(current) + "/" + path;
    free(current);
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::optional<std::string> RecordedSharePath(const std::string& absolute) {
  const size_t slash = absolute.rfind('/');
  const std::string leaf = absolute.substr(slash + 1);
  const std::string parent = slash == 0 ? "/" : absolute.substr(0, slash);
  const bool leafNamesTheFolder = leaf.empty() || leaf == "." || leaf == "..";
  char* real = realpath(leafNamesTheFolder ? absolute.c_str() : parent.c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string path = real;
  free(real);
  if (!leafNamesTheFolder) path += (path == "/" ? "" : "/") + leaf;
  return path;
}

#include "server/volume/settings_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "platform/find_directory.h"

status_t afpSettingsFilePath(std::string* path) {
  std::string folder;
  const status_t status = FindUserSettingsDirectory(&folder);
  if (status != B_OK) return status;
  *path = folder + "/" + kSettingsFileName;
  return B_OK;
}

status_t afpOpenSettingsFile(BNode* node, bool create) {
  std::string path;
  status_t status = afpSettingsFilePath(&path);
  if (status != B_OK) return status;
  if (create) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
  }
  return node->SetTo(path.c_str());
}

void afpForEachSettingsRecordName(BNode& file, const char* prefix,
                                  const std::function<bool(const char* attributeName)>& visit) {
  char name[B_ATTR_NAME_LENGTH];
  file.RewindAttrs();
  while (file.GetNextAttrName(name) == B_OK) {
    if (std::strstr(name, prefix) != nullptr && !visit(name)) return;
  }
}

bool afpReadSettingsRecord(BNode& file, const char* attributeName, void* buffer, size_t recordSize) {
  std::memset(buffer, 0, recordSize);
  return file.ReadAttr(attributeName, 0, 0, buffer, recordSize) > 0;
}

void afpForEachSettingsRecord(BNode& file, const char* prefix, void* buffer, size_t recordSize,
                              const std::function<bool(const char* attributeName)>& visit) {
  afpForEachSettingsRecordName(file, prefix, [&](const char* name) {
    return !afpReadSettingsRecord(file, name, buffer, recordSize) || visit(name);
  });
}

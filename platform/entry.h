// Facts about entries of the file system by path: identity, kind, size,
// times, owner and permissions, and the file system they live on.
#pragma once

#include <cstdint>

#include "platform/node.h"
#include "platform/status.h"

struct EntryInfo {
  node_ref ref;
  bool isDirectory = false;
  bool isFile = false;
  bool isSymlink = false;
  int64_t size = 0;
  int32_t creationTime = 0;  // birth time where the file system keeps one, else modification time
  int32_t modificationTime = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint32_t mode = 0;  // permission bits
};

// The entry at `path`, not following a final symbolic link.
status_t GetEntryInfo(const char* path, EntryInfo* info);

// The folder that holds the entry at `path` (following links on the way).
status_t GetParentNodeRef(const char* path, node_ref* parent);

struct FileSystemInfo {
  int64_t freeBytes = 0;  // available to unprivileged users
  int64_t capacity = 0;
  bool readOnly = false;
};

status_t GetFileSystemInfo(const char* path, FileSystemInfo* info);

#include "platform/entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <string>

#include "platform/storage_internal.h"

using storage_internal::StatusForErrno;

namespace {

std::string ParentPath(const char* path) {
  std::string parent = path;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const size_t slash = parent.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return parent.substr(0, slash);
}

}  // namespace

status_t GetEntryInfo(const char* path, EntryInfo* info) {
  struct statx details;
  if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &details) != 0)
    return StatusForErrno(errno);
  info->ref.device = static_cast<int32_t>(makedev(details.stx_dev_major, details.stx_dev_minor));
  info->ref.node = static_cast<int64_t>(details.stx_ino);
  info->isDirectory = S_ISDIR(details.stx_mode);
  info->isFile = S_ISREG(details.stx_mode);
  info->isSymlink = S_ISLNK(details.stx_mode);
  info->size = static_cast<int64_t>(details.stx_size);
  info->modificationTime = static_cast<int32_t>(details.stx_mtime.tv_sec);
  info->creationTime = (details.stx_mask & STATX_BTIME) != 0 ? static_cast<int32_t>(details.stx_btime.tv_sec)
                                                             : info->modificationTime;
  info->uid = details.stx_uid;
  info->gid = details.stx_gid;
  info->mode = details.stx_mode & 07777;
  return B_OK;
}

status_t GetParentNodeRef(const char* path, node_ref* parent) {
  struct stat details;
  if (stat(ParentPath(path).c_str(), &details) != 0) return StatusForErrno(errno);
  parent->device = static_cast<int32_t>(details.st_dev);
  parent->node = static_cast<int64_t>(details.st_ino);
  return B_OK;
}

status_t GetFileSystemInfo(const char* path, FileSystemInfo* info) {
  struct statvfs details;
  if (statvfs(path, &details) != 0) return StatusForErrno(errno);
  info->freeBytes = static_cast<int64_t>(details.f_bavail) * static_cast<int64_t>(details.f_frsize);
  info->capacity = static_cast<int64_t>(details.f_blocks) * static_cast<int64_t>(details.f_frsize);
  info->readOnly = (details.f_flag & ST_RDONLY) != 0;
  return B_OK;
}

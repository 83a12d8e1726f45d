// Entries, confined lookups and folders on POSIX calls. Final symbolic links
// are never followed unless a lookup says so; names are converted at the
// file-system boundary (disk_names.cpp).
#include "platform/no_throw.h"
#include "platform/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string_view>

#include "platform/storage_internal.h"
#include "platform/unique_fd.h"

using storage_internal::FindExisting;
using storage_internal::IsSingleDiskName;
using storage_internal::JoinPath;
using storage_internal::kMaxDiskNameLength;
using storage_internal::LookupForms;
using storage_internal::IsAtOrBelow;
using storage_internal::RealPath;
using storage_internal::SplitPath;
using storage_internal::StatusForErrno;

namespace {

constexpr const char* kCreationTimeKey = "crtime";

std::string LastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path elements below `realRoot` of a real path inside it.
std::vector<std::string> ElementsBelow(const std::string& realRoot, const std::string& real) {
  return SplitPath(std::string_view(real).substr(realRoot == "/" ? 0 : realRoot.size()), false);
}

std::string PathOf(const std::string& root, const std::vector<std::string>& elements) {
  std::string path = root;
  for (const std::string& element : elements) path = JoinPath(path, element);
  return path;
}

status_t LookupFailure(int error) { return error == ENOENT || error == ENOTDIR ? B_ENTRY_NOT_FOUND : StatusForErrno(error); }

// The disk form under which `macRomanName` is created or renamed to.
status_t NameForCreation(const std::string& macRomanName, std::string* diskName) {
  *diskName = DiskNameFromMacRoman(macRomanName);
  if (diskName->size() > kMaxDiskNameLength) return B_NAME_TOO_LONG;
  return IsSingleDiskName(*diskName) ? B_OK : B_BAD_VALUE;
}

status_t Rename(const std::string& from, const std::string& to, bool isDirectory) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) return StatusForErrno(errno);
  if (isDirectory) storage_internal::MovedDirectory(from, to);
  return B_OK;
}

}  // namespace

namespace storage_internal {

std::vector<std::string> SplitPath(std::string_view path, bool keepEmpty) {
  std::vector<std::string> elements;
  for (size_t start = 0; start <= path.size();) {
    size_t stop = path.find('/', start);
    if (stop == std::string_view::npos) stop = path.size();
    if (keepEmpty || stop > start) elements.emplace_back(path.substr(start, stop - start));
    start = stop + 1;
  }
  return elements;
}

bool RealPath(const std::string& path, std::string* real) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return false;
  real->assign(resolved);
  free(resolved);
  return true;
}

bool IsAtOrBelow(const std::string& folder, const std::string& path) {
  if (folder == "/") return !path.empty() && path[0] == '/';
  return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == '/');
}

status_t StatusForErrno(int error) {
  switch (error) {
    case EEXIST: return B_FILE_EXISTS;
    case EACCES:
    case EPERM: return B_PERMISSION_DENIED;
    case ENOENT: return B_ENTRY_NOT_FOUND;
    case ENOTEMPTY: return B_DIRECTORY_NOT_EMPTY;
    case ENOTDIR: return B_NOT_A_DIRECTORY;
    case EISDIR: return B_IS_A_DIRECTORY;
    case ENAMETOOLONG: return B_NAME_TOO_LONG;
    case ENOSPC:
    case EDQUOT: return B_DEVICE_FULL;
    case EROFS: return B_READ_ONLY_DEVICE;
    case EINVAL:
    case EFBIG: return B_BAD_VALUE;
    case EXDEV: return B_NOT_ALLOWED;
    case EIO: return B_IO_ERROR;
    case ENOMEM: return B_NO_MEMORY;
    default: return B_ERROR;
  }
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

int FindExisting(int dirFd, const std::string& folder, const std::vector<std::string>& forms, struct stat* facts,
                 int* error) {
  *error = ENOENT;
  for (size_t i = 0; i < forms.size(); i++) {
    const std::string name = folder.empty() ? forms[i] : JoinPath(folder, forms[i]);
    if (fstatat(dirFd, name.c_str(), facts, AT_SYMLINK_NOFOLLOW) == 0) return static_cast<int>(i);
    if (i == 0) *error = errno;
    // A folder that is missing or cannot be searched fails every form alike.
    if (errno == ENOTDIR || errno == EACCES) break;
  }
  return -1;
}

}  // namespace storage_internal

// --- BEntry ---

BEntry::BEntry(std::string diskPath) {
  fPath.reserve(diskPath.size());
  for (const char c : diskPath) {
    if (c == '/' && !fPath.empty() && fPath.back() == '/') continue;
    fPath += c;
  }
  if (fPath.size() > 1 && fPath.back() == '/') fPath.pop_back();
}

bool BEntry::Exists() const {
  struct stat facts;
  return IsSet() && lstat(fPath.c_str(), &facts) == 0;
}

std::string BEntry::Name() const {
  if (fPath == "/") return {};
  return MacRomanNameFromDisk(LastComponent(fPath));
}

BEntry BEntry::Parent() const {
  if (!IsSet()) return {};
  const size_t slash = fPath.rfind('/');
  if (slash == std::string::npos) return BEntry(".");
  return BEntry(slash == 0 ? std::string("/") : fPath.substr(0, slash));
}

BEntry BEntry::Child(const std::string& macRomanName) const {
  if (!IsSet()) return {};
  const std::vector<std::string> forms = LookupForms(macRomanName);
  if (forms.empty()) {
    // Too long to exist: operations on it report that. Anything else that
    // is no single name (".", "..", a "/") gives no entry at all.
    const std::string converted = DiskNameFromMacRoman(macRomanName);
    if (converted.size() > kMaxDiskNameLength && converted.find('/') == std::string::npos &&
        converted.find('\0') == std::string::npos)
      return BEntry(JoinPath(fPath, converted));
    return {};
  }
  struct stat facts;
  int error;
  const int found = forms.size() > 1 ? FindExisting(AT_FDCWD, fPath, forms, &facts, &error) : -1;
  return BEntry(JoinPath(fPath, forms[found >= 0 ? static_cast<size_t>(found) : 0]));
}

status_t BEntry::GetInfo(EntryInfo* info) const {
  if (info == nullptr) return B_BAD_VALUE;
  if (!IsSet()) return B_NO_INIT;
  const status_t status = GetEntryInfo(fPath.c_str(), info);
  if (status != B_OK || info->isSymlink) return status;
  return NoThrow([&] {
    std::string value;
    if (ReadBookkeepingAttrAt(fPath.c_str(), kCreationTimeKey, &value) != B_OK) return B_OK;
    // Decimal seconds as SetCreationTime writes them; anything else is
    // ignored.
    char* end = nullptr;
    errno = 0;
    const long long seconds = value.empty() ? 0 : strtoll(value.c_str(), &end, 10);
    if (!value.empty() && errno == 0 && end == value.c_str() + value.size() && seconds >= INT32_MIN &&
        seconds <= INT32_MAX)
      info->creationTime = static_cast<int32_t>(seconds);
    return B_OK;
  });
}

status_t BEntry::GetNodeRef(node_ref* ref) const {
  if (ref == nullptr) return B_BAD_VALUE;
  if (!IsSet()) return B_NO_INIT;
  struct stat facts;
  if (lstat(fPath.c_str(), &facts) != 0) return StatusForErrno(errno);
  ref->device = static_cast<int32_t>(facts.st_dev);
  ref->node = static_cast<int64_t>(facts.st_ino);
  return B_OK;
}

bool BEntry::IsDirectory() const {
  struct stat facts;
  return IsSet() && lstat(fPath.c_str(), &facts) == 0 && S_ISDIR(facts.st_mode);
}

status_t BEntry::Remove() const {
  if (!IsSet()) return B_NO_INIT;
  if (unlinkat(AT_FDCWD, fPath.c_str(), 0) == 0) return B_OK;
  if (errno != EISDIR) return StatusForErrno(errno);
  return unlinkat(AT_FDCWD, fPath.c_str(), AT_REMOVEDIR) == 0 ? B_OK : StatusForErrno(errno);
}

status_t BEntry::Rename(const std::string& macRomanName, BEntry* renamed) const {
  if (!IsSet()) return B_NO_INIT;
  return NoThrow([&] {
    std::string diskName;
    status_t status = NameForCreation(macRomanName, &diskName);
    if (status != B_OK) return status;
    const std::string to = JoinPath(Parent().fPath, diskName);
    status = ::Rename(fPath, to, IsDirectory());
    if (status == B_OK && renamed != nullptr) *renamed = BEntry(to);
    return status;
  });
}

status_t BEntry::MoveTo(const BEntry& folder, BEntry* moved) const {
  if (!IsSet() || !folder.IsSet()) return B_NO_INIT;
  return NoThrow([&] {
    const std::string to = JoinPath(folder.fPath, LastComponent(fPath));
    const status_t status = ::Rename(fPath, to, IsDirectory());
    if (status == B_OK && moved != nullptr) *moved = BEntry(to);
    return status;
  });
}

status_t BEntry::SetCreationTime(int32_t seconds) const {
  if (!IsSet()) return B_NO_INIT;
  return NoThrow([&] {
    BNode node(fPath.c_str());
    const status_t status = node.InitCheck();
    return status == B_OK ? node.WriteBookkeepingAttr(kCreationTimeKey, std::to_string(seconds)) : status;
  });
}

status_t BEntry::SetModificationTime(int32_t seconds) const {
  if (!IsSet()) return B_NO_INIT;
  const struct timespec times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
  return utimensat(AT_FDCWD, fPath.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? B_OK : StatusForErrno(errno);
}

status_t BEntry::SetOwner(uint32_t uid) const {
  if (!IsSet()) return B_NO_INIT;
  return fchownat(AT_FDCWD, fPath.c_str(), uid, static_cast<gid_t>(-1), AT_SYMLINK_NOFOLLOW) == 0
             ? B_OK
             : StatusForErrno(errno);
}

status_t BEntry::SetGroup(uint32_t gid) const {
  if (!IsSet()) return B_NO_INIT;
  return fchownat(AT_FDCWD, fPath.c_str(), static_cast<uid_t>(-1), gid, AT_SYMLINK_NOFOLLOW) == 0
             ? B_OK
             : StatusForErrno(errno);
}

status_t BEntry::SetPermissions(uint32_t mode) const {
  if (!IsSet()) return B_NO_INIT;
  // Through a descriptor of the entry itself, so that a link swapped in
  // meanwhile is not followed; links have no permissions of their own.
  const UniqueFd fd(open(fPath.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (fd.Get() < 0) return StatusForErrno(errno);
  struct stat facts;
  if (fstat(fd.Get(), &facts) != 0) return StatusForErrno(errno);
  if (S_ISLNK(facts.st_mode)) return B_NOT_ALLOWED;
  char procPath[40];
  snprintf(procPath, sizeof(procPath), "/proc/self/fd/%d", fd.Get());
  return chmod(procPath, mode & 07777) == 0 ? B_OK : StatusForErrno(errno);
}

bool BEntry::SameNodeAs(const BEntry& other) const {
  struct stat mine;
  struct stat theirs;
  return IsSet() && other.IsSet() && lstat(fPath.c_str(), &mine) == 0 && lstat(other.fPath.c_str(), &theirs) == 0 &&
         mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

// --- Confined lookups ---

bool IsInside(const BEntry& root, const BEntry& entry) {
  if (!root.IsSet() || !entry.IsSet()) return false;
  try {
    std::string realRoot;
    std::string real;
    if (!RealPath(root.DiskPath(), &realRoot)) return false;
    if (!RealPath(entry.DiskPath(), &real)) {
      // An entry still to be created is judged by the folder that would hold
      // it; a link that leads nowhere is not inside anything.
      struct stat facts;
      if (errno != ENOENT || lstat(entry.DiskPath().c_str(), &facts) == 0 ||
          !RealPath(entry.Parent().DiskPath(), &real))
        return false;
      const std::string name = LastComponent(entry.DiskPath());
      if (name == "." || name == "..") return false;
      real = JoinPath(real, name);
    }
    return IsAtOrBelow(realRoot, real);
  } catch (...) {
    return false;
  }
}

status_t ResolveConfined(const BEntry& root, const BEntry& base, const std::string& path, bool traverse,
                         bool mayNotExist, BEntry* out) {
  if (out == nullptr) return B_BAD_VALUE;
  if (!root.IsSet() || !base.IsSet()) return B_ENTRY_NOT_FOUND;
  return NoThrow([&]() -> status_t {
    std::string realRoot;
    std::string realBase;
    if (!RealPath(root.DiskPath(), &realRoot) || !RealPath(base.DiskPath(), &realBase) ||
        !IsAtOrBelow(realRoot, realBase))
      return B_ENTRY_NOT_FOUND;

    // Where the walk is, as folders below the root (never a link), so that
    // ".." is the real parent and the root is always known.
    std::vector<std::string> at = ElementsBelow(realRoot, realBase);
    std::vector<std::string> elements = SplitPath(path, false);

    // Follows the link at `linkPath` when it ends inside the root, making
    // its target the place of the walk.
    const auto follow = [&](const std::string& linkPath, bool mustBeFolder) -> status_t {
      std::string real;
      struct stat facts;
      if (!RealPath(linkPath, &real) || !IsAtOrBelow(realRoot, real)) return B_ENTRY_NOT_FOUND;
      if (mustBeFolder && (stat(real.c_str(), &facts) != 0 || !S_ISDIR(facts.st_mode))) return B_ENTRY_NOT_FOUND;
      at = ElementsBelow(realRoot, real);
      return B_OK;
    };

    std::string current = PathOf(root.DiskPath(), at);
    for (size_t i = 0; i < elements.size(); i++) {
      const std::string& element = elements[i];
      const bool last = i + 1 == elements.size();
      if (element == ".") continue;
      if (element == "..") {
        if (at.empty()) return B_ENTRY_NOT_FOUND;  // the root's parent is the caller's business
        at.pop_back();
        current = PathOf(root.DiskPath(), at);
        continue;
      }
      const std::vector<std::string> forms = LookupForms(element);
      struct stat facts;
      int error = ENOENT;
      const int found = forms.empty() ? -1 : FindExisting(AT_FDCWD, current, forms, &facts, &error);
      if (found < 0) {
        if (!last || !mayNotExist) return LookupFailure(error);
        if (error != ENOENT) return LookupFailure(error);
        std::string diskName;
        const status_t status = NameForCreation(element, &diskName);
        if (status != B_OK) return status;
        *out = BEntry(JoinPath(current, diskName));
        return B_OK;
      }
      const std::string name = forms[static_cast<size_t>(found)];
      const std::string entryPath = JoinPath(current, name);
      if (S_ISLNK(facts.st_mode) && (!last || traverse)) {
        const status_t status = follow(entryPath, !last);
        if (status != B_OK) return status;
        const std::string target = PathOf(root.DiskPath(), at);
        if (last) {
          *out = BEntry(target);
          return B_OK;
        }
        current = target;
        continue;
      }
      if (last) {
        *out = BEntry(entryPath);
        return B_OK;
      }
      if (!S_ISDIR(facts.st_mode)) return B_ENTRY_NOT_FOUND;
      at.push_back(name);
      current = entryPath;
    }
    *out = BEntry(current);
    return B_OK;
  });
}

// --- BDirectory ---

status_t BDirectory::SetTo(const BEntry& folder) {
  fFolder = folder;
  Rewind();
  return fStatus;
}

void BDirectory::Rewind() {
  fNames.clear();
  fNext = 0;
  if (!fFolder.IsSet()) {
    fStatus = B_NO_INIT;
    return;
  }
  fStatus = NoThrow([&]() -> status_t {
    UniqueFd fd(open(fFolder.DiskPath().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.Get() < 0) return errno == ELOOP ? B_NOT_A_DIRECTORY : StatusForErrno(errno);
    const UniqueDir folder = OpenFolderStream(fd);
    if (!folder) return StatusForErrno(errno);
    for (;;) {
      errno = 0;
      const dirent* entry = readdir(folder.get());
      if (entry == nullptr) return errno != 0 ? StatusForErrno(errno) : B_OK;
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      fNames.emplace_back(entry->d_name);
    }
  });
  if (fStatus != B_OK) fNames.clear();
}

status_t BDirectory::GetNextEntry(BEntry* entry) {
  if (entry == nullptr) return B_BAD_VALUE;
  if (fStatus != B_OK) return fStatus;
  if (fNext >= fNames.size()) return B_ENTRY_NOT_FOUND;
  return NoThrow([&] {
    *entry = BEntry(JoinPath(fFolder.DiskPath(), fNames[fNext]));
    fNext++;
    return B_OK;
  });
}

int32_t BDirectory::CountEntries() {
  if (fStatus != B_OK) return 0;
  return static_cast<int32_t>(std::min<size_t>(fNames.size(), INT32_MAX));
}

std::string BDirectory::ChangeToken() const {
  struct stat facts;
  if (!fFolder.IsSet() || lstat(fFolder.DiskPath().c_str(), &facts) != 0) return {};
  char token[128];
  snprintf(token, sizeof(token), "%llu:%llu:%lld.%09ld:%lld.%09ld", static_cast<unsigned long long>(facts.st_dev),
           static_cast<unsigned long long>(facts.st_ino), static_cast<long long>(facts.st_mtim.tv_sec),
           facts.st_mtim.tv_nsec, static_cast<long long>(facts.st_ctim.tv_sec), facts.st_ctim.tv_nsec);
  return token;
}

namespace {

// Walks the folders of a relative Mac Roman path ("Archive/2024") from
// `folder` without following links, up to the last element: the folder that
// will hold it (a descriptor and its path) and the last element's disk name.
status_t OpenHolder(const BEntry& folder, const std::string& macRomanPath, UniqueFd* holder, std::string* holderPath,
                    std::string* diskName) {
  const std::vector<std::string> elements = SplitPath(macRomanPath, true);
  for (const std::string& element : elements)
    if (element.empty() || element == "." || element == "..") return B_BAD_VALUE;

  holder->Reset(open(folder.DiskPath().c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (holder->Get() < 0) return errno == ELOOP ? B_NOT_A_DIRECTORY : StatusForErrno(errno);
  *holderPath = folder.DiskPath();
  for (size_t i = 0; i + 1 < elements.size(); i++) {
    const std::vector<std::string> forms = LookupForms(elements[i]);
    struct stat facts;
    int error = ENOENT;
    const int found = forms.empty() ? -1 : FindExisting(holder->Get(), std::string(), forms, &facts, &error);
    if (found < 0) return StatusForErrno(error);
    if (!S_ISDIR(facts.st_mode)) return B_NOT_A_DIRECTORY;
    const std::string& name = forms[static_cast<size_t>(found)];
    const int next = openat(holder->Get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return errno == ELOOP ? B_NOT_A_DIRECTORY : StatusForErrno(errno);
    holder->Reset(next);
    *holderPath = JoinPath(*holderPath, name);
  }
  return NameForCreation(elements.back(), diskName);
}

}  // namespace

status_t BDirectory::CreateDirectory(const std::string& macRomanName, BEntry* created) {
  // A folder that cannot be listed (a drop box) can still take new entries:
  // only the path counts here.
  if (!fFolder.IsSet()) return B_NO_INIT;
  return NoThrow([&] {
    UniqueFd holder(-1);
    std::string holderPath;
    std::string diskName;
    status_t status = OpenHolder(fFolder, macRomanName, &holder, &holderPath, &diskName);
    if (status != B_OK) return status;
    if (mkdirat(holder.Get(), diskName.c_str(), 0777) != 0) return StatusForErrno(errno);
    const BEntry folder(JoinPath(holderPath, diskName));
    RememberDirectory(folder);
    if (created != nullptr) *created = folder;
    return B_OK;
  });
}

status_t BDirectory::CreateFile(const std::string& macRomanName, bool failIfExists, BEntry* created) {
  if (!fFolder.IsSet()) return B_NO_INIT;
  return NoThrow([&] {
    UniqueFd holder(-1);
    std::string holderPath;
    std::string diskName;
    status_t status = OpenHolder(fFolder, macRomanName, &holder, &holderPath, &diskName);
    if (status != B_OK) return status;
    constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    UniqueFd file(openat(holder.Get(), diskName.c_str(), kFlags | O_CREAT | O_EXCL, 0666));
    if (file.Get() < 0) {
      if (errno != EEXIST || failIfExists) return StatusForErrno(errno);
      // Taken: only a plain file is emptied (its attributes stay); a
      // folder, link or anything else is left alone.
      struct stat facts;
      if (fstatat(holder.Get(), diskName.c_str(), &facts, AT_SYMLINK_NOFOLLOW) != 0) return StatusForErrno(errno);
      if (S_ISDIR(facts.st_mode)) return B_IS_A_DIRECTORY;
      if (!S_ISREG(facts.st_mode)) return B_FILE_EXISTS;
      file.Reset(openat(holder.Get(), diskName.c_str(), kFlags | O_TRUNC));
      if (file.Get() < 0) return errno == ELOOP || errno == ENXIO ? B_FILE_EXISTS : StatusForErrno(errno);
    }
    if (created != nullptr) *created = BEntry(JoinPath(holderPath, diskName));
    return B_OK;
  });
}

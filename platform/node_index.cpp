// Folders by node number: a process-wide index inode -> path per device,
// checked on use and refilled by a breadth-first search of the shared
// folder when it misses.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/directory.h"
#include "platform/storage_internal.h"
#include "platform/unique_fd.h"

using storage_internal::IsAtOrBelow;
using storage_internal::JoinPath;
using storage_internal::RealPath;

namespace {

// Past this many paths the index starts over: a bound on memory (roughly
// 100-200 bytes a folder), refilled by the next searches.
constexpr size_t kMaxRemembered = 1 << 20;

class Index {
 public:
  std::string Find(const node_ref& ref) {
    std::lock_guard<std::mutex> lock(fMutex);
    const auto device = fByDevice.find(ref.device);
    if (device == fByDevice.end()) return {};
    const auto found = device->second.find(ref.node);
    return found == device->second.end() ? std::string() : found->second;
  }

  void Remember(const std::vector<std::pair<node_ref, std::string>>& folders) {
    std::lock_guard<std::mutex> lock(fMutex);
    for (const auto& [ref, path] : folders) _Remember(ref, path);
  }

  void Remember(const node_ref& ref, const std::string& path) {
    std::lock_guard<std::mutex> lock(fMutex);
    _Remember(ref, path);
  }

  void Forget(const node_ref& ref, const std::string& path) {
    std::lock_guard<std::mutex> lock(fMutex);
    const auto device = fByDevice.find(ref.device);
    if (device == fByDevice.end()) return;
    const auto found = device->second.find(ref.node);
    if (found != device->second.end() && found->second == path) {
      device->second.erase(found);
      fCount--;
    }
  }

  // Every path at or below `from` now starts with `to`.
  void Moved(const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> lock(fMutex);
    for (auto& [device, paths] : fByDevice) {
      for (auto& [node, path] : paths) {
        if (IsAtOrBelow(from, path)) path = to + path.substr(from.size());
      }
    }
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(fMutex);
    fByDevice.clear();
    fCount = 0;
  }

 private:
  void _Remember(const node_ref& ref, const std::string& path) {
    if (fCount >= kMaxRemembered) {
      fByDevice.clear();
      fCount = 0;
    }
    auto [it, inserted] = fByDevice[ref.device].insert_or_assign(ref.node, path);
    if (inserted) fCount++;
  }

  std::mutex fMutex;
  std::unordered_map<int32_t, std::unordered_map<int64_t, std::string>> fByDevice;
  size_t fCount = 0;
};

Index& TheIndex() {
  // Never destroyed: threads may still look things up while the process exits.
  static Index* index = new Index;
  return *index;
}

node_ref RefOf(const struct stat& facts) {
  return node_ref{static_cast<int32_t>(facts.st_dev), static_cast<int64_t>(facts.st_ino)};
}

// `path`, when it is still the folder `ref` and lies inside the folder whose
// real path is `realRoot`, spelled from `rootPath`; empty otherwise.
// `*elsewhere` tells a folder that exists but lies outside.
std::string Confirm(const std::string& path, const node_ref& ref, const std::string& rootPath,
                    const std::string& realRoot, bool* elsewhere) {
  *elsewhere = false;
  struct stat facts;
  if (lstat(path.c_str(), &facts) != 0 || !S_ISDIR(facts.st_mode) || !(RefOf(facts) == ref)) return {};
  std::string real;
  if (!RealPath(path, &real)) return {};
  if (realRoot == "/") return real;
  if (!IsAtOrBelow(realRoot, real)) {
    *elsewhere = true;
    return {};
  }
  return rootPath + real.substr(realRoot.size());
}

// Breadth-first search of `rootPath` for the folder `ref`, not following
// links, remembering every folder it sees. Empty when it is not there.
std::string Search(const node_ref& ref, const std::string& rootPath) {
  std::deque<std::string> pending{rootPath};
  std::vector<std::pair<node_ref, std::string>> seen;
  bool first = true;
  while (!pending.empty()) {
    const std::string folderPath = std::move(pending.front());
    pending.pop_front();
    // The root may be reached through a link; nothing below it is.
    UniqueFd fd(open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (first ? 0 : O_NOFOLLOW)));
    first = false;
    struct stat facts;
    if (fd.Get() < 0 || fstat(fd.Get(), &facts) != 0) continue;
    const node_ref folderRef = RefOf(facts);
    seen.clear();
    seen.emplace_back(folderRef, folderPath);
    if (folderRef == ref) {
      TheIndex().Remember(seen);
      return folderPath;
    }
    const UniqueDir folder = OpenFolderStream(fd);
    if (!folder) continue;
    std::string match;
    while (const dirent* entry = readdir(folder.get())) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      unsigned char type = entry->d_type;
      struct stat child;
      bool statted = false;
      if (type == DT_UNKNOWN) {
        if (fstatat(dirfd(folder.get()), entry->d_name, &child, AT_SYMLINK_NOFOLLOW) != 0) continue;
        type = S_ISDIR(child.st_mode) ? DT_DIR : DT_REG;
        statted = true;
      }
      if (type != DT_DIR) continue;
      std::string childPath = JoinPath(folderPath, entry->d_name);
      // A mount point's d_ino is the covered folder's: confirm a likely match
      // by its own facts. Others are remembered by what readdir says, and
      // checked on use like everything in the index.
      if (static_cast<int64_t>(entry->d_ino) == ref.node && !statted)
        statted = fstatat(dirfd(folder.get()), entry->d_name, &child, AT_SYMLINK_NOFOLLOW) == 0;
      const node_ref childRef = statted ? RefOf(child)
                                        : node_ref{folderRef.device, static_cast<int64_t>(entry->d_ino)};
      seen.emplace_back(childRef, childPath);
      if (statted && S_ISDIR(child.st_mode) && childRef == ref) {
        match = std::move(childPath);
        break;
      }
      pending.push_back(std::move(childPath));
    }
    TheIndex().Remember(seen);
    if (!match.empty()) return match;
  }
  return {};
}

}  // namespace

status_t FindDirectoryByNode(const node_ref& ref, const BEntry& searchRoot, BEntry* folder) {
  if (folder == nullptr) return B_BAD_VALUE;
  if (!searchRoot.IsSet()) return B_ENTRY_NOT_FOUND;
  try {
    std::string realRoot;
    if (!RealPath(searchRoot.DiskPath(), &realRoot)) return B_ENTRY_NOT_FOUND;
    const std::string& rootPath = searchRoot.DiskPath();
    const std::string remembered = TheIndex().Find(ref);
    if (!remembered.empty()) {
      bool elsewhere = false;
      const std::string path = Confirm(remembered, ref, rootPath, realRoot, &elsewhere);
      if (!path.empty()) {
        *folder = BEntry(path);
        return B_OK;
      }
      // A folder has one place: found outside, it is not inside.
      if (elsewhere) return B_ENTRY_NOT_FOUND;
      TheIndex().Forget(ref, remembered);
    }
    const std::string found = Search(ref, rootPath);
    if (found.empty()) return B_ENTRY_NOT_FOUND;
    // Checked like a remembered path: the search saw it, but the folder may
    // have moved since.
    bool elsewhere = false;
    const std::string path = Confirm(found, ref, rootPath, realRoot, &elsewhere);
    if (path.empty()) return B_ENTRY_NOT_FOUND;
    *folder = BEntry(path);
    return B_OK;
  } catch (...) {
    return B_NO_MEMORY;
  }
}

void RememberDirectory(const BEntry& folder) {
  struct stat facts;
  if (!folder.IsSet() || lstat(folder.DiskPath().c_str(), &facts) != 0 || !S_ISDIR(facts.st_mode)) return;
  try {
    TheIndex().Remember(RefOf(facts), folder.DiskPath());
  } catch (...) {
    // Only a hint: a lookup searches when it misses.
  }
}

void ForgetRememberedDirectoriesForTesting() { TheIndex().Clear(); }

namespace storage_internal {

void MovedDirectory(const std::string& from, const std::string& to) {
  try {
    TheIndex().Moved(from, to);
  } catch (...) {
    // The stale paths fail their check and are searched again.
  }
}

}  // namespace storage_internal

#include "platform/node.h"

#include "platform/no_throw.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>

#include "platform/attribute_store.h"

using attribute_store::Container;
using attribute_store::FileLock;
using attribute_store::Entry;
using attribute_store::NodeIdentity;
using attribute_store::StatusFromErrno;

namespace {

constexpr std::string_view kUserPrefix = "user.";
constexpr std::string_view kBookkeepingPrefix = "corvane.";  // after "user."
constexpr const char* kIdAttribute = "user.corvane.overflow";
constexpr const char* kIdKey = "overflow";
constexpr size_t kMaxNameLength = B_ATTR_NAME_LENGTH - 1;
constexpr size_t kXattrNameMax = 255;    // the kernel's limit, prefix included
constexpr size_t kXattrSizeMax = 65536;  // the kernel's limit for one value

bool IsBookkeeping(std::string_view name) { return name.substr(0, kBookkeepingPrefix.size()) == kBookkeepingPrefix; }

// Whether "user." + name is a name the kernel accepts at all.
bool NameFitsInline(const std::string& name) { return kUserPrefix.size() + name.size() <= kXattrNameMax; }

std::string XattrName(const std::string& name) { return std::string(kUserPrefix) + name; }

// A whole inline value.
status_t GetXattr(const char* path, const std::string& name, std::string* value) {
  for (int attempt = 0; attempt < 8; attempt++) {
    const ssize_t size = getxattr(path, name.c_str(), nullptr, 0);
    if (size < 0) return StatusFromErrno(errno);
    value->resize(static_cast<size_t>(size) + 1);  // one spare byte: a grown value is seen
    const ssize_t got = getxattr(path, name.c_str(), value->data(), value->size());
    if (got >= 0 && static_cast<size_t>(got) <= static_cast<size_t>(size)) {
      value->resize(static_cast<size_t>(got));
      return B_OK;
    }
    if (got < 0 && errno != ERANGE) return StatusFromErrno(errno);
  }
  return B_ERROR;
}

// All names listxattr gives for the node, in its order.
status_t ListXattrs(const char* path, std::vector<std::string>* names) {
  std::string buffer;
  for (int attempt = 0;; attempt++) {
    const ssize_t size = listxattr(path, nullptr, 0);
    if (size < 0) return StatusFromErrno(errno);
    buffer.resize(static_cast<size_t>(size));
    const ssize_t got = size > 0 ? listxattr(path, buffer.data(), buffer.size()) : 0;
    if (got >= 0) {
      buffer.resize(static_cast<size_t>(got));
      break;
    }
    if (errno != ERANGE || attempt == 8) return StatusFromErrno(errno);
  }
  names->clear();
  for (size_t start = 0; start < buffer.size();) {
    const size_t end = buffer.find('\0', start);
    const size_t stop = end == std::string::npos ? buffer.size() : end;
    if (stop > start) names->emplace_back(buffer, start, stop - start);
    start = stop + 1;
  }
  return B_OK;
}

status_t CheckAttrName(const char* name, bool forChange) {
  if (name == nullptr || name[0] == '\0') return B_BAD_VALUE;
  if (strnlen(name, kMaxNameLength + 1) > kMaxNameLength) return B_NAME_TOO_LONG;
  if (IsBookkeeping(name)) return forChange ? B_NOT_ALLOWED : B_ENTRY_NOT_FOUND;
  return B_OK;
}

status_t BookkeepingName(const char* key, std::string* name) {
  if (key == nullptr || key[0] == '\0') return B_BAD_VALUE;
  if (std::strcmp(key, kIdKey) == 0) return B_NOT_ALLOWED;
  *name = std::string(kBookkeepingPrefix) + key;
  return name->size() > kMaxNameLength ? B_NAME_TOO_LONG : B_OK;
}

}  // namespace

// The attributes of one open node. `name`s here are without "user.";
// bookkeeping names ("corvane.…") take the same paths as the user's.
class BNode::Attributes {
 public:
  Attributes(int fd, const NodeIdentity& identity) : fIdentity(identity) {
    std::snprintf(fPath, sizeof(fPath), "/proc/self/fd/%d", fd);
  }

  const NodeIdentity& Identity() const { return fIdentity; }

  ssize_t Read(const std::string& name, off_t offset, void* buffer, size_t length) {
    if (offset < 0) return B_BAD_VALUE;
    const ssize_t got = _ReadOnce(name, offset, buffer, length);
    // A writer moving the value from the store back inline writes it inline
    // before it drops the store copy: a read that missed inline and then
    // found the store copy gone looks inline once more.
    if (got == B_ENTRY_NOT_FOUND && NameFitsInline(name)) return _ReadOnce(name, offset, buffer, length);
    return got;
  }

  ssize_t _ReadOnce(const std::string& name, off_t offset, void* buffer, size_t length) {
    if (NameFitsInline(name)) {
      const std::string xattr = XattrName(name);
      // The common case, one call: the whole value into the caller's buffer.
      // A value that is not inline is looked for in the store at once.
      bool notInline = false;
      if (offset == 0 && length > 0) {
        const ssize_t got = getxattr(fPath, xattr.c_str(), buffer, length);
        if (got >= 0) return got;
        if (errno != ERANGE && errno != ENODATA) return StatusFromErrno(errno);
        notInline = errno == ENODATA;
      }
      if (!notInline) {
        std::string value;
        const status_t status = GetXattr(fPath, xattr, &value);
        if (status == B_OK) {
          if (static_cast<uint64_t>(offset) >= value.size()) return 0;
          const size_t count = std::min(length, value.size() - static_cast<size_t>(offset));
          std::memcpy(buffer, value.data() + offset, count);
          return static_cast<ssize_t>(count);
        }
        if (status != B_ENTRY_NOT_FOUND) return status;
      }
    }
    // From the store. A writer may replace the value file between our look
    // at the log and the read: then look again. A file the log still names
    // after that is missing (a system crash lost the change that replaced it).
    uint64_t missing = 0;
    for (int attempt = 0; attempt < 8; attempt++) {
      Container* container;
      const status_t status = _Current(attempt > 0, &container);
      if (status != B_OK) return status;
      if (container == nullptr) return B_ENTRY_NOT_FOUND;
      const Entry* entry = container->GetIndex().Find(name);
      if (entry == nullptr) {
        if (attempt == 0) continue;
        return B_ENTRY_NOT_FOUND;
      }
      if (entry->serial == missing) return B_BAD_DATA;
      const ssize_t got = container->Read(Entry(*entry), offset, buffer, length);
      if (got != B_ENTRY_NOT_FOUND) return got;
      missing = entry->serial;
    }
    return B_ERROR;
  }

  status_t Size(const std::string& name, int64_t* size) {
    if (NameFitsInline(name)) {
      const ssize_t got = getxattr(fPath, XattrName(name).c_str(), nullptr, 0);
      if (got >= 0) {
        *size = got;
        return B_OK;
      }
      if (errno != ENODATA) return StatusFromErrno(errno);
    }
    for (int attempt = 0; attempt < 2; attempt++) {
      Container* container;
      const status_t status = _Current(attempt > 0, &container);
      if (status != B_OK) return status;
      if (container == nullptr) return B_ENTRY_NOT_FOUND;
      if (const Entry* entry = container->GetIndex().Find(name)) {
        *size = static_cast<int64_t>(entry->size);
        return B_OK;
      }
    }
    return B_ENTRY_NOT_FOUND;
  }

  status_t Write(const std::string& name, const void* data, size_t length) {
    const bool nameFits = NameFitsInline(name);
    const std::string xattr = nameFits ? XattrName(name) : std::string();
    if (nameFits && length <= kXattrSizeMax) {
      if (setxattr(fPath, xattr.c_str(), data, length, 0) == 0) {
        // Written. A store copy is now shadowed: drop it (one that cannot be
        // dropped now goes with the next write or removal of the name).
        _DropStoreCopy(name);
        return B_OK;
      }
      if (errno != ENOSPC && errno != E2BIG && errno != ERANGE) return StatusFromErrno(errno);
    }
    Container* container;
    status_t status = _Own(&container);
    if (status != B_OK) return status;
    {
      FileLock lock;
      status = container->Lock(&lock);
      if (status == B_OK) status = container->Put(name, data, length);
      if (status != B_OK) return status;
    }
    // The store copy is committed: only now drop an inline copy, which
    // would otherwise win.
    if (nameFits && removexattr(fPath, xattr.c_str()) != 0 && errno != ENODATA) return StatusFromErrno(errno);
    return B_OK;
  }

  status_t Remove(const std::string& name) {
    // Without read permission the store's part cannot be seen (the id is
    // unreadable); an inline copy can still be removed.
    const status_t stored = _DropStoreCopy(name);
    if (stored != B_OK && stored != B_ENTRY_NOT_FOUND && stored != B_PERMISSION_DENIED) return stored;
    if (NameFitsInline(name)) {
      if (removexattr(fPath, XattrName(name).c_str()) == 0) return B_OK;
      if (errno != ENODATA) return StatusFromErrno(errno);
    }
    return stored;
  }

  // User names: inline ones in listxattr's order, then the store's (sorted).
  status_t List(std::vector<std::string>* names) {
    names->clear();
    std::vector<std::string> xattrs;
    status_t status = ListXattrs(fPath, &xattrs);
    if (status != B_OK) return status;
    std::unordered_set<std::string> inlineNames;
    for (std::string& xattr : xattrs) {
      if (xattr.compare(0, kUserPrefix.size(), kUserPrefix) != 0) continue;
      std::string name = xattr.substr(kUserPrefix.size());
      if (IsBookkeeping(name)) continue;
      inlineNames.insert(name);
      names->push_back(std::move(name));
    }
    Container* container;
    status = _Current(true, &container);
    // Without read permission the node's attributes cannot be read, the
    // store's id included: list what the kernel lists.
    if (status == B_PERMISSION_DENIED) return B_OK;
    if (status != B_OK || container == nullptr) return status;
    for (const auto& entry : container->GetIndex().entries)
      if (!IsBookkeeping(entry.first) && inlineNames.count(entry.first) == 0) names->push_back(entry.first);
    return B_OK;
  }

 private:
  // The store's id on the node: B_ENTRY_NOT_FOUND when there is none or
  // it is not one the store gives.
  status_t _ReadId(std::string* id) {
    char buffer[attribute_store::kIdLength + 1];
    const ssize_t got = getxattr(fPath, kIdAttribute, buffer, sizeof(buffer));
    if (got < 0) return errno == ERANGE ? B_ENTRY_NOT_FOUND : StatusFromErrno(errno);
    id->assign(buffer, static_cast<size_t>(got));
    return attribute_store::IsContainerId(*id) ? B_OK : B_ENTRY_NOT_FOUND;
  }

  // The container the node names, its log read, or null. Unless
  // `fresh`, a container of this node found before is used without asking
  // the node again (a node's own id does not change).
  status_t _Current(bool fresh, Container** out) {
    *out = nullptr;
    if (!fresh && fContainer != nullptr && fContainer->IsOpen() && fOwned) {
      *out = fContainer.get();
      return B_OK;
    }
    std::string id;
    status_t status = _ReadId(&id);
    if (status == B_ENTRY_NOT_FOUND) return B_OK;
    if (status != B_OK) return status;
    if (fContainer == nullptr) fContainer = std::make_unique<Container>();
    if (!fContainer->IsOpen() || fContainer->Id() != id) {
      std::string store;
      status = attribute_store::StoreDirectory(false, &store);
      if (status == B_OK) status = fContainer->Open(store, id);
      if (status == B_ENTRY_NOT_FOUND) return B_OK;
      if (status != B_OK) return status;
    }
    fOwned = false;
    status = fContainer->Refresh();
    if (status == B_ENTRY_NOT_FOUND) {
      fContainer->Close();
      return B_OK;
    }
    if (status != B_OK) return status;
    fOwned = fContainer->GetIndex().owner == fIdentity;
    *out = fContainer.get();
    return B_OK;
  }

  // A container recorded for this node: the one it names, else a new one
  // (a clone of the one it names when that belongs to another node).
  status_t _Own(Container** out) {
    status_t status = _Current(true, out);
    if (status != B_OK || (*out != nullptr && fOwned)) return status;
    std::string store;
    status = attribute_store::StoreDirectory(true, &store);
    if (status != B_OK) return status == B_ENTRY_NOT_FOUND ? B_FILE_ERROR : status;
    FileLock storeLock;
    status = storeLock.Acquire(AT_FDCWD, (store + "/lock").c_str());
    if (status != B_OK) return status;
    // Another thread or process may have given the node one meanwhile.
    Container* current;
    status = _Current(true, &current);
    if (status != B_OK) return status;
    if (current != nullptr && fOwned) {
      *out = current;
      return B_OK;
    }
    auto created = std::make_unique<Container>();
    status = created->Create(store, fIdentity, current);
    if (status != B_OK) return status;
    if (setxattr(fPath, kIdAttribute, created->Id().data(), created->Id().size(), 0) != 0) {
      status = errno == ENOSPC || errno == E2BIG ? _MakeRoomForId(*created) : StatusFromErrno(errno);
      if (status != B_OK) {
        created->Destroy();
        return status;
      }
    }
    fContainer = std::move(created);
    fOwned = true;
    *out = fContainer.get();
    return B_OK;
  }

  // The node's attribute space is too full for the id: move the largest
  // inline attributes into the new container until the id fits. Each is
  // in the container before it leaves the node; what was moved goes back
  // if the id cannot be set after all.
  status_t _MakeRoomForId(Container& container) {
    std::vector<std::string> xattrs;
    status_t status = ListXattrs(fPath, &xattrs);
    if (status != B_OK) return status;
    struct Candidate {
      std::string xattr;
      size_t footprint;  // roughly what ext4 needs for it
    };
    std::vector<Candidate> candidates;
    for (std::string& xattr : xattrs) {
      if (xattr.compare(0, kUserPrefix.size(), kUserPrefix) != 0 || xattr == kIdAttribute) continue;
      const ssize_t size = getxattr(fPath, xattr.c_str(), nullptr, 0);
      if (size < 0) continue;
      const size_t footprint = 16 + ((xattr.size() - kUserPrefix.size() + 3) & ~size_t{3}) +
                               ((static_cast<size_t>(size) + 3) & ~size_t{3});
      candidates.push_back(Candidate{std::move(xattr), footprint});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.footprint > b.footprint; });
    std::vector<std::pair<std::string, std::string>> moved;
    status = B_DEVICE_FULL;
    for (const Candidate& candidate : candidates) {
      std::string value;
      if (GetXattr(fPath, candidate.xattr, &value) != B_OK) continue;
      {
        FileLock lock;
        status = container.Lock(&lock);
        if (status == B_OK) status = container.Put(candidate.xattr.substr(kUserPrefix.size()), value.data(), value.size());
        if (status != B_OK) break;
      }
      if (removexattr(fPath, candidate.xattr.c_str()) != 0) {
        status = StatusFromErrno(errno);
        break;
      }
      moved.emplace_back(candidate.xattr, std::move(value));
      if (setxattr(fPath, kIdAttribute, container.Id().data(), container.Id().size(), 0) == 0) return B_OK;
      status = errno == ENOSPC || errno == E2BIG ? B_DEVICE_FULL : StatusFromErrno(errno);
      if (status != B_DEVICE_FULL) break;
    }
    for (const auto& [xattr, value] : moved) setxattr(fPath, xattr.c_str(), value.data(), value.size(), 0);
    return status;
  }

  // Removes `name` from the store, if it is there.
  status_t _DropStoreCopy(const std::string& name) {
    Container* container;
    status_t status = _Current(true, &container);
    if (status != B_OK) return status;
    if (container == nullptr || container->GetIndex().Find(name) == nullptr) return B_ENTRY_NOT_FOUND;
    if (!fOwned) {
      status = _Own(&container);
      if (status != B_OK) return status;
    }
    FileLock lock;
    status = container->Lock(&lock);
    return status == B_OK ? container->Remove(name) : status;
  }

  char fPath[32];  // names the open inode, whatever its path is now
  const NodeIdentity fIdentity;
  std::unique_ptr<Container> fContainer;
  bool fOwned = false;  // fContainer is recorded for this node
};

BNode::BNode() = default;

BNode::BNode(const char* path) { SetTo(path); }

BNode::~BNode() { Unset(); }

status_t BNode::SetTo(const char* path) {
  Unset();
  if (path == nullptr || path[0] == '\0') return fInitStatus = B_BAD_VALUE;
  return fInitStatus = NoThrow([&]() -> status_t {
           const int fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
           if (fd < 0) return StatusFromErrno(errno);
           struct stat info;
           if (fstat(fd, &info) != 0 || S_ISLNK(info.st_mode)) {
             const status_t status = S_ISLNK(info.st_mode) ? B_BAD_VALUE : StatusFromErrno(errno);
             close(fd);
             return status;
           }
           NodeIdentity identity;
           identity.device = static_cast<uint64_t>(info.st_dev);
           identity.inode = static_cast<uint64_t>(info.st_ino);
           struct statx extended;
           if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &extended) == 0 && (extended.stx_mask & STATX_BTIME) != 0) {
             identity.birthSeconds = extended.stx_btime.tv_sec;
             identity.birthNanoseconds = extended.stx_btime.tv_nsec;
           }
           try {
             fAttributes = std::make_unique<Attributes>(fd, identity);
           } catch (...) {
             close(fd);
             throw;
           }
           fFd = fd;
           return B_OK;
         });
}

status_t BNode::InitCheck() const { return fInitStatus; }

void BNode::Unset() {
  if (fLocked) Unlock();
  fAttributes.reset();
  if (fFd >= 0) close(fFd);
  fFd = -1;
  fInitStatus = B_NO_INIT;
  fNames.clear();
  fNextName = 0;
  fNamesListed = false;
}

status_t BNode::GetNodeRef(node_ref* ref) const {
  if (fInitStatus != B_OK) return fInitStatus;
  if (ref == nullptr) return B_BAD_VALUE;
  ref->device = static_cast<int32_t>(fAttributes->Identity().device);
  ref->node = static_cast<int64_t>(fAttributes->Identity().inode);
  return B_OK;
}

ssize_t BNode::ReadAttr(const char* name, uint32_t /*type*/, off_t offset, void* buffer, size_t length) {
  if (fInitStatus != B_OK) return fInitStatus;
  if (const status_t status = CheckAttrName(name, false); status != B_OK) return status;
  if ((buffer == nullptr && length > 0) || offset < 0) return B_BAD_VALUE;
  length = std::min<size_t>(length, SSIZE_MAX);
  return NoThrow([&]() -> ssize_t { return fAttributes->Read(name, offset, buffer, length); });
}

ssize_t BNode::WriteAttr(const char* name, uint32_t /*type*/, off_t offset, const void* buffer, size_t length) {
  if (fInitStatus != B_OK) return fInitStatus;
  if (const status_t status = CheckAttrName(name, true); status != B_OK) return status;
  if (offset != 0 || (buffer == nullptr && length > 0) || length > SSIZE_MAX) return B_BAD_VALUE;
  return NoThrow([&]() -> ssize_t {
    const status_t status = fAttributes->Write(name, buffer, length);
    return status == B_OK ? static_cast<ssize_t>(length) : status;
  });
}

status_t BNode::RemoveAttr(const char* name) {
  if (fInitStatus != B_OK) return fInitStatus;
  if (const status_t status = CheckAttrName(name, true); status != B_OK) return status;
  return NoThrow([&] { return fAttributes->Remove(name); });
}

status_t BNode::GetAttrInfo(const char* name, attr_info* info) {
  if (fInitStatus != B_OK) return fInitStatus;
  if (const status_t status = CheckAttrName(name, false); status != B_OK) return status;
  if (info == nullptr) return B_BAD_VALUE;
  return NoThrow([&]() -> status_t {
    int64_t size = 0;
    const status_t status = fAttributes->Size(name, &size);
    if (status == B_OK) *info = attr_info{0, size};
    return status;
  });
}

status_t BNode::GetNextAttrName(char* buffer) {
  if (fInitStatus != B_OK) return fInitStatus;
  if (buffer == nullptr) return B_BAD_VALUE;
  if (!fNamesListed) {
    const status_t status = NoThrow([&] { return fAttributes->List(&fNames); });
    if (status != B_OK) return status;
    fNamesListed = true;
    fNextName = 0;
  }
  if (fNextName >= fNames.size()) return B_ENTRY_NOT_FOUND;
  const std::string& name = fNames[fNextName++];
  const size_t length = std::min(name.size(), kMaxNameLength);
  std::memcpy(buffer, name.data(), length);
  buffer[length] = '\0';
  return B_OK;
}

status_t BNode::RewindAttrs() {
  if (fInitStatus != B_OK) return fInitStatus;
  fNames.clear();
  fNextName = 0;
  fNamesListed = false;
  return B_OK;
}

status_t ReadBookkeepingAttrAt(const char* path, const char* key, std::string* value) {
  if (path == nullptr || value == nullptr) return B_BAD_VALUE;
  return NoThrow([&]() -> status_t {
    std::string name;
    const status_t status = BookkeepingName(key, &name);
    if (status != B_OK) return status;
    char inlineValue[64];
    const ssize_t got = lgetxattr(path, XattrName(name).c_str(), inlineValue, sizeof(inlineValue));
    if (got >= 0) {
      value->assign(inlineValue, static_cast<size_t>(got));
      return B_OK;
    }
    // Inline wins, and a node without a store id has nothing in the store.
    if (errno == ENODATA && lgetxattr(path, kIdAttribute, nullptr, 0) < 0 && errno == ENODATA)
      return B_ENTRY_NOT_FOUND;
    BNode node(path);
    const status_t opened = node.InitCheck();
    return opened == B_OK ? node.ReadBookkeepingAttr(key, value) : opened;
  });
}

status_t BNode::ReadBookkeepingAttr(const char* key, std::string* value) {
  if (fInitStatus != B_OK) return fInitStatus;
  if (value == nullptr) return B_BAD_VALUE;
  return NoThrow([&]() -> status_t {
    std::string name;
    status_t status = BookkeepingName(key, &name);
    for (int attempt = 0; status == B_OK && attempt < 8; attempt++) {
      int64_t size = 0;
      status = fAttributes->Size(name, &size);
      if (status != B_OK) return status;
      // One spare byte tells a value that grew meanwhile.
      value->resize(static_cast<size_t>(size) + 1);
      const ssize_t got = fAttributes->Read(name, 0, value->data(), value->size());
      if (got < 0) return static_cast<status_t>(got);
      if (got == size) {
        value->resize(static_cast<size_t>(got));
        return B_OK;
      }
    }
    return status == B_OK ? B_ERROR : status;
  });
}

status_t BNode::WriteBookkeepingAttr(const char* key, const std::string& value) {
  if (fInitStatus != B_OK) return fInitStatus;
  return NoThrow([&]() -> status_t {
    std::string name;
    const status_t status = BookkeepingName(key, &name);
    return status == B_OK ? fAttributes->Write(name, value.data(), value.size()) : status;
  });
}

status_t BNode::RemoveBookkeepingAttr(const char* key) {
  if (fInitStatus != B_OK) return fInitStatus;
  return NoThrow([&]() -> status_t {
    std::string name;
    const status_t status = BookkeepingName(key, &name);
    return status == B_OK ? fAttributes->Remove(name) : status;
  });
}

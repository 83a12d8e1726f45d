// The overflow store behind node attributes: containers of values that the
// file system would not keep as extended attributes. Layout and guarantees
// are described in platform/node.h; this is the part that knows the files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace attribute_store {

// The status for an errno value of a failed system call.
status_t StatusFromErrno(int error);

// Whose container it is. A new node reusing an inode number has another
// birth time (zero where the file system keeps none).
struct NodeIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t birthSeconds = 0;
  uint32_t birthNanoseconds = 0;
  bool operator==(const NodeIdentity&) const = default;
};

struct Entry {
  uint64_t size = 0;
  uint64_t serial = 0;  // the value file is "v" and 16 hex digits
};

// What a container's log amounts to.
struct Index {
  NodeIdentity owner;
  uint64_t nextSerial = 1;  // never reused: a stale reader cannot meet another value under an old serial
  std::map<std::string, Entry, std::less<>> entries;

  const Entry* Find(std::string_view name) const;
};

// Log records: [payload length u32][FNV-1a of payload u64][payload], all
// little-endian. Payloads: a header (kind 1: version, owner, next serial)
// opens every log; a put (kind 2: name, size, serial) or a removal (kind 3:
// name) follows per change.
std::string EncodeHeader(const Index& index);
std::string EncodePut(std::string_view name, const Entry& entry);
std::string EncodeRemove(std::string_view name);
// Applies the complete, intact records at the start of `data` to `index`
// (a log's first record must be its header, and only the first). Returns
// the bytes used; stops before a record that is cut short or damaged.
size_t ApplyRecords(std::string_view data, bool atStart, Index* index);

inline constexpr size_t kIdLength = 32;
bool IsContainerId(std::string_view id);

// "<settings folder>/attribute-store"; with `create`, made when missing.
status_t StoreDirectory(bool create, std::string* path);

// An exclusive flock on a file in a folder, held until destruction.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // `name` relative to the folder `directory` (or AT_FDCWD); created when
  // missing.
  status_t Acquire(int directory, const char* name);

 private:
  int fFd = -1;
};

// One container, with what its log said when last read.
class Container {
 public:
  Container() = default;
  ~Container();
  Container(const Container&) = delete;
  Container& operator=(const Container&) = delete;

  // Opens container `id` of `store`; B_ENTRY_NOT_FOUND when it is missing.
  status_t Open(const std::string& store, const std::string& id);
  // Makes a new container with a fresh random id for `owner`. With
  // `source`, it starts with the source's values: hard links to its value
  // files, taken under the source's lock.
  status_t Create(const std::string& store, const NodeIdentity& owner, Container* source);
  void Close();
  // Removes a container nobody refers to, with its files.
  void Destroy();

  bool IsOpen() const { return fDirectory >= 0; }
  const std::string& Id() const { return fId; }
  // Valid after a successful Refresh.
  const Index& GetIndex() const { return fIndex; }

  // Reads what was added to the log since the last time (all of it when it
  // was compacted meanwhile). B_ENTRY_NOT_FOUND when there is no log.
  status_t Refresh();
  // Reads from a value file; B_ENTRY_NOT_FOUND when a writer has replaced
  // it meanwhile (refresh and look again), B_BAD_DATA when it is shorter
  // than the log says.
  ssize_t Read(const Entry& entry, off_t offset, void* buffer, size_t length);

  status_t Lock(FileLock* lock);
  // Changes, made under Lock: replace or add a value, remove one
  // (B_ENTRY_NOT_FOUND when it is not there).
  status_t Put(std::string_view name, const void* data, size_t length);
  status_t Remove(std::string_view name);

 private:
  status_t _Append(const std::string& record);
  status_t _WriteLog(const std::string& data);

  std::string fStore;
  std::string fId;
  int fDirectory = -1;  // O_PATH
  int fLog = -1;        // kept open: its inode number cannot be reused meanwhile
  ino_t fLogInode = 0;
  uint64_t fLogEnd = 0;  // end of the intact records read so far
  Index fIndex;
};

}  // namespace attribute_store

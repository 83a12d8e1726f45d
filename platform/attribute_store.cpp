#include "platform/attribute_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/find_directory.h"

namespace attribute_store {

namespace {

constexpr uint32_t kVersion = 1;
constexpr const char* kLogName = "log";
constexpr const char* kLogTemporary = "log.tmp";
constexpr const char* kLockName = "lock";
constexpr uint8_t kHeaderRecord = 1;
constexpr uint8_t kPutRecord = 2;
constexpr uint8_t kRemoveRecord = 3;
constexpr size_t kRecordFraming = 12;  // length and checksum
constexpr size_t kMaxNameLength = 4096;
constexpr uint32_t kMaxPayload = 1 << 16;  // more than any record needs
// A log is rewritten without its dead records once it is this long and
// more than twice what it would be rewritten.
constexpr uint64_t kCompactionThreshold = 64 * 1024;

void Append(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint64_t Checksum(std::string_view data) {  // FNV-1a
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : data) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string Framed(const std::string& payload) {
  std::string record;
  record.reserve(kRecordFraming + payload.size());
  Append(&record, payload.size(), 4);
  Append(&record, Checksum(payload), 8);
  return record + payload;
}

std::string NamePayload(uint8_t kind, std::string_view name) {
  std::string payload(1, static_cast<char>(kind));
  Append(&payload, name.size(), 2);
  payload += name;
  return payload;
}

class Decoder {
 public:
  explicit Decoder(std::string_view data) : fData(data) {}
  bool Ok() const { return fOk; }
  size_t Remaining() const { return fData.size() - fPosition; }
  uint64_t Get(int bytes) {
    if (!fOk || Remaining() < static_cast<size_t>(bytes)) {
      fOk = false;
      return 0;
    }
    uint64_t value = 0;
    for (int i = 0; i < bytes; i++)
      value |= static_cast<uint64_t>(static_cast<unsigned char>(fData[fPosition + i])) << (8 * i);
    fPosition += bytes;
    return value;
  }
  std::string_view Bytes(size_t length) {
    if (!fOk || Remaining() < length) {
      fOk = false;
      return {};
    }
    const std::string_view bytes = fData.substr(fPosition, length);
    fPosition += length;
    return bytes;
  }

 private:
  std::string_view fData;
  size_t fPosition = 0;
  bool fOk = true;
};

// One record's payload applied to `index`; false (and `index` untouched)
// for anything malformed or out of place.
bool ApplyPayload(std::string_view payload, bool first, Index* index) {
  Decoder decoder(payload);
  const uint64_t kind = decoder.Get(1);
  if (first != (kind == kHeaderRecord)) return false;
  if (kind == kHeaderRecord) {
    if (decoder.Get(4) != kVersion) return false;
    Index header;
    header.owner.device = decoder.Get(8);
    header.owner.inode = decoder.Get(8);
    header.owner.birthSeconds = static_cast<int64_t>(decoder.Get(8));
    header.owner.birthNanoseconds = static_cast<uint32_t>(decoder.Get(4));
    header.nextSerial = decoder.Get(8);
    if (!decoder.Ok() || decoder.Remaining() != 0) return false;
    *index = std::move(header);
    return true;
  }
  const std::string_view name = decoder.Bytes(decoder.Get(2));
  if (kind == kPutRecord) {
    Entry entry;
    entry.size = decoder.Get(8);
    entry.serial = decoder.Get(8);
    if (!decoder.Ok() || decoder.Remaining() != 0 || name.empty()) return false;
    index->entries.insert_or_assign(std::string(name), entry);
    index->nextSerial = std::max(index->nextSerial, entry.serial + 1);
    return true;
  }
  if (kind == kRemoveRecord && decoder.Ok() && decoder.Remaining() == 0 && !name.empty()) {
    auto entry = index->entries.find(name);
    if (entry != index->entries.end()) index->entries.erase(entry);
    return true;
  }
  return false;
}

// The whole log a container would have if it were written afresh.
std::string Snapshot(const Index& index) {
  std::string log = EncodeHeader(index);
  for (const auto& [name, entry] : index.entries) log += EncodePut(name, entry);
  return log;
}

uint64_t SnapshotSize(const Index& index) {
  uint64_t size = EncodeHeader(index).size();
  for (const auto& entry : index.entries) size += kRecordFraming + 1 + 2 + entry.first.size() + 16;
  return size;
}

status_t ReadRange(int fd, uint64_t offset, size_t length, std::string* data) {
  data->resize(length);
  size_t done = 0;
  while (done < length) {
    const ssize_t got = pread(fd, data->data() + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return StatusFromErrno(errno);
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  data->resize(done);
  return B_OK;
}

std::string ValueFileName(uint64_t serial) {
  char name[24];
  std::snprintf(name, sizeof(name), "v%016llx", static_cast<unsigned long long>(serial));
  return name;
}

status_t WriteAll(int fd, const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t written = write(fd, bytes, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return StatusFromErrno(errno);
    }
    bytes += written;
    length -= static_cast<size_t>(written);
  }
  return B_OK;
}

// Writes `temporary` in `directory` and renames it to `name`, so that
// `name` only ever names complete data. With `keep`, the open file is
// returned.
status_t PublishFile(int directory, const char* temporary, const char* name, const void* data,
                     size_t length, int* keep) {
  const int fd = openat(directory, temporary, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return StatusFromErrno(errno);
  status_t status = WriteAll(fd, data, length);
  if (status == B_OK && renameat(directory, temporary, directory, name) != 0) status = StatusFromErrno(errno);
  if (status != B_OK) unlinkat(directory, temporary, 0);
  if (status == B_OK && keep != nullptr)
    *keep = fd;
  else
    close(fd);
  return status;
}

status_t NewId(std::string* id) {
  unsigned char random[kIdLength / 2];
  size_t filled = 0;
  while (filled < sizeof(random)) {
    const ssize_t got = getrandom(random + filled, sizeof(random) - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return StatusFromErrno(errno);
    }
    filled += static_cast<size_t>(got);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  id->clear();
  for (const unsigned char byte : random) {
    id->push_back(kHex[byte >> 4]);
    id->push_back(kHex[byte & 0xf]);
  }
  return B_OK;
}

}  // namespace

status_t StatusFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENODATA:
      return B_ENTRY_NOT_FOUND;
    case EACCES:
      return B_PERMISSION_DENIED;
    case EPERM:
      return B_NOT_ALLOWED;
    case ENOSPC:
    case EDQUOT:
      return B_DEVICE_FULL;
    case EROFS:
      return B_READ_ONLY_DEVICE;
    case ENOMEM:
      return B_NO_MEMORY;
    case ENAMETOOLONG:
      return B_NAME_TOO_LONG;
    case ENOTSUP:
      return B_NOT_SUPPORTED;
    case EIO:
      return B_IO_ERROR;
    case EINVAL:
      return B_BAD_VALUE;
    case EBADF:
      return B_FILE_ERROR;
    default:
      return B_ERROR;
  }
}

const Entry* Index::Find(std::string_view name) const {
  const auto entry = entries.find(name);
  return entry != entries.end() ? &entry->second : nullptr;
}

std::string EncodeHeader(const Index& index) {
  std::string payload(1, static_cast<char>(kHeaderRecord));
  Append(&payload, kVersion, 4);
  Append(&payload, index.owner.device, 8);
  Append(&payload, index.owner.inode, 8);
  Append(&payload, static_cast<uint64_t>(index.owner.birthSeconds), 8);
  Append(&payload, index.owner.birthNanoseconds, 4);
  Append(&payload, index.nextSerial, 8);
  return Framed(payload);
}

std::string EncodePut(std::string_view name, const Entry& entry) {
  std::string payload = NamePayload(kPutRecord, name);
  Append(&payload, entry.size, 8);
  Append(&payload, entry.serial, 8);
  return Framed(payload);
}

std::string EncodeRemove(std::string_view name) { return Framed(NamePayload(kRemoveRecord, name)); }

size_t ApplyRecords(std::string_view data, bool atStart, Index* index) {
  size_t used = 0;
  while (data.size() - used >= kRecordFraming) {
    Decoder framing(data.substr(used, kRecordFraming));
    const uint64_t length = framing.Get(4);
    const uint64_t checksum = framing.Get(8);
    if (length > kMaxPayload || data.size() - used - kRecordFraming < length) break;
    const std::string_view payload = data.substr(used + kRecordFraming, length);
    if (Checksum(payload) != checksum || !ApplyPayload(payload, atStart && used == 0, index)) break;
    used += kRecordFraming + length;
  }
  return used;
}

bool IsContainerId(std::string_view id) {
  return id.size() == kIdLength &&
         std::all_of(id.begin(), id.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

status_t StoreDirectory(bool create, std::string* path) {
  std::string settings;
  const status_t status = FindUserSettingsDirectory(&settings);
  if (status != B_OK) return status;
  *path = settings + (settings == "/" ? "" : "/") + "attribute-store";
  return create ? EnsureDirectory(*path) : B_OK;
}

FileLock::~FileLock() {
  if (fFd >= 0) close(fFd);  // releases the lock
}

status_t FileLock::Acquire(int directory, const char* name) {
  if (fFd >= 0) return B_BAD_VALUE;
  const int fd = openat(directory, name, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return StatusFromErrno(errno);
  while (flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const status_t status = StatusFromErrno(errno);
    close(fd);
    return status;
  }
  fFd = fd;
  return B_OK;
}

Container::~Container() { Close(); }

void Container::Close() {
  if (fLog >= 0) close(fLog);
  if (fDirectory >= 0) close(fDirectory);
  fLog = fDirectory = -1;
  fLogInode = 0;
  fLogEnd = 0;
  fIndex = Index();
  fId.clear();
}

status_t Container::Open(const std::string& store, const std::string& id) {
  Close();
  if (!IsContainerId(id)) return B_BAD_VALUE;
  const int directory = open((store + "/" + id).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return StatusFromErrno(errno);
  fDirectory = directory;
  fStore = store;
  fId = id;
  return B_OK;
}

status_t Container::Create(const std::string& store, const NodeIdentity& owner, Container* source) {
  Close();
  status_t status = B_ERROR;
  for (int attempt = 0; attempt < 4 && status != B_OK; attempt++) {
    std::string id;
    status = NewId(&id);
    if (status != B_OK) return status;
    if (mkdir((store + "/" + id).c_str(), 0700) != 0) {
      status = StatusFromErrno(errno);
      if (errno == EEXIST) continue;
      return status;
    }
    status = Open(store, id);
    if (status != B_OK) {
      rmdir((store + "/" + id).c_str());
      return status;
    }
  }
  if (status != B_OK) return status;

  FileLock ownLock;  // also creates the lock file
  status = Lock(&ownLock);
  Index index;
  FileLock sourceLock;
  if (status == B_OK && source != nullptr) {
    status = source->Lock(&sourceLock);
    if (status == B_OK) status = source->Refresh();
    if (status == B_OK) index = source->fIndex;
    for (auto entry = index.entries.begin(); status == B_OK && entry != index.entries.end();) {
      const std::string name = ValueFileName(entry->second.serial);
      if (linkat(source->fDirectory, name.c_str(), fDirectory, name.c_str(), 0) == 0) {
        ++entry;
      } else if (errno == ENOENT) {
        entry = index.entries.erase(entry);  // lost to a system crash: nothing to take along
      } else {
        status = StatusFromErrno(errno);
      }
    }
  }
  index.owner = owner;
  if (status == B_OK) status = _WriteLog(Snapshot(index));
  if (status != B_OK) {
    Destroy();
    return status;
  }
  fIndex = std::move(index);
  return B_OK;
}

void Container::Destroy() {
  if (fDirectory < 0) return;
  const int listing = openat(fDirectory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (DIR* directory = listing >= 0 ? fdopendir(listing) : nullptr) {
    while (const dirent* entry = readdir(directory)) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") unlinkat(dirfd(directory), entry->d_name, 0);
    }
    closedir(directory);
  } else if (listing >= 0) {
    close(listing);
  }
  rmdir((fStore + "/" + fId).c_str());
  Close();
}

status_t Container::Refresh() {
  if (fDirectory < 0) return B_NO_INIT;
  struct stat info;
  if (fLog >= 0 && fstatat(fDirectory, kLogName, &info, 0) == 0 && info.st_ino == fLogInode) {
    // The same log: only what was appended since is new.
    if (fstat(fLog, &info) != 0) return StatusFromErrno(errno);
    if (static_cast<uint64_t>(info.st_size) <= fLogEnd) return B_OK;
    std::string tail;
    const status_t status = ReadRange(fLog, fLogEnd, static_cast<size_t>(info.st_size - fLogEnd), &tail);
    if (status != B_OK) return status;
    fLogEnd += ApplyRecords(tail, false, &fIndex);
    return B_OK;
  }
  // A first look, or the log was compacted meanwhile.
  int fd = openat(fDirectory, kLogName, O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = openat(fDirectory, kLogName, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return StatusFromErrno(errno);
  std::string data;
  status_t status = fstat(fd, &info) == 0 ? B_OK : StatusFromErrno(errno);
  if (status == B_OK) status = ReadRange(fd, 0, static_cast<size_t>(info.st_size), &data);
  Index index;
  const size_t used = status == B_OK ? ApplyRecords(data, true, &index) : 0;
  if (status == B_OK && used == 0) status = B_BAD_DATA;
  if (status != B_OK) {
    close(fd);
    return status;
  }
  if (fLog >= 0) close(fLog);
  fLog = fd;
  fLogInode = info.st_ino;
  fLogEnd = used;
  fIndex = std::move(index);
  return B_OK;
}

ssize_t Container::Read(const Entry& entry, off_t offset, void* buffer, size_t length) {
  if (offset < 0) return B_BAD_VALUE;
  if (fDirectory < 0) return B_NO_INIT;
  if (static_cast<uint64_t>(offset) >= entry.size) return 0;
  const size_t wanted = static_cast<size_t>(std::min<uint64_t>(length, entry.size - static_cast<uint64_t>(offset)));
  const int fd = openat(fDirectory, ValueFileName(entry.serial).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return StatusFromErrno(errno);
  char* bytes = static_cast<char*>(buffer);
  size_t done = 0;
  status_t status = B_OK;
  while (done < wanted) {
    const ssize_t got = pread(fd, bytes + done, wanted - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      status = got == 0 ? B_BAD_DATA : StatusFromErrno(errno);
      break;
    }
    done += static_cast<size_t>(got);
  }
  close(fd);
  return status == B_OK ? static_cast<ssize_t>(done) : status;
}

status_t Container::Lock(FileLock* lock) {
  if (fDirectory < 0) return B_NO_INIT;
  return lock->Acquire(fDirectory, kLockName);
}

status_t Container::Put(std::string_view name, const void* data, size_t length) {
  if (name.empty() || name.size() > kMaxNameLength) return B_BAD_VALUE;
  status_t status = Refresh();
  if (status != B_OK) return status;
  const Entry entry{length, fIndex.nextSerial};
  const std::string file = ValueFileName(entry.serial);
  status = PublishFile(fDirectory, ("tmp." + file).c_str(), file.c_str(), data, length, nullptr);
  if (status != B_OK) return status;
  const Entry* replaced = fIndex.Find(name);
  const uint64_t replacedSerial = replaced != nullptr ? replaced->serial : 0;
  status = _Append(EncodePut(name, entry));
  if (status != B_OK) {
    unlinkat(fDirectory, file.c_str(), 0);
    return status;
  }
  if (replacedSerial != 0) unlinkat(fDirectory, ValueFileName(replacedSerial).c_str(), 0);
  return B_OK;
}

status_t Container::Remove(std::string_view name) {
  status_t status = Refresh();
  if (status != B_OK) return status;
  const Entry* entry = fIndex.Find(name);
  if (entry == nullptr) return B_ENTRY_NOT_FOUND;
  const uint64_t serial = entry->serial;
  status = _Append(EncodeRemove(name));
  if (status == B_OK) unlinkat(fDirectory, ValueFileName(serial).c_str(), 0);
  return status;
}

// Adds a record at the end of the intact log (dropping what a writer that
// died mid-record left), then compacts a log that is mostly dead records.
status_t Container::_Append(const std::string& record) {
  struct stat info;
  if (fstat(fLog, &info) != 0) return StatusFromErrno(errno);
  if (static_cast<uint64_t>(info.st_size) > fLogEnd && ftruncate(fLog, static_cast<off_t>(fLogEnd)) != 0)
    return StatusFromErrno(errno);
  for (size_t done = 0; done < record.size();) {
    const ssize_t written = pwrite(fLog, record.data() + done, record.size() - done, static_cast<off_t>(fLogEnd + done));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      const status_t status = StatusFromErrno(errno);
      if (ftruncate(fLog, static_cast<off_t>(fLogEnd)) != 0) {
        // Left as a cut-short record, which readers and the next writer skip.
      }
      return status;
    }
    done += static_cast<size_t>(written);
  }
  fLogEnd += ApplyRecords(record, false, &fIndex);
  if (fLogEnd > kCompactionThreshold && fLogEnd > 2 * SnapshotSize(fIndex)) {
    // Best effort: the change itself is in the log already.
    _WriteLog(Snapshot(fIndex));
  }
  return B_OK;
}

// Replaces the log with `data` (written aside, then renamed into place).
status_t Container::_WriteLog(const std::string& data) {
  int fd = -1;
  const status_t status = PublishFile(fDirectory, kLogTemporary, kLogName, data.data(), data.size(), &fd);
  if (status != B_OK) return status;
  struct stat info;
  if (fstat(fd, &info) != 0) {
    // Published, but without its inode number: read afresh next time.
    close(fd);
    if (fLog >= 0) close(fLog);
    fLog = -1;
    return B_OK;
  }
  if (fLog >= 0) close(fLog);
  fLog = fd;
  fLogInode = info.st_ino;
  fLogEnd = data.size();
  return B_OK;
}

}  // namespace attribute_store

// A file's data through one descriptor: positioned reads and writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <limits>

#include "platform/directory.h"
#include "platform/storage_internal.h"
#include "platform/unique_fd.h"

using storage_internal::StatusForErrno;

namespace {

// A range of `size` bytes from `position` that off_t can address.
bool RangeFits(off_t position, size_t size) {
  return position >= 0 && size <= static_cast<size_t>(std::numeric_limits<off_t>::max() - position);
}

}  // namespace

BFile::~BFile() {
  if (fFd >= 0) close(fFd);
}

status_t BFile::SetTo(const BEntry& entry, Mode mode) {
  if (fFd >= 0) close(fFd);
  fFd = -1;
  if (!entry.IsSet()) return fStatus = B_BAD_VALUE;
  int flags = O_RDONLY;
  if (mode == kWriteOnly) flags = O_WRONLY;
  if (mode == kReadWrite) flags = O_RDWR;
  // Non-blocking for the open only, so that a FIFO put in the file's place
  // cannot hang it; what is not a plain file is refused afterwards.
  UniqueFd fd(open(entry.DiskPath().c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.Get() < 0) return fStatus = errno == ELOOP ? B_BAD_VALUE : StatusForErrno(errno);
  struct stat facts;
  if (fstat(fd.Get(), &facts) != 0) return fStatus = StatusForErrno(errno);
  if (!S_ISREG(facts.st_mode)) return fStatus = S_ISDIR(facts.st_mode) ? B_IS_A_DIRECTORY : B_BAD_VALUE;
  const int status = fcntl(fd.Get(), F_GETFL);
  if (status < 0 || fcntl(fd.Get(), F_SETFL, status & ~O_NONBLOCK) != 0) return fStatus = StatusForErrno(errno);
  fFd = fd.Release();
  return fStatus = B_OK;
}

ssize_t BFile::ReadAt(off_t position, void* buffer, size_t size) {
  if (fFd < 0) return fStatus;
  if (position < 0 || (buffer == nullptr && size > 0)) return B_BAD_VALUE;
  if (size > SSIZE_MAX) size = SSIZE_MAX;
  if (!RangeFits(position, size)) size = static_cast<size_t>(std::numeric_limits<off_t>::max() - position);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fFd, static_cast<char*>(buffer) + done, size - done, position + static_cast<off_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<ssize_t>(done) : StatusForErrno(errno);
    }
    if (got == 0) break;  // the end of the file
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

ssize_t BFile::WriteAt(off_t position, const void* buffer, size_t size) {
  if (fFd < 0) return fStatus;
  if ((buffer == nullptr && size > 0) || size > SSIZE_MAX || !RangeFits(position, size)) return B_BAD_VALUE;
  size_t done = 0;
  while (done < size) {
    const ssize_t wrote =
        pwrite(fFd, static_cast<const char*>(buffer) + done, size - done, position + static_cast<off_t>(done));
    if (wrote < 0) {
      if (errno == EINTR) continue;
      // A write that stops short (the disk filled up) is a failure: the
      // caller must not take the data as written.
      return StatusForErrno(errno);
    }
    done += static_cast<size_t>(wrote);
  }
  return static_cast<ssize_t>(done);
}

status_t BFile::GetSize(off_t* size) const {
  if (fFd < 0) return fStatus;
  if (size == nullptr) return B_BAD_VALUE;
  struct stat facts;
  if (fstat(fFd, &facts) != 0) return StatusForErrno(errno);
  *size = facts.st_size;
  return B_OK;
}

status_t BFile::SetSize(off_t size) {
  if (fFd < 0) return fStatus;
  if (size < 0) return B_BAD_VALUE;
  while (ftruncate(fFd, size) != 0) {
    if (errno != EINTR) return StatusForErrno(errno);
  }
  return B_OK;
}

status_t BFile::Sync() {
  if (fFd < 0) return fStatus;
  return fsync(fFd) == 0 ? B_OK : StatusForErrno(errno);
}

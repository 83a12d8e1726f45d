// Byte-range locks: ranges of a file that other forks (and the locking fork
// itself) may not read, write or lock. Locks are per file across both forks,
// owned by the fork they were taken through, and all listed in gLockList.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "server/afp/afp_handler.h"
#include "server/fork/open_fork.h"

// The last byte of `length` bytes from `start` (start + length - 1, inclusive
// ranges), held to the 64-bit range: offsets and lengths come from the wire.
int64_t afpLastByte(int64_t start, int64_t length);

class BAFPLock {
 public:
  // Registers a lock without a range with the list and the fork; the caller
  // holds gLockListLock.
  explicit BAFPLock(OPEN_FORK_ITEM* fork);
  // Leaves the list and the fork.
  virtual ~BAFPLock();
  BAFPLock(const BAFPLock&) = delete;
  BAFPLock& operator=(const BAFPLock&) = delete;

  // Sets the range when no lock of the file overlaps it: 0 or kFPLockErr.
  virtual int32_t Lock(int64_t start, int64_t length);

  // True when a lock of the file overlaps first..last (inclusive).
  static bool RangeLocked(int64_t first, int64_t last, const node_ref& file);
  // The lock of this fork at exactly that start and length, or null.
  static BAFPLock* SessionRangeLocked(int64_t start, int64_t length, OPEN_FORK_ITEM* fork);

 private:
  OPEN_FORK_ITEM* const fFork;
  const node_ref fFile;
  int64_t fStart = -1;
  int64_t fEnd = -1;
  bool fRangeSet = false;  // a new lock covers nothing until Lock succeeds
};

// Every lock of every session. One lock guards the list: a test and the
// change it allows happen under it together.
extern std::vector<BAFPLock*> gLockList;
extern std::recursive_mutex gLockListLock;

AFP_HANDLER(FPByteRangeLock);

#include "server/fork/byte_range_lock.h"

#include <algorithm>
#include <cstdint>

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/afp/command_codes.h"
#include "server/dsi/dsi_protocol.h"

std::vector<BAFPLock*> gLockList;
std::recursive_mutex gLockListLock;

namespace {

constexpr uint8_t kUnlockFlag = 0x01;
constexpr int64_t kToTheEnd = -1;

// The fork's size as locks see it: the data file's size, or the stored
// resource fork's (an open copy's unsaved growth does not count).
int64_t ForkSize(const OPEN_FORK_ITEM& fork) {
  if (fork.forkType != kDataFork) return afpStoredResourceForkSize(fork.entry);
  off_t size = 0;
  if (fork.file && fork.file->GetSize(&size) == B_OK) return size;
  EntryInfo info;  // a fork open without its data file
  return fork.entry.GetInfo(&info) == B_OK ? info.size : 0;
}

}  // namespace

int64_t afpLastByte(int64_t start, int64_t length) {
  const __int128 last = static_cast<__int128>(start) + length - 1;
  return static_cast<int64_t>(std::clamp<__int128>(last, INT64_MIN, INT64_MAX));
}

BAFPLock::BAFPLock(OPEN_FORK_ITEM* fork) : fFork(fork), fFile(fork->node) {
  gLockList.push_back(this);
  fork->locks.push_back(this);
}

BAFPLock::~BAFPLock() {
  std::lock_guard<std::recursive_mutex> guard(gLockListLock);
  std::erase(gLockList, this);
  std::erase(fFork->locks, this);
}

int32_t BAFPLock::Lock(int64_t start, int64_t length) {
  std::lock_guard<std::recursive_mutex> guard(gLockListLock);
  const int64_t end = afpLastByte(start, length);
  if (RangeLocked(start, end, fFile)) return kFPLockErr;
  fStart = start;
  fEnd = end;
  fRangeSet = true;
  return kFPNoErr;
}

bool BAFPLock::RangeLocked(int64_t first, int64_t last, const node_ref& file) {
  std::lock_guard<std::recursive_mutex> guard(gLockListLock);
  return std::any_of(gLockList.begin(), gLockList.end(), [&](const BAFPLock* lock) {
    const int64_t s = lock->fStart;
    const int64_t e = lock->fEnd;
    return lock->fRangeSet && lock->fFile == file &&
           ((s <= first && first <= e) || (s <= last && last <= e) || (first <= s && e <= last));
  });
}

BAFPLock* BAFPLock::SessionRangeLocked(int64_t start, int64_t length, OPEN_FORK_ITEM* fork) {
  std::lock_guard<std::recursive_mutex> guard(gLockListLock);
  for (BAFPLock* lock : fork->locks)
    if (lock->fRangeSet && lock->fStart == start && lock->fEnd == afpLastByte(start, length)) return lock;
  return nullptr;
}

AFP_HANDLER(FPByteRangeLock) {
  BAFPBuffer in(request, requestLength);
  const auto code = static_cast<uint8_t>(in.GetInt8());
  const auto flags = static_cast<uint8_t>(in.GetInt8());
  const auto refNum = static_cast<uint16_t>(in.GetInt16());
  if (code != kFPByteRangeLock && code != kFPByteRangeLockExt) return kFPParamErr;
  const bool extended = code == kFPByteRangeLockExt;
  const int64_t offset = extended ? in.GetInt64() : in.GetInt32();
  int64_t length = extended ? in.GetInt64() : in.GetInt32();
  if (in.ReadPastEnd()) return kFPParamErr;
  OPEN_FORK_ITEM* fork = session->GetForkItem(refNum);
  if (fork == nullptr) return kFPParamErr;

  int32_t result = kFPNoErr;
  int64_t start = offset;
  if (flags & kUnlockFlag) {
    // Only the exact range as sent unlocks.
    std::lock_guard<std::recursive_mutex> guard(gLockListLock);
    BAFPLock* lock = BAFPLock::SessionRangeLocked(offset, length, fork);
    if (lock == nullptr)
      result = kFPRangeNotLocked;
    else
      delete lock;
  } else {
    const int64_t size = ForkSize(*fork);
    if (flags & kFromEndFlag) {
      start = offset < 0 ? size + offset : size - offset;
    } else if (offset < 0) {
      return kFPParamErr;
    } else if (length == kToTheEnd) {
      length = size - offset;
    }
    // The test and the new lock happen under the list's lock together.
    std::lock_guard<std::recursive_mutex> guard(gLockListLock);
    auto* lock = new BAFPLock(fork);
    result = lock->Lock(start, length);
    if (result != kFPNoErr) delete lock;
  }
  BAFPBuffer out(reply, kReplyAreaSize);
  if (extended)
    out.AddInt64(start);
  else
    out.AddInt32(static_cast<int32_t>(start));
  *replyLength = out.GetDataLength();
  return result;
}

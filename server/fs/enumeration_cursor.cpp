#include "server/fs/enumeration_cursor.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// The largest index the enumeration's signed 16-bit running index holds;
// later positions show as negative indexes.
constexpr int64_t kLargestIndex = 32767;

// A folder whose last change is younger than this may still change within
// the same time-stamp tick (ticks are at most 10 ms) without its token
// changing.
constexpr int64_t kSteadyAfterNanoseconds = 50'000'000;

bool ContinuationEnabled() {
  const char* setting = std::getenv("CORVANE_ENUMERATION_CURSOR");
  return setting == nullptr || std::strcmp(setting, "0") != 0;
}

int64_t Nanoseconds(const timespec& time) { return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec; }

// The facts about a folder that change with its list of entries.
struct FolderStamp {
  dev_t device = 0;
  ino_t node = 0;
  int64_t modified = 0;
  int64_t changed = 0;

  bool operator==(const FolderStamp&) const = default;
};

bool StampFolder(const BEntry& folder, FolderStamp* stamp) {
  struct stat facts;
  if (lstat(folder.DiskPath().c_str(), &facts) != 0) return false;
  *stamp = {facts.st_dev, facts.st_ino, Nanoseconds(facts.st_mtim), Nanoseconds(facts.st_ctim)};
  return true;
}

// True when the folder changed too recently for its token to be trusted.
bool ChangedRecently(const FolderStamp& stamp) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now) - std::max(stamp.modified, stamp.changed) < kSteadyAfterNanoseconds;
}

}  // namespace

EnumerationCursor::EnumerationCursor() : fEnabled(ContinuationEnabled()) {}

status_t EnumerationCursor::Start(const BEntry& folder, int32_t startIndex) {
  // Every entry taken so far must be one a walk from the first entry would
  // skip for this start index.
  if (fEnabled && fReusable && folder.DiskPath() == fFolderPath &&
      startIndex > std::min(LastTaken(), kLargestIndex) && fDirectory.ChangeToken() == fToken) {
    fContinued = true;
    return B_OK;
  }

  Reset();
  // The token is read after the entries; the folder must have stayed the
  // same around the reading for the token to describe them.
  FolderStamp before;
  const bool stampedBefore = StampFolder(folder, &before);
  const status_t status = fDirectory.SetTo(folder);
  if (status != B_OK) {
    Reset();
    return status;
  }
  FolderStamp after;
  fToken = fDirectory.ChangeToken();
  fFolderPath = folder.DiskPath();
  fReusable = fEnabled && stampedBefore && !fToken.empty() && StampFolder(folder, &after) && before == after &&
              !ChangedRecently(after);
  return B_OK;
}

bool EnumerationCursor::Next(BEntry* entry, int64_t* position) {
  if (fHeld) {
    fHeld = false;
  } else {
    const status_t status = fDirectory.GetNextEntry(&fLast);
    if (status != B_OK) {
      // A folder that failed to read is not continued.
      if (status != B_ENTRY_NOT_FOUND) fReusable = false;
      return false;
    }
    ++fPosition;
  }
  *entry = fLast;
  *position = fPosition;
  return true;
}

void EnumerationCursor::Unread() {
  if (fPosition > 0) fHeld = true;
}

void EnumerationCursor::Reset() {
  fDirectory = BDirectory();
  fFolderPath.clear();
  fToken.clear();
  fReusable = false;
  fContinued = false;
  fPosition = 0;
  fLast = BEntry();
  fHeld = false;
}

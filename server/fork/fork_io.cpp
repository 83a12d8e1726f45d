#include "server/fork/fork_io.h"

#include <algorithm>
#include <cstring>

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/afp/command_codes.h"
#include "server/dsi/dsi_protocol.h"
#include "server/fork/byte_range_lock.h"
#include "server/fork/open_fork.h"

namespace {

// The most a read returns: the request quantum announced to clients.
constexpr uint32_t kMaxReadCount = kServerRequestQuantum;

// The fields of a read or write after the code and flag bytes.
struct TransferFields {
  uint16_t refNum;
  int64_t offset;
  uint32_t count;
};

TransferFields ReadTransferFields(BAFPBuffer& in, bool extended) {
  TransferFields fields;
  fields.refNum = static_cast<uint16_t>(in.GetInt16());
  fields.offset = extended ? in.GetInt64() : in.GetInt32();
  fields.count = extended ? static_cast<uint32_t>(in.GetInt64()) : static_cast<uint32_t>(in.GetInt32());
  return fields;
}

// Ranges of `count` bytes from `start`, inclusive; an empty one locks
// nothing but is tested like the Part's arithmetic does.
bool Locked(const OPEN_FORK_ITEM& fork, int64_t start, uint32_t count) {
  return BAFPLock::RangeLocked(start, afpLastByte(start, count), fork.node);
}

}  // namespace

AFP_HANDLER(FPRead) {
  BAFPBuffer in(request, requestLength);
  const auto code = static_cast<uint8_t>(in.GetInt8());
  in.Advance(1);
  if (code != kFPRead && code != kFPReadExt) return kFPParamErr;
  TransferFields fields = ReadTransferFields(in, code == kFPReadExt);
  // The newline mask and character that may follow are not used.
  if (in.ReadPastEnd()) return kFPParamErr;
  OPEN_FORK_ITEM* fork = session->GetForkItem(fields.refNum);
  if (fork == nullptr) return kFPParamErr;
  fields.count = std::min(fields.count, kMaxReadCount);
  if (Locked(*fork, fields.offset, fields.count)) return kFPLockErr;
  if (fields.offset < 0) return kFPParamErr;

  ssize_t got;
  if (fork->forkType == kDataFork) {
    if (!fork->file || !fork->readable) return kFPAccessDenied;
    got = fork->file->ReadAt(fields.offset, reply, fields.count);
  } else {
    if (!fork->resource) return kFPParamErr;
    const std::vector<uint8_t>& copy = *fork->resource;
    const auto size = static_cast<int64_t>(copy.size());
    got = fields.offset >= size ? 0 : std::min<int64_t>(fields.count, size - fields.offset);
    if (got > 0) std::memcpy(reply, copy.data() + fields.offset, static_cast<size_t>(got));
  }
  if (got < 0) return kFPMiscErr;
  *replyLength = static_cast<int32_t>(got);
  return got == 0 ? kFPEOFErr : kFPNoErr;
}

AFP_HANDLER(FPWrite) {
  BAFPBuffer in(request, requestLength);
  const auto code = static_cast<uint8_t>(in.GetInt8());
  const auto flags = static_cast<uint8_t>(in.GetInt8());
  if (code != kFPWrite && code != kFPWriteExt) return kFPParamErr;
  const bool extended = code == kFPWriteExt;
  const TransferFields fields = ReadTransferFields(in, extended);
  // The data follows the fields; a count beyond the bytes present writes
  // nothing.
  if (in.ReadPastEnd() || fields.count > static_cast<uint32_t>(in.Remaining())) return kFPParamErr;
  const signed char* data = in.GetCurrentPosPtr();
  OPEN_FORK_ITEM* fork = session->GetForkItem(fields.refNum);
  if (fork == nullptr) return kFPParamErr;

  int64_t start = fields.offset;
  if (fork->forkType == kDataFork) {
    if (!fork->file || !fork->writable) return kFPParamErr;
    if (flags & kFromEndFlag) {
      off_t size = 0;
      if (fork->file->GetSize(&size) != B_OK || __builtin_add_overflow(start, size, &start)) return kFPParamErr;
    }
  } else {
    if (!fork->resource || !fork->writable) return kFPParamErr;
    if ((flags & kFromEndFlag) && __builtin_add_overflow(start, static_cast<int64_t>(fork->resource->size()), &start))
      return kFPParamErr;
  }
  if (start < 0) return kFPParamErr;
  if (Locked(*fork, start, fields.count)) return kFPLockErr;

  if (fork->forkType == kDataFork) {
    // A write the file system refuses is not reported as done.
    const ssize_t written = fork->file->WriteAt(start, data, fields.count);
    if (written == B_DEVICE_FULL) return kFPDiskFull;
    if (written < 0) return kFPMiscErr;
  } else {
    if (start > kMaxResourceForkLength - static_cast<int64_t>(fields.count)) return kFPDiskFull;
    const int64_t end = start + fields.count;
    std::vector<uint8_t>& copy = *fork->resource;
    if (static_cast<int64_t>(copy.size()) < end) copy.resize(static_cast<size_t>(end));
    std::memcpy(copy.data() + start, data, fields.count);
    fork->resourceDirty = true;
  }
  const int64_t position = start + fields.count;
  BAFPBuffer out(reply, kReplyAreaSize);
  if (extended)
    out.AddInt64(position);
  else
    out.AddInt32(static_cast<int32_t>(position));
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}

#include "server/fork/fork_commands.h"

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/dsi/dsi_protocol.h"
#include "server/fork/open_fork.h"
#include "server/fs/access_rights.h"
#include "server/fs/afp_object.h"
#include "server/fs/object_request.h"
#include "server/fs/parameters.h"

namespace {

constexpr uint8_t kResourceForkFlag = 0x80;
constexpr uint16_t kExtendedLengthBits = kFileExtDataForkLengthBit | kFileExtResourceForkLengthBit;
constexpr uint16_t kDataLengthBits = kFileDataForkLengthBit | kFileExtDataForkLengthBit;
constexpr uint16_t kResourceLengthBits = kFileResourceForkLengthBit | kFileExtResourceForkLengthBit;

// AFP 2.2 sessions get neither UTF-8 nor short names.
uint16_t AdjustForkBitmap(uint16_t bitmap, signed char afpVersion) {
  if (afpVersion <= kAFPVersion22) bitmap &= static_cast<uint16_t>(~(kFileUTF8NameBit | kDirShortNameBit));
  return bitmap;
}

// The fork named by the reference that follows the command and pad bytes.
OPEN_FORK_ITEM* ForkOfRequest(BAFPSession* session, BAFPBuffer& in) {
  in.Advance(2);
  const auto refNum = static_cast<uint16_t>(in.GetInt16());
  return in.ReadPastEnd() ? nullptr : session->GetForkItem(refNum);
}

// Opening for writing needs the write right of the file's folder, opening
// for reading its read right.
int32_t MayOpen(BAFPSession* session, BAFPVolume* volume, const BEntry& entry, uint16_t accessMode) {
  const BEntry folder = afpGoverningFolder(volume, entry);
  int32_t result = kFPNoErr;
  if (accessMode & kAccessWrite) result = afpRequireRight(session, folder, kRightWrite);
  if (result == kFPNoErr && (accessMode & kAccessRead)) result = afpRequireRight(session, folder, kRightRead);
  return result;
}

}  // namespace

AFP_HANDLER(FPOpenFork) {
  BAFPBuffer in(request, requestLength);
  in.Advance(1);
  const int16_t forkType = (static_cast<uint8_t>(in.GetInt8()) & kResourceForkFlag) ? kResourceFork : kDataFork;
  VolumeRef volume;
  if (afpReadOpenVolume(session, in, &volume) != kFPNoErr) return kFPParamErr;
  const int32_t dirID = in.GetInt32();
  uint16_t bitmap = static_cast<uint16_t>(in.GetInt16());
  const auto accessMode = static_cast<uint16_t>(in.GetInt16());
  char path[kPathBufferSize];
  if (in.ReadPastEnd()) return kFPParamErr;
  int32_t result = afpReadPath(in, path, sizeof(path));
  if (result != kFPNoErr) return result;
  if (path[0] == '\0') return kFPParamErr;
  BEntry entry;
  if ((result = BAFPObject::SetAFPEntry(volume.get(), dirID, path, entry, false)) != kFPNoErr) return result;
  if ((accessMode & kAccessWrite) && (result = afpCheckWriteAccess(session, volume.get(), &entry)) != kFPNoErr)
    return result;
  if ((result = MayOpen(session, volume.get(), entry, accessMode)) != kFPNoErr) return result;
  uint16_t refNum = 0;
  if ((result = session->OpenFile(volume, entry, accessMode, forkType, &refNum)) != kFPNoErr) return result;

  bitmap = AdjustForkBitmap(bitmap, session->GetAFPVersion());
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt16(static_cast<int16_t>(bitmap));
  out.AddInt16(static_cast<int16_t>(refNum));
  result = BAFPObject::fp_GetFileParms(session, volume.get(), entry, bitmap, &out);
  if (result != kFPNoErr) {
    session->CloseFile(refNum);
    return result;
  }
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}

AFP_HANDLER(FPCloseFork) {
  BAFPBuffer in(request, requestLength);
  in.Advance(2);
  const auto refNum = static_cast<uint16_t>(in.GetInt16());
  if (in.ReadPastEnd()) return kFPParamErr;
  return session->CloseFile(refNum);
}

AFP_HANDLER(FPFlushFork) {
  BAFPBuffer in(request, requestLength);
  OPEN_FORK_ITEM* fork = ForkOfRequest(session, in);
  if (fork == nullptr) return kFPParamErr;
  std::lock_guard<std::mutex> guard(fork->forkLock);
  if (fork->forkType != kDataFork)
    session->CloseAndWriteOutResourceFork(fork, false);
  else if (fork->file && fork->writable)
    fork->file->Sync();
  return kFPNoErr;
}

AFP_HANDLER(FPGetForkParms) {
  BAFPBuffer in(request, requestLength);
  OPEN_FORK_ITEM* fork = ForkOfRequest(session, in);
  uint16_t bitmap = static_cast<uint16_t>(in.GetInt16());
  if (fork == nullptr || in.ReadPastEnd()) return kFPParamErr;
  bitmap = AdjustForkBitmap(bitmap, session->GetAFPVersion());
  if ((fork->forkType != kDataFork && (bitmap & kFileDataForkLengthBit)) ||
      (fork->forkType == kDataFork && (bitmap & kFileResourceForkLengthBit)))
    return kFPBitmapErr;
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt16(static_cast<int16_t>(bitmap));
  const int32_t result = BAFPObject::fp_GetFileParms(session, fork->volume.get(), fork->entry, bitmap, &out);
  if (result == kFPNoErr) *replyLength = out.GetDataLength();
  return result;
}

AFP_HANDLER(FPSetForkParms) {
  BAFPBuffer in(request, requestLength);
  OPEN_FORK_ITEM* fork = ForkOfRequest(session, in);
  const auto bitmap = static_cast<uint16_t>(in.GetInt16());
  const int64_t length = (bitmap & kExtendedLengthBits) ? in.GetInt64() : in.GetInt32();
  if (fork == nullptr || in.ReadPastEnd()) return kFPParamErr;
  int32_t result = kFPNoErr;
  if (bitmap & kDataLengthBits) {
    if (fork->forkType != kDataFork) return kFPBitmapErr;
    // A fork whose data file did not open can be neither read nor written.
    if (!fork->file || !fork->writable) return kFPAccessDenied;
    switch (fork->file->SetSize(length)) {
      case B_OK: result = kFPNoErr; break;
      case B_NOT_ALLOWED:
      case B_PERMISSION_DENIED: result = kFPVolLocked; break;
      case B_DEVICE_FULL: result = kFPDiskFull; break;
      default: result = kFPMiscErr; break;
    }
  }
  if (bitmap & kResourceLengthBits) {
    if (fork->forkType == kDataFork) return kFPBitmapErr;
    if (!fork->writable) return kFPAccessDenied;
    if (!fork->resource || length < 0 || length > kMaxResourceForkLength) return kFPParamErr;
    fork->resource->resize(static_cast<size_t>(length));
    result = afpWriteResourceFork(fork->entry, *fork->resource) ? kFPNoErr : kFPParamErr;
  }
  return result;
}

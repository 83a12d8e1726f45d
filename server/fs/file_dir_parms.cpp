#include "server/fs/file_dir_parms.h"

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/afp/command_codes.h"
#include "server/dsi/dsi_protocol.h"
#include "server/fs/access_rights.h"
#include "server/fs/afp_object.h"
#include "server/fs/object_request.h"
#include "server/fs/parameters.h"

namespace {

// The bits each set command accepts.
bool AllowedSetBitmap(uint8_t command, uint16_t bitmap, int32_t* result) {
  uint16_t allowed;
  switch (command) {
    case kFPSetDirParms: allowed = 0x0001 | 0x0004 | 0x0008 | 0x0010 | 0x0020 | 0x0400 | 0x0800 | 0x1000 | 0x4000 | 0x8000; break;
    case kFPSetFileParms: allowed = 0x0001 | 0x0004 | 0x0008 | 0x0010 | 0x0020 | 0x1000 | 0x8000; break;
    case kFPSetFileDirParms: allowed = 0x0001 | 0x0004 | 0x0008 | 0x0010 | 0x0020 | 0x8000; break;
    default:
      *result = kFPCallNotSupported;
      return false;
  }
  *result = (bitmap & ~allowed) != 0 ? kFPBitmapErr : kFPNoErr;
  return *result == kFPNoErr;
}

}  // namespace

AFP_HANDLER(FPGetFileDirParms) {
  BAFPBuffer in(request, requestLength);
  in.Advance(2);
  VolumeRef volume;
  if (afpReadOpenVolume(session, in, &volume) != kFPNoErr) return kFPParamErr;
  const int32_t dirID = in.GetInt32();
  uint16_t fileBitmap = static_cast<uint16_t>(in.GetInt16());
  uint16_t dirBitmap = static_cast<uint16_t>(in.GetInt16());
  char path[kPathBufferSize];
  if (in.ReadPastEnd()) return kFPParamErr;
  const int32_t pathResult = afpReadPath(in, path, sizeof(path));
  if (pathResult != kFPNoErr) return pathResult;
  BEntry entry;
  if (BAFPObject::SetAFPEntry(volume.get(), dirID, path, entry, false) != kFPNoErr) return kFPObjectNotFound;

  fileBitmap = afpAdjustBitmap(fileBitmap, session->GetAFPVersion());
  dirBitmap = afpAdjustBitmap(dirBitmap, session->GetAFPVersion());
  const bool isDirectory = entry.IsDirectory();
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt16(static_cast<int16_t>(fileBitmap));
  out.AddInt16(static_cast<int16_t>(dirBitmap));
  out.AddInt8(static_cast<int8_t>(isDirectory ? kFolderFlag : 0));
  if (fileBitmap != 0 || dirBitmap != 0) {
    out.AddInt8(0);
    const int32_t result =
        isDirectory ? BAFPObject::fp_GetDirParms(session, volume.get(), entry, dirBitmap, &out)
                    : BAFPObject::fp_GetFileParms(session, volume.get(), entry, fileBitmap, &out);
    if (result != kFPNoErr) return result;
  }
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}

AFP_HANDLER(FPSetFileDirParms) {
  BAFPBuffer in(request, requestLength);
  const auto command = static_cast<uint8_t>(in.GetInt8());
  in.Advance(1);
  VolumeRef volume;
  if (afpReadOpenVolume(session, in, &volume) != kFPNoErr) return kFPParamErr;
  const int32_t dirID = in.GetInt32();
  const auto bitmap = static_cast<uint16_t>(in.GetInt16());
  char path[kPathBufferSize];
  if (in.ReadPastEnd()) return kFPParamErr;
  const int32_t pathResult = afpReadPath(in, path, sizeof(path));
  if (pathResult != kFPNoErr) return pathResult;
  in.AdvanceIfOdd();
  int32_t result;
  if (!AllowedSetBitmap(command, bitmap, &result)) return result;
  BEntry entry;
  if (BAFPObject::SetAFPEntry(volume.get(), dirID, path, entry, false) != kFPNoErr) return kFPObjectNotFound;
  result = afpCheckWriteAccess(session, volume.get(), &entry);
  if (result != kFPNoErr) return result;
  result = afpRequireRight(session, afpGoverningFolder(volume.get(), entry), kRightWrite);
  if (result != kFPNoErr) return result;
  // Nothing is changed unless every field the bitmap names is present.
  if (in.Remaining() < afpSetParmsLength(bitmap, entry.IsDirectory(), session->IsAdmin())) return kFPParamErr;
  BAFPObject::fp_SetFileDirParms(session, &in, entry, bitmap);
  volume->MakeDirty();
  return kFPNoErr;
}

#include "server/fs/enumerate.h"

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/afp/command_codes.h"
#include "server/dsi/dsi_protocol.h"
#include "server/fs/access_rights.h"
#include "server/fs/afp_object.h"
#include "server/fs/enumeration_cursor.h"
#include "server/fs/object_request.h"
#include "server/fs/parameters.h"

namespace {


// The reply never grows beyond this, whatever maximum the client names.
constexpr int32_t kMaxReplySize = 4096;
// Each entry's parameters are written here first and copied only if they fit.
constexpr int32_t kScratchSize = 1024;

// Appends one entry: length, flag, (pad,) parameters, a pad to an even length.
void AppendEntry(BAFPBuffer& out, bool extended, bool isFolder, const signed char* parameters, int32_t length) {
  signed char* lengthField = out.GetCurrentPosPtr();
  int32_t entryLength = length + (extended ? 4 : 2);
  if (extended) out.AddInt16(0);
  else out.AddInt8(0);
  out.AddInt8(static_cast<int8_t>(isFolder ? kFolderFlag : 0));
  if (extended) out.AddInt8(0);
  out.AddRawData(parameters, length);
  if (entryLength % 2 != 0) {
    out.AddInt8(0);
    ++entryLength;
  }
  // FPEnumerate keeps only the low 8 bits of a longer entry's length.
  BAFPBuffer field(lengthField, extended ? 2 : 1);
  if (extended) field.AddInt16(static_cast<int16_t>(entryLength));
  else field.AddInt8(static_cast<int8_t>(entryLength));
}

}  // namespace

AFP_HANDLER(FPEnumerate) {
  BAFPBuffer in(request, requestLength);
  const auto command = static_cast<uint8_t>(in.GetInt8());
  if (command != kFPEnumerate && command != kFPEnumerateExt && command != kFPEnumerateExt2) return kFPParamErr;
  in.Advance(1);
  VolumeRef volume;
  if (afpReadOpenVolume(session, in, &volume) != kFPNoErr) return kFPParamErr;
  const int32_t dirID = in.GetInt32();
  auto fileBitmap = static_cast<uint16_t>(in.GetInt16());
  auto dirBitmap = static_cast<uint16_t>(in.GetInt16());
  const int32_t requestCount = in.GetInt16();
  const bool wide = command == kFPEnumerateExt2;
  const int32_t startIndex = wide ? in.GetInt32() : in.GetInt16();
  const int32_t maxReplySize = wide ? in.GetInt32() : in.GetInt16();
  if (in.ReadPastEnd()) return kFPParamErr;
  char path[kPathBufferSize];
  const int32_t pathResult = afpReadPath(in, path, sizeof(path));
  if (pathResult != kFPNoErr) return pathResult;

  fileBitmap = afpAdjustBitmap(fileBitmap, session->GetAFPVersion());
  dirBitmap = afpAdjustBitmap(dirBitmap, session->GetAFPVersion());
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt16(static_cast<int16_t>(fileBitmap));
  out.AddInt16(static_cast<int16_t>(dirBitmap));
  signed char* countField = out.GetCurrentPosPtr();
  out.AddInt16(0);

  BEntry folder;
  const int32_t resolved = BAFPObject::SetAFPEntry(volume.get(), dirID, path, folder, false);
  if (resolved != kFPNoErr) return resolved;
  // Directory ID 1 names the shared folder's parent, whose entries lie
  // outside the share: there is nothing to list there.
  if (!folder.IsDirectory() || !IsInside(volume->GetRootEntry(), folder)) return kFPObjectNotFound;
  const int32_t allowed = afpRequireRight(session, folder, kRightRead | kRightSearch);
  if (allowed != kFPNoErr) return allowed;
  EnumerationCursor& cursor = session->GetEnumerationCursor();
  if (cursor.Start(folder, startIndex) != B_OK) return kFPObjectNotFound;

  const bool extended = command != kFPEnumerate;
  int16_t count = 0;
  BEntry entry;
  int64_t position;
  // Ends with the folder's last entry, and like it when the folder fails to read.
  while (cursor.Next(&entry, &position)) {
    const auto index = static_cast<int16_t>(position);
    if (index < startIndex) continue;
    const bool isFolder = entry.IsDirectory();
    const uint16_t bitmap = isFolder ? dirBitmap : fileBitmap;
    if (bitmap == 0) continue;

    signed char scratch[kScratchSize];
    BAFPBuffer parameters(scratch, sizeof(scratch));
    // An entry that can't be encoded is left out; it has used up its index.
    const int32_t encoded =
        isFolder ? BAFPObject::fp_GetDirParms(session, volume.get(), entry, bitmap, &parameters)
                 : BAFPObject::fp_GetFileParms(session, volume.get(), entry, bitmap, &parameters);
    if (encoded == kFPNoErr) {
      const int32_t length = parameters.GetDataLength();
      const int32_t needed = out.GetDataLength() + length + 4;
      if (needed >= maxReplySize || needed > kMaxReplySize) {
        cursor.Unread();
        break;
      }
      ++count;
      AppendEntry(out, extended, isFolder, scratch, length);
    }
    if (count >= requestCount || out.GetDataLength() >= maxReplySize) break;
  }

  BAFPBuffer(countField, 2).AddInt16(count);
  *replyLength = out.GetDataLength();
  return count > 0 ? kFPNoErr : kFPObjectNotFound;
}

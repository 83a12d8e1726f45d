#include "server/xattr/ext_attribute_commands.h"

#include <cstring>

#include "platform/node.h"
#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/dsi/dsi_protocol.h"
#include "server/fs/access_rights.h"
#include "server/fs/afp_object.h"
#include "server/fs/object_request.h"

namespace {

constexpr uint16_t kNoFollowOption = 0x0001;
constexpr uint16_t kCreateOnlyOption = 0x0002;
constexpr uint16_t kReplaceOnlyOption = 0x0004;
constexpr uint16_t kAttributeNameSize = 255;
constexpr int32_t kReplyHeaderSize = 6;  // bitmap and length

// What every request names: the object, resolved inside the share.
struct AttributeTarget {
  VolumeRef volume;
  uint16_t bitmap = 0;
  BEntry entry;
  // A symbolic link addressed itself (no-follow option). Linux keeps no
  // user attributes on links: it has none, and none can be set.
  bool isLink = false;
};

// Reads the volume, directory ID and bitmap, then `skip` bytes of fields
// the command does not use, then the path; resolves the object.
int32_t ReadTarget(BAFPSession* session, BAFPBuffer& in, int32_t skip, int32_t* maxReply, AttributeTarget* target) {
  in.Advance(2);
  if (afpReadOpenVolume(session, in, &target->volume) != kFPNoErr) return kFPParamErr;
  const int32_t dirID = in.GetInt32();
  target->bitmap = static_cast<uint16_t>(in.GetInt16());
  in.Advance(skip);
  if (maxReply != nullptr) *maxReply = in.GetInt32();
  char path[kPathBufferSize];
  if (in.ReadPastEnd()) return kFPParamErr;
  const int32_t result = afpReadPath(in, path, sizeof(path));
  if (result != kFPNoErr) return result;
  const bool follow = (target->bitmap & kNoFollowOption) == 0;
  if (BAFPObject::SetAFPEntry(target->volume.get(), dirID, path, target->entry, follow) != kFPNoErr)
    return kFPObjectNotFound;
  EntryInfo info;
  target->isLink = target->entry.GetInfo(&info) == B_OK && info.isSymlink;
  return kFPNoErr;
}

// The name after the pad: a 16-bit length and UTF-8, converted.
int32_t ReadName(BAFPBuffer& in, char (&name)[kAttributeNameSize]) {
  in.AdvanceIfOdd();
  uint16_t length = static_cast<uint16_t>(in.GetInt16());
  if (in.ReadPastEnd() || length == 0) return kFPParamErr;
  return in.GetUniString(name, sizeof(name), &length) == kFPNoErr ? kFPNoErr : kFPParamErr;
}

}  // namespace

AFP_HANDLER(FPGetExtAttribute) {
  BAFPBuffer in(request, requestLength);
  AttributeTarget target;
  int32_t maxReply = 0;
  int32_t result = ReadTarget(session, in, 16, &maxReply, &target);  // offset, request count
  if (result != kFPNoErr) return result;
  char name[kAttributeNameSize];
  if (ReadName(in, name) != kFPNoErr) return kFPParamErr;
  if (target.isLink) return kFPObjectNotFound;
  BNode node(target.entry.DiskPath().c_str());
  attr_info info;
  if (node.InitCheck() != B_OK) return kFPParamErr;
  if (node.GetAttrInfo(name, &info) != B_OK) return kFPObjectNotFound;
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt16(static_cast<int16_t>(target.bitmap));
  out.AddInt32(static_cast<int32_t>(info.size));
  if (maxReply > 0) {
    if (kReplyHeaderSize + info.size > kReplyAreaSize) return kFPMiscErr;
    const size_t wanted = static_cast<size_t>(std::min<int64_t>(info.size, maxReply));
    const ssize_t got = node.ReadAttr(name, 0, 0, out.GetCurrentPosPtr(), wanted);
    if (got > 0) out.Advance(static_cast<int32_t>(got));
  }
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}

AFP_HANDLER(FPSetExtAttribute) {
  BAFPBuffer in(request, requestLength);
  AttributeTarget target;
  int32_t result = ReadTarget(session, in, 8, nullptr, &target);  // offset
  if (result != kFPNoErr) return result;
  char name[kAttributeNameSize];
  if (ReadName(in, name) != kFPNoErr) return kFPParamErr;
  const int32_t length = in.GetInt32();
  // The value must lie within the request.
  if (in.ReadPastEnd() || length < 0 || length > in.Remaining()) return kFPParamErr;
  if ((result = afpRequireMetadataChange(session, target.volume.get(), target.entry)) != kFPNoErr) return result;
  if (target.isLink) return kFPAccessDenied;
  BNode node(target.entry.DiskPath().c_str());
  if (node.InitCheck() != B_OK) return kFPParamErr;
  attr_info info;
  const bool exists = node.GetAttrInfo(name, &info) == B_OK;
  if (exists && (target.bitmap & kCreateOnlyOption)) return kFPObjectExists;
  if (!exists && (target.bitmap & kReplaceOnlyOption)) return kFPObjectNotFound;
  const ssize_t written = node.WriteAttr(name, 0, 0, in.GetCurrentPosPtr(), static_cast<size_t>(length));
  return written == length ? kFPNoErr : kFPMiscErr;
}

AFP_HANDLER(FPRemoveExtAttribute) {
  BAFPBuffer in(request, requestLength);
  AttributeTarget target;
  int32_t result = ReadTarget(session, in, 0, nullptr, &target);
  if (result != kFPNoErr) return result;
  char name[kAttributeNameSize];
  if (ReadName(in, name) != kFPNoErr) return kFPParamErr;
  if ((result = afpRequireMetadataChange(session, target.volume.get(), target.entry)) != kFPNoErr) return result;
  if (target.isLink) return kFPObjectNotFound;
  BNode node(target.entry.DiskPath().c_str());
  if (node.InitCheck() != B_OK) return kFPParamErr;
  switch (node.RemoveAttr(name)) {
    case B_OK: return kFPNoErr;
    case B_NOT_ALLOWED:
    case B_PERMISSION_DENIED: return kFPAccessDenied;
    case B_ENTRY_NOT_FOUND: return kFPObjectNotFound;
    default: return kFPParamErr;
  }
}

AFP_HANDLER(FPListExtAttribute) {
  BAFPBuffer in(request, requestLength);
  AttributeTarget target;
  int32_t maxReply = 0;
  const int32_t result = ReadTarget(session, in, 6, &maxReply, &target);  // request count, start index
  if (result != kFPNoErr) return result;
  BNode node;  // a link itself lists no names
  if (!target.isLink && node.SetTo(target.entry.DiskPath().c_str()) != B_OK) return kFPParamErr;
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt16(static_cast<int16_t>(target.bitmap));
  signed char* totalField = out.GetCurrentPosPtr();
  out.AddInt32(0);
  int32_t total = 0;
  char name[B_ATTR_NAME_LENGTH];
  while (node.GetNextAttrName(name) == B_OK) {
    const auto length = static_cast<int32_t>(std::strlen(name)) + 1;
    total += length;
    if (maxReply <= 0) continue;
    if (total > maxReply || !out.CheckSpaceNeeded(length)) {
      total -= length;
      break;
    }
    out.AddRawData(name, length);
  }
  if (maxReply == 0) total += kReplyHeaderSize;
  BAFPBuffer field(totalField, 4);
  field.AddInt32(total);
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}

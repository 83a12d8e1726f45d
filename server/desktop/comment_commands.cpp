#include "server/desktop/comment_commands.h"

#include <algorithm>
#include <cstring>

#include "platform/directory.h"
#include "platform/node.h"
#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/desktop/desktop_request.h"
#include "server/dsi/dsi_protocol.h"
#include "server/fs/access_rights.h"

namespace {

constexpr const char* kCommentAttribute = "Afp_Comment";
constexpr uint32_t kCommentType = 0x52415754;  // 'RAWT'
constexpr int32_t kMaxCommentLength = 199;
constexpr uint16_t kCommentPathSize = 1024;  // at most 1023 bytes

// The object a comment request names.
struct CommentRequest {
  uint16_t reference = 0;
  int32_t dirID = 0;
  char path[kCommentPathSize];
};

int32_t ReadCommentRequest(BAFPBuffer& in, CommentRequest* request) {
  request->reference = afpReadDesktopReference(in);
  request->dirID = in.GetInt32();
  if (in.ReadPastEnd()) return kFPParamErr;
  return afpReadDesktopPath(in, request->path, sizeof(request->path));
}

// The commented object's node, locked for the attribute access (an object
// whose node cannot be locked is still served).
struct CommentedNode {
  VolumeRef volume;
  BEntry entry;
  BNode node;
};

int32_t OpenCommentedNode(BAFPSession* session, const CommentRequest& request, CommentedNode* target) {
  const int32_t result =
      afpResolveOnDesktop(session, request.reference, request.dirID, request.path, &target->volume, &target->entry);
  if (result != kFPNoErr) return result;
  if (target->node.SetTo(target->entry.DiskPath().c_str()) != B_OK) return kFPObjectNotFound;
  target->node.Lock();
  return kFPNoErr;
}

// Comments are stored with '/' and ':' exchanged as in names; the reply
// undoes both, so a comment reads back as it was written.
void RestoreSeparators(char* comment) {
  for (char* c = comment; *c != '\0'; ++c)
    if (*c == '/') *c = ':';
}

}  // namespace

AFP_HANDLER(FPAddComment) {
  BAFPBuffer in(request, requestLength);
  CommentRequest target;
  if (ReadCommentRequest(in, &target) != kFPNoErr) return kFPParamErr;
  in.AdvanceIfOdd();
  char comment[kMaxCommentLength + 1];
  const int32_t start = in.GetDataLength();
  if (in.ReadPastEnd() || in.GetString(comment, sizeof(comment), true, kLongNamePath) != kFPNoErr)
    return kFPParamErr;
  const int32_t length = in.GetDataLength() - start - 1;  // the Pascal length
  CommentedNode object;
  int32_t result = OpenCommentedNode(session, target, &object);
  if (result != kFPNoErr) return result;
  if ((result = afpRequireMetadataChange(session, object.volume.get(), object.entry)) != kFPNoErr) return result;
  const ssize_t written = object.node.WriteAttr(kCommentAttribute, kCommentType, 0, comment, length);
  return written == length ? kFPNoErr : kFPParamErr;
}

AFP_HANDLER(FPRemoveComment) {
  BAFPBuffer in(request, requestLength);
  CommentRequest target;
  if (ReadCommentRequest(in, &target) != kFPNoErr) return kFPParamErr;
  CommentedNode object;
  int32_t result = OpenCommentedNode(session, target, &object);
  if (result != kFPNoErr) return result;
  if ((result = afpRequireMetadataChange(session, object.volume.get(), object.entry)) != kFPNoErr) return result;
  return object.node.RemoveAttr(kCommentAttribute) == B_OK ? kFPNoErr : kFPParamErr;
}

AFP_HANDLER(FPGetComment) {
  BAFPBuffer in(request, requestLength);
  CommentRequest target;
  if (ReadCommentRequest(in, &target) != kFPNoErr) return kFPParamErr;
  CommentedNode object;
  const int32_t result = OpenCommentedNode(session, target, &object);
  if (result != kFPNoErr) return result;
  attr_info info;
  if (object.node.GetAttrInfo(kCommentAttribute, &info) != B_OK || info.size <= 0) return kFPItemNotFound;
  char comment[kMaxCommentLength + 1] = {};
  const auto wanted = static_cast<size_t>(std::min<int64_t>(info.size, kMaxCommentLength));
  if (object.node.ReadAttr(kCommentAttribute, kCommentType, 0, comment, wanted) < 0) return kFPParamErr;
  RestoreSeparators(comment);
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddCStringAsPascal(comment);
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}

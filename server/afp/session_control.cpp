#include "server/afp/session_control.h"

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/dsi/dsi_protocol.h"
#include "server/dsi/session_manager.h"

namespace {

// FPGetSessionToken types (low byte of the type field).
constexpr uint8_t kTokenPlain = 0;
constexpr uint8_t kTokenLoginWithID = 1;
constexpr uint8_t kTokenLoginWithTimeStamp = 3;
constexpr uint8_t kTokenReconnect = 4;
constexpr int32_t kTokenLength = 4;

// Finds a live session other than `session` that carries this client id.
LockedSession OtherSessionWithID(BAFPSession* session, int32_t length, const signed char* id) {
  return gAFPSessionMgr.load()->FindSessionByID(length, id, session);
}

}  // namespace

AFP_HANDLER(FPGetSessionToken) {
  BAFPBuffer in(request, requestLength);
  in.Advance(2);  // command, pad
  const uint8_t type = static_cast<uint8_t>(in.GetInt16());
  int32_t idLength = 0;
  uint32_t stamp = 0;
  const signed char* id = nullptr;
  if (type != kTokenPlain) {
    idLength = in.GetInt32();
    if (type == kTokenLoginWithTimeStamp || type == kTokenReconnect) stamp = static_cast<uint32_t>(in.GetInt32());
    if (idLength < 0 || idLength > in.Remaining()) return kFPParamErr;
    id = in.GetCurrentPosPtr();
    in.Advance(idLength);
  }
  if (in.ReadPastEnd() || type > kTokenReconnect) return kFPParamErr;

  switch (type) {
    case kTokenLoginWithID:
      if (idLength > 0) {
        if (LockedSession older = OtherSessionWithID(session, idLength, id)) older->KillSession();
      }
      session->SetClientID(idLength, id);
      break;
    case kTokenLoginWithTimeStamp: {
      bool record = true;
      if (idLength > 0) {
        if (LockedSession older = OtherSessionWithID(session, idLength, id)) {
          if (older->GetAFPTimeStamp() != stamp) {
            older->KillSession();
            record = false;
          }
        }
      }
      if (record) {
        session->SetAFPTimeStamp(stamp);
        session->SetClientID(idLength, id);
      }
      break;
    }
    case kTokenReconnect:
      session->SetAFPTimeStamp(stamp);
      session->SetClientID(idLength, id);
      break;
    default:  // plain, or 2: nothing recorded
      break;
  }

  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt32(kTokenLength);
  out.AddInt32(session->GetToken());
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}

AFP_HANDLER(FPDisconnectOldSession) {
  BAFPBuffer in(request, requestLength);
  in.Advance(2);  // command, pad
  in.GetInt16();  // type: not used
  const int32_t tokenLength = in.GetInt32();
  if (in.ReadPastEnd() || tokenLength != kTokenLength) return kFPParamErr;
  const int32_t token = in.GetInt32();
  if (in.ReadPastEnd()) return kFPParamErr;
  if (LockedSession older = gAFPSessionMgr.load()->FindSessionByToken(token)) older->KillSession();
  return kFPNoErr;
}

AFP_HANDLER(FPZzzz) {
  // The flags that follow the command are not used; clients may omit them.
  session->SetClientIsSleeping(true);
  return kFPNoErr;
}

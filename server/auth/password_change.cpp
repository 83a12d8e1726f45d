#include "server/auth/password_change.h"

#include <cstring>

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/auth/account_store.h"
#include "server/auth/login.h"
#include "server/auth/credential_fields.h"
#include "server/dsi/dsi_protocol.h"

namespace {

constexpr int32_t kEveryUserID = 1;

}  // namespace

int32_t afpImpChangePswd(const char* name, char* oldPassword, char* newPassword, int16_t key, int16_t loginType) {
  if (loginType != kLoginCleartext && loginType != kLoginScrambled2) return kFPBadUAM;
  AFP_USER_DATA account;
  const int32_t found = afpGetUserDataByName(name, &account);
  if (found != kFPNoErr) return found;
  if ((account.flags & kAccountMayChangePassword) == 0) return kFPAccessDenied;
  if (loginType == kLoginScrambled2) {
    afpUnscrambleWithKey(oldPassword, key);
    afpUnscrambleWithKey(newPassword, key);
  }
  if (std::strncmp(oldPassword, account.password, sizeof(account.password)) != 0) return kFPUserNotAuth;
  if (newPassword[0] == '\0') return kFPPwdTooShortErr;
  if (std::strncmp(newPassword, account.password, sizeof(account.password)) == 0) return kFPPwdSameErr;
  std::memset(account.password, 0, sizeof(account.password));
  std::strncpy(account.password, newPassword, sizeof(account.password) - 1);
  account.flags &= ~kAccountPasswordExpired;
  return afpUpdateUserInfo(account);
}

AFP_HANDLER(FPChangePswd) {
  // No diagnostic dump of the request: it carries passwords.
  BAFPBuffer in(request, requestLength);
  in.Advance(2);
  char method[kMethodNameSize];
  afpReadCredentialText(in, method, sizeof(method));
  const signed char loginType = afpGetUAMType(method);
  char name[kUserNameSize] = {};
  // Sessions of "AFP2.2" (or none) name the account in the request; later
  // versions change their own account.
  if (session->GetAFPVersion() > kAFPVersion22) {
    in.Advance(2);
    std::strncpy(name, session->GetUserName(), sizeof(name) - 1);
  } else {
    afpReadCredentialText(in, name, sizeof(name));
  }
  in.AdvanceIfOdd();
  if (in.ReadPastEnd()) return kFPParamErr;

  char oldPassword[kScrambledPasswordSize] = {};
  char newPassword[kScrambledPasswordSize] = {};
  int16_t key = 0;
  switch (loginType) {
    case kLoginGuest:
    case kLoginScrambled1:
      return kFPBadUAM;
    case kLoginCleartext:
      in.GetRawData(oldPassword, kCleartextPasswordLength);
      in.GetRawData(newPassword, kCleartextPasswordLength);
      break;
    case kLoginScrambled2:
      key = in.GetInt16();
      afpReadCredentialText(in, oldPassword, sizeof(oldPassword));
      afpReadCredentialText(in, newPassword, sizeof(newPassword));
      break;
    default:
      break;
  }
  if (in.ReadPastEnd()) return kFPParamErr;
  return afpImpChangePswd(name, oldPassword, newPassword, key, loginType);
}

AFP_HANDLER(FPGetUserInfo) {
  BAFPBuffer in(request, requestLength);
  in.Advance(2);  // command, flags
  in.GetInt32();  // user ID: every user reads as the same ID
  const int16_t bitmap = in.GetInt16();
  if (in.ReadPastEnd()) return kFPParamErr;
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt16(bitmap);
  out.AddInt32(kEveryUserID);
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}

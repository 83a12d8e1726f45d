#include "server/auth/login.h"

#include <strings.h>

#include <cstring>
#include <iterator>

#include "platform/clock.h"
#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/afp/command_codes.h"
#include "server/auth/account_store.h"
#include "server/auth/credential_fields.h"
#include "server/dsi/dsi_protocol.h"

namespace {

constexpr uint16_t kVersionSize = 16;
constexpr uint16_t kPathNameSize = 256;

// An 8-byte clear-text password, ending after its eighth byte.
void ReadCleartextPassword(BAFPBuffer& in, char (&out)[kCleartextPasswordLength + 1]) {
  in.GetRawData(out, kCleartextPasswordLength);
  out[kCleartextPasswordLength] = '\0';
}

// The user name of FPLoginExt: a type byte, then a name of that type; then
// the path name, which no method uses and which clients may leave out (the
// password then follows directly).
void ReadLoginExtUserName(BAFPBuffer& in, char* name) {
  const signed char nameType = in.GetInt8();
  if (in.GetString(name, kUserNameSize, false, nameType) != kFPNoErr) name[0] = '\0';
  if (in.Remaining() <= kCleartextPasswordLength + 1) return;
  const signed char pathType = in.GetInt8();
  char path[kPathNameSize];
  in.GetString(path, sizeof(path), false, pathType);
}

int32_t CompleteLogin(BAFPSession* session, int32_t result, signed char loginType, const AFP_USER_DATA& account) {
  if (result == kFPNoErr || result == kFPPwdExpiredErr) session->SetUAMLoginInfo(loginType, &account);
  if (result == kFPNoErr) session->SetIsAuthenticated(true);
  return result;
}

}  // namespace

signed char afpGetUAMType(const char* name) {
  for (size_t i = 0; i < std::size(kLoginMethodNames); ++i)
    if (strcasecmp(name, kLoginMethodNames[i]) == 0) return static_cast<signed char>(i + 1);
  return kLoginNone;
}

int32_t afpImpLogonUser(const char* name, char* password, int32_t key, int16_t loginType, AFP_USER_DATA* out) {
  if (loginType == kLoginGuest) return afpAccountEnabled(kGuestAccountName) ? kFPNoErr : kFPUserNotAuth;
  if (loginType < kLoginCleartext || loginType > kLoginScrambled2) return kFPBadUAM;
  AFP_USER_DATA account;
  if (afpGetUserDataByName(name, &account) != kFPNoErr) return kFPUserNotAuth;
  if ((account.flags & kAccountEnabled) == 0) return kFPUserNotAuth;
  if (loginType == kLoginScrambled1) xordecrypt(password, password, kScrambledPasswordLength);
  if (loginType == kLoginScrambled2) afpUnscrambleWithKey(password, key);
  if (strncmp(password, account.password, sizeof(account.password)) != 0) return kFPUserNotAuth;
  *out = account;
  return (account.flags & kAccountPasswordExpired) != 0 ? kFPPwdExpiredErr : kFPNoErr;
}

AFP_HANDLER(FPLogin) {
  if (session->IsAuthenticated()) return kFPMiscErr;
  BAFPBuffer in(request, requestLength);
  const bool extended = static_cast<uint8_t>(in.GetInt8()) == kFPLoginExt;
  if (extended) {
    in.Advance(1);
    in.GetInt16();  // flags: not used
  }
  char version[kVersionSize];
  char method[kMethodNameSize];
  afpReadCredentialText(in, version, sizeof(version));
  afpReadCredentialText(in, method, sizeof(method));
  if (in.ReadPastEnd()) return kFPParamErr;
  for (size_t i = 0; i < std::size(kAFPVersionNames); ++i)
    if (std::strcmp(version, kAFPVersionNames[i]) == 0) session->SetAFPVersion(static_cast<signed char>(i + 1));

  char name[kUserNameSize] = {};
  AFP_USER_DATA account{};
  switch (afpGetUAMType(method)) {
    case kLoginGuest: {
      const int32_t result = afpImpLogonUser(nullptr, nullptr, 0, kLoginGuest, nullptr);
      if (result != kFPNoErr) return result;
      session->SetUAMLoginInfo(kLoginGuest, nullptr);
      session->SetIsAuthenticated(true);
      return kFPNoErr;
    }
    case kLoginCleartext: {
      if (extended)
        ReadLoginExtUserName(in, name);
      else
        afpReadCredentialText(in, name, sizeof(name));
      in.AdvanceIfOdd();
      char password[kCleartextPasswordLength + 1];
      ReadCleartextPassword(in, password);
      if (in.ReadPastEnd()) return kFPParamErr;
      const int32_t result = afpImpLogonUser(name, password, 0, kLoginCleartext, &account);
      return CompleteLogin(session, result, kLoginCleartext, account);
    }
    case kLoginScrambled1: {
      afpReadCredentialText(in, name, sizeof(name));
      in.AdvanceIfOdd();
      char password[kScrambledPasswordSize];
      afpReadCredentialText(in, password, sizeof(password));
      if (in.ReadPastEnd()) return kFPParamErr;
      const int32_t result = afpImpLogonUser(name, password, 0, kLoginScrambled1, &account);
      // An expired password records nothing for this method.
      return result == kFPNoErr ? CompleteLogin(session, result, kLoginScrambled1, account) : result;
    }
    case kLoginScrambled2: {
      afpReadCredentialText(in, name, sizeof(name));
      if (in.ReadPastEnd()) return kFPParamErr;
      const auto key = static_cast<uint32_t>(real_time_clock()) & 0x0F;
      session->StoreTemporaryLogonInfo(name, key, kLoginScrambled2);
      BAFPBuffer out(reply, kReplyAreaSize);
      out.AddInt16(static_cast<int16_t>(key));
      *replyLength = out.GetDataLength();
      return kFPAuthContinue;
    }
    default:
      return kFPBadUAM;
  }
}

AFP_HANDLER(FPContLogin) {
  const signed char loginType = session->GetUAMLoginType();
  BAFPBuffer in(request, requestLength);
  in.Advance(2);
  char password[kScrambledPasswordSize];
  afpReadCredentialText(in, password, sizeof(password));
  if (in.ReadPastEnd()) return kFPParamErr;
  AFP_USER_DATA account{};
  const int32_t result =
      afpImpLogonUser(session->GetTemporaryUserName(), password, session->GetLogonKey(), loginType, &account);
  return CompleteLogin(session, result, loginType, account);
}

AFP_HANDLER(FPLogout) {
  session->SetIsAuthenticated(false);
  AFP_USER_DATA account;
  if (session->GetUserInfo(&account) == kFPNoErr && (account.flags & kAccountChangeBeforeLogin) != 0)
    session->SetUAMLoginInfo(kLoginNone, &account);
  return kFPNoErr;
}

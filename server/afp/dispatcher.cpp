#include "server/afp/dispatcher.h"

#include "server/admin/server_messages.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/afp/server_info.h"
#include "server/afp/session_control.h"
#include "server/auth/account_store.h"
#include "server/auth/login.h"
#include "server/auth/password_change.h"
#include "server/desktop/application_commands.h"
#include "server/desktop/comment_commands.h"
#include "server/desktop/desktop_commands.h"
#include "server/desktop/icon_commands.h"
#include "server/fork/byte_range_lock.h"
#include "server/fork/fork_commands.h"
#include "server/fork/fork_io.h"
#include "server/fs/enumerate.h"
#include "server/fs/file_dir_parms.h"
#include "server/fs/namespace_commands.h"
#include "server/volume/volume_commands.h"
#include "server/xattr/ext_attribute_commands.h"

// Commands whose handlers are not built yet answer as unimplemented ones do.
const AFPCommandEntry afpTable[kAFPTableSize] = {
    {FPUnimplemented, ""},                         // 0
    {FPByteRangeLock, "FPByteRangeLock"},          // 1
    {FPCloseVol, "FPCloseVol"},                    // 2
    {FPUnimplemented, ""},                         // 3
    {FPCloseFork, "FPCloseFork"},                  // 4
    {FPCopyFile, "FPCopyFile"},                    // 5
    {FPCreateDir, "FPCreateDir"},                  // 6
    {FPCreateFile, "FPCreateFile"},                // 7
    {FPDelete, "FPDelete"},                        // 8
    {FPEnumerate, "FPEnumerate"},                  // 9
    {FPFlush, "FPFlush"},                          // 10
    {FPFlushFork, "FPFlushFork"},                  // 11
    {FPUnimplemented, ""},                         // 12
    {FPUnimplemented, ""},                         // 13
    {FPGetForkParms, "FPGetForkParms"},            // 14
    {FPGetSrvrInfo, "FPGetSrvrInfo"},              // 15
    {FPGetSrvrParms, "FPGetSrvrParms"},            // 16
    {FPGetVolParms, "FPGetVolParms"},              // 17
    {FPLogin, "FPLogin"},                          // 18
    {FPUnimplemented, "FPContLogin"},              // 19: reached only before login
    {FPLogout, "FPLogout"},                        // 20
    {FPMapID, "FPMapID"},                          // 21
    {FPUnimplemented, ""},                         // 22
    {FPMoveAndRename, "FPMoveAndRename"},          // 23
    {FPOpenVol, "FPOpenVol"},                      // 24
    {FPUnimplemented, ""},                         // 25
    {FPOpenFork, "FPOpenFork"},                    // 26
    {FPRead, "FPRead"},                            // 27
    {FPRename, "FPRename"},                        // 28
    {FPSetFileDirParms, "FPSetFileDirParms"},      // 29
    {FPSetFileDirParms, "FPSetFileDirParms"},      // 30
    {FPSetForkParms, "FPSetForkParms"},            // 31
    {FPUnimplemented, ""},                         // 32
    {FPWrite, "FPWrite"},                          // 33
    {FPGetFileDirParms, "FPGetFileDirParms"},      // 34
    {FPSetFileDirParms, "FPSetFileDirParms"},      // 35
    {FPChangePswd, "FPChangePswd"},                // 36
    {FPGetUserInfo, "FPGetUserInfo"},              // 37
    {FPGetServerMessage, "FPGetServerMessage"},    // 38
    {FPCreateID, "FPCreateID"},                    // 39
    {FPUnimplemented, ""},                         // 40
    {FPUnimplemented, ""},                         // 41
    {FPUnimplemented, ""},                         // 42
    {FPUnimplemented, ""},                         // 43
    {FPUnimplemented, ""},                         // 44
    {FPUnimplemented, ""},                         // 45
    {FPUnimplemented, ""},                         // 46
    {FPUnimplemented, ""},                         // 47
    {FPOpenDT, "FPOpenDT"},                        // 48
    {FPCloseDT, "FPCloseDT"},                      // 49
    {FPUnimplemented, ""},                         // 50
    {FPGetIcon, "FPGetIcon"},                      // 51
    {FPGetIconInfo, "FPGetIconInfo"},              // 52
    {FPAddAPPL, "FPAddAPPL"},                      // 53
    {FPRemoveAPPL, "FPRemoveAPPL"},                // 54
    {FPGetAPPL, "FPGetAPPL"},                      // 55
    {FPAddComment, "FPAddComment"},                // 56
    {FPRemoveComment, "FPRemoveComment"},          // 57
    {FPGetComment, "FPGetComment"},                // 58
    {FPByteRangeLock, "FPByteRangeLock"},          // 59: 64-bit form
    {FPRead, "FPRead"},                            // 60: 64-bit form
    {FPWrite, "FPWrite"},                          // 61: 64-bit form
    {FPUnimplemented, ""},                         // 62
    {FPLogin, "FPLogin"},                          // 63: extended form
    {FPGetSessionToken, "FPGetSessionToken"},      // 64
    {FPDisconnectOldSession, "FPDisconnectOldSession"},  // 65
    {FPEnumerate, "FPEnumerateExt"},              // 66
    {FPUnimplemented, ""},                         // 67
    {FPEnumerate, "FPEnumerateExt2"},             // 68
    {FPGetExtAttribute, "FPGetExtAttribute"},      // 69
    {FPSetExtAttribute, "FPSetExtAttribute"},      // 70
    {FPRemoveExtAttribute, "FPRemoveExtAttribute"},  // 71
    {FPListExtAttribute, "FPListExtAttribute"},    // 72
};

namespace {

// Before login a password change is admitted only for the account of the
// last login attempt, when its password has expired and it may be changed
// before login.
bool PasswordChangeAdmittedBeforeLogin(BAFPSession* session) {
  AFP_USER_DATA account;
  constexpr uint32_t kRequired = kAccountPasswordExpired | kAccountChangeBeforeLogin;
  return session->GetUserInfo(&account) == kFPNoErr && (account.flags & kRequired) == kRequired;
}

}  // namespace

AFP_HANDLER(FPUnimplemented) {
  return kFPCallNotSupported;
}

AFP_HANDLER(FPDispatchCommand) {
  *replyLength = 0;
  if (requestLength < 1) return kFPParamErr;
  const auto code = static_cast<uint8_t>(request[0]);
  if (session->IsAuthenticated()) {
    if (code < kAFPTableSize) return afpTable[code].handler(session, request, requestLength, reply, replyLength);
    if (code == kFPZzzz) return FPZzzz(session, request, requestLength, reply, replyLength);
    if (code == kFPAddIcon) return FPAddIcon(session, request, requestLength, reply, replyLength);
    return kFPCallNotSupported;
  }
  switch (code) {
    case kFPGetSrvrInfo:
      return FPGetSrvrInfo(session, request, requestLength, reply, replyLength);
    case kFPLogin:
    case kFPLoginExt:
      return FPLogin(session, request, requestLength, reply, replyLength);
    case kFPContLogin:
      return FPContLogin(session, request, requestLength, reply, replyLength);
    case kFPChangePswd:
      if (!PasswordChangeAdmittedBeforeLogin(session)) return kFPNoErr;
      return afpTable[kFPChangePswd].handler(session, request, requestLength, reply, replyLength);
    default:
      return kFPCallNotSupported;
  }
}

AFPHandler afpReadHandler(uint8_t code) {
  return code == kFPRead || code == kFPReadExt ? afpTable[code].handler : nullptr;
}

AFPHandler afpWriteHandler(uint8_t code) {
  if (code == kFPWrite || code == kFPWriteExt) return afpTable[code].handler;
  if (code == kFPAddIcon) return FPAddIcon;
  return nullptr;
}

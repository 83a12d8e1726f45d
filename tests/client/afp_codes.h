// Numbers of the DSI and AFP protocols that tests refer to by name.
#pragma once

#include <cstdint>

namespace afptest {

// DSI commands (byte 1 of the frame header).
enum DsiCommand : uint8_t {
  kDsiCloseSession = 1,
  kDsiCommand = 2,
  kDsiGetStatus = 3,
  kDsiOpenSession = 4,
  kDsiTickle = 5,
  kDsiWrite = 6,
  kDsiAttention = 8,
};

// DSI header flags (byte 0).
inline constexpr uint8_t kDsiRequest = 0;
inline constexpr uint8_t kDsiReply = 1;

// AFP command codes (first byte of an AFP request).
enum AfpCommand : uint8_t {
  kFPByteRangeLock = 1,
  kFPCloseVol = 2,
  kFPCloseFork = 4,
  kFPCopyFile = 5,
  kFPCreateDir = 6,
  kFPCreateFile = 7,
  kFPDelete = 8,
  kFPEnumerate = 9,
  kFPFlush = 10,
  kFPFlushFork = 11,
  kFPGetForkParms = 14,
  kFPGetSrvrInfo = 15,
  kFPGetSrvrParms = 16,
  kFPGetVolParms = 17,
  kFPLogin = 18,
  kFPLoginCont = 19,
  kFPLogout = 20,
  kFPMapID = 21,
  kFPMoveAndRename = 23,
  kFPOpenVol = 24,
  kFPOpenFork = 26,
  kFPRead = 27,
  kFPRename = 28,
  kFPSetDirParms = 29,
  kFPSetFileParms = 30,
  kFPSetForkParms = 31,
  kFPWrite = 33,
  kFPGetFileDirParms = 34,
  kFPSetFileDirParms = 35,
  kFPChangePassword = 36,
  kFPGetUserInfo = 37,
  kFPGetSrvrMsg = 38,
  kFPCreateID = 39,
  kFPOpenDT = 48,
  kFPCloseDT = 49,
  kFPGetIcon = 51,
  kFPGetIconInfo = 52,
  kFPAddAPPL = 53,
  kFPRemoveAPPL = 54,
  kFPGetAPPL = 55,
  kFPAddComment = 56,
  kFPRemoveComment = 57,
  kFPGetComment = 58,
  kFPByteRangeLockExt = 59,
  kFPReadExt = 60,
  kFPWriteExt = 61,
  kFPLoginExt = 63,
  kFPGetSessionToken = 64,
  kFPDisconnectOldSession = 65,
  kFPEnumerateExt = 66,
  kFPEnumerateExt2 = 68,
  kFPGetExtAttr = 69,
  kFPSetExtAttr = 70,
  kFPRemoveExtAttr = 71,
  kFPListExtAttrs = 72,
  kFPZzzzz = 122,
  kFPAddIcon = 192,
};

// AFP result codes (the error-code field of a DSI reply).
enum AfpResult : int32_t {
  kFPNoErr = 0,
  kFPAccessDenied = -5000,
  kFPAuthContinue = -5001,
  kFPBadUAM = -5002,
  kFPBitmapErr = -5004,
  kFPDiskFull = -5008,
  kFPEOFErr = -5009,
  kFPItemNotFound = -5012,
  kFPLockErr = -5013,
  kFPMiscErr = -5014,
  kFPObjectExists = -5017,
  kFPObjectNotFound = -5018,
  kFPParamErr = -5019,
  kFPRangeNotLocked = -5020,
  kFPUserNotAuth = -5023,
  kFPCallNotSupported = -5024,
  kFPObjectTypeErr = -5025,
  kFPTooManyFilesOpen = -5026,
  kFPDirNotFound = -5029,
  kFPIconTypeError = -5030,
  kFPVolLocked = -5031,
  kFPObjectLocked = -5032,
  kFPIDNotFound = -5034,
  kFPPwdSameErr = -5040,
  kFPPwdTooShortErr = -5041,
  kFPPwdExpiredErr = -5042,
};

// Attention codes the server sends.
inline constexpr uint16_t kAttnServerShutdown = 0x8000;
inline constexpr uint16_t kAttnServerMessage = 0x2000;
inline constexpr uint16_t kAttnVolumeChanged = 0x3001;
inline constexpr uint16_t kAttnSessionEnded = 0x9000;

}  // namespace afptest

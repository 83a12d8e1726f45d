// AFP result codes returned to clients, and the server's own status codes
// (-4000 family) used by the account store and the administration protocol.
#pragma once

#include <cstdint>

inline constexpr int32_t kFPNoErr = 0;
inline constexpr int32_t kFPAccessDenied = -5000;
inline constexpr int32_t kFPAuthContinue = -5001;
inline constexpr int32_t kFPBadUAM = -5002;
inline constexpr int32_t kFPBitmapErr = -5004;
inline constexpr int32_t kFPDiskFull = -5008;
inline constexpr int32_t kFPEOFErr = -5009;
inline constexpr int32_t kFPItemNotFound = -5012;
inline constexpr int32_t kFPLockErr = -5013;
inline constexpr int32_t kFPMiscErr = -5014;
inline constexpr int32_t kFPObjectExists = -5017;
inline constexpr int32_t kFPObjectNotFound = -5018;
inline constexpr int32_t kFPParamErr = -5019;
inline constexpr int32_t kFPRangeNotLocked = -5020;
inline constexpr int32_t kFPUserNotAuth = -5023;
inline constexpr int32_t kFPCallNotSupported = -5024;
inline constexpr int32_t kFPObjectTypeErr = -5025;
inline constexpr int32_t kFPTooManyFilesOpen = -5026;
inline constexpr int32_t kFPDirNotFound = -5029;
inline constexpr int32_t kFPIconTypeError = -5030;
inline constexpr int32_t kFPVolLocked = -5031;
inline constexpr int32_t kFPObjectLocked = -5032;
inline constexpr int32_t kFPIDNotFound = -5034;
inline constexpr int32_t kFPPwdSameErr = -5040;
inline constexpr int32_t kFPPwdTooShortErr = -5041;
inline constexpr int32_t kFPPwdExpiredErr = -5042;

inline constexpr int32_t kAFPNoSuchUser = -4000;
inline constexpr int32_t kAFPUserExists = -4001;
inline constexpr int32_t kAFPSettingsUnavailable = -4002;
inline constexpr int32_t kAFPNoUserAtIndex = -4003;
inline constexpr int32_t kAFPStopSharingFailed = -4004;
inline constexpr int32_t kAFPStartSharingFailed = -4005;
inline constexpr int32_t kAFPMissingTextField = -4006;
inline constexpr int32_t kAFPNotAFolder = -4007;
inline constexpr int32_t kAFPVolumeRootFolder = -4008;

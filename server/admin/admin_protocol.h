// The administration protocol shared by the server and its client library:
// the signature the server answers to, message and reply codes, and field
// names.
#pragma once

#include <cstdint>

#include "platform/message.h"

inline constexpr const char* kServerSignature = "application/x-vnd.corvane";
// The logon message file in the settings folder, rewritten by the client
// library and read by the server at start-up.
inline constexpr const char* kLogonMessageFileName = "afpLogonMessage";

// Message codes.
inline constexpr uint32_t kAdminAddShare = FourCC("adds");
inline constexpr uint32_t kAdminRemoveShare = FourCC("rems");
inline constexpr uint32_t kAdminGetShareFlags = FourCC("gflg");
inline constexpr uint32_t kAdminSetShareFlags = FourCC("sflg");
inline constexpr uint32_t kAdminGetVolumeName = FourCC("gvol");
inline constexpr uint32_t kAdminGetVolumePath = FourCC("gvnm");
inline constexpr uint32_t kAdminSendServerMessage = FourCC("send");
inline constexpr uint32_t kAdminUpdateLogonMessage = FourCC("updt");
inline constexpr uint32_t kAdminAddUser = FourCC("addu");
inline constexpr uint32_t kAdminUpdateUser = FourCC("updu");
inline constexpr uint32_t kAdminDeleteUser = FourCC("delu");
inline constexpr uint32_t kAdminGetUser = FourCC("geti");
inline constexpr uint32_t kAdminGetIndUser = FourCC("getu");
inline constexpr uint32_t kAdminBytesSent = FourCC("gsnt");
inline constexpr uint32_t kAdminBytesReceived = FourCC("grcv");
inline constexpr uint32_t kAdminBytesPerSecond = FourCC("gbps");
inline constexpr uint32_t kAdminPacketsProcessed = FourCC("gdsi");
inline constexpr uint32_t kAdminOpenSessions = FourCC("gusr");
inline constexpr uint32_t kAdminGetGuestsAllowed = FourCC("allg");
inline constexpr uint32_t kAdminSetGuestsAllowed = FourCC("sall");

// Reply codes.
inline constexpr uint32_t kAdminSuccess = FourCC("succ");
inline constexpr uint32_t kAdminFailure = FourCC("fail");

// Field names.
inline constexpr const char* kAdminTextField = "afp-string";
inline constexpr const char* kAdminIndexField = "afp-int16";
inline constexpr const char* kAdminFlagsField = "afp-int32";
inline constexpr const char* kAdminCounterField = "afp-int64";
inline constexpr const char* kAdminBoolField = "afp-bool";
inline constexpr const char* kAdminUserField = "user-string";
inline constexpr const char* kAdminPasswordField = "pswd-string";

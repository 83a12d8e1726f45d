// The administration protocol: messages to the application signature that
// manage shares, accounts, messages and statistics, and the node-monitor
// notifications that withdraw a moved or deleted share. Runs on the
// application thread, one message at a time.
#pragma once

#include "platform/message.h"

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

// Handles one administration message or node-monitor notification; false
// when the code is none of them.
bool afpHandleAdminMessage(BMessage* message);

// The text shown when a shared folder was moved, renamed or deleted.
void afpNotifyShareWithdrawn(const char* path);

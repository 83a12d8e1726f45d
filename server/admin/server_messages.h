// The logon message and the server message: two short texts clients can
// show, set by the administrator (and the logon message from its file at
// start-up), read with FPGetServerMessage.
#pragma once

#include <string>

#include "server/admin/admin_protocol.h"
#include "server/afp/afp_handler.h"

inline constexpr int32_t kMessageBufferSize = 200;  // texts hold at most 199 bytes
// Attention sent to every session when the server message changes.
inline constexpr uint16_t kAttentionServerMessage = 0x2000;

// 0 when taken; -1 when the text is 200 bytes or longer (the old one stays).
int32_t afp_SetLogonMessage(const char* text);
int32_t afp_SetServerMessage(const char* text);
// Clears both texts.
void afp_Initialize();

// Copies of the current texts.
std::string afpLogonMessage();
std::string afpServerMessage();

AFP_HANDLER(FPGetServerMessage);

// Server information: FPGetSrvrInfo (also the answer to DSI GetStatus) and
// FPGetSrvrParms.
#pragma once

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_handler.h"

// Server flags: copy file, password change, server messages, TCP/IP, server
// notifications.
inline constexpr int16_t kServerFlags = 0x006B;

// Writes the server information block for a server of that name, listing
// the guest method only when `guestListed`.
int32_t afpWriteServerInfo(BAFPBuffer& reply, const char* serverName, bool guestListed);

AFP_HANDLER(FPGetSrvrInfo);
AFP_HANDLER(FPGetSrvrParms);

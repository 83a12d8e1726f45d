// The AFP command table and the dispatcher with its pre-login gate.
#pragma once

#include <cstdint>

#include "server/afp/afp_handler.h"
#include "server/afp/command_codes.h"

inline constexpr int32_t kAFPTableSize = 73;

struct AFPCommandEntry {
  AFPHandler handler;
  char name[24];  // for logs only; empty for codes without a handler of their own
};

// Indexed by AFP command code 0 to 72.
extern const AFPCommandEntry afpTable[kAFPTableSize];


// Every AFP command of a DSI Command request: before login only server
// information and the login commands pass; after it, the table.
AFP_HANDLER(FPDispatchCommand);
// Commands the server does not offer: kFPCallNotSupported.
AFP_HANDLER(FPUnimplemented);

// The handler of a DSI Write request's command (FPWrite, FPWriteExt,
// FPAddIcon); null for any other code.
AFPHandler afpWriteHandler(uint8_t code);
// The handler of a read (FPRead, FPReadExt), reached without the gate.
AFPHandler afpReadHandler(uint8_t code);

// The form of every AFP command handler: the session, the request (its
// first byte is the command code) with the number of bytes present, the
// 4096-byte reply area and the reply length (preset to 0, set to the bytes
// written). The result is an AFP result code.
#pragma once

#include <cstdint>

class BAFPSession;

using AFPHandler = int32_t (*)(BAFPSession* session, signed char* request, int32_t requestLength,
                               signed char* reply, int32_t* replyLength);

// Declares (or defines) a handler of that form; not every handler uses
// every argument.
#define AFP_HANDLER(name)                                                                            \
  int32_t name([[maybe_unused]] BAFPSession* session, [[maybe_unused]] signed char* request,         \
               [[maybe_unused]] int32_t requestLength, [[maybe_unused]] signed char* reply,          \
               [[maybe_unused]] int32_t* replyLength)

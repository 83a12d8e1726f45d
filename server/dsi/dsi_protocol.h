// DSI framing: the 16-byte header in front of every frame, the command
// codes, and the sizes of the connection's buffers.
#pragma once

#include <cstdint>

inline constexpr int32_t kDSIHeaderSize = 16;
inline constexpr int32_t kReceiveBufferSize = 4624;
// The largest payload a frame may carry and still fit the receive buffer.
inline constexpr int32_t kMaxFramePayload = kReceiveBufferSize - kDSIHeaderSize;
inline constexpr int32_t kReplyAreaSize = 4096;
inline constexpr int32_t kReplyBlockSize = kDSIHeaderSize + kReplyAreaSize;
inline constexpr int32_t kReplyBlockCount = 4;
// The request quantum announced in the OpenSession reply.
inline constexpr int32_t kServerRequestQuantum = 4096;

inline constexpr uint8_t kDSIRequest = 0;
inline constexpr uint8_t kDSIReply = 1;

inline constexpr uint8_t kDSICloseSession = 1;
inline constexpr uint8_t kDSICommand = 2;
inline constexpr uint8_t kDSIGetStatus = 3;
inline constexpr uint8_t kDSIOpenSession = 4;
inline constexpr uint8_t kDSITickle = 5;
inline constexpr uint8_t kDSIWrite = 6;
inline constexpr uint8_t kDSIAttention = 8;

// OpenSession option types.
inline constexpr uint8_t kDSIOptionServerQuantum = 0;
inline constexpr uint8_t kDSIOptionAttentionQuantum = 1;

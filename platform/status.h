// Status codes of the platform layer. Negative values are failures; the
// server maps them to its own result codes where they reach a client.
#pragma once

#include <cstdint>

using status_t = int32_t;

inline constexpr status_t B_OK = 0;
inline constexpr status_t B_ERROR = -1;
inline constexpr status_t B_NO_MEMORY = INT32_MIN;  // 0x80000000
inline constexpr status_t B_BAD_VALUE = INT32_MIN + 5;
inline constexpr status_t B_TIMED_OUT = INT32_MIN + 9;
inline constexpr status_t B_WOULD_BLOCK = INT32_MIN + 11;
inline constexpr status_t B_NAME_NOT_FOUND = INT32_MIN + 12;
inline constexpr status_t B_BAD_PORT_ID = INT32_MIN + 0x2000;
inline constexpr status_t B_BAD_TYPE = INT32_MIN + 0x3001;
inline constexpr status_t B_BAD_DATA = INT32_MIN + 0x3002;
inline constexpr status_t B_ALREADY_RUNNING = INT32_MIN + 0x3003;
inline constexpr status_t B_NOT_ALLOWED = INT32_MIN + 15;
inline constexpr status_t B_ENTRY_NOT_FOUND = INT32_MIN + 0x6003;
inline constexpr status_t B_DEVICE_FULL = INT32_MIN + 0x6007;

// Storage failures (node attributes and the overflow store).
inline constexpr status_t B_IO_ERROR = INT32_MIN + 1;
inline constexpr status_t B_PERMISSION_DENIED = INT32_MIN + 2;
inline constexpr status_t B_NO_INIT = INT32_MIN + 13;
inline constexpr status_t B_NOT_SUPPORTED = INT32_MIN + 27;
inline constexpr status_t B_FILE_ERROR = INT32_MIN + 0x6000;
inline constexpr status_t B_NAME_TOO_LONG = INT32_MIN + 0x6004;
inline constexpr status_t B_READ_ONLY_DEVICE = INT32_MIN + 0x6008;
inline constexpr status_t B_FILE_EXISTS = INT32_MIN + 0x6002;
inline constexpr status_t B_DIRECTORY_NOT_EMPTY = INT32_MIN + 0x600A;
inline constexpr status_t B_NOT_A_DIRECTORY = INT32_MIN + 0x6005;
inline constexpr status_t B_IS_A_DIRECTORY = INT32_MIN + 0x6009;

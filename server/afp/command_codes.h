// AFP command codes that code looks at: the transport, the gate, and
// handlers shared by two forms of a command.
#pragma once

#include <cstdint>

inline constexpr uint8_t kFPByteRangeLock = 1;
inline constexpr uint8_t kFPEnumerate = 9;
inline constexpr uint8_t kFPGetSrvrInfo = 15;
inline constexpr uint8_t kFPLogin = 18;
inline constexpr uint8_t kFPContLogin = 19;
inline constexpr uint8_t kFPRead = 27;
inline constexpr uint8_t kFPSetDirParms = 29;
inline constexpr uint8_t kFPSetFileParms = 30;
inline constexpr uint8_t kFPWrite = 33;
inline constexpr uint8_t kFPSetFileDirParms = 35;
inline constexpr uint8_t kFPChangePswd = 36;
inline constexpr uint8_t kFPByteRangeLockExt = 59;
inline constexpr uint8_t kFPReadExt = 60;
inline constexpr uint8_t kFPWriteExt = 61;
inline constexpr uint8_t kFPLoginExt = 63;
inline constexpr uint8_t kFPEnumerateExt = 66;
inline constexpr uint8_t kFPEnumerateExt2 = 68;
inline constexpr uint8_t kFPZzzz = 122;
inline constexpr uint8_t kFPAddIcon = 192;

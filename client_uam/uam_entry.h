// Entry point of the client login plug-in. The AFP client drives a login
// method through it with a parameter block laid out big-endian (the plug-in
// was built for PowerPC). This plug-in carries out no login step: every
// command is answered with a parameter error. Its working content is the
// scrambling routines it exports beside the entry point.
#pragma once

#include <cstdint>

// Fields of the parameter block this entry point touches.
inline constexpr int kUAMSelectorOffset = 0;  // 16-bit command selector, unsigned
inline constexpr int kUAMResultOffset = 6;    // 32-bit result of the command
inline constexpr int kUAMField10Offset = 10;  // 32-bit, cleared by selectors 6 and 7
inline constexpr int kUAMField14Offset = 14;  // 32-bit, cleared by selector 6

inline constexpr int32_t kUAMParamErr = -50;

extern "C" __attribute__((visibility("default"))) int32_t uamBeMain(void* block);

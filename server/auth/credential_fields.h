// Field sizes and readers shared by the login and password-change requests.
#pragma once

#include <cstdint>

#include "server/afp/afp_buffer.h"
#include "server/auth/scrambling.h"

// Buffer sizes: texts longer than size - 1 bytes read as empty.
inline constexpr uint16_t kMethodNameSize = 25;
inline constexpr uint16_t kUserNameSize = 34;
inline constexpr uint16_t kScrambledPasswordSize = 49;
inline constexpr int32_t kCleartextPasswordLength = 8;
inline constexpr int32_t kScrambledPasswordLength = kScrambledPasswordSize - 1;

// Reads a Pascal string of at most outSize - 1 bytes; a longer one reads as
// empty, the bytes after its length byte left unread.
inline void afpReadCredentialText(BAFPBuffer& in, char* out, uint16_t outSize) {
  int16_t length = 0;
  in.GetPascalString(out, outSize, &length);
}

// Takes back the second scrambled method's scrambling, in place.
inline void afpUnscrambleWithKey(char* password, int32_t key) {
  xorencrypt2(reinterpret_cast<unsigned char*>(password), key, reinterpret_cast<unsigned char*>(password),
              kScrambledPasswordLength, 0);
}

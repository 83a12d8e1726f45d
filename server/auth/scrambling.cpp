#include "server/auth/scrambling.h"

#include <cstddef>
#include <cstring>

// Irregular values in 1..31, drawn once at random. They must never change:
// a plug-in built with other values cannot log in to this server.
const int32_t afpScrambleKeyTable[kScrambleKeyTableSize] = {
    // Main key (entries 0-71).
    11, 16, 13, 4, 30, 7, 27, 24, 20, 6, 10, 21,
    15, 10, 10, 28, 29, 18, 12, 17, 15, 14, 12, 4,
    19, 4, 9, 9, 15, 2, 24, 30, 6, 20, 17, 1,
    19, 24, 15, 17, 1, 11, 6, 4, 27, 9, 3, 24,
    6, 25, 16, 26, 15, 16, 27, 12, 24, 30, 19, 31,
    15, 30, 17, 11, 25, 25, 27, 21, 4, 10, 27, 1,
    // First mixing table (entries 72-135).
    18, 13, 31, 30, 30, 22, 15, 22, 21, 13, 5, 25, 11, 27, 29, 13,
    23, 31, 20, 29, 20, 6, 16, 28, 26, 20, 14, 2, 4, 5, 29, 10,
    17, 29, 27, 5, 27, 15, 30, 25, 10, 1, 8, 28, 1, 1, 11, 15,
    27, 30, 3, 17, 23, 26, 15, 27, 12, 2, 20, 17, 29, 10, 18, 15,
    // Second mixing table (entries 136-199).
    19, 12, 5, 29, 25, 31, 5, 29, 29, 26, 6, 28, 4, 30, 17, 6,
    26, 2, 18, 13, 25, 16, 23, 4, 8, 21, 10, 10, 18, 18, 21, 29,
    3, 5, 10, 28, 25, 23, 27, 23, 20, 26, 10, 11, 22, 27, 18, 28,
    22, 19, 28, 23, 18, 20, 27, 19, 10, 6, 30, 4, 11, 28, 6, 8,
    // Third mixing table (entries 200-263).
    15, 22, 20, 29, 12, 7, 8, 30, 29, 24, 5, 11, 18, 28, 6, 21,
    11, 2, 22, 10, 3, 2, 25, 24, 1, 14, 29, 31, 10, 29, 17, 19,
    7, 30, 29, 27, 16, 8, 11, 1, 4, 24, 12, 22, 29, 14, 30, 16,
    11, 9, 22, 13, 14, 9, 6, 3, 8, 26, 28, 2, 6, 11, 5, 28,
};

namespace {

unsigned char KeyByte(const int32_t* table, size_t index) {
  return static_cast<unsigned char>(table[index] & 0xFF);
}

// Texts are only meaningful up to the length of the key they meet; longer
// ones wrap around that key instead of reading past it.
int ScrambleMain(const char* text, char* out, int outSize) {
  const int length = static_cast<int>(std::strlen(text));
  if (outSize < length) return length;
  const int32_t* key = afpScrambleKeyTable + kScrambleMainKey;
  size_t i = 0;
  for (; text[i] != '\0'; ++i) {
    out[i] = static_cast<char>(static_cast<unsigned char>(text[i]) ^ KeyByte(key, i % kScrambleMainKeyLength));
  }
  out[length] = '\0';
  return length;
}

}  // namespace

extern "C" {

int xorencrypt(const char* text, char* out, int outSize) { return ScrambleMain(text, out, outSize); }

int xordecrypt(const char* text, char* out, int outSize) { return ScrambleMain(text, out, outSize); }

void xmix(unsigned char* text, const int32_t* table) {
  for (size_t i = 0; text[i] != 0; ++i) text[i] ^= KeyByte(table, i % kScrambleMixTableLength);
}

int xorencrypt2(unsigned char* text, int keyIndex, unsigned char* out, int outSize, int mixFirst) {
  const int length = static_cast<int>(std::strlen(reinterpret_cast<const char*>(text)));
  if (outSize < length) return length;

  if (mixFirst != 0) {
    xmix(text, afpScrambleKeyTable + kScrambleMixTable1);
    xmix(text, afpScrambleKeyTable + kScrambleMixTable2);
    xmix(text, afpScrambleKeyTable + kScrambleMixTable3);
  }

  // The index is compared unsigned so that a negative start begins at 0.
  const int32_t* key = afpScrambleKeyTable + kScrambleMainKey;
  auto k = static_cast<uint32_t>(keyIndex);
  size_t i = 0;
  for (; text[i] != 0; ++i) {
    if (k >= static_cast<uint32_t>(kScrambleMainKeyLength)) k = 0;
    out[i] = text[i] ^ KeyByte(key, k);
    ++k;
  }
  // Mixing may have cut the text short: the output ends where the walk did.
  out[i] = 0;

  if (mixFirst == 0) {
    xmix(out, afpScrambleKeyTable + kScrambleMixTable3);
    xmix(out, afpScrambleKeyTable + kScrambleMixTable2);
    xmix(out, afpScrambleKeyTable + kScrambleMixTable1);
  }
  return length;
}

}  // extern "C"

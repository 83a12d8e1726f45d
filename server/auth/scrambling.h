// Password scrambling for the "BeOS_Encryption" login methods: the client
// XORs the password with a fixed key table, the server applies the same
// routine again to get it back. The server and the client login plug-in
// compile this one source, so both always carry the same table.
//
// All routines work byte by byte on NUL-terminated strings and keep no
// state. The output buffer may be the input buffer. The output size is the
// longest text the caller accepts, not counting the NUL: a text longer than
// that is left alone (nothing is written) and its length is returned.
#pragma once

#include <cstdint>

// The plug-in exports the four routines under these plain names; everything
// else in it is hidden.
#define CORVANE_SCRAMBLING_EXPORT __attribute__((visibility("default")))

// Layout of the key table: the main key, then three mixing tables. Only the
// low byte of an entry takes part in the XOR, and every entry lies in 1..31,
// so a byte of 32 or more never turns into a zero byte.
inline constexpr int kScrambleKeyTableSize = 264;
inline constexpr int kScrambleMainKey = 0;
inline constexpr int kScrambleMainKeyLength = 72;
inline constexpr int kScrambleMixTable1 = 72;
inline constexpr int kScrambleMixTable2 = 136;
inline constexpr int kScrambleMixTable3 = 200;
inline constexpr int kScrambleMixTableLength = 64;

extern const int32_t afpScrambleKeyTable[kScrambleKeyTableSize];

extern "C" {

// XOR text with the main key from entry 0 into out; returns strlen(text).
CORVANE_SCRAMBLING_EXPORT int xorencrypt(const char* text, char* out, int outSize);
// The same operation as xorencrypt, named for the receiving side.
CORVANE_SCRAMBLING_EXPORT int xordecrypt(const char* text, char* out, int outSize);

// XOR text with the main key from entry keyIndex (wrapping after entry 71; a
// negative or too large index starts at 0) and with all three mixing tables.
// With mixFirst non-zero the mixing tables are applied to text first, which
// leaves text altered; otherwise they are applied to out afterwards. Applying
// it twice with the same key index restores the text. Returns strlen(text).
CORVANE_SCRAMBLING_EXPORT int xorencrypt2(unsigned char* text, int keyIndex, unsigned char* out,
                                          int outSize, int mixFirst);

// XOR text in place with one mixing table, position by position, up to the
// first zero byte.
CORVANE_SCRAMBLING_EXPORT void xmix(unsigned char* text, const int32_t* table);

}  // extern "C"

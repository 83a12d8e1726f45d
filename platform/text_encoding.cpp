// Mac Roman <-> UTF-8 conversion.
//
// Mac Roman is a single-byte set: 0x00-0x7F is ASCII and 0x80-0xFF is the
// table below. Going to Mac Roman we compose a base letter with the combining
// marks that follow it, because Mac OS X clients send names decomposed (NFD)
// while Mac Roman only has precomposed letters.
#include "platform/text_encoding.h"

#include <algorithm>
#include <array>

namespace {

// Unicode for Mac Roman bytes 0x80-0xFF, in the current Apple mapping
// (0xDB is the euro sign, not the old currency sign; 0xF0 is the Apple logo
// in the private use area).
constexpr char32_t kHighHalf[128] = {
    // 0x80  Ä Å Ç É Ñ Ö Ü á à â ä ã å ç é è
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1,
    0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8,
    // 0x90  ê ë í ì î ï ñ ó ò ô ö õ ú ù û ü
    0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC,
    // 0xA0  † ° ¢ £ § • ¶ ß ® © ™ ´ ¨ ≠ Æ Ø
    0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x00DF,
    0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
    // 0xB0  ∞ ± ≤ ≥ ¥ µ ∂ ∑ ∏ π ∫ ª º Ω æ ø
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211,
    0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8,
    // 0xC0  ¿ ¡ ¬ √ ƒ ≈ ∆ « » … NBSP À Ã Õ Œ œ
    0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153,
    // 0xD0  – — “ ” ‘ ’ ÷ ◊ ÿ Ÿ ⁄ € ‹ › ﬁ ﬂ
    0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA,
    0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
    // 0xE0  ‡ · ‚ „ ‰ Â Ê Á Ë È Í Î Ï Ì Ó Ô
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4,
    // 0xF0  Apple Ò Ú Û Ù ı ˆ ˜ ¯ ˘ ˙ ˚ ¸ ˝ ˛ ˇ
    0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

struct ReverseEntry {
  char32_t codePoint;
  uint8_t byte;
};

// kHighHalf sorted by code point, for the Unicode -> Mac Roman search.
constexpr std::array<ReverseEntry, 128> kReverse = [] {
  std::array<ReverseEntry, 128> entries{};
  for (int i = 0; i < 128; ++i)
    entries[i] = {kHighHalf[i], static_cast<uint8_t>(0x80 + i)};
  std::sort(entries.begin(), entries.end(),
            [](const ReverseEntry& a, const ReverseEntry& b) {
              return a.codePoint < b.codePoint;
            });
  return entries;
}();

constexpr bool TableIsUsable() {
  for (size_t i = 0; i < kReverse.size(); ++i) {
    // Above ASCII (the low half is identity), within three UTF-8 bytes.
    if (kReverse[i].codePoint < 0x80 || kReverse[i].codePoint > 0xFFFF)
      return false;
    if (i > 0 && kReverse[i - 1].codePoint == kReverse[i].codePoint)
      return false;  // two bytes for one character: no round trip
  }
  return true;
}
static_assert(TableIsUsable());

// The Mac Roman byte for `c`, or -1 when Mac Roman has no such character.
constexpr int MacRomanByte(char32_t c) {
  if (c < 0x80)
    return static_cast<int>(c);
  auto it = std::lower_bound(
      kReverse.begin(), kReverse.end(), c,
      [](const ReverseEntry& e, char32_t value) { return e.codePoint < value; });
  return it != kReverse.end() && it->codePoint == c ? it->byte : -1;
}

// Canonical decompositions (base + one combining mark) of the precomposed
// letters Mac Roman has.
struct Composition {
  char32_t base;
  char32_t mark;
  char32_t composed;
};

constexpr char32_t kGrave = 0x0300, kAcute = 0x0301, kCircumflex = 0x0302,
                   kTilde = 0x0303, kDiaeresis = 0x0308, kRing = 0x030A,
                   kCedilla = 0x0327;

constexpr Composition kCompositions[] = {
    {'A', kGrave, 0xC0},  {'A', kAcute, 0xC1},      {'A', kCircumflex, 0xC2},
    {'A', kTilde, 0xC3},  {'A', kDiaeresis, 0xC4},  {'A', kRing, 0xC5},
    {'a', kGrave, 0xE0},  {'a', kAcute, 0xE1},      {'a', kCircumflex, 0xE2},
    {'a', kTilde, 0xE3},  {'a', kDiaeresis, 0xE4},  {'a', kRing, 0xE5},
    {'C', kCedilla, 0xC7}, {'c', kCedilla, 0xE7},
    {'E', kGrave, 0xC8},  {'E', kAcute, 0xC9},      {'E', kCircumflex, 0xCA},
    {'E', kDiaeresis, 0xCB},
    {'e', kGrave, 0xE8},  {'e', kAcute, 0xE9},      {'e', kCircumflex, 0xEA},
    {'e', kDiaeresis, 0xEB},
    {'I', kGrave, 0xCC},  {'I', kAcute, 0xCD},      {'I', kCircumflex, 0xCE},
    {'I', kDiaeresis, 0xCF},
    {'i', kGrave, 0xEC},  {'i', kAcute, 0xED},      {'i', kCircumflex, 0xEE},
    {'i', kDiaeresis, 0xEF},
    {'N', kTilde, 0xD1},  {'n', kTilde, 0xF1},
    {'O', kGrave, 0xD2},  {'O', kAcute, 0xD3},      {'O', kCircumflex, 0xD4},
    {'O', kTilde, 0xD5},  {'O', kDiaeresis, 0xD6},
    {'o', kGrave, 0xF2},  {'o', kAcute, 0xF3},      {'o', kCircumflex, 0xF4},
    {'o', kTilde, 0xF5},  {'o', kDiaeresis, 0xF6},
    {'U', kGrave, 0xD9},  {'U', kAcute, 0xDA},      {'U', kCircumflex, 0xDB},
    {'U', kDiaeresis, 0xDC},
    {'u', kGrave, 0xF9},  {'u', kAcute, 0xFA},      {'u', kCircumflex, 0xFB},
    {'u', kDiaeresis, 0xFC},
    {'Y', kDiaeresis, 0x0178}, {'y', kDiaeresis, 0xFF},
};

static_assert(std::all_of(std::begin(kCompositions), std::end(kCompositions),
                          [](const Composition& c) {
                            return MacRomanByte(c.composed) >= 0;
                          }));

// The precomposed form of `base` + `mark`, or 0 when there is none.
char32_t Compose(char32_t base, char32_t mark) {
  for (const Composition& c : kCompositions) {
    if (c.base == base && c.mark == mark)
      return c.composed;
  }
  return 0;
}

enum class Decode { kOk, kMalformed, kTruncated };

struct Decoded {
  Decode result;
  size_t length;
  char32_t codePoint;
};

// Decodes the UTF-8 sequence at the start of s[0, n), n > 0. kTruncated means
// the bytes are a valid start of a sequence that runs past the end of s.
Decoded DecodeUTF8(const uint8_t* s, size_t n) {
  const uint8_t lead = s[0];
  if (lead < 0x80)
    return {Decode::kOk, 1, lead};

  // The second byte's range carries the overlong, surrogate and U+10FFFF
  // limits; later continuation bytes are always 0x80-0xBF.
  size_t length;
  char32_t codePoint;
  uint8_t low = 0x80, high = 0xBF;
  if (lead < 0xC2) {
    return {Decode::kMalformed, 1, 0};  // stray continuation or overlong
  } else if (lead < 0xE0) {
    length = 2;
    codePoint = lead & 0x1F;
  } else if (lead < 0xF0) {
    length = 3;
    codePoint = lead & 0x0F;
    if (lead == 0xE0)
      low = 0xA0;
    else if (lead == 0xED)
      high = 0x9F;
  } else if (lead < 0xF5) {
    length = 4;
    codePoint = lead & 0x07;
    if (lead == 0xF0)
      low = 0x90;
    else if (lead == 0xF4)
      high = 0x8F;
  } else {
    return {Decode::kMalformed, 1, 0};
  }

  for (size_t i = 1; i < length; ++i) {
    if (i == n)
      return {Decode::kTruncated, 0, 0};
    if (s[i] < low || s[i] > high)
      return {Decode::kMalformed, 1, 0};
    codePoint = (codePoint << 6) | (s[i] & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return {Decode::kOk, length, codePoint};
}

struct MacRomanChar {
  Decode result;
  size_t consumed;  // UTF-8 bytes this character takes
  int byte;         // -1 when it needs the substitute
};

// Reads one Mac Roman character from s[0, n), n > 0: a character plus the
// combining marks that compose with it. The marks are looked up in the source
// only, so the result does not depend on the room left in the destination;
// the end of the source is taken as the end of the text.
MacRomanChar NextMacRomanChar(const uint8_t* s, size_t n) {
  const Decoded first = DecodeUTF8(s, n);
  if (first.result != Decode::kOk)
    return {first.result, first.length, -1};

  char32_t c = first.codePoint;
  size_t used = first.length;
  while (used < n) {
    const Decoded next = DecodeUTF8(s + used, n - used);
    if (next.result != Decode::kOk)
      break;
    const char32_t composed = Compose(c, next.codePoint);
    if (composed == 0)
      break;  // a mark that does not compose is read as its own character
    c = composed;
    used += next.length;
  }
  return {Decode::kOk, used, MacRomanByte(c)};
}

}  // namespace

status_t ConvertMacRomanToUTF8(const char* source, int32_t* sourceLength,
                               char* dest, int32_t* destLength) {
  if (source == nullptr || sourceLength == nullptr || dest == nullptr ||
      destLength == nullptr || *sourceLength < 0 || *destLength < 0)
    return B_BAD_VALUE;

  const auto* in = reinterpret_cast<const uint8_t*>(source);
  const int32_t inLength = *sourceLength;
  const int32_t room = *destLength;
  int32_t read = 0;
  int32_t written = 0;
  for (; read < inLength; ++read) {
    const uint8_t byte = in[read];
    const char32_t c = byte < 0x80 ? byte : kHighHalf[byte - 0x80];
    const int32_t size = c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
    if (room - written < size)
      break;
    if (size == 1) {
      dest[written++] = static_cast<char>(c);
    } else if (size == 2) {
      dest[written++] = static_cast<char>(0xC0 | (c >> 6));
      dest[written++] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      dest[written++] = static_cast<char>(0xE0 | (c >> 12));
      dest[written++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      dest[written++] = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  *sourceLength = read;
  *destLength = written;
  return B_OK;
}

status_t ConvertUTF8ToMacRoman(const char* source, int32_t* sourceLength,
                               char* dest, int32_t* destLength,
                               char substitute) {
  if (source == nullptr || sourceLength == nullptr || dest == nullptr ||
      destLength == nullptr || *sourceLength < 0 || *destLength < 0)
    return B_BAD_VALUE;

  const auto* in = reinterpret_cast<const uint8_t*>(source);
  const size_t inLength = static_cast<size_t>(*sourceLength);
  const int32_t room = *destLength;
  size_t read = 0;
  int32_t written = 0;
  while (read < inLength && written < room) {
    const MacRomanChar next = NextMacRomanChar(in + read, inLength - read);
    if (next.result == Decode::kTruncated)
      break;  // left for the caller to complete
    dest[written++] = next.byte >= 0 ? static_cast<char>(next.byte) : substitute;
    read += next.consumed;
  }
  *sourceLength = static_cast<int32_t>(read);
  *destLength = written;
  return B_OK;
}

bool IsValidUTF8(const char* text, size_t length) {
  if (text == nullptr)
    return length == 0;
  const auto* in = reinterpret_cast<const uint8_t*>(text);
  for (size_t read = 0; read < length;) {
    const Decoded next = DecodeUTF8(in + read, length - read);
    if (next.result != Decode::kOk)
      return false;
    read += next.length;
  }
  return true;
}

bool HasMacRomanForm(const char* text, size_t length) {
  if (text == nullptr)
    return length == 0;
  const auto* in = reinterpret_cast<const uint8_t*>(text);
  for (size_t read = 0; read < length;) {
    const MacRomanChar next = NextMacRomanChar(in + read, length - read);
    if (next.result != Decode::kOk || next.byte < 0)
      return false;
    read += next.consumed;
  }
  return true;
}

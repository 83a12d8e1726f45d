#include "platform/text_encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace std::string_view_literals;

namespace {

struct Result {
  status_t status;
  int32_t consumed;
  std::string output;
};

Result ToUTF8(std::string_view macRoman, int32_t room = 1024) {
  std::string buffer(room > 0 ? room : 1, '\xEE');
  int32_t sourceLength = static_cast<int32_t>(macRoman.size());
  int32_t destLength = room;
  status_t status = ConvertMacRomanToUTF8(macRoman.data(), &sourceLength,
                                          buffer.data(), &destLength);
  buffer.resize(destLength);
  return {status, sourceLength, buffer};
}

Result ToMacRoman(std::string_view utf8, int32_t room = 1024,
                  char substitute = kMacRomanSubstitute) {
  std::string buffer(room > 0 ? room : 1, '\xEE');
  int32_t sourceLength = static_cast<int32_t>(utf8.size());
  int32_t destLength = room;
  status_t status = ConvertUTF8ToMacRoman(utf8.data(), &sourceLength,
                                          buffer.data(), &destLength,
                                          substitute);
  buffer.resize(destLength);
  return {status, sourceLength, buffer};
}

struct Case {
  std::string_view input;
  std::string_view expected;
};

// The high half row by row, written as the characters themselves so that a
// transposed or mistyped code point in the converter's table shows up.
// Escapes mark the invisible characters and the look-alikes.
constexpr std::string_view kHighHalfRows[8] = {
    "ÄÅÇÉÑÖÜáàâäãåçéè",
    "êëíìîïñóòôöõúùûü",
    "†°¢£§•¶ß®©™´¨≠ÆØ",
    "∞±≤≥¥"
    "\u00B5"  // µ micro sign, not Greek mu
    "∂∑∏π∫ªº"
    "\u03A9"  // Ω Greek capital omega, not the ohm sign
    "æø",
    "¿¡¬√ƒ≈"
    "\u2206"  // ∆ increment, not Greek delta
    "«»…"
    "\u00A0"  // no-break space
    "ÀÃÕŒœ",
    "–—“”‘’÷◊ÿŸ⁄"
    "€"  // the euro sign (older mappings had ¤ here)
    "‹›ﬁﬂ",
    "‡"
    "\u00B7"  // · middle dot
    "‚„‰ÂÊÁËÈÍÎÏÌÓÔ",
    "\uF8FF"  // Apple logo, private use
    "ÒÚÛÙıˆ˜¯˘˙˚¸˝˛ˇ",
};

TEST(TextEncodingTest, HighHalfMatchesMacRoman) {
  for (int row = 0; row < 8; ++row) {
    std::string bytes;
    for (int column = 0; column < 16; ++column)
      bytes.push_back(static_cast<char>(0x80 + row * 16 + column));
    SCOPED_TRACE(testing::Message() << "row 0x" << std::hex << 0x80 + row * 16);
    Result utf8 = ToUTF8(bytes);
    EXPECT_EQ(utf8.status, B_OK);
    EXPECT_EQ(utf8.consumed, 16);
    EXPECT_EQ(utf8.output, kHighHalfRows[row]);
    EXPECT_EQ(ToMacRoman(kHighHalfRows[row]).output, bytes);
  }
  // 0x8A <-> ä as bytes, independent of the source file's encoding.
  EXPECT_EQ(ToUTF8("\x8A").output, "\xC3\xA4");
  EXPECT_EQ(ToMacRoman("\xC3\xA4").output, "\x8A");
}

TEST(TextEncodingTest, AsciiIsUnchangedBothWays) {
  std::string ascii;
  for (int c = 0; c < 0x80; ++c)
    ascii.push_back(static_cast<char>(c));
  EXPECT_EQ(ToUTF8(ascii).output, ascii);
  EXPECT_EQ(ToMacRoman(ascii).output, ascii);
}

class HighByteTest : public testing::TestWithParam<int> {};

// Catches two table entries with the same character and entries that are not
// precomposed (they would not survive the return trip).
TEST_P(HighByteTest, RoundTripsThroughUTF8) {
  const std::string byte(1, static_cast<char>(GetParam()));
  Result utf8 = ToUTF8(byte);
  ASSERT_EQ(utf8.consumed, 1);
  ASSERT_GE(utf8.output.size(), 2u);
  EXPECT_TRUE(IsValidUTF8(utf8.output.data(), utf8.output.size()));
  EXPECT_TRUE(HasMacRomanForm(utf8.output.data(), utf8.output.size()));
  Result back = ToMacRoman(utf8.output);
  EXPECT_EQ(back.consumed, static_cast<int32_t>(utf8.output.size()));
  EXPECT_EQ(back.output, byte);
}

INSTANTIATE_TEST_SUITE_P(AllHighBytes, HighByteTest, testing::Range(0x80, 0x100));

// Every letter Mac Roman has precomposed, per combining mark: the bases and
// the letters they make.
constexpr struct {
  std::string_view mark;
  std::string_view bases;
  std::string_view letters;
} kCompositions[] = {
    {"\u0300", "AEIOUaeiou", "ÀÈÌÒÙàèìòù"},      // grave
    {"\u0301", "AEIOUaeiou", "ÁÉÍÓÚáéíóú"},      // acute
    {"\u0302", "AEIOUaeiou", "ÂÊÎÔÛâêîôû"},      // circumflex
    {"\u0303", "ANOano", "ÃÑÕãñõ"},              // tilde
    {"\u0308", "AEIOUYaeiouy", "ÄËÏÖÜŸäëïöüÿ"},  // diaeresis
    {"\u030A", "Aa", "Åå"},                      // ring above
    {"\u0327", "Cc", "Çç"},                      // cedilla
};

TEST(TextEncodingTest, DecomposedLettersComposeToMacRomanLetters) {
  for (const auto& c : kCompositions) {
    std::string decomposed;
    for (char base : c.bases)
      decomposed.append(1, base).append(c.mark);
    SCOPED_TRACE(decomposed);
    Result fromDecomposed = ToMacRoman(decomposed);
    Result fromPrecomposed = ToMacRoman(c.letters);
    EXPECT_EQ(fromDecomposed.consumed, static_cast<int32_t>(decomposed.size()));
    EXPECT_EQ(fromDecomposed.output.size(), c.bases.size());
    EXPECT_EQ(fromDecomposed.output, fromPrecomposed.output);
    EXPECT_TRUE(HasMacRomanForm(decomposed.data(), decomposed.size()));
  }
  // Spot checks as bytes.
  EXPECT_EQ(ToMacRoman("e\xCC\x81").output, "\x8E");  // é
  EXPECT_EQ(ToMacRoman("A\xCC\x8A").output, "\x81");  // Å
  EXPECT_EQ(ToMacRoman("Y\xCC\x88").output, "\xD9");  // Ÿ
}

TEST(TextEncodingTest, MarksComposeOnlyWhereMacRomanHasTheLetter) {
  constexpr Case kCases[] = {
      {"Cafe\xCC\x81 Mu\xCC\x88ller", "Caf\x8E M\x9Fller"},
      // A mark that does not compose is a character of its own.
      {"\xCC\x81", "\x1A"},
      {"x\xCC\x81", "x\x1A"},
      {"e\xCC\xA3", "e\x1A"},              // dot below
      {"e\xCC\x81\xCC\x81", "\x8E\x1A"},   // second acute has nowhere to go
      {"c\xCC\xA7\xCC\x81", "\x8D\x1A"},   // ḉ: cedilla composes, acute not
      {"\xC3\xA9\xCC\x81", "\x8E\x1A"},    // precomposed é + acute
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.input);
    Result r = ToMacRoman(c.input);
    EXPECT_EQ(r.status, B_OK);
    EXPECT_EQ(r.consumed, static_cast<int32_t>(c.input.size()));
    EXPECT_EQ(r.output, c.expected);
    EXPECT_EQ(HasMacRomanForm(c.input.data(), c.input.size()),
              c.expected.find('\x1A') == std::string_view::npos);
  }
}

TEST(TextEncodingTest, CharactersWithoutMacRomanFormAreSubstituted) {
  constexpr Case kCases[] = {
      {"\xE4\xB8\xAD", "\x1A"},          // U+4E2D
      {"a\xF0\x9F\x98\x80" "b", "a\x1A" "b"},  // emoji, four bytes, one char
      {"\xC4\x80", "\x1A"},              // Ā
      {"\xE2\x84\xA6", "\x1A"},          // Ω ohm sign (only U+03A9 maps)
      {"\xF4\x8F\xBF\xBF", "\x1A"},      // U+10FFFF
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.input);
    Result r = ToMacRoman(c.input);
    EXPECT_EQ(r.consumed, static_cast<int32_t>(c.input.size()));
    EXPECT_EQ(r.output, c.expected);
    EXPECT_FALSE(HasMacRomanForm(c.input.data(), c.input.size()));
  }
  EXPECT_EQ(ToMacRoman("x\xE4\xB8\xAD", 1024, '?').output, "x?");
}

TEST(TextEncodingTest, EachMalformedByteBecomesOneSubstitute) {
  constexpr Case kCases[] = {
      {"\x80", "\x1A"},                           // stray continuation
      {"\xFF" "a", "\x1A" "a"},                   // invalid lead
      {"\xC3" "A", "\x1A" "A"},                   // bad continuation
      {"\xE2\x82" "A", "\x1A\x1A" "A"},           // bad third byte
      {"\xC0\xAF", "\x1A\x1A"},                   // overlong '/'
      {"\xE0\x80\xAF", "\x1A\x1A\x1A"},           // overlong '/'
      {"\xF0\x82\x82\xAC", "\x1A\x1A\x1A\x1A"},   // overlong €
      {"\xED\xA0\x80", "\x1A\x1A\x1A"},           // surrogate D800
      {"\xF4\x90\x80\x80", "\x1A\x1A\x1A\x1A"},   // U+110000
      {"\xF5\x80\x80\x80", "\x1A\x1A\x1A\x1A"},
      {"\xE0\x80", "\x1A\x1A"},  // at the end, but no valid sequence starts so
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.input)));
    Result r = ToMacRoman(c.input);
    EXPECT_EQ(r.status, B_OK);
    EXPECT_EQ(r.consumed, static_cast<int32_t>(c.input.size()));
    EXPECT_EQ(r.output, c.expected);
  }
}

TEST(TextEncodingTest, TruncatedSequenceAtEndIsLeftUnconsumed) {
  constexpr struct {
    std::string_view input;
    int32_t consumed;
    std::string_view output;
  } kCases[] = {
      {"a\xC3", 1, "a"},
      {"\xE2\x82", 0, ""},
      {"ab\xF0\x9F\x98", 2, "ab"},
      // The end of the source ends the text: the letter goes out uncomposed
      // and the partial mark stays for the caller.
      {"e\xCC", 1, "e"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.input)));
    Result r = ToMacRoman(c.input);
    EXPECT_EQ(r.status, B_OK);
    EXPECT_EQ(r.consumed, c.consumed);
    EXPECT_EQ(r.output, c.output);
  }
}

TEST(TextEncodingTest, ShortDestinationStopsBeforeWholeCharacter) {
  // "a" fits, "ä" (two bytes) does not.
  Result r = ToUTF8("a\x8A", 2);
  EXPECT_EQ(r.consumed, 1);
  EXPECT_EQ(r.output, "a");
  // "€" needs three bytes.
  r = ToUTF8("\xDB", 2);
  EXPECT_EQ(r.consumed, 0);
  EXPECT_EQ(r.output, "");
  r = ToUTF8("\xDB", 3);
  EXPECT_EQ(r.consumed, 1);
  EXPECT_EQ(r.output, "\xE2\x82\xAC");

  r = ToMacRoman("ab", 0);
  EXPECT_EQ(r.consumed, 0);
  EXPECT_EQ(r.output, "");
  // The base letter takes the last byte of room: its mark still composes.
  r = ToMacRoman("xe\xCC\x81z", 2);
  EXPECT_EQ(r.consumed, 4);
  EXPECT_EQ(r.output, "x\x8E");
}

// Converting through a one-byte window, resuming where each call stopped,
// gives the same text as one call with plenty of room.
TEST(TextEncodingTest, ResumingAfterShortDestinationMatchesOneCall) {
  const std::string_view utf8 =
      "Re\xCC\x81sume\xCC\x81 \xE2\x82\xAC\xE4\xB8\xAD\xC3\xA5n\xCC\x83\x80z"sv;
  std::string pieces;
  for (size_t at = 0; at < utf8.size();) {
    Result r = ToMacRoman(utf8.substr(at), 1);
    ASSERT_GT(r.consumed, 0);
    pieces += r.output;
    at += r.consumed;
  }
  EXPECT_EQ(pieces, ToMacRoman(utf8).output);
  EXPECT_EQ(pieces, "R\x8Esum\x8E \xDB\x1A\x8C\x96\x1Az");

  const std::string macRoman = "\x8E\xDB" "a\xF0\xCA";
  std::string utf8Pieces;
  for (size_t at = 0; at < macRoman.size();) {
    Result r = ToUTF8(std::string_view(macRoman).substr(at), 3);
    ASSERT_GT(r.consumed, 0);
    utf8Pieces += r.output;
    at += r.consumed;
  }
  EXPECT_EQ(utf8Pieces, ToUTF8(macRoman).output);
}

TEST(TextEncodingTest, RejectsNullPointersAndNegativeLengths) {
  char buffer[4];
  int32_t sourceLength = 1;
  int32_t destLength = 4;
  EXPECT_EQ(ConvertMacRomanToUTF8(nullptr, &sourceLength, buffer, &destLength),
            B_BAD_VALUE);
  EXPECT_EQ(ConvertUTF8ToMacRoman("a", nullptr, buffer, &destLength),
            B_BAD_VALUE);
  EXPECT_EQ(ConvertUTF8ToMacRoman("a", &sourceLength, nullptr, &destLength),
            B_BAD_VALUE);
  EXPECT_EQ(ConvertMacRomanToUTF8("a", &sourceLength, buffer, nullptr),
            B_BAD_VALUE);
  sourceLength = -1;
  EXPECT_EQ(ConvertMacRomanToUTF8("a", &sourceLength, buffer, &destLength),
            B_BAD_VALUE);
  EXPECT_EQ(ConvertUTF8ToMacRoman("a", &sourceLength, buffer, &destLength),
            B_BAD_VALUE);
  sourceLength = 1;
  destLength = -1;
  EXPECT_EQ(ConvertUTF8ToMacRoman("a", &sourceLength, buffer, &destLength),
            B_BAD_VALUE);
}

TEST(TextEncodingTest, IsValidUTF8) {
  constexpr std::string_view kValid[] = {
      ""sv,
      "plain\0nul"sv,
      "\xC2\x80"sv,          // U+0080
      "\xDF\xBF"sv,          // U+07FF
      "\xE0\xA0\x80"sv,      // U+0800
      "\xED\x9F\xBF"sv,      // U+D7FF, just below the surrogates
      "\xEE\x80\x80"sv,      // U+E000, just above
      "\xEF\xBF\xBF"sv,      // U+FFFF
      "\xF0\x90\x80\x80"sv,  // U+10000
      "\xF4\x8F\xBF\xBF"sv,  // U+10FFFF
  };
  for (std::string_view text : kValid) {
    SCOPED_TRACE(testing::PrintToString(std::string(text)));
    EXPECT_TRUE(IsValidUTF8(text.data(), text.size()));
  }

  constexpr std::string_view kInvalid[] = {
      "\x80"sv,              // stray continuation
      "\xC0\x80"sv,          // overlong NUL
      "\xC1\xBF"sv,          // overlong
      "\xE0\x9F\xBF"sv,      // overlong U+07FF
      "\xF0\x8F\xBF\xBF"sv,  // overlong U+FFFF
      "\xED\xA0\x80"sv,      // surrogate D800
      "\xED\xBF\xBF"sv,      // surrogate DFFF
      "\xF4\x90\x80\x80"sv,  // U+110000
      "\xF8\x88\x80\x80\x80"sv,
      "\xC3"sv,              // truncated
      "ok\xE2\x82"sv,        // truncated
      "\xC3" "A"sv,          // bad continuation
  };
  for (std::string_view text : kInvalid) {
    SCOPED_TRACE(testing::PrintToString(std::string(text)));
    EXPECT_FALSE(IsValidUTF8(text.data(), text.size()));
    EXPECT_FALSE(HasMacRomanForm(text.data(), text.size()));
  }
}

TEST(TextEncodingTest, HasMacRomanFormAcceptsTheSubstituteCharacterItself) {
  // ASCII SUB is a real character in the input, not a failed conversion.
  EXPECT_TRUE(HasMacRomanForm("a\x1A" "b", 3));
  EXPECT_TRUE(HasMacRomanForm("", 0));
}

}  // namespace

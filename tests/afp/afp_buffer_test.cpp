#include "server/afp/afp_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "server/afp/afp_result.h"

namespace {

std::vector<uint8_t> Written(const BAFPBuffer& buffer) {
  const auto* begin = reinterpret_cast<const uint8_t*>(buffer.GetBuffer());
  return std::vector<uint8_t>(begin, begin + buffer.GetDataLength());
}

// A request buffer holding exactly these bytes.
struct Request {
  explicit Request(std::vector<uint8_t> bytes) : data(std::move(bytes)) {}
  BAFPBuffer Buffer() { return BAFPBuffer(reinterpret_cast<signed char*>(data.data()), static_cast<int32_t>(data.size())); }
  std::vector<uint8_t> data;
};

TEST(AFPBuffer, IntegersAreBigEndianBothWays) {
  signed char memory[32];
  BAFPBuffer out(memory, sizeof(memory));
  EXPECT_EQ(out.AddInt8(-2), kFPNoErr);
  EXPECT_EQ(out.AddInt16(0x1234), kFPNoErr);
  EXPECT_EQ(out.AddInt32(-5019), kFPNoErr);
  EXPECT_EQ(out.AddInt64(0x0102030405060708LL), kFPNoErr);
  EXPECT_EQ(Written(out), (std::vector<uint8_t>{0xFE, 0x12, 0x34, 0xFF, 0xFF, 0xEC, 0x65, 1, 2, 3, 4, 5, 6, 7, 8}));

  BAFPBuffer in(memory, out.GetDataLength());
  EXPECT_EQ(in.GetInt8(), -2);
  EXPECT_EQ(in.GetInt16(), 0x1234);
  EXPECT_EQ(in.GetInt32(), -5019);
  EXPECT_EQ(in.GetInt64(), 0x0102030405060708LL);
  EXPECT_FALSE(in.ReadPastEnd());
}

TEST(AFPBuffer, WriteThatDoesNotFitChangesNothing) {
  signed char memory[8] = {};
  BAFPBuffer out(memory, 8);
  out.AddInt8(1);
  out.AddInt32(2);  // 3 bytes left
  EXPECT_EQ(out.AddInt32(7), kFPParamErr);
  EXPECT_EQ(out.GetDataLength(), 5);
  EXPECT_EQ(out.AddRawData("abcd", 4), kFPParamErr);
  EXPECT_EQ(out.AddCStringAsPascal("abc"), kFPParamErr);
  EXPECT_EQ(out.AddUniString("ab", false, true), kFPParamErr);
  EXPECT_EQ(out.GetDataLength(), 5);
  EXPECT_EQ(memory[5], 0);
  EXPECT_EQ(out.AddInt16(3), kFPNoErr);
  EXPECT_FALSE(out.CheckSpaceNeeded(2));
  EXPECT_TRUE(out.CheckSpaceNeeded(1));
}

TEST(AFPBuffer, ReadPastTheEndYieldsZerosAndIsMarked) {
  Request request({0x01, 0x02, 0x03});
  BAFPBuffer in = request.Buffer();
  EXPECT_EQ(in.GetInt16(), 0x0102);
  EXPECT_FALSE(in.ReadPastEnd());
  EXPECT_EQ(in.GetInt32(), 0);  // only one byte left
  EXPECT_TRUE(in.ReadPastEnd());
  EXPECT_EQ(in.GetInt8(), 3);   // the short read took nothing
  char raw[4] = {9, 9, 9, 9};
  in.GetRawData(raw, 4);
  EXPECT_EQ(std::string(raw, 4), std::string(4, '\0'));
}

TEST(AFPBuffer, StringsWithoutRoomOrBytesAreRefused) {
  char out[16];
  int16_t length = -1;
  Request tooLongForOut({5, 'a', 'b', 'c', 'd', 'e'});
  BAFPBuffer a = tooLongForOut.Buffer();
  EXPECT_EQ(a.GetPascalString(out, 5, &length), kFPParamErr);
  Request truncated({10, 'a', 'b'});
  BAFPBuffer b = truncated.Buffer();
  EXPECT_EQ(b.GetPascalString(out, sizeof(out), &length), kFPParamErr);
  Request truncatedUnicode({0, 0, 0, 0, 0, 9, 'a'});
  BAFPBuffer c = truncatedUnicode.Buffer();
  EXPECT_EQ(c.GetUnicodeString(out, sizeof(out), &length, true), kFPParamErr);
  Request negativeLength({0xFF, 0xFF, 'a'});
  BAFPBuffer d = negativeLength.Buffer();
  EXPECT_EQ(d.GetUnicodeString(out, sizeof(out), &length, false), kFPParamErr);
  EXPECT_EQ(length, -1);
}

TEST(AFPBuffer, PascalStringWriting) {
  signed char memory[16];
  BAFPBuffer out(memory, sizeof(memory));
  EXPECT_EQ(out.AddCStringAsPascal("abc"), kFPNoErr);
  EXPECT_EQ(Written(out), (std::vector<uint8_t>{3, 'a', 'b', 'c'}));
  BAFPBuffer slash(memory, sizeof(memory));
  slash.AddCStringAsPascal("a\x80" "b");
  EXPECT_EQ(Written(slash), (std::vector<uint8_t>{3, 'a', '/', 'b'}));
  EXPECT_EQ(out.AddCStringAsPascal(nullptr), kFPParamErr);
}

TEST(AFPBuffer, UniStringForms) {
  struct Case {
    const char* text;
    bool hint;
    bool length;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"abc", true, true, {0, 0, 0, 0, 0, 3, 'a', 'b', 'c'}},
      {"abc", false, true, {0, 3, 'a', 'b', 'c'}},
      {"abc", false, false, {'a', 'b', 'c', 0}},
      {"\x8A", false, true, {0, 2, 0xC3, 0xA4}},                 // ä
      {"a\x80" "b", true, true, {0, 0, 0, 0, 0, 3, 'a', '/', 'b'}},  // stored slash, name form
      {"\x80", false, true, {0, 2, 0xC3, 0x84}},                 // Ä in a message stays Ä
      {"\xF0", false, true, {0, 3, 0xEF, 0xA3, 0xBF}},           // three UTF-8 bytes, not cut
      {"", false, true, {0, 0}},
  };
  for (const Case& c : cases) {
    signed char memory[64];
    BAFPBuffer out(memory, sizeof(memory));
    EXPECT_EQ(out.AddUniString(c.text, c.hint, c.length), kFPNoErr) << c.text;
    EXPECT_EQ(Written(out), c.bytes) << c.text;
  }
}

TEST(AFPBuffer, UniStringFitsByItsRealSize) {
  signed char memory[5];
  BAFPBuffer out(memory, sizeof(memory));
  EXPECT_EQ(out.AddUniString("abc", false, true), kFPNoErr);  // 2 + 3 bytes, exactly the room
  BAFPBuffer tooSmall(memory, 4);
  EXPECT_EQ(tooSmall.AddUniString("abc", false, true), kFPParamErr);
  EXPECT_EQ(tooSmall.GetDataLength(), 0);
}

TEST(AFPBuffer, PathNamesSwapSlashAndColon) {
  struct Case {
    std::vector<uint8_t> request;
    signed char pathType;
    bool path;
    std::string expected;
  };
  const Case cases[] = {
      {{3, 'a', '/', 'b'}, kLongNamePath, true, "a\x80" "b"},
      {{3, 'a', ':', 'b'}, kLongNamePath, true, "a/b"},
      {{3, 'a', '/', 'b'}, kLongNamePath, false, "a/b"},
      {{0, 0, 0, 0, 0, 2, 0xC3, 0xA4}, kUTF8NamePath, true, "\x8A"},
      {{0, 2, 0xC3, 0xA4}, kUTF8NamePath, false, "\x8A"},
      {{0, 0, 0, 0, 0, 3, 'e', 0xCC, 0x81}, kUTF8NamePath, true, "\x8E"},  // decomposed é
      {{0, 0, 0, 0, 0, 0}, kUTF8NamePath, true, ""},
  };
  for (const Case& c : cases) {
    Request request(c.request);
    BAFPBuffer in = request.Buffer();
    char out[64];
    ASSERT_EQ(in.GetString(out, sizeof(out), c.path, c.pathType), kFPNoErr);
    EXPECT_EQ(std::string(out), c.expected);
    EXPECT_EQ(in.Remaining(), 0);
  }
}

TEST(AFPBuffer, PathTypes) {
  Request request({3, 'a', 'b', 'c'});
  char out[16];
  for (signed char type : {0, 4, -1}) {
    BAFPBuffer in = request.Buffer();
    EXPECT_EQ(in.GetString(out, sizeof(out), true, type), kFPParamErr) << int(type);
  }
  BAFPBuffer in = request.Buffer();
  EXPECT_EQ(in.GetString(out, sizeof(out), true, kShortNamePath), kFPCallNotSupported);
}

TEST(AFPBuffer, UniStringOfGivenLength) {
  Request request({'h', 0xC3, 0xA9, 'x'});
  BAFPBuffer in = request.Buffer();
  char out[8];
  uint16_t length = 3;
  ASSERT_EQ(in.GetUniString(out, sizeof(out), &length), kFPNoErr);
  EXPECT_EQ(length, 2);
  EXPECT_EQ(std::string(out), "h\x8E");
  EXPECT_EQ(in.GetInt8(), 'x');
  length = 8;
  EXPECT_EQ(in.GetUniString(out, sizeof(out), &length), kFPParamErr);
}

TEST(AFPBuffer, AdvanceIfOddAndAdvance) {
  signed char memory[16] = {};
  BAFPBuffer out(memory, sizeof(memory));
  out.AddRawData("abcde", 5);
  out.AdvanceIfOdd();
  EXPECT_EQ(out.GetDataLength(), 6);
  out.AdvanceIfOdd();
  EXPECT_EQ(out.GetDataLength(), 6);
  out.Advance(100);
  EXPECT_EQ(out.GetDataLength(), 16);
  EXPECT_TRUE(out.ReadPastEnd());
  out.Rewind();
  EXPECT_EQ(out.GetDataLength(), 0);
  EXPECT_FALSE(out.ReadPastEnd());
}

}  // namespace

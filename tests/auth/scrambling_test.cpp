#include "server/auth/scrambling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

unsigned char Entry(int index) { return static_cast<unsigned char>(afpScrambleKeyTable[index] & 0xFF); }
unsigned char Main(int entry) { return Entry(kScrambleMainKey + entry); }
unsigned char AllMixes(int position) {
  return Entry(kScrambleMixTable1 + position) ^ Entry(kScrambleMixTable2 + position) ^
         Entry(kScrambleMixTable3 + position);
}

constexpr unsigned char kUntouched = 0xEE;

// A text buffer and a separate output buffer whose unwritten bytes are
// recognisable.
struct Buffers {
  explicit Buffers(const std::string& text) {
    in.fill(0);
    out.fill(kUntouched);
    std::memcpy(in.data(), text.data(), text.size());
  }
  char* InChars() { return reinterpret_cast<char*>(in.data()); }
  char* OutChars() { return reinterpret_cast<char*>(out.data()); }
  std::string Out(size_t length) const { return std::string(reinterpret_cast<const char*>(out.data()), length); }
  std::array<unsigned char, 256> in;
  std::array<unsigned char, 256> out;
};

// The three text routines behind one signature, so the size rule and the
// round trips run over all of them.
struct TextRoutine {
  const char* name;
  int (*run)(unsigned char* text, unsigned char* out, int outSize);
};
const TextRoutine kTextRoutines[] = {
    {"xorencrypt",
     [](unsigned char* t, unsigned char* o, int n) {
       return xorencrypt(reinterpret_cast<const char*>(t), reinterpret_cast<char*>(o), n);
     }},
    {"xordecrypt",
     [](unsigned char* t, unsigned char* o, int n) {
       return xordecrypt(reinterpret_cast<const char*>(t), reinterpret_cast<char*>(o), n);
     }},
    {"xorencrypt2 mixing after", [](unsigned char* t, unsigned char* o, int n) { return xorencrypt2(t, 9, o, n, 0); }},
    {"xorencrypt2 mixing first", [](unsigned char* t, unsigned char* o, int n) { return xorencrypt2(t, 9, o, n, 1); }},
};

TEST(ScramblingKeyTable, EveryEntryIsWithin1To31) {
  for (int i = 0; i < kScrambleKeyTableSize; ++i) {
    EXPECT_GE(afpScrambleKeyTable[i], 1) << "entry " << i;
    EXPECT_LE(afpScrambleKeyTable[i], 31) << "entry " << i;
  }
}

TEST(ScramblingSizeCheck, LongerTextThanOutputSizeWritesNothing) {
  struct Case {
    std::string text;
    int outSize;
    bool proceeds;
  };
  const Case cases[] = {
      {"", 0, true},          // empty text: a lone zero byte
      {"", 48, true},
      {"", -1, false},
      {"secret", 6, true},    // size equal to the length: length + 1 bytes
      {"secret", 48, true},
      {"secret", 5, false},   // one less: nothing at all
      {"secret", 0, false},
      {"secret", -1, false},
  };
  for (const TextRoutine& routine : kTextRoutines) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(routine.name) + " on \"" + c.text + "\" size " + std::to_string(c.outSize));
      Buffers buffers(c.text);
      const auto before = buffers.in;
      EXPECT_EQ(routine.run(buffers.in.data(), buffers.out.data(), c.outSize), static_cast<int>(c.text.size()));
      const size_t written = static_cast<size_t>(
          std::find(buffers.out.begin(), buffers.out.end(), kUntouched) - buffers.out.begin());
      if (c.proceeds) {
        EXPECT_EQ(written, c.text.size() + 1);
        EXPECT_EQ(buffers.out[c.text.size()], 0);
      } else {
        EXPECT_EQ(written, 0u);
        EXPECT_EQ(buffers.in, before);  // not even mixed
      }
    }
  }
}

TEST(ScramblingXorEncrypt, UsesTheMainKeyFromEntryZero) {
  const std::string text = "Correct horse battery staple";
  Buffers encrypted(text), decrypted(text);
  ASSERT_EQ(xorencrypt(encrypted.InChars(), encrypted.OutChars(), 48), static_cast<int>(text.size()));
  ASSERT_EQ(xordecrypt(decrypted.InChars(), decrypted.OutChars(), 48), static_cast<int>(text.size()));
  for (size_t i = 0; i < text.size(); ++i) {
    EXPECT_EQ(encrypted.out[i], static_cast<unsigned char>(text[i]) ^ Main(static_cast<int>(i))) << "position " << i;
  }
  EXPECT_EQ(encrypted.out, decrypted.out);
}

TEST(ScramblingXorEncrypt2, KeyIndexWalksTheMainKeyAndWrapsAfter71) {
  struct Case {
    int keyIndex;
    std::array<int, 5> entries;
  };
  const Case cases[] = {
      {0, {0, 1, 2, 3, 4}},
      {15, {15, 16, 17, 18, 19}},
      {67, {67, 68, 69, 70, 71}},
      {70, {70, 71, 0, 1, 2}},
      {71, {71, 0, 1, 2, 3}},
      {72, {0, 1, 2, 3, 4}},
      {-1, {0, 1, 2, 3, 4}},
      {INT_MIN, {0, 1, 2, 3, 4}},
      {INT_MAX, {0, 1, 2, 3, 4}},
  };
  const std::string text = "Hello";
  for (int mixFirst : {0, 1}) {
    for (const Case& c : cases) {
      SCOPED_TRACE("key index " + std::to_string(c.keyIndex) + " mix first " + std::to_string(mixFirst));
      Buffers buffers(text);
      ASSERT_EQ(xorencrypt2(buffers.in.data(), c.keyIndex, buffers.out.data(), 48, mixFirst), 5);
      for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(buffers.out[i], static_cast<unsigned char>(text[i]) ^ Main(c.entries[i]) ^ AllMixes(i))
            << "position " << i;
      }
      EXPECT_EQ(buffers.out[5], 0);
    }
  }
}

TEST(ScramblingXorEncrypt2, MixFirstLeavesTheInputMixedOtherwiseUntouched) {
  const std::string text = "pass word";
  Buffers mixedFirst(text), mixedAfter(text);
  xorencrypt2(mixedFirst.in.data(), 3, mixedFirst.out.data(), 48, 1);
  xorencrypt2(mixedAfter.in.data(), 3, mixedAfter.out.data(), 48, 0);
  for (size_t i = 0; i < text.size(); ++i) {
    EXPECT_EQ(mixedFirst.in[i], static_cast<unsigned char>(text[i]) ^ AllMixes(static_cast<int>(i))) << i;
  }
  EXPECT_EQ(std::string(mixedAfter.InChars()), text);
  EXPECT_EQ(mixedFirst.Out(text.size() + 1), mixedAfter.Out(text.size() + 1));
}

// Scrambling twice gives the text back, in place as the server does it and
// into a separate buffer. The 200-byte text is past the defined lengths; it
// only has to stay inside the table (the sanitizer build checks that).
TEST(ScramblingRoundTrip, ApplyingTwiceRestoresTheText) {
  const std::vector<std::string> texts = {
      "", "a", "password", "Mot de passe ~!@#$%^&*()_+{}|:<>?",
      std::string(48, 'z'), std::string(64, 'Q'), std::string(200, '~')};
  for (const std::string& text : texts) {
    for (const TextRoutine& routine : kTextRoutines) {
      SCOPED_TRACE(std::string(routine.name) + " on " + std::to_string(text.size()) + " bytes");
      Buffers inPlace(text);
      routine.run(inPlace.in.data(), inPlace.in.data(), 255);
      if (!text.empty()) {
        EXPECT_NE(std::string(inPlace.InChars()), text);
      }
      routine.run(inPlace.in.data(), inPlace.in.data(), 255);
      EXPECT_EQ(std::string(inPlace.InChars()), text);

      Buffers once(text);
      routine.run(once.in.data(), once.out.data(), 255);
      Buffers twice(std::string(once.OutChars()));
      routine.run(twice.in.data(), twice.out.data(), 255);
      EXPECT_EQ(std::string(twice.OutChars()), text);
    }
  }
}

// A byte below 32 that equals the table value it meets becomes a zero byte:
// the result is still the full length, but later passes and the receiver
// see the text end there.
TEST(ScramblingZeroByte, XorEncryptCutsTheTextForTheReceiver) {
  std::string text = "ab?de";
  text[2] = static_cast<char>(Main(2));
  Buffers buffers(text);
  EXPECT_EQ(xorencrypt(buffers.InChars(), buffers.OutChars(), 48), 5);
  EXPECT_EQ(buffers.out[2], 0);
  EXPECT_EQ(buffers.out[5], 0);
  EXPECT_EQ(xordecrypt(buffers.OutChars(), buffers.OutChars(), 48), 2);
  EXPECT_STREQ(buffers.OutChars(), "ab");
}

TEST(ScramblingZeroByte, XmixStopsAtTheZeroItMade) {
  std::string text = "ab?de";
  text[2] = static_cast<char>(Entry(kScrambleMixTable1 + 2));
  Buffers buffers(text);
  xmix(buffers.in.data(), afpScrambleKeyTable + kScrambleMixTable1);
  EXPECT_EQ(buffers.in[2], 0);
  EXPECT_EQ(buffers.in[3], 'd' ^ Entry(kScrambleMixTable1 + 3));
  const auto afterFirst = buffers.in;
  xmix(buffers.in.data(), afpScrambleKeyTable + kScrambleMixTable2);
  EXPECT_NE(buffers.in[0], afterFirst[0]);
  EXPECT_TRUE(std::equal(afterFirst.begin() + 2, afterFirst.end(), buffers.in.begin() + 2));
}

TEST(ScramblingZeroByte, XorEncrypt2MixingFirstEndsTheOutputAtTheCut) {
  std::string text = "ab?de";
  text[2] = static_cast<char>(Entry(kScrambleMixTable1 + 2));
  Buffers buffers(text);
  EXPECT_EQ(xorencrypt2(buffers.in.data(), 4, buffers.out.data(), 48, 1), 5);
  EXPECT_EQ(buffers.in[2], 0);
  EXPECT_EQ(buffers.out[0], 'a' ^ Main(4) ^ AllMixes(0));
  EXPECT_EQ(buffers.out[1], 'b' ^ Main(5) ^ AllMixes(1));
  EXPECT_EQ(buffers.out[2], 0);
  EXPECT_EQ(buffers.out[3], kUntouched);
}

TEST(ScramblingZeroByte, XorEncrypt2MixingAfterLeavesTheRestUnmixed) {
  std::string text = "ab?de";
  text[2] = static_cast<char>(Main(6));
  Buffers buffers(text);
  EXPECT_EQ(xorencrypt2(buffers.in.data(), 4, buffers.out.data(), 48, 0), 5);
  EXPECT_EQ(buffers.out[1], 'b' ^ Main(5) ^ AllMixes(1));
  EXPECT_EQ(buffers.out[2], 0);
  EXPECT_EQ(buffers.out[3], 'd' ^ Main(7));  // the mixing passes stopped at the cut
  EXPECT_EQ(buffers.out[5], 0);
  // The receiver unscrambles what it sees: the first two bytes.
  EXPECT_EQ(xorencrypt2(buffers.out.data(), 4, buffers.out.data(), 48, 0), 2);
  EXPECT_STREQ(buffers.OutChars(), "ab");
}

}  // namespace

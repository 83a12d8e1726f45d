// The client login plug-in as the AFP client sees it: the built
// client_uam.so, loaded and looked up by symbol name.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "server/auth/scrambling.h"

namespace {

using EntryPoint = int32_t (*)(void*);
using XorEncrypt = int (*)(const char*, char*, int);
using XorEncrypt2 = int (*)(unsigned char*, int, unsigned char*, int, int);
using Xmix = void (*)(unsigned char*, const int32_t*);

const std::set<std::string> kExports = {"uamBeMain", "xorencrypt", "xordecrypt", "xorencrypt2", "xmix"};

class ClientUam : public testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(CORVANE_CLIENT_UAM_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    uamBeMain_ = Find<EntryPoint>("uamBeMain");
    xorencrypt_ = Find<XorEncrypt>("xorencrypt");
    xordecrypt_ = Find<XorEncrypt>("xordecrypt");
    xorencrypt2_ = Find<XorEncrypt2>("xorencrypt2");
    xmix_ = Find<Xmix>("xmix");
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }

  template <typename Function>
  Function Find(const char* name) {
    void* symbol = dlsym(handle_, name);
    EXPECT_NE(symbol, nullptr) << name << ": " << dlerror();
    return reinterpret_cast<Function>(symbol);
  }

  void* handle_ = nullptr;
  EntryPoint uamBeMain_ = nullptr;
  XorEncrypt xorencrypt_ = nullptr;
  XorEncrypt xordecrypt_ = nullptr;
  XorEncrypt2 xorencrypt2_ = nullptr;
  Xmix xmix_ = nullptr;
};

TEST_F(ClientUam, ExportsOnlyTheEntryPointAndTheScramblingRoutines) {
  const std::string command = std::string(CORVANE_NM_PATH) + " -D --defined-only " + CORVANE_CLIENT_UAM_PATH;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string listing;
  std::array<char, 512> chunk;
  while (fgets(chunk.data(), chunk.size(), pipe) != nullptr) listing += chunk.data();
  ASSERT_EQ(pclose(pipe), 0) << command;

  // Lines read "<address> <type> <name>"; keep the names.
  std::set<std::string> names;
  std::istringstream lines(listing);
  std::string address, type, name;
  while (lines >> address >> type >> name) names.insert(name);
  EXPECT_EQ(names, kExports) << listing;
}

TEST_F(ClientUam, EverySelectorAnswersParamErrWithItsWrites) {
  constexpr unsigned char kFill = 0x5A;  // non-zero in every field
  const std::array<unsigned char, 4> paramErr = {0xFF, 0xFF, 0xFF, 0xCE};  // -50 big-endian
  for (uint32_t selector = 0; selector <= 0xFFFF; ++selector) {
    std::array<unsigned char, 32> block;
    block.fill(kFill);
    block[0] = static_cast<unsigned char>(selector >> 8);
    block[1] = static_cast<unsigned char>(selector);
    auto expected = block;
    const bool writesResult = selector != 0 && selector != 2 && selector != 5 && selector != 8;
    if (writesResult) std::memcpy(&expected[6], paramErr.data(), 4);
    if (selector == 6 || selector == 7) std::memset(&expected[10], 0, 4);
    if (selector == 6) std::memset(&expected[14], 0, 4);

    ASSERT_EQ(uamBeMain_(block.data()), -50) << "selector " << selector;
    ASSERT_EQ(block, expected) << "selector " << selector;
  }
}

TEST_F(ClientUam, ScramblesExactlyLikeTheServer) {
  const std::string texts[] = {"", "x", "guest", "Sesame, open!", std::string(48, '#')};
  for (const std::string& text : texts) {
    for (int key : {0, 7, 15, 70}) {
      for (int mixFirst : {0, 1}) {
        SCOPED_TRACE("\"" + text + "\" key " + std::to_string(key) + " mix first " + std::to_string(mixFirst));
        std::array<unsigned char, 64> serverIn{}, serverOut{}, pluginIn{}, pluginOut{};
        std::memcpy(serverIn.data(), text.data(), text.size());
        pluginIn = serverIn;
        EXPECT_EQ(xorencrypt2_(pluginIn.data(), key, pluginOut.data(), 48, mixFirst),
                  xorencrypt2(serverIn.data(), key, serverOut.data(), 48, mixFirst));
        EXPECT_EQ(pluginOut, serverOut);
        EXPECT_EQ(pluginIn, serverIn);
      }
    }
    std::array<char, 64> server{}, plugin{};
    EXPECT_EQ(xorencrypt_(text.c_str(), plugin.data(), 48), xorencrypt(text.c_str(), server.data(), 48));
    EXPECT_EQ(plugin, server);
    EXPECT_EQ(xordecrypt_(text.c_str(), plugin.data(), 48), xordecrypt(text.c_str(), server.data(), 48));
    EXPECT_EQ(plugin, server);
    for (int table : {kScrambleMixTable1, kScrambleMixTable2, kScrambleMixTable3}) {
      std::array<unsigned char, 64> serverMixed{}, pluginMixed{};
      std::memcpy(serverMixed.data(), text.data(), text.size());
      pluginMixed = serverMixed;
      xmix_(pluginMixed.data(), afpScrambleKeyTable + table);
      xmix(serverMixed.data(), afpScrambleKeyTable + table);
      EXPECT_EQ(pluginMixed, serverMixed);
    }
  }
}

// What the server checks in a v1 login: the plug-in scrambles, the server
// unscrambles in place with its 48-byte limit.
TEST_F(ClientUam, ServerRecoversWhatThePluginScrambled) {
  char password[64] = "hunter2";
  xorencrypt_(password, password, 48);
  EXPECT_STRNE(password, "hunter2");
  xordecrypt(password, password, 48);
  EXPECT_STREQ(password, "hunter2");

  unsigned char password2[64] = "hunter2";
  xorencrypt2_(password2, 11, password2, 48, 1);
  xorencrypt2(password2, 11, password2, 48, 0);
  EXPECT_STREQ(reinterpret_cast<char*>(password2), "hunter2");
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "server/admin/server_messages.h"
#include "server/app/corvane_application.h"
#include "tests/client/temp_dir.h"

namespace {

// Loads the logon message from a settings folder holding `content` (or no
// file at all) and returns the resulting message.
std::string LoadFrom(const std::string* content) {
  afptest::TempDir folder;
  if (content != nullptr) {
    std::ofstream file(folder.path() / "afpLogonMessage", std::ios::binary);
    file << *content;
  }
  const char* saved = std::getenv("CORVANE_SETTINGS_DIR");
  const std::string restore = saved != nullptr ? saved : "";
  setenv("CORVANE_SETTINGS_DIR", folder.path().c_str(), 1);
  afp_Initialize();
  afpLoadLogonMessage();
  if (saved != nullptr) setenv("CORVANE_SETTINGS_DIR", restore.c_str(), 1);
  else unsetenv("CORVANE_SETTINGS_DIR");
  const std::string message = afpLogonMessage();
  afp_Initialize();
  return message;
}

TEST(LogonMessageFile, Cases) {
  struct Case {
    const char* what;
    bool present;
    std::string content;
    std::string expected;
  };
  const Case cases[] = {
      {"no file", false, "", ""},
      {"a text", true, "Welcome to the studio", "Welcome to the studio"},
      {"text up to the first zero byte", true, std::string("Hi\0there", 8), "Hi"},
      {"empty file", true, "", ""},
      {"only zero bytes", true, std::string(40, '\0'), ""},
      {"199 bytes", true, std::string(199, 'm'), std::string(199, 'm')},
      {"200 bytes: refused", true, std::string(200, 'm'), ""},
      {"256 bytes without a zero: refused", true, std::string(300, 'x'), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(LoadFrom(c.present ? &c.content : nullptr), c.expected) << c.what;
}

}  // namespace

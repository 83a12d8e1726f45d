#include "server/auth/account_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/node.h"
#include "server/afp/afp_result.h"
#include "server/volume/settings_file.h"
#include "tests/client/temp_dir.h"

namespace {

// Each test gets its own settings folder.
class AccountStore : public ::testing::Test {
 protected:
  void SetUp() override { setenv("CORVANE_SETTINGS_DIR", folder_.path().c_str(), 1); }
  afptest::TempDir folder_;
};

TEST_F(AccountStore, AddReadBack) {
  ASSERT_EQ(afpSaveNewUser("ann", "secret", 0x21), kFPNoErr);
  AFP_USER_DATA record;
  std::memset(&record, 0xAA, sizeof(record));
  ASSERT_EQ(afpGetUserDataByName("ann", &record), kFPNoErr);
  EXPECT_STREQ(record.name, "ann");
  EXPECT_STREQ(record.password, "secret");
  EXPECT_EQ(record.flags, 0x21u);
  EXPECT_EQ(record.reserved1, 0u);
  for (uint8_t byte : record.reserved2) EXPECT_EQ(byte, 0);
  EXPECT_EQ(record.name[4], 0);  // zero after the terminator
  EXPECT_TRUE(afpAccountEnabled("ann"));
}

TEST_F(AccountStore, ExistingAccountIsLeftAlone) {
  ASSERT_EQ(afpSaveNewUser("Guest", "", 2), kFPNoErr);
  EXPECT_EQ(afpSaveNewUser("Guest", "x", 1), kAFPUserExists);
  AFP_USER_DATA guest;
  ASSERT_EQ(afpGetUserDataByName("Guest", &guest), kFPNoErr);
  EXPECT_EQ(guest.flags, 2u);
  EXPECT_FALSE(afpAccountEnabled("Guest"));
}

TEST_F(AccountStore, LookupsAndDeletion) {
  ASSERT_EQ(afpSaveNewUser("bob", "pw", 1), kFPNoErr);
  EXPECT_EQ(afpGetUserDataByName("Bob", nullptr), kAFPNoSuchUser);  // case-sensitive
  EXPECT_EQ(afpGetUserDataByName("bob", nullptr), kFPNoErr);
  AFP_USER_DATA record;
  EXPECT_EQ(afpGetIndUser(&record, 0), kFPNoErr);
  EXPECT_EQ(afpGetIndUser(&record, 1), kAFPNoUserAtIndex);
  EXPECT_EQ(afpDeleteUser("nobody"), kFPNoErr);
  EXPECT_EQ(afpDeleteUser("bob"), kFPNoErr);
  EXPECT_EQ(afpGetUserDataByName("bob", nullptr), kAFPNoSuchUser);
}

TEST_F(AccountStore, UpdateReplacesOrCreates) {
  AFP_USER_DATA record{};
  std::strcpy(record.name, "carol");
  std::strcpy(record.password, "one");
  record.flags = 5;
  record.reserved1 = 77;
  EXPECT_EQ(afpUpdateUserInfo(record), kFPNoErr);  // creates
  std::strcpy(record.password, "two");
  EXPECT_EQ(afpUpdateUserInfo(record), kFPNoErr);
  AFP_USER_DATA stored;
  ASSERT_EQ(afpGetUserDataByName("carol", &stored), kFPNoErr);
  EXPECT_STREQ(stored.password, "two");
  EXPECT_EQ(stored.flags, 5u);
  EXPECT_EQ(stored.reserved1, 0u);  // only name, password and flags survive
}

TEST_F(AccountStore, NoSettingsFileOrOverlongTexts) {
  AFP_USER_DATA record;
  EXPECT_EQ(afpGetIndUser(&record, 0), kAFPSettingsUnavailable);
  EXPECT_EQ(afpGetUserDataByName("x", nullptr), kAFPNoSuchUser);
  EXPECT_NE(afpSaveNewUser(std::string(128, 'n').c_str(), "pw", 1), kFPNoErr);
  EXPECT_NE(afpSaveNewUser("dan", std::string(128, 'p').c_str(), 1), kFPNoErr);
  EXPECT_EQ(afpSaveNewUser(std::string(127, 'n').c_str(), std::string(127, 'p').c_str(), 1), kFPNoErr);
  ASSERT_EQ(afpGetUserDataByName(std::string(127, 'n').c_str(), &record), kFPNoErr);
  EXPECT_EQ(std::string(record.password), std::string(127, 'p'));
}

TEST_F(AccountStore, ShortRecordReadsWithZeros) {
  ASSERT_EQ(afpSaveNewUser("seed", "", 0), kFPNoErr);  // creates the file
  BNode file;
  ASSERT_EQ(afpOpenSettingsFile(&file, false), B_OK);
  const char shortRecord[] = "eve";
  ASSERT_GT(file.WriteAttr("USR:eve", 0, 0, shortRecord, sizeof(shortRecord)), 0);
  AFP_USER_DATA record;
  ASSERT_EQ(afpGetUserDataByName("eve", &record), kFPNoErr);
  EXPECT_EQ(record.password[0], 0);
  EXPECT_EQ(record.flags, 0u);
}

TEST_F(AccountStore, AThousandAccountsSurviveAReopen) {
  for (int i = 0; i < 1000; ++i) {
    const std::string name = "user" + std::to_string(i);
    ASSERT_EQ(afpSaveNewUser(name.c_str(), ("pw" + std::to_string(i)).c_str(), static_cast<uint32_t>(i)), kFPNoErr);
  }
  int count = 0;
  AFP_USER_DATA record;
  while (afpGetIndUser(&record, static_cast<int16_t>(count)) == kFPNoErr) ++count;
  EXPECT_EQ(count, 1000);
  for (int i : {0, 499, 999}) {
    const std::string name = "user" + std::to_string(i);
    ASSERT_EQ(afpGetUserDataByName(name.c_str(), &record), kFPNoErr) << name;
    EXPECT_EQ(std::string(record.password), "pw" + std::to_string(i));
    EXPECT_EQ(record.flags, static_cast<uint32_t>(i));
  }
}

}  // namespace

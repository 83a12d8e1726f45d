// The administration messages against the real server: replies for missing
// fields and failures, accounts and statistics, messages and their
// attentions, and the owner-only socket.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/node_monitor.h"
#include "tests/client/afp_login.h"
#include "tests/client/server_process.h"
#include "tests/client/wire_fixture.h"

namespace {

using namespace afptest;

const uint32_t kSucc = FourCC("succ");
const uint32_t kFail = FourCC("fail");

class AdminProtocol : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(StartServer(server_));
  }
  static void TearDownTestSuite() { server_.reset(); }

  static BMessage User(uint32_t code, const char* name, const char* password = nullptr) {
    BMessage message(code);
    if (name != nullptr) message.AddString("user-string", name);
    if (password != nullptr) message.AddString("pswd-string", password);
    return message;
  }

  static inline std::unique_ptr<ServerProcess> server_;
};

TEST_F(AdminProtocol, AccountMessages) {
  BMessage add = User(FourCC("addu"), "ann", "pw");
  add.AddInt32("afp-int32", 0x21);
  EXPECT_EQ(AdminCode(add), kSucc);
  EXPECT_EQ(AdminCode(add), kFail);  // exists already
  EXPECT_EQ(AdminCode(User(FourCC("addu"), "bob", "pw")), B_NO_REPLY);  // no flags: no answer
  BMessage addBool = User(FourCC("addu"), "cat", "pw");
  addBool.AddBool("afp-bool", true);
  EXPECT_EQ(AdminCode(addBool), kSucc);
  EXPECT_EQ(AdminCode(User(FourCC("addu"), nullptr)), kFail);

  const auto info = AdminRequest(User(FourCC("geti"), "ann"));
  ASSERT_TRUE(info);
  std::string password;
  int32_t flags = 0;
  bool enabled = true;
  EXPECT_EQ(info->FindString("pswd-string", &password), B_OK);
  EXPECT_EQ(password, "pw");  // in clear
  EXPECT_EQ(info->FindInt32("afp-int32", &flags), B_OK);
  EXPECT_EQ(flags, 0x21);
  EXPECT_EQ(info->FindBool("afp-bool", &enabled), B_OK);
  EXPECT_TRUE(enabled);
  EXPECT_EQ(AdminCode(User(FourCC("geti"), "nobody")), kFail);
  EXPECT_EQ(AdminCode(BMessage(FourCC("geti"))), B_NO_REPLY);

  BMessage update = User(FourCC("updu"), "ann", "new");
  update.AddBool("afp-bool", false);  // only the enabled bit changes
  EXPECT_EQ(AdminCode(update), kSucc);
  const auto updated = AdminRequest(User(FourCC("geti"), "ann"));
  updated->FindInt32("afp-int32", &flags);
  updated->FindString("pswd-string", &password);
  EXPECT_EQ(flags, 0x20);
  EXPECT_EQ(password, "new");
  BMessage updateMissing = User(FourCC("updu"), "nobody", "x");
  updateMissing.AddInt32("afp-int32", 1);
  EXPECT_EQ(AdminCode(updateMissing), kFail);
  EXPECT_EQ(AdminCode(User(FourCC("geti"), "nobody")), kFail);  // nothing was created

  BMessage index(FourCC("getu"));
  index.AddInt16("afp-int16", 0);
  EXPECT_EQ(AdminCode(index), kSucc);
  BMessage beyond(FourCC("getu"));
  beyond.AddInt16("afp-int16", 100);
  EXPECT_EQ(AdminCode(beyond), kFail);
  EXPECT_EQ(AdminCode(User(FourCC("delu"), "nobody")), kSucc);
  EXPECT_EQ(AdminCode(User(FourCC("delu"), "cat")), kSucc);
  EXPECT_EQ(AdminCode(User(FourCC("geti"), "cat")), kFail);
}

TEST_F(AdminProtocol, ShareMessagesWithoutShares) {
  BMessage index(FourCC("gvol"));
  index.AddInt16("afp-int16", -1);  // reads as 65535
  EXPECT_EQ(AdminCode(index), kFail);
  EXPECT_EQ(AdminCode(BMessage(FourCC("gvnm"))), B_NO_REPLY);
  EXPECT_EQ(AdminCode(BMessage(FourCC("adds"))), kFail);
  BMessage remove(FourCC("rems"));
  remove.AddString("afp-string", "/not/shared");
  EXPECT_EQ(AdminCode(remove), static_cast<uint32_t>(-4004));
  BMessage flags(FourCC("gflg"));
  flags.AddString("afp-string", "/not/shared");
  EXPECT_EQ(AdminCode(flags), kFail);
  BMessage wrongType(FourCC("rems"));
  wrongType.AddInt32("afp-string", 5);  // other types count as missing
  EXPECT_EQ(AdminCode(wrongType), kFail);
}

TEST_F(AdminProtocol, ServerMessageAlertsEverySession) {
  BMessage guest(FourCC("sall"));
  guest.AddBool("afp-bool", true);
  ASSERT_EQ(AdminCode(guest), kSucc);
  DsiClient client;
  std::string why;
  ASSERT_TRUE(ConnectAsGuest(client, server_->port(), &why)) << why;

  BMessage tooLong(FourCC("send"));
  tooLong.AddString("afp-string", std::string(200, 'x'));
  EXPECT_EQ(AdminCode(tooLong), kFail);
  EXPECT_EQ(AdminCode(BMessage(FourCC("send"))), static_cast<uint32_t>(-4006));
  BMessage text(FourCC("send"));
  text.AddString("afp-string", "Back in five minutes");
  EXPECT_EQ(AdminCode(text), kSucc);
  const auto message = client.Command(RequestBuilder().Add8(38).Add8(0).Add16(1).Add16(0).Bytes());
  ASSERT_TRUE(message);
  EXPECT_EQ(message->payload.size(), 4u + 1 + 20);
  ASSERT_EQ(client.attentions().size(), 1u);  // the 200-byte text sent none
  EXPECT_EQ(client.attentions()[0], 0x2000);

  BMessage logon(FourCC("updt"));
  logon.AddString("afp-string", "Hello");
  EXPECT_EQ(AdminCode(logon), kSucc);
  const auto logonReply = client.Command(RequestBuilder().Add8(38).Add8(0).Add16(0).Add16(2).Bytes());
  EXPECT_EQ(logonReply->payload, (ByteVector{0, 0, 0, 2, 0, 5, 'H', 'e', 'l', 'l', 'o'}));
}

TEST_F(AdminProtocol, Statistics) {
  const auto packets = AdminRequest(BMessage(FourCC("gdsi")));
  ASSERT_TRUE(packets && packets->what == kSucc);
  int32_t count = 0;
  EXPECT_EQ(packets->FindInt32("afp-int32", &count), B_OK);
  for (uint32_t code : {FourCC("gsnt"), FourCC("grcv")}) {
    int64_t bytes = -1;
    const auto reply = AdminRequest(BMessage(code));
    ASSERT_TRUE(reply) << code;
    EXPECT_EQ(reply->FindInt64("afp-int64", &bytes), B_OK) << code;
    EXPECT_GE(bytes, 0);
  }
  DsiClient client;
  ASSERT_TRUE(client.Connect(server_->port()));
  ASSERT_TRUE(client.OpenSession());
  const auto sessions = AdminRequest(BMessage(FourCC("gusr")));
  int32_t open = 0;
  EXPECT_EQ(sessions->FindInt32("afp-int32", &open), B_OK);
  EXPECT_GE(open, 1);
  EXPECT_EQ(AdminCode(BMessage(FourCC("gbps"))), kSucc);
}

TEST_F(AdminProtocol, UnknownMessagesAndStatChanges) {
  EXPECT_EQ(AdminCode(BMessage(FourCC("zzzz"))), B_MESSAGE_NOT_UNDERSTOOD);
  // A status change of any node withdraws nothing; it gets no answer.
  BMessage stat(B_NODE_MONITOR);
  stat.AddInt32("opcode", B_STAT_CHANGED);
  stat.AddInt32("device", 1);
  stat.AddInt64("node", 2);
  EXPECT_EQ(AdminCode(stat), B_NO_REPLY);
}

TEST_F(AdminProtocol, SocketIsOwnerOnly) {
  struct stat info;
  const std::string socket = (server_->settingsDir() / "application_x-vnd.corvane.sock").string();
  ASSERT_EQ(stat(socket.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

}  // namespace

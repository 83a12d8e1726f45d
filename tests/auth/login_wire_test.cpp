// Logins, logouts, password changes and user information over the wire,
// against the real server with accounts made through the administration
// socket.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "server/auth/scrambling.h"
#include "tests/client/afp_login.h"
#include "tests/client/server_info.h"
#include "tests/client/server_process.h"
#include "tests/client/wire_fixture.h"

namespace {

using namespace afptest;

constexpr uint32_t kEnabled = 0x01, kExpired = 0x04, kChangeBeforeLogin = 0x10, kMayChange = 0x20;

class LoginWire : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(StartServer(server_));
  }
  static void TearDownTestSuite() { server_.reset(); }

  static void AddUser(const std::string& name, const std::string& password, uint32_t flags) {
    ASSERT_TRUE(AdminAddUser(name, password, static_cast<int32_t>(flags))) << name;
  }

  static void SetGuest(bool allowed) { ASSERT_TRUE(AdminAllowGuests(allowed)); }

  // Opens a DSI session and sends one AFP request; the reply.
  static std::optional<DsiFrame> FirstCommand(DsiClient& client, const ByteVector& request) {
    if (!client.Connect(server_->port()) || !client.OpenSession()) return std::nullopt;
    return client.Command(request);
  }

  static inline std::unique_ptr<ServerProcess> server_;
};

ByteVector ScrambledLogin(const std::string& method, const std::string& user, const std::string& scrambled) {
  RequestBuilder request;
  request.Add8(18).AddPascal("AFP3.1").AddPascal(method).AddPascal(user);
  if (!scrambled.empty()) request.PadToEven().AddPascal(scrambled);
  return std::move(request).Bytes();
}

std::string Scramble2(const std::string& password, int key) {
  unsigned char text[64] = {};
  std::memcpy(text, password.data(), password.size());
  xorencrypt2(text, key, text, 48, 1);
  return reinterpret_cast<const char*>(text);
}

TEST_F(LoginWire, CleartextCases) {
  AddUser("ann", "secret", kEnabled | kMayChange);
  AddUser("off", "x", 0);
  AddUser("eight", "12345678", kEnabled);
  AddUser("nine", "123456789", kEnabled);
  struct Case {
    const char* what;
    ByteVector request;
    int32_t result;
  };
  const Case cases[] = {
      {"right password", CleartextLoginRequest("ann", "secret"), 0},
      {"method name in another case", CleartextLoginRequest("ann", "secret", "AFP3.1", "Cleartxt Passwrd"), 0},
      {"unknown AFP version", CleartextLoginRequest("ann", "secret", "AFP9.9"), 0},
      {"AFP 2.2", CleartextLoginRequest("ann", "secret", "AFP2.2"), 0},
      {"wrong password", CleartextLoginRequest("ann", "secreT"), -5023},
      {"disabled account", CleartextLoginRequest("off", "x"), -5023},
      {"no such account", CleartextLoginRequest("nobody", "x"), -5023},
      {"names are case-sensitive", CleartextLoginRequest("Ann", "secret"), -5023},
      {"eight characters", CleartextLoginRequest("eight", "12345678"), 0},
      {"stored password longer than eight", CleartextLoginRequest("nine", "12345678"), -5023},
      {"unknown method", CleartextLoginRequest("ann", "secret", "AFP3.1", "Two-Way Randnum"), -5002},
  };
  for (const Case& c : cases) {
    DsiClient client;
    const auto reply = FirstCommand(client, c.request);
    ASSERT_TRUE(reply) << c.what;
    EXPECT_EQ(reply->errorCode, c.result) << c.what;
    if (c.result != 0) {
      EXPECT_TRUE(client.WaitForClose()) << c.what;
    }
  }
}

TEST_F(LoginWire, LoggedInSessionServesCommandsAndRefusesASecondLogin) {
  AddUser("bob", "pw", kEnabled);
  DsiClient client;
  ASSERT_TRUE(ConnectAndLogin(client, server_->port(), "bob", "pw"));
  const auto parms = client.Command(RequestBuilder().Add8(16).Add8(0).Bytes());
  ASSERT_TRUE(parms);
  EXPECT_EQ(parms->errorCode, 0);
  const auto again = client.Command(CleartextLoginRequest("bob", "pw"));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->errorCode, -5014);
  const auto userInfo = client.Command(RequestBuilder().Add8(37).Add8(1).Add32(0).Add16(3).Bytes());
  ASSERT_TRUE(userInfo);
  EXPECT_EQ(userInfo->errorCode, 0);
  EXPECT_EQ(userInfo->payload, (ByteVector{0, 3, 0, 0, 0, 1}));
  const auto logout = client.Command(RequestBuilder().Add8(20).Add8(0).Bytes());
  ASSERT_TRUE(logout);
  EXPECT_EQ(logout->errorCode, 0);
  EXPECT_TRUE(client.WaitForClose());  // no longer logged in
}

TEST_F(LoginWire, GuestAccessFollowsTheGuestAccount) {
  for (bool allowed : {false, true, false}) {
    SetGuest(allowed);
    DsiClient status;
    ASSERT_TRUE(status.Connect(server_->port()));
    const auto info = status.GetStatus();
    ASSERT_TRUE(info);
    const auto parsed = ParseServerInfo(info->payload);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->uams.size(), allowed ? 4u : 3u);
    EXPECT_EQ(parsed->uams.front() == "No User Authent", allowed);
    DsiClient client;
    const auto reply = FirstCommand(client, GuestLoginRequest());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->errorCode, allowed ? 0 : -5023);
  }
}

TEST_F(LoginWire, ScrambledMethods) {
  AddUser("carol", "opensesame", kEnabled);
  {
    char scrambled[64] = "opensesame";
    xorencrypt(scrambled, scrambled, 48);
    DsiClient client;
    const auto reply = FirstCommand(client, ScrambledLogin("BeOS_Encryption_v1.0", "carol", scrambled));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->errorCode, 0);
  }
  for (const char* user : {"carol", "nobody"}) {
    DsiClient client;
    const auto first = FirstCommand(client, ScrambledLogin("BeOS_Encryption_v2.0", user, ""));
    ASSERT_TRUE(first);
    ASSERT_EQ(first->errorCode, -5001) << user;
    ASSERT_EQ(first->payload.size(), 2u);
    const int key = (first->payload[0] << 8) | first->payload[1];
    EXPECT_LE(key, 15);
    const auto second =
        client.Command(RequestBuilder().Add8(19).Add8(0).AddPascal(Scramble2("opensesame", key)).Bytes());
    ASSERT_TRUE(second);
    EXPECT_EQ(second->errorCode, std::string(user) == "carol" ? 0 : -5023) << user;
  }
}

ByteVector CleartextChange(const std::string& old, const std::string& fresh) {
  std::string oldPadded = old, newPadded = fresh;
  oldPadded.resize(8, '\0');
  newPadded.resize(8, '\0');
  RequestBuilder request;
  request.Add8(36).Add8(0).AddPascal("Cleartxt passwrd").Add16(0).PadToEven();
  request.AddBytes(oldPadded).AddBytes(newPadded);
  return std::move(request).Bytes();
}

TEST_F(LoginWire, PasswordChangeOfTheSessionsOwnAccount) {
  AddUser("dave", "first", kEnabled | kMayChange);
  AddUser("erin", "first", kEnabled);
  {
    DsiClient client;
    ASSERT_TRUE(ConnectAndLogin(client, server_->port(), "dave", "first"));
    EXPECT_EQ(client.Command(CleartextChange("wrong", "second"))->errorCode, -5023);
    EXPECT_EQ(client.Command(CleartextChange("first", ""))->errorCode, -5041);
    EXPECT_EQ(client.Command(CleartextChange("first", "first"))->errorCode, -5040);
    EXPECT_EQ(client.Command(CleartextChange("first", "12345678"))->errorCode, 0);
  }
  DsiClient again;
  EXPECT_TRUE(ConnectAndLogin(again, server_->port(), "dave", "12345678"));
  DsiClient notAllowed;
  ASSERT_TRUE(ConnectAndLogin(notAllowed, server_->port(), "erin", "first"));
  EXPECT_EQ(notAllowed.Command(CleartextChange("first", "second"))->errorCode, -5000);
}

TEST_F(LoginWire, ExpiredPasswordIsChangedBeforeLogin) {
  AddUser("fay", "old", kEnabled | kExpired | kChangeBeforeLogin | kMayChange);
  {
    DsiClient client;
    const auto login = FirstCommand(client, CleartextLoginRequest("fay", "old"));
    ASSERT_TRUE(login);
    EXPECT_EQ(login->errorCode, -5042);
    const auto change = client.Command(CleartextChange("old", "new"));
    ASSERT_TRUE(change);
    EXPECT_EQ(change->errorCode, 0);
    EXPECT_TRUE(client.WaitForClose());  // changed, but not logged in
  }
  DsiClient client;
  std::string why;
  EXPECT_TRUE(ConnectAndLogin(client, server_->port(), "fay", "new", &why)) << why;
}

TEST_F(LoginWire, PasswordChangeBeforeLoginNeedsAnExpiredAccount) {
  AddUser("gus", "pw", kEnabled | kMayChange);
  DsiClient client;
  const auto login = FirstCommand(client, CleartextLoginRequest("gus", "wrong"));
  ASSERT_TRUE(login);
  EXPECT_EQ(login->errorCode, -5023);
  EXPECT_TRUE(client.WaitForClose());
  DsiClient direct;
  const auto change = FirstCommand(direct, CleartextChange("pw", "other"));
  ASSERT_TRUE(change);
  EXPECT_EQ(change->errorCode, 0);  // admitted as a no-op
  DsiClient still;
  EXPECT_TRUE(ConnectAndLogin(still, server_->port(), "gus", "pw"));
}

}  // namespace

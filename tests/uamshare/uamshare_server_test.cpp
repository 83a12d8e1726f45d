// The administration client against a real corvane: shares, accounts, guest
// access and the messages make the round trip and show up where clients
// see them; the uamshare and corvane-admin programs do their jobs and say so.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/client/afp_codes.h"
#include "tests/client/afp_login.h"
#include "tests/client/dsi_client.h"
#include "tests/client/server_info.h"
#include "tests/client/server_process.h"
#include "tests/client/wire.h"
#include "tests/uamshare/uamshare_test_support.h"

namespace uamtest {
namespace {

namespace fs = std::filesystem;

constexpr const char* kGuestMethod = "No User Authent";
constexpr const char* kNotRunningText =
    "server not running (is corvane started with the same CORVANE_SETTINGS_DIR?)";

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// The folder paths of the running shares, in list order.
std::vector<std::string> SharePaths() {
  std::vector<std::string> paths;
  for (int16_t index = 0;; ++index) {
    afp_string path;
    const int32_t result = AFPGetVolumePathFromIndex(index, &path);
    if (result != 0) {
      EXPECT_EQ(result, AFP_RESULT_FAIL) << "index " << index;
      return paths;
    }
    paths.push_back(path.text);
  }
}

std::optional<int16_t> ShareIndex(const std::string& path) {
  const std::vector<std::string> paths = SharePaths();
  const auto found = std::find(paths.begin(), paths.end(), path);
  if (found == paths.end()) return std::nullopt;
  return static_cast<int16_t>(found - paths.begin());
}

std::vector<std::string> AccountNames() {
  std::vector<std::string> names;
  for (int16_t index = 0;; ++index) {
    afp_string name;
    if (AFPGetIndUser(index, &name, nullptr, nullptr) != 0) return names;
    names.push_back(name.text);
  }
}

uint32_t AccountFlags(const char* name) {
  uint32_t flags = 0;
  EXPECT_EQ(AFPGetUserFlags(name, nullptr, &flags), 0) << name;
  return flags;
}

// A corvane with its own settings folder, and this process pointed at it.
class UamshareServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.WaitUntilListening()) << server_.StandardError();
  }

  std::string MakeFolder(const std::string& relative) {
    const fs::path folder = folders_.path() / relative;
    fs::create_directories(folder);
    return fs::canonical(folder).string();
  }

  // The login methods the server lists in its server information.
  std::vector<std::string> LoginMethods() {
    afptest::DsiClient client;
    if (!client.Connect(server_.port())) return {"<cannot connect>"};
    const auto reply = client.GetStatus();
    if (!reply) return {"<no GetStatus reply>"};
    const auto info = afptest::ParseServerInfo(reply->payload);
    return info ? info->uams : std::vector<std::string>{"<bad server information>"};
  }

  // FPGetSrvrMsg of a logged-in client: type 0 the logon message, 1 the
  // server message.
  static std::string ServerMessage(afptest::DsiClient& client, uint16_t type) {
    const auto reply = client.Command(
        afptest::RequestBuilder().Add8(afptest::kFPGetSrvrMsg).Add8(0).Add16(type).Add16(0).Bytes());
    if (!reply) return "<no reply>";
    if (reply->errorCode != 0) return "<error " + std::to_string(reply->errorCode) + ">";
    afptest::ReplyReader reader(reply->payload);
    reader.Skip(4);
    const std::string text = reader.GetPascal();
    return reader.failed() ? "<short reply>" : text;
  }

  std::vector<std::pair<std::string, std::string>> ProgramEnv() const {
    return {{"CORVANE_SETTINGS_DIR", server_.settingsDir().string()},
            {"HOME", folders_.path().string()}};
  }

  ProgramRun Admin(const std::vector<std::string>& args) {
    return RunProgram(CORVANE_ADMIN_PATH, args, ProgramEnv());
  }

  afptest::ServerProcess server_;
  ScopedSettingsDir settings_{server_.settingsDir()};
  afptest::TempDir folders_;
};

TEST_F(UamshareServer, SharesAreAddedListedFlaggedAndRemoved) {
  const std::string alpha = MakeFolder("Alpha");
  const std::string beta = MakeFolder("Beta");
  const std::string otherAlpha = MakeFolder("other/Alpha");
  const afp_string alphaText = Text(alpha);

  afp_path shared = {"unset"};
  ASSERT_EQ(AFPAddShare(Ref(alpha), &shared), 0);
  EXPECT_EQ(shared.path, alpha);
  const std::optional<int16_t> index = ShareIndex(alpha);
  ASSERT_TRUE(index) << "not listed: " << alpha;
  afp_string name;
  EXPECT_EQ(AFPGetVolumeNameFromIndex(*index, &name), 0);
  EXPECT_STREQ(name.text, "Alpha");
  uint32_t flags = 0xFF;
  EXPECT_EQ(AFPGetVolumeFlagsFromIndex(*index, &flags), 0);
  EXPECT_EQ(flags, 0u);

  EXPECT_EQ(AFPSaveVolumeFlags(*index, AFP_SHARE_READ_ONLY), 0);
  EXPECT_EQ(AFPGetVolumeFlagsFromPath(&alphaText, &flags), 0);
  EXPECT_EQ(flags, AFP_SHARE_READ_ONLY);
  EXPECT_EQ(AFPSaveVolumeFlagsForPath(&alphaText, 0), 0);
  EXPECT_EQ(AFPGetVolumeFlagsFromPath(&alphaText, &flags), 0);
  EXPECT_EQ(flags, 0u);

  // Another folder named Alpha: recorded for the next start, not started.
  EXPECT_EQ(AFPAddShare(Ref(otherAlpha), nullptr), AFP_RESULT_START_FAILED);
  EXPECT_FALSE(ShareIndex(otherAlpha));
  const afp_string otherText = Text(otherAlpha);
  EXPECT_EQ(AFPGetVolumeFlagsFromPath(&otherText, &flags), 0);

  const auto count = static_cast<int16_t>(SharePaths().size());
  afp_string beyond;
  EXPECT_EQ(AFPGetVolumePathFromIndex(count, &beyond), AFP_RESULT_FAIL);
  EXPECT_EQ(AFPGetVolumeNameFromIndex(count, &beyond), AFP_RESULT_FAIL);

  EXPECT_EQ(AFPRemoveShare(&alphaText), 0);
  EXPECT_FALSE(ShareIndex(alpha));
  EXPECT_EQ(AFPRemoveShare(&alphaText), AFP_RESULT_NOT_SHARED);
  EXPECT_EQ(AFPGetVolumeFlagsFromPath(&alphaText, &flags), AFP_RESULT_FAIL);  // record gone

  ASSERT_EQ(AFPAddShare(Ref(beta), nullptr), 0);
  const std::optional<int16_t> betaIndex = ShareIndex(beta);
  ASSERT_TRUE(betaIndex);
  EXPECT_EQ(AFPRemoveShare(*betaIndex), 0);
  EXPECT_FALSE(ShareIndex(beta));
}

TEST_F(UamshareServer, AccountsAreAddedReadUpdatedAndDeleted) {
  constexpr uint32_t kAliceFlags =
      AFP_ACCOUNT_ENABLED | AFP_ACCOUNT_ADMINISTRATOR | AFP_ACCOUNT_MAY_CHANGE_PASSWORD;
  ASSERT_EQ(AFPAddUserWithFlags("alice", "s3cret", kAliceFlags), 0);
  EXPECT_EQ(AFPAddUserWithFlags("alice", "other", 0), AFP_RESULT_FAIL);

  afp_string password;
  uint32_t flags = 0;
  EXPECT_EQ(AFPGetUserFlags("alice", &password, &flags), 0);
  EXPECT_STREQ(password.text, "s3cret");  // unchanged by the refused add
  EXPECT_EQ(flags, kAliceFlags);
  bool enabled = false;
  EXPECT_EQ(AFPGetUserInfo("alice", &password, &enabled), 0);
  EXPECT_TRUE(enabled);
  const std::vector<std::string> names = AccountNames();
  EXPECT_TRUE(Contains(names, "alice") && Contains(names, "Guest")) << ::testing::PrintToString(names);

  {
    afptest::DsiClient client;
    std::string why;
    EXPECT_TRUE(afptest::ConnectAndLogin(client, server_.port(), "alice", "s3cret", &why)) << why;
  }

  // The bool forms carry the enabled flag.
  EXPECT_EQ(AFPUpdateUserProperties("alice", "changed", false), 0);
  EXPECT_EQ(AFPGetUserInfo("alice", &password, &enabled), 0);
  EXPECT_STREQ(password.text, "changed");
  EXPECT_FALSE(enabled);
  EXPECT_EQ(AccountFlags("alice") & AFP_ACCOUNT_ENABLED, 0u);
  EXPECT_EQ(AFPAddUser("bob", "pw", true), 0);
  EXPECT_EQ(AccountFlags("bob") & AFP_ACCOUNT_ENABLED, AFP_ACCOUNT_ENABLED);

  EXPECT_EQ(AFPUpdateUserWithFlags("alice", "pw2", AFP_ACCOUNT_ADMINISTRATOR), 0);
  EXPECT_EQ(AFPGetUserFlags("alice", &password, &flags), 0);
  EXPECT_STREQ(password.text, "pw2");
  EXPECT_EQ(flags, AFP_ACCOUNT_ADMINISTRATOR);

  EXPECT_EQ(AFPUpdateUserProperties("nobody", "x", true), AFP_RESULT_FAIL);
  EXPECT_EQ(AFPGetUserInfo("nobody", nullptr, nullptr), AFP_RESULT_FAIL);

  EXPECT_EQ(AFPDeleteUser("alice"), 0);
  EXPECT_EQ(AFPGetUserInfo("alice", nullptr, nullptr), AFP_RESULT_FAIL);
  EXPECT_EQ(AFPDeleteUser("alice"), 0);  // no account: still success
  EXPECT_FALSE(Contains(AccountNames(), "alice"));
}

TEST_F(UamshareServer, GuestAccessSwitchesTheGuestLoginMethod) {
  EXPECT_FALSE(AFPGetGuestsAllowed());
  EXPECT_FALSE(Contains(LoginMethods(), kGuestMethod));

  ASSERT_EQ(AFPSetGuestsAllowed(true), 0);
  EXPECT_TRUE(AFPGetGuestsAllowed());
  EXPECT_EQ(AccountFlags("Guest") & AFP_ACCOUNT_ENABLED, AFP_ACCOUNT_ENABLED);
  EXPECT_TRUE(Contains(LoginMethods(), kGuestMethod)) << ::testing::PrintToString(LoginMethods());
  {
    afptest::DsiClient guest;
    std::string why;
    EXPECT_TRUE(afptest::ConnectAsGuest(guest, server_.port(), &why)) << why;
  }

  ASSERT_EQ(AFPSetGuestsAllowed(false), 0);
  EXPECT_FALSE(AFPGetGuestsAllowed());
  EXPECT_EQ(AccountFlags("Guest") & AFP_ACCOUNT_ENABLED, 0u);
  EXPECT_FALSE(Contains(LoginMethods(), kGuestMethod));
}

TEST_F(UamshareServer, LogonAndServerMessagesReachClients) {
  const std::string welcome = "Welcome, archivists";
  ASSERT_EQ(AFPSaveLogonMessage(welcome.c_str(), static_cast<int32_t>(welcome.size())), 0);
  char saved[257] = {};
  EXPECT_EQ(AFPGetLogonMessage(saved, 256), 0);
  EXPECT_EQ(saved, welcome);

  // Refused by the server, kept in the file; clients still get the old text.
  const std::string tooLong(200, 'x');
  EXPECT_EQ(AFPSaveLogonMessage(tooLong.c_str(), static_cast<int32_t>(tooLong.size())),
            AFP_RESULT_FAIL);
  EXPECT_EQ(ReadFile(server_.settingsDir() / "afpLogonMessage"), tooLong);

  EXPECT_EQ(AFPSendServerMessage("Going down at five"), 0);
  EXPECT_EQ(AFPSendServerMessage(tooLong.c_str()), AFP_RESULT_FAIL);

  ASSERT_EQ(AFPSetGuestsAllowed(true), 0);
  afptest::DsiClient client;
  std::string why;
  ASSERT_TRUE(afptest::ConnectAsGuest(client, server_.port(), &why)) << why;
  EXPECT_EQ(ServerMessage(client, 0), welcome);
  EXPECT_EQ(ServerMessage(client, 1), "Going down at five");

  afp_server_stats stats{};
  EXPECT_EQ(AFPGetServerStatistics(&stats), 0);
  EXPECT_GE(stats.open_sessions, 1);
  EXPECT_GT(stats.bytes_received, 0);
}

TEST_F(UamshareServer, UamshareSharesTheFolderOnceThenReportsFailure) {
  const std::string folder = MakeFolder("BeUAM_Volume");
  const ProgramRun first = RunProgram(UAMSHARE_PROGRAM_PATH, {}, ProgramEnv());
  EXPECT_EQ(first.exitStatus, 0);
  EXPECT_EQ(first.out, folder + " shared successfully!\n") << first.err;
  EXPECT_TRUE(ShareIndex(folder));

  const ProgramRun second = RunProgram(UAMSHARE_PROGRAM_PATH, {}, ProgramEnv());
  EXPECT_EQ(second.exitStatus, 0);
  EXPECT_EQ(second.out, "Sharing " + folder + " failed!!\n") << second.err;
  EXPECT_EQ(SharePaths(), std::vector<std::string>{folder});
}

TEST_F(UamshareServer, CorvaneAdminDrivesTheServer) {
  const std::string docs = MakeFolder("Docs");
  struct Step {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> outHas;  // pieces of standard output
    std::string errHas = {};          // a piece of standard error
  };
  const std::vector<Step> steps = {
      {{"share", "add", docs, "--read-only"}, 0, {"shared " + docs}},
      {{"share", "list"}, 0, {"Docs", docs, "read-only"}},
      {{"share", "flags", docs, "--writable"}, 0, {"0x00000000", docs}},
      {{"share", "add", docs}, 1, {}, "a share with that volume name already exists"},
      // The folder named as "Docs/." is the share recorded as "Docs".
      {{"share", "flags", docs + "/."}, 0, {"0x00000000", docs}},
      {{"share", "remove", docs + "/."}, 0, {docs}},
      {{"share", "add", docs}, 0, {"shared " + docs}},
      {{"share", "remove", docs}, 0, {docs}},
      {{"share", "remove", docs}, 1, {}, "that folder is not shared"},
      {{"user", "add", "carol", "--password", "pw", "--enabled", "--admin"}, 0, {"carol"}},
      {{"user", "add", "carol"}, 1, {}, "already exists"},
      {{"user", "show", "carol"}, 0, {"enabled,admin"}},
      {{"user", "set", "carol", "--no-admin", "--may-change-password"}, 0,
       {"enabled,may-change-password"}},
      {{"user", "list"}, 0, {"carol", "Guest"}},
      {{"user", "remove", "carol"}, 0, {"removed carol"}},
      {{"user", "remove", "carol"}, 1, {}, "no such account"},
      {{"user", "show", "nobody"}, 1, {}, "no such account"},
      {{"guest", "on"}, 0, {"guest access: on"}},
      {{"guest", "status"}, 0, {"guest access: on"}},
      {{"guest", "off"}, 0, {"guest access: off"}},
      {{"guest", "status"}, 0, {"guest access: off"}},
      {{"message", "logon", "Hello there"}, 0, {}},
      {{"message", "logon"}, 0, {"Hello there"}},
      {{"message", "server", "Back soon"}, 0, {}},
      {{"stats"}, 0, {"bytes sent:", "open sessions:"}},
      {{"share", "frobnicate"}, 2, {}, "unknown command"},
      {{"user", "add", "dave", "--admin", "--no-admin"}, 2, {}, "contradict"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(::testing::PrintToString(step.args));
    const ProgramRun run = Admin(step.args);
    EXPECT_EQ(run.exitStatus, step.status) << run.out << run.err;
    for (const std::string& piece : step.outHas) {
      EXPECT_NE(run.out.find(piece), std::string::npos) << "missing '" << piece << "' in\n" << run.out;
    }
    if (!step.errHas.empty()) {
      EXPECT_NE(run.err.find(step.errHas), std::string::npos) << run.err;
    }
  }
  EXPECT_EQ(ReadFile(server_.settingsDir() / "afpLogonMessage"), "Hello there");
}

// The programs without a server: uamshare still exits 0, corvane-admin says
// what is wrong.
class UamshareServerNotRunning : public ::testing::Test {
 protected:
  std::vector<std::pair<std::string, std::string>> Env() const {
    return {{"CORVANE_SETTINGS_DIR", (home_.path() / "settings").string()},
            {"HOME", home_.path().string()}};
  }
  afptest::TempDir home_;
};

TEST_F(UamshareServerNotRunning, ProgramsReportIt) {
  const ProgramRun noFolder = RunProgram(UAMSHARE_PROGRAM_PATH, {}, Env());
  EXPECT_EQ(noFolder.exitStatus, 0);
  EXPECT_EQ(noFolder.out, "Error setting directory ref!!\n");

  fs::create_directory(home_.path() / "BeUAM_Volume");
  const ProgramRun noServer = RunProgram(UAMSHARE_PROGRAM_PATH, {}, Env());
  EXPECT_EQ(noServer.exitStatus, 0);
  EXPECT_EQ(noServer.out, "Sharing " + (home_.path() / "BeUAM_Volume").string() + " failed!!\n");

  const ProgramRun help = RunProgram(UAMSHARE_PROGRAM_PATH, {"--help"}, Env());
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("Usage: uamshare"), std::string::npos);

  const ProgramRun list = RunProgram(CORVANE_ADMIN_PATH, {"share", "list"}, Env());
  EXPECT_EQ(list.exitStatus, 1);
  EXPECT_NE(list.err.find(kNotRunningText), std::string::npos) << list.err;
  // A command whose library call folds failures into 'fail' says the same.
  const ProgramRun flags = RunProgram(CORVANE_ADMIN_PATH, {"share", "flags", "/srv/x"}, Env());
  EXPECT_EQ(flags.exitStatus, 1);
  EXPECT_NE(flags.err.find(kNotRunningText), std::string::npos) << flags.err;

  const ProgramRun adminHelp = RunProgram(CORVANE_ADMIN_PATH, {"--help"}, Env());
  EXPECT_EQ(adminHelp.exitStatus, 0);
  for (const char* piece : {"Usage: corvane-admin", "share add", "user set", "guest on", "stats"}) {
    EXPECT_NE(adminHelp.out.find(piece), std::string::npos) << piece;
  }
  const ProgramRun commandHelp = RunProgram(CORVANE_ADMIN_PATH, {"user", "add", "--help"}, Env());
  EXPECT_EQ(commandHelp.exitStatus, 0);
  EXPECT_NE(commandHelp.out.find("--may-change-password"), std::string::npos);
  EXPECT_EQ(commandHelp.out.find("share add"), std::string::npos);

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"bogus"}, {"share"}, {"share", "add"}, {"user", "add", "x", "--flags", "lots"},
           {"stats", "extra"}}) {
    const ProgramRun usage = RunProgram(CORVANE_ADMIN_PATH, args, Env());
    EXPECT_EQ(usage.exitStatus, 2) << ::testing::PrintToString(args) << usage.err;
    EXPECT_TRUE(usage.out.empty()) << usage.out;
  }
}

}  // namespace
}  // namespace uamtest

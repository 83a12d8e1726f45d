// The administration client functions of libuamshare.so against a fake
// server in this process: what each function sends (codes, field names and
// types), how it turns replies into results and outputs, what it refuses
// before sending anything, and what it does when no server runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_port.h"
#include "platform/signature_socket.h"
#include "tests/uamshare/uamshare_test_support.h"

namespace uamtest {
namespace {

namespace fs = std::filesystem;

constexpr const char* kServerSignature = "application/x-vnd.corvane";
constexpr uint32_t kSucc = FourCC("succ");
constexpr uint32_t kFail = FourCC("fail");

BMessage Reply(uint32_t code) { return BMessage(code); }
BMessage Reply(int32_t code) { return BMessage(static_cast<uint32_t>(code)); }

// 'succ' with fields added by `fill`.
BMessage Succ(const std::function<void(BMessage&)>& fill) {
  BMessage reply(kSucc);
  fill(reply);
  return reply;
}

// What a working server answers, with values a test can recognise.
BMessage CannedReply(const BMessage& request) {
  BMessage reply(kSucc);
  int16_t index = 0;
  request.FindInt16("afp-int16", &index);
  const std::string n = std::to_string(index);
  switch (request.what) {
    case FourCC("gvnm"): reply.AddString("afp-string", "/srv/share" + n); break;
    case FourCC("gvol"): reply.AddString("afp-string", "Share" + n); break;
    case FourCC("gflg"): reply.AddInt32("afp-int32", 0x02); break;
    case FourCC("geti"): {
      std::string name;
      request.FindString("user-string", &name);
      reply.AddString("user-string", name);
      reply.AddString("pswd-string", "secret");
      reply.AddInt32("afp-int32", 0x29);
      reply.AddBool("afp-bool", true);
      break;
    }
    case FourCC("getu"):
      reply.AddString("user-string", "user" + n);
      reply.AddString("pswd-string", "pw" + n);
      reply.AddInt32("afp-int32", 0x28);
      reply.AddBool("afp-bool", false);
      break;
    case FourCC("allg"): reply.AddBool("afp-bool", true); break;
    case FourCC("gsnt"): reply.AddInt64("afp-int64", int64_t{1} << 40); break;
    case FourCC("grcv"): reply.AddInt64("afp-int64", 12345); break;
    case FourCC("gbps"): reply.AddInt32("afp-int32", -1); break;
    case FourCC("gdsi"): reply.AddInt32("afp-int32", 77); break;
    case FourCC("gusr"): reply.AddInt32("afp-int32", 3); break;
    default: break;
  }
  return reply;
}

// Takes the server's signature in the test's settings folder, records every
// request, and answers it from the script, else as a working server would.
class FakeServer {
 public:
  // A reply per request code; nullopt drops the request unanswered.
  using Script = std::map<uint32_t, std::optional<BMessage>>;

  FakeServer() = default;
  ~FakeServer() {
    server_.reset();
    port_->Close();
    if (thread_.joinable()) thread_.join();
  }
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  bool Start() {
    if (SignatureServer::Start(kServerSignature, port_, &server_) != B_OK) return false;
    thread_ = std::thread([this] { Serve(); });
    return true;
  }

  void SetScript(Script script) {
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
  }

  // The requests received since the last call, described.
  std::vector<std::string> TakeRequests() {
    std::lock_guard lock(mutex_);
    return std::exchange(requests_, {});
  }

 private:
  void Serve() {
    while (std::optional<BMessage> request = port_->Pop()) {
      std::optional<BMessage> reply;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(Describe(*request));
        const auto scripted = script_.find(request->what);
        reply = scripted != script_.end() ? scripted->second : CannedReply(*request);
      }
      // A request left unanswered tells its sender so when it goes away.
      if (reply) request->SendReply(*reply);
    }
  }

  std::shared_ptr<MessagePort> port_ = std::make_shared<MessagePort>(64);
  std::unique_ptr<SignatureServer> server_;
  std::thread thread_;
  std::mutex mutex_;
  Script script_;
  std::vector<std::string> requests_;
};

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

std::string Bool(bool value) { return value ? "true" : "false"; }

// One call: what it returns (with its outputs, in words), the requests it
// sends, and the replies scripted for it.
struct Case {
  const char* name;
  std::function<std::string()> call;
  std::string expected;
  std::vector<std::string> requests;
  FakeServer::Script script = {};
};

class UamshareFake : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()); }

  void Run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      server_.SetScript(c.script);
      server_.TakeRequests();
      EXPECT_EQ(c.call(), c.expected);
      EXPECT_EQ(server_.TakeRequests(), c.requests);
    }
  }

  fs::path LogonFile() const { return temp_.path() / "afpLogonMessage"; }

  afptest::TempDir temp_;
  ScopedSettingsDir settings_{temp_.path()};
  FakeServer server_;
};

TEST_F(UamshareFake, EachFunctionSendsItsRequestAndReadsTheReply) {
  Run({
      {"share path by index",
       [] {
         afp_string path = Text("unset");
         const int32_t r = AFPGetVolumePathFromIndex(3, &path);
         return ResultName(r) + " " + path.text;
       },
       "0 /srv/share3", {"gvnm afp-int16:i16=3"}},
      {"share path by index, path not wanted",
       [] { return ResultName(AFPGetVolumePathFromIndex(0, nullptr)); }, "0",
       {"gvnm afp-int16:i16=0"}},
      {"volume name by index",
       [] {
         afp_string name = Text("unset");
         const int32_t r = AFPGetVolumeNameFromIndex(1, &name);
         return ResultName(r) + " " + name.text;
       },
       "0 Share1", {"gvol afp-int16:i16=1"}},
      {"share flags by path",
       [] {
         const afp_string path = Text("/srv/x");
         uint32_t flags = 0;
         const int32_t r = AFPGetVolumeFlagsFromPath(&path, &flags);
         return ResultName(r) + " " + Hex(flags);
       },
       "0 0x2", {"gflg afp-string:str=\"/srv/x\""}},
      {"share flags by index: path, then flags",
       [] {
         uint32_t flags = 0;
         const int32_t r = AFPGetVolumeFlagsFromIndex(2, &flags);
         return ResultName(r) + " " + Hex(flags);
       },
       "0 0x2", {"gvnm afp-int16:i16=2", "gflg afp-string:str=\"/srv/share2\""}},
      {"save share flags by index", [] { return ResultName(AFPSaveVolumeFlags(4, 0x02)); }, "0",
       {"gvnm afp-int16:i16=4", "sflg afp-string:str=\"/srv/share4\" afp-int32:i32=2"}},
      {"save share flags by path, all 32 bits",
       [] {
         const afp_string path = Text("/srv/y");
         return ResultName(AFPSaveVolumeFlagsForPath(&path, 0x80000002u));
       },
       "0", {"sflg afp-string:str=\"/srv/y\" afp-int32:i32=-2147483646"}},
      {"remove share by path",
       [] {
         const afp_string path = Text("/srv/z");
         return ResultName(AFPRemoveShare(&path));
       },
       "0", {"rems afp-string:str=\"/srv/z\""}},
      {"remove share by index (C++ overload)",
       [] { return ResultName(AFPRemoveShare(static_cast<int16_t>(5))); }, "0",
       {"gvnm afp-int16:i16=5", "rems afp-string:str=\"/srv/share5\""}},
      {"server message",
       [] { return ResultName(AFPSendServerMessage("Going down at five")); }, "0",
       {"send afp-string:str=\"Going down at five\""}},
      {"guests allowed?", [] { return Bool(AFPGetGuestsAllowed()); }, "true", {"allg"}},
      {"allow guests", [] { return ResultName(AFPSetGuestsAllowed(false)); }, "0",
       {"sall afp-bool:bool=false"}},
      {"add user, enabled as a bool", [] { return ResultName(AFPAddUser("bob", "pw", true)); },
       "0", {"addu user-string:str=\"bob\" pswd-string:str=\"pw\" afp-bool:bool=true"}},
      {"update user, enabled as a bool",
       [] { return ResultName(AFPUpdateUserProperties("bob", "new", false)); }, "0",
       {"updu user-string:str=\"bob\" pswd-string:str=\"new\" afp-bool:bool=false"}},
      {"add user with flags",
       [] { return ResultName(AFPAddUserWithFlags("ann", "pw", 0x29)); }, "0",
       {"addu user-string:str=\"ann\" pswd-string:str=\"pw\" afp-int32:i32=41"}},
      {"update user with flags",
       [] { return ResultName(AFPUpdateUserWithFlags("ann", "pw2", 0x08)); }, "0",
       {"updu user-string:str=\"ann\" pswd-string:str=\"pw2\" afp-int32:i32=8"}},
      {"delete user", [] { return ResultName(AFPDeleteUser("bob")); }, "0",
       {"delu user-string:str=\"bob\""}},
      {"user by name",
       [] {
         afp_string password = Text("unset");
         bool enabled = false;
         const int32_t r = AFPGetUserInfo("bob", &password, &enabled);
         return ResultName(r) + " " + password.text + " " + Bool(enabled);
       },
       "0 secret true", {"geti user-string:str=\"bob\""}},
      {"user by index",
       [] {
         afp_string name = Text("unset");
         afp_string password = Text("unset");
         bool enabled = true;
         const int32_t r = AFPGetIndUser(2, &name, &password, &enabled);
         return ResultName(r) + " " + name.text + " " + password.text + " " + Bool(enabled);
       },
       "0 user2 pw2 false", {"getu afp-int16:i16=2"}},
      {"user by index, nothing wanted",
       [] { return ResultName(AFPGetIndUser(0, nullptr, nullptr, nullptr)); }, "0",
       {"getu afp-int16:i16=0"}},
      {"user flags by name",
       [] {
         afp_string password = Text("unset");
         uint32_t flags = 0;
         const int32_t r = AFPGetUserFlags("bob", &password, &flags);
         return ResultName(r) + " " + password.text + " " + Hex(flags);
       },
       "0 secret 0x29", {"geti user-string:str=\"bob\""}},
      {"user flags by index",
       [] {
         afp_string name = Text("unset");
         uint32_t flags = 0;
         const int32_t r = AFPGetIndUserFlags(7, &name, nullptr, &flags);
         return ResultName(r) + " " + name.text + " " + Hex(flags);
       },
       "0 user7 0x28", {"getu afp-int16:i16=7"}},
      {"statistics",
       [] {
         afp_server_stats stats{};
         const int32_t r = AFPGetServerStatistics(&stats);
         return ResultName(r) + " sent=" + std::to_string(stats.bytes_sent) +
                " received=" + std::to_string(stats.bytes_received) +
                " rate=" + std::to_string(stats.bytes_per_second) +
                " dsi=" + std::to_string(stats.dsi_packets) +
                " sessions=" + std::to_string(stats.open_sessions);
       },
       "0 sent=1099511627776 received=12345 rate=4294967295 dsi=77 sessions=3",
       {"gsnt", "grcv", "gbps", "gdsi", "gusr"}},
  });
}

TEST_F(UamshareFake, RepliesOtherThanSuccessBecomeResults) {
  const std::string longText(sizeof(afp_string::text), 'x');
  const auto pathAt0 = [] {
    afp_string path = Text("unset");
    const int32_t r = AFPGetVolumePathFromIndex(0, &path);
    return ResultName(r) + " " + path.text;
  };
  const auto flagsOf = [] {
    const afp_string path = Text("/srv/a");
    uint32_t flags = 0x1234;
    const int32_t r = AFPGetVolumeFlagsFromPath(&path, &flags);
    return ResultName(r) + " " + Hex(flags);
  };
  const auto indUser = [] {
    afp_string name = Text("unset");
    afp_string password = Text("unset");
    bool enabled = false;
    const int32_t r = AFPGetIndUser(0, &name, &password, &enabled);
    return ResultName(r) + " " + name.text + " " + password.text + " " + Bool(enabled);
  };
  const auto userInfo = [] {
    afp_string password = Text("unset");
    bool enabled = true;
    const int32_t r = AFPGetUserInfo("bob", &password, &enabled);
    return ResultName(r) + " " + password.text + " " + Bool(enabled);
  };
  const auto stats = [] {
    afp_server_stats stats{};
    stats.open_sessions = 99;
    const int32_t r = AFPGetServerStatistics(&stats);
    return ResultName(r) + " " + std::to_string(stats.open_sessions);
  };
  const std::string gvnm0 = "gvnm afp-int16:i16=0";

  Run({
      {"path: the server's code", pathAt0, "-4004 unset", {gvnm0},
       {{FourCC("gvnm"), Reply(-4004)}}},
      {"path: 'succ' without the path", pathAt0, "fail unset", {gvnm0},
       {{FourCC("gvnm"), Reply(kSucc)}}},
      {"path: a path too long to hold", pathAt0, "fail unset", {gvnm0},
       {{FourCC("gvnm"), Succ([&](BMessage& m) { m.AddString("afp-string", longText); })}}},
      {"path: no reply", pathAt0, "_NRP unset", {gvnm0}, {{FourCC("gvnm"), std::nullopt}}},
      {"flags by path: any failure is 'fail'", flagsOf, "fail 0x1234",
       {"gflg afp-string:str=\"/srv/a\""}, {{FourCC("gflg"), Reply(-4004)}}},
      {"flags by path: no reply is 'fail'", flagsOf, "fail 0x1234",
       {"gflg afp-string:str=\"/srv/a\""}, {{FourCC("gflg"), std::nullopt}}},
      {"flags by path: flags of another type", flagsOf, "fail 0x1234",
       {"gflg afp-string:str=\"/srv/a\""},
       {{FourCC("gflg"), Succ([](BMessage& m) { m.AddInt16("afp-int32", 2); })}}},
      {"flags by index: the path lookup's code, no flags asked",
       [] {
         uint32_t flags = 0;
         return ResultName(AFPGetVolumeFlagsFromIndex(0, &flags));
       },
       "_NUN", {gvnm0}, {{FourCC("gvnm"), Reply(B_MESSAGE_NOT_UNDERSTOOD)}}},
      {"save flags: the path lookup's code", [] { return ResultName(AFPSaveVolumeFlags(0, 2)); },
       "fail", {gvnm0}, {{FourCC("gvnm"), Reply(kFail)}}},
      {"save flags: a refused 'sflg' is 'fail'",
       [] { return ResultName(AFPSaveVolumeFlags(0, 2)); }, "fail",
       {gvnm0, "sflg afp-string:str=\"/srv/share0\" afp-int32:i32=2"},
       {{FourCC("sflg"), Reply(-4004)}}},
      {"remove by index: nothing removed when the lookup fails",
       [] { return ResultName(AFPRemoveShareAtIndex(0)); }, "fail", {gvnm0},
       {{FourCC("gvnm"), Reply(kFail)}}},
      {"remove by index: the removal's code",
       [] { return ResultName(AFPRemoveShareAtIndex(0)); }, "-4004",
       {gvnm0, "rems afp-string:str=\"/srv/share0\""}, {{FourCC("rems"), Reply(-4004)}}},
      {"guests allowed: not understood is false", [] { return Bool(AFPGetGuestsAllowed()); },
       "false", {"allg"}, {{FourCC("allg"), Reply(B_MESSAGE_NOT_UNDERSTOOD)}}},
      {"guests allowed: 'succ' without the bool is false",
       [] { return Bool(AFPGetGuestsAllowed()); }, "false", {"allg"},
       {{FourCC("allg"), Reply(kSucc)}}},
      {"allow guests: not understood",
       [] { return ResultName(AFPSetGuestsAllowed(true)); }, "_NUN",
       {"sall afp-bool:bool=true"}, {{FourCC("sall"), Reply(B_MESSAGE_NOT_UNDERSTOOD)}}},
      {"add user: no reply", [] { return ResultName(AFPAddUser("bob", "pw", true)); }, "_NRP",
       {"addu user-string:str=\"bob\" pswd-string:str=\"pw\" afp-bool:bool=true"},
       {{FourCC("addu"), std::nullopt}}},
      {"user by index: enabled from the flags without afp-bool", indUser, "0 u p true",
       {"getu afp-int16:i16=0"},
       {{FourCC("getu"), Succ([](BMessage& m) {
           m.AddString("user-string", "u");
           m.AddString("pswd-string", "p");
           m.AddInt32("afp-int32", 0x21);
         })}}},
      {"user by index: afp-bool wins over the flags", indUser, "0 u p false",
       {"getu afp-int16:i16=0"},
       {{FourCC("getu"), Succ([](BMessage& m) {
           m.AddString("user-string", "u");
           m.AddString("pswd-string", "p");
           m.AddInt32("afp-int32", 0x01);
           m.AddBool("afp-bool", false);
         })}}},
      {"user by index: missing fields leave the outputs alone", indUser,
       "0 unset unset false", {"getu afp-int16:i16=0"}, {{FourCC("getu"), Reply(kSucc)}}},
      {"user by name: no such account", userInfo, "fail unset true",
       {"geti user-string:str=\"bob\""}, {{FourCC("geti"), Reply(kFail)}}},
      {"user flags: a reply without the flags is 'fail'",
       [] {
         uint32_t flags = 0;
         return ResultName(AFPGetUserFlags("bob", nullptr, &flags));
       },
       "fail", {"geti user-string:str=\"bob\""},
       {{FourCC("geti"), Succ([](BMessage& m) { m.AddBool("afp-bool", true); })}}},
      {"update user: refused", [] { return ResultName(AFPUpdateUserWithFlags("x", "y", 1)); },
       "fail", {"updu user-string:str=\"x\" pswd-string:str=\"y\" afp-int32:i32=1"},
       {{FourCC("updu"), Reply(kFail)}}},
      {"statistics: a failed value stops the rest", stats, "_NUN 99", {"gsnt", "grcv", "gbps"},
       {{FourCC("gbps"), Reply(B_MESSAGE_NOT_UNDERSTOOD)}}},
      {"statistics: a value missing from 'succ'", stats, "fail 99",
       {"gsnt", "grcv", "gbps", "gdsi"}, {{FourCC("gdsi"), Reply(kSucc)}}},
  });
}

// The mount point used for the "root folder of a file system" case, if any.
std::optional<std::string> SomeMountPoint() {
  struct stat root, candidate;
  if (stat("/", &root) != 0) return std::nullopt;
  for (const char* path : {"/proc", "/sys", "/dev"}) {
    if (lstat(path, &candidate) == 0 && S_ISDIR(candidate.st_mode) && candidate.st_dev != root.st_dev)
      return path;
  }
  return std::nullopt;
}

TEST_F(UamshareFake, RefusalsSendNothing) {
  const fs::path folder = temp_.path() / "Folder";
  fs::create_directory(folder);
  WriteFile(temp_.path() / "file", "data");
  fs::create_directory_symlink(folder, temp_.path() / "link");
  afp_entry_ref unterminated;
  std::memset(unterminated.path, 'a', sizeof unterminated.path);
  const std::optional<std::string> mountPoint = SomeMountPoint();

  struct Refusal {
    const char* name;
    std::function<int32_t()> call;
    int32_t expected;
  };
  const auto addShare = [](const std::string& path) {
    return [path] {
      afp_path out = {"unset"};
      const int32_t r = AFPAddShare(Ref(path), &out);
      EXPECT_STREQ(out.path, "unset");
      return r;
    };
  };
  std::vector<Refusal> refusals = {
      {"path by negative index", [] { return AFPGetVolumePathFromIndex(-1, nullptr); }, -4004},
      {"name by negative index",
       [] {
         afp_string name;
         return AFPGetVolumeNameFromIndex(-1, &name);
       },
       -4004},
      {"flags by negative index",
       [] {
         uint32_t flags;
         return AFPGetVolumeFlagsFromIndex(-1, &flags);
       },
       -4004},
      {"save flags by negative index", [] { return AFPSaveVolumeFlags(-1, 0); }, -4004},
      {"remove by negative index", [] { return AFPRemoveShare(static_cast<int16_t>(-1)); }, -4004},
      {"flags by path without flags out",
       [] {
         const afp_string path = Text("/srv/a");
         return AFPGetVolumeFlagsFromPath(&path, nullptr);
       },
       -4006},
      {"flags by index without flags out", [] { return AFPGetVolumeFlagsFromIndex(0, nullptr); },
       -4006},
      {"name by index without name out", [] { return AFPGetVolumeNameFromIndex(0, nullptr); },
       -4006},
      {"user flags without flags out", [] { return AFPGetUserFlags("bob", nullptr, nullptr); },
       -4006},
      {"indexed user flags without flags out",
       [] { return AFPGetIndUserFlags(0, nullptr, nullptr, nullptr); }, -4006},
      {"statistics without a struct", [] { return AFPGetServerStatistics(nullptr); }, -4006},
      {"logon message without a buffer", [] { return AFPGetLogonMessage(nullptr, 8); }, -4006},
      {"share a missing folder", addShare((temp_.path() / "missing").string()), -1},
      {"share below a missing folder", addShare((temp_.path() / "missing/Sub").string()), -1},
      {"share an empty path", addShare(""), -1},
      {"share an unterminated path", [&] { return AFPAddShare(unterminated, nullptr); }, -1},
      {"share a file", addShare((temp_.path() / "file").string()), -4007},
      {"share a symbolic link to a folder", addShare((temp_.path() / "link").string()), -4007},
      {"share the root folder", addShare("/"), -4008},
      {"share the root folder with a trailing slash", addShare("//"), -4008},
  };
  if (mountPoint) refusals.push_back({"share a mount point", addShare(*mountPoint), -4008});

  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    EXPECT_EQ(refusal.call(), refusal.expected);
  }
  EXPECT_EQ(server_.TakeRequests(), std::vector<std::string>{});
}

TEST_F(UamshareFake, AddShareSendsTheFolderRealPath) {
  const fs::path folder = temp_.path() / "Shared Stuff";
  fs::create_directory(folder);
  fs::create_directory(temp_.path() / "Sub");
  fs::create_directory_symlink(temp_.path(), temp_.path() / "parent-link");
  const std::string real = fs::canonical(folder).string();
  const std::string request = "adds afp-string:str=\"" + real + "\"";

  const fs::path oldCwd = fs::current_path();
  fs::current_path(temp_.path());
  struct Given {
    std::string path;
    const char* why;
  };
  const std::vector<Given> givens = {
      {folder.string(), "absolute"},
      {"Shared Stuff/", "relative, with a trailing slash"},
      {"./parent-link/Shared Stuff", "through a link to its parent folder"},
      {(temp_.path() / "Sub/../Shared Stuff").string(), "with a .. component"},
  };
  for (const Given& given : givens) {
    SCOPED_TRACE(given.why);
    afp_path out = {"unset"};
    EXPECT_EQ(AFPAddShare(Ref(given.path), &out), 0);
    EXPECT_EQ(out.path, real);
    EXPECT_EQ(server_.TakeRequests(), std::vector<std::string>{request});
  }
  fs::current_path(oldCwd);

  EXPECT_EQ(AFPAddShare(Ref(folder.string()), nullptr), 0);
  afp_path out = {"unset"};
  EXPECT_EQ(AFPAddShareWithFlags(Ref(folder.string()), AFP_SHARE_READ_ONLY, &out), 0);
  EXPECT_EQ(out.path, real);
  EXPECT_EQ(server_.TakeRequests(),
            (std::vector<std::string>{request, request + " afp-int32:i32=2"}));

  // The server could not start the share: its code, and no path.
  server_.SetScript({{FourCC("adds"), Reply(-4005)}});
  afp_path refused = {"unset"};
  EXPECT_EQ(AFPAddShare(Ref(folder.string()), &refused), -4005);
  EXPECT_STREQ(refused.path, "unset");
}

TEST_F(UamshareFake, SaveLogonMessageRewritesTheFileThenTellsTheServer) {
  WriteFile(LogonFile(), "An old and much longer logon message than the new one");
  ASSERT_EQ(chmod(LogonFile().c_str(), 0644), 0);

  // The file gets `length` bytes; the server gets the text up to its end.
  EXPECT_EQ(AFPSaveLogonMessage("Welcome to the archive", 7), 0);
  EXPECT_EQ(ReadFile(LogonFile()), "Welcome");
  struct stat info;
  ASSERT_EQ(stat(LogonFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(server_.TakeRequests(),
            std::vector<std::string>{"updt afp-string:str=\"Welcome to the archive\""});

  // A text the server refuses is in the file all the same.
  const std::string tooLong(200, 'm');
  server_.SetScript({{FourCC("updt"), Reply(kFail)}});
  EXPECT_EQ(AFPSaveLogonMessage(tooLong.c_str(), static_cast<int32_t>(tooLong.size())),
            AFP_RESULT_FAIL);
  EXPECT_EQ(ReadFile(LogonFile()), tooLong);
  EXPECT_EQ(server_.TakeRequests(),
            std::vector<std::string>{"updt afp-string:str=\"" + tooLong + "\""});
}

TEST_F(UamshareFake, GetLogonMessageReadsOnlyTheFile) {
  char buffer[16];
  std::memset(buffer, 'X', sizeof buffer);
  EXPECT_EQ(AFPGetLogonMessage(buffer, 8), AFP_RESULT_FAIL);  // no file yet

  WriteFile(LogonFile(), "Hello");
  EXPECT_EQ(AFPGetLogonMessage(buffer, 8), 0);
  EXPECT_EQ(std::string(buffer, 9), std::string("Hello\0\0\0X", 9));  // zero-filled, size kept

  WriteFile(LogonFile(), "A longer message");
  EXPECT_EQ(AFPGetLogonMessage(buffer, 8), 0);
  EXPECT_EQ(std::string(buffer, 9), "A longerX");  // exactly size bytes, no terminator

  EXPECT_EQ(server_.TakeRequests(), std::vector<std::string>{});
}

// Calls from several threads at once each get the reply to their own request.
TEST_F(UamshareFake, ConcurrentCallsGetTheirOwnReplies) {
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &mismatches] {
      for (int k = 0; k < 25; ++k) {
        const auto index = static_cast<int16_t>(t * 100 + k);
        afp_string path;
        if (AFPGetVolumePathFromIndex(index, &path) != 0 ||
            std::string(path.text) != "/srv/share" + std::to_string(index))
          ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(server_.TakeRequests().size(), 100u);
}

// No server holds the signature of this settings folder.
class UamshareFakeNotRunning : public ::testing::Test {
 protected:
  afptest::TempDir temp_;
  ScopedSettingsDir settings_{temp_.path()};
};

TEST_F(UamshareFakeNotRunning, EveryRequestFailsAndTheLogonFileIsStillWritten) {
  const fs::path folder = temp_.path() / "Folder";
  fs::create_directory(folder);
  const afp_string path = Text("/srv/a");
  afp_string text;
  uint32_t flags = 0;
  bool enabled = false;
  afp_server_stats stats;
  constexpr int32_t kNotRunning = AFP_RESULT_NOT_RUNNING;
  static_assert(kNotRunning != 0);

  const std::vector<std::pair<const char*, std::function<int32_t()>>> calls = {
      {"gvnm", [&] { return AFPGetVolumePathFromIndex(0, &text); }},
      {"gvol", [&] { return AFPGetVolumeNameFromIndex(0, &text); }},
      {"flags by index", [&] { return AFPGetVolumeFlagsFromIndex(0, &flags); }},
      {"save flags by index", [&] { return AFPSaveVolumeFlags(0, 0); }},
      {"sflg", [&] { return AFPSaveVolumeFlagsForPath(&path, 0); }},
      {"rems", [&] { return AFPRemoveShare(&path); }},
      {"remove by index", [&] { return AFPRemoveShareAtIndex(0); }},
      {"adds", [&] { return AFPAddShare(Ref(folder.string()), nullptr); }},
      {"adds with flags", [&] { return AFPAddShareWithFlags(Ref(folder.string()), 2, nullptr); }},
      {"send", [&] { return AFPSendServerMessage("hi"); }},
      {"sall", [&] { return AFPSetGuestsAllowed(true); }},
      {"getu", [&] { return AFPGetIndUser(0, &text, &text, &enabled); }},
      {"geti", [&] { return AFPGetUserInfo("bob", &text, &enabled); }},
      {"getu flags", [&] { return AFPGetIndUserFlags(0, &text, &text, &flags); }},
      {"geti flags", [&] { return AFPGetUserFlags("bob", &text, &flags); }},
      {"addu", [&] { return AFPAddUser("bob", "pw", true); }},
      {"addu flags", [&] { return AFPAddUserWithFlags("bob", "pw", 1); }},
      {"updu", [&] { return AFPUpdateUserProperties("bob", "pw", true); }},
      {"updu flags", [&] { return AFPUpdateUserWithFlags("bob", "pw", 1); }},
      {"delu", [&] { return AFPDeleteUser("bob"); }},
      {"statistics", [&] { return AFPGetServerStatistics(&stats); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    EXPECT_EQ(call(), kNotRunning);
  }
  // These fold every failure into 'fail' and false.
  EXPECT_EQ(AFPGetVolumeFlagsFromPath(&path, &flags), AFP_RESULT_FAIL);
  EXPECT_FALSE(AFPGetGuestsAllowed());

  EXPECT_EQ(AFPSaveLogonMessage("Back soon", 9), kNotRunning);
  EXPECT_EQ(ReadFile(temp_.path() / "afpLogonMessage"), "Back soon");
}

// libuamshare.so exports the client functions by their plain names and
// nothing else of ours (the platform layer it carries stays hidden).
TEST(UamshareFakeLibrary, ExportsExactlyTheClientFunctions) {
  const std::string command =
      std::string(CORVANE_NM_PATH) + " -D --defined-only '" + UAMSHARE_LIBRARY_PATH + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> exported;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    char type = 0;
    char name[512] = {};
    if (std::sscanf(line, "%*s %c %511s", &type, name) == 2) exported.insert(name);
  }
  ASSERT_EQ(pclose(pipe), 0) << command;
  const std::set<std::string> expected = {
      "AFPGetVolumePathFromIndex", "AFPGetVolumeFlagsFromPath", "AFPGetVolumeFlagsFromIndex",
      "AFPSaveVolumeFlags",        "AFPRemoveShare",            "AFPRemoveShareAtIndex",
      "AFPAddShare",               "AFPSaveLogonMessage",       "AFPGetLogonMessage",
      "AFPGetGuestsAllowed",       "AFPSetGuestsAllowed",       "AFPGetIndUser",
      "AFPGetUserInfo",            "AFPAddUser",                "AFPUpdateUserProperties",
      "AFPDeleteUser",             "AFPAddShareWithFlags",      "AFPSaveVolumeFlagsForPath",
      "AFPGetVolumeNameFromIndex", "AFPAddUserWithFlags",       "AFPUpdateUserWithFlags",
      "AFPGetUserFlags",           "AFPGetIndUserFlags",        "AFPSendServerMessage",
      "AFPGetServerStatistics",
  };
  EXPECT_EQ(exported, expected);
}

}  // namespace
}  // namespace uamtest

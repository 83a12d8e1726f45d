// Shares made through the administration socket, seen and used by clients:
// the volume list, the volume commands and their parameter block, share
// flags, persistence across restarts, and withdrawal of a moved folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/client/afp_login.h"
#include "tests/client/server_process.h"
#include "tests/client/temp_dir.h"
#include "tests/client/wire_fixture.h"

namespace {

using namespace afptest;
namespace fs = std::filesystem;

constexpr uint16_t kAllVolumeBits = 0x0FFF;

class VolumeWire : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_ = folders_.path() / "settings";
    fs::create_directories(settings_);
    ASSERT_TRUE(StartServer(server_, settings_));
    ASSERT_TRUE(AdminAddUser("ann", "pw", 1));
  }

  void Restart() {
    server_->Signal(SIGTERM);
    ASSERT_EQ(server_->WaitForExit(), 0);
    ASSERT_TRUE(StartServer(server_, settings_));
  }

  // A new folder under the test's folder, shared; the server's answer.
  uint32_t Share(const std::string& relative, int32_t flags = 0) {
    const fs::path folder = folders_.path() / relative;
    fs::create_directories(folder);
    return AdminCode(AddShareMessage(folder, flags));
  }

  std::vector<std::string> VolumeNames() {
    std::vector<std::string> names;
    for (int16_t index = 0;; ++index) {
      BMessage get(FourCC("gvol"));
      get.AddInt16("afp-int16", index);
      const auto reply = AdminRequest(get);
      std::string name;
      if (!reply || reply->what != FourCC("succ") || reply->FindString("afp-string", &name) != B_OK) break;
      names.push_back(name);
    }
    return names;
  }

  void Login(DsiClient& client) {
    std::string why;
    ASSERT_TRUE(ConnectAndLogin(client, server_->port(), "ann", "pw", &why)) << why;
  }

  TempDir folders_;
  fs::path settings_;
  std::unique_ptr<ServerProcess> server_;
};

ByteVector VolumeIDRequest(uint8_t command, uint16_t volumeID) {
  return RequestBuilder().Add8(command).Add8(0).Add16(volumeID).Bytes();
}

ByteVector GetVolParms(uint16_t volumeID, uint16_t bitmap) {
  return RequestBuilder().Add8(17).Add8(0).Add16(volumeID).Add16(bitmap).Bytes();
}

TEST_F(VolumeWire, SharesAreListedAndNumberedDownFrom65535) {
  EXPECT_EQ(Share("a/Music"), FourCC("succ"));
  EXPECT_EQ(Share("b/Photos"), FourCC("succ"));
  EXPECT_EQ(VolumeNames(), (std::vector<std::string>{"Music", "Photos"}));
  DsiClient client;
  Login(client);
  const auto parms = client.Command(RequestBuilder().Add8(16).Add8(0).Bytes());
  ASSERT_TRUE(parms);
  EXPECT_EQ(ByteVector(parms->payload.begin() + 4, parms->payload.end()),
            (ByteVector{2, 0, 5, 'M', 'u', 's', 'i', 'c', 0, 6, 'P', 'h', 'o', 't', 'o', 's'}));
  const auto music = client.Command(OpenVolRequest("Music", 0x0020));
  const auto photos = client.Command(OpenVolRequest("Photos", 0x0020));
  ASSERT_TRUE(music && photos);
  EXPECT_EQ(music->payload, (ByteVector{0, 0x20, 0xFF, 0xFF}));
  EXPECT_EQ(photos->payload, (ByteVector{0, 0x20, 0xFF, 0xFE}));
}

TEST_F(VolumeWire, ParameterBlockLayouts) {
  ASSERT_EQ(Share("Docs"), FourCC("succ"));
  DsiClient client;
  Login(client);
  const auto open = client.Command(OpenVolRequest("Docs", 0x0020));
  ASSERT_TRUE(open && open->errorCode == 0);
  EXPECT_EQ(client.Command(GetVolParms(0xFFFF, 0))->payload, (ByteVector{0, 0}));
  EXPECT_EQ(client.Command(GetVolParms(0xFFFF, 0x0100))->payload, (ByteVector{1, 0, 0, 2, 4, 'D', 'o', 'c', 's'}));
  const auto all = client.Command(GetVolParms(0xFFFF, kAllVolumeBits));
  ASSERT_TRUE(all && all->errorCode == 0);
  ReplyReader reader(all->payload);
  EXPECT_EQ(reader.Get16(), kAllVolumeBits);
  EXPECT_EQ(reader.Get16(), 0x0640);       // attributes
  EXPECT_EQ(reader.Get16(), 2);            // signature
  reader.Skip(8);                          // creation and modification dates
  EXPECT_EQ(reader.Get32(), 0x80000000u);  // never backed up
  EXPECT_EQ(reader.Get16(), 0xFFFF);
  const uint32_t free32 = reader.Get32();
  const uint32_t total32 = reader.Get32();
  EXPECT_EQ(reader.Get16(), 48);  // name offset
  const uint64_t free64 = reader.Get64();
  const uint64_t total64 = reader.Get64();
  EXPECT_EQ(reader.Get32(), 1024u);
  EXPECT_EQ(reader.GetPascal(), "Docs");
  EXPECT_EQ(reader.remaining(), 0u);
  EXPECT_EQ(free32, std::min<uint64_t>(free64, 0x7FFFFFFF));
  EXPECT_EQ(total32, std::min<uint64_t>(total64, 0x7FFFFFFF));
  EXPECT_GT(total64, 0u);
}

TEST_F(VolumeWire, ReadOnlyFlagShowsInTheAttributes) {
  ASSERT_EQ(Share("Locked", 2), FourCC("succ"));
  DsiClient client;
  Login(client);
  const auto open = client.Command(OpenVolRequest("Locked", 0x0001));
  ASSERT_TRUE(open);
  EXPECT_EQ(open->payload, (ByteVector{0, 1, 0x06, 0x41}));
}

TEST_F(VolumeWire, OpenCloseAndFlushRules) {
  ASSERT_EQ(Share("Docs"), FourCC("succ"));
  DsiClient client;
  Login(client);
  EXPECT_EQ(client.Command(OpenVolRequest("docs", 0))->errorCode, -5019);  // names are case-sensitive
  EXPECT_EQ(client.Command(VolumeIDRequest(10, 0xFFFF))->errorCode, -5019);  // not open yet
  EXPECT_EQ(client.Command(VolumeIDRequest(2, 0xFFFF))->errorCode, 0);       // closing what is not open
  EXPECT_EQ(client.Command(OpenVolRequest("Docs", 0))->errorCode, 0);
  EXPECT_EQ(client.Command(OpenVolRequest("Docs", 0))->errorCode, 0);  // twice
  EXPECT_EQ(client.Command(VolumeIDRequest(10, 0xFFFF))->errorCode, 0);
  EXPECT_EQ(client.Command(VolumeIDRequest(2, 0xFFFF))->errorCode, 0);
  EXPECT_EQ(client.Command(GetVolParms(0xFFFF, 0))->errorCode, 0);  // still open once
  EXPECT_EQ(client.Command(VolumeIDRequest(2, 0xFFFF))->errorCode, 0);
  EXPECT_EQ(client.Command(GetVolParms(0xFFFF, 0))->errorCode, -5019);
  for (int i = 0; i < 16; ++i) ASSERT_EQ(client.Command(OpenVolRequest("Docs", 0))->errorCode, 0);
  EXPECT_EQ(client.Command(OpenVolRequest("Docs", 0))->errorCode, -5019);  // a 17th entry
  EXPECT_EQ(client.Command(RequestBuilder().Add8(17).Add8(0).Add16(0xFFFF).Bytes())->errorCode, -5019);
}

TEST_F(VolumeWire, SameVolumeNameIsRefusedButRecorded) {
  EXPECT_EQ(Share("a/Docs"), FourCC("succ"));
  EXPECT_EQ(Share("b/Docs"), static_cast<uint32_t>(-4005));
  EXPECT_EQ(VolumeNames(), (std::vector<std::string>{"Docs"}));
  BMessage flags(FourCC("gflg"));
  flags.AddString("afp-string", (folders_.path() / "b/Docs").string());
  EXPECT_EQ(AdminCode(flags), FourCC("succ"));
}

TEST_F(VolumeWire, SharesSurviveARestartAndAMissingFolderStaysListed) {
  ASSERT_EQ(Share("Music"), FourCC("succ"));
  ASSERT_EQ(Share("Gone"), FourCC("succ"));
  ASSERT_NO_FATAL_FAILURE(Restart());
  std::vector<std::string> names = VolumeNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Gone", "Music"}));
  // Removed while the server was down: listed, but it cannot be opened.
  server_->Signal(SIGTERM);
  ASSERT_EQ(server_->WaitForExit(), 0);
  fs::remove(folders_.path() / "Gone");
  ASSERT_TRUE(StartServer(server_, settings_));
  DsiClient client;
  Login(client);
  EXPECT_EQ(client.Command(OpenVolRequest("Music", 0))->errorCode, 0);
  EXPECT_EQ(client.Command(OpenVolRequest("Gone", 0))->errorCode, -5019);
}

TEST_F(VolumeWire, RenamedShareFolderIsWithdrawn) {
  ASSERT_EQ(Share("Projects"), FourCC("succ"));
  const fs::path old = folders_.path() / "Projects";
  fs::rename(old, folders_.path() / "Projects-renamed");
  bool withdrawn = false;
  for (int i = 0; i < 100 && !withdrawn; ++i) {
    withdrawn = VolumeNames().empty();
    if (!withdrawn) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(withdrawn);
  // The notice is written before the share goes; the test reads the
  // server's standard error on its own thread, so give it a moment.
  const std::string notice = "You have moved, renamed or deleted the AFP share point:\n\n" + old.string() +
                             "\n\nThe volume is no longer shared by corvane";
  bool noticed = false;
  for (int i = 0; i < 100 && !noticed; ++i) {
    noticed = server_->StandardError().find(notice) != std::string::npos;
    if (!noticed) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(noticed) << server_->StandardError();
  BMessage flags(FourCC("gflg"));
  flags.AddString("afp-string", old.string());
  EXPECT_EQ(AdminCode(flags), FourCC("fail"));  // the record is gone too
}

TEST_F(VolumeWire, ClientsWithTheVolumeOpenKeepWorkingAfterItIsRemoved) {
  ASSERT_EQ(Share("Temp"), FourCC("succ"));
  DsiClient client;
  Login(client);
  ASSERT_EQ(client.Command(OpenVolRequest("Temp", 0))->errorCode, 0);
  BMessage remove(FourCC("rems"));
  remove.AddString("afp-string", (folders_.path() / "Temp").string());
  EXPECT_EQ(AdminCode(remove), FourCC("succ"));
  EXPECT_EQ(AdminCode(remove), static_cast<uint32_t>(-4004));
  // No longer found by ID, so the session's request fails cleanly.
  EXPECT_EQ(client.Command(GetVolParms(0xFFFF, 0))->errorCode, -5019);
  EXPECT_EQ(client.Command(VolumeIDRequest(2, 0xFFFF))->errorCode, 0);
}

}  // namespace

// Which namespace changes mark their volume as changed (the mark that makes
// the server tell other clients), calling the handlers directly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "server/afp/afp_session.h"
#include "server/dsi/dsi_protocol.h"
#include "server/fs/namespace_commands.h"
#include "server/volume/afp_volume.h"
#include "tests/client/temp_dir.h"
#include "tests/client/wire.h"

namespace {

namespace fs = std::filesystem;
using afptest::ByteVector;
using afptest::RequestBuilder;

// An administrator's session with one volume open.
class AdminSession : public BAFPSession {
 public:
  explicit AdminSession(VolumeRef volume) : BAFPSession(nullptr), fVolume(std::move(volume)) {}
  using BAFPSession::HasVolumeOpen;
  bool HasVolumeOpen(uint16_t volumeID, VolumeRef* volume) override {
    if (volume != nullptr) *volume = fVolume;
    return volumeID == fVolume->GetVolumeID();
  }
  bool IsAdmin() override { return true; }

 private:
  VolumeRef fVolume;
};

class NamespaceDirtyMark : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(share_.path() / "a");
    fs::create_directories(share_.path() / "b");
    std::ofstream(share_.path() / "a" / "f") << "f";
    volume_ = std::make_shared<BAFPVolume>(share_.path().string(), 0);
    session_ = std::make_unique<AdminSession>(volume_);
  }

  // Runs a handler on a clean volume: its result, and whether it marked the
  // volume.
  std::pair<int32_t, bool> Run(AFPHandler handler, ByteVector request) {
    volume_->MakeClean();
    std::vector<signed char> reply(kReplyAreaSize);
    int32_t replyLength = 0;
    const int32_t result = handler(session_.get(), reinterpret_cast<signed char*>(request.data()),
                                   static_cast<int32_t>(request.size()), reply.data(), &replyLength);
    return {result, volume_->IsDirty()};
  }

  RequestBuilder Object(uint8_t command, uint32_t dirID, const std::string& path) {
    RequestBuilder request;
    request.Add8(command).Add8(0).Add16(volume_->GetVolumeID()).Add32(dirID).Add8(2).AddPascal(path);
    return request;
  }

  RequestBuilder Move(uint32_t from, uint32_t to, const std::string& path, const std::string& newName) {
    RequestBuilder request;
    request.Add8(23).Add8(0).Add16(volume_->GetVolumeID()).Add32(from).Add32(to);
    request.Add8(2).AddPascal(path).Add8(2).AddPascal("").Add8(2).AddPascal(newName);
    return request;
  }

  uint32_t Dir(const std::string& name) const {
    struct stat info;
    return lstat((share_.path() / name).c_str(), &info) == 0 ? static_cast<uint32_t>(info.st_ino) : 0;
  }

  afptest::TempDir share_;
  VolumeRef volume_;
  std::unique_ptr<AdminSession> session_;
};

TEST_F(NamespaceDirtyMark, ChangesMarkTheVolumeButARenameByMoveAndRenameDoesNot) {
  const uint32_t a = Dir("a");
  const uint32_t b = Dir("b");
  EXPECT_EQ(Run(FPMoveAndRename, Move(a, a, "f", "g").Bytes()), std::pair(0, false));  // renamed in place
  EXPECT_TRUE(fs::exists(share_.path() / "a/g"));
  EXPECT_EQ(Run(FPMoveAndRename, Move(a, b, "g", "").Bytes()), std::pair(0, true));
  EXPECT_EQ(Run(FPRename, Object(28, b, "g").Add8(2).AddPascal("h").Bytes()), std::pair(0, true));
  EXPECT_EQ(Run(FPCreateDir, Object(6, 2, "c").Bytes()), std::pair(0, true));
  EXPECT_EQ(Run(FPCreateFile, Object(7, 2, "e").Bytes()), std::pair(0, true));
  EXPECT_EQ(Run(FPDelete, Object(8, 2, "e").Bytes()), std::pair(0, true));
  ByteVector copy = RequestBuilder().Add8(5).Add8(0).Add16(volume_->GetVolumeID()).Add32(b).Add16(volume_->GetVolumeID())
                        .Add32(2).Add8(2).AddPascal("h").Add8(2).AddPascal("").Add8(2).AddPascal("").Bytes();
  EXPECT_EQ(Run(FPCopyFile, copy), std::pair(0, true));
  EXPECT_EQ(Run(FPCreateID, Object(39, 2, "h").Bytes()).second, false);
  // Failures leave the mark alone.
  EXPECT_EQ(Run(FPCreateDir, Object(6, 2, "c").Bytes()), std::pair(-5017, false));
  EXPECT_EQ(Run(FPDelete, Object(8, 2, "a:nothing").Bytes()), std::pair(-5018, false));
  EXPECT_EQ(Run(FPCopyFile, copy), std::pair(-5019, false));
}

}  // namespace

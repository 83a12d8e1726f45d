// Resolving objects and reading and setting their parameters over the wire:
// the two anchor IDs, paths, confinement, long names, the parameter blocks of
// files and folders, set bitmaps, write inhibition and access rights.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tests/client/afp_login.h"
#include "tests/client/server_process.h"
#include "tests/client/temp_dir.h"
#include "tests/client/wire_fixture.h"

namespace {

using namespace afptest;
namespace fs = std::filesystem;

constexpr uint16_t kVolumeID = 0xFFFF;
constexpr uint8_t kFolderFlag = 0x80;

// A share "Share" with some content, an administrator, a user and guests.
class FileDirParmsWire : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_ = folders_.path() / "settings";
    share_ = folders_.path() / "Share";
    fs::create_directories(settings_);
    fs::create_directories(share_ / "Docs" / "Deep");
    fs::create_directories(folders_.path() / "Outside");
    std::ofstream(share_ / "Docs" / "note.txt") << "hello";
    ASSERT_TRUE(StartServer(server_, settings_));
    ASSERT_TRUE(AdminAddShare(share_));
    ASSERT_TRUE(AdminAddUser("root-admin", "pw", 0x09));
    ASSERT_TRUE(AdminAddUser("ann", "pw", 0x01));
  }

  // Logs in and opens the share.
  void Open(DsiClient& client, const std::string& user = "root-admin", const std::string& version = "AFP3.1") {
    ASSERT_TRUE(client.Connect(server_->port()));
    ASSERT_TRUE(client.OpenSession());
    const auto login = client.Command(CleartextLoginRequest(user, "pw", version));
    ASSERT_TRUE(login && login->errorCode == 0);
    ASSERT_EQ(ResultOf(client, OpenVolRequest("Share", 0)), 0);
  }

  TempDir folders_;
  fs::path settings_;
  fs::path share_;
  std::unique_ptr<ServerProcess> server_;
};

// A path as an AFP long name (path type 2).
ByteVector GetParms(uint32_t dirID, const std::string& path, uint16_t fileBitmap, uint16_t dirBitmap) {
  return RequestBuilder().Add8(34).Add8(0).Add16(kVolumeID).Add32(dirID).Add16(fileBitmap).Add16(dirBitmap)
      .Add8(2).AddPascal(path).Bytes();
}

// A path as a UTF-8 name (path type 3).
ByteVector GetParmsUTF8(uint32_t dirID, const std::string& utf8, uint16_t fileBitmap, uint16_t dirBitmap) {
  return RequestBuilder().Add8(34).Add8(0).Add16(kVolumeID).Add32(dirID).Add16(fileBitmap).Add16(dirBitmap)
      .Add8(3).AddUnicodeName(utf8).Bytes();
}

ByteVector SetParms(uint8_t command, uint32_t dirID, const std::string& path, uint16_t bitmap, const ByteVector& fields) {
  RequestBuilder request;
  request.Add8(command).Add8(0).Add16(kVolumeID).Add32(dirID).Add16(bitmap).Add8(2).AddPascal(path).PadToEven();
  request.AddBytes(fields);
  return std::move(request).Bytes();
}

uint32_t NodeOf(const fs::path& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 ? static_cast<uint32_t>(info.st_ino) : 0;
}

// The directory ID (0x0100) and parent ID (0x0002) a folder reports.
struct Ids {
  int32_t result;
  uint32_t own = 0;
  uint32_t parent = 0;
};

Ids FolderIds(DsiClient& client, uint32_t dirID, const std::string& path) {
  const auto reply = client.Command(GetParms(dirID, path, 0, 0x0102));
  if (!reply || reply->errorCode != 0) return {reply ? reply->errorCode : -1};
  ReplyReader reader(reply->payload);
  reader.Skip(6);
  Ids ids{0};
  ids.parent = reader.Get32();
  ids.own = reader.Get32();
  return ids;
}

TEST_F(FileDirParmsWire, AnchorsPathsAndParents) {
  DsiClient client;
  Open(client);
  const Ids root = FolderIds(client, 2, "");
  EXPECT_EQ(root.result, 0);
  EXPECT_EQ(root.own, 2u);
  EXPECT_EQ(root.parent, 1u);
  const Ids parent = FolderIds(client, 1, "");
  EXPECT_EQ(parent.own, 1u);
  EXPECT_EQ(parent.parent, 0xFFFFFFFFu);
  const Ids docs = FolderIds(client, 2, "Docs");
  EXPECT_EQ(docs.own, NodeOf(share_ / "Docs"));
  EXPECT_EQ(docs.parent, 2u);
  const Ids deep = FolderIds(client, docs.own, "Deep");
  EXPECT_EQ(deep.own, NodeOf(share_ / "Docs" / "Deep"));
  EXPECT_EQ(deep.parent, docs.own);
  EXPECT_EQ(FolderIds(client, deep.own, "..").own, docs.own);  // ".." climbs inside the share
}

TEST_F(FileDirParmsWire, PathSeparatorsAndPathsFromTheParentOfTheRoot) {
  DsiClient client;
  Open(client);
  // A client's ":" separates path elements (it reaches the server as "/").
  const auto viaColon = client.Command(GetParms(2, "Docs:Deep", 0, 0x0100));
  ASSERT_TRUE(viaColon);
  EXPECT_EQ(viaColon->errorCode, 0);
  EXPECT_EQ(FolderIds(client, 1, "Share:Docs").own, NodeOf(share_ / "Docs"));
  EXPECT_EQ(FolderIds(client, 1, "Share").own, 2u);
}

TEST_F(FileDirParmsWire, NothingOutsideTheShareIsReachable) {
  fs::create_symlink(folders_.path() / "Outside", share_ / "escape");
  fs::create_symlink("/etc/passwd", share_ / "passwd");
  DsiClient client;
  Open(client);
  const struct {
    const char* what;
    ByteVector request;
  } cases[] = {
      {"'..' from the root", GetParms(2, "..", 0, 0x0100)},
      {"'..' twice from a subfolder", GetParms(2, "Docs:..:..", 0, 0x0100)},
      {"a sibling from ID 1", GetParms(1, "Outside", 0, 0x0100)},
      {"the share's parent by its node number", GetParms(NodeOf(folders_.path()), "", 0, 0x0100)},
      {"a folder outside by its node number", GetParms(NodeOf(folders_.path() / "Outside"), "", 0, 0x0100)},
      {"through a link to a folder outside", GetParms(2, "escape:anything", 0, 0x0100)},
      {"a directory ID with the top bit set", GetParms(0x80000005u, "", 0, 0x0100)},
      {"a directory ID that is a file", GetParms(NodeOf(share_ / "Docs" / "note.txt"), "", 0, 0x0100)},
  };
  for (const auto& c : cases) {
    const auto reply = client.Command(c.request);
    ASSERT_TRUE(reply) << c.what;
    EXPECT_EQ(reply->errorCode, -5018) << c.what;
  }
  // The link itself is an entry of the share (a file here); it is not followed.
  const auto link = client.Command(GetParms(2, "passwd", 0x0200, 0));
  ASSERT_TRUE(link);
  EXPECT_EQ(link->errorCode, 0);
  EXPECT_EQ(link->payload[4], 0);  // not a folder
}

TEST_F(FileDirParmsWire, CachedDirectoryIDSurvivesRenamesAndRestarts) {
  DsiClient client;
  Open(client);
  const uint32_t deep = FolderIds(client, 2, "Docs:Deep").own;
  fs::rename(share_ / "Docs" / "Deep", share_ / "Moved");
  EXPECT_EQ(FolderIds(client, deep, "").own, deep);
  client.Close();
  server_->Signal(SIGTERM);
  ASSERT_EQ(server_->WaitForExit(), 0);
  ASSERT_TRUE(StartServer(server_, settings_));
  DsiClient again;
  Open(again);
  EXPECT_EQ(FolderIds(again, deep, "").own, deep);
}

TEST_F(FileDirParmsWire, BitmapZeroAndShortNameAndAFP22) {
  DsiClient client;
  Open(client, "root-admin", "AFP2.2");
  EXPECT_EQ(client.Command(GetParms(2, "Docs", 0, 0))->payload, (ByteVector{0, 0, 0, 0, kFolderFlag}));
  const auto adjusted = client.Command(GetParms(2, "Docs:note.txt", 0x2080 | 0x0001, 0x2080));
  ASSERT_TRUE(adjusted && adjusted->errorCode == 0);
  EXPECT_EQ(ByteVector(adjusted->payload.begin(), adjusted->payload.begin() + 6), (ByteVector{0, 1, 0, 0, 0, 0}));
  EXPECT_EQ(adjusted->payload.size(), 6u + 2);  // the attribute word only
}

TEST_F(FileDirParmsWire, FileParameterLayout) {
  std::ofstream(share_ / "Docs" / "big.bin").close();
  fs::resize_file(share_ / "Docs" / "big.bin", 5000000000ull);
  DsiClient client;
  Open(client);
  const uint16_t bitmap = 0x0001 | 0x0002 | 0x0020 | 0x0040 | 0x0100 | 0x0200 | 0x0400 | 0x0800 | 0x2000 | 0x4000;
  const auto reply = client.Command(GetParms(2, "Docs:big.bin", bitmap, 0));
  ASSERT_TRUE(reply && reply->errorCode == 0);
  ReplyReader reader(reply->payload);
  EXPECT_EQ(reader.Get16(), bitmap);
  reader.Skip(2);
  EXPECT_EQ(reader.Get8(), 0);  // a file
  reader.Skip(1);
  const size_t block = reader.position();
  EXPECT_EQ(reader.Get16(), 0);  // attributes
  EXPECT_EQ(reader.Get32(), NodeOf(share_ / "Docs"));
  const ByteVector finder = reader.GetBytes(32);
  EXPECT_EQ(std::string(finder.begin(), finder.begin() + 8), "????????");
  EXPECT_EQ((ByteVector{finder[10], finder[11], finder[12], finder[13]}), (ByteVector{0, 20, 0, 20}));
  const uint16_t longNameOffset = reader.Get16();
  EXPECT_EQ(reader.Get32(), NodeOf(share_ / "Docs" / "big.bin"));
  EXPECT_EQ(reader.Get32(), 0xFFFFFFFFu);          // 5 GB in 32 bits
  EXPECT_EQ(reader.Get32(), 0u);                   // no resource fork
  EXPECT_EQ(reader.Get64(), 5000000000ull);        // extended data fork length
  const uint16_t utf8Offset = reader.Get16();
  EXPECT_EQ(reader.GetBytes(12), ByteVector(12, 0));  // extended resource length: 4 + 8 bytes
  reader.Seek(block + longNameOffset);
  EXPECT_EQ(reader.GetPascal(), "big.bin");
  reader.Seek(block + utf8Offset);
  EXPECT_EQ(reader.GetUnicodeName(), "big.bin");
  EXPECT_EQ(reader.remaining(), 0u);
  // The first read stored the defaults.
  char stored[32];
  EXPECT_EQ(getxattr((share_ / "Docs" / "big.bin").c_str(), "user.Afp_FinderInfo", stored, 32), 32);
  EXPECT_EQ(getxattr((share_ / "Docs" / "big.bin").c_str(), "user.Afp_Attributes", stored, 2), 2);
}

TEST_F(FileDirParmsWire, UnixPrivilegesFollowTheFixedFields) {
  fs::permissions(share_ / "Docs" / "note.txt", fs::perms(0640));
  DsiClient client;
  Open(client, "ann");
  struct stat info;
  ASSERT_EQ(lstat((share_ / "Docs" / "note.txt").c_str(), &info), 0);
  const auto file = client.Command(GetParms(2, "Docs:note.txt", 0x8001, 0));
  ASSERT_TRUE(file && file->errorCode == 0);
  ReplyReader reader(file->payload);
  reader.Skip(6 + 2);  // bitmaps, flag, pad, attributes
  EXPECT_EQ(reader.Get32(), info.st_uid);
  EXPECT_EQ(reader.Get32(), info.st_gid);
  EXPECT_EQ(reader.Get32(), static_cast<uint32_t>(S_IFREG | 0640));
  reader.Get32();  // the rights of the folder
  EXPECT_EQ(reader.remaining(), 0u);
  const auto folder = client.Command(GetParms(2, "Docs", 0, 0x9000));
  ASSERT_TRUE(folder && folder->errorCode == 0);
  EXPECT_EQ(folder->payload.size(), 6u + 4 + 16);  // access rights, then the privileges
}

TEST_F(FileDirParmsWire, LongNamesAreGeneratedOnceAndStay) {
  const std::string first = "A very long document name for the client.txt";
  const std::string second = "A very long document name for the server.txt";
  const std::string folder = "Quarterly report with several revisions folder";
  std::ofstream(share_ / first).close();
  std::ofstream(share_ / second).close();
  fs::create_directory(share_ / folder);
  std::ofstream(share_ / std::string(32, 'x')).close();
  DsiClient client;
  Open(client);
  const auto nameOf = [&](const std::string& utf8, bool isFolder) {
    const auto reply = client.Command(GetParmsUTF8(2, utf8, isFolder ? 0 : 0x0040, isFolder ? 0x0040 : 0));
    if (!reply || reply->errorCode != 0) return std::string("error");
    ReplyReader reader(reply->payload);
    reader.Skip(6);
    const size_t block = reader.position();
    reader.Seek(block + reader.Get16());
    return reader.GetPascal();
  };
  EXPECT_EQ(nameOf(first, false), "A very long document name ~0.txt");
  EXPECT_EQ(nameOf(second, false), "A very long document name ~1.txt");
  EXPECT_EQ(nameOf(first, false), "A very long document name ~0.txt");  // kept
  EXPECT_EQ(nameOf(folder, true), "Quarterly report with several ~0");  // no extension: 30 bytes kept
  EXPECT_EQ(nameOf(std::string(32, 'x'), false), std::string(32, 'x'));
  EXPECT_LT(getxattr((share_ / std::string(32, 'x')).c_str(), "user.Afp_Longname", nullptr, 0), 0);
  // A stored long name reaches its object as a path element.
  const auto byLongName = client.Command(GetParms(2, "A very long document name ~1.txt", 0x0100, 0));
  ASSERT_TRUE(byLongName);
  EXPECT_EQ(byLongName->errorCode, 0);
}

TEST_F(FileDirParmsWire, NamesCrossTheBoundaryAsUTF8) {
  std::ofstream(share_ / "Résumé.txt").close();  // a Linux-side UTF-8 name
  DsiClient client;
  Open(client);
  // Decomposed, as Mac OS X clients send it.
  const auto reply = client.Command(GetParmsUTF8(2, "Re\xCC\x81sume\xCC\x81.txt", 0x2000, 0));
  ASSERT_TRUE(reply && reply->errorCode == 0);
  ReplyReader reader(reply->payload);
  reader.Skip(6);
  const size_t block = reader.position();
  reader.Seek(block + reader.Get16());
  EXPECT_EQ(reader.GetUnicodeName(), "R\xC3\xA9sum\xC3\xA9.txt");
}

TEST_F(FileDirParmsWire, SetBitmapsPerCommand) {
  DsiClient client;
  Open(client);
  const ByteVector owner = {0, 0, 0, 0};
  const struct {
    uint8_t command;
    uint16_t bitmap;
    int32_t result;
  } cases[] = {
      {35, 0x0400, -5004}, {30, 0x0400, -5004}, {29, 0x0400, 0},  // owner only for folders
      {35, 0x1000, -5004}, {30, 0x0002, -5004}, {29, 0x2000, -5004},
  };
  for (const auto& c : cases) {
    const ByteVector fields = c.bitmap == 0x0400 ? owner : ByteVector(4, 0);
    const auto reply = client.Command(SetParms(c.command, 2, "Docs", c.bitmap, fields));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->errorCode, c.result) << int(c.command) << " " << c.bitmap;
  }
  // A request shorter than its bitmap's fields changes nothing.
  EXPECT_EQ(client.Command(SetParms(35, 2, "Docs", 0x0024, ByteVector{0x80}))->errorCode, -5019);
}

TEST_F(FileDirParmsWire, AttributesDatesAndWriteInhibit) {
  DsiClient client;
  Open(client);
  const std::string file = "Docs:note.txt";
  EXPECT_EQ(client.Command(SetParms(35, 2, file, 0x0001, {0x80, 0x21}))->errorCode, 0);
  auto reply = client.Command(GetParms(2, file, 0x0001, 0));
  EXPECT_EQ((ByteVector{reply->payload[6], reply->payload[7]}), (ByteVector{0, 0x21}));
  // WriteInhibit now refuses every change, even clearing it.
  EXPECT_EQ(client.Command(SetParms(35, 2, file, 0x0001, {0x00, 0x20}))->errorCode, -5032);
  reply = client.Command(GetParms(2, file, 0x0001, 0));
  EXPECT_EQ(reply->payload[7], 0x21);
  // Dates on a folder (BackupNeeded 0x20 does not inhibit folders).
  EXPECT_EQ(client.Command(SetParms(35, 2, "Docs", 0x0001, {0x80, 0x20}))->errorCode, 0);
  EXPECT_EQ(client.Command(SetParms(29, 2, "Docs", 0x000C, {0x40, 0, 0, 0, 0x50, 0, 0, 0}))->errorCode, 0);
  reply = client.Command(GetParms(2, "Docs", 0, 0x000C));
  ReplyReader reader(reply->payload);
  reader.Skip(6);
  EXPECT_EQ(reader.Get32(), 0x40000000u);
  EXPECT_EQ(reader.Get32(), 0x50000000u);
}

TEST_F(FileDirParmsWire, AccessRightsPerKindOfUser) {
  fs::permissions(share_ / "Docs", fs::perms(0755));
  fs::create_directory(share_ / "~DropFolder~");
  ASSERT_TRUE(AdminAllowGuests(true));
  const auto rights = [&](DsiClient& client, const std::string& path) {
    const auto reply = client.Command(GetParms(2, path, 0, 0x1000));
    ReplyReader reader(reply->payload);
    reader.Skip(6);
    return reader.Get32();
  };
  DsiClient admin, user, visitor;
  Open(admin);
  Open(user, "ann");
  ASSERT_TRUE(visitor.Connect(server_->port()) && visitor.OpenSession());
  ASSERT_EQ(visitor.Command(GuestLoginRequest())->errorCode, 0);
  ASSERT_EQ(visitor.Command(OpenVolRequest("Share", 0))->errorCode, 0);
  EXPECT_EQ(rights(admin, "Docs"), 0x87070707u);
  EXPECT_EQ(rights(user, "Docs"), 0x03030000u);
  EXPECT_EQ(rights(visitor, "Docs"), 0x03030000u);
  EXPECT_EQ(rights(user, "~DropFolder~"), 0x04040404u);
  EXPECT_EQ(rights(admin, "~DropFolder~"), 0x87070707u);
  // What is reported is enforced: no write right, no change.
  EXPECT_EQ(user.Command(SetParms(35, 2, "Docs:note.txt", 0x0001, {0x80, 0x01}))->errorCode, -5000);
  // An administrator sets permissions from rights.
  EXPECT_EQ(admin.Command(SetParms(29, 2, "Docs", 0x1000, {0x87, 0x07, 0x07, 0x07}))->errorCode, 0);
  EXPECT_EQ(fs::status(share_ / "Docs").permissions() & fs::perms::all, fs::perms(0777));
  // A user may change the folder (its folder grants others write) but not
  // its rights: the field is ignored and the request succeeds.
  fs::permissions(share_, fs::perms(0777));
  EXPECT_EQ(user.Command(SetParms(29, 2, "Docs", 0x1000, {0, 0, 0, 0}))->errorCode, 0);
  EXPECT_EQ(fs::status(share_ / "Docs").permissions() & fs::perms::all, fs::perms(0777));  // unchanged
}

TEST_F(FileDirParmsWire, ReadOnlyShareRefusesChanges) {
  BMessage flags(FourCC("sflg"));
  flags.AddString("afp-string", share_.string());
  flags.AddInt32("afp-int32", 2);
  ASSERT_EQ(AdminCode(flags), FourCC("succ"));
  DsiClient client;
  Open(client);
  EXPECT_EQ(client.Command(SetParms(35, 2, "Docs", 0x0001, {0x80, 0x01}))->errorCode, -5031);
}

}  // namespace

// The desktop database over the wire: the ".Desktop" file and its records,
// icons, application mappings and comments, against the real server.
#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "tests/client/afp_login.h"
#include "tests/client/server_process.h"
#include "tests/client/temp_dir.h"
#include "tests/client/wire_fixture.h"

namespace {

using namespace afptest;
namespace fs = std::filesystem;

constexpr uint16_t kVolume = 0xFFFF;  // the first shared volume
constexpr size_t kRecord = 1048;

// A desktop record as the server keeps it on this (little-endian) host.
ByteVector Record(uint8_t kind, uint32_t tag, const std::string& type, const std::string& creator,
                  uint8_t iconType, uint16_t size) {
  ByteVector record(kRecord, 0);
  record[0] = kind;
  std::memcpy(&record[4], &tag, 4);
  std::memcpy(&record[8], type.data(), 4);
  std::memcpy(&record[12], creator.data(), 4);
  record[16] = iconType;
  std::memcpy(&record[18], &size, 2);
  return record;
}

uint32_t Code(const char (&text)[5]) { return LoadBe32(reinterpret_cast<const uint8_t*>(text)); }

class DesktopWire : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_ = folders_.path() / "settings";
    share_ = folders_.path() / "Share";
    fs::create_directories(settings_);
    fs::create_directories(share_ / "Apps");
    std::ofstream(share_ / "file").close();
    std::ofstream(share_ / "Apps" / "App1").close();
    std::ofstream(share_ / "Apps" / "App2").close();
    ASSERT_TRUE(StartServer(server_, settings_));
    ASSERT_TRUE(AdminAddShare(share_));
    ASSERT_TRUE(AdminAddUser("boss", "pw", 0x09));
    Connect(client_);
  }

  void Connect(DsiClient& client) {
    std::string why;
    ASSERT_TRUE(ConnectAndLogin(client, server_->port(), "boss", "pw", &why)) << why;
    ASSERT_EQ(ResultOf(client, OpenVolRequest("Share", 0)), 0);
  }

  ByteVector DesktopBytes() const {
    std::ifstream in(share_ / ".Desktop", std::ios::binary);
    return ByteVector(std::istreambuf_iterator<char>(in), {});
  }
  void WriteDesktop(const ByteVector& bytes) const {
    std::ofstream out(share_ / ".Desktop", std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  // FPOpenDT: the reference, or the (negative) error; kNoReply when no
  // reply came or it holds no reference.
  static int32_t OpenDT(DsiClient& client, uint16_t volume = kVolume) {
    const auto reply = client.Command(RequestBuilder().Add8(48).Add8(0).Add16(volume).Bytes());
    if (!reply || reply->errorCode != 0) return ResultOf(reply);
    ReplyReader reader(reply->payload);
    const uint16_t ref = reader.Get16();
    return reader.failed() ? kNoReply : ref;
  }
  int32_t CloseDT(uint16_t ref) { return ResultOf(client_, RequestBuilder().Add8(49).Add8(0).Add16(ref).Bytes()); }

  // FPAddIcon in a DSI Write; `statedSize` defaults to the bitmap's size.
  static int32_t AddIcon(DsiClient& client, uint16_t ref, const std::string& creator, const std::string& type,
                         uint8_t iconType, uint32_t tag, const ByteVector& bitmap, int32_t statedSize = -1) {
    const auto size = static_cast<uint16_t>(statedSize >= 0 ? statedSize : static_cast<int32_t>(bitmap.size()));
    const ByteVector header = RequestBuilder().Add8(192).Add8(0).Add16(ref).AddBytes(creator).AddBytes(type)
                                  .Add8(iconType).Add8(0).Add32(tag).Add16(size).Bytes();
    return ResultOf(client.Write(header, bitmap));
  }
  static std::optional<DsiFrame> GetIcon(DsiClient& client, uint16_t ref, const std::string& creator,
                                         const std::string& type, uint8_t iconType, int16_t length) {
    return client.Command(RequestBuilder().Add8(51).Add8(0).Add16(ref).AddBytes(creator).AddBytes(type)
                              .Add8(iconType).Add8(0).Add16(static_cast<uint16_t>(length)).Bytes());
  }
  std::optional<DsiFrame> GetIconInfo(uint16_t ref, const std::string& creator, int16_t index) {
    return client_.Command(
        RequestBuilder().Add8(52).Add8(0).Add16(ref).AddBytes(creator).Add16(static_cast<uint16_t>(index)).Bytes());
  }
  // The tag FPGetIconInfo's reply starts with; nothing when the reply is
  // missing or too short.
  std::optional<uint32_t> IconTag(uint16_t ref, const std::string& creator, int16_t index) {
    const auto reply = GetIconInfo(ref, creator, index);
    if (!reply) return std::nullopt;
    ReplyReader reader(reply->payload);
    const uint32_t tag = reader.Get32();
    if (reader.failed()) return std::nullopt;
    return tag;
  }

  int32_t AddAPPL(uint16_t ref, const std::string& creator, uint32_t tag, const std::string& path) {
    return ResultOf(client_, RequestBuilder().Add8(53).Add8(0).Add16(ref).Add32(2).AddBytes(creator).Add32(tag)
                                 .Add8(2).AddPascal(path).Bytes());
  }
  int32_t RemoveAPPL(uint16_t ref, const std::string& creator, const std::string& path) {
    return ResultOf(client_, RequestBuilder().Add8(54).Add8(0).Add16(ref).Add32(2).AddBytes(creator)
                                 .Add8(2).AddPascal(path).Bytes());
  }
  std::optional<DsiFrame> GetAPPL(uint16_t ref, const std::string& creator, int16_t index, uint16_t bitmap) {
    return client_.Command(RequestBuilder().Add8(55).Add8(0).Add16(ref).AddBytes(creator)
                               .Add16(static_cast<uint16_t>(index)).Add16(bitmap).Bytes());
  }

  // Comment requests on `path` from the shared folder; `pathType` 2 is a
  // long name.
  static RequestBuilder CommentRequest(uint8_t command, uint16_t ref, const std::string& path,
                                       uint8_t pathType = 2) {
    RequestBuilder request;
    request.Add8(command).Add8(0).Add16(ref).Add32(2).Add8(pathType).AddPascal(path);
    return request;
  }
  int32_t AddComment(uint16_t ref, const std::string& path, const std::string& comment) {
    RequestBuilder request = CommentRequest(56, ref, path);
    request.PadToEven().Add8(static_cast<uint8_t>(comment.size())).AddBytes(comment);
    return ResultOf(client_, request.Bytes());
  }
  std::optional<DsiFrame> GetComment(uint16_t ref, const std::string& path) {
    return client_.Command(CommentRequest(58, ref, path).Bytes());
  }
  int32_t RemoveComment(uint16_t ref, const std::string& path) {
    return ResultOf(client_, CommentRequest(57, ref, path).Bytes());
  }

  // Descriptors of the server process open on the desktop file.
  int DesktopDescriptors() const {
    int count = 0;
    std::error_code error;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(server_->pid()) + "/fd", error)) {
      std::error_code linkError;
      if (fs::read_symlink(fd.path(), linkError).filename() == ".Desktop") ++count;
    }
    return count;
  }

  TempDir folders_;
  fs::path settings_;
  fs::path share_;
  std::unique_ptr<ServerProcess> server_;
  DsiClient client_;
};

TEST_F(DesktopWire, OpenCreatesAnInvisibleDesktopAndReferencesCountFromOne) {
  ASSERT_FALSE(fs::exists(share_ / ".Desktop"));
  EXPECT_EQ(OpenDT(client_), 1);
  ASSERT_TRUE(fs::is_regular_file(share_ / ".Desktop"));
  EXPECT_EQ(fs::file_size(share_ / ".Desktop"), 0u);
  EXPECT_EQ(OpenDT(client_), 2);
  // Finder info: flags 0x4000 (invisible), location (20, 20).
  const auto parms = client_.Command(RequestBuilder().Add8(34).Add8(0).Add16(kVolume).Add32(2).Add16(0x0020)
                                         .Add16(0).Add8(2).AddPascal(".Desktop").Bytes());
  ASSERT_EQ(ResultOf(parms), 0);
  ReplyReader finder(parms->payload);
  finder.Skip(6 + 8);
  EXPECT_EQ(finder.Get16(), 0x4000);
  EXPECT_EQ(finder.Get16(), 20);
  EXPECT_EQ(finder.Get16(), 20);
  EXPECT_EQ(finder.Get16(), 0);

  EXPECT_EQ(ResultOf(GetIconInfo(1, "TEST", 1)), -5012);  // empty desktop
  EXPECT_EQ(CloseDT(2), 0);
  EXPECT_EQ(CloseDT(2), -5019);
  EXPECT_EQ(CloseDT(99), -5019);
  EXPECT_EQ(ResultOf(GetIconInfo(2, "TEST", 1)), -5019);
  EXPECT_EQ(OpenDT(client_, 1234), -5019);  // no such volume open
  EXPECT_EQ(ResultOf(client_, ByteVector{48, 0}), -5019);

  // A session holds at most 64 desktops; the session's end closes them all.
  for (int i = 0; i < 63; ++i) ASSERT_GT(OpenDT(client_), 0);
  EXPECT_EQ(OpenDT(client_), -5019);
  EXPECT_EQ(DesktopDescriptors(), 64);
  client_.Close();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (DesktopDescriptors() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(DesktopDescriptors(), 0);
}

TEST_F(DesktopWire, IconsAreAddedReadAndReplacedOnlyWithTheSameSize) {
  const uint16_t ref = static_cast<uint16_t>(OpenDT(client_));
  ByteVector bitmap(256);
  for (size_t i = 0; i < bitmap.size(); ++i) bitmap[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(AddIcon(client_, ref, "TEST", "APPL", 1, 7, bitmap), 0);
  EXPECT_EQ(DesktopBytes().size(), kRecord);
  ByteVector expected = Record(1, 7, "APPL", "TEST", 1, 256);
  std::copy(bitmap.begin(), bitmap.end(), expected.begin() + 20);
  EXPECT_EQ(DesktopBytes(), expected);

  EXPECT_EQ(PayloadOf(GetIcon(client_, ref, "TEST", "APPL", 1, 1024)), bitmap);
  EXPECT_EQ(PayloadOf(GetIcon(client_, ref, "TEST", "APPL", 1, 100)), ByteVector(bitmap.begin(), bitmap.begin() + 100));
  const auto none = GetIcon(client_, ref, "TEST", "APPL", 1, 0);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->errorCode, 0);
  EXPECT_TRUE(none->payload.empty());
  EXPECT_EQ(ResultOf(GetIcon(client_, ref, "TEST", "APPL", 2, 100)), -5012);

  const auto info = GetIconInfo(ref, "TEST", 1);
  ASSERT_EQ(ResultOf(info), 0);
  EXPECT_EQ(info->payload, (ByteVector{0, 0, 0, 7, 'A', 'P', 'P', 'L', 1, 0, 1, 0}));
  EXPECT_EQ(ResultOf(GetIconInfo(ref, "TEST", 2)), -5012);
  EXPECT_EQ(ResultOf(GetIconInfo(ref, "TEST", 0)), -5012);  // type 0, icon type 0
  EXPECT_EQ(ResultOf(GetIconInfo(ref, "TEST", -1)), -5012);

  EXPECT_EQ(AddIcon(client_, ref, "TEST", "APPL", 1, 8, ByteVector(128, 0xAA)), -5030);
  EXPECT_EQ(PayloadOf(GetIcon(client_, ref, "TEST", "APPL", 1, 1024)), bitmap);
  const ByteVector other(256, 0x55);
  EXPECT_EQ(AddIcon(client_, ref, "TEST", "APPL", 1, 9, other), 0);
  EXPECT_EQ(PayloadOf(GetIcon(client_, ref, "TEST", "APPL", 1, 1024)), other);
  EXPECT_EQ(DesktopBytes().size(), kRecord);  // replaced in place
  // Another icon type of the same creator is an icon of its own.
  EXPECT_EQ(AddIcon(client_, ref, "TEST", "APPL", 2, 10, ByteVector(1028, 1)), 0);
  EXPECT_EQ(IconTag(ref, "TEST", 2), 10u);
  EXPECT_EQ(DesktopBytes().size(), 2 * kRecord);
}

TEST_F(DesktopWire, BadIconRequestsAreRefusedWithoutWriting) {
  const uint16_t ref = static_cast<uint16_t>(OpenDT(client_));
  struct Case {
    const char* what;
    size_t present;
    int32_t stated;
  };
  for (const Case& c : {Case{"negative size", 10, 0xFFFF}, Case{"beyond the record", 1029, 1029},
                        Case{"beyond the request", 100, 256}}) {
    EXPECT_EQ(AddIcon(client_, ref, "TEST", "ICN#", 1, 1, ByteVector(c.present, 7), c.stated), -5019) << c.what;
  }
  EXPECT_EQ(ResultOf(client_.Write(ByteVector{192, 0, 0, static_cast<uint8_t>(ref), 'T', 'E'}, {})), -5019);
  EXPECT_EQ(AddIcon(client_, 77, "TEST", "ICN#", 1, 1, ByteVector(4, 7)), -5019);  // reference not open
  EXPECT_EQ(DesktopBytes().size(), 0u);
  EXPECT_EQ(ResultOf(GetIconInfo(ref, "TEST", 1)), -5012);
}

TEST_F(DesktopWire, RecordsAreFoundBeyondTheFirstChunkAndAfterAPartialTail) {
  // 64 records no search matches, then an icon at offset 67072, then a cut
  // record whose visible bytes look like an icon of the same creator.
  ByteVector file;
  for (int i = 0; i < 64; ++i) {
    const ByteVector filler = Record(3, 0, "APPL", "TEST", 1, 0);
    file.insert(file.end(), filler.begin(), filler.end());
  }
  const ByteVector icon = Record(1, 42, "APPL", "TEST", 1, 4);
  file.insert(file.end(), icon.begin(), icon.end());
  const ByteVector tail = Record(1, 43, "ICN#", "TEST", 1, 4);
  file.insert(file.end(), tail.begin(), tail.begin() + 100);
  WriteDesktop(file);

  const uint16_t ref = static_cast<uint16_t>(OpenDT(client_));
  EXPECT_EQ(DesktopBytes().size(), file.size());  // an existing desktop is kept as it is
  EXPECT_EQ(IconTag(ref, "TEST", 1), 42u);
  EXPECT_EQ(ResultOf(GetIconInfo(ref, "TEST", 2)), -5012);  // the cut record is not read

  // The same icon again: replaced at offset 67072.
  ASSERT_EQ(AddIcon(client_, ref, "TEST", "APPL", 1, 44, ByteVector{1, 2, 3, 4}), 0);
  ByteVector now = DesktopBytes();
  ASSERT_EQ(now.size(), file.size());
  EXPECT_EQ(now[67072 + 4], 44);
  // A new icon goes after the last whole record, over the cut one, where
  // searches find it.
  ASSERT_EQ(AddIcon(client_, ref, "TEST", "ICN#", 1, 45, ByteVector{5, 6}), 0);
  now = DesktopBytes();
  EXPECT_EQ(now.size(), 66 * kRecord);
  EXPECT_EQ(now[65 * kRecord + 4], 45);
  EXPECT_EQ(IconTag(ref, "TEST", 2), 45u);
}

TEST_F(DesktopWire, OneMappingPerCreatorAndFreedRecordsAreReused) {
  const uint16_t ref = static_cast<uint16_t>(OpenDT(client_));
  ASSERT_EQ(AddAPPL(ref, "TEST", 5, "Apps:App1"), 0);
  ASSERT_EQ(AddAPPL(ref, "TEST", 6, "Apps:App2"), 0);
  EXPECT_EQ(DesktopBytes().size(), kRecord);  // the second replaced the first
  // On disk: kind 2, tag, no type, the creator and folder ID in host order,
  // the name as the server spells paths ("/" between elements).
  const ByteVector record = DesktopBytes();
  uint32_t stored = 0;
  std::memcpy(&stored, &record[12], 4);
  EXPECT_EQ(record[0], 2);
  EXPECT_EQ(stored, Code("TEST"));
  std::memcpy(&stored, &record[16], 4);
  EXPECT_EQ(stored, 2u);
  EXPECT_STREQ(reinterpret_cast<const char*>(&record[20]), "Apps/App2");

  for (int16_t index : {0, 1}) {
    const auto appl = GetAPPL(ref, "TEST", index, 0x0040);  // long name
    ASSERT_EQ(ResultOf(appl), 0) << index;
    ReplyReader reader(appl->payload);
    EXPECT_EQ(reader.Get16(), 0x0040);
    EXPECT_EQ(reader.Get32(), 6u);
    EXPECT_EQ(reader.Get16(), 2);  // the name follows the offset
    EXPECT_EQ(reader.GetPascal(), "App2");
  }
  EXPECT_EQ(ResultOf(GetAPPL(ref, "TEST", 2, 0x0040)), -5012);
  EXPECT_EQ(ResultOf(GetAPPL(ref, "NONE", 1, 0x0040)), -5012);

  // Mappings of two creators, the second removed: its record goes free and
  // the next mapping takes it instead of growing the file.
  ASSERT_EQ(AddAPPL(ref, "BBBB", 1, "Apps:App1"), 0);
  EXPECT_EQ(DesktopBytes().size(), 2 * kRecord);
  EXPECT_EQ(RemoveAPPL(ref, "NONE", "x"), -5012);
  EXPECT_EQ(RemoveAPPL(ref, "BBBB", "whatever"), 0);  // name and folder are not compared
  EXPECT_EQ(DesktopBytes()[kRecord], 0);
  EXPECT_EQ(DesktopBytes()[0], 2);
  EXPECT_EQ(ResultOf(GetAPPL(ref, "BBBB", 1, 0)), -5012);
  ASSERT_EQ(AddAPPL(ref, "CCCC", 3, "Apps:App1"), 0);
  EXPECT_EQ(DesktopBytes().size(), 2 * kRecord);
  EXPECT_EQ(DesktopBytes()[kRecord], 2);

  // A mapping whose application has gone, and unreadable paths.
  fs::remove(share_ / "Apps" / "App1");
  EXPECT_EQ(ResultOf(GetAPPL(ref, "CCCC", 1, 0x0040)), -5018);
  EXPECT_EQ(ResultOf(client_, RequestBuilder().Add8(53).Add8(0).Add16(ref).Add32(2).AddBytes("DDDD").Add32(1)
                                  .Add8(1).AddPascal("APP1").Bytes()), -5019);  // short name
  EXPECT_EQ(ResultOf(client_, RequestBuilder().Add8(54).Add8(0).Add16(ref).Add32(2).AddBytes("TEST")
                                  .Add8(9).AddPascal("x").Bytes()), -5019);
  EXPECT_EQ(ResultOf(GetAPPL(ref, "TEST", 1, 0)), 0);  // nothing removed
}

TEST_F(DesktopWire, DesktopIsSharedBetweenSessionsAndSurvivesARestart) {
  const uint16_t ref = static_cast<uint16_t>(OpenDT(client_));
  ASSERT_EQ(AddIcon(client_, ref, "KEEP", "APPL", 1, 3, ByteVector(32, 9)), 0);
  DsiClient second;
  Connect(second);
  const int32_t secondRef = OpenDT(second);
  ASSERT_EQ(secondRef, 1);  // references count per session
  EXPECT_EQ(PayloadOf(GetIcon(second, 1, "KEEP", "APPL", 1, 64)), ByteVector(32, 9));
  second.Close();
  client_.Close();

  server_->Signal(SIGTERM);
  ASSERT_EQ(server_->WaitForExit(), 0);
  ASSERT_TRUE(StartServer(server_, settings_));
  DsiClient third;
  Connect(third);
  ASSERT_EQ(OpenDT(third), 1);
  EXPECT_EQ(PayloadOf(GetIcon(third, 1, "KEEP", "APPL", 1, 64)), ByteVector(32, 9));
}

TEST_F(DesktopWire, CommentsAreKeptByTheObjectsThemselves) {
  const uint16_t ref = static_cast<uint16_t>(OpenDT(client_));
  EXPECT_EQ(ResultOf(GetComment(ref, "file")), -5012);
  EXPECT_EQ(RemoveComment(ref, "file"), -5019);

  const std::string longest(199, 'c');
  ASSERT_EQ(AddComment(ref, "file", longest), 0);
  char stored[256];
  EXPECT_EQ(getxattr((share_ / "file").c_str(), "user.Afp_Comment", stored, sizeof(stored)), 199);
  auto reply = GetComment(ref, "file");
  ASSERT_EQ(ResultOf(reply), 0);
  ReplyReader reader(reply->payload);
  EXPECT_EQ(reader.GetPascal(), longest);
  EXPECT_EQ(AddComment(ref, "file", std::string(200, 'x')), -5019);
  reply = GetComment(ref, "file");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->payload.size(), 200u);  // unchanged

  // Separators are stored exchanged, as in names, and read back as written.
  ASSERT_EQ(AddComment(ref, "Apps", "a/b:c"), 0);  // a folder (odd path: pad byte)
  const ssize_t length = getxattr((share_ / "Apps").c_str(), "user.Afp_Comment", stored, sizeof(stored));
  EXPECT_EQ(std::string(stored, static_cast<size_t>(std::max<ssize_t>(length, 0))), "a\x80" "b/c");
  reply = GetComment(ref, "Apps");
  ASSERT_TRUE(reply);
  ReplyReader folder(reply->payload);
  EXPECT_EQ(folder.GetPascal(), "a/b:c");

  EXPECT_EQ(RemoveComment(ref, "file"), 0);
  EXPECT_EQ(ResultOf(GetComment(ref, "file")), -5012);
  EXPECT_EQ(ResultOf(GetComment(ref, "missing")), -5018);
  EXPECT_EQ(AddComment(ref, "missing", "x"), -5018);
  EXPECT_EQ(ResultOf(client_, CommentRequest(58, ref, "FILE", 1).Bytes()), -5019);  // short name
  EXPECT_EQ(ResultOf(GetComment(99, "Apps")), -5019);
  EXPECT_EQ(ResultOf(client_, ByteVector{56, 0, 0, static_cast<uint8_t>(ref), 0, 0, 0, 2, 2, 4, 'f', 'i'}), -5019);

  // A guest without the write right of the shared folder cannot comment.
  fs::permissions(share_, fs::perms(0755));
  ASSERT_TRUE(AdminAllowGuests(true));
  DsiClient guest;
  ASSERT_TRUE(ConnectAsGuest(guest, server_->port()));
  ASSERT_EQ(ResultOf(guest, OpenVolRequest("Share", 0)), 0);
  const auto guestRef = static_cast<uint16_t>(OpenDT(guest));
  RequestBuilder refused = CommentRequest(56, guestRef, "file");
  refused.PadToEven().Add8(1).AddBytes("g");
  EXPECT_EQ(ResultOf(guest, refused.Bytes()), -5000);
  EXPECT_EQ(ResultOf(guest, CommentRequest(57, guestRef, "Apps").Bytes()), -5000);
  EXPECT_EQ(getxattr((share_ / "file").c_str(), "user.Afp_Comment", stored, sizeof(stored)), -1);

  // A share flagged read-only keeps its comments as they are.
  BMessage flags(FourCC("sflg"));
  flags.AddString("afp-string", share_.string());
  flags.AddInt32("afp-int32", 2);
  ASSERT_EQ(AdminCode(flags), FourCC("succ"));
  EXPECT_EQ(AddComment(ref, "Apps", "new"), -5031);
  EXPECT_EQ(RemoveComment(ref, "Apps"), -5031);
  reply = GetComment(ref, "Apps");
  ASSERT_TRUE(reply);
  ReplyReader kept(reply->payload);
  EXPECT_EQ(kept.GetPascal(), "a/b:c");
}

}  // namespace

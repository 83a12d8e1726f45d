// Opening, inspecting, resizing, flushing and closing forks over the wire,
// against a real server and real files: reference numbers and the fork
// table's limit, unknown references, bitmaps, access rights, the open-fork
// bits other sessions see, and where a resource fork is stored and when.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/client/afp_fork.h"
#include "tests/client/afp_login.h"
#include "tests/client/server_process.h"
#include "tests/client/temp_dir.h"
#include "tests/client/wire_fixture.h"

namespace {

using namespace afptest;
namespace fs = std::filesystem;

constexpr int32_t kShareReadOnlyFlag = 0x02;
constexpr uint16_t kAttrWriteInhibit = 0x0020;
constexpr char kResourceName[] = "user.Afp_Resource";

void WriteFile(const fs::path& path, const ByteVector& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                              static_cast<std::streamsize>(data.size()));
}

ByteVector ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return ByteVector(std::istreambuf_iterator<char>(in), {});
}

ByteVector Bytes(const std::string& text) { return ByteVector(text.begin(), text.end()); }

// A small resource fork straight from the extended attribute; nothing when
// the file has none.
std::optional<ByteVector> StoredResource(const fs::path& path) {
  const ssize_t size = getxattr(path.c_str(), kResourceName, nullptr, 0);
  if (size < 0) return std::nullopt;
  ByteVector value(static_cast<size_t>(size));
  if (size > 0 && getxattr(path.c_str(), kResourceName, value.data(), value.size()) != size) return std::nullopt;
  return value;
}

void SetStoredResource(const fs::path& path, const ByteVector& value) {
  ASSERT_EQ(setxattr(path.c_str(), kResourceName, value.data(), value.size(), 0), 0) << path;
}

// The attribute word as stored: little-endian.
void SetAttributes(const fs::path& path, uint16_t word) {
  const uint8_t value[2] = {static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8)};
  ASSERT_EQ(setxattr(path.c_str(), "user.Afp_Attributes", value, sizeof value, 0), 0);
}

// A share "Share" (mode 0777) holding "file" (1000 bytes), a read-only share
// "ReadOnly" holding "kept"; "boss" is an administrator, "ann" an ordinary
// user. The fixture's client is logged in as boss with both shares open.
class ForkLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_ = folders_.path() / "settings";
    share_ = folders_.path() / "Share";
    readOnlyShare_ = folders_.path() / "ReadOnly";
    for (const auto& folder : {settings_, share_, readOnlyShare_}) fs::create_directories(folder);
    fs::permissions(share_, fs::perms::all);
    WriteFile(share_ / "file", Pattern(1000));
    WriteFile(readOnlyShare_ / "kept", Bytes("kept"));
    ASSERT_TRUE(StartServer(server_, settings_));
    ASSERT_TRUE(AdminAddShare(share_));
    ASSERT_TRUE(AdminAddShare(readOnlyShare_, kShareReadOnlyFlag));
    ASSERT_TRUE(AdminAddUser("boss", "pw", 0x09));
    ASSERT_TRUE(AdminAddUser("ann", "pw", 0x01));
    ASSERT_NO_FATAL_FAILURE(Login(client_));
  }

  // Logs in (as guest when user is empty) and opens both shares.
  void Login(DsiClient& client, const std::string& user = "boss", const std::string& version = "AFP3.1") {
    ASSERT_TRUE(client.Connect(server_->port()));
    ASSERT_TRUE(client.OpenSession());
    const auto login =
        client.Command(user.empty() ? GuestLoginRequest(version) : CleartextLoginRequest(user, "pw", version));
    ASSERT_TRUE(login && login->errorCode == 0) << user;
    const auto share = OpenVolume(client, "Share");
    const auto readOnly = OpenVolume(client, "ReadOnly");
    ASSERT_TRUE(share && readOnly);
    volume_ = *share;
    readOnlyVolume_ = *readOnly;
  }

  OpenedFork Open(const std::string& path, uint8_t fork = kDataFork, uint16_t access = kAccessReadWrite,
                  uint16_t bitmap = 0, DsiClient* client = nullptr) {
    return OpenFork(client != nullptr ? *client : client_, fork, volume_, 2, path, access, bitmap);
  }

  // Opens and asserts success; the reference number.
  uint16_t MustOpen(const std::string& path, uint8_t fork = kDataFork, uint16_t access = kAccessReadWrite,
                    DsiClient* client = nullptr) {
    const OpenedFork opened = Open(path, fork, access, 0, client);
    EXPECT_EQ(opened.result, 0) << path;
    return opened.ref;
  }

  int32_t Send(const ByteVector& request, DsiClient* client = nullptr) {
    return ResultOf(client != nullptr ? *client : client_, request);
  }

  // The attribute word FPGetFileDirParms reports for a file of the share.
  uint16_t Attributes(DsiClient& client, const std::string& path) {
    const auto reply = client.Command(RequestBuilder().Add8(kFPGetFileDirParms).Add8(0).Add16(volume_).Add32(2)
                                          .Add16(kFileAttributes).Add16(0).Add8(3).AddUnicodeName(path).Bytes());
    if (!reply || reply->errorCode != 0 || reply->payload.size() != 8) return 0xFFFF;
    return LoadBe16(&reply->payload[6]);
  }

  // Writes the data in requests of at most 4096 bytes from offset 0.
  void WriteAll(uint16_t ref, const ByteVector& data, DsiClient* client = nullptr) {
    for (size_t offset = 0; offset < data.size(); offset += kQuantum) {
      const size_t count = std::min<size_t>(kQuantum, data.size() - offset);
      const Transfer written = WriteFork(client != nullptr ? *client : client_, ref, static_cast<int64_t>(offset),
                                         std::span(data).subspan(offset, count), true);
      ASSERT_EQ(written.result, 0) << "at " << offset;
      ASSERT_EQ(WritePosition(written), static_cast<int64_t>(offset + count));
    }
  }

  // Reads the whole fork in requests of 4096 bytes until the end.
  ByteVector ReadAll(uint16_t ref, DsiClient* client = nullptr) {
    ByteVector all;
    for (;;) {
      const Transfer read =
          ReadFork(client != nullptr ? *client : client_, ref, static_cast<int64_t>(all.size()), kQuantum, true);
      if (read.result == kFPEOFErr) break;
      EXPECT_EQ(read.result, 0) << "at " << all.size();
      if (read.result != 0) break;
      all.insert(all.end(), read.data.begin(), read.data.end());
    }
    return all;
  }

  // A resource fork of this size written in 4 KiB requests, closed, and read
  // back through a new open, from another session too.
  void RoundTripResourceFork(size_t size) {
    const ByteVector data = Pattern(size, 7);
    const uint16_t ref = MustOpen("file", kResourceFork);
    ASSERT_NO_FATAL_FAILURE(WriteAll(ref, data));
    ASSERT_EQ(Send(CloseForkRequest(ref)), 0);

    DsiClient other;
    ASSERT_NO_FATAL_FAILURE(Login(other));
    const OpenedFork reopened = Open("file", kResourceFork, kAccessRead, kFileExtResourceLength, &other);
    ASSERT_EQ(reopened.result, 0);
    ReplyReader length(reopened.parameters);
    EXPECT_EQ(length.Get32(), 0u);  // the extended resource length is 12 bytes
    EXPECT_EQ(length.Get64(), size);
    const ByteVector back = ReadAll(reopened.ref, &other);
    ASSERT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data) << "the resource fork came back with different bytes";
    EXPECT_EQ(ReadFile(share_ / "file"), Pattern(1000)) << "the data fork changed";
  }

  TempDir folders_;
  fs::path settings_, share_, readOnlyShare_;
  std::unique_ptr<ServerProcess> server_;
  DsiClient client_;
  uint16_t volume_ = 0, readOnlyVolume_ = 0;
};

TEST_F(ForkLifecycle, ReferenceNumbersCountUpAndTheTableHolds24Forks) {
  EXPECT_EQ(MustOpen("file"), 1);
  EXPECT_EQ(MustOpen("file", kResourceFork), 2);
  EXPECT_EQ(Send(CloseForkRequest(1)), 0);
  EXPECT_EQ(MustOpen("file"), 3);  // closed numbers are not given again
  EXPECT_EQ(Send(CloseForkRequest(1)), kFPIDNotFound);
  EXPECT_EQ(Send(CloseForkRequest(7)), kFPIDNotFound);

  std::vector<uint16_t> open = {2, 3};
  while (open.size() < 24) open.push_back(MustOpen("file", open.size() % 2 ? kDataFork : kResourceFork));
  EXPECT_EQ(Open("file").result, kFPTooManyFilesOpen);
  EXPECT_EQ(Open("file", kResourceFork).result, kFPTooManyFilesOpen);
  // Another session has its own table.
  DsiClient other;
  ASSERT_NO_FATAL_FAILURE(Login(other));
  EXPECT_EQ(Open("file", kDataFork, kAccessRead, 0, &other).ref, 1);

  EXPECT_EQ(Send(CloseForkRequest(open[10])), 0);
  const OpenedFork again = Open("file");
  EXPECT_EQ(again.result, 0);
  EXPECT_EQ(again.ref, open.back() + 1);
  EXPECT_EQ(Open("file").result, kFPTooManyFilesOpen);
}

TEST_F(ForkLifecycle, UnknownReferencesAreRefusedByEveryForkCommand) {
  const uint16_t closed = MustOpen("file");
  ASSERT_EQ(Send(CloseForkRequest(closed)), 0);
  const uint16_t live = MustOpen("file");  // a fork is open, just not these
  const ByteVector data = Bytes("data");
  for (const uint16_t ref : {closed, uint16_t{99}}) {
    SCOPED_TRACE("reference " + std::to_string(ref));
    EXPECT_EQ(Send(CloseForkRequest(ref)), kFPIDNotFound);
    EXPECT_EQ(Send(FlushForkRequest(ref)), kFPParamErr);
    EXPECT_EQ(Send(GetForkParmsRequest(ref, kFileDataLength)), kFPParamErr);
    EXPECT_EQ(Send(SetForkParmsRequest(ref, kFileDataLength, 0)), kFPParamErr);
    EXPECT_EQ(ReadFork(client_, ref, 0, 10).result, kFPParamErr);
    EXPECT_EQ(ReadFork(client_, ref, 0, 10, true).result, kFPParamErr);
    EXPECT_EQ(WriteFork(client_, ref, 0, data).result, kFPParamErr);
    EXPECT_EQ(WriteFork(client_, ref, 0, data, true).result, kFPParamErr);
    EXPECT_EQ(Send(LockRequest(ref, 0, 10)), kFPParamErr);
    EXPECT_EQ(Send(LockExtRequest(ref, 0, 10)), kFPParamErr);
  }
  EXPECT_EQ(ReadFile(share_ / "file"), Pattern(1000));
  EXPECT_EQ(Send(FlushForkRequest(live)), 0);
  EXPECT_EQ(Send(CloseForkRequest(live)), 0);
}

TEST_F(ForkLifecycle, OpenRepliesWithBitmapReferenceAndFileParameters) {
  SetStoredResource(share_ / "file", Pattern(300, 3));
  const uint16_t bitmap = kFileAttributes | kFileDataLength | kFileResourceLength;
  const OpenedFork data = Open("file", kDataFork, kAccessRead, bitmap);
  ASSERT_EQ(data.result, 0);
  EXPECT_EQ(data.bitmap, bitmap);
  ReplyReader parms(data.parameters);
  EXPECT_EQ(parms.Get16() & (kAttrDataOpen | kAttrResourceOpen), kAttrDataOpen);
  EXPECT_EQ(parms.Get32(), 1000u);
  EXPECT_EQ(parms.Get32(), 300u);
  EXPECT_EQ(parms.remaining(), 0u);

  const OpenedFork resource = Open("file", kResourceFork, kAccessRead, kFileAttributes | kFileExtResourceLength);
  ASSERT_EQ(resource.result, 0);
  ReplyReader resourceParms(resource.parameters);
  EXPECT_EQ(resourceParms.Get16() & (kAttrDataOpen | kAttrResourceOpen), kAttrDataOpen | kAttrResourceOpen);
  EXPECT_EQ(resourceParms.Get32(), 0u);
  EXPECT_EQ(resourceParms.Get64(), 300u);
  EXPECT_EQ(resourceParms.remaining(), 0u);

  const auto extended = client_.Command(GetForkParmsRequest(data.ref, kFileExtDataLength));
  ASSERT_TRUE(extended);
  EXPECT_EQ(extended->errorCode, 0);
  EXPECT_EQ(extended->payload, (ByteVector{0x08, 0x00, 0, 0, 0, 0, 0, 0, 0x03, 0xE8}));
}

TEST_F(ForkLifecycle, LengthBitOfTheOtherForkIsABitmapError) {
  const uint16_t data = MustOpen("file");
  const uint16_t resource = MustOpen("file", kResourceFork);
  const struct {
    const char* what;
    uint16_t ref;
    bool set;
    uint16_t bitmap;
    int32_t result;
  } cases[] = {
      {"get data length of a resource fork", resource, false, kFileDataLength, kFPBitmapErr},
      {"get resource length of a data fork", data, false, kFileResourceLength, kFPBitmapErr},
      {"get extended data length of a resource fork", resource, false, kFileExtDataLength, 0},
      {"get extended resource length of a data fork", data, false, kFileExtResourceLength, 0},
      {"set data length of a resource fork", resource, true, kFileDataLength, kFPBitmapErr},
      {"set extended data length of a resource fork", resource, true, kFileExtDataLength, kFPBitmapErr},
      {"set resource length of a data fork", data, true, kFileResourceLength, kFPBitmapErr},
      {"set extended resource length of a data fork", data, true, kFileExtResourceLength, kFPBitmapErr},
      {"set with no length bit", data, true, kFileAttributes, 0},
  };
  for (const auto& c : cases) {
    const ByteVector request = c.set ? SetForkParmsRequest(c.ref, c.bitmap, 10) : GetForkParmsRequest(c.ref, c.bitmap);
    EXPECT_EQ(Send(request), c.result) << c.what;
  }
  EXPECT_EQ(Send(CloseForkRequest(resource)), 0);
  EXPECT_EQ(ReadFile(share_ / "file"), Pattern(1000));
  EXPECT_FALSE(StoredResource(share_ / "file"));
}

TEST_F(ForkLifecycle, AFP22SessionsGetNoNameBits) {
  DsiClient old;
  ASSERT_NO_FATAL_FAILURE(Login(old, "boss", "AFP2.2"));
  const auto opened = old.Command(OpenForkRequest(kDataFork, volume_, 2, kFileUTF8Name | kFileShortName,
                                                  kAccessRead, "file"));
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->errorCode, 0);
  ASSERT_EQ(opened->payload.size(), 4u) << HexDump(opened->payload);  // bitmap 0, the reference, no fields
  EXPECT_EQ(LoadBe16(&opened->payload[0]), 0);
  const uint16_t ref = LoadBe16(&opened->payload[2]);
  const auto parms = old.Command(GetForkParmsRequest(ref, kFileUTF8Name | kFileDataLength));
  ASSERT_TRUE(parms);
  EXPECT_EQ(parms->errorCode, 0);
  EXPECT_EQ(parms->payload, (ByteVector{0x02, 0x00, 0, 0, 0x03, 0xE8}));
}

TEST_F(ForkLifecycle, OpenForkErrors) {
  SetAttributes(share_ / "file", kAttrWriteInhibit);
  WriteFile(share_ / "plain", Bytes("plain"));
  const auto withPathType = [&](uint8_t type, const std::string& path) {
    return RequestBuilder().Add8(kFPOpenFork).Add8(0).Add16(volume_).Add32(2).Add16(0).Add16(kAccessRead)
        .Add8(type).AddPascal(path).Bytes();
  };
  const struct {
    const char* what;
    ByteVector request;
    int32_t result;
  } cases[] = {
      {"a volume that is not open", OpenForkRequest(kDataFork, 999, 2, 0, kAccessRead, "plain"), kFPParamErr},
      {"a short name", withPathType(1, "PLAIN"), kFPCallNotSupported},
      {"an unknown path type", withPathType(4, "plain"), kFPParamErr},
      {"an empty path", OpenForkRequest(kDataFork, volume_, 2, 0, kAccessRead, ""), kFPParamErr},
      {"a missing file", OpenForkRequest(kDataFork, volume_, 2, 0, kAccessRead, "missing"), kFPObjectNotFound},
      {"a request cut short", RequestBuilder().Add8(kFPOpenFork).Add8(0).Add16(volume_).Bytes(), kFPParamErr},
      {"writing a write-inhibited file", OpenForkRequest(kDataFork, volume_, 2, 0, kAccessWrite, "file"),
       kFPObjectLocked},
      {"writing the resource fork of a write-inhibited file",
       OpenForkRequest(kResourceFork, volume_, 2, 0, kAccessReadWrite, "file"), kFPObjectLocked},
      {"writing on a read-only share", OpenForkRequest(kDataFork, readOnlyVolume_, 2, 0, kAccessWrite, "kept"),
       kFPVolLocked},
      {"writing a resource fork on a read-only share",
       OpenForkRequest(kResourceFork, readOnlyVolume_, 2, 0, kAccessReadWrite, "kept"), kFPVolLocked},
      {"reading a write-inhibited file", OpenForkRequest(kDataFork, volume_, 2, 0, kAccessRead, "file"), 0},
      {"reading on a read-only share", OpenForkRequest(kResourceFork, readOnlyVolume_, 2, 0, kAccessRead, "kept"), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(Send(c.request), c.result) << c.what;
}

TEST_F(ForkLifecycle, OpeningFollowsTheRightsOfTheFilesFolder) {
  // Guests count as others: "public" lets them read, "drop" lets them write.
  for (const auto& [folder, mode] : {std::pair{"public", fs::perms(0755)}, std::pair{"drop", fs::perms(0733)}}) {
    fs::create_directories(share_ / folder);
    WriteFile(share_ / folder / "f", Bytes("original"));
    fs::permissions(share_ / folder, mode);
  }
  ASSERT_TRUE(AdminAllowGuests(true));
  DsiClient guest, ann;
  ASSERT_NO_FATAL_FAILURE(Login(guest, ""));
  ASSERT_NO_FATAL_FAILURE(Login(ann, "ann"));
  const struct {
    DsiClient* client;
    const char* who;
    const char* path;
    uint8_t fork;
    uint16_t access;
    int32_t result;
  } cases[] = {
      {&guest, "guest", "public:f", kDataFork, kAccessRead, 0},
      {&guest, "guest", "public:f", kDataFork, kAccessWrite, kFPAccessDenied},
      {&guest, "guest", "public:f", kDataFork, kAccessReadWrite, kFPAccessDenied},
      {&guest, "guest", "public:f", kResourceFork, kAccessReadWrite, kFPAccessDenied},
      {&guest, "guest", "drop:f", kDataFork, kAccessWrite, 0},
      {&guest, "guest", "drop:f", kDataFork, kAccessRead, kFPAccessDenied},
      {&guest, "guest", "drop:f", kResourceFork, kAccessRead, kFPAccessDenied},
      {&guest, "guest", "drop:f", kDataFork, kAccessReadWrite, kFPAccessDenied},
      {&ann, "ann", "public:f", kDataFork, kAccessWrite, kFPAccessDenied},
      {&ann, "ann", "public:f", kResourceFork, kAccessRead, 0},
      {&client_, "boss", "public:f", kDataFork, kAccessReadWrite, 0},  // administrators keep every right
      {&client_, "boss", "drop:f", kResourceFork, kAccessReadWrite, 0},
  };
  for (const auto& c : cases) {
    const OpenedFork opened = Open(c.path, c.fork, c.access, 0, c.client);
    EXPECT_EQ(opened.result, c.result) << c.who << " opening " << c.path << (c.fork ? " resource" : " data")
                                       << " with access " << c.access;
    if (opened.result == 0) {
      EXPECT_EQ(Send(CloseForkRequest(opened.ref), c.client), 0);
    }
  }
  EXPECT_EQ(ReadFile(share_ / "public" / "f"), Bytes("original"));
}

TEST_F(ForkLifecycle, OtherSessionsSeeWhichForksAreOpen) {
  DsiClient observer;
  ASSERT_NO_FATAL_FAILURE(Login(observer, "ann"));
  EXPECT_EQ(Attributes(observer, "file") & (kAttrDataOpen | kAttrResourceOpen), 0);
  const uint16_t resource = MustOpen("file", kResourceFork, kAccessRead);
  EXPECT_EQ(Attributes(observer, "file") & (kAttrDataOpen | kAttrResourceOpen), kAttrResourceOpen);
  const uint16_t data = MustOpen("file", kDataFork, kAccessRead);
  EXPECT_EQ(Attributes(observer, "file") & (kAttrDataOpen | kAttrResourceOpen), kAttrDataOpen | kAttrResourceOpen);
  EXPECT_EQ(Send(CloseForkRequest(resource)), 0);
  EXPECT_EQ(Attributes(observer, "file") & (kAttrDataOpen | kAttrResourceOpen), kAttrDataOpen);
  ASSERT_NE(data, 0);
  // A session that ends closes its forks.
  client_.Abort();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((Attributes(observer, "file") & kAttrDataOpen) != 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(Attributes(observer, "file") & (kAttrDataOpen | kAttrResourceOpen), 0);
}

TEST_F(ForkLifecycle, DataForkLengthIsSetThroughEitherWidth) {
  const uint16_t ref = MustOpen("file");
  EXPECT_EQ(Send(SetForkParmsRequest(ref, kFileExtDataLength, 5000)), 0);
  EXPECT_EQ(fs::file_size(share_ / "file"), 5000u);
  const auto parms = client_.Command(GetForkParmsRequest(ref, kFileDataLength));
  ASSERT_TRUE(parms);
  EXPECT_EQ(parms->payload, (ByteVector{0x02, 0x00, 0, 0, 0x13, 0x88}));
  EXPECT_EQ(Send(SetForkParmsRequest(ref, kFileDataLength, 10)), 0);
  ByteVector expected = Pattern(1000);
  expected.resize(10);
  EXPECT_EQ(ReadFile(share_ / "file"), expected);
}

TEST_F(ForkLifecycle, ResourceForkOfOneMebibyteRoundTrips) { RoundTripResourceFork(1u << 20); }

TEST_F(ForkLifecycle, ResourceForkOfSixteenMebibytesRoundTrips) { RoundTripResourceFork(16u << 20); }

TEST_F(ForkLifecycle, ResourceForkIsStoredOnFlushAndCloseOnlyWhenChanged) {
  const fs::path file = share_ / "file";
  // Opened, flushed and closed without a write: no attribute appears.
  uint16_t ref = MustOpen("file", kResourceFork);
  EXPECT_EQ(Send(FlushForkRequest(ref)), 0);
  EXPECT_EQ(Send(CloseForkRequest(ref)), 0);
  EXPECT_FALSE(StoredResource(file));

  ref = MustOpen("file", kResourceFork);
  ASSERT_EQ(WriteFork(client_, ref, 0, Bytes("hello")).result, 0);
  EXPECT_FALSE(StoredResource(file)) << "written before a flush";
  EXPECT_EQ(Send(FlushForkRequest(ref)), 0);
  EXPECT_EQ(StoredResource(file), Bytes("hello"));
  ASSERT_EQ(WriteFork(client_, ref, 5, Bytes(" world")).result, 0);
  EXPECT_EQ(StoredResource(file), Bytes("hello"));
  EXPECT_EQ(Send(CloseForkRequest(ref)), 0);
  EXPECT_EQ(StoredResource(file), Bytes("hello world"));

  // A write replaces the attribute with the whole new contents.
  ref = MustOpen("file", kResourceFork);
  ASSERT_EQ(WriteFork(client_, ref, 0, Bytes("J")).result, 0);
  EXPECT_EQ(Send(CloseForkRequest(ref)), 0);
  EXPECT_EQ(StoredResource(file), Bytes("Jello world"));
  EXPECT_EQ(ReadFile(file), Pattern(1000));
}

TEST_F(ForkLifecycle, ResizingAResourceForkStoresItAtOnce) {
  const fs::path file = share_ / "file";
  const ByteVector data = Pattern(100, 5);
  const uint16_t ref = MustOpen("file", kResourceFork);
  ASSERT_EQ(WriteFork(client_, ref, 0, data).result, 0);
  EXPECT_EQ(Send(SetForkParmsRequest(ref, kFileResourceLength, 40)), 0);
  EXPECT_EQ(StoredResource(file), ByteVector(data.begin(), data.begin() + 40));
  EXPECT_EQ(Send(SetForkParmsRequest(ref, kFileExtResourceLength, 64)), 0);
  ByteVector grown(data.begin(), data.begin() + 40);
  grown.resize(64, 0);
  EXPECT_EQ(StoredResource(file), grown);
  EXPECT_EQ(ReadFork(client_, ref, 0, 100).data, grown);
  EXPECT_EQ(Send(SetForkParmsRequest(ref, kFileResourceLength, 0)), 0);
  EXPECT_EQ(StoredResource(file), ByteVector{}) << "an empty attribute is kept";
  EXPECT_EQ(Send(CloseForkRequest(ref)), 0);
  EXPECT_EQ(StoredResource(file), ByteVector{});
  EXPECT_EQ(ReadFile(file), Pattern(1000));
}

TEST_F(ForkLifecycle, ChangedResourceForkIsStoredWhenTheClientVanishes) {
  const struct {
    const char* how;
    std::function<void(DsiClient&)> drop;
  } cases[] = {
      {"closing the socket", [](DsiClient& client) { client.Close(); }},
      {"resetting the connection", [](DsiClient& client) { client.Abort(); }},
      {"closing the DSI session", [](DsiClient& client) { client.CloseSession(); }},
  };
  uint32_t seed = 20;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    // Larger than an ext4 attribute block, so the value travels through the
    // overflow store too.
    const ByteVector data = Pattern(10000, ++seed);
    DsiClient writer;
    ASSERT_NO_FATAL_FAILURE(Login(writer));
    const uint16_t ref = MustOpen("file", kResourceFork, kAccessReadWrite, &writer);
    ASSERT_NO_FATAL_FAILURE(WriteAll(ref, data, &writer));
    c.drop(writer);

    // The session ends on the server's own time; look until it has.
    ByteVector stored;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
      const uint16_t reader = MustOpen("file", kResourceFork, kAccessRead);
      stored = ReadAll(reader);
      EXPECT_EQ(Send(CloseForkRequest(reader)), 0);
      if (stored == data) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    EXPECT_TRUE(stored == data) << "read back " << stored.size() << " bytes";
  }
}

}  // namespace

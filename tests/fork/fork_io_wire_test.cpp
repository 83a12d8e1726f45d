// Reading and writing forks over the wire, against a real server and real
// files: the read limit and the end of a fork, access modes, where writes
// land (end-relative, past the end, beyond 4 GiB), writes that claim more
// data than they carry, sessions sharing a fork, per-open resource copies,
// and transfers refused by byte-range locks.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
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
constexpr char kResourceName[] = "user.Afp_Resource";
constexpr int64_t kGiB = int64_t{1} << 30;

void WriteFile(const fs::path& path, const ByteVector& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                              static_cast<std::streamsize>(data.size()));
}

ByteVector ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return ByteVector(std::istreambuf_iterator<char>(in), {});
}

// count bytes of the file at offset, read directly.
ByteVector ReadAt(const fs::path& path, int64_t offset, size_t count) {
  ByteVector bytes(count);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd < 0 ? -1 : pread(fd, bytes.data(), count, offset);
  if (fd >= 0) ::close(fd);
  bytes.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return bytes;
}

ByteVector Bytes(const std::string& text) { return ByteVector(text.begin(), text.end()); }

ByteVector Slice(const ByteVector& bytes, size_t offset, size_t count) {
  return ByteVector(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                    bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

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

// A share "Share" (mode 0777) and a read-only share "ReadOnly"; "boss" is an
// administrator. The fixture's client is logged in as boss with both open.
class ForkIO : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_ = folders_.path() / "settings";
    share_ = folders_.path() / "Share";
    readOnlyShare_ = folders_.path() / "ReadOnly";
    for (const auto& folder : {settings_, share_, readOnlyShare_}) fs::create_directories(folder);
    fs::permissions(share_, fs::perms::all);
    ASSERT_TRUE(StartServer(server_, settings_));
    ASSERT_TRUE(AdminAddShare(share_));
    ASSERT_TRUE(AdminAddShare(readOnlyShare_, kShareReadOnlyFlag));
    ASSERT_TRUE(AdminAddUser("boss", "pw", 0x09));
    ASSERT_NO_FATAL_FAILURE(Login(client_));
  }

  // Logs in (as guest when user is empty) and opens both shares.
  void Login(DsiClient& client, const std::string& user = "boss") {
    std::string why;
    if (user.empty()) {
      ASSERT_TRUE(AdminAllowGuests(true));
      ASSERT_TRUE(ConnectAsGuest(client, server_->port(), &why)) << why;
    } else {
      ASSERT_TRUE(ConnectAndLogin(client, server_->port(), user, "pw", &why)) << why;
    }
    const auto share = OpenVolume(client, "Share");
    const auto readOnly = OpenVolume(client, "ReadOnly");
    ASSERT_TRUE(share && readOnly);
    volume_ = *share;
    readOnlyVolume_ = *readOnly;
  }

  // Opens a fork of a file of the share and asserts success.
  uint16_t Open(const std::string& path, uint8_t fork = kDataFork, uint16_t access = kAccessReadWrite,
                DsiClient* client = nullptr, uint16_t volume = 0) {
    const OpenedFork opened =
        OpenFork(client != nullptr ? *client : client_, fork, volume != 0 ? volume : volume_, 2, path, access);
    EXPECT_EQ(opened.result, 0) << path;
    return opened.ref;
  }

  int32_t Send(const ByteVector& request, DsiClient* client = nullptr) {
    return ResultOf(client != nullptr ? *client : client_, request);
  }

  TempDir folders_;
  fs::path settings_, share_, readOnlyShare_;
  std::unique_ptr<ServerProcess> server_;
  DsiClient client_;
  uint16_t volume_ = 0, readOnlyVolume_ = 0;
};

TEST_F(ForkIO, ReadsStopAtTheLimitAndTheEndOfTheFork) {
  const ByteVector content = Pattern(10000);
  WriteFile(share_ / "file", content);
  const uint16_t data = Open("file", kDataFork, kAccessRead);
  const uint16_t resource = Open("file", kResourceFork);
  for (size_t offset = 0; offset < content.size(); offset += kQuantum) {
    const size_t count = std::min<size_t>(kQuantum, content.size() - offset);
    ASSERT_EQ(WriteFork(client_, resource, static_cast<int64_t>(offset), Slice(content, offset, count)).result, 0);
  }
  const struct {
    int64_t offset;
    uint32_t count;
    int32_t result;
    size_t returned;
  } cases[] = {
      {0, 100, 0, 100},
      {9960, 100, 0, 40},           // fewer bytes than asked, still success
      {10000, 10, kFPEOFErr, 0},    // at the end
      {20000, 10, kFPEOFErr, 0},    // past the end
      {0, 10000, 0, kQuantum},      // lowered to the quantum
      {1, 0xFFFFFFFFu, 0, kQuantum},
      {-1, 10, kFPParamErr, 0},     // no position before the start
  };
  for (const uint16_t ref : {data, resource}) {
    for (const bool ext : {false, true}) {
      for (const auto& c : cases) {
        SCOPED_TRACE(std::string(ref == data ? "data" : "resource") + (ext ? " FPReadExt" : " FPRead") +
                     " offset " + std::to_string(c.offset) + " count " + std::to_string(c.count));
        const Transfer read = ReadFork(client_, ref, c.offset, c.count, ext);
        EXPECT_EQ(read.result, c.result);
        ASSERT_EQ(read.data.size(), c.returned);
        if (c.returned > 0) {
          EXPECT_EQ(read.data, Slice(content, static_cast<size_t>(c.offset), c.returned));
        }
      }
    }
  }
  // Real clients leave out FPRead's newline mask and character.
  const auto shortRead = client_.Command(RequestBuilder().Add8(kFPRead).Add8(0).Add16(data).Add32(0).Add32(8).Bytes());
  ASSERT_TRUE(shortRead);
  EXPECT_EQ(shortRead->errorCode, 0);
  EXPECT_EQ(shortRead->payload, Slice(content, 0, 8));
}

TEST_F(ForkIO, AccessModeDecidesWhatADataForkAllows) {
  WriteFile(share_ / "file", Bytes("0123456789"));
  const uint16_t writeOnly = Open("file", kDataFork, kAccessWrite);
  const uint16_t readOnly = Open("file", kDataFork, kAccessRead);
  EXPECT_EQ(ReadFork(client_, writeOnly, 0, 10).result, kFPAccessDenied);
  EXPECT_EQ(ReadFork(client_, writeOnly, 0, 10, true).result, kFPAccessDenied);
  EXPECT_EQ(WriteFork(client_, readOnly, 0, Bytes("xx")).result, kFPParamErr);
  EXPECT_EQ(WriteFork(client_, readOnly, 0, Bytes("xx"), true).result, kFPParamErr);
  EXPECT_NE(Send(SetForkParmsRequest(readOnly, kFileExtDataLength, 0)), 0) << "a read-only fork was truncated";
  EXPECT_EQ(ReadFile(share_ / "file"), Bytes("0123456789"));
  EXPECT_EQ(WriteFork(client_, writeOnly, 0, Bytes("ab")).result, 0);
  EXPECT_EQ(ReadFork(client_, readOnly, 0, 10).data, Bytes("ab23456789"));
}

// Reading a resource fork needs only read access; whatever mode it was
// opened in, it must not become a way to change a file the session may not
// change.
TEST_F(ForkIO, ResourceForkOpenedForReadingCannotChangeAProtectedFile) {
  WriteFile(readOnlyShare_ / "kept", Bytes("data"));
  SetStoredResource(readOnlyShare_ / "kept", Bytes("resource"));
  fs::create_directories(share_ / "public");
  WriteFile(share_ / "public" / "kept", Bytes("data"));
  SetStoredResource(share_ / "public" / "kept", Bytes("resource"));
  fs::permissions(share_ / "public", fs::perms(0755));
  DsiClient guest;
  ASSERT_NO_FATAL_FAILURE(Login(guest, ""));
  const struct {
    const char* what;
    DsiClient* client;
    uint16_t volume;
    std::string path;
    fs::path onDisk;
  } cases[] = {
      {"on a read-only share", &client_, readOnlyVolume_, "kept", readOnlyShare_ / "kept"},
      {"by a guest without the folder's write right", &guest, volume_, "public:kept", share_ / "public" / "kept"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const uint16_t ref = Open(c.path, kResourceFork, kAccessRead, c.client, c.volume);
    ASSERT_NE(ref, 0);
    EXPECT_EQ(ReadFork(*c.client, ref, 0, 100).data, Bytes("resource"));
    EXPECT_NE(WriteFork(*c.client, ref, 0, Bytes("CHANGED")).result, 0);
    EXPECT_NE(Send(SetForkParmsRequest(ref, kFileResourceLength, 0), c.client), 0);
    EXPECT_EQ(Send(CloseForkRequest(ref), c.client), 0);
    EXPECT_EQ(StoredResource(c.onDisk), Bytes("resource"));
  }
}

TEST_F(ForkIO, WritesLandWhereAskedAndReplyWithTheNewPosition) {
  const ByteVector original = Pattern(1000);
  const struct {
    const char* what;
    bool ext;
    uint8_t flag;
    int64_t offset;
    std::string data;
    int64_t position;  // the reply, and where the data lands is position - size
    size_t size;       // of the fork afterwards
  } cases[] = {
      {"inside", false, 0, 10, "abc", 13, 1000},
      {"inside, 64-bit", true, 0, 10, "abc", 13, 1000},
      {"appended from the end", false, kFromEnd, 0, "xyz", 1003, 1003},
      {"appended from the end, 64-bit", true, kFromEnd, 0, "xyz", 1003, 1003},
      {"back from the end", false, kFromEnd, -3, "END", 1000, 1000},
      {"past the end", true, 0, 2000, "far", 2003, 2003},
  };
  int row = 0;
  for (const uint8_t fork : {kDataFork, kResourceFork}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (fork ? " (resource fork)" : " (data fork)"));
      const std::string name = "file" + std::to_string(++row);
      WriteFile(share_ / name, original);
      if (fork == kResourceFork) SetStoredResource(share_ / name, original);
      const uint16_t ref = Open(name, fork);
      const Transfer written = WriteFork(client_, ref, c.offset, Bytes(c.data), c.ext, c.flag);
      EXPECT_EQ(written.result, 0);
      EXPECT_EQ(written.data.size(), c.ext ? 8u : 4u);
      EXPECT_EQ(WritePosition(written), c.position);

      ByteVector expected = original;
      expected.resize(c.size, 0);
      std::copy(c.data.begin(), c.data.end(), expected.begin() + (c.position - static_cast<int64_t>(c.data.size())));
      const Transfer back = ReadFork(client_, ref, 0, kQuantum);
      EXPECT_EQ(back.data, expected) << "read back through the fork";
      EXPECT_EQ(Send(CloseForkRequest(ref)), 0);
      if (fork == kDataFork) {
        EXPECT_EQ(ReadFile(share_ / name), expected);
      } else {
        EXPECT_EQ(StoredResource(share_ / name), expected);
        EXPECT_EQ(ReadFile(share_ / name), original);
      }
    }
  }
}

TEST_F(ForkIO, WritesBeyond4GiB) {
  WriteFile(share_ / "big", {});
  const uint16_t ref = Open("big");
  const int64_t offset = 5 * kGiB + 7;
  const ByteVector data = Pattern(100, 9);
  const Transfer far = WriteFork(client_, ref, offset, data, true);
  EXPECT_EQ(far.result, 0);
  ASSERT_EQ(far.data.size(), 8u);
  EXPECT_EQ(WritePosition(far), offset + 100);
  EXPECT_EQ(fs::file_size(share_ / "big"), static_cast<uintmax_t>(offset + 100));
  EXPECT_EQ(ReadAt(share_ / "big", offset, 100), data);
  EXPECT_EQ(ReadFork(client_, ref, offset, 100, true).data, data);

  // FPWrite's reply carries only the low 32 bits of the position.
  const Transfer appended = WriteFork(client_, ref, 0, Bytes("tail"), false, kFromEnd);
  EXPECT_EQ(appended.result, 0);
  ASSERT_EQ(appended.data.size(), 4u);
  EXPECT_EQ(WritePosition(appended), (offset + 104) & 0xFFFFFFFF);
  EXPECT_EQ(ReadAt(share_ / "big", offset + 100, 4), Bytes("tail"));

  const auto lengths = client_.Command(GetForkParmsRequest(ref, kFileDataLength | kFileExtDataLength));
  ASSERT_TRUE(lengths);
  ReplyReader reader(lengths->payload);
  reader.Skip(2);
  EXPECT_EQ(reader.Get32(), 0xFFFFFFFFu);
  EXPECT_EQ(reader.Get64(), static_cast<uint64_t>(offset + 104));
}

// Offsets and lengths near the 64-bit limits are refused, never wrapped
// into a write or a lock somewhere else.
TEST_F(ForkIO, OffsetsAtThe64BitLimitAreRefused) {
  const ByteVector original = Pattern(10);
  WriteFile(share_ / "file", original);
  const uint16_t data = Open("file");
  const uint16_t resource = Open("file", kResourceFork);
  constexpr int64_t kMax = INT64_MAX;
  EXPECT_EQ(WriteFork(client_, resource, kMax - 10, Pattern(20), true).result, -5008);
  EXPECT_EQ(WriteFork(client_, resource, kMax, Pattern(1), true, kFromEnd).result, -5008);
  EXPECT_EQ(WriteFork(client_, data, kMax, Pattern(1), true, kFromEnd).result, -5019);  // 10 + max
  EXPECT_EQ(WriteFork(client_, data, kMax - 10, Pattern(20), true).result, -5014);
  EXPECT_EQ(ResultOf(client_, LockExtRequest(data, kMax, kMax)), 0);
  EXPECT_EQ(ResultOf(client_, LockExtRequest(data, kMax, kMax, kUnlock)), 0);
  EXPECT_EQ(ReadFork(client_, data, 0, 100, true).data, original);
}

TEST_F(ForkIO, WriteClaimingMoreDataThanItCarriesChangesNothing) {
  const ByteVector original = Pattern(1000);
  WriteFile(share_ / "file", original);
  const uint16_t data = Open("file");
  const uint16_t resource = Open("file", kResourceFork);
  const ByteVector fifty(50, 'x');
  for (const uint16_t ref : {data, resource}) {
    SCOPED_TRACE(ref == data ? "data fork" : "resource fork");
    const struct {
      const char* what;
      ByteVector header;
      ByteVector payload;
    } cases[] = {
        {"FPWrite of 100 with 50 bytes", WriteHeader(ref, 990, 100), fifty},
        {"FPWriteExt of 100 with 50 bytes", WriteExtHeader(ref, 990, 100), fifty},
        {"FPWrite from the end", WriteHeader(ref, 0, 100, kFromEnd), fifty},
        {"FPWriteExt cut short in its count", Slice(WriteExtHeader(ref, 0, 10), 0, 14), {}},
    };
    for (const auto& c : cases) {
      const auto reply = client_.Write(c.header, c.payload);
      ASSERT_TRUE(reply) << c.what;
      EXPECT_EQ(reply->errorCode, kFPParamErr) << c.what;
    }
  }
  EXPECT_EQ(ReadFork(client_, resource, 0, 10).result, kFPEOFErr);
  EXPECT_EQ(Send(CloseForkRequest(resource)), 0);
  EXPECT_FALSE(StoredResource(share_ / "file"));
  EXPECT_EQ(ReadFile(share_ / "file"), original);
}

TEST_F(ForkIO, SessionsSharingADataForkSeeEachOthersWrites) {
  WriteFile(share_ / "file", Bytes("------"));
  DsiClient other;
  ASSERT_NO_FATAL_FAILURE(Login(other));
  const uint16_t mine = Open("file");
  const uint16_t theirs = Open("file", kDataFork, kAccessReadWrite, &other);
  EXPECT_EQ(WriteFork(client_, mine, 0, Bytes("AAAA")).result, 0);
  EXPECT_EQ(WriteFork(other, theirs, 2, Bytes("BBBB")).result, 0);
  EXPECT_EQ(ReadFork(client_, mine, 0, 100).data, Bytes("AABBBB"));
  EXPECT_EQ(ReadFork(other, theirs, 0, 100).data, Bytes("AABBBB"));
  EXPECT_EQ(ReadFile(share_ / "file"), Bytes("AABBBB"));
}

TEST_F(ForkIO, EveryOpenOfAResourceForkWorksOnItsOwnCopy) {
  WriteFile(share_ / "file", {});
  SetStoredResource(share_ / "file", Bytes("old-bytes"));
  DsiClient other;
  ASSERT_NO_FATAL_FAILURE(Login(other));
  const uint16_t writer = Open("file", kResourceFork);
  const uint16_t reader = Open("file", kResourceFork, kAccessReadWrite, &other);
  EXPECT_EQ(WriteFork(client_, writer, 0, Bytes("NEW")).result, 0);
  EXPECT_EQ(ReadFork(client_, writer, 0, 100).data, Bytes("NEW-bytes"));
  EXPECT_EQ(ReadFork(other, reader, 0, 100).data, Bytes("old-bytes"));
  EXPECT_EQ(Send(CloseForkRequest(writer)), 0);
  EXPECT_EQ(StoredResource(share_ / "file"), Bytes("NEW-bytes"));
  EXPECT_EQ(ReadFork(other, reader, 0, 100).data, Bytes("old-bytes"));
  // Closing an unchanged copy does not put the old bytes back.
  EXPECT_EQ(Send(CloseForkRequest(reader), &other), 0);
  EXPECT_EQ(StoredResource(share_ / "file"), Bytes("NEW-bytes"));
  const uint16_t again = Open("file", kResourceFork, kAccessRead, &other);
  EXPECT_EQ(ReadFork(other, again, 0, 100).data, Bytes("NEW-bytes"));
}

TEST_F(ForkIO, TransfersOverlappingALockAreRefused) {
  const ByteVector original = Pattern(10000);
  WriteFile(share_ / "file", original);
  DsiClient other;
  ASSERT_NO_FATAL_FAILURE(Login(other));
  const uint16_t locker = Open("file");
  const uint16_t theirs = Open("file", kDataFork, kAccessReadWrite, &other);
  ASSERT_EQ(Send(LockRequest(locker, 200, 100)), 0);     // bytes 200 to 299
  ASSERT_EQ(Send(LockRequest(locker, 10000, 10)), 0);    // just past the end
  ASSERT_EQ(Send(LockRequest(locker, 5000, 10)), 0);
  const struct {
    const char* what;
    bool sameFork;
    bool write;
    int64_t offset;
    uint32_t count;
    uint8_t flag;
    int32_t result;
  } cases[] = {
      {"read 100..199", false, false, 100, 100, 0, 0},
      {"write 100..199", false, true, 100, 100, 0, 0},
      {"read 300..399", false, false, 300, 100, 0, 0},
      {"read 150..249", false, false, 150, 100, 0, kFPLockErr},
      {"write 150..249", false, true, 150, 100, 0, kFPLockErr},
      {"read 299", false, false, 299, 1, 0, kFPLockErr},
      {"write 250..349", false, true, 250, 100, 0, kFPLockErr},
      {"read 100..399 across the lock", false, false, 100, 300, 0, kFPLockErr},
      {"read through the locking fork", true, false, 150, 100, 0, kFPLockErr},
      {"write through the locking fork", true, true, 250, 100, 0, kFPLockErr},
      {"read of 10000 bytes from 300, lowered to 4096 before the test", false, false, 300, 10000, 0, 0},
      {"append landing on a lock past the end", false, true, 0, 5, kFromEnd, kFPLockErr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DsiClient& client = c.sameFork ? client_ : other;
    const uint16_t ref = c.sameFork ? locker : theirs;
    int32_t result;
    if (c.write) {
      // Writes put back the bytes that are there, so a successful one
      // changes nothing either.
      const ByteVector data = c.flag == kFromEnd ? ByteVector(c.count, 'z')
                                                 : Slice(original, static_cast<size_t>(c.offset), c.count);
      result = WriteFork(client, ref, c.offset, data, false, c.flag).result;
    } else {
      result = ReadFork(client, ref, c.offset, c.count).result;
    }
    EXPECT_EQ(result, c.result);
  }
  EXPECT_EQ(ReadFile(share_ / "file"), original);
}

}  // namespace

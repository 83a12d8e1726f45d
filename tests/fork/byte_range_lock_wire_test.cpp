// Byte-range locks over the wire, against a real server: overlaps refused to
// every fork of the file (the owner's too), unlocking exactly what was
// locked, end-relative and to-the-end ranges, ranges beyond 4 GiB, locks
// shared by a file's two forks, release on close and on disconnect, and two
// sessions racing for one range.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "tests/client/afp_fork.h"
#include "tests/client/afp_login.h"
#include "tests/client/server_process.h"
#include "tests/client/temp_dir.h"
#include "tests/client/wire_fixture.h"

namespace {

using namespace afptest;
namespace fs = std::filesystem;

constexpr int64_t kGiB = int64_t{1} << 30;

// A share "Share" holding "file" (1000 bytes) and "other"; two sessions of
// the administrator "boss", each with the data fork of "file" open for
// reading and writing: fork A in the first, fork B in the second.
class ByteRangeLock : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_ = folders_.path() / "settings";
    share_ = folders_.path() / "Share";
    fs::create_directories(settings_);
    fs::create_directories(share_);
    fs::resize_file(CreateFile("file"), 1000);
    CreateFile("other");
    ASSERT_TRUE(StartServer(server_, settings_));
    ASSERT_TRUE(AdminAddShare(share_));
    ASSERT_TRUE(AdminAddUser("boss", "pw", 0x09));
    ASSERT_NO_FATAL_FAILURE(Login(a_));
    ASSERT_NO_FATAL_FAILURE(Login(b_));
    forkA_ = Open(a_, "file");
    forkB_ = Open(b_, "file");
  }

  fs::path CreateFile(const std::string& name) {
    const fs::path path = share_ / name;
    std::ofstream created(path);
    return path;
  }

  void Login(DsiClient& client) {
    std::string why;
    ASSERT_TRUE(ConnectAndLogin(client, server_->port(), "boss", "pw", &why)) << why;
    const auto volume = OpenVolume(client, "Share");
    ASSERT_TRUE(volume);
    volume_ = *volume;
  }

  uint16_t Open(DsiClient& client, const std::string& path, uint8_t fork = kDataFork) {
    const OpenedFork opened = OpenFork(client, fork, volume_, 2, path, kAccessReadWrite);
    EXPECT_EQ(opened.result, 0) << path;
    return opened.ref;
  }

  // A lock or unlock request's result and the start it replied with.
  struct Locked {
    int32_t result = kNoReply;
    int64_t start = -1;
    size_t replySize = 0;
  };
  static Locked Lock(DsiClient& client, uint16_t ref, int64_t offset, int64_t length, uint8_t flags = 0,
                     bool ext = false) {
    const auto reply = client.Command(ext ? LockExtRequest(ref, offset, length, flags)
                                          : LockRequest(ref, static_cast<int32_t>(offset),
                                                        static_cast<int32_t>(length), flags));
    if (!reply) return {};
    Locked locked{reply->errorCode, -1, reply->payload.size()};
    ReplyReader reader(reply->payload);
    if (reply->payload.size() == 4) locked.start = reader.Get32();
    if (reply->payload.size() == 8) locked.start = static_cast<int64_t>(reader.Get64());
    return locked;
  }

  // Whether another fork can take the single byte at offset (it gives the
  // byte back at once when it can).
  bool ByteIsFree(int64_t offset) {
    const Locked probe = Lock(b_, forkB_, offset, 1, 0, true);
    if (probe.result != 0) {
      EXPECT_EQ(probe.result, kFPLockErr) << "probing byte " << offset;
      return false;
    }
    EXPECT_EQ(Lock(b_, forkB_, offset, 1, kUnlock, true).result, 0);
    return true;
  }

  TempDir folders_;
  fs::path settings_, share_;
  std::unique_ptr<ServerProcess> server_;
  DsiClient a_, b_;
  uint16_t volume_ = 0, forkA_ = 0, forkB_ = 0;
};

TEST_F(ByteRangeLock, OverlapsAreRefusedToEveryForkAndOnlyExactLocksUnlock) {
  DsiClient c;
  ASSERT_NO_FATAL_FAILURE(Login(c));
  const uint16_t forkC = Open(c, "file");
  struct Step {
    const char* what;
    DsiClient* client;
    uint16_t ref;
    uint8_t flags;
    int32_t offset;
    int32_t length;
    int32_t result;
  };
  const Step steps[] = {
      {"A locks 0..99", &a_, forkA_, 0, 0, 100, 0},
      {"B locks 50..149", &b_, forkB_, 0, 50, 100, kFPLockErr},
      {"B locks 100..109", &b_, forkB_, 0, 100, 10, 0},
      {"A locks 0..99 again", &a_, forkA_, 0, 0, 100, kFPLockErr},
      {"A locks 99", &a_, forkA_, 0, 99, 1, kFPLockErr},
      {"C locks 95..104, across both", &c, forkC, 0, 95, 10, kFPLockErr},
      {"C locks 0..199, around both", &c, forkC, 0, 0, 200, kFPLockErr},
      {"C locks 110..119", &c, forkC, 0, 110, 10, 0},
      {"B unlocks A's lock", &b_, forkB_, kUnlock, 0, 100, kFPRangeNotLocked},
      {"A unlocks a part of its lock", &a_, forkA_, kUnlock, 0, 50, kFPRangeNotLocked},
      {"A unlocks a longer range", &a_, forkA_, kUnlock, 0, 101, kFPRangeNotLocked},
      {"A unlocks its lock", &a_, forkA_, kUnlock, 0, 100, 0},
      {"A unlocks it a second time", &a_, forkA_, kUnlock, 0, 100, kFPRangeNotLocked},
      {"C locks 0..99, now free", &c, forkC, 0, 0, 100, 0},
      {"A locks 0..99, C's now", &a_, forkA_, 0, 0, 100, kFPLockErr},
  };
  for (const Step& step : steps) {
    const Locked locked = Lock(*step.client, step.ref, step.offset, step.length, step.flags);
    EXPECT_EQ(locked.result, step.result) << step.what;
    EXPECT_EQ(locked.replySize, 4u) << step.what;
    if (step.result == 0) {
      EXPECT_EQ(locked.start, step.offset) << step.what;
    }
  }
  // A lock on another file does not get in the way.
  const uint16_t otherFile = Open(b_, "other");
  EXPECT_EQ(Lock(b_, otherFile, 0, 1000).result, 0);
}

TEST_F(ByteRangeLock, EndRelativeAndToTheEndRanges) {
  const struct {
    const char* what;
    bool ext;
    uint8_t flags;
    int64_t offset;
    int64_t length;
    int64_t first;  // the range locked, inclusive
    int64_t last;
  } cases[] = {
      {"end-relative -100, length 10", false, kFromEnd, -100, 10, 900, 909},
      {"end-relative -100, length 10, 64-bit", true, kFromEnd, -100, 10, 900, 909},
      {"end-relative +100 also counts back", false, kFromEnd, 100, 10, 900, 909},
      {"length -1 from 200", false, 0, 200, -1, 200, 999},
      {"length -1 from 200, 64-bit", true, 0, 200, -1, 200, 999},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Locked locked = Lock(a_, forkA_, c.offset, c.length, c.flags, c.ext);
    ASSERT_EQ(locked.result, 0);
    EXPECT_EQ(locked.replySize, c.ext ? 8u : 4u);
    EXPECT_EQ(locked.start, c.first);
    EXPECT_TRUE(ByteIsFree(c.first - 1));
    EXPECT_FALSE(ByteIsFree(c.first));
    EXPECT_FALSE(ByteIsFree(c.last));
    EXPECT_TRUE(ByteIsFree(c.last + 1));
    // The lock is held at its absolute start and length.
    EXPECT_EQ(Lock(a_, forkA_, c.first, c.last - c.first + 1, kUnlock, true).result, 0);
  }
  // A negative start-relative offset is refused and locks nothing.
  EXPECT_EQ(Lock(a_, forkA_, -1, 10).result, kFPParamErr);
  EXPECT_EQ(Lock(a_, forkA_, -1, 10, 0, true).result, kFPParamErr);
  EXPECT_TRUE(ByteIsFree(0));
}

TEST_F(ByteRangeLock, RangesBeyond4GiB) {
  fs::resize_file(share_ / "other", 6 * kGiB);
  const uint16_t bigA = Open(a_, "other");
  const uint16_t bigB = Open(b_, "other");
  const Locked far = Lock(a_, bigA, 5 * kGiB, 10, 0, true);
  EXPECT_EQ(far.result, 0);
  EXPECT_EQ(far.replySize, 8u);
  EXPECT_EQ(far.start, 5 * kGiB);
  EXPECT_EQ(Lock(b_, bigB, 5 * kGiB + 5, 10, 0, true).result, kFPLockErr);
  EXPECT_EQ(Lock(b_, bigB, kGiB, 10, 0, true).result, 0) << "the high bits of the start were lost";

  // FPByteRangeLock replies with the low 32 bits of a start it computed.
  const Locked nearEnd = Lock(a_, bigA, -100, 10, kFromEnd);
  EXPECT_EQ(nearEnd.result, 0);
  EXPECT_EQ(nearEnd.replySize, 4u);
  EXPECT_EQ(nearEnd.start, (6 * kGiB - 100) & 0xFFFFFFFF);
  EXPECT_EQ(Lock(b_, bigB, 6 * kGiB - 95, 1, 0, true).result, kFPLockErr);
  EXPECT_EQ(ReadFork(b_, bigB, 6 * kGiB - 95, 1, true).result, kFPLockErr);
}

TEST_F(ByteRangeLock, ALockCoversBothForksOfTheFile) {
  const uint16_t resourceA = Open(a_, "file", kResourceFork);
  ASSERT_EQ(Lock(a_, resourceA, 0, 10).result, 0);
  EXPECT_EQ(ReadFork(b_, forkB_, 0, 10).result, kFPLockErr);
  EXPECT_EQ(ReadFork(a_, forkA_, 5, 10).result, kFPLockErr);
  EXPECT_EQ(WriteFork(b_, forkB_, 9, ByteVector{1}).result, kFPLockErr);
  EXPECT_EQ(Lock(b_, forkB_, 5, 10).result, kFPLockErr);
  EXPECT_EQ(ReadFork(b_, forkB_, 10, 10).result, 0);

  // And the other way round.
  ASSERT_EQ(Lock(b_, forkB_, 100, 10).result, 0);
  const uint16_t resourceB = Open(b_, "file", kResourceFork);
  EXPECT_EQ(WriteFork(a_, resourceA, 100, ByteVector(5, 'r')).result, kFPLockErr);
  EXPECT_EQ(WriteFork(b_, resourceB, 105, ByteVector(5, 'r')).result, kFPLockErr);
  EXPECT_EQ(Lock(a_, resourceA, 105, 1).result, kFPLockErr);
}

TEST_F(ByteRangeLock, ClosingOrDisconnectingReleasesTheLocks) {
  ASSERT_EQ(Lock(a_, forkA_, 0, 100).result, 0);
  ASSERT_EQ(Lock(b_, forkB_, 0, 100).result, kFPLockErr);
  ASSERT_EQ(ResultOf(a_, CloseForkRequest(forkA_)), 0);
  ASSERT_EQ(Lock(b_, forkB_, 0, 100).result, 0);
  ASSERT_EQ(Lock(b_, forkB_, 0, 100, kUnlock).result, 0);

  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "connection reset" : "socket closed");
    DsiClient leaving;
    ASSERT_NO_FATAL_FAILURE(Login(leaving));
    const uint16_t ref = Open(leaving, "file");
    ASSERT_EQ(Lock(leaving, ref, 0, 100).result, 0);
    ASSERT_EQ(Lock(b_, forkB_, 0, 100).result, kFPLockErr);
    reset ? leaving.Abort() : leaving.Close();
    // The session ends on the server's own time; look until it has.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    Locked locked;
    while ((locked = Lock(b_, forkB_, 0, 100)).result == kFPLockErr && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(locked.result, 0);
    ASSERT_EQ(Lock(b_, forkB_, 0, 100, kUnlock).result, 0);
  }
}

TEST_F(ByteRangeLock, TwoSessionsRacingForOneRangeExactlyOneWins) {
  for (int round = 0; round < 25; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Overlapping, not equal, ranges; which one starts first varies.
    const int32_t offsetA = (round % 2) * 50;
    const int32_t offsetB = 50 - offsetA;
    std::atomic<int> ready{0};
    std::array<int32_t, 2> results{kNoReply, kNoReply};
    const auto race = [&](DsiClient& client, uint16_t ref, int32_t offset, int32_t* result) {
      const ByteVector request = LockRequest(ref, offset, 100);
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      *result = ResultOf(client, request);
    };
    std::thread first(race, std::ref(a_), forkA_, offsetA, &results[0]);
    std::thread second(race, std::ref(b_), forkB_, offsetB, &results[1]);
    first.join();
    second.join();
    const int winners = (results[0] == 0) + (results[1] == 0);
    const int losers = (results[0] == kFPLockErr) + (results[1] == kFPLockErr);
    ASSERT_EQ(winners, 1) << results[0] << " " << results[1];
    ASSERT_EQ(losers, 1) << results[0] << " " << results[1];
    if (results[0] == 0) {
      ASSERT_EQ(Lock(a_, forkA_, offsetA, 100, kUnlock).result, 0);
    } else {
      ASSERT_EQ(Lock(b_, forkB_, offsetB, 100, kUnlock).result, 0);
    }
  }
}

}  // namespace

#include "platform/node_monitor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "platform/looper.h"
#include "tests/client/temp_dir.h"

namespace {

// A looper that keeps the node-monitor messages it receives.
class Collector : public BLooper {
 public:
  void MessageReceived(BMessage* message) override {
    if (message->what != B_NODE_MONITOR) return BLooper::MessageReceived(message);
    std::lock_guard<std::mutex> guard(fLock);
    fReceived.push_back(*message);
    fArrived.notify_all();
  }
  std::optional<BMessage> Next(int timeoutMs = 3000) {
    std::unique_lock<std::mutex> guard(fLock);
    if (!fArrived.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return !fReceived.empty(); }))
      return std::nullopt;
    BMessage message = fReceived.front();
    fReceived.pop_front();
    return message;
  }

 private:
  std::mutex fLock;
  std::condition_variable fArrived;
  std::deque<BMessage> fReceived;
};

class NodeMonitor : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = (dir_.path() / "Share").string();
    ASSERT_EQ(mkdir(folder_.c_str(), 0755), 0);
    struct stat info;
    ASSERT_EQ(stat(folder_.c_str(), &info), 0);
    device_ = static_cast<int32_t>(info.st_dev);
    node_ = static_cast<int64_t>(info.st_ino);
    collector_ = new Collector();
    collector_->Run();
    target_ = BMessenger(collector_);
  }
  void TearDown() override { collector_->PostMessage(B_QUIT_REQUESTED); }

  void ExpectOpcode(int32_t opcode) {
    const auto message = collector_->Next();
    ASSERT_TRUE(message);
    int32_t got = 0, device = 0;
    int64_t node = 0;
    EXPECT_EQ(message->FindInt32("opcode", &got), B_OK);
    EXPECT_EQ(message->FindInt32("device", &device), B_OK);
    EXPECT_EQ(message->FindInt64("node", &node), B_OK);
    EXPECT_EQ(got, opcode);
    EXPECT_EQ(device, device_);
    EXPECT_EQ(node, node_);
  }

  afptest::TempDir dir_;
  std::string folder_;
  int32_t device_ = 0;
  int64_t node_ = 0;
  Collector* collector_ = nullptr;
  BMessenger target_;
};

TEST_F(NodeMonitor, RenameAndMoveReportMoved) {
  ASSERT_EQ(WatchNode(folder_.c_str(), B_WATCH_NAME, target_), B_OK);
  const std::string renamed = (dir_.path() / "Renamed").string();
  ASSERT_EQ(std::rename(folder_.c_str(), renamed.c_str()), 0);
  ExpectOpcode(B_ENTRY_MOVED);
  ASSERT_EQ(mkdir((dir_.path() / "elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(std::rename(renamed.c_str(), (dir_.path() / "elsewhere" / "Share").c_str()), 0);
  ExpectOpcode(B_ENTRY_MOVED);
  StopWatchingNode(device_, node_, target_);
}

TEST_F(NodeMonitor, RemovalReportsRemoved) {
  ASSERT_EQ(WatchNode(folder_.c_str(), B_WATCH_NAME | B_WATCH_STAT, target_), B_OK);
  ASSERT_EQ(rmdir(folder_.c_str()), 0);
  // A stat change may come first (the link count drops); the removal follows.
  std::optional<BMessage> message;
  int32_t opcode = B_STAT_CHANGED;
  while (opcode == B_STAT_CHANGED && (message = collector_->Next())) message->FindInt32("opcode", &opcode);
  EXPECT_EQ(opcode, B_ENTRY_REMOVED);
}

TEST_F(NodeMonitor, StatChangesOnlyWhenAskedFor) {
  ASSERT_EQ(WatchNode(folder_.c_str(), B_WATCH_NAME, target_), B_OK);
  ASSERT_EQ(chmod(folder_.c_str(), 0700), 0);
  EXPECT_FALSE(collector_->Next(300));
  ASSERT_EQ(WatchNode(folder_.c_str(), B_WATCH_NAME | B_WATCH_STAT, target_), B_OK);
  ASSERT_EQ(chmod(folder_.c_str(), 0750), 0);
  ExpectOpcode(B_STAT_CHANGED);
  StopWatchingNode(device_, node_, target_);
}

TEST_F(NodeMonitor, StoppedWatchReportsNothing) {
  ASSERT_EQ(WatchNode(folder_.c_str(), B_WATCH_NAME, target_), B_OK);
  EXPECT_EQ(WatchNode(folder_.c_str(), B_STOP_WATCHING, target_), B_OK);
  ASSERT_EQ(std::rename(folder_.c_str(), (dir_.path() / "Gone").c_str()), 0);
  EXPECT_FALSE(collector_->Next(300));
  EXPECT_EQ(StopWatchingNode(device_, node_, target_), B_ENTRY_NOT_FOUND);
}

TEST_F(NodeMonitor, MissingPathIsNotFound) {
  EXPECT_EQ(WatchNode((dir_.path() / "missing").c_str(), B_WATCH_NAME, target_), B_ENTRY_NOT_FOUND);
}

}  // namespace

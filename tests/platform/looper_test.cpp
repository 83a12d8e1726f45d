// BLooper and BMessenger: one message at a time in arrival order, replies,
// quitting (the looper deletes itself), and what senders see around a quit
// or a full port.
#include "platform/looper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/messenger.h"

namespace {

using namespace std::chrono_literals;

// A one-shot flag threads can wait on.
class Event {
 public:
  void Set() {
    std::lock_guard<std::mutex> guard(fLock);
    fSet = true;
    fChanged.notify_all();
  }
  // False when the generous time-out passed first.
  bool Wait(std::chrono::seconds timeout = 30s) {
    std::unique_lock<std::mutex> guard(fLock);
    return fChanged.wait_for(guard, timeout, [this] { return fSet; });
  }
  bool IsSet() {
    std::lock_guard<std::mutex> guard(fLock);
    return fSet;
  }

 private:
  std::mutex fLock;
  std::condition_variable fChanged;
  bool fSet = false;
};

// Waits for replies are bounded so a missing reply fails instead of hanging.
constexpr int64_t kGenerousUs = 30'000'000;

constexpr uint32_t kRecord = FourCC("recd");  // notes its "sender" and "sequence"
constexpr uint32_t kBlock = FourCC("blck");   // holds the looper until released
constexpr uint32_t kEcho = FourCC("echo");    // replies with its own fields
constexpr uint32_t kEchoReply = FourCC("ecrp");

// What the looper saw; shared because the looper deletes itself.
struct Probe {
  std::mutex lock;
  std::vector<std::pair<int32_t, int32_t>> records;  // (sender, sequence)
  std::atomic<int> inHandler{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> allowQuit{true};
  std::atomic<int> quitAsked{0};
  Event blocked;
  Event release;
  Event destroyed;
};

class TestLooper : public BLooper {
 public:
  TestLooper(std::shared_ptr<Probe> probe, int32_t capacity)
      : BLooper("test_looper", kNormalPriority, capacity), fProbe(std::move(probe)) {}
  ~TestLooper() override { fProbe->destroyed.Set(); }

  void MessageReceived(BMessage* message) override {
    if (fProbe->inHandler.fetch_add(1) != 0) fProbe->overlapped = true;
    switch (message->what) {
      case kRecord: {
        int32_t sender = -1;
        int32_t sequence = -1;
        message->FindInt32("sender", &sender);
        message->FindInt32("sequence", &sequence);
        std::lock_guard<std::mutex> guard(fProbe->lock);
        fProbe->records.emplace_back(sender, sequence);
        break;
      }
      case kBlock:
        fProbe->blocked.Set();
        fProbe->release.Wait();
        break;
      case kEcho: {
        BMessage reply(*message);
        reply.what = kEchoReply;
        reply.AddBool("handled", true);
        message->SendReply(reply);
        break;
      }
      default:
        BLooper::MessageReceived(message);
    }
    fProbe->inHandler.fetch_sub(1);
  }

  bool QuitRequested() override {
    ++fProbe->quitAsked;
    return fProbe->allowQuit;
  }

 private:
  std::shared_ptr<Probe> fProbe;
};

class LooperTest : public ::testing::Test {
 protected:
  void Create(int32_t capacity = 200) {
    fLooper = new TestLooper(fProbe, capacity);
    fMessenger = BMessenger(fLooper);
  }
  void Start(int32_t capacity = 200) {
    Create(capacity);
    ASSERT_GT(fLooper->Run(), 0);
  }

  // Makes sure the looper is gone so no thread outlives the test.
  void TearDown() override {
    if (fLooper == nullptr || fProbe->destroyed.IsSet()) return;
    fProbe->release.Set();
    fProbe->allowQuit = true;
    status_t status;
    while ((status = fMessenger.SendMessage(BMessage(B_QUIT_REQUESTED))) == B_WOULD_BLOCK)
      std::this_thread::yield();
    EXPECT_EQ(status, B_OK);
    EXPECT_TRUE(fProbe->destroyed.Wait());
  }

  std::shared_ptr<Probe> fProbe = std::make_shared<Probe>();
  TestLooper* fLooper = nullptr;  // owned by its own thread once running
  BMessenger fMessenger;
};

TEST_F(LooperTest, HandlesMessagesOneAtATimeInArrivalOrder) {
  constexpr int kSenders = 4;
  constexpr int kPerSender = 200;
  Start(kSenders * kPerSender + 1);

  std::vector<std::thread> senders;
  for (int sender = 0; sender < kSenders; ++sender) {
    senders.emplace_back([this, sender] {
      for (int sequence = 0; sequence < kPerSender; ++sequence) {
        BMessage message(kRecord);
        message.AddInt32("sender", sender);
        message.AddInt32("sequence", sequence);
        // Both paths into the port, interleaved.
        const status_t status = sequence % 2 == 0 ? fMessenger.SendMessage(std::move(message))
                                                  : fLooper->PostMessage(std::move(message));
        EXPECT_EQ(status, B_OK);
      }
    });
  }
  for (std::thread& thread : senders) thread.join();

  // Replies come in order too, so once this one is back all the posts were handled.
  BMessage reply;
  ASSERT_EQ(fMessenger.SendMessage(BMessage(kEcho), &reply, kGenerousUs), B_OK);

  std::lock_guard<std::mutex> guard(fProbe->lock);
  ASSERT_EQ(fProbe->records.size(), static_cast<size_t>(kSenders * kPerSender));
  std::map<int32_t, int32_t> next;
  for (const auto& [sender, sequence] : fProbe->records) {
    EXPECT_EQ(sequence, next[sender]) << "sender " << sender;
    next[sender] = sequence + 1;
  }
  EXPECT_FALSE(fProbe->overlapped);
}

TEST_F(LooperTest, SendMessageWaitsForTheReply) {
  Start();
  BMessage request(kEcho);
  request.AddString("name", "Shared");
  request.AddInt64("size", int64_t{1} << 40);
  BMessage reply;
  ASSERT_EQ(fMessenger.SendMessage(request, &reply, kGenerousUs), B_OK);
  EXPECT_EQ(reply.what, kEchoReply);
  std::string name;
  int64_t size = 0;
  bool handled = false;
  EXPECT_EQ(reply.FindString("name", &name), B_OK);
  EXPECT_EQ(name, "Shared");
  EXPECT_EQ(reply.FindInt64("size", &size), B_OK);
  EXPECT_EQ(size, int64_t{1} << 40);
  EXPECT_EQ(reply.FindBool("handled", &handled), B_OK);
  EXPECT_TRUE(handled);

  // The default handler tells a waiting sender it did not understand.
  ASSERT_EQ(fMessenger.SendMessage(BMessage(FourCC("????")), &reply, kGenerousUs), B_OK);
  EXPECT_EQ(reply.what, B_MESSAGE_NOT_UNDERSTOOD);
}

TEST_F(LooperTest, SendMessageTimesOutWhileTheLooperIsBusy) {
  Start();
  ASSERT_EQ(fMessenger.SendMessage(BMessage(kBlock)), B_OK);
  ASSERT_TRUE(fProbe->blocked.Wait());
  BMessage reply;
  EXPECT_EQ(fMessenger.SendMessage(BMessage(kEcho), &reply, 1000), B_TIMED_OUT);
  fProbe->release.Set();
  // The late reply to the abandoned wait goes nowhere; the looper carries on.
  ASSERT_EQ(fMessenger.SendMessage(BMessage(kEcho), &reply, kGenerousUs), B_OK);
  EXPECT_EQ(reply.what, kEchoReply);
}

TEST_F(LooperTest, RefusedQuitKeepsTheLooperRunning) {
  Start();
  fProbe->allowQuit = false;
  ASSERT_EQ(fMessenger.SendMessage(BMessage(B_QUIT_REQUESTED)), B_OK);
  BMessage reply;
  ASSERT_EQ(fMessenger.SendMessage(BMessage(kEcho), &reply, kGenerousUs), B_OK);
  EXPECT_EQ(reply.what, kEchoReply);
  EXPECT_EQ(fProbe->quitAsked, 1);
  EXPECT_FALSE(fProbe->destroyed.IsSet());
}

// The quit is handled, the looper deletes itself, and the message queued
// behind the quit is dropped: its waiting sender hears B_NO_REPLY. Afterwards
// the messenger still holds the port and gets an error, not a crash.
TEST_F(LooperTest, QuitDeletesTheLooperAndAnswersDroppedSenders) {
  Create();
  BMessage reply;
  status_t sendStatus = B_ERROR;
  std::thread sender(
      [&] { sendStatus = fMessenger.SendMessage(BMessage(kEcho), &reply, kGenerousUs); });

  // Before the looper runs, take the waiting message off the port and queue
  // it again behind the quit, so the order is certain.
  // (No early returns until the sender is joined: it must get its answer.)
  std::optional<BMessage> waiting = fLooper->Port()->Pop();
  EXPECT_TRUE(waiting.has_value() && waiting->IsSourceWaiting());
  EXPECT_EQ(fLooper->PostMessage(B_QUIT_REQUESTED), B_OK);
  if (waiting) {
    EXPECT_EQ(fLooper->Port()->Push(std::move(*waiting)), B_OK);
  }
  EXPECT_GT(fLooper->Run(), 0);

  sender.join();
  EXPECT_EQ(sendStatus, B_OK);
  EXPECT_EQ(reply.what, B_NO_REPLY);
  EXPECT_TRUE(fProbe->destroyed.Wait());
  EXPECT_EQ(fProbe->quitAsked, 1);

  EXPECT_EQ(fMessenger.SendMessage(BMessage(kEcho)), B_BAD_PORT_ID);
  EXPECT_EQ(fMessenger.SendMessage(BMessage(kEcho), &reply, kGenerousUs), B_BAD_PORT_ID);
  EXPECT_TRUE(fMessenger.IsValid());
}

TEST_F(LooperTest, FullPortReturnsWouldBlock) {
  Start(2);
  ASSERT_EQ(fMessenger.SendMessage(BMessage(kBlock)), B_OK);
  ASSERT_TRUE(fProbe->blocked.Wait());  // taken off the port: the queue is empty
  EXPECT_EQ(fMessenger.SendMessage(BMessage(kRecord)), B_OK);
  EXPECT_EQ(fLooper->PostMessage(kRecord), B_OK);
  EXPECT_EQ(fMessenger.SendMessage(BMessage(kRecord)), B_WOULD_BLOCK);
  EXPECT_EQ(fLooper->PostMessage(kRecord), B_WOULD_BLOCK);
  BMessage reply;
  EXPECT_EQ(fMessenger.SendMessage(BMessage(kEcho), &reply, kGenerousUs), B_WOULD_BLOCK);
}

TEST(LooperMessenger, WithoutTargetFails) {
  const BMessenger messengers[] = {BMessenger(), BMessenger(static_cast<const BLooper*>(nullptr)),
                                   BMessenger(static_cast<const char*>(nullptr))};
  for (const BMessenger& messenger : messengers) {
    EXPECT_FALSE(messenger.IsValid());
    BMessage reply;
    EXPECT_EQ(messenger.SendMessage(BMessage(kEcho)), B_BAD_PORT_ID);
    EXPECT_EQ(messenger.SendMessage(BMessage(kEcho), &reply, kGenerousUs), B_BAD_PORT_ID);
  }
}

}  // namespace

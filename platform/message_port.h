// The queue a looper reads its messages from. Senders keep the port alive
// through shared ownership, so posting to a looper that has quit is a clean
// B_BAD_PORT_ID rather than a use of freed memory.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/message.h"

class MessagePort {
 public:
  explicit MessagePort(int32_t capacity) : fCapacity(capacity) {}
  MessagePort(const MessagePort&) = delete;
  MessagePort& operator=(const MessagePort&) = delete;

  // Queues a message. B_BAD_PORT_ID once closed; B_WOULD_BLOCK when full
  // (a looper that stopped reading must not stall the threads that post to it).
  status_t Push(BMessage message);
  // Queues a message and waits for its reply (B_NO_REPLY when the looper
  // answered nothing). A negative time-out waits without limit.
  status_t SendAndWait(BMessage message, BMessage* reply, int64_t timeoutUs);
  // Waits for the next message; nothing once the port is closed.
  std::optional<BMessage> Pop();
  // Refuses further messages and drops the queued ones; their waiting
  // senders receive B_NO_REPLY.
  void Close();

 private:
  const int32_t fCapacity;
  // Messages queued; read without the lock by a reader about to sleep.
  std::atomic<int32_t> fQueued{0};
  std::mutex fLock;
  std::condition_variable fNotEmpty;
  std::deque<BMessage> fQueue;
  bool fClosed = false;
};

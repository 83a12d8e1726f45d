#include "platform/message_port.h"

#include <chrono>

namespace {

// A reader that finds the port empty watches it this long before it sleeps:
// a message that follows soon after the last one (the next reply of a busy
// connection) is then taken without a wake-up through the scheduler.
constexpr auto kWatchBeforeSleeping = std::chrono::microseconds(100);

void Relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

status_t MessagePort::Push(BMessage message) {
  std::lock_guard<std::mutex> guard(fLock);
  if (fClosed) return B_BAD_PORT_ID;
  if (static_cast<int32_t>(fQueue.size()) >= fCapacity) return B_WOULD_BLOCK;
  fQueue.push_back(std::move(message));
  fQueued.fetch_add(1, std::memory_order_release);
  fNotEmpty.notify_one();
  return B_OK;
}

status_t MessagePort::SendAndWait(BMessage message, BMessage* reply, int64_t timeoutUs) {
  auto slot = std::make_shared<ReplySlot>();
  message.fReplySlot = slot;
  const status_t status = Push(std::move(message));
  if (status != B_OK) return status;
  return slot->Wait(reply, timeoutUs);
}

std::optional<BMessage> MessagePort::Pop() {
  if (fQueued.load(std::memory_order_acquire) == 0) {
    const auto until = std::chrono::steady_clock::now() + kWatchBeforeSleeping;
    while (fQueued.load(std::memory_order_acquire) == 0 && std::chrono::steady_clock::now() < until) Relax();
  }
  std::unique_lock<std::mutex> guard(fLock);
  fNotEmpty.wait(guard, [this] { return fClosed || !fQueue.empty(); });
  if (fClosed) return std::nullopt;
  BMessage message = std::move(fQueue.front());
  fQueue.pop_front();
  fQueued.fetch_sub(1, std::memory_order_relaxed);
  return message;
}

void MessagePort::Close() {
  std::deque<BMessage> dropped;
  {
    std::lock_guard<std::mutex> guard(fLock);
    fClosed = true;
    dropped.swap(fQueue);
    fQueued.store(0);
    fNotEmpty.notify_all();
  }
  // `dropped` goes out of scope here, outside the lock, answering waiters.
}

#include "platform/message_port.h"

status_t MessagePort::Push(BMessage message) {
  std::lock_guard<std::mutex> guard(fLock);
  if (fClosed) return B_BAD_PORT_ID;
  if (static_cast<int32_t>(fQueue.size()) >= fCapacity) return B_WOULD_BLOCK;
  fQueue.push_back(std::move(message));
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
  std::unique_lock<std::mutex> guard(fLock);
  fNotEmpty.wait(guard, [this] { return fClosed || !fQueue.empty(); });
  if (fClosed) return std::nullopt;
  BMessage message = std::move(fQueue.front());
  fQueue.pop_front();
  return message;
}

void MessagePort::Close() {
  std::deque<BMessage> dropped;
  {
    std::lock_guard<std::mutex> guard(fLock);
    fClosed = true;
    dropped.swap(fQueue);
    fNotEmpty.notify_all();
  }
  // `dropped` goes out of scope here, outside the lock, answering waiters.
}

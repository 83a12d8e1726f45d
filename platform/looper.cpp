#include "platform/looper.h"

BLooper::BLooper(const char* name, int32_t priority, int32_t portCapacity)
    : fName(name != nullptr ? name : "looper"),
      fPriority(priority),
      fPort(std::make_shared<MessagePort>(portCapacity)) {}

BLooper::~BLooper() { fPort->Close(); }

thread_id BLooper::Run() {
  return SpawnThread(
      [this] {
        Loop();
        delete this;
      },
      fName.c_str(), fPriority);
}

void BLooper::Loop() {
  while (fLooping) {
    std::optional<BMessage> message = fPort->Pop();
    if (!message) break;
    DispatchMessage(&*message);
  }
}

void BLooper::DispatchMessage(BMessage* message) {
  if (message->what == B_QUIT_REQUESTED) {
    if (QuitRequested()) StopLooping();
    return;
  }
  MessageReceived(message);
}

void BLooper::MessageReceived(BMessage* message) {
  if (message->IsSourceWaiting()) message->SendReply(B_MESSAGE_NOT_UNDERSTOOD);
}

bool BLooper::QuitRequested() { return true; }

status_t BLooper::PostMessage(BMessage message) { return fPort->Push(std::move(message)); }

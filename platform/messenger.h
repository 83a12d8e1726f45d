// A messenger delivers messages to a looper in this process or, through the
// signature socket, to the running application with a given signature.
#pragma once

#include <memory>
#include <string>

#include "platform/message.h"
#include "platform/message_port.h"

class BLooper;

inline constexpr int64_t B_INFINITE_TIMEOUT = -1;

class BMessenger {
 public:
  BMessenger() = default;
  explicit BMessenger(const BLooper* target);
  explicit BMessenger(const char* signature);

  bool IsValid() const { return fPort != nullptr || !fSignature.empty(); }
  // Two messengers are equal when they reach the same target.
  bool operator==(const BMessenger& other) const {
    return fPort == other.fPort && fSignature == other.fSignature;
  }

  // Delivers without waiting.
  status_t SendMessage(BMessage message) const;
  // Delivers and waits for the reply (B_NO_REPLY when the target answered
  // nothing). A negative time-out waits without limit.
  status_t SendMessage(BMessage message, BMessage* reply,
                       int64_t timeoutUs = B_INFINITE_TIMEOUT) const;

 private:
  std::shared_ptr<MessagePort> fPort;
  std::string fSignature;
};

#include "platform/messenger.h"

#include "platform/looper.h"
#include "platform/signature_socket.h"

BMessenger::BMessenger(const BLooper* target) {
  if (target != nullptr) fPort = target->Port();
}

BMessenger::BMessenger(const char* signature) {
  if (signature != nullptr) fSignature = signature;
}

status_t BMessenger::SendMessage(BMessage message) const {
  if (fPort) return fPort->Push(std::move(message));
  if (!fSignature.empty()) return SendToSignature(fSignature.c_str(), message, nullptr);
  return B_BAD_PORT_ID;
}

status_t BMessenger::SendMessage(BMessage message, BMessage* reply, int64_t timeoutUs) const {
  if (fPort) {
    return fPort->SendAndWait(std::move(message), reply, timeoutUs);
  }
  if (!fSignature.empty()) return SendToSignature(fSignature.c_str(), message, reply);
  return B_BAD_PORT_ID;
}

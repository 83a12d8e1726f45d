// An application signature is reached through a Unix-domain socket in the
// user settings folder. Only the same user (or root) may talk to it.
//
// Frame, both ways: a 4-byte big-endian length, then (requests only) one
// flags byte, 1 when the sender waits for a reply, then a flattened message.
#pragma once

#include <memory>
#include <string>

#include "platform/message.h"
#include "platform/message_port.h"

// "<settings folder>/<signature with '/' as '_'>.sock"; empty when there is
// no settings folder.
std::string SignatureSocketPath(const char* signature);

// Sends a message to the application with that signature; with a non-null
// `reply`, waits for its answer without a time limit.
status_t SendToSignature(const char* signature, const BMessage& message, BMessage* reply);

// The application's end: takes the signature for this process (single
// launch) and hands every message that arrives to `target`.
class SignatureServer {
 public:
  // B_ALREADY_RUNNING when another live process holds the signature.
  static status_t Start(const char* signature, std::shared_ptr<MessagePort> target,
                        std::unique_ptr<SignatureServer>* server);
  ~SignatureServer();
  SignatureServer(const SignatureServer&) = delete;
  SignatureServer& operator=(const SignatureServer&) = delete;

  struct State;

 private:
  explicit SignatureServer(std::shared_ptr<State> state) : fState(std::move(state)) {}
  std::shared_ptr<State> fState;
};

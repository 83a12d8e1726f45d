// A looper: a thread that handles the messages of its port one at a time, in
// arrival order, until it is asked to quit.
#pragma once

#include <memory>
#include <string>

#include "platform/message.h"
#include "platform/message_port.h"
#include "platform/thread.h"

class BLooper {
 public:
  explicit BLooper(const char* name = nullptr, int32_t priority = kNormalPriority,
                   int32_t portCapacity = 200);
  virtual ~BLooper();
  BLooper(const BLooper&) = delete;
  BLooper& operator=(const BLooper&) = delete;

  // Starts the looper's thread. When the looper quits, its thread deletes it.
  virtual thread_id Run();

  // Handles one message. The default answers a waiting sender with
  // B_MESSAGE_NOT_UNDERSTOOD.
  virtual void MessageReceived(BMessage* message);
  // Asked when B_QUIT_REQUESTED arrives; true lets the looper quit.
  virtual bool QuitRequested();

  status_t PostMessage(BMessage message);
  status_t PostMessage(uint32_t what) { return PostMessage(BMessage(what)); }

  const std::shared_ptr<MessagePort>& Port() const { return fPort; }

 protected:
  virtual void DispatchMessage(BMessage* message);
  // Handles messages on the calling thread until a quit is granted.
  void Loop();
  // Ends Loop after the current message.
  void StopLooping() { fLooping = false; }

 private:
  std::string fName;
  int32_t fPriority;
  std::shared_ptr<MessagePort> fPort;
  bool fLooping = true;
};

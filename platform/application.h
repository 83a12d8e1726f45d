// The application object: one per process, a looper whose loop runs on the
// thread that calls Run(). It owns the application's signature (single
// launch) and turns SIGINT and SIGTERM into B_QUIT_REQUESTED.
#pragma once

#include <memory>
#include <string>

#include "platform/looper.h"
#include "platform/signature_socket.h"

class BApplication : public BLooper {
 public:
  explicit BApplication(const char* signature);
  ~BApplication() override;

  // B_OK, or B_ALREADY_RUNNING when another process holds the signature, or
  // another failure taking it.
  status_t InitCheck() const { return fInitStatus; }

  // ReadyToRun, then the message loop on the calling thread; returns once the
  // application has quit.
  thread_id Run() override;
  // Called once, first thing when the message loop starts.
  virtual void ReadyToRun() {}

 protected:
  // B_QUIT_REQUESTED is shown to MessageReceived before QuitRequested is
  // asked, so the application can tell its clients it is going away.
  void DispatchMessage(BMessage* message) override;

 private:
  std::string fSignature;
  status_t fInitStatus;
  std::unique_ptr<SignatureServer> fSignatureServer;
};

// The process's application object, set while one exists.
extern BApplication* be_app;

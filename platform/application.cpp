#include "platform/application.h"

#include <pthread.h>
#include <signal.h>

#include "platform/messenger.h"

BApplication* be_app = nullptr;

namespace {

// Blocks the quit signals in this thread and in every thread started after
// it; one thread then receives them with sigwait.
sigset_t QuitSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

void WatchQuitSignals(std::shared_ptr<MessagePort> port) {
  const sigset_t set = QuitSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) == 0) port->Push(BMessage(B_QUIT_REQUESTED));
  }
}

}  // namespace

BApplication::BApplication(const char* signature)
    : BLooper("application", kNormalPriority, 500), fSignature(signature != nullptr ? signature : "") {
  const sigset_t set = QuitSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  fInitStatus = SignatureServer::Start(fSignature.c_str(), Port(), &fSignatureServer);
  if (fInitStatus == B_OK) be_app = this;
}

BApplication::~BApplication() {
  fSignatureServer.reset();
  if (be_app == this) be_app = nullptr;
}

thread_id BApplication::Run() {
  SpawnThread([port = Port()] { WatchQuitSignals(port); }, "signal_watch", kNormalPriority);
  ReadyToRun();
  Loop();
  return B_OK;
}

void BApplication::DispatchMessage(BMessage* message) {
  if (message->what == B_QUIT_REQUESTED) {
    MessageReceived(message);
    if (QuitRequested()) StopLooping();
    return;
  }
  BLooper::DispatchMessage(message);
}

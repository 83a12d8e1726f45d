// The server's application object: the second half of start-up runs in
// ReadyToRun; afterwards the application thread handles administration
// messages and the quit request.
#pragma once

#include <cstdint>

#include "platform/application.h"

// Attention sent to every session when the server quits.
inline constexpr uint16_t kAttentionServerShutdown = 0x8000;

// What main returns.
extern int32_t afpAppReturnValue;

class corvaneApplication : public BApplication {
 public:
  // Takes the signature and, when that worked, starts networking.
  corvaneApplication();
  ~corvaneApplication() override;

  void MessageReceived(BMessage* message) override;
  void ReadyToRun() override;
};

// Reads the logon message file of the settings folder, if there is one, and
// makes it the logon message.
void afpLoadLogonMessage();

// Building the login, volume and administration requests tests need most.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/message.h"
#include "tests/client/dsi_client.h"
#include "tests/client/wire.h"

namespace afptest {

// FPLogin with the clear-text method (the password padded to 8 bytes).
ByteVector CleartextLoginRequest(const std::string& user, const std::string& password,
                                 const std::string& version = "AFP3.1",
                                 const std::string& method = "Cleartxt passwrd");
// FPLogin with "No User Authent".
ByteVector GuestLoginRequest(const std::string& version = "AFP3.1");
// FPOpenVol of a volume by name with a parameter bitmap.
ByteVector OpenVolRequest(const std::string& name, uint16_t bitmap);

// Connects, opens a DSI session and logs in with the clear-text method;
// false (with the reason in *why) when any step fails.
bool ConnectAndLogin(DsiClient& client, uint16_t port, const std::string& user, const std::string& password,
                     std::string* why = nullptr);
// Connects, opens a DSI session and logs in as guest.
bool ConnectAsGuest(DsiClient& client, uint16_t port, std::string* why = nullptr);

// Sends an administration message to the server of this process's settings
// folder ($CORVANE_SETTINGS_DIR) and returns the reply; nothing when the
// exchange failed.
std::optional<BMessage> AdminRequest(const BMessage& request);

}  // namespace afptest

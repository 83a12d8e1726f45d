// Building the login, volume and administration requests tests need most,
// and small calls on top of them that tests and the benchmarks share.
#pragma once

#include <climits>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/message.h"
#include "tests/client/dsi_client.h"
#include "tests/client/wire.h"

namespace afptest {

// A result code, INT32_MIN when no reply came.
inline constexpr int32_t kNoReply = INT32_MIN;
// The result of a reply, kNoReply when none came.
inline int32_t ResultOf(const std::optional<DsiFrame>& reply) { return reply ? reply->errorCode : kNoReply; }
// The result of a request in a DSI Command.
int32_t ResultOf(DsiClient& client, const ByteVector& request);
// The payload of a reply, nothing when no reply came (so it never equals an
// expected payload, not even an empty one).
inline std::optional<ByteVector> PayloadOf(const std::optional<DsiFrame>& reply) {
  if (!reply) return std::nullopt;
  return reply->payload;
}

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
// The code the server answered an administration message with (the reply's
// `what`: 'succ', 'fail' or a negative error), 0 when no reply came.
uint32_t AdminCode(const BMessage& request);

// The message that shares a folder, with share flags when not 0.
BMessage AddShareMessage(const std::filesystem::path& folder, int32_t flags = 0);
// Setting up a server through its administration socket: true when it
// answered with success.
bool AdminAddShare(const std::filesystem::path& folder, int32_t flags = 0);
bool AdminAddUser(const std::string& name, const std::string& password, int32_t flags);
bool AdminAllowGuests(bool allowed);

// FPOpenVol by name with the volume ID bit; the volume ID, or nothing on
// failure.
std::optional<uint16_t> OpenVolume(DsiClient& client, const std::string& name);

}  // namespace afptest

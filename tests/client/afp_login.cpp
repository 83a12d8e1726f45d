#include "tests/client/afp_login.h"

#include "platform/signature_socket.h"
#include "server/admin/admin_protocol.h"

namespace afptest {

namespace {

constexpr uint8_t kFPLoginCode = 18;
constexpr uint8_t kFPOpenVolCode = 24;
constexpr size_t kCleartextPasswordLength = 8;

bool Fail(std::string* why, std::string reason) {
  if (why != nullptr) *why = std::move(reason);
  return false;
}

bool OpenAndLogin(DsiClient& client, uint16_t port, const ByteVector& login, std::string* why) {
  if (!client.Connect(port)) return Fail(why, "cannot connect");
  const auto open = client.OpenSession();
  if (!open || open->errorCode != 0) return Fail(why, "OpenSession failed");
  const auto reply = client.Command(login);
  if (!reply) return Fail(why, "no reply to FPLogin");
  if (reply->errorCode != 0) return Fail(why, "FPLogin returned " + std::to_string(reply->errorCode));
  return true;
}

}  // namespace

ByteVector CleartextLoginRequest(const std::string& user, const std::string& password, const std::string& version,
                                 const std::string& method) {
  RequestBuilder request;
  request.Add8(kFPLoginCode).AddPascal(version).AddPascal(method).AddPascal(user).PadToEven();
  std::string padded = password.substr(0, kCleartextPasswordLength);
  padded.resize(kCleartextPasswordLength, '\0');
  request.AddBytes(padded);
  return std::move(request).Bytes();
}

ByteVector GuestLoginRequest(const std::string& version) {
  return RequestBuilder().Add8(kFPLoginCode).AddPascal(version).AddPascal("No User Authent").Bytes();
}

ByteVector OpenVolRequest(const std::string& name, uint16_t bitmap) {
  RequestBuilder request;
  request.Add8(kFPOpenVolCode).Add8(0).Add16(bitmap).AddPascal(name);
  return std::move(request).Bytes();
}

bool ConnectAndLogin(DsiClient& client, uint16_t port, const std::string& user, const std::string& password,
                     std::string* why) {
  return OpenAndLogin(client, port, CleartextLoginRequest(user, password), why);
}

bool ConnectAsGuest(DsiClient& client, uint16_t port, std::string* why) {
  return OpenAndLogin(client, port, GuestLoginRequest(), why);
}

std::optional<BMessage> AdminRequest(const BMessage& request) {
  BMessage reply;
  if (SendToSignature(kServerSignature, request, &reply) != B_OK) return std::nullopt;
  return reply;
}

}  // namespace afptest

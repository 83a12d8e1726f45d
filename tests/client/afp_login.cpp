#include "tests/client/afp_login.h"

#include "platform/signature_socket.h"
#include "server/admin/admin_protocol.h"

namespace afptest {

namespace {

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

int32_t ResultOf(DsiClient& client, const ByteVector& request) { return ResultOf(client.Command(request)); }

ByteVector CleartextLoginRequest(const std::string& user, const std::string& password, const std::string& version,
                                 const std::string& method) {
  RequestBuilder request;
  request.Add8(kFPLogin).AddPascal(version).AddPascal(method).AddPascal(user).PadToEven();
  std::string padded = password.substr(0, kCleartextPasswordLength);
  padded.resize(kCleartextPasswordLength, '\0');
  request.AddBytes(padded);
  return std::move(request).Bytes();
}

ByteVector GuestLoginRequest(const std::string& version) {
  return RequestBuilder().Add8(kFPLogin).AddPascal(version).AddPascal("No User Authent").Bytes();
}

ByteVector OpenVolRequest(const std::string& name, uint16_t bitmap) {
  RequestBuilder request;
  request.Add8(kFPOpenVol).Add8(0).Add16(bitmap).AddPascal(name);
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

uint32_t AdminCode(const BMessage& request) {
  const auto reply = AdminRequest(request);
  return reply ? reply->what : 0;
}

BMessage AddShareMessage(const std::filesystem::path& folder, int32_t flags) {
  BMessage add(FourCC("adds"));
  add.AddString("afp-string", folder.string());
  if (flags != 0) add.AddInt32("afp-int32", flags);
  return add;
}

bool AdminAddShare(const std::filesystem::path& folder, int32_t flags) {
  return AdminCode(AddShareMessage(folder, flags)) == FourCC("succ");
}

bool AdminAddUser(const std::string& name, const std::string& password, int32_t flags) {
  BMessage add(FourCC("addu"));
  add.AddString("user-string", name);
  add.AddString("pswd-string", password);
  add.AddInt32("afp-int32", flags);
  return AdminCode(add) == FourCC("succ");
}

bool AdminAllowGuests(bool allowed) {
  BMessage set(FourCC("sall"));
  set.AddBool("afp-bool", allowed);
  return AdminCode(set) == FourCC("succ");
}

std::optional<uint16_t> OpenVolume(DsiClient& client, const std::string& name) {
  const auto reply = client.Command(OpenVolRequest(name, 0x0020));
  if (!reply || reply->errorCode != 0 || reply->payload.size() != 4) return std::nullopt;
  return LoadBe16(&reply->payload[2]);
}

}  // namespace afptest

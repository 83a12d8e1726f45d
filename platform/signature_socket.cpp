#include "platform/signature_socket.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/find_directory.h"
#include "platform/thread.h"
#include "platform/unique_fd.h"

namespace {

constexpr uint32_t kMaxFrame = 1 << 20;
constexpr uint8_t kWantsReply = 1;

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t written = send(fd, data, size, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool ReadAll(int fd, uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t got = recv(fd, data, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteFrame(int fd, const std::vector<uint8_t>& body) {
  const uint32_t length = static_cast<uint32_t>(body.size());
  const uint8_t header[4] = {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                             static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  return WriteAll(fd, header, 4) && WriteAll(fd, body.data(), body.size());
}

bool ReadFrame(int fd, std::vector<uint8_t>* body) {
  uint8_t header[4];
  if (!ReadAll(fd, header, 4)) return false;
  const uint32_t length = (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) |
                          (uint32_t{header[2]} << 8) | header[3];
  if (length > kMaxFrame) return false;
  body->resize(length);
  return ReadAll(fd, body->data(), length);
}

bool MakeAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Administration is for the owner of the server (or root) only.
bool PeerMayTalk(int fd) {
  ucred credentials{};
  socklen_t length = sizeof(credentials);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
  return credentials.uid == geteuid() || credentials.uid == 0;
}

}  // namespace

struct SignatureServer::State {
  std::shared_ptr<MessagePort> target;
  std::string socketPath;
  UniqueFd lockFile;
  UniqueFd listener;
};

namespace {

void ServeClient(std::shared_ptr<SignatureServer::State> state, int clientFd) {
  UniqueFd client(clientFd);
  if (!PeerMayTalk(client.Get())) return;
  std::vector<uint8_t> frame;
  while (ReadFrame(client.Get(), &frame)) {
    if (frame.empty()) return;
    BMessage message;
    if (message.Unflatten(frame.data() + 1, frame.size() - 1) != B_OK) return;
    if ((frame[0] & kWantsReply) == 0) {
      state->target->Push(std::move(message));
      continue;
    }
    BMessage reply;
    if (state->target->SendAndWait(std::move(message), &reply, -1) != B_OK)
      reply = BMessage(B_NO_REPLY);
    std::vector<uint8_t> flat;
    if (reply.Flatten(&flat) != B_OK || !WriteFrame(client.Get(), flat)) return;
  }
}

void AcceptLoop(std::shared_ptr<SignatureServer::State> state) {
  for (;;) {
    const int clientFd = accept4(state->listener.Get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (clientFd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // the listener was shut down
    }
    if (SpawnThread([state, clientFd] { ServeClient(state, clientFd); }, "signature_client",
                    kNormalPriority) < 0)
      close(clientFd);
  }
}

}  // namespace

std::string SignatureSocketPath(const char* signature) {
  std::string folder;
  if (signature == nullptr || FindUserSettingsDirectory(&folder) != B_OK) return {};
  std::string name = signature;
  for (char& c : name)
    if (c == '/') c = '_';
  return folder + "/" + name + ".sock";
}

status_t SendToSignature(const char* signature, const BMessage& message, BMessage* reply) {
  sockaddr_un address;
  if (!MakeAddress(SignatureSocketPath(signature), &address)) return B_BAD_VALUE;
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.Get() < 0) return B_ERROR;
  if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
    return B_BAD_PORT_ID;
  std::vector<uint8_t> flat;
  const status_t status = message.Flatten(&flat);
  if (status != B_OK) return status;
  flat.insert(flat.begin(), reply != nullptr ? kWantsReply : 0);
  if (!WriteFrame(fd.Get(), flat)) return B_BAD_PORT_ID;
  if (reply == nullptr) return B_OK;
  std::vector<uint8_t> answer;
  if (!ReadFrame(fd.Get(), &answer)) return B_BAD_PORT_ID;
  return reply->Unflatten(answer.data(), answer.size());
}

status_t SignatureServer::Start(const char* signature, std::shared_ptr<MessagePort> target,
                                std::unique_ptr<SignatureServer>* server) {
  auto state = std::make_shared<State>();
  state->target = std::move(target);
  state->socketPath = SignatureSocketPath(signature);
  sockaddr_un address;
  if (!MakeAddress(state->socketPath, &address)) return B_BAD_VALUE;
  if (EnsureDirectory(state->socketPath.substr(0, state->socketPath.rfind('/'))) != B_OK)
    return B_ERROR;

  // The lock file decides single launch; a socket file left by a crash is
  // then simply replaced.
  const std::string lockPath = state->socketPath + ".lock";
  state->lockFile.Reset(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (state->lockFile.Get() < 0) return B_ERROR;
  if (flock(state->lockFile.Get(), LOCK_EX | LOCK_NB) != 0)
    return errno == EWOULDBLOCK ? B_ALREADY_RUNNING : B_ERROR;

  unlink(state->socketPath.c_str());
  state->listener.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (state->listener.Get() < 0) return B_ERROR;
  // Made owner-only before it listens; peers are checked on every
  // connection as well (the process-wide umask is not touched: other
  // threads may be creating files).
  if (bind(state->listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      chmod(state->socketPath.c_str(), 0600) != 0 || listen(state->listener.Get(), 16) != 0)
    return B_ERROR;

  if (SpawnThread([state] { AcceptLoop(state); }, "signature_listen", kNormalPriority) < 0)
    return B_NO_MEMORY;
  server->reset(new SignatureServer(std::move(state)));
  return B_OK;
}

SignatureServer::~SignatureServer() {
  unlink(fState->socketPath.c_str());
  shutdown(fState->listener.Get(), SHUT_RDWR);
  // Threads still serving clients keep the state; the signature is free now.
  fState->lockFile.Reset();
}

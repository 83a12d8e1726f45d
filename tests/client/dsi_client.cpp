#include "tests/client/dsi_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace afptest {

namespace {

using Clock = std::chrono::steady_clock;

// No reply of this server comes near this; a larger length means the
// stream is out of step.
constexpr uint32_t kMaxPayload = 16u << 20;

int MillisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// Waits for the events on fd until the deadline; false on time-out.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, MillisLeft(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

std::string Describe(const DsiFrame& frame) {
  std::string text = frame.flags == kDsiReply     ? "reply"
                     : frame.flags == kDsiRequest ? "request"
                                                  : "frame flags " + std::to_string(frame.flags);
  text += " command " + std::to_string(frame.command) + " id " + std::to_string(frame.requestId);
  text += (frame.flags == kDsiReply ? " result " : " error/offset ") + std::to_string(frame.errorCode);
  text += ", " + std::to_string(frame.payload.size()) + " bytes";
  if (!frame.payload.empty()) text += ": " + HexDump(frame.payload, 32);
  return text;
}

ByteVector EncodeHeader(const DsiFrame& frame, uint32_t dataLength) {
  ByteVector header(kDsiHeaderSize);
  header[0] = frame.flags;
  header[1] = frame.command;
  StoreBe16(&header[2], frame.requestId);
  StoreBe32(&header[4], static_cast<uint32_t>(frame.errorCode));
  StoreBe32(&header[8], dataLength);
  StoreBe32(&header[12], frame.reserved);
  return header;
}

ByteVector EncodeFrame(const DsiFrame& frame) {
  ByteVector bytes = EncodeHeader(frame, static_cast<uint32_t>(frame.payload.size()));
  bytes.insert(bytes.end(), frame.payload.begin(), frame.payload.end());
  return bytes;
}

DsiClient::~DsiClient() { Close(); }

bool DsiClient::Connect(uint16_t port, Millis timeout) {
  Close();
  received_.clear();
  peerClosed_ = false;
  oversized_ = false;
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
  if (errno == EINPROGRESS && WaitFor(fd_, POLLOUT, Clock::now() + timeout)) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) return true;
  }
  Close();
  return false;
}

void DsiClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void DsiClient::Abort() {
  if (fd_ < 0) return;
  const linger reset{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  Close();
}

bool DsiClient::SendRaw(std::span<const uint8_t> bytes, Millis timeout) {
  if (fd_ < 0) return false;
  const auto deadline = Clock::now() + timeout;
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd_, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

uint16_t DsiClient::SendRequest(uint8_t command, std::span<const uint8_t> payload,
                                int32_t errorCode) {
  DsiFrame frame;
  frame.command = command;
  frame.requestId = TakeRequestId();
  frame.errorCode = errorCode;
  frame.payload.assign(payload.begin(), payload.end());
  SendFrame(frame);
  return frame.requestId;
}

std::optional<DsiFrame> DsiClient::TakeBufferedFrame() {
  if (received_.size() < kDsiHeaderSize) return std::nullopt;
  const uint32_t length = LoadBe32(&received_[8]);
  if (length > kMaxPayload) {
    oversized_ = true;
    return std::nullopt;
  }
  if (received_.size() - kDsiHeaderSize < length) return std::nullopt;

  DsiFrame frame;
  frame.flags = received_[0];
  frame.command = received_[1];
  frame.requestId = LoadBe16(&received_[2]);
  frame.errorCode = static_cast<int32_t>(LoadBe32(&received_[4]));
  frame.reserved = LoadBe32(&received_[12]);
  const auto begin = received_.begin() + kDsiHeaderSize;
  const auto end = begin + static_cast<std::ptrdiff_t>(length);
  frame.payload.assign(begin, end);
  received_.erase(received_.begin(), end);
  return frame;
}

std::optional<DsiFrame> DsiClient::ReadFrame(Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  uint8_t chunk[64 * 1024];
  for (;;) {
    if (auto frame = TakeBufferedFrame()) return frame;
    if (oversized_ || peerClosed_ || fd_ < 0) return std::nullopt;
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n > 0) {
      received_.insert(received_.end(), chunk, chunk + n);
    } else if (n == 0) {
      peerClosed_ = true;
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitFor(fd_, POLLIN, deadline)) return std::nullopt;
    } else {
      peerClosed_ = true;  // reset by the peer, or a dead socket
    }
  }
}

bool DsiClient::NoteServerRequest(const DsiFrame& frame) {
  if (frame.flags != kDsiRequest) return false;
  if (frame.command == kDsiAttention && frame.payload.size() >= 2)
    attentions_.push_back(LoadBe16(frame.payload.data()));
  return true;
}

std::optional<DsiFrame> DsiClient::ReadReply(Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto frame = ReadFrame(Millis(MillisLeft(deadline)));
    if (!frame || !NoteServerRequest(*frame)) return frame;
  }
}

std::optional<DsiFrame> DsiClient::Call(uint8_t command, std::span<const uint8_t> payload,
                                        Millis timeout, int32_t errorCode) {
  SendRequest(command, payload, errorCode);
  return ReadReply(timeout);
}

std::optional<DsiFrame> DsiClient::OpenSession(Millis timeout) {
  const uint8_t attentionQuantum[] = {0x01, 0x04, 0x00, 0x00, 0x04, 0x00};
  return Call(kDsiOpenSession, attentionQuantum, timeout);
}

std::optional<DsiFrame> DsiClient::GetStatus(Millis timeout) {
  return Call(kDsiGetStatus, {}, timeout);
}

std::optional<DsiFrame> DsiClient::CloseSession(Millis timeout) {
  return Call(kDsiCloseSession, {}, timeout);
}

std::optional<DsiFrame> DsiClient::Command(std::span<const uint8_t> afpRequest, Millis timeout) {
  return Call(kDsiCommand, afpRequest, timeout);
}

std::optional<DsiFrame> DsiClient::Write(std::span<const uint8_t> afpRequest,
                                         std::span<const uint8_t> data, Millis timeout) {
  ByteVector payload(afpRequest.begin(), afpRequest.end());
  payload.insert(payload.end(), data.begin(), data.end());
  return Call(kDsiWrite, payload, timeout, static_cast<int32_t>(afpRequest.size()));
}

bool DsiClient::WaitForClose(Millis timeout, std::vector<DsiFrame>* seen) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto frame = ReadFrame(Millis(MillisLeft(deadline)));
    if (!frame) return peerClosed_;
    NoteServerRequest(*frame);
    if (seen) seen->push_back(std::move(*frame));
  }
}

}  // namespace afptest

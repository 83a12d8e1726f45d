// A DSI client over TCP for tests and benchmarks: frames requests, keeps
// request ids in sequence, reads frames with time limits, and notes the
// attentions the server sends on its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tests/client/afp_codes.h"
#include "tests/client/wire.h"

namespace afptest {

using Millis = std::chrono::milliseconds;
inline constexpr Millis kDefaultTimeout{5000};

inline constexpr size_t kDsiHeaderSize = 16;

struct DsiFrame {
  uint8_t flags = kDsiRequest;
  uint8_t command = 0;
  uint16_t requestId = 0;
  int32_t errorCode = 0;  // result of a reply; data offset of a Write request
  uint32_t reserved = 0;
  ByteVector payload;
};

// "reply command 2 id 7 result -5019, 0 bytes" for assertion messages.
std::string Describe(const DsiFrame& frame);

// Header and payload as sent on the wire; the total data length is the
// payload size.
ByteVector EncodeFrame(const DsiFrame& frame);
// A header alone that announces dataLength payload bytes, for malformed frames.
ByteVector EncodeHeader(const DsiFrame& frame, uint32_t dataLength);

class DsiClient {
 public:
  DsiClient() = default;
  ~DsiClient();
  DsiClient(const DsiClient&) = delete;
  DsiClient& operator=(const DsiClient&) = delete;

  // Connects to 127.0.0.1:port.
  bool Connect(uint16_t port, Millis timeout = kDefaultTimeout);
  void Close();
  // Closes with a TCP reset instead of an orderly end of stream.
  void Abort();
  bool connected() const { return fd_ >= 0; }

  // Writes all bytes; false when the connection failed or stalled.
  bool SendRaw(std::span<const uint8_t> bytes, Millis timeout = kDefaultTimeout);
  bool SendFrame(const DsiFrame& frame) { return SendRaw(EncodeFrame(frame)); }
  // Sends a request with the next request id and returns that id.
  uint16_t SendRequest(uint8_t command, std::span<const uint8_t> payload, int32_t errorCode = 0);

  // Request ids count up from 1 and wrap from 65535 to 0.
  uint16_t TakeRequestId() { return nextRequestId_++; }
  uint16_t nextRequestId() const { return nextRequestId_; }
  void SetNextRequestId(uint16_t id) { nextRequestId_ = id; }

  // The next frame of any kind; nullopt on time-out, end of stream or a
  // frame too large to be a real reply.
  std::optional<DsiFrame> ReadFrame(Millis timeout = kDefaultTimeout);
  // The next reply (flags 1); server requests read on the way are noted.
  std::optional<DsiFrame> ReadReply(Millis timeout = kDefaultTimeout);
  // Sends a request and returns the first reply that comes back (for a
  // client that has nothing else in flight: the reply to this request).
  std::optional<DsiFrame> Call(uint8_t command, std::span<const uint8_t> payload,
                               Millis timeout = kDefaultTimeout, int32_t errorCode = 0);

  // OpenSession with an attention quantum option of 1024 bytes.
  std::optional<DsiFrame> OpenSession(Millis timeout = kDefaultTimeout);
  std::optional<DsiFrame> GetStatus(Millis timeout = kDefaultTimeout);
  std::optional<DsiFrame> CloseSession(Millis timeout = kDefaultTimeout);
  // A DSI Command carrying an AFP request.
  std::optional<DsiFrame> Command(std::span<const uint8_t> afpRequest,
                                  Millis timeout = kDefaultTimeout);
  // A DSI Write: the AFP request followed by the data; the header's data
  // offset holds the AFP request length.
  std::optional<DsiFrame> Write(std::span<const uint8_t> afpRequest, std::span<const uint8_t> data,
                                Millis timeout = kDefaultTimeout);
  // Reads until the server closes the connection. Frames read meanwhile are
  // noted (server requests) and appended to *seen when given. False on
  // time-out.
  bool WaitForClose(Millis timeout = kDefaultTimeout, std::vector<DsiFrame>* seen = nullptr);
  bool closedByPeer() const { return peerClosed_; }

  // Attention codes seen so far by ReadReply, Call and WaitForClose.
  const std::vector<uint16_t>& attentions() const { return attentions_; }

 private:
  // Moves one complete frame out of the receive buffer, if there is one.
  std::optional<DsiFrame> TakeBufferedFrame();
  // Notes a server request (an attention's code); true when the frame was one.
  bool NoteServerRequest(const DsiFrame& frame);

  int fd_ = -1;
  uint16_t nextRequestId_ = 1;
  ByteVector received_;
  bool peerClosed_ = false;
  bool oversized_ = false;
  std::vector<uint16_t> attentions_;
};

}  // namespace afptest

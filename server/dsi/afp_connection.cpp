#include "server/dsi/afp_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/afp/afp_stats.h"
#include "server/afp/dispatcher.h"
#include "server/afp/server_info.h"
#include "server/dsi/dsi_protocol.h"
#include "server/dsi/session_manager.h"

namespace {

// How long a reply may wait for a client that does not read before the
// connection is given up.
constexpr int kSendStallMilliseconds = 120 * 1000;

// The fields of a received frame's 16-byte header.
struct FrameHeader {
  uint8_t flags;
  uint8_t command;
  uint16_t requestID;
  uint32_t payloadLength;
};

FrameHeader ReadHeader(signed char* frame) {
  BAFPBuffer in(frame, kDSIHeaderSize);
  FrameHeader header;
  header.flags = static_cast<uint8_t>(in.GetInt8());
  header.command = static_cast<uint8_t>(in.GetInt8());
  header.requestID = static_cast<uint16_t>(in.GetInt16());
  in.GetInt32();  // error code or data offset
  header.payloadLength = static_cast<uint32_t>(in.GetInt32());
  return header;
}

void WriteHeader(signed char* block, uint8_t flags, signed char command, uint16_t requestID,
                 int32_t errorCode, int32_t dataLength) {
  BAFPBuffer header(block, kDSIHeaderSize);
  header.AddInt8(static_cast<int8_t>(flags));
  header.AddInt8(command);
  header.AddInt16(static_cast<int16_t>(requestID));
  header.AddInt32(errorCode);
  header.AddInt32(dataLength);
  header.AddInt32(0);
}

}  // namespace

BAFPConnection::BAFPConnection(int32_t socket)
    : BLooper(nullptr, kConnectionPriority, 100),
      fSocket(socket),
      fSession(std::make_unique<BAFPSession>(this)),
      fReceiveBuffer(new signed char[kReceiveBufferSize]),
      fBlockPool(std::make_unique<BBlockCache>(kReplyBlockCount, kReplyBlockSize)) {
  Run();
  gAFPSessionMgr.load()->TrackConnection(this);
}

BAFPConnection::~BAFPConnection() {
  gAFPSessionMgr.load()->StopTracking(this);
  shutdown(fSocket, SHUT_RDWR);
  fSession.reset();
  close(fSocket);
}

void BAFPConnection::Receive() {
  if (!fReceiveBuffer || !fBlockPool || !fSession) return;
  signed char* const buffer = fReceiveBuffer.get();
  while (!fKilled.load()) {
    pollfd readable{fSocket, POLLIN, 0};
    const int ready = poll(&readable, 1, kReceiveIdleSeconds * 1000);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (ready == 0) {
      if (fSession->ClientIsSleeping()) continue;
      return;
    }
    const ssize_t got = recv(fSocket, buffer + fReceived, kReceiveBufferSize - fReceived, 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (got <= 0) {
      shutdown(fSocket, SHUT_RDWR);
      return;
    }
    gAFPStats.Net_UpdateBytesReceived(static_cast<uint32_t>(got));
    fReceived += static_cast<int32_t>(got);

    while (fReceived >= kDSIHeaderSize && !fKilled.load()) {
      const uint32_t payload = ReadHeader(buffer).payloadLength;
      // A frame that can never fit the buffer cannot be framed past: give up.
      if (payload > static_cast<uint32_t>(kMaxFramePayload)) {
        shutdown(fSocket, SHUT_RDWR);
        return;
      }
      const int32_t frame = kDSIHeaderSize + static_cast<int32_t>(payload);
      if (fReceived < frame) break;
      ProcessReceivedBytes();
      fReceived -= frame;
      if (fReceived > 0) std::memmove(buffer, buffer + frame, static_cast<size_t>(fReceived));
    }
  }
}

void BAFPConnection::ProcessReceivedBytes() {
  gAFPStats.DSI_IncrementPacketsProcessed();
  signed char* const frame = fReceiveBuffer.get();
  const auto [flags, command, requestID, length] = ReadHeader(frame);
  const auto payloadLength = static_cast<int32_t>(length);
  signed char* const payload = frame + kDSIHeaderSize;
  fSession->SetLastTickleRecvd();

  if (flags != kDSIRequest) {
    if (flags != kDSIReply) KillSession(true);
    return;
  }
  if (fSession->GetNextClientRequestID(requestID) != requestID) {
    KillSession(false);
    return;
  }
  if (command == kDSITickle) return;

  signed char* block = TakeReplyBlock();
  if (block == nullptr) return;
  if (!fSessionOpen && command != kDSIGetStatus && command != kDSIOpenSession) {
    FormatAndSendReply(block, static_cast<signed char>(command), kFPParamErr, 0);
    return;
  }
  signed char* const reply = block + kDSIHeaderSize;
  int32_t replyLength = 0;
  switch (command) {
    case kDSICloseSession:
      fSessionOpen = false;
      FormatAndSendReply(block, static_cast<signed char>(command), kFPNoErr, 0);
      KillSession(false);
      return;
    case kDSICommand:
      HandleCommand(block, command, payload, payloadLength);
      return;
    case kDSIGetStatus: {
      const int32_t result = FPGetSrvrInfo(fSession.get(), payload, payloadLength, reply, &replyLength);
      FormatAndSendReply(block, static_cast<signed char>(command), result, replyLength);
      KillSession(false);
      return;
    }
    case kDSIOpenSession: {
      const int32_t result = dsi_OpenSession(payload, payloadLength, reply, &replyLength);
      FormatAndSendReply(block, static_cast<signed char>(command), result, replyLength);
      return;
    }
    case kDSIWrite:
      HandleWrite(block, payload, payloadLength);
      return;
    default:  // a received Attention, or an unknown command: no reply
      ReturnReplyBlock(block);
      return;
  }
}

void BAFPConnection::HandleCommand(signed char* block, uint8_t command, signed char* payload,
                                   int32_t payloadLength) {
  signed char* const reply = block + kDSIHeaderSize;
  int32_t replyLength = 0;
  const uint8_t code = payloadLength > 0 ? static_cast<uint8_t>(payload[0]) : 0;
  const AFPHandler read = payloadLength > 0 ? afpReadHandler(code) : nullptr;
  const AFPHandler handler = read != nullptr ? read : FPDispatchCommand;
  const int32_t result = handler(fSession.get(), payload, payloadLength, reply, &replyLength);
  FormatAndSendReply(block, static_cast<signed char>(command), result, replyLength);
  // Before login only a login in progress keeps the connection: one that
  // continues, or one whose password expired and must be changed first.
  const bool loginGoesOn = result == kFPAuthContinue || result == kFPPwdExpiredErr;
  if (read == nullptr && !fSession->IsAuthenticated() && !loginGoesOn) KillSession(false);
}

void BAFPConnection::HandleWrite(signed char* block, signed char* payload, int32_t payloadLength) {
  signed char* const reply = block + kDSIHeaderSize;
  int32_t replyLength = 0;
  int32_t result = kFPNoErr;
  const AFPHandler handler =
      payloadLength > 0 ? afpWriteHandler(static_cast<uint8_t>(payload[0])) : nullptr;
  if (handler != nullptr) result = handler(fSession.get(), payload, payloadLength, reply, &replyLength);
  FormatAndSendReply(block, kDSIWrite, result, replyLength);
}

void BAFPConnection::FormatAndSendRequest(signed char* block, signed char command, int32_t dataLength,
                                          int32_t blockSize) {
  if (block == nullptr) return;
  WriteHeader(block, kDSIRequest, command, fSession->GetNextServerRequestID(), 0, dataLength);
  // Server requests are built on the looper thread, which does the writing:
  // write at once, so a kill queued behind an attention cannot overtake it.
  WriteBlock(block, dataLength + kDSIHeaderSize, blockSize);
}

void BAFPConnection::FormatAndSendReply(signed char* block, signed char command, int32_t result,
                                        int32_t dataLength) {
  PrepareDSIHeaderForReply(block, command, result, dataLength);
  PostReply(block, dataLength + kDSIHeaderSize);
}

void BAFPConnection::PrepareDSIHeaderForReply(signed char* block, signed char command, int32_t result,
                                              int32_t dataLength) {
  WriteHeader(block, kDSIReply, command, fSession->GetCurrentRequestID(), result, dataLength);
}

void BAFPConnection::PostReply(signed char* block, int32_t size) {
  BMessage send(kMsgSend);
  send.AddPointer("conn-ptr", block);
  send.AddInt32("conn-size", size);
  send.AddInt32("conn-ptr-size", kReplyBlockSize);
  // The looper writes replies in the order they are posted and returns each
  // block when it is sent; the receive thread goes on with the next request
  // meanwhile (at most kReplyBlockCount replies are under way).
  if (PostMessage(std::move(send)) != B_OK) {
    // The looper cannot take the reply: it is not going to write again.
    ReturnReplyBlock(block);
    KillSession(true);
  }
}

signed char* BAFPConnection::TakeReplyBlock() {
  fReplyBlocksFree.acquire();
  auto* block = static_cast<signed char*>(fBlockPool->Get(kReplyBlockSize));
  if (block == nullptr) fReplyBlocksFree.release();
  return block;
}

void BAFPConnection::ReturnReplyBlock(signed char* block) {
  fBlockPool->Save(block, kReplyBlockSize);
  fReplyBlocksFree.release();
}

void BAFPConnection::KillSession(bool force) {
  fKilled.store(true);
  BMessage kill(kMsgKill);
  kill.AddBool("force-kill", force);
  PostMessage(std::move(kill));
}

void BAFPConnection::SendAttention(uint16_t code) {
  BMessage attention(kMsgSendAttention);
  attention.AddInt16("attn-command", static_cast<int16_t>(code));
  PostMessage(std::move(attention));
}

int32_t BAFPConnection::dsi_OpenSession(signed char* options, int32_t optionsLength,
                                        signed char* reply, int32_t* replyLength) {
  BAFPBuffer in(options, optionsLength);
  const int8_t type = in.GetInt8();
  const int8_t length = in.GetInt8();
  const int32_t quantum = in.GetInt32();
  if (!in.ReadPastEnd() && type == kDSIOptionAttentionQuantum && length == 4) fAttentionQuantum.store(quantum);
  fSessionOpen = true;
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt8(kDSIOptionServerQuantum);
  out.AddInt8(4);
  out.AddInt32(kServerRequestQuantum);
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}

BAFPSession* BAFPConnection::GetAFPSessionObject() const { return fSession.get(); }

void BAFPConnection::SetThreadID(int32_t thread) { fThreadID.store(thread); }

int32_t BAFPConnection::GetAttnQuantumSize() const { return fAttentionQuantum.load(); }

void BAFPConnection::MessageReceived(BMessage* message) {
  switch (message->what) {
    case kMsgSend:
      WriteFrame(message);
      return;
    case kMsgTickle:
      SendServerRequest(kDSITickle, nullptr, 0);
      return;
    case kMsgSendAttention: {
      int16_t code = 0;
      if (message->FindInt16("attn-command", &code) != B_OK) return;
      signed char payload[2];
      BAFPBuffer(payload, sizeof(payload)).AddInt16(code);
      SendServerRequest(kDSIAttention, payload, sizeof(payload));
      return;
    }
    case kMsgKill:
      shutdown(fSocket, SHUT_RDWR);
      return;
    default:
      BLooper::MessageReceived(message);
  }
}

void BAFPConnection::SendServerRequest(signed char command, const void* payload, int32_t payloadLength) {
  const int32_t blockSize = kDSIHeaderSize + payloadLength;
  auto* block = static_cast<signed char*>(fBlockPool->Get(static_cast<size_t>(blockSize)));
  if (block == nullptr) return;
  if (payloadLength > 0) std::memcpy(block + kDSIHeaderSize, payload, static_cast<size_t>(payloadLength));
  FormatAndSendRequest(block, command, payloadLength, blockSize);
}

void BAFPConnection::WriteFrame(BMessage* message) {
  void* block = nullptr;
  int32_t size = 0;
  int32_t blockSize = 0;
  if (message->FindPointer("conn-ptr", &block) != B_OK || block == nullptr) return;
  message->FindInt32("conn-size", &size);
  message->FindInt32("conn-ptr-size", &blockSize);
  WriteBlock(static_cast<signed char*>(block), size, blockSize);
  if (message->IsSourceWaiting()) message->SendReply(BMessage(B_OK));
}

void BAFPConnection::WriteBlock(signed char* block, int32_t size, int32_t blockSize) {
  fSession->SetLastTickleSent();
  if (SendAll(block, size))
    gAFPStats.Net_UpdateBytesSent(static_cast<uint32_t>(size));
  else
    KillSession(true);
  if (blockSize == kReplyBlockSize)
    ReturnReplyBlock(block);
  else
    fBlockPool->Save(block, static_cast<size_t>(blockSize));
}

bool BAFPConnection::SendAll(const signed char* data, int32_t size) {
  while (size > 0) {
    const ssize_t written = send(fSocket, data, static_cast<size_t>(size), MSG_NOSIGNAL);
    if (written > 0) {
      data += written;
      size -= static_cast<int32_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd writable{fSocket, POLLOUT, 0};
      if (poll(&writable, 1, kSendStallMilliseconds) > 0) continue;
    }
    return false;
  }
  return true;
}

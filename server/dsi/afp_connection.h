// BAFPConnection: one accepted TCP connection speaking DSI. Its looper
// thread does every write to the socket; the receive thread (Receive) reads
// frames, runs the AFP handlers and hands each reply to the looper (waiting
// only while all four reply blocks are under way), so replies leave in
// request order.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <semaphore>

#include "platform/block_cache.h"
#include "platform/looper.h"
#include "server/dsi/dsi_protocol.h"

class BAFPSession;

// Internal looper messages.
inline constexpr uint32_t kMsgSend = FourCC("send");
inline constexpr uint32_t kMsgTickle = FourCC("tckl");
inline constexpr uint32_t kMsgSendAttention = FourCC("satt");
inline constexpr uint32_t kMsgKill = FourCC("ckil");

inline constexpr int32_t kConnectionPriority = kUrgentPriority;
// A client silent this long (seconds) without having announced sleep loses
// its connection.
inline constexpr int32_t kReceiveIdleSeconds = 30;

class BAFPConnection : public BLooper {
 public:
  // Creates the session and the buffers, starts the looper and registers
  // with the session manager.
  explicit BAFPConnection(int32_t socket);
  ~BAFPConnection() override;

  void MessageReceived(BMessage* message) override;

  // The receive loop; returns when the connection has ended.
  virtual void Receive();
  // Handles the complete frame at the start of the receive buffer.
  virtual void ProcessReceivedBytes();
  // Looper thread only: writes a server request (tickle, attention).
  virtual void FormatAndSendRequest(signed char* block, signed char command, int32_t dataLength,
                                    int32_t blockSize);
  virtual void FormatAndSendReply(signed char* block, signed char command, int32_t result,
                                  int32_t dataLength);
  virtual void PrepareDSIHeaderForReply(signed char* block, signed char command, int32_t result,
                                        int32_t dataLength);
  // Hands a reply block to the looper, which writes it after every reply
  // posted before it and then returns the block to the pool.
  virtual void PostReply(signed char* block, int32_t size);
  // Ends the connection (asynchronously); any thread may call it.
  virtual void KillSession(bool force);
  // Sends a DSI Attention (asynchronously); any thread may call it.
  virtual void SendAttention(uint16_t code);
  virtual int32_t dsi_OpenSession(signed char* options, int32_t optionsLength,
                                  signed char* reply, int32_t* replyLength);
  virtual BAFPSession* GetAFPSessionObject() const;
  virtual void SetThreadID(int32_t thread);
  virtual int32_t GetAttnQuantumSize() const;

 private:
  void HandleCommand(signed char* block, uint8_t command, signed char* payload, int32_t payloadLength);
  void HandleWrite(signed char* block, signed char* payload, int32_t payloadLength);
  // The looper's writing: one frame from a block, which then goes back to
  // the pool.
  void WriteFrame(BMessage* message);
  void WriteBlock(signed char* block, int32_t size, int32_t blockSize);
  // Reply blocks: at most kReplyBlockCount under way, so the pool always has
  // one for the next request and nothing is allocated per request.
  signed char* TakeReplyBlock();
  void ReturnReplyBlock(signed char* block);
  void SendServerRequest(signed char command, const void* payload, int32_t payloadLength);
  // Writes all bytes, waiting while the socket is full. False on failure.
  bool SendAll(const signed char* data, int32_t size);

  const int32_t fSocket;
  std::unique_ptr<BAFPSession> fSession;
  bool fSessionOpen = false;
  std::unique_ptr<signed char[]> fReceiveBuffer;
  int32_t fReceived = 0;  // bytes held in the receive buffer
  std::unique_ptr<BBlockCache> fBlockPool;
  std::counting_semaphore<kReplyBlockCount> fReplyBlocksFree{kReplyBlockCount};
  std::atomic<int32_t> fThreadID{0};
  std::atomic<int32_t> fAttentionQuantum{0};
  std::atomic<bool> fKilled{false};
};

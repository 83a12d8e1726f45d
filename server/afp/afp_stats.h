// BAFPStats: traffic counters the transport feeds from every connection
// thread and the administration interface reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class BAFPStats {
 public:
  BAFPStats();

  virtual void Net_UpdateBytesSent(uint32_t count);
  virtual void Net_UpdateBytesReceived(uint32_t count);
  // Bytes per second, both directions, averaged since the previous call;
  // calls within one second return the previous value.
  virtual int32_t Net_BytesPerSecond();
  virtual uint64_t Net_BytesSent() const;
  virtual uint64_t Net_BytesRecv() const;
  virtual void DSI_IncrementPacketsProcessed();
  virtual int32_t DSI_NumPacketsProcessed() const;
  virtual void Stat_BeginOperation();
  virtual int32_t Stat_EndOperation();
  virtual int32_t Stat_LastOpTime() const;

  // Net_BytesPerSecond with the clock reading given.
  int32_t BytesPerSecondAt(int32_t now);

 private:
  std::atomic<uint64_t> fBytesSent{0};
  std::atomic<uint64_t> fBytesReceived{0};
  std::atomic<int32_t> fPacketsProcessed{0};
  std::mutex fRateLock;  // the rate sample
  int32_t fRateTime;
  uint64_t fSentAtRateTime = 0;
  uint64_t fReceivedAtRateTime = 0;
  int32_t fLastRate = 0;
  std::atomic<int64_t> fOperationStart{0};
  std::atomic<int32_t> fLastOperationTime{0};
};

// The one statistics object of the process.
extern BAFPStats gAFPStats;

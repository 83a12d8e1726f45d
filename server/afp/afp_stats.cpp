#include "server/afp/afp_stats.h"

#include "platform/clock.h"

BAFPStats gAFPStats;

BAFPStats::BAFPStats() : fRateTime(real_time_clock()) {}

void BAFPStats::Net_UpdateBytesSent(uint32_t count) { fBytesSent.fetch_add(count, std::memory_order_relaxed); }

void BAFPStats::Net_UpdateBytesReceived(uint32_t count) {
  fBytesReceived.fetch_add(count, std::memory_order_relaxed);
}

int32_t BAFPStats::Net_BytesPerSecond() { return BytesPerSecondAt(real_time_clock()); }

int32_t BAFPStats::BytesPerSecondAt(int32_t now) {
  std::lock_guard<std::mutex> guard(fRateLock);
  const int64_t elapsed = static_cast<int64_t>(now) - fRateTime;
  if (elapsed <= 0) return fLastRate;
  const uint64_t sent = Net_BytesSent();
  const uint64_t received = Net_BytesRecv();
  const int64_t moved = static_cast<int64_t>((sent - fSentAtRateTime) + (received - fReceivedAtRateTime));
  fLastRate = static_cast<int32_t>(moved / elapsed);
  fRateTime = now;
  fSentAtRateTime = sent;
  fReceivedAtRateTime = received;
  return fLastRate;
}

uint64_t BAFPStats::Net_BytesSent() const { return fBytesSent.load(std::memory_order_relaxed); }

uint64_t BAFPStats::Net_BytesRecv() const { return fBytesReceived.load(std::memory_order_relaxed); }

void BAFPStats::DSI_IncrementPacketsProcessed() { fPacketsProcessed.fetch_add(1, std::memory_order_relaxed); }

int32_t BAFPStats::DSI_NumPacketsProcessed() const { return fPacketsProcessed.load(std::memory_order_relaxed); }

void BAFPStats::Stat_BeginOperation() {
  fLastOperationTime.store(0);
  fOperationStart.store(real_time_clock_usecs());
}

int32_t BAFPStats::Stat_EndOperation() {
  const int32_t duration = static_cast<int32_t>(real_time_clock_usecs() - fOperationStart.load());
  fLastOperationTime.store(duration);
  return duration;
}

int32_t BAFPStats::Stat_LastOpTime() const { return fLastOperationTime.load(); }

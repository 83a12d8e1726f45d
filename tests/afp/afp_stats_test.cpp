#include "server/afp/afp_stats.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/clock.h"

namespace {

TEST(Stats, FreshObjectIsZero) {
  BAFPStats stats;
  EXPECT_EQ(stats.Net_BytesSent(), 0u);
  EXPECT_EQ(stats.Net_BytesRecv(), 0u);
  EXPECT_EQ(stats.DSI_NumPacketsProcessed(), 0);
}

TEST(Stats, RateIsTheAverageSinceThePreviousSample) {
  BAFPStats stats;
  const int32_t start = real_time_clock();
  EXPECT_EQ(stats.BytesPerSecondAt(start + 1), 0);  // take the starting sample
  stats.Net_UpdateBytesSent(5000);
  stats.Net_UpdateBytesReceived(5000);
  EXPECT_EQ(stats.BytesPerSecondAt(start + 11), 1000);
  stats.Net_UpdateBytesSent(1000000);
  EXPECT_EQ(stats.BytesPerSecondAt(start + 11), 1000);  // same second: unchanged
  EXPECT_EQ(stats.BytesPerSecondAt(start + 10), 1000);  // clock went back: unchanged
}

TEST(Stats, ConcurrentUpdatesAreNotLost) {
  BAFPStats stats;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&stats] {
      for (int i = 0; i < 100000; ++i) {
        stats.Net_UpdateBytesSent(3);
        stats.Net_UpdateBytesReceived(0xFFFFFFFFu);
        stats.DSI_IncrementPacketsProcessed();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(stats.Net_BytesSent(), 1200000u);
  EXPECT_EQ(stats.Net_BytesRecv(), 400000ull * 0xFFFFFFFFull);  // beyond 32 bits
  EXPECT_EQ(stats.DSI_NumPacketsProcessed(), 400000);
}

}  // namespace

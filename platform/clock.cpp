#include "platform/clock.h"

#include <chrono>
#include <thread>

int32_t real_time_clock() {
  return static_cast<int32_t>(real_time_clock_usecs() / 1000000);
}

int64_t real_time_clock_usecs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void snooze(int64_t microseconds) {
  if (microseconds > 0) std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

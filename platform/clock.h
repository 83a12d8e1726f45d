// Real-time clock and sleeping.
#pragma once

#include <cstdint>

// Seconds since 1970-01-01 00:00 UTC.
int32_t real_time_clock();

// Microseconds since 1970-01-01 00:00 UTC.
int64_t real_time_clock_usecs();

// Sleeps the calling thread for the given number of microseconds.
void snooze(int64_t microseconds);

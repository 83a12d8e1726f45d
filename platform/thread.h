// Named threads with priorities.
#pragma once

#include <cstdint>
#include <functional>

using thread_id = int32_t;

// Priorities on the platform's scale; Linux honours them as far as the
// process is allowed to change its threads' nice values.
inline constexpr int32_t kLowPriority = 5;
inline constexpr int32_t kNormalPriority = 10;
inline constexpr int32_t kUrgentPriority = 110;

// Starts a detached thread running `body` under `name` and `priority`.
// Returns a process-unique positive id, or a negative status when no thread
// could be started.
thread_id SpawnThread(std::function<void()> body, const char* name, int32_t priority);

// The id SpawnThread gave the calling thread; 0 for threads it did not start.
thread_id CurrentThreadID();

// The name the kernel shows for a thread (it keeps at most 15 bytes): long
// names are cut, but a trailing "[N]" number is kept so threads stay
// distinguishable.
void KernelThreadName(const char* name, char out[16]);

#include "platform/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "platform/status.h"

namespace {

std::atomic<thread_id> gNextThreadID{1};
thread_local thread_id tCurrentThreadID = 0;

// Maps the platform priority onto a nice value. Raising priority needs
// CAP_SYS_NICE; without it the thread simply keeps the default.
int NiceForPriority(int32_t priority) {
  if (priority >= 100) return -10;
  if (priority > kNormalPriority) return -5;
  if (priority < kNormalPriority) return 5;
  return 0;
}

void ApplyPriority(int32_t priority) {
  const int nice = NiceForPriority(priority);
  if (nice != 0) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice);
}

}  // namespace

void KernelThreadName(const char* name, char out[16]) {
  std::string full = name != nullptr ? name : "";
  if (full.size() > 15) {
    const size_t bracket = full.rfind('[');
    if (bracket != std::string::npos && full.back() == ']' && full.size() - bracket < 15) {
      const std::string suffix = full.substr(bracket);
      full = full.substr(0, 15 - suffix.size()) + suffix;
    } else {
      full.resize(15);
    }
  }
  std::memset(out, 0, 16);
  std::memcpy(out, full.data(), full.size());
}

thread_id CurrentThreadID() { return tCurrentThreadID; }

thread_id SpawnThread(std::function<void()> body, const char* name, int32_t priority) {
  char kernelName[16];
  KernelThreadName(name, kernelName);
  const thread_id id = gNextThreadID.fetch_add(1);
  try {
    std::thread thread([body = std::move(body), priority, id, name = std::string(kernelName)] {
      tCurrentThreadID = id;
      pthread_setname_np(pthread_self(), name.c_str());
      ApplyPriority(priority);
      body();
    });
    thread.detach();
  } catch (const std::system_error&) {
    return B_NO_MEMORY;
  }
  return id;
}

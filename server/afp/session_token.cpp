#include "server/afp/session_token.h"

#include <mutex>
#include <random>
#include <unordered_set>

namespace {

std::mutex gTokenLock;
std::unordered_set<int32_t>& LiveTokens() {
  static std::unordered_set<int32_t> tokens;
  return tokens;
}

}  // namespace

int32_t afpAllocateSessionToken() {
  static std::random_device randomSource;
  std::lock_guard<std::mutex> guard(gTokenLock);
  for (;;) {
    const auto token = static_cast<int32_t>(randomSource());
    if (token != 0 && LiveTokens().insert(token).second) return token;
  }
}

void afpReleaseSessionToken(int32_t token) {
  std::lock_guard<std::mutex> guard(gTokenLock);
  LiveTokens().erase(token);
}

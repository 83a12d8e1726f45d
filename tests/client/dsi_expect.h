// GoogleTest helpers for DSI replies. Header-only, so the client library
// itself does not depend on GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "tests/client/dsi_client.h"

namespace afptest {

// The frame is a reply to the given command and request id with the result.
inline ::testing::AssertionResult IsReply(const std::optional<DsiFrame>& frame, uint8_t command,
                                          uint16_t requestId, int32_t result) {
  if (!frame) return ::testing::AssertionFailure() << "no frame arrived";
  if (frame->flags != kDsiReply || frame->command != command || frame->requestId != requestId ||
      frame->errorCode != result) {
    return ::testing::AssertionFailure()
           << "got " << Describe(*frame) << "; expected a reply to command " << int{command} << " id "
           << requestId << " with result " << result;
  }
  return ::testing::AssertionSuccess();
}

// The server closed the connection without sending a reply first (its own
// tickles and attentions may come).
inline ::testing::AssertionResult ClosesWithoutReply(DsiClient& client,
                                                     Millis timeout = kDefaultTimeout) {
  std::vector<DsiFrame> seen;
  const bool closed = client.WaitForClose(timeout, &seen);
  bool replied = false;
  for (const auto& frame : seen) replied |= frame.flags != kDsiRequest;
  if (closed && !replied) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  if (!closed) failure << "the connection stayed open. ";
  for (const auto& frame : seen) failure << "Received " << Describe(frame) << ". ";
  return failure;
}

}  // namespace afptest

// GoogleTest helpers for fixtures that drive a real server. Header-only, so
// the client library itself does not depend on GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "tests/client/server_process.h"

namespace afptest {

// Starts a server on the settings folder (a fresh temporary one when empty),
// waits until it listens and points this process's administration requests
// ($CORVANE_SETTINGS_DIR) at it. Fails with the server's standard error.
inline ::testing::AssertionResult StartServer(std::unique_ptr<ServerProcess>& server,
                                              const std::filesystem::path& settings = {}) {
  server = std::make_unique<ServerProcess>(ServerOptions{settings});
  if (!server->WaitUntilListening())
    return ::testing::AssertionFailure() << "the server did not start: " << server->StandardError();
  setenv("CORVANE_SETTINGS_DIR", server->settingsDir().c_str(), 1);
  return ::testing::AssertionSuccess();
}

}  // namespace afptest

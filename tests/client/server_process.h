// Runs the corvane program for a test: a fresh settings folder, an
// ephemeral port, its standard error collected on a thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/client/temp_dir.h"

namespace afptest {

struct ServerOptions {
  // Empty: a fresh temporary folder, removed with the ServerProcess.
  std::filesystem::path settingsDir = {};
  // Added to (or replacing in) the test's own environment.
  std::vector<std::pair<std::string, std::string>> env = {};
  // Appended after "--port 0".
  std::vector<std::string> args = {};
};

class ServerProcess {
 public:
  // Starts the server; check WaitUntilListening() before using it.
  explicit ServerProcess(ServerOptions options = {});
  // Kills a server that still runs and removes an owned settings folder.
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // True once the "listening on port N" line has been seen; false when the
  // server exits or stays silent until the time limit.
  bool WaitUntilListening(std::chrono::milliseconds timeout = std::chrono::seconds(15));

  uint16_t port() const;
  pid_t pid() const { return pid_; }
  const std::filesystem::path& settingsDir() const { return settingsDir_; }
  // Everything the server has written to standard error so far.
  std::string StandardError() const;

  bool Signal(int signal);
  // The exit status, or minus the signal number that ended the process;
  // nullopt while it still runs at the time limit. Once it has returned a
  // value, StandardError() holds all of the server's output.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  void ReadStandardError(int fd);

  std::unique_ptr<TempDir> ownedSettings_;
  std::filesystem::path settingsDir_;
  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
  std::thread reader_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string stderr_;
  uint16_t port_ = 0;
  bool stderrClosed_ = false;
};

}  // namespace afptest

#include "tests/client/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <system_error>

extern char** environ;

namespace afptest {

namespace {

constexpr std::string_view kListeningLine = "corvane: listening on port ";

}  // namespace

ServerProcess::ServerProcess(ServerOptions options) {
  if (options.settingsDir.empty()) {
    ownedSettings_ = std::make_unique<TempDir>();
    settingsDir_ = ownedSettings_->path();
  } else {
    settingsDir_ = options.settingsDir;
  }

  // Everything is built before the child exists: posix_spawn copies it.
  std::vector<std::string> args = {CORVANE_BINARY_PATH, "--port", "0"};
  args.insert(args.end(), options.args.begin(), options.args.end());
  std::map<std::string, std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const size_t equals = text.find('=');
    if (equals != std::string::npos) env[text.substr(0, equals)] = text.substr(equals + 1);
  }
  env["CORVANE_SETTINGS_DIR"] = settingsDir_.string();
  for (const auto& [name, value] : options.env) env[name] = value;

  std::vector<std::string> envText;
  for (const auto& [name, value] : env) envText.push_back(name + "=" + value);
  std::vector<char*> argv, envp;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  for (auto& entry : envText) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (error != 0) {
    close(pipeFds[0]);
    pid_ = -1;
    exitStatus_ = 127;
    stderr_ = std::string("cannot start ") + CORVANE_BINARY_PATH + ": " + std::strerror(error);
    stderrClosed_ = true;
    return;
  }
  reader_ = std::thread([this, fd = pipeFds[0]] { ReadStandardError(fd); });
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && !exitStatus_) {
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (reader_.joinable()) reader_.join();
}

void ServerProcess::ReadStandardError(int fd) {
  char chunk[4096];
  size_t scanned = 0;
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard lock(mutex_);
    if (n <= 0) {
      stderrClosed_ = true;
      changed_.notify_all();
      break;
    }
    stderr_.append(chunk, static_cast<size_t>(n));
    // Look at complete lines only, each once.
    size_t end;
    while (port_ == 0 && (end = stderr_.find('\n', scanned)) != std::string::npos) {
      const std::string_view line(stderr_.data() + scanned, end - scanned);
      scanned = end + 1;
      if (line.starts_with(kListeningLine)) {
        port_ = static_cast<uint16_t>(std::atoi(std::string(line.substr(kListeningLine.size())).c_str()));
      }
    }
    changed_.notify_all();
  }
  close(fd);
}

bool ServerProcess::WaitUntilListening(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [this] { return port_ != 0 || stderrClosed_; });
  return port_ != 0;
}

uint16_t ServerProcess::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

std::string ServerProcess::StandardError() const {
  std::lock_guard lock(mutex_);
  return stderr_;
}

bool ServerProcess::Signal(int signal) {
  return pid_ > 0 && !exitStatus_ && kill(pid_, signal) == 0;
}

std::optional<int> ServerProcess::WaitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!exitStatus_) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    } else if (done < 0 && errno != EINTR) {
      return std::nullopt;
    } else if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // The pipe ends with the process; wait for the last of its output.
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline + std::chrono::seconds(1), [this] { return stderrClosed_; });
  return exitStatus_;
}

}  // namespace afptest

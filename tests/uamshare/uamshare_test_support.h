// What the administration client tests share: the settings folder the
// client functions look in, a readable form of messages, text holders, and
// running the two programs.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/message.h"
#include "tests/client/temp_dir.h"
#include "uamshare/uamshare_client.h"

extern char** environ;

namespace uamtest {

// Points CORVANE_SETTINGS_DIR at a folder for the life of the object.
class ScopedSettingsDir {
 public:
  explicit ScopedSettingsDir(const std::filesystem::path& folder) {
    if (const char* old = std::getenv("CORVANE_SETTINGS_DIR")) saved_ = old;
    setenv("CORVANE_SETTINGS_DIR", folder.c_str(), 1);
  }
  ~ScopedSettingsDir() {
    if (saved_) {
      setenv("CORVANE_SETTINGS_DIR", saved_->c_str(), 1);
    } else {
      unsetenv("CORVANE_SETTINGS_DIR");
    }
  }
  ScopedSettingsDir(const ScopedSettingsDir&) = delete;
  ScopedSettingsDir& operator=(const ScopedSettingsDir&) = delete;

 private:
  std::optional<std::string> saved_;
};

// A message code as its four characters, or as a number when they are not
// all printable (-4005).
inline std::string CodeName(uint32_t code) {
  std::string chars;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = static_cast<char>((code >> shift) & 0xFF);
    if (c < 0x20 || c > 0x7E) return std::to_string(static_cast<int32_t>(code));
    chars += c;
  }
  return chars;
}

// "sflg afp-string:str=\"/srv/a\" afp-int32:i32=2": the code and every field
// with its type, in the order they were added (read from the flattened form,
// which is also what crosses the socket).
inline std::string Describe(const BMessage& message) {
  std::vector<uint8_t> flat;
  if (message.Flatten(&flat) != B_OK) return "<cannot flatten>";
  size_t pos = 4;  // after the magic
  auto get = [&](size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width && pos < flat.size(); ++i) value = (value << 8) | flat[pos++];
    return value;
  };
  std::string text = CodeName(static_cast<uint32_t>(get(4)));
  const uint64_t count = get(4);
  for (uint64_t i = 0; i < count && pos < flat.size(); ++i) {
    const auto type = static_cast<FieldType>(get(1));
    const size_t nameLength = get(1);
    const std::string name(reinterpret_cast<const char*>(flat.data() + pos), nameLength);
    pos += nameLength;
    text += " " + name + ":";
    switch (type) {
      case FieldType::kString: {
        const size_t length = get(4);
        text += "str=\"" + std::string(reinterpret_cast<const char*>(flat.data() + pos), length) + "\"";
        pos += length;
        break;
      }
      case FieldType::kInt8: text += "i8=" + std::to_string(static_cast<int8_t>(get(1))); break;
      case FieldType::kInt16: text += "i16=" + std::to_string(static_cast<int16_t>(get(2))); break;
      case FieldType::kInt32: text += "i32=" + std::to_string(static_cast<int32_t>(get(4))); break;
      case FieldType::kInt64: text += "i64=" + std::to_string(static_cast<int64_t>(get(8))); break;
      case FieldType::kBool: text += get(1) != 0 ? "bool=true" : "bool=false"; break;
      default: text += "?"; break;
    }
  }
  return text;
}

// A client result in words: "0", "fail", "-4004".
inline std::string ResultName(int32_t result) {
  return result == 0 ? "0" : CodeName(static_cast<uint32_t>(result));
}

inline afp_string Text(const std::string& value) {
  afp_string text{};
  std::snprintf(text.text, sizeof text.text, "%s", value.c_str());
  return text;
}

inline afp_entry_ref Ref(const std::string& path) {
  afp_entry_ref ref{};
  std::snprintf(ref.path, sizeof ref.path, "%s", path.c_str());
  return ref;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

struct ProgramRun {
  std::optional<int> exitStatus;  // nullopt: did not end in time (then killed)
  std::string out;
  std::string err;
};

// Runs a program with extra environment variables, its standard input from
// /dev/null, and collects its output; kills it after the time limit.
inline ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::pair<std::string, std::string>>& env,
                             std::chrono::seconds limit = std::chrono::seconds(60)) {
  afptest::TempDir scratch;
  const std::string outPath = (scratch.path() / "out").string();
  const std::string errPath = (scratch.path() / "err").string();

  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const size_t equals = text.find('=');
    if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : env) variables[name] = value;
  std::vector<std::string> envText;
  for (const auto& [name, value] : variables) envText.push_back(name + "=" + value);

  std::vector<std::string> argText = {program};
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& arg : argText) argv.push_back(arg.data());
  argv.push_back(nullptr);
  for (std::string& entry : envText) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ProgramRun run;
  if (error != 0) {
    run.err = std::string("cannot start ") + program + ": " + std::strerror(error);
    return run;
  }

  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  run.out = ReadFile(outPath);
  run.err = ReadFile(errPath);
  return run;
}

}  // namespace uamtest

// The server's command line: corvane [--port N] [--help] [--version].
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kError };
  Action action = Action::kRun;
  uint16_t port = 548;
  std::string error;  // what was wrong, for kError
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);
const char* CommandLineUsage();

#include "server/app/command_line.h"

#include <charconv>

namespace {

bool ParsePort(const std::string& text, uint16_t* port) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

CommandLine Failure(std::string error) {
  CommandLine line;
  line.action = CommandLine::Action::kError;
  line.error = std::move(error);
  return line;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      line.action = CommandLine::Action::kHelp;
    } else if (argument == "--version") {
      line.action = CommandLine::Action::kVersion;
    } else if (argument == "--port" || argument.rfind("--port=", 0) == 0) {
      std::string value;
      if (argument == "--port") {
        if (i + 1 == arguments.size()) return Failure("--port needs a port number");
        value = arguments[++i];
      } else {
        value = argument.substr(7);
      }
      if (!ParsePort(value, &line.port)) return Failure("invalid port '" + value + "' (0 to 65535)");
    } else {
      return Failure("unknown argument '" + argument + "'");
    }
  }
  return line;
}

const char* CommandLineUsage() {
  return "Usage: corvane [--port N] [--help] [--version]\n"
         "\n"
         "AFP file server: shares folders with Mac clients over AFP/DSI (TCP).\n"
         "\n"
         "Options:\n"
         "  --port N    TCP port to listen on (default 548; 0 picks a free port)\n"
         "  --help      show this help and exit\n"
         "  --version   show the version and exit\n"
         "\n"
         "Settings (shares, accounts, the logon message) live in the settings folder:\n"
         "$CORVANE_SETTINGS_DIR if set, else $XDG_CONFIG_HOME, else $HOME/.config.\n"
         "Once listening, corvane writes 'corvane: listening on port N' to standard\n"
         "error. SIGINT or SIGTERM stop it: clients are told the server is going down.\n";
}

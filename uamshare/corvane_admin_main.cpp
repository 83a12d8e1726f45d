// corvane-admin: administers a running corvane from the command line —
// shares, accounts, guest access, the logon and server messages and the
// statistics — through the client functions of libuamshare.so only.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "uamshare/share_path.h"
#include "uamshare/uamshare_client.h"

namespace {

constexpr const char* kProgram = "corvane-admin";
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// The server refuses logon and server messages of this many bytes or more.
constexpr size_t kMessageLimit = 200;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct CommandFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Result codes in words.

// 'fail' for four printable characters, else the number.
std::string CodeText(int32_t code) {
  const auto bits = static_cast<uint32_t>(code);
  std::string chars;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = static_cast<char>((bits >> shift) & 0xFF);
    if (c < 0x20 || c > 0x7E) return std::to_string(code);
    chars += c;
  }
  return "'" + chars + "'";
}

// Platform codes (the server could not be asked) sit at the bottom of the
// 32-bit range; the server's own codes are small or four characters.
bool IsTransportFailure(int32_t code) { return code < INT32_MIN + 0x10000; }

std::string GeneralMeaning(int32_t code) {
  if (code == AFP_RESULT_NOT_RUNNING)
    return "server not running (is corvane started with the same CORVANE_SETTINGS_DIR?)";
  if (IsTransportFailure(code)) return "cannot reach the server";
  switch (code) {
    case AFP_RESULT_NOT_UNDERSTOOD: return "the server does not know this request";
    case AFP_RESULT_NO_REPLY: return "the server did not answer";
    case AFP_RESULT_FAIL: return "the server refused the request";
    default: return "the server answered with an error";
  }
}

struct Meaning {
  int32_t code;
  const char* text;
};

// Stops the command when `code` is not 0. `meanings` name what a code means
// for this request. Some library calls fold every failure into 'fail', so a
// 'fail' is checked against the server's reachability first.
void Check(int32_t code, const std::string& what, std::initializer_list<Meaning> meanings = {}) {
  if (code == 0) return;
  if (code == AFP_RESULT_FAIL) {
    afp_server_stats probe;
    const int32_t reachable = AFPGetServerStatistics(&probe);
    if (IsTransportFailure(reachable)) code = reachable;
  }
  std::string text = GeneralMeaning(code);
  for (const Meaning& meaning : meanings) {
    if (meaning.code == code) text = meaning.text;
  }
  throw CommandFailed(what + ": " + text + " (code " + CodeText(code) + ")");
}

// ---------------------------------------------------------------------------
// Flags in words and as options.

struct FlagName {
  uint32_t bit;
  const char* name;
};

constexpr FlagName kShareFlagNames[] = {{AFP_SHARE_READ_ONLY, "read-only"}};
constexpr FlagName kAccountFlagNames[] = {
    {AFP_ACCOUNT_ENABLED, "enabled"},
    {AFP_ACCOUNT_GUEST_CREATED, "guest-created"},
    {AFP_ACCOUNT_PASSWORD_EXPIRED, "expired"},
    {AFP_ACCOUNT_ADMINISTRATOR, "admin"},
    {AFP_ACCOUNT_CHANGE_BEFORE_LOGIN, "change-before-login"},
    {AFP_ACCOUNT_MAY_CHANGE_PASSWORD, "may-change-password"},
};

// "0x00000029 enabled,admin,may-change-password"; "-" names no flag.
template <size_t N>
std::string DescribeFlags(uint32_t flags, const FlagName (&names)[N]) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08x", flags);
  std::string words;
  for (const FlagName& name : names) {
    if ((flags & name.bit) == 0) continue;
    words += (words.empty() ? "" : ",") + std::string(name.name);
  }
  return std::string(hex) + " " + (words.empty() ? "-" : words);
}

// A switch that sets a flag bit and its opposite that clears it.
struct FlagSwitch {
  const char* set;
  const char* clear;
  uint32_t bit;
};

const std::vector<FlagSwitch> kShareSwitches = {{"--read-only", "--writable", AFP_SHARE_READ_ONLY}};
const std::vector<FlagSwitch> kAccountSwitches = {
    {"--enabled", "--disabled", AFP_ACCOUNT_ENABLED},
    {"--admin", "--no-admin", AFP_ACCOUNT_ADMINISTRATOR},
    {"--may-change-password", "--no-change-password", AFP_ACCOUNT_MAY_CHANGE_PASSWORD},
    {"--expired", "--not-expired", AFP_ACCOUNT_PASSWORD_EXPIRED},
};

// ---------------------------------------------------------------------------
// Command lines.

struct Syntax {
  size_t minPositional = 0;
  size_t maxPositional = 0;
  std::vector<std::string> valueOptions = {};
  std::vector<std::string> switches = {};
  const std::vector<FlagSwitch>* flagSwitches = nullptr;
};

struct Arguments {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<std::string> switches;  // as given, flag switches included

  std::optional<std::string> Value(const std::string& name) const {
    for (const auto& [option, value] : values)
      if (option == name) return value;
    return std::nullopt;
  }
  bool Has(const std::string& name) const {
    for (const std::string& given : switches)
      if (given == name) return true;
    return false;
  }
};

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& known : names)
    if (known == name) return true;
  return false;
}

Arguments Parse(const std::vector<std::string>& words, const Syntax& syntax) {
  std::vector<std::string> switches = syntax.switches;
  if (syntax.flagSwitches != nullptr) {
    for (const FlagSwitch& flag : *syntax.flagSwitches) {
      switches.push_back(flag.set);
      switches.push_back(flag.clear);
    }
  }
  Arguments arguments;
  bool optionsEnded = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      arguments.positional.push_back(word);
    } else if (word == "--") {
      optionsEnded = true;
    } else if (Contains(syntax.valueOptions, word)) {
      if (i + 1 == words.size()) throw UsageError(word + " needs a value");
      if (arguments.Value(word)) throw UsageError(word + " given twice");
      arguments.values.emplace_back(word, words[++i]);
    } else if (Contains(switches, word)) {
      arguments.switches.push_back(word);
    } else {
      throw UsageError("unknown option " + word);
    }
  }
  if (arguments.positional.size() < syntax.minPositional) throw UsageError("missing argument");
  if (arguments.positional.size() > syntax.maxPositional) throw UsageError("too many arguments");
  return arguments;
}

uint32_t ParseNumber(const std::string& text, const std::string& option) {
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value > UINT32_MAX)
    throw UsageError(option + " takes a number (decimal or 0x hex), not '" + text + "'");
  return static_cast<uint32_t>(value);
}

// The flags after --flags N and the flag switches, starting from `flags`;
// nullopt when none of them was given.
std::optional<uint32_t> ApplyFlagOptions(const Arguments& arguments,
                                         const std::vector<FlagSwitch>& table, uint32_t flags) {
  bool changed = false;
  if (std::optional<std::string> all = arguments.Value("--flags")) {
    flags = ParseNumber(*all, "--flags");
    changed = true;
  }
  for (const FlagSwitch& flag : table) {
    const bool set = arguments.Has(flag.set);
    const bool clear = arguments.Has(flag.clear);
    if (set && clear)
      throw UsageError(std::string(flag.set) + " and " + flag.clear + " contradict each other");
    if (set) flags |= flag.bit;
    if (clear) flags &= ~flag.bit;
    changed = changed || set || clear;
  }
  return changed ? std::optional<uint32_t>(flags) : std::nullopt;
}

template <typename Holder>
void Fill(Holder& holder, const std::string& text, const std::string& what) {
  if (text.size() >= sizeof holder) throw UsageError(what + " is too long");
  std::memcpy(holder, text.c_str(), text.size() + 1);
}

// A share's path as the server records it, the way the library resolves it
// when sharing; a folder gone since keeps its absolute spelling, which the
// record may still match.
std::string SharePath(const std::string& given) {
  const std::optional<std::string> absolute = AbsoluteSharePath(given);
  if (!absolute) throw CommandFailed("cannot find the current folder");
  return RecordedSharePath(*absolute).value_or(*absolute);
}

afp_string ShareText(const std::string& given) {
  afp_string text;
  Fill(text.text, SharePath(given), "the path");
  return text;
}

// The password of --password, or the first line of standard input with
// --password-stdin (which keeps it out of the process list).
std::optional<std::string> PasswordOption(const Arguments& arguments) {
  std::optional<std::string> password = arguments.Value("--password");
  if (!arguments.Has("--password-stdin")) return password;
  if (password) throw UsageError("--password and --password-stdin contradict each other");
  std::string line;
  std::getline(std::cin, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// ---------------------------------------------------------------------------
// Shares.

int ShareAdd(const Arguments& arguments) {
  const std::string& path = arguments.positional[0];
  afp_entry_ref ref;
  Fill(ref.path, path, "the path");
  const std::optional<uint32_t> flags = ApplyFlagOptions(arguments, kShareSwitches, 0);
  afp_path shared;
  const int32_t result =
      flags ? AFPAddShareWithFlags(ref, *flags, &shared) : AFPAddShare(ref, &shared);
  Check(result, "share add " + path,
        {{-1, "cannot use that path (it does not exist or cannot be reached)"},
         {AFP_RESULT_NOT_A_FOLDER, "not a folder"},
         {AFP_RESULT_VOLUME_ROOT, "the root folder of a file system cannot be shared"},
         {AFP_RESULT_START_FAILED,
          "a share with that volume name already exists (the share is recorded and tried again "
          "when corvane starts)"},
         {AFP_RESULT_FAIL, "the server could not record the share"}});
  std::printf("shared %s\n", shared.path);
  return 0;
}

int ShareList(const Arguments&) {
  bool any = false;
  for (int16_t index = 0; index < INT16_MAX; ++index) {
    afp_string path;
    const int32_t found = AFPGetVolumePathFromIndex(index, &path);
    if (found == AFP_RESULT_FAIL) break;  // past the last share
    Check(found, "share list");
    afp_string name;
    Check(AFPGetVolumeNameFromIndex(index, &name), "share list");
    uint32_t flags = 0;
    Check(AFPGetVolumeFlagsFromPath(&path, &flags), std::string("share list: ") + path.text);
    if (!any) std::printf("%-5s  %-22s  %-27s  %s\n", "INDEX", "FLAGS", "VOLUME", "PATH");
    any = true;
    std::printf("%-5d  %-22s  %-27s  %s\n", index, DescribeFlags(flags, kShareFlagNames).c_str(),
                name.text, path.text);
  }
  if (!any) std::printf("no shares\n");
  return 0;
}

int ShareFlags(const Arguments& arguments) {
  const afp_string path = ShareText(arguments.positional[0]);
  const std::string what = std::string("share flags ") + path.text;
  const Meaning notShared = {AFP_RESULT_FAIL, "that folder is not shared"};
  uint32_t flags = 0;
  Check(AFPGetVolumeFlagsFromPath(&path, &flags), what, {notShared});
  if (const std::optional<uint32_t> changed = ApplyFlagOptions(arguments, kShareSwitches, flags)) {
    Check(AFPSaveVolumeFlagsForPath(&path, *changed), what, {notShared});
    flags = *changed;
  }
  std::printf("%s  %s\n", DescribeFlags(flags, kShareFlagNames).c_str(), path.text);
  return 0;
}

int ShareRemove(const Arguments& arguments) {
  const afp_string path = ShareText(arguments.positional[0]);
  Check(AFPRemoveShare(&path), std::string("share remove ") + path.text,
        {{AFP_RESULT_NOT_SHARED, "that folder is not shared"}});
  std::printf("no longer shared: %s\n", path.text);
  return 0;
}

// ---------------------------------------------------------------------------
// Accounts.

constexpr Meaning kNoSuchAccount = {AFP_RESULT_FAIL, "no such account"};

// The account's password and flags; stops when there is no such account.
std::pair<afp_string, uint32_t> ReadAccount(const std::string& name, const std::string& what) {
  afp_string password;
  uint32_t flags = 0;
  Check(AFPGetUserFlags(name.c_str(), &password, &flags), what, {kNoSuchAccount});
  return {password, flags};
}

int UserAdd(const Arguments& arguments) {
  const std::string& name = arguments.positional[0];
  const std::string password = PasswordOption(arguments).value_or("");
  const uint32_t flags = ApplyFlagOptions(arguments, kAccountSwitches, 0).value_or(0);
  Check(AFPAddUserWithFlags(name.c_str(), password.c_str(), flags), "user add " + name,
        {{AFP_RESULT_FAIL, "an account with that name already exists, or the settings file "
                           "cannot be written"}});
  std::printf("added %s  %s\n", name.c_str(), DescribeFlags(flags, kAccountFlagNames).c_str());
  return 0;
}

int UserList(const Arguments&) {
  bool any = false;
  for (int16_t index = 0; index < INT16_MAX; ++index) {
    afp_string name;
    uint32_t flags = 0;
    const int32_t found = AFPGetIndUserFlags(index, &name, nullptr, &flags);
    if (found == AFP_RESULT_FAIL) break;  // past the last account
    Check(found, "user list");
    if (!any) std::printf("%-32s  %s\n", "NAME", "FLAGS");
    any = true;
    std::printf("%-32s  %s\n", name.text, DescribeFlags(flags, kAccountFlagNames).c_str());
  }
  if (!any) std::printf("no accounts\n");
  return 0;
}

int UserShow(const Arguments& arguments) {
  const std::string& name = arguments.positional[0];
  const auto [password, flags] = ReadAccount(name, "user show " + name);
  std::printf("name:      %s\n", name.c_str());
  std::printf("flags:     %s\n", DescribeFlags(flags, kAccountFlagNames).c_str());
  if (arguments.Has("--show-password")) std::printf("password:  %s\n", password.text);
  return 0;
}

int UserSet(const Arguments& arguments) {
  const std::string& name = arguments.positional[0];
  const std::string what = "user set " + name;
  const auto [stored, flags] = ReadAccount(name, what);
  const std::optional<std::string> password = PasswordOption(arguments);
  const std::optional<uint32_t> changed = ApplyFlagOptions(arguments, kAccountSwitches, flags);
  if (!password && !changed) throw UsageError("nothing to change");
  const uint32_t newFlags = changed.value_or(flags);
  Check(AFPUpdateUserWithFlags(name.c_str(), password.value_or(stored.text).c_str(), newFlags),
        what, {kNoSuchAccount});
  std::printf("updated %s  %s\n", name.c_str(), DescribeFlags(newFlags, kAccountFlagNames).c_str());
  return 0;
}

int UserRemove(const Arguments& arguments) {
  const std::string& name = arguments.positional[0];
  const std::string what = "user remove " + name;
  ReadAccount(name, what);  // the server answers success for any name
  Check(AFPDeleteUser(name.c_str()), what);
  std::printf("removed %s\n", name.c_str());
  return 0;
}

// ---------------------------------------------------------------------------
// Guest access, messages, statistics.

int GuestSet(bool allowed) {
  Check(AFPSetGuestsAllowed(allowed), allowed ? "guest on" : "guest off",
        {{AFP_RESULT_FAIL, "the account \"Guest\" cannot be changed"}});
  std::printf("guest access: %s\n", allowed ? "on" : "off");
  return 0;
}

int GuestStatus(const Arguments&) {
  const bool allowed = AFPGetGuestsAllowed();
  // "Off" is also what the library says when it could not ask.
  if (!allowed) {
    afp_server_stats probe;
    Check(AFPGetServerStatistics(&probe), "guest status");
  }
  std::printf("guest access: %s\n", allowed ? "on" : "off");
  return 0;
}

void CheckMessageLength(const std::string& text, const std::string& what) {
  if (text.size() >= kMessageLimit)
    throw CommandFailed(what + ": the text is " + std::to_string(text.size()) +
                        " bytes long; the server takes at most " +
                        std::to_string(kMessageLimit - 1));
}

int MessageLogon(const Arguments& arguments) {
  if (arguments.positional.empty()) {
    char text[kMessageLimit + 57] = {};  // the server reads at most 256 bytes of the file
    if (AFPGetLogonMessage(text, sizeof text - 1) != 0) {
      std::printf("no logon message saved\n");
    } else {
      std::printf("%s\n", text);
    }
    return 0;
  }
  const std::string& text = arguments.positional[0];
  CheckMessageLength(text, "message logon");
  Check(AFPSaveLogonMessage(text.c_str(), static_cast<int32_t>(text.size())), "message logon",
        {{AFP_RESULT_FAIL, "the server refused the text (the file keeps it)"}});
  std::printf("logon message saved\n");
  return 0;
}

int MessageServer(const Arguments& arguments) {
  const std::string& text = arguments.positional[0];
  CheckMessageLength(text, "message server");
  Check(AFPSendServerMessage(text.c_str()), "message server",
        {{AFP_RESULT_FAIL, "the server refused the text"}});
  std::printf("server message sent to every connected client\n");
  return 0;
}

int Stats(const Arguments&) {
  afp_server_stats stats;
  Check(AFPGetServerStatistics(&stats), "stats");
  std::printf("bytes sent:        %lld\n", static_cast<long long>(stats.bytes_sent));
  std::printf("bytes received:    %lld\n", static_cast<long long>(stats.bytes_received));
  std::printf("bytes per second:  %u\n", stats.bytes_per_second);
  std::printf("DSI packets:       %u\n", stats.dsi_packets);
  std::printf("open sessions:     %d\n", stats.open_sessions);
  return 0;
}

// ---------------------------------------------------------------------------
// The command table; the usage text is made from it.

struct Command {
  const char* group;
  const char* name;  // null: the group alone is the command
  const char* arguments;
  const char* summary;
  Syntax syntax;
  int (*run)(const Arguments&);
};

const std::vector<std::string> kFlagValue = {"--flags"};
const std::vector<std::string> kAccountValues = {"--password", "--flags"};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"share", "add", "PATH [--read-only] [--flags N]",
       "share a folder; its name becomes the volume name",
       {.minPositional = 1, .maxPositional = 1, .valueOptions = kFlagValue,
        .flagSwitches = &kShareSwitches},
       ShareAdd},
      {"share", "list", "", "list the running shares: index, flags, volume name, path", {},
       ShareList},
      {"share", "flags", "PATH [--read-only | --writable | --flags N]",
       "show a share's flags, or change them",
       {.minPositional = 1, .maxPositional = 1, .valueOptions = kFlagValue,
        .flagSwitches = &kShareSwitches},
       ShareFlags},
      {"share", "remove", "PATH", "stop sharing a folder and forget the share",
       {.minPositional = 1, .maxPositional = 1}, ShareRemove},
      {"user", "add", "NAME [--password P | --password-stdin] [ACCOUNT FLAGS]",
       "create an account (no flags given: disabled)",
       {.minPositional = 1, .maxPositional = 1, .valueOptions = kAccountValues,
        .switches = {"--password-stdin"}, .flagSwitches = &kAccountSwitches},
       UserAdd},
      {"user", "list", "", "list the accounts and their flags", {}, UserList},
      {"user", "show", "NAME [--show-password]", "show an account's flags (and password)",
       {.minPositional = 1, .maxPositional = 1, .switches = {"--show-password"}}, UserShow},
      {"user", "set", "NAME [--password P | --password-stdin] [ACCOUNT FLAGS]",
       "change an account's password or flags; flags not named stay",
       {.minPositional = 1, .maxPositional = 1, .valueOptions = kAccountValues,
        .switches = {"--password-stdin"}, .flagSwitches = &kAccountSwitches},
       UserSet},
      {"user", "remove", "NAME", "delete an account", {.minPositional = 1, .maxPositional = 1},
       UserRemove},
      {"guest", "on", "", "accept guest logins (enables the account \"Guest\")", {},
       [](const Arguments&) { return GuestSet(true); }},
      {"guest", "off", "", "refuse guest logins", {},
       [](const Arguments&) { return GuestSet(false); }},
      {"guest", "status", "", "say whether guest logins are accepted", {}, GuestStatus},
      {"message", "logon", "[TEXT]",
       "set the logon message shown at connection (at most 199 bytes;\n"
       "      \"\" clears it); without TEXT, show the saved one",
       {.minPositional = 0, .maxPositional = 1}, MessageLogon},
      {"message", "server", "TEXT", "send a message to every connected client (at most 199 bytes)",
       {.minPositional = 1, .maxPositional = 1}, MessageServer},
      {"stats", nullptr, "", "bytes sent and received, throughput, DSI packets, open sessions",
       {}, Stats},
  };
  return commands;
}

std::string Synopsis(const Command& command) {
  std::string line = command.group;
  if (command.name != nullptr) line += std::string(" ") + command.name;
  if (command.arguments[0] != '\0') line += std::string(" ") + command.arguments;
  return line;
}

constexpr const char* kIntroduction =
    "Administers the running corvane AFP server: shares, accounts, guest access,\n"
    "the logon and server messages, statistics. The server is reached through the\n"
    "settings folder: $CORVANE_SETTINGS_DIR if set, else $XDG_CONFIG_HOME, else\n"
    "$HOME/.config. Give corvane-admin the same setting as corvane.\n";

constexpr const char* kAccountFlagHelp =
    "Account flags:\n"
    "  --enabled | --disabled                      logins with the account are accepted\n"
    "  --admin | --no-admin                        administrator (every access right)\n"
    "  --may-change-password | --no-change-password\n"
    "                                              the user may change the password\n"
    "  --expired | --not-expired                   the password must be changed at the next login\n"
    "  --flags N                                   all flags as a number (decimal or 0x hex),\n"
    "                                              before the options above\n";
constexpr const char* kShareFlagHelp =
    "Share flags: --read-only | --writable, or --flags N (0x2 is read-only).\n";

constexpr const char* kExitHelp =
    "Exit status: 0 done, 1 the server refused or could not be reached, 2 usage error.\n";

// Usage of every command whose group (and name) match; null matches all.
void PrintUsage(std::FILE* out, const char* group, const char* name) {
  std::fprintf(out, "Usage: %s COMMAND [ARGUMENTS]\n\n", kProgram);
  if (group == nullptr) std::fprintf(out, "%s\n", kIntroduction);
  std::fprintf(out, "Commands:\n");
  bool accountFlags = false;
  bool shareFlags = false;
  for (const Command& command : Commands()) {
    if (group != nullptr && std::strcmp(group, command.group) != 0) continue;
    if (name != nullptr && (command.name == nullptr || std::strcmp(name, command.name) != 0))
      continue;
    std::fprintf(out, "  %s\n      %s\n", Synopsis(command).c_str(), command.summary);
    accountFlags = accountFlags || command.syntax.flagSwitches == &kAccountSwitches;
    shareFlags = shareFlags || command.syntax.flagSwitches == &kShareSwitches;
  }
  std::fprintf(out, "  --help\n      this help; COMMAND --help shows the help of that command\n");
  if (accountFlags || shareFlags) std::fputs("\n", out);
  if (accountFlags) std::fputs(kAccountFlagHelp, out);
  if (shareFlags) std::fputs(kShareFlagHelp, out);
  std::fprintf(out, "\n%s", kExitHelp);
}

bool IsHelp(const std::string& word) { return word == "--help" || word == "-h"; }

// The group and the command the words name, as far as they name them.
struct Scope {
  const char* group = nullptr;
  const Command* command = nullptr;
};

Scope FindScope(const std::vector<std::string>& words) {
  Scope scope;
  for (const Command& command : Commands()) {
    if (words.empty() || words[0] != command.group) continue;
    scope.group = command.group;
    if (command.name == nullptr || (words.size() >= 2 && words[1] == command.name)) {
      scope.command = &command;
      break;
    }
  }
  return scope;
}

void PrintUsage(std::FILE* out, const Scope& scope) {
  PrintUsage(out, scope.group, scope.command != nullptr ? scope.command->name : nullptr);
}

int Run(const std::vector<std::string>& words) {
  if (words.empty()) throw UsageError("no command given");
  const Scope scope = FindScope(words);
  if (scope.command == nullptr) {
    if (IsHelp(words[0]) || (scope.group != nullptr && words.size() == 2 && IsHelp(words[1]))) {
      PrintUsage(stdout, scope);
      return 0;
    }
    if (scope.group == nullptr) throw UsageError("unknown command '" + words[0] + "'");
    throw UsageError(words.size() < 2 ? "'" + words[0] + "' needs a subcommand"
                                      : "unknown command '" + words[0] + " " + words[1] + "'");
  }
  const Command& command = *scope.command;
  const std::vector<std::string> rest(words.begin() + (command.name != nullptr ? 2 : 1),
                                      words.end());
  for (const std::string& word : rest) {
    if (word == "--") break;
    if (IsHelp(word)) {
      PrintUsage(stdout, scope);
      return 0;
    }
  }
  return command.run(Parse(rest, command.syntax));
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  try {
    return Run(words);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.what());
    const Scope scope = FindScope(words);
    if (scope.group != nullptr) {
      std::fputs("\n", stderr);
      PrintUsage(stderr, scope);
    } else {
      std::fprintf(stderr, "Run '%s --help' for the usage.\n", kProgram);
    }
    return kExitUsage;
  } catch (const CommandFailed& error) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.what());
    return kExitFailure;
  }
}

#include "server/app/command_line.h"

#include <gtest/gtest.h>

namespace {

using Action = CommandLine::Action;

TEST(CommandLine, Cases) {
  struct Case {
    std::vector<std::string> arguments;
    Action action;
    uint16_t port;
  };
  const Case cases[] = {
      {{}, Action::kRun, 548},
      {{"--port", "0"}, Action::kRun, 0},
      {{"--port=10548"}, Action::kRun, 10548},
      {{"--port", "65535"}, Action::kRun, 65535},
      {{"--help"}, Action::kHelp, 548},
      {{"--version"}, Action::kVersion, 548},
      {{"--port"}, Action::kError, 548},
      {{"--port", "65536"}, Action::kError, 548},
      {{"--port", "-1"}, Action::kError, 548},
      {{"--port", "12ab"}, Action::kError, 548},
      {{"--port="}, Action::kError, 548},
      {{"--frobnicate"}, Action::kError, 548},
  };
  for (const Case& c : cases) {
    const CommandLine line = ParseCommandLine(c.arguments);
    EXPECT_EQ(line.action, c.action) << testing::PrintToString(c.arguments);
    if (c.action == Action::kRun) {
      EXPECT_EQ(line.port, c.port);
    }
    if (c.action == Action::kError) {
      EXPECT_FALSE(line.error.empty());
    }
  }
}

}  // namespace

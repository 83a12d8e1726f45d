// corvane: the AFP file server.

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "platform/find_directory.h"
#include "server/app/command_line.h"
#include "server/app/corvane_application.h"
#include "server/dsi/listener.h"

namespace {

void ReportStartFailure(status_t status) {
  std::string folder;
  FindUserSettingsDirectory(&folder);
  if (status == B_ALREADY_RUNNING)
    std::fprintf(stderr, "corvane: another corvane is already running for the settings folder %s\n",
                 folder.c_str());
  else
    std::fprintf(stderr, "corvane: cannot take the application signature in the settings folder '%s'\n",
                 folder.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine options = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (options.action) {
    case CommandLine::Action::kHelp:
      std::fputs(CommandLineUsage(), stdout);
      return EXIT_SUCCESS;
    case CommandLine::Action::kVersion:
      std::puts("corvane 1.5");
      return EXIT_SUCCESS;
    case CommandLine::Action::kError:
      std::fprintf(stderr, "corvane: %s\n\n%s", options.error.c_str(), CommandLineUsage());
      return 2;
    case CommandLine::Action::kRun:
      break;
  }
  gListenPort.store(options.port);

  afpAppReturnValue = -1;
  auto* application = new (std::nothrow) corvaneApplication();
  if (application != nullptr && application->InitCheck() != B_OK) {
    ReportStartFailure(application->InitCheck());
    delete application;
    return EXIT_FAILURE;
  }
  if (be_app != nullptr) {
    afpAppReturnValue = 0;
    be_app->Run();
    delete application;
  } else {
    afpAppReturnValue = static_cast<int32_t>(0x80000000u);
  }
  // Connection threads and the listener end with the process; leave without
  // running static destructors under their feet.
  std::fflush(nullptr);
  std::_Exit(afpAppReturnValue == 0 ? EXIT_SUCCESS : EXIT_FAILURE);
}

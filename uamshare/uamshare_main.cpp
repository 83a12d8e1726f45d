// uamshare: asks the running server to share the folder "BeUAM_Volume" of
// the user's home folder, through which Mac clients fetch the client login
// plug-in, and says how that went. The exit status is 0 whatever happened.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "uamshare/uamshare_client.h"

namespace {

constexpr const char* kUsage =
    "Usage: uamshare [--help]\n"
    "\n"
    "Asks the running corvane server to share the folder ~/BeUAM_Volume, from\n"
    "which Mac clients install the client login plug-in, and prints the outcome.\n"
    "The folder must exist. The server is the one of this user's settings folder:\n"
    "$CORVANE_SETTINGS_DIR if set, else $XDG_CONFIG_HOME, else $HOME/.config.\n";

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') return home;
  if (const passwd* user = getpwuid(getuid()); user != nullptr && user->pw_dir != nullptr)
    return user->pw_dir;
  return "/";
}

void ShareUAMVolume() {
  std::string home = HomeFolder();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  const std::string folder = (home == "/" ? "" : home) + "/BeUAM_Volume";

  afp_entry_ref ref{};
  struct stat info;
  if (folder.size() >= sizeof ref.path || lstat(folder.c_str(), &info) != 0) {
    std::printf("Error setting directory ref!!\n");
    return;
  }
  std::memcpy(ref.path, folder.c_str(), folder.size() + 1);

  afp_path shared{};
  if (AFPAddShare(ref, &shared) == 0) {
    std::printf("%s shared successfully!\n", shared.path);
  } else {
    std::printf("Sharing %s failed!!\n", folder.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::fprintf(stderr, "uamshare: unexpected argument '%s'\n%s", argv[1], kUsage);
    return 2;
  }
  ShareUAMVolume();
  return 0;
}

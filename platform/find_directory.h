// The per-user settings folder: $CORVANE_SETTINGS_DIR when set, else
// $XDG_CONFIG_HOME, else $HOME/.config. One variable isolates a whole
// installation (a test, a demo).
#pragma once

#include <string>

#include "platform/status.h"

status_t FindUserSettingsDirectory(std::string* path);

// Creates the folder and its missing parents (new ones with mode 0700).
status_t EnsureDirectory(const std::string& path);

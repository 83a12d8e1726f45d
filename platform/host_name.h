// The machine's network host name.
#pragma once

#include <string>

#include "platform/status.h"

// B_OK with the host name, or B_NAME_NOT_FOUND when the machine has none.
status_t GetHostName(std::string* name);

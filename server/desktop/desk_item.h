// DESK_ITEM: one desktop database a session has open — the reference number
// the client uses, the volume it belongs to, and the open desktop file.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/directory.h"

struct DESK_ITEM {
  uint16_t refNum = 0;
  uint16_t volumeID = 0;
  std::unique_ptr<BFile> file;
  BEntry entry;
};

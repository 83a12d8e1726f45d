// Node monitoring: a watched file or folder reports its own removal, its
// move or rename, and changes of its status, as B_NODE_MONITOR messages
// ("opcode" int32, "device" int32, "node" int64) to a messenger. Built on
// inotify; one thread reads all watches.
#pragma once

#include <cstdint>

#include "platform/message.h"
#include "platform/messenger.h"

inline constexpr uint32_t B_NODE_MONITOR = FourCC("NDMN");

// Opcodes.
inline constexpr int32_t B_ENTRY_REMOVED = 2;
inline constexpr int32_t B_ENTRY_MOVED = 3;
inline constexpr int32_t B_STAT_CHANGED = 4;

// Watch flags.
inline constexpr uint32_t B_STOP_WATCHING = 0;
inline constexpr uint32_t B_WATCH_NAME = 1;  // removal, move, rename
inline constexpr uint32_t B_WATCH_STAT = 2;  // status changes

// Starts watching the node at `path` (a final symbolic link is not
// followed) for `target`. Watching the same node again for the same target
// replaces its flags.
status_t WatchNode(const char* path, uint32_t flags, const BMessenger& target);
// Stops the watches of that node (by device and node number) for `target`.
status_t StopWatchingNode(int32_t device, int64_t node, const BMessenger& target);

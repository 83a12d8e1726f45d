// An open fork: the record a session keeps for each fork a client opened.
// The data fork is the platform file; the resource fork is the node
// attribute "Afp_Resource", worked on as a whole in-memory copy and written
// back on flush, on close (when changed) and at once on a resize.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/directory.h"
#include "server/volume/afp_volume.h"

class BAFPLock;

inline constexpr int16_t kDataFork = 0;
inline constexpr int16_t kResourceFork = 1;
inline constexpr int32_t kMaxOpenForks = 24;
// Resource forks are held whole in memory while open: a client cannot make
// one larger than this.
// FPWrite and FPByteRangeLock flag: the offset counts from the fork's end.
inline constexpr uint8_t kFromEndFlag = 0x80;
inline constexpr int64_t kMaxResourceForkLength = int64_t{64} << 20;

// Access mode bits of FPOpenFork.
inline constexpr uint16_t kAccessRead = 0x0001;
inline constexpr uint16_t kAccessWrite = 0x0002;

struct OPEN_FORK_ITEM {
  uint16_t refNum = 0;
  std::unique_ptr<BFile> file;  // the data fork; null for a resource fork or when it did not open
  bool readable = false;  // the data file's open mode; for a resource fork, the access mode
  bool writable = false;
  int16_t forkType = kDataFork;
  BEntry entry;
  node_ref node;  // the file's identity: locks and open-fork tests compare it
  VolumeRef volume;
  std::vector<BAFPLock*> locks;  // owned: deleted when the fork closes
  std::mutex forkLock;           // held while the fork is flushed or closed
  std::unique_ptr<std::vector<uint8_t>> resource;  // the resource copy
  bool resourceDirty = false;
};

// Reads "Afp_Resource" of the entry whole; empty when it has none.
std::unique_ptr<std::vector<uint8_t>> afpReadResourceFork(const BEntry& entry);
// Replaces "Afp_Resource" with the copy; false when the write fails.
bool afpWriteResourceFork(const BEntry& entry, const std::vector<uint8_t>& copy);
// The size of the stored "Afp_Resource" (0 without one).
int64_t afpStoredResourceForkSize(const BEntry& entry);
int64_t afpStoredResourceForkSize(BNode& node);

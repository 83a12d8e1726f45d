// BAFPVolume: one shared folder as an AFP volume — its ID, name, share
// flags, the two directory IDs that anchor it, and the dirty mark that tells
// clients its contents changed. Volumes are shared objects: the registry
// lists them, and sessions (and what they open) keep them alive after a
// share is withdrawn.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/directory.h"
#include "platform/node.h"

class BAFPBuffer;
class BAFPSession;
struct OPEN_FORK_ITEM;

// Share flag: the share is read-only.
inline constexpr uint32_t kShareReadOnly = 0x02;

// Volume parameter bitmap.
inline constexpr uint16_t kVolumeAttributesBit = 0x0001;
inline constexpr uint16_t kVolumeSignatureBit = 0x0002;
inline constexpr uint16_t kVolumeCreationDateBit = 0x0004;
inline constexpr uint16_t kVolumeModificationDateBit = 0x0008;
inline constexpr uint16_t kVolumeBackupDateBit = 0x0010;
inline constexpr uint16_t kVolumeIDBit = 0x0020;
inline constexpr uint16_t kVolumeBytesFreeBit = 0x0040;
inline constexpr uint16_t kVolumeBytesTotalBit = 0x0080;
inline constexpr uint16_t kVolumeNameBit = 0x0100;
inline constexpr uint16_t kVolumeExtBytesFreeBit = 0x0200;
inline constexpr uint16_t kVolumeExtBytesTotalBit = 0x0400;
inline constexpr uint16_t kVolumeBlockSizeBit = 0x0800;

class BAFPVolume {
 public:
  // Takes the next volume ID, counting down from 65535, and anchors the
  // volume on the folder at `path` (IDs 0 when it cannot be opened).
  BAFPVolume(const std::string& path, uint32_t flags);
  virtual ~BAFPVolume() = default;
  BAFPVolume(const BAFPVolume&) = delete;
  BAFPVolume& operator=(const BAFPVolume&) = delete;

  // The name a volume on that path gets: the path's last component.
  static std::string NameForPath(const std::string& path);

  // The last component of the path: the name clients see.
  virtual const char* GetVolumeName() const;
  virtual int32_t GetVolumeFlags() const;
  virtual void SetVolumeFlags(uint32_t flags);
  virtual uint16_t GetVolumeID() const;
  virtual const std::string& GetPath() const;
  // The shared folder as an entry.
  BEntry GetRootEntry() const { return BEntry(fPath); }
  // The shared folder's node; device and node -1 when it could not be opened.
  virtual const node_ref& GetNodeRef() const;
  virtual uint32_t GetRootDirID() const;
  virtual uint32_t GetParentOfRootID() const;
  virtual bool IsDirty() const;
  virtual void MakeDirty();
  // Clears the mark; true when it was set.
  virtual bool MakeClean();
  // The forks open on this volume, in any session.
  virtual void AddOpenFile(OPEN_FORK_ITEM* fork);
  virtual void RemoveOpenFile(OPEN_FORK_ITEM* fork);
  // The first open fork of that type of the file (device and node), or null.
  virtual OPEN_FORK_ITEM* IsFileOpen(const node_ref& file, int16_t forkType);

  // Appends the volume parameter block for `bitmap`.
  virtual int32_t fp_GetVolParms(uint16_t bitmap, BAFPBuffer& reply);

 private:
  const std::string fPath;
  const std::string fName;
  const uint16_t fVolumeID;
  std::atomic<uint8_t> fFlags;
  node_ref fNodeRef;
  uint32_t fRootDirID = 0;
  uint32_t fParentOfRootID = 0;
  std::atomic<bool> fDirty{false};
  std::mutex fLock;  // the open-fork list
  std::vector<OPEN_FORK_ITEM*> fOpenForks;
};

using VolumeRef = std::shared_ptr<BAFPVolume>;

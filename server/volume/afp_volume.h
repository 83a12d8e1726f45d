// BAFPVolume: one shared folder as an AFP volume — its ID, name, share flags
// and the dirty mark that tells clients its contents changed.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// Share flag: the share is read-only.
inline constexpr uint32_t kShareReadOnly = 0x02;

class BAFPVolume {
 public:
  // Takes the next volume ID, counting down from 65535.
  BAFPVolume(const std::string& path, uint32_t flags);
  virtual ~BAFPVolume() = default;
  BAFPVolume(const BAFPVolume&) = delete;
  BAFPVolume& operator=(const BAFPVolume&) = delete;

  // The last component of the path: the name clients see.
  virtual const char* GetVolumeName() const;
  virtual int32_t GetVolumeFlags() const;
  virtual void SetVolumeFlags(uint32_t flags);
  virtual uint16_t GetVolumeID() const;
  virtual const std::string& GetPath() const;
  virtual bool IsDirty() const;
  virtual void MakeDirty();
  virtual void MakeClean();

 private:
  const std::string fPath;
  const std::string fName;
  const uint16_t fVolumeID;
  std::atomic<uint8_t> fFlags;
  std::atomic<bool> fDirty{false};
};

#include "server/volume/afp_volume.h"

namespace {

std::atomic<uint16_t> gNextVolumeID{0xFFFF};

std::string LastComponent(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace

BAFPVolume::BAFPVolume(const std::string& path, uint32_t flags)
    : fPath(path),
      fName(LastComponent(path)),
      fVolumeID(gNextVolumeID.fetch_sub(1)),
      fFlags(static_cast<uint8_t>(flags)) {}

const char* BAFPVolume::GetVolumeName() const { return fName.c_str(); }

int32_t BAFPVolume::GetVolumeFlags() const { return static_cast<int8_t>(fFlags.load()); }

void BAFPVolume::SetVolumeFlags(uint32_t flags) { fFlags.store(static_cast<uint8_t>(flags)); }

uint16_t BAFPVolume::GetVolumeID() const { return fVolumeID; }

const std::string& BAFPVolume::GetPath() const { return fPath; }

bool BAFPVolume::IsDirty() const { return fDirty.load(); }

void BAFPVolume::MakeDirty() { fDirty.store(true); }

void BAFPVolume::MakeClean() { fDirty.store(false); }

#include "server/volume/afp_volume.h"

#include <algorithm>
#include <climits>

#include "platform/entry.h"
#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/fork/open_fork.h"

namespace {

std::atomic<uint16_t> gNextVolumeID{0xFFFF};

constexpr int16_t kVolumeAttributes = 0x0640;  // UTF-8 names, no exchange files, extended attributes
constexpr int16_t kVolumeReadOnlyAttribute = 0x0001;
constexpr int16_t kFixedDirectoryIDs = 2;
constexpr int32_t kNeverBackedUp = static_cast<int32_t>(0x80000000u);
constexpr int32_t kBlockSize = 1024;

int32_t Clamp32(int64_t value) { return static_cast<int32_t>(std::min<int64_t>(value, INT32_MAX)); }

}  // namespace

std::string BAFPVolume::NameForPath(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

BAFPVolume::BAFPVolume(const std::string& path, uint32_t flags)
    : fPath(path),
      fName(NameForPath(path)),
      fVolumeID(gNextVolumeID.fetch_sub(1)),
      fFlags(static_cast<uint8_t>(flags)) {
  EntryInfo folder;
  if (GetEntryInfo(path.c_str(), &folder) != B_OK || !folder.isDirectory) return;
  fNodeRef = folder.ref;
  fRootDirID = static_cast<uint32_t>(folder.ref.node);
  node_ref parent;
  if (GetParentNodeRef(path.c_str(), &parent) == B_OK) fParentOfRootID = static_cast<uint32_t>(parent.node);
}

const char* BAFPVolume::GetVolumeName() const { return fName.c_str(); }

int32_t BAFPVolume::GetVolumeFlags() const { return static_cast<int8_t>(fFlags.load()); }

void BAFPVolume::SetVolumeFlags(uint32_t flags) { fFlags.store(static_cast<uint8_t>(flags)); }

uint16_t BAFPVolume::GetVolumeID() const { return fVolumeID; }

const std::string& BAFPVolume::GetPath() const { return fPath; }

const node_ref& BAFPVolume::GetNodeRef() const { return fNodeRef; }

uint32_t BAFPVolume::GetRootDirID() const { return fRootDirID; }

uint32_t BAFPVolume::GetParentOfRootID() const { return fParentOfRootID; }

bool BAFPVolume::IsDirty() const { return fDirty.load(); }

void BAFPVolume::MakeDirty() { fDirty.store(true); }

bool BAFPVolume::MakeClean() { return fDirty.exchange(false); }

void BAFPVolume::AddOpenFile(OPEN_FORK_ITEM* fork) {
  std::lock_guard<std::mutex> guard(fLock);
  fOpenForks.push_back(fork);
}

void BAFPVolume::RemoveOpenFile(OPEN_FORK_ITEM* fork) {
  std::lock_guard<std::mutex> guard(fLock);
  std::erase(fOpenForks, fork);
}

OPEN_FORK_ITEM* BAFPVolume::IsFileOpen(const node_ref& file, int16_t forkType) {
  std::lock_guard<std::mutex> guard(fLock);
  for (OPEN_FORK_ITEM* fork : fOpenForks)
    if (fork->node == file && fork->forkType == forkType) return fork;
  return nullptr;
}

int32_t BAFPVolume::fp_GetVolParms(uint16_t bitmap, BAFPBuffer& reply) {
  const int32_t start = reply.GetDataLength();
  reply.AddInt16(static_cast<int16_t>(bitmap));
  EntryInfo folder;
  FileSystemInfo fileSystem;
  if (GetEntryInfo(fPath.c_str(), &folder) != B_OK || GetFileSystemInfo(fPath.c_str(), &fileSystem) != B_OK)
    return kFPParamErr;
  const bool readOnly = fileSystem.readOnly || (fFlags.load() & kShareReadOnly) != 0;

  if (bitmap & kVolumeAttributesBit)
    reply.AddInt16(kVolumeAttributes | (readOnly ? kVolumeReadOnlyAttribute : 0));
  if (bitmap & kVolumeSignatureBit) reply.AddInt16(kFixedDirectoryIDs);
  if (bitmap & kVolumeCreationDateBit) reply.AddInt32(folder.creationTime);
  if (bitmap & kVolumeModificationDateBit) reply.AddInt32(folder.modificationTime);
  if (bitmap & kVolumeBackupDateBit) reply.AddInt32(kNeverBackedUp);
  if (bitmap & kVolumeIDBit) reply.AddInt16(static_cast<int16_t>(fVolumeID));
  if (bitmap & kVolumeBytesFreeBit) reply.AddInt32(Clamp32(fileSystem.freeBytes));
  if (bitmap & kVolumeBytesTotalBit) reply.AddInt32(Clamp32(fileSystem.capacity));
  signed char* nameOffset = nullptr;
  if (bitmap & kVolumeNameBit) {
    nameOffset = reply.GetCurrentPosPtr();
    reply.AddInt16(0);
  }
  if (bitmap & kVolumeExtBytesFreeBit) reply.AddInt64(fileSystem.freeBytes);
  if (bitmap & kVolumeExtBytesTotalBit) reply.AddInt64(fileSystem.capacity);
  if (bitmap & kVolumeBlockSizeBit) reply.AddInt32(kBlockSize);
  if (nameOffset != nullptr) {
    // Counted from the first byte after the bitmap.
    BAFPBuffer offset(nameOffset, 2);
    offset.AddInt16(static_cast<int16_t>(reply.GetDataLength() - start - 2));
    reply.AddCStringAsPascal(fName.c_str());
  }
  return kFPNoErr;
}

#include "server/volume/volume_registry.h"

#include <cstring>
#include <string>

#include "platform/application.h"
#include "platform/find_directory.h"
#include "platform/messenger.h"
#include "platform/node_monitor.h"
#include "server/volume/settings_file.h"

std::vector<VolumeRef>* gAFPVolumeList = nullptr;
std::recursive_mutex gAFPVolumeListLock;

namespace {

std::string RecordName(const char* path) { return std::string(kVolumeRecordPrefix) + path; }

// Node-monitor notifications for shared folders go to the application.
BMessenger ApplicationMessenger() { return be_app != nullptr ? BMessenger(be_app) : BMessenger(); }

template <typename Match>
VolumeRef FindFirst(Match match) {
  std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
  if (gAFPVolumeList == nullptr) return nullptr;
  for (const VolumeRef& volume : *gAFPVolumeList)
    if (match(*volume)) return volume;
  return nullptr;
}

}  // namespace

bool afpMakeVolumeRecord(const char* path, uint32_t flags, VolumeStorageData* record) {
  std::memset(record, 0, sizeof(*record));
  if (path == nullptr || std::strlen(path) >= sizeof(record->path)) return false;
  std::strcpy(record->path, path);
  record->flags = flags;
  return true;
}

void SaveVolumeData(const VolumeStorageData* record) {
  BNode file;
  if (afpOpenSettingsFile(&file, true) == B_OK)
    file.WriteAttr(RecordName(record->path).c_str(), 0, 0, record, sizeof(*record));
  std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
  if (gAFPVolumeList == nullptr) return;
  for (const VolumeRef& volume : *gAFPVolumeList) {
    if (volume->GetPath() == record->path) {
      volume->SetVolumeFlags(record->flags);
      break;
    }
  }
}

int32_t GetVolumeData(const char* path, VolumeStorageData* out) {
  std::string folder;
  const status_t found = FindUserSettingsDirectory(&folder);
  if (found != B_OK) return found;
  BNode file;
  if (afpOpenSettingsFile(&file, false) != B_OK) return -1;
  VolumeStorageData record;
  int32_t result = -1;
  afpForEachSettingsRecord(file, kVolumeRecordPrefix, &record, sizeof(record), [&](const char*) {
    record.path[sizeof(record.path) - 1] = '\0';
    if (std::strcmp(record.path, path) != 0) return true;
    *out = record;
    result = 0;
    return false;
  });
  return result;
}

int32_t RemoveVolumeData(const char* path) {
  std::string folder;
  const status_t found = FindUserSettingsDirectory(&folder);
  if (found != B_OK) return found;
  BNode file;
  if (afpOpenSettingsFile(&file, false) != B_OK) return -1;
  file.RemoveAttr(RecordName(path).c_str());
  return 0;
}

int32_t StartSharingVolume(const VolumeStorageData* record) {
  char path[sizeof(record->path)];
  std::memcpy(path, record->path, sizeof(path));
  path[sizeof(path) - 1] = '\0';
  {
    std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
    if (gAFPVolumeList == nullptr) return -1;
    if (FindVolume(BAFPVolume::NameForPath(path).c_str()) != nullptr) return -1;
    gAFPVolumeList->push_back(std::make_shared<BAFPVolume>(path, record->flags));
  }
  WatchVolume(path);
  return 0;
}

int32_t StopSharingVolume(const char* path) {
  bool removed = false;
  {
    std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
    if (gAFPVolumeList != nullptr) {
      for (auto it = gAFPVolumeList->begin(); it != gAFPVolumeList->end(); ++it) {
        if ((*it)->GetPath() == path) {
          // Sessions that still have it open keep the object; it is no
          // longer found.
          gAFPVolumeList->erase(it);
          removed = true;
          break;
        }
      }
    }
  }
  StopWatchingVolume(path);
  return removed ? 0 : -1;
}

int32_t ShareAllVolumes() {
  BNode file;
  if (afpOpenSettingsFile(&file, false) != B_OK) return 0;
  VolumeStorageData record;
  afpForEachSettingsRecord(file, kVolumeRecordPrefix, &record, sizeof(record), [&](const char*) {
    StartSharingVolume(&record);
    return true;
  });
  return 0;
}

void WatchVolume(const char* path) { WatchNode(path, B_WATCH_NAME | B_WATCH_STAT, ApplicationMessenger()); }

void StopWatchingVolume(const char* path) { WatchNode(path, B_STOP_WATCHING, ApplicationMessenger()); }

void StopWatchingVolume(const node_ref& ref) { StopWatchingNode(ref.device, ref.node, ApplicationMessenger()); }

VolumeRef FindVolume(const char* name) {
  return FindFirst([name](const BAFPVolume& volume) { return std::strcmp(volume.GetVolumeName(), name) == 0; });
}

VolumeRef FindVolume(uint16_t volumeID) {
  return FindFirst([volumeID](const BAFPVolume& volume) { return volume.GetVolumeID() == volumeID; });
}

VolumeRef FindVolume(const node_ref& ref) {
  return FindFirst([&ref](const BAFPVolume& volume) {
    return volume.GetNodeRef().node >= 0 && volume.GetNodeRef() == ref;
  });
}

// The registry of shared volumes: the list, in the order the shares were
// started, persisted as "AFP:" records of the settings file, each shared
// folder watched so a moved or deleted folder can be withdrawn.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/node.h"
#include "server/volume/afp_volume.h"

inline constexpr const char* kVolumeRecordPrefix = "AFP:";

// The stored share record, 264 bytes, integers in host byte order.
struct VolumeStorageData {
  uint8_t reserved[2];
  char path[258];
  uint32_t flags;
};
static_assert(sizeof(VolumeStorageData) == 264);

// Created at start-up; null before. Guarded by gAFPVolumeListLock for every
// walk and change; changed only on the application thread.
extern std::vector<VolumeRef>* gAFPVolumeList;
extern std::recursive_mutex gAFPVolumeListLock;

// Writes the record and pushes its flags to the live volume of that path.
void SaveVolumeData(const VolumeStorageData* record);
// 0 and the record; -1 when there is none or no settings file; the
// platform's status when there is no settings folder.
int32_t GetVolumeData(const char* path, VolumeStorageData* out);
int32_t RemoveVolumeData(const char* path);
// 0 when listed; -1 when a volume of the same name is listed already.
int32_t StartSharingVolume(const VolumeStorageData* record);
// 0 when a listed volume of that path was removed; -1 when none was.
int32_t StopSharingVolume(const char* path);
// Shares every recorded folder; 0.
int32_t ShareAllVolumes();
void WatchVolume(const char* path);
void StopWatchingVolume(const char* path);
void StopWatchingVolume(const node_ref& ref);

VolumeRef FindVolume(const char* name);
VolumeRef FindVolume(uint16_t volumeID);
VolumeRef FindVolume(const node_ref& ref);

// Builds a zero-filled record for a path and flags; false when the path does
// not fit the record.
bool afpMakeVolumeRecord(const char* path, uint32_t flags, VolumeStorageData* record);

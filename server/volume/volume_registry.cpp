#include "server/volume/volume_registry.h"

std::vector<BAFPVolume*>* gAFPVolumeList = nullptr;
std::recursive_mutex gAFPVolumeListLock;

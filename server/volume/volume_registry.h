// The registry of shared volumes: the list, in the order the shares were
// started, and the recursive lock that guards every walk and change of it.
#pragma once

#include <mutex>
#include <vector>

#include "server/volume/afp_volume.h"

// Owns its volumes. Created at start-up; null before.
extern std::vector<BAFPVolume*>* gAFPVolumeList;
extern std::recursive_mutex gAFPVolumeListLock;

// The common start of the file and folder commands: the volume (which the
// session must have open), a directory ID and a path.
#pragma once

#include <cstdint>

#include "server/volume/afp_volume.h"

class BAFPBuffer;
class BAFPSession;

inline constexpr uint16_t kPathBufferSize = 1024;
inline constexpr uint16_t kNewNameBufferSize = 256;

// Reads a volume ID; kFPParamErr when the request is short or the session
// has no such volume open.
int32_t afpReadOpenVolume(BAFPSession* session, BAFPBuffer& in, VolumeRef* volume);

// Reads a path type and a path with separator conversion into `path`
// (`size` bytes): the wire buffer's result (kFPParamErr when short).
int32_t afpReadPath(BAFPBuffer& in, char* path, uint16_t size);

// What the desktop commands read alike: the desktop reference, the volume
// of the desktop, and an object named by directory ID and path.
#pragma once

#include <cstdint>

#include "server/volume/afp_volume.h"

class BAFPBuffer;
class BAFPSession;
class BEntry;

// Steps over the command code and pad and reads the desktop reference; the
// caller checks the buffer's ReadPastEnd.
uint16_t afpReadDesktopReference(BAFPBuffer& in);

// The volume an open desktop belongs to: kFPParamErr when the reference is
// not open in the session or the volume is no longer shared.
int32_t afpDesktopVolume(BAFPSession* session, uint16_t reference, VolumeRef* volume);

// Reads a path (type byte and name, '/' and ':' exchanged) into `path`
// (`size` bytes, terminator included): kFPParamErr for a short request, a
// name too long, or a short-name or unknown path type.
int32_t afpReadDesktopPath(BAFPBuffer& in, char* path, uint16_t size);

// Resolves an object on the desktop's volume: kFPParamErr as
// afpDesktopVolume, else the resolution's result.
int32_t afpResolveOnDesktop(BAFPSession* session, uint16_t reference, int32_t dirID, const char* path,
                            VolumeRef* volume, BEntry* entry);

// Access rights of folders: what the server reports for a folder to each
// kind of user, and what it then lets that user do there.
#pragma once

#include <cstdint>

class BAFPSession;
class BAFPVolume;
class BEntry;
struct EntryInfo;

// Rights in each byte of the 32-bit word.
inline constexpr uint8_t kRightSearch = 0x01;
inline constexpr uint8_t kRightRead = 0x02;
inline constexpr uint8_t kRightWrite = 0x04;

// The 32-bit access rights of a folder for this session: user summary,
// everyone, group, owner (most significant first).
uint32_t afpAccessRights(BAFPSession* session, const BEntry& folder);
// The same for a folder whose facts are already read.
uint32_t afpAccessRights(BAFPSession* session, const BEntry& folder, const EntryInfo& info);

// kFPNoErr when the session holds `right` (one of kRight*) in the folder, or
// any of them when `right` is a mask; kFPAccessDenied otherwise.
int32_t afpRequireRight(BAFPSession* session, const BEntry& folder, uint8_t right);

// The folder whose rights govern changes to `entry`: the shared folder for
// the shared folder itself, else the folder that holds the entry.
BEntry afpGoverningFolder(BAFPVolume* volume, const BEntry& entry);

// Changing an object's comment or extended attributes is changing the
// object: kFPVolLocked on a share flagged read-only, kFPAccessDenied
// without the write right of its governing folder, else kFPNoErr.
int32_t afpRequireMetadataChange(BAFPSession* session, BAFPVolume* volume, const BEntry& entry);

#include "server/fs/access_rights.h"

#include <cstring>

#include "platform/directory.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/volume/afp_volume.h"

namespace {

constexpr const char* kDropFolderName = "~DropFolder~";
constexpr uint32_t kDropFolderRights = 0x04040404;
constexpr uint32_t kAdministratorRights = 0x87070707;

// One right for the user summary and everyone bytes.
uint32_t Granted(uint8_t right) { return (static_cast<uint32_t>(right) << 24) | (static_cast<uint32_t>(right) << 16); }

}  // namespace

uint32_t afpAccessRights(BAFPSession* session, const BEntry& folder) {
  EntryInfo info;  // mode 0, no rights, when the folder cannot be read
  folder.GetInfo(&info);
  return afpAccessRights(session, folder, info);
}

uint32_t afpAccessRights(BAFPSession* session, const BEntry& folder, const EntryInfo& info) {
  const bool admin = session->IsAdmin();
  if (folder.Name() == kDropFolderName && !admin) return kDropFolderRights;
  if (admin) return kAdministratorRights;
  const uint32_t mode = info.mode;
  // Guests count as others; users also get what the group may do.
  const bool guest = session->IsGuest();
  const auto allowed = [&](uint32_t groupBit, uint32_t otherBit) {
    return (mode & otherBit) != 0 || (!guest && (mode & groupBit) != 0);
  };
  uint32_t rights = 0;
  if (allowed(0040, 0004)) rights |= Granted(kRightRead);
  if (allowed(0020, 0002)) rights |= Granted(kRightWrite);
  if (allowed(0010, 0001)) rights |= Granted(kRightSearch);
  return rights;
}

int32_t afpRequireRight(BAFPSession* session, const BEntry& folder, uint8_t right) {
  const auto summary = static_cast<uint8_t>(afpAccessRights(session, folder) >> 24);
  return (summary & right) != 0 ? kFPNoErr : kFPAccessDenied;
}

BEntry afpGoverningFolder(BAFPVolume* volume, const BEntry& entry) {
  const BEntry root = volume->GetRootEntry();
  return entry.SameNodeAs(root) ? root : entry.Parent();
}

int32_t afpRequireMetadataChange(BAFPSession* session, BAFPVolume* volume, const BEntry& entry) {
  if (volume->GetVolumeFlags() & kShareReadOnly) return kFPVolLocked;
  return afpRequireRight(session, afpGoverningFolder(volume, entry), kRightWrite);
}

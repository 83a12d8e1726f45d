#include "server/fs/parameters.h"

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/fork/open_fork.h"
#include "server/fs/access_rights.h"
#include "server/fs/afp_object.h"
#include "server/volume/afp_volume.h"

namespace {

constexpr int32_t kNeverBackedUp = static_cast<int32_t>(0x80000000u);
constexpr int32_t kOwnerID = 1;
constexpr int32_t kGroupID = 0;
constexpr uint32_t kTooLarge32 = 0xFFFFFFFFu;
constexpr int16_t kDefaultIconPosition = 20;

// Which access rights grant which permission bit when an administrator
// sets a folder's rights.
constexpr struct {
  uint32_t rights;
  uint32_t permission;
} kRightsToPermissions[] = {
    {0x01000001u, 0100}, {0x02000002u, 0400}, {0x04000004u, 0200},  // owner: search, read, write
    {0x00000100u, 0010}, {0x00000200u, 0040}, {0x00000400u, 0020},  // group
    {0x00010000u, 0001}, {0x00020000u, 0004}, {0x00040000u, 0002},  // others
};

// Offsets of the four 16-bit Finder fields.
constexpr int kFinderFieldOffsets[] = {8, 10, 12, 14};
constexpr int kIconVerticalOffset = 10;
constexpr int kIconHorizontalOffset = 12;

// The shared folder and its parent answer to IDs 2 and 1.
struct VolumeAnchors {
  int64_t root;
  int64_t parentOfRoot;
};

VolumeAnchors Anchors(BAFPVolume* volume) {
  return {static_cast<int64_t>(volume->GetRootDirID()), static_cast<int64_t>(volume->GetParentOfRootID())};
}

bool NeedsMoreThan32Bits(int64_t node) { return (static_cast<uint64_t>(node) >> 32) != 0; }

void StoreField(uint8_t* field, uint16_t value) {
  field[0] = static_cast<uint8_t>(value);
  field[1] = static_cast<uint8_t>(value >> 8);
}

// Finder information to and from the wire.
void WriteFinderInfo(BAFPBuffer* reply, const FINDER_INFO& info) {
  FINDER_INFO wire = info;
  for (int offset : kFinderFieldOffsets) {
    const uint16_t value = static_cast<uint16_t>(info.bytes[offset] | (info.bytes[offset + 1] << 8));
    wire.bytes[offset] = static_cast<uint8_t>(value >> 8);
    wire.bytes[offset + 1] = static_cast<uint8_t>(value);
  }
  reply->AddRawData(wire.bytes, sizeof(wire.bytes));
}

FINDER_INFO ReadFinderInfo(BAFPBuffer* request) {
  FINDER_INFO info;
  request->GetRawData(info.bytes, sizeof(info.bytes));
  for (int offset : kFinderFieldOffsets)
    StoreField(info.bytes + offset, static_cast<uint16_t>((info.bytes[offset] << 8) | info.bytes[offset + 1]));
  return info;
}

// The stored Finder information, or the default written in its place.
FINDER_INFO FinderInfoOrDefault(BNode& node, bool isDirectory) {
  FINDER_INFO info{};
  if (BAFPObject::GetAFPFinderInfo(node, &info) == kFPNoErr) return info;
  // Nothing of a short or unreadable value is kept.
  std::memset(info.bytes, 0, sizeof(info.bytes));
  if (!isDirectory) std::memcpy(info.bytes, "????????", 8);  // type and creator
  StoreField(info.bytes + kIconVerticalOffset, kDefaultIconPosition);
  StoreField(info.bytes + kIconHorizontalOffset, kDefaultIconPosition);
  BAFPObject::SetAFPFinderInfo(node, &info);
  return info;
}

// The Unix privileges field: the bitmap announces it, so its 16 bytes are
// always written when asked for (clients read them by position).
void WriteUnixPrivileges(BAFPBuffer* reply, const EntryInfo& info, uint32_t fileType, uint32_t accessRights) {
  reply->AddInt32(static_cast<int32_t>(info.uid));
  reply->AddInt32(static_cast<int32_t>(info.gid));
  reply->AddInt32(static_cast<int32_t>(fileType | info.mode));
  reply->AddInt32(static_cast<int32_t>(accessRights));
}

uint16_t StoredAttributes(BNode& node) {
  uint16_t attributes = 0;
  BAFPObject::GetAFPAttributes(node, &attributes);
  return attributes;
}

// An entry's node, opened at its first use: a parameter block reads several
// attributes of one object.
class LazyNode {
 public:
  explicit LazyNode(const BEntry& entry) : fEntry(entry) {}
  BNode& operator*() {
    if (!fOpened) {
      fNode.SetTo(fEntry.DiskPath().c_str());
      fOpened = true;
    }
    return fNode;
  }

 private:
  const BEntry& fEntry;
  BNode fNode;
  bool fOpened = false;
};

// The names of a parameter block: offsets remembered while the fixed fields
// are written, names appended after them.
class NameFields {
 public:
  NameFields(BAFPBuffer* reply, int32_t blockStart) : fReply(reply), fBlockStart(blockStart) {}
  void ReserveLongName() { fLongName = Reserve(); }
  void ReserveUTF8Name() { fUTF8Name = Reserve(); }
  void Append(const BEntry& entry) {
    if (fLongName == nullptr && fUTF8Name == nullptr) return;
    const std::string name = entry.Name();
    if (fLongName != nullptr) {
      char longName[kNameBufferSize];
      BAFPObject::GetLongName(longName, entry);
      Patch(fLongName);
      fReply->AddCStringAsPascal(longName);
    }
    if (fUTF8Name != nullptr) {
      Patch(fUTF8Name);
      fReply->AddUniString(name.c_str(), true, true);
    }
  }

 private:
  signed char* Reserve() {
    signed char* field = fReply->GetCurrentPosPtr();
    fReply->AddInt16(0);
    return field;
  }
  void Patch(signed char* field) {
    BAFPBuffer offset(field, 2);
    offset.AddInt16(static_cast<int16_t>(fReply->GetDataLength() - fBlockStart));
  }

  BAFPBuffer* fReply;
  int32_t fBlockStart;
  signed char* fLongName = nullptr;
  signed char* fUTF8Name = nullptr;
};

}  // namespace

uint16_t afpAdjustBitmap(uint16_t bitmap, signed char afpVersion) {
  bitmap &= static_cast<uint16_t>(~kDirShortNameBit);
  if (afpVersion == kAFPVersion22) bitmap &= static_cast<uint16_t>(~kDirUTF8NameBit);
  return bitmap;
}

int32_t afpSetParmsLength(uint16_t bitmap, bool isDirectory, bool isAdmin) {
  int32_t length = 0;
  if (bitmap & kDirAttributesBit) length += 2;
  if (bitmap & kDirCreationDateBit) length += 4;
  if (bitmap & kDirModificationDateBit) length += 4;
  if (bitmap & kDirBackupDateBit) length += 4;
  if (bitmap & kDirFinderInfoBit) length += 32;
  if (isDirectory) {
    if (bitmap & kDirOwnerIDBit) length += 4;
    if (bitmap & kDirGroupIDBit) length += 4;
    if ((bitmap & kDirAccessRightsBit) && isAdmin) length += 4;
  }
  return length;
}

int32_t BAFPObject::fp_GetDirParms(BAFPSession* session, BAFPVolume* volume, const BEntry& entry, uint16_t bitmap,
                                   BAFPBuffer* reply) {
  EntryInfo info;
  if (entry.GetInfo(&info) != B_OK) return kFPParamErr;
  const VolumeAnchors anchors = Anchors(volume);
  const int64_t node = info.ref.node;
  NameFields names(reply, reply->GetDataLength());

  LazyNode stored(entry);
  if (bitmap & kDirAttributesBit) reply->AddInt16(static_cast<int16_t>(StoredAttributes(*stored)));
  if (bitmap & kDirParentIDBit) {
    uint32_t parentID;
    if (node == anchors.root) {
      parentID = kParentOfRootDirID;
    } else if (node == anchors.parentOfRoot) {
      parentID = 0xFFFFFFFFu;
    } else {
      node_ref parent;
      if (entry.Parent().GetNodeRef(&parent) != B_OK) return kFPParamErr;
      parentID = parent.node == anchors.root ? kRootDirID : static_cast<uint32_t>(parent.node);
    }
    reply->AddInt32(static_cast<int32_t>(parentID));
  }
  if (bitmap & kDirCreationDateBit) reply->AddInt32(info.creationTime);
  if (bitmap & kDirModificationDateBit) reply->AddInt32(info.modificationTime);
  if (bitmap & kDirBackupDateBit) reply->AddInt32(kNeverBackedUp);
  if (bitmap & kDirFinderInfoBit) WriteFinderInfo(reply, FinderInfoOrDefault(*stored, true));
  if (bitmap & kDirLongNameBit) names.ReserveLongName();
  if (bitmap & kDirIDBit) {
    if (node == anchors.root) {
      reply->AddInt32(kRootDirID);
    } else if (node == anchors.parentOfRoot) {
      reply->AddInt32(kParentOfRootDirID);
    } else {
      if (NeedsMoreThan32Bits(node)) return kFPParamErr;
      reply->AddInt32(static_cast<int32_t>(node));
    }
  }
  if (bitmap & kDirOffspringCountBit) {
    BDirectory folder(entry);
    reply->AddInt16(static_cast<int16_t>(folder.CountEntries()));
  }
  if (bitmap & kDirOwnerIDBit) reply->AddInt32(kOwnerID);
  if (bitmap & kDirGroupIDBit) reply->AddInt32(kGroupID);
  const uint32_t rights =
      bitmap & (kDirAccessRightsBit | kUnixPrivilegesBit) ? afpAccessRights(session, entry, info) : 0;
  if (bitmap & kDirAccessRightsBit) reply->AddInt32(static_cast<int32_t>(rights));
  if (bitmap & kDirUTF8NameBit) names.ReserveUTF8Name();
  if (bitmap & kUnixPrivilegesBit) WriteUnixPrivileges(reply, info, S_IFDIR, rights);
  names.Append(entry);
  return kFPNoErr;
}

int32_t BAFPObject::fp_GetFileParms(BAFPSession* session, BAFPVolume* volume, const BEntry& entry, uint16_t bitmap,
                                    BAFPBuffer* reply) {
  EntryInfo info;
  if (entry.GetInfo(&info) != B_OK) return kFPParamErr;
  const VolumeAnchors anchors = Anchors(volume);
  NameFields names(reply, reply->GetDataLength());

  // The open-fork bits are never taken from the stored word: they say
  // whether the fork is open now, in any session.
  const bool resourceOpen = volume->IsFileOpen(info.ref, kResourceFork) != nullptr;
  LazyNode stored(entry);
  if (bitmap & kDirAttributesBit) {
    uint16_t attributes = StoredAttributes(*stored) & ~(kAttrDataForkOpen | kAttrResourceForkOpen);
    if (volume->IsFileOpen(info.ref, kDataFork) != nullptr) attributes |= kAttrDataForkOpen;
    if (resourceOpen) attributes |= kAttrResourceForkOpen;
    reply->AddInt16(static_cast<int16_t>(attributes));
  }
  if (bitmap & kDirParentIDBit) {
    node_ref parent;
    if (entry.Parent().GetNodeRef(&parent) != B_OK) return kFPParamErr;
    uint32_t parentID = static_cast<uint32_t>(parent.node);
    if (parent.node == anchors.root) parentID = kRootDirID;
    else if (parent.node == anchors.parentOfRoot) parentID = kParentOfRootDirID;
    reply->AddInt32(static_cast<int32_t>(parentID));
  }
  if (bitmap & kDirCreationDateBit) reply->AddInt32(info.creationTime);
  if (bitmap & kDirModificationDateBit) reply->AddInt32(info.modificationTime);
  if (bitmap & kDirBackupDateBit) reply->AddInt32(kNeverBackedUp);
  if (bitmap & kDirFinderInfoBit) WriteFinderInfo(reply, FinderInfoOrDefault(*stored, false));
  if (bitmap & kDirLongNameBit) names.ReserveLongName();
  if (bitmap & kFileIDBit) {
    if (NeedsMoreThan32Bits(info.ref.node)) return kFPParamErr;
    reply->AddInt32(static_cast<int32_t>(info.ref.node));
  }
  // With the attributes asked for too, a resource fork this session has
  // open reports its copy's length; otherwise the stored fork's.
  int64_t resourceLength = 0;
  if (bitmap & (kFileResourceForkLengthBit | kFileExtResourceForkLengthBit)) {
    // Only this session's own fork is read: another session's may be closed
    // meanwhile on its own thread.
    const OPEN_FORK_ITEM* own = (bitmap & kDirAttributesBit) && resourceOpen
                                    ? session->GetForkItem(info.ref, kResourceFork)
                                    : nullptr;
    resourceLength = own != nullptr && own->resource ? static_cast<int64_t>(own->resource->size())
                                                     : afpStoredResourceForkSize(*stored);
  }
  const auto clamp32 = [](int64_t length) {
    return static_cast<int32_t>(static_cast<uint64_t>(length) >= (uint64_t{1} << 32) ? kTooLarge32
                                                                                      : static_cast<uint32_t>(length));
  };
  if (bitmap & kFileDataForkLengthBit) reply->AddInt32(clamp32(info.size));
  if (bitmap & kFileResourceForkLengthBit) reply->AddInt32(clamp32(resourceLength));
  if (bitmap & kFileExtDataForkLengthBit) reply->AddInt64(info.size);
  if (bitmap & kFileUTF8NameBit) names.ReserveUTF8Name();
  if (bitmap & kFileExtResourceForkLengthBit) {
    reply->AddInt32(0);
    reply->AddInt64(resourceLength);
  }
  if (bitmap & kUnixPrivilegesBit) {
    // A file's rights are those of the folder that holds it.
    const uint32_t type = info.isSymlink ? S_IFLNK : S_IFREG;
    WriteUnixPrivileges(reply, info, type, afpAccessRights(session, entry.Parent()));
  }
  names.Append(entry);
  return kFPNoErr;
}

int32_t BAFPObject::fp_SetFileDirParms(BAFPSession* session, BAFPBuffer* request, const BEntry& entry,
                                       uint16_t bitmap) {
  const bool isDirectory = entry.IsDirectory();
  if (bitmap & kDirAttributesBit) {
    const auto field = static_cast<uint16_t>(request->GetInt16());
    uint16_t attributes = 0;
    if (GetAFPAttributes(entry, &attributes) == kFPNoErr) {
      const uint16_t honoured = field & kAttrSettable;
      attributes = (field & kAttrSetFlag) ? attributes | honoured : attributes & ~honoured;
      SetAFPAttributes(entry, attributes);
    }
  }
  const int32_t creation = (bitmap & kDirCreationDateBit) ? request->GetInt32() : 0;
  const int32_t modification = (bitmap & kDirModificationDateBit) ? request->GetInt32() : 0;
  if (bitmap & kDirBackupDateBit) request->GetInt32();
  if (bitmap & kDirFinderInfoBit) {
    const FINDER_INFO info = ReadFinderInfo(request);
    SetAFPFinderInfo(entry, &info);
  }
  if (isDirectory) {
    if (bitmap & kDirOwnerIDBit) entry.SetOwner(static_cast<uint32_t>(request->GetInt32()));
    if (bitmap & kDirGroupIDBit) entry.SetGroup(static_cast<uint32_t>(request->GetInt32()));
    if ((bitmap & kDirAccessRightsBit) && session->IsAdmin()) {
      const auto rights = static_cast<uint32_t>(request->GetInt32());
      uint32_t mode = 0;
      for (const auto& [bits, permission] : kRightsToPermissions)
        if (rights & bits) mode |= permission;
      entry.SetPermissions(mode);
    }
  }
  // Dates last: the changes above would move the modification time.
  if (bitmap & kDirCreationDateBit) entry.SetCreationTime(creation);
  if (bitmap & kDirModificationDateBit) entry.SetModificationTime(modification);
  return kFPNoErr;
}

// Commands that change the shape of a volume: creating, deleting, renaming,
// moving and copying files and folders; reporting file IDs; mapping user and
// group IDs to names.
//
// Every handler reads all of its fields before it looks at the file system,
// so a short request changes nothing. Objects and destinations are resolved
// inside the share only. Once the write-access rule has passed, a change also
// needs the session's write right in each folder whose contents it changes;
// the folder that holds the shared folder is never one of them.
#include "server/fs/namespace_commands.h"

#include <string>

#include "platform/directory.h"
#include "server/afp/afp_buffer.h"
#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "server/dsi/dsi_protocol.h"
#include "server/fs/access_rights.h"
#include "server/fs/afp_object.h"
#include "server/fs/object_request.h"

namespace {

constexpr uint8_t kHardCreate = 0x80;
constexpr uint8_t kMapUserIDToName = 1;
constexpr uint8_t kMapGroupIDToName = 2;
// Bits that keep an object where it is: RenameInhibit or DeleteInhibit of a
// file, DeleteInhibit of a folder.
constexpr uint16_t kStayPutBits = kAttrRenameInhibitFile | kAttrDeleteInhibitFile;

// The fields that begin the commands naming one object: a flag (or pad)
// byte, an open volume, a directory ID and a path.
struct ObjectFields {
  uint8_t flag = 0;
  VolumeRef volume;
  int32_t dirID = 0;
  char path[kPathBufferSize];
};

// The names that end a move or copy request.
struct MoveFields {
  char sourcePath[kPathBufferSize];
  char destinationPath[kPathBufferSize];
  char newName[kNewNameBufferSize];
};

// Reads the command byte and the object fields: kFPParamErr for a short
// request or a volume this session has not open, else the path's result.
int32_t ReadObjectFields(BAFPSession* session, BAFPBuffer& in, ObjectFields* fields) {
  in.Advance(1);
  fields->flag = static_cast<uint8_t>(in.GetInt8());
  if (afpReadOpenVolume(session, in, &fields->volume) != kFPNoErr) return kFPParamErr;
  fields->dirID = in.GetInt32();
  if (in.ReadPastEnd()) return kFPParamErr;
  return afpReadPath(in, fields->path, sizeof(fields->path));
}

int32_t ReadMoveFields(BAFPBuffer& in, MoveFields* fields) {
  int32_t result = afpReadPath(in, fields->sourcePath, sizeof(fields->sourcePath));
  if (result == kFPNoErr) result = afpReadPath(in, fields->destinationPath, sizeof(fields->destinationPath));
  if (result == kFPNoErr) result = afpReadPath(in, fields->newName, sizeof(fields->newName));
  return result;
}

// Resolves the object or folder a request names and applies the
// write-access rule to it.
int32_t ResolveForChange(BAFPSession* session, BAFPVolume* volume, int32_t dirID, const char* path, BEntry* entry) {
  if (BAFPObject::SetAFPEntry(volume, dirID, path, *entry, false) != kFPNoErr) return kFPObjectNotFound;
  return afpCheckWriteAccess(session, volume, entry);
}

// Changing the contents of `folder`: it must lie inside the share, and the
// session needs its write right there.
int32_t MayChangeContents(BAFPSession* session, BAFPVolume* volume, const BEntry& folder) {
  if (!IsInside(volume->GetRootEntry(), folder)) return kFPAccessDenied;
  return afpRequireRight(session, folder, kRightWrite);
}

// Deleting, renaming or moving `object` changes the folder that holds it.
// The shared folder's own entry sits outside the share.
int32_t MayChangeEntry(BAFPSession* session, BAFPVolume* volume, const BEntry& object) {
  const BEntry folder = afpGoverningFolder(volume, object);
  if (folder.SameNodeAs(object)) return kFPAccessDenied;
  return MayChangeContents(session, volume, folder);
}

// Where a name received for creating lands, resolved inside the share from
// `folder` (the name may lead through subfolders: "Archive/2024"); the
// entry need not exist.
int32_t ResolveNewEntry(BAFPVolume* volume, const BEntry& folder, const std::string& name, BEntry* target) {
  return ResolveConfined(volume->GetRootEntry(), folder, name, false, true, target) == B_OK ? kFPNoErr : kFPObjectNotFound;
}

// The result of creating a folder or file. Only file creation counts a
// refused operation as denied access.
int32_t CreationResult(status_t status, bool creatingFile) {
  switch (status) {
    case B_OK: return kFPNoErr;
    case B_PERMISSION_DENIED: return kFPAccessDenied;
    case B_NOT_ALLOWED: return creatingFile ? kFPAccessDenied : kFPParamErr;
    case B_FILE_EXISTS: return kFPObjectExists;
    default: return kFPParamErr;
  }
}

// A new object whose entry name is too long for clients gets its long name
// at once.
void NameNewObject(const BEntry& created) {
  if (created.Name().size() > kMaxLongNameLength) BAFPObject::CreateLongName(nullptr, created, true);
}

bool MustStayPut(const BEntry& entry) {
  uint16_t attributes = 0;
  return BAFPObject::GetAFPAttributes(entry, &attributes) == kFPNoErr && (attributes & kStayPutBits) != 0;
}

// Where a folder or file named by a creation request lands: the name must
// not be empty, the folder named by the directory ID must pass the
// write-access rule and be a folder, and the name resolves inside the share.
int32_t ResolveCreationTarget(BAFPSession* session, const ObjectFields& fields, BEntry* target) {
  if (fields.path[0] == '\0') return kFPParamErr;
  BAFPVolume* volume = fields.volume.get();
  BEntry parent;
  const int32_t result = ResolveForChange(session, volume, fields.dirID, nullptr, &parent);
  if (result != kFPNoErr) return result;
  if (!parent.IsDirectory()) return kFPParamErr;
  return ResolveNewEntry(volume, parent, fields.path, target);
}

// Replies with the low 32 bits of a node number: a directory or file ID.
void ReplyWithID(const node_ref& ref, signed char* reply, int32_t* replyLength) {
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddInt32(static_cast<int32_t>(ref.node));
  *replyLength = out.GetDataLength();
}

}  // namespace

AFP_HANDLER(FPCreateDir) {
  BAFPBuffer in(request, requestLength);
  ObjectFields fields;
  int32_t result = ReadObjectFields(session, in, &fields);
  if (result != kFPNoErr) return result;
  BAFPVolume* volume = fields.volume.get();
  BEntry target;
  if ((result = ResolveCreationTarget(session, fields, &target)) != kFPNoErr) return result;
  if ((result = MayChangeContents(session, volume, target.Parent())) != kFPNoErr) return result;

  BDirectory holder(target.Parent());
  BEntry created;
  if ((result = CreationResult(holder.CreateDirectory(target.Name(), &created), false)) != kFPNoErr) return result;
  RememberDirectory(created);
  volume->MakeDirty();
  NameNewObject(created);
  node_ref ref;
  if (created.GetNodeRef(&ref) != B_OK) return kFPParamErr;
  ReplyWithID(ref, reply, replyLength);
  return kFPNoErr;
}

AFP_HANDLER(FPCreateFile) {
  BAFPBuffer in(request, requestLength);
  ObjectFields fields;
  int32_t result = ReadObjectFields(session, in, &fields);
  if (result != kFPNoErr) return result;
  const bool hard = (fields.flag & kHardCreate) != 0;
  BAFPVolume* volume = fields.volume.get();
  BEntry target;
  if ((result = ResolveCreationTarget(session, fields, &target)) != kFPNoErr) return result;
  // A hard create erases the data of a file already there: that file must
  // pass the write-access rule too.
  if (hard && target.Exists() && (result = afpCheckWriteAccess(session, volume, &target)) != kFPNoErr) return result;
  if ((result = MayChangeContents(session, volume, target.Parent())) != kFPNoErr) return result;

  BDirectory holder(target.Parent());
  BEntry created;
  if ((result = CreationResult(holder.CreateFile(target.Name(), !hard, &created), true)) != kFPNoErr) return result;
  volume->MakeDirty();
  if (!created.Exists()) return kFPParamErr;
  NameNewObject(created);
  return kFPNoErr;
}

AFP_HANDLER(FPDelete) {
  BAFPBuffer in(request, requestLength);
  ObjectFields fields;
  int32_t result = ReadObjectFields(session, in, &fields);
  if (result != kFPNoErr) return result;
  // An object is never deleted by its directory ID alone.
  if (fields.path[0] == '\0') return kFPParamErr;
  BAFPVolume* volume = fields.volume.get();
  BEntry entry;
  if ((result = ResolveForChange(session, volume, fields.dirID, fields.path, &entry)) != kFPNoErr) return result;
  if ((result = MayChangeEntry(session, volume, entry)) != kFPNoErr) return result;
  // DeleteInhibit and open forks are not consulted; a folder must be empty.
  if (entry.Remove() != B_OK) return kFPParamErr;
  volume->MakeDirty();
  return kFPNoErr;
}

AFP_HANDLER(FPRename) {
  BAFPBuffer in(request, requestLength);
  ObjectFields fields;
  int32_t result = ReadObjectFields(session, in, &fields);
  if (result != kFPNoErr) return result;
  char newName[kPathBufferSize];
  if ((result = afpReadPath(in, newName, sizeof(newName))) != kFPNoErr) return result;
  BAFPVolume* volume = fields.volume.get();
  BEntry entry;
  // An empty path renames the folder the directory ID names.
  if ((result = ResolveForChange(session, volume, fields.dirID, fields.path, &entry)) != kFPNoErr) return result;
  if (MustStayPut(entry)) return kFPObjectLocked;
  if (newName[0] == '\0') return kFPParamErr;
  if ((result = MayChangeEntry(session, volume, entry)) != kFPNoErr) return result;

  BEntry renamed;
  if (entry.Rename(newName, &renamed) != B_OK) return kFPObjectLocked;
  if (renamed.IsDirectory()) RememberDirectory(renamed);
  volume->MakeDirty();
  return kFPNoErr;
}

AFP_HANDLER(FPMoveAndRename) {
  BAFPBuffer in(request, requestLength);
  in.Advance(2);
  VolumeRef volumeRef;
  if (afpReadOpenVolume(session, in, &volumeRef) != kFPNoErr) return kFPParamErr;
  const int32_t sourceDirID = in.GetInt32();
  const int32_t destinationDirID = in.GetInt32();
  if (in.ReadPastEnd()) return kFPParamErr;
  MoveFields fields;
  int32_t result = ReadMoveFields(in, &fields);
  if (result != kFPNoErr) return result;
  BAFPVolume* volume = volumeRef.get();
  BEntry object;
  BEntry destination;
  if ((result = ResolveForChange(session, volume, sourceDirID, fields.sourcePath, &object)) != kFPNoErr) return result;
  if (MustStayPut(object)) return kFPObjectLocked;
  if ((result = ResolveForChange(session, volume, destinationDirID, fields.destinationPath, &destination)) != kFPNoErr)
    return result;
  if (!destination.IsDirectory()) return kFPDirNotFound;

  // Equal directory IDs never move anything, whatever the paths name; nor
  // does a destination that already holds the object.
  const bool move = sourceDirID != destinationDirID && !object.Parent().SameNodeAs(destination);
  if ((result = MayChangeEntry(session, volume, object)) != kFPNoErr) return result;
  if (move && (result = MayChangeContents(session, volume, destination)) != kFPNoErr) return result;
  if (move) {
    BEntry moved;
    const status_t status = object.MoveTo(destination, &moved);
    if (status == B_FILE_EXISTS) return kFPObjectExists;
    if (status != B_OK) return kFPParamErr;
    object = moved;
    if (object.IsDirectory()) RememberDirectory(object);
    volume->MakeDirty();
  }
  // A new name that is already taken leaves the object's name as it is; a
  // move already made stands whatever the rename does. A rename alone does
  // not mark the volume.
  if (fields.newName[0] != '\0') {
    BEntry renamed;
    const status_t status = object.Rename(fields.newName, &renamed);
    if (status == B_OK && renamed.IsDirectory()) RememberDirectory(renamed);
    if (status != B_OK && status != B_FILE_EXISTS) return kFPObjectLocked;
  }
  return kFPNoErr;
}

AFP_HANDLER(FPCopyFile) {
  BAFPBuffer in(request, requestLength);
  in.Advance(2);
  const auto sourceVolumeID = static_cast<uint16_t>(in.GetInt16());
  const int32_t sourceDirID = in.GetInt32();
  const auto destinationVolumeID = static_cast<uint16_t>(in.GetInt16());
  const int32_t destinationDirID = in.GetInt32();
  if (in.ReadPastEnd()) return kFPParamErr;
  MoveFields fields;
  int32_t result = ReadMoveFields(in, &fields);
  if (result != kFPNoErr) return result;
  VolumeRef sourceVolume;
  VolumeRef destinationVolume;
  if (!session->HasVolumeOpen(sourceVolumeID, &sourceVolume) ||
      !session->HasVolumeOpen(destinationVolumeID, &destinationVolume))
    return kFPParamErr;

  BEntry source;
  if (BAFPObject::SetAFPEntry(sourceVolume.get(), sourceDirID, fields.sourcePath, source, false) != kFPNoErr)
    return kFPObjectNotFound;
  EntryInfo info;
  if (source.GetInfo(&info) != B_OK || !info.isFile) return kFPObjectTypeErr;
  BEntry destination;
  if ((result = ResolveForChange(session, destinationVolume.get(), destinationDirID, fields.destinationPath,
                                 &destination)) != kFPNoErr)
    return result;
  const std::string name = fields.newName[0] != '\0' ? std::string(fields.newName) : source.Name();
  if (name.empty() || !destination.IsDirectory()) return kFPParamErr;
  BEntry target;
  if ((result = ResolveNewEntry(destinationVolume.get(), destination, name, &target)) != kFPNoErr) return result;
  if ((result = MayChangeContents(session, destinationVolume.get(), target.Parent())) != kFPNoErr) return result;
  // A copy reads the source as opening it for reading would.
  if ((result = afpRequireRight(session, source.Parent(), kRightRead)) != kFPNoErr) return result;

  BEntry created;
  if (BDirectory(target.Parent()).CreateFile(target.Name(), true, &created) != B_OK) return kFPParamErr;
  // What fails from here on leaves the new file, empty or partly copied.
  BFile from;
  BFile to;
  if (from.SetTo(source, BFile::kReadWrite) != B_OK || to.SetTo(created, BFile::kWriteOnly) != B_OK)
    return kFPParamErr;
  BNode fromNode(source.DiskPath().c_str());
  BNode toNode(created.DiskPath().c_str());
  if (BAFPObject::CopyFile(from, to, fromNode, toNode) != kFPNoErr) return kFPParamErr;
  destinationVolume->MakeDirty();
  return kFPNoErr;
}

AFP_HANDLER(FPCreateID) {
  BAFPBuffer in(request, requestLength);
  ObjectFields fields;
  const int32_t result = ReadObjectFields(session, in, &fields);
  if (result != kFPNoErr) return result;
  if (fields.path[0] == '\0') return kFPParamErr;
  BEntry entry;
  if (BAFPObject::SetAFPEntry(fields.volume.get(), fields.dirID, fields.path, entry, false) != kFPNoErr)
    return kFPObjectNotFound;
  // The ID is the node number: nothing is stored.
  node_ref ref;
  if (entry.GetNodeRef(&ref) == B_OK) ReplyWithID(ref, reply, replyLength);
  return kFPNoErr;
}

AFP_HANDLER(FPMapID) {
  BAFPBuffer in(request, requestLength);
  in.Advance(1);
  const auto subfunction = static_cast<uint8_t>(in.GetInt8());
  if (in.ReadPastEnd()) return kFPParamErr;
  // The ID that follows does not matter: every owner and group maps to one
  // name.
  const char* name = nullptr;
  if (subfunction == kMapUserIDToName) name = "BeUser";
  if (subfunction == kMapGroupIDToName) name = "BeGroup";
  if (name == nullptr) return kFPParamErr;
  BAFPBuffer out(reply, kReplyAreaSize);
  out.AddCStringAsPascal(name);
  *replyLength = out.GetDataLength();
  return kFPNoErr;
}

// BAFPObject: how AFP objects map onto the file system. Directory ID 2 is a
// volume's shared folder and 1 its parent; every other directory or file ID
// is the low 32 bits of the node number. AFP metadata lives in node
// attributes of the objects themselves: the generated long name, the Finder
// information and the attribute word.
#pragma once

#include <cstdint>

#include "platform/directory.h"
#include "platform/node.h"

class BAFPBuffer;
class BAFPSession;
class BAFPVolume;

inline constexpr int32_t kParentOfRootDirID = 1;
inline constexpr int32_t kRootDirID = 2;

inline constexpr const char* kLongNameAttribute = "Afp_Longname";
inline constexpr const char* kFinderInfoAttribute = "Afp_FinderInfo";
inline constexpr const char* kAttributesAttribute = "Afp_Attributes";
inline constexpr const char* kResourceAttribute = "Afp_Resource";

// Entry names longer than this get a generated long name.
inline constexpr size_t kMaxLongNameLength = 32;
// Room for any long name or entry name, terminator included.
inline constexpr size_t kNameBufferSize = 256;

// The attribute word.
inline constexpr uint16_t kAttrInvisible = 0x0001;
inline constexpr uint16_t kAttrSystem = 0x0004;
inline constexpr uint16_t kAttrDataForkOpen = 0x0008;
inline constexpr uint16_t kAttrResourceForkOpen = 0x0010;
inline constexpr uint16_t kAttrWriteInhibit = 0x0020;      // files; BackupNeeded on folders
inline constexpr uint16_t kAttrRenameInhibitFile = 0x0080;  // files; DeleteInhibit on folders
inline constexpr uint16_t kAttrDeleteInhibitFile = 0x0100;
inline constexpr uint16_t kAttrSettable = 0x0001 | 0x0004 | 0x0020 | 0x0040 | 0x0080 | 0x0100;
inline constexpr uint16_t kAttrSetFlag = 0x8000;

// 32 bytes of Finder information. The four 16-bit fields at offsets 8 to 15
// (flags, icon location, folder or view) are little-endian at rest and
// big-endian on the wire; the other bytes are kept as sent.
struct FINDER_INFO {
  uint8_t bytes[32];
};
static_assert(sizeof(FINDER_INFO) == 32);

class BAFPObject {
 public:
  BAFPObject() = delete;

  // Resolves (volume, directory ID, path) to an existing entry, never
  // outside the volume's shared folder: 0 or kFPObjectNotFound. `traverse`
  // follows a final symbolic link (only to a target inside the share).
  static int32_t SetAFPEntry(BAFPVolume* volume, int32_t dirID, const char* path, BEntry& entry, bool traverse);
  // The entry of `folder` whose stored long name is `longName`.
  static int32_t GetEntryByLongName(const BEntry& folder, const char* longName, BEntry& entry);
  // The object's long name (generated and stored when none is, or when
  // `regenerate`); `out` (kNameBufferSize bytes) may be null.
  static void CreateLongName(char* out, const BEntry& entry, bool regenerate);
  // The name clients see: the entry name up to 32 bytes, else the long name.
  static void GetLongName(char* out, const BEntry& entry);

  // Each also takes the object's open node, for callers that read several
  // of them (a node that did not open reads as kFPObjectNotFound).
  static int32_t GetAFPFinderInfo(const BEntry& entry, FINDER_INFO* info);
  static int32_t GetAFPFinderInfo(BNode& node, FINDER_INFO* info);
  static int32_t SetAFPFinderInfo(const BEntry& entry, const FINDER_INFO* info);
  static int32_t SetAFPFinderInfo(BNode& node, const FINDER_INFO* info);
  static int32_t GetAFPAttributes(const BEntry& entry, uint16_t* attributes);
  static int32_t GetAFPAttributes(BNode& node, uint16_t* attributes);
  static int32_t SetAFPAttributes(const BEntry& entry, uint16_t attributes);
  static int32_t SetAFPAttributes(BNode& node, uint16_t attributes);

  // Copies every attribute but the long name; the status of the last one.
  static int32_t CopyAttrs(BNode& from, BNode& to);
  // Copies the data, then the attributes; the status of the attribute copy.
  static int32_t CopyFile(BFile& from, BFile& to, BNode& fromNode, BNode& toNode);

  // Parameter blocks, appended at the reply's position.
  static int32_t fp_GetDirParms(BAFPSession* session, BAFPVolume* volume, const BEntry& entry, uint16_t bitmap,
                                BAFPBuffer* reply);
  static int32_t fp_GetFileParms(BAFPSession* session, BAFPVolume* volume, const BEntry& entry, uint16_t bitmap,
                                 BAFPBuffer* reply);
  // Applies the fields of a set request; the caller has checked that the
  // request holds them (afpSetParmsLength).
  static int32_t fp_SetFileDirParms(BAFPSession* session, BAFPBuffer* request, const BEntry& entry, uint16_t bitmap);
};

// The write-access rule: 0, kFPVolLocked on a share flagged read-only,
// kFPObjectLocked for a file with WriteInhibit set.
int32_t afpCheckWriteAccess(BAFPSession* session, BAFPVolume* volume, const BEntry* entry);

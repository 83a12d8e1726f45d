// Entries and folders by name, as the server sees them: names are Mac Roman
// text (the byte 0x80 standing for a client's "/"), the file system keeps
// UTF-8. The layer converts at the file-system boundary:
//
//  - to disk: Mac Roman -> UTF-8, with 0x80 written as ":";
//  - from disk: UTF-8 -> Mac Roman, with ":" read as 0x80; a name that is
//    not valid UTF-8 or has no Mac Roman form is presented as its raw bytes;
//  - a lookup tries the converted form, then the plain Mac Roman conversion
//    (0x80 as "Ä"), then the raw bytes, then the converted form decomposed
//    (NFD, as macOS and some other programs write names), so every name on
//    disk stays reachable; creation always uses the converted form. A name
//    longer than 255 bytes on disk is B_NAME_TOO_LONG.
//
// Lookups are confined: they never reach outside a given root folder, never
// climb above it with "..", and never follow a symbolic link whose target
// lies outside it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/entry.h"
#include "platform/node.h"
#include "platform/status.h"

// Name conversion at the file-system boundary.
std::string DiskNameFromMacRoman(const std::string& macRoman);
std::string MacRomanNameFromDisk(const std::string& diskName);

// An entry: a path on disk (as the file system spells it) that may or may
// not exist. Copies are cheap.
class BEntry {
 public:
  BEntry() = default;
  // Repeated and trailing slashes are dropped ("/srv//share/" is
  // "/srv/share"); nothing else about the path changes.
  explicit BEntry(std::string diskPath);

  bool IsSet() const { return !fPath.empty(); }
  bool Exists() const;
  const std::string& DiskPath() const { return fPath; }

  // The entry's own name, in Mac Roman.
  std::string Name() const;
  // The folder that holds the entry (the entry itself for "/").
  BEntry Parent() const;
  // A child of this folder by its Mac Roman name, existing or not: the
  // existing spelling when one of the lookup forms exists, else the
  // converted form. An unset entry for a name that is no single name on
  // disk ("", ".", "..", or one with "/" or a null byte).
  BEntry Child(const std::string& macRomanName) const;

  // Facts about the entry itself (a final symbolic link is not followed).
  // The creation time is the one last set through SetCreationTime, else the
  // file system's birth time, else the modification time.
  status_t GetInfo(EntryInfo* info) const;
  status_t GetNodeRef(node_ref* ref) const;
  bool IsDirectory() const;

  // Changes. Renames and moves never replace an existing entry
  // (B_FILE_EXISTS); Remove removes a file, a link or an empty folder.
  status_t Remove() const;
  status_t Rename(const std::string& macRomanName, BEntry* renamed) const;
  status_t MoveTo(const BEntry& folder, BEntry* moved) const;
  status_t SetCreationTime(int32_t seconds) const;
  status_t SetModificationTime(int32_t seconds) const;
  status_t SetOwner(uint32_t uid) const;
  status_t SetGroup(uint32_t gid) const;
  status_t SetPermissions(uint32_t mode) const;

  // The same file: same device and node.
  bool SameNodeAs(const BEntry& other) const;

 private:
  std::string fPath;
};

// Resolves `path` (Mac Roman elements separated by "/"; "." and ".." as
// usual; empty means `base` itself) from the folder `base`, never leaving
// the folder `root`: ".." stops at `root`, and a symbolic link on the way is
// followed only when its target lies inside `root` (the final element only
// when `traverse` is set). B_ENTRY_NOT_FOUND when an element is missing or
// is no folder where one is needed, or the walk would leave `root`; the
// found entry need not exist only when its last element is missing and
// `mayNotExist` is set (for creating; then B_NAME_TOO_LONG when that name
// would not fit on disk). A followed link gives its target, spelled from
// `root`'s path, so that `*out` never passes through a link.
status_t ResolveConfined(const BEntry& root, const BEntry& base, const std::string& path, bool traverse,
                         bool mayNotExist, BEntry* out);

// True when `entry` lies inside `root` (or is `root`), judged on the real
// path after symbolic links.
bool IsInside(const BEntry& root, const BEntry& entry);

// A folder's entries in a stable order ("." and ".." left out): the order
// stays the same while the folder does not change.
class BDirectory {
 public:
  BDirectory() = default;
  explicit BDirectory(const BEntry& folder) { SetTo(folder); }
  status_t SetTo(const BEntry& folder);
  status_t InitCheck() const { return fStatus; }

  // The next entry, or B_ENTRY_NOT_FOUND at the end.
  status_t GetNextEntry(BEntry* entry);
  void Rewind();
  int32_t CountEntries();

  // Creates a folder or a file from a Mac Roman name relative to this folder
  // (it may name a subfolder: "Archive/2024"). B_FILE_EXISTS when the name is
  // taken (for a file only when `failIfExists`; otherwise an existing file is
  // emptied, keeping its attributes), B_PERMISSION_DENIED, or another
  // failure. The folders on the way must exist (B_ENTRY_NOT_FOUND) and be
  // folders, not links (B_NOT_A_DIRECTORY); "", "." and ".." elements are
  // B_BAD_VALUE. A hard create where a folder is gives B_IS_A_DIRECTORY,
  // where a link or anything but a plain file is B_FILE_EXISTS. Works in a
  // folder that cannot be listed (InitCheck failed) too.
  status_t CreateDirectory(const std::string& macRomanName, BEntry* created);
  status_t CreateFile(const std::string& macRomanName, bool failIfExists, BEntry* created);

  // A token that changes whenever the folder's list of entries may have
  // changed (its node, modification and change times).
  std::string ChangeToken() const;

 private:
  status_t fStatus = B_NO_INIT;
  BEntry fFolder;
  std::vector<std::string> fNames;  // disk names, read once per SetTo/Rewind
  size_t fNext = 0;
};

// Folder by node number. Linux cannot open a folder by its inode number, so
// the layer keeps, per device, an index inode -> path, filled as entries are
// seen and checked on use; on a miss it searches `searchRoot` breadth-first
// (not following links) and updates the index. B_ENTRY_NOT_FOUND when no
// folder with that node lies inside `searchRoot`.
status_t FindDirectoryByNode(const node_ref& ref, const BEntry& searchRoot, BEntry* folder);
// Tells the index where a folder is now (after a lookup, a creation, a
// rename or a move).
void RememberDirectory(const BEntry& folder);
// Empties the index, as a restart would.
void ForgetRememberedDirectoriesForTesting();

// A file's data, opened for reading and/or writing.
class BFile {
 public:
  enum Mode { kReadOnly, kWriteOnly, kReadWrite };
  BFile() = default;
  ~BFile();
  BFile(const BFile&) = delete;
  BFile& operator=(const BFile&) = delete;
  status_t SetTo(const BEntry& entry, Mode mode);
  status_t InitCheck() const { return fFd >= 0 ? B_OK : fStatus; }
  ssize_t ReadAt(off_t position, void* buffer, size_t size);
  ssize_t WriteAt(off_t position, const void* buffer, size_t size);
  status_t GetSize(off_t* size) const;
  status_t SetSize(off_t size);
  status_t Sync();

 private:
  int fFd = -1;
  status_t fStatus = B_NO_INIT;
};

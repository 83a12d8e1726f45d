// Nodes (files and folders) and their attributes.
//
// The attribute "X" of a node is the extended attribute "user.X". Values the
// file system refuses go to an overflow store instead, transparently.
//
// What goes where
//   - A value is written inline (setxattr) when it can be. It goes to the
//     store when the kernel refuses it for size (ENOSPC, E2BIG: ext4 keeps
//     all attributes of a node in one 4 KiB block; no value may exceed
//     64 KiB) or when "user.X" would pass the kernel's 255-byte name limit.
//   - Inline wins: an attribute is read inline first, then from the store.
//     Moving a value to the store commits the store copy before removing the
//     inline one; moving it back writes inline before dropping the store
//     copy. A crash in between leaves a shadowed store copy (never read,
//     dropped by the next write or removal of that name), never a lost or
//     mixed value.
//   - Names under "user.corvane." are the layer's own. The listing leaves
//     them out and the attribute calls refuse them; the Bookkeeping calls
//     reach them ("crtime" is "user.corvane.crtime", inline or in the
//     store like any value).
//
// The store: "<settings folder>/attribute-store/", mode 0700, outside every
// shared folder. One container folder per node, named by a random 128-bit
// id (32 hex digits) that the node carries in "user.corvane.overflow". The
// id travels with the inode, so the data follows renames and moves made by
// any program; a new node (also one that reuses a deleted node's inode
// number) has no id and finds nothing. A container holds:
//   log         checksummed records: a header (owner: device, inode, birth
//               time; next value serial), then one record per change (put:
//               name, size, serial; removal: name). Appended in place under
//               the lock; rewritten without dead records (written aside,
//               renamed over) once mostly dead. Readers read it once per
//               BNode and then only what was appended, and stop before a
//               record that is cut short.
//   v<serial>   one file per value (16 hex digits), written as "tmp.v…"
//               and renamed; never changed afterwards, removed once the log
//               no longer names it. Serials are never reused.
//   lock        flock'ed by writers of the log
// The store's own "lock" serialises giving a node a container.
//
// Copies: a node whose id names a container recorded for another node (cp
// --preserve=xattr, a move across file systems) reads that container as it
// is, and never writes it: its first change that touches the store clones
// the container under a new id (hard links to the value files) and points
// the node at the clone.
//
// Guarantees: whole-value replacement; a writer that fails or dies leaves
// the previous value readable, plus at most garbage (a temporary file, a
// cut-short log record). Readers never see a half-written log record or
// value. Reading one value opens only that value's file. Different BNodes
// may be used on different threads (one BNode is not for concurrent use).
// Nothing is fsync'ed: a system crash may lose the latest changes to the
// store, and a value replaced or removed just before it may then read as
// B_BAD_DATA; a value is never read as other bytes.
//
// Limits: reading a user attribute needs read permission on the node and
// writing one needs write permission (the node is opened with O_PATH, so
// opening needs neither). Without read permission the store's names are not
// listed and the store cannot be written. When a node's attribute space is
// so full that even the id does not fit, its largest inline attributes move
// into the new container first: a crash between removing one inline and
// setting the id leaves that attribute only in the unreferenced container.
// Containers of nodes that other programs delete stay in the store (nothing
// tells the layer); their logs name their owners for a later sweep.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

struct node_ref {
  int32_t device = -1;
  int64_t node = -1;
  bool operator==(const node_ref&) const = default;
};

// Types are accepted and ignored: attributes do not keep type codes, and
// GetAttrInfo reports 0.
struct attr_info {
  uint32_t type;
  int64_t size;
};

// Longest attribute name plus its terminating null byte.
inline constexpr size_t B_ATTR_NAME_LENGTH = 256;

// Reads the layer's small record `key` of the node at `path` (a final link
// not followed) as ReadBookkeepingAttr does, without opening the node when
// the record is inline, as it nearly always is: for facts read once per
// entry of a listing.
status_t ReadBookkeepingAttrAt(const char* path, const char* key, std::string* value);

class BNode {
 public:
  BNode();
  explicit BNode(const char* path);
  ~BNode();
  BNode(const BNode&) = delete;
  BNode& operator=(const BNode&) = delete;

  // Opens the file or folder at `path`. A final symbolic link is not
  // followed, and a node for a link itself is refused (B_BAD_VALUE).
  status_t SetTo(const char* path);
  status_t InitCheck() const;
  void Unset();

  status_t GetNodeRef(node_ref* ref) const;

  // Exclusive use of the node among the process's threads: Lock waits while
  // another BNode holds the same node, Unlock (or Unset, or destruction)
  // gives it up. B_NO_INIT without a node, B_BAD_VALUE to lock twice or
  // unlock an unlocked node. Not seen by other processes.
  status_t Lock();
  status_t Unlock();

  // Bytes read from `offset` on (fewer near the end of the value), or a
  // negative status: B_ENTRY_NOT_FOUND when there is no such attribute.
  ssize_t ReadAttr(const char* name, uint32_t type, off_t offset, void* buffer, size_t length);
  // Replaces the whole value; `offset` must be 0. Returns `length`.
  ssize_t WriteAttr(const char* name, uint32_t type, off_t offset, const void* buffer, size_t length);
  status_t RemoveAttr(const char* name);
  status_t GetAttrInfo(const char* name, attr_info* info);

  // Walks the names: inline ones in the file system's order, then the
  // store's in insertion order. `buffer` holds B_ATTR_NAME_LENGTH bytes.
  // B_ENTRY_NOT_FOUND at the end. The walk lists the names present at its
  // first call; RewindAttrs starts a new one.
  status_t GetNextAttrName(char* buffer);
  status_t RewindAttrs();

  // The layer's own small records ("crtime" for a creation time), hidden
  // from the attribute calls. `key` is non-empty, has no null byte, and is
  // not "overflow" (the store's id). B_ENTRY_NOT_FOUND when missing.
  status_t ReadBookkeepingAttr(const char* key, std::string* value);
  status_t WriteBookkeepingAttr(const char* key, const std::string& value);
  status_t RemoveBookkeepingAttr(const char* key);

 private:
  class Attributes;  // the node's attributes, inline and in the store

  int fFd = -1;  // O_PATH
  status_t fInitStatus = B_NO_INIT;
  std::unique_ptr<Attributes> fAttributes;
  std::vector<std::string> fNames;  // the walk
  size_t fNextName = 0;
  bool fNamesListed = false;
  bool fLocked = false;
  node_ref fLockedRef;
};

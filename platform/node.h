// Nodes (files and folders) and their attributes.
//
// The attribute "X" of a node is the extended attribute "user.X". Values the
// file system refuses go to an overflow store instead, transparently:
//
// What goes where
//   - A value is written inline (setxattr) when it can be. It goes to the
//     store when the kernel refuses it for size (ENOSPC, E2BIG: ext4 keeps all
//     attributes of a node in one 4 KiB block; no value may exceed 64 KiB) or
//     when "user.X" would be longer than the kernel's 255-byte name limit.
//   - Inline wins: an attribute is read inline first, then from the store.
//     Moving a value to the store commits the store copy before removing the
//     inline one; moving it back writes inline before dropping the store copy.
//     A crash in between leaves a shadowed store copy (never read, removed by
//     the next write or removal of that name), never a lost or mixed value.
//   - Names under "user.corvane." are the layer's bookkeeping. They never
//     appear in the listing and the attribute calls refuse them; the
//     Bookkeeping calls below reach them ("created" is "user.corvane.created",
//     kept inline or in the store like any value).
//
// The store: "<settings folder>/attribute-store/", mode 0700, outside any
// shared folder. One container folder per node, named by a random 128-bit id
// (32 hex digits) that the node carries in "user.corvane.overflow". The id
// travels with the inode, so the data follows renames and moves made by any
// program; a new node (also one that reuses a deleted node's inode number)
// has no id and finds nothing. A container holds:
//   index       owner (device, inode, birth time), next value serial, and
//               per attribute (insertion order) its name, size and serial;
//               checksummed, replaced only by writing "index.tmp" and renaming
//   v<serial>   one file per value (16 hex digits), written as "tmp.v<serial>"
//               and renamed; never changed afterwards, removed once the index
//               no longer names it
//   lock        flock'ed by writers while they change the index
// The store's own "lock" serialises giving a node a container.
//
// Copies: a node whose id names a container recorded for another node (cp
// --preserve=xattr, a move across file systems, a copied file whose original
// is gone) reads that container as it is, and never writes it. Its first
// change that touches the store clones the container under a new id (hard
// links to the value files) and points the node at the clone.
//
// Guarantees: whole-value replacement; a writer that fails or crashes
// leaves the previous value readable (files are published by rename, the
// index last). Writes start writeback before each rename, so on ext4's
// default ordered mode the data reaches the disk before the rename that
// publishes it; no fsync is waited for. Readers never see a half-written
// index. The index is read once per BNode and again only when it was
// replaced; reading one value opens only that value's file. Different BNodes
// may be used on different threads (one BNode is not for concurrent use).
//
// Limits: reading a user attribute needs read permission on the node and
// writing one write permission (the node is opened with O_PATH, so opening
// itself needs neither). Without read permission the store's part of the
// listing is not shown. When a node's attribute block is so full that even
// the id does not fit, the largest inline attributes are moved into the new
// container first; a crash between removing such an attribute inline and
// setting the id leaves it only in the store, unreferenced. Containers of
// nodes that other programs delete stay in the store (nothing tells the
// layer about the deletion); each records its owner for a later sweep.
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

  // The layer's own small records ("created" for a creation time), hidden
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
};

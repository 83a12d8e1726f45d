#include "server/fs/afp_object.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "server/afp/afp_result.h"
#include "server/volume/afp_volume.h"

namespace {

constexpr size_t kCopyBlockSize = 65536;
constexpr size_t kMinimumAttributeBuffer = 1024;

// The base folder a directory ID names, confined to the share.
bool BaseFolder(BAFPVolume* volume, int32_t dirID, BEntry* base) {
  const BEntry root = volume->GetRootEntry();
  if (dirID == kRootDirID) {
    *base = root;
    return true;
  }
  // IDs are the low 32 bits of node numbers: 0x80000005 is node 0x80000005.
  const node_ref ref{volume->GetNodeRef().device, static_cast<int64_t>(static_cast<uint32_t>(dirID))};
  return volume->GetNodeRef().node >= 0 && FindDirectoryByNode(ref, root, base) == B_OK;
}

// A path from directory ID 1 must start with the shared folder's own name;
// the rest is resolved inside the share.
bool SplitPathFromParentOfRoot(BAFPVolume* volume, const std::string& path, std::string* rest) {
  const size_t slash = path.find('/');
  const std::string first = path.substr(0, slash);
  if (first != volume->GetRootEntry().Name()) return false;
  *rest = slash == std::string::npos ? std::string() : path.substr(slash + 1);
  return true;
}

// Reads the stored long name of an entry; empty when it has none (or it
// cannot be read).
std::string StoredLongName(const BEntry& entry) {
  BNode node(entry.DiskPath().c_str());
  if (node.InitCheck() != B_OK) return {};
  char value[kNameBufferSize];
  const ssize_t got = node.ReadAttr(kLongNameAttribute, 0, 0, value, sizeof(value) - 1);
  if (got <= 0) return {};
  return std::string(value, static_cast<size_t>(got));
}

// ".ext" of three or four letters, if the name has one.
std::string Extension(const std::string& name) {
  if (name.size() >= 4 && name[name.size() - 4] == '.') return name.substr(name.size() - 4);
  if (name.size() >= 5 && name[name.size() - 5] == '.') return name.substr(name.size() - 5);
  return {};
}

}  // namespace

int32_t BAFPObject::SetAFPEntry(BAFPVolume* volume, int32_t dirID, const char* path, BEntry& entry, bool traverse) {
  const std::string wanted = path != nullptr ? path : "";
  const BEntry root = volume->GetRootEntry();
  BEntry found;
  if (dirID == kParentOfRootDirID) {
    std::string rest;
    if (wanted.empty()) {
      found = root.Parent();
    } else if (!SplitPathFromParentOfRoot(volume, wanted, &rest) ||
               ResolveConfined(root, root, rest, traverse, false, &found) != B_OK) {
      return kFPObjectNotFound;
    }
  } else {
    BEntry base;
    if (!BaseFolder(volume, dirID, &base)) return kFPObjectNotFound;
    if (wanted.empty()) {
      found = base;
    } else if (ResolveConfined(root, base, wanted, traverse, false, &found) != B_OK &&
               GetEntryByLongName(base, wanted.c_str(), found) != kFPNoErr) {
      return kFPObjectNotFound;
    }
  }
  if (!found.IsSet() || !found.Exists()) return kFPObjectNotFound;
  if (found.IsDirectory()) RememberDirectory(found);
  entry = found;
  return kFPNoErr;
}

int32_t BAFPObject::GetEntryByLongName(const BEntry& folder, const char* longName, BEntry& entry) {
  BDirectory directory(folder);
  BEntry candidate;
  while (directory.GetNextEntry(&candidate) == B_OK) {
    if (StoredLongName(candidate) == longName) {
      entry = candidate;
      return kFPNoErr;
    }
  }
  return kFPObjectNotFound;
}

void BAFPObject::CreateLongName(char* out, const BEntry& entry, bool regenerate) {
  std::string longName = regenerate ? std::string() : StoredLongName(entry);
  if (longName.empty()) {
    const std::string name = entry.Name();
    const std::string extension = Extension(name);
    const BEntry parent = entry.Parent();
    BEntry taken;
    for (int n = 0;; ++n) {
      const std::string number = std::to_string(n);
      const size_t keep = kMaxLongNameLength - 1 - extension.size() - number.size();
      std::string candidate = name.substr(0, std::min(keep, name.size())) + "~" + number + extension;
      if (GetEntryByLongName(parent, candidate.c_str(), taken) != kFPNoErr) {
        longName = std::move(candidate);
        break;
      }
    }
    BNode node(entry.DiskPath().c_str());
    node.WriteAttr(kLongNameAttribute, 0, 0, longName.data(), longName.size());
  }
  if (out != nullptr) {
    std::memset(out, 0, kNameBufferSize);
    std::memcpy(out, longName.data(), std::min(longName.size(), kNameBufferSize - 1));
  }
}

void BAFPObject::GetLongName(char* out, const BEntry& entry) {
  const std::string name = entry.Name();
  if (name.size() > kMaxLongNameLength) {
    CreateLongName(out, entry, false);
    return;
  }
  std::memset(out, 0, kNameBufferSize);
  std::memcpy(out, name.data(), name.size());
}

int32_t BAFPObject::GetAFPFinderInfo(const BEntry& entry, FINDER_INFO* info) {
  BNode node(entry.DiskPath().c_str());
  return GetAFPFinderInfo(node, info);
}

int32_t BAFPObject::GetAFPFinderInfo(BNode& node, FINDER_INFO* info) {
  if (node.InitCheck() != B_OK) return kFPObjectNotFound;
  const ssize_t got = node.ReadAttr(kFinderInfoAttribute, 0, 0, info->bytes, sizeof(info->bytes));
  if (got == static_cast<ssize_t>(sizeof(info->bytes))) return kFPNoErr;
  if (got == B_ENTRY_NOT_FOUND) {
    std::memset(info->bytes, 0, sizeof(info->bytes));
    SetAFPFinderInfo(node, info);
  }
  return kFPObjectNotFound;
}

int32_t BAFPObject::SetAFPFinderInfo(const BEntry& entry, const FINDER_INFO* info) {
  BNode node(entry.DiskPath().c_str());
  return SetAFPFinderInfo(node, info);
}

int32_t BAFPObject::SetAFPFinderInfo(BNode& node, const FINDER_INFO* info) {
  if (node.InitCheck() != B_OK) return kFPObjectNotFound;
  const ssize_t written = node.WriteAttr(kFinderInfoAttribute, 0, 0, info->bytes, sizeof(info->bytes));
  return written == static_cast<ssize_t>(sizeof(info->bytes)) ? kFPNoErr : kFPMiscErr;
}

int32_t BAFPObject::GetAFPAttributes(const BEntry& entry, uint16_t* attributes) {
  BNode node(entry.DiskPath().c_str());
  return GetAFPAttributes(node, attributes);
}

int32_t BAFPObject::GetAFPAttributes(BNode& node, uint16_t* attributes) {
  if (node.InitCheck() != B_OK) return kFPObjectNotFound;
  uint8_t stored[2];
  const ssize_t got = node.ReadAttr(kAttributesAttribute, 0, 0, stored, sizeof(stored));
  if (got == 2) {
    *attributes = static_cast<uint16_t>(stored[0] | (stored[1] << 8));  // little-endian at rest
    return kFPNoErr;
  }
  if (got != B_ENTRY_NOT_FOUND) return kFPObjectNotFound;
  *attributes = 0;
  SetAFPAttributes(node, 0);
  return kFPNoErr;
}

int32_t BAFPObject::SetAFPAttributes(const BEntry& entry, uint16_t attributes) {
  BNode node(entry.DiskPath().c_str());
  return SetAFPAttributes(node, attributes);
}

int32_t BAFPObject::SetAFPAttributes(BNode& node, uint16_t attributes) {
  if (node.InitCheck() != B_OK) return kFPObjectNotFound;
  const uint8_t stored[2] = {static_cast<uint8_t>(attributes), static_cast<uint8_t>(attributes >> 8)};
  return node.WriteAttr(kAttributesAttribute, 0, 0, stored, sizeof(stored)) == 2 ? kFPNoErr : kFPMiscErr;
}

int32_t BAFPObject::CopyAttrs(BNode& from, BNode& to) {
  std::vector<uint8_t> buffer(kMinimumAttributeBuffer);
  int32_t status = kFPNoErr;
  char name[B_ATTR_NAME_LENGTH];
  from.RewindAttrs();
  while (from.GetNextAttrName(name) == B_OK) {
    if (std::strcmp(name, kLongNameAttribute) == 0) continue;
    attr_info info;
    if (from.GetAttrInfo(name, &info) != B_OK || info.size < 0) continue;
    if (buffer.size() < static_cast<size_t>(info.size)) buffer.resize(static_cast<size_t>(info.size));
    const ssize_t got = from.ReadAttr(name, info.type, 0, buffer.data(), static_cast<size_t>(info.size));
    if (got < 0) continue;
    // Writes replace the whole value, so an existing one needs no removal.
    const ssize_t written = to.WriteAttr(name, info.type, 0, buffer.data(), static_cast<size_t>(got));
    status = written == got ? kFPNoErr : -1;
  }
  return status;
}

int32_t BAFPObject::CopyFile(BFile& from, BFile& to, BNode& fromNode, BNode& toNode) {
  std::vector<uint8_t> block(kCopyBlockSize);
  off_t position = 0;
  for (;;) {
    const ssize_t got = from.ReadAt(position, block.data(), block.size());
    if (got <= 0) break;
    to.WriteAt(position, block.data(), static_cast<size_t>(got));
    position += got;
  }
  return CopyAttrs(fromNode, toNode);
}

int32_t afpCheckWriteAccess(BAFPSession*, BAFPVolume* volume, const BEntry* entry) {
  if (volume != nullptr && (volume->GetVolumeFlags() & kShareReadOnly) != 0) return kFPVolLocked;
  uint16_t attributes = 0;
  if (entry != nullptr && !entry->IsDirectory() && BAFPObject::GetAFPAttributes(*entry, &attributes) == kFPNoErr &&
      (attributes & kAttrWriteInhibit) != 0)
    return kFPObjectLocked;
  return kFPNoErr;
}

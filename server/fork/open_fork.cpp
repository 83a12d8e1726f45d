#include "server/fork/open_fork.h"

#include "platform/node.h"
#include "server/fs/afp_object.h"

std::unique_ptr<std::vector<uint8_t>> afpReadResourceFork(const BEntry& entry) {
  auto copy = std::make_unique<std::vector<uint8_t>>();
  BNode node(entry.DiskPath().c_str());
  attr_info info;
  if (node.InitCheck() != B_OK || node.GetAttrInfo(kResourceAttribute, &info) != B_OK || info.size <= 0) return copy;
  copy->resize(static_cast<size_t>(info.size));
  const ssize_t got = node.ReadAttr(kResourceAttribute, 0, 0, copy->data(), copy->size());
  copy->resize(got > 0 ? static_cast<size_t>(got) : 0);
  return copy;
}

bool afpWriteResourceFork(const BEntry& entry, const std::vector<uint8_t>& copy) {
  BNode node(entry.DiskPath().c_str());
  if (node.InitCheck() != B_OK) return false;
  // One write replaces the whole value.
  return node.WriteAttr(kResourceAttribute, 0, 0, copy.data(), copy.size()) == static_cast<ssize_t>(copy.size());
}

int64_t afpStoredResourceForkSize(const BEntry& entry) {
  BNode node(entry.DiskPath().c_str());
  return afpStoredResourceForkSize(node);
}

int64_t afpStoredResourceForkSize(BNode& node) {
  attr_info info;
  if (node.InitCheck() != B_OK || node.GetAttrInfo(kResourceAttribute, &info) != B_OK) return 0;
  return info.size;
}

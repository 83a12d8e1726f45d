// BNode::Lock: the nodes locked in this process, by device and node number.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/node.h"

namespace {

std::mutex gLockedNodesMutex;
std::condition_variable gLockedNodesChanged;
std::vector<node_ref> gLockedNodes;  // few at a time: one per busy thread

}  // namespace

status_t BNode::Lock() {
  if (fFd < 0) return B_NO_INIT;
  if (fLocked) return B_BAD_VALUE;
  node_ref ref;
  const status_t status = GetNodeRef(&ref);
  if (status != B_OK) return status;
  std::unique_lock<std::mutex> guard(gLockedNodesMutex);
  gLockedNodesChanged.wait(guard, [&] {
    return std::find(gLockedNodes.begin(), gLockedNodes.end(), ref) == gLockedNodes.end();
  });
  gLockedNodes.push_back(ref);
  fLocked = true;
  fLockedRef = ref;
  return B_OK;
}

status_t BNode::Unlock() {
  if (!fLocked) return fFd < 0 ? B_NO_INIT : B_BAD_VALUE;
  {
    std::lock_guard<std::mutex> guard(gLockedNodesMutex);
    const auto found = std::find(gLockedNodes.begin(), gLockedNodes.end(), fLockedRef);
    if (found != gLockedNodes.end()) gLockedNodes.erase(found);
  }
  fLocked = false;
  gLockedNodesChanged.notify_all();
  return B_OK;
}

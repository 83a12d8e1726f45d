#include "platform/node_monitor.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/thread.h"

namespace {

struct Watch {
  int descriptor;
  int32_t device;
  int64_t node;
  uint32_t flags;
  BMessenger target;
};

struct Delivery {
  BMessenger target;
  BMessage message;
};

uint32_t InotifyMask(uint32_t flags) {
  uint32_t mask = 0;
  if (flags & B_WATCH_NAME) mask |= IN_DELETE_SELF | IN_MOVE_SELF;
  if (flags & B_WATCH_STAT) mask |= IN_ATTRIB | IN_MODIFY;
  return mask;
}

// Which opcode an event stands for, and which watch flag asks for it.
bool Classify(uint32_t eventMask, int32_t* opcode, uint32_t* flag) {
  if (eventMask & IN_DELETE_SELF) {
    *opcode = B_ENTRY_REMOVED;
    *flag = B_WATCH_NAME;
  } else if (eventMask & IN_MOVE_SELF) {
    *opcode = B_ENTRY_MOVED;
    *flag = B_WATCH_NAME;
  } else if (eventMask & (IN_ATTRIB | IN_MODIFY)) {
    *opcode = B_STAT_CHANGED;
    *flag = B_WATCH_STAT;
  } else {
    return false;
  }
  return true;
}

class Monitor {
 public:
  status_t Watch(const char* path, uint32_t flags, const BMessenger& target);
  status_t Stop(int32_t device, int64_t node, const BMessenger& target);

 private:
  status_t StartLocked();
  void ReadEvents();

  std::mutex fLock;
  int fFd = -1;
  std::vector<struct Watch> fWatches;
};

Monitor& TheMonitor() {
  // Never destroyed: its thread reads events for the life of the process.
  static Monitor* monitor = new Monitor();
  return *monitor;
}

status_t Monitor::StartLocked() {
  if (fFd >= 0) return B_OK;
  fFd = inotify_init1(IN_CLOEXEC);
  if (fFd < 0) return B_ERROR;
  if (SpawnThread([this] { ReadEvents(); }, "node_monitor", kNormalPriority) < 0) {
    close(fFd);
    fFd = -1;
    return B_NO_MEMORY;
  }
  return B_OK;
}

status_t Monitor::Watch(const char* path, uint32_t flags, const BMessenger& target) {
  struct stat info;
  if (path == nullptr || lstat(path, &info) != 0) return B_ENTRY_NOT_FOUND;
  const auto device = static_cast<int32_t>(info.st_dev);
  const auto node = static_cast<int64_t>(info.st_ino);
  if (flags == B_STOP_WATCHING) return Stop(device, node, target);

  std::lock_guard<std::mutex> guard(fLock);
  const status_t started = StartLocked();
  if (started != B_OK) return started;
  uint32_t mask = InotifyMask(flags);
  for (const struct Watch& watch : fWatches) {
    if (watch.device == device && watch.node == node && !(watch.target == target))
      mask |= InotifyMask(watch.flags);
  }
  const int descriptor = inotify_add_watch(fFd, path, mask | IN_DONT_FOLLOW);
  if (descriptor < 0) return errno == ENOENT ? B_ENTRY_NOT_FOUND : B_ERROR;
  for (struct Watch& watch : fWatches) {
    if (watch.descriptor == descriptor && watch.target == target) {
      watch.flags = flags;
      return B_OK;
    }
  }
  fWatches.push_back({descriptor, device, node, flags, target});
  return B_OK;
}

status_t Monitor::Stop(int32_t device, int64_t node, const BMessenger& target) {
  std::lock_guard<std::mutex> guard(fLock);
  int descriptor = -1;
  uint32_t remaining = 0;
  for (auto it = fWatches.begin(); it != fWatches.end();) {
    if (it->device != device || it->node != node) {
      ++it;
      continue;
    }
    descriptor = it->descriptor;
    if (it->target == target) {
      it = fWatches.erase(it);
    } else {
      remaining |= InotifyMask(it->flags);
      ++it;
    }
  }
  if (descriptor < 0) return B_ENTRY_NOT_FOUND;
  // Without a path the kernel mask cannot be narrowed; events nobody asks
  // for any more are filtered when they arrive.
  if (remaining == 0) inotify_rm_watch(fFd, descriptor);
  return B_OK;
}

void Monitor::ReadEvents() {
  alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + 256)];
  for (;;) {
    const ssize_t got = read(fFd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    std::vector<Delivery> deliveries;
    {
      std::lock_guard<std::mutex> guard(fLock);
      for (ssize_t offset = 0; offset < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->mask & IN_IGNORED) {
          std::erase_if(fWatches, [event](const struct Watch& w) { return w.descriptor == event->wd; });
          continue;
        }
        int32_t opcode = 0;
        uint32_t flag = 0;
        if (!Classify(event->mask, &opcode, &flag)) continue;
        for (const struct Watch& watch : fWatches) {
          if (watch.descriptor != event->wd || (watch.flags & flag) == 0) continue;
          BMessage message(B_NODE_MONITOR);
          message.AddInt32("opcode", opcode);
          message.AddInt32("device", watch.device);
          message.AddInt64("node", watch.node);
          deliveries.push_back({watch.target, std::move(message)});
        }
      }
    }
    for (Delivery& delivery : deliveries) delivery.target.SendMessage(std::move(delivery.message));
  }
}

}  // namespace

status_t WatchNode(const char* path, uint32_t flags, const BMessenger& target) {
  return TheMonitor().Watch(path, flags, target);
}

status_t StopWatchingNode(int32_t device, int64_t node, const BMessenger& target) {
  return TheMonitor().Stop(device, node, target);
}

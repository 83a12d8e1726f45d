#include "server/dsi/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/host_name.h"
#include "platform/messenger.h"
#include "platform/thread.h"
#include "server/admin/server_messages.h"
#include "server/dsi/afp_connection.h"
#include "server/dsi/session_manager.h"

std::atomic<bool> gServerRunning{false};
std::atomic<uint16_t> gListenPort{kDefaultAFPPort};

namespace {

constexpr int kListenBacklog = 25;

std::mutex gServerNameLock;
char gComputerName[kServerNameSize] = {};

int OpenListeningSocket(uint16_t* boundPort) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int reuse = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(gListenPort.load());
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, kListenBacklog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    shutdown(fd, SHUT_RDWR);
    close(fd);
    return -1;
  }
  *boundPort = ntohs(address.sin_port);
  return fd;
}

void AcceptConnections(int listener) {
  int32_t counter = 1;
  while (gServerRunning.load()) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    auto* connection = new BAFPConnection(fd);
    char name[32];
    std::snprintf(name, sizeof(name), "afp_connection[%d]", counter++);
    // Once its receive thread runs, the connection may end and delete itself
    // at any moment: the thread records its own id, the listener lets go.
    const thread_id thread = SpawnThread(
        [connection] {
          connection->SetThreadID(CurrentThreadID());
          ServerConnection(connection);
        },
        name, kConnectionPriority);
    if (thread < 0) {
      // No receive thread: nothing would ever end this connection.
      connection->KillSession(true);
      connection->PostMessage(B_QUIT_REQUESTED);
    }
  }
}

void ListenForever() {
  for (;;) {
    afpResetGlobalServerName();
    snooze(1000000);
    // Connections register with the session manager: never accept before it
    // exists.
    if (gAFPSessionMgr.load() == nullptr) continue;
    uint16_t port = 0;
    const int listener = OpenListeningSocket(&port);
    if (listener < 0) continue;
    std::fprintf(stderr, "corvane: listening on port %u\n", port);
    std::fflush(stderr);
    AcceptConnections(listener);
    shutdown(listener, SHUT_RDWR);
    close(listener);
  }
}

}  // namespace

BAFPSessMgr* afpInitializeServerNetworking() {
  gServerRunning.store(true);
  afp_Initialize();
  SpawnThread(ListenForever, "afp_listen", kNormalPriority);
  auto* manager = new BAFPSessMgr();
  gAFPSessionMgr.store(manager);
  return manager;
}

void afpResetGlobalServerName() {
  std::string host;
  if (GetHostName(&host) != B_OK) host = kFallbackServerName;
  std::lock_guard<std::mutex> guard(gServerNameLock);
  std::memset(gComputerName, 0, sizeof(gComputerName));
  std::memcpy(gComputerName, host.data(), std::min<size_t>(host.size(), kServerNameSize - 1));
}

void afpCopyServerName(char out[kServerNameSize]) {
  std::lock_guard<std::mutex> guard(gServerNameLock);
  std::memcpy(out, gComputerName, kServerNameSize);
}

int32_t ServerConnection(void* connection) {
  auto* target = static_cast<BAFPConnection*>(connection);
  BMessenger messenger(target);
  target->Receive();
  messenger.SendMessage(BMessage(B_QUIT_REQUESTED));
  return 0;
}

// A real BAFPConnection on one end of a socket pair, with the other end
// kept by the test to read what the server sends. The connection is
// registered with a session manager that runs no sweeps of its own.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>

#include "platform/message.h"
#include "server/afp/afp_session.h"
#include "server/dsi/afp_connection.h"
#include "server/dsi/session_manager.h"

namespace corvane_test {

// One manager for the whole test binary: connections unregister from it
// on their own threads, so it must outlive all of them.
inline BAFPSessMgr* TestSessionManager() {
  static BAFPSessMgr* manager = [] {
    auto* created = new BAFPSessMgr(false);
    gAFPSessionMgr.store(created);
    return created;
  }();
  return manager;
}

struct ServerFrame {
  uint8_t flags;
  uint8_t command;
  uint16_t requestID;
  std::vector<uint8_t> payload;
};

class SocketPairConnection {
 public:
  SocketPairConnection() {
    TestSessionManager();
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    fPeer = fds[1];
    fConnection = new BAFPConnection(fds[0]);
  }
  ~SocketPairConnection() {
    End();
    close(fPeer);
  }
  SocketPairConnection(const SocketPairConnection&) = delete;
  SocketPairConnection& operator=(const SocketPairConnection&) = delete;

  BAFPConnection* connection() const { return fConnection; }
  BAFPSession* session() const { return fConnection->GetAFPSessionObject(); }

  // The next frame the server sent, or nothing within the time limit (or
  // when the server closed its end).
  std::optional<ServerFrame> ReadFrame(int timeoutMs = 3000) {
    uint8_t header[16];
    if (!ReadExactly(header, 16, timeoutMs)) return std::nullopt;
    ServerFrame frame{header[0], header[1], static_cast<uint16_t>((header[2] << 8) | header[3]), {}};
    const uint32_t length = (uint32_t{header[8]} << 24) | (uint32_t{header[9]} << 16) |
                            (uint32_t{header[10]} << 8) | header[11];
    frame.payload.resize(length);
    if (length > 0 && !ReadExactly(frame.payload.data(), length, timeoutMs)) return std::nullopt;
    return frame;
  }

  // True when the server shut its end down within the time limit.
  bool WaitForClose(int timeoutMs = 3000) {
    uint8_t byte;
    for (;;) {
      pollfd readable{fPeer, POLLIN, 0};
      if (poll(&readable, 1, timeoutMs) <= 0) return false;
      const ssize_t got = recv(fPeer, &byte, 1, 0);
      if (got == 0) return true;
      if (got < 0) return false;
    }
  }

  // Ends the connection as its receive thread would, and waits until the
  // connection has unregistered.
  void End() {
    if (fConnection == nullptr) return;
    const int32_t before = TestSessionManager()->NumOpenSessions();
    fConnection->PostMessage(B_QUIT_REQUESTED);
    fConnection = nullptr;
    for (int i = 0; i < 300 && TestSessionManager()->NumOpenSessions() >= before; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

 private:
  bool ReadExactly(uint8_t* out, size_t size, int timeoutMs) {
    while (size > 0) {
      pollfd readable{fPeer, POLLIN, 0};
      if (poll(&readable, 1, timeoutMs) <= 0) return false;
      const ssize_t got = recv(fPeer, out, size, 0);
      if (got <= 0) return false;
      out += got;
      size -= static_cast<size_t>(got);
    }
    return true;
  }

  BAFPConnection* fConnection = nullptr;
  int fPeer = -1;
};

}  // namespace corvane_test

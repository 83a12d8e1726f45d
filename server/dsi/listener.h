// The listener: starts networking, accepts TCP connections on the AFP port
// and gives each a connection object and a receive thread. It also keeps the
// server name clients are shown.
#pragma once

#include <atomic>
#include <cstdint>

class BAFPSessMgr;

inline constexpr uint16_t kDefaultAFPPort = 548;
inline constexpr int32_t kServerNameSize = 32;  // 31 bytes and the terminator
inline constexpr const char* kFallbackServerName = "BeComputer";

// The listener accepts connections while this is set; nothing clears it.
extern std::atomic<bool> gServerRunning;
// The TCP port to listen on (0: an ephemeral port); set before networking
// starts.
extern std::atomic<uint16_t> gListenPort;

// Sets the run flag, clears the messages, starts the listener thread and the
// session manager, and returns the manager.
BAFPSessMgr* afpInitializeServerNetworking();

// Refreshes the server name from the host name ("BeComputer" without one).
void afpResetGlobalServerName();
// Copies the server name (zero-terminated) into `out`.
void afpCopyServerName(char out[kServerNameSize]);

// The body of one connection's receive thread.
int32_t ServerConnection(void* connection);

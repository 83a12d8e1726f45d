// BAFPSessMgr: the list of live connections and the housekeeping thread
// that tickles quiet clients, ends silent ones and announces changed
// volumes. It also answers questions about all sessions at once.
//
// Lock order: the manager lock, then gAFPVolumeListLock, then a session's
// lock. Nothing takes them in another order.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "server/volume/afp_volume.h"

class BAFPConnection;
class BAFPSession;

inline constexpr int32_t kSweepPeriodSeconds = 15;
inline constexpr int32_t kTickleAfterSeconds = 15;
inline constexpr int32_t kIdleLimitSeconds = 120;
inline constexpr int32_t kSleepLimitSeconds = 86400;
// Attention: the contents of an open volume changed.
inline constexpr uint16_t kAttentionVolumeChanged = 0x3001;

// What one sweep does with one connection.
struct SweepDecision {
  bool tickle = false;
  bool kill = false;
  bool checkVolumes = false;
};
SweepDecision afpDecideSweep(int32_t now, int32_t lastSent, int32_t lastReceived, bool sleeping);

// A session found by a finder, kept alive by holding the manager lock for
// as long as this handle lives. Use it briefly: read a few fields, kill it.
class LockedSession {
 public:
  LockedSession(std::unique_lock<std::recursive_mutex> lock, BAFPSession* session)
      : fLock(std::move(lock)), fSession(session) {}
  BAFPSession* get() const { return fSession; }
  BAFPSession* operator->() const { return fSession; }
  explicit operator bool() const { return fSession != nullptr; }

 private:
  std::unique_lock<std::recursive_mutex> fLock;
  BAFPSession* fSession;
};

class BAFPSessMgr {
 public:
  // With `runSweeps`, starts the thread "afp_session_mgr" that sweeps every
  // 15 seconds.
  explicit BAFPSessMgr(bool runSweeps = true);
  virtual ~BAFPSessMgr() = default;
  BAFPSessMgr(const BAFPSessMgr&) = delete;
  BAFPSessMgr& operator=(const BAFPSessMgr&) = delete;

  virtual void TrackConnection(BAFPConnection* connection);
  virtual void StopTracking(BAFPConnection* connection);
  virtual void SendGlobalAttention(uint16_t code);
  // The first live session other than `except` whose client id is exactly
  // these bytes.
  virtual LockedSession FindSessionByID(int32_t length, const signed char* id,
                                        const BAFPSession* except = nullptr);
  virtual LockedSession FindSessionByToken(int32_t token);
  virtual int32_t NumOpenSessions() const;

  // One housekeeping pass at the given clock reading (seconds).
  void Sweep(int32_t now);
  // Waits (up to timeoutUs per connection) until every connection has
  // written what was posted to it before this call, e.g. a global attention
  // before the process exits.
  void FlushConnections(int64_t timeoutUs);

 private:
  // The volumes changed since the last pass, their marks cleared.
  static std::vector<VolumeRef> TakeChangedVolumes();
  static void AnnounceChangedVolumes(BAFPConnection* connection, BAFPSession* session,
                                     const std::vector<VolumeRef>& changed);

  mutable std::recursive_mutex fLock;
  std::vector<BAFPConnection*> fConnections;
  std::atomic<int32_t> fCount{0};
};

// The session manager, set once networking has started.
extern std::atomic<BAFPSessMgr*> gAFPSessionMgr;

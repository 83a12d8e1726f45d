#include "server/dsi/session_manager.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/messenger.h"
#include "platform/thread.h"
#include "server/afp/afp_session.h"
#include "server/dsi/afp_connection.h"
#include "server/volume/volume_registry.h"

std::atomic<BAFPSessMgr*> gAFPSessionMgr{nullptr};

SweepDecision afpDecideSweep(int32_t now, int32_t lastSent, int32_t lastReceived, bool sleeping) {
  SweepDecision decision;
  decision.tickle = now - lastSent > kTickleAfterSeconds && !sleeping;
  const int32_t idle = now - lastReceived;
  if (idle > kIdleLimitSeconds)
    decision.kill = !sleeping || idle > kSleepLimitSeconds;
  else
    decision.checkVolumes = true;
  return decision;
}

BAFPSessMgr::BAFPSessMgr(bool runSweeps) {
  if (!runSweeps) return;
  SpawnThread(
      [this] {
        for (;;) {
          snooze(int64_t{kSweepPeriodSeconds} * 1000000);
          Sweep(real_time_clock());
        }
      },
      "afp_session_mgr", kNormalPriority);
}

void BAFPSessMgr::TrackConnection(BAFPConnection* connection) {
  if (connection == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(fLock);
  fConnections.push_back(connection);
  fCount.store(static_cast<int32_t>(fConnections.size()));
}

void BAFPSessMgr::StopTracking(BAFPConnection* connection) {
  if (connection == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(fLock);
  fConnections.erase(std::remove(fConnections.begin(), fConnections.end(), connection),
                     fConnections.end());
  fCount.store(static_cast<int32_t>(fConnections.size()));
}

void BAFPSessMgr::SendGlobalAttention(uint16_t code) {
  std::lock_guard<std::recursive_mutex> guard(fLock);
  for (BAFPConnection* connection : fConnections) connection->SendAttention(code);
}

LockedSession BAFPSessMgr::FindSessionByID(int32_t length, const signed char* id,
                                           const BAFPSession* except) {
  std::unique_lock<std::recursive_mutex> lock(fLock);
  for (BAFPConnection* connection : fConnections) {
    BAFPSession* session = connection->GetAFPSessionObject();
    if (session != nullptr && session != except && session->HasClientID(length, id)) return LockedSession(std::move(lock), session);
  }
  return LockedSession(std::move(lock), nullptr);
}

LockedSession BAFPSessMgr::FindSessionByToken(int32_t token) {
  std::unique_lock<std::recursive_mutex> lock(fLock);
  for (BAFPConnection* connection : fConnections) {
    BAFPSession* session = connection->GetAFPSessionObject();
    if (session != nullptr && session->GetToken() == token) return LockedSession(std::move(lock), session);
  }
  return LockedSession(std::move(lock), nullptr);
}

int32_t BAFPSessMgr::NumOpenSessions() const { return fCount.load(); }

void BAFPSessMgr::Sweep(int32_t now) {
  std::lock_guard<std::recursive_mutex> guard(fLock);
  // Taken first, so a volume changed during the pass is announced next time
  // instead of being cleared unannounced.
  const std::vector<VolumeRef> changed = TakeChangedVolumes();
  for (BAFPConnection* connection : fConnections) {
    BAFPSession* session = connection->GetAFPSessionObject();
    if (session == nullptr) continue;
    const SweepDecision decision = afpDecideSweep(now, session->GetLastTickleSent(),
                                                  session->GetLastTickleRecvd(), session->ClientIsSleeping());
    if (decision.tickle) connection->PostMessage(kMsgTickle);
    if (decision.kill) connection->KillSession(true);
    if (decision.checkVolumes) AnnounceChangedVolumes(connection, session, changed);
  }
}

std::vector<VolumeRef> BAFPSessMgr::TakeChangedVolumes() {
  std::vector<VolumeRef> changed;
  std::lock_guard<std::recursive_mutex> volumes(gAFPVolumeListLock);
  if (gAFPVolumeList == nullptr) return changed;
  for (const VolumeRef& volume : *gAFPVolumeList)
    if (volume->MakeClean()) changed.push_back(volume);
  return changed;
}

void BAFPSessMgr::AnnounceChangedVolumes(BAFPConnection* connection, BAFPSession* session,
                                         const std::vector<VolumeRef>& changed) {
  for (const VolumeRef& volume : changed)
    if (session->HasVolumeOpen(volume.get())) connection->SendAttention(kAttentionVolumeChanged);
}

void BAFPSessMgr::FlushConnections(int64_t timeoutUs) {
  std::vector<BMessenger> targets;
  {
    std::lock_guard<std::recursive_mutex> guard(fLock);
    for (BAFPConnection* connection : fConnections) targets.emplace_back(connection);
  }
  // The looper handles this after everything posted before it; its default
  // answer (not understood) releases the wait.
  constexpr uint32_t kFlushMarker = FourCC("flsh");
  for (const BMessenger& target : targets) {
    BMessage reply;
    target.SendMessage(BMessage(kFlushMarker), &reply, timeoutUs);
  }
}

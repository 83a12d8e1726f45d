#include "server/dsi/session_manager.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "server/afp/afp_session.h"
#include "server/volume/volume_registry.h"
#include "tests/dsi/socket_pair_connection.h"

namespace {

using corvane_test::SocketPairConnection;
using corvane_test::TestSessionManager;

TEST(SessionManagerSweep, Decisions) {
  struct Case {
    const char* what;
    int32_t sinceSent;
    int32_t sinceReceived;
    bool sleeping;
    bool tickle;
    bool kill;
    bool checkVolumes;
  };
  const Case cases[] = {
      {"quiet for 16 s: tickled", 16, 16, false, true, false, true},
      {"reply sent 10 s ago: no tickle", 10, 10, false, false, false, true},
      {"exactly 15 s: not yet", 15, 15, false, false, false, true},
      {"silent 121 s: ended", 16, 121, false, true, true, false},
      {"silent exactly 120 s: kept", 16, 120, false, true, false, true},
      {"sleeping: no tickle, kept past 120 s", 500, 500, true, false, false, false},
      {"sleeping a full day: kept", 100, 86400, true, false, false, false},
      {"sleeping over a day: ended", 100, 86401, true, false, true, false},
  };
  const int32_t now = 1000000;
  for (const Case& c : cases) {
    const SweepDecision d = afpDecideSweep(now, now - c.sinceSent, now - c.sinceReceived, c.sleeping);
    EXPECT_EQ(d.tickle, c.tickle) << c.what;
    EXPECT_EQ(d.kill, c.kill) << c.what;
    EXPECT_EQ(d.checkVolumes, c.checkVolumes) << c.what;
  }
}

TEST(SessionManagerSweep, TicklesAQuietClient) {
  SocketPairConnection pair;
  TestSessionManager()->Sweep(real_time_clock() + 16);
  const auto tickle = pair.ReadFrame();
  ASSERT_TRUE(tickle);
  EXPECT_EQ(tickle->flags, 0);
  EXPECT_EQ(tickle->command, 5);
  EXPECT_TRUE(tickle->payload.empty());
}

TEST(SessionManagerSweep, RecentlyServedClientIsLeftAlone) {
  SocketPairConnection pair;
  TestSessionManager()->Sweep(real_time_clock() + 10);
  EXPECT_FALSE(pair.ReadFrame(300));
}

TEST(SessionManagerSweep, SilentClientLosesItsConnection) {
  SocketPairConnection pair;
  TestSessionManager()->Sweep(real_time_clock() + 121);
  EXPECT_TRUE(pair.WaitForClose());
}

TEST(SessionManagerSweep, SleepingClientKeepsItsConnectionForADay) {
  SocketPairConnection pair;
  pair.session()->SetClientIsSleeping(true);
  TestSessionManager()->Sweep(real_time_clock() + 3600);
  EXPECT_FALSE(pair.ReadFrame(300));
  TestSessionManager()->Sweep(real_time_clock() + 86401);
  EXPECT_TRUE(pair.WaitForClose());
}

TEST(SessionManagerSweep, ChangedVolumeIsAnnouncedOnceToClientsThatHaveItOpen) {
  auto volume = std::make_shared<BAFPVolume>("/srv/share", 0);
  {
    std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
    if (gAFPVolumeList == nullptr) gAFPVolumeList = new std::vector<VolumeRef>();
    gAFPVolumeList->push_back(volume);
  }
  SocketPairConnection opened;
  SocketPairConnection other;
  ASSERT_EQ(opened.session()->VolumeOpened(volume), 0);
  volume->MakeDirty();

  const int32_t now = real_time_clock();
  TestSessionManager()->Sweep(now);
  const auto attention = opened.ReadFrame();
  ASSERT_TRUE(attention);
  EXPECT_EQ(attention->command, 8);
  EXPECT_EQ(attention->payload, (std::vector<uint8_t>{0x30, 0x01}));
  EXPECT_FALSE(volume->IsDirty());
  EXPECT_FALSE(other.ReadFrame(300));

  TestSessionManager()->Sweep(now);
  EXPECT_FALSE(opened.ReadFrame(300));

  opened.End();
  other.End();
  std::lock_guard<std::recursive_mutex> guard(gAFPVolumeListLock);
  gAFPVolumeList->clear();
}

TEST(SessionManager, FindsSessionsByTokenAndClientID) {
  SocketPairConnection a;
  SocketPairConnection b;
  const signed char id[] = {1, 2, 3};
  b.session()->SetClientID(3, id);
  {
    LockedSession found = TestSessionManager()->FindSessionByToken(a.session()->GetToken());
    EXPECT_EQ(found.get(), a.session());
  }
  EXPECT_FALSE(TestSessionManager()->FindSessionByToken(a.session()->GetToken() ^ 1));
  {
    LockedSession found = TestSessionManager()->FindSessionByID(3, id);
    EXPECT_EQ(found.get(), b.session());
  }
  EXPECT_FALSE(TestSessionManager()->FindSessionByID(3, id, b.session()));
  EXPECT_FALSE(TestSessionManager()->FindSessionByID(2, id));
  EXPECT_NE(a.session()->GetToken(), b.session()->GetToken());
}

TEST(SessionManager, GlobalAttentionReachesEveryClient) {
  SocketPairConnection a;
  SocketPairConnection b;
  EXPECT_GE(TestSessionManager()->NumOpenSessions(), 2);
  TestSessionManager()->SendGlobalAttention(0x2000);
  for (SocketPairConnection* pair : {&a, &b}) {
    const auto attention = pair->ReadFrame();
    ASSERT_TRUE(attention);
    EXPECT_EQ(attention->payload, (std::vector<uint8_t>{0x20, 0x00}));
  }
}

}  // namespace

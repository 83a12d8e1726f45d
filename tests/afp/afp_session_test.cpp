#include "server/afp/afp_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "server/afp/afp_result.h"
#include "server/volume/afp_volume.h"

namespace {

TEST(SessionRequestIDs, FirstFixesTheStartThenEachMustFollow) {
  BAFPSession session(nullptr);
  EXPECT_EQ(session.GetNextClientRequestID(7), 7);
  EXPECT_EQ(session.GetNextClientRequestID(8), 8);
  EXPECT_NE(session.GetNextClientRequestID(10), 10);  // 9 was due
  EXPECT_EQ(session.GetCurrentRequestID(), 9);
}

TEST(SessionRequestIDs, WrapAndRestartAfterZero) {
  BAFPSession session(nullptr);
  EXPECT_EQ(session.GetNextClientRequestID(65535), 65535);
  EXPECT_EQ(session.GetNextClientRequestID(0), 0);      // wraps to 0
  EXPECT_EQ(session.GetNextClientRequestID(500), 500);  // after 0 a new start
  EXPECT_EQ(session.GetNextClientRequestID(501), 501);
}

TEST(SessionRequestIDs, ServerIDsCountFromZero) {
  BAFPSession session(nullptr);
  EXPECT_EQ(session.GetNextServerRequestID(), 0);
  EXPECT_EQ(session.GetNextServerRequestID(), 1);
}

TEST(SessionVolumes, SixteenAtMostAndOnlyOpenOnesClose) {
  BAFPSession session(nullptr);
  std::vector<VolumeRef> volumes;
  for (int i = 0; i < 17; ++i) volumes.push_back(std::make_shared<BAFPVolume>("/v" + std::to_string(i), 0));
  for (int i = 0; i < 16; ++i) EXPECT_EQ(session.VolumeOpened(volumes[i]), kFPNoErr);
  EXPECT_EQ(session.VolumeOpened(volumes[16]), kFPParamErr);
  EXPECT_FALSE(session.HasVolumeOpen(volumes[16].get()));
  EXPECT_EQ(session.VolumeClosed(volumes[16].get()), kFPParamErr);
  EXPECT_EQ(session.VolumeClosed(volumes[3].get()), kFPNoErr);
  EXPECT_FALSE(session.HasVolumeOpen(volumes[3].get()));
  EXPECT_EQ(session.VolumeOpened(volumes[16]), kFPNoErr);
}

TEST(SessionLogin, TemporaryLogonInfoIgnoresOverlongNames) {
  BAFPSession session(nullptr);
  session.StoreTemporaryLogonInfo("ann", 42, 3);
  EXPECT_STREQ(session.GetUserName(), "ann");
  EXPECT_EQ(session.GetLogonKey(), 42);
  EXPECT_EQ(session.GetUAMLoginType(), 3);
  session.StoreTemporaryLogonInfo(std::string(129, 'x').c_str(), 7, 1);
  EXPECT_STREQ(session.GetTemporaryUserName(), "ann");
  EXPECT_FALSE(session.IsGuest());
}

TEST(SessionTokens, UniqueAmongLiveSessions) {
  std::vector<std::unique_ptr<BAFPSession>> sessions;
  for (int i = 0; i < 200; ++i) sessions.push_back(std::make_unique<BAFPSession>(nullptr));
  std::vector<int32_t> tokens;
  for (const auto& s : sessions) tokens.push_back(s->GetToken());
  std::sort(tokens.begin(), tokens.end());
  EXPECT_EQ(std::adjacent_find(tokens.begin(), tokens.end()), tokens.end());
}

TEST(Volume, IDsCountDownAndNameIsTheLastComponent) {
  BAFPVolume a("/srv/share/", 0x102);
  BAFPVolume b("/srv/other", 0);
  EXPECT_EQ(static_cast<uint16_t>(a.GetVolumeID() - 1), b.GetVolumeID());
  EXPECT_STREQ(a.GetVolumeName(), "share");
  EXPECT_EQ(a.GetVolumeFlags(), 2);  // the low 8 bits
  EXPECT_EQ(a.GetPath(), "/srv/share/");
}

}  // namespace

#include "server/afp/dispatcher.h"

#include <gtest/gtest.h>

#include <cstring>

#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"

namespace {

int32_t Dispatch(BAFPSession& session, std::vector<uint8_t> request, int32_t* replyLength = nullptr) {
  signed char reply[4096];
  int32_t length = -1;
  const int32_t result = FPDispatchCommand(&session, reinterpret_cast<signed char*>(request.data()),
                                           static_cast<int32_t>(request.size()), reply, &length);
  if (replyLength != nullptr) *replyLength = length;
  return result;
}

TEST(AFPTable, HasAllCodesWithTheirNames) {
  EXPECT_STREQ(afpTable[0].name, "");
  EXPECT_STREQ(afpTable[15].name, "FPGetSrvrInfo");
  EXPECT_STREQ(afpTable[29].name, "FPSetFileDirParms");
  EXPECT_STREQ(afpTable[66].name, "FPEnumerateExt");
  EXPECT_STREQ(afpTable[72].name, "FPListExtAttribute");
  for (int code = 0; code < kAFPTableSize; ++code) {
    EXPECT_NE(afpTable[code].handler, nullptr) << code;
    EXPECT_LT(std::strlen(afpTable[code].name), sizeof(afpTable[code].name)) << code;
  }
}

TEST(Dispatcher, BeforeLoginOnlyServerInformationAndLoginPass) {
  BAFPSession session(nullptr);
  int32_t length = 0;
  EXPECT_EQ(Dispatch(session, {15}, &length), kFPNoErr);
  EXPECT_GT(length, 100);
  for (uint8_t code : {24, 16, 38, 64, 122, 0, 200}) {
    EXPECT_EQ(Dispatch(session, {code, 0}, &length), kFPCallNotSupported) << int(code);
    EXPECT_EQ(length, 0) << int(code);
  }
  // A password change before login is admitted only for an expired
  // password of a known account; otherwise it does nothing.
  EXPECT_EQ(Dispatch(session, {36, 0}, &length), kFPNoErr);
  EXPECT_EQ(length, 0);
}

TEST(Dispatcher, AfterLoginTheTableAndTheTwoOutsideCodes) {
  BAFPSession session(nullptr);
  session.SetIsAuthenticated(true);
  for (uint8_t code : {0, 3, 19, 62, 123, 255})
    EXPECT_EQ(Dispatch(session, {code, 0}), kFPCallNotSupported) << int(code);
  EXPECT_EQ(Dispatch(session, {122, 0, 0, 0, 0, 0}), kFPNoErr);
  EXPECT_TRUE(session.ClientIsSleeping());
  int32_t length = 0;
  EXPECT_EQ(Dispatch(session, {16, 0}, &length), kFPNoErr);
  EXPECT_GE(length, 5);
}

TEST(Dispatcher, EmptyRequestIsAParameterError) {
  BAFPSession session(nullptr);
  EXPECT_EQ(Dispatch(session, {}), kFPParamErr);
}

TEST(Dispatcher, ReadsAndWritesGoStraightToTheirHandlers) {
  EXPECT_EQ(afpReadHandler(27), afpTable[27].handler);
  EXPECT_EQ(afpReadHandler(60), afpTable[60].handler);
  EXPECT_EQ(afpReadHandler(26), nullptr);
  EXPECT_EQ(afpWriteHandler(33), afpTable[33].handler);
  EXPECT_EQ(afpWriteHandler(61), afpTable[61].handler);
  EXPECT_NE(afpWriteHandler(192), nullptr);
  EXPECT_EQ(afpWriteHandler(34), nullptr);
}

}  // namespace

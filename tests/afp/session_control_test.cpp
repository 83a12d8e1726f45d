#include "server/afp/session_control.h"

#include <gtest/gtest.h>

#include <vector>

#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"
#include "tests/dsi/socket_pair_connection.h"

namespace {

using corvane_test::SocketPairConnection;

struct Reply {
  int32_t result;
  std::vector<uint8_t> bytes;
};

Reply Call(AFPHandler handler, BAFPSession* session, std::vector<uint8_t> request) {
  signed char reply[4096];
  int32_t length = 0;
  const int32_t result = handler(session, reinterpret_cast<signed char*>(request.data()),
                                 static_cast<int32_t>(request.size()), reply, &length);
  const auto* begin = reinterpret_cast<const uint8_t*>(reply);
  return {result, std::vector<uint8_t>(begin, begin + length)};
}

std::vector<uint8_t> TokenRequest(uint8_t type, std::vector<uint8_t> id, uint32_t stamp = 0) {
  std::vector<uint8_t> request = {64, 0, 0, type};
  if (type == 0) return request;
  const auto length = static_cast<uint32_t>(id.size());
  for (int shift = 24; shift >= 0; shift -= 8) request.push_back(static_cast<uint8_t>(length >> shift));
  if (type == 3 || type == 4)
    for (int shift = 24; shift >= 0; shift -= 8) request.push_back(static_cast<uint8_t>(stamp >> shift));
  request.insert(request.end(), id.begin(), id.end());
  return request;
}

std::vector<uint8_t> TokenBytes(const BAFPSession* session) {
  const auto token = static_cast<uint32_t>(session->GetToken());
  return {0, 0, 0, 4, static_cast<uint8_t>(token >> 24), static_cast<uint8_t>(token >> 16),
          static_cast<uint8_t>(token >> 8), static_cast<uint8_t>(token)};
}

// The older session was ended: attention 0x9000, then the connection closed.
void ExpectKilled(SocketPairConnection& pair) {
  const auto attention = pair.ReadFrame();
  ASSERT_TRUE(attention);
  EXPECT_EQ(attention->command, 8);
  EXPECT_EQ(attention->payload, (std::vector<uint8_t>{0x90, 0x00}));
  EXPECT_TRUE(pair.WaitForClose());
}

TEST(SessionToken, PlainTypeReturnsTheSameTokenAndRecordsNothing) {
  SocketPairConnection pair;
  const Reply first = Call(FPGetSessionToken, pair.session(), TokenRequest(0, {}));
  const Reply second = Call(FPGetSessionToken, pair.session(), TokenRequest(0, {}));
  EXPECT_EQ(first.result, kFPNoErr);
  EXPECT_EQ(first.bytes, TokenBytes(pair.session()));
  EXPECT_EQ(second.bytes, first.bytes);
  EXPECT_TRUE(pair.session()->GetClientID().empty());
}

TEST(SessionToken, LoginWithIDEndsTheOlderSessionOfThatClient) {
  SocketPairConnection older;
  SocketPairConnection newer;
  older.session()->SetClientID(4, reinterpret_cast<const signed char*>("mac1"));
  const Reply reply = Call(FPGetSessionToken, newer.session(), TokenRequest(1, {'m', 'a', 'c', '1'}));
  EXPECT_EQ(reply.result, kFPNoErr);
  EXPECT_TRUE(newer.session()->HasClientID(4, reinterpret_cast<const signed char*>("mac1")));
  ExpectKilled(older);
}

TEST(SessionToken, LoginWithTimeStampEndsOnlyAStaleSession) {
  SocketPairConnection older;
  SocketPairConnection newer;
  const auto* id = reinterpret_cast<const signed char*>("mac2");
  older.session()->SetClientID(4, id);
  older.session()->SetAFPTimeStamp(77);

  // Same time stamp: the older session stays and the new one records both.
  EXPECT_EQ(Call(FPGetSessionToken, newer.session(), TokenRequest(3, {'m', 'a', 'c', '2'}, 77)).result, kFPNoErr);
  EXPECT_EQ(newer.session()->GetAFPTimeStamp(), 77u);
  EXPECT_TRUE(newer.session()->HasClientID(4, id));
  EXPECT_FALSE(older.ReadFrame(300));

  // Another time stamp: the older session is ended and nothing is recorded.
  SocketPairConnection third;
  EXPECT_EQ(Call(FPGetSessionToken, third.session(), TokenRequest(3, {'m', 'a', 'c', '2'}, 78)).result, kFPNoErr);
  EXPECT_EQ(third.session()->GetAFPTimeStamp(), 0u);
  EXPECT_TRUE(third.session()->GetClientID().empty());
  ExpectKilled(older);
}

TEST(SessionToken, ReconnectRecordsTimeStampAndID) {
  SocketPairConnection pair;
  EXPECT_EQ(Call(FPGetSessionToken, pair.session(), TokenRequest(4, {'x'}, 5)).result, kFPNoErr);
  EXPECT_EQ(pair.session()->GetAFPTimeStamp(), 5u);
  EXPECT_TRUE(pair.session()->HasClientID(1, reinterpret_cast<const signed char*>("x")));
}

TEST(SessionToken, MalformedRequestsAreRefusedAndRecordNothing) {
  SocketPairConnection pair;
  const std::vector<std::vector<uint8_t>> requests = {
      {64, 0},                                 // no type
      {64, 0, 0, 5, 0, 0, 0, 0},               // type above 4
      {64, 0, 0, 1, 0, 0},                     // cut inside the id length
      {64, 0, 0, 1, 0, 0, 0, 9, 'a'},          // id shorter than its length
      {64, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF},   // negative id length
      {64, 0, 0, 3, 0, 0, 0, 1, 0, 0},         // cut inside the time stamp
  };
  for (const auto& request : requests) {
    const Reply reply = Call(FPGetSessionToken, pair.session(), request);
    EXPECT_EQ(reply.result, kFPParamErr);
    EXPECT_TRUE(reply.bytes.empty());
  }
  EXPECT_TRUE(pair.session()->GetClientID().empty());
}

TEST(DisconnectOldSession, EndsTheSessionWithThatToken) {
  SocketPairConnection older;
  SocketPairConnection newer;
  const auto token = static_cast<uint32_t>(older.session()->GetToken());
  const std::vector<uint8_t> request = {65, 0, 0, 0, 0, 0, 0, 4, static_cast<uint8_t>(token >> 24),
                                        static_cast<uint8_t>(token >> 16), static_cast<uint8_t>(token >> 8),
                                        static_cast<uint8_t>(token)};
  EXPECT_EQ(Call(FPDisconnectOldSession, newer.session(), request).result, kFPNoErr);
  ExpectKilled(older);
}

TEST(DisconnectOldSession, UnknownTokenIsNoErrorAndBadLengthIs) {
  SocketPairConnection pair;
  const uint32_t unknown = static_cast<uint32_t>(pair.session()->GetToken()) ^ 0x5A5A5A5A;
  std::vector<uint8_t> request = {65, 0, 0, 0, 0, 0, 0, 4, static_cast<uint8_t>(unknown >> 24),
                                  static_cast<uint8_t>(unknown >> 16), static_cast<uint8_t>(unknown >> 8),
                                  static_cast<uint8_t>(unknown)};
  EXPECT_EQ(Call(FPDisconnectOldSession, pair.session(), request).result, kFPNoErr);
  request[7] = 8;
  EXPECT_EQ(Call(FPDisconnectOldSession, pair.session(), request).result, kFPParamErr);
  EXPECT_EQ(Call(FPDisconnectOldSession, pair.session(), {65, 0, 0, 0, 0, 0, 0, 4, 1}).result, kFPParamErr);
  EXPECT_FALSE(pair.ReadFrame(200));
}

TEST(Zzzz, MarksTheClientSleepingUntilItsNextFrame) {
  BAFPSession session(nullptr);
  EXPECT_EQ(Call(FPZzzz, &session, {122, 0, 0, 0, 0, 0}).result, kFPNoErr);
  EXPECT_TRUE(session.ClientIsSleeping());
  session.SetLastTickleRecvd();
  EXPECT_FALSE(session.ClientIsSleeping());
  EXPECT_EQ(Call(FPZzzz, &session, {122}).result, kFPNoErr);  // flags omitted
  EXPECT_TRUE(session.ClientIsSleeping());
}

}  // namespace

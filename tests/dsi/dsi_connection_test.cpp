// The DSI transport of a running corvane, driven over TCP: framing, request
// ids, the session states, and how connections end.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/client/afp_codes.h"
#include "tests/client/dsi_client.h"
#include "tests/client/dsi_expect.h"
#include "tests/client/server_info.h"
#include "tests/client/server_process.h"
#include "tests/client/temp_dir.h"
#include "tests/client/wire.h"

namespace afptest {
namespace {

using namespace std::chrono_literals;

const ByteVector kGetSrvrInfo = {kFPGetSrvrInfo, 0};
const ByteVector kOpenSessionReplyPayload = {0x00, 0x04, 0x00, 0x00, 0x10, 0x00};

// One server shared by the tests that do not change its state. A test that
// brings it down fails and the next test starts a fresh one.
class DsiConnection : public ::testing::Test {
 protected:
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    if (!server_) server_ = std::make_unique<ServerProcess>();
    ASSERT_TRUE(server_->WaitUntilListening()) << server_->StandardError();
  }

  void TearDown() override {
    if (auto status = server_->WaitForExit(0ms)) {
      ADD_FAILURE() << "the server exited with status " << *status << " during this test:\n"
                    << server_->StandardError();
      server_.reset();
    }
  }

  static std::unique_ptr<DsiClient> Connect() {
    auto client = std::make_unique<DsiClient>();
    EXPECT_TRUE(client->Connect(server_->port()));
    return client;
  }

  // A connected client whose DSI session is open.
  static std::unique_ptr<DsiClient> ConnectOpen() {
    auto client = Connect();
    const uint16_t id = client->nextRequestId();
    EXPECT_TRUE(IsReply(client->OpenSession(), kDsiOpenSession, id, kFPNoErr));
    return client;
  }

  static inline std::unique_ptr<ServerProcess> server_;
};

TEST_F(DsiConnection, OpenSessionReplyIsTheRequestQuantumOptionAlone) {
  const struct {
    const char* name;
    ByteVector options;
  } cases[] = {
      {"no options", {}},
      {"attention quantum", {0x01, 0x04, 0x00, 0x00, 0x04, 0x00}},
      {"unknown option", {0x02, 0x02, 0xAB, 0xCD}},
      {"attention quantum cut short", {0x01, 0x04, 0x00}},
      {"option type alone", {0x01}},
  };
  const ByteVector expected = {0x01, 0x04, 0x12, 0x34, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0,
                               0x00, 0x04, 0x00, 0x00, 0x10, 0x00};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = Connect();
    client->SetNextRequestId(0x1234);
    client->SendRequest(kDsiOpenSession, c.options);
    auto reply = client->ReadFrame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(HexDump(EncodeFrame(*reply)), HexDump(expected));
  }
}

// Requests sent before OpenSession are answered -5019 and leave the
// connection open, so every request here shows whether its id was accepted.
TEST_F(DsiConnection, EachRequestMustCarryTheNextId) {
  const struct {
    const char* name;
    std::vector<uint16_t> ids;
    bool lastEndsConnection;
  } cases[] = {
      {"consecutive", {7, 8, 9}, false},
      {"first request picks the start", {40000, 40001}, false},
      {"gap", {7, 8, 10}, true},
      {"repeat", {7, 7}, true},
      {"backwards", {7, 6}, true},
      {"wrap to zero", {65534, 65535, 0}, false},
      {"after zero any id starts anew", {65535, 0, 500, 501}, false},
      {"zero as the first id", {0, 77, 78}, false},
      {"wrap must not skip zero", {65535, 1}, true},
      {"zero out of turn", {3, 0}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = Connect();
    for (size_t i = 0; i < c.ids.size(); ++i) {
      SCOPED_TRACE("id " + std::to_string(c.ids[i]));
      client->SetNextRequestId(c.ids[i]);
      if (i + 1 == c.ids.size() && c.lastEndsConnection) {
        client->SendRequest(kDsiCommand, kGetSrvrInfo);
        EXPECT_TRUE(ClosesWithoutReply(*client));
      } else {
        auto reply = client->Call(kDsiCommand, kGetSrvrInfo);
        ASSERT_TRUE(IsReply(reply, kDsiCommand, c.ids[i], kFPParamErr));
        EXPECT_TRUE(reply->payload.empty());
      }
    }
  }
}

// Three requests as one byte stream, delivered in writes of a fixed size:
// a Command before OpenSession, OpenSession, then FPGetSrvrInfo, after which
// an unauthenticated connection is closed.
TEST_F(DsiConnection, FramesAreTakenApartAndJoinedAcrossWrites) {
  ByteVector stream;
  for (const DsiFrame& frame : {DsiFrame{kDsiRequest, kDsiCommand, 1, 0, 0, kGetSrvrInfo},
                                DsiFrame{kDsiRequest, kDsiOpenSession, 2, 0, 0, {}},
                                DsiFrame{kDsiRequest, kDsiCommand, 3, 0, 0, kGetSrvrInfo}}) {
    const ByteVector bytes = EncodeFrame(frame);
    stream.insert(stream.end(), bytes.begin(), bytes.end());
  }
  // 1: byte by byte; 10: headers split inside the length field; 16 and 18:
  // frame ends and starts inside one write; all at once: three frames in
  // one segment.
  for (size_t chunk : {size_t{1}, size_t{7}, size_t{10}, size_t{16}, size_t{18}, stream.size()}) {
    SCOPED_TRACE("writes of " + std::to_string(chunk) + " bytes");
    auto client = Connect();
    for (size_t at = 0; at < stream.size(); at += chunk) {
      ASSERT_TRUE(client->SendRaw(std::span(stream).subspan(at, std::min(chunk, stream.size() - at))));
    }
    auto first = client->ReadReply();
    ASSERT_TRUE(IsReply(first, kDsiCommand, 1, kFPParamErr));
    EXPECT_TRUE(first->payload.empty());
    auto second = client->ReadReply();
    ASSERT_TRUE(IsReply(second, kDsiOpenSession, 2, kFPNoErr));
    EXPECT_EQ(second->payload, kOpenSessionReplyPayload);
    auto third = client->ReadReply();
    ASSERT_TRUE(IsReply(third, kDsiCommand, 3, kFPNoErr));
    EXPECT_TRUE(ParseServerInfo(third->payload));
    EXPECT_TRUE(ClosesWithoutReply(*client));
  }
}

TEST_F(DsiConnection, FrameIsHandledOnlyOnceItsLastByteArrives) {
  auto client = Connect();
  const ByteVector frame =
      EncodeFrame({kDsiRequest, kDsiOpenSession, 1, 0, 0, {0x01, 0x04, 0x00, 0x00, 0x04, 0x00}});
  ASSERT_TRUE(client->SendRaw(std::span(frame).first(frame.size() - 1)));
  auto early = client->ReadFrame(300ms);
  EXPECT_FALSE(early) << Describe(*early);
  EXPECT_FALSE(client->closedByPeer());
  ASSERT_TRUE(client->SendRaw(std::span(frame).last(1)));
  EXPECT_TRUE(IsReply(client->ReadReply(), kDsiOpenSession, 1, kFPNoErr));
}

TEST_F(DsiConnection, RequestsBeforeOpenSessionAreRefusedAndTheConnectionStays) {
  const ByteVector login = RequestBuilder()
                               .Add8(kFPLogin)
                               .AddPascal("AFP3.2")
                               .AddPascal("Cleartxt passwrd")
                               .AddPascal("nobody")
                               .PadToEven()
                               .AddBytes(std::string_view("secret\0\0", 8))
                               .Bytes();
  const ByteVector write = RequestBuilder().Add8(kFPWrite).Add8(0).Add16(1).Add32(0).Add32(4).Bytes();
  const struct {
    const char* name;
    uint8_t command;
    ByteVector payload;
    int32_t dataOffset;
  } cases[] = {
      {"FPGetSrvrInfo command", kDsiCommand, kGetSrvrInfo, 0},
      {"FPLogin command", kDsiCommand, login, 0},
      {"FPWrite", kDsiWrite, write, static_cast<int32_t>(write.size())},
      {"CloseSession", kDsiCloseSession, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = Connect();
    const uint16_t id = client->nextRequestId();
    auto reply = client->Call(c.command, c.payload, kDefaultTimeout, c.dataOffset);
    ASSERT_TRUE(IsReply(reply, c.command, id, kFPParamErr));
    EXPECT_TRUE(reply->payload.empty());
    EXPECT_TRUE(IsReply(client->OpenSession(), kDsiOpenSession, id + 1, kFPNoErr));
  }
}

// After each frame a GetStatus follows; its reply must be the first one.
TEST_F(DsiConnection, FramesWithoutReplyKeepTheConnection) {
  const struct {
    const char* name;
    bool openFirst;
    DsiFrame frame;
    bool takesRequestId;
  } cases[] = {
      {"tickle before OpenSession", false, {kDsiRequest, kDsiTickle, 0, 0, 0, {}}, true},
      {"tickle", true, {kDsiRequest, kDsiTickle, 0, 0, 0, {}}, true},
      {"unknown DSI command 9", true, {kDsiRequest, 9, 0, 0, 0, kGetSrvrInfo}, true},
      {"unknown DSI command 0", true, {kDsiRequest, 0, 0, 0, 0, {}}, true},
      {"attention sent by the client", true, {kDsiRequest, kDsiAttention, 0, 0, 0, {0x80, 0x00}}, true},
      {"client reply to a server request", true, {kDsiReply, kDsiTickle, 999, 0, 0, {}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = c.openFirst ? ConnectOpen() : Connect();
    DsiFrame frame = c.frame;
    if (c.takesRequestId) frame.requestId = client->TakeRequestId();
    ASSERT_TRUE(client->SendFrame(frame));
    const uint16_t statusId = client->nextRequestId();
    auto reply = client->GetStatus();
    ASSERT_TRUE(IsReply(reply, kDsiGetStatus, statusId, kFPNoErr));
    EXPECT_TRUE(ParseServerInfo(reply->payload));
  }
}

TEST_F(DsiConnection, ServerInformationIsServedBeforeLoginAndEndsTheConnection) {
  const struct {
    const char* name;
    bool openFirst;
    uint8_t command;
    ByteVector payload;
  } cases[] = {
      {"GetStatus on a fresh connection", false, kDsiGetStatus, {}},
      {"GetStatus after OpenSession", true, kDsiGetStatus, {}},
      {"FPGetSrvrInfo command before login", true, kDsiCommand, kGetSrvrInfo},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = c.openFirst ? ConnectOpen() : Connect();
    const uint16_t id = client->nextRequestId();
    auto reply = client->Call(c.command, c.payload);
    ASSERT_TRUE(IsReply(reply, c.command, id, kFPNoErr));
    auto info = ParseServerInfo(reply->payload);
    ASSERT_TRUE(info) << HexDump(reply->payload);
    EXPECT_EQ(info->machineType, "BeOS");
    EXPECT_TRUE(ClosesWithoutReply(*client));
  }
}

TEST_F(DsiConnection, AfpCommandsOtherThanLoginAreRefusedBeforeLoginAndEndTheConnection) {
  const struct {
    const char* name;
    ByteVector request;
  } cases[] = {
      {"FPOpenVol", RequestBuilder().Add8(kFPOpenVol).Add8(0).Add16(0x0020).AddPascal("Share").Bytes()},
      {"FPGetSrvrParms", {kFPGetSrvrParms, 0}},
      {"FPEnumerate", RequestBuilder().Add8(kFPEnumerate).Add8(0).Add16(1).Add32(2).Add16(0).Add16(0x0100).Add16(10).Add16(1).Add16(4096).Add8(2).Add8(0).Bytes()},
      {"FPZzzz", {kFPZzzzz, 0, 0, 0, 0, 0}},
      {"FPAddIcon as a command", {kFPAddIcon, 0}},
      {"code 0", {0, 0}},
      {"code 62", {62, 0}},
      {"code 123", {123, 0}},
      {"code 255", {255}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = ConnectOpen();
    const uint16_t id = client->nextRequestId();
    auto reply = client->Command(c.request);
    ASSERT_TRUE(IsReply(reply, kDsiCommand, id, kFPCallNotSupported));
    EXPECT_TRUE(reply->payload.empty());
    EXPECT_TRUE(ClosesWithoutReply(*client));
  }
}

TEST_F(DsiConnection, CloseSessionIsAnsweredThenTheConnectionEnds) {
  auto client = ConnectOpen();
  const uint16_t id = client->nextRequestId();
  auto reply = client->CloseSession();
  ASSERT_TRUE(IsReply(reply, kDsiCloseSession, id, kFPNoErr));
  EXPECT_TRUE(reply->payload.empty());
  EXPECT_TRUE(ClosesWithoutReply(*client));
}

TEST_F(DsiConnection, FlagsOtherThanRequestOrReplyEndTheConnection) {
  for (uint8_t flags : {uint8_t{2}, uint8_t{3}, uint8_t{0x80}, uint8_t{0xFF}}) {
    SCOPED_TRACE("flags " + std::to_string(flags));
    auto client = ConnectOpen();
    ASSERT_TRUE(client->SendFrame({flags, kDsiGetStatus, client->TakeRequestId(), 0, 0, {}}));
    EXPECT_TRUE(ClosesWithoutReply(*client));
  }
}

// The receive buffer holds a 16-byte header and 4608 payload bytes.
TEST_F(DsiConnection, FramesLargerThanTheReceiveBufferEndTheConnection) {
  {
    SCOPED_TRACE("4608 bytes fit");
    auto client = Connect();
    const uint16_t id = client->nextRequestId();
    ByteVector payload(4608, 0xA5);
    payload[0] = kFPGetSrvrInfo;
    EXPECT_TRUE(IsReply(client->Call(kDsiCommand, payload), kDsiCommand, id, kFPParamErr));
    EXPECT_TRUE(IsReply(client->OpenSession(), kDsiOpenSession, id + 1, kFPNoErr));
  }
  const struct {
    const char* name;
    uint32_t length;
    bool sendPayload;
  } cases[] = {
      {"4609 bytes", 4609, true},
      {"64 KiB announced", 65536, false},
      {"negative as a signed length", 0x80000000u, false},
      {"length that wraps past the header size", 0xFFFFFFF0u, false},
      {"largest length", 0xFFFFFFFFu, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = Connect();
    const DsiFrame header{kDsiRequest, kDsiCommand, client->TakeRequestId(), 0, 0, {}};
    ByteVector bytes = EncodeHeader(header, c.length);
    bytes.push_back(kFPGetSrvrInfo);
    bytes.push_back(0);
    if (c.sendPayload) bytes.resize(kDsiHeaderSize + c.length, 0);
    client->SendRaw(bytes);  // the server may close before it has read everything
    EXPECT_TRUE(ClosesWithoutReply(*client));
  }
}

TEST_F(DsiConnection, ClientsThatVanishLeaveTheServerServing) {
  {
    DsiClient client;
    ASSERT_TRUE(client.Connect(server_->port()));
  }
  {
    DsiClient client;
    ASSERT_TRUE(client.Connect(server_->port()));
    client.Abort();
  }
  {
    DsiClient client;
    ASSERT_TRUE(client.Connect(server_->port()));
    const ByteVector frame = EncodeFrame({kDsiRequest, kDsiOpenSession, 1, 0, 0, {}});
    ASSERT_TRUE(client.SendRaw(std::span(frame).first(9)));
  }
  {
    auto client = ConnectOpen();
    client->SendRequest(kDsiCommand, kGetSrvrInfo);
    client->Abort();  // before the reply is read
  }
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE("client " + std::to_string(i));
    auto client = ConnectOpen();
    const uint16_t id = client->nextRequestId();
    auto reply = client->Command(kGetSrvrInfo);
    ASSERT_TRUE(IsReply(reply, kDsiCommand, id, kFPNoErr));
    EXPECT_TRUE(ParseServerInfo(reply->payload));
  }
}

// Requests that are cut short or claim more data than they carry: each is
// followed by a GetStatus on the same connection, so it has been handled
// before the next client checks that the server still serves.
TEST_F(DsiConnection, MalformedRequestsLeaveTheServerServing) {
  const struct {
    const char* name;
    uint8_t command;
    ByteVector payload;
    int32_t dataOffset;
  } cases[] = {
      {"empty AFP command", kDsiCommand, {}, 0},
      {"FPOpenVol without parameters", kDsiCommand, {kFPOpenVol}, 0},
      {"FPLogin cut inside a method name", kDsiCommand, {kFPLogin, 6, 'A', 'F', 'P', '3', '.', '2', 16, 'C'}, 0},
      {"empty write", kDsiWrite, {}, 0},
      {"write whose data offset passes the end", kDsiWrite, {kFPWrite, 0, 0, 1}, 4096},
      {"write with a negative data offset", kDsiWrite, {kFPWrite, 0, 0, 1}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = ConnectOpen();
    client->SendRequest(c.command, c.payload, c.dataOffset);
    client->SendRequest(kDsiGetStatus, {});
    client->WaitForClose();
    auto check = ConnectOpen();
    EXPECT_TRUE(check->GetStatus());
  }
}

// Servers of their own: these tests stop them.
TEST(DsiServerShutdown, EveryClientGetsTheShutdownAttentionThenTheServerExitsCleanly) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
    ServerProcess server;
    ASSERT_TRUE(server.WaitUntilListening()) << server.StandardError();

    DsiClient open, notOpen;
    ASSERT_TRUE(open.Connect(server.port()));
    ASSERT_TRUE(IsReply(open.OpenSession(), kDsiOpenSession, 1, kFPNoErr));
    // A refused request shows that the server has taken this connection on.
    ASSERT_TRUE(notOpen.Connect(server.port()));
    ASSERT_TRUE(IsReply(notOpen.Call(kDsiCommand, kGetSrvrInfo), kDsiCommand, 1, kFPParamErr));

    ASSERT_TRUE(server.Signal(sig));
    for (DsiClient* client : {&open, &notOpen}) {
      std::optional<DsiFrame> frame;
      do {
        frame = client->ReadFrame();
      } while (frame && frame->flags == kDsiRequest && frame->command == kDsiTickle);
      ASSERT_TRUE(frame) << "no attention before the connection ended";
      EXPECT_EQ(frame->flags, kDsiRequest) << Describe(*frame);
      EXPECT_EQ(frame->command, kDsiAttention) << Describe(*frame);
      EXPECT_EQ(frame->errorCode, 0) << Describe(*frame);
      EXPECT_EQ(frame->payload, (ByteVector{0x80, 0x00})) << Describe(*frame);
    }
    EXPECT_EQ(server.WaitForExit(), std::optional<int>(0)) << server.StandardError();
    EXPECT_TRUE(open.WaitForClose());
    EXPECT_TRUE(notOpen.WaitForClose());
  }
}

TEST(DsiServerLifecycle, SecondServerOnTheSameSettingsFolderExitsAndTheFirstServesOn) {
  ServerProcess first;
  ASSERT_TRUE(first.WaitUntilListening()) << first.StandardError();

  ServerProcess second({.settingsDir = first.settingsDir()});
  const auto status = second.WaitForExit(15s);
  ASSERT_TRUE(status) << "the second server still runs:\n" << second.StandardError();
  EXPECT_NE(*status, 0);
  EXPECT_FALSE(second.StandardError().empty());

  DsiClient client;
  ASSERT_TRUE(client.Connect(first.port()));
  EXPECT_TRUE(IsReply(client.GetStatus(), kDsiGetStatus, 1, kFPNoErr));
}

TEST(DsiServerLifecycle, ServerStartsOverWhatAKilledServerLeftInItsSettingsFolder) {
  TempDir settings;
  {
    ServerProcess killed({.settingsDir = settings.path()});
    ASSERT_TRUE(killed.WaitUntilListening()) << killed.StandardError();
    ASSERT_TRUE(killed.Signal(SIGKILL));
    ASSERT_EQ(killed.WaitForExit(), std::optional<int>(-SIGKILL));
  }
  ServerProcess server({.settingsDir = settings.path()});
  ASSERT_TRUE(server.WaitUntilListening()) << server.StandardError();
  DsiClient client;
  ASSERT_TRUE(client.Connect(server.port()));
  EXPECT_TRUE(IsReply(client.GetStatus(), kDsiGetStatus, 1, kFPNoErr));
}

}  // namespace
}  // namespace afptest

// The server information reply of a running corvane, as DSI GetStatus and
// as the AFP command FPGetSrvrInfo, checked byte for byte against the name
// the server takes from the host.

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>

#include "tests/client/afp_codes.h"
#include "tests/client/dsi_client.h"
#include "tests/client/dsi_expect.h"
#include "tests/client/server_info.h"
#include "tests/client/server_process.h"
#include "tests/client/wire.h"

namespace afptest {
namespace {

// The host name as the server reports it: at most 31 bytes, "BeComputer"
// when the host has none.
std::string ExpectedServerName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "BeComputer";
  return std::string(host).substr(0, 31);
}

// The whole reply for a server with that name and no guest access.
ByteVector ExpectedReply(const std::string& name) {
  const size_t afterName = 11 + name.size();
  const uint16_t n = static_cast<uint16_t>(afterName + afterName % 2);
  const uint16_t methods = n + 42;
  const uint16_t signature = methods + 1 + 17 + 21 + 21;
  RequestBuilder reply;
  reply.Add16(n + 8).Add16(n + 13).Add16(methods).Add16(0).Add16(0x006B).AddPascal(name).PadToEven();
  // Signature and address offsets, then no directory names and no UTF-8 name.
  reply.Add16(signature).Add16(signature + 1).Add16(0).Add16(0);
  reply.AddPascal("BeOS");
  reply.Add8(4).AddPascal("AFP2.2").AddPascal("AFPX03").AddPascal("AFP3.1").AddPascal("AFP3.2");
  reply.Add8(3).AddPascal("Cleartxt passwrd").AddPascal("BeOS_Encryption_v1.0").AddPascal("BeOS_Encryption_v2.0");
  reply.Add8(0).Add8(0);
  return std::move(reply).Bytes();
}

class ServerInfoWire : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<ServerProcess>();
    if (!server_->WaitUntilListening()) return;
    DsiClient client;
    if (!client.Connect(server_->port())) return;
    if (auto reply = client.GetStatus(); IsReply(reply, kDsiGetStatus, 1, kFPNoErr)) {
      status_ = reply->payload;
    }
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    ASSERT_FALSE(status_.empty()) << "no GetStatus reply; server output:\n" << server_->StandardError();
  }

  static inline std::unique_ptr<ServerProcess> server_;
  static inline ByteVector status_;
};

TEST_F(ServerInfoWire, FieldsAndOffsetsFollowTheServerName) {
  const std::string name = ExpectedServerName();
  const size_t afterName = 11 + name.size();
  const size_t n = afterName + afterName % 2;
  SCOPED_TRACE("server name \"" + name + "\", reply " + HexDump(status_));

  auto info = ParseServerInfo(status_);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->name, name);
  EXPECT_EQ(info->flags, 0x006B);
  EXPECT_EQ(info->iconOffset, 0);
  EXPECT_EQ(info->signatureOffsetPosition, n);
  EXPECT_EQ(info->machineTypeOffset, n + 8);
  EXPECT_EQ(info->versionsOffset, n + 13);
  EXPECT_EQ(info->uamsOffset, n + 42);
  EXPECT_EQ(info->machineType, "BeOS");
  EXPECT_EQ(info->versions, (std::vector<std::string>{"AFP2.2", "AFPX03", "AFP3.1", "AFP3.2"}));
  EXPECT_EQ(info->uams, (std::vector<std::string>{"Cleartxt passwrd", "BeOS_Encryption_v1.0",
                                                  "BeOS_Encryption_v2.0"}));
  if (afterName % 2 != 0) {
    EXPECT_EQ(status_[afterName], 0) << "pad byte";
  }
  // One zero byte of signature, then an empty address list as the last byte.
  ASSERT_EQ(info->addressOffset, status_.size() - 1);
  EXPECT_EQ(info->signatureOffset, status_.size() - 2);
  EXPECT_EQ(status_[info->signatureOffset], 0);
  EXPECT_EQ(status_[info->addressOffset], 0);

  EXPECT_EQ(HexDump(status_, 1024), HexDump(ExpectedReply(name), 1024));
}

TEST_F(ServerInfoWire, FPGetSrvrInfoGivesTheGetStatusBytes) {
  const struct {
    const char* name;
    ByteVector request;
  } cases[] = {
      {"two-byte request", {kFPGetSrvrInfo, 0}},
      {"command code alone", {kFPGetSrvrInfo}},
      {"trailing bytes", {kFPGetSrvrInfo, 0, 0xDE, 0xAD, 0xBE, 0xEF}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DsiClient client;
    ASSERT_TRUE(client.Connect(server_->port()));
    ASSERT_TRUE(IsReply(client.OpenSession(), kDsiOpenSession, 1, kFPNoErr));
    auto reply = client.Command(c.request);
    ASSERT_TRUE(IsReply(reply, kDsiCommand, 2, kFPNoErr));
    EXPECT_EQ(HexDump(reply->payload, 1024), HexDump(status_, 1024));
  }
}

TEST_F(ServerInfoWire, GetStatusRepliesAlikeOnEveryConnection) {
  for (int i = 0; i < 3; ++i) {
    DsiClient client;
    ASSERT_TRUE(client.Connect(server_->port()));
    client.SetNextRequestId(static_cast<uint16_t>(100 + i));
    auto reply = client.GetStatus();
    ASSERT_TRUE(IsReply(reply, kDsiGetStatus, static_cast<uint16_t>(100 + i), kFPNoErr));
    EXPECT_EQ(reply->payload, status_);
  }
}

// The reader that later tests rely on refuses every cut-short reply instead
// of reading past its end.
TEST_F(ServerInfoWire, ParserRefusesEveryTruncatedReply) {
  for (size_t length = 0; length < status_.size(); ++length) {
    EXPECT_FALSE(ParseServerInfo(std::span(status_).first(length))) << "length " << length;
  }
}

}  // namespace
}  // namespace afptest

#include "server/admin/server_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/afp/afp_result.h"
#include "server/afp/afp_session.h"

namespace {

struct Reply {
  int32_t result;
  std::vector<uint8_t> bytes;
};

Reply GetMessage(uint16_t type, uint16_t bitmap) {
  BAFPSession session(nullptr);
  std::vector<uint8_t> request = {38, 0, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                                  static_cast<uint8_t>(bitmap >> 8), static_cast<uint8_t>(bitmap)};
  signed char reply[4096];
  int32_t length = 0;
  const int32_t result = FPGetServerMessage(&session, reinterpret_cast<signed char*>(request.data()),
                                            static_cast<int32_t>(request.size()), reply, &length);
  const auto* begin = reinterpret_cast<const uint8_t*>(reply);
  return {result, std::vector<uint8_t>(begin, begin + length)};
}

class ServerMessages : public ::testing::Test {
 protected:
  void SetUp() override { afp_Initialize(); }
  void TearDown() override { afp_Initialize(); }
};

TEST_F(ServerMessages, LengthLimitIs199Bytes) {
  EXPECT_EQ(afp_SetServerMessage(std::string(199, 'a').c_str()), 0);
  EXPECT_EQ(afp_SetServerMessage(std::string(200, 'b').c_str()), -1);
  EXPECT_EQ(afpServerMessage(), std::string(199, 'a'));
  EXPECT_EQ(afp_SetLogonMessage(std::string(250, 'c').c_str()), -1);
  EXPECT_EQ(afpLogonMessage(), "");
}

TEST_F(ServerMessages, ShorterTextReplacesLongerCompletely) {
  afp_SetServerMessage("a long message for everyone");
  afp_SetServerMessage("short");
  EXPECT_EQ(GetMessage(1, 0).bytes, (std::vector<uint8_t>{0, 1, 0, 0, 5, 's', 'h', 'o', 'r', 't'}));
  afp_SetServerMessage("");
  EXPECT_EQ(GetMessage(1, 0).bytes, (std::vector<uint8_t>{0, 1, 0, 0, 0}));
}

TEST_F(ServerMessages, EmptyLogonMessageIsFiveBytes) {
  const Reply reply = GetMessage(0, 0);
  EXPECT_EQ(reply.result, kFPNoErr);
  EXPECT_EQ(reply.bytes, (std::vector<uint8_t>{0, 0, 0, 0, 0}));
}

TEST_F(ServerMessages, UTF8FormOnBitmapBit1) {
  afp_SetLogonMessage("Gr\x9F\xA7" "e");  // Grüße in Mac Roman
  const Reply reply = GetMessage(0, 2);
  EXPECT_EQ(reply.result, kFPNoErr);
  EXPECT_EQ(reply.bytes,
            (std::vector<uint8_t>{0, 0, 0, 2, 0, 7, 'G', 'r', 0xC3, 0xBC, 0xC3, 0x9F, 'e'}));
}

TEST_F(ServerMessages, UnknownTypeOrShortRequestIsRefused) {
  const Reply unknown = GetMessage(2, 0);
  EXPECT_EQ(unknown.result, kFPParamErr);
  EXPECT_TRUE(unknown.bytes.empty());
  BAFPSession session(nullptr);
  signed char request[] = {38, 0, 0};
  signed char reply[64];
  int32_t length = 0;
  EXPECT_EQ(FPGetServerMessage(&session, request, 3, reply, &length), kFPParamErr);
  EXPECT_EQ(length, 0);
}

}  // namespace

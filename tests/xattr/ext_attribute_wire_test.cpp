// Extended attributes over the wire: size queries, truncated reads, create
// and replace options, listing sizes, the server's own metadata as
// attributes, and the read-only share.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "tests/client/afp_login.h"
#include "tests/client/server_process.h"
#include "tests/client/temp_dir.h"
#include "tests/client/wire_fixture.h"

namespace {

using namespace afptest;
namespace fs = std::filesystem;

class ExtAttributeWire : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(folders_.path() / "settings");
    share_ = folders_.path() / "Share";
    fs::create_directories(share_);
    std::ofstream(share_ / "file").close();
    ASSERT_TRUE(StartServer(server_, folders_.path() / "settings"));
    ASSERT_TRUE(AdminAddShare(share_));
    ASSERT_TRUE(AdminAddUser("boss", "pw", 0x09));
    std::string why;
    ASSERT_TRUE(ConnectAndLogin(client_, server_->port(), "boss", "pw", &why)) << why;
    ASSERT_EQ(ResultOf(client_, OpenVolRequest("Share", 0)), 0);
  }

  static RequestBuilder Start(uint8_t command, uint16_t bitmap) {
    RequestBuilder request;
    request.Add8(command).Add8(0).Add16(0xFFFF).Add32(2).Add16(bitmap);
    return request;
  }
  static void PathAndName(RequestBuilder& request, const std::string& name, const std::string& object) {
    request.Add8(2).AddPascal(object).PadToEven().Add16(static_cast<uint16_t>(name.size())).AddBytes(name);
  }

  std::optional<DsiFrame> Get(const std::string& name, int32_t maxReply, const std::string& object = "file",
                              uint16_t options = 0) {
    RequestBuilder request = Start(69, options);
    request.Add64(0).Add64(0).Add32(static_cast<uint32_t>(maxReply));
    PathAndName(request, name, object);
    return client_.Command(request.Bytes());
  }
  int32_t Set(const std::string& name, const std::string& value, uint16_t options = 0, int32_t statedLength = -1,
              const std::string& object = "file") {
    RequestBuilder request = Start(70, options);
    request.Add64(0);
    PathAndName(request, name, object);
    request.Add32(static_cast<uint32_t>(statedLength >= 0 ? statedLength : static_cast<int32_t>(value.size())));
    request.AddBytes(value);
    return ResultOf(client_, request.Bytes());
  }
  int32_t Remove(const std::string& name, const std::string& object = "file", uint16_t options = 0) {
    RequestBuilder request = Start(71, options);
    PathAndName(request, name, object);
    return ResultOf(client_, request.Bytes());
  }
  std::optional<DsiFrame> List(int32_t maxReply, const std::string& object = "file", uint16_t options = 0) {
    RequestBuilder request = Start(72, options);
    request.Add16(0).Add32(0).Add32(static_cast<uint32_t>(maxReply)).Add8(2).AddPascal(object);
    return client_.Command(request.Bytes());
  }

  // The value an FPGetExtAttr reply carries after its bitmap and length;
  // nothing when no reply came or it is shorter than that header.
  static std::optional<std::string> Value(const std::optional<DsiFrame>& reply) {
    if (!reply) return std::nullopt;
    ReplyReader reader(reply->payload);
    reader.Skip(6);
    if (reader.failed()) return std::nullopt;
    const ByteVector value = reader.GetBytes(reader.remaining());
    return std::string(value.begin(), value.end());
  }

  TempDir folders_;
  fs::path share_;
  std::unique_ptr<ServerProcess> server_;
  DsiClient client_;
};

TEST_F(ExtAttributeWire, SizeQueryTruncatedReadAndLimit) {
  ASSERT_EQ(Set("note", std::string(100, 'n')), 0);
  EXPECT_EQ(PayloadOf(Get("note", 0)), (ByteVector{0, 0, 0, 0, 0, 100}));
  const auto part = Get("note", 40);
  ASSERT_EQ(ResultOf(part), 0);
  EXPECT_EQ(part->payload.size(), 6u + 40);
  ASSERT_EQ(Set("big", std::string(4091, 'b')), 0);
  EXPECT_EQ(ResultOf(Get("big", 10)), -5014);
  EXPECT_EQ(ResultOf(Get("missing", 10)), -5018);
  EXPECT_EQ(Remove("missing"), -5018);
  EXPECT_EQ(Remove("note"), 0);
  EXPECT_EQ(ResultOf(Get("note", 0)), -5018);
}

TEST_F(ExtAttributeWire, CreateAndReplaceOptions) {
  EXPECT_EQ(Set("x", "one", 0x0004), -5018);  // replace only, missing
  EXPECT_EQ(Set("x", "one", 0x0002), 0);
  EXPECT_EQ(Set("x", "two", 0x0002), -5017);  // create only, exists
  EXPECT_EQ(Set("x", "three", 0x0004), 0);
  EXPECT_EQ(Value(Get("x", 100)), "three");
  EXPECT_EQ(Set("y", "abc", 0, 100), -5019);  // a value longer than the request
  EXPECT_EQ(ResultOf(Get("y", 0)), -5018);
}

TEST_F(ExtAttributeWire, ListingSizesAndTheServersOwnMetadata) {
  // The first parameter request stores the Finder information and attributes.
  ASSERT_EQ(ResultOf(client_, RequestBuilder().Add8(34).Add8(0).Add16(0xFFFF).Add32(2).Add16(0x0021).Add16(0)
                                  .Add8(2).AddPascal("file").Bytes()), 0);
  const auto all = List(0);
  ASSERT_EQ(ResultOf(all), 0);
  EXPECT_EQ(all->payload, (ByteVector{0, 0, 0, 0, 0, 36}));  // 15 + 15 + 6
  const auto first = List(20);
  ASSERT_EQ(ResultOf(first), 0);
  ReplyReader reader(first->payload);
  reader.Skip(2);
  EXPECT_EQ(reader.Get32(), 15u);
  EXPECT_EQ(reader.remaining(), 15u);
  // Setting "Afp_FinderInfo" is what the parameters then report.
  std::string finder(32, '\0');
  finder.replace(0, 8, "TEXTttxt");
  ASSERT_EQ(Set("Afp_FinderInfo", finder), 0);
  const auto parms = client_.Command(RequestBuilder().Add8(34).Add8(0).Add16(0xFFFF).Add32(2).Add16(0x0020)
                                         .Add16(0).Add8(2).AddPascal("file").Bytes());
  ASSERT_TRUE(parms);
  ReplyReader finderInfo(parms->payload);
  finderInfo.Skip(6);
  const ByteVector typeAndCreator = finderInfo.GetBytes(8);
  EXPECT_EQ(std::string(typeAndCreator.begin(), typeAndCreator.end()), "TEXTttxt");
}

TEST_F(ExtAttributeWire, LargeValuesAndTheReadOnlyShare) {
  const std::string big(3000, 'v');
  ASSERT_EQ(Set("a", big), 0);
  ASSERT_EQ(Set("b", big), 0);  // together beyond ext4's attribute block
  const auto value = Get("b", 4000);
  ASSERT_EQ(ResultOf(value), 0);
  EXPECT_EQ(Value(value), big);
  BMessage flags(FourCC("sflg"));
  flags.AddString("afp-string", share_.string());
  flags.AddInt32("afp-int32", 2);
  ASSERT_EQ(AdminCode(flags), FourCC("succ"));
  EXPECT_EQ(Set("c", "x"), -5031);
  EXPECT_EQ(Remove("a"), -5031);
  EXPECT_EQ(ResultOf(Get("a", 10)), 0);  // reading still works
}

TEST_F(ExtAttributeWire, SymbolicLinksWithAndWithoutTheNoFollowOption) {
  constexpr uint16_t kNoFollow = 0x0001;
  ASSERT_EQ(Set("x", "target"), 0);
  fs::create_symlink("file", share_ / "link");
  const auto followed = Get("x", 100, "link");
  ASSERT_EQ(ResultOf(followed), 0);
  EXPECT_EQ(Value(followed), "target");
  // The link itself: Linux keeps no user attributes on links.
  EXPECT_EQ(ResultOf(Get("x", 100, "link", kNoFollow)), -5018);
  EXPECT_EQ(PayloadOf(List(0, "link", kNoFollow)), (ByteVector{0, 1, 0, 0, 0, 6}));
  EXPECT_EQ(Set("y", "v", kNoFollow, -1, "link"), -5000);
  EXPECT_EQ(Remove("x", "link", kNoFollow), -5018);
  EXPECT_EQ(ResultOf(Get("x", 100)), 0);  // the target kept its attribute

  // A link out of the share is never followed.
  const fs::path outside = folders_.path() / "outside";
  std::ofstream(outside).close();
  ASSERT_EQ(setxattr(outside.c_str(), "user.secret", "s", 1, 0), 0);
  fs::create_symlink(outside, share_ / "escape");
  EXPECT_EQ(ResultOf(Get("secret", 100, "escape")), -5018);
  EXPECT_EQ(Set("secret", "overwritten", 0, -1, "escape"), -5018);
  EXPECT_EQ(ResultOf(List(100, "escape")), -5018);
  char value[16];
  EXPECT_EQ(getxattr(outside.c_str(), "user.secret", value, sizeof(value)), 1);
}

}  // namespace

// Listing folders over the wire with FPEnumerate, FPEnumerateExt and
// FPEnumerateExt2: runs chosen by start index and count, the entry layout,
// the reply size limits, paging through large folders (also while they
// change), access rights and malformed requests.
//
// Expected runs come from the folder's order on disk as readdir gives it,
// which is the order the server walks in.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/client/afp_login.h"
#include "tests/client/server_process.h"
#include "tests/client/temp_dir.h"
#include "tests/client/wire_fixture.h"

namespace {

using namespace afptest;
namespace fs = std::filesystem;

constexpr uint16_t kVolumeID = 0xFFFF;
constexpr uint32_t kRootID = 2;
constexpr uint8_t kFolderFlag = 0x80;
constexpr uint16_t kLongNameBit = 0x0040;
constexpr uint16_t kShortNameBit = 0x0080;
constexpr uint16_t kOffspringBit = 0x0200;
constexpr uint16_t kFinderInfoBit = 0x0020;
constexpr uint16_t kUTF8NameBit = 0x2000;
constexpr int64_t kReplyCap = 4096;
constexpr uint8_t kCommands[] = {kFPEnumerate, kFPEnumerateExt, kFPEnumerateExt2};

// The server continues a walk only in a folder that has not changed for a
// moment; tests that mean to exercise that path wait this long first.
constexpr std::chrono::milliseconds kSteady{120};

struct Enumeration {
  uint8_t command = kFPEnumerateExt2;
  uint32_t dirID = kRootID;
  std::string path;
  uint16_t fileBitmap = kLongNameBit;
  uint16_t dirBitmap = kLongNameBit;
  int16_t count = 100;
  int32_t start = 1;
  int32_t maxReply = 4096;
};

ByteVector EnumerateRequest(const Enumeration& e) {
  RequestBuilder request;
  request.Add8(e.command).Add8(0).Add16(kVolumeID).Add32(e.dirID).Add16(e.fileBitmap).Add16(e.dirBitmap);
  request.Add16(static_cast<uint16_t>(e.count));
  if (e.command == kFPEnumerateExt2) {
    request.Add32(static_cast<uint32_t>(e.start)).Add32(static_cast<uint32_t>(e.maxReply));
  } else {
    request.Add16(static_cast<uint16_t>(e.start)).Add16(static_cast<uint16_t>(e.maxReply));
  }
  request.Add8(2).AddPascal(e.path);
  return std::move(request).Bytes();
}

struct Entry {
  uint16_t length = 0;  // as the length field says
  uint8_t flag = 0;
  ByteVector parameters;  // up to the end of the entry, pad included
};

// A decoded reply; `problem` names the first layout fault found.
struct Listing {
  int32_t result = 1;
  size_t size = 0;
  uint16_t fileBitmap = 0;
  uint16_t dirBitmap = 0;
  uint16_t count = 0;
  std::vector<Entry> entries;
  std::string problem;
};

Listing Decode(const std::optional<DsiFrame>& frame, uint8_t command) {
  Listing listing;
  if (!frame) {
    listing.problem = "no reply";
    return listing;
  }
  listing.result = frame->errorCode;
  listing.size = frame->payload.size();
  if (listing.size == 0) return listing;
  ReplyReader reader(frame->payload);
  listing.fileBitmap = reader.Get16();
  listing.dirBitmap = reader.Get16();
  listing.count = reader.Get16();
  const bool extended = command != kFPEnumerate;
  while (reader.remaining() > 0 && listing.problem.empty()) {
    Entry entry;
    entry.length = extended ? reader.Get16() : reader.Get8();
    entry.flag = reader.Get8();
    if (extended && reader.Get8() != 0) listing.problem = "pad byte after the flag is not 0";
    const size_t header = extended ? 4 : 2;
    if (entry.length < header || entry.length % 2 != 0) listing.problem = "bad entry length";
    if (entry.length > header) entry.parameters = reader.GetBytes(entry.length - header);
    if (reader.failed()) listing.problem = "entry runs past the reply";
    listing.entries.push_back(std::move(entry));
  }
  if (listing.problem.empty() && listing.entries.size() != listing.count) listing.problem = "count differs";
  return listing;
}

// The name of an entry listed with only the long-name bit: the 2-byte offset
// (2) and the Pascal string.
std::string LongName(const Entry& entry) {
  ReplyReader reader(entry.parameters);
  if (reader.Get16() != 2) return "<bad offset>";
  const std::string name = reader.GetPascal();
  return reader.failed() ? "<truncated>" : name;
}

std::vector<std::string> Names(const Listing& listing) {
  std::vector<std::string> names;
  for (const Entry& entry : listing.entries) names.push_back(LongName(entry));
  return names;
}

// The folder's entries in readdir order.
std::vector<std::string> DiskOrder(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  return names;
}

std::vector<std::string> Slice(const std::vector<std::string>& names, size_t from, size_t to) {
  to = std::min(to, names.size());
  return from >= to ? std::vector<std::string>{} : std::vector<std::string>(names.begin() + from, names.begin() + to);
}

void Touch(const fs::path& file) { std::ofstream{file}; }

void MakeFiles(const fs::path& folder, int count, const std::string& prefix) {
  char name[64];
  for (int i = 0; i < count; ++i) {
    std::snprintf(name, sizeof(name), "%s%05d", prefix.c_str(), i);
    Touch(folder / name);
  }
}

// One server for the suite: a share "Share", a user, guests allowed.
class EnumerateWire : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folders_ = new TempDir();
    const fs::path settings = folders_->path() / "settings";
    fs::create_directories(settings);
    fs::create_directories(folders_->path() / "Share");
    ASSERT_TRUE(StartServer(server_, settings));
    ASSERT_TRUE(AdminAddShare(folders_->path() / "Share"));
    ASSERT_TRUE(AdminAddUser("ann", "pw", 0x01));
    ASSERT_TRUE(AdminAllowGuests(true));
  }

  static void TearDownTestSuite() {
    server_.reset();
    delete folders_;
    folders_ = nullptr;
  }

  // A fresh folder in the share, named after the test.
  fs::path Folder() {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::string safe;
    for (char c : name) safe += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    const fs::path folder = folders_->path() / "Share" / safe;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
  }

  static void Open(DsiClient& client, const std::string& version = "AFP3.1") {
    ASSERT_TRUE(client.Connect(server_->port()));
    ASSERT_TRUE(client.OpenSession());
    const auto login = client.Command(CleartextLoginRequest("ann", "pw", version));
    ASSERT_TRUE(login && login->errorCode == 0);
    ASSERT_EQ(ResultOf(client, OpenVolRequest("Share", 0)), 0);
  }

  static Listing List(DsiClient& client, const Enumeration& e) {
    return Decode(client.Command(EnumerateRequest(e)), e.command);
  }

  // Pages through a folder the way clients do, raising the start index by
  // the count received; the names in reply order.
  static std::vector<std::string> PageThrough(DsiClient& client, Enumeration e, std::string* problem) {
    std::vector<std::string> names;
    for (int page = 0; page < 10000; ++page) {
      const Listing listing = List(client, e);
      if (listing.result == kFPObjectNotFound) return names;
      if (listing.result != kFPNoErr || !listing.problem.empty()) {
        *problem = "page at " + std::to_string(e.start) + ": result " + std::to_string(listing.result) + " " +
                   listing.problem;
        return names;
      }
      for (const auto& name : Names(listing)) names.push_back(name);
      e.start += listing.count;
    }
    *problem = "no end";
    return names;
  }

  static inline TempDir* folders_ = nullptr;
  static inline std::unique_ptr<ServerProcess> server_;
};

TEST_F(EnumerateWire, StartIndexAndCountChooseTheRun) {
  const fs::path folder = Folder();
  MakeFiles(folder, 5, "f");
  const auto order = DiskOrder(folder);
  DsiClient client;
  Open(client);
  struct Case {
    int32_t start;
    int16_t count;
    size_t from, to;  // the expected run of the folder's order
  };
  const Case cases[] = {
      {1, 3, 0, 3}, {4, 3, 3, 5}, {6, 3, 5, 5},  // past the end: none
      {0, 3, 0, 3}, {-1, 2, 0, 2},              // at or below 0: from the first
      {1, 0, 0, 1}, {2, -3, 1, 2},              // count 0 or negative: one entry
      {5, 100, 4, 5},
  };
  for (uint8_t command : kCommands) {
    for (const Case& c : cases) {
      SCOPED_TRACE("command " + std::to_string(command) + " start " + std::to_string(c.start) + " count " +
                   std::to_string(c.count));
      const Listing listing = List(client, {command, kRootID, folder.filename(), kLongNameBit, kLongNameBit,
                                            c.count, c.start});
      ASSERT_EQ(listing.problem, "");
      EXPECT_EQ(listing.fileBitmap, kLongNameBit);
      EXPECT_EQ(listing.dirBitmap, kLongNameBit);
      EXPECT_EQ(Names(listing), Slice(order, c.from, c.to));
      // The end of the folder: -5018 with the bitmaps and a count of 0.
      EXPECT_EQ(listing.result, c.from == c.to ? kFPObjectNotFound : kFPNoErr);
      if (c.from == c.to) {
        EXPECT_EQ(listing.size, 6u);
      }
    }
  }
}

TEST_F(EnumerateWire, EntriesLeftOutByAZeroBitmapStillUseTheirIndex) {
  // A folder, then two files, in readdir order: folder names are tried
  // until one comes first.
  const fs::path folder = Folder();
  Touch(folder / "one");
  Touch(folder / "two");
  std::vector<std::string> order;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "dir" + std::to_string(i);
    fs::create_directory(folder / name);
    order = DiskOrder(folder);
    if (order.front() == name) break;
    fs::remove(folder / name);
  }
  ASSERT_TRUE(fs::is_directory(folder / order.front())) << "no folder name sorted first";
  const std::string& sub = order[0];
  const std::string& file1 = order[1];
  const std::string& file2 = order[2];

  DsiClient client;
  Open(client);
  struct Case {
    uint16_t fileBitmap, dirBitmap;
    int32_t start;
    int16_t count;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {kLongNameBit, 0, 1, 1, {file1}},  // the first file has index 2
      {kLongNameBit, 0, 2, 1, {file1}},
      {kLongNameBit, 0, 3, 1, {file2}},
      {kLongNameBit, 0, 1, 10, {file1, file2}},
      {kLongNameBit, 0, 4, 1, {}},
      {0, kLongNameBit, 1, 10, {sub}},
      {0, kLongNameBit, 2, 10, {}},
      {0, 0, 1, 10, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("bitmaps " + std::to_string(c.fileBitmap) + "/" + std::to_string(c.dirBitmap) + " start " +
                 std::to_string(c.start));
    const Listing listing =
        List(client, {kFPEnumerateExt2, kRootID, folder.filename(), c.fileBitmap, c.dirBitmap, c.count, c.start});
    ASSERT_EQ(listing.problem, "");
    EXPECT_EQ(Names(listing), c.names);
    EXPECT_EQ(listing.result, c.names.empty() ? kFPObjectNotFound : kFPNoErr);
  }
}

TEST_F(EnumerateWire, EntryLayoutFlagsAndPadding) {
  const fs::path folder = Folder();
  fs::create_directory(folder / "sub");
  Touch(folder / "abc");   // parameters of 2 + 1 + 3 bytes: even
  Touch(folder / "abcd");  // 2 + 1 + 4: odd, padded
  fs::create_directory_symlink("sub", folder / "link");  // a link is listed as a file
  DsiClient client;
  Open(client);
  for (uint8_t command : kCommands) {
    SCOPED_TRACE("command " + std::to_string(command));
    const Listing listing = List(client, {command, kRootID, folder.filename()});
    ASSERT_EQ(listing.result, kFPNoErr);
    ASSERT_EQ(listing.problem, "");
    ASSERT_EQ(listing.count, 4);
    const size_t header = command == kFPEnumerate ? 2 : 4;
    for (const Entry& entry : listing.entries) {
      const std::string name = LongName(entry);
      SCOPED_TRACE(name);
      const size_t parameters = 2 + 1 + name.size();
      EXPECT_EQ(entry.length, (parameters + header + 1) / 2 * 2);
      if ((parameters + header) % 2 != 0) {
        EXPECT_EQ(entry.parameters.back(), 0);
      }
      EXPECT_EQ(entry.flag, name == "sub" ? kFolderFlag : 0);
    }
    std::vector<std::string> names = Names(listing);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"abc", "abcd", "link", "sub"}));
  }
}

TEST_F(EnumerateWire, ReplySizeLimits) {
  // 200 files whose entries take 3 + 20 bytes of parameters.
  const fs::path folder = Folder();
  MakeFiles(folder, 200, "name-of-twenty-");
  const int64_t parameters = 2 + 1 + 20;
  DsiClient client;
  Open(client);
  struct Case {
    uint8_t command;
    int32_t maxReply;
  };
  const Case cases[] = {
      {kFPEnumerateExt2, 100000}, {kFPEnumerateExt2, 4096}, {kFPEnumerate, 0x7FFF}, {kFPEnumerateExt, 4096},
      {kFPEnumerateExt2, 10},     {kFPEnumerateExt2, 33},   {kFPEnumerateExt2, 34}, {kFPEnumerate, 33},
      {kFPEnumerate, 34},         {kFPEnumerate, 61},       {kFPEnumerate, 62},     {kFPEnumerateExt, -1},
      {kFPEnumerateExt2, 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("command " + std::to_string(c.command) + " max " + std::to_string(c.maxReply));
    // An entry goes in while the reply so far, its parameters and 4 stay
    // below the maximum and within 4,096 bytes; the walk stops once the
    // reply reaches the maximum.
    const int64_t entrySize = (parameters + (c.command == kFPEnumerate ? 2 : 4) + 1) / 2 * 2;
    int64_t expectedSize = 6;
    uint16_t expectedCount = 0;
    while (expectedCount < 200 && expectedSize + parameters + 4 < c.maxReply &&
           expectedSize + parameters + 4 <= kReplyCap) {
      expectedSize += entrySize;
      ++expectedCount;
      if (expectedSize >= c.maxReply) break;
    }
    const Listing listing =
        List(client, {c.command, kRootID, folder.filename(), kLongNameBit, 0, 1000, 1, c.maxReply});
    ASSERT_EQ(listing.problem, "");
    EXPECT_EQ(listing.count, expectedCount);
    EXPECT_EQ(static_cast<int64_t>(listing.size), expectedSize);
    EXPECT_LE(static_cast<int64_t>(listing.size), kReplyCap);
    EXPECT_EQ(listing.result, expectedCount > 0 ? kFPNoErr : kFPObjectNotFound);
  }
}

TEST_F(EnumerateWire, FPEnumerateKeepsTheLowByteOfALongEntrysLength) {
  const fs::path folder = Folder();
  Touch(folder / std::string(240, 'n'));
  DsiClient client;
  Open(client);
  const uint16_t bitmap = kLongNameBit | kUTF8NameBit | kFinderInfoBit;
  const auto wide = client.Command(EnumerateRequest({kFPEnumerateExt2, kRootID, folder.filename(), bitmap, 0}));
  const auto narrow = client.Command(EnumerateRequest({kFPEnumerate, kRootID, folder.filename(), bitmap, 0}));
  ASSERT_TRUE(wide && narrow);
  ASSERT_EQ(wide->errorCode, kFPNoErr);
  ASSERT_EQ(narrow->errorCode, kFPNoErr);
  // The extended form tells the real length; FPEnumerate's entry is 2 bytes
  // shorter (a 1-byte length and no pad after the flag).
  ASSERT_EQ(wide->payload.size(), 6 + static_cast<size_t>(LoadBe16(&wide->payload[6])));
  const size_t length = LoadBe16(&wide->payload[6]) - 2;
  ASSERT_GT(length, 255u);
  ASSERT_EQ(narrow->payload.size(), 6 + length);
  EXPECT_EQ(LoadBe16(&narrow->payload[4]), 1);
  EXPECT_EQ(narrow->payload[6], length & 0xFF);
  EXPECT_EQ(ByteVector(narrow->payload.begin() + 8, narrow->payload.end()),
            ByteVector(wide->payload.begin() + 10, wide->payload.end()));
}

TEST_F(EnumerateWire, OffspringCountMatchesTheEntriesListed) {
  const fs::path folder = Folder();
  MakeFiles(folder, 3, "file");
  fs::create_directory(folder / "a");
  fs::create_directory(folder / "b");
  fs::create_symlink("file00000", folder / "link");
  DsiClient client;
  Open(client);
  const auto parms = client.Command(RequestBuilder().Add8(kFPGetFileDirParms).Add8(0).Add16(kVolumeID)
                                        .Add32(kRootID).Add16(0).Add16(kOffspringBit).Add8(2)
                                        .AddPascal(folder.filename().string()).Bytes());
  ASSERT_TRUE(parms && parms->errorCode == 0 && parms->payload.size() == 8);
  const Listing listing = List(client, {kFPEnumerateExt2, kRootID, folder.filename()});
  ASSERT_EQ(listing.problem, "");
  EXPECT_EQ(listing.count, 6);
  EXPECT_EQ(LoadBe16(&parms->payload[6]), listing.count);
}

TEST_F(EnumerateWire, AnAFP22SessionGetsNoUTF8Names) {
  const fs::path folder = Folder();
  Touch(folder / "file");
  fs::create_directory(folder / "sub");
  const uint16_t asked = kLongNameBit | kShortNameBit | kUTF8NameBit;
  for (const auto& [version, answered] : {std::pair{"AFP2.2", kLongNameBit}, {"AFP3.1", kLongNameBit | kUTF8NameBit}}) {
    SCOPED_TRACE(version);
    DsiClient client;
    Open(client, version);
    const Listing listing = List(client, {kFPEnumerateExt, kRootID, folder.filename(), asked, asked});
    ASSERT_EQ(listing.result, kFPNoErr);
    ASSERT_EQ(listing.problem, "");
    EXPECT_EQ(listing.fileBitmap, answered);
    EXPECT_EQ(listing.dirBitmap, answered);
    ASSERT_EQ(listing.count, 2);
    // Long name offset, then (AFP 3) the UTF-8 name offset, then the names.
    for (const Entry& entry : listing.entries) {
      ReplyReader reader(entry.parameters);
      const size_t longNameAt = reader.Get16();
      if (answered & kUTF8NameBit) {
        const size_t utf8At = reader.Get16();
        reader.Seek(utf8At);
        const std::string name = reader.GetUnicodeName();
        EXPECT_TRUE(name == "file" || name == "sub") << name;
      } else {
        EXPECT_EQ(longNameAt, 2u);
        reader.Seek(longNameAt);
        const std::string name = reader.GetPascal();
        EXPECT_TRUE(name == "file" || name == "sub") << name;
        EXPECT_LE(reader.remaining(), 1u);  // at most the pad
      }
      EXPECT_FALSE(reader.failed());
    }
  }
}

TEST_F(EnumerateWire, RequestErrors) {
  const fs::path folder = Folder();
  Touch(folder / "file");
  DsiClient client;
  Open(client);
  const std::string name = folder.filename();
  EXPECT_EQ(List(client, {kFPEnumerateExt2, kRootID, name + ":file"}).result, kFPObjectNotFound);
  EXPECT_EQ(List(client, {kFPEnumerateExt2, kRootID, name + ":missing"}).result, kFPObjectNotFound);
  // Directory ID 1 names the shared folder's parent, outside the share.
  EXPECT_EQ(List(client, {kFPEnumerateExt2, 1, ""}).result, kFPObjectNotFound);

  ByteVector otherVolume = EnumerateRequest({kFPEnumerateExt2, kRootID, name});
  StoreBe16(&otherVolume[2], 0x1234);
  EXPECT_EQ(client.Command(otherVolume)->errorCode, kFPParamErr);
  ByteVector shortName = EnumerateRequest({kFPEnumerateExt2, kRootID, name});
  shortName[shortName.size() - name.size() - 2] = 1;  // path type 1
  EXPECT_EQ(client.Command(shortName)->errorCode, kFPCallNotSupported);

  DsiClient notOpened;
  ASSERT_TRUE(ConnectAndLogin(notOpened, server_->port(), "ann", "pw"));
  EXPECT_EQ(notOpened.Command(EnumerateRequest({kFPEnumerateExt2, kRootID, name}))->errorCode, kFPParamErr);

  // Every cut of a request, within the fixed fields or the path.
  for (uint8_t command : kCommands) {
    const ByteVector whole = EnumerateRequest({command, kRootID, name});
    for (size_t length = 1; length < whole.size(); ++length) {
      const auto reply = client.Command(ByteVector(whole.begin(), whole.begin() + length));
      ASSERT_TRUE(reply);
      EXPECT_EQ(reply->errorCode, kFPParamErr) << "command " << int{command} << " cut to " << length;
      EXPECT_TRUE(reply->payload.empty());
    }
    EXPECT_EQ(client.Command(whole)->errorCode, kFPNoErr);
  }
}

TEST_F(EnumerateWire, ListingNeedsReadOrSearchRights) {
  const fs::path folder = Folder();
  Touch(folder / "file");
  DsiClient guest;
  ASSERT_TRUE(ConnectAsGuest(guest, server_->port()));
  ASSERT_EQ(guest.Command(OpenVolRequest("Share", 0))->errorCode, 0);
  struct Case {
    fs::perms others;
    int32_t result;
  };
  const Case cases[] = {
      {fs::perms::none, kFPAccessDenied},
      {fs::perms::others_read, kFPNoErr},
      {fs::perms::others_exec, kFPNoErr},
      {fs::perms::others_write, kFPAccessDenied},
  };
  for (const Case& c : cases) {
    fs::permissions(folder, fs::perms::owner_all | c.others);
    const Listing listing = List(guest, {kFPEnumerateExt2, kRootID, folder.filename()});
    EXPECT_EQ(listing.result, c.result) << static_cast<int>(c.others);
    EXPECT_EQ(listing.count, c.result == kFPNoErr ? 1 : 0);
  }
  fs::permissions(folder, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
}

TEST_F(EnumerateWire, PagingVisitsEveryEntryOnceInOrder) {
  const fs::path folder = Folder();
  MakeFiles(folder, 2000, "entry-");
  const auto order = DiskOrder(folder);
  std::this_thread::sleep_for(kSteady);
  DsiClient client;
  Open(client);
  struct Case {
    uint8_t command;
    int16_t count;
    int32_t maxReply;
  };
  // Pages ended by the size limit (an entry left over) and by the count.
  const Case cases[] = {{kFPEnumerateExt2, 1000, 100000}, {kFPEnumerateExt, 7, 4096}, {kFPEnumerate, 50, 0x7FFF}};
  for (const Case& c : cases) {
    SCOPED_TRACE("command " + std::to_string(c.command));
    std::string problem;
    const auto names = PageThrough(
        client, {c.command, kRootID, folder.filename(), kLongNameBit, kLongNameBit, c.count, 1, c.maxReply}, &problem);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(names, order);
  }
}

TEST_F(EnumerateWire, InterleavedFoldersAndSessionsPageIndependently) {
  const fs::path folder = Folder();
  fs::create_directory(folder / "A");
  fs::create_directory(folder / "B");
  MakeFiles(folder / "A", 300, "a");
  MakeFiles(folder / "B", 300, "b");
  const auto orderA = DiskOrder(folder / "A");
  const auto orderB = DiskOrder(folder / "B");
  std::this_thread::sleep_for(kSteady);
  DsiClient one, two;
  Open(one);
  Open(two);
  const std::string pathA = folder.filename().string() + ":A";
  const std::string pathB = folder.filename().string() + ":B";
  std::vector<std::string> oneA, oneB, twoA;
  for (int32_t start = 1; start <= 300; start += 20) {
    for (auto& [client, path, names] : {std::tie(one, pathA, oneA), std::tie(one, pathB, oneB),
                                        std::tie(two, pathA, twoA)}) {
      const Listing listing = List(client, {kFPEnumerateExt2, kRootID, path, kLongNameBit, 0, 20, start});
      ASSERT_EQ(listing.result, kFPNoErr);
      for (const auto& name : Names(listing)) names.push_back(name);
    }
  }
  EXPECT_EQ(oneA, orderA);
  EXPECT_EQ(oneB, orderB);
  EXPECT_EQ(twoA, orderA);
}

TEST_F(EnumerateWire, PagesAfterAChangeMatchAFreshWalk) {
  const fs::path folder = Folder();
  MakeFiles(folder, 60, "x");
  std::this_thread::sleep_for(kSteady);
  DsiClient client;
  Open(client);
  const auto page = [&](int32_t start) {
    return Names(List(client, {kFPEnumerateExt2, kRootID, folder.filename(), kLongNameBit, 0, 10, start}));
  };
  EXPECT_EQ(page(1), Slice(DiskOrder(folder), 0, 10));
  Touch(folder / "added");
  EXPECT_EQ(page(11), Slice(DiskOrder(folder), 10, 20));

  std::this_thread::sleep_for(kSteady);
  EXPECT_EQ(page(21), Slice(DiskOrder(folder), 20, 30));
  fs::remove(folder / DiskOrder(folder)[3]);
  EXPECT_EQ(page(31), Slice(DiskOrder(folder), 30, 40));

  std::this_thread::sleep_for(kSteady);
  EXPECT_EQ(page(41), Slice(DiskOrder(folder), 40, 50));
  fs::rename(folder / DiskOrder(folder)[45], folder / "renamed");
  EXPECT_EQ(page(51), Slice(DiskOrder(folder), 50, 60));

  // Unchanged again: the same page twice, pages that overlap, an earlier one, a
  // later one.
  std::this_thread::sleep_for(kSteady);
  const auto order = DiskOrder(folder);
  EXPECT_EQ(page(11), Slice(order, 10, 20));
  EXPECT_EQ(page(11), Slice(order, 10, 20));
  EXPECT_EQ(page(20), Slice(order, 19, 29));  // from the last entry received
  EXPECT_EQ(page(3), Slice(order, 2, 12));
  EXPECT_EQ(page(40), Slice(order, 39, 49));
  EXPECT_EQ(page(61), Slice(order, 60, 70));
}

}  // namespace

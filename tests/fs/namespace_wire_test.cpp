// Creating, deleting, renaming, moving and copying over the wire, against a
// real server and real files: result codes, what lands on disk under which
// name, what metadata travels, access rights, read-only shares, truncated
// requests and attempts to reach outside the share.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/client/afp_login.h"
#include "tests/client/server_process.h"
#include "tests/client/temp_dir.h"
#include "tests/client/wire_fixture.h"

namespace {

using namespace afptest;
namespace fs = std::filesystem;
using Tree = std::set<std::string>;

constexpr int32_t kShareReadOnlyFlag = 0x02;
constexpr uint16_t kAttrWriteInhibit = 0x0020;
constexpr uint16_t kAttrRenameInhibit = 0x0080;  // DeleteInhibit on folders
constexpr uint16_t kAttrDeleteInhibit = 0x0100;
constexpr uint8_t kHard = 0x80;

void Write(const fs::path& path, const std::string& data) { std::ofstream(path, std::ios::binary) << data; }

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::optional<std::string> XAttr(const fs::path& path, const std::string& name) {
  const std::string key = "user." + name;
  const ssize_t size = lgetxattr(path.c_str(), key.c_str(), nullptr, 0);
  if (size < 0) return std::nullopt;
  std::string value(static_cast<size_t>(size), '\0');
  if (lgetxattr(path.c_str(), key.c_str(), value.data(), value.size()) != size) return std::nullopt;
  return value;
}

void SetXAttr(const fs::path& path, const std::string& name, const std::string& value) {
  ASSERT_EQ(setxattr(path.c_str(), ("user." + name).c_str(), value.data(), value.size(), 0), 0) << path;
}

// The attribute word as stored: little-endian.
void SetAttributes(const fs::path& path, uint16_t word) {
  SetXAttr(path, "Afp_Attributes", std::string{static_cast<char>(word & 0xFF), static_cast<char>(word >> 8)});
}

uint32_t NodeOf(const fs::path& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 ? static_cast<uint32_t>(info.st_ino) : 0;
}

// Every entry below `top`: "path/" for a folder, "path -> target" for a
// link, "path=content" for a file.
Tree TreeOf(const fs::path& top) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    const std::string relative = entry.path().lexically_relative(top).string();
    if (entry.is_symlink())
      tree.insert(relative + " -> " + fs::read_symlink(entry.path()).string());
    else if (entry.is_directory())
      tree.insert(relative + "/");
    else
      tree.insert(relative + "=" + Read(entry.path()));
  }
  return tree;
}

Tree Changed(Tree tree, const std::vector<std::string>& removed, const std::vector<std::string>& added) {
  for (const auto& gone : removed) EXPECT_EQ(tree.erase(gone), 1u) << "not in the tree: " << gone;
  tree.insert(added.begin(), added.end());
  return tree;
}

// --- Requests. Paths and names go as UTF-8 names (path type 3). ---

RequestBuilder& Name(RequestBuilder& request, const std::string& utf8) {
  return request.Add8(3).AddUnicodeName(utf8);
}

ByteVector ObjectRequest(uint8_t command, uint8_t flag, uint16_t volume, uint32_t dirID, const std::string& path) {
  RequestBuilder request;
  request.Add8(command).Add8(flag).Add16(volume).Add32(dirID);
  return std::move(Name(request, path)).Bytes();
}

ByteVector CreateDir(uint16_t volume, uint32_t dirID, const std::string& name) {
  return ObjectRequest(kFPCreateDir, 0, volume, dirID, name);
}
ByteVector CreateFile(uint16_t volume, uint32_t dirID, const std::string& name, uint8_t flag = 0) {
  return ObjectRequest(kFPCreateFile, flag, volume, dirID, name);
}
ByteVector Delete(uint16_t volume, uint32_t dirID, const std::string& path) {
  return ObjectRequest(kFPDelete, 0, volume, dirID, path);
}
ByteVector CreateID(uint16_t volume, uint32_t dirID, const std::string& path) {
  return ObjectRequest(kFPCreateID, 0, volume, dirID, path);
}

ByteVector Rename(uint16_t volume, uint32_t dirID, const std::string& path, const std::string& newName) {
  RequestBuilder request;
  request.Add8(kFPRename).Add8(0).Add16(volume).Add32(dirID);
  Name(request, path);
  return std::move(Name(request, newName)).Bytes();
}

ByteVector MoveAndRename(uint16_t volume, uint32_t sourceDir, uint32_t destinationDir, const std::string& sourcePath,
                         const std::string& destinationPath, const std::string& newName) {
  RequestBuilder request;
  request.Add8(kFPMoveAndRename).Add8(0).Add16(volume).Add32(sourceDir).Add32(destinationDir);
  Name(request, sourcePath);
  Name(request, destinationPath);
  return std::move(Name(request, newName)).Bytes();
}

ByteVector CopyFile(uint16_t sourceVolume, uint32_t sourceDir, uint16_t destinationVolume, uint32_t destinationDir,
                    const std::string& sourcePath, const std::string& destinationPath, const std::string& newName) {
  RequestBuilder request;
  request.Add8(kFPCopyFile).Add8(0).Add16(sourceVolume).Add32(sourceDir).Add16(destinationVolume).Add32(destinationDir);
  Name(request, sourcePath);
  Name(request, destinationPath);
  return std::move(Name(request, newName)).Bytes();
}

ByteVector MapID(uint8_t subfunction, uint32_t id) {
  return RequestBuilder().Add8(kFPMapID).Add8(subfunction).Add32(id).Bytes();
}

// A share "Share" (mode 0777, so ordinary users may write at its top), a
// read-only share "ReadOnly", a share "Other", and a folder "Outside" beside
// them. "boss" is an administrator, "ann" an ordinary user; the fixture's
// client is logged in as boss with the three shares open.
class NamespaceWire : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_ = folders_.path() / "settings";
    share_ = folders_.path() / "Share";
    readOnly_ = folders_.path() / "ReadOnly";
    other_ = folders_.path() / "Other";
    outside_ = folders_.path() / "Outside";
    for (const auto& folder : {settings_, share_, readOnly_ / "folder", other_, outside_}) fs::create_directories(folder);
    fs::permissions(share_, fs::perms::all);
    Write(outside_ / "victim", "secret");
    Write(readOnly_ / "kept.txt", "kept");
    ASSERT_TRUE(StartServer(server_, settings_));
    ASSERT_TRUE(AdminAddShare(share_)) << share_;
    ASSERT_TRUE(AdminAddShare(readOnly_, kShareReadOnlyFlag)) << readOnly_;
    ASSERT_TRUE(AdminAddShare(other_)) << other_;
    ASSERT_TRUE(AdminAddUser("boss", "pw", 0x09));
    ASSERT_TRUE(AdminAddUser("ann", "pw", 0x01));
    ASSERT_NO_FATAL_FAILURE(Login(client_, "boss"));
  }

  // Logs in and opens the three shares, noting their volume IDs.
  void Login(DsiClient& client, const std::string& user) {
    std::string why;
    ASSERT_TRUE(ConnectAndLogin(client, server_->port(), user, "pw", &why)) << why;
    for (auto [name, id] : {std::pair{"Share", &share}, std::pair{"ReadOnly", &readOnly}, std::pair{"Other", &other}}) {
      const auto volume = OpenVolume(client, name);
      ASSERT_TRUE(volume) << name;
      *id = *volume;
    }
  }

  // The result code of a request (kNoReply when no reply came).
  int32_t Send(const ByteVector& request, DsiClient* client = nullptr) {
    return ResultOf(client != nullptr ? *client : client_, request);
  }

  ByteVector Reply(const ByteVector& request) {
    const auto reply = client_.Command(request);
    return reply ? reply->payload : ByteVector{0xEE};
  }

  // The directory ID of a folder of the share ("" is the share itself).
  uint32_t Dir(const fs::path& relative) const { return relative.empty() ? 2 : NodeOf(share_ / relative); }

  TempDir folders_;
  fs::path settings_, share_, readOnly_, other_, outside_;
  std::unique_ptr<ServerProcess> server_;
  DsiClient client_;
  uint16_t share = 0, readOnly = 0, other = 0;
};

// --- Creating ---

TEST_F(NamespaceWire, CreatedNamesLandOnDiskConverted) {
  struct Case {
    uint8_t pathType;
    std::string sent;
    fs::path onDisk;
  };
  const Case cases[] = {
      {3, "Projects", "Projects"},
      {3, "Archive:2024", "Archive/2024"},        // ":" leads into a subfolder
      {3, "Caf" "e\xCC\x81", "Caf\xC3\xA9"},      // decomposed é is stored precomposed
      {3, "AC/DC", "AC:DC"},                      // a client's "/" is ":" on disk
      {2, "Men\x9A", "Men\xC3\xB6"},               // Mac Roman ö from a long name
  };
  for (const bool folder : {true, false}) {
    const fs::path parent = folder ? "dirs" : "files";
    fs::create_directories(share_ / parent / "Archive");
    for (const Case& c : cases) {
      SCOPED_TRACE((folder ? "folder " : "file ") + c.onDisk.string());
      RequestBuilder request;
      request.Add8(folder ? kFPCreateDir : kFPCreateFile).Add8(0).Add16(share).Add32(Dir(parent)).Add8(c.pathType);
      if (c.pathType == 3) request.AddUnicodeName(c.sent);
      else request.AddPascal(c.sent);
      const auto reply = client_.Command(request.Bytes());
      ASSERT_TRUE(reply);
      EXPECT_EQ(reply->errorCode, 0);
      const fs::path created = share_ / parent / c.onDisk;
      if (folder) {
        EXPECT_TRUE(fs::is_directory(created));
        ASSERT_EQ(reply->payload.size(), 4u);
        EXPECT_EQ(LoadBe32(reply->payload.data()), NodeOf(created));  // the new folder's directory ID
      } else {
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(created)));
        EXPECT_TRUE(reply->payload.empty());
      }
      const auto again = client_.Command(request.Bytes());
      EXPECT_EQ(again->errorCode, kFPObjectExists);
      EXPECT_TRUE(again->payload.empty());
    }
  }
}

TEST_F(NamespaceWire, CreateErrors) {
  fs::create_directories(share_ / "box");
  Write(share_ / "plain", "x");
  const Tree before = TreeOf(share_);
  struct Case {
    const char* what;
    ByteVector request;
    int32_t expected;
  };
  const Case cases[] = {
      {"folder, empty name", CreateDir(share, 2, ""), kFPParamErr},
      {"file, empty name", CreateFile(share, 2, ""), kFPParamErr},
      {"folder, parent missing", CreateDir(share, 2, "nowhere:new"), kFPObjectNotFound},
      {"file, parent is a file", CreateFile(share, 2, "plain:new"), kFPObjectNotFound},
      {"folder, directory ID of a file", CreateDir(share, NodeOf(share_ / "plain"), "new"), kFPObjectNotFound},
      {"file, directory ID unknown", CreateFile(share, 0x7FFFFFF0, "new"), kFPObjectNotFound},
      {"folder, name taken by a file", CreateDir(share, Dir("box"), "..:plain"), kFPObjectExists},
      {"hard create over a folder", CreateFile(share, 2, "box", kHard), kFPParamErr},
      {"short-name path type", RequestBuilder().Add8(kFPCreateDir).Add8(0).Add16(share).Add32(2).Add8(1)
                                   .AddPascal("new").Bytes(), kFPCallNotSupported},
      {"volume not open", CreateDir(0x1234, 2, "new"), kFPParamErr},
  };
  for (const Case& c : cases) EXPECT_EQ(Send(c.request), c.expected) << c.what;
  EXPECT_EQ(TreeOf(share_), before);
}

TEST_F(NamespaceWire, LongNamesAreStoredAtCreation) {
  const std::string fileName = "A very long document name for the client.txt";  // 44 bytes
  const std::string folderName = "Forty bytes of folder name for the tests";    // 40 bytes
  const std::string exact = "Exactly thirty-two bytes of name";                // 32 bytes
  EXPECT_EQ(Send(CreateFile(share, 2, fileName)), 0);
  EXPECT_EQ(Send(CreateDir(share, 2, folderName)), 0);
  EXPECT_EQ(Send(CreateFile(share, 2, exact)), 0);
  EXPECT_EQ(XAttr(share_ / fileName, "Afp_Longname"), "A very long document name ~0.txt");
  EXPECT_EQ(XAttr(share_ / folderName, "Afp_Longname"), "Forty bytes of folder name for~0");
  EXPECT_EQ(XAttr(share_ / exact, "Afp_Longname"), std::nullopt);
}

TEST_F(NamespaceWire, HardCreateEmptiesTheFileAndKeepsItsMetadata) {
  const std::string finderInfo = "TEXTttxt" + std::string(24, '\x01');
  Write(share_ / "doc", "hello");
  SetXAttr(share_ / "doc", "Afp_FinderInfo", finderInfo);
  SetXAttr(share_ / "doc", "Afp_Resource", "resource fork");
  EXPECT_EQ(Send(CreateFile(share, 2, "doc")), kFPObjectExists);
  EXPECT_EQ(Read(share_ / "doc"), "hello");
  EXPECT_EQ(Send(CreateFile(share, 2, "doc", kHard)), 0);
  EXPECT_EQ(fs::file_size(share_ / "doc"), 0u);
  EXPECT_EQ(XAttr(share_ / "doc", "Afp_FinderInfo"), finderInfo);
  EXPECT_EQ(XAttr(share_ / "doc", "Afp_Resource"), "resource fork");

  // A locked file is not erased; a link is never opened through.
  Write(share_ / "locked", "keep");
  SetAttributes(share_ / "locked", kAttrWriteInhibit);
  fs::create_symlink(outside_ / "victim", share_ / "link");
  EXPECT_EQ(Send(CreateFile(share, 2, "locked", kHard)), kFPObjectLocked);
  EXPECT_EQ(Send(CreateFile(share, 2, "link", kHard)), kFPObjectExists);
  EXPECT_EQ(Read(share_ / "locked"), "keep");
  EXPECT_EQ(Read(outside_ / "victim"), "secret");
}

// --- Deleting and renaming ---

enum class Kind { kFile, kEmptyFolder, kFullFolder, kLinkOut, kMissing };

void Make(const fs::path& path, Kind kind, uint16_t attributes) {
  switch (kind) {
    case Kind::kFile: Write(path, "data"); break;
    case Kind::kEmptyFolder: fs::create_directory(path); break;
    case Kind::kFullFolder:
      fs::create_directory(path);
      Write(path / "inside", "x");
      break;
    case Kind::kLinkOut: fs::create_symlink("../../Outside/victim", path); break;
    case Kind::kMissing: return;
  }
  if (attributes != 0) SetAttributes(path, attributes);
}

TEST_F(NamespaceWire, DeleteRules) {
  struct Case {
    const char* what;
    Kind kind;
    uint16_t attributes;
    int32_t expected;
  };
  const Case cases[] = {
      {"file", Kind::kFile, 0, 0},
      {"empty folder", Kind::kEmptyFolder, 0, 0},
      {"folder that is not empty", Kind::kFullFolder, 0, kFPParamErr},
      {"write-inhibited file", Kind::kFile, kAttrWriteInhibit, kFPObjectLocked},
      {"file with DeleteInhibit only", Kind::kFile, kAttrDeleteInhibit, 0},
      {"folder with DeleteInhibit", Kind::kEmptyFolder, kAttrRenameInhibit, 0},
      {"link leading outside (the link goes)", Kind::kLinkOut, 0, 0},
      {"missing", Kind::kMissing, 0, kFPObjectNotFound},
  };
  fs::create_directory(share_ / "del");
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const std::string name = "case" + std::to_string(i);
    Make(share_ / "del" / name, c.kind, c.attributes);
    EXPECT_EQ(Send(Delete(share, 2, "del:" + name)), c.expected) << c.what;
    EXPECT_EQ(fs::exists(fs::symlink_status(share_ / "del" / name)), c.expected != 0 && c.kind != Kind::kMissing)
        << c.what;
  }
  EXPECT_EQ(Send(Delete(share, Dir("del"), "")), kFPParamErr);  // never by directory ID alone
  EXPECT_TRUE(fs::exists(share_ / "del"));
  EXPECT_EQ(Read(outside_ / "victim"), "secret");
}

TEST_F(NamespaceWire, RenameRules) {
  struct Case {
    const char* what;
    Kind kind;
    uint16_t attributes;
    std::string newName;
    int32_t expected;
  };
  const Case cases[] = {
      {"file", Kind::kFile, 0, "renamed", 0},
      {"folder", Kind::kEmptyFolder, 0, "renamed", 0},
      {"folder with BackupNeeded (bit 0x20)", Kind::kEmptyFolder, kAttrWriteInhibit, "renamed", 0},
      {"file with RenameInhibit", Kind::kFile, kAttrRenameInhibit, "renamed", kFPObjectLocked},
      {"file with DeleteInhibit", Kind::kFile, kAttrDeleteInhibit, "renamed", kFPObjectLocked},
      {"folder with DeleteInhibit", Kind::kEmptyFolder, kAttrRenameInhibit, "renamed", kFPObjectLocked},
      {"write-inhibited file", Kind::kFile, kAttrWriteInhibit, "renamed", kFPObjectLocked},
      {"to a name that is taken", Kind::kFile, 0, "taken", kFPObjectLocked},
      {"to an empty name", Kind::kFile, 0, "", kFPParamErr},
      {"to a name with a separator", Kind::kFile, 0, "sub:moved", kFPObjectLocked},
      {"to a name climbing out", Kind::kFile, 0, "..:..:escaped", kFPObjectLocked},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const fs::path folder = share_ / ("case" + std::to_string(i));
    fs::create_directories(folder / "sub");
    Write(folder / "taken", "t");
    Make(folder / "obj", c.kind, c.attributes);
    const Tree before = TreeOf(folder);
    EXPECT_EQ(Send(Rename(share, Dir(folder.filename()), "obj", c.newName)), c.expected) << c.what;
    if (c.expected == 0) {
      EXPECT_FALSE(fs::exists(folder / "obj")) << c.what;
      EXPECT_TRUE(fs::exists(folder / c.newName)) << c.what;
    } else {
      EXPECT_EQ(TreeOf(folder), before) << c.what;
    }
  }
  // An empty path renames the folder the directory ID names.
  fs::create_directory(share_ / "old");
  EXPECT_EQ(Send(Rename(share, Dir("old"), "", "new")), 0);
  EXPECT_TRUE(fs::is_directory(share_ / "new"));
  EXPECT_FALSE(fs::exists(folders_.path() / "escaped"));
}

// --- Moving ---

TEST_F(NamespaceWire, MoveAndRenameRules) {
  // Each case runs in a fresh copy of this layout.
  const Tree layout = {"a/", "a/f=f", "a/sub/", "a/sub/inner/", "b/", "b/taken=t", "c/", "c/f=c", "file.txt=x"};
  struct Case {
    const char* what;
    fs::path sourceDir, destinationDir;  // relative to the case folder
    std::string sourcePath, destinationPath, newName;
    int32_t expected;
    std::vector<std::string> removed, added;
    uint16_t sourceAttributes = 0;
  };
  const std::vector<Case> cases = {
      {"move keeping the name", "a", "b", "f", "", "", 0, {"a/f=f"}, {"b/f=f"}},
      {"move and rename", "a", "b", "f", "", "n", 0, {"a/f=f"}, {"b/n=f"}},
      {"destination named by a path", "a", ".", "f", "b", "", 0, {"a/f=f"}, {"b/f=f"}},
      {"equal directory IDs only rename", "a", "a", "f", "..:b", "n", 0, {"a/f=f"}, {"a/n=f"}},
      {"the same name again", "a", "a", "f", "", "f", 0, {}, {}},
      {"already in the destination", ".", "a", "a:f", "", "n", 0, {"a/f=f"}, {"a/n=f"}},
      {"name held in the destination", "a", "c", "f", "", "", kFPObjectExists, {}, {}},
      {"new name taken after the move", "a", "b", "f", "", "taken", 0, {"a/f=f"}, {"b/f=f"}},
      {"destination is a file", "a", ".", "f", "file.txt", "", kFPDirNotFound, {}, {}},
      {"destination missing", "a", ".", "f", "nowhere", "", kFPObjectNotFound, {}, {}},
      {"source missing", "a", "b", "nothing", "", "", kFPObjectNotFound, {}, {}},
      {"folder into its own subfolder", "a", "a/sub/inner", "sub", "", "", kFPParamErr, {}, {}},
      {"source with RenameInhibit", "a", "b", "f", "", "", kFPObjectLocked, {}, {}, kAttrRenameInhibit},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const fs::path folder = share_ / ("case" + std::to_string(i));
    for (const std::string& entry : layout) {
      if (entry.back() == '/') fs::create_directories(folder / entry);
      else Write(folder / entry.substr(0, entry.find('=')), entry.substr(entry.find('=') + 1));
    }
    if (c.sourceAttributes != 0) SetAttributes(folder / "a/f", c.sourceAttributes);
    const uint32_t from = NodeOf(folder / c.sourceDir);
    const uint32_t to = NodeOf(folder / c.destinationDir);
    EXPECT_EQ(Send(MoveAndRename(share, from, to, c.sourcePath, c.destinationPath, c.newName)), c.expected) << c.what;
    EXPECT_EQ(TreeOf(folder), Changed(layout, c.removed, c.added)) << c.what;
  }
}

TEST_F(NamespaceWire, MovedFolderKeepsItsDirectoryID) {
  fs::create_directories(share_ / "box");
  fs::create_directories(share_ / "shelf");
  const uint32_t box = Dir("box");
  EXPECT_EQ(Send(MoveAndRename(share, 2, Dir("shelf"), "box", "", "crate")), 0);
  EXPECT_EQ(Send(CreateDir(share, box, "inside")), 0);
  EXPECT_TRUE(fs::is_directory(share_ / "shelf/crate/inside"));
}

// --- Copying ---

TEST_F(NamespaceWire, CopyCarriesDataAndAttributesButNotTheLongName) {
  const std::string name = "A very long document name for the client.txt";
  const fs::path source = share_ / "a" / name;
  fs::create_directories(share_ / "a");
  fs::create_directories(share_ / "b");
  std::string data(150000, '\0');  // more than two copy blocks
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  Write(source, data);
  const std::map<std::string, std::string> carried = {
      {"Afp_FinderInfo", "TEXTttxt" + std::string(24, '\x02')},
      {"Afp_Attributes", std::string{0x04, 0x00}},
      {"Afp_Resource", std::string(300, 'r')},
      {"Afp_Comment", "a comment"},
  };
  for (const auto& [attribute, value] : carried) SetXAttr(source, attribute, value);
  SetXAttr(source, "Afp_Longname", "A very long document name ~0.txt");

  const std::string copyName = "Another very long name for the copied file.txt";
  EXPECT_EQ(Send(CopyFile(share, Dir("a"), share, Dir("b"), name, "", copyName)), 0);
  const fs::path copy = share_ / "b" / copyName;
  EXPECT_EQ(Read(copy), data);
  for (const auto& [attribute, value] : carried) EXPECT_EQ(XAttr(copy, attribute), value) << attribute;
  EXPECT_EQ(XAttr(copy, "Afp_Longname"), std::nullopt);
  EXPECT_EQ(Read(source), data);

  // Into another share, under the source's own name.
  EXPECT_EQ(Send(CopyFile(share, Dir("a"), other, 2, name, "", "")), 0);
  EXPECT_EQ(Read(other_ / name), data);
}

TEST_F(NamespaceWire, CopyRules) {
  const Tree layout = {"a/", "a/f=f", "b/", "c/", "c/f=c", "file.txt=x"};
  struct Case {
    const char* what;
    fs::path sourceDir, destinationDir;
    std::string sourcePath, destinationPath, newName;
    int32_t expected;
    std::vector<std::string> added;
  };
  const std::vector<Case> cases = {
      {"with a new name", "a", "b", "f", "", "n", 0, {"b/n=f"}},
      {"with an empty new name", "a", "b", "f", "", "", 0, {"b/f=f"}},
      {"into the same folder", "a", "a", "f", "", "g", 0, {"a/g=f"}},
      {"destination named by a path", ".", ".", "a:f", "b", "", 0, {"b/f=f"}},
      {"a folder", ".", "b", "a", "", "", kFPObjectTypeErr, {}},
      {"name taken in the destination", "a", "c", "f", "", "", kFPParamErr, {}},
      {"source missing", "a", "b", "nothing", "", "", kFPObjectNotFound, {}},
      {"destination missing", "a", ".", "f", "nowhere", "", kFPObjectNotFound, {}},
      {"destination is a file", "a", ".", "f", "file.txt", "", kFPParamErr, {}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const fs::path folder = share_ / ("case" + std::to_string(i));
    for (const std::string& entry : layout) {
      if (entry.back() == '/') fs::create_directories(folder / entry);
      else Write(folder / entry.substr(0, entry.find('=')), entry.substr(entry.find('=') + 1));
    }
    const uint32_t from = NodeOf(folder / c.sourceDir);
    const uint32_t to = NodeOf(folder / c.destinationDir);
    EXPECT_EQ(Send(CopyFile(share, from, share, to, c.sourcePath, c.destinationPath, c.newName)), c.expected)
        << c.what;
    EXPECT_EQ(TreeOf(folder), Changed(layout, {}, c.added)) << c.what;
  }
  EXPECT_EQ(Send(CopyFile(share, 2, 0x1234, 2, "case0:a:f", "", "n")), kFPParamErr);  // volume not open
}

// --- IDs ---

TEST_F(NamespaceWire, CreateIDReportsNodeNumbers) {
  fs::create_directories(share_ / "folder");
  Write(share_ / "folder/file", "x");
  const auto id = [](const fs::path& path) {
    ByteVector bytes(4);
    StoreBe32(bytes.data(), NodeOf(path));
    return bytes;
  };
  EXPECT_EQ(Reply(CreateID(share, 2, "folder:file")), id(share_ / "folder/file"));
  EXPECT_EQ(Reply(CreateID(share, 2, "folder")), id(share_ / "folder"));
  EXPECT_EQ(Send(CreateID(share, Dir("folder"), "")), kFPParamErr);
  EXPECT_EQ(Send(CreateID(share, 2, "missing")), kFPObjectNotFound);
  EXPECT_EQ(XAttr(share_ / "folder/file", "Afp_Attributes"), std::nullopt);  // nothing is stored
}

TEST_F(NamespaceWire, MapIDAnswersFixedNames) {
  const ByteVector beUser = {6, 'B', 'e', 'U', 's', 'e', 'r'};
  const ByteVector beGroup = {7, 'B', 'e', 'G', 'r', 'o', 'u', 'p'};
  EXPECT_EQ(Reply(MapID(1, 0)), beUser);
  EXPECT_EQ(Reply(MapID(1, 501)), beUser);
  EXPECT_EQ(Reply(MapID(2, 20)), beGroup);
  EXPECT_EQ(Reply(RequestBuilder().Add8(kFPMapID).Add8(1).Bytes()), beUser);  // the ignored ID may be missing
  for (const uint8_t subfunction : {0, 3, 4, 5}) EXPECT_EQ(Send(MapID(subfunction, 0)), kFPParamErr) << +subfunction;
  EXPECT_EQ(Send(RequestBuilder().Add8(kFPMapID).Bytes()), kFPParamErr);
}

// --- Read-only shares, rights, malformed requests, confinement ---

TEST_F(NamespaceWire, ReadOnlyShareRefusesEveryChange) {
  Write(share_ / "mine", "m");
  const Tree before = TreeOf(readOnly_);
  const uint32_t folder = NodeOf(readOnly_ / "folder");
  const std::pair<const char*, ByteVector> requests[] = {
      {"create folder", CreateDir(readOnly, 2, "new")},
      {"create file", CreateFile(readOnly, 2, "new")},
      {"hard create over a file", CreateFile(readOnly, 2, "kept.txt", kHard)},
      {"delete", Delete(readOnly, 2, "kept.txt")},
      {"rename", Rename(readOnly, 2, "kept.txt", "other")},
      {"move", MoveAndRename(readOnly, 2, folder, "kept.txt", "", "")},
      {"copy in from another share", CopyFile(share, 2, readOnly, 2, "mine", "", "")},
      {"copy within", CopyFile(readOnly, 2, readOnly, folder, "kept.txt", "", "")},
  };
  for (const auto& [what, request] : requests) EXPECT_EQ(Send(request), kFPVolLocked) << what;
  EXPECT_EQ(TreeOf(readOnly_), before);
  EXPECT_EQ(Send(CreateID(readOnly, 2, "kept.txt")), 0);  // stores nothing
}

TEST_F(NamespaceWire, ChangesNeedTheWriteRightOfTheFolder) {
  // ann may write at the top of the share but not in "Closed" (0755), and
  // may not read in a drop folder.
  fs::create_directories(share_ / "Closed");
  fs::create_directories(share_ / "~DropFolder~");
  Write(share_ / "Closed/f", "f");
  Write(share_ / "~DropFolder~/dropped", "d");
  Write(share_ / "mine", "m");
  fs::permissions(share_ / "Closed", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                         fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(share_ / "~DropFolder~", fs::perms::all);
  DsiClient ann;
  ASSERT_NO_FATAL_FAILURE(Login(ann, "ann"));
  const uint32_t closed = Dir("Closed");
  const std::pair<const char*, ByteVector> refused[] = {
      {"create folder in", CreateDir(share, closed, "x")},
      {"create file in", CreateFile(share, closed, "x")},
      {"create through a path", CreateDir(share, 2, "Closed:x")},
      {"hard create over", CreateFile(share, closed, "f", kHard)},
      {"delete from", Delete(share, 2, "Closed:f")},
      {"rename in", Rename(share, closed, "f", "g")},
      {"move out of", MoveAndRename(share, closed, 2, "f", "", "")},
      {"move into", MoveAndRename(share, 2, closed, "mine", "", "")},
      {"copy into", CopyFile(share, 2, share, closed, "mine", "", "")},
      {"copy out of a folder it cannot read", CopyFile(share, Dir("~DropFolder~"), share, 2, "dropped", "", "")},
      {"rename the shared folder", Rename(share, 2, "", "Renamed")},
  };
  const Tree before = TreeOf(share_);
  for (const auto& [what, request] : refused) EXPECT_EQ(Send(request, &ann), kFPAccessDenied) << what;
  EXPECT_EQ(TreeOf(share_), before);

  // Where the folder allows it, ann may.
  EXPECT_EQ(Send(CreateDir(share, 2, "ok"), &ann), 0);
  EXPECT_EQ(Send(CopyFile(share, 2, share, 2, "mine", "", "copy"), &ann), 0);
  EXPECT_EQ(Send(MoveAndRename(share, 2, 2, "copy", "", "renamed"), &ann), 0);
  EXPECT_EQ(Send(Delete(share, 2, "ok"), &ann), 0);
  EXPECT_EQ(Read(share_ / "renamed"), "m");
  EXPECT_FALSE(fs::exists(share_ / "ok"));
}

TEST_F(NamespaceWire, TruncatedRequestsChangeNothing) {
  fs::create_directories(share_ / "a");
  Write(share_ / "a/f", "f");
  const uint32_t a = Dir("a");
  // Each of these succeeds whole, in this order.
  const std::pair<const char*, ByteVector> requests[] = {
      {"create folder", CreateDir(share, 2, "new folder")},
      {"create file", CreateFile(share, a, "new file", kHard)},
      {"copy", CopyFile(share, a, share, 2, "f", "", "copied")},
      {"rename", Rename(share, a, "f", "g")},
      {"move", MoveAndRename(share, a, 2, "g", "", "moved")},
      {"delete", Delete(share, 2, "moved")},
      {"create ID", CreateID(share, 2, "copied")},
  };
  for (const auto& [what, request] : requests) {
    const Tree before = TreeOf(share_);
    for (size_t length = 1; length < request.size(); ++length) {
      const ByteVector cut(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(length));
      ASSERT_EQ(Send(cut), kFPParamErr) << what << " cut to " << length << " of " << request.size();
    }
    EXPECT_EQ(TreeOf(share_), before) << what;
    EXPECT_EQ(Send(request), 0) << what;
  }
}

TEST_F(NamespaceWire, NothingOutsideTheShareIsReached) {
  Write(share_ / "mine", "m");
  fs::create_directories(share_ / "inner");
  Write(share_ / "inner/f", "f");
  fs::create_symlink("../Outside", share_ / "out");
  const uint32_t inner = Dir("inner");
  const std::pair<const char*, ByteVector> attempts[] = {
      {"delete climbing out", Delete(share, 2, "..:Outside:victim")},
      {"create folder climbing out", CreateDir(share, 2, "..:escaped")},
      {"create file climbing out", CreateFile(share, inner, "..:..:escaped")},
      {"create folder through a link", CreateDir(share, 2, "out:new")},
      {"create file through a link", CreateFile(share, 2, "out:new", kHard)},
      {"delete through a link", Delete(share, 2, "out:victim")},
      {"rename through a link", Rename(share, 2, "out:victim", "x")},
      {"move from through a link", MoveAndRename(share, 2, inner, "out:victim", "", "")},
      {"copy from through a link", CopyFile(share, 2, share, 2, "out:victim", "", "stolen")},
      {"create an ID through a link", CreateID(share, 2, "out:victim")},
      {"create in the share's parent", CreateDir(share, 1, "escaped")},
      {"copy into the share's parent", CopyFile(share, 2, share, 1, "mine", "", "")},
  };
  for (const auto& [what, request] : attempts) EXPECT_EQ(Send(request), kFPObjectNotFound) << what;

  // The link itself is no folder to put things in; the shared folder's own
  // entry and the folder that holds it are out of reach even for an
  // administrator.
  const std::tuple<const char*, ByteVector, int32_t> refused[] = {
      {"move into a link", MoveAndRename(share, inner, 2, "f", "out", ""), kFPDirNotFound},
      {"copy into a link", CopyFile(share, inner, share, 2, "f", "out", ""), kFPParamErr},
      {"move into the share's parent", MoveAndRename(share, 2, 1, "mine", "", ""), kFPAccessDenied},
      {"delete the shared folder", Delete(share, 1, "Share"), kFPAccessDenied},
      {"rename the shared folder", Rename(share, 2, "", "Renamed"), kFPAccessDenied},
      {"move the shared folder", MoveAndRename(share, 2, inner, "", "", ""), kFPAccessDenied},
  };
  for (const auto& [what, request, expected] : refused) EXPECT_EQ(Send(request), expected) << what;

  EXPECT_EQ(TreeOf(outside_), (Tree{"victim=secret"}));
  EXPECT_EQ(TreeOf(share_), (Tree{"inner/", "inner/f=f", "mine=m", "out -> ../Outside"}));
  std::set<std::string> top;
  for (const auto& entry : fs::directory_iterator(folders_.path())) top.insert(entry.path().filename().string());
  EXPECT_EQ(top, (std::set<std::string>{"Other", "Outside", "ReadOnly", "Share", "settings"}));
}

}  // namespace

// Node attributes on real files with real extended attributes (/tmp is ext4
// here): inline values, the overflow store behind them, and the node
// identity the store is keyed from.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/node.h"
#include "tests/client/temp_dir.h"

extern char** environ;

namespace {

constexpr const char* kIdXattr = "user.corvane.overflow";

// Bytes that depend on the seed, so a torn or mixed-up value shows.
std::string Pattern(size_t size, uint32_t seed) {
  std::string value(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : value) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return value;
}

std::optional<std::string> RawXattr(const std::string& path, const std::string& name) {
  const ssize_t size = lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
  if (size < 0) return std::nullopt;
  std::string value(static_cast<size_t>(size), '\0');
  const ssize_t got = lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
  if (got < 0) return std::nullopt;
  value.resize(static_cast<size_t>(got));
  return value;
}

// The whole value through the layer, or nothing.
std::optional<std::string> ReadWhole(BNode& node, const std::string& name) {
  attr_info info{};
  if (node.GetAttrInfo(name.c_str(), &info) != B_OK) return std::nullopt;
  std::string value(static_cast<size_t>(info.size), '\0');
  if (node.ReadAttr(name.c_str(), 0, 0, value.data(), value.size()) != info.size) return std::nullopt;
  return value;
}

std::vector<std::string> Walk(BNode& node) {
  std::vector<std::string> names;
  char buffer[B_ATTR_NAME_LENGTH];
  node.RewindAttrs();
  while (node.GetNextAttrName(buffer) == B_OK) names.emplace_back(buffer);
  return names;
}

std::vector<std::string> FolderEntries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* directory = opendir(path.c_str())) {
    while (const dirent* entry = readdir(directory)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(directory);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class NodeAttributes : public testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("CORVANE_SETTINGS_DIR")) fOldSettings = old;
    setenv("CORVANE_SETTINGS_DIR", fSettings.path().c_str(), 1);
  }
  void TearDown() override {
    if (fOldSettings)
      setenv("CORVANE_SETTINGS_DIR", fOldSettings->c_str(), 1);
    else
      unsetenv("CORVANE_SETTINGS_DIR");
  }

  std::string Path(const std::string& name) const { return (fFiles.path() / name).string(); }
  std::string NewFile(const std::string& name, mode_t mode = 0644) const {
    const std::string path = Path(name);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    EXPECT_GE(fd, 0) << path;
    if (fd >= 0) close(fd);
    return path;
  }
  std::string Store() const { return fSettings.path().string() + "/attribute-store"; }
  // The container id the node carries, "" when none.
  static std::string IdOf(const std::string& path) { return RawXattr(path, kIdXattr).value_or(""); }
  size_t ValueFiles(const std::string& id) const {
    const std::vector<std::string> files = FolderEntries(Store() + "/" + id);
    return std::count_if(files.begin(), files.end(), [](const std::string& f) { return f[0] == 'v'; });
  }

  afptest::TempDir fFiles;
  afptest::TempDir fSettings;
  std::optional<std::string> fOldSettings;
};

TEST_F(NodeAttributes, ValuesOfAnySizeRoundTrip) {
  enum Where { kInline, kStore, kEither };
  struct Case {
    const char* name;
    size_t size;
    Where where;
  };
  const Case cases[] = {
      {"empty", 0, kInline},
      {"Afp_FinderInfo", 32, kInline},
      {"block", 3000, kInline},
      {"overBlock", 5000, kEither},
      {"largestXattr", 65536, kEither},
      {"overLargestXattr", 65537, kStore},
      {"resourceFork", 16 << 20, kStore},
  };
  uint32_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = NewFile(c.name);
    const std::string value = Pattern(c.size, seed++);
    {
      BNode writer(path.c_str());
      ASSERT_EQ(writer.InitCheck(), B_OK);
      ASSERT_EQ(writer.WriteAttr(c.name, 0, 0, value.data(), value.size()), static_cast<ssize_t>(c.size));
    }
    BNode reader(path.c_str());
    EXPECT_EQ(ReadWhole(reader, c.name), value);
    EXPECT_EQ(Walk(reader), std::vector<std::string>{c.name});
    if (c.where == kInline) {
      EXPECT_EQ(RawXattr(path, std::string("user.") + c.name), value);
      EXPECT_EQ(IdOf(path), "");
    } else if (c.where == kStore) {
      EXPECT_EQ(RawXattr(path, std::string("user.") + c.name), std::nullopt);
      EXPECT_EQ(ValueFiles(IdOf(path)), 1u);
    }
  }
  struct stat info;
  ASSERT_EQ(stat(Store().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

// The server's settings file: one record per account (272 bytes) and per
// share (264 bytes).
std::map<std::string, std::string> SettingsRecords() {
  std::map<std::string, std::string> records;
  for (uint32_t i = 0; i < 1000; i++) {
    char name[32];
    std::snprintf(name, sizeof(name), "account/%04u", i);
    records[name] = Pattern(272, i);
    std::snprintf(name, sizeof(name), "share/%04u", i);
    records[name] = Pattern(264, 5000 + i);
  }
  return records;
}

// Every record listed exactly once and read back whole.
void ExpectRecords(const std::string& path, const std::map<std::string, std::string>& records) {
  BNode node(path.c_str());
  ASSERT_EQ(node.InitCheck(), B_OK);
  const std::vector<std::string> names = Walk(node);
  EXPECT_EQ(names.size(), records.size());
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size()) << "a name listed twice";
  size_t wrong = 0;
  for (const std::string& name : names) {
    const auto expected = records.find(name);
    std::string value(300, '\0');
    const ssize_t got = node.ReadAttr(name.c_str(), 0, 0, value.data(), value.size());
    if (expected == records.end() || got != static_cast<ssize_t>(expected->second.size()) ||
        value.compare(0, expected->second.size(), expected->second) != 0)
      wrong++;
  }
  EXPECT_EQ(wrong, 0u);
}

// Runs NodeAttributesNewProcess.* of this binary in a new process on `path`.
int CheckRecordsInNewProcess(const std::string& path, const std::string& log) {
  std::vector<std::string> environment = {"CORVANE_NODE_RECORDS_FILE=" + path};
  for (char** variable = environ; *variable != nullptr; variable++) environment.emplace_back(*variable);
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::string program = "/proc/self/exe";
  std::string filter = "--gtest_filter=NodeAttributesNewProcess.*";
  char* argv[] = {program.data(), filter.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t child;
  const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(NodeAttributesNewProcess, ReadsBackSettingsRecords) {
  const char* path = std::getenv("CORVANE_NODE_RECORDS_FILE");
  if (path == nullptr) {
    GTEST_SKIP() << "run in its own process by NodeAttributes.SettingsFileHoldsThousandsOfRecords";
  }
  ExpectRecords(path, SettingsRecords());
}

TEST_F(NodeAttributes, SettingsFileHoldsThousandsOfRecords) {
  const std::string path = NewFile("corvanePrefs", 0600);
  const std::map<std::string, std::string> records = SettingsRecords();
  {
    BNode writer(path.c_str());
    for (const auto& [name, value] : records)
      ASSERT_EQ(writer.WriteAttr(name.c_str(), 0, 0, value.data(), value.size()), static_cast<ssize_t>(value.size()))
          << name;
  }
  // Some records stayed inline, the rest went to the store.
  size_t inlineRecords = 0;
  for (const auto& record : records) inlineRecords += RawXattr(path, "user." + record.first).has_value();
  EXPECT_GT(inlineRecords, 0u);
  EXPECT_LT(inlineRecords, records.size());
  EXPECT_EQ(ValueFiles(IdOf(path)), records.size() - inlineRecords);

  const std::string log = Path("child.log");
  const int exitCode = CheckRecordsInNewProcess(path, log);
  const std::string output = (std::stringstream() << std::ifstream(log).rdbuf()).str();
  EXPECT_EQ(exitCode, 0) << output;
  EXPECT_NE(output.find("[       OK ] NodeAttributesNewProcess.ReadsBackSettingsRecords"), std::string::npos) << output;

  // The walk is stable while nothing changes; a lookup per new BNode (as the
  // server does) finds the record.
  BNode node(path.c_str());
  const std::vector<std::string> first = Walk(node);
  EXPECT_EQ(Walk(node), first);
  for (const char* wanted : {"account/0000", "account/0999", "share/0500"}) {
    BNode lookup(path.c_str());
    char name[B_ATTR_NAME_LENGTH];
    while (lookup.GetNextAttrName(name) == B_OK && std::string(name) != wanted) {
    }
    EXPECT_STREQ(name, wanted);
    EXPECT_EQ(ReadWhole(lookup, wanted), records.at(wanted));
  }

  // Removing half the accounts leaves the rest whole.
  std::map<std::string, std::string> remaining = records;
  for (uint32_t i = 0; i < 1000; i += 2) {
    char name[32];
    std::snprintf(name, sizeof(name), "account/%04u", i);
    ASSERT_EQ(node.RemoveAttr(name), B_OK) << name;
    remaining.erase(name);
  }
  ExpectRecords(path, remaining);
}

TEST_F(NodeAttributes, StoreFollowsRenamesAndMoves) {
  ASSERT_EQ(mkdir(Path("a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(Path("b").c_str(), 0755), 0);
  const std::string original = NewFile("a/document");
  const std::string fork = Pattern(100000, 1);
  const std::string info = Pattern(40, 2);
  BNode open(original.c_str());
  ASSERT_EQ(open.WriteAttr("fork", 0, 0, fork.data(), fork.size()), static_cast<ssize_t>(fork.size()));
  ASSERT_EQ(open.WriteAttr("info", 0, 0, info.data(), info.size()), static_cast<ssize_t>(info.size()));

  // Another program moves and renames the file, and puts a new one where
  // it was.
  const std::string moved = Path("b/renamed");
  ASSERT_EQ(rename(original.c_str(), moved.c_str()), 0);
  NewFile("a/document");

  // The open node is still the one read and written.
  EXPECT_EQ(ReadWhole(open, "fork"), fork);
  const std::string later = Pattern(70000, 3);
  ASSERT_EQ(open.WriteAttr("later", 0, 0, later.data(), later.size()), static_cast<ssize_t>(later.size()));

  BNode newcomer(original.c_str());
  EXPECT_TRUE(Walk(newcomer).empty());
  EXPECT_EQ(newcomer.ReadAttr("fork", 0, 0, nullptr, 0), B_ENTRY_NOT_FOUND);

  // Moving the folder too changes nothing for the node.
  ASSERT_EQ(rename(Path("b").c_str(), Path("c").c_str()), 0);
  BNode reopened(Path("c/renamed").c_str());
  EXPECT_EQ(ReadWhole(reopened, "fork"), fork);
  EXPECT_EQ(ReadWhole(reopened, "info"), info);
  EXPECT_EQ(ReadWhole(reopened, "later"), later);
}

TEST_F(NodeAttributes, AValueLivesInOnePlaceAndLeavesNothingBehind) {
  const std::string path = NewFile("file");
  BNode node(path.c_str());
  const auto write = [&](const std::string& value) {
    return node.WriteAttr("value", 0, 0, value.data(), value.size()) == static_cast<ssize_t>(value.size());
  };
  const std::string big = Pattern(100000, 1);
  ASSERT_TRUE(write(big));
  const std::string id = IdOf(path);
  ASSERT_NE(id, "");
  EXPECT_EQ(RawXattr(path, "user.value"), std::nullopt);
  EXPECT_EQ(ValueFiles(id), 1u);

  const std::string small = Pattern(16, 2);
  ASSERT_TRUE(write(small));  // fits inline again: back there, out of the store
  EXPECT_EQ(RawXattr(path, "user.value"), small);
  EXPECT_EQ(ValueFiles(id), 0u);
  EXPECT_EQ(ReadWhole(node, "value"), small);

  const std::string bigger = Pattern(200000, 3);
  ASSERT_TRUE(write(bigger));
  EXPECT_EQ(RawXattr(path, "user.value"), std::nullopt);
  ASSERT_TRUE(write(big));  // replaced within the store
  EXPECT_EQ(ValueFiles(id), 1u);
  EXPECT_EQ(ReadWhole(node, "value"), big);
  EXPECT_EQ(Walk(node), std::vector<std::string>{"value"});

  EXPECT_EQ(node.RemoveAttr("value"), B_OK);
  EXPECT_EQ(node.RemoveAttr("value"), B_ENTRY_NOT_FOUND);
  EXPECT_EQ(ReadWhole(node, "value"), std::nullopt);

  for (uint32_t round = 0; round < 20; round++) {
    ASSERT_TRUE(write(Pattern(70000 + round, round)));
    if (round % 2 == 0) {
      ASSERT_EQ(node.RemoveAttr("value"), B_OK);
    }
  }
  // The index, the lock and the one value: nothing left behind.
  EXPECT_EQ(ValueFiles(id), 1u);
  EXPECT_EQ(FolderEntries(Store() + "/" + id).size(), 3u);
  EXPECT_EQ(FolderEntries(Store()), (std::vector<std::string>{id, "lock"}));
}

TEST_F(NodeAttributes, WhatADeadWriterLeftIsHarmless) {
  const std::string path = NewFile("file");
  const std::string a = Pattern(70000, 1);
  const std::string b = Pattern(80000, 2);
  {
    BNode node(path.c_str());
    ASSERT_EQ(node.WriteAttr("a", 0, 0, a.data(), a.size()), static_cast<ssize_t>(a.size()));
    ASSERT_EQ(node.WriteAttr("b", 0, 0, b.data(), b.size()), static_cast<ssize_t>(b.size()));
  }
  const std::string container = Store() + "/" + IdOf(path);
  // A writer died: in the middle of a log record, before renaming a value
  // file into place, and between writing "a" inline and dropping its store
  // copy.
  std::ofstream(container + "/log", std::ios::app) << std::string("\x40\x00\x00\x00partial", 11);
  std::ofstream(container + "/tmp.v00000000000000ff") << "half a value";
  const std::string small = Pattern(20, 3);
  ASSERT_EQ(setxattr(path.c_str(), "user.a", small.data(), small.size(), 0), 0);

  BNode node(path.c_str());
  EXPECT_EQ(Walk(node), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ReadWhole(node, "a"), small);  // the inline copy is the newer one
  EXPECT_EQ(ReadWhole(node, "b"), b);
  const std::string c = Pattern(90000, 4);
  ASSERT_EQ(node.WriteAttr("c", 0, 0, c.data(), c.size()), static_cast<ssize_t>(c.size()));
  ASSERT_EQ(node.RemoveAttr("a"), B_OK);

  BNode fresh(path.c_str());
  EXPECT_EQ(Walk(fresh), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(ReadWhole(fresh, "a"), std::nullopt);  // no older copy comes back
  EXPECT_EQ(ReadWhole(fresh, "c"), c);
}

TEST_F(NodeAttributes, TheStoreLogIsCompactedUnderItsReaders) {
  // A 255-byte name lives in the store whatever its size: each change of
  // it adds a record of about 300 bytes to the container's log.
  const std::string path = NewFile("file");
  const std::string name(255, 'n');
  const std::string other(254, 'o');
  BNode writer(path.c_str());
  ASSERT_EQ(writer.WriteAttr(other.c_str(), 0, 0, "kept", 4), 4);
  BNode reader(path.c_str());
  ASSERT_EQ(Walk(reader), std::vector<std::string>{other});  // has read the log

  std::string last;
  for (uint32_t i = 0; i < 1000; i++) {
    last = Pattern(16, i);
    ASSERT_EQ(writer.WriteAttr(name.c_str(), 0, 0, last.data(), last.size()), 16);
  }
  struct stat info;
  ASSERT_EQ(stat((Store() + "/" + IdOf(path) + "/log").c_str(), &info), 0);
  EXPECT_LT(info.st_size, 64 * 1024) << "1000 records and never compacted";
  EXPECT_EQ(ValueFiles(IdOf(path)), 2u);

  EXPECT_EQ(ReadWhole(reader, name), last);
  EXPECT_EQ(ReadWhole(reader, other), "kept");
  EXPECT_EQ(Walk(reader), (std::vector<std::string>{name, other}));  // the store's names are sorted
}

TEST_F(NodeAttributes, ReusedInodeNumberStartsEmpty) {
  const std::string first = NewFile("first");
  const std::string fork = Pattern(100000, 1);
  struct stat info;
  ASSERT_EQ(stat(first.c_str(), &info), 0);
  const ino_t inode = info.st_ino;
  std::string id;
  {
    BNode node(first.c_str());
    ASSERT_EQ(node.WriteAttr("fork", 0, 0, fork.data(), fork.size()), static_cast<ssize_t>(fork.size()));
    id = IdOf(first);
  }
  ASSERT_EQ(unlink(first.c_str()), 0);

  std::string reuser;
  for (int i = 0; i < 100 && reuser.empty(); i++) {
    const std::string candidate = NewFile("new" + std::to_string(i));
    if (stat(candidate.c_str(), &info) == 0 && info.st_ino == inode) reuser = candidate;
  }
  if (reuser.empty()) {
    GTEST_SKIP() << "the file system did not hand out inode " << inode << " again";
  }
  BNode node(reuser.c_str());
  EXPECT_TRUE(Walk(node).empty());
  EXPECT_EQ(ReadWhole(node, "fork"), std::nullopt);
  const std::string own = Pattern(70000, 2);
  ASSERT_EQ(node.WriteAttr("fork", 0, 0, own.data(), own.size()), static_cast<ssize_t>(own.size()));
  EXPECT_NE(IdOf(reuser), id);
  EXPECT_EQ(ValueFiles(id), 1u);  // the deleted node's data stays where it was, unattached
}

TEST_F(NodeAttributes, ACopiedIdNeverWritesIntoTheOriginal) {
  const std::string original = NewFile("original");
  const std::string fork = Pattern(100000, 1);
  const std::string icon = Pattern(70000, 2);
  const std::string info = Pattern(32, 3);
  {
    BNode node(original.c_str());
    ASSERT_EQ(node.WriteAttr("fork", 0, 0, fork.data(), fork.size()), static_cast<ssize_t>(fork.size()));
    ASSERT_EQ(node.WriteAttr("icon", 0, 0, icon.data(), icon.size()), static_cast<ssize_t>(icon.size()));
    ASSERT_EQ(node.WriteAttr("info", 0, 0, info.data(), info.size()), static_cast<ssize_t>(info.size()));
  }
  const std::string copy = Path("copy");
  ASSERT_EQ(std::system(("cp --preserve=xattr '" + original + "' '" + copy + "'").c_str()), 0);
  const std::string id = IdOf(original);
  ASSERT_EQ(IdOf(copy), id);
  const std::vector<std::string> originalFiles = FolderEntries(Store() + "/" + id);

  BNode copyNode(copy.c_str());
  EXPECT_EQ(ReadWhole(copyNode, "fork"), fork);  // the copy sees what was copied
  const std::string other = Pattern(90000, 4);
  ASSERT_EQ(copyNode.WriteAttr("fork", 0, 0, other.data(), other.size()), static_cast<ssize_t>(other.size()));
  ASSERT_EQ(copyNode.RemoveAttr("icon"), B_OK);
  EXPECT_NE(IdOf(copy), id);
  EXPECT_EQ(FolderEntries(Store() + "/" + id), originalFiles);

  BNode originalNode(original.c_str());
  EXPECT_EQ(ReadWhole(originalNode, "fork"), fork);
  EXPECT_EQ(ReadWhole(originalNode, "icon"), icon);
  const std::string third = Pattern(80000, 5);
  ASSERT_EQ(originalNode.WriteAttr("fork", 0, 0, third.data(), third.size()), static_cast<ssize_t>(third.size()));

  BNode copyAgain(copy.c_str());
  EXPECT_EQ(ReadWhole(copyAgain, "fork"), other);
  EXPECT_EQ(ReadWhole(copyAgain, "icon"), std::nullopt);
  EXPECT_EQ(ReadWhole(copyAgain, "info"), info);
}

TEST_F(NodeAttributes, NamesAndErrors) {
  const std::string path = NewFile("file");
  BNode node(path.c_str());
  // "user." plus up to 250 bytes is a name the kernel takes; longer ones
  // live in the store.
  for (const size_t length : {1, 250, 251, 255}) {
    SCOPED_TRACE(length);
    const std::string name(length, 'n' + length % 7);
    const std::string value = Pattern(10, static_cast<uint32_t>(length));
    ASSERT_EQ(node.WriteAttr(name.c_str(), 0, 0, value.data(), value.size()), 10);
    EXPECT_EQ(RawXattr(path, "user." + name).has_value(), length <= 250);
    BNode reader(path.c_str());
    EXPECT_EQ(ReadWhole(reader, name), value);
    const std::vector<std::string> names = Walk(reader);
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 1);
  }
  const std::string tooLong(256, 'x');
  EXPECT_EQ(node.WriteAttr(tooLong.c_str(), 0, 0, "v", 1), B_NAME_TOO_LONG);
  EXPECT_EQ(node.ReadAttr(tooLong.c_str(), 0, 0, nullptr, 0), B_NAME_TOO_LONG);
  EXPECT_EQ(node.WriteAttr("", 0, 0, "v", 1), B_BAD_VALUE);
  EXPECT_EQ(node.WriteAttr(nullptr, 0, 0, "v", 1), B_BAD_VALUE);
  EXPECT_EQ(node.WriteAttr("x", 0, 1, "v", 1), B_BAD_VALUE);  // whole values only
  EXPECT_EQ(node.ReadAttr("x", 0, -1, nullptr, 0), B_BAD_VALUE);

  // The layer's own names are neither visible nor reachable.
  for (const char* reserved : {"corvane.overflow", "corvane.created"}) {
    SCOPED_TRACE(reserved);
    char buffer[64];
    attr_info info;
    EXPECT_EQ(node.ReadAttr(reserved, 0, 0, buffer, sizeof(buffer)), B_ENTRY_NOT_FOUND);
    EXPECT_EQ(node.GetAttrInfo(reserved, &info), B_ENTRY_NOT_FOUND);
    EXPECT_EQ(node.WriteAttr(reserved, 0, 0, "v", 1), B_NOT_ALLOWED);
    EXPECT_EQ(node.RemoveAttr(reserved), B_NOT_ALLOWED);
  }
  ASSERT_NE(IdOf(path), "");

  // Missing attributes, with a store container and without one.
  BNode plain(NewFile("plain").c_str());
  for (BNode* subject : {&node, &plain}) {
    char buffer[8];
    attr_info info;
    EXPECT_EQ(subject->ReadAttr("missing", 0, 0, buffer, sizeof(buffer)), B_ENTRY_NOT_FOUND);
    EXPECT_EQ(subject->GetAttrInfo("missing", &info), B_ENTRY_NOT_FOUND);
    EXPECT_EQ(subject->RemoveAttr("missing"), B_ENTRY_NOT_FOUND);
  }

  BNode unset;
  char buffer[B_ATTR_NAME_LENGTH];
  EXPECT_EQ(unset.InitCheck(), B_NO_INIT);
  EXPECT_EQ(unset.ReadAttr("x", 0, 0, buffer, 1), B_NO_INIT);
  EXPECT_EQ(unset.GetNextAttrName(buffer), B_NO_INIT);
  EXPECT_EQ(BNode(Path("absent").c_str()).InitCheck(), B_ENTRY_NOT_FOUND);
}

TEST_F(NodeAttributes, ReadsFromAnOffsetIntoAShortBuffer) {
  const std::string path = NewFile("file");
  BNode node(path.c_str());
  const std::map<std::string, std::string> values = {{"inline", Pattern(100, 1)}, {"stored", Pattern(70000, 2)}};
  for (const auto& [name, value] : values)
    ASSERT_EQ(node.WriteAttr(name.c_str(), 0, 0, value.data(), value.size()), static_cast<ssize_t>(value.size()));
  ASSERT_EQ(RawXattr(path, "user.stored"), std::nullopt);

  for (const auto& [name, value] : values) {
    const off_t size = static_cast<off_t>(value.size());
    const struct {
      off_t offset;
      size_t length;
    } cases[] = {{0, 10}, {0, value.size()}, {0, value.size() + 50}, {40, 20}, {size - 5, 10}, {size, 10}, {size + 100, 10}, {0, 0}};
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << name << " offset " << c.offset << " length " << c.length);
      std::string buffer(c.length, '\0');
      const std::string expected = c.offset < size ? value.substr(c.offset, c.length) : "";
      ASSERT_EQ(node.ReadAttr(name.c_str(), 0, c.offset, buffer.data(), c.length), static_cast<ssize_t>(expected.size()));
      EXPECT_EQ(buffer.substr(0, expected.size()), expected);
    }
  }
}

TEST_F(NodeAttributes, FoldersHaveAttributes) {
  const std::string folder = Path("folder");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string small = Pattern(32, 1);
  const std::string big = Pattern(100000, 2);
  {
    BNode node(folder.c_str());
    ASSERT_EQ(node.InitCheck(), B_OK);
    ASSERT_EQ(node.WriteAttr("Afp_FinderInfo", 0, 0, small.data(), small.size()), 32);
    ASSERT_EQ(node.WriteAttr("comment", 0, 0, big.data(), big.size()), static_cast<ssize_t>(big.size()));
  }
  ASSERT_EQ(rename(folder.c_str(), Path("moved").c_str()), 0);
  BNode node(Path("moved").c_str());
  EXPECT_EQ(Walk(node), (std::vector<std::string>{"Afp_FinderInfo", "comment"}));
  EXPECT_EQ(ReadWhole(node, "Afp_FinderInfo"), small);
  EXPECT_EQ(ReadWhole(node, "comment"), big);
  node_ref ref;
  struct stat info;
  ASSERT_EQ(node.GetNodeRef(&ref), B_OK);
  ASSERT_EQ(stat(Path("moved").c_str(), &info), 0);
  EXPECT_EQ(ref, (node_ref{static_cast<int32_t>(info.st_dev), static_cast<int64_t>(info.st_ino)}));
}

TEST_F(NodeAttributes, SymbolicLinksAreRefused) {
  const std::string target = NewFile("target");
  ASSERT_EQ(mkdir(Path("folder").c_str(), 0755), 0);
  ASSERT_EQ(symlink(target.c_str(), Path("to-file").c_str()), 0);
  ASSERT_EQ(symlink(Path("folder").c_str(), Path("to-folder").c_str()), 0);
  ASSERT_EQ(symlink(Path("nowhere").c_str(), Path("dangling").c_str()), 0);
  for (const char* link : {"to-file", "to-folder", "dangling"}) {
    SCOPED_TRACE(link);
    BNode node(Path(link).c_str());
    EXPECT_EQ(node.InitCheck(), B_BAD_VALUE);
    EXPECT_EQ(node.WriteAttr("x", 0, 0, "v", 1), B_BAD_VALUE);
  }
  EXPECT_EQ(RawXattr(target, "user.x"), std::nullopt);
  // Links before the last element are followed.
  NewFile("folder/inside");
  EXPECT_EQ(BNode(Path("to-folder/inside").c_str()).InitCheck(), B_OK);
}

// Runs `body` on a thread without the capabilities that let root ignore
// permission bits (capabilities belong to the thread on Linux).
template <typename Body>
void WithoutPermissionOverride(Body&& body) {
  std::thread thread([&] {
    if (geteuid() == 0) {
      __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct data[2] = {};
      ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
      for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
        data[0].effective &= ~(1u << capability);
      ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
    }
    body();
  });
  thread.join();
}

TEST_F(NodeAttributes, AWriteOnlyFileStillTakesAttributes) {
  const std::string path = NewFile("dropbox", 0200);
  const std::string value = Pattern(32, 1);
  WithoutPermissionOverride([&] {
    ASSERT_EQ(open(path.c_str(), O_RDONLY), -1);  // really unreadable here
    BNode node(path.c_str());
    ASSERT_EQ(node.InitCheck(), B_OK);
    EXPECT_EQ(node.WriteAttr("Afp_FinderInfo", 0, 0, value.data(), value.size()), 32);
    EXPECT_EQ(Walk(node), std::vector<std::string>{"Afp_FinderInfo"});
    // Linux wants read permission to read a user attribute.
    char buffer[32];
    EXPECT_EQ(node.ReadAttr("Afp_FinderInfo", 0, 0, buffer, sizeof(buffer)), B_PERMISSION_DENIED);
  });
  EXPECT_EQ(RawXattr(path, "user.Afp_FinderInfo"), value);
}

TEST_F(NodeAttributes, AFullAttributeBlockStillTakesMore) {
  // Fill the node's attribute space with tiny values behind the layer's
  // back, so that not even the store's id fits any more.
  const std::string path = NewFile("full");
  std::map<std::string, std::string> expected;
  for (uint32_t i = 0;; i++) {
    char name[32];
    std::snprintf(name, sizeof(name), "tiny%04u", i);
    const std::string value = Pattern(8, i);
    if (setxattr(path.c_str(), (std::string("user.") + name).c_str(), value.data(), value.size(), XATTR_CREATE) != 0) {
      ASSERT_EQ(errno, ENOSPC);
      break;
    }
    expected[name] = value;
  }
  BNode node(path.c_str());
  for (uint32_t i = 0; i < 300; i++) {
    const std::string name = "more" + std::to_string(i);
    const std::string value = Pattern(i % 10 == 0 ? 70000 : 8, 10000 + i);
    ASSERT_EQ(node.WriteAttr(name.c_str(), 0, 0, value.data(), value.size()), static_cast<ssize_t>(value.size()))
        << name;
    expected[name] = value;
  }
  BNode reader(path.c_str());
  const std::vector<std::string> names = Walk(reader);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
  EXPECT_EQ(names.size(), expected.size());
  size_t wrong = 0;
  for (const auto& [name, value] : expected) wrong += ReadWhole(reader, name) != value;
  EXPECT_EQ(wrong, 0u);
}

TEST_F(NodeAttributes, ConcurrentWritersAndReadersOnOneFile) {
  const std::string path = NewFile("shared");
  constexpr uint32_t kWriters = 4;
  constexpr uint32_t kNames = 30;
  // Each name is written twice, moving between inline and the store; a
  // reader may see either version but never anything else.
  const auto version = [](uint32_t writer, uint32_t i, int which) {
    const bool big = (i + which) % 2 == 0;
    return Pattern(big ? 5000 : 200, writer * 1000 + i * 2 + which);
  };
  std::atomic<bool> writing{true};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (uint32_t w = 0; w < kWriters; w++) {
    threads.emplace_back([&, w] {
      for (uint32_t i = 0; i < kNames; i++) {
        const std::string name = "w" + std::to_string(w) + "-" + std::to_string(i);
        for (int which = 0; which < 2; which++) {
          BNode node(path.c_str());
          const std::string value = version(w, i, which);
          if (node.WriteAttr(name.c_str(), 0, 0, value.data(), value.size()) != static_cast<ssize_t>(value.size()))
            failures++;
        }
      }
    });
  }
  std::atomic<int> readerRounds{0};
  for (int r = 0; r < 2; r++) {
    threads.emplace_back([&] {
      do {
        BNode node(path.c_str());
        for (const std::string& name : Walk(node)) {
          uint32_t w, i;
          if (std::sscanf(name.c_str(), "w%u-%u", &w, &i) != 2) {
            failures++;
            continue;
          }
          // One call with room for either version: a whole value of one.
          std::string value(6000, '\0');
          const ssize_t got = node.ReadAttr(name.c_str(), 0, 0, value.data(), value.size());
          value.resize(got > 0 ? static_cast<size_t>(got) : 0);
          if (value != version(w, i, 0) && value != version(w, i, 1)) failures++;
        }
        readerRounds++;
      } while (writing);
    });
  }
  for (uint32_t w = 0; w < kWriters; w++) threads[w].join();
  writing = false;
  for (size_t t = kWriters; t < threads.size(); t++) threads[t].join();
  EXPECT_EQ(failures, 0);
  EXPECT_GT(readerRounds, 0);

  BNode node(path.c_str());
  EXPECT_EQ(Walk(node).size(), kWriters * kNames);
  for (uint32_t w = 0; w < kWriters; w++)
    for (uint32_t i = 0; i < kNames; i++)
      EXPECT_EQ(ReadWhole(node, "w" + std::to_string(w) + "-" + std::to_string(i)), version(w, i, 1));
  EXPECT_EQ(FolderEntries(Store()).size(), 2u) << "one container and the store's lock";
}

TEST_F(NodeAttributes, BookkeepingRecordsAreHidden) {
  const std::string path = NewFile("file");
  BNode node(path.c_str());
  ASSERT_EQ(node.WriteAttr("visible", 0, 0, "v", 1), 1);
  ASSERT_EQ(node.WriteBookkeepingAttr("created", "2024-05-01T10:00:00Z"), B_OK);
  EXPECT_EQ(RawXattr(path, "user.corvane.created"), "2024-05-01T10:00:00Z");
  const std::string big = Pattern(100000, 1);
  ASSERT_EQ(node.WriteBookkeepingAttr("history", big), B_OK);  // too big for inline: in the store

  BNode reader(path.c_str());
  std::string value;
  EXPECT_EQ(reader.ReadBookkeepingAttr("created", &value), B_OK);
  EXPECT_EQ(value, "2024-05-01T10:00:00Z");
  EXPECT_EQ(reader.ReadBookkeepingAttr("history", &value), B_OK);
  EXPECT_EQ(value, big);
  EXPECT_EQ(Walk(reader), std::vector<std::string>{"visible"});
  char buffer[64];
  EXPECT_EQ(reader.ReadAttr("corvane.created", 0, 0, buffer, sizeof(buffer)), B_ENTRY_NOT_FOUND);

  EXPECT_EQ(reader.WriteBookkeepingAttr("overflow", "x"), B_NOT_ALLOWED);
  EXPECT_EQ(reader.ReadBookkeepingAttr("overflow", &value), B_NOT_ALLOWED);
  EXPECT_EQ(reader.RemoveBookkeepingAttr("overflow"), B_NOT_ALLOWED);
  EXPECT_EQ(reader.WriteBookkeepingAttr("", "x"), B_BAD_VALUE);

  EXPECT_EQ(reader.RemoveBookkeepingAttr("created"), B_OK);
  EXPECT_EQ(reader.RemoveBookkeepingAttr("history"), B_OK);
  EXPECT_EQ(reader.ReadBookkeepingAttr("created", &value), B_ENTRY_NOT_FOUND);
  EXPECT_EQ(reader.RemoveBookkeepingAttr("history"), B_ENTRY_NOT_FOUND);
  EXPECT_EQ(ValueFiles(IdOf(path)), 0u);
}

}  // namespace

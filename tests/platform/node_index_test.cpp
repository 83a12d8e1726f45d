// Folders by node number on real folders: found again after other programs
// rename and move them, after a restart, and never outside the search root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/directory.h"
#include "tests/platform/storage_test_support.h"

namespace {

using storagetest::Lstat;
using storagetest::StorageTest;

node_ref RefOf(const std::string& path) {
  const struct stat facts = Lstat(path);
  return node_ref{static_cast<int32_t>(facts.st_dev), static_cast<int64_t>(facts.st_ino)};
}

class NodeIndexTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    ForgetRememberedDirectoriesForTesting();
    Dir("share");
    Dir("share/a");
    Dir("share/a/b");
    Dir("share/a/b/c");
    Dir("share/d");
    Dir("outside");
  }
  void TearDown() override {
    ForgetRememberedDirectoriesForTesting();
    StorageTest::TearDown();
  }

  // The path FindDirectoryByNode gives for `ref` in the share, "" when none.
  std::string Find(const node_ref& ref, const std::string& root = "share") const {
    BEntry folder;
    if (FindDirectoryByNode(ref, BEntry(P(root)), &folder) != B_OK) return "";
    return folder.DiskPath();
  }
};

// Another program renames and moves folders; the index, filled or fresh (a
// restart), finds them where they are now.
class NodeIndexMovedTest : public NodeIndexTest, public testing::WithParamInterface<bool> {};

TEST_P(NodeIndexMovedTest, FindsFoldersWhereAnotherProgramPutThem) {
  const bool restart = GetParam();
  const node_ref a = RefOf(P("share/a"));
  const node_ref b = RefOf(P("share/a/b"));
  const node_ref c = RefOf(P("share/a/b/c"));
  ASSERT_EQ(Find(c), P("share/a/b/c"));
  ASSERT_EQ(Find(b), P("share/a/b"));

  ASSERT_EQ(rename(P("share/a/b/c").c_str(), P("share/d/moved").c_str()), 0);
  ASSERT_EQ(rename(P("share/a").c_str(), P("share/renamed").c_str()), 0);
  if (restart) ForgetRememberedDirectoriesForTesting();
  EXPECT_EQ(Find(c), P("share/d/moved"));
  EXPECT_EQ(Find(b), P("share/renamed/b"));
  EXPECT_EQ(Find(a), P("share/renamed"));
  EXPECT_EQ(Find(RefOf(P("share"))), P("share"));
}

INSTANTIATE_TEST_SUITE_P(NodeIndex, NodeIndexMovedTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Fresh" : "Filled"; });

TEST_F(NodeIndexTest, NeverFindsAFolderOutsideTheSearchRoot) {
  const node_ref outside = RefOf(P("outside"));
  RememberDirectory(BEntry(P("outside")));
  EXPECT_EQ(Find(outside), "");
  EXPECT_EQ(Find(outside, "outside"), P("outside"));

  // Through a link inside the share neither.
  Link(P("outside"), "share/link");
  ForgetRememberedDirectoriesForTesting();
  EXPECT_EQ(Find(outside), "");

  // A folder another program moved out of the share is gone from it.
  const node_ref b = RefOf(P("share/a/b"));
  ASSERT_EQ(Find(b), P("share/a/b"));
  ASSERT_EQ(rename(P("share/a").c_str(), P("outside/a").c_str()), 0);
  EXPECT_EQ(Find(b), "");
  EXPECT_EQ(Find(b, "outside"), P("outside/a/b"));

  // A node that is no folder, or no node at all.
  File("share/file");
  EXPECT_EQ(Find(RefOf(P("share/file"))), "");
  EXPECT_EQ(Find(node_ref{outside.device, 1}), "");
}

// What a search sees is remembered, and the layer's own renames and
// creations keep the index right: such folders are found without a search
// (a search is impossible here, the share cannot be listed).
TEST_F(NodeIndexTest, LaterLookupsHitWithoutSearching) {
  const int result = AsNobody([this] {
    if (mkdir(P("own").c_str(), 0755) != 0 || mkdir(P("own/a").c_str(), 0755) != 0 ||
        mkdir(P("own/a/b").c_str(), 0755) != 0 || mkdir(P("own/a/b/c").c_str(), 0755) != 0 ||
        mkdir(P("own/d").c_str(), 0755) != 0)
      return 1;
    const node_ref a = RefOf(P("own/a"));
    const node_ref c = RefOf(P("own/a/b/c"));
    const node_ref d = RefOf(P("own/d"));
    ForgetRememberedDirectoriesForTesting();
    if (Find(c, "own") != P("own/a/b/c")) return 2;
    if (chmod(P("own").c_str(), 0311) != 0) return 3;  // searchable, not listable
    if (Find(d, "own") != P("own/d")) return 4;         // seen on the way to c
    BEntry renamed;
    if (BEntry(P("own/a")).Rename("z", &renamed) != B_OK) return 5;
    if (Find(a, "own") != P("own/z")) return 6;
    if (Find(c, "own") != P("own/z/b/c")) return 7;
    BEntry created;
    if (BDirectory(BEntry(P("own"))).CreateDirectory("new", &created) != B_OK) return 8;
    if (Find(RefOf(P("own/new")), "own") != P("own/new")) return 9;
    // A move by another program is past what the index knows, and the share
    // cannot be searched: not found rather than wrong.
    if (rename(P("own/z").c_str(), P("own/y").c_str()) != 0) return 10;
    if (!Find(c, "own").empty()) return 11;
    return 0;
  });
  EXPECT_EQ(result, 0);
}

TEST_F(NodeIndexTest, ConcurrentLookupsAndRestarts) {
  std::vector<node_ref> refs;
  for (int i = 0; i < 40; i++) {
    const std::string name = "share/d/" + std::to_string(i);
    Dir(name);
    refs.push_back(RefOf(P(name)));
  }
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 100; round++) {
        const size_t i = static_cast<size_t>((round * 7 + t * 13) % 40);
        if (t == 0 && round % 10 == 0) ForgetRememberedDirectoriesForTesting();
        if (Find(refs[i]) != P("share/d/" + std::to_string(i))) wrong++;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

// BNode::Lock: exclusive use of one node among threads, through any path to
// it; other nodes stay free.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/node.h"
#include "tests/client/temp_dir.h"

namespace {

TEST(NodeLock, OneHolderPerNodeUntilUnlockOrUnset) {
  afptest::TempDir dir;
  const std::string a = (dir.path() / "a").string();
  const std::string b = (dir.path() / "b").string();
  const std::string alias = (dir.path() / "alias").string();
  std::ofstream(a).close();
  std::ofstream(b).close();
  ASSERT_EQ(link(a.c_str(), alias.c_str()), 0);  // the same node by another name

  BNode holder(a.c_str());
  BNode unopened;
  EXPECT_EQ(unopened.Lock(), B_NO_INIT);
  EXPECT_EQ(holder.Unlock(), B_BAD_VALUE);
  ASSERT_EQ(holder.Lock(), B_OK);
  EXPECT_EQ(holder.Lock(), B_BAD_VALUE);

  BNode other(b.c_str());
  EXPECT_EQ(other.Lock(), B_OK);  // another node does not wait
  EXPECT_EQ(other.Unlock(), B_OK);

  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    BNode same(alias.c_str());
    if (same.Lock() == B_OK) acquired = true;
  });  // its node goes out of scope locked: destruction releases it
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(acquired);
  holder.Unset();
  waiter.join();
  EXPECT_TRUE(acquired);
  BNode again(a.c_str());
  EXPECT_EQ(again.Lock(), B_OK);
}

}  // namespace

// The enumeration cursor continues a walk only where a walk from the first
// entry would give the same entries. Continuing is invisible on the wire
// (only faster), so these tests look at the cursor itself.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "server/fs/enumeration_cursor.h"
#include "tests/client/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Longer than the cursor's wait for a folder to be steady.
constexpr std::chrono::milliseconds kSteady{120};

class EnumerationCursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 10; ++i) std::ofstream{folder_.path() / ("f" + std::to_string(i))};
    for (const auto& entry : fs::directory_iterator(folder_.path())) order_.push_back(entry.path().string());
    std::this_thread::sleep_for(kSteady);
  }

  // Takes `count` entries; they must be the folder's entries from `position` on.
  void Take(int count, int64_t position) {
    for (int i = 0; i < count; ++i, ++position) {
      BEntry entry;
      int64_t at = 0;
      ASSERT_TRUE(cursor_.Next(&entry, &at));
      EXPECT_EQ(at, position);
      EXPECT_EQ(entry.DiskPath(), order_[static_cast<size_t>(position - 1)]);
    }
  }

  afptest::TempDir folder_;
  BEntry entry_{folder_.path().string()};
  std::vector<std::string> order_;
  EnumerationCursor cursor_;
};

TEST_F(EnumerationCursorTest, ContinuesAtOrAfterTheEntryReached) {
  ASSERT_EQ(cursor_.Start(entry_, 1), B_OK);
  EXPECT_FALSE(cursor_.Continued());
  Take(4, 1);
  ASSERT_EQ(cursor_.Start(entry_, 5), B_OK);
  EXPECT_TRUE(cursor_.Continued());
  Take(2, 5);
  cursor_.Unread();  // entry 6 did not fit
  ASSERT_EQ(cursor_.Start(entry_, 6), B_OK);
  EXPECT_TRUE(cursor_.Continued());
  Take(1, 6);
  ASSERT_EQ(cursor_.Start(entry_, 9), B_OK);  // a later start skips on
  EXPECT_TRUE(cursor_.Continued());
  Take(4, 7);
  BEntry end;
  int64_t at;
  EXPECT_FALSE(cursor_.Next(&end, &at));
}

TEST_F(EnumerationCursorTest, WalksAfreshWhenContinuingWouldDiffer) {
  ASSERT_EQ(cursor_.Start(entry_, 1), B_OK);
  Take(4, 1);
  ASSERT_EQ(cursor_.Start(entry_, 4), B_OK);  // an earlier start
  EXPECT_FALSE(cursor_.Continued());
  Take(5, 1);

  const fs::path other = folder_.path() / "f0";
  fs::remove(other);
  fs::create_directory(other);
  std::this_thread::sleep_for(kSteady);
  order_.clear();
  for (const auto& entry : fs::directory_iterator(folder_.path())) order_.push_back(entry.path().string());
  ASSERT_EQ(cursor_.Start(BEntry(other.string()), 6), B_OK);  // another folder
  EXPECT_FALSE(cursor_.Continued());
  ASSERT_EQ(cursor_.Start(entry_, 1), B_OK);
  EXPECT_FALSE(cursor_.Continued());
  Take(3, 1);
  std::ofstream{folder_.path() / "new"};  // a changed folder
  ASSERT_EQ(cursor_.Start(entry_, 4), B_OK);
  EXPECT_FALSE(cursor_.Continued());
  // Changed only just now: not trusted to stay as it was read.
  ASSERT_EQ(cursor_.Start(entry_, 1), B_OK);
  BEntry first;
  int64_t at;
  ASSERT_TRUE(cursor_.Next(&first, &at));
  ASSERT_EQ(cursor_.Start(entry_, 2), B_OK);
  EXPECT_FALSE(cursor_.Continued());
}

}  // namespace

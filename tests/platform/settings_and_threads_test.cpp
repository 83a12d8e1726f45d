// The settings-folder rule, folder creation, thread names, the block pool and
// the clocks.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/block_cache.h"
#include "platform/clock.h"
#include "platform/find_directory.h"
#include "platform/thread.h"
#include "tests/client/temp_dir.h"

namespace {

using namespace std::chrono_literals;

// Sets (or, with null, unsets) environment variables and puts the old values
// back on destruction.
class ScopedEnvironment {
 public:
  ~ScopedEnvironment() {
    for (auto it = fSaved.rbegin(); it != fSaved.rend(); ++it) {
      if (it->second)
        setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        unsetenv(it->first.c_str());
    }
  }
  void Set(const char* name, const char* value) {
    const char* old = std::getenv(name);
    fSaved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> fSaved;
};

TEST(SettingsFolder, FollowsTheVariablesInOrder) {
  struct Case {
    const char* own;   // CORVANE_SETTINGS_DIR; null: unset
    const char* xdg;   // XDG_CONFIG_HOME
    const char* home;  // HOME
    status_t status;
    const char* expected;
  };
  const Case cases[] = {
      {"/srv/corvane", "/xdg", "/home/u", B_OK, "/srv/corvane"},
      {"/srv/corvane///", nullptr, nullptr, B_OK, "/srv/corvane"},
      {"relative/dir/", nullptr, nullptr, B_OK, "relative/dir"},
      {"/", "/xdg", "/home/u", B_OK, "/"},
      {"///", nullptr, nullptr, B_OK, "/"},
      {"", "/xdg/", "/home/u", B_OK, "/xdg"},
      {nullptr, "/xdg", "/home/u", B_OK, "/xdg"},
      {nullptr, "", "/home/u", B_OK, "/home/u/.config"},
      {"", "", "/home/u", B_OK, "/home/u/.config"},
      {nullptr, nullptr, "/home/u", B_OK, "/home/u/.config"},
      {nullptr, nullptr, nullptr, B_ENTRY_NOT_FOUND, nullptr},
      {"", "", "", B_ENTRY_NOT_FOUND, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "CORVANE_SETTINGS_DIR=" << (c.own ? c.own : "(unset)")
                                    << " XDG_CONFIG_HOME=" << (c.xdg ? c.xdg : "(unset)")
                                    << " HOME=" << (c.home ? c.home : "(unset)"));
    ScopedEnvironment environment;
    environment.Set("CORVANE_SETTINGS_DIR", c.own);
    environment.Set("XDG_CONFIG_HOME", c.xdg);
    environment.Set("HOME", c.home);
    std::string path = "untouched";
    EXPECT_EQ(FindUserSettingsDirectory(&path), c.status);
    if (c.expected) {
      EXPECT_EQ(path, c.expected);
    }
  }
}

mode_t ModeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

TEST(SettingsFolder, EnsureDirectoryCreatesNestedFolders) {
  afptest::TempDir temp;
  const std::string base = temp.path().string();
  const std::string deep = base + "/a/b/c";
  ASSERT_EQ(EnsureDirectory(deep), B_OK);
  for (const std::string& folder : {base + "/a", base + "/a/b", deep}) {
    SCOPED_TRACE(folder);
    EXPECT_TRUE(S_ISDIR(ModeOf(folder)));
    EXPECT_EQ(ModeOf(folder) & 0777, 0700u);  // settings hold passwords
  }
  EXPECT_EQ(EnsureDirectory(deep), B_OK);  // already there
  EXPECT_EQ(EnsureDirectory(base + "/a/b/c/"), B_OK);
  EXPECT_EQ(EnsureDirectory(base + "/a//x"), B_OK);
  EXPECT_TRUE(S_ISDIR(ModeOf(base + "/a/x")));

  // An existing parent keeps its own mode.
  ASSERT_EQ(chmod((base + "/a").c_str(), 0750), 0);
  EXPECT_EQ(EnsureDirectory(base + "/a/y"), B_OK);
  EXPECT_EQ(ModeOf(base + "/a") & 0777, 0750u);
}

TEST(SettingsFolder, EnsureDirectoryFailsWhereAFileIsInTheWay) {
  afptest::TempDir temp;
  const std::string file = temp.path().string() + "/file";
  std::ofstream(file) << "x";
  EXPECT_EQ(EnsureDirectory(""), B_BAD_VALUE);
  EXPECT_NE(EnsureDirectory(file), B_OK);
  EXPECT_NE(EnsureDirectory(file + "/below"), B_OK);
  EXPECT_TRUE(S_ISREG(ModeOf(file)));
}

TEST(ThreadName, CutsLongNamesButKeepsTheNumber) {
  struct Case {
    const char* name;
    const char* expected;
  };
  const Case cases[] = {
      {nullptr, ""},
      {"", ""},
      {"looper", "looper"},
      {"exactly15chars_", "exactly15chars_"},
      {"sixteen_chars_ab", "sixteen_chars_a"},
      {"afp_connection[12]", "afp_connect[12]"},
      {"afp_connection[12345]", "afp_conn[12345]"},
      {"a_very_long_thread_name[7]", "a_very_long_[7]"},
      {"short[3]", "short[3]"},
      {"ab[123456789012]", "a[123456789012]"},           // longest suffix kept
      {"ab[1234567890123]", "ab[123456789012"},          // suffix too long to keep
      {"afp_connection_thread]", "afp_connection_"},     // no opening bracket
      {"afp_connection[12]_worker", "afp_connection["},  // not at the end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(null)");
    char out[16];
    std::memset(out, 'X', sizeof(out));
    KernelThreadName(c.name, out);
    EXPECT_EQ(out[15], '\0');
    EXPECT_STREQ(out, c.expected);
  }
}

TEST(ThreadSpawn, RunsTheBodyUnderItsKernelName) {
  // Shared, so a thread still leaving set_value never touches a dead promise.
  auto seen = std::make_shared<std::promise<std::string>>();
  std::future<std::string> name = seen->get_future();
  const thread_id first = SpawnThread(
      [seen] {
        char buffer[16] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof(buffer));
        seen->set_value(buffer);
      },
      "afp_connection[12]", kLowPriority);
  ASSERT_GT(first, 0);
  ASSERT_EQ(name.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(name.get(), "afp_connect[12]");

  auto done = std::make_shared<std::promise<void>>();
  const thread_id second = SpawnThread([done] { done->set_value(); }, "other", kUrgentPriority);
  EXPECT_GT(second, 0);
  EXPECT_NE(second, first);
  EXPECT_EQ(done->get_future().wait_for(30s), std::future_status::ready);
}

TEST(BlockCache, ReusesItsBlocksAndKeepsNoMoreThanCount) {
  constexpr size_t kSize = 64;
  BBlockCache cache(2, kSize);
  void* a = cache.Get(kSize);
  void* b = cache.Get(kSize);
  void* c = cache.Get(kSize);  // beyond the pool: a plain allocation
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(std::set<void*>({a, b, c}).size(), 3u);
  for (void* block : {a, b, c}) std::memset(block, 0xAB, kSize);

  cache.Save(a, kSize);
  cache.Save(b, kSize);
  cache.Save(c, kSize);  // the pool is full: freed (the sanitizer sees a leak otherwise)
  const std::set<void*> given = {a, b, c};
  void* again1 = cache.Get(kSize);
  void* again2 = cache.Get(kSize);
  EXPECT_TRUE(given.count(again1) && given.count(again2));
  EXPECT_NE(again1, again2);
  cache.Save(again1, kSize);
  cache.Save(again2, kSize);
  cache.Save(nullptr, kSize);  // ignored
}

TEST(BlockCache, OtherSizesAreAllocatedAndFreedPlainly) {
  BBlockCache cache(1, 64);
  for (size_t size : {size_t{1}, size_t{63}, size_t{65}, size_t{4096}}) {
    SCOPED_TRACE(size);
    void* block = cache.Get(size);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0xCD, size);  // the whole block is usable
    cache.Save(block, size);
  }
  // A pool of no blocks still hands out and takes back its size.
  BBlockCache empty(0, 32);
  void* block = empty.Get(32);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0, 32);
  empty.Save(block, 32);
}

TEST(ThreadTiming, RealTimeClocksAgree) {
  const int32_t before = real_time_clock();
  const int64_t micros = real_time_clock_usecs();
  const int32_t after = real_time_clock();
  EXPECT_LE(before, micros / 1000000);
  EXPECT_GE(after, micros / 1000000);
  EXPECT_GT(before, 1577836800);  // later than 2020-01-01: seconds since 1970, not uptime
}

}  // namespace

// Real files in a temporary folder for the entry, folder, file and node
// index tests, and a way to run a check without root's privileges.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include "tests/client/temp_dir.h"

namespace storagetest {

inline void Write(const std::string& path, const std::string& data = "") {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

inline std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream data;
  data << in.rdbuf();
  return data.str();
}

inline struct stat Lstat(const std::string& path) {
  struct stat facts {};
  EXPECT_EQ(lstat(path.c_str(), &facts), 0) << path;
  return facts;
}

// A temporary folder (fDir) and a settings folder of its own, since
// bookkeeping attributes may go to the overflow store kept there.
class StorageTest : public testing::Test {
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

  std::string P(const std::string& relative = "") const {
    return relative.empty() ? fDir.path().string() : (fDir.path() / relative).string();
  }
  void Dir(const std::string& relative) const { ASSERT_EQ(mkdir(P(relative).c_str(), 0755), 0) << relative; }
  void File(const std::string& relative, const std::string& data = "") const { Write(P(relative), data); }
  void Link(const std::string& target, const std::string& relative) const {
    ASSERT_EQ(symlink(target.c_str(), P(relative).c_str()), 0) << relative;
  }

  // Runs `check` in a child process as user and group 65534 (nobody), so
  // that permissions apply even when the tests run as root; the temporary
  // folder is handed to that user first. The child's result: 0 for
  // success, else the number of the failed step.
  int AsNobody(const std::function<int()>& check) const {
    if (geteuid() == 0 && chown(P().c_str(), 65534, 65534) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
      if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
      _exit(check());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -2;
    return WEXITSTATUS(status);
  }

  afptest::TempDir fDir;
  afptest::TempDir fSettings;
  std::optional<std::string> fOldSettings;
};

}  // namespace storagetest

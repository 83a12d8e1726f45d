// A fresh directory under $TMPDIR (or /tmp), removed with its contents on
// destruction.
#pragma once

#include <filesystem>

namespace afptest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace afptest

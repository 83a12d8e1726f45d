#include "tests/client/temp_dir.h"

#include <stdlib.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace afptest {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/corvane-test-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace afptest

// File descriptors and folder streams closed when their holders go.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <memory>

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fFd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fFd; }
  // Closes the held descriptor and holds `fd` instead.
  void Reset(int fd = -1) {
    if (fFd >= 0) close(fFd);
    fFd = fd;
  }
  // Gives the descriptor up without closing it.
  int Release() {
    const int fd = fFd;
    fFd = -1;
    return fd;
  }

 private:
  int fFd;
};

struct FolderStreamCloser {
  void operator()(DIR* folder) const { closedir(folder); }
};
// A folder stream (closing it closes the descriptor it was opened on).
using UniqueDir = std::unique_ptr<DIR, FolderStreamCloser>;

// A stream over the folder open at `fd`; on failure `fd` is still open.
inline UniqueDir OpenFolderStream(UniqueFd& fd) {
  UniqueDir folder(fdopendir(fd.Get()));
  if (folder) fd.Release();
  return folder;
}

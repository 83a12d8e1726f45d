// A small pool of equal-sized memory blocks, reused instead of allocated per
// use. Blocks of other sizes are allocated and freed plainly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

class BBlockCache {
 public:
  BBlockCache(int32_t count, size_t blockSize);
  ~BBlockCache();
  BBlockCache(const BBlockCache&) = delete;
  BBlockCache& operator=(const BBlockCache&) = delete;

  // A block of at least `size` bytes, or null when memory runs out.
  void* Get(size_t size);
  // Takes a block back; the pool keeps at most `count` blocks of its size.
  void Save(void* block, size_t size);

 private:
  const size_t fBlockSize;
  const size_t fCount;
  std::mutex fLock;
  std::vector<void*> fFree;
};

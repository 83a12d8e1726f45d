#include "platform/block_cache.h"

#include <cstdlib>

BBlockCache::BBlockCache(int32_t count, size_t blockSize)
    : fBlockSize(blockSize), fCount(count > 0 ? static_cast<size_t>(count) : 0) {
  fFree.reserve(fCount);
  for (size_t i = 0; i < fCount; ++i) {
    if (void* block = std::malloc(fBlockSize)) fFree.push_back(block);
  }
}

BBlockCache::~BBlockCache() {
  for (void* block : fFree) std::free(block);
}

void* BBlockCache::Get(size_t size) {
  if (size == fBlockSize) {
    std::lock_guard<std::mutex> guard(fLock);
    if (!fFree.empty()) {
      void* block = fFree.back();
      fFree.pop_back();
      return block;
    }
  }
  return std::malloc(size);
}

void BBlockCache::Save(void* block, size_t size) {
  if (block == nullptr) return;
  if (size == fBlockSize) {
    std::lock_guard<std::mutex> guard(fLock);
    if (fFree.size() < fCount) {
      fFree.push_back(block);
      return;
    }
  }
  std::free(block);
}

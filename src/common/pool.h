// Pool blocks: the library's only memory. Every block goes back to the pool
// that gave it.
#pragma once

#include <cstdint>

#include "qz/kernel.h"

namespace ioe {

// A block of `bytes` (flags 0: contents undefined; QZ_POOL_ZERO_FILL:
// cleared), or null.
template <typename T = void>
inline T *pool_alloc(QZPool *pool, uint32_t bytes, uint32_t flags = 0) noexcept {
  return static_cast<T *>(pool->allocate(pool, bytes, flags));
}

// Returns a block to its pool and clears the owner's pointer; a null block
// is left alone.
template <typename T> inline void pool_release(QZPool *pool, T *&block) noexcept {
  if (block != nullptr) {
    pool->free_block(pool, const_cast<void *>(static_cast<const void *>(block)));
    block = nullptr;
  }
}

// Owns one block until it is handed on with release(); frees it otherwise.
template <typename T> class PoolBlock {
public:
  PoolBlock(QZPool *pool, uint32_t bytes, uint32_t flags = 0) noexcept
      : pool_(pool), block_(pool_alloc<T>(pool, bytes, flags)) {}
  PoolBlock(const PoolBlock &) = delete;
  PoolBlock &operator=(const PoolBlock &) = delete;
  ~PoolBlock() { pool_release(pool_, block_); }

  explicit operator bool() const noexcept { return block_ != nullptr; }
  T *get() const noexcept { return block_; }
  T *release() noexcept {
    T *block = block_;
    block_ = nullptr;
    return block;
  }

private:
  QZPool *pool_;
  T *block_;
};

} // namespace ioe

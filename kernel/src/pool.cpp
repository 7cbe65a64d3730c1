// Memory pools. Small blocks are carved out of chunks that the pool owns and
// frees with itself, as a real kernel's sub-allocator does; freed ones go on a
// free list of their size class for the pool's next blocks. Larger blocks,
// and every block under AddressSanitizer, are malloc regions of their own,
// with the payload running to the very end of the region, so that the
// sanitizer sees an overrun by a single byte. Every block has a header in
// front of its payload.
#include <cstdlib>
#include <cstring>
#include <new>

#include "internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define QZK_BLOCKS_OWN_REGIONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QZK_BLOCKS_OWN_REGIONS 1
#endif
#endif
#ifndef QZK_BLOCKS_OWN_REGIONS
#define QZK_BLOCKS_OWN_REGIONS 0
#endif

namespace qzk {

namespace {

constexpr uint32_t kBlockMagic = 0x6b6c4251u; // "QBlk"
constexpr uint32_t kFreedMagic = 0x64657246u; // "Fred"
constexpr unsigned char kPoison = 0xa5;

struct BlockHeader {
  uint32_t magic;
  Pool *pool;
  size_t size;
};

// Multiple of 16, so that the payload has the alignment of the region.
constexpr size_t kHeaderSpace = (sizeof(BlockHeader) + 15) & ~size_t{15};

BlockHeader *HeaderOf(void *payload) {
  return reinterpret_cast<BlockHeader *>(static_cast<unsigned char *>(payload) - kHeaderSpace);
}

// Carved blocks: payloads rounded up to 16-byte grains (at least one, so that
// even empty blocks are distinct), one size class a grain count.
constexpr size_t kGrain = 16;
constexpr size_t kLargestCarved = QZK_BLOCKS_OWN_REGIONS ? 0 : 1024;
constexpr size_t kClasses = kLargestCarved / kGrain;
// Chunks start small, since most pools hold a handful of blocks, and double
// up to the largest.
constexpr size_t kFirstChunk = 4096;
constexpr size_t kLargestChunk = 65536;

size_t GrainsOf(size_t bytes) {
  return bytes == 0 ? 1 : (bytes + kGrain - 1) / kGrain;
}

bool Carved(size_t bytes) {
  return bytes <= kLargestCarved;
}

// One region carved into blocks from the front. A bit for each grain says
// whether a live block's payload starts there, so that a pointer into a
// chunk is known to be a live block before its header is read, and an
// interior or freed one is refused.
struct Chunk {
  unsigned char *start; // of the carved area, 16-byte aligned
  size_t bytes;         // of the carved area
  size_t used;          // carved so far
  uint32_t *starts;     // one bit per grain

  bool Holds(const void *p) const {
    const auto *byte = static_cast<const unsigned char *>(p);
    return byte >= start && byte < start + bytes;
  }
  size_t GrainOf(const void *payload) const {
    return static_cast<size_t>(static_cast<const unsigned char *>(payload) - start) / kGrain;
  }
  bool Live(size_t grain) const { return (starts[grain / 32] >> (grain % 32) & 1u) != 0; }
  void Mark(size_t grain) { starts[grain / 32] |= 1u << (grain % 32); }
  void Unmark(size_t grain) { starts[grain / 32] &= ~(1u << (grain % 32)); }
};

// A chunk with its bit table and carved area in one malloc region; null
// without memory.
Chunk *NewChunk(size_t bytes) {
  const size_t words = (bytes / kGrain + 31) / 32;
  const size_t table = sizeof(Chunk) + words * sizeof(uint32_t);
  auto *region = static_cast<unsigned char *>(std::malloc(table + kGrain - 1 + bytes));
  if (region == nullptr) return nullptr;
  auto *chunk = reinterpret_cast<Chunk *>(region);
  chunk->starts = reinterpret_cast<uint32_t *>(region + sizeof(Chunk));
  std::memset(chunk->starts, 0, words * sizeof(uint32_t));
  const auto area = (reinterpret_cast<uintptr_t>(region) + table + kGrain - 1) & ~uintptr_t{15};
  chunk->start = reinterpret_cast<unsigned char *>(area);
  chunk->bytes = bytes;
  chunk->used = 0;
  return chunk;
}

// A pool's chunks by address, with the one last looked up first: frees tend
// to come in runs from one chunk.
class ChunkSet {
public:
  ChunkSet() = default;
  ChunkSet(const ChunkSet &) = delete;
  ChunkSet &operator=(const ChunkSet &) = delete;
  ~ChunkSet() { clear(); }

  // The chunk that holds `p`, or null.
  Chunk *find(const void *p) {
    if (last_ != nullptr && last_->Holds(p)) return last_;
    size_t low = 0, high = size_; // the chunk is below `high`, at or above `low`
    while (high - low > 1) {
      const size_t middle = (low + high) / 2;
      (static_cast<const unsigned char *>(p) < chunks_[middle]->start ? high : low) = middle;
    }
    if (size_ == 0 || !chunks_[low]->Holds(p)) return nullptr;
    last_ = chunks_[low];
    return last_;
  }

  // Adds a chunk of the next size, which becomes the one carved from; false
  // without memory.
  bool add() {
    if (size_ == capacity_) {
      const size_t capacity = capacity_ == 0 ? 8 : capacity_ * 2;
      auto **chunks = static_cast<Chunk **>(std::realloc(chunks_, capacity * sizeof(Chunk *)));
      if (chunks == nullptr) return false;
      chunks_ = chunks;
      capacity_ = capacity;
    }
    const size_t bytes =
        current_ == nullptr
            ? kFirstChunk
            : (current_->bytes * 2 < kLargestChunk ? current_->bytes * 2 : kLargestChunk);
    Chunk *chunk = NewChunk(bytes);
    if (chunk == nullptr) return false;
    size_t i = size_;
    for (; i > 0 && chunks_[i - 1]->start > chunk->start; --i)
      chunks_[i] = chunks_[i - 1];
    chunks_[i] = chunk;
    ++size_;
    current_ = chunk;
    return true;
  }

  Chunk *current() const { return current_; }

  void clear() {
    for (size_t i = 0; i < size_; ++i)
      std::free(chunks_[i]);
    std::free(chunks_);
    chunks_ = nullptr;
    current_ = last_ = nullptr;
    size_ = capacity_ = 0;
  }

private:
  Chunk **chunks_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  Chunk *current_ = nullptr; // carved from
  Chunk *last_ = nullptr;    // last found
};

// The payload addresses of a pool's live blocks, in one table probed
// linearly: adding or removing a block touches no allocator, where a set of
// nodes costs a malloc and a free for every block.
class BlockSet {
public:
  BlockSet() = default;
  BlockSet(const BlockSet &) = delete;
  BlockSet &operator=(const BlockSet &) = delete;
  ~BlockSet() { std::free(slots_); }

  // False when the table cannot grow.
  bool insert(void *block) {
    if ((size_ + 1) * 2 > Capacity() && !Grow()) return false; // at most half full
    size_t i = Home(block);
    while (slots_[i] != nullptr)
      i = (i + 1) & Mask();
    slots_[i] = block;
    ++size_;
    return true;
  }

  // False when `block` is not in the table.
  bool erase(void *block) {
    if (size_ == 0) return false;
    size_t i = Home(block);
    while (slots_[i] != block) {
      if (slots_[i] == nullptr) return false;
      i = (i + 1) & Mask();
    }
    // Later members of the run move back into the hole when their home
    // does not lie after it, so that no search stops short.
    for (size_t j = (i + 1) & Mask(); slots_[j] != nullptr; j = (j + 1) & Mask()) {
      const size_t home = Home(slots_[j]);
      const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
      if (stays) continue;
      slots_[i] = slots_[j];
      i = j;
    }
    slots_[i] = nullptr;
    --size_;
    return true;
  }

  template <typename Visit> void for_each(Visit visit) const {
    for (size_t i = 0; i < Capacity(); ++i)
      if (slots_[i] != nullptr) visit(slots_[i]);
  }

  void clear() {
    std::free(slots_);
    slots_ = nullptr;
    bits_ = 0;
    size_ = 0;
  }

private:
  size_t Capacity() const { return slots_ == nullptr ? 0 : size_t{1} << bits_; }
  size_t Mask() const { return Capacity() - 1; }
  // Fibonacci hashing: blocks are 16-byte aligned, so the low bits say nothing.
  size_t Home(const void *block) const {
    const uint64_t key = reinterpret_cast<uintptr_t>(block) >> 4;
    return static_cast<size_t>((key * 0x9e3779b97f4a7c15u) >> (64 - bits_));
  }
  bool Grow() {
    const unsigned bits = slots_ == nullptr ? 4 : bits_ + 1;
    auto **slots = static_cast<void **>(std::calloc(size_t{1} << bits, sizeof(void *)));
    if (slots == nullptr) return false;
    void **old = slots_;
    const size_t old_capacity = Capacity();
    slots_ = slots;
    bits_ = bits;
    size_ = 0;
    for (size_t i = 0; i < old_capacity; ++i)
      if (old[i] != nullptr) insert(old[i]);
    std::free(old);
    return true;
  }

  void **slots_ = nullptr;
  unsigned bits_ = 0;
  size_t size_ = 0;
};

} // namespace

struct Pool : QZPool {
  Kernel *kernel = nullptr;
  std::string name;
  QZWord context = 0;
  SpinLock lock;
  // Everything below is guarded by `lock`.
  // Live blocks and their bytes, carved or not.
  uint32_t live_blocks = 0;
  uint64_t live_bytes = 0;
  // Payload addresses of the live blocks that are regions of their own.
  // Membership is checked before a header is read, so a freed or foreign
  // pointer is never dereferenced.
  BlockSet regions;
  ChunkSet chunks;
  // Freed carved blocks by grain count less one, linked through their
  // payloads.
  void *free_lists[kClasses > 0 ? kClasses : 1] = {};
};

namespace {

Pool *FindPool(QZPool *pool) {
  return Find<Pool>(pool, Kind::Pool);
}

// A carved block of `bytes` with its header written and its start marked
// live (the pool's lock held); null without memory.
void *CarveBlock(Pool *pool, size_t bytes) {
  const size_t grains = GrainsOf(bytes);
  void *payload = pool->free_lists[grains - 1];
  if (payload != nullptr) {
    std::memcpy(&pool->free_lists[grains - 1], payload, sizeof(void *));
  } else {
    const size_t span = kHeaderSpace + grains * kGrain;
    Chunk *chunk = pool->chunks.current();
    if (chunk == nullptr || chunk->bytes - chunk->used < span) {
      if (!pool->chunks.add()) return nullptr;
      chunk = pool->chunks.current();
    }
    payload = chunk->start + chunk->used + kHeaderSpace;
    chunk->used += span;
  }
  Chunk *chunk = pool->chunks.find(payload);
  chunk->Mark(chunk->GrainOf(payload));
  BlockHeader *header = HeaderOf(payload);
  header->magic = kBlockMagic;
  header->pool = pool;
  header->size = bytes;
  return payload;
}

// A block that is a malloc region of its own, its header written and its
// payload known to the pool (the pool's lock not held); null without memory.
void *RegionBlock(Pool *pool, size_t bytes) {
  if (kHeaderSpace + static_cast<uint64_t>(bytes) > SIZE_MAX) return nullptr;
  void *region = std::malloc(kHeaderSpace + bytes);
  if (region == nullptr) return nullptr;
  auto *header = static_cast<BlockHeader *>(region);
  header->magic = kBlockMagic;
  header->pool = pool;
  header->size = bytes;
  void *payload = static_cast<unsigned char *>(region) + kHeaderSpace;
  bool kept = false;
  {
    std::lock_guard guard(pool->lock);
    kept = pool->regions.insert(payload);
    if (kept) {
      ++pool->live_blocks;
      pool->live_bytes += bytes;
    }
  }
  if (!kept) {
    std::free(region);
    return nullptr;
  }
  return payload;
}

// Flags other than zero-fill mean nothing to this kernel and are ignored.
void *Allocate(QZPool *public_pool, uint32_t bytes, uint32_t flags) {
  Pool *pool = FindPool(public_pool);
  if (pool == nullptr) {
    Misuse(nullptr, "pool allocate: %p is not a live pool", static_cast<void *>(public_pool));
    return nullptr;
  }
  if (Inject(pool->kernel, QZK_FAULT_ALLOCATION)) return nullptr;
  void *payload = nullptr;
  if (Carved(bytes)) {
    std::lock_guard guard(pool->lock);
    payload = CarveBlock(pool, bytes);
    if (payload != nullptr) {
      ++pool->live_blocks;
      pool->live_bytes += bytes;
    }
  } else {
    payload = RegionBlock(pool, bytes);
  }
  if (payload == nullptr) return nullptr;
  // Without the zero flag a block is poisoned, so that nothing comes to rely
  // on fresh memory being zero (a reused block least of all).
  if (bytes != 0) std::memset(payload, (flags & QZ_POOL_ZERO_FILL) != 0 ? 0 : kPoison, bytes);
  return payload;
}

QZStatus FreeBlock(QZPool *public_pool, void *block) {
  Pool *pool = FindPool(public_pool);
  if (pool == nullptr) {
    Misuse(nullptr, "pool free: %p is not a live pool", static_cast<void *>(public_pool));
    return QZK_BAD_ARGUMENT;
  }
  if (block == nullptr) {
    Misuse(pool->kernel, "pool '%s' free: null block", pool->name.c_str());
    return QZK_BAD_ARGUMENT;
  }
  bool overwritten = false;
  void *region = nullptr;
  {
    std::lock_guard guard(pool->lock);
    Chunk *chunk = pool->chunks.find(block);
    const bool live = chunk != nullptr
                          ? (static_cast<unsigned char *>(block) - chunk->start) % kGrain == 0 &&
                                chunk->Live(chunk->GrainOf(block))
                          : pool->regions.erase(block);
    if (!live) {
      Misuse(pool->kernel, "pool '%s' free: %p is not a live block of this pool",
             pool->name.c_str(), block);
      return QZK_BAD_ARGUMENT;
    }
    // The block is ours; a damaged header means something wrote in front of
    // it. Its size then comes from nowhere trustworthy: a carved block's
    // class would be wrong, so it is not reused.
    BlockHeader *header = HeaderOf(block);
    overwritten = header->magic != kBlockMagic || header->pool != pool ||
                  (chunk != nullptr && !Carved(header->size));
    --pool->live_blocks;
    if (!overwritten) pool->live_bytes -= header->size;
    header->magic = kFreedMagic;
    if (chunk != nullptr) {
      chunk->Unmark(chunk->GrainOf(block));
      if (!overwritten) {
        void *&head = pool->free_lists[GrainsOf(header->size) - 1];
        std::memcpy(block, &head, sizeof(void *));
        head = block;
      }
    } else {
      region = header;
    }
  }
  if (overwritten)
    Misuse(pool->kernel, "pool '%s' free: header of block %p was overwritten", pool->name.c_str(),
           block);
  if (region != nullptr) std::free(region);
  return QZ_OK;
}

QZStatus DestroyPool(QZPool *public_pool) {
  Pool *pool = FindPool(public_pool);
  if (pool == nullptr || !Take(public_pool, Kind::Pool)) {
    Misuse(nullptr, "pool destroy: %p is not a live pool", static_cast<void *>(public_pool));
    return QZK_BAD_ARGUMENT;
  }
  {
    std::lock_guard guard(pool->kernel->objects_mutex);
    pool->kernel->live_pools.erase(pool);
  }
  DestroyPoolNow(pool);
  return QZ_OK;
}

} // namespace

void DestroyPoolNow(Pool *pool) {
  Take(static_cast<QZPool *>(pool), Kind::Pool);
  pool->regions.for_each([](void *block) { std::free(HeaderOf(block)); });
  pool->regions.clear();
  pool->chunks.clear();
  pool->kernel->pools.fetch_sub(1);
  pool->magic = 0;
  delete pool;
}

void CountBlocks(Pool *pool, uint32_t *blocks, uint64_t *bytes) {
  std::lock_guard guard(pool->lock);
  *blocks += pool->live_blocks;
  *bytes += pool->live_bytes;
}

QZPool *CreatePool(QZHandle *handle, const QZObjectOptions *options, QZWord context,
                   const char *name) {
  (void)options; // always zeros; nothing in it is meaningful to this kernel
  Kernel *kernel = Find<Kernel>(handle, Kind::Kernel);
  if (kernel == nullptr) {
    Misuse(nullptr, "create pool: %p is not a kernel handle", static_cast<void *>(handle));
    return nullptr;
  }
  if (Inject(kernel, QZK_FAULT_ALLOCATION)) return nullptr;
  Pool *pool = new (std::nothrow) Pool;
  if (pool == nullptr) return nullptr;
  QZPool &head = *pool;
  std::memset(&head, 0, sizeof head);
  head.magic = QZ_OBJECT_MAGIC;
  head.destroy = DestroyPool;
  head.allocate = Allocate;
  head.free_block = FreeBlock;
  pool->kernel = kernel;
  pool->name = name != nullptr ? name : "";
  pool->context = context;
  {
    std::lock_guard guard(kernel->objects_mutex);
    kernel->live_pools.insert(pool);
  }
  kernel->pools.fetch_add(1);
  Register(&head, Kind::Pool, kernel);
  RecordCreation(kernel, QZK_OBJECT_POOL, name, context);
  return &head;
}

} // namespace qzk

// Memory pools: every block is its own malloc region, with a header in front
// of the payload and the payload running to the very end of the region, so
// that an address sanitizer sees an overrun by a single byte.
#include <cstdlib>
#include <cstring>
#include <new>

#include "internal.h"

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
  // Payload addresses of the live blocks. Membership is checked before a
  // header is read, so a freed or foreign pointer is never dereferenced.
  BlockSet blocks;
};

namespace {

void ReleaseBlock(Kernel *kernel, void *payload) {
  BlockHeader *header = HeaderOf(payload);
  kernel->blocks.fetch_sub(1);
  kernel->bytes.fetch_sub(header->size);
  header->magic = kFreedMagic;
  std::free(header);
}

Pool *FindPool(QZPool *pool) {
  return Find<Pool>(pool, Kind::Pool);
}

// Flags other than zero-fill mean nothing to this kernel and are ignored.
void *Allocate(QZPool *public_pool, uint32_t bytes, uint32_t flags) {
  Pool *pool = FindPool(public_pool);
  if (pool == nullptr) {
    Misuse(nullptr, "pool allocate: %p is not a live pool", static_cast<void *>(public_pool));
    return nullptr;
  }
  Kernel *kernel = pool->kernel;
  if (Inject(kernel, QZK_FAULT_ALLOCATION)) return nullptr;
  if (kHeaderSpace + static_cast<uint64_t>(bytes) > SIZE_MAX) return nullptr;
  void *region = std::malloc(kHeaderSpace + bytes);
  if (region == nullptr) return nullptr;
  auto *header = static_cast<BlockHeader *>(region);
  header->magic = kBlockMagic;
  header->pool = pool;
  header->size = bytes;
  void *payload = static_cast<unsigned char *>(region) + kHeaderSpace;
  // Without the zero flag a block is poisoned, so that nothing comes to rely
  // on fresh memory being zero.
  if (bytes != 0) std::memset(payload, (flags & QZ_POOL_ZERO_FILL) != 0 ? 0 : kPoison, bytes);
  bool kept = false;
  {
    std::lock_guard guard(pool->lock);
    kept = pool->blocks.insert(payload);
  }
  if (!kept) {
    std::free(region);
    return nullptr;
  }
  kernel->blocks.fetch_add(1);
  kernel->bytes.fetch_add(bytes);
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
  {
    std::lock_guard guard(pool->lock);
    if (pool->blocks.erase(block) == 0) {
      Misuse(pool->kernel, "pool '%s' free: %p is not a live block of this pool",
             pool->name.c_str(), block);
      return QZK_BAD_ARGUMENT;
    }
  }
  // The block is ours; a damaged header means something wrote in front of it.
  const BlockHeader *header = HeaderOf(block);
  if (header->magic != kBlockMagic || header->pool != pool)
    Misuse(pool->kernel, "pool '%s' free: header of block %p was overwritten", pool->name.c_str(),
           block);
  ReleaseBlock(pool->kernel, block);
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
  pool->blocks.for_each([&](void *block) { ReleaseBlock(pool->kernel, block); });
  pool->blocks.clear();
  pool->kernel->pools.fetch_sub(1);
  pool->magic = 0;
  delete pool;
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

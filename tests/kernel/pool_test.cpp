// Pools, locks, fault injection and the release of leftovers by the kernel.
#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "harness.h"

namespace qztest {
namespace {

const QZObjectOptions kZeros{};

class PoolTest : public KernelTest {
protected:
  QZPool *NewPool(const char *name = "test pool") {
    QZPool *pool = kernel_->create_pool(kernel_, &kZeros, 0, name);
    EXPECT_NE(pool, nullptr);
    return pool;
  }
};

TEST_F(PoolTest, BlocksAreAlignedZeroFilledAndCounted) {
  QZPool *pool = NewPool();
  std::vector<void *> blocks;
  for (uint32_t size : {1u, 3u, 8u, 17u, 100u, 4096u}) {
    auto *block = static_cast<unsigned char *>(pool->allocate(pool, size, QZ_POOL_ZERO_FILL));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u) << size;
    for (uint32_t i = 0; i < size; ++i)
      ASSERT_EQ(block[i], 0) << size;
    std::memset(block, 0xab, size); // the whole block is writable
    blocks.push_back(block);
  }
  EXPECT_EQ(Stats().blocks, 6u);
  EXPECT_EQ(Stats().bytes, 1u + 3 + 8 + 17 + 100 + 4096);
  EXPECT_EQ(pool->free_block(pool, blocks[2]), 0u);
  EXPECT_EQ(Stats().blocks, 5u);
  EXPECT_EQ(Stats().bytes, 1u + 3 + 17 + 100 + 4096);
  // Destroy frees what is left.
  EXPECT_EQ(pool->destroy(pool), 0u);
  ExpectNothingAlive();
}

TEST_F(PoolTest, ZeroByteBlocksAreDistinctAndFreeable) {
  QZPool *pool = NewPool();
  void *a = pool->allocate(pool, 0, 0);
  void *b = pool->allocate(pool, 0, QZ_POOL_ZERO_FILL);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(Stats().blocks, 2u);
  EXPECT_EQ(Stats().bytes, 0u);
  EXPECT_EQ(pool->free_block(pool, a), 0u);
  EXPECT_EQ(pool->free_block(pool, b), 0u);
  EXPECT_EQ(pool->destroy(pool), 0u);
  ExpectNothingAlive();
}

TEST_F(PoolTest, BadFreesAndDestroysAreRefusedAndCounted) {
  QZPool *pool = NewPool("first");
  QZPool *other = NewPool("second");
  void *block = pool->allocate(pool, 32, 0);
  void *foreign = other->allocate(other, 32, 0);
  int on_stack = 0;

  EXPECT_NE(pool->free_block(pool, nullptr), 0u);
  EXPECT_NE(pool->free_block(pool, foreign), 0u);
  EXPECT_NE(pool->free_block(pool, &on_stack), 0u);
  EXPECT_NE(pool->free_block(pool, static_cast<char *>(block) + 1), 0u);
  EXPECT_EQ(pool->free_block(pool, block), 0u);
  EXPECT_NE(pool->free_block(pool, block), 0u); // twice
  EXPECT_EQ(TakeMisuses(), 5u);
  // The foreign block is untouched and still belongs to its pool.
  EXPECT_EQ(Stats().blocks, 1u);
  EXPECT_EQ(other->free_block(other, foreign), 0u);

  QZPool copy = *pool; // the table survives a destroyed pool in the caller's hands
  EXPECT_EQ(pool->destroy(pool), 0u);
  EXPECT_NE(copy.destroy(pool), 0u);
  EXPECT_EQ(copy.allocate(pool, 8, 0), nullptr);
  EXPECT_NE(copy.free_block(nullptr, foreign), 0u);
  EXPECT_EQ(TakeMisuses(), 3u);
  EXPECT_EQ(other->destroy(other), 0u);
  ExpectNothingAlive();
}

// Many blocks freed out of order: every live block stays known to its pool
// and every freed one is refused, whatever the order of frees did to the
// pool's table.
TEST_F(PoolTest, ManyBlocksFreedOutOfOrderStayExactlyKnown) {
  QZPool *pool = NewPool();
  constexpr int kBlocks = 5000;
  std::vector<void *> blocks;
  for (int i = 0; i < kBlocks; ++i) {
    blocks.push_back(pool->allocate(pool, uint32_t(1 + i % 64), 0));
    ASSERT_NE(blocks.back(), nullptr);
  }
  // Every third block, then every other of the rest, from both ends.
  std::vector<void *> freed, live;
  for (int i = 0; i < kBlocks; ++i)
    (i % 3 == 0 ? freed : live).push_back(blocks[i]);
  for (void *block : freed)
    ASSERT_EQ(pool->free_block(pool, block), 0u);
  for (size_t i = 0; i < live.size(); i += 2)
    ASSERT_EQ(pool->free_block(pool, live[live.size() - 1 - i]), 0u);
  EXPECT_EQ(TakeMisuses(), 0u);
  const uint32_t left = Stats().blocks;
  EXPECT_EQ(left, uint32_t(live.size() / 2));
  EXPECT_NE(pool->free_block(pool, freed[freed.size() / 2]), 0u);
  EXPECT_EQ(TakeMisuses(), 1u);
  for (size_t i = 1; i < live.size(); i += 2)
    ASSERT_EQ(pool->free_block(pool, live[live.size() - 1 - i]), 0u) << i;
  EXPECT_EQ(Stats().blocks, 0u);
  EXPECT_EQ(Stats().bytes, 0u);
  // Blocks left at destroy go with the pool.
  for (int i = 0; i < 100; ++i)
    ASSERT_NE(pool->allocate(pool, 8, 0), nullptr);
  EXPECT_EQ(pool->destroy(pool), 0u);
  ExpectNothingAlive();
}

// A pool and a list used in turn, as a listing does; once the list is gone
// a call through it is refused while the pool still answers.
TEST_F(PoolTest, ObjectsUsedInTurnAreRefusedOnceGone) {
  QZPool *pool = NewPool();
  const QZListOptions options{};
  QZList *list = kernel_->create_list(kernel_, &options, 0, "turns");
  ASSERT_NE(list, nullptr);
  void *block = nullptr;
  for (int i = 0; i < 3; ++i) {
    block = pool->allocate(pool, 8, 0);
    ASSERT_NE(list->add(list, 0, 0, block, nullptr, nullptr, 0, 0), 0u);
  }
  const QZList copy = *list;
  EXPECT_EQ(list->destroy(list), 0u);
  EXPECT_EQ(copy.count(list), 0u);
  EXPECT_EQ(copy.add(list, 0, 0, block, nullptr, nullptr, 0, 0), 0u);
  EXPECT_EQ(TakeMisuses(), 2u);
  EXPECT_NE(pool->allocate(pool, 8, 0), nullptr);
  EXPECT_EQ(Stats().blocks, 4u);
  EXPECT_EQ(pool->destroy(pool), 0u);
  ExpectNothingAlive();
}

// Blocks of every size, small and large, side by side: each keeps its own
// bytes while the others are written, freed and handed out again.
TEST_F(PoolTest, BlocksOfEverySizeNeverOverlap) {
  QZPool *pool = NewPool();
  struct Held {
    unsigned char *block;
    uint32_t size;
    unsigned char mark;
  };
  std::vector<Held> held;
  uint64_t bytes = 0;
  auto fill = [&](uint32_t size, unsigned char mark) {
    auto *block = static_cast<unsigned char *>(pool->allocate(pool, size, 0));
    ASSERT_NE(block, nullptr) << size;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u) << size;
    std::memset(block, mark, size);
    held.push_back({block, size, mark});
    bytes += size;
  };
  for (uint32_t size = 0; size <= 1100; ++size)
    fill(size, static_cast<unsigned char>(size * 7 + 1));
  fill(5000, 0x3c);
  // Free every other block, then fill the gaps with blocks of other sizes.
  std::vector<Held> kept;
  for (size_t i = 0; i < held.size(); ++i) {
    if (i % 2 == 0) {
      ASSERT_EQ(pool->free_block(pool, held[i].block), 0u) << i;
      bytes -= held[i].size;
    } else {
      kept.push_back(held[i]);
    }
  }
  held = kept;
  for (uint32_t size = 1100; size >= 3; size -= 3)
    fill(size, static_cast<unsigned char>(size ^ 0x5a));
  for (const Held &h : held)
    for (uint32_t i = 0; i < h.size; ++i)
      ASSERT_EQ(h.block[i], h.mark) << "block of " << h.size << " at byte " << i;
  EXPECT_EQ(Stats().blocks, held.size());
  EXPECT_EQ(Stats().bytes, bytes);
  EXPECT_EQ(TakeMisuses(), 0u);
  EXPECT_EQ(pool->destroy(pool), 0u);
  ExpectNothingAlive();
}

// A block handed out again after a free starts as a fresh one would: poisoned
// or cleared, never with what it held or the pool's own links.
TEST_F(PoolTest, ReusedBlocksAreFilledAfresh) {
  QZPool *pool = NewPool();
  for (uint32_t size : {1u, 8u, 16u, 48u, 160u, 1024u}) {
    for (int round = 0; round < 3; ++round) {
      auto *block = static_cast<unsigned char *>(pool->allocate(pool, size, 0));
      ASSERT_NE(block, nullptr);
      for (uint32_t i = 0; i < size; ++i)
        ASSERT_EQ(block[i], 0xa5) << size << " byte " << i << " round " << round;
      std::memset(block, 0x11, size);
      ASSERT_EQ(pool->free_block(pool, block), 0u);
      auto *zeroed = static_cast<unsigned char *>(pool->allocate(pool, size, QZ_POOL_ZERO_FILL));
      ASSERT_NE(zeroed, nullptr);
      for (uint32_t i = 0; i < size; ++i)
        ASSERT_EQ(zeroed[i], 0) << size << " byte " << i << " round " << round;
      std::memset(zeroed, 0x22, size);
      ASSERT_EQ(pool->free_block(pool, zeroed), 0u);
    }
  }
  EXPECT_EQ(pool->destroy(pool), 0u);
  ExpectNothingAlive();
}

// Pointers into a pool's memory that are not live blocks: inside a block, at
// its header, a block freed twice. Each is refused, and a refused free never
// lets one block be handed out twice.
TEST_F(PoolTest, PointersIntoBlocksAndRepeatedFreesAreRefused) {
  QZPool *pool = NewPool();
  auto *big = static_cast<unsigned char *>(pool->allocate(pool, 256, 0));
  auto *small = static_cast<unsigned char *>(pool->allocate(pool, 32, 0));
  ASSERT_NE(big, nullptr);
  ASSERT_NE(small, nullptr);
  EXPECT_NE(pool->free_block(pool, big + 16), 0u);
  EXPECT_NE(pool->free_block(pool, big + 128), 0u);
  EXPECT_NE(pool->free_block(pool, big - 16), 0u);
  EXPECT_NE(pool->free_block(pool, small + 4), 0u);
  EXPECT_EQ(TakeMisuses(), 4u);
  EXPECT_EQ(Stats().blocks, 2u);

  EXPECT_EQ(pool->free_block(pool, small), 0u);
  EXPECT_NE(pool->free_block(pool, small), 0u);
  EXPECT_EQ(TakeMisuses(), 1u);
  void *first = pool->allocate(pool, 32, 0);
  void *second = pool->allocate(pool, 32, 0);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(Stats().blocks, 3u);
  EXPECT_EQ(pool->free_block(pool, big), 0u);
  EXPECT_EQ(pool->free_block(pool, first), 0u);
  EXPECT_EQ(pool->free_block(pool, second), 0u);
  EXPECT_EQ(TakeMisuses(), 0u);
  EXPECT_EQ(pool->destroy(pool), 0u);
  ExpectNothingAlive();
}

// Counts are kept per pool: destroying one pool takes exactly its blocks and
// bytes out of the totals.
TEST_F(PoolTest, DestroyingOnePoolLeavesTheOthersCounted) {
  QZPool *first = NewPool("first");
  QZPool *second = NewPool("second");
  for (int i = 0; i < 300; ++i) {
    ASSERT_NE(first->allocate(first, 40, 0), nullptr);
    ASSERT_NE(second->allocate(second, i % 2 == 0 ? 10 : 2000, 0), nullptr);
  }
  EXPECT_EQ(Stats().blocks, 600u);
  EXPECT_EQ(Stats().bytes, 300u * 40 + 150 * 10 + 150 * 2000);
  EXPECT_EQ(first->destroy(first), 0u);
  EXPECT_EQ(Stats().pools, 1u);
  EXPECT_EQ(Stats().blocks, 300u);
  EXPECT_EQ(Stats().bytes, 150u * 10 + 150 * 2000);
  EXPECT_EQ(second->destroy(second), 0u);
  ExpectNothingAlive();
}

// Under AddressSanitizer every block is a region of its own, and the
// sanitizer decides when an address comes back.
#if defined(__SANITIZE_ADDRESS__)
#define POOL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOL_TEST_ASAN 1
#endif
#endif
#ifndef POOL_TEST_ASAN
// A long-lived pool whose blocks come and go reuses what was freed instead of
// growing: a few blocks at a time over many rounds stay within a few places.
TEST_F(PoolTest, ChurnReusesFreedBlocks) {
  QZPool *pool = NewPool();
  std::set<void *> seen;
  for (int round = 0; round < 20000; ++round) {
    void *blocks[4];
    for (int i = 0; i < 4; ++i) {
      blocks[i] = pool->allocate(pool, uint32_t(24 + 40 * i), 0);
      ASSERT_NE(blocks[i], nullptr);
      seen.insert(blocks[i]);
    }
    for (int i = 3; i >= 0; --i)
      ASSERT_EQ(pool->free_block(pool, blocks[(i + round) % 4]), 0u);
  }
  EXPECT_LE(seen.size(), 4u);
  EXPECT_EQ(pool->destroy(pool), 0u);
  ExpectNothingAlive();
}
#endif

TEST_F(PoolTest, FaultInjectionFailsExactlyTheNthAllocation) {
  QZPool *pool = NewPool();
  const uint32_t before = qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION);
  qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 3);
  void *first = pool->allocate(pool, 8, 0);
  void *second = pool->allocate(pool, 8, 0);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(pool->allocate(pool, 8, 0), nullptr);
  void *fourth = pool->allocate(pool, 8, 0); // one-shot: disarmed again
  EXPECT_NE(fourth, nullptr);
  EXPECT_EQ(qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION), before + 4);

  // Pool, lock and list creation are allocations too.
  qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 1);
  EXPECT_EQ(kernel_->create_pool(kernel_, &kZeros, 0, "x"), nullptr);
  qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 1);
  EXPECT_EQ(kernel_->create_lock(kernel_, &kZeros, 0, "x"), nullptr);
  const QZListOptions list_options{};
  qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 1);
  EXPECT_EQ(kernel_->create_list(kernel_, &list_options, 0, "x"), nullptr);

  // 0 disarms.
  qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 1);
  qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 0);
  void *fifth = pool->allocate(pool, 8, 0);
  EXPECT_NE(fifth, nullptr);
  EXPECT_EQ(Stats().blocks, 4u);
  EXPECT_EQ(pool->destroy(pool), 0u);
  ExpectNothingAlive();
}

TEST_F(PoolTest, ConcurrentAllocateAndFreeKeepCountersExact) {
  QZPool *pool = NewPool();
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<unsigned char *> mine;
      for (int i = 0; i < kRounds; ++i) {
        const uint32_t size = static_cast<uint32_t>(1 + (i * 7 + t) % 200);
        auto *block = static_cast<unsigned char *>(pool->allocate(pool, size, QZ_POOL_ZERO_FILL));
        if (block == nullptr || block[size - 1] != 0) {
          ++failures;
          continue;
        }
        std::memset(block, t, size);
        mine.push_back(block);
        if (i % 3 == 0) {
          if (pool->free_block(pool, mine.front()) != 0) ++failures;
          mine.erase(mine.begin());
        }
      }
      for (unsigned char *block : mine)
        if (block[0] != t || pool->free_block(pool, block) != 0) ++failures;
    });
  }
  for (std::thread &thread : threads)
    thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Stats().blocks, 0u);
  EXPECT_EQ(Stats().bytes, 0u);
  EXPECT_EQ(pool->destroy(pool), 0u);
}

TEST_F(PoolTest, LockExcludesAndRefusesReleaseByNonHolder) {
  QZLock *lock = kernel_->create_lock(kernel_, &kZeros, 0, "test lock");
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(Stats().locks, 1u);

  int shared = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(lock->acquire(lock, 1, 1), 0u);
        ++shared;
        ASSERT_EQ(lock->release(lock), 0u);
      }
    });
  for (std::thread &thread : threads)
    thread.join();
  EXPECT_EQ(shared, 20000);

  ASSERT_EQ(lock->acquire(lock, 1, 1), 0u);
  QZStatus from_other = 0;
  std::thread([&] { from_other = lock->release(lock); }).join();
  EXPECT_NE(from_other, 0u);
  EXPECT_NE(lock->destroy(lock), 0u); // held
  EXPECT_EQ(TakeMisuses(), 2u);
  EXPECT_EQ(lock->release(lock), 0u);
  EXPECT_NE(lock->release(lock), 0u); // not held any more
  EXPECT_EQ(TakeMisuses(), 1u);

  qzk_fail_nth(kernel_, QZK_FAULT_LOCK_ACQUIRE, 1);
  EXPECT_EQ(lock->acquire(lock, 1, 1), QZK_LOCK_FAILED);
  EXPECT_EQ(lock->acquire(lock, 1, 1), 0u);
  EXPECT_EQ(lock->release(lock), 0u);
  EXPECT_EQ(lock->destroy(lock), 0u);
  ExpectNothingAlive();
}

// Whatever a test leaves behind, destroying the kernel releases it (this test
// is only meaningful under the address sanitizer's leak check).
TEST(KernelLeftovers, KernelDestroyReleasesEverything) {
  QZHandle *kernel = qzk_kernel_create(nullptr);
  ASSERT_NE(kernel, nullptr);
  QZPool *pool = kernel->create_pool(kernel, &kZeros, 0, "left");
  ASSERT_NE(pool->allocate(pool, 100, 0), nullptr);
  ASSERT_NE(kernel->create_lock(kernel, &kZeros, 0, "left"), nullptr);
  const QZListOptions list_options{};
  QZList *list = kernel->create_list(kernel, &list_options, 0, "left");
  const QZChar key[] = {'k'};
  ASSERT_NE(list->add(list, 0, 0, nullptr, nullptr, key, sizeof key, 0), 0u);
  ASSERT_NE(kernel->nls->os_inbound(kernel->nls, QZ_ENC_OS, 0, 0), nullptr);
  ASSERT_NE(qzk_journal_create(kernel, 0), nullptr);
  const std::vector<QZChar> name = Chars("qzfsx");
  QZExtension *fsx = kernel->load_extension(kernel, name.data(), 5, 0);
  ASSERT_NE(fsx, nullptr);
  const std::vector<QZChar> path = Chars("/dev/null");
  QZFsxRequest request{};
  request.path = path.data();
  request.path_length = static_cast<uint32_t>(path.size());
  QZStatus status = 1;
  ASSERT_NE(fsx->service.open_file(fsx, &request, 1, 0, nullptr, &status), nullptr);
  QZKStats stats{};
  qzk_stats(kernel, &stats);
  EXPECT_EQ(stats.pools, 1u);
  EXPECT_EQ(stats.blocks, 1u);
  EXPECT_EQ(stats.locks, 1u);
  EXPECT_EQ(stats.lists, 1u);
  EXPECT_EQ(stats.transcoders, 1u);
  EXPECT_EQ(stats.extensions, 1u);
  EXPECT_EQ(stats.descriptors, 1u);
  EXPECT_EQ(stats.misuses, 0u);
  qzk_kernel_destroy(kernel);
}

} // namespace
} // namespace qztest

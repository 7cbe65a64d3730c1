// Atomics and the lock-free stack: results at the edges of 32 bits, LIFO
// order, nodes on two stacks, and contention from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "qzioe/runtime.h"

namespace {

TEST(Atomic, SetStoresOnlyOverExpected) {
  struct Case {
    int32_t start, expected, replacement, result, after;
  };
  const Case cases[] = {
      {5, 5, 0, 1, 0},
      {5, 4, 0, 0, 5},
      {INT32_MIN, INT32_MIN, INT32_MAX, 1, INT32_MAX},
      {-1, 0x7fffffff, 3, 0, -1},
  };
  for (const Case &c : cases) {
    volatile int32_t cell;
    ASSERT_EQ(qzAtomicInit(&cell, c.start), 0);
    EXPECT_EQ(qzAtomicSet(&cell, c.expected, c.replacement), c.result) << c.start;
    EXPECT_EQ(cell, c.after) << c.start;
  }
}

TEST(Atomic, ReadModifyWriteReturnsNewValue) {
  enum Op { kAdd, kAnd, kOr };
  struct Case {
    Op op;
    uint32_t start, operand, result;
  };
  const Case cases[] = {
      {kAdd, 0xffffffffu, 1, 0},           {kAdd, 0, 0xffffffffu, 0xffffffffu},
      {kAdd, 0x7fffffffu, 1, 0x80000000u}, {kAdd, 10, 5, 15},
      {kAnd, 0x12345678u, 0, 0},           {kAnd, 0xf0f0f0f0u, 0xff00ff00u, 0xf000f000u},
      {kOr, 0x12345678u, 0, 0x12345678u},  {kOr, 0x0000000fu, 0x80000000u, 0x8000000fu},
  };
  for (const Case &c : cases) {
    volatile int32_t cell = static_cast<int32_t>(c.start);
    const auto operand = static_cast<int32_t>(c.operand);
    const int32_t got = c.op == kAdd   ? qzAtomicAdd(&cell, operand)
                        : c.op == kAnd ? qzAtomicAnd(&cell, operand)
                                       : qzAtomicOr(&cell, operand);
    EXPECT_EQ(static_cast<uint32_t>(got), c.result) << c.op << " " << c.start;
    EXPECT_EQ(static_cast<uint32_t>(cell), c.result) << c.op << " " << c.start;
    EXPECT_EQ(qzAtomicDestroy(&cell), 0);
    EXPECT_EQ(cell, 0);
  }
}

// Lost updates show up as a wrong total or stray bits.
TEST(Atomic, ConcurrentUpdatesAreNotLost) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  volatile int32_t sum = 0;
  volatile int32_t bits = 0;
  volatile int32_t cas_count = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const int32_t mine = 1 << t;
      for (int i = 0; i < kRounds; ++i) {
        qzAtomicAdd(&sum, 3);
        EXPECT_NE(qzAtomicOr(&bits, mine) & mine, 0);
        EXPECT_EQ(qzAtomicAnd(&bits, ~mine) & mine, 0);
        int32_t seen;
        do {
          seen = __atomic_load_n(&cas_count, __ATOMIC_RELAXED);
        } while (!qzAtomicSet(&cas_count, seen, seen + 1));
      }
    });
  }
  for (auto &thread : threads)
    thread.join();
  EXPECT_EQ(sum, 3 * kThreads * kRounds);
  EXPECT_EQ(bits, 0);
  EXPECT_EQ(cas_count, kThreads * kRounds);
}

// The link deliberately not at offset 0, and a second one for another stack.
struct Node {
  uint32_t tag;
  void *link_a;
  void *link_b;
};
constexpr uint32_t kLinkA = offsetof(Node, link_a);
constexpr uint32_t kLinkB = offsetof(Node, link_b);

TEST(AStack, PopOfEmptyReturnsNull) {
  void *volatile head = nullptr;
  EXPECT_EQ(qzAStackPop(&head, kLinkA), nullptr);
  EXPECT_EQ(head, nullptr);
}

TEST(AStack, LastInFirstOut) {
  Node a{1, nullptr, nullptr}, b{2, nullptr, nullptr};
  void *volatile head = nullptr;
  EXPECT_EQ(qzAStackPush(&head, &a, kLinkA), nullptr);
  EXPECT_EQ(qzAStackPush(&head, &b, kLinkA), &a);
  EXPECT_EQ(head, &b);
  EXPECT_EQ(b.link_a, &a);
  EXPECT_EQ(a.link_a, nullptr);
  EXPECT_EQ(qzAStackPop(&head, kLinkA), &b);
  EXPECT_EQ(head, &a);
  EXPECT_EQ(qzAStackPop(&head, kLinkA), &a);
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(qzAStackPop(&head, kLinkA), nullptr);
  EXPECT_EQ(a.tag + b.tag, 3u); // the payload is never touched
}

TEST(AStack, TwoLinksPutANodeOnTwoStacks) {
  Node nodes[3] = {{0, nullptr, nullptr}, {1, nullptr, nullptr}, {2, nullptr, nullptr}};
  void *volatile first = nullptr;
  void *volatile second = nullptr;
  for (Node &node : nodes)
    qzAStackPush(&first, &node, kLinkA);
  for (int i = 2; i >= 0; --i)
    qzAStackPush(&second, &nodes[i], kLinkB);
  for (int i = 2; i >= 0; --i)
    EXPECT_EQ(qzAStackPop(&first, kLinkA), &nodes[i]) << i;
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(qzAStackPop(&second, kLinkB), &nodes[i]) << i;
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(second, nullptr);
}

// Threads pop nodes, hold a few, and push them back in another order. A node
// popped twice at once, or lost, or invented, is caught by its holder count
// and by the final census.
TEST(AStack, ConcurrentPushPopKeepsEveryNode) {
  constexpr int kThreads = 4;
  constexpr int kNodes = 64;
  constexpr int kRounds = 100000;
  struct alignas(8) StressNode {
    std::atomic<int> holders{0};
    void *link = nullptr;
  };
  constexpr uint32_t kLink = offsetof(StressNode, link);
  StressNode nodes[kNodes];
  void *volatile head = nullptr;
  for (StressNode &node : nodes)
    qzAStackPush(&head, &node, kLink);

  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      StressNode *held[4];
      int count = 0;
      for (int i = 0; i < kRounds; ++i) {
        const bool pop = count == 0 || (count < 4 && ((i + t) % 3 != 0));
        if (pop) {
          auto *node = static_cast<StressNode *>(qzAStackPop(&head, kLink));
          if (node == nullptr) continue;
          if (node < nodes || node >= nodes + kNodes) {
            faults.fetch_add(1);
            return;
          }
          if (node->holders.fetch_add(1) != 0) faults.fetch_add(1);
          held[count++] = node;
        } else {
          // Alternate the end we give back from, so nodes change order.
          StressNode *node;
          if (i & 1) {
            node = held[--count];
          } else {
            node = held[0];
            for (int k = 1; k < count; ++k)
              held[k - 1] = held[k];
            --count;
          }
          if (node->holders.fetch_sub(1) != 1) faults.fetch_add(1);
          qzAStackPush(&head, node, kLink);
        }
      }
      while (count > 0) {
        StressNode *node = held[--count];
        node->holders.fetch_sub(1);
        qzAStackPush(&head, node, kLink);
      }
    });
  }
  for (auto &thread : threads)
    thread.join();
  EXPECT_EQ(faults.load(), 0);

  bool seen[kNodes] = {};
  int popped = 0;
  while (void *top = qzAStackPop(&head, kLink)) {
    const auto index = static_cast<StressNode *>(top) - nodes;
    ASSERT_GE(index, 0);
    ASSERT_LT(index, kNodes);
    EXPECT_FALSE(seen[index]) << "node " << index << " twice";
    seen[index] = true;
    ASSERT_LE(++popped, kNodes);
  }
  EXPECT_EQ(popped, kNodes);
  for (const StressNode &node : nodes)
    EXPECT_EQ(node.holders.load(), 0);
}

} // namespace

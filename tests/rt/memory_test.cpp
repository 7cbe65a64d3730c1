// Byte and QZChar primitives, byte-order reversal and the missing-value test.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "qzioe/runtime.h"

namespace {

TEST(StrLen, CountsToTheTerminator) {
  EXPECT_EQ(skStrLen(nullptr), 0u);
  EXPECT_EQ(skStrLen(""), 0u);
  EXPECT_EQ(skStrLen("abc\0def"), 3u);
  const QZChar wide[] = {'a', 0x80000000u, 0xffffffffu, 0, 'z'};
  EXPECT_EQ(skStrTLen(nullptr), 0u);
  EXPECT_EQ(skStrTLen(wide + 3), 0u);
  EXPECT_EQ(skStrTLen(wide), 3u);
}

TEST(StrCpy, NullRulesAndTerminator) {
  char bytes[8];
  std::memset(bytes, '#', sizeof bytes);
  skStrCpy(nullptr, bytes);
  EXPECT_EQ(std::string(bytes, 2), std::string("\0#", 2)); // exactly one NUL
  skStrCpy("abc", nullptr);                                // nothing to write to: no crash
  skStrCpy("abc", bytes);
  EXPECT_EQ(std::string(bytes, 5), std::string("abc\0#", 5));

  QZChar units[5] = {9, 9, 9, 9, 9};
  skStrTCpy(nullptr, units);
  EXPECT_EQ(units[0], 0u);
  EXPECT_EQ(units[1], 9u);
  skStrTCpy(units, nullptr);
  const QZChar source[] = {1, 0x80000000u, 0};
  skStrTCpy(source, units);
  EXPECT_EQ(std::vector<QZChar>(units, units + 4), (std::vector<QZChar>{1, 0x80000000u, 0, 9}));
}

// A string moved within its own buffer, in either direction, arrives whole.
TEST(StrCpy, OverlappingStringsArriveIntact) {
  char up[16] = "abcdef";
  skStrCpy(up, up + 2);
  EXPECT_STREQ(up + 2, "abcdef");
  char down[16] = "xyabcdef";
  skStrCpy(down + 2, down);
  EXPECT_STREQ(down, "abcdef");
  QZChar units[8] = {1, 2, 3, 4, 0};
  skStrTCpy(units, units + 1);
  EXPECT_EQ(std::vector<QZChar>(units + 1, units + 6), (std::vector<QZChar>{1, 2, 3, 4, 0}));
}

TEST(StrUp, OnlyAsciiLowerCaseChanges) {
  std::array<char, 256> bytes;
  for (int i = 0; i < 256; ++i)
    bytes[i] = static_cast<char>(i);
  skStrUp(bytes.data(), 256); // includes the NUL at 0: no terminator is looked for
  for (int i = 0; i < 256; ++i) {
    const int expected = (i >= 'a' && i <= 'z') ? i - 0x20 : i;
    EXPECT_EQ(static_cast<uint8_t>(bytes[i]), expected) << i;
  }
  char tail[] = "ab";
  skStrUp(tail, 1);
  EXPECT_STREQ(tail, "Ab");
}

TEST(MemNot, AllUnitsEqualTheValue) {
  const uint8_t same[] = {0x41, 0x41, 0x41, 0x41};
  const uint8_t last_differs[] = {0x41, 0x41, 0x41, 0x42};
  const uint8_t first_differs[] = {0x40, 0x41, 0x41, 0x41};
  EXPECT_EQ(skMemNot(0x41, nullptr, 0), 1);
  EXPECT_EQ(skMemNot(0x41, same, 4), 1);
  EXPECT_EQ(skMemNot(0x141, same, 4), 1); // low 8 bits of the value
  EXPECT_EQ(skMemNot(0x42, same, 4), 0);
  EXPECT_EQ(skMemNot(0x41, last_differs, 4), 0);
  EXPECT_EQ(skMemNot(0x41, last_differs, 3), 1);
  EXPECT_EQ(skMemNot(0x41, first_differs, 4), 0);
  EXPECT_EQ(skMemNot(-1, "\xff", 1), 1);

  const QZChar units[] = {0x80000000u, 0x80000000u, 5};
  EXPECT_EQ(skMemTNot(0, nullptr, 0), 1);
  EXPECT_EQ(skMemTNot(0x80000000u, units, 2), 1);
  EXPECT_EQ(skMemTNot(0x80000000u, units, 3), 0);
  EXPECT_EQ(skMemTNot(0, units, 1), 0);
}

TEST(MemSet, FillsExactlyTheLength) {
  uint8_t bytes[6] = {1, 1, 1, 1, 1, 1};
  skMemSet(bytes + 1, 0x1ab, 4);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 6),
            (std::vector<uint8_t>{1, 0xab, 0xab, 0xab, 0xab, 1}));
  skMemSet(nullptr, 0, 0);

  QZChar units[5] = {};
  skMemTSet(units + 1, 0xdeadbeefu, 3);
  EXPECT_EQ(units[0], 0u);
  EXPECT_EQ(units[1], 0xdeadbeefu);
  EXPECT_EQ(units[3], 0xdeadbeefu);
  EXPECT_EQ(units[4], 0u);
  skMemTSet(nullptr, 1, 0);
}

TEST(MemCmp, UnsignedBytesAndExactlyOne) {
  struct Case {
    std::string a, b;
    int32_t result;
  };
  const Case cases[] = {
      {"", "", 0},
      {"\x80", "\x7f", 1},
      {"\x7f", "\x80", -1},
      {"\xff", "\x00", 1}, // a raw difference would be 255
      {std::string("\x00", 1), "\xff", -1},
      {"abcx", "abcd", 1},
      {"abc", "abc", 0},
      {"abcd", "abdc", -1},
  };
  for (const Case &c : cases) {
    const auto length = static_cast<uint32_t>(std::max(c.a.size(), c.b.size()));
    EXPECT_EQ(skMemCmp(c.a.data(), c.b.data(), length), c.result) << c.a << " " << c.b;
  }
  EXPECT_EQ(skMemCmp("abcx", "abcd", 3), 0);
}

TEST(WMemCmp, SignOfTheWrapAroundDifference) {
  struct Case {
    QZChar a, b;
    int32_t result;
  };
  const Case cases[] = {
      {'a', 'b', -1},       {'b', 'a', 1},
      {0x10ffff, 0, 1},     {0xffffffffu, 0, -1}, // difference -1
      {0, 0xffffffffu, 1},                        // difference +1
      {0x80000000u, 0, -1},                       // difference INT32_MIN, both ways
      {0, 0x80000000u, -1}, {0x7fffffffu, 0, 1},
  };
  for (const Case &c : cases) {
    const QZChar first[] = {'x', c.a, 'y'};
    const QZChar second[] = {'x', c.b, 'z'};
    EXPECT_EQ(skWMemCmp(first, second, 3), c.result) << std::hex << c.a << " " << c.b;
  }
  const QZChar same[] = {1, 2, 3};
  EXPECT_EQ(skWMemCmp(same, same, 3), 0);
  EXPECT_EQ(skWMemCmp(nullptr, nullptr, 0), 0);
}

// Runs `copy` for every length up to 20 and every placement of source and
// destination within one buffer, against `reference` on a second buffer.
template <typename Copy, typename Reference> void EveryPlacement(Copy copy, Reference reference) {
  constexpr int kSize = 48;
  std::array<uint8_t, kSize> original;
  for (int i = 0; i < kSize; ++i)
    original[i] = static_cast<uint8_t>(i * 37 + 11);
  for (int length = 0; length <= 20; ++length) {
    for (int from = 0; from + length <= kSize; ++from) {
      for (int to = 0; to + length <= kSize; ++to) {
        std::array<uint8_t, kSize> buffer = original, expected = original;
        copy(buffer.data() + from, buffer.data() + to, length);
        reference(expected.data() + from, expected.data() + to, length);
        ASSERT_EQ(buffer, expected) << "length " << length << " from " << from << " to " << to;
      }
    }
  }
}

TEST(MemSCpy, MatchesCopyThroughTemporaryForEveryPlacement) {
  EveryPlacement(
      [](uint8_t *from, uint8_t *to, int length) { ASSERT_EQ(skMemSCpy(from, to, length), to); },
      [](uint8_t *from, uint8_t *to, int length) {
        const std::vector<uint8_t> temporary(from, from + length);
        std::copy(temporary.begin(), temporary.end(), to);
      });
}

// A forward byte copy: onto a destination that overlaps from above, the
// first `gap` source bytes repeat; otherwise the same as a plain copy.
TEST(MemCpy, ForwardByteCopyForEveryPlacement) {
  EveryPlacement([](uint8_t *from, uint8_t *to, int length) { skMemCpy(from, to, length); },
                 [](uint8_t *from, uint8_t *to, int length) {
                   for (int i = 0; i < length; ++i)
                     to[i] = from[i];
                 });
  char pattern[] = "abcdefghij";
  skMemCpy(pattern, pattern + 3, 7);
  EXPECT_STREQ(pattern, "abcabcabca");
}

TEST(MemScan, FirstMatchOrMinusOne) {
  const char abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(skMemScan(abc, 3, 'c'), 2);
  EXPECT_EQ(skMemScan(abc, 3, 'a'), 0);
  EXPECT_EQ(skMemScan(abc, 3, 'c' + 0x100), 2); // low 8 bits
  EXPECT_EQ(skMemScan(abc, 3, 'd'), -1);
  EXPECT_EQ(skMemScan(abc, 2, 'c'), -1);
  EXPECT_EQ(skMemScan(nullptr, 3, 'c'), -1);
  EXPECT_EQ(skMemScan(abc, 0, 'a'), -1);
  EXPECT_EQ(skMemScan("\x01\xff", 2, -1), 1);
}

TEST(MemNScan, FirstDifferenceOrMinusOne) {
  const char bytes[] = {' ', ' ', 'x', ' '};
  EXPECT_EQ(skMemNScan(bytes, 4, ' '), 2);
  EXPECT_EQ(skMemNScan(bytes, 2, ' '), -1);
  EXPECT_EQ(skMemNScan(bytes, 4, 'q'), 0);
  EXPECT_EQ(skMemNScan(bytes, 4, ' ' + 0x300), 2);
  EXPECT_EQ(skMemNScan(nullptr, 4, ' '), -1);
  EXPECT_EQ(skMemNScan(bytes, 0, 'q'), -1);

  const QZChar units[] = {0xfffffff0u, 0xfffffff0u, 0xfffffff1u};
  EXPECT_EQ(skMemTNScan(units, 3, 0xfffffff0u), 2);
  EXPECT_EQ(skMemTNScan(units, 2, 0xfffffff0u), -1);
  EXPECT_EQ(skMemTNScan(units, 3, 0), 0);
  EXPECT_EQ(skMemTNScan(nullptr, 3, 0), -1);
  EXPECT_EQ(skMemTNScan(units, 0, 0), -1);
}

TEST(ByteOrder, ReversesBytesInPlace) {
  const std::vector<std::vector<uint8_t>> cases = {
      {}, {1}, {1, 2}, {1, 2, 3}, {1, 2, 3, 4}, {1, 2, 3, 4, 5, 6, 7, 8}};
  for (const auto &input : cases) {
    std::vector<uint8_t> buffer = input;
    buffer.push_back(0xee); // guard
    EXPECT_EQ(qzzbytrv(buffer.data(), static_cast<uint32_t>(input.size())), QZ_OK);
    std::vector<uint8_t> expected(input.rbegin(), input.rend());
    expected.push_back(0xee);
    EXPECT_EQ(buffer, expected) << input.size();
  }
  EXPECT_EQ(qzzbytrv(nullptr, 0), QZ_OK);
}

TEST(ByteOrder, ReversesUnitsInPlace) {
  for (uint32_t count = 0; count <= 6; ++count) {
    QZChar units[7];
    for (uint32_t i = 0; i < 7; ++i)
      units[i] = 100 + i;
    qzztchrv(units, count);
    for (uint32_t i = 0; i < count; ++i)
      EXPECT_EQ(units[i], 100 + count - 1 - i) << count;
    EXPECT_EQ(units[count], 100 + count) << "past the end, count " << count;
  }
  QZChar five[] = {1, 2, 3, 4, 5};
  qzztchrv(five, 5);
  EXPECT_EQ(five[2], 3u);
}

double FromBits(uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

TEST(MissArray, TopSixteenBitsAllOnes) {
  struct Case {
    uint64_t bits;
    int32_t missing;
  };
  const Case cases[] = {
      {0xffff000000000000ull, 1}, {0xffffffffffffffffull, 1}, {0xffff123456789abcull, 1},
      {0x7ff8000000000000ull, 0}, // a quiet NaN
      {0xfff8000000000000ull, 0}, // a negative NaN
      {0xfffe000000000000ull, 0}, {0x0000000000000000ull, 0}, {0x3ff0000000000000ull, 0},
  };
  for (const Case &c : cases) {
    const double array[] = {1.0, FromBits(c.bits), 2.0};
    EXPECT_EQ(skMissArray(array, 3), c.missing) << std::hex << c.bits;
  }
  const double array[] = {1.0, FromBits(0xffff000000000001ull)};
  EXPECT_EQ(skMissArray(array, 1), 0); // beyond the count
  EXPECT_EQ(skMissArray(nullptr, 0), 0);
  EXPECT_EQ(skMissArray(array, 2), 1);
}

TEST(Unsup, AlwaysUnsupported) {
  EXPECT_EQ(skUnsup(), QZS_UNSUPPORTED);
}

class MemDup : public qztest::KernelTest {
protected:
  void SetUp() override {
    KernelTest::SetUp();
    const QZObjectOptions options{};
    pool_ = kernel_->create_pool(kernel_, &options, 0, "rt test pool");
    ASSERT_NE(pool_, nullptr);
  }
  void TearDown() override {
    if (pool_ != nullptr) {
      EXPECT_EQ(pool_->destroy(pool_), QZ_OK);
    }
    KernelTest::TearDown();
  }
  QZPool *pool_ = nullptr;
};

TEST_F(MemDup, CopiesIntoANewBlockOfThePool) {
  const char source[] = "\x00qz\xff";
  const uint32_t before = qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION);
  void *block = skMemDup(source, 4, pool_);
  ASSERT_NE(block, nullptr);
  EXPECT_NE(block, static_cast<const void *>(source));
  EXPECT_EQ(std::memcmp(block, source, 4), 0);
  EXPECT_EQ(qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION), before + 1);
  EXPECT_EQ(Stats().blocks, 1u);
  EXPECT_EQ(Stats().bytes, 4u);
  EXPECT_EQ(pool_->free_block(pool_, block), QZ_OK);
  EXPECT_EQ(Stats().blocks, 0u);
}

TEST_F(MemDup, NullWithoutAllocatingOrWhenAllocationFails) {
  const char source[] = "abc";
  const uint32_t before = qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION);
  EXPECT_EQ(skMemDup(source, 3, nullptr), nullptr);
  EXPECT_EQ(skMemDup(nullptr, 3, pool_), nullptr);
  EXPECT_EQ(skMemDup(source, 0, pool_), nullptr);
  EXPECT_EQ(qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION), before);
  qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 1);
  EXPECT_EQ(skMemDup(source, 3, pool_), nullptr);
  EXPECT_EQ(Stats().blocks, 0u);
}

} // namespace

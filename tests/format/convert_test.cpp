// The string and integer converters and the unit search, through the
// library's exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "qzioe/extension.h"
#include "qzioe/format.h"

namespace {

constexpr QZChar kUntouched = 0x2au;

// Every base the converters accept, against the C++ library's digits.
TEST(IntegerDigits, AgreeWithToCharsInEveryBase) {
  std::mt19937_64 random(3);
  std::vector<uint64_t> values = {0,         1, 15, 16, 255, UINT32_MAX, uint64_t{UINT32_MAX} + 1,
                                  UINT64_MAX};
  for (int i = 0; i < 400; ++i)
    values.push_back(random() >> (random() % 64));
  for (const uint64_t value : values) {
    for (uint32_t base = 0; base <= 40; ++base) {
      const uint32_t used = base > 16 ? 16 : base < 2 ? 10 : base;
      for (const bool upper : {false, true}) {
        char expected[65];
        const auto end = std::to_chars(expected, expected + 65, value, static_cast<int>(used)).ptr;
        std::string want(expected, end);
        if (upper) std::transform(want.begin(), want.end(), want.begin(), ::toupper);
        QZChar out[70];
        uint32_t count = 0;
        ASSERT_EQ(skzfIMax(value, base, upper, out, 64, &count), QZ_OK);
        ASSERT_EQ(qztest::Narrow(out, count), want) << value << " base " << base;
        if (value <= UINT32_MAX) {
          ASSERT_EQ(skzfIFast(static_cast<uint32_t>(value), base, upper, out, 32, &count), QZ_OK);
          ASSERT_EQ(qztest::Narrow(out, count), want) << value << " base " << base;
        }
      }
    }
  }
}

TEST(IntegerDigits, ExactCapacityAndOneShort) {
  QZChar out[80];
  for (const uint64_t value : {uint64_t{0}, uint64_t{255}, UINT64_MAX}) {
    for (const uint32_t base : {2u, 10u, 16u}) {
      uint32_t need = 0;
      ASSERT_EQ(skzfIMax(value, base, 0, out, 80, &need), QZ_OK);
      std::fill_n(out, 80, kUntouched);
      uint32_t count = 0;
      EXPECT_EQ(skzfIMax(value, base, 0, out, need - 1, &count), QZS_BUFFER_TOO_SMALL);
      EXPECT_EQ(count, need);
      EXPECT_EQ(out[0], kUntouched);
      EXPECT_EQ(skzfIMax(value, base, 0, out, need, nullptr), QZ_OK);
      EXPECT_EQ(out[need], kUntouched);
      if (value <= UINT32_MAX) {
        std::fill_n(out, 80, kUntouched);
        EXPECT_EQ(skzfIFast(static_cast<uint32_t>(value), base, 0, out, need - 1, &count),
                  QZS_BUFFER_TOO_SMALL);
        EXPECT_EQ(count, need);
        EXPECT_EQ(out[0], kUntouched);
      }
    }
  }
}

TEST(QZString, CopiesWholeOrNothing) {
  const QZChar text[] = {'a', 0, 0x10ffff};
  QZChar out[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
  uint32_t count = 99;
  EXPECT_EQ(skzfQZString(nullptr, 5, out, 0, &count), QZ_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(skzfQZString(text, 3, out, 2, &count), QZS_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(out[0], kUntouched);
  EXPECT_EQ(skzfQZString(text, 3, out, 3, &count), QZ_OK);
  EXPECT_EQ(std::vector<QZChar>(out, out + 4), (std::vector<QZChar>{'a', 0, 0x10ffff, kUntouched}));
}

TEST(Spos, FirstMatchingUnit) {
  const QZChar text[] = {'a', '%', 'b', '%'};
  EXPECT_EQ(qzzspos(text, 4, '%'), 1);
  EXPECT_EQ(qzzspos(text, 1, '%'), -1);
  EXPECT_EQ(qzzspos(text, 4, 'c'), -1);
  EXPECT_EQ(qzzspos(text, 0, 'a'), -1);
  EXPECT_EQ(qzzspos(text, -1, 'a'), -1);
  EXPECT_EQ(qzzspos(nullptr, 4, 'a'), -1);
}

class ByteString : public qztest::KernelTest {
protected:
  void SetUp() override {
    KernelTest::SetUp();
    qzextent(kernel_);
  }
  void TearDown() override {
    qzextent(nullptr);
    KernelTest::TearDown();
  }
};

TEST_F(ByteString, OneUnitPerByte) {
  QZChar out[8];
  std::fill_n(out, 8, kUntouched);
  uint32_t count = 0;
  EXPECT_EQ(skzfString("a\xff\x80", 3, out, 2, &count), QZS_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(out[0], kUntouched);
  EXPECT_EQ(skzfString("a\xff\x80", 3, out, 3, &count), QZ_OK);
  EXPECT_EQ(std::vector<QZChar>(out, out + 4), (std::vector<QZChar>{'a', 0xff, 0x80, kUntouched}));
  EXPECT_EQ(skzfString(nullptr, 3, out, 0, &count), QZ_OK);
  EXPECT_EQ(count, 0u);
}

// Units the transcoder does not produce are never the buffer's old content.
TEST_F(ByteString, UnproducedUnitsAreReplacements) {
  QZChar out[4];
  std::fill_n(out, 4, kUntouched);
  uint32_t count = 0;
  qzk_fail_nth(kernel_, QZK_FAULT_CONVERT, 1);
  EXPECT_EQ(skzfString("ab", 2, out, 4, &count), QZ_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(std::vector<QZChar>(out, out + 3),
            (std::vector<QZChar>{QZ_FORMAT_REPLACEMENT, QZ_FORMAT_REPLACEMENT, kUntouched}));

  QZKOptions options{"UTF-8"};
  QZHandle *utf8 = qzk_kernel_create(&options);
  ASSERT_NE(utf8, nullptr);
  qzextent(utf8);
  EXPECT_EQ(skzfString("\xc3\xa9", 2, out, 4, &count), QZ_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(std::vector<QZChar>(out, out + 2), (std::vector<QZChar>{0xe9, QZ_FORMAT_REPLACEMENT}));
  qzextent(kernel_);
  qzk_kernel_destroy(utf8);
}

TEST_F(ByteString, WithoutTheKernel) {
  qzextent(nullptr);
  QZChar out[4] = {kUntouched};
  uint32_t count = 9;
  EXPECT_EQ(skzfString("ab", 2, out, 4, &count), QZIOE_BAD_HANDLE);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(out[0], kUntouched);
  EXPECT_EQ(skzfString("", 0, out, 4, &count), QZ_OK); // nothing to convert
}

} // namespace

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

// Every base the converters accept against the C++ library's digits; one
// unit less room than needed writes nothing and still reports the need.
TEST(IntegerDigits, AgreeWithToCharsInEveryBase) {
  std::mt19937_64 random(3);
  std::vector<uint64_t> values = {0,         1, 15, 16, 255, UINT32_MAX, uint64_t{UINT32_MAX} + 1,
                                  UINT64_MAX};
  for (int i = 0; i < 400; ++i)
    values.push_back(random() >> (random() % 64));
  for (const uint64_t value : values) {
    for (uint32_t base = 0; base <= 40; ++base) {
      const uint32_t used = base > 16 ? 16 : base < 2 ? 10 : base;
      const bool upper = base % 2 == 1;
      char expected[65];
      std::string want(expected, std::to_chars(expected, expected + 65, value, used).ptr);
      if (upper) std::transform(want.begin(), want.end(), want.begin(), ::toupper);
      const auto need = static_cast<uint32_t>(want.size());
      QZChar out[70];
      uint32_t count = 0;
      ASSERT_EQ(skzfIMax(value, base, upper, out, need, &count), QZ_OK);
      ASSERT_EQ(qztest::Narrow(out, count), want) << value << " base " << base;
      std::fill_n(out, 70, kUntouched);
      ASSERT_EQ(skzfIMax(value, base, upper, out, need - 1, &count), QZS_BUFFER_TOO_SMALL);
      ASSERT_EQ(count, need);
      ASSERT_EQ(out[0], kUntouched);
      if (value > UINT32_MAX) continue;
      const auto small = static_cast<uint32_t>(value);
      ASSERT_EQ(skzfIFast(small, base, upper, out, need, &count), QZ_OK);
      ASSERT_EQ(qztest::Narrow(out, count), want) << value << " base " << base;
      std::fill_n(out, 70, kUntouched);
      ASSERT_EQ(skzfIFast(small, base, upper, out, need - 1, &count), QZS_BUFFER_TOO_SMALL);
      ASSERT_EQ(count, need);
      ASSERT_EQ(out[0], kUntouched);
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
  std::vector<QZChar> Convert(const char *bytes, uint32_t length, QZStatus want) {
    std::vector<QZChar> out(length + 1, kUntouched);
    uint32_t count = 99;
    EXPECT_EQ(skzfString(bytes, length, out.data(), length, &count), want);
    EXPECT_EQ(count, want == QZ_OK ? length : 0);
    return out;
  }
};

TEST_F(ByteString, OneUnitPerByte) {
  QZChar out[2] = {kUntouched};
  uint32_t count = 0;
  EXPECT_EQ(skzfString("a\xff\x80", 3, out, 2, &count), QZS_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(out[0], kUntouched);
  EXPECT_EQ(Convert("a\xff\x80", 3, QZ_OK), (std::vector<QZChar>{'a', 0xff, 0x80, kUntouched}));
  EXPECT_EQ(skzfString(nullptr, 3, out, 0, &count), QZ_OK);
  EXPECT_EQ(count, 0u);
}

// Units the transcoder does not produce are never the buffer's old content:
// a failed conversion, and a two-byte character of a UTF-8 kernel.
TEST_F(ByteString, UnproducedUnitsAreReplacements) {
  constexpr QZChar kFill = QZ_FORMAT_REPLACEMENT;
  qzk_fail_nth(kernel_, QZK_FAULT_CONVERT, 1);
  EXPECT_EQ(Convert("ab", 2, QZ_OK), (std::vector<QZChar>{kFill, kFill, kUntouched}));
  QZKOptions options{"UTF-8"};
  QZHandle *utf8 = qzk_kernel_create(&options);
  ASSERT_NE(utf8, nullptr);
  qzextent(utf8);
  EXPECT_EQ(Convert("\xc3\xa9", 2, QZ_OK), (std::vector<QZChar>{0xe9, kFill, kUntouched}));
  qzextent(kernel_);
  qzk_kernel_destroy(utf8);
}

TEST_F(ByteString, WithoutTheKernel) {
  qzextent(nullptr);
  EXPECT_EQ(Convert("ab", 2, QZIOE_BAD_HANDLE)[0], kUntouched);
  uint32_t count = 9;
  EXPECT_EQ(skzfString("ab", 2, nullptr, 0, &count), QZIOE_BAD_HANDLE); // whatever the room
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(Convert("", 0, QZ_OK).size(), 1u); // nothing to convert
}

} // namespace

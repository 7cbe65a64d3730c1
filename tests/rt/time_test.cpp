// Clock readings against the system clock, and the time-zone offset taken
// from the kernel handle.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <cmath>
#include <cstdint>
#include <ctime>

#include "harness.h"
#include "qzioe/extension.h"
#include "qzioe/runtime.h"

namespace {

double SystemNow() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1e6;
}

TEST(Bkztod, ReadsTheSystemClock) {
  const double before = SystemNow();
  const double now = bkztod();
  const double after = SystemNow();
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

class Dtgmt : public qztest::KernelTest {
protected:
  void SetUp() override {
    KernelTest::SetUp();
    ASSERT_EQ(qzextent(kernel_), kernel_);
  }
  void TearDown() override {
    qzextent(nullptr);
    KernelTest::TearDown();
  }
};

TEST_F(Dtgmt, GmtSince1960) {
  const double before = SystemNow();
  const double now = qzzdtgmt(nullptr);
  const double after = SystemNow();
  EXPECT_GE(now, before + 315619200.0);
  EXPECT_LE(now, after + 315619200.0);
}

TEST_F(Dtgmt, OffsetIsTheNegatedZone) {
  struct Case {
    int32_t west;
    double offset;
  };
  const Case cases[] = {
      {3600, -3600.0},           {-19800, 19800.0}, {0, 0.0}, {INT32_MAX, -2147483647.0},
      {INT32_MIN, 2147483648.0}, // does not fit a 32-bit negation
  };
  for (const Case &c : cases) {
    qzk_set_timezone(kernel_, c.west);
    double offset = 12345.0;
    const double now = qzzdtgmt(&offset);
    EXPECT_EQ(offset, c.offset) << c.west;
    EXPECT_GT(now, 1.6e9 + 315619200.0); // the zone does not shift the GMT result
  }
}

TEST_F(Dtgmt, NoKernelOrNoZoneMeansGmt) {
  qzk_set_timezone(kernel_, 3600);
  qzextent(nullptr);
  double offset = 1.0;
  EXPECT_GT(qzzdtgmt(&offset), 315619200.0);
  EXPECT_EQ(offset, 0.0);

  QZHandle without_zone{}; // word 56 null
  qzextent(&without_zone);
  offset = 1.0;
  EXPECT_GT(qzzdtgmt(&offset), 315619200.0);
  EXPECT_EQ(offset, 0.0);
}

TEST(Qzztime, LocalTimeOfDay) {
  // Retried when the second turns over between the readings.
  for (int attempt = 0; attempt < 5; ++attempt) {
    const time_t before = static_cast<time_t>(std::floor(SystemNow()));
    int32_t hour = -1, minute = -1;
    double seconds = -1.0;
    ASSERT_EQ(qzztime(&hour, &minute, &seconds), QZ_OK);
    if (static_cast<time_t>(std::floor(SystemNow())) != before) continue;
    tm local{};
    ASSERT_NE(localtime_r(&before, &local), nullptr);
    EXPECT_EQ(hour, local.tm_hour);
    EXPECT_EQ(minute, local.tm_min);
    EXPECT_GE(seconds, local.tm_sec);
    EXPECT_LT(seconds, local.tm_sec + 1.0);
    return;
  }
  FAIL() << "the clock kept turning over";
}

} // namespace

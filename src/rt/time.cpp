// Clock readings: seconds since 1970 and since 1960, and the local time of day.
#include <sys/time.h>

#include <cstdint>
#include <ctime>

#include "qzioe/extension.h"
#include "qzioe/runtime.h"

namespace {

double seconds_of(const timeval &clock) noexcept {
  return static_cast<double>(clock.tv_sec) + static_cast<double>(clock.tv_usec) / 1000000.0;
}

double seconds_now() noexcept {
  timeval clock{};
  gettimeofday(&clock, nullptr);
  return seconds_of(clock);
}

// Seconds to add to GMT for local time. A kernel that has not handed over
// its handle, or gives no zone, counts as GMT.
double local_offset() noexcept {
  const QZHandle *kernel = Exported_QZHandle;
  if (kernel == nullptr || kernel->timezone_west == nullptr) return 0.0;
  // Negated in 64 bits: -INT32_MIN does not fit in 32.
  return static_cast<double>(-static_cast<int64_t>(*kernel->timezone_west));
}

} // namespace

extern "C" {

QZ_EXPORT double bkztod(void) noexcept {
  return seconds_now();
}

QZ_EXPORT double qzzdtgmt(double *offset) noexcept {
  if (offset != nullptr) *offset = local_offset();
  return seconds_now() + QZ_EPOCH_1960_TO_1970;
}

QZ_EXPORT QZStatus qzztime(int32_t *hour, int32_t *minute, double *seconds) noexcept {
  timeval now{};
  gettimeofday(&now, nullptr);
  const time_t whole = now.tv_sec;
  tm local{};
  if (localtime_r(&whole, &local) == nullptr) local = tm{}; // outside the zone tables
  if (hour != nullptr) *hour = local.tm_hour;
  if (minute != nullptr) *minute = local.tm_min;
  if (seconds != nullptr)
    *seconds = static_cast<double>(local.tm_sec) + static_cast<double>(now.tv_usec) / 1000000.0;
  return QZ_OK;
}

} // extern "C"

// Digits of unsigned integers in any base from 2 to 16.
#include <algorithm>

#include "format/internal.h"

namespace {

constexpr QZChar kLowTable[17] = {'0', '1', '2', '3', '4', '5', '6', '7', '8',
                                  '9', 'a', 'b', 'c', 'd', 'e', 'f', 0};
constexpr QZChar kUpTable[17] = {'0', '1', '2', '3', '4', '5', '6', '7', '8',
                                 '9', 'A', 'B', 'C', 'D', 'E', 'F', 0};

QZStatus put_digits(uint64_t value, uint32_t base, uint8_t uppercase, QZChar *destination,
                    uint32_t capacity, uint32_t *count) {
  QZChar local[ioe::kMaxIntegerUnits];
  QZChar *const end = local + ioe::kMaxIntegerUnits;
  const uint32_t length = ioe::unsigned_digits(value, ioe::usable_base(base), uppercase != 0, end);
  if (count != nullptr) *count = length;
  if (length > capacity) return QZS_BUFFER_TOO_SMALL;
  std::copy(end - length, end, destination);
  return QZ_OK;
}

// The common bases divide by a constant, which the compiler turns into a
// multiplication or a shift.
template <uint32_t kBase> QZChar *small_digits(uint32_t value, const QZChar *table, QZChar *out) {
  do {
    *--out = table[value % kBase];
    value /= kBase;
  } while (value != 0);
  return out;
}

QZChar *any_digits(uint32_t value, uint32_t base, const QZChar *table, QZChar *out) {
  switch (base) {
  case 16:
    return small_digits<16>(value, table, out);
  case 8:
    return small_digits<8>(value, table, out);
  default:
    do {
      *--out = table[value % base];
      value /= base;
    } while (value != 0);
    return out;
  }
}

} // namespace

uint32_t ioe::unsigned_digits(uint64_t value, uint32_t base, bool uppercase, QZChar *end) {
  if (base == 10) return static_cast<uint32_t>(end - decimal_digits(value, end));
  const QZChar *table = uppercase ? kUpTable : kLowTable;
  QZChar *out = end;
  // Above 32 bits a digit takes two division steps.
  while (value > UINT32_MAX) {
    uint32_t remainder = 0;
    const uint32_t high = divide_step(0, static_cast<uint32_t>(value >> 32), base, remainder);
    const uint32_t low = divide_step(remainder, static_cast<uint32_t>(value), base, remainder);
    value = (uint64_t{high} << 32) | low;
    *--out = table[remainder];
  }
  out = any_digits(static_cast<uint32_t>(value), base, table, out);
  return static_cast<uint32_t>(end - out);
}

extern "C" {

QZ_EXPORT QZStatus skzfIFast(uint32_t value, uint32_t base, uint8_t uppercase, QZChar *destination,
                             uint32_t capacity, uint32_t *count) noexcept {
  return put_digits(value, base, uppercase, destination, capacity, count);
}

QZ_EXPORT QZStatus skzfIMax(uint64_t value, uint32_t base, uint8_t uppercase, QZChar *destination,
                            uint32_t capacity, uint32_t *count) noexcept {
  return put_digits(value, base, uppercase, destination, capacity, count);
}

} // extern "C"

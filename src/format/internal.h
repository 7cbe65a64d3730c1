// Shared internals of the formatter and its converters.
#pragma once

#include <cstdint>
#include <cstring>

#include "qzioe/format.h"

namespace ioe {

// A bound that arithmetic on a fixed area relies on; breaking it would write
// past the area, so it stops the process instead.
inline void check_bound(bool holds) {
  if (!holds) __builtin_trap();
}

// The index of the first `unit` among `length` units, or -1.
inline int64_t find_unit(const QZChar *units, uint32_t length, QZChar unit) {
  for (uint32_t i = 0; i < length; ++i)
    if (units[i] == unit) return i;
  return -1;
}

// ---- Integers ----

// Longest digit run: a 64-bit value in base 2.
constexpr uint32_t kMaxIntegerUnits = 64;

// 64-by-32 division whose quotient fits 32 bits (high < divisor).
inline uint32_t divide_step(uint32_t high, uint32_t low, uint32_t divisor, uint32_t &remainder) {
#if defined(__i386__)
  // The C++ form would call the 64-bit division helper of libgcc.
  uint32_t quotient;
  __asm__("divl %[divisor]"
          : "=a"(quotient), "=d"(remainder)
          : "a"(low), "d"(high), [divisor] "rm"(divisor));
  return quotient;
#else
  const uint64_t dividend = (uint64_t{high} << 32) | low;
  remainder = static_cast<uint32_t>(dividend % divisor);
  return static_cast<uint32_t>(dividend / divisor);
#endif
}

// Every number below 100 as two decimal digits.
inline constexpr char kDigitPairs[] = "00010203040506070809101112131415161718192021222324"
                                      "25262728293031323334353637383940414243444546474849"
                                      "50515253545556575859606162636465666768697071727374"
                                      "75767778798081828384858687888990919293949596979899";

// Writes the last two decimal digits of `value` just before `end`;
// returns the rest of it.
template <typename Char>
[[gnu::always_inline]] inline uint32_t put_digit_pair(uint32_t value, Char *end) {
  const uint32_t quotient = value / 100;
  const uint32_t pair = (value - quotient * 100) * 2;
  end[-2] = static_cast<unsigned char>(kDigitPairs[pair]);
  end[-1] = static_cast<unsigned char>(kDigitPairs[pair + 1]);
  return quotient;
}

// Writes `value` (below 10^count) as exactly `count` digits ending just
// before `end`, two a division.
template <typename Char>
inline void fixed_decimal_digits(uint32_t value, int32_t count, Char *end) {
  for (; count >= 2; count -= 2, end -= 2)
    value = put_digit_pair(value, end);
  if (count == 1) end[-1] = static_cast<Char>('0' + value);
}

// The decimal digits of `value` backwards, the last just before `end`, two
// a division; returns the first.
// Inlined always: the formatter's writers are too large for the compiler
// to inline them by itself, and a call costs a short field as much again.
template <typename Char>
[[gnu::always_inline]] inline Char *decimal_digits(uint32_t value, Char *end) {
  for (; value >= 100; end -= 2)
    value = put_digit_pair(value, end);
  if (value < 10) {
    *--end = static_cast<Char>('0' + value);
    return end;
  }
  put_digit_pair(value, end);
  return end - 2;
}

// The decimal digits of a 64-bit `value` backwards, the last just before
// `end`; above 32 bits it is split into nine-digit chunks with 64-by-32
// steps. Returns the first.
template <typename Char> inline Char *decimal_digits(uint64_t value, Char *end) {
  while (value > UINT32_MAX) {
    uint32_t rest = 0;
    const uint32_t high = divide_step(0, static_cast<uint32_t>(value >> 32), 1000000000u, rest);
    const uint32_t low = divide_step(rest, static_cast<uint32_t>(value), 1000000000u, rest);
    value = (uint64_t{high} << 32) | low;
    fixed_decimal_digits(rest, 9, end);
    end -= 9;
  }
  return decimal_digits(static_cast<uint32_t>(value), end);
}

[[gnu::always_inline]] inline uint32_t decimal_length(uint32_t value) {
  if (value < 100000)
    return 1 + (value >= 10) + (value >= 100) + (value >= 1000) + (value >= 10000);
  return 6 + (value >= 1000000) + (value >= 10000000) + (value >= 100000000) +
         (value >= 1000000000);
}

[[gnu::always_inline]] inline uint32_t hex_length(uint32_t value) {
  return value == 0 ? 1 : (32 - static_cast<uint32_t>(__builtin_clz(value)) + 3) / 4;
}

// Every byte value as two hexadecimal digits.
struct HexPairs {
  char lower[512];
  char upper[512];
  constexpr HexPairs() : lower(), upper() {
    for (int i = 0; i < 256; ++i) {
      lower[2 * i] = "0123456789abcdef"[i >> 4];
      lower[2 * i + 1] = "0123456789abcdef"[i & 15];
      upper[2 * i] = "0123456789ABCDEF"[i >> 4];
      upper[2 * i + 1] = "0123456789ABCDEF"[i & 15];
    }
  }
};
inline constexpr HexPairs kHexPairs;

// The hexadecimal digits of `value` backwards, a byte a step; returns the
// first.
[[gnu::always_inline]] inline QZChar *hex_digits(uint32_t value, bool uppercase, QZChar *end) {
  const char *pairs = uppercase ? kHexPairs.upper : kHexPairs.lower;
  while (value >= 0x100) {
    const uint32_t pair = (value & 0xff) * 2;
    value >>= 8;
    end -= 2;
    end[0] = static_cast<unsigned char>(pairs[pair]);
    end[1] = static_cast<unsigned char>(pairs[pair + 1]);
  }
  *--end = static_cast<unsigned char>(pairs[value * 2 + 1]);
  if (value >= 0x10) *--end = static_cast<unsigned char>(pairs[value * 2]);
  return end;
}

// Writes the digits of `value` in `base` (2 to 16) backwards, the last one
// just before `end`; returns their number (at least 1).
uint32_t unsigned_digits(uint64_t value, uint32_t base, bool uppercase, QZChar *end);

// A base as the converters accept it: above 16 is 16, 0 and 1 are 10.
inline uint32_t usable_base(uint32_t base) {
  if (base > 16) return 16;
  return base < 2 ? 10 : base;
}

// ---- Byte strings ----

// The kernel's byte-to-QZChar transcoder, or null without one.
QZTranscoder *byte_transcoder();

// Converts `length` bytes into `length` units at `destination` (one unit per
// byte); units the transcoder does not produce hold QZ_FORMAT_REPLACEMENT.
void convert_bytes(QZTranscoder *transcoder, const char *bytes, uint32_t length,
                   QZChar *destination);

// ---- Exact decimal digits of a double ----

// |value| = significand * 2^exponent, significand below 2^53. The exponent
// field 2047 reads like any other, with its implicit bit.
struct Binary {
  uint64_t significand;
  int32_t exponent;
};

inline Binary decompose(uint64_t bits) {
  const auto field = static_cast<int32_t>((bits >> 52) & 0x7ff);
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  if (field == 0) return {fraction, -1074};
  return {fraction | (uint64_t{1} << 52), field - 1075};
}

inline uint64_t bits_of(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Digits of the largest integer part: below 2^1025.
constexpr int32_t kMaxIntegerDigits = 309;

// Writes every decimal digit of the integer part (trailing zeros included),
// most significant first, as '0' to '9' into `digits`, which holds
// kMaxIntegerDigits; returns their number, 0 for a magnitude below 1.
int32_t integer_part(Binary value, char *digits);

// The fraction of a double as an endless stream of exact decimal digits:
// the fraction, scaled so that its binary point sits on a limb boundary, is
// multiplied by 10^9 for each nine digits.
class FractionDigits {
public:
  explicit FractionDigits(Binary value);
  // True when every digit still to come is 0.
  bool exhausted() const { return low_ == size_ && unread_nonzero_ == 0; }
  char next();
  // Skips the zeros before the next non-zero digit and returns their number;
  // not for an exhausted stream.
  int32_t skip_zeros();

private:
  void refill();

  // 2^-1074 needs 1074 bits: 34 limbs.
  static constexpr int32_t kLimbs = 34;
  uint32_t limbs_[kLimbs]; // least significant first
  int32_t low_ = 0;        // limbs below this are 0
  int32_t high_ = 0;       // limbs from this up are 0
  int32_t size_ = 0;
  char chunk_[9];
  int32_t position_ = 9;       // next unread digit of chunk_
  int32_t unread_nonzero_ = 0; // non-zero digits of chunk_ not yet read
};

// ---- Text of a double ----

// Longest text: 309 integer digits and a carry, the point, 1077 decimals
// (g in fixed form adds up to 3 leading zeros to the precision), with the
// guard unit and the rounding digit in the work area; exponent form is
// shorter.
constexpr int32_t kDoubleArea = 1400;

struct DoubleText {
  char area[kDoubleArea]; // digits, the point's place, exponent
  int32_t first;          // the text is area[first, first + length)
  int32_t length;
  int32_t point;     // index in area of the decimal point, or -1
  QZChar special[3]; // infinity, NaN and missing-value texts
  int32_t special_length;
  bool zero_padding; // false for those texts: zeros would make them numbers

  int32_t size() const { return special_length != 0 ? special_length : length; }
  void copy_to(QZChar *destination, QZChar decimal_point) const;
};

// The text of conversion 'e', 'f' or 'g' of |value|; precision clamped to 0
// up to QZ_FORMAT_MAX_PRECISION.
void format_double(double value, char conversion, bool uppercase, int32_t precision, bool alternate,
                   DoubleText &text);

// A missing value has its top 16 bits all ones.
inline bool is_missing(uint64_t bits) {
  return (bits >> 48) == 0xffffu;
}

} // namespace ioe

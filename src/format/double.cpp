// Text of the e, f and g conversions from the exact digits of a double,
// rounded half-up on the exact expansion.
#include <algorithm>

#include "format/internal.h"

namespace {

// Holds the decimal point's place while rounding: a carry passes through it
// to the integer digits like through a 9.
constexpr char kPlaceholder = '9';

// The digits of |value| from its first integer digit on.
class DigitSource {
public:
  DigitSource(const char *integer, int32_t count, ioe::FractionDigits &fraction)
      : next_(integer), end_(integer + count), fraction_(fraction) {}
  char next() { return next_ != end_ ? *next_++ : fraction_.next(); }

private:
  const char *next_;
  const char *end_;
  ioe::FractionDigits &fraction_;
};

// Builds the text in the work area behind a guard "0" that takes a carry
// out of the first digit.
class Composer {
public:
  explicit Composer(ioe::DoubleText &text) : text_(text) { text_.area[0] = '0'; }

  // Integer digits (or one 0), then `decimals` fraction digits of which the
  // first `zeros` are known zeros already skipped in `fraction`.
  void fixed(const char *integer, int32_t count, ioe::FractionDigits &fraction, int32_t zeros,
             int32_t decimals) {
    if (count == 0) push('0');
    for (int32_t i = 0; i < count; ++i)
      push(integer[i]);
    point_ = end_;
    push(kPlaceholder);
    zeros = std::min(zeros, decimals + 1);
    for (int32_t i = 0; i < zeros; ++i)
      push('0');
    for (int32_t i = zeros; i <= decimals; ++i)
      push(fraction.next());
    // In fixed form a carry out of the first digit is one more integer digit.
    first_ = round() ? 0 : 1;
  }

  // One digit, the point and `decimals` digits from `source`, which starts at
  // the first significant digit, and the exponent.
  void exponent_form(DigitSource &source, int32_t exponent, int32_t decimals) {
    push(source.next());
    point_ = end_;
    push(kPlaceholder);
    for (int32_t i = 0; i <= decimals; ++i)
      push(source.next());
    if (round()) {
      // 9.99... became 10.00...: the same text as 1.00... one power up.
      text_.area[1] = '1';
      ++exponent;
    }
    first_ = 1;
    exponent_ = exponent;
    exponent_form_ = true;
  }

  void finish(bool strip, bool alternate, bool uppercase) {
    if (strip)
      while (end_ - 1 > point_ && text_.area[end_ - 1] == '0')
        --end_;
    if (alternate || end_ - 1 > point_) {
      text_.point = point_;
    } else {
      text_.point = -1;
      --end_; // the placeholder is the last unit
    }
    if (exponent_form_) {
      push(uppercase ? 'E' : 'e');
      push(exponent_ < 0 ? '-' : '+');
      const int32_t magnitude = exponent_ < 0 ? -exponent_ : exponent_;
      if (magnitude >= 100) push(static_cast<char>('0' + magnitude / 100));
      push(static_cast<char>('0' + magnitude / 10 % 10));
      push(static_cast<char>('0' + magnitude % 10));
    }
    text_.first = first_;
    text_.length = end_ - first_;
  }

private:
  void push(char unit) {
    ioe::check_bound(end_ < ioe::kDoubleArea);
    text_.area[end_++] = unit;
  }

  // Rounds half-up at the last unit, which is then dropped; true when the
  // carry reached the guard.
  bool round() {
    const char rounding = text_.area[--end_];
    if (rounding < '5') return false;
    int32_t i = end_ - 1;
    while (text_.area[i] == '9')
      text_.area[i--] = '0';
    ++text_.area[i];
    return i == 0;
  }

  ioe::DoubleText &text_;
  int32_t end_ = 1;
  int32_t first_ = 1;
  int32_t point_ = 0;
  int32_t exponent_ = 0;
  bool exponent_form_ = false;
};

// ---- Short precisions: the digits as one 64-bit integer ----
//
// Up to 17 digits after the point (e, f) or 17 significant ones (g), the
// digits shown are floor(|v| * 10^s) for one power s, and half-up rounding
// asks only whether the rest is at least one half. With |v| = m * 2^e both
// are exact integer arithmetic: m * 5^s shifted by e + s bits for s >= 0,
// one division by 10^-s * 2^-e otherwise, as long as the operands fit 64
// (the product 128) bits; outside that the digit streams above take over.

constexpr int32_t kFastPrecision = 17;

constexpr uint64_t kPow10[20] = {1ull,
                                 10ull,
                                 100ull,
                                 1000ull,
                                 10000ull,
                                 100000ull,
                                 1000000ull,
                                 10000000ull,
                                 100000000ull,
                                 1000000000ull,
                                 10000000000ull,
                                 100000000000ull,
                                 1000000000000ull,
                                 10000000000000ull,
                                 100000000000000ull,
                                 1000000000000000ull,
                                 10000000000000000ull,
                                 100000000000000000ull,
                                 1000000000000000000ull,
                                 10000000000000000000ull};

// 5^0 to 5^27, the powers below 2^63.
constexpr int32_t kMaxPow5 = 27;
struct Pow5 {
  uint64_t value[kMaxPow5 + 1];
  constexpr Pow5() : value() {
    value[0] = 1;
    for (int32_t i = 1; i <= kMaxPow5; ++i)
      value[i] = value[i - 1] * 5;
  }
};
constexpr Pow5 kPow5;

struct U128 {
  uint64_t high, low;
};

constexpr U128 multiply(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return {static_cast<uint64_t>(product >> 64), static_cast<uint64_t>(product)};
#else
  // Four 32-by-32 products: no 128-bit type on 32-bit x86.
  const uint64_t al = static_cast<uint32_t>(a), ah = a >> 32;
  const uint64_t bl = static_cast<uint32_t>(b), bh = b >> 32;
  const uint64_t ll = al * bl, lh = al * bh, hl = ah * bl, hh = ah * bh;
  const uint64_t middle = (ll >> 32) + static_cast<uint32_t>(lh) + static_cast<uint32_t>(hl);
  return {hh + (lh >> 32) + (hl >> 32) + (middle >> 32),
          (middle << 32) | static_cast<uint32_t>(ll)};
#endif
}

struct Scaled {
  uint64_t digits; // floor(|v| * 10^s)
  bool up;         // the rest is at least one half
};

// ---- Far powers: a table of 10^s to 128 bits ----
//
// Beyond the exact products above, |v| * 10^s comes from m times a 128-bit
// 10^s that is low by less than kCachedError units of its last place. The
// product then lies in a known small interval, and where that interval
// holds no integer and no half-integer, floor and rounding follow from it
// exactly; where it does, the digit streams decide. The table is built by
// the compiler, one multiplication or division by 10 from the next power,
// each rounded down: the error grows by less than one unit per step (the
// unit is below 2^-127 of the value), so 345 steps stay under 1024.

constexpr int32_t kMinCached = -310;
constexpr int32_t kMaxCached = 345;
constexpr uint64_t kCachedError = 1024;

struct CachedPower {
  uint64_t high, low; // high has its top bit set
  int32_t exponent;   // 10^s is about (high * 2^64 + low) * 2^exponent
};

constexpr CachedPower times_ten(CachedPower c) {
  const U128 low = multiply(c.low, 10);
  const U128 high = multiply(c.high, 10);
  const uint64_t r0 = low.low;
  const uint64_t r1 = low.high + high.low;
  const uint64_t r2 = high.high + (r1 < low.high ? 1 : 0); // 5 to 9
  const int32_t shift = r2 >= 8 ? 4 : 3;
  return {(r2 << (64 - shift)) | (r1 >> shift), (r1 << (64 - shift)) | (r0 >> shift),
          c.exponent + shift};
}

constexpr CachedPower tenth(CachedPower c) {
  // c * 16 in 32-bit limbs, most significant first, divided by 10.
  uint32_t limbs[5] = {static_cast<uint32_t>(c.high >> 60), static_cast<uint32_t>(c.high >> 28),
                       static_cast<uint32_t>((c.high << 4) | (c.low >> 60)),
                       static_cast<uint32_t>((c.high << 36) | (c.low >> 28)),
                       static_cast<uint32_t>(c.low << 4)};
  uint64_t rest = 0;
  for (uint32_t &limb : limbs) {
    const uint64_t dividend = (rest << 32) | limb;
    limb = static_cast<uint32_t>(dividend / 10);
    rest = dividend % 10;
  }
  const uint64_t middle = (uint64_t{limbs[1]} << 32) | limbs[2];
  const uint64_t bottom = (uint64_t{limbs[3]} << 32) | limbs[4];
  if (limbs[0] != 0) // c * 16 / 10 reached 2^128: c * 8 / 10 instead
    return {(uint64_t{1} << 63) | (middle >> 1), (middle << 63) | (bottom >> 1), c.exponent - 3};
  return {middle, bottom, c.exponent - 4};
}

struct CachedPowers {
  CachedPower power[kMaxCached - kMinCached + 1];
  constexpr CachedPowers() : power() {
    const int32_t one = -kMinCached;
    power[one] = {uint64_t{1} << 63, 0, -127};
    for (int32_t i = one + 1; i <= kMaxCached - kMinCached; ++i)
      power[i] = times_ten(power[i - 1]);
    for (int32_t i = one - 1; i >= 0; --i)
      power[i] = tenth(power[i + 1]);
  }
};
constexpr CachedPowers kCachedPowers;

// floor(|v| * 10^s) and its rounding from the table, or false when the
// interval leaves them open (or the digits would not fit 64 bits).
bool scale_far(ioe::Binary v, int32_t s, Scaled &out) {
  if (s < kMinCached || s > kMaxCached) return false;
  const CachedPower &c = kCachedPowers.power[s - kMinCached];
  // V = m * c, below 2^181, in three 64-bit limbs.
  const U128 low = multiply(v.significand, c.low);
  const U128 high = multiply(v.significand, c.high);
  const uint64_t v0 = low.low;
  const uint64_t v1 = low.high + high.low;
  const uint64_t v2 = high.high + (v1 < low.high ? 1 : 0);
  // |v| * 10^s is about V * 2^-r; W = V >> (r - 64) keeps the digits and
  // 64 bits of the fraction.
  const int32_t shift = -(v.exponent + c.exponent) - 64;
  if (shift <= 0 || shift >= 128) return false;
  uint64_t fraction, digits;
  if (shift >= 64) {
    const int32_t t = shift - 64;
    fraction = t == 0 ? v1 : (v1 >> t) | (v2 << (64 - t));
    digits = t == 0 ? v2 : v2 >> t;
  } else {
    if ((v2 >> shift) != 0) return false;
    fraction = (v0 >> shift) | (v1 << (64 - shift));
    digits = (v1 >> shift) | (v2 << (64 - shift));
  }
  // The true fraction lies in [fraction, fraction + error): the bits
  // dropped by the shift, and m times the table's error.
  const uint64_t far = v.significand * kCachedError; // below 2^63
  const uint64_t error = 2 + (shift >= 64 ? 0 : far >> shift);
  const uint64_t half = uint64_t{1} << 63;
  if (fraction < half) {
    if (half - fraction < error) return false;
    out = {digits, false};
  } else {
    if (uint64_t{0} - fraction < error) return false;
    out = {digits, true};
  }
  return true;
}

// Exact; false when neither the exact products nor the table settle it.
bool scale(ioe::Binary v, int32_t s, Scaled &out) {
  if (s >= 0) {
    if (s > kMaxPow5) return scale_far(v, s, out);
    // |v| * 10^s = m * 5^s * 2^(e + s); m * 5^s is below 2^116.
    const U128 p = multiply(v.significand, kPow5.value[s]);
    const int32_t t = v.exponent + s;
    if (t >= 0) {
      if (p.high != 0 || t >= 64 || (t > 0 && (p.low >> (64 - t)) != 0)) return false;
      out = {p.low << t, false};
      return true;
    }
    const int32_t r = -t; // bits below the point
    if (r >= 117) {
      out = {0, false};
    } else if (r >= 64) {
      const bool half = r == 64 ? (p.low >> 63) != 0 : ((p.high >> (r - 65)) & 1) != 0;
      out = {p.high >> (r - 64), half};
    } else {
      if ((p.high >> r) != 0) return false;
      out = {(p.high << (64 - r)) | (p.low >> r), ((p.low >> (r - 1)) & 1) != 0};
    }
    return true;
  }
  const int32_t u = -s;
  if (u > 19) return scale_far(v, s, out);
  uint64_t numerator = v.significand;
  uint64_t divisor = kPow10[u];
  if (v.exponent >= 0) {
    if (v.exponent > 10) return scale_far(v, s, out);
    numerator <<= v.exponent;
  } else {
    const int32_t k = -v.exponent;
    if (k > 62 || (divisor >> (62 - k)) != 0) return scale_far(v, s, out);
    divisor <<= k;
  }
  const uint64_t digits = numerator / divisor;
  const uint64_t rest = numerator - digits * divisor;
  out = {digits, rest >= divisor - rest};
  return true;
}

int32_t digit_count(uint64_t value) {
  int32_t count = 1;
  while (count < 20 && value >= kPow10[count])
    ++count;
  return count;
}

// The digits of `value`, most significant first; returns their number.
int32_t put_digits(uint64_t value, char *out) {
  const int32_t count = digit_count(value);
  ioe::decimal_digits(value, out + count);
  return count;
}

// The first decimals + 1 significant digits of a non-zero value, and the
// exponent of the first (floor(log10 |v|), of the unrounded value); false
// for the long way.
bool significant(ioe::Binary v, int32_t decimals, int32_t &exponent, Scaled &scaled) {
  const int32_t top = v.exponent + 63 - __builtin_clzll(v.significand); // floor(log2 |v|)
  // floor(top * log10 2), exact over the whole range; the exponent is it or
  // one more, and then the scaled value has one digit too many.
  const int32_t estimate = (top * 78913) >> 18;
  if (!scale(v, decimals - estimate, scaled)) return false;
  exponent = estimate;
  if (scaled.digits >= kPow10[decimals + 1]) {
    // floor(x / 10) and its rest: the dropped digit decides, as the part
    // below it is less than one.
    uint32_t last = 0;
    const uint32_t high = ioe::divide_step(0, static_cast<uint32_t>(scaled.digits >> 32), 10, last);
    const uint32_t low = ioe::divide_step(last, static_cast<uint32_t>(scaled.digits), 10, last);
    scaled = {(uint64_t{high} << 32) | low, last >= 5};
    ++exponent;
  }
  return true;
}

// Fixed form with `decimals` fraction digits of the scaled value.
void lay_fixed(Scaled scaled, int32_t decimals, bool strip, bool alternate, ioe::DoubleText &text) {
  const uint64_t n = scaled.digits + scaled.up; // below 2^64 by the bounds of scale
  char digits[20];
  const int32_t count = put_digits(n, digits);
  char *area = text.area;
  int32_t at = 0;
  const int32_t whole = count - decimals; // integer digits, if any
  if (whole <= 0) {
    area[at++] = '0';
  } else {
    for (; at < whole; ++at)
      area[at] = digits[at];
  }
  const int32_t point = at++;
  for (int32_t i = whole; i < 0; ++i)
    area[at++] = '0';
  for (int32_t i = std::max(whole, 0); i < count; ++i)
    area[at++] = digits[i];
  if (strip)
    while (at - 1 > point && area[at - 1] == '0')
      --at;
  if (alternate || at - 1 > point) {
    text.point = point;
  } else {
    text.point = -1;
    --at; // the point was the last unit
  }
  text.first = 0;
  text.length = at;
}

// Exponent form of decimals + 1 significant digits, `exponent` the
// unrounded value's.
void lay_exponent(Scaled scaled, int32_t exponent, int32_t decimals, bool strip, bool alternate,
                  bool uppercase, ioe::DoubleText &text) {
  uint64_t n = scaled.digits + scaled.up;
  if (n == kPow10[decimals + 1]) {
    // 9.99... became 10.00...: the same text as 1.00... one power up.
    n = kPow10[decimals];
    ++exponent;
  }
  char digits[20];
  put_digits(n, digits);
  char *area = text.area;
  area[0] = digits[0];
  int32_t at = 2;
  for (int32_t i = 1; i <= decimals; ++i)
    area[at++] = digits[i];
  if (strip)
    while (at > 2 && area[at - 1] == '0')
      --at;
  if (alternate || at > 2) {
    text.point = 1;
  } else {
    text.point = -1;
    at = 1;
  }
  area[at++] = uppercase ? 'E' : 'e';
  area[at++] = exponent < 0 ? '-' : '+';
  const int32_t magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude >= 100) area[at++] = static_cast<char>('0' + magnitude / 100);
  area[at++] = static_cast<char>('0' + magnitude / 10 % 10);
  area[at++] = static_cast<char>('0' + magnitude % 10);
  text.first = 0;
  text.length = at;
}

// The text of a non-zero finite value with a precision up to
// kFastPrecision, or false for the long way.
bool fast_text(ioe::Binary v, char conversion, bool uppercase, int32_t precision, bool alternate,
               ioe::DoubleText &text) {
  Scaled scaled;
  if (conversion == 'f') {
    if (!scale(v, precision, scaled)) return false;
    lay_fixed(scaled, precision, false, alternate, text);
    return true;
  }
  int32_t exponent;
  if (conversion == 'e') {
    if (!significant(v, precision, exponent, scaled)) return false;
    lay_exponent(scaled, exponent, precision, false, alternate, uppercase, text);
    return true;
  }
  // g: the form is chosen on the unrounded value. Most cases show
  // `precision` significant digits (at least one) in either form.
  const bool strip = !alternate;
  const int32_t decimals = precision == 0 ? 0 : precision - 1;
  if (!significant(v, decimals, exponent, scaled)) return false;
  if (exponent >= 0 && exponent >= precision) {
    lay_exponent(scaled, exponent, decimals, strip, alternate, uppercase, text);
  } else if (exponent < -4) {
    // One significant digit more than the other cases.
    if (!significant(v, precision, exponent, scaled)) return false;
    lay_exponent(scaled, exponent, precision, strip, alternate, uppercase, text);
  } else if (precision == 0) {
    // Below 1 with no significant digit kept: rounded on the first one.
    if (!scale(v, -exponent - 1, scaled)) return false;
    lay_fixed(scaled, -exponent - 1, strip, alternate, text);
  } else {
    // floor(|v| * 10^(precision - 1 - exponent)): the same digits.
    lay_fixed(scaled, precision - 1 - exponent, strip, alternate, text);
  }
  return true;
}

void set_special(ioe::DoubleText &text, QZChar a, QZChar b, QZChar c, int32_t length) {
  text.special[0] = a;
  text.special[1] = b;
  text.special[2] = c;
  text.special_length = length;
  text.zero_padding = false;
}

} // namespace

void ioe::DoubleText::copy_to(QZChar *destination, QZChar decimal_point) const {
  if (special_length != 0) {
    std::copy(special, special + special_length, destination);
    return;
  }
  const char *from = area + first;
  for (int32_t i = 0; i < length; ++i)
    destination[i] = static_cast<unsigned char>(from[i]);
  if (point >= 0) destination[point - first] = decimal_point;
}

void ioe::format_double(double value, char conversion, bool uppercase, int32_t precision,
                        bool alternate, DoubleText &text) {
  const uint64_t bits = bits_of(value);
  text.special_length = 0;
  text.zero_padding = true;
  text.point = -1;
  if (is_missing(bits)) {
    const auto code = static_cast<uint8_t>(bits >> 40);
    if (code == 0xfe)
      set_special(text, '.', 0, 0, 1);
    else if (code == 0xff)
      set_special(text, '.', '_', 0, 2);
    else
      set_special(text, '.', static_cast<QZChar>((256 - code) % 256 + 62), 0, 2);
    return;
  }
  if (((bits >> 52) & 0x7ff) == 0x7ff) {
    const bool infinity = (bits & ((uint64_t{1} << 52) - 1)) == 0;
    if (infinity)
      set_special(text, uppercase ? 'I' : 'i', uppercase ? 'N' : 'n', uppercase ? 'F' : 'f', 3);
    else
      set_special(text, uppercase ? 'N' : 'n', uppercase ? 'A' : 'a', uppercase ? 'N' : 'n', 3);
    return;
  }
  precision = std::clamp(precision, 0, QZ_FORMAT_MAX_PRECISION);
  const Binary binary = decompose(bits);
  if (binary.significand != 0 && precision <= kFastPrecision &&
      fast_text(binary, conversion, uppercase, precision, alternate, text))
    return;
  char integer[kMaxIntegerDigits];
  const int32_t count = integer_part(binary, integer);
  FractionDigits fraction(binary);
  DigitSource source(integer, count, fraction);
  Composer composer(text);

  if (conversion == 'f') {
    composer.fixed(integer, count, fraction, 0, precision);
    composer.finish(false, alternate, uppercase);
    return;
  }
  if (conversion == 'e') {
    int32_t exponent = 0;
    if (count > 0)
      exponent = count - 1;
    else if (!fraction.exhausted())
      exponent = -(fraction.skip_zeros() + 1);
    composer.exponent_form(source, exponent, precision);
    composer.finish(false, alternate, uppercase);
    return;
  }
  // g: the form is chosen on the unrounded value.
  if (count > 0) {
    if (count - 1 >= precision)
      composer.exponent_form(source, count - 1, precision == 0 ? 0 : precision - 1);
    else
      composer.fixed(integer, count, fraction, 0, precision - count);
  } else if (fraction.exhausted()) {
    composer.fixed(integer, 0, fraction, 0, precision);
  } else {
    const int32_t zeros = fraction.skip_zeros();
    if (zeros > 3)
      composer.exponent_form(source, -(zeros + 1), precision);
    else
      composer.fixed(integer, 0, fraction, zeros, precision + zeros);
  }
  composer.finish(!alternate, alternate, uppercase);
}

extern "C" {

QZ_EXPORT QZStatus skzfDouble(double value, QZChar conversion, QZChar decimal_point,
                              uint8_t uppercase, int32_t precision, uint8_t alternate,
                              QZChar *destination, int32_t capacity, int32_t *count) noexcept {
  if (conversion != 'e' && conversion != 'f' && conversion != 'g') {
    if (count != nullptr) *count = 0;
    return QZS_BAD_VALUE;
  }
  ioe::DoubleText text;
  ioe::format_double(value, static_cast<char>(conversion), uppercase != 0, precision,
                     alternate != 0, text);
  const int32_t length = text.size();
  if (count != nullptr) *count = length;
  if (length > std::max(capacity, 0)) return QZS_BUFFER_TOO_SMALL;
  text.copy_to(destination, decimal_point);
  return QZ_OK;
}

QZ_EXPORT QZStatus skzflDouble(long double value, QZChar conversion, QZChar decimal_point,
                               uint8_t uppercase, int32_t precision, uint8_t alternate,
                               QZChar *destination, int32_t capacity, int32_t *count) noexcept {
  return skzfDouble(static_cast<double>(value), conversion, decimal_point, uppercase, precision,
                    alternate, destination, capacity, count);
}

} // extern "C"

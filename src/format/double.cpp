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
  for (int32_t i = 0; i < length; ++i) {
    const int32_t at = first + i;
    destination[i] = at == point ? decimal_point : static_cast<unsigned char>(area[at]);
  }
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

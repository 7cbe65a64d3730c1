// The format directive engine: parses directives, takes their arguments and
// writes each field through the converters, piece by piece.
#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "format/internal.h"
#include "qzioe/runtime.h"

namespace {

// Sets the flag that `c` names (-, +, space, #, 0) in either directive
// record; false when `c` is no flag.
template <typename Flags> bool take_flag(QZChar c, Flags &flags) {
  switch (c) {
  case '-':
    return flags.left = true;
  case '+':
    return flags.plus = true;
  case ' ':
    return flags.space = true;
  case '#':
    return flags.alternate = true;
  case '0':
    return flags.zero = true;
  default:
    return false;
  }
}

// Argument kinds in rising order; a slot keeps the highest recorded for it.
enum Kind : uint8_t {
  kNone = 0,
  kCharacter = 1,
  kInt = 2,
  kLong = 3,
  kLongLong = 5,
  kPointer = 6,
  kDouble = 7,
  kLongDouble = 8,
};

// Only a slot's kind is cleared when a call starts; its value is cleared
// when it is fetched or found missing, so that a slot without a value reads
// as 0 or null through every member, also one wider than the one stored.
struct Slot {
  void clear() {
    kind = kNone;
    std::memset(&value, 0, sizeof value);
  }

  uint8_t kind;
  union {
    uint32_t u32;
    uint64_t u64;
    const void *pointer;
    double real;
    long double long_real;
  } value;
};

enum class Size : uint8_t { kNone, kH, kL, kLL, kBigL };

// Sequential directives take their arguments from the list as they come,
// numbered ones from their slots after all are fetched. A neutral one (%%,
// or a bad directive that names and takes no argument) belongs to the text
// around it and changes neither.
enum class Mode : uint8_t { kSequential, kNumbered, kNeutral };

// Where a width or precision comes from.
enum class Source : uint8_t { kNone, kDigits, kStar, kNumbered };

struct Directive {
  uint32_t percent = 0; // position of the "%"
  uint32_t end = 0;     // just past the conversion character, within the format
  QZChar conversion = 0;
  uint32_t slot = 0; // value's slot; 0 for sequential directives
  bool left = false, plus = false, space = false, alternate = false, zero = false;
  Source width_source = Source::kNone, precision_source = Source::kNone;
  uint32_t width = 0, precision = 0; // from digits
  uint32_t width_slot = 0, precision_slot = 0;
  Size size = Size::kNone;
  bool valid = false;
  Kind kind = kNone; // of the value, for a valid directive
  Mode mode = Mode::kSequential;
};

// Digit runs saturate: a width of billions never fits a buffer anyway.
constexpr uint32_t kNumberLimit = 0x7fffffffu;

// `n` followed by the digit `c`, saturating as the parser's digit runs do.
inline uint32_t append_digit(uint32_t n, QZChar c) {
  const uint32_t digit = c - '0';
  if (n < kNumberLimit / 10) return n * 10 + digit;
  return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{n} * 10 + digit, kNumberLimit));
}

class Parser {
public:
  Parser(const QZChar *format, uint32_t length) : format_(format), length_(length) {}

  QZChar at(uint32_t i) const { return i < length_ ? format_[i] : 0; } // 0 past the end

  // Parses the directive whose "%" is at `percent`. Fails only for a bad
  // argument number.
  QZStatus parse(uint32_t percent, Directive &d) const {
    d = Directive{};
    d.percent = percent;
    uint32_t i = percent + 1;
    bool between = false; // anything between "%" and the conversion
    if (is_digit_1_9(at(i))) {
      const uint32_t n = number(i);
      between = true;
      if (at(i) == '$') {
        if (n > QZ_FORMAT_MAX_ARGUMENTS) return QZS_BAD_ARGUMENT_NUMBER;
        ++i;
        d.slot = n - 1;
        d.mode = Mode::kNumbered;
        flags(i, d);
        if (const QZStatus status = width(i, d); status != QZ_OK) return status;
      } else {
        // A width, after which neither flags nor another width can come.
        d.width_source = Source::kDigits;
        d.width = n;
      }
    } else {
      between = flags(i, d);
      if (const QZStatus status = width(i, d); status != QZ_OK) return status;
    }
    if (d.width_source != Source::kNone) between = true;
    if (at(i) == '.') {
      ++i;
      between = true;
      if (const QZStatus status = star(i, d, d.precision_source, d.precision_slot); status != QZ_OK)
        return status;
      if (d.precision_source == Source::kNone) {
        d.precision_source = Source::kDigits;
        d.precision = is_digit(at(i)) ? number(i) : 0;
      }
    }
    if (at(i) == 'h') {
      d.size = Size::kH;
    } else if (at(i) == 'L') {
      d.size = Size::kBigL;
    } else if (at(i) == 'l') {
      d.size = at(i + 1) == 'l' ? Size::kLL : Size::kL;
      if (d.size == Size::kLL) ++i;
    }
    if (d.size != Size::kNone) {
      ++i;
      between = true;
    }
    d.conversion = at(i);
    d.end = std::min(i + 1, length_);
    classify(d, between);
    return QZ_OK;
  }

private:
  static bool is_digit(QZChar c) { return c >= '0' && c <= '9'; }
  static bool is_digit_1_9(QZChar c) { return c >= '1' && c <= '9'; }

  uint32_t number(uint32_t &i) const {
    uint32_t n = 0;
    for (; is_digit(at(i)); ++i)
      n = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{n} * 10 + (at(i) - '0'), kNumberLimit));
    return n;
  }

  bool flags(uint32_t &i, Directive &d) const {
    bool any = false;
    for (;; ++i, any = true)
      if (!take_flag(at(i), d)) break;
    if (d.left) d.zero = false;
    if (d.plus) d.space = false;
    return any;
  }

  // "*n$" (numbered, n from 1 to 10) or "*" (the next argument); nothing
  // else is read.
  QZStatus star(uint32_t &i, Directive &d, Source &source, uint32_t &slot) const {
    if (at(i) != '*') return QZ_OK;
    ++i;
    if (!is_digit_1_9(at(i))) {
      source = Source::kStar;
      d.mode = Mode::kSequential;
      return QZ_OK;
    }
    const uint32_t n = number(i);
    if (at(i) != '$' || n > QZ_FORMAT_MAX_ARGUMENTS) return QZS_BAD_ARGUMENT_NUMBER;
    ++i;
    source = Source::kNumbered;
    slot = n - 1;
    d.mode = Mode::kNumbered;
    return QZ_OK;
  }

  QZStatus width(uint32_t &i, Directive &d) const {
    if (const QZStatus status = star(i, d, d.width_source, d.width_slot); status != QZ_OK)
      return status;
    if (d.width_source == Source::kNone && is_digit_1_9(at(i))) {
      d.width_source = Source::kDigits;
      d.width = number(i);
    }
    return QZ_OK;
  }

  static void classify(Directive &d, bool between) {
    const Size size = d.size;
    auto sizes = [size](bool none, bool h, bool l, bool ll, bool big_l) {
      switch (size) {
      case Size::kNone:
        return none;
      case Size::kH:
        return h;
      case Size::kL:
        return l;
      case Size::kLL:
        return ll;
      case Size::kBigL:
        return big_l;
      }
      return false;
    };
    switch (d.conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      d.valid = sizes(true, false, true, true, false);
      d.kind = size == Size::kLL ? kLongLong : size == Size::kL ? kLong : kInt;
      break;
    case 'c':
    case 'C':
      d.valid = sizes(true, true, false, false, true);
      d.kind = kCharacter;
      break;
    case 's':
      d.valid = sizes(true, true, false, false, false);
      d.kind = kPointer;
      break;
    case 'S':
      d.valid = sizes(true, true, false, false, false) && d.precision_source != Source::kNone;
      d.kind = kPointer;
      break;
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G':
      d.valid = sizes(true, false, false, false, true);
      d.kind = size == Size::kBigL ? kLongDouble : kDouble;
      break;
    case 'p':
    case 'P':
      d.valid = size == Size::kNone;
      d.kind = kPointer;
      break;
    case '%':
      d.valid = !between;
      d.kind = kNone;
      break;
    default:
      d.valid = false;
      break;
    }
    const bool takes_arguments =
        d.width_source == Source::kStar || d.precision_source == Source::kStar;
    if ((d.conversion == '%' && d.valid) ||
        (!d.valid && d.mode == Mode::kSequential && !takes_arguments))
      d.mode = Mode::kNeutral;
  }

  const QZChar *format_;
  uint32_t length_;
};

// Most runs are a few units: a loop is cheaper than a call of memmove.
inline void copy_units(const QZChar *from, uint64_t length, QZChar *to) {
  if (length > 32) {
    std::memmove(to, from, static_cast<size_t>(length) * sizeof(QZChar));
    return;
  }
  for (auto n = static_cast<uint32_t>(length); n != 0; --n)
    *to++ = *from++;
}

// The write rule: a piece is written whole if the overflow state is off and
// it fits, otherwise not at all and the state goes on; either way the
// position counts it, so the total is the complete output's length.
class Output {
public:
  Output(QZChar *buffer, int32_t capacity)
      : next_(buffer), room_(buffer == nullptr || capacity < 0 ? 0 : uint32_t(capacity)) {}

  // Where the piece goes, or null when it is not to be written (or empty).
  // Once a piece did not fit the room is 0, so nothing after it fits.
  QZChar *piece(uint64_t length) {
    total_ += length;
    if (length > room_) {
      room_ = 0;
      overflow_ = true;
      return nullptr;
    }
    QZChar *const at = next_;
    next_ += length;
    room_ -= static_cast<uint32_t>(length);
    return length == 0 ? nullptr : at;
  }
  void text(const QZChar *units, uint64_t length) {
    if (QZChar *at = piece(length)) copy_units(units, length, at);
  }
  void fill(QZChar unit, uint64_t length) {
    if (length == 0) return;
    if (QZChar *at = piece(length)) std::fill_n(at, length, unit);
  }
  void unit(QZChar unit) {
    if (QZChar *at = piece(1)) *at = unit;
  }

  // Room for `length` units at once, or null when they do not all fit.
  QZChar *reserve(uint64_t length) { return length <= room_ ? piece(length) : nullptr; }
  // Counts `length` units written at the cursor; they fit the room.
  void advance(uint32_t length) {
    next_ += length;
    room_ -= length;
    total_ += length;
  }

  uint64_t total() const { return total_; }
  bool overflow() const { return overflow_; }

private:
  QZChar *next_;
  uint32_t room_;
  bool overflow_ = false;
  uint64_t total_ = 0;
};

// What the converters need of a valid directive.
struct Spec {
  QZChar conversion;
  Size size;
  bool plus, space, alternate;
  bool left;         // with a width: spaces after the field
  bool zero;         // the zero flag with a width
  uint32_t width;    // 0 without a width
  int32_t precision; // -1 without a precision
};

// The two ways a field reaches the buffer: straight into room reserved for
// all of it, or piece by piece through the write rule when it may not fit.
struct Direct {
  QZChar *at;
  void unit(QZChar unit) { *at++ = unit; }
  // Plain loops: the runs are short, a library call costs more.
  void fill(QZChar unit, uint64_t length) {
    for (QZChar *const stop = at + length; at != stop;)
      *at++ = unit;
  }
  void text(const QZChar *units, uint64_t length) {
    for (QZChar *const stop = at + length; at != stop;)
      *at++ = *units++;
  }
  QZChar *piece(uint64_t length) {
    QZChar *const start = at;
    at += length;
    return length == 0 ? nullptr : start;
  }
};

struct Pieces {
  Output &out;
  void unit(QZChar unit) { out.unit(unit); }
  void fill(QZChar unit, uint64_t length) { out.fill(unit, length); }
  void text(const QZChar *units, uint64_t length) { out.text(units, length); }
  QZChar *piece(uint64_t length) { return out.piece(length); }
};

constexpr char kDigitPairs[] = "00010203040506070809101112131415161718192021222324"
                               "25262728293031323334353637383940414243444546474849"
                               "50515253545556575859606162636465666768697071727374"
                               "75767778798081828384858687888990919293949596979899";

// The decimal digits of `value` backwards, the last just before `end`, two
// a division; returns the first.
inline QZChar *decimal_digits(uint32_t value, QZChar *end) {
  while (value >= 100) {
    const uint32_t quotient = value / 100;
    const uint32_t pair = (value - quotient * 100) * 2;
    value = quotient;
    end -= 2;
    end[0] = static_cast<unsigned char>(kDigitPairs[pair]);
    end[1] = static_cast<unsigned char>(kDigitPairs[pair + 1]);
  }
  if (value >= 10) {
    *--end = static_cast<unsigned char>(kDigitPairs[value * 2 + 1]);
    *--end = static_cast<unsigned char>(kDigitPairs[value * 2]);
  } else {
    *--end = '0' + value;
  }
  return end;
}

inline uint32_t decimal_length(uint32_t value) {
  if (value < 100000)
    return 1 + (value >= 10) + (value >= 100) + (value >= 1000) + (value >= 10000);
  return 6 + (value >= 1000000) + (value >= 10000000) + (value >= 100000000) +
         (value >= 1000000000);
}

uint32_t hex_length(uint32_t value) {
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
constexpr HexPairs kHexPairs;

// The hexadecimal digits of `value` backwards, a byte a step.
inline QZChar *hex_digits(uint32_t value, bool uppercase, QZChar *end) {
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

// Truncation toward zero that saturates instead of overflowing; NaN is 0.
template <typename Real> uint64_t truncate(Real value) {
  if (!(value == value)) return 0;
  if (value >= 0) {
    if (value >= static_cast<Real>(18446744073709551616.0)) return UINT64_MAX;
    return static_cast<uint64_t>(value);
  }
  if (value <= static_cast<Real>(-9223372036854775808.0)) return uint64_t{1} << 63;
  return static_cast<uint64_t>(static_cast<int64_t>(value));
}

// A slot's value as a 64-bit integer; 32-bit integers (and pointers of the
// 32-bit build) are sign- or zero-extended.
uint64_t integer_of(const Slot &slot, bool sign_extend) {
  auto extend = [sign_extend](uint32_t value) {
    return sign_extend ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(value)))
                       : uint64_t{value};
  };
  switch (slot.kind) {
  case kCharacter:
  case kInt:
  case kLong:
    return extend(slot.value.u32);
  case kLongLong:
    return slot.value.u64;
  case kPointer: {
    const auto address = reinterpret_cast<uintptr_t>(slot.value.pointer);
    if constexpr (sizeof(uintptr_t) == 4) return extend(static_cast<uint32_t>(address));
    return address;
  }
  case kDouble:
    return truncate(slot.value.real);
  case kLongDouble:
    return truncate(slot.value.long_real);
  default:
    return 0;
  }
}

double real_of(const Slot &slot) {
  switch (slot.kind) {
  case kCharacter:
  case kInt:
  case kLong:
    return static_cast<int32_t>(slot.value.u32);
  case kLongLong:
    return static_cast<double>(static_cast<int64_t>(slot.value.u64));
  case kPointer:
    return static_cast<double>(reinterpret_cast<uintptr_t>(slot.value.pointer));
  case kDouble:
    return slot.value.real;
  case kLongDouble:
    return static_cast<double>(slot.value.long_real);
  default:
    return 0;
  }
}

// A sequential directive of the common shape, "%" [flags] [digits]
// ["." [digits]] [l | ll] conversion, with no "*", "$" or other size:
// its kind, or kNone for any other directive; `end` is just past it.
[[gnu::always_inline]] inline Kind parse_common(const QZChar *format, uint32_t length,
                                                uint32_t percent, Spec &spec, uint32_t &end) {
  auto at = [format, length](uint32_t i) -> QZChar { return i < length ? format[i] : 0; };
  spec = Spec{};
  spec.precision = -1;
  uint32_t i = percent + 1;
  QZChar c = at(i);
  for (; take_flag(c, spec); c = at(++i)) {
  }
  // The engine reads digits right after "%" as an argument number or a
  // width with no flags before it: the same width as here.
  bool has_width = false;
  if (c >= '1' && c <= '9') {
    has_width = true;
    uint32_t n = 0;
    for (; c >= '0' && c <= '9'; c = at(++i))
      n = append_digit(n, c);
    spec.width = n;
  }
  if (c == '.') {
    uint32_t n = 0;
    for (c = at(++i); c >= '0' && c <= '9'; c = at(++i))
      n = append_digit(n, c);
    spec.precision = static_cast<int32_t>(n);
  }
  if (c == 'l') {
    spec.size = Size::kL;
    c = at(++i);
    if (c == 'l') {
      spec.size = Size::kLL;
      c = at(++i);
    }
  }
  if (spec.left) spec.zero = false;
  if (spec.plus) spec.space = false;
  spec.zero = spec.zero && has_width;
  spec.conversion = c;
  end = i + 1;
  Kind kind;
  switch (c) {
  case 'd':
  case 'i':
  case 'u':
  case 'o':
  case 'x':
  case 'X':
    return spec.size == Size::kLL ? kLongLong : spec.size == Size::kL ? kLong : kInt;
  case 'c':
  case 'C':
    kind = kCharacter;
    break;
  case 's':
  case 'p':
  case 'P':
    kind = kPointer;
    break;
  case 'e':
  case 'E':
  case 'f':
  case 'g':
  case 'G':
    kind = kDouble;
    break;
  default:
    return kNone;
  }
  return spec.size == Size::kNone ? kind : kNone;
}

// The field of a 32-bit d, i, u, x or X straight into `room` units at
// `at`; the end of the field, or null with nothing written when it does
// not fit (or needs long zero runs): then the general writer takes it.
QZChar *put_integer(const Spec &spec, uint32_t value, QZChar *at, uint32_t room) {
  const QZChar c = spec.conversion;
  QZChar sign = 0;
  if (c == 'd' || c == 'i') {
    if (static_cast<int32_t>(value) < 0)
      sign = '-', value = 0 - value;
    else
      sign = spec.plus ? '+' : spec.space ? ' ' : 0;
  }
  uint32_t prefix = 0; // "0x" or "0X"
  uint32_t count = 0;
  const bool hex = c == 'x' || c == 'X';
  if (value != 0 || spec.precision != 0) count = hex ? hex_length(value) : decimal_length(value);
  if (hex && spec.alternate && value != 0) prefix = 2;
  const uint32_t precision = spec.precision < 0 ? 1 : static_cast<uint32_t>(spec.precision);
  const uint32_t zeros = precision > count ? precision - count : 0;
  const uint32_t size = (sign != 0) + prefix + zeros + count;
  const uint32_t total = spec.width > size ? spec.width : size;
  if (total > room) return nullptr; // no sum here overflows: widths are below 2^31
  const uint32_t pad = total - size;
  if (!spec.left && !spec.zero)
    for (uint32_t i = 0; i < pad; ++i)
      *at++ = ' ';
  if (sign != 0) *at++ = sign;
  // The zero flag's zeros go behind the sign, in front of a prefix.
  if (spec.zero)
    for (uint32_t i = 0; i < pad; ++i)
      *at++ = '0';
  if (prefix != 0) *at++ = '0', *at++ = c;
  for (uint32_t i = 0; i < zeros; ++i)
    *at++ = '0';
  // The digits go straight to their place, last first.
  at += count;
  if (count != 0) hex ? hex_digits(value, c == 'X', at) : decimal_digits(value, at);
  if (spec.left)
    for (uint32_t i = 0; i < pad; ++i)
      *at++ = ' ';
  return at;
}

// The field of a QZChar text without h straight into the buffer; null,
// with nothing written, when it does not fit.
QZChar *put_text(const Spec &spec, const QZChar *text, QZChar *at, uint32_t room) {
  uint32_t length = 0;
  if (text != nullptr) {
    // Measured only as far as the room: a longer text cannot go in whole.
    const auto precision = static_cast<uint32_t>(spec.precision); // -1: none, the largest
    const uint32_t limit = precision < room ? precision : room;
    while (length < limit && text[length] != 0)
      ++length;
    if (length == room && length != precision && text[length] != 0) return nullptr;
  }
  const uint32_t total = spec.width > length ? spec.width : length;
  if (total > room) return nullptr;
  const uint32_t pad = total - length;
  if (!spec.left)
    for (uint32_t i = 0; i < pad; ++i)
      *at++ = ' ';
  for (uint32_t i = 0; i < length; ++i)
    *at++ = text[i];
  if (spec.left)
    for (uint32_t i = 0; i < pad; ++i)
      *at++ = ' ';
  return at;
}

// The field of a c or C straight into the buffer; null, with nothing
// written, when it does not fit. The same for e, E, f, g and G below.
QZChar *put_unit(const Spec &spec, QZChar unit, QZChar *at, uint32_t room) {
  const uint32_t total = spec.width > 1 ? spec.width : 1;
  if (total > room) return nullptr;
  if (!spec.left)
    for (uint32_t i = 1; i < total; ++i)
      *at++ = ' ';
  *at++ = unit;
  if (spec.left)
    for (uint32_t i = 1; i < total; ++i)
      *at++ = ' ';
  return at;
}

// Not inlined: its work area would make every caller's frame large.
[[gnu::noinline]] QZChar *put_real(const Spec &spec, double number, QZChar decimal_point,
                                   QZChar *at, uint32_t room) {
  const QZChar c = spec.conversion;
  const bool upper = c == 'E' || c == 'G';
  ioe::DoubleText text;
  ioe::format_double(number, static_cast<char>(upper ? c + ('a' - 'A') : c), upper,
                     spec.precision < 0 ? 6 : spec.precision, spec.alternate, text);
  QZChar sign = spec.plus ? '+' : spec.space ? ' ' : 0;
  // A NaN and a negative zero are not below 0; a missing value gets no "-".
  if (!ioe::is_missing(ioe::bits_of(number)) && number < 0) sign = '-';
  const auto length = static_cast<uint32_t>(text.size());
  const uint32_t size = length + (sign != 0);
  const uint32_t total = spec.width > size ? spec.width : size;
  if (total > room) return nullptr;
  const uint32_t pad = total - size;
  const bool zero = spec.zero && text.zero_padding;
  if (!spec.left && !zero)
    for (uint32_t i = 0; i < pad; ++i)
      *at++ = ' ';
  if (sign != 0) *at++ = sign;
  if (zero)
    for (uint32_t i = 0; i < pad; ++i)
      *at++ = '0';
  text.copy_to(at, decimal_point);
  at += length;
  if (spec.left)
    for (uint32_t i = 0; i < pad; ++i)
      *at++ = ' ';
  return at;
}

// A bare %d, %i or %u of `value` (negative: its sign shown); null when it
// does not fit.
QZChar *put_bare_decimal(uint32_t value, bool negative, QZChar *at, uint32_t room) {
  if (negative) value = 0 - value;
  const uint32_t count = decimal_length(value);
  if (count + negative > room) return nullptr;
  if (negative) *at++ = '-';
  at += count;
  decimal_digits(value, at);
  return at;
}

// A bare %s: the text up to its 0 unit (none for null); null when it does
// not fit.
QZChar *put_bare_text(const QZChar *text, QZChar *at, uint32_t room) {
  if (text == nullptr) return at;
  // Measured first, as the engine measures it (up to its 0 unit), so that
  // nothing is written when it does not fit.
  size_t length = 0;
  while (text[length] != 0)
    ++length;
  if (length > room) return nullptr;
  for (size_t i = 0; i < length; ++i)
    at[i] = text[i];
  return at + length;
}

// Where the lean pass stopped: at the end of the format; before a
// directive it does not take, or text that does not fit, with nothing of
// either done; or after fetching the value of a field that does not fit.
enum class Stop : uint8_t { kDone, kDirective, kField };

struct Lean {
  uint32_t text = 0;    // start of the text not yet written
  uint32_t written = 0; // units written
  Spec spec;            // the field that did not fit, and its value
  Slot value;
};

// Flags of a directive as bits, looked up from " " to "0".
enum : uint8_t {
  kLeftFlag = 1,
  kPlusFlag = 2,
  kSpaceFlag = 4,
  kAlternateFlag = 8,
  kZeroFlag = 16,
  kPrecisionGiven = 32, // not a flag: the directive has a precision
};
constexpr uint8_t kFlagBits[17] = {kSpaceFlag, 0, 0, kAlternateFlag, 0, 0,         0, 0,
                                   0,          0, 0, kPlusFlag,      0, kLeftFlag, 0, 0,
                                   kZeroFlag};

enum class Handled : uint8_t { kNo, kWritten, kUnfit };

// A 32-bit d, i, u, x or X with any flags, width and precision, parsed and
// laid out in scalars with its field written at `at` (which then moves past
// it); kUnfit, with the directive and its value in `lean`, when it does not
// fit `room`; kNo, with nothing taken, for any other directive. e, E, f, g
// and G are parsed here too and written by the floating field writer.
Handled lean_directive(const QZChar *format, uint32_t length, uint32_t percent,
                       QZChar decimal_point, va_list *arguments, QZChar *&at, uint32_t room,
                       uint32_t &end, Lean &lean) {
  const QZChar *p = format + percent + 1; // the "%" is not the last unit
  const QZChar *const stop = format + length;
  QZChar c = *p;
  uint32_t flags = 0;
  while (c - ' ' <= static_cast<uint32_t>('0' - ' ') && kFlagBits[c - ' '] != 0) {
    flags |= kFlagBits[c - ' '];
    c = ++p < stop ? *p : 0;
  }
  // Without a width the zero flag pads nothing: width 0 stands for none.
  uint32_t width = 0;
  if (c - '1' < 9u) {
    do {
      width = append_digit(width, c);
      c = ++p < stop ? *p : 0;
    } while (c - '0' < 10u);
  }
  uint32_t precision = 1;
  if (c == '.') {
    flags |= kPrecisionGiven;
    precision = 0;
    c = ++p < stop ? *p : 0;
    while (c - '0' < 10u) {
      precision = append_digit(precision, c);
      c = ++p < stop ? *p : 0;
    }
  }
  const bool real = c == 'e' || c == 'E' || c == 'f' || c == 'g' || c == 'G';
  if (!real && c != 'x' && c != 'X' && c != 'd' && c != 'i' && c != 'u') return Handled::kNo;
  end = static_cast<uint32_t>(p - format) + 1;
  if (real) {
    // Parsed once: the field is the general floating one.
    Spec &spec = lean.spec;
    spec = Spec{};
    spec.conversion = c;
    spec.left = (flags & kLeftFlag) != 0;
    spec.plus = (flags & kPlusFlag) != 0;
    spec.space = (flags & kSpaceFlag) != 0 && !spec.plus;
    spec.alternate = (flags & kAlternateFlag) != 0;
    spec.zero = (flags & kZeroFlag) != 0 && !spec.left && width != 0;
    spec.width = width;
    spec.precision = (flags & kPrecisionGiven) != 0 ? static_cast<int32_t>(precision) : -1;
    const double number = va_arg(*arguments, double);
    if (QZChar *field = put_real(spec, number, decimal_point, at, room)) {
      at = field;
      return Handled::kWritten;
    }
    lean.value.kind = kDouble;
    lean.value.value.real = number;
    return Handled::kUnfit;
  }
  const auto raw = static_cast<uint32_t>(va_arg(*arguments, int));
  if ((flags & kLeftFlag) != 0) flags &= ~kZeroFlag;
  uint32_t value = raw;
  QZChar sign = 0;
  if (c == 'd' || c == 'i') {
    if (static_cast<int32_t>(value) < 0)
      sign = '-', value = 0 - value;
    else if ((flags & kPlusFlag) != 0)
      sign = '+';
    else if ((flags & kSpaceFlag) != 0)
      sign = ' ';
  }
  uint32_t count = 0;
  uint32_t prefix = 0;
  if (c == 'x' || c == 'X') {
    if (value != 0) {
      count = hex_length(value);
      prefix = (flags & kAlternateFlag) != 0 ? 2 : 0;
    } else if (precision != 0) {
      count = 1;
    }
  } else if (value != 0 || precision != 0) {
    count = decimal_length(value);
  }
  const uint32_t zeros = precision > count ? precision - count : 0;
  const uint32_t size = (sign != 0) + prefix + zeros + count;
  if (width < size) width = size; // below 2^32: widths are below 2^31
  if (width > room) {
    Spec &spec = lean.spec;
    spec = Spec{};
    spec.conversion = c;
    spec.left = (flags & kLeftFlag) != 0;
    spec.plus = (flags & kPlusFlag) != 0;
    spec.space = (flags & kSpaceFlag) != 0 && !spec.plus;
    spec.alternate = (flags & kAlternateFlag) != 0;
    spec.zero = (flags & kZeroFlag) != 0 && width > size;
    spec.width = width;
    spec.precision = (flags & kPrecisionGiven) != 0 ? static_cast<int32_t>(precision) : -1;
    lean.value.kind = kInt;
    lean.value.value.u32 = raw;
    return Handled::kUnfit;
  }
  const uint32_t pad = width - size;
  QZChar *out = at;
  if ((flags & (kLeftFlag | kZeroFlag)) == 0)
    for (uint32_t k = 0; k < pad; ++k)
      *out++ = ' ';
  if (sign != 0) *out++ = sign;
  // The zero flag's zeros go behind the sign, in front of a prefix.
  if ((flags & kZeroFlag) != 0)
    for (uint32_t k = 0; k < pad; ++k)
      *out++ = '0';
  if (prefix != 0) *out++ = '0', *out++ = c;
  for (uint32_t k = 0; k < zeros; ++k)
    *out++ = '0';
  out += count;
  if (count != 0)
    c == 'x' || c == 'X' ? hex_digits(value, c == 'X', out) : decimal_digits(value, out);
  if ((flags & kLeftFlag) != 0)
    for (uint32_t k = 0; k < pad; ++k)
      *out++ = ' ';
  at = out;
  return Handled::kWritten;
}

// Pass one from the start of the format while it holds literal text and
// common directives whose output fits: fields go straight into the buffer
// with the cursor in locals, and no engine is built. Most calls end here.
Stop lean_pass(const QZChar *format, uint32_t length, QZChar *buffer, uint32_t room,
               QZChar decimal_point, va_list *arguments, Lean &lean) {
  QZChar *next = buffer;
  uint32_t text = 0;
  Stop stop = Stop::kDirective;
  for (;;) {
    if (text == length) { // a directive ended the format
      stop = Stop::kDone;
      break;
    }
    uint32_t at = text;
    while (at + 1 < length && format[at] != '%')
      ++at;
    if (at + 1 >= length) {
      // No directive is left: the rest is text.
      const uint32_t n = length - text;
      if (n <= room) {
        copy_units(format + text, n, next);
        next += n;
        text = length;
        stop = Stop::kDone;
      }
      break;
    }
    const uint32_t n = at - text;
    if (n > room) break;
    // The commonest directives, a bare "%d", "%u" or "%s", in few steps.
    const QZChar bare = format[at + 1];
    if (bare == 'd' || bare == 'i' || bare == 'u' || bare == 's') {
      copy_units(format + text, n, next);
      next += n;
      room -= n;
      text = at + 2;
      QZChar *field;
      if (bare == 's') {
        const auto *units = va_arg(*arguments, const QZChar *);
        field = put_bare_text(units, next, room);
        if (field == nullptr) {
          lean.spec = Spec{};
          lean.spec.conversion = 's';
          lean.spec.precision = -1;
          lean.value.kind = kPointer;
          lean.value.value.pointer = units;
        }
      } else {
        const auto value = static_cast<uint32_t>(va_arg(*arguments, int));
        field = put_bare_decimal(value, bare != 'u' && static_cast<int32_t>(value) < 0, next, room);
        if (field == nullptr) {
          lean.spec = Spec{};
          lean.spec.conversion = bare;
          lean.spec.precision = -1;
          lean.value.kind = kInt;
          lean.value.value.u32 = value;
        }
      }
      if (field == nullptr) {
        stop = Stop::kField;
        break;
      }
      room -= static_cast<uint32_t>(field - next);
      next = field;
      continue;
    }
    uint32_t end;
    QZChar *field_end = next + n; // the text goes in front of it
    const Handled handled = lean_directive(format, length, at, decimal_point, arguments, field_end,
                                           room - n, end, lean);
    if (handled != Handled::kNo) {
      copy_units(format + text, n, next);
      text = end;
      if (handled == Handled::kUnfit) {
        next += n;
        stop = Stop::kField;
        break;
      }
      room -= static_cast<uint32_t>(field_end - next);
      next = field_end;
      continue;
    }
    Spec spec;
    const Kind kind = parse_common(format, length, at, spec, end);
    if (kind == kNone) break;
    copy_units(format + text, n, next);
    next += n;
    room -= n;
    text = end;
    Slot value;
    value.kind = kind;
    QZChar *field = nullptr;
    const QZChar c = spec.conversion;
    if (kind == kLongLong) {
      value.value.u64 = static_cast<uint64_t>(va_arg(*arguments, long long));
    } else if (kind == kPointer) {
      value.value.pointer = va_arg(*arguments, const void *);
      if (c == 's')
        field = put_text(spec, static_cast<const QZChar *>(value.value.pointer), next, room);
    } else if (kind == kDouble) {
      value.value.real = va_arg(*arguments, double);
      field = put_real(spec, value.value.real, decimal_point, next, room);
    } else {
      value.value.u32 = static_cast<uint32_t>(va_arg(*arguments, int));
      if (kind == kCharacter)
        field = put_unit(spec, value.value.u32, next, room);
      else if (c != 'o')
        field = put_integer(spec, value.value.u32, next, room);
    }
    if (field == nullptr) {
      lean.spec = spec;
      lean.value = value;
      stop = Stop::kField;
      break;
    }
    room -= static_cast<uint32_t>(field - next);
    next = field;
  }
  lean.text = text;
  lean.written = static_cast<uint32_t>(next - buffer);
  return stop;
}

constexpr uint32_t kSlots = QZ_FORMAT_MAX_ARGUMENTS;

class Engine {
public:
  Engine(const QZChar *format, uint32_t length, QZChar *buffer, int32_t capacity,
         QZChar decimal_point, va_list arguments)
      : format_(format), length_(length), parser_(format, length), out_(buffer, capacity),
        decimal_point_(decimal_point) {
    va_copy(arguments_, arguments);
  }
  ~Engine() { va_end(arguments_); }
  Engine(const Engine &) = delete;
  Engine &operator=(const Engine &) = delete;

  // Goes on where the lean pass stopped: its output counted, the field it
  // could not write written piece by piece, then the general loop.
  QZStatus resume(Stop stop, const Lean &lean) {
    out_.advance(lean.written);
    uint32_t pending = lean.text;
    if (stop == Stop::kField) convert(lean.spec, lean.value);
    const int32_t first = find_percent(0);
    if (first < 0) {
      out_.text(format_, length_); // a text that did not fit
      return QZ_OK;
    }
    first_ = static_cast<uint32_t>(first);
    // The text before the first "%" is written whatever follows.
    if (pending < first_) {
      out_.text(format_ + pending, first_ - pending);
      pending = first_;
    }
    if (const QZStatus status = pass(false, pending); status != QZ_OK) return status;
    if (latest_ != Mode::kNumbered) return QZ_OK;
    fetch_slots();
    return pass(true, first_);
  }

  const Output &output() const { return out_; }

private:
  // The next "%" that starts a directive, from `from` on; a "%" that is the
  // last unit of the format is text.
  int32_t find_percent(uint32_t from) const {
    // The last unit is never a directive's "%".
    for (uint32_t i = from; i + 1 < length_; ++i)
      if (format_[i] == '%') return static_cast<int32_t>(i);
    return -1;
  }

  // Reads the format from `from`, where no text has been written yet.
  QZStatus pass(bool second, uint32_t from) {
    uint32_t position = from;
    uint32_t pending = from; // start of the text not yet written
    bool neutral = false;    // a neutral directive in that text
    for (int32_t at; (at = find_percent(position)) >= 0;) {
      if (!second && !neutral && !recorded_ &&
          carry_out_common(static_cast<uint32_t>(at), pending)) {
        position = pending;
        continue;
      }
      if (!slots_ready_) {
        // Only directives of other shapes use the slots. Values too start
        // at 0: a sequential directive of pass one may read a "*n$" width
        // from a slot that pass two has not fetched yet.
        for (Slot &slot : slots_)
          slot.clear();
        slots_ready_ = true;
      }
      Directive d;
      if (const QZStatus status = parser_.parse(static_cast<uint32_t>(at), d); status != QZ_OK)
        return status;
      position = d.end;
      if (d.mode == Mode::kNeutral) {
        neutral = true;
        continue;
      }
      if (!second && d.mode == Mode::kNumbered) {
        record(d);
      } else {
        write_text(pending, d.percent, neutral);
        carry_out(d);
      }
      pending = d.end;
      neutral = false;
      latest_ = d.mode;
    }
    if (second || latest_ != Mode::kNumbered) write_text(pending, length_, neutral);
    return QZ_OK;
  }

  // Literal text, with the neutral directives in it when there are any.
  void write_text(uint32_t from, uint32_t to, bool neutral) {
    if (!neutral) {
      if (from < to) out_.text(format_ + from, to - from);
      return;
    }
    write_text_with_directives(from, to);
  }

  void write_text_with_directives(uint32_t from, uint32_t to) {
    while (from < to) {
      const int32_t at = find_percent(from);
      if (at < 0 || static_cast<uint32_t>(at) >= to) break;
      out_.text(format_ + from, static_cast<uint32_t>(at) - from);
      Directive d;
      parser_.parse(static_cast<uint32_t>(at), d);
      if (d.valid)
        out_.unit('%');
      else
        marker(d);
      from = d.end;
    }
    if (from < to) out_.text(format_ + from, to - from);
  }

  void marker(const Directive &d) {
    static constexpr QZChar kOpen[] = {'<', '<'};
    static constexpr QZChar kClose[] = {'>', '>'};
    out_.text(kOpen, 2);
    out_.text(format_ + d.percent, d.end - d.percent);
    out_.text(kClose, 2);
  }

  void raise(uint32_t slot, Kind kind) {
    slots_[slot].kind = std::max<uint8_t>(slots_[slot].kind, kind);
  }

  // Pass one of a numbered directive: the kinds of its arguments only.
  void record(const Directive &d) {
    if (!d.valid) return;
    recorded_ = true;
    if (d.width_source == Source::kNumbered) raise(d.width_slot, kLong);
    if (d.precision_source == Source::kNumbered) raise(d.precision_slot, kLong);
    if (d.kind != kNone) raise(d.slot, d.kind);
  }

  void fetch(Slot &slot) {
    std::memset(&slot.value, 0, sizeof slot.value);
    switch (slot.kind) {
    case kCharacter:
    case kInt:
    case kLong:
      slot.value.u32 = static_cast<uint32_t>(va_arg(arguments_, int));
      break;
    case kLongLong:
      slot.value.u64 = static_cast<uint64_t>(va_arg(arguments_, long long));
      break;
    case kPointer:
      slot.value.pointer = va_arg(arguments_, const void *);
      break;
    case kDouble:
      slot.value.real = va_arg(arguments_, double);
      break;
    case kLongDouble:
      slot.value.long_real = va_arg(arguments_, long double);
      break;
    default:
      break;
    }
  }

  // Before pass two: the slots in number order, up to the first without a
  // kind; an argument after a gap cannot be found in the list.
  void fetch_slots() {
    uint32_t i = 0;
    for (; i < kSlots && slots_[i].kind != kNone; ++i)
      fetch(slots_[i]);
    for (; i < kSlots; ++i)
      slots_[i].clear();
  }

  void carry_out(const Directive &d) {
    // Arguments of "*" are taken even when the directive turns out bad.
    int64_t width = d.width;
    int64_t precision = d.precision;
    if (d.width_source == Source::kStar) width = va_arg(arguments_, int);
    if (d.precision_source == Source::kStar) precision = va_arg(arguments_, int);
    if (!d.valid) return marker(d);

    const bool sequential = d.mode == Mode::kSequential;
    if (sequential) {
      if (d.width_source == Source::kNumbered) raise(d.width_slot, kLong);
      if (d.precision_source == Source::kNumbered) raise(d.precision_slot, kLong);
      raise(0, d.kind);
      fetch(slots_[0]);
    }
    const Slot &value = slots_[sequential ? 0 : d.slot];
    bool bad = false;
    auto from_slot = [&](uint32_t slot) -> int64_t {
      if (slots_[slot].kind == kNone) bad = true;
      return static_cast<int32_t>(static_cast<uint32_t>(integer_of(slots_[slot], true)));
    };
    if (d.width_source == Source::kNumbered) width = from_slot(d.width_slot);
    if (d.precision_source == Source::kNumbered) precision = from_slot(d.precision_slot);
    const bool text = d.conversion == 's' || d.conversion == 'S';
    // A text's pointer comes from a pointer argument (or none: null), never
    // from the bits of a number that another directive took for the slot.
    if (text ? value.kind != kPointer && value.kind != kNone : value.kind == kNone) bad = true;
    // S needs a precision; one from an argument that is negative is none.
    if (d.conversion == 'S' && precision < 0) bad = true;
    if (bad) {
      marker(d);
    } else {
      Spec spec{};
      spec.conversion = d.conversion;
      spec.size = d.size;
      spec.plus = d.plus;
      spec.space = d.space;
      spec.alternate = d.alternate;
      spec.left = d.left;
      if (d.width_source != Source::kNone) {
        if (width < 0) spec.left = true, width = -width; // up to 2^31
        spec.width = static_cast<uint32_t>(width);
      }
      spec.zero = d.zero && !spec.left && d.width_source != Source::kNone;
      const bool has_precision = d.precision_source != Source::kNone && precision >= 0;
      spec.precision = has_precision ? static_cast<int32_t>(precision) : -1;
      convert(spec, value);
    }
    if (sequential) slots_[0].clear();
  }

  // The argument of a common directive, taken from the list.
  Slot fetch_common(Kind kind) {
    Slot value;
    value.kind = kind;
    if (kind == kLongLong)
      value.value.u64 = static_cast<uint64_t>(va_arg(arguments_, long long));
    else if (kind == kPointer)
      value.value.pointer = va_arg(arguments_, const void *);
    else if (kind == kDouble)
      value.value.real = va_arg(arguments_, double);
    else
      value.value.u32 = static_cast<uint32_t>(va_arg(arguments_, int));
    return value;
  }

  // Carries out a common directive at once, as a sequential one is; only
  // while no numbered directive recorded a kind, since slot 0 might then
  // hold a higher one. False, with nothing done, for any other directive.
  // Otherwise the text from `pending` is written first, and `pending`
  // moves past the directive.
  bool carry_out_common(uint32_t percent, uint32_t &pending) {
    Spec spec;
    uint32_t end;
    const Kind kind = parse_common(format_, length_, percent, spec, end);
    if (kind == kNone) return false;
    write_text(pending, percent, false);
    pending = end;
    latest_ = Mode::kSequential;
    convert(spec, fetch_common(kind));
    return true;
  }

  // Writes `sign` (0: none) and a body of `length` units through
  // `body(sink)`, padded to the field's width. With zero padding the sign
  // stays in front of the zeros. A field that fits goes straight into the
  // buffer; otherwise each piece meets the write rule on its own.
  template <typename Body>
  void padded(const Spec &spec, QZChar sign, uint64_t length, bool zero_pad, Body body) {
    const uint64_t size = length + (sign != 0 ? 1 : 0);
    const uint64_t pad = spec.width > size ? spec.width - size : 0;
    if (QZChar *at = out_.reserve(size + pad)) {
      Direct direct{at};
      lay_out(direct, spec.left, sign, pad, zero_pad, body);
    } else {
      Pieces pieces{out_};
      lay_out(pieces, spec.left, sign, pad, zero_pad, body);
    }
  }

  template <typename Sink, typename Body>
  static void lay_out(Sink &sink, bool left, QZChar sign, uint64_t pad, bool zero_pad, Body &body) {
    if (left) {
      if (sign != 0) sink.unit(sign);
      body(sink);
      sink.fill(' ', pad);
    } else if (zero_pad) {
      if (sign != 0) sink.unit(sign);
      sink.fill('0', pad);
      body(sink);
    } else {
      sink.fill(' ', pad);
      if (sign != 0) sink.unit(sign);
      body(sink);
    }
  }

  void convert(const Spec &spec, const Slot &value) {
    switch (spec.conversion) {
    case 'c':
    case 'C': {
      const auto unit = static_cast<QZChar>(integer_of(value, true));
      return padded(spec, 0, 1, false, [unit](auto &sink) { sink.unit(unit); });
    }
    case 's':
    case 'S':
      return text(spec, value);
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G':
      return real(spec, value);
    default:
      return integer(spec, value);
    }
  }

  void text(const Spec &spec, const Slot &value) {
    const bool bytes = spec.size == Size::kH;
    const void *pointer = value.value.pointer;
    uint64_t length = 0;
    if (pointer != nullptr) {
      const uint64_t limit =
          spec.precision >= 0 ? static_cast<uint64_t>(spec.precision) : UINT64_MAX;
      length = spec.conversion == 'S' ? limit : measure(pointer, bytes, limit);
    }
    QZTranscoder *transcoder = nullptr;
    if (bytes && length > 0) {
      transcoder = ioe::byte_transcoder();
      if (transcoder == nullptr) length = 0; // no kernel: an empty field
    }
    padded(spec, 0, length, false, [&](auto &sink) {
      QZChar *at = sink.piece(length);
      if (at == nullptr) return;
      if (bytes)
        ioe::convert_bytes(transcoder, static_cast<const char *>(pointer),
                           static_cast<uint32_t>(length), at);
      else
        std::copy_n(static_cast<const QZChar *>(pointer), length, at);
    });
  }

  // Units (or bytes) before the first 0 among the first `limit`.
  static uint64_t measure(const void *pointer, bool bytes, uint64_t limit) {
    uint64_t n = 0;
    if (bytes) {
      const auto *p = static_cast<const char *>(pointer);
      while (n < limit && p[n] != 0)
        ++n;
    } else {
      const auto *p = static_cast<const QZChar *>(pointer);
      while (n < limit && p[n] != 0)
        ++n;
    }
    return n;
  }

  void real(const Spec &spec, const Slot &value) {
    const double number = real_of(value);
    const QZChar c = spec.conversion;
    const bool upper = c == 'E' || c == 'G';
    const char conversion = static_cast<char>(upper ? c + ('a' - 'A') : c);
    ioe::DoubleText text;
    ioe::format_double(number, conversion, upper, spec.precision < 0 ? 6 : spec.precision,
                       spec.alternate, text);
    QZChar sign = spec.plus ? '+' : spec.space ? ' ' : 0;
    // A NaN and a negative zero are not below 0; a missing value gets no "-".
    if (!ioe::is_missing(ioe::bits_of(number)) && number < 0) sign = '-';
    const auto length = static_cast<uint64_t>(text.size());
    padded(spec, sign, length, spec.zero && text.zero_padding, [&](auto &sink) {
      if (QZChar *at = sink.piece(length)) text.copy_to(at, decimal_point_);
    });
  }

  void integer(const Spec &spec, const Slot &value) {
    const QZChar c = spec.conversion;
    const bool is_signed = c == 'd' || c == 'i';
    const bool pointer = c == 'p' || c == 'P';
    const bool wide = spec.size == Size::kLL || pointer;
    const uint32_t base = c == 'o' ? 8 : (c == 'x' || c == 'X' || pointer) ? 16 : 10;
    const bool upper = c == 'X' || c == 'P';

    // 32-bit conversions see the low 32 bits, signed ones sign-extended; a
    // pointer is as wide as a pointer, whatever its slot holds.
    uint64_t magnitude;
    if (!wide && (value.kind == kInt || value.kind == kLong || value.kind == kCharacter))
      magnitude = value.value.u32;
    else if (pointer)
      magnitude = static_cast<uintptr_t>(integer_of(value, false));
    else if (wide)
      magnitude = integer_of(value, true);
    else
      magnitude = static_cast<uint32_t>(integer_of(value, true));
    QZChar sign = 0;
    if (is_signed) {
      const bool negative = wide ? static_cast<int64_t>(magnitude) < 0
                                 : static_cast<int32_t>(static_cast<uint32_t>(magnitude)) < 0;
      if (negative)
        sign = '-',
        magnitude = wide ? 0 - magnitude : uint32_t{0} - static_cast<uint32_t>(magnitude);
      else
        sign = spec.plus ? '+' : spec.space ? ' ' : 0;
    }
    const uint32_t precision = spec.precision < 0 ? 1 : static_cast<uint32_t>(spec.precision);

    QZChar prefix[2];
    uint32_t prefix_length = 0;
    if (spec.alternate && magnitude > 0 && base != 10) {
      prefix[prefix_length++] = '0';
      if (base == 16) prefix[prefix_length++] = upper ? 'X' : 'x';
    }
    QZChar digits[ioe::kMaxIntegerUnits];
    QZChar *const end = digits + ioe::kMaxIntegerUnits;
    QZChar *first = end;
    if (magnitude != 0 || precision != 0) {
      if (base == 10 && magnitude <= UINT32_MAX)
        first = decimal_digits(static_cast<uint32_t>(magnitude), end);
      else if (base == 16 && magnitude <= UINT32_MAX)
        first = hex_digits(static_cast<uint32_t>(magnitude), upper, end);
      else
        first = end - ioe::unsigned_digits(magnitude, base, upper, end);
    }
    const auto count = static_cast<uint32_t>(end - first);
    // The octal prefix "0" counts as a digit.
    const uint32_t shown = count + (base == 8 ? prefix_length : 0);
    const uint32_t zeros = precision > shown ? precision - shown : 0;
    const uint64_t length = uint64_t{prefix_length} + zeros + count;
    padded(spec, sign, length, spec.zero, [&](auto &sink) {
      if (prefix_length != 0) sink.text(prefix, prefix_length);
      sink.fill('0', zeros);
      sink.text(first, count);
    });
  }

  const QZChar *format_;
  uint32_t length_;
  Parser parser_;
  Output out_;
  QZChar decimal_point_;
  va_list arguments_;
  Slot slots_[kSlots];
  uint32_t first_ = 0;
  Mode latest_ = Mode::kSequential; // no directive yet counts as sequential
  bool recorded_ = false;           // a numbered directive recorded a kind
  bool slots_ready_ = false;        // their kinds cleared
};

// Both exports call this directly, not through the symbol table.
QZStatus format_list(const QZFormatContext *context, const QZChar *format, uint32_t format_length,
                     QZChar *buffer, int32_t capacity, uint32_t *out_length, va_list arguments) {
  if (format == nullptr)
    format_length = 0;
  else if (format_length == 0)
    format_length = skStrTLen(format);
  QZChar decimal_point = '.';
  if (context != nullptr && context->locale != nullptr)
    decimal_point = context->locale->decimal_point;

  const uint32_t room = buffer == nullptr || capacity < 0 ? 0 : static_cast<uint32_t>(capacity);
  va_list lean_arguments;
  va_copy(lean_arguments, arguments);
  Lean lean;
  const Stop stop =
      lean_pass(format, format_length, buffer, room, decimal_point, &lean_arguments, lean);
  if (stop == Stop::kDone) {
    va_end(lean_arguments);
    if (out_length != nullptr) *out_length = lean.written;
    return QZ_OK;
  }
  // The engine takes the list where the lean pass left it. Only it can
  // fail, leaving the length 0: the lean pass stores it just once.
  if (out_length != nullptr) *out_length = 0;
  Engine engine(format, format_length, buffer, capacity, decimal_point, lean_arguments);
  va_end(lean_arguments);
  const QZStatus status = engine.resume(stop, lean);
  if (status != QZ_OK) return status;

  if (out_length != nullptr)
    *out_length = static_cast<uint32_t>(std::min<uint64_t>(engine.output().total(), UINT32_MAX));
  return engine.output().overflow() ? QZS_BUFFER_TOO_SMALL : QZ_OK;
}

} // namespace

extern "C" {

QZ_EXPORT QZStatus qzzFormatBuffV(const QZFormatContext *context, const QZChar *format,
                                  uint32_t format_length, QZChar *buffer, int32_t capacity,
                                  uint32_t *out_length, va_list arguments) noexcept {
  return format_list(context, format, format_length, buffer, capacity, out_length, arguments);
}

QZ_EXPORT QZStatus qzzFormatBuff(const QZFormatContext *context, const QZChar *format,
                                 uint32_t format_length, QZChar *buffer, int32_t capacity,
                                 uint32_t *out_length, ...) noexcept {
  va_list arguments;
  va_start(arguments, out_length);
  const QZStatus status =
      format_list(context, format, format_length, buffer, capacity, out_length, arguments);
  va_end(arguments);
  return status;
}

} // extern "C"

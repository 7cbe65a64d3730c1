// The format directive engine: parses directives, takes their arguments and
// writes each field through the converters, piece by piece.
#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "format/internal.h"
#include "qzioe/runtime.h"

namespace {

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

struct Slot {
  // All bytes cleared: a slot without a value reads as 0 or null through
  // every member, also where a member is wider than the one last stored.
  Slot() { std::memset(&value, 0, sizeof value); }

  uint8_t kind = kNone;
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
    for (;; ++i, any = true) {
      const QZChar c = at(i);
      if (c == '-')
        d.left = true;
      else if (c == '+')
        d.plus = true;
      else if (c == ' ')
        d.space = true;
      else if (c == '#')
        d.alternate = true;
      else if (c == '0')
        d.zero = true;
      else
        break;
    }
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

// The write rule: a piece is written whole if the overflow state is off and
// it fits, otherwise not at all and the state goes on; either way the
// position counts it, so the total is the complete output's length.
class Output {
public:
  Output(QZChar *buffer, int32_t capacity)
      : buffer_(buffer),
        capacity_(buffer == nullptr ? 0 : static_cast<uint64_t>(std::max(capacity, 0))) {}

  // Where the piece goes, or null when it is not to be written.
  QZChar *piece(uint64_t length) {
    QZChar *at = nullptr;
    if (!overflow_ && length <= capacity_ - position_)
      at = buffer_ + position_;
    else
      overflow_ = true;
    position_ += length;
    return length == 0 ? nullptr : at;
  }
  void text(const QZChar *units, uint64_t length) {
    if (QZChar *at = piece(length)) std::copy(units, units + length, at);
  }
  void fill(QZChar unit, uint64_t length) {
    if (QZChar *at = piece(length)) std::fill_n(at, length, unit);
  }
  void unit(QZChar unit) { fill(unit, 1); }

  uint64_t total() const { return position_; }
  bool overflow() const { return overflow_; }

private:
  QZChar *buffer_;
  uint64_t capacity_;
  uint64_t position_ = 0;
  bool overflow_ = false;
};

// Width, justification and pad of one field.
struct Field {
  uint64_t width = 0; // 0 without a width
  bool left = false;
  bool zero = false; // the zero flag with a width
};

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

  QZStatus run() {
    const int32_t first = find_percent(0);
    if (first < 0) {
      out_.text(format_, length_);
      return QZ_OK;
    }
    out_.text(format_, static_cast<uint32_t>(first));
    first_ = static_cast<uint32_t>(first);
    if (const QZStatus status = pass(false); status != QZ_OK) return status;
    if (latest_ != Mode::kNumbered) return QZ_OK;
    fetch_slots();
    return pass(true);
  }

  const Output &output() const { return out_; }

private:
  // The next "%" that starts a directive, from `from` on; a "%" that is the
  // last unit of the format is text.
  int32_t find_percent(uint32_t from) const {
    if (from >= length_) return -1;
    const int64_t at = ioe::find_unit(format_ + from, length_ - from, '%');
    if (at < 0) return -1;
    const uint64_t position = from + static_cast<uint64_t>(at);
    return position + 1 >= length_ ? -1 : static_cast<int32_t>(position);
  }

  QZStatus pass(bool second) {
    uint32_t position = first_;
    uint32_t pending = first_; // start of the text not yet written
    bool neutral = false;      // a neutral directive in that text
    for (int32_t at; (at = find_percent(position)) >= 0;) {
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
    while (neutral && from < to) {
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
    if (d.width_source == Source::kNumbered) raise(d.width_slot, kLong);
    if (d.precision_source == Source::kNumbered) raise(d.precision_slot, kLong);
    if (d.kind != kNone) raise(d.slot, d.kind);
  }

  void fetch(Slot &slot) {
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
      slots_[i] = Slot{};
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
      Field field;
      field.left = d.left;
      if (d.width_source != Source::kNone) {
        if (width < 0) field.left = true, width = -width;
        field.width = static_cast<uint64_t>(width);
      }
      field.zero = d.zero && !field.left && d.width_source != Source::kNone;
      const bool has_precision = d.precision_source != Source::kNone && precision >= 0;
      convert(d, value, field, has_precision ? precision : -1);
    }
    if (sequential) slots_[0] = Slot{};
  }

  // Writes `sign` (0: none) and a body of `length` units through `body`,
  // padded to the field's width. With zero padding the sign stays in front
  // of the zeros.
  template <typename Body>
  void padded(const Field &field, QZChar sign, uint64_t length, bool zero_pad, Body body) {
    const uint64_t size = length + (sign != 0 ? 1 : 0);
    const uint64_t pad = field.width > size ? field.width - size : 0;
    if (field.left) {
      if (sign != 0) out_.unit(sign);
      body();
      out_.fill(' ', pad);
    } else if (zero_pad) {
      if (sign != 0) out_.unit(sign);
      out_.fill('0', pad);
      body();
    } else {
      out_.fill(' ', pad);
      if (sign != 0) out_.unit(sign);
      body();
    }
  }

  void convert(const Directive &d, const Slot &value, const Field &field, int64_t precision) {
    switch (d.conversion) {
    case 'c':
    case 'C': {
      const auto unit = static_cast<QZChar>(integer_of(value, true));
      return padded(field, 0, 1, false, [&] { out_.unit(unit); });
    }
    case 's':
    case 'S':
      return text(d, value, field, precision);
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G':
      return real(d, value, field, precision);
    default:
      return integer(d, value, field, precision);
    }
  }

  void text(const Directive &d, const Slot &value, const Field &field, int64_t precision) {
    const bool bytes = d.size == Size::kH;
    const void *pointer = value.value.pointer;
    uint64_t length = 0;
    if (pointer != nullptr) {
      const uint64_t limit = precision >= 0 ? static_cast<uint64_t>(precision) : UINT64_MAX;
      length = d.conversion == 'S' ? limit : measure(pointer, bytes, limit);
    }
    QZTranscoder *transcoder = nullptr;
    if (bytes && length > 0) {
      transcoder = ioe::byte_transcoder();
      if (transcoder == nullptr) length = 0; // no kernel: an empty field
    }
    padded(field, 0, length, false, [&] {
      QZChar *at = out_.piece(length);
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

  void real(const Directive &d, const Slot &value, const Field &field, int64_t precision) {
    const double number = real_of(value);
    const bool upper = d.conversion == 'E' || d.conversion == 'G';
    const char conversion = static_cast<char>(upper ? d.conversion + ('a' - 'A') : d.conversion);
    ioe::DoubleText text;
    ioe::format_double(
        number, conversion, upper,
        precision < 0 ? 6 : static_cast<int32_t>(std::min<int64_t>(precision, INT32_MAX)),
        d.alternate, text);
    QZChar sign = d.plus ? '+' : d.space ? ' ' : 0;
    // A NaN and a negative zero are not below 0; a missing value gets no "-".
    if (!ioe::is_missing(ioe::bits_of(number)) && number < 0) sign = '-';
    const auto length = static_cast<uint64_t>(text.size());
    padded(field, sign, length, field.zero && text.zero_padding, [&] {
      if (QZChar *at = out_.piece(length)) text.copy_to(at, decimal_point_);
    });
  }

  void integer(const Directive &d, const Slot &value, const Field &field, int64_t precision) {
    const QZChar c = d.conversion;
    const bool is_signed = c == 'd' || c == 'i';
    const bool pointer = c == 'p' || c == 'P';
    const bool wide = d.size == Size::kLL || pointer;
    const uint32_t base = c == 'o' ? 8 : (c == 'x' || c == 'X' || pointer) ? 16 : 10;
    const bool upper = c == 'X' || c == 'P';

    uint64_t magnitude = integer_of(value, !pointer && (is_signed || wide));
    if (!wide) magnitude = static_cast<uint32_t>(magnitude);
    QZChar sign = 0;
    if (is_signed) {
      const int64_t number = wide ? static_cast<int64_t>(magnitude)
                                  : static_cast<int32_t>(static_cast<uint32_t>(magnitude));
      if (number < 0) {
        sign = '-';
        magnitude = uint64_t{0} - static_cast<uint64_t>(number);
      } else {
        sign = d.plus ? '+' : d.space ? ' ' : 0;
      }
    }
    if (precision < 0) precision = 1;

    QZChar prefix[2];
    uint32_t prefix_length = 0;
    if (d.alternate && magnitude > 0 && base != 10) {
      prefix[prefix_length++] = '0';
      if (base == 16) prefix[prefix_length++] = upper ? 'X' : 'x';
    }
    QZChar digits[ioe::kMaxIntegerUnits];
    QZChar *const end = digits + ioe::kMaxIntegerUnits;
    const uint32_t count =
        magnitude == 0 && precision == 0 ? 0 : ioe::unsigned_digits(magnitude, base, upper, end);
    // The octal prefix "0" counts as a digit.
    const uint64_t shown = count + (base == 8 ? prefix_length : 0);
    const uint64_t zeros =
        static_cast<uint64_t>(precision) > shown ? static_cast<uint64_t>(precision) - shown : 0;
    const uint64_t length = prefix_length + zeros + count;
    padded(field, sign, length, field.zero, [&] {
      for (uint32_t i = 0; i < prefix_length; ++i)
        out_.unit(prefix[i]);
      out_.fill('0', zeros);
      out_.text(end - count, count);
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
};

} // namespace

extern "C" {

QZ_EXPORT QZStatus qzzFormatBuffV(const QZFormatContext *context, const QZChar *format,
                                  uint32_t format_length, QZChar *buffer, int32_t capacity,
                                  uint32_t *out_length, va_list arguments) noexcept {
  if (out_length != nullptr) *out_length = 0;
  if (format == nullptr)
    format_length = 0;
  else if (format_length == 0)
    format_length = skStrTLen(format);
  QZChar decimal_point = '.';
  if (context != nullptr && context->locale != nullptr)
    decimal_point = context->locale->decimal_point;

  Engine engine(format, format_length, buffer, capacity, decimal_point, arguments);
  const QZStatus status = engine.run();
  if (status != QZ_OK) return status;
  if (out_length != nullptr)
    *out_length = static_cast<uint32_t>(std::min<uint64_t>(engine.output().total(), UINT32_MAX));
  return engine.output().overflow() ? QZS_BUFFER_TOO_SMALL : QZ_OK;
}

QZ_EXPORT QZStatus qzzFormatBuff(const QZFormatContext *context, const QZChar *format,
                                 uint32_t format_length, QZChar *buffer, int32_t capacity,
                                 uint32_t *out_length, ...) noexcept {
  va_list arguments;
  va_start(arguments, out_length);
  const QZStatus status =
      qzzFormatBuffV(context, format, format_length, buffer, capacity, out_length, arguments);
  va_end(arguments);
  return status;
}

} // extern "C"

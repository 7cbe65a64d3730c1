// The directive grammar, the only code that reads directive syntax:
//
//   "%" [n "$"] [flags] [width] ["." [precision]] [h | l | ll | L] conversion
//
// flags are - + space # 0; a width or precision is digits, "*" (the next
// argument) or "*n$" (argument n); n runs from 1 to QZ_FORMAT_MAX_ARGUMENTS.
// Digits right after "%" that no "$" follows are a width, after which no
// flag may come. The formatter's passes and qzio printf both read formats
// through parse_directive, so that the tool types its arguments exactly as
// the formatter takes them.
#pragma once

#include <cstdint>

#include "qzioe/format.h"

// Inlined whole into each pass, so that a directive lives in registers.
#define QZIOE_GRAMMAR_INLINE [[gnu::always_inline]] inline

namespace ioe {

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

enum class Size : uint8_t { kNone, kH, kL, kLL, kBigL };

// Sequential directives take their arguments from the list as they come,
// numbered ones from their slots after all are fetched. A neutral one (%%,
// or a bad directive that names and takes no argument) belongs to the text
// around it and changes neither.
enum class Mode : uint8_t { kSequential, kNumbered, kNeutral };

// Where a width or precision comes from.
enum class Source : uint8_t { kNone, kDigits, kStar, kNumbered };

// The flags as bits.
enum : uint8_t { kLeftFlag = 1, kPlusFlag = 2, kSpaceFlag = 4, kAlternateFlag = 8, kZeroFlag = 16 };

// The field a valid directive describes, as its writer needs it. The
// flags are a word: two byte fields side by side were merged into one
// register by byte writes, which stalled the reads of the whole.
struct Spec {
  QZChar conversion;
  uint32_t flags;    // as written, but - cancels 0 and + cancels space
  uint32_t width;    // 0 without a width
  int32_t precision; // -1 without a precision
  Size size;

  bool left() const { return (flags & kLeftFlag) != 0; } // with a width: spaces after the field
  bool plus() const { return (flags & kPlusFlag) != 0; }
  bool space() const { return (flags & kSpaceFlag) != 0; }
  bool alternate() const { return (flags & kAlternateFlag) != 0; }
  bool zero() const { return (flags & kZeroFlag) != 0; } // pads to a width, if any
};

// Every field is set by parse_directive, none by construction: a record
// cleared as a whole costs a string instruction in the 32-bit build, more
// than the whole of a bare directive.
struct Directive {
  uint32_t percent; // position of the "%"
  uint32_t end;     // just past the conversion character, within the format
  // Conversion, size and flags; the width and precision when digits give
  // them. A field whose width or precision comes from an argument is
  // completed by spec_of.
  Spec field;
  // After QZS_BAD_ARGUMENT_NUMBER: the number refused.
  uint32_t refused_number;
  // Argument numbers - 1: the value's (0 for sequential directives), the
  // width's and the precision's.
  uint8_t slot, width_slot, precision_slot;
  bool numbered_value; // "n$" names the value's argument
  Source width_source, precision_source;
  bool valid;
  Kind kind; // of the value, for a valid directive
  Mode mode;
  // Sequential, valid, with no "*", no size but l or ll, and neither %% nor
  // S: its field depends on its own argument alone.
  bool common;
  bool refused_star; // the number refused was a "*"'s
};

// Digit runs saturate: a width of billions never fits a buffer anyway.
constexpr uint32_t kNumberLimit = 0x7fffffffu;

namespace directive_grammar {

QZIOE_GRAMMAR_INLINE bool is_digit(QZChar c) {
  return c - '0' < 10u;
}
QZIOE_GRAMMAR_INLINE bool is_digit_1_9(QZChar c) {
  return c - '1' < 9u;
}

// `n` followed by the digit `c`, saturating.
QZIOE_GRAMMAR_INLINE uint32_t append_digit(uint32_t n, QZChar c) {
  const uint32_t digit = c - '0';
  if (n < kNumberLimit / 10) return n * 10 + digit;
  const uint64_t next = uint64_t{n} * 10 + digit;
  return next < kNumberLimit ? static_cast<uint32_t>(next) : kNumberLimit;
}

// The flag bits, looked up from " " to "0".
inline constexpr uint8_t kFlagBits[17] = {kSpaceFlag, 0, 0, kAlternateFlag, 0, 0,         0, 0,
                                          0,          0, 0, kPlusFlag,      0, kLeftFlag, 0, 0,
                                          kZeroFlag};

// The flag that `c` names as a bit, or 0.
QZIOE_GRAMMAR_INLINE uint32_t flag_bit(QZChar c) {
  return c - ' ' < sizeof kFlagBits ? kFlagBits[c - ' '] : 0;
}

// The flags of `bits` as a directive keeps them: - cancels 0 and + cancels
// space, each bit clearing the one it cancels.
struct KeptFlags {
  uint8_t of[32];
  constexpr KeptFlags() : of() {
    for (uint32_t bits = 0; bits < 32; ++bits)
      of[bits] = static_cast<uint8_t>(bits & ~((bits & kLeftFlag) != 0 ? kZeroFlag : 0) &
                                      ~((bits & kPlusFlag) != 0 ? kSpaceFlag : 0));
  }
};
inline constexpr KeptFlags kKeptFlags;
QZIOE_GRAMMAR_INLINE uint8_t kept_flags(uint32_t bits) {
  return kKeptFlags.of[bits & 31];
}

class Reader {
public:
  Reader(const QZChar *format, uint32_t length) : format_(format), length_(length) {}

  QZIOE_GRAMMAR_INLINE QZChar at(uint32_t i) const {
    return i < length_ ? format_[i] : 0;
  } // 0 past the end

  QZIOE_GRAMMAR_INLINE uint32_t number(uint32_t &i) const {
    uint32_t n = 0;
    for (QZChar c; is_digit(c = at(i)); ++i)
      n = append_digit(n, c);
    return n;
  }

  QZIOE_GRAMMAR_INLINE bool flags(uint32_t &i, Directive &d) const {
    uint32_t bits = 0;
    for (uint32_t bit; (bit = flag_bit(at(i))) != 0; ++i)
      bits |= bit;
    d.field.flags = kept_flags(bits);
    return bits != 0;
  }

  // "*n$" (numbered) or "*" (the next argument); nothing else is read.
  QZIOE_GRAMMAR_INLINE QZStatus star(uint32_t &i, Directive &d, Source &source,
                                     uint8_t &slot) const {
    if (at(i) != '*') return QZ_OK;
    ++i;
    if (!is_digit_1_9(at(i))) {
      source = Source::kStar;
      d.mode = Mode::kSequential;
      return QZ_OK;
    }
    const uint32_t n = number(i);
    if (at(i) != '$' || n > QZ_FORMAT_MAX_ARGUMENTS) {
      d.refused_number = n;
      d.refused_star = true;
      return QZS_BAD_ARGUMENT_NUMBER;
    }
    ++i;
    source = Source::kNumbered;
    slot = static_cast<uint8_t>(n - 1);
    d.mode = Mode::kNumbered;
    return QZ_OK;
  }

  QZIOE_GRAMMAR_INLINE QZStatus width(uint32_t &i, Directive &d) const {
    if (const QZStatus status = star(i, d, d.width_source, d.width_slot); status != QZ_OK)
      return status;
    if (d.width_source == Source::kNone && is_digit_1_9(at(i))) {
      d.width_source = Source::kDigits;
      d.field.width = number(i);
    }
    return QZ_OK;
  }

private:
  const QZChar *format_;
  uint32_t length_;
};

// What each conversion is: its family, the sizes it takes and, for
// integers and addresses, how their digits are written, as a table so that
// neither classifying a directive nor writing its field takes a branch per
// letter.
enum Family : uint8_t { kBad, kInteger, kCharacterFamily, kText, kCountedText, kReal, kAddress };

// 16 bytes, so that a letter's entry is found with a shift.
struct alignas(16) Conversion {
  Family family = kBad;
  uint8_t sizes = 0; // bit n: Size n is valid
  // Bit n: with Size n, a sequential directive without "*" is common.
  uint8_t common_sizes = 0;
  uint8_t base = 0; // of the digits
  bool is_signed = false, upper = false;
  Kind kinds[5] = {}; // the value's kind by Size
};

constexpr uint8_t size_bits(bool none, bool h, bool l, bool ll, bool big_l) {
  return static_cast<uint8_t>(none | h << 1 | l << 2 | ll << 3 | big_l << 4);
}

struct Conversions {
  Conversion of[128];
  // The conversion letters, which no flag, width, precision or size starts.
  QZIOE_GRAMMAR_INLINE constexpr bool is_bare_letter(QZChar c) const {
    return c < 128 && of[c].family != kBad;
  }
  constexpr Conversions() : of() {
    auto set = [this](char c, Family family, uint8_t sizes, Kind none, Kind l, Kind ll,
                      Kind big_l) {
      Conversion &to = of[int(c)];
      to.family = family;
      to.sizes = sizes;
      // h and L texts, characters and reals take the general passes; S
      // needs a precision, which only they check.
      to.common_sizes =
          family == kCountedText ? 0 : sizes & size_bits(true, false, true, true, false);
      to.kinds[0] = to.kinds[1] = none;
      to.kinds[2] = l;
      to.kinds[3] = ll;
      to.kinds[4] = big_l;
    };
    for (const char c : {'d', 'i', 'u', 'o', 'x', 'X'})
      set(c, kInteger, size_bits(true, false, true, true, false), kInt, kLong, kLongLong, kInt);
    for (const char c : {'c', 'C'})
      set(c, kCharacterFamily, size_bits(true, true, false, false, true), kCharacter, kCharacter,
          kCharacter, kCharacter);
    set('s', kText, size_bits(true, true, false, false, false), kPointer, kPointer, kPointer,
        kPointer);
    set('S', kCountedText, size_bits(true, true, false, false, false), kPointer, kPointer, kPointer,
        kPointer);
    for (const char c : {'e', 'E', 'f', 'g', 'G'})
      set(c, kReal, size_bits(true, false, false, false, true), kDouble, kDouble, kDouble,
          kLongDouble);
    for (const char c : {'p', 'P'})
      set(c, kAddress, size_bits(true, false, false, false, false), kPointer, kPointer, kPointer,
          kPointer);
    for (const char c : {'d', 'i', 'u'})
      of[int(c)].base = 10;
    of[int('o')].base = 8;
    for (const char c : {'x', 'X', 'p', 'P'})
      of[int(c)].base = 16;
    of[int('d')].is_signed = of[int('i')].is_signed = true;
    of[int('X')].upper = of[int('P')].upper = true;
  }
};
inline constexpr Conversions kConversions;

// The kind of every common directive of conversion `c`, or kNone where it
// depends on the size.
constexpr Kind common_kind(QZChar c) {
  const Conversion &conversion = kConversions.of[c < 128 ? c : 0];
  Kind kind = kNone;
  for (uint32_t size = 0; size < 5; ++size)
    if (((conversion.common_sizes >> size) & 1) != 0) {
      if (kind != kNone && conversion.kinds[size] != kind) return kNone;
      kind = conversion.kinds[size];
    }
  return kind;
}

// Validity, argument kind and mode of the directive from its conversion and
// size; `between`: anything stands between "%" and the conversion.
QZIOE_GRAMMAR_INLINE void classify(Directive &d, bool between) {
  const QZChar c = d.field.conversion;
  const Conversion &conversion = kConversions.of[c < 128 ? c : 0];
  const auto size = static_cast<uint32_t>(d.field.size);
  d.kind = conversion.kinds[size];
  d.valid = ((conversion.sizes >> size) & 1) != 0;
  if (conversion.family == kCountedText) d.valid = d.valid && d.precision_source != Source::kNone;
  if (c == '%') d.valid = !between;
  const bool takes_arguments =
      d.width_source == Source::kStar || d.precision_source == Source::kStar;
  if ((c == '%' && d.valid) || (!d.valid && d.mode == Mode::kSequential && !takes_arguments))
    d.mode = Mode::kNeutral;
  d.common = d.mode == Mode::kSequential && !takes_arguments &&
             ((conversion.common_sizes >> size) & 1) != 0;
}

} // namespace directive_grammar

// The next "%" that starts a directive, from `from` on, or -1; a "%" that
// is the last unit of the format is text.
inline int32_t find_directive(const QZChar *format, uint32_t length, uint32_t from) {
  for (uint32_t i = from; i + 1 < length; ++i)
    if (format[i] == '%') return static_cast<int32_t>(i);
  return -1;
}

namespace directive_grammar {

// Every field at its neutral value.
QZIOE_GRAMMAR_INLINE void start(Directive &d, uint32_t percent) {
  d.percent = percent;
  d.end = percent + 2;
  d.field.conversion = 0;
  d.field.size = Size::kNone;
  d.field.flags = 0;
  d.field.width = 0;
  d.field.precision = -1;
  d.refused_number = 0;
  d.slot = d.width_slot = d.precision_slot = 0;
  d.numbered_value = false;
  d.width_source = d.precision_source = Source::kNone;
  d.valid = false;
  d.kind = kNone;
  d.mode = Mode::kSequential;
  d.common = d.refused_star = false;
}

// Any directive but a bare conversion, whose "%" is at `percent`.
QZIOE_GRAMMAR_INLINE QZStatus parse_shaped(const QZChar *format, uint32_t length, uint32_t percent,
                                           Directive &d) {
  start(d, percent);
  const Reader r(format, length);
  uint32_t i = percent + 1;
  bool between = false; // anything between "%" and the conversion
  if (is_digit_1_9(r.at(i))) {
    const uint32_t n = r.number(i);
    between = true;
    if (r.at(i) == '$') {
      if (n > QZ_FORMAT_MAX_ARGUMENTS) {
        d.refused_number = n;
        return QZS_BAD_ARGUMENT_NUMBER;
      }
      ++i;
      d.slot = static_cast<uint8_t>(n - 1);
      d.numbered_value = true;
      d.mode = Mode::kNumbered;
      r.flags(i, d);
      if (const QZStatus status = r.width(i, d); status != QZ_OK) return status;
    } else {
      // A width, after which neither flags nor another width can come.
      d.width_source = Source::kDigits;
      d.field.width = n;
    }
  } else {
    between = r.flags(i, d);
    if (const QZStatus status = r.width(i, d); status != QZ_OK) return status;
  }
  if (d.width_source != Source::kNone) between = true;
  if (r.at(i) == '.') {
    ++i;
    between = true;
    if (const QZStatus status = r.star(i, d, d.precision_source, d.precision_slot); status != QZ_OK)
      return status;
    if (d.precision_source == Source::kNone) {
      d.precision_source = Source::kDigits;
      d.field.precision = static_cast<int32_t>(r.number(i)); // no digits: 0
    }
  }
  const QZChar size = r.at(i);
  Size &to = d.field.size;
  if (size == 'h') {
    to = Size::kH;
  } else if (size == 'L') {
    to = Size::kBigL;
  } else if (size == 'l') {
    to = r.at(i + 1) == 'l' ? Size::kLL : Size::kL;
    if (to == Size::kLL) ++i;
  }
  if (to != Size::kNone) {
    ++i;
    between = true;
  }
  d.field.conversion = r.at(i);
  d.end = i + 1 < length ? i + 1 : length;
  classify(d, between);
  return QZ_OK;
}

// The same, out of line for callers that inline only bare directives.
[[gnu::noinline]] inline QZStatus parse_shaped_apart(const QZChar *format, uint32_t length,
                                                     uint32_t percent, Directive &d) {
  return parse_shaped(format, length, percent, d);
}

// A common directive: true, with `d` read, for one; false for any other
// directive, with `d` left as it stands. The commonest shape, [flags]
// [width] ["." [precision]] [l | ll] conversion with numbers of at most two
// digits, is read in one straight sweep; one with a longer number is left
// to the whole grammar.
QZIOE_GRAMMAR_INLINE bool parse_common(const QZChar *format, uint32_t length, uint32_t percent,
                                       Directive &d) {
  const QZChar *p = format + percent + 1; // before the end: "%" is not the last unit
  const QZChar *const stop = format + length;
  auto next = [&p, stop]() -> QZChar { return ++p < stop ? *p : 0; };
  QZChar c = *p;
  uint32_t flags = 0;
  for (uint32_t bit; (bit = flag_bit(c)) != 0; c = next())
    flags |= bit;
  uint32_t width = 0;
  const bool has_width = is_digit_1_9(c);
  if (has_width) {
    width = c - '0';
    if (is_digit(c = next())) width = width * 10 + (c - '0'), c = next();
  }
  int32_t precision = -1;
  if (c == '.') {
    precision = 0;
    if (is_digit(c = next())) {
      precision = static_cast<int32_t>(c - '0');
      if (is_digit(c = next()))
        precision = precision * 10 + static_cast<int32_t>(c - '0'), c = next();
    }
  }
  // A word, not a Size: a byte kept on the stack and read back as a word
  // stalls the read.
  uint32_t size = static_cast<uint32_t>(Size::kNone);
  if (c == 'l') {
    size = static_cast<uint32_t>(Size::kL);
    if ((c = next()) == 'l') size = static_cast<uint32_t>(Size::kLL), c = next();
  }
  const Conversion &conversion = kConversions.of[c < 128 ? c : 0];
  if (((conversion.common_sizes >> size) & 1) == 0) {
    // Only a number of three digits or more is read by the whole grammar
    // (apart, so that `d` itself can live in registers); what else stands
    // here, another size, "*", "$", %, S or the end of the format, makes
    // no common directive.
    if (!is_digit(c)) return false;
    Directive whole;
    if (parse_shaped_apart(format, length, percent, whole) != QZ_OK || !whole.common) return false;
    d = whole;
    return true;
  }
  start(d, percent);
  d.field.conversion = c;
  d.field.size = static_cast<Size>(size);
  d.field.flags = kept_flags(flags);
  if (has_width) d.width_source = Source::kDigits, d.field.width = width;
  if (precision >= 0) d.precision_source = Source::kDigits, d.field.precision = precision;
  d.end = static_cast<uint32_t>(p - format) + 1;
  d.kind = conversion.kinds[size];
  d.valid = d.common = true;
  return true;
}

} // namespace directive_grammar

// Whether the directive whose "%" is at `percent` is a bare conversion.
QZIOE_GRAMMAR_INLINE bool is_bare(const QZChar *format, uint32_t length, uint32_t percent) {
  return directive_grammar::kConversions.is_bare_letter(percent + 1 < length ? format[percent + 1]
                                                                             : 0);
}

// The commonest directive: a bare conversion, a letter that is no size
// right after the "%". Reads it into `d`, or answers false and leaves `d`
// as it was for any other directive. With kLetter, only that letter is
// taken: the test is one comparison and the rest is known.
template <QZChar kLetter = 0>
QZIOE_GRAMMAR_INLINE bool parse_bare(const QZChar *format, uint32_t length, uint32_t percent,
                                     Directive &d) {
  using namespace directive_grammar;
  static_assert(kLetter == 0 || kConversions.is_bare_letter(kLetter));
  const QZChar c = percent + 1 < length ? format[percent + 1] : 0;
  if (kLetter != 0 ? c != kLetter : !kConversions.is_bare_letter(c)) return false;
  const QZChar letter = kLetter != 0 ? kLetter : c;
  start(d, percent);
  // What classify gives for it: valid but for S, which needs a precision.
  const Conversion &conversion = kConversions.of[letter];
  d.field.conversion = letter;
  d.kind = conversion.kinds[0];
  d.valid = conversion.family != kCountedText;
  d.common = d.valid;
  if (!d.valid) d.mode = Mode::kNeutral;
  return true;
}

// Reads the directive whose "%" is at `percent` (before the last unit of
// the format) into `d`. Fails only for a bad argument number, with `d`
// saying which.
QZIOE_GRAMMAR_INLINE QZStatus parse_directive(const QZChar *format, uint32_t length,
                                              uint32_t percent, Directive &d) {
  if (parse_bare(format, length, percent, d)) return QZ_OK;
  return directive_grammar::parse_shaped_apart(format, length, percent, d);
}

} // namespace ioe

// The fields of directives: the field of a directive (spec_of), the
// argument values (Slot), the two targets a field is written to, the one
// layout of sign, padding and body (padded), and one writer per conversion
// family.
//
// A target is either the engine's Output, which takes every field (whole
// into room reserved for it, or piece by piece under the write rule), or
// the lean pass's Room, which takes a field only when it fits whole.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <type_traits>

#include "format/directive.h"
#include "format/internal.h"

namespace ioe {

// The field of a valid directive whose width and precision, from digits
// or arguments, are `width` and `precision`: a negative width from an
// argument left-justifies, a negative precision is none.
inline Spec spec_of(const Directive &d, int64_t width, int64_t precision) {
  Spec spec = d.field;
  if (d.width_source != Source::kNone) {
    if (width < 0) { // up to 2^31
      spec.flags = (spec.flags | kLeftFlag) & ~uint32_t{kZeroFlag};
      width = -width;
    }
    spec.width = static_cast<uint32_t>(width);
  }
  const bool has_precision = d.precision_source != Source::kNone && precision >= 0;
  spec.precision = has_precision ? static_cast<int32_t>(precision) : -1;
  return spec;
}

// An argument's value and the kind it was taken as.
struct Slot {
  // Only a slot's kind is cleared when a call starts; its value is cleared
  // when it is fetched or found missing, so that a slot without a value
  // reads as 0 or null through every member, also one wider than the one
  // stored.
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

// Takes the slot's value of its kind from the list. Tests in order of
// use: a jump table costs more than they do.
inline void fetch(Slot &slot, va_list &arguments) {
  const uint8_t kind = slot.kind;
  if (kind == kInt || kind == kLong || kind == kCharacter)
    slot.value.u32 = static_cast<uint32_t>(va_arg(arguments, int));
  else if (kind == kPointer)
    slot.value.pointer = va_arg(arguments, const void *);
  else if (kind == kDouble)
    slot.value.real = va_arg(arguments, double);
  else if (kind == kLongLong)
    slot.value.u64 = static_cast<uint64_t>(va_arg(arguments, long long));
  else if (kind == kLongDouble)
    slot.value.long_real = va_arg(arguments, long double);
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
inline uint64_t integer_of(const Slot &slot, bool sign_extend) {
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

inline double real_of(const Slot &slot) {
  const uint8_t kind = slot.kind;
  if (kind == kDouble) return slot.value.real; // the usual one first
  if (kind == kInt || kind == kLong || kind == kCharacter)
    return static_cast<int32_t>(slot.value.u32);
  if (kind == kLongLong) return static_cast<double>(static_cast<int64_t>(slot.value.u64));
  if (kind == kPointer) return static_cast<double>(reinterpret_cast<uintptr_t>(slot.value.pointer));
  if (kind == kLongDouble) return static_cast<double>(slot.value.long_real);
  return 0;
}

// Most runs are a few units: a loop is cheaper than a call of memmove. It
// is indexed: the 32-bit build makes a loop of moving pointers a string
// instruction per unit, which costs several times more.
inline void copy_units(const QZChar *from, size_t length, QZChar *to) {
  if (length > 32) {
    check_bound(length <= PTRDIFF_MAX / sizeof(QZChar)); // no object is larger
    std::memmove(to, from, length * sizeof(QZChar));
    return;
  }
  for (size_t i = 0; i < length; ++i)
    to[i] = from[i];
}

// The write rule: a piece is written whole if the overflow state is off and
// it fits, otherwise not at all and the state goes on; either way the
// position counts it, so the total is the complete output's length.
class Output {
public:
  static constexpr bool kTakesEveryField = true;
  using Length = uint64_t; // a field's units, the write rule counting them all

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
    if (QZChar *at = piece(length)) copy_units(units, static_cast<size_t>(length), at);
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

// The lean pass's target: the room left in the buffer, taking a field only
// when all of it fits. Its end is a pointer, not a count: units written
// into the buffer cannot alias a pointer, so it stays in a register.
struct Room {
  static constexpr bool kTakesEveryField = false;
  using Length = uint32_t; // a field that fits the room

  QZChar *at;
  QZChar *end;

  // The room comes from a capacity below 2^31.
  uint32_t room() const { return static_cast<uint32_t>(end - at); }
  QZChar *reserve(uint32_t length) {
    if (length > room()) return nullptr; // a null buffer has no room
    QZChar *const start = at;
    at += length;
    return start;
  }
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
    copy_units(units, static_cast<size_t>(length), at);
    at += length;
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

// Writes `sign` (0: none) and a body of `length` units through
// `body(sink)`, padded to the field's width: spaces after it when left-
// justified, zeros between sign and body with zero padding, otherwise
// spaces in front. A field that fits goes straight into the buffer;
// otherwise Output writes each piece under the write rule and Room takes
// nothing and answers false.
template <typename Target, typename Count, typename Body>
[[gnu::always_inline]] inline bool padded(Target &target, const Spec &spec, QZChar sign,
                                          Count length, bool zero_pad, Body body) {
  using Length = typename Target::Length;
  static_assert(sizeof(Count) <= sizeof(uint64_t));
  // A body longer than the room cannot fit it, and one that does fits
  // the room's type with its sign and padding (widths are below 2^31). A
  // body counted in 32 bits is below 2^31 + 32 (precisions are below
  // 2^31), so it fits them too.
  if constexpr (!Target::kTakesEveryField && sizeof(Count) > sizeof(uint32_t))
    if (length > target.room()) return false;
  const Length size = static_cast<Length>(length) + (sign != 0 ? 1 : 0);
  const Length pad = spec.width > size ? spec.width - size : 0;
  auto lay_out = [&](auto &sink) __attribute__((always_inline)) {
    if (spec.left()) {
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
  };
  if (QZChar *at = target.reserve(size + pad)) {
    Direct direct{at};
    lay_out(direct);
    return true;
  }
  if constexpr (Target::kTakesEveryField) {
    Pieces pieces{target};
    lay_out(pieces);
    return true;
  }
  return false;
}

// The digits of `magnitude` in the base of `form`, with `sign` (0: none),
// precision, prefix and padding. 32-bit magnitudes (all but ll and the
// pointers of the 64-bit build) take 32-bit arithmetic throughout.
template <typename Target, typename Magnitude>
[[gnu::always_inline]] inline bool write_magnitude(Target &target, const Spec &spec,
                                                   const directive_grammar::Conversion &form,
                                                   QZChar sign, Magnitude magnitude) {
  const uint32_t base = form.base;
  const uint32_t precision = spec.precision < 0 ? 1 : static_cast<uint32_t>(spec.precision);
  // "0" for octal, "0x" or "0X" for hexadecimal.
  const QZChar prefix[2] = {'0', form.upper ? QZChar{'X'} : QZChar{'x'}};
  uint32_t prefix_length = 0;
  if (spec.alternate() && magnitude > 0 && base != 10) prefix_length = base == 16 ? 2 : 1;
  // Decimal and hexadecimal digits of 32 bits go straight to their place;
  // the others are made in `digits` first.
  const bool in_place = (sizeof(Magnitude) == 4 || magnitude <= UINT32_MAX) && base != 8;
  QZChar digits[kMaxIntegerUnits];
  uint32_t count = 0;
  if (magnitude != 0 || precision != 0) {
    const auto low = static_cast<uint32_t>(magnitude);
    if (!in_place)
      count = unsigned_digits(magnitude, base, form.upper, digits + kMaxIntegerUnits);
    else
      count = base == 10 ? decimal_length(low) : hex_length(low);
  }
  // The octal prefix "0" counts as a digit.
  const uint32_t shown = count + (base == 8 ? prefix_length : 0);
  const uint32_t zeros = precision > shown ? precision - shown : 0;
  // Below 2^32: the precision is below 2^31.
  const uint32_t length = prefix_length + zeros + count;
  return padded(
      target, spec, sign, length, spec.zero(), [&](auto &sink) __attribute__((always_inline)) {
        if (prefix_length != 0) sink.text(prefix, prefix_length);
        sink.fill('0', zeros);
        QZChar *const at = sink.piece(count);
        if (at == nullptr) return;
        if (!in_place)
          copy_units(digits + kMaxIntegerUnits - count, count, at);
        else if (base == 10)
          decimal_digits(static_cast<uint32_t>(magnitude), at + count);
        else
          hex_digits(static_cast<uint32_t>(magnitude), form.upper, at + count);
      });
}

// The sign of a value of a signed conversion: "-" for a negative one,
// whose magnitude it then takes, else the flags'.
template <typename Magnitude>
[[gnu::always_inline]] inline QZChar
sign_of(const Spec &spec, const directive_grammar::Conversion &form, Magnitude &magnitude) {
  if (!form.is_signed) return 0;
  if (static_cast<std::make_signed_t<Magnitude>>(magnitude) < 0) {
    magnitude = 0 - magnitude;
    return '-';
  }
  return spec.plus() ? '+' : spec.space() ? ' ' : 0;
}

// d, i, u, o, x, X, p and P. 32-bit conversions see the low 32 bits,
// signed ones sign-extended; a pointer is as wide as a pointer, whatever
// its slot holds.
template <typename Target>
[[gnu::always_inline]] inline bool write_integer(Target &target, const Spec &spec,
                                                 const Slot &value) {
  using namespace directive_grammar;
  const Conversion &form = kConversions.of[spec.conversion & 127]; // a valid one
  if (form.family == kAddress) {
    const auto address = static_cast<uintptr_t>(integer_of(value, false));
    return write_magnitude(target, spec, form, 0, address);
  }
  if (spec.size != Size::kLL) {
    const uint8_t kind = value.kind;
    uint32_t magnitude = kind == kInt || kind == kLong || kind == kCharacter
                             ? value.value.u32
                             : static_cast<uint32_t>(integer_of(value, true));
    const QZChar sign = sign_of(spec, form, magnitude);
    return write_magnitude(target, spec, form, sign, magnitude);
  }
  uint64_t magnitude = integer_of(value, true);
  const QZChar sign = sign_of(spec, form, magnitude);
  return write_magnitude(target, spec, form, sign, magnitude);
}

// Units before the first 0 among the first `limit`; without a limit
// (SIZE_MAX), a loop with no bound check.
template <typename Unit>
[[gnu::always_inline]] inline size_t measure_units(const Unit *p, size_t limit) {
  size_t n = 0;
  if (limit == SIZE_MAX) {
    while (p[n] != 0)
      ++n;
    return n;
  }
  while (n < limit && p[n] != 0)
    ++n;
  return n;
}

// Units (or bytes) before the first 0 among the first `limit`.
[[gnu::always_inline]] inline size_t measure(const void *pointer, bool bytes, size_t limit) {
  if (bytes) return measure_units(static_cast<const char *>(pointer), limit);
  return measure_units(static_cast<const QZChar *>(pointer), limit);
}

// s and S, of QZChar texts or (with h) of bytes through the kernel's
// transcoder. S reads exactly its precision.
template <typename Target>
[[gnu::always_inline]] inline bool write_text(Target &target, const Spec &spec, const Slot &value) {
  const bool bytes = spec.size == Size::kH;
  const void *pointer = value.value.pointer;
  size_t length = 0;
  if (pointer != nullptr) {
    const size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX;
    // Measured whole even where it cannot fit: the engine measures it
    // whole anyway when the lean pass leaves the field to it.
    length = spec.conversion == 'S' ? limit : measure(pointer, bytes, limit);
  }
  QZTranscoder *transcoder = nullptr;
  if (bytes && length > 0) {
    transcoder = byte_transcoder();
    if (transcoder == nullptr) length = 0; // no kernel: an empty field
  }
  return padded(
      target, spec, 0, length, false, [&](auto &sink) __attribute__((always_inline)) {
        QZChar *at = sink.piece(length);
        if (at == nullptr) return;
        if (bytes)
          convert_bytes(transcoder, static_cast<const char *>(pointer),
                        static_cast<uint32_t>(length), at);
        else
          copy_units(static_cast<const QZChar *>(pointer), length, at);
      });
}

// c and C.
template <typename Target>
[[gnu::always_inline]] inline bool write_character(Target &target, const Spec &spec,
                                                   const Slot &value) {
  const auto unit = static_cast<QZChar>(integer_of(value, true));
  return padded(target, spec, 0, 1, false, [unit](auto &sink) { sink.unit(unit); });
}

// e, E, f, g and G. Not inlined: its work area would make every caller's
// frame large.
template <typename Target>
[[gnu::noinline]] bool write_real(Target &target, const Spec &spec, double number,
                                  QZChar decimal_point) {
  const QZChar c = spec.conversion;
  const bool upper = c == 'E' || c == 'G';
  const char conversion = static_cast<char>(upper ? c + ('a' - 'A') : c);
  DoubleText text;
  format_double(number, conversion, upper, spec.precision < 0 ? 6 : spec.precision,
                spec.alternate(), text);
  QZChar sign = spec.plus() ? '+' : spec.space() ? ' ' : 0;
  // A NaN and a negative zero are not below 0; a missing value gets no "-".
  if (!is_missing(bits_of(number)) && number < 0) sign = '-';
  const auto length = static_cast<uint32_t>(text.size());
  return padded(target, spec, sign, length, spec.zero() && text.zero_padding, [&](auto &sink) {
    if (QZChar *at = sink.piece(length)) text.copy_to(at, decimal_point);
  });
}

// The field of a valid directive other than %%; false, with nothing
// written, when the target takes only whole fields and this one does not
// fit.
template <typename Target>
[[gnu::always_inline]] inline bool write_field(Target &target, const Spec &spec, const Slot &value,
                                               QZChar decimal_point) {
  switch (spec.conversion) {
  case 'c':
  case 'C':
    return write_character(target, spec, value);
  case 's':
  case 'S':
    return write_text(target, spec, value);
  case 'e':
  case 'E':
  case 'f':
  case 'g':
  case 'G':
    return write_real(target, spec, real_of(value), decimal_point);
  default:
    return write_integer(target, spec, value);
  }
}

} // namespace ioe

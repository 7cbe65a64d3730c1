// The format engine: the lean first pass, which writes the common
// directives straight into the buffer, and the general passes with their
// argument slots, which take over where it stops. Directives are read by
// parse_directive and written by the field writers of fields.h.
#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "format/directive.h"
#include "format/fields.h"
#include "qzioe/runtime.h"

namespace {

using namespace ioe;

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

// The argument of a common directive, of its kind, taken from the list.
inline Slot fetch_kind(uint8_t kind, va_list &arguments) {
  Slot value;
  value.kind = kind;
  fetch(value, arguments);
  return value;
}

enum class Handled : uint8_t { kNo, kWritten, kUnfit };

// The lean pass's step over the common directive `d`, with the `n` units
// of text before it: both written when its field fits; kUnfit, with the
// text written and the field and its value in `lean`, when it does not.
// kLetter, when it is not 0, is the conversion, known where the step is
// compiled so that the writer is compiled for it apart, and kBare says the
// directive is that letter alone. kFamily, when it is kReal, says the
// conversion is a floating one.
template <QZChar kLetter = 0, bool kBare = false,
          directive_grammar::Family kFamily = directive_grammar::kBad>
[[gnu::always_inline]] inline Handled lean_step(const Directive &d, const QZChar *text, uint32_t n,
                                                Room &target, QZChar decimal_point,
                                                va_list &arguments, Lean &lean) {
  copy_units(text, n, target.at); // the lean pass found room for it
  target.at += n;
  Spec spec = d.field;
  if (kLetter != 0) spec.conversion = kLetter;
  using namespace directive_grammar;
  constexpr Kind kKnown = kFamily == kReal ? kDouble
                          : kBare          ? kConversions.of[kLetter].kinds[0]
                                           : common_kind(kLetter);
  const Slot value = fetch_kind(kKnown != kNone ? kKnown : d.kind, arguments);
  bool written;
  if constexpr (kFamily == kReal)
    written = write_real(target, spec, value.value.real, decimal_point);
  else
    written = write_field(target, spec, value, decimal_point);
  if (written) return Handled::kWritten;
  lean.spec = spec;
  lean.value = value;
  return Handled::kUnfit;
}

// The lean pass's step over any other common directive, read here, so
// that its address stays in this function: o, X, c and p compiled for
// their letter, the rest by the writer of any field. kNo, with nothing
// done, for a directive that is not common. Out of line: the lean pass
// inlines only the commonest.
[[gnu::noinline]] Handled lean_apart(const QZChar *format, uint32_t length, uint32_t percent,
                                     uint32_t text, Room &target, QZChar decimal_point,
                                     va_list &arguments, Lean &lean) {
  Directive d;
  if (!directive_grammar::parse_common(format, length, percent, d)) return Handled::kNo;
  const QZChar *const before = format + text;
  const uint32_t n = percent - text;
  const QZChar c = d.field.conversion;
  if (c == 'o') return lean_step<'o'>(d, before, n, target, decimal_point, arguments, lean);
  if (c == 'X') return lean_step<'X'>(d, before, n, target, decimal_point, arguments, lean);
  if (c == 'c') return lean_step<'c'>(d, before, n, target, decimal_point, arguments, lean);
  if (c == 'p') return lean_step<'p'>(d, before, n, target, decimal_point, arguments, lean);
  return lean_step(d, before, n, target, decimal_point, arguments, lean);
}

// Pass one from the start of the format while it holds literal text and
// common directives whose fields fit: fields go straight into the buffer,
// and no engine is built. Most calls end here.
[[gnu::always_inline]] inline Stop lean_pass(const QZChar *format, uint32_t length, QZChar *buffer,
                                             uint32_t room, QZChar decimal_point,
                                             va_list *arguments, Lean &lean) {
  Room target{buffer, buffer + room};
  uint32_t text = 0;
  Stop stop = Stop::kDirective;
  for (;;) {
    if (text == length) { // a directive ended the format
      stop = Stop::kDone;
      break;
    }
    const int32_t percent = find_directive(format, length, text);
    if (percent < 0) {
      // No directive is left: the rest is text.
      const uint32_t n = length - text;
      if (QZChar *at = target.reserve(n)) {
        copy_units(format + text, n, at);
        text = length;
        stop = Stop::kDone;
      }
      break;
    }
    const auto at = static_cast<uint32_t>(percent);
    const uint32_t n = at - text;
    if (n > target.room()) break;
    Handled handled;
    uint32_t end;
    const QZChar *const before = format + text;
    Directive d;
    if (parse_bare<'d'>(format, length, at, d)) {
      end = d.end;
      handled = lean_step<'d', true>(d, before, n, target, decimal_point, *arguments, lean);
    } else if (parse_bare<'s'>(format, length, at, d)) {
      end = d.end;
      handled = lean_step<'s', true>(d, before, n, target, decimal_point, *arguments, lean);
    } else if (!is_bare(format, length, at)) {
      if (!directive_grammar::parse_common(format, length, at, d)) break;
      end = d.end;
      // The commonest compiled for their letter (i writes as d does), the
      // floating ones for their family.
      const QZChar c = d.field.conversion;
      if (c == 'd' || c == 'i')
        handled = lean_step<'d'>(d, before, n, target, decimal_point, *arguments, lean);
      else if (c == 'x')
        handled = lean_step<'x'>(d, before, n, target, decimal_point, *arguments, lean);
      else if (c == 'X')
        handled = lean_step<'X'>(d, before, n, target, decimal_point, *arguments, lean);
      else if (c == 'u')
        handled = lean_step<'u'>(d, before, n, target, decimal_point, *arguments, lean);
      else if (c == 's')
        handled = lean_step<'s'>(d, before, n, target, decimal_point, *arguments, lean);
      else if (d.kind == kDouble) // e, E, f, g, G
        handled = lean_step<0, false, directive_grammar::kReal>(d, before, n, target, decimal_point,
                                                                *arguments, lean);
      else
        handled = lean_apart(format, length, at, text, target, decimal_point, *arguments, lean);
    } else if (parse_bare<'u'>(format, length, at, d)) {
      end = d.end;
      handled = lean_step<'u', true>(d, before, n, target, decimal_point, *arguments, lean);
    } else if (parse_bare<'x'>(format, length, at, d)) {
      end = d.end;
      handled = lean_step<'x', true>(d, before, n, target, decimal_point, *arguments, lean);
    } else if (parse_bare<'i'>(format, length, at, d)) {
      end = d.end; // i writes as d does
      handled = lean_step<'d', true>(d, before, n, target, decimal_point, *arguments, lean);
    } else if (parse_bare<'X'>(format, length, at, d)) {
      end = d.end;
      handled = lean_step<'X', true>(d, before, n, target, decimal_point, *arguments, lean);
    } else {
      if (!parse_bare(format, length, at, d)) break; // it is bare
      end = d.end;
      if (d.kind == kDouble) { // e, E, f, g, G
        handled = lean_step<0, true, directive_grammar::kReal>(d, before, n, target, decimal_point,
                                                               *arguments, lean);
      } else {
        handled = lean_apart(format, length, at, text, target, decimal_point, *arguments, lean);
        if (handled == Handled::kNo) break;
      }
    }
    text = end;
    if (handled == Handled::kUnfit) {
      stop = Stop::kField;
      break;
    }
  }
  lean.text = text;
  lean.written = static_cast<uint32_t>(target.at - buffer);
  return stop;
}

constexpr uint32_t kSlots = QZ_FORMAT_MAX_ARGUMENTS;

class Engine {
public:
  Engine(const QZChar *format, uint32_t length, QZChar *buffer, int32_t capacity,
         QZChar decimal_point, va_list arguments)
      : format_(format), length_(length), out_(buffer, capacity), decimal_point_(decimal_point) {
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
    if (stop == Stop::kField) write_field(out_, lean.spec, lean.value, decimal_point_);
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
  int32_t find_percent(uint32_t from) const { return find_directive(format_, length_, from); }

  // Reads the format from `from`, where no text has been written yet.
  QZStatus pass(bool second, uint32_t from) {
    uint32_t position = from;
    uint32_t pending = from; // start of the text not yet written
    bool neutral = false;    // a neutral directive in that text
    for (int32_t at; (at = find_percent(position)) >= 0;) {
      Directive d;
      if (const QZStatus status = parse_directive(format_, length_, static_cast<uint32_t>(at), d);
          status != QZ_OK)
        return status;
      position = d.end;
      // While no numbered directive recorded a kind, a common directive is
      // carried out at once, as a sequential one is: slot 0 cannot hold a
      // higher kind.
      if (!second && !neutral && !recorded_ && d.common) {
        write_text(pending, d.percent, false);
        pending = d.end;
        latest_ = Mode::kSequential;
        write_field(out_, d.field, fetch_kind(d.kind, arguments_), decimal_point_);
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
      parse_directive(format_, length_, static_cast<uint32_t>(at), d);
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

  void fetch_slot(Slot &slot) {
    std::memset(&slot.value, 0, sizeof slot.value);
    fetch(slot, arguments_);
  }

  // Before pass two: the slots in number order, up to the first without a
  // kind; an argument after a gap cannot be found in the list.
  void fetch_slots() {
    uint32_t i = 0;
    for (; i < kSlots && slots_[i].kind != kNone; ++i)
      fetch_slot(slots_[i]);
    for (; i < kSlots; ++i)
      slots_[i].clear();
  }

  void carry_out(const Directive &d) {
    // Arguments of "*" are taken even when the directive turns out bad.
    int64_t width = d.field.width;
    int64_t precision = d.field.precision;
    if (d.width_source == Source::kStar) width = va_arg(arguments_, int);
    if (d.precision_source == Source::kStar) precision = va_arg(arguments_, int);
    if (!d.valid) return marker(d);

    const bool sequential = d.mode == Mode::kSequential;
    if (sequential) {
      if (d.width_source == Source::kNumbered) raise(d.width_slot, kLong);
      if (d.precision_source == Source::kNumbered) raise(d.precision_slot, kLong);
      raise(0, d.kind);
      fetch_slot(slots_[0]);
    }
    const Slot &value = slots_[sequential ? 0 : d.slot];
    bool bad = false;
    auto from_slot = [&](uint32_t slot) -> int64_t {
      if (slots_[slot].kind == kNone) bad = true;
      return static_cast<int32_t>(static_cast<uint32_t>(integer_of(slots_[slot], true)));
    };
    if (d.width_source == Source::kNumbered) width = from_slot(d.width_slot);
    if (d.precision_source == Source::kNumbered) precision = from_slot(d.precision_slot);
    const bool text = d.field.conversion == 's' || d.field.conversion == 'S';
    // A text's pointer comes from a pointer argument (or none: null), never
    // from the bits of a number that another directive took for the slot.
    if (text ? value.kind != kPointer && value.kind != kNone : value.kind == kNone) bad = true;
    // S needs a precision; one from an argument that is negative is none.
    if (d.field.conversion == 'S' && precision < 0) bad = true;
    if (bad)
      marker(d);
    else
      write_field(out_, spec_of(d, width, precision), value, decimal_point_);
    if (sequential) slots_[0].clear();
  }

  const QZChar *format_;
  uint32_t length_;
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

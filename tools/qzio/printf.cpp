// qzio printf FORMAT ARG...: the extension's formatter with arguments from
// the command line, each typed by the directive that takes it.
//
// Each directive is formatted by its own call, with its text before it and
// exactly the arguments it takes, so that every value crosses the variable
// argument list with the type the directive reads; numbered directives are
// handed over as their sequential spelling with the numbered values.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "commands.h"
#include "format/directive.h"
#include "output.h"
#include "qzioe/format.h"

namespace qzio {
namespace {

// The UTF-8 bytes as QZChar units; a byte that starts no valid sequence is
// U+FFFD.
std::vector<QZChar> from_utf8(const std::string &text) {
  std::vector<QZChar> units;
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const size_t length = byte < 0x80       ? 1
                          : byte >> 5 == 6  ? 2
                          : byte >> 4 == 14 ? 3
                          : byte >> 3 == 30 ? 4
                                            : 0;
    QZChar unit = length == 1 ? byte : byte & (0x7f >> length);
    bool valid = length != 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = next >> 6 == 2;
      unit = unit << 6 | (next & 0x3f);
    }
    units.push_back(valid ? unit : 0xfffdu);
    i += valid ? length : 1;
  }
  return units;
}

// The backslash escapes of printf(1) that formats commonly use.
std::string unescape(const std::string &format) {
  std::string out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '\\' || i + 1 == format.size()) {
      out += format[i];
      continue;
    }
    switch (format[++i]) {
    case 'n':
      out += '\n';
      break;
    case 't':
      out += '\t';
      break;
    case 'r':
      out += '\r';
      break;
    case '\\':
      out += '\\';
      break;
    default:
      out += '\\', out += format[i];
      break;
    }
  }
  return out;
}

enum class Type { kNone, kInt, kLongLong, kDouble, kLongDouble, kPointer, kText, kBytes, kChar };

// One directive as the formatter reads it: where its text starts, its
// argument numbers (0: sequential, -1: none) and the type of its value.
struct Directive {
  size_t text, percent, end;
  int value = -1, width = -1, precision = -1; // argument numbers; 0 is the next one
  uint32_t digits_precision = 0;              // a precision given as digits
  bool numbered = false, sequential = false;
  bool valid = false; // takes a value; %% is text here
  Type type = Type::kNone;
  std::vector<QZChar> spelling; // the directive without its numbers
};

// The argument number of a width or precision (0: the next one; -1: none).
int argument_of(ioe::Source source, uint32_t slot) {
  if (source == ioe::Source::kStar) return 0;
  return source == ioe::Source::kNumbered ? static_cast<int>(slot) + 1 : -1;
}

Type type_of(const ioe::Directive &g) {
  switch (g.kind) {
  case ioe::kCharacter:
    return Type::kChar;
  case ioe::kInt:
  case ioe::kLong:
    return Type::kInt;
  case ioe::kLongLong:
    return Type::kLongLong;
  case ioe::kDouble:
    return Type::kDouble;
  case ioe::kLongDouble:
    return Type::kLongDouble;
  case ioe::kPointer:
    if (g.field.conversion == 'p' || g.field.conversion == 'P') return Type::kPointer;
    return g.field.size == ioe::Size::kH ? Type::kBytes : Type::kText;
  default:
    return Type::kNone;
  }
}

// The directive spelled without argument numbers, as a sequential one.
std::vector<QZChar> spelling_of(const ioe::Directive &g) {
  std::string s = "%";
  const bool flags[] = {g.field.left(), g.field.plus(), g.field.space(), g.field.alternate(),
                        g.field.zero()};
  for (size_t k = 0; k < 5; ++k)
    if (flags[k]) s += "-+ #0"[k];
  auto add = [&s](ioe::Source source, uint32_t digits) {
    if (source == ioe::Source::kDigits) s += std::to_string(digits);
    if (source == ioe::Source::kStar || source == ioe::Source::kNumbered) s += '*';
  };
  add(g.width_source, g.field.width);
  if (g.precision_source != ioe::Source::kNone) s += '.';
  add(g.precision_source, static_cast<uint32_t>(g.field.precision));
  static const char *const kSizes[] = {"", "h", "l", "ll", "L"};
  s += kSizes[static_cast<int>(g.field.size)];
  std::vector<QZChar> units(s.begin(), s.end());
  units.push_back(g.field.conversion);
  return units;
}

// Splits the format into directives (the last entry holds only the text
// after the last one) through the formatter's own grammar.
bool parse(const std::vector<QZChar> &f, std::vector<Directive> &out, std::string &error) {
  const auto length = static_cast<uint32_t>(f.size());
  size_t text = 0;
  for (int32_t percent;
       (percent = ioe::find_directive(f.data(), length, static_cast<uint32_t>(text))) >= 0;) {
    ioe::Directive g;
    if (ioe::parse_directive(f.data(), length, static_cast<uint32_t>(percent), g) != QZ_OK) {
      error = g.refused_star
                  ? "a \"*\" argument number must be 1 to 10 and end in \"$\""
                  : "argument number " + std::to_string(g.refused_number) + " is not 1 to 10";
      return false;
    }
    Directive d;
    d.text = text;
    d.percent = static_cast<size_t>(percent);
    d.end = g.end;
    d.width = argument_of(g.width_source, g.width_slot);
    d.precision = argument_of(g.precision_source, g.precision_slot);
    d.digits_precision = static_cast<uint32_t>(std::max(g.field.precision, 0));
    d.numbered = g.numbered_value || d.width > 0 || d.precision > 0;
    d.valid = g.valid && g.field.conversion != '%';
    if (d.valid) {
      d.type = type_of(g);
      d.spelling = spelling_of(g);
      // A directive numbered only by "*n$" takes argument 1 for its value.
      d.value = g.numbered_value ? static_cast<int>(g.slot) + 1 : d.numbered ? 1 : 0;
    }
    d.sequential = d.width == 0 || d.precision == 0 || (d.valid && !d.numbered);
    out.push_back(d);
    text = d.end;
  }
  Directive tail;
  tail.text = text;
  tail.percent = tail.end = f.size();
  out.push_back(tail);
  return true;
}

using Value =
    std::variant<int, long long, double, long double, const void *, const QZChar *, const char *>;

// The command-line arguments, converted as each use asks.
class Arguments {
public:
  explicit Arguments(std::vector<std::string> args) : args_(std::move(args)) {}

  // Argument `n` (1-based) as `type`; false with a message naming it.
  bool get(size_t n, Type type, const std::string &directive, Value &value) {
    if (n == 0 || n > args_.size()) {
      error_ = "missing argument " + std::to_string(n) + " for '" + directive + "'";
      return false;
    }
    used_ = std::max(used_, n);
    const std::string &text = args_[n - 1];
    const char *begin = text.c_str();
    char *end = nullptr;
    errno = 0;
    bool ok = !text.empty();
    switch (type) {
    case Type::kInt: {
      const long long v = std::strtoll(begin, &end, 0);
      ok = ok && *end == 0 && errno == 0 && v >= INT32_MIN && v <= UINT32_MAX;
      value = static_cast<int>(static_cast<uint32_t>(v));
      break;
    }
    case Type::kLongLong: {
      const bool negative = text[0] == '-';
      const unsigned long long v =
          negative ? static_cast<unsigned long long>(std::strtoll(begin, &end, 0))
                   : std::strtoull(begin, &end, 0);
      ok = ok && *end == 0 && errno == 0;
      value = static_cast<long long>(v);
      break;
    }
    case Type::kPointer: {
      const unsigned long long v = std::strtoull(begin, &end, 0);
      ok = ok && text[0] != '-' && *end == 0 && errno == 0 && v <= UINTPTR_MAX;
      value = reinterpret_cast<const void *>(static_cast<uintptr_t>(v));
      break;
    }
    case Type::kDouble:
    case Type::kLongDouble: {
      const long double v = std::strtold(begin, &end);
      ok = ok && *end == 0; // out of range is an infinity or 0, as printf(1)
      if (type == Type::kDouble)
        value = static_cast<double>(v);
      else
        value = v;
      break;
    }
    case Type::kChar: {
      const std::vector<QZChar> units = from_utf8(text);
      value = static_cast<int>(units.empty() ? 0 : units[0]);
      ok = true; // the first character; an empty argument is U+0000
      break;
    }
    case Type::kText:
      texts_.push_back(from_utf8(text));
      texts_.back().push_back(0);
      value = static_cast<const QZChar *>(texts_.back().data());
      ok = true;
      break;
    case Type::kBytes:
      value = begin;
      ok = true;
      break;
    case Type::kNone:
      break;
    }
    if (!ok) {
      static const char *const kWhat[] = {
          "", "an integer", "an integer", "a number", "a number", "an address", "", "", ""};
      error_ = "invalid argument " + std::to_string(n) + " '" + text + "' for '" + directive +
               "': not " + kWhat[static_cast<int>(type)];
    }
    return ok;
  }

  size_t count() const { return args_.size(); }
  size_t used() const { return used_; }
  size_t next = 1; // of sequential directives
  const std::string &error() const { return error_; }

private:
  std::vector<std::string> args_;
  std::vector<std::vector<QZChar>> texts_;
  size_t used_ = 0;
  std::string error_;
};

using FormatFunction = decltype(&qzzFormatBuff);

// One call of the formatter; appends its output. False with a message.
template <typename... Args>
bool format_piece(FormatFunction format, const std::vector<QZChar> &piece, std::vector<QZChar> &out,
                  Args... args) {
  if (piece.empty()) return true; // a length of 0 would mean "up to a 0 unit"
  std::vector<QZChar> buffer(256);
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint32_t length = 0;
    const QZStatus status =
        format(nullptr, piece.data(), static_cast<uint32_t>(piece.size()), buffer.data(),
               static_cast<int32_t>(buffer.size()), &length, args...);
    if (status == QZ_OK) {
      out.insert(out.end(), buffer.begin(), buffer.begin() + length);
      return true;
    }
    if (status != QZS_BUFFER_TOO_SMALL || length > (1u << 26))
      return fail("cannot format '" + to_utf8(piece.data(), piece.size()) + "'", status);
    buffer.resize(length);
  }
  return false;
}

// Usage errors print "qzio: printf: ..." and give exit status 2.
int run_printf(const Session &session, const std::string &format_text,
               const std::vector<std::string> &args) {
  const auto format = reinterpret_cast<FormatFunction>(session.symbol("qzzFormatBuff"));
  if (format == nullptr) {
    std::fprintf(stderr, "qzio: %s does not export the formatter\n", session.library_path());
    return 1;
  }
  const std::vector<QZChar> f = from_utf8(unescape(format_text));
  std::vector<Directive> directives;
  std::string error;
  if (!parse(f, directives, error)) {
    std::fprintf(stderr, "qzio: printf: %s\n", error.c_str());
    return 2;
  }
  bool numbered = false, sequential = false;
  for (const Directive &d : directives)
    numbered |= d.numbered, sequential |= d.sequential;
  if (numbered && sequential) {
    std::fprintf(stderr, "qzio: printf: numbered and sequential directives cannot be mixed\n");
    return 2;
  }
  Arguments arguments(args);
  std::vector<QZChar> out;
  for (const Directive &d : directives) {
    std::vector<QZChar> piece(f.begin() + d.text, f.begin() + d.percent);
    const std::string name = to_utf8(f.data() + d.percent, d.end - d.percent);
    if (d.end == d.percent) { // the text after the last directive
      if (!format_piece(format, piece, out)) return 1;
      continue;
    }
    // Sequential arguments come in the order the formatter takes them.
    auto take = [&](int argument, Type type, Value &value) {
      const size_t n = argument == 0 ? arguments.next++ : static_cast<size_t>(argument);
      return arguments.get(n, type, name, value);
    };
    std::vector<int> stars;
    for (const int argument : {d.width, d.precision}) {
      if (argument < 0) continue;
      Value value;
      if (!take(argument, Type::kInt, value)) {
        std::fprintf(stderr, "qzio: printf: %s\n", arguments.error().c_str());
        return 2;
      }
      stars.push_back(std::get<int>(value));
    }
    if (!d.valid) {
      // The formatter writes it as a marker; it takes its "*" arguments.
      piece.insert(piece.end(), f.begin() + d.percent, f.begin() + d.end);
      bool ok = stars.empty()       ? format_piece(format, piece, out)
                : stars.size() == 1 ? format_piece(format, piece, out, stars[0])
                                    : format_piece(format, piece, out, stars[0], stars[1]);
      if (!ok) return 1;
      continue;
    }
    piece.insert(piece.end(), d.spelling.begin(), d.spelling.end());
    Value value = 0;
    if (d.type != Type::kNone && !take(d.value, d.type, value)) {
      std::fprintf(stderr, "qzio: printf: %s\n", arguments.error().c_str());
      return 2;
    }
    if (d.spelling.back() == 'S') {
      // S reads exactly its precision: never past the argument's end.
      const long long precision = d.precision >= 0 ? stars.back() : d.digits_precision;
      const size_t length =
          d.type == Type::kBytes
              ? std::char_traits<char>::length(std::get<const char *>(value))
              : std::char_traits<char32_t>::length(
                    reinterpret_cast<const char32_t *>(std::get<const QZChar *>(value)));
      if (precision > static_cast<long long>(length)) {
        std::fprintf(stderr, "qzio: printf: argument for '%s' is shorter than its precision\n",
                     name.c_str());
        return 2;
      }
    }
    const bool ok = std::visit(
        [&](auto v) {
          if (stars.empty()) return format_piece(format, piece, out, v);
          if (stars.size() == 1) return format_piece(format, piece, out, stars[0], v);
          return format_piece(format, piece, out, stars[0], stars[1], v);
        },
        value);
    if (!ok) return 1;
  }
  const size_t used = numbered ? arguments.used() : arguments.next - 1;
  if (used < arguments.count()) {
    std::fprintf(stderr, "qzio: printf: %zu arguments given, the format takes %zu\n",
                 arguments.count(), used);
    return 2;
  }
  const std::string text = to_utf8(out.data(), out.size());
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

} // namespace

void add_printf_command(CLI::App &app, Shared &shared) {
  struct PrintfArgs {
    std::string format;
    std::vector<std::string> args;
  };
  auto p = std::make_shared<PrintfArgs>();
  CLI::App *cmd = app.add_subcommand(
      "printf", "Format the arguments with the extension's formatter and print the result as "
                "UTF-8 (no newline is added; \\n, \\t, \\r and \\\\ in FORMAT are escapes)");
  cmd->add_option("FORMAT", p->format,
                  "Directives %[n$][flags][width][.precision][h|l|ll|L]conversion; each "
                  "argument is read as the type its directive takes")
      ->required();
  cmd->add_option("ARG", p->args, "The arguments (put -- before the first one that starts with -)");
  cmd->callback([&shared, p] {
    Session session;
    if (!session.open(shared.options)) {
      shared.exit_status = 1;
      return;
    }
    const int status = run_printf(session, p->format, p->args);
    const bool flushed = flush_output();
    shared.exit_status = session.close() && flushed ? status : 1;
  });
}

} // namespace qzio

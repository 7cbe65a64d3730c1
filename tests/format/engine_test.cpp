// The formatter through the library's exports: directives, passes, the
// write rule when the buffer is short, and integer and floating fields
// against the C library where the two agree.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "qzioe/extension.h"
#include "qzioe/format.h"

// The comparisons with the C library build their formats at run time.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

namespace {

constexpr QZChar kSentinel = 0xdeadbeefu;
constexpr int32_t kRoom = 600;

struct Result {
  std::string format;
  std::string text; // units outside 0x20 to 0x7e as \x{...}
  size_t units = 0;
  QZStatus status = 0;
  uint32_t length = 0;
};

std::string Show(const QZChar *units, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (units[i] >= 0x20 && units[i] < 0x7f) {
      text += static_cast<char>(units[i]);
    } else {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\x{%x}", units[i]);
      text += hex;
    }
  }
  return text;
}

Result RunV(const QZFormatContext *context, int32_t capacity, const char *format, va_list args) {
  const std::vector<QZChar> units = qztest::Chars(format);
  std::vector<QZChar> buffer(kRoom + 8, kSentinel);
  Result r;
  r.format = format;
  r.length = 12345;
  r.status = qzzFormatBuffV(context, units.data(), static_cast<uint32_t>(units.size()),
                            buffer.data(), capacity, &r.length, args);
  size_t shown = 0;
  while (shown < buffer.size() && buffer[shown] != kSentinel)
    ++shown;
  EXPECT_LE(shown, static_cast<size_t>(std::max(capacity, 0))) << format << ": past the capacity";
  r.text = Show(buffer.data(), shown);
  r.units = shown;
  return r;
}

Result Format(const char *format, ...) {
  va_list args;
  va_start(args, format);
  Result r = RunV(nullptr, kRoom, format, args);
  va_end(args);
  return r;
}

Result FormatIn(int32_t capacity, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Result r = RunV(nullptr, capacity, format, args);
  va_end(args);
  return r;
}

double FromBits(uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", value);
  return text;
}

struct Row {
  Result got;
  std::string want;
};

void ExpectRows(const std::vector<Row> &rows) {
  for (const Row &row : rows) {
    EXPECT_EQ(row.got.text, row.want) << "format \"" << row.got.format << "\"";
    EXPECT_EQ(row.got.status, QZ_OK) << row.got.format;
    EXPECT_EQ(row.got.length, row.got.units) << row.got.format;
  }
}

const QZChar kText[] = {'a', 'b', 'c', 'd', 'e', 'f', 0};

TEST(FormatEngine, Directives) {
  ExpectRows({
      {Format("100%"), "100%"},
      {Format("%%"), "%"},
      {Format("%5%|%q|%-%"), "<<%5%>>|<<%q>>|<<%-%>>"},
      {Format("%05d", -42), "-0042"},
      {Format("%-05d|", 42), "42   |"},
      {Format("%+ d|% d|%+d", 5, 5, -5), "+5| 5|-5"},
      {Format("%#o|%#x|%#.4x|%#08x", 8, 0, 255, 255), "010|0|0x00ff|00000xff"},
      {Format("[%.0d|%5.0d|%08.3d]", 0, 0, 5), "[|     |00000005]"},
      {Format("%d|%i|%u|%x|%X", INT_MIN, -1, -1, -1, 255), "-2147483648|-1|4294967295|ffffffff|FF"},
      {Format("%lld|%llu|%llx", LLONG_MIN, -1LL, 0x123456789abLL),
       "-9223372036854775808|18446744073709551615|123456789ab"},
      {Format("%ld|%lx|%lo", -7L, 255L, 8L), "-7|ff|10"},
      {Format("%p|%#P|%#p", nullptr, reinterpret_cast<void *>(255), reinterpret_cast<void *>(16)),
       "0|0XFF|0x10"},
      {Format("%c|%05c|%hc|%Lc|%-3C|", 0x41, 'B', 'C', 'D', 'E'), "A|    B|C|D|E  |"},
      {Format("%C", 0x263a), "\\x{263a}"},
      {Format("%lf|%hd|%ls|%hp|%F|%hhd|%Ld|%lc|%llf", 1, 2, 3, 4, 5, 6, 7, 8, 9),
       "<<%lf>>|<<%hd>>|<<%ls>>|<<%hp>>|<<%F>>|<<%hh>>d|<<%Ld>>|<<%lc>>|<<%llf>>"},
      {Format("%08.2f|%+f|%e|% .1f", -1.5, 0.0, -0.0, 2.25),
       "-0001.50|+0.000000|0.000000e+00| 2.3"},
      {Format("%g|%G|%#g|%.3g|%g", 0.0001, 1e-10, 1.0, 1234.5, 1e100),
       "0.0001|1E-10|1.00000|1.23e+03|1e+100"},
      {Format("%Lf|%.2Le", 2.5L, 12345.0L), "2.500000|1.23e+04"},
      {Format("[%s|%5s|%.3s|%-4.2s|%.9s]", nullptr, nullptr, kText, kText, kText),
       "[|     |abc|ab  |abcdef]"},
      {Format("%S|%.2S|%4.1S", kText, kText, kText), "<<%S>>|ab|   a"},
      {Format("%*d|%-*d|%.*d|%.*f", 4, 1, -4, 2, -3, 5, -1, 0.5), "   1|2   |5|0.500000"},
      {Format("%*.*s|", 6, 2, kText), "    ab|"},
  });
}

// Numbered arguments are taken in number order after pass one, whatever
// order the directives use.
TEST(FormatEngine, NumberedArguments) {
  ExpectRows({
      {Format("%2$d %1$d", 1, 2), "2 1"},
      {Format("%1$*2$d", 7, 3), "  7"},
      {Format("%1$d%1$d", 7), "77"},
      {Format("%3$s-%1$.*2$f", 1.25, 1, kText), "abcdef-1.3"},
      {Format("%2$lld %1$c %3$.2e", 'x', 1LL << 40, 0.5), "1099511627776 x 5.00e-01"},
      {Format("%10$d%9$d%8$d%7$d%6$d%5$d%4$d%3$d%2$d%1$d", 0, 1, 2, 3, 4, 5, 6, 7, 8, 9),
       "9876543210"},
      // "%%" takes nothing: numbered directives around it are still written,
      // and it is written once, where it stands.
      {Format("%1$d%% done", 7), "7% done"},
      {Format("%%%1$d", 7), "%7"},
      {Format("a%%b%2$s%1$d%%", 7, kText), "a%babcdef7%"},
      // So is a bad directive that takes and names no argument.
      {Format("%1$d %q %2$d", 7, 8), "7 <<%q>> 8"},
      // A gap: the argument after it cannot be found in the list.
      {Format("%1$d %3$d", 7, 8, 9), "7 <<%3$d>>"},
      {Format("%1$d %3$s|", 7, 8, kText), "7 |"},
      // A double's bits are never taken for a text's pointer.
      {Format("%1$f %1$s", 1.5), "1.500000 <<%1$s>>"},
      // Mixed with sequential ones, a slot that a sequential directive used
      // reads as empty, never as a stale pointer.
      {Format("%1$d %d %2$s|", 1, 2, kText), " 1<<%1$d>> 2 |"},
      // ... and a slot that ends up holding an int is no text's pointer.
      {Format("%1$s%d%1$x|", nullptr, 5, 6), "0<<%1$s>>6<<%1$x>>|"},
      {Format("%1$s %1$X", kText),
       "abcdef " + Hex(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(kText)))},
      // A pointer conversion of a floating slot is as wide as a pointer.
      {Format("%1$p %1$f", -1.0), std::string(sizeof(void *) * 2, 'f') + " -1.000000"},
      {Format("%1$P|%1$Le", -2.0L), std::string(sizeof(void *) * 2 - 1, 'F') + "E|-2.000000e+00"},
  });
}

// Fills the stack below the caller with a pattern, so that a value the
// formatter reads without setting it shows.
__attribute__((noinline)) void ScribbleStack() {
  volatile unsigned char junk[1 << 16];
  for (auto &byte : junk)
    byte = 0x55;
}

// In pass one a directive made sequential by its "*" precision, whose width
// comes from "*n$", finds that slot not fetched yet: the width is 0,
// whatever the stack held. Pass two then fetches 5 and 3 for the slots, and
// 1 and 'B' for the "*" and the "%c" again, whose slot 0 is then empty for
// "%1$d".
TEST(FormatEngine, PassOneWidthFromAnUnfetchedSlotIsZero) {
  for (const int32_t capacity : {0, kRoom}) {
    ScribbleStack();
    const Result r = FormatIn(capacity, "%*2$.*c|%1$d", 1, 'A', 5, 3, 1, 'B');
    EXPECT_EQ(r.length, 13u) << capacity;
    if (capacity != 0) {
      EXPECT_EQ(r.text, "A  B|<<%1$d>>");
    }
  }
}

TEST(FormatEngine, BadArgumentNumbersStopAtOnce) {
  for (const char *format :
       {"ab%11$d", "ab%*12d", "ab%1$*11$d", "ab%.*3d", "ab%1$d%.*99$d", "ab%99999999999$d"}) {
    const Result r = Format(format, 1, 2, 3);
    EXPECT_EQ(r.status, QZS_BAD_ARGUMENT_NUMBER) << format;
    EXPECT_EQ(r.length, 0u) << format;
    EXPECT_EQ(r.text, "ab") << format;
  }
  // "*0" is a "*" and a 0 flag-like unit that is no conversion.
  EXPECT_EQ(Format("%*0d", 5).text, "<<%*0>>d");
}

// The infinities, NaNs and missing values: text, sign rule, and no zero
// padding, which would make numbers of them.
TEST(FormatEngine, NonNumbers) {
  const double nan = std::nan("");
  ExpectRows({
      {Format("%+08.2f|", nan), "    +nan|"},
      {Format("%08.2f|% e|%-6g|", -nan, nan, -nan), "     nan| nan|nan   |"},
      {Format("%08f|%E|%+G|%-5f|", -HUGE_VAL, HUGE_VAL, HUGE_VAL, HUGE_VAL),
       "    -inf|INF|+INF|inf  |"},
      {Format("%05f|%+f|%-3e|%.0g", FromBits(0xfffffe0000000000u), FromBits(0xffffff0000000000u),
              FromBits(0xfffffd0000000000u), FromBits(0xffffe4ffffffffffu)),
       "    .|+._|.A |.Z"},
  });
}

TEST(FormatEngine, FormatLengthContextAndBuffer) {
  const QZChar format[] = {'%', '5', 'd', 0, 'x'};
  QZChar out[16];
  uint32_t length = 99;
  // Two units end inside the directive: nothing past them is read.
  EXPECT_EQ(qzzFormatBuff(nullptr, format, 2, out, 16, &length, 42), QZ_OK);
  EXPECT_EQ(Show(out, length), "<<%5>>");
  EXPECT_EQ(qzzFormatBuff(nullptr, format, 0, out, 16, &length, 42), QZ_OK);
  EXPECT_EQ(Show(out, length), "   42");
  EXPECT_EQ(qzzFormatBuff(nullptr, nullptr, 0, out, 16, &length), QZ_OK);
  EXPECT_EQ(length, 0u);
  // A null buffer is no room at all: the length is still measured.
  EXPECT_EQ(qzzFormatBuff(nullptr, format, 0, nullptr, 16, &length, 42), QZS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 5u);

  static QZLocale locale{};
  locale.decimal_point = ',';
  QZFormatContext context{};
  const std::vector<QZChar> reals = qztest::Chars("%.2f %#.0e %g");
  for (const char *want : {"2.50 3.e+00 0.5", "2,50 3,e+00 0,5"}) {
    ASSERT_EQ(qzzFormatBuff(&context, reals.data(), static_cast<uint32_t>(reals.size()), out, 16,
                            &length, 2.5, 3.0, 0.5),
              QZ_OK);
    EXPECT_EQ(Show(out, length), want);
    context.locale = &locale;
  }
}

TEST(FormatEngine, ShortBufferKeepsWholePieces) {
  struct Case {
    Result got;
    QZStatus status;
    const char *text;
    uint32_t length;
  };
  const Case cases[] = {
      {FormatIn(3, "abcd"), QZS_BUFFER_TOO_SMALL, "", 4},
      {FormatIn(4, "ab%d", 12345), QZS_BUFFER_TOO_SMALL, "ab", 7},
      {FormatIn(3, "%.5d", 7), QZS_BUFFER_TOO_SMALL, "", 5},
      {FormatIn(4, "%#o|", 8), QZ_OK, "010|", 4},
      {FormatIn(-5, "x"), QZS_BUFFER_TOO_SMALL, "", 1},
      // Widths far beyond any buffer are counted, never written; a total
      // beyond 32 bits is reported as the largest count.
      {FormatIn(10, "%99999999999d|%2147483647d", 1, 2), QZS_BUFFER_TOO_SMALL, "", UINT32_MAX},
      // Just below the limit a width is exact, whichever pass writes it.
      {FormatIn(10, "%2147483646d", 1), QZS_BUFFER_TOO_SMALL, "", 2147483646u},
      {FormatIn(10, "%%%-2147483646.2147483645x", 1), QZS_BUFFER_TOO_SMALL, "%", 2147483647u},
      {FormatIn(10, "%*d%*d%*d", INT_MIN, 1, INT_MAX, 2, 9, 3), QZS_BUFFER_TOO_SMALL, "1",
       UINT32_MAX},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.got.status, c.status) << c.got.format;
    EXPECT_EQ(c.got.text, c.text) << c.got.format;
    EXPECT_EQ(c.got.length, c.length) << c.got.format;
  }
}

// Every capacity from 0 to one past the need: the buffer holds a prefix of
// the complete output and nothing past it.
TEST(FormatEngine, EveryCapacityGivesAPrefix) {
  for (const char *format : {"ab%5dcd%-6.2f|%%|%q", "%2$08.3f %1$#x%1$+d", "%#010x%e"}) {
    const Result full = Format(format, 300, 3.14159);
    ASSERT_EQ(full.status, QZ_OK);
    for (uint32_t capacity = 0; capacity <= full.length + 1; ++capacity) {
      const Result r = FormatIn(static_cast<int32_t>(capacity), format, 300, 3.14159);
      EXPECT_EQ(r.length, full.length) << format << " capacity " << capacity;
      EXPECT_EQ(r.status, capacity >= full.length ? QZ_OK : QZS_BUFFER_TOO_SMALL);
      EXPECT_EQ(full.text.substr(0, r.text.size()), r.text) << format << " " << capacity;
    }
  }
}

// Integer fields against the C library, over the flags, widths, precisions
// and sizes where the two agree: C drops the zero flag for a precision and
// puts its zeros after "0x", and "%#.0o" of 0 is "0" there.
TEST(FormatEngine, IntegersAgreeWithTheCLibrary) {
  std::mt19937_64 random(7);
  const int64_t specials[] = {0, 1, -1, INT_MAX, INT_MIN, UINT_MAX, LLONG_MAX, LLONG_MIN, 255, 8};
  for (int i = 0; i < 20000; ++i) {
    const char conversion = "diuoxX"[random() % 6];
    const auto size = random() % 3; // none, l, ll
    int64_t value = random() % 4 == 0 ? specials[random() % 10] : static_cast<int64_t>(random());
    if (random() % 3 == 0) value >>= random() % 64;
    if (size != 2) value = static_cast<int32_t>(value);
    std::string flags;
    for (const char flag : {'-', '+', ' ', '#', '0'})
      if (random() % 3 == 0) flags += flag;
    const bool alternate = flags.find('#') != std::string::npos;
    const std::string width = random() % 2 ? std::to_string(random() % 25 + 1) : "";
    const int digits = random() % 2 ? static_cast<int>(random() % 25) : -1;
    if (digits >= 0 || (alternate && (conversion == 'x' || conversion == 'X')))
      std::erase(flags, '0');
    if (conversion == 'o' && alternate && digits == 0 && value == 0) continue;
    // l is 32-bit here whatever the C library's long is: C sees no size.
    const std::string head =
        "%" + flags + width + (digits >= 0 ? "." + std::to_string(digits) : "");
    const std::string directive = head + (size == 1 ? "l" : size == 2 ? "ll" : "") + conversion;
    char want[128];
    Result got;
    if (size == 2) {
      std::snprintf(want, sizeof want, directive.c_str(), static_cast<long long>(value));
      got = Format(directive.c_str(), static_cast<long long>(value));
    } else {
      std::snprintf(want, sizeof want, (head + conversion).c_str(), static_cast<int32_t>(value));
      got = Format(directive.c_str(), static_cast<int32_t>(value));
    }
    ASSERT_EQ(got.text, want) << directive << " of " << value;
  }
}

// Floating fields against the C library on values whose exact expansions
// are far longer than the digits shown, so that no tie is ever rounded.
TEST(FormatEngine, FixedAndExponentFieldsAgreeWithTheCLibrary) {
  std::mt19937_64 random(11);
  for (int i = 0; i < 20000; ++i) {
    const uint64_t odd = (random() >> 11) | 1 | (uint64_t{1} << 52);
    double value = std::ldexp(static_cast<double>(odd), -static_cast<int>(random() % 36) - 45);
    if (random() % 2) value = -value;
    std::string directive = "%";
    for (const char flag : {'-', '+', ' ', '#', '0'})
      if (random() % 3 == 0) directive += flag;
    if (random() % 2) directive += std::to_string(random() % 30 + 1);
    if (random() % 3) directive += "." + std::to_string(random() % 21);
    directive += "efE"[random() % 3];
    char want[128];
    std::snprintf(want, sizeof want, directive.c_str(), value);
    ASSERT_EQ(Format(directive.c_str(), value).text, want)
        << directive << " of " << std::hexfloat << value;
  }
}

// The first pass writes common fields straight into the buffer; after a
// "%%" the engine writes them through its general field writer. The two
// must agree on every directive, with the buffer large or short, also when
// the first pass hands a format over halfway.
TEST(FormatEngine, DirectAndGeneralFieldsAgree) {
  std::mt19937_64 random(13);
  const QZChar text[] = {'q', 'z', 0x263a, 'o', 'e', 0};
  // Directives of one class (integer, text or floating), so that one value
  // serves each of them.
  auto directive = [&random](const char *conversions) {
    std::string d = "%";
    for (const char flag : {'-', '+', ' ', '#', '0'})
      if (random() % 4 == 0) d += flag;
    // Now and then a number of three digits, which the first pass leaves
    // to the whole grammar to read.
    auto number = [&random](uint64_t from, uint64_t below) {
      return std::to_string(random() % 8 == 0 ? 100 + random() % 20 : from + random() % below);
    };
    if (random() % 2) d += number(1, 12);
    if (random() % 2) d += "." + number(0, 8);
    const char conversion = conversions[random() % std::strlen(conversions)];
    if (random() % 4 == 0 && std::strchr("diuxXo", conversion)) d += 'l';
    return d + conversion;
  };
  for (int i = 0; i < 20000; ++i) {
    const int kind = static_cast<int>(random() % 3);
    const char *conversions = kind == 0 ? "diuxXoc" : kind == 1 ? "s" : "efgEG";
    // One directive, or two with text between: the first pass may stop
    // after the first and leave the second to the engine.
    std::string format = "<" + directive(conversions) + ">";
    if (random() % 2) format += directive(conversions) + "|";
    const auto value = static_cast<int32_t>(random() >> (random() % 64));
    const double real =
        std::ldexp(static_cast<double>(value), static_cast<int>(random() % 40) - 20);
    const int32_t capacity = random() % 3 == 0 ? static_cast<int32_t>(random() % 24) : kRoom;
    Result lean, engine;
    if (kind == 1) {
      lean = FormatIn(capacity, format.c_str(), text, text);
      engine = FormatIn(capacity + 1, ("%%" + format).c_str(), text, text);
    } else if (kind == 2) {
      lean = FormatIn(capacity, format.c_str(), real, real);
      engine = FormatIn(capacity + 1, ("%%" + format).c_str(), real, real);
    } else {
      lean = FormatIn(capacity, format.c_str(), value, value);
      engine = FormatIn(capacity + 1, ("%%" + format).c_str(), value, value);
    }
    ASSERT_EQ("%" + lean.text, engine.text) << format << " capacity " << capacity;
    ASSERT_EQ(lean.length + 1, engine.length) << format;
    ASSERT_EQ(lean.status, engine.status) << format << " capacity " << capacity;
  }
}

// Byte strings go through the kernel's byte transcoder.
class FormatBytes : public qztest::KernelTest {
protected:
  void SetUp() override {
    KernelTest::SetUp();
    qzextent(kernel_);
  }
  void TearDown() override {
    qzextent(nullptr);
    KernelTest::TearDown();
  }
};

TEST_F(FormatBytes, ThroughTheKernelTranscoder) {
  ExpectRows({
      {Format("[%hs|%6hs|%.2hs|%-4.1hS|%.3hS]", "d\xe9j\xe0", "ab", "xyz", "q", "a\0b"),
       "[d\\x{e9}j\\x{e0}|    ab|xy|q   |a\\x{0}b]"},
      {Format("%hs|%5hs|", nullptr, nullptr), "|     |"},
  });
}

TEST_F(FormatBytes, NoKernelOrTranscoderIsAnEmptyField) {
  qzextent(nullptr);
  ExpectRows({{Format("[%hs|%4hs|%.2hS]", "abc", "abc", "abc"), "[|    |]"}});
  QZHandle without_transcoders{}; // word 46 null
  qzextent(&without_transcoders);
  ExpectRows({{Format("[%3hs]", "abc"), "[   ]"}});
  QZByteTranscoders empty{};
  without_transcoders.byte_transcoders = &empty;
  ExpectRows({{Format("[%-3hs]", "abc"), "[   ]"}});
}

} // namespace

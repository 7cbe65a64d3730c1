// The directive grammar alone: what parse_directive reads from each
// spelling, written out as one line per directive, so that the formatter's
// passes and qzio printf (which both read formats through it) see one
// grammar.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/directive.h"

namespace {

std::string source_text(ioe::Source source, uint32_t digits, uint32_t slot) {
  switch (source) {
  case ioe::Source::kDigits:
    return std::to_string(digits);
  case ioe::Source::kStar:
    return "*";
  case ioe::Source::kNumbered:
    return "*" + std::to_string(slot + 1) + "$";
  default:
    return "-";
  }
}

// conversion, V(alid) or X, mode (S sequential, N numbered, - neutral),
// flags, width, precision, size, kind, value's argument, end, and whether
// the directive can be carried out at once.
std::string describe(const ioe::Directive &d) {
  static const char *const kSizes[] = {"", "h", "l", "ll", "L"};
  static const char kModes[] = {'S', 'N', '-'};
  std::string s;
  s += d.field.conversion == 0 ? '0' : static_cast<char>(d.field.conversion);
  s += d.valid ? " V " : " X ";
  s += kModes[static_cast<int>(d.mode)];
  s += " f";
  if (d.field.left()) s += '-';
  if (d.field.plus()) s += '+';
  if (d.field.space()) s += '_';
  if (d.field.alternate()) s += '#';
  if (d.field.zero()) s += '0';
  s += " w" + source_text(d.width_source, d.field.width, d.width_slot);
  s += " p" +
       source_text(d.precision_source, static_cast<uint32_t>(d.field.precision), d.precision_slot);
  s += " z";
  s += kSizes[static_cast<int>(d.field.size)];
  s += " k" + std::to_string(d.kind);
  s += " a" + (d.numbered_value ? std::to_string(d.slot + 1) : std::string("-"));
  s += " e" + std::to_string(d.end);
  if (d.common) s += " common";
  return s;
}

struct Row {
  const char *format;
  const char *want; // describe(), or "refused N" / "refused *N"
};

const Row kRows[] = {
    // Bare conversions and their kinds.
    {"%d", "d V S f w- p- z k2 a- e2 common"},
    {"%u", "u V S f w- p- z k2 a- e2 common"},
    {"%c", "c V S f w- p- z k1 a- e2 common"},
    {"%s", "s V S f w- p- z k6 a- e2 common"},
    {"%S", "S X - f w- p- z k6 a- e2"}, // S needs a precision
    {"%.3S", "S V S f w- p3 z k6 a- e4"},
    {"%e", "e V S f w- p- z k7 a- e2 common"},
    {"%p", "p V S f w- p- z k6 a- e2 common"},
    {"%%", "% V - f w- p- z k0 a- e2"},
    {"%q", "q X - f w- p- z k0 a- e2"},
    // Flags, with - cancelling 0 and + cancelling space, in any order.
    {"%-05d", "d V S f- w5 p- z k2 a- e5 common"},
    {"%0-5d", "d V S f- w5 p- z k2 a- e5 common"},
    {"% +d", "d V S f+ w- p- z k2 a- e4 common"},
    {"%#08x", "x V S f#0 w8 p- z k2 a- e5 common"},
    {"%0 #+-x", "x V S f-+# w- p- z k2 a- e7 common"},
    // Digits after "%" are a width; no flag may follow them.
    {"%12d", "d V S f w12 p- z k2 a- e4 common"},
    {"%5-d", "- X - f w5 p- z k0 a- e3"},
    {"%05.3d", "d V S f0 w5 p3 z k2 a- e6 common"},
    {"%.d", "d V S f w- p0 z k2 a- e3 common"},
    {"%.0f", "f V S f w- p0 z k7 a- e4 common"},
    {"%99999999999d", "d V S f w2147483647 p- z k2 a- e13 common"},
    // Numbers of two digits and of three (read by the whole grammar).
    {"%12.34d", "d V S f w12 p34 z k2 a- e7 common"},
    {"%123.4d", "d V S f w123 p4 z k2 a- e7 common"},
    {"%1.234f", "f V S f w1 p234 z k7 a- e7 common"},
    {"%-08.3lx", "x V S f- w8 p3 zl k3 a- e8 common"},
    // Sizes.
    {"%ld", "d V S f w- p- zl k3 a- e3 common"},
    {"%lld", "d V S f w- p- zll k5 a- e4 common"},
    {"%hd", "d X - f w- p- zh k2 a- e3"},
    {"%Lf", "f V S f w- p- zL k8 a- e3"},
    {"%lf", "f X - f w- p- zl k7 a- e3"},
    {"%hs", "s V S f w- p- zh k6 a- e3"},
    {"%hc", "c V S f w- p- zh k1 a- e3"},
    {"%Lc", "c V S f w- p- zL k1 a- e3"},
    {"%lc", "c X - f w- p- zl k1 a- e3"},
    {"%lp", "p X - f w- p- zl k6 a- e3"},
    {"%lls", "s X - f w- p- zll k6 a- e4"},
    // %% with anything between is bad.
    {"%5%", "% X - f w5 p- z k0 a- e3"},
    {"%l%", "% X - f w- p- zl k0 a- e3"},
    // Stars: sequential, numbered; a star makes the directive sequential.
    {"%*d", "d V S f w* p- z k2 a- e3"},
    {"%-*.*f", "f V S f- w* p* z k7 a- e6"},
    {"%*3$d", "d V N f w*3$ p- z k2 a- e5"},
    {"%.*10$s", "s V N f w- p*10$ z k6 a- e7"},
    {"%*q", "q X S f w* p- z k0 a- e3"}, // bad, but takes its "*"
    // Numbered values, with flags and widths after "$".
    {"%1$d", "d V N f w- p- z k2 a1 e4"},
    {"%10$-7.2f", "f V N f- w7 p2 z k7 a10 e9"},
    {"%2$*1$d", "d V N f w*1$ p- z k2 a2 e7"},
    {"%2$*d", "d V S f w* p- z k2 a2 e5"},
    {"%3$q", "q X N f w- p- z k0 a3 e4"},
    // The end of the format ends the directive.
    {"%5", "0 X - f w5 p- z k0 a- e2"},
    {"%-", "0 X - f- w- p- z k0 a- e2"},
    {"%l", "0 X - f w- p- zl k0 a- e2"},
    {"%ll", "0 X - f w- p- zll k0 a- e3"},
    {"%.", "0 X - f w- p0 z k0 a- e2"},
    // Bad argument numbers stop the call.
    {"%11$d", "refused 11"},
    {"%0$d", "$ X - f0 w- p- z k0 a- e3"}, // 0 is a flag: "$" is the conversion
    {"%*11$d", "refused *11"},
    {"%*3d", "refused *3"},
    {"%.*0$d", "0 X S f w- p* z k0 a- e4"},
    {"%1$.*x$d", "x V S f w- p* z k2 a1 e6"}, // "*x" is a "*" before x
};

TEST(DirectiveGrammar, ReadsEverySpellingAsTheFormatterDoes) {
  for (const Row &row : kRows) {
    const std::string text = row.format;
    const std::vector<QZChar> units(text.begin(), text.end());
    ioe::Directive d;
    d.refused_number = 12345; // must be overwritten
    const QZStatus status =
        ioe::parse_directive(units.data(), static_cast<uint32_t>(units.size()), 0, d);
    std::string got;
    if (status == QZ_OK)
      got = describe(d);
    else if (status == QZS_BAD_ARGUMENT_NUMBER)
      got =
          std::string("refused ") + (d.refused_star ? "*" : "") + std::to_string(d.refused_number);
    else
      got = "status " + std::to_string(status);
    EXPECT_EQ(got, row.want) << "format \"" << row.format << "\"";
    // The fast readers answer as the whole grammar does where they answer.
    ioe::Directive fast;
    if (ioe::parse_bare(units.data(), static_cast<uint32_t>(units.size()), 0, fast)) {
      EXPECT_EQ(describe(fast), got) << "bare reading of \"" << row.format << "\"";
    }
    // The lean pass's reader answers for every common directive, and only
    // for those.
    const bool common = ioe::directive_grammar::parse_common(
        units.data(), static_cast<uint32_t>(units.size()), 0, fast);
    EXPECT_EQ(common, status == QZ_OK && d.common) << "format \"" << row.format << "\"";
    if (common) {
      EXPECT_EQ(describe(fast), got) << "common reading of \"" << row.format << "\"";
    }
  }
}

// A directive is found from any position, and a "%" that is the format's
// last unit is text.
TEST(DirectiveGrammar, FindsDirectivesButNotATrailingPercent) {
  const std::string text = "a%db%";
  const std::vector<QZChar> units(text.begin(), text.end());
  const auto length = static_cast<uint32_t>(units.size());
  EXPECT_EQ(ioe::find_directive(units.data(), length, 0), 1);
  EXPECT_EQ(ioe::find_directive(units.data(), length, 2), -1);
  EXPECT_EQ(ioe::find_directive(units.data(), 0, 0), -1);
}

} // namespace

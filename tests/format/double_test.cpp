// The floating-point converters against an exact decimal oracle built here
// on strings of decimal digits, and the oracle against the C library where
// the two roundings agree (everywhere but exact ties).
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "qzioe/format.h"

namespace {

double FromBits(uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Decimal digits of a natural number in base-10^9 cells, least significant
// first.
struct Decimal {
  std::vector<uint32_t> cells{0};
  void Multiply(uint32_t factor) {
    uint64_t carry = 0;
    for (uint32_t &cell : cells) {
      const uint64_t product = uint64_t{cell} * factor + carry;
      cell = static_cast<uint32_t>(product % 1000000000u);
      carry = product / 1000000000u;
    }
    while (carry != 0) {
      cells.push_back(static_cast<uint32_t>(carry % 1000000000u));
      carry /= 1000000000u;
    }
  }
  std::string Text() const {
    std::string text = std::to_string(cells.back());
    for (size_t i = cells.size() - 1; i-- > 0;) {
      const std::string cell = std::to_string(cells[i]);
      text += std::string(9 - cell.size(), '0') + cell;
    }
    return text;
  }
};

// |value| exactly: integer digits (at least "0") and every fraction digit.
struct Exact {
  std::string integer, fraction;
  char Fraction(size_t i) const { return i < fraction.size() ? fraction[i] : '0'; }
};

Exact Expand(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const int field = static_cast<int>((bits >> 52) & 0x7ff);
  uint64_t m = bits & ((uint64_t{1} << 52) - 1);
  int e2 = -1074;
  if (field != 0) m |= uint64_t{1} << 52, e2 = field - 1075;
  Decimal n;
  n.cells = {static_cast<uint32_t>(m % 1000000000u), static_cast<uint32_t>(m / 1000000000u)};
  for (int k = e2; k > 0; k -= std::min(k, 16))
    n.Multiply(1u << std::min(k, 16));
  int scale = 0; // m / 2^k = m * 5^k / 10^k
  for (int k = -e2; k > 0; k -= std::min(k, 13)) {
    uint32_t power = 1;
    for (int i = 0; i < std::min(k, 13); ++i)
      power *= 5;
    n.Multiply(power);
  }
  if (e2 < 0) scale = -e2;
  std::string digits = n.Text();
  if (digits.size() < static_cast<size_t>(scale) + 1)
    digits.insert(0, scale + 1 - digits.size(), '0');
  Exact exact{digits.substr(0, digits.size() - scale), digits.substr(digits.size() - scale)};
  exact.integer.erase(0, std::min(exact.integer.find_first_not_of('0'), exact.integer.size() - 1));
  while (!exact.fraction.empty() && exact.fraction.back() == '0')
    exact.fraction.pop_back();
  return exact;
}

// Keeps `keep` digits of `digits` (keep + 1 of them) rounded half-up on the
// last; a carry out of the first digit makes the result one digit longer.
// `tie` tells whether the dropped part was exactly one half: the last digit
// a 5 and, as `rest_zero` says, only zeros after it.
std::string RoundHalfUp(const std::string &digits, size_t keep, bool rest_zero, bool *tie) {
  *tie = digits[keep] == '5' && rest_zero;
  std::string kept = digits.substr(0, keep);
  if (digits[keep] < '5') return kept;
  size_t i = kept.size();
  while (i > 0 && kept[i - 1] == '9')
    kept[--i] = '0';
  if (i == 0)
    kept.insert(0, 1, '1');
  else
    ++kept[i - 1];
  return kept;
}

struct Form {
  std::string text;
  bool tie = false;
};

// Only the digits up to the rounding digit are copied: the expansions of
// the extreme doubles run to hundreds of digits.
Form Fixed(const Exact &x, int decimals) {
  const auto wanted = static_cast<size_t>(decimals) + 1;
  std::string digits = x.integer;
  digits.append(x.fraction, 0, std::min(x.fraction.size(), wanted));
  const size_t keep = x.integer.size() + static_cast<size_t>(decimals);
  if (digits.size() < keep + 1) digits.append(keep + 1 - digits.size(), '0');
  Form form;
  // The fraction ends in a non-zero digit: a longer one is no tie.
  const std::string kept = RoundHalfUp(digits, keep, x.fraction.size() <= wanted, &form.tie);
  form.text = kept.substr(0, kept.size() - decimals) + "." + kept.substr(kept.size() - decimals);
  return form;
}

// The exponent of the first significant digit; 0 for zero.
int Exponent(const Exact &x) {
  if (x.integer != "0") return static_cast<int>(x.integer.size()) - 1;
  const size_t first = x.fraction.find_first_not_of('0');
  return first == std::string::npos ? 0 : -static_cast<int>(first) - 1;
}

Form Scientific(const Exact &x, int decimals, bool upper) {
  const int exponent = Exponent(x);
  const size_t keep = static_cast<size_t>(decimals) + 1;
  // The significant digits (or one 0) up to the rounding digit, and whether
  // only zeros follow them.
  std::string digits;
  bool rest_zero;
  if (x.integer != "0") {
    digits = x.integer.substr(0, keep + 1);
    if (x.integer.size() > keep + 1) {
      rest_zero =
          x.integer.find_first_not_of('0', keep + 1) == std::string::npos && x.fraction.empty();
    } else {
      const size_t more = keep + 1 - x.integer.size();
      digits.append(x.fraction, 0, std::min(x.fraction.size(), more));
      rest_zero = x.fraction.size() <= more;
    }
  } else {
    const size_t first = std::min(x.fraction.find_first_not_of('0'), x.fraction.size());
    digits = x.fraction.substr(first, keep + 1);
    rest_zero = x.fraction.size() - first <= keep + 1;
  }
  if (digits.size() < keep + 1) digits.append(keep + 1 - digits.size(), '0');
  Form form;
  std::string kept = RoundHalfUp(digits, keep, rest_zero, &form.tie);
  int shown = exponent;
  if (kept.size() > keep) kept.pop_back(), ++shown;
  char tail[16];
  std::snprintf(tail, sizeof tail, "%c%c%02d", upper ? 'E' : 'e', shown < 0 ? '-' : '+',
                std::abs(shown));
  form.text = kept.substr(0, 1) + "." + kept.substr(1) + tail;
  return form;
}

// Drops trailing fraction zeros and, unless `keep_point`, a bare point.
std::string Strip(std::string text, bool zeros, bool keep_point) {
  const size_t point = text.find('.');
  const size_t tail = text.find_first_of("eE");
  std::string mantissa = text.substr(0, tail);
  const std::string exponent = tail == std::string::npos ? "" : text.substr(tail);
  if (zeros)
    while (mantissa.back() == '0' && mantissa.size() > point + 1)
      mantissa.pop_back();
  if (!keep_point && mantissa.back() == '.') mantissa.pop_back();
  return mantissa + exponent;
}

// The text the converter must give for conversion e, f or g.
Form OracleOf(const Exact &x, char conversion, int precision, bool alternate, bool upper) {
  Form form;
  if (conversion == 'f') form = Fixed(x, precision);
  if (conversion == 'e') form = Scientific(x, precision, upper);
  if (conversion == 'g') {
    const bool zero = x.integer == "0" && x.fraction.empty();
    const int exponent = Exponent(x); // of the unrounded value
    if (zero)
      form = Fixed(x, precision);
    else if (exponent >= 0 && exponent >= precision)
      form = Scientific(x, precision == 0 ? 0 : precision - 1, upper);
    else if (exponent >= 0)
      form = Fixed(x, precision - exponent - 1);
    else if (-exponent - 1 > 3)
      form = Scientific(x, precision, upper); // one digit more than above
    else
      form = Fixed(x, precision - exponent - 1);
  }
  form.text = Strip(form.text, conversion == 'g' && !alternate, alternate);
  return form;
}

Form Oracle(double value, char conversion, int precision, bool alternate, bool upper) {
  return OracleOf(Expand(value), conversion, precision, alternate, upper);
}

std::string Convert(double value, char conversion, int precision, bool alternate, bool upper) {
  std::vector<QZChar> out(1500, 0xdeadu);
  int32_t count = -1;
  EXPECT_EQ(skzfDouble(value, static_cast<QZChar>(conversion), '.', upper, precision, alternate,
                       out.data(), 1400, &count),
            QZ_OK);
  EXPECT_EQ(out[std::min(count, 1400)], 0xdeadu) << "written past the text";
  return qztest::Narrow(out.data(), static_cast<size_t>(std::max(count, 0)));
}

// Random and boundary doubles: subnormals, powers of two and ten, halfway
// cases, the extremes.
std::vector<double> Values() {
  std::vector<double> values = {0.0,          -0.0, 0.125,   0.5,   2.5,      1.5,     0.05,
                                0.25,         9.5,  0.0625,  99.5,  999999.5, 9.9996,  9.9999999,
                                1e22,         1e23, 123456,  1e-5,  1.5e-300, DBL_MAX, DBL_MIN,
                                DBL_TRUE_MIN, 0.1,  1.0 / 3, 1e-10, 0x1p70};
  values.push_back(FromBits(0x000fffffffffffffu)); // largest subnormal
  values.push_back(std::nextafter(1.0, 0.0));
  values.push_back(std::nextafter(1.0, 2.0));
  for (int k = -1074; k <= 1023; k += 7)
    values.push_back(std::ldexp(1.0, k));
  for (int k = -323; k <= 308; k += 3)
    values.push_back(std::pow(10.0, k));
  for (int n = 0; n < 64; ++n)
    values.push_back((n + 0.5) / (1 << (n % 12))); // ends in 5 after few digits
  std::mt19937_64 random(20240611);
  for (int i = 0; i < 500; ++i) {
    uint64_t bits = random() & 0x7fffffffffffffffu;
    if ((bits >> 52) == 0x7ff) bits ^= uint64_t{1} << 62;
    values.push_back(FromBits(bits));
  }
  for (int i = 0; i < 500; ++i) {
    const double mantissa = 1.0 + static_cast<double>(random() >> 12) / 4503599627370496.0;
    values.push_back(std::ldexp(mantissa, static_cast<int>(random() % 140) - 60));
  }
  return values;
}

TEST(FormatDouble, MatchesTheExactOracle) {
  int failures = 0;
  for (const double value : Values()) {
    for (const char conversion : {'e', 'f', 'g'}) {
      for (int precision = 0; precision <= 40; ++precision) {
        const bool alternate = precision % 3 == 1;
        const bool upper = precision % 4 == 2;
        const std::string want = Oracle(value, conversion, precision, alternate, upper).text;
        const std::string got = Convert(value, conversion, precision, alternate, upper);
        if (got != want && ++failures <= 20)
          ADD_FAILURE() << std::hexfloat << value << " %" << (alternate ? "#" : "") << "."
                        << precision << conversion << ": got " << got << ", want " << want;
      }
    }
  }
  EXPECT_EQ(failures, 0);
}

// The differential sweep: more than 100,000 doubles of every kind, each
// through e, f and g at two of the precisions 0 to 17, one with "#" and one
// without, so that every precision meets every kind with and without "#".
std::vector<double> ManyValues() {
  std::vector<double> values = Values();
  std::mt19937_64 random(20251209);
  auto bits = [&random](uint64_t field, uint64_t fraction) {
    return FromBits(field << 52 | (fraction & ((uint64_t{1} << 52) - 1)));
  };
  while (values.size() < 102400) {
    switch (values.size() % 8) {
    case 0: // any finite double
    case 1:
      values.push_back(bits(random() % 2047, random()));
      break;
    case 2: // subnormals, some with few bits
      values.push_back(bits(0, random() >> (random() % 52)));
      break;
    case 3: { // within a few units in the last place of a power of ten
      const double power = std::pow(10.0, static_cast<int>(random() % 632) - 323);
      uint64_t b;
      std::memcpy(&b, &power, sizeof b);
      values.push_back(FromBits(std::max<uint64_t>(b, 3) + random() % 7 - 3));
      break;
    }
    case 4: // short exact expansions: ties at some precision
    case 5:
    case 7: {
      const double whole = static_cast<double>(random() % 2000000);
      values.push_back(std::ldexp(whole + 0.5, -static_cast<int>(random() % 24)));
      break;
    }
    case 6: // ordinary magnitudes
      values.push_back(std::ldexp(1.0 + static_cast<double>(random() >> 12) / 4503599627370496.0,
                                  static_cast<int>(random() % 140) - 70));
      break;
    }
    if (values.size() % 1024 == 0) { // the extremes and their neighbours
      values.push_back(FromBits(0x7fefffffffffffffu - random() % 4));
      values.push_back(FromBits(0x0010000000000000u + random() % 4 - 2));
      values.push_back(FromBits(random() % 4 + 1));
    }
  }
  return values;
}

TEST(FormatDouble, DifferentialOverManyDoubles) {
  const std::vector<double> values = ManyValues();
  ASSERT_GE(values.size(), 100000u);
  int failures = 0;
  int ties = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    const double value = values[i];
    const Exact x = Expand(value);
    const int precisions[] = {static_cast<int>(i % 18), static_cast<int>((i / 18 + 7 * i) % 18)};
    for (const char conversion : {'e', 'f', 'g'}) {
      for (int k = 0; k < 2; ++k) {
        const bool alternate = static_cast<size_t>(k) == (i / 324) % 2; // one of the two
        const bool upper = i % 5 == 0;
        const Form want = OracleOf(x, conversion, precisions[k], alternate, upper);
        ties += want.tie;
        const std::string got = Convert(value, conversion, precisions[k], alternate, upper);
        if (got != want.text && ++failures <= 20)
          ADD_FAILURE() << std::hexfloat << value << " %" << (alternate ? "#" : "") << "."
                        << precisions[k] << conversion << ": got " << got << ", want " << want.text;
      }
    }
  }
  EXPECT_EQ(failures, 0);
  // The sweep must round real ties, or half-up is not what it tests.
  EXPECT_GT(ties, 5000);
}

// The oracle itself: where no exact tie decides the last digit, half-up and
// the C library's rounding agree.
TEST(FormatDouble, OracleAgreesWithTheCLibraryOutsideTies) {
  for (const double value : Values()) {
    for (const char conversion : {'e', 'f'}) {
      for (int precision : {0, 1, 2, 5, 6, 10, 16, 17, 25, 40}) {
        const Form form = Oracle(value, conversion, precision, false, false);
        if (form.tie) continue;
        char c_text[2048];
        std::snprintf(c_text, sizeof c_text, conversion == 'e' ? "%.*e" : "%.*f", precision, value);
        EXPECT_EQ(form.text, std::string(c_text).substr(c_text[0] == '-'))
            << std::hexfloat << value << " ." << precision << conversion;
      }
    }
  }
}

// Long precisions are exact up to the bound; above it only zeros would
// follow, so the text is that of the bound.
TEST(FormatDouble, LongPrecisionsUpToTheBound) {
  for (const double value : {DBL_TRUE_MIN, DBL_MAX, DBL_MIN, 0.1, 1e-300, 3.0}) {
    for (const char conversion : {'e', 'f', 'g'}) {
      for (const int precision : {100, 330, 767, 1074})
        EXPECT_EQ(Convert(value, conversion, precision, true, false),
                  Oracle(value, conversion, precision, true, false).text)
            << value << " " << conversion << precision;
      EXPECT_EQ(Convert(value, conversion, 1 << 30, true, false),
                Convert(value, conversion, QZ_FORMAT_MAX_PRECISION, true, false));
    }
  }
  EXPECT_EQ(Convert(DBL_MAX, 'f', 5000, false, false).size(), 309u + 1 + 1074);
}

TEST(FormatDouble, Table) {
  struct Case {
    double value;
    char conversion;
    int precision;
    bool alternate, upper;
    const char *text;
  };
  const Case cases[] = {
      {0.125, 'f', 2, false, false, "0.13"},
      {0.5, 'f', 0, false, false, "1"},
      {2.5, 'f', 0, false, false, "3"},
      {0, 'f', 6, false, false, "0.000000"},
      {0, 'e', 6, false, false, "0.000000e+00"},
      {0, 'g', 6, false, false, "0"},
      {9.9996, 'e', 3, false, false, "1.000e+01"},
      {1e22, 'f', 6, false, false, "10000000000000000000000.000000"},
      {1000000, 'g', 6, false, false, "1e+06"},
      {0.000012345678, 'g', 6, false, false, "1.234568e-05"},
      {999999.5, 'g', 6, false, false, "1000000"},
      {5, 'g', 0, false, false, "5e+00"},
      {3, 'f', 0, true, false, "3."},
      {1.5e-300, 'e', 6, false, true, "1.500000E-300"},
      {-2.5, 'f', 1, false, false, "2.5"}, // the magnitude; the sign is the caller's
      {HUGE_VAL, 'f', 2, false, false, "inf"},
      {-HUGE_VAL, 'e', 2, false, true, "INF"},
      {std::nan(""), 'g', 2, false, false, "nan"},
      {-std::nan(""), 'g', 2, true, true, "NAN"},
      {FromBits(0xfffffe0000000000u), 'f', 6, false, false, "."},
      {FromBits(0xffffff1234567890u), 'e', 2, true, false, "._"},
      {FromBits(0xfffffd0000000000u), 'g', 2, false, false, ".A"},
      {FromBits(0xffffe40000000001u), 'f', 2, false, false, ".Z"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(Convert(c.value, c.conversion, c.precision, c.alternate, c.upper), c.text)
        << c.value << " " << c.conversion << c.precision;
}

TEST(FormatDouble, PieceIsWholeOrNothing) {
  QZChar out[16];
  std::fill_n(out, 16, 0x2au);
  int32_t count = 0;
  EXPECT_EQ(skzfDouble(1.5, 'f', ',', 0, 2, 0, out, 3, &count), QZS_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(out[0], 0x2au);
  EXPECT_EQ(skzfDouble(1.5, 'f', ',', 0, 2, 0, out, 4, &count), QZ_OK);
  EXPECT_EQ(qztest::Narrow(out, 5), "1,50*");
  EXPECT_EQ(skzfDouble(1.5, 'q', '.', 0, 2, 0, out, 16, &count), QZS_BAD_VALUE);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(skzflDouble(0.1L, 'e', '.', 0, 20, 0, out, 16, &count), QZS_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 26);
  EXPECT_EQ(skzflDouble(2.5L, 'g', '.', 0, 3, 0, out, 16, nullptr), QZ_OK);
  EXPECT_EQ(qztest::Narrow(out, 3), "2.5");
}

TEST(DigitBuffers, IntegerAndFractionDigitsMatchTheOracle) {
  for (const double value : Values()) {
    const Exact x = Expand(value);
    std::string integer = x.integer == "0" ? "" : x.integer;
    QZChar out[400];
    int32_t digits = -1, zeros = -1;
    ASSERT_EQ(skzfIDblToBuff(value, out, 400, &digits, nullptr), QZ_OK);
    EXPECT_EQ(qztest::Narrow(out, digits), integer) << value;
    ASSERT_EQ(skzfIDblToBuff(-value, out, 400, &digits, &zeros), QZ_OK);
    const size_t significant = integer.find_last_not_of('0') + 1;
    EXPECT_EQ(qztest::Narrow(out, digits), integer.substr(0, significant)) << value;
    EXPECT_EQ(static_cast<size_t>(zeros), integer.size() - significant) << value;

    // 60 digits, then 40 significant ones (none for a value without fraction).
    int32_t count = -1, leading = -1;
    auto digits_from = [&x](size_t first, size_t n) {
      std::string text;
      for (size_t i = first; i < first + n; ++i)
        text += x.Fraction(i);
      return text;
    };
    ASSERT_EQ(skzfFDblToBuff(value, out, 60, &count, nullptr), QZ_OK);
    EXPECT_EQ(qztest::Narrow(out, count), digits_from(0, 60)) << value;
    ASSERT_EQ(skzfFDblToBuff(value, out, 40, &count, &leading), QZ_OK);
    const size_t first = x.fraction.find_first_not_of('0');
    const bool none = first == std::string::npos;
    EXPECT_EQ(leading, none ? 40 : static_cast<int32_t>(first)) << value;
    EXPECT_EQ(qztest::Narrow(out, count), none ? "" : digits_from(first, 40)) << value;
  }
}

// Too small a capacity writes nothing; the exponent field 2047 reads as a
// number.
TEST(DigitBuffers, Boundaries) {
  QZChar out[400];
  std::fill_n(out, 400, 0x2au);
  int32_t digits = 0, zeros = 0, count = 0, leading = 7;
  EXPECT_EQ(skzfIDblToBuff(1e22, out, 22, &digits, nullptr), QZS_BUFFER_TOO_SMALL);
  EXPECT_EQ(digits, 23);
  EXPECT_EQ(out[0], 0x2au);
  EXPECT_EQ(skzfIDblToBuff(1e22, out, 1, &digits, &zeros), QZ_OK);
  EXPECT_EQ(zeros, 22);
  EXPECT_EQ(skzfIDblToBuff(HUGE_VAL, out, 400, &digits, nullptr), QZ_OK);
  Decimal power; // 2^1024
  power.cells = {1};
  for (int i = 0; i < 64; ++i)
    power.Multiply(1u << 16);
  EXPECT_EQ(qztest::Narrow(out, digits), power.Text());
  EXPECT_EQ(skzfFDblToBuff(0.5, out, -3, &count, &leading), QZ_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(leading, 0);
}

} // namespace

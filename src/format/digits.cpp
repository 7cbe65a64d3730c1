// Exact decimal digits of doubles: the integer part by division of its
// limbs by 10^9, the fraction by multiplication by 10^9.
#include <algorithm>

#include "format/internal.h"

namespace {

constexpr uint32_t kBillion = 1000000000u;

// The integer part of 2^1025 takes 33 limbs, its decimal form 35 chunks.
constexpr int32_t kIntegerLimbs = 33;
constexpr int32_t kChunks = 35;

// Writes `value` (below 10^9) as exactly nine digits.
void nine_digits(uint32_t value, char *out) {
  ioe::fixed_decimal_digits(value, 9, out + 9);
}

// Divides the limbs by 10^9 in place, dropping a top limb that becomes 0;
// returns the remainder.
uint32_t divide_by_billion(uint32_t *limbs, int32_t &size) {
  uint32_t remainder = 0;
  for (int32_t i = size - 1; i >= 0; --i)
    limbs[i] = ioe::divide_step(remainder, limbs[i], kBillion, remainder);
  while (size > 0 && limbs[size - 1] == 0)
    --size;
  return remainder;
}

} // namespace

int32_t ioe::integer_part(Binary value, char *digits) {
  uint32_t limbs[kIntegerLimbs] = {};
  int32_t size = 0;
  if (value.exponent >= 0) {
    // significand << exponent, spread over limbs.
    const int32_t whole = value.exponent / 32;
    const int32_t bits = value.exponent % 32;
    const uint64_t low = value.significand << bits;
    const uint64_t high = bits == 0 ? 0 : value.significand >> (64 - bits);
    check_bound(whole + 3 <= kIntegerLimbs);
    limbs[whole] = static_cast<uint32_t>(low);
    limbs[whole + 1] = static_cast<uint32_t>(low >> 32);
    if (high != 0) limbs[whole + 2] = static_cast<uint32_t>(high);
    size = whole + 3;
  } else if (value.exponent > -64) {
    const uint64_t whole = value.significand >> -value.exponent;
    limbs[0] = static_cast<uint32_t>(whole);
    limbs[1] = static_cast<uint32_t>(whole >> 32);
    size = 2;
  }
  while (size > 0 && limbs[size - 1] == 0)
    --size;
  if (size == 0) return 0;

  uint32_t chunks[kChunks]; // least significant first
  int32_t count = 0;
  while (size > 0) {
    check_bound(count < kChunks);
    chunks[count++] = divide_by_billion(limbs, size);
  }
  // The leading chunk without its leading zeros, then nine digits each.
  char lead[9];
  nine_digits(chunks[count - 1], lead);
  int32_t skip = 0;
  while (skip < 8 && lead[skip] == '0')
    ++skip;
  const int32_t total = (9 - skip) + 9 * (count - 1);
  check_bound(total <= kMaxIntegerDigits);
  std::memcpy(digits, lead + skip, static_cast<size_t>(9 - skip));
  char *out = digits + (9 - skip);
  for (int32_t i = count - 2; i >= 0; --i, out += 9)
    nine_digits(chunks[i], out);
  return total;
}

ioe::FractionDigits::FractionDigits(Binary value) {
  if (value.exponent >= 0) return;
  // The fraction has k bits below the binary point; shifted left so that
  // the point falls on the top of limb size_ - 1.
  const int32_t k = -value.exponent;
  const uint64_t fraction =
      k >= 64 ? value.significand : value.significand & ((uint64_t{1} << k) - 1);
  if (fraction == 0) return;
  size_ = (k + 31) / 32;
  check_bound(size_ <= kLimbs);
  std::fill_n(limbs_, size_, 0u);
  const int32_t shift = 32 * size_ - k; // 0 to 31
  const uint64_t low = fraction << shift;
  const uint64_t high = shift == 0 ? 0 : fraction >> (64 - shift);
  // The fraction lies below 2^(32 * size_): words past the top are zero.
  limbs_[0] = static_cast<uint32_t>(low);
  if (size_ > 1) limbs_[1] = static_cast<uint32_t>(low >> 32);
  if (size_ > 2) limbs_[2] = static_cast<uint32_t>(high);
  while (low_ < size_ && limbs_[low_] == 0)
    ++low_;
  high_ = std::min(size_, 3);
  while (limbs_[high_ - 1] == 0)
    --high_;
}

// The limbs from high_ up are 0: the product's carry goes into limb high_,
// and only out of the top limb is it digits. So a small fraction costs a
// few limbs per nine leading zeros, not all of them.
void ioe::FractionDigits::refill() {
  uint32_t carry = 0;
  for (int32_t i = low_; i < high_; ++i) {
    const uint64_t product = uint64_t{limbs_[i]} * kBillion + carry;
    limbs_[i] = static_cast<uint32_t>(product);
    carry = static_cast<uint32_t>(product >> 32);
  }
  if (high_ < size_) {
    if (carry != 0) limbs_[high_++] = carry;
    carry = 0;
  }
  while (low_ < high_ && limbs_[low_] == 0)
    ++low_;
  if (low_ == high_) low_ = high_ = size_;
  position_ = 0;
  if (carry == 0) {
    std::fill_n(chunk_, 9, '0');
    unread_nonzero_ = 0;
    return;
  }
  nine_digits(carry, chunk_);
  unread_nonzero_ = static_cast<int32_t>(
      std::count_if(chunk_, chunk_ + 9, [](char digit) { return digit != '0'; }));
}

char ioe::FractionDigits::next() {
  if (position_ == 9) {
    if (low_ == size_) return '0';
    refill();
  }
  const char digit = chunk_[position_++];
  if (digit != '0') --unread_nonzero_;
  return digit;
}

int32_t ioe::FractionDigits::skip_zeros() {
  int32_t zeros = 0;
  for (;;) {
    while (position_ < 9 && chunk_[position_] == '0') {
      ++position_;
      ++zeros;
    }
    if (position_ < 9 || low_ == size_) return zeros;
    refill();
  }
}

extern "C" {

// The trailing zeros are found before anything is written, so a result that
// does not fit leaves the destination untouched.
QZ_EXPORT QZStatus skzfIDblToBuff(double value, QZChar *destination, int32_t capacity,
                                  int32_t *digits, int32_t *zeros) noexcept {
  char text[ioe::kMaxIntegerDigits];
  const int32_t total = ioe::integer_part(ioe::decompose(ioe::bits_of(value)), text);
  int32_t trailing = 0;
  while (trailing < total && text[total - 1 - trailing] == '0')
    ++trailing;
  const int32_t length = zeros != nullptr ? total - trailing : total;
  if (zeros != nullptr) *zeros = trailing;
  if (digits != nullptr) *digits = length;
  if (length > std::max(capacity, 0)) return QZS_BUFFER_TOO_SMALL;
  for (int32_t i = 0; i < length; ++i)
    destination[i] = static_cast<unsigned char>(text[i]);
  return QZ_OK;
}

QZ_EXPORT QZStatus skzfFDblToBuff(double value, QZChar *destination, int32_t n, int32_t *count,
                                  int32_t *leading_zeros) noexcept {
  if (leading_zeros != nullptr) *leading_zeros = 0;
  n = std::max(n, 0);
  ioe::FractionDigits fraction(ioe::decompose(ioe::bits_of(value)));
  int32_t written = n;
  if (leading_zeros != nullptr) {
    if (fraction.exhausted()) {
      *leading_zeros = n; // no significant digit at all
      written = 0;
    } else {
      *leading_zeros = fraction.skip_zeros();
    }
  }
  for (int32_t i = 0; i < written; ++i)
    destination[i] = static_cast<unsigned char>(fraction.next());
  if (count != nullptr) *count = written;
  return QZ_OK;
}

} // extern "C"

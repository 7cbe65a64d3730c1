// Strings and blocks of 32-bit QZChar code units.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "qzioe/runtime.h"

namespace {

uint32_t length_of(const QZChar *string) noexcept {
  const QZChar *end = string;
  while (*end != 0)
    ++end;
  return static_cast<uint32_t>(end - string);
}

} // namespace

extern "C" {

QZ_EXPORT uint32_t skStrTLen(const QZChar *string) noexcept {
  return string == nullptr ? 0 : length_of(string);
}

QZ_EXPORT void skStrTCpy(const QZChar *source, QZChar *destination) noexcept {
  if (destination == nullptr) return;
  if (source == nullptr) {
    *destination = 0;
    return;
  }
  // memmove: a string shifted within its own buffer still arrives intact.
  std::memmove(destination, source, (size_t{length_of(source)} + 1) * sizeof(QZChar));
}

QZ_EXPORT int32_t skMemTNot(QZChar value, const QZChar *data, uint32_t count) noexcept {
  if (count == 0) return 1;
  return std::all_of(data, data + count, [value](QZChar unit) { return unit == value; }) ? 1 : 0;
}

QZ_EXPORT void skMemTSet(QZChar *destination, QZChar value, uint32_t count) noexcept {
  if (count != 0) std::fill_n(destination, count, value);
}

// Order by the sign of the wrap-around difference, not by plain unsigned
// order: the two agree for every unit below 0x80000000.
QZ_EXPORT int32_t skWMemCmp(const QZChar *first, const QZChar *second, uint32_t count) noexcept {
  if (count == 0) return 0;
  const auto [a, b] = std::mismatch(first, first + count, second);
  if (a == first + count) return 0;
  return static_cast<int32_t>(*a - *b) > 0 ? 1 : -1;
}

QZ_EXPORT int32_t skMemTNScan(const QZChar *data, uint32_t count, QZChar value) noexcept {
  if (data == nullptr || count == 0) return -1;
  const QZChar *hit =
      std::find_if(data, data + count, [value](QZChar unit) { return unit != value; });
  return hit == data + count ? -1 : static_cast<int32_t>(hit - data);
}

} // extern "C"

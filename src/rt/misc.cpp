// Table filler for unsupported operations and the missing-value test.
#include <cstdint>
#include <cstring>

#include "qzioe/runtime.h"

extern "C" {

QZ_EXPORT QZStatus skUnsup(void) noexcept {
  return QZS_UNSUPPORTED;
}

// A missing value has its top 16 bits all ones, whatever the other 48; an
// ordinary NaN (0x7FF8..., 0xFFF8...) is not missing.
QZ_EXPORT int32_t skMissArray(const double *array, uint32_t count) noexcept {
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t bits;
    std::memcpy(&bits, &array[i], sizeof bits);
    if ((bits >> 48) == 0xFFFFu) return 1;
  }
  return 0;
}

} // extern "C"

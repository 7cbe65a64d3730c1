// In-place reversal of bytes (a value of any width) and of QZChar units.
#include <algorithm>
#include <cstdint>

#include "qzioe/runtime.h"

extern "C" {

QZ_EXPORT QZStatus qzzbytrv(void *buffer, uint32_t length) noexcept {
  if (length > 1) {
    auto *bytes = static_cast<uint8_t *>(buffer);
    std::reverse(bytes, bytes + length); // an odd middle byte stays put
  }
  return QZ_OK;
}

QZ_EXPORT void qzztchrv(QZChar *buffer, uint32_t count) noexcept {
  if (count > 1) std::reverse(buffer, buffer + count);
}

} // extern "C"

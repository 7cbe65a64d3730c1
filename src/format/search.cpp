// Search of a QZChar string for one unit.
#include "format/internal.h"

extern "C" QZ_EXPORT int32_t qzzspos(const QZChar *string, int32_t length, QZChar unit) noexcept {
  if (string == nullptr || length <= 0) return -1;
  return static_cast<int32_t>(ioe::find_unit(string, static_cast<uint32_t>(length), unit));
}

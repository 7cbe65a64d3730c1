// Search of a QZChar string for one unit.
#include "qzioe/format.h"

extern "C" QZ_EXPORT int32_t qzzspos(const QZChar *string, int32_t length, QZChar unit) noexcept {
  if (string == nullptr) return -1;
  for (int32_t i = 0; i < length; ++i)
    if (string[i] == unit) return i;
  return -1;
}

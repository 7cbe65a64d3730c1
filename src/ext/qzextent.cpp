#include "qzioe/extension.h"

// The library's one global: the kernel handle, written once before the
// entry runs and only read afterwards.
QZHandle *Exported_QZHandle = nullptr;

extern "C" QZHandle *qzextent(QZHandle *kernel) noexcept {
  Exported_QZHandle = kernel;
  return kernel;
}

#include "common/kernel_calls.h"
#include "qzioe/extension.h"

using ioe::QZLiteral;

// POSIX-layer start: qzfsx is optional; without it file opens fail later.
extern "C" QZStatus bkioe(QZIOEExtension *extension) noexcept {
  if (extension == nullptr) return QZ_OK;
  static constexpr QZLiteral kFsx("qzfsx");
  extension->fsx = ioe::load_sibling(Exported_QZHandle, kFsx, 0);
  return QZ_OK;
}

extern "C" QZStatus bkioedestroy(QZIOEExtension *extension) noexcept {
  if (extension == nullptr || extension->fsx == nullptr) return QZ_OK;
  ioe::release_sibling(extension->fsx);
  extension->fsx = nullptr;
  return QZ_OK;
}

// Operating-system error texts to the kernel's journal.
#include <algorithm>
#include <cstring>

#include "qzioe/extension.h"

namespace {
constexpr std::size_t kTextUnits = 1006; // 4024 bytes
}

extern "C" QZStatus bkioeerror(QZIOEExtension *extension, int error_number,
                               QZJournal *journal) noexcept {
  if (journal == nullptr) return QZ_OK;
  // strerror may share a static buffer between threads; the description
  // table is constant and has no entry for unknown numbers.
  const char *text = strerrordesc_np(error_number);
  if (text == nullptr) return QZ_OK;
  if (extension == nullptr || extension->inbound == nullptr) return QZ_OK;

  QZTranscoder *inbound = extension->inbound;
  QZChar converted[kTextUnits];
  // One unit stays free for the terminator the journal looks for.
  const auto length = static_cast<uint32_t>(std::min(std::strlen(text), kTextUnits - 1));
  uint32_t produced = 0;
  if (inbound->convert(inbound, text, length, converted, length * sizeof(QZChar), &produced, 0) !=
      QZ_OK)
    return QZ_OK;
  converted[std::min<std::size_t>(produced / sizeof(QZChar), kTextUnits - 1)] = 0;
  qzlStatusToJnl(journal, QZ_SEVERITY_ERROR, QZIOE_IO_ERROR, converted);
  return QZ_OK;
}

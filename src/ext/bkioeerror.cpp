// Operating-system error texts to the kernel's journal.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "qzioe/extension.h"

namespace {

constexpr std::size_t kTextUnits = 1006; // 4024 bytes
constexpr std::size_t kTextBytes = 256;  // every system text is far shorter

// GNU strerror_r answers a number it does not know with a text of its own,
// "Unknown error N" in the process locale; that is no system text. Its
// prefix is learnt from a number that no system uses.
bool is_unknown(const char *text, int error_number) {
  char buffer[kTextBytes];
  const char *probe = strerror_r(INT_MAX, buffer, sizeof buffer);
  char digits[16];
  const int digit_count = std::snprintf(digits, sizeof digits, "%d", INT_MAX);
  const std::size_t probe_length = std::strlen(probe);
  if (digit_count <= 0 || probe_length < static_cast<std::size_t>(digit_count)) return false;
  const std::size_t prefix = probe_length - static_cast<std::size_t>(digit_count);
  std::snprintf(digits, sizeof digits, "%d", error_number);
  return std::strncmp(text, probe, prefix) == 0 && std::strcmp(text + prefix, digits) == 0;
}

} // namespace

extern "C" QZStatus bkioeerror(QZIOEExtension *extension, int error_number,
                               QZJournal *journal) noexcept {
  if (journal == nullptr) return QZ_OK;
  // The GNU form is thread-safe and gives the process locale's text.
  char buffer[kTextBytes];
  const char *text = strerror_r(error_number, buffer, sizeof buffer);
  if (text == nullptr || *text == '\0' || is_unknown(text, error_number)) return QZ_OK;
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

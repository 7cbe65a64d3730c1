// Journal stubs: forward the fixed arguments unchanged and the further ones
// as a va_list to one slot of the journal.
#include <cstdarg>

#include "qzioe/extension.h"

extern "C" QZStatus qzlMessageToBuf(QZJournal *journal, QZChar *buffer, uint32_t capacity,
                                    uint32_t *length, uint32_t severity, const char *format,
                                    ...) noexcept {
  if (journal == nullptr || journal->message_to_buf == nullptr) return QZIOE_BAD_HANDLE;
  va_list args;
  va_start(args, format);
  const QZStatus status =
      journal->message_to_buf(journal, buffer, capacity, length, severity, format, args);
  va_end(args);
  return status;
}

extern "C" QZStatus qzlMessageToJnl(QZJournal *journal, uint32_t severity, const char *component,
                                    const char *format, ...) noexcept {
  if (journal == nullptr || journal->message_to_jnl == nullptr) return QZIOE_BAD_HANDLE;
  va_list args;
  va_start(args, format);
  const QZStatus status = journal->message_to_jnl(journal, severity, component, format, args);
  va_end(args);
  return status;
}

extern "C" QZStatus qzlStatusToBuf(QZJournal *journal, QZChar *buffer, uint32_t capacity,
                                   uint32_t *length, QZStatus status, ...) noexcept {
  if (journal == nullptr || journal->status_to_buf == nullptr) return QZIOE_BAD_HANDLE;
  va_list args;
  va_start(args, status);
  const QZStatus result = journal->status_to_buf(journal, buffer, capacity, length, status, args);
  va_end(args);
  return result;
}

extern "C" QZStatus qzlStatusToJnl(QZJournal *journal, uint32_t severity, QZStatus status,
                                   ...) noexcept {
  if (journal == nullptr || journal->status_to_jnl == nullptr) return QZIOE_BAD_HANDLE;
  va_list args;
  va_start(args, status);
  const QZStatus result = journal->status_to_jnl(journal, severity, status, args);
  va_end(args);
  return result;
}

// Binary records: bytes exactly as given, buffered or direct.
#include <cstring>

#include "fileio/records.h"

extern "C" QZStatus skioe_read_bin(QZIOEFile *handle, void **address, uint32_t *length, QZWord,
                                   int64_t *) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (const QZStatus status = ioe::check_readable(file); status != QZ_OK) return status;
  // The read-ahead needs the buffered handle's block plus record buffer.
  if (file->buffered == 0 || file->buffer == nullptr) return QZIOE_NOT_SUPPORTED;
  if (address == nullptr || length == nullptr) return QZS_BAD_VALUE;
  if (*length > file->record_length) return QZIOE_LENGTH_TOO_BIG;
  if (file->eof_seen != 0 && file->buf_left == 0) {
    *address = nullptr;
    *length = 0;
    return QZIOE_END_OF_FILE;
  }
  if (file->buf_left < *length) {
    if (const QZStatus status = ioe::fill(file, *length); status != QZ_OK) {
      *address = nullptr;
      *length = 0;
      return status;
    }
    if (file->buf_left == 0) {
      *address = nullptr;
      *length = 0;
      return QZIOE_END_OF_FILE;
    }
  }
  const uint32_t n = file->buf_left < *length ? file->buf_left : *length;
  *address = file->buffer + file->buf_pos;
  *length = n;
  file->buf_pos += n;
  file->buf_left -= n;
  return QZ_OK;
}

extern "C" QZStatus skioe_write_bin(QZIOEFile *handle, const void *bytes, uint32_t length, QZWord,
                                    int64_t *) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (const QZStatus status = ioe::check_writable(file); status != QZ_OK) return status;
  if (file->buffered == 0 || file->buffer == nullptr) return QZIOE_NOT_SUPPORTED;
  if (length == 0) return QZ_OK;
  if (bytes == nullptr) return QZS_BAD_VALUE;
  return ioe::store(file, bytes, length);
}

extern "C" QZStatus skioe_write_rbin(QZIOEFile *handle, const void *bytes, uint32_t length, QZWord,
                                     int64_t *offset) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (const QZStatus status = ioe::check_writable(file); status != QZ_OK) return status;
  uint32_t written = 0;
  return file->bk_write(file, bytes, length, &written, offset);
}

extern "C" QZStatus skioe_read_rbin(QZIOEFile *handle, void **address, uint32_t *length, QZWord,
                                    int64_t *offset) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (const QZStatus status = ioe::check_readable(file); status != QZ_OK) return status;
  if (address == nullptr || length == nullptr) return QZS_BAD_VALUE;
  void *area;
  if ((file->options & QZIOE_OPT_USER_BUFFER) != 0) {
    if (*address == nullptr) return QZIOE_FAILED;
    area = *address;
  } else {
    if (*length > file->record_length) return QZIOE_LENGTH_TOO_BIG;
    area = file->buffer;
  }
  uint32_t got = 0;
  const QZStatus status = file->bk_read(file, area, *length, &got, offset);
  if (status != QZ_OK && status != QZIOE_RECORD_SPLIT) {
    *length = 0;
    return status;
  }
  *address = area;
  *length = got;
  return status;
}

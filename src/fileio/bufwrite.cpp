// Buffered output shared by the buffered writers: whole blocks to the file,
// the rest pending until a later write or flush.
#include <cstring>

#include "fileio/internal.h"

namespace {

// Writes `length` bytes from `source` (the buffer's start, or the caller's
// bytes when nothing is pending) as one block; the bytes the write did not
// take become the pending output at the buffer's start.
QZStatus write_block(QZIOEFile *file, const uint8_t *source, uint32_t length) {
  uint32_t written = 0;
  const QZStatus status = file->bk_write(file, source, length, &written, nullptr);
  if (status == QZ_OK || written > length) written = length;
  const uint32_t rest = length - written;
  if (rest > 0 && source + written != file->buffer)
    std::memmove(file->buffer, source + written, rest);
  file->buf_pos = rest;
  file->buf_left = file->block_size - rest;
  return status;
}

} // namespace

QZStatus ioe::write_pending(QZIOEFile *file) {
  return file->buf_pos == 0 ? QZ_OK : write_block(file, file->buffer, file->buf_pos);
}

extern "C" QZStatus sk_buf_write(QZIOEFile *file, const void *data, uint32_t length) noexcept {
  if (const QZStatus status = ioe::check_writable(file); status != QZ_OK) return status;
  // Only a buffered handle's buffer holds a whole block.
  if (file->buffered == 0 || file->buffer == nullptr) return QZIOE_NOT_SUPPORTED;
  const auto *bytes = static_cast<const uint8_t *>(data);
  const uint32_t block = file->block_size;
  uint32_t consumed = 0;
  QZStatus status = QZ_OK;
  while (consumed < length) {
    const uint32_t rest = length - consumed;
    if (file->buf_pos == 0 && rest >= block) {
      // Nothing pending: a whole block goes to the file straight from the
      // caller's bytes, the same block write without the copy.
      status = write_block(file, bytes + consumed, block);
      consumed += block;
      if (status != QZ_OK) break;
      continue;
    }
    const uint32_t n = rest < file->buf_left ? rest : file->buf_left;
    std::memcpy(file->buffer + file->buf_pos, bytes + consumed, n);
    file->buf_pos += n;
    file->buf_left -= n;
    consumed += n;
    if (file->buf_left == 0) {
      status = ioe::write_pending(file);
      if (status != QZ_OK) break;
    }
  }
  file->position += consumed;
  return status;
}

extern "C" QZStatus skioe_flush(QZIOEFile *file) noexcept {
  if (file == nullptr) return QZIOE_BAD_HANDLE;
  QZStatus write_status = QZ_OK;
  if (ioe::mode_writes(file->open_mode) && file->buffered != 0)
    write_status = ioe::write_pending(file);
  const QZStatus flush_status = file->bk_flush(file);
  return write_status != QZ_OK ? write_status : flush_status;
}

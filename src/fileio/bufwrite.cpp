// Buffered output shared by the buffered writers: whole blocks to the file,
// the rest pending until a later write or flush.
#include <cstring>

#include "fileio/internal.h"

QZStatus ioe::write_pending(QZIOEFile *file) {
  const uint32_t pending = file->buf_pos;
  if (pending == 0) return QZ_OK;
  uint32_t written = 0;
  const QZStatus status = file->bk_write(file, file->buffer, pending, &written, nullptr);
  if (status == QZ_OK || written > pending) written = pending;
  const uint32_t rest = pending - written;
  if (rest > 0 && written > 0) std::memmove(file->buffer, file->buffer + written, rest);
  file->buf_pos = rest;
  file->buf_left = file->block_size - rest;
  return status;
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
      // caller's bytes, the same block write without the copy. Bytes the
      // write did not take become the pending output.
      uint32_t written = 0;
      status = file->bk_write(file, bytes + consumed, block, &written, nullptr);
      if (status == QZ_OK || written > block) written = block;
      const uint32_t kept = block - written;
      if (kept > 0) std::memcpy(file->buffer, bytes + consumed + written, kept);
      file->buf_pos = kept;
      file->buf_left = block - kept;
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

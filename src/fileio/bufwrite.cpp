// Buffered output shared by the buffered writers: whole blocks to the file,
// the rest pending until a later write or flush.
#include <cstring>

#include "fileio/internal.h"

namespace {

// Writes `length` bytes from `source` (the buffer's start, or the caller's
// bytes when nothing is pending) as one block; the bytes the write did not
// take become the pending output at the buffer's start.
QZStatus write_block(ioe::File *file, const uint8_t *source, uint32_t length) {
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

QZStatus ioe::write_pending(ioe::File *file) {
  return file->buf_pos == 0 ? QZ_OK : write_block(file, file->buffer, file->buf_pos);
}

// A failing block write keeps pending what earlier calls handed over; of
// the failing call's own bytes only those the file took count, so a caller
// that sees the failure knows nothing more of its record will appear.
extern "C" QZStatus sk_buf_write(QZIOEFile *handle, const void *data, uint32_t length) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (const QZStatus status = ioe::check_writable(file); status != QZ_OK) return status;
  // Only a buffered handle's buffer holds a whole block.
  if (file->buffered == 0 || file->buffer == nullptr) return QZIOE_NOT_SUPPORTED;
  if (data == nullptr && length > 0) return QZS_BAD_VALUE;
  const auto *bytes = static_cast<const uint8_t *>(data);
  const uint32_t block = file->block_size;
  uint32_t earlier = file->buf_pos; // bytes of earlier calls still pending
  uint32_t taken = 0;               // bytes of this call buffered or written
  QZStatus status = QZ_OK;
  while (taken < length) {
    const uint32_t rest = length - taken;
    if (file->buf_pos == 0 && rest >= block) {
      // Nothing pending: a whole block goes to the file straight from the
      // caller's bytes, the same block write without the copy.
      status = write_block(file, bytes + taken, block);
      if (status != QZ_OK) {
        taken += block - file->buf_pos;
        file->buf_pos = 0;
        file->buf_left = block;
        break;
      }
      taken += block;
      continue;
    }
    const uint32_t n = rest < file->buf_left ? rest : file->buf_left;
    std::memcpy(file->buffer + file->buf_pos, bytes + taken, n);
    file->buf_pos += n;
    file->buf_left -= n;
    taken += n;
    if (file->buf_left == 0) {
      status = ioe::write_pending(file);
      if (status != QZ_OK) {
        // The unwritten tail starts with what is left of the earlier bytes.
        const uint32_t unwritten = file->buf_pos;
        const uint32_t written = block - unwritten;
        const uint32_t earlier_left = earlier > written ? earlier - written : 0;
        taken -= unwritten - earlier_left;
        file->buf_pos = earlier_left;
        file->buf_left = block - earlier_left;
        break;
      }
      earlier = 0;
    }
  }
  file->position += taken;
  return status;
}

extern "C" QZStatus skioe_flush(QZIOEFile *handle) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (file == nullptr) return QZIOE_BAD_HANDLE;
  QZStatus write_status = QZ_OK;
  if (ioe::mode_writes(file->open_mode) && file->buffered != 0)
    write_status = ioe::write_pending(file);
  const QZStatus flush_status = file->bk_flush(file);
  return write_status != QZ_OK ? write_status : flush_status;
}

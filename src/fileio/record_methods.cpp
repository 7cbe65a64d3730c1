// The record layer's frame: method selection, open and close.
#include "fileio/internal.h"

namespace {

struct Methods {
  QZIOEReadFn read;
  QZIOEWriteFn write;
  QZIOEHandleFn flush;
};

// Read, write and flush by format, buffering and opt_user_buffer; the open
// mode plays no part. An unknown format gets none.
Methods select_methods(uint32_t format, bool buffered, bool user_buffer) {
  switch (format) {
  case QZIOE_FORMAT_VARIABLE:
  case QZIOE_FORMAT_VARIABLE_ALT:
    if (!buffered) return {skioe_read_rvar, skioe_write_rvar, bkioe_flush};
    return {skioe_read_var, skioe_write_var, skioe_flush};
  case QZIOE_FORMAT_STREAM:
    if (!buffered) return {skioe_read_rstream, skioe_write_rstream, bkioe_flush};
    if (user_buffer) return {skioe_read_rstream, skioe_write_rstream, skioe_flush};
    return {skioe_read_stream, skioe_write_stream, skioe_flush};
  case QZIOE_FORMAT_BINARY:
    if (!buffered) return {skioe_read_rbin, skioe_write_rbin, bkioe_flush};
    if (user_buffer) return {skioe_read_rbin, skioe_write_rbin, skioe_flush};
    return {skioe_read_bin, skioe_write_bin, skioe_flush};
  default:
    return {nullptr, nullptr, nullptr};
  }
}

constexpr uint32_t kInbound = 0, kOutbound = 1;

// Adds without wrapping; false when the sum does not fit 32 bits.
bool add_size(uint32_t &sum, uint32_t more) {
  return !__builtin_add_overflow(sum, more, &sum);
}

QZStatus prepare_buffer(ioe::File *file) {
  if ((file->options & QZIOE_OPT_USER_BUFFER) != 0) {
    file->buffer = nullptr;
    file->buffer_size = 0;
    return QZ_OK;
  }
  uint32_t size = 0;
  bool fits = true;
  if (file->buffered == 0) {
    fits = add_size(size, file->record_length) && add_size(size, file->cc_max) &&
           add_size(size, file->bom_len);
  } else if (file->open_mode == QZIOE_MODE_INPUT) {
    fits = add_size(size, file->block_size) && add_size(size, file->record_length) &&
           add_size(size, file->cc_max);
    // The line reader looks a mark and one more delimiter further.
    if (ioe::is_variable(file->record_format))
      fits = fits && add_size(size, file->cc_max) && add_size(size, file->bom_len);
  } else {
    size = file->block_size;
  }
  // The line reader's map of line feeds shares the block: a bit a buffer
  // byte, in whole words behind the buffer.
  const bool mapped = file->buffered != 0 && file->open_mode == QZIOE_MODE_INPUT &&
                      ioe::is_variable(file->record_format);
  const uint32_t map_offset = (size + 3) & ~3u;
  uint32_t block = size;
  if (mapped) {
    block = map_offset;
    fits = fits && size <= map_offset && add_size(block, (size / 32 + 1) * 4);
  }
  // A record length near 4 GiB would wrap the size into a small buffer that
  // the methods then overrun.
  if (!fits) return QZS_NO_MEMORY;
  // A zero-length record needs no buffer; a kernel may refuse 0-byte blocks.
  file->buffer = size == 0 ? nullptr : static_cast<uint8_t *>(ioe::pool_alloc(file->pool, block));
  if (file->buffer == nullptr && size != 0) return QZS_NO_MEMORY;
  file->buffer_size = size;
  file->lf_map =
      mapped && size != 0 ? reinterpret_cast<uint32_t *>(file->buffer + map_offset) : nullptr;
  file->lf_map_end = 0;
  if (file->open_mode == QZIOE_MODE_INPUT) {
    file->buf_left = 0;
  } else {
    file->buf_pos = 0;
    file->buf_left = size;
  }
  return QZ_OK;
}

void release_record_layer(ioe::File *file) {
  file->lean_lines = 0;
  ioe::pool_release(file->pool, file->buffer);
  file->buffer_size = 0;
  file->lf_map = nullptr;
  file->lf_map_end = 0;
  if (file->inbound_cc[0].bytes != nullptr)
    ioe::release_cc_entries(file->pool, file->inbound_cc, 3);
  if (file->outbound_cc[0].bytes != nullptr)
    ioe::release_cc_entries(file->pool, file->outbound_cc, 9);
}

} // namespace

extern "C" QZStatus bkioevec(QZIOEFile *handle) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (file == nullptr) return QZIOE_BAD_HANDLE;
  file->attachjnl = qzioeattachjnl;
  const Methods methods = select_methods(file->record_format, file->buffered != 0,
                                         (file->options & QZIOE_OPT_USER_BUFFER) != 0);
  if (methods.read == nullptr) return QZIOE_BAD_FORMAT;
  file->note = bkioe_note;
  file->point = bkioe_point;
  file->position2record = qzioeposition2record;
  file->record2position = qzioerecord2position;
  file->position2byte = bkioeposition2byte;
  file->byte2position = bkioebyte2position;
  file->truncate = bkioetruncate;
  file->sk_open = skioe_open;
  file->sk_close = skioe_close;
  file->bk_open = bkioe_open;
  file->bk_close = bkioe_close;
  file->bk_read = bkioe_read;
  file->bk_write = bkioe_write;
  file->bk_flush = bkioe_flush;
  file->bk_point = bkioe_point;
  file->bk_note = bkioe_note;
  file->read = file->sk_read = methods.read;
  file->write = file->sk_write = methods.write;
  file->flush = file->sk_flush = methods.flush;
  return QZ_OK;
}

extern "C" QZStatus skioe_open(QZIOEFile *handle) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (file == nullptr) return QZIOE_BAD_HANDLE;
  file->block_size = QZIOE_BLOCK_SIZE;
  file->buf_left = 0;
  file->buf_pos = 0;
  file->eof_seen = 0;
  file->cc_set = 1;

  QZStatus status = QZ_OK;
  if (ioe::is_variable(file->record_format)) {
    if (ioe::mode_reads(file->open_mode))
      status = setupCCTable(file, kInbound, static_cast<uint32_t>(file->cc_set));
    if (status == QZ_OK && ioe::mode_writes(file->open_mode))
      status = setupCCTable(file, kOutbound, static_cast<uint32_t>(file->cc_set));
    if (status == QZ_OK && (file->options & QZIOE_OPT_USER_BUFFER) != 0) status = QZIOE_BAD_OPTIONS;
  }
  if (status == QZ_OK) status = prepare_buffer(file);
  if (status == QZ_OK) status = file->bk_open(file);
  if (status != QZ_OK) {
    release_record_layer(file);
    return status;
  }
  file->position = 0;
  ioe::refresh_lean_lines(file);
  return QZ_OK;
}

extern "C" QZStatus skioe_close(QZIOEFile *handle) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (file == nullptr) return QZIOE_BAD_HANDLE;
  if (const QZStatus status = file->bk_close(file); status != QZ_OK) return status;
  release_record_layer(file);
  return QZ_OK;
}

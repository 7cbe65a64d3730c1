// Stream records: the file as a run of bytes behind an optional byte-order
// mark; a record is whatever chunk is written or asked for, converted
// between the record and the file encoding.
//
// When the handle converts, a buffered chunk ends on a character boundary of
// the file encoding; the bytes of a character cut at the end of a request
// start the next chunk, so no character is split between two conversions.
#include <cstring>

#include "fileio/records.h"

namespace ioe {
namespace {

bool mark_due(const File *file) {
  return (file->options & QZIOE_OPT_NO_BOM) == 0 && file->bom_pending != 0;
}

// The chunk in the file encoding: converted into xcode_buf or as given. A
// failed conversion writes nothing and leaves a due mark due.
QZStatus encode(File *file, const void *bytes, uint32_t length, const void **piece,
                uint32_t *piece_length) {
  *piece = bytes;
  *piece_length = length;
  if (file->out_transcoder == nullptr) return QZ_OK;
  *piece = file->xcode_buf;
  return convert(file->out_transcoder, bytes, length, file->xcode_buf, file->xcode_buf_size,
                 piece_length);
}

} // namespace
} // namespace ioe

using namespace ioe;

extern "C" QZStatus skioe_read_stream(QZIOEFile *handle, void **address, uint32_t *length, QZWord,
                                      int64_t *) noexcept {
  File *file = file_of(handle);
  if (const QZStatus status = check_readable(file); status != QZ_OK) return status;
  if (file->buffered == 0 || file->buffer == nullptr) return QZIOE_NOT_SUPPORTED;
  if (address == nullptr || length == nullptr) return QZS_BAD_VALUE;
  if (*length > file->record_length) return QZIOE_LENGTH_TOO_BIG;
  auto fail = [&](QZStatus status) {
    *address = nullptr;
    *length = 0;
    return status;
  };
  if (file->eof_seen != 0 && file->buf_left == 0) return fail(QZIOE_END_OF_FILE);
  const uint32_t wanted = *length;
  if (file->buf_left < wanted) {
    if (const QZStatus status = fill(file, wanted); status != QZ_OK) return fail(status);
    if (file->buf_left == 0) return fail(QZIOE_END_OF_FILE);
  }
  if (begins_with_mark(file, file->buffer + file->buf_pos, file->buf_left)) {
    file->buf_pos += file->bom_len;
    file->buf_left -= file->bom_len;
  }
  const uint8_t *chunk = file->buffer + file->buf_pos;
  uint32_t n = file->buf_left < wanted ? file->buf_left : wanted;
  const bool more_follows = n < file->buf_left || file->eof_seen == 0;
  if (file->in_transcoder != nullptr && more_follows) {
    const uint32_t whole = whole_characters(file, chunk, n);
    if (whole != 0) n = whole;
  }
  file->buf_pos += n;
  file->buf_left -= n;
  if (file->in_transcoder == nullptr) {
    *address = const_cast<uint8_t *>(chunk);
    *length = n;
    return QZ_OK;
  }
  uint32_t produced = 0;
  if (const QZStatus status =
          convert(file->in_transcoder, chunk, n, file->xcode_buf, file->xcode_buf_size, &produced);
      status != QZ_OK)
    return fail(status);
  *address = file->xcode_buf;
  *length = produced;
  return QZ_OK;
}

extern "C" QZStatus skioe_write_stream(QZIOEFile *handle, const void *bytes, uint32_t length,
                                       QZWord, int64_t *) noexcept {
  File *file = file_of(handle);
  if (const QZStatus status = check_writable(file); status != QZ_OK) return status;
  if (file->buffered == 0 || file->buffer == nullptr) return QZIOE_NOT_SUPPORTED;
  if (bytes == nullptr && length > 0) return QZS_BAD_VALUE;
  const void *piece = nullptr;
  uint32_t piece_length = 0;
  if (const QZStatus status = encode(file, bytes, length, &piece, &piece_length); status != QZ_OK)
    return status;
  if (mark_due(file)) {
    if (const QZStatus status = store(file, file->bom_bytes, file->bom_len); status != QZ_OK)
      return status;
    file->bom_pending = 0;
  }
  return piece_length == 0 ? QZ_OK : store(file, piece, piece_length);
}

extern "C" QZStatus skioe_write_rstream(QZIOEFile *handle, const void *bytes, uint32_t length,
                                        QZWord, int64_t *offset) noexcept {
  File *file = file_of(handle);
  if (const QZStatus status = check_writable(file); status != QZ_OK) return status;
  if (bytes == nullptr && length > 0) return QZS_BAD_VALUE;
  const void *piece = nullptr;
  uint32_t piece_length = 0;
  if (const QZStatus status = encode(file, bytes, length, &piece, &piece_length); status != QZ_OK)
    return status;
  const bool no_bom = (file->options & QZIOE_OPT_NO_BOM) != 0;
  const bool mark =
      !no_bom && file->bom_len != 0 && (offset != nullptr ? *offset == 0 : file->bom_pending != 0);
  uint32_t written = 0;
  if (mark) {
    const int64_t start = 0;
    if (const QZStatus status = file->bk_write(file, file->bom_bytes, file->bom_len, &written,
                                               offset != nullptr ? &start : nullptr);
        status != QZ_OK)
      return status;
    file->bom_pending = 0;
    if (offset != nullptr) *offset = file->bom_len;
  }
  return file->bk_write(file, piece, piece_length, &written, offset);
}

namespace ioe {
namespace {

QZStatus read_direct(File *file, void **address, uint32_t *length, int64_t *offset) {
  if (const QZStatus status = check_readable(file); status != QZ_OK) return status;
  if (address == nullptr || length == nullptr) return QZS_BAD_VALUE;
  uint8_t *area;
  uint32_t request;
  uint8_t *output = file->xcode_buf;
  uint32_t capacity = file->xcode_buf_size;
  if ((file->options & QZIOE_OPT_USER_BUFFER) != 0) {
    if (*address == nullptr) return QZIOE_FAILED;
    if (file->in_transcoder != nullptr) {
      area = file->xcode_buf;
      request = file->record_length;
      output = static_cast<uint8_t *>(*address);
      capacity = *length;
    } else {
      area = static_cast<uint8_t *>(*address);
      request = *length;
    }
  } else {
    if (*length > file->record_length) return QZIOE_LENGTH_TOO_BIG;
    // A record length of 0 has no buffer: its only request reads nothing.
    if (file->buffer == nullptr && *length > 0) return QZIOE_NOT_SUPPORTED;
    area = file->buffer;
    request = *length;
  }
  uint32_t got = 0;
  QZStatus status = file->bk_read(file, area, request, &got, offset);
  if (status != QZ_OK && status != QZIOE_RECORD_SPLIT) return status;
  if (begins_with_mark(file, area, got)) {
    // The mark is no data: the bytes after it move to the front and as many
    // more are read behind them, from right after the bytes read.
    const uint32_t rest = got - file->bom_len;
    std::memmove(area, area + file->bom_len, rest);
    const int64_t after = offset != nullptr ? *offset + got : 0;
    uint32_t topped = 0;
    const QZStatus top_up = file->bk_read(file, area + rest, file->bom_len, &topped,
                                          offset != nullptr ? &after : nullptr);
    if (top_up != QZ_OK && top_up != QZIOE_RECORD_SPLIT && top_up != QZIOE_END_OF_FILE)
      return top_up;
    got = rest + topped;
  }
  if (file->in_transcoder == nullptr) {
    *address = area;
    *length = got;
    return status;
  }
  uint32_t produced = 0;
  if (const QZStatus converted =
          convert(file->in_transcoder, area, got, output, capacity, &produced);
      converted != QZ_OK)
    return converted;
  *address = output;
  *length = produced;
  return status;
}

} // namespace
} // namespace ioe

extern "C" QZStatus skioe_read_rstream(QZIOEFile *handle, void **address, uint32_t *length, QZWord,
                                       int64_t *offset) noexcept {
  // Whatever failed, the caller finds no bytes.
  const QZStatus status = read_direct(file_of(handle), address, length, offset);
  if (status != QZ_OK && status != QZIOE_RECORD_SPLIT && length != nullptr) *length = 0;
  return status;
}

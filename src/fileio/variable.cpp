// Variable-length records: one record per line, ended by a line feed in the
// file encoding, converted to and from the record encoding.
//
// A line longer than the record length comes in pieces. When the handle
// converts, a piece ends on a character boundary of the file encoding: the
// bytes of a character cut at the limit start the next piece instead, so no
// character is split between two conversions (the kernel's transcoders
// convert each call on its own).
#include <cstring>

#include "fileio/records.h"

namespace ioe {
namespace {

struct Line {
  uint32_t length;   // bytes of the record, from the data's start
  uint32_t consumed; // bytes the line takes, delimiter included
  bool complete;     // not a piece of a longer line
};

inline bool line_feed_at(const File *file, const uint8_t *at) {
  const QZIOECCEntry &lf = file->inbound_cc[0];
  return std::memcmp(at, lf.bytes, lf.length) == 0;
}

// The record ended by the line feed at `found`, less a carriage return
// before it.
inline __attribute__((always_inline)) Line ended_at(const File *file, const uint8_t *data,
                                                    uint32_t found) {
  const uint32_t width = file->inbound_cc[0].length;
  const uint32_t cr = carriage_return_before(file, data, found) ? file->inbound_cc[2].length : 0;
  return {found - cr, found + width, true};
}

// A piece of `n` bytes without a line feed, cut back to whole characters
// when it is converted (unless that would leave nothing).
Line piece_of(const File *file, const uint8_t *data, uint32_t n) {
  uint32_t length = n;
  if (file->in_transcoder != nullptr) {
    const uint32_t whole = whole_characters(file, data, n);
    if (whole != 0) length = whole;
  }
  return {length, length, false};
}

// Converts the record into xcode_buf, or points at it where it is.
QZStatus deliver(File *file, const uint8_t *record, uint32_t length, void **address,
                 uint32_t *out_length) {
  if (file->in_transcoder == nullptr || length == 0) {
    *address = const_cast<uint8_t *>(record);
    *out_length = length;
    return QZ_OK;
  }
  uint32_t produced = 0;
  const QZStatus status = convert(file->in_transcoder, record, length, file->xcode_buf,
                                  file->xcode_buf_size, &produced);
  if (status != QZ_OK) {
    *address = nullptr;
    *out_length = 0;
    return status;
  }
  *address = file->xcode_buf;
  *out_length = produced;
  return QZ_OK;
}

bool mark_due(const File *file) {
  return (file->options & QZIOE_OPT_NO_BOM) == 0 && file->bom_pending != 0;
}

QZStatus fail_read(void **address, uint32_t *length, QZStatus status) {
  *address = nullptr;
  *length = 0;
  return status;
}

} // namespace
} // namespace ioe

using namespace ioe;

namespace {

// The reader's general path: reads ahead to L + cc_max bytes first.
__attribute__((noinline)) QZStatus read_var(File *file, void **address, uint32_t *length) {
  if (const QZStatus status = check_readable(file); status != QZ_OK) return status;
  if (file->buffered == 0 || file->buffer == nullptr) return QZIOE_NOT_SUPPORTED;
  if (address == nullptr || length == nullptr) return QZS_BAD_VALUE;
  if (file->eof_seen != 0 && file->buf_left == 0)
    return fail_read(address, length, QZIOE_END_OF_FILE);
  const uint32_t limit = file->record_length;
  const uint32_t width = file->inbound_cc[0].length;
  // Enough to judge a record of exactly L bytes: a mark before it, and a
  // carriage return and line feed after it. With only L + cc_max bytes, a
  // block boundary between that CR and LF made it a piece and an empty line.
  const uint32_t ahead = limit + file->cc_max + width + file->bom_len;
  if (file->buf_left < ahead && file->eof_seen == 0) {
    if (const QZStatus status = fill(file, ahead); status != QZ_OK)
      return fail_read(address, length, status);
    if (file->buf_left == 0) return fail_read(address, length, QZIOE_END_OF_FILE);
  }
  uint8_t *data = file->buffer + file->buf_pos;
  uint32_t mark = 0;
  if (begins_with_mark(file, data, file->buf_left)) {
    mark = file->bom_len;
    data += mark;
  }
  const uint32_t left = file->buf_left - mark;
  const uint32_t scanned = left < limit ? left : limit;
  const uint32_t found = find_line_feed(file, data, scanned);
  Line line;
  if (found < scanned) {
    line = ended_at(file, data, found);
  } else if (scanned == limit && left >= limit + width && line_feed_at(file, data + limit)) {
    line = ended_at(file, data, limit); // exactly the record length
  } else if (scanned == limit && left >= limit + 2 * width &&
             carriage_return_before(file, data + limit, width) &&
             line_feed_at(file, data + limit + width)) {
    line = ended_at(file, data, limit + width);
  } else if (scanned == left && file->eof_seen != 0) {
    line = {left, left, true}; // the last line, without a line feed
  } else {
    line = piece_of(file, data, scanned);
  }
  file->buf_pos += mark + line.consumed;
  file->buf_left -= mark + line.consumed;
  file->position += mark + line.consumed;
  const QZStatus status = line.complete ? QZ_OK : QZIOE_RECORD_SPLIT;
  if (line.length == 0) return fail_read(address, length, status);
  const QZStatus delivered = deliver(file, data, line.length, address, length);
  return delivered != QZ_OK ? delivered : status;
}

} // namespace

// The common case first: a line already complete in the buffer and not
// starting with a mark. It needs no read ahead, since whatever a refill
// brought in behind the line, the same line feed would end it; so the
// buffer is refilled only when the next line is not all there, and the
// unread tail moved is a part of one line. The line feed comes from the
// map the refill made, a word of 32 bytes at a time.
extern "C" QZStatus skioe_read_var(QZIOEFile *handle, void **address, uint32_t *length, QZWord,
                                   int64_t *) noexcept {
  File *file = file_of(handle);
  if (file == nullptr || file->lean_lines == 0 || address == nullptr || length == nullptr)
    return read_var(file, address, length);
  const uint32_t left = file->buf_left;
  const uint32_t start = file->buf_pos;
  uint8_t *const data = file->buffer + start;
  if (left == 0 || (data[0] == file->bom_bytes[0] && file->bom_len != 0))
    return read_var(file, address, length);
  const uint32_t end = start + (left < file->record_length ? left : file->record_length);
  if (end > file->lf_map_end) return read_var(file, address, length);
  const uint32_t *const map = file->lf_map;
  uint32_t word = start / 32;
  const uint32_t last = (end - 1) / 32;
  uint32_t bits = map[word] & (~0u << start % 32);
  while (bits == 0) {
    if (word == last) return read_var(file, address, length);
    bits = map[++word];
  }
  const uint32_t found = 32 * word + static_cast<uint32_t>(__builtin_ctz(bits));
  if (found >= end) return read_var(file, address, length);
  const uint32_t consumed = found - start + 1;
  file->buf_pos = found + 1;
  file->buf_left = left - consumed;
  file->position += consumed;
  const uint8_t *const lf = file->buffer + found;
  const uint32_t record = consumed - 1 - (lf != data && lf[-1] == file->lean_cr ? 1 : 0);
  if (file->in_transcoder != nullptr && record != 0)
    return deliver(file, data, record, address, length);
  *address = record != 0 ? data : nullptr;
  *length = record;
  return QZ_OK;
}

extern "C" QZStatus skioe_read_rvar(QZIOEFile *handle, void **address, uint32_t *length, QZWord,
                                    int64_t *) noexcept {
  File *file = file_of(handle);
  if (const QZStatus status = check_readable(file); status != QZ_OK) return status;
  if (file->buffer == nullptr) return QZIOE_NOT_SUPPORTED;
  if (address == nullptr || length == nullptr) return QZS_BAD_VALUE;
  uint32_t got = 0;
  QZStatus status =
      file->bk_read(file, file->buffer, file->record_length + file->cc_max, &got, nullptr);
  if (status != QZ_OK && status != QZIOE_RECORD_SPLIT) return fail_read(address, length, status);
  uint8_t *data = file->buffer;
  uint32_t mark = 0;
  if (begins_with_mark(file, data, got)) {
    mark = file->bom_len;
    data += mark;
  }
  const uint32_t found = find_line_feed(file, data, got - mark);
  const Line line =
      found < got - mark ? ended_at(file, data, found) : piece_of(file, data, got - mark);
  // The offset goes back to right after the line, whatever its conversion
  // gives, so that no line read ahead is lost.
  const QZStatus delivered = deliver(file, data, line.length, address, length);
  const uint32_t consumed = mark + line.consumed;
  file->position += consumed;
  if (consumed < got) {
    int64_t back = -static_cast<int64_t>(got - consumed);
    if (const QZStatus moved = file->bk_point(file, &back, QZIOE_SEEK_CURRENT); moved != QZ_OK)
      return fail_read(address, length, moved);
  }
  if (delivered != QZ_OK) return delivered;
  status = line.complete ? QZ_OK : QZIOE_RECORD_SPLIT;
  return status;
}

extern "C" QZStatus skioe_write_var(QZIOEFile *handle, const void *bytes, uint32_t length, QZWord,
                                    int64_t *) noexcept {
  File *file = file_of(handle);
  if (const QZStatus status = check_writable(file); status != QZ_OK) return status;
  if (file->buffered == 0 || file->buffer == nullptr) return QZIOE_NOT_SUPPORTED;
  if (bytes == nullptr && length > 0) return QZS_BAD_VALUE;
  if (mark_due(file)) {
    if (const QZStatus status = store(file, file->bom_bytes, file->bom_len); status != QZ_OK)
      return status;
    file->bom_pending = 0;
  }
  const uint8_t *piece = static_cast<const uint8_t *>(bytes);
  uint32_t piece_length = length;
  if (file->out_transcoder != nullptr) {
    if (const QZStatus status = convert(file->out_transcoder, bytes, length, file->xcode_buf,
                                        file->xcode_buf_size, &piece_length);
        status != QZ_OK)
      return status;
    piece = file->xcode_buf;
  }
  if (piece_length > 0) {
    if (const QZStatus status = store(file, piece, piece_length); status != QZ_OK) return status;
  }
  const QZIOECCEntry &lf = file->outbound_cc[0];
  return store(file, lf.bytes, lf.length);
}

extern "C" QZStatus skioe_write_rvar(QZIOEFile *handle, const void *bytes, uint32_t length, QZWord,
                                     int64_t *) noexcept {
  File *file = file_of(handle);
  if (const QZStatus status = check_writable(file); status != QZ_OK) return status;
  if (file->buffer == nullptr) return QZIOE_NOT_SUPPORTED;
  if (bytes == nullptr && length > 0) return QZS_BAD_VALUE;
  const QZIOECCEntry &lf = file->outbound_cc[0];
  // Record and line feed go out in one write from one area; what does not
  // fit there is refused before anything is written.
  uint8_t *area = file->buffer;
  uint32_t room = file->buffer_size;
  uint32_t piece_length = length;
  if (file->out_transcoder != nullptr) {
    area = file->xcode_buf;
    room = file->xcode_buf_size;
    if (room < lf.length) return QZIOE_LENGTH_TOO_BIG;
    const QZStatus status =
        convert(file->out_transcoder, bytes, length, area, room - lf.length, &piece_length);
    if (status != QZ_OK) {
      uint32_t needed = 0;
      QZNls *nls = file->nls;
      if (nls->text_length(nls, file->record_encoding, bytes, length, file->file_encoding,
                           &needed) == QZ_OK &&
          needed > room - lf.length)
        return QZIOE_LENGTH_TOO_BIG;
      return status;
    }
  } else {
    if (length > room || room - length < lf.length) return QZIOE_LENGTH_TOO_BIG;
    if (length > 0) std::memcpy(area, bytes, length);
  }
  std::memcpy(area + piece_length, lf.bytes, lf.length);
  uint32_t written = 0;
  if (mark_due(file)) {
    if (const QZStatus status =
            file->bk_write(file, file->bom_bytes, file->bom_len, &written, nullptr);
        status != QZ_OK)
      return status;
    file->bom_pending = 0;
    file->position += written;
  }
  written = 0;
  const QZStatus status = file->bk_write(file, area, piece_length + lf.length, &written, nullptr);
  file->position += written;
  return status;
}

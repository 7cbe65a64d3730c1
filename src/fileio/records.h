// What the record formats share: read-ahead, buffered stores and, for the
// text formats (lines and stream chunks), byte-order marks, the line-feed
// scan, character boundaries and conversion.
#pragma once

#include <cstdint>
#include <cstring>

#include "fileio/internal.h"

namespace ioe {

// Reads 8192-byte blocks behind the unread bytes (moved to the buffer's
// start first) until `wanted` bytes are unread or the file has ended. The
// status of a failing read; end of file sets eof_seen and is no failure.
QZStatus fill(File *file, uint32_t wanted);

// True when the `available` bytes at `at` begin with the handle's mark. The
// readers ask at every record, so the first byte decides inline.
inline bool begins_with_mark(const File *file, const uint8_t *at, uint32_t available) {
  return file->bom_len != 0 && available >= file->bom_len && at[0] == file->bom_bytes[0] &&
         std::memcmp(at, file->bom_bytes, file->bom_len) == 0;
}

// Offset of the first line feed among the first `n` bytes at `at`, tested at
// every multiple of its width; `n` when there is none.
uint32_t find_wide_line_feed(const File *file, const uint8_t *at, uint32_t n);
inline uint32_t find_line_feed(const File *file, const uint8_t *at, uint32_t n) {
  const QZIOECCEntry &lf = file->inbound_cc[0];
  if (lf.length != 1) return find_wide_line_feed(file, at, n);
  const void *hit = std::memchr(at, lf.bytes[0], n);
  return hit == nullptr ? n : static_cast<uint32_t>(static_cast<const uint8_t *>(hit) - at);
}

// True when the `width` bytes before `end` are a carriage return.
inline bool carriage_return_before(const File *file, const uint8_t *at, uint32_t end) {
  const QZIOECCEntry &cr = file->inbound_cc[2];
  if (cr.length == 1) return end >= 1 && at[end - 1] == cr.bytes[0];
  return cr.length != 0 && end >= cr.length &&
         std::memcmp(at + end - cr.length, cr.bytes, cr.length) == 0;
}

// The longest prefix of the `n` bytes at `at` (which start on a character
// boundary) that holds whole characters of the file encoding. A piece cut
// there converts on its own, and the rest of the character starts the next
// piece, so no character is split between two conversions.
uint32_t whole_characters(const File *file, const uint8_t *at, uint32_t n);

// Converts `n` bytes with `transcoder` into `target` (at most `capacity`
// bytes); the bytes produced in *produced.
QZStatus convert(QZTranscoder *transcoder, const void *source, uint32_t n, uint8_t *target,
                 uint32_t capacity, uint32_t *produced);

// Appends bytes to a buffered handle's output: copied when they fit with
// room to spare, else through sk_buf_write, which writes each full block.
// `position` advances by the bytes taken.
QZStatus store(File *file, const void *bytes, uint32_t length);

} // namespace ioe

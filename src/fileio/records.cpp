#include "fileio/records.h"

#include <strings.h>

#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace ioe {
namespace {

// Bit i of the result: at[i] is `byte`, for the `n` (at most 32) bytes at `at`.
uint32_t map_word(const uint8_t *at, uint32_t n, uint8_t byte) {
  uint32_t bits = 0;
  for (uint32_t i = 0; i < n; ++i)
    bits |= static_cast<uint32_t>(at[i] == byte) << i;
  return bits;
}

#if defined(__i386__) || defined(__x86_64__)
__attribute__((target("sse2"))) void map_words_sse2(const uint8_t *at, uint32_t words, uint8_t byte,
                                                    uint32_t *map) {
  const __m128i wanted = _mm_set1_epi8(static_cast<char>(byte));
  for (uint32_t w = 0; w < words; ++w, at += 32) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at + 16));
    const auto low_bits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, wanted)));
    const auto high_bits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(high, wanted)));
    map[w] = low_bits | high_bits << 16;
  }
}
#endif

// Whole 32-byte words of the map; sixteen bytes a step where the processor
// can (every x86-64 one; a 32-bit one is asked).
void map_words(const uint8_t *at, uint32_t words, uint8_t byte, uint32_t *map) {
#if defined(__x86_64__)
  map_words_sse2(at, words, byte, map);
#else
#if defined(__i386__)
  if (__builtin_cpu_supports("sse2")) {
    map_words_sse2(at, words, byte, map);
    return;
  }
#endif
  for (uint32_t w = 0; w < words; ++w)
    map[w] = map_word(at + 32 * w, 32, byte);
#endif
}

enum class Units : uint8_t { bytes, utf8, utf16be, utf16le, four };

Units units_of(const File *file) {
  switch (file->file_encoding) {
  case QZ_ENC_UTF8:
    return Units::utf8;
  case QZ_ENC_UTF16BE:
    return Units::utf16be;
  case QZ_ENC_UTF16LE:
    return Units::utf16le;
  case QZ_ENC_UTF32BE:
  case QZ_ENC_UTF32LE:
    return Units::four;
  default:
    break;
  }
  // The system's encoding is whatever the kernel says; UTF-8 is the one
  // multi-byte form it can be here.
  const QZEncodingInfo *info = nullptr;
  QZNls *nls = file->nls;
  if (nls != nullptr && nls->encoding_info(nls, file->file_encoding, &info) == QZ_OK &&
      info != nullptr && info->max_bytes > 1 && info->name != nullptr &&
      (strcasecmp(info->name, "UTF-8") == 0 || strcasecmp(info->name, "UTF8") == 0))
    return Units::utf8;
  return Units::bytes;
}

uint32_t whole_utf8(const uint8_t *at, uint32_t n) {
  // Back to the start of the last sequence (at most three continuation
  // bytes), then keep it only if all of its bytes are there.
  uint32_t start = n - 1;
  while (start > 0 && n - start < 4 && (at[start] & 0xc0) == 0x80)
    --start;
  const uint8_t lead = at[start];
  const uint32_t need = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
  return start + need > n ? start : n;
}

uint32_t whole_utf16(const uint8_t *at, uint32_t n, bool big_endian) {
  n &= ~1u;
  if (n == 0) return 0;
  const uint32_t unit = big_endian ? (at[n - 2] << 8 | at[n - 1]) : (at[n - 1] << 8 | at[n - 2]);
  // A high surrogate waits for its low half.
  return unit >= 0xd800 && unit < 0xdc00 ? n - 2 : n;
}

} // namespace

void index_line_feeds(File *file) {
  const uint32_t n = file->buf_pos + file->buf_left;
  const uint32_t whole = n / 32;
  map_words(file->buffer, whole, file->lean_lf, file->lf_map);
  if (n % 32 != 0) file->lf_map[whole] = map_word(file->buffer + 32 * whole, n % 32, file->lean_lf);
  file->lf_map_end = n;
}

QZStatus fill(File *file, uint32_t wanted) {
  if (file->buf_left > 0 && file->buf_pos > 0)
    std::memmove(file->buffer, file->buffer + file->buf_pos, file->buf_left);
  file->buf_pos = 0;
  QZStatus status = QZ_OK;
  while (file->buf_left < wanted && file->eof_seen == 0) {
    uint32_t got = 0;
    status = file->bk_read(file, file->buffer + file->buf_left, file->block_size, &got, nullptr);
    if (status == QZIOE_END_OF_FILE) {
      file->eof_seen = 1;
    } else if (status != QZ_OK && status != QZIOE_RECORD_SPLIT) {
      break;
    }
    status = QZ_OK;
    file->buf_left += got;
  }
  // Whatever came in, and the tail moved to the start, is mapped again.
  if (file->lean_lines != 0) index_line_feeds(file);
  return status;
}

uint32_t find_wide_line_feed(const File *file, const uint8_t *at, uint32_t n) {
  const QZIOECCEntry &lf = file->inbound_cc[0];
  const uint32_t width = lf.length;
  if (width == 0 || width > n) return n;
  if (width == 2) {
    const uint8_t first = lf.bytes[0], second = lf.bytes[1];
    for (uint32_t i = 0; i + 2 <= n; i += 2)
      if (at[i] == first && at[i + 1] == second) return i;
    return n;
  }
  if (width == 4) {
    uint32_t wanted, unit;
    std::memcpy(&wanted, lf.bytes, 4);
    for (uint32_t i = 0; i + 4 <= n; i += 4) {
      std::memcpy(&unit, at + i, 4);
      if (unit == wanted) return i;
    }
    return n;
  }
  for (uint32_t i = 0; i + width <= n; i += width)
    if (std::memcmp(at + i, lf.bytes, width) == 0) return i;
  return n;
}

uint32_t whole_characters(const File *file, const uint8_t *at, uint32_t n) {
  if (n == 0) return 0;
  switch (units_of(file)) {
  case Units::utf8:
    return whole_utf8(at, n);
  case Units::utf16be:
    return whole_utf16(at, n, true);
  case Units::utf16le:
    return whole_utf16(at, n, false);
  case Units::four:
    return n & ~3u;
  case Units::bytes:
    break;
  }
  return n;
}

QZStatus convert(QZTranscoder *transcoder, const void *source, uint32_t n, uint8_t *target,
                 uint32_t capacity, uint32_t *produced) {
  *produced = 0;
  if (n == 0) return QZ_OK;
  return transcoder->convert(transcoder, source, n, target, capacity, produced, 0);
}

QZStatus store(File *file, const void *bytes, uint32_t length) {
  if (length < file->buf_left) {
    std::memcpy(file->buffer + file->buf_pos, bytes, length);
    file->buf_pos += length;
    file->buf_left -= length;
    file->position += length;
    return QZ_OK;
  }
  return sk_buf_write(file, bytes, length);
}

} // namespace ioe

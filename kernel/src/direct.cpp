#include "direct.h"

#include <array>
#include <bit>
#include <cctype>
#include <cstring>
#include <string>

#if defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#include <tmmintrin.h>
#endif

#include "qzkernel/standin.h"

namespace qzk {
namespace {

constexpr uint32_t kBad = 0xffffffffu;        // invalid sequence
constexpr uint32_t kIncomplete = 0xfffffffeu; // the source ends inside one

// Decodes one character at `at`; `used` receives its bytes.
uint32_t Decode(Form form, const uint8_t *at, uint32_t left, uint32_t &used) {
  switch (form) {
  case Form::latin1:
    used = 1;
    return at[0];
  case Form::utf8: {
    const uint8_t lead = at[0];
    if (lead < 0x80) {
      used = 1;
      return lead;
    }
    uint32_t need, value, least;
    if (lead >= 0xc2 && lead <= 0xdf) {
      need = 2, value = lead & 0x1f, least = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      need = 3, value = lead & 0x0f, least = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      need = 4, value = lead & 0x07, least = 0x10000;
    } else {
      return kBad;
    }
    for (uint32_t i = 1; i < need; ++i) {
      if (i >= left) return kIncomplete;
      if ((at[i] & 0xc0) != 0x80) return kBad;
      value = value << 6 | (at[i] & 0x3f);
      // Overlong forms, surrogates and values past U+10FFFF are refused as
      // soon as the second byte shows them.
      if (i == 1 && need == 3 && ((lead == 0xe0 && at[1] < 0xa0) || (lead == 0xed && at[1] > 0x9f)))
        return kBad;
      if (i == 1 && need == 4 && ((lead == 0xf0 && at[1] < 0x90) || (lead == 0xf4 && at[1] > 0x8f)))
        return kBad;
    }
    if (value < least) return kBad;
    used = need;
    return value;
  }
  case Form::utf16le:
  case Form::utf16be: {
    const bool little = form == Form::utf16le;
    auto unit = [&](uint32_t i) {
      return little ? uint32_t(at[i] | at[i + 1] << 8) : uint32_t(at[i] << 8 | at[i + 1]);
    };
    if (left < 2) return kIncomplete;
    const uint32_t first = unit(0);
    if (first < 0xd800 || first > 0xdfff) {
      used = 2;
      return first;
    }
    if (first >= 0xdc00) return kBad;
    if (left < 4) return kIncomplete;
    const uint32_t second = unit(2);
    if (second < 0xdc00 || second > 0xdfff) return kBad;
    used = 4;
    return 0x10000 + ((first - 0xd800) << 10) + (second - 0xdc00);
  }
  case Form::utf32le:
  case Form::utf32be: {
    if (left < 4) return kIncomplete;
    const uint32_t value = form == Form::utf32le
                               ? uint32_t(at[0] | at[1] << 8 | at[2] << 16 | uint32_t(at[3]) << 24)
                               : uint32_t(uint32_t(at[0]) << 24 | at[1] << 16 | at[2] << 8 | at[3]);
    if (value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return kBad;
    used = 4;
    return value;
  }
  case Form::none:
    break;
  }
  return kBad;
}

// Encodes `value` at `out`; the bytes written, 0 when it does not fit,
// kBad when the form cannot hold it.
uint32_t Encode(Form form, uint32_t value, uint8_t *out, uint32_t room) {
  switch (form) {
  case Form::latin1:
    if (value > 0xff) return kBad;
    if (room < 1) return 0;
    out[0] = static_cast<uint8_t>(value);
    return 1;
  case Form::utf8:
    if (value < 0x80) {
      if (room < 1) return 0;
      out[0] = static_cast<uint8_t>(value);
      return 1;
    }
    if (value < 0x800) {
      if (room < 2) return 0;
      out[0] = static_cast<uint8_t>(0xc0 | value >> 6);
      out[1] = static_cast<uint8_t>(0x80 | (value & 0x3f));
      return 2;
    }
    if (value < 0x10000) {
      if (room < 3) return 0;
      out[0] = static_cast<uint8_t>(0xe0 | value >> 12);
      out[1] = static_cast<uint8_t>(0x80 | ((value >> 6) & 0x3f));
      out[2] = static_cast<uint8_t>(0x80 | (value & 0x3f));
      return 3;
    }
    if (room < 4) return 0;
    out[0] = static_cast<uint8_t>(0xf0 | value >> 18);
    out[1] = static_cast<uint8_t>(0x80 | ((value >> 12) & 0x3f));
    out[2] = static_cast<uint8_t>(0x80 | ((value >> 6) & 0x3f));
    out[3] = static_cast<uint8_t>(0x80 | (value & 0x3f));
    return 4;
  case Form::utf16le:
  case Form::utf16be: {
    const bool little = form == Form::utf16le;
    auto put = [&](uint8_t *at, uint32_t unit) {
      at[little ? 0 : 1] = static_cast<uint8_t>(unit);
      at[little ? 1 : 0] = static_cast<uint8_t>(unit >> 8);
    };
    if (value < 0x10000) {
      if (room < 2) return 0;
      put(out, value);
      return 2;
    }
    if (room < 4) return 0;
    put(out, 0xd800 + ((value - 0x10000) >> 10));
    put(out + 2, 0xdc00 + ((value - 0x10000) & 0x3ff));
    return 4;
  }
  case Form::utf32le:
  case Form::utf32be:
    if (room < 4) return 0;
    for (int i = 0; i < 4; ++i)
      out[form == Form::utf32le ? i : 3 - i] = static_cast<uint8_t>(value >> (8 * i));
    return 4;
  case Form::none:
    break;
  }
  return kBad;
}

// Any pair, character by character with the room checked for each.
QZStatus ConvertDirect(Form from, Form to, const uint8_t *source, uint32_t source_bytes,
                       uint8_t *target, uint32_t capacity, uint32_t *produced) {
  uint32_t in = 0, out = 0;
  // Runs of ASCII between byte forms and 32-bit characters, the common
  // case of text, without the per-character dispatch.
  const bool bytes_to_utf32 = (from == Form::utf8 || from == Form::latin1) && to == Form::utf32le;
  const bool utf32_to_bytes = from == Form::utf32le && (to == Form::utf8 || to == Form::latin1);
  while (in < source_bytes) {
    if (bytes_to_utf32) {
      while (in < source_bytes && source[in] < 0x80 && capacity - out >= 4) {
        const uint32_t value = source[in++];
        std::memcpy(target + out, &value, 4);
        out += 4;
      }
      if (in == source_bytes) break;
    } else if (utf32_to_bytes) {
      while (source_bytes - in >= 4 && out < capacity) {
        uint32_t value;
        std::memcpy(&value, source + in, 4);
        if (value >= 0x80) break;
        target[out++] = static_cast<uint8_t>(value);
        in += 4;
      }
      if (in == source_bytes) break;
    }
    uint32_t used = 0;
    const uint32_t value = Decode(from, source + in, source_bytes - in, used);
    if (value == kBad || value == kIncomplete) return QZK_BAD_SEQUENCE;
    const uint32_t put = Encode(to, value, target + out, capacity - out);
    if (put == kBad) return QZK_BAD_SEQUENCE;
    if (put == 0) return QZK_BUFFER_TOO_SMALL;
    in += used;
    out += put;
  }
  if (produced != nullptr) *produced = out;
  return QZ_OK;
}

// The well-formed three-byte sequence at `at` (most CJK text), or 0.
inline uint32_t ThreeByteValue(const uint8_t *at, const uint8_t *end) {
  if ((at[0] & 0xf0) != 0xe0 || end - at < 3 || (at[1] & 0xc0) != 0x80 || (at[2] & 0xc0) != 0x80)
    return 0;
  const uint32_t value = (at[0] & 0x0fu) << 12 | (at[1] & 0x3fu) << 6 | (at[2] & 0x3fu);
  return value >= 0x800 && (value < 0xd800 || value > 0xdfff) ? value : 0;
}

// One character of UTF-8 (or ISO-8859-1) at `at` to a 32-bit character at
// `out`; false for a bad or cut sequence. Two- and three-byte sequences
// inline, the general decoder for the rest and for judging the bad ones.
inline bool PutCharacter(Form from, const uint8_t *&at, const uint8_t *end, uint8_t *&out) {
  const uint32_t lead = *at;
  uint32_t value = lead, used = 1;
  if (lead >= 0x80 && from == Form::utf8) {
    if (lead >= 0xc2 && lead <= 0xdf && end - at >= 2 && (at[1] & 0xc0) == 0x80) {
      value = (lead & 0x1f) << 6 | (at[1] & 0x3f);
      used = 2;
    } else if ((value = ThreeByteValue(at, end)) != 0) {
      used = 3;
    } else {
      value = Decode(from, at, static_cast<uint32_t>(end - at), used);
      if (value == kBad || value == kIncomplete) return false;
    }
  }
  std::memcpy(out, &value, 4);
  out += 4;
  at += used;
  return true;
}

// The 32-bit characters of the bytes from `at` to `end` at `out`, a target
// with room for the worst case; the end of the characters, null for a bad or
// cut sequence. Four ASCII bytes at a time, one character at a time for the
// rest.
template <Form kFrom> uint8_t *WidenScalar(const uint8_t *at, const uint8_t *end, uint8_t *out) {
  while (at < end) {
    uint32_t word;
    if (end - at >= 4 && (std::memcpy(&word, at, 4), (word & 0x80808080u) == 0)) {
      for (int i = 0; i < 4; ++i) {
        const uint32_t value = word >> (8 * i) & 0xff;
        std::memcpy(out + 4 * i, &value, 4);
      }
      at += 4;
      out += 16;
      continue;
    }
    if (!PutCharacter(kFrom, at, end, out)) return nullptr;
  }
  return out;
}

#if defined(__i386__) || defined(__x86_64__)
#define QZK_SSE2 __attribute__((target("sse2"), always_inline)) inline

// Up to sixteen characters decoded from one block of source bytes, as the
// low and the high byte of each, in order.
struct Block {
  __m128i low, high;
  uint32_t used;  // source bytes they take
  uint32_t chars; // characters
};

// Bits set in each byte value.
constexpr auto kBitCounts = [] {
  std::array<uint8_t, 256> counts{};
  for (unsigned i = 0; i < 256; ++i)
    counts[i] = static_cast<uint8_t>(std::popcount(i));
  return counts;
}();

// Takes the lanes set in `lanes` out of a block, the lanes above each
// moving down. SSE2 has no byte shuffle: the lanes go one at a time.
struct DropLanes {
  // Row p: 0xff in the lanes from p on; row 16: none.
  struct Masks {
    alignas(16) uint8_t from[17][16];
  };
  static constexpr Masks kMasks = [] {
    Masks masks{};
    for (int p = 0; p < 16; ++p)
      for (int i = p; i < 16; ++i)
        masks.from[p][i] = 0xff;
    return masks;
  }();

  // The lanes set in `from` take their upper neighbours' bytes.
  QZK_SSE2 static __m128i Drop(__m128i lanes, __m128i from) {
    return _mm_xor_si128(lanes,
                         _mm_and_si128(_mm_xor_si128(lanes, _mm_srli_si128(lanes, 1)), from));
  }
  QZK_SSE2 static void Drop(Block &block, unsigned row) {
    const __m128i from = _mm_load_si128(reinterpret_cast<const __m128i *>(kMasks.from[row]));
    block.low = Drop(block.low, from);
    block.high = Drop(block.high, from);
  }

  // Lowest first: the n lanes gone before one have moved it down n. Two go
  // without a branch (a marker bit past them makes the row 16 when there
  // are none), as text rarely has more in sixteen bytes.
  QZK_SSE2 static void Apply(Block &block, unsigned lanes) {
    Drop(block, static_cast<unsigned>(std::countr_zero(lanes | 1u << 16)));
    lanes &= lanes - 1;
    Drop(block, static_cast<unsigned>(std::countr_zero(lanes | 1u << 17)) - 1);
    lanes &= lanes - 1;
    for (unsigned gone = 2; lanes != 0; ++gone, lanes &= lanes - 1)
      Drop(block, static_cast<unsigned>(std::countr_zero(lanes)) - gone);
  }
};

// The same with SSSE3's byte shuffle, all lanes at once: each half packed
// by a table, the upper half then moved down to follow the lower.
struct ShuffleLanes {
  struct Tables {
    uint8_t kept[256][8];            // the lanes not set in a byte, in order; zeros after
    alignas(16) uint8_t up[256][16]; // lanes moved up past those kept, zeros under them
  };
  static constexpr Tables kTables = [] {
    Tables tables{};
    for (unsigned mask = 0; mask < 256; ++mask) {
      int n = 0;
      for (uint8_t lane = 0; lane < 8; ++lane)
        if ((mask >> lane & 1) == 0) tables.kept[mask][n++] = lane;
      for (int i = 0; i < 16; ++i)
        tables.up[mask][i] = i >= n && i - n < 8 ? static_cast<uint8_t>(i - n) : 0x80;
    }
    return tables;
  }();

  // Inline but not always_inline: WidenBlocks is built for SSE2 and takes
  // this in only where it is itself inlined into the SSSE3 conversion.
  __attribute__((target("ssse3"))) static inline void Apply(Block &block, unsigned lanes) {
    const unsigned lower = lanes & 0xff, upper = lanes >> 8;
    const __m128i first = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(kTables.kept[lower]));
    const __m128i second = _mm_add_epi8(
        _mm_loadl_epi64(reinterpret_cast<const __m128i *>(kTables.kept[upper])), _mm_set1_epi8(8));
    const __m128i up = _mm_load_si128(reinterpret_cast<const __m128i *>(kTables.up[lower]));
    const __m128i order = _mm_or_si128(first, _mm_shuffle_epi8(second, up));
    block.low = _mm_shuffle_epi8(block.low, order);
    block.high = _mm_shuffle_epi8(block.high, order);
  }
};

// ASCII and well-formed two-byte sequences (most Latin, Greek and Cyrillic
// text) decoded in the registers; false for any other byte, which the
// scalar decoder then converts or judges. A lead in the last lane (`last`,
// read apart so that the next block's address need not wait for the
// vector work) waits for the next block.
template <Form kFrom, class Compaction>
QZK_SSE2 bool DecodeBlock(__m128i bytes, uint8_t last, Block &block) {
  block = {bytes, _mm_setzero_si128(), 16, 16};
  const auto others = static_cast<unsigned>(_mm_movemask_epi8(bytes));
  if (kFrom == Form::latin1 || others == 0) return true;
  // As signed bytes: C2..DF leads, 80..BF continuations.
  const __m128i lead = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(int8_t(0xc1))),
                                     _mm_cmplt_epi8(bytes, _mm_set1_epi8(int8_t(0xe0))));
  const __m128i trail = _mm_cmplt_epi8(bytes, _mm_set1_epi8(int8_t(0xc0)));
  const auto leads = static_cast<unsigned>(_mm_movemask_epi8(lead));
  const auto trails = static_cast<unsigned>(_mm_movemask_epi8(trail));
  // Only leads and continuations, each lead followed by one.
  if (((leads | trails) ^ others) | (trails ^ (leads << 1 & 0xffffu))) return false;
  // 110abcde 10fghijk: high byte 00000abc, low byte defghijk.
  const __m128i next = _mm_srli_si128(bytes, 1);
  const __m128i joined =
      _mm_or_si128(_mm_and_si128(_mm_slli_epi16(bytes, 6), _mm_set1_epi8(int8_t(0xc0))),
                   _mm_and_si128(next, _mm_set1_epi8(0x3f)));
  block.low = _mm_xor_si128(bytes, _mm_and_si128(_mm_xor_si128(bytes, joined), lead));
  block.high = _mm_and_si128(lead, _mm_and_si128(_mm_srli_epi16(bytes, 2), _mm_set1_epi8(0x07)));
  block.used = 16 - (last >= 0xc0); // valid, so C2..DF
  block.chars = block.used - kBitCounts[trails & 0xff] - kBitCounts[trails >> 8];
  Compaction::Apply(block, trails);
  return true;
}

// The block's sixteen lanes as 32-bit characters.
QZK_SSE2 void Words(const Block &block, __m128i &w0, __m128i &w1, __m128i &w2, __m128i &w3) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i first = _mm_unpacklo_epi8(block.low, block.high);
  const __m128i second = _mm_unpackhi_epi8(block.low, block.high);
  w0 = _mm_unpacklo_epi16(first, zero);
  w1 = _mm_unpackhi_epi16(first, zero);
  w2 = _mm_unpacklo_epi16(second, zero);
  w3 = _mm_unpackhi_epi16(second, zero);
}

// All sixteen lanes, for a target with room for them: lanes past the
// characters are overwritten by the next ones or lie past the result.
QZK_SSE2 void StoreAll(uint8_t *out, const Block &block) {
  __m128i w0, w1, w2, w3;
  Words(block, w0, w1, w2, w3);
  auto *to = reinterpret_cast<__m128i *>(out);
  _mm_storeu_si128(to, w0);
  _mm_storeu_si128(to + 1, w1);
  _mm_storeu_si128(to + 2, w2);
  _mm_storeu_si128(to + 3, w3);
}

// The block's characters and no lane more.
QZK_SSE2 void StoreChars(uint8_t *out, const Block &block) {
  __m128i w0, w1, w2, w3;
  Words(block, w0, w1, w2, w3);
  uint32_t chars = block.chars;
  for (; chars >= 4; chars -= 4, out += 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), w0);
    w0 = w1;
    w1 = w2;
    w2 = w3;
  }
  if (chars >= 2) {
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out), w0);
    w0 = _mm_srli_si128(w0, 8);
    out += 8;
  }
  if (chars & 1) {
    const auto value = static_cast<uint32_t>(_mm_cvtsi128_si32(w0));
    std::memcpy(out, &value, 4);
  }
}

// Shifts the bytes `count` (0 to 15) lanes down, zeros coming in on top.
QZK_SSE2 __m128i ShiftDown(__m128i bytes, uint32_t count) {
  const __m128i by_eight = _mm_set1_epi32(-static_cast<int>(count >> 3 & 1));
  bytes = _mm_or_si128(_mm_and_si128(by_eight, _mm_srli_si128(bytes, 8)),
                       _mm_andnot_si128(by_eight, bytes));
  const auto bits = static_cast<int>(8 * (count & 7));
  return _mm_or_si128(_mm_srl_epi64(bytes, _mm_cvtsi32_si128(bits)),
                      _mm_sll_epi64(_mm_srli_si128(bytes, 8), _mm_cvtsi32_si128(64 - bits)));
}

// The `left` (1 to 15) bytes of a source shorter than sixteen, zeros above
// them, read without a byte past them: two overlapping loads.
QZK_SSE2 __m128i LoadShort(const uint8_t *at, uint32_t left) {
  const uint8_t *const end = at + left;
  if (left >= 8) {
    const __m128i head = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(at));
    const __m128i last = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(end - 8));
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(8 * (16 - left)));
    return _mm_unpacklo_epi64(head, _mm_srl_epi64(last, shift));
  }
  if (left >= 4) {
    uint32_t head, last;
    std::memcpy(&head, at, 4);
    std::memcpy(&last, end - 4, 4);
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(8 * (left - 4)));
    return _mm_or_si128(_mm_cvtsi32_si128(static_cast<int>(head)),
                        _mm_sll_epi64(_mm_cvtsi32_si128(static_cast<int>(last)), shift));
  }
  uint32_t word = at[0];
  if (left >= 2) {
    uint16_t last;
    std::memcpy(&last, end - 2, 2);
    word |= uint32_t{last} << (8 * (left - 2));
  }
  return _mm_cvtsi32_si128(static_cast<int>(word));
}

// WidenScalar sixteen source bytes at a time, then the last fewer as one
// more block, writing nothing past `limit`; a block with more than ASCII
// and two-byte sequences gives its ASCII and then one character the scalar
// way.
template <Form kFrom, class Compaction>
QZK_SSE2 uint8_t *WidenBlocks(const uint8_t *at, const uint8_t *end, uint8_t *out,
                              const uint8_t *limit) {
  const uint8_t *const source = at;
  Block block;
  while (end - at >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
    if (DecodeBlock<kFrom, Compaction>(bytes, at[15], block)) {
      StoreAll(out, block); // room for the worst case
      at += block.used;
      out += 4 * block.chars;
      continue;
    }
    const auto ascii =
        static_cast<uint32_t>(std::countr_zero(static_cast<unsigned>(_mm_movemask_epi8(bytes))));
    StoreAll(out, Block{bytes, _mm_setzero_si128(), ascii, ascii});
    at += ascii;
    out += 4 * ascii;
    if (!PutCharacter(kFrom, at, end, out)) return nullptr;
  }
  if (at == end) return out;
  // The last fewer than sixteen bytes, from the sixteen that end the source
  // where there are as many.
  const auto left = static_cast<uint32_t>(end - at);
  __m128i tail;
  if (end - source >= 16) {
    const __m128i window = _mm_loadu_si128(reinterpret_cast<const __m128i *>(end - 16));
    // ASCII gave a character a byte, those before `at` the last ones before
    // `out`: the whole window goes where the characters end.
    if (kFrom == Form::latin1 || _mm_movemask_epi8(window) == 0) {
      out += 4 * left;
      StoreAll(out - 64, Block{window, _mm_setzero_si128(), 16, 16});
      return out;
    }
    tail = ShiftDown(window, 16 - left);
  } else {
    tail = LoadShort(at, left);
  }
  if (!DecodeBlock<kFrom, Compaction>(tail, 0, block)) return WidenScalar<kFrom>(at, end, out);
  // The zeros above the tail decoded as the last characters.
  block.chars -= 16 - left;
  if (limit - out >= 64)
    StoreAll(out, block);
  else
    StoreChars(out, block);
  return out + 4 * block.chars;
}

// The widening loops for each level of instructions, built for it.
template <Form kFrom>
__attribute__((target("sse2"))) uint8_t *WidenSse2(const uint8_t *at, const uint8_t *end,
                                                   uint8_t *out, const uint8_t *limit) {
  return WidenBlocks<kFrom, DropLanes>(at, end, out, limit);
}
template <Form kFrom>
__attribute__((target("ssse3"))) uint8_t *WidenSsse3(const uint8_t *at, const uint8_t *end,
                                                     uint8_t *out, const uint8_t *limit) {
  return WidenBlocks<kFrom, ShuffleLanes>(at, end, out, limit);
}

#endif

template <Form kFrom>
uint8_t *WidenPlain(const uint8_t *at, const uint8_t *end, uint8_t *out, const uint8_t *) {
  return WidenScalar<kFrom>(at, end, out);
}

// The end of the characters widened from `at` to `end` into `out` (room up
// to `limit`, at least the worst case); null for a bad or cut sequence.
using Widening = uint8_t *(*)(const uint8_t *at, const uint8_t *end, uint8_t *out,
                              const uint8_t *limit);

// UTF-8 or ISO-8859-1 to 32-bit characters, the conversion behind every
// text line a kernel reads. With room for the worst case (four bytes a
// source byte) no room checks; otherwise the general loop.
template <Form kFrom, Widening kWiden>
QZStatus BytesToUtf32(Form from, Form to, const uint8_t *source, uint32_t source_bytes,
                      uint8_t *target, uint32_t capacity, uint32_t *produced) {
  static_assert(std::endian::native == std::endian::little, "stores 32-bit values as they are");
  if (capacity / 4 < source_bytes)
    return ConvertDirect(from, to, source, source_bytes, target, capacity, produced);
  const uint8_t *const out = kWiden(source, source + source_bytes, target, target + capacity);
  if (out == nullptr) return QZK_BAD_SEQUENCE;
  if (produced != nullptr) *produced = static_cast<uint32_t>(out - target);
  return QZ_OK;
}

template <Form kFrom> DirectConversion BytesToUtf32For([[maybe_unused]] Vectors vectors) {
#if defined(__i386__) || defined(__x86_64__)
  if constexpr (kFrom == Form::utf8) // ISO-8859-1 has nothing to shuffle
    if (vectors >= Vectors::ssse3) return BytesToUtf32<kFrom, WidenSsse3<kFrom>>;
  if (vectors >= Vectors::sse2) return BytesToUtf32<kFrom, WidenSse2<kFrom>>;
#endif
  return BytesToUtf32<kFrom, WidenPlain<kFrom>>;
}
} // namespace

Form FormOf(const char *iconv_name) {
  std::string key;
  for (const char *p = iconv_name; p != nullptr && *p != '\0'; ++p)
    if (std::isalnum(static_cast<unsigned char>(*p)))
      key.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
  if (key == "UTF8") return Form::utf8;
  if (key == "UTF16LE") return Form::utf16le;
  if (key == "UTF16BE") return Form::utf16be;
  if (key == "UTF32LE") return Form::utf32le;
  if (key == "UTF32BE") return Form::utf32be;
  if (key == "ISO88591" || key == "LATIN1") return Form::latin1;
  return Form::none;
}

Vectors ProcessorVectors() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("ssse3")) return Vectors::ssse3;
  if (__builtin_cpu_supports("sse2")) return Vectors::sse2;
#endif
  return Vectors::none;
}

DirectConversion DirectConversionFor(Form from, Form to, Vectors vectors) {
  if (from == Form::none || to == Form::none) return nullptr;
  if (to == Form::utf32le && from == Form::utf8) return BytesToUtf32For<Form::utf8>(vectors);
  if (to == Form::utf32le && from == Form::latin1) return BytesToUtf32For<Form::latin1>(vectors);
  return ConvertDirect;
}
} // namespace qzk

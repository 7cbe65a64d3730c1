#include "direct.h"

#include <bit>
#include <cctype>
#include <cstring>
#include <string>

#if defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
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

// One character of UTF-8 (or ISO-8859-1) at `at` to a 32-bit character at
// `out`; false for a bad or cut sequence. Two-byte sequences inline, the
// general decoder for the rest.
inline bool PutCharacter(Form from, const uint8_t *&at, const uint8_t *end, uint8_t *&out) {
  const uint32_t lead = *at;
  uint32_t value = lead, used = 1;
  if (lead >= 0x80 && from == Form::utf8) {
    if (lead >= 0xc2 && lead <= 0xdf && end - at >= 2 && (at[1] & 0xc0) == 0x80) {
      value = (lead & 0x1f) << 6 | (at[1] & 0x3f);
      used = 2;
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

#if defined(__i386__) || defined(__x86_64__)
// Sixteen source bytes at a time: all of them widened and stored (64 bytes,
// which the worst-case room always has while 16 source bytes remain), then
// the pointers advance past the ASCII ones; the first other byte starts one
// character the scalar way. ISO-8859-1 widens every byte.
__attribute__((target("sse2"))) bool WidenSse2(Form from, const uint8_t *&at, const uint8_t *end,
                                               uint8_t *&out) {
  const __m128i zero = _mm_setzero_si128();
  while (end - at >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
    const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
    auto *to = reinterpret_cast<__m128i *>(out);
    _mm_storeu_si128(to, _mm_unpacklo_epi16(low, zero));
    _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(low, zero));
    _mm_storeu_si128(to + 2, _mm_unpacklo_epi16(high, zero));
    _mm_storeu_si128(to + 3, _mm_unpackhi_epi16(high, zero));
    const unsigned others = from == Form::latin1 ? 0 : unsigned(_mm_movemask_epi8(bytes));
    if (others == 0) {
      at += 16;
      out += 64;
      continue;
    }
    const unsigned ascii = static_cast<unsigned>(__builtin_ctz(others));
    at += ascii;
    out += 4 * ascii;
    if (!PutCharacter(from, at, end, out)) return false;
  }
  return true;
}

bool HasSse2() {
  static const bool sse2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse2") != 0;
  }();
  return sse2;
}
#endif

// UTF-8 or ISO-8859-1 to 32-bit characters when the target holds the worst
// case (four bytes a source byte), the conversion behind every text line a
// kernel reads: no room checks, sixteen bytes at a time where the processor
// can (else four ASCII bytes at a time), and one character at a time for
// the rest.
QZStatus BytesToUtf32(Form from, const uint8_t *source, uint32_t n, uint8_t *target,
                      uint32_t *produced) {
  static_assert(std::endian::native == std::endian::little, "stores 32-bit values as they are");
  const uint8_t *at = source;
  const uint8_t *const end = source + n;
  uint8_t *out = target;
#if defined(__i386__) || defined(__x86_64__)
  if (HasSse2() && !WidenSse2(from, at, end, out)) return QZK_BAD_SEQUENCE;
#endif
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
    if (!PutCharacter(from, at, end, out)) return QZK_BAD_SEQUENCE;
  }
  if (produced != nullptr) *produced = static_cast<uint32_t>(out - target);
  return QZ_OK;
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

QZStatus ConvertDirect(Form from, Form to, const uint8_t *source, uint32_t source_bytes,
                       uint8_t *target, uint32_t capacity, uint32_t *produced) {
  uint32_t in = 0, out = 0;
  // Runs of ASCII between byte forms and 32-bit characters, the common
  // case of text, without the per-character dispatch.
  const bool bytes_to_utf32 = (from == Form::utf8 || from == Form::latin1) && to == Form::utf32le;
  if (bytes_to_utf32 && capacity / 4 >= source_bytes)
    return BytesToUtf32(from, source, source_bytes, target, produced);
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

} // namespace qzk

// Byte strings and byte blocks. A length of 0 never touches memory (nor
// passes a possibly null pointer on to the C library).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/pool.h"
#include "qzioe/runtime.h"

namespace {

inline uint8_t low_byte(int32_t value) noexcept {
  return static_cast<uint8_t>(value);
}

} // namespace

extern "C" {

QZ_EXPORT uint32_t skStrLen(const char *string) noexcept {
  return string == nullptr ? 0 : static_cast<uint32_t>(std::strlen(string));
}

QZ_EXPORT void skStrCpy(const char *source, char *destination) noexcept {
  if (destination == nullptr) return;
  if (source == nullptr) {
    *destination = '\0';
    return;
  }
  // memmove: a string shifted within its own buffer still arrives intact.
  std::memmove(destination, source, std::strlen(source) + 1);
}

QZ_EXPORT void skStrUp(char *buffer, uint32_t length) noexcept {
  // ASCII letters only; bytes from 0x80 up belong to some other encoding.
  for (uint32_t i = 0; i < length; ++i) {
    const auto byte = static_cast<uint8_t>(buffer[i]);
    if (byte >= 'a' && byte <= 'z') buffer[i] = static_cast<char>(byte - 0x20);
  }
}

QZ_EXPORT int32_t skMemNot(int32_t value, const void *data, uint32_t length) noexcept {
  if (length == 0) return 1;
  const auto *bytes = static_cast<const uint8_t *>(data);
  // All bytes equal the first iff the block equals itself shifted by one.
  return bytes[0] == low_byte(value) && std::memcmp(bytes, bytes + 1, length - 1) == 0 ? 1 : 0;
}

QZ_EXPORT void skMemSet(void *destination, int32_t value, uint32_t length) noexcept {
  if (length != 0) std::memset(destination, low_byte(value), length);
}

QZ_EXPORT int32_t skMemCmp(const void *first, const void *second, uint32_t length) noexcept {
  if (length == 0) return 0;
  const int order = std::memcmp(first, second, length); // unsigned bytes
  return order > 0 ? 1 : (order < 0 ? -1 : 0);
}

// A forward byte copy. Callers may rely on what that does when the
// destination overlaps the source from above: the first `gap` source bytes
// repeat through the destination (a fill with a pattern). That case is
// built from doubling block copies; every other placement gives the same
// bytes as memmove.
QZ_EXPORT void skMemCpy(const void *source, void *destination, uint32_t length) noexcept {
  if (length == 0) return;
  const auto *from = static_cast<const uint8_t *>(source);
  auto *to = static_cast<uint8_t *>(destination);
  const uintptr_t s = reinterpret_cast<uintptr_t>(from);
  const uintptr_t d = reinterpret_cast<uintptr_t>(to);
  if (d <= s || d - s >= length) {
    std::memmove(to, from, length);
    return;
  }
  const uint32_t gap = static_cast<uint32_t>(d - s);
  std::memcpy(to, from, gap); // [from, from + gap) ends where `to` starts
  for (uint32_t filled = gap; filled < length;) {
    // `filled` stays a multiple of gap; chunk <= filled keeps the copy disjoint.
    const uint32_t chunk = std::min(filled, length - filled);
    std::memcpy(to + filled, to, chunk);
    filled += chunk;
  }
}

// Overlap-safe: the destination ends with the bytes the source held.
QZ_EXPORT void *skMemSCpy(const void *source, void *destination, uint32_t length) noexcept {
  if (length != 0) std::memmove(destination, source, length);
  return destination;
}

QZ_EXPORT void *skMemDup(const void *source, uint32_t length, QZPool *pool) noexcept {
  if (pool == nullptr || source == nullptr || length == 0) return nullptr;
  void *block = ioe::pool_alloc(pool, length);
  if (block != nullptr) std::memcpy(block, source, length);
  return block;
}

QZ_EXPORT int32_t skMemScan(const void *data, uint32_t length, int32_t value) noexcept {
  if (data == nullptr || length == 0) return -1;
  const void *hit = std::memchr(data, low_byte(value), length);
  return hit == nullptr ? -1
                        : static_cast<int32_t>(static_cast<const uint8_t *>(hit) -
                                               static_cast<const uint8_t *>(data));
}

QZ_EXPORT int32_t skMemNScan(const void *data, uint32_t length, int32_t value) noexcept {
  if (data == nullptr || length == 0) return -1;
  const auto *bytes = static_cast<const uint8_t *>(data);
  const uint8_t byte = low_byte(value);
  const auto *hit = std::find_if(bytes, bytes + length, [byte](uint8_t b) { return b != byte; });
  return hit == bytes + length ? -1 : static_cast<int32_t>(hit - bytes);
}

} // extern "C"

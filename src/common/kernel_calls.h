// Small typed helpers over the kernel's records, shared by every subsystem.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qz/kernel.h"
#include "qz/status.h"

namespace ioe {

// A QZChar string known at compile time, for names passed to the kernel.
template <std::size_t N> struct QZLiteral {
  QZChar chars[N - 1];
  constexpr QZLiteral(const char (&text)[N]) : chars{} {
    for (std::size_t i = 0; i + 1 < N; ++i)
      chars[i] = static_cast<unsigned char>(text[i]);
  }
  static constexpr uint32_t size() { return N - 1; }
};

// Loads a sibling extension by name; null when the kernel cannot.
template <std::size_t N>
inline QZExtension *load_sibling(QZHandle *kernel, const QZLiteral<N> &name, QZWord context) {
  if (kernel == nullptr || kernel->load_extension == nullptr) return nullptr;
  return kernel->load_extension(kernel, name.chars, name.size(), context);
}

inline void release_sibling(QZExtension *extension) {
  if (extension != nullptr && extension->release != nullptr) extension->release(extension);
}

inline void destroy_transcoder(QZTranscoder *&transcoder) {
  if (transcoder != nullptr && transcoder->methods != nullptr &&
      transcoder->methods->destroy != nullptr)
    transcoder->methods->destroy(transcoder);
  transcoder = nullptr;
}

inline void destroy_pool(QZPool *pool) {
  if (pool != nullptr) pool->destroy(pool);
}

inline void destroy_lock(QZLock *&lock) {
  if (lock != nullptr) lock->destroy(lock);
  lock = nullptr;
}

} // namespace ioe

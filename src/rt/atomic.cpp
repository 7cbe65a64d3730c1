// Atomic operations on a 32-bit cell and the lock-free stack of caller-owned
// nodes. Every read-modify-write is a sequentially consistent __atomic
// builtin: lock cmpxchg / lock xadd on x86, each a full barrier.
#include <cstdint>
#include <cstring>

#include "qzioe/runtime.h"

namespace {

constexpr uintptr_t kBusy = 1; // bit 0 of the head: a pop is reading the top's link

inline void cpu_relax() noexcept {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#endif
}

inline uintptr_t bits_of(void *pointer) noexcept {
  return reinterpret_cast<uintptr_t>(pointer);
}
inline void *pointer_of(uintptr_t bits) noexcept {
  return reinterpret_cast<void *>(bits);
}

// The link field may sit at any offset the caller chose; memcpy keeps the
// access valid whatever its alignment (it is a single mov when aligned).
inline void *read_link(void *node, uint32_t offset) noexcept {
  void *link;
  std::memcpy(&link, static_cast<char *>(node) + offset, sizeof link);
  return link;
}

inline void write_link(void *node, uint32_t offset, void *link) noexcept {
  std::memcpy(static_cast<char *>(node) + offset, &link, sizeof link);
}

} // namespace

extern "C" {

QZ_EXPORT int32_t qzAtomicInit(volatile int32_t *cell, int32_t value) noexcept {
  *cell = value;
  return 0;
}

QZ_EXPORT int32_t qzAtomicDestroy(volatile int32_t *cell) noexcept {
  *cell = 0;
  return 0;
}

QZ_EXPORT int32_t qzAtomicSet(volatile int32_t *cell, int32_t expected,
                              int32_t replacement) noexcept {
  return __atomic_compare_exchange_n(cell, &expected, replacement, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST)
             ? 1
             : 0;
}

QZ_EXPORT int32_t qzAtomicAdd(volatile int32_t *cell, int32_t delta) noexcept {
  // The builtins wrap modulo 2^32; the sum is formed unsigned for the same reason.
  const uint32_t old = static_cast<uint32_t>(__atomic_fetch_add(cell, delta, __ATOMIC_SEQ_CST));
  return static_cast<int32_t>(old + static_cast<uint32_t>(delta));
}

QZ_EXPORT int32_t qzAtomicAnd(volatile int32_t *cell, int32_t mask) noexcept {
  int32_t old = __atomic_load_n(cell, __ATOMIC_RELAXED);
  int32_t updated;
  do {
    updated = old & mask;
  } while (
      !__atomic_compare_exchange_n(cell, &old, updated, false, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED));
  return updated;
}

QZ_EXPORT int32_t qzAtomicOr(volatile int32_t *cell, int32_t mask) noexcept {
  int32_t old = __atomic_load_n(cell, __ATOMIC_RELAXED);
  int32_t updated;
  do {
    updated = old | mask;
  } while (
      !__atomic_compare_exchange_n(cell, &old, updated, false, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED));
  return updated;
}

QZ_EXPORT void *qzAStackPush(void *volatile *head, void *node, uint32_t link_offset) noexcept {
  for (;;) {
    const uintptr_t seen = bits_of(__atomic_load_n(head, __ATOMIC_RELAXED));
    if (seen & kBusy) { // the compare-and-exchange could only fail
      cpu_relax();
      continue;
    }
    void *top = pointer_of(seen);
    write_link(node, link_offset, top);
    // A busy head never equals `top`, whose bit 0 is clear.
    if (__atomic_compare_exchange_n(head, &top, node, false, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED))
      return pointer_of(seen);
  }
}

QZ_EXPORT void *qzAStackPop(void *volatile *head, uint32_t link_offset) noexcept {
  for (;;) {
    const uintptr_t seen = bits_of(__atomic_load_n(head, __ATOMIC_RELAXED));
    if (seen & kBusy) {
      cpu_relax();
      continue;
    }
    if (seen == 0) return nullptr;
    void *top = pointer_of(seen);
    // While the head is marked busy nobody can pop `top` and push it back, so
    // its link cannot change under us: no ABA without a version counter.
    if (!__atomic_compare_exchange_n(head, &top, pointer_of(seen | kBusy), false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_RELAXED))
      continue;
    // Storing the link clears the mark. Release is enough: the next winner of
    // the head acquires it, and on x86 this is the plain mov of the design.
    __atomic_store_n(head, read_link(pointer_of(seen), link_offset), __ATOMIC_RELEASE);
    return pointer_of(seen);
  }
}

} // extern "C"

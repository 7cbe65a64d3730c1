#include "syscall_faults.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>

namespace qzfault {
namespace {

constexpr size_t kCalls = static_cast<size_t>(Call::count_);

struct Slot {
  bool armed = false;
  Fault fault;
  uint32_t remaining_before = 0; // matching calls to let through first
  uint32_t remaining_times = 0;
};

struct State {
  std::mutex mutex;
  Slot slots[kCalls];
  uint32_t seen[kCalls] = {};
};

State &state() {
  static State s;
  return s;
}

// What the wrapper must do for this call.
struct Verdict {
  bool fail = false;
  int error = 0;
  bool shorten = false;
  size_t limit = 0;
};

Verdict decide(Call call, int fd) {
  State &s = state();
  std::lock_guard lock(s.mutex);
  const size_t i = static_cast<size_t>(call);
  Slot &slot = s.slots[i];
  ++s.seen[i];
  if (!slot.armed || (slot.fault.fd != -1 && slot.fault.fd != fd)) return {};
  if (slot.remaining_before > 0) {
    --slot.remaining_before;
    return {};
  }
  if (slot.remaining_times == 0) return {};
  if (--slot.remaining_times == 0) slot.armed = false;
  if (slot.fault.error != 0) return {true, slot.fault.error, false, 0};
  return {false, 0, true, slot.fault.short_count};
}

template <typename Fn> Fn next(const char *name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

} // namespace

void arm(const Fault &fault) {
  State &s = state();
  std::lock_guard lock(s.mutex);
  Slot &slot = s.slots[static_cast<size_t>(fault.call)];
  slot.armed = true;
  slot.fault = fault;
  slot.remaining_before = fault.nth > 0 ? fault.nth - 1 : 0;
  slot.remaining_times = fault.times;
}

void disarm_all() {
  State &s = state();
  std::lock_guard lock(s.mutex);
  for (size_t i = 0; i < kCalls; ++i) {
    s.slots[i] = Slot{};
    s.seen[i] = 0;
  }
}

uint32_t calls(Call call) {
  State &s = state();
  std::lock_guard lock(s.mutex);
  return s.seen[static_cast<size_t>(call)];
}

} // namespace qzfault

using qzfault::Call;
using qzfault::decide;

#define QZFAULT_GUARD(call, fd, count)                                                             \
  const qzfault::Verdict verdict = decide(call, fd);                                               \
  if (verdict.fail) {                                                                              \
    errno = verdict.error;                                                                         \
    return -1;                                                                                     \
  }                                                                                                \
  if (verdict.shorten) count = std::min(count, verdict.limit)

extern "C" {

__attribute__((visibility("default"))) ssize_t read(int fd, void *buf, size_t count) {
  static auto real = qzfault::next<ssize_t (*)(int, void *, size_t)>("read");
  QZFAULT_GUARD(Call::read, fd, count);
  return real(fd, buf, count);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void *buf, size_t count) {
  static auto real = qzfault::next<ssize_t (*)(int, const void *, size_t)>("write");
  QZFAULT_GUARD(Call::write, fd, count);
  return real(fd, buf, count);
}

__attribute__((visibility("default"))) ssize_t pread64(int fd, void *buf, size_t count,
                                                       off64_t offset) {
  static auto real = qzfault::next<ssize_t (*)(int, void *, size_t, off64_t)>("pread64");
  QZFAULT_GUARD(Call::pread, fd, count);
  return real(fd, buf, count, offset);
}

__attribute__((visibility("default"))) ssize_t pwrite64(int fd, const void *buf, size_t count,
                                                        off64_t offset) {
  static auto real = qzfault::next<ssize_t (*)(int, const void *, size_t, off64_t)>("pwrite64");
  QZFAULT_GUARD(Call::pwrite, fd, count);
  return real(fd, buf, count, offset);
}

__attribute__((visibility("default"))) int fsync(int fd) {
  static auto real = qzfault::next<int (*)(int)>("fsync");
  size_t unused = 0;
  QZFAULT_GUARD(Call::fsync, fd, unused);
  return real(fd);
}

__attribute__((visibility("default"))) off64_t lseek64(int fd, off64_t offset, int whence) {
  static auto real = qzfault::next<off64_t (*)(int, off64_t, int)>("lseek64");
  size_t unused = 0;
  QZFAULT_GUARD(Call::lseek, fd, unused);
  return real(fd, offset, whence);
}

__attribute__((visibility("default"))) int ftruncate64(int fd, off64_t length) {
  static auto real = qzfault::next<int (*)(int, off64_t)>("ftruncate64");
  size_t unused = 0;
  QZFAULT_GUARD(Call::ftruncate, fd, unused);
  return real(fd, length);
}

} // extern "C"

#include "syscall_faults.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
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

Verdict decide(Call call, int fd, const char *path = nullptr) {
  State &s = state();
  std::lock_guard lock(s.mutex);
  const size_t i = static_cast<size_t>(call);
  Slot &slot = s.slots[i];
  ++s.seen[i];
  if (!slot.armed || (slot.fault.fd != -1 && slot.fault.fd != fd)) return {};
  if (slot.fault.path_part != nullptr &&
      (path == nullptr || std::strstr(path, slot.fault.path_part) == nullptr))
    return {};
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

// Path calls: a fault fails the call (-1, or null for a stream) with its
// errno; short counts mean nothing to them.
#define QZFAULT_PATH_GUARD(call, fd, path, failed)                                                 \
  if (const qzfault::Verdict verdict = decide(call, fd, path); verdict.fail) {                     \
    errno = verdict.error;                                                                         \
    return failed;                                                                                 \
  }

// The mode argument of open, present when the flags create a file.
#define QZFAULT_MODE_ARGUMENT(flags)                                                               \
  mode_t mode = 0;                                                                                 \
  if (((flags) & (O_CREAT | O_TMPFILE)) != 0) {                                                    \
    va_list args;                                                                                  \
    va_start(args, flags);                                                                         \
    mode = static_cast<mode_t>(va_arg(args, unsigned));                                            \
    va_end(args);                                                                                  \
  }

__attribute__((visibility("default"))) int open64(const char *path, int flags, ...) {
  static auto real = qzfault::next<int (*)(const char *, int, ...)>("open64");
  QZFAULT_MODE_ARGUMENT(flags);
  QZFAULT_PATH_GUARD(Call::open, -1, path, -1);
  return real(path, flags, mode);
}

__attribute__((visibility("default"))) int openat64(int directory, const char *name, int flags,
                                                    ...) {
  static auto real = qzfault::next<int (*)(int, const char *, int, ...)>("openat64");
  QZFAULT_MODE_ARGUMENT(flags);
  QZFAULT_PATH_GUARD(Call::openat, directory, name, -1);
  return real(directory, name, flags, mode);
}

__attribute__((visibility("default"))) int close(int fd) {
  static auto real = qzfault::next<int (*)(int)>("close");
  if (const qzfault::Verdict verdict = decide(Call::close, fd); verdict.fail) {
    // A failing close still closes on Linux.
    real(fd);
    errno = verdict.error;
    return -1;
  }
  return real(fd);
}

__attribute__((visibility("default"))) int stat64(const char *path, struct stat64 *info) {
  static auto real = qzfault::next<int (*)(const char *, struct stat64 *)>("stat64");
  QZFAULT_PATH_GUARD(Call::stat, -1, path, -1);
  return real(path, info);
}

__attribute__((visibility("default"))) int lstat64(const char *path, struct stat64 *info) {
  static auto real = qzfault::next<int (*)(const char *, struct stat64 *)>("lstat64");
  QZFAULT_PATH_GUARD(Call::lstat, -1, path, -1);
  return real(path, info);
}

__attribute__((visibility("default"))) int fstatat64(int directory, const char *name,
                                                     struct stat64 *info, int flags) {
  static auto real = qzfault::next<int (*)(int, const char *, struct stat64 *, int)>("fstatat64");
  QZFAULT_PATH_GUARD(Call::fstatat, directory, name, -1);
  return real(directory, name, info, flags);
}

__attribute__((visibility("default"))) int statvfs64(const char *path, struct statvfs64 *info) {
  static auto real = qzfault::next<int (*)(const char *, struct statvfs64 *)>("statvfs64");
  QZFAULT_PATH_GUARD(Call::statvfs, -1, path, -1);
  return real(path, info);
}

__attribute__((visibility("default"))) int mkdir(const char *path, mode_t mode) {
  static auto real = qzfault::next<int (*)(const char *, mode_t)>("mkdir");
  QZFAULT_PATH_GUARD(Call::mkdir, -1, path, -1);
  return real(path, mode);
}

__attribute__((visibility("default"))) int rmdir(const char *path) {
  static auto real = qzfault::next<int (*)(const char *)>("rmdir");
  QZFAULT_PATH_GUARD(Call::rmdir, -1, path, -1);
  return real(path);
}

__attribute__((visibility("default"))) int unlink(const char *path) {
  static auto real = qzfault::next<int (*)(const char *)>("unlink");
  QZFAULT_PATH_GUARD(Call::unlink, -1, path, -1);
  return real(path);
}

__attribute__((visibility("default"))) int unlinkat(int directory, const char *name, int flags) {
  static auto real = qzfault::next<int (*)(int, const char *, int)>("unlinkat");
  QZFAULT_PATH_GUARD(Call::unlinkat, directory, name, -1);
  return real(directory, name, flags);
}

__attribute__((visibility("default"))) int rename(const char *from, const char *to) {
  static auto real = qzfault::next<int (*)(const char *, const char *)>("rename");
  QZFAULT_PATH_GUARD(Call::rename, -1, from, -1);
  return real(from, to);
}

__attribute__((visibility("default"))) DIR *opendir(const char *path) {
  static auto real = qzfault::next<DIR *(*)(const char *)>("opendir");
  QZFAULT_PATH_GUARD(Call::opendir, -1, path, nullptr);
  return real(path);
}

__attribute__((visibility("default"))) DIR *fdopendir(int fd) {
  static auto real = qzfault::next<DIR *(*)(int)>("fdopendir");
  QZFAULT_PATH_GUARD(Call::fdopendir, fd, nullptr, nullptr);
  return real(fd);
}

__attribute__((visibility("default"))) struct dirent64 *readdir64(DIR *stream) {
  static auto real = qzfault::next<struct dirent64 *(*)(DIR *)>("readdir64");
  QZFAULT_PATH_GUARD(Call::readdir, dirfd(stream), nullptr, nullptr);
  return real(stream);
}

} // extern "C"

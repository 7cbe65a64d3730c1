// Fault injection for the library's system calls. The fault library defines
// every call the library's wrapper header makes; a test binary linked with
// it resolves the extension's calls to these definitions first, and they
// pass through to the C library unless a fault is armed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qzfault {

enum class Call {
  read,
  pread,
  write,
  pwrite,
  fsync,
  lseek,
  ftruncate,
  open,
  openat,
  close,
  stat,
  lstat,
  fstatat,
  statvfs,
  mkdir,
  rmdir,
  unlink,
  unlinkat,
  rename,
  opendir,
  fdopendir,
  readdir,
  count_
};

struct Fault {
  Call call = Call::write;
  int fd = -1; // only this descriptor (descriptor calls); -1 any
  // Only paths or names holding this text (path calls); empty: any.
  const char *path_part = nullptr;
  uint32_t nth = 1;   // the nth matching call from now is the first affected
  uint32_t times = 1; // how many consecutive matching calls are affected
  int error = 0;      // errno to fail with (-1 returned)
  // With error 0: the call transfers at most this many bytes (a short
  // read or write) instead of failing.
  size_t short_count = 0;
};

// Arms one fault per call kind (replacing an armed one of the same kind).
void arm(const Fault &fault);
void disarm_all();
// Calls of that kind seen since the last disarm_all, affected or not.
uint32_t calls(Call call);

// Disarms every fault when it goes out of scope.
struct ScopedFaults {
  ScopedFaults() { disarm_all(); }
  ~ScopedFaults() { disarm_all(); }
};

} // namespace qzfault

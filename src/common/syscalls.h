// The library's system calls, every one of them: small wrappers that retry
// after an interrupted call, complete short writes, open every descriptor
// close-on-exec and never retry a close. They call the C library by its
// usual names, so a library interposed in front of it (the tests' fault
// library) sees every call. Results and errno are those of the call.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace ioe::sys {

// Linux moves at most this much in one read or write.
constexpr size_t kMaxTransfer = 0x7ffff000u;

using Stat = struct stat64;
using StatVfs = struct statvfs64;
using DirEntry = struct dirent64;

// Repeats `call` while it fails with EINTR.
template <typename Call> inline auto retry(Call call) noexcept {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

inline size_t clamp_transfer(size_t length) noexcept {
  return length < kMaxTransfer ? length : kMaxTransfer;
}

// At most kMaxTransfer bytes at the current offset, or at `offset` when it
// is given (the descriptor's offset then stays).
inline ssize_t read(int fd, void *buffer, size_t length, const int64_t *offset = nullptr) noexcept {
  length = clamp_transfer(length);
  if (offset != nullptr) return retry([&] { return ::pread64(fd, buffer, length, *offset); });
  return retry([&] { return ::read(fd, buffer, length); });
}

inline ssize_t write(int fd, const void *bytes, size_t length,
                     const int64_t *offset = nullptr) noexcept {
  length = clamp_transfer(length);
  if (offset != nullptr) return retry([&] { return ::pwrite64(fd, bytes, length, *offset); });
  return retry([&] { return ::write(fd, bytes, length); });
}

// Writes all `length` bytes, completing short writes. Returns 0 or the
// error number; `*written` always holds the bytes that reached the file. A
// write that moves nothing would loop for ever and counts as ENOSPC.
inline int write_all(int fd, const void *bytes, size_t length, const int64_t *offset,
                     size_t *written) noexcept {
  const auto *data = static_cast<const uint8_t *>(bytes);
  size_t done = 0;
  int error = 0;
  while (done < length) {
    const int64_t at = offset != nullptr ? *offset + static_cast<int64_t>(done) : 0;
    const ssize_t put = write(fd, data + done, length - done, offset != nullptr ? &at : nullptr);
    if (put <= 0) {
      error = put == 0 ? ENOSPC : errno;
      break;
    }
    done += static_cast<size_t>(put);
  }
  *written = done;
  return error;
}

inline int fsync(int fd) noexcept {
  return retry([&] { return ::fsync(fd); });
}

inline int ftruncate(int fd, int64_t length) noexcept {
  return retry([&] { return ::ftruncate64(fd, length); });
}

inline int64_t lseek(int fd, int64_t offset, int whence) noexcept {
  return ::lseek64(fd, offset, whence);
}

inline int open(const char *path, int flags, mode_t mode = 0) noexcept {
  return retry([&] { return ::open64(path, flags | O_CLOEXEC, mode); });
}

inline int openat(int directory, const char *name, int flags, mode_t mode = 0) noexcept {
  return retry([&] { return ::openat64(directory, name, flags | O_CLOEXEC, mode); });
}

// Takes O_NONBLOCK off a descriptor that was opened with it so that the
// open could not wait.
inline int set_blocking(int fd) noexcept {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags < 0 ? -1 : ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// Never retried: after EINTR the descriptor is gone on Linux, and a retry
// could close one that another thread has just been given.
inline int close(int fd) noexcept {
  const int result = ::close(fd);
  return result == -1 && errno == EINTR ? 0 : result;
}

inline int stat(const char *path, Stat *info) noexcept {
  return ::stat64(path, info);
}
inline int lstat(const char *path, Stat *info) noexcept {
  return ::lstat64(path, info);
}
inline int fstat(int fd, Stat *info) noexcept {
  return ::fstat64(fd, info);
}
inline int fstatat(int directory, const char *name, Stat *info, int flags) noexcept {
  return ::fstatat64(directory, name, info, flags);
}
inline bool is_directory(const Stat &info) noexcept {
  return S_ISDIR(info.st_mode);
}
inline int statvfs(const char *path, StatVfs *info) noexcept {
  return retry([&] { return ::statvfs64(path, info); });
}

inline int mkdir(const char *path, mode_t mode) noexcept {
  return ::mkdir(path, mode);
}
inline int rmdir(const char *path) noexcept {
  return ::rmdir(path);
}
inline int unlink(const char *path) noexcept {
  return ::unlink(path);
}
inline int unlinkat(int directory, const char *name, int flags) noexcept {
  return ::unlinkat(directory, name, flags);
}
inline int rename(const char *from, const char *to) noexcept {
  return ::rename(from, to);
}

inline DIR *opendir(const char *path) noexcept {
  return ::opendir(path);
}
// Takes over `fd`; it is closed with the stream (or here, on failure).
inline DIR *fdopendir(int fd) noexcept {
  DIR *stream = ::fdopendir(fd);
  if (stream == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return stream;
}
// The next entry of `stream` in `*entry` (null at the end). Returns 0 or the
// error number. A stream is read by one caller at a time, which makes the
// C library's readdir as safe as its deprecated reentrant form.
inline int readdir(DIR *stream, DirEntry **entry) noexcept {
  errno = 0;
  *entry = ::readdir64(stream);
  return *entry == nullptr ? errno : 0;
}
inline int closedir(DIR *stream) noexcept {
  return ::closedir(stream);
}

// Null when the directory is gone or its path needs more than `size` bytes.
inline char *getcwd(char *buffer, size_t size) noexcept {
  return ::getcwd(buffer, size);
}

} // namespace ioe::sys

// Copies of files and of whole trees. Data moves in blocks of the source's
// preferred I/O size; every write is completed. Nothing is ever overwritten.
#include <cerrno>
#include <cstring>

#include "common/byte_path.h"
#include "common/errno_map.h"
#include "common/syscalls.h"
#include "fsops/internal.h"

namespace ioe {
namespace {

constexpr ErrnoRow kOpenRows[] = {{ENOTDIR, QZIOE_PATH_NOT_FOUND},
                                  {EACCES, QZIOE_NO_ACCESS},
                                  {EROFS, QZIOE_NO_ACCESS},
                                  {ETXTBSY, QZIOE_IN_USE},
                                  {EEXIST, QZIOE_EXISTS}};
constexpr ErrnoMap kOpenErrors{kOpenRows, QZIOE_FAILED, Unlisted::reported};

constexpr ErrnoMap kReadErrors{{}, QZIOE_FAILED, Unlisted::reported};

constexpr ErrnoRow kWriteRows[] = {{ENXIO, QZIOE_NOT_SUPPORTED}, {ENOSPC, QZIOE_NO_SPACE}};
constexpr ErrnoMap kWriteErrors{kWriteRows, QZIOE_FAILED, Unlisted::reported};

// Closes a descriptor when it goes out of scope.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) sys::close(fd);
  }
};

QZStatus copy_file(QZIOEExtension *extension, const char *source, const char *destination) {
  const ReportSink sink = extension_sink(extension);
  sys::Stat info{};
  if (sys::stat(source, &info) != 0) return map_errno(kStatErrors, errno, sink);
  Descriptor in, out;
  in.fd = sys::open(source, O_RDONLY);
  if (in.fd < 0) return map_errno(kOpenErrors, errno, sink);
  // O_EXCL: a destination that appeared since it was looked for is not
  // overwritten.
  out.fd = sys::open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_EXCL, 0777);
  if (out.fd < 0) return map_errno(kOpenErrors, errno, sink);
  const uint32_t block = info.st_blksize > 0 && info.st_blksize <= (1 << 24)
                             ? static_cast<uint32_t>(info.st_blksize)
                             : QZIOE_PATH_AREA * 8;
  PoolBlock<uint8_t> buffer(extension->pool, block);
  if (!buffer) return QZS_NO_MEMORY;
  for (;;) {
    const ssize_t got = sys::read(in.fd, buffer.get(), block);
    if (got < 0) return map_errno(kReadErrors, errno, sink);
    if (got == 0) break;
    size_t written = 0;
    if (const int error =
            sys::write_all(out.fd, buffer.get(), static_cast<size_t>(got), nullptr, &written);
        error != 0)
      return map_errno(kWriteErrors, error, sink);
  }
  // A failing close can be the first news of data that never reached the
  // file (network file systems).
  const int fd = out.fd;
  out.fd = -1;
  return sys::close(fd) == 0 ? QZ_OK : map_errno(kWriteErrors, errno, sink);
}

QZStatus copy_path(QZIOEExtension *extension, const char *source, const char *destination);

// Copies every member of `source` below `destination`, each under its
// literal name: a name is never expanded again.
QZStatus copy_tree(QZIOEExtension *extension, const char *source, const char *destination) {
  const ReportSink sink = extension_sink(extension);
  const QZStatus kind = directory_kind(extension, destination);
  if (kind == QZIOE_NOT_FOUND || kind == QZIOE_PATH_NOT_FOUND) {
    if (const QZStatus made = make_directory_at(extension, destination); made != QZ_OK) return made;
  } else if (kind != 0) {
    return kind;
  }
  DIR *stream = sys::opendir(source);
  if (stream == nullptr) return map_errno(kOpenDirErrors, errno, sink);
  QZPool *pool = extension->pool;
  const QZStatus status = for_each_member(stream, sink, [&](const char *name) {
    PoolBlock<char> from(pool, QZIOE_PATH_AREA), to(pool, QZIOE_PATH_AREA);
    QZStatus joined = join_bytes(source, name, from);
    if (joined == QZ_OK) joined = join_bytes(destination, name, to);
    return joined != QZ_OK ? joined : copy_path(extension, from.get(), to.get());
  });
  sys::closedir(stream);
  return status;
}

// A file or a tree to a destination that must not exist (links followed,
// as the source is examined).
QZStatus copy_path(QZIOEExtension *extension, const char *source, const char *destination) {
  sys::Stat existing{};
  if (sys::lstat(destination, &existing) == 0) return QZIOE_EXISTS;
  return directory_kind(extension, source) == 0 ? copy_tree(extension, source, destination)
                                                : copy_file(extension, source, destination);
}

} // namespace
} // namespace ioe

using namespace ioe;

extern "C" QZStatus bkioecopy(QZIOEExtension *extension, const QZChar *source,
                              uint32_t source_length, const QZChar *destination,
                              uint32_t destination_length) noexcept {
  if (extension == nullptr) return QZIOE_BAD_HANDLE;
  if (check_name(destination, destination_length) != QZ_OK ||
      check_name(source, source_length) != QZ_OK)
    return QZIOE_BAD_NAME;
  if (bkioeexist(extension, destination, destination_length) == QZ_OK) return QZIOE_EXISTS;
  BytePath from(extension), to(extension);
  if (const QZStatus status = from.make(source, source_length); status != QZ_OK) return status;
  if (const QZStatus status = to.make(destination, destination_length); status != QZ_OK)
    return status;
  return copy_path(extension, from.c_str(), to.c_str());
}

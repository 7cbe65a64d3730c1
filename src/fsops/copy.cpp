// Copies of files and of whole trees. Data moves in blocks of the source's
// preferred I/O size; every write is completed. Nothing is ever overwritten.
#include <cerrno>
#include <cstring>
#include <optional>

#include "common/errno_map.h"
#include "common/syscalls.h"
#include "fsops/internal.h"
#include "paths/byte_path.h"

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

// Only regular files have contents to copy: a FIFO would block the open for
// ever, a device would be copied without end.
bool copyable_file(const sys::Stat &info) {
  return S_ISREG(info.st_mode);
}

QZStatus copy_file(QZIOEExtension *extension, const char *source, const char *destination) {
  const ReportSink sink = extension_sink(extension);
  sys::Stat info{};
  if (sys::stat(source, &info) != 0) return map_errno(kStatErrors, errno, sink);
  if (!copyable_file(info)) return QZIOE_NOT_SUPPORTED;
  Descriptor in, out;
  // Opened without waiting and examined again: the name may have been given
  // to something else since.
  in.fd = sys::open(source, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (in.fd < 0) return map_errno(kOpenErrors, errno, sink);
  if (sys::fstat(in.fd, &info) != 0) return map_errno(kStatErrors, errno, sink);
  if (!copyable_file(info)) return QZIOE_NOT_SUPPORTED;
  if (sys::set_blocking(in.fd) != 0) return map_errno(kReadErrors, errno, sink);
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

// --- what a tree copy checks before it creates anything ------------------------

struct FileId {
  uint64_t device;
  uint64_t inode;
  bool operator==(const FileId &) const = default;
};

FileId id_of(const sys::Stat &info) {
  return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

// The directory that is to hold `path`, links followed. A copy whose
// source tree reaches it would copy its own output: every directory above
// the destination that lies in the tree leads to it. Unknown (nothing to
// compare) when it cannot be reached: creating the destination then fails
// on its own.
QZStatus destination_parent(const ReportSink &sink, const char *path,
                            std::optional<FileId> &parent) {
  char directory[QZIOE_PATH_AREA];
  const char *slash = std::strrchr(path, '/');
  const size_t length = slash == nullptr ? 0 : slash == path ? 1 : size_t(slash - path);
  if (length == 0 || length >= sizeof directory) return QZ_OK;
  std::memcpy(directory, path, length);
  directory[length] = '\0';
  sys::Stat info{};
  if (sys::stat(directory, &info) == 0) {
    parent = id_of(info);
    return QZ_OK;
  }
  return errno == ENOENT || errno == ENOTDIR || errno == EACCES
             ? QZ_OK
             : map_errno(kStatErrors, errno, sink);
}

// A directory being checked and the one it was reached from.
struct Level {
  FileId id;
  const Level *above;
};

// Walks the source tree as the copy will (links followed) and refuses,
// before anything exists, what the copy could not finish or should not
// start: a member that is neither a regular file nor a directory, the
// directory that is to hold the destination, a directory reached again
// through a link below it, and a member path longer than the copy's areas.
class TreeCheck {
public:
  TreeCheck(QZIOEExtension *extension, std::optional<FileId> destination_parent)
      : sink_(extension_sink(extension)), destination_parent_(destination_parent) {}

  // `source_room` and `destination_room`: the lengths of the two paths of
  // this directory with a slash after them.
  QZStatus directory(int fd, const Level *above, uint32_t source_room, uint32_t destination_room) {
    sys::Stat info{};
    if (sys::fstat(fd, &info) != 0) {
      const int error = errno;
      sys::close(fd);
      return map_errno(kStatErrors, error, sink_);
    }
    const Level level{id_of(info), above};
    bool refused = destination_parent_ == level.id;
    for (const Level *up = above; up != nullptr && !refused; up = up->above)
      refused = up->id == level.id;
    if (refused) {
      sys::close(fd);
      return QZIOE_NOT_SUPPORTED;
    }
    DIR *stream = sys::fdopendir(fd);
    if (stream == nullptr) return map_errno(kOpenDirErrors, errno, sink_);
    const int at = dirfd(stream);
    const QZStatus status = for_each_member(stream, sink_, [&](const char *name) {
      const auto length = static_cast<uint32_t>(std::strlen(name));
      if (source_room + length + 1 > QZIOE_PATH_AREA ||
          destination_room + length + 1 > QZIOE_PATH_AREA)
        return QZIOE_NAME_TOO_LONG;
      sys::Stat member{};
      if (sys::fstatat(at, name, &member, 0) != 0) return map_errno(kStatErrors, errno, sink_);
      if (copyable_file(member)) return QZ_OK;
      if (!sys::is_directory(member)) return QZIOE_NOT_SUPPORTED;
      const int child = sys::openat(at, name, O_RDONLY | O_DIRECTORY);
      if (child < 0) return map_errno(kOpenDirErrors, errno, sink_);
      return directory(child, &level, source_room + length + 1, destination_room + length + 1);
    });
    sys::closedir(stream);
    return status;
  }

private:
  ReportSink sink_;
  std::optional<FileId> destination_parent_;
};

uint32_t room_of(const char *path) {
  const size_t length = std::strlen(path);
  return static_cast<uint32_t>(length + (length > 0 && path[length - 1] == '/' ? 0 : 1));
}

QZStatus check_tree(QZIOEExtension *extension, const char *source, const char *destination) {
  const ReportSink sink = extension_sink(extension);
  std::optional<FileId> parent;
  if (const QZStatus status = destination_parent(sink, destination, parent); status != QZ_OK)
    return status;
  const int top = sys::open(source, O_RDONLY | O_DIRECTORY);
  if (top < 0) return map_errno(kOpenDirErrors, errno, sink);
  return TreeCheck(extension, parent)
      .directory(top, nullptr, room_of(source), room_of(destination));
}

QZStatus copy_path(QZIOEExtension *extension, const char *source, const char *destination,
                   bool check);

// Copies every member of `source` below `destination`, each under its
// literal name: a name is never expanded again.
QZStatus copy_tree(QZIOEExtension *extension, const char *source, const char *destination) {
  const ReportSink sink = extension_sink(extension);
  QZStatus why = QZ_OK;
  switch (examine(extension, destination, kIsDirErrors, &why)) {
  case FileKind::directory:
    break;
  case FileKind::other:
    // Made since copy_path found no destination: it exists now.
    return QZIOE_EXISTS;
  case FileKind::missing:
    if (why != QZIOE_NOT_FOUND && why != QZIOE_PATH_NOT_FOUND) return why;
    if (const QZStatus made = make_directory_at(extension, destination); made != QZ_OK) return made;
    break;
  }
  DIR *stream = sys::opendir(source);
  if (stream == nullptr) return map_errno(kOpenDirErrors, errno, sink);
  QZPool *pool = extension->pool;
  const QZStatus status = for_each_member(stream, sink, [&](const char *name) {
    PoolBlock<char> from(pool, QZIOE_PATH_AREA), to(pool, QZIOE_PATH_AREA);
    QZStatus joined = join_bytes(source, name, from);
    if (joined == QZ_OK) joined = join_bytes(destination, name, to);
    return joined != QZ_OK ? joined : copy_path(extension, from.get(), to.get(), false);
  });
  sys::closedir(stream);
  return status;
}

// A file or a tree to a destination that must not exist (links followed,
// as the source is examined). A tree is checked whole first when `check`
// says so; its members need no second check.
QZStatus copy_path(QZIOEExtension *extension, const char *source, const char *destination,
                   bool check) {
  sys::Stat existing{};
  if (sys::lstat(destination, &existing) == 0) return QZIOE_EXISTS;
  if (examine(extension, source, kIsDirErrors) != FileKind::directory)
    return copy_file(extension, source, destination);
  if (check) {
    if (const QZStatus status = check_tree(extension, source, destination); status != QZ_OK)
      return status;
  }
  return copy_tree(extension, source, destination);
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
  return copy_path(extension, from.c_str(), to.c_str(), true);
}

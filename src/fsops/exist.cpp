// Existence, directory creation, removal (also of whole trees) and rename.
#include <cerrno>
#include <cstring>

#include "common/byte_path.h"
#include "common/errno_map.h"
#include "common/syscalls.h"
#include "fsops/internal.h"

namespace ioe {
namespace {

constexpr ErrnoRow kIsDirRows[] = {{ENOENT, QZIOE_PATH_NOT_FOUND}, {EACCES, QZIOE_NO_ACCESS}};
constexpr ErrnoMap kIsDirErrors{kIsDirRows, QZIOE_IO_ERROR, Unlisted::reported};

constexpr ErrnoRow kMkdirRows[] = {{EPERM, QZIOE_NO_ACCESS},        {EACCES, QZIOE_NO_ACCESS},
                                   {EROFS, QZIOE_NO_ACCESS},        {ENOENT, QZIOE_PATH_NOT_FOUND},
                                   {ENOTDIR, QZIOE_PATH_NOT_FOUND}, {EEXIST, QZIOE_EXISTS},
                                   {ETXTBSY, QZIOE_IN_USE},         {ENOSPC, QZIOE_NO_SPACE}};
constexpr ErrnoMap kMkdirErrors{kMkdirRows, QZIOE_IO_ERROR, Unlisted::reported};

constexpr ErrnoRow kRemoveRows[] = {{EPERM, QZIOE_NO_ACCESS},    {EACCES, QZIOE_NO_ACCESS},
                                    {EROFS, QZIOE_NO_ACCESS},    {ENOENT, QZIOE_NOT_FOUND},
                                    {ENOTDIR, QZIOE_NOT_FOUND},  {ETXTBSY, QZIOE_IN_USE},
                                    {ENOTEMPTY, QZIOE_NOT_EMPTY}};
constexpr ErrnoMap kRemoveErrors{kRemoveRows, QZIOE_IO_ERROR, Unlisted::reported};

constexpr ErrnoRow kRenameRows[] = {{EPERM, QZIOE_NO_ACCESS},
                                    {EACCES, QZIOE_NO_ACCESS},
                                    {EROFS, QZIOE_NO_ACCESS},
                                    {ENOMEM, QZS_NO_MEMORY},
                                    {ENOSPC, QZIOE_NO_SPACE}};
constexpr ErrnoMap kRenameErrors{kRenameRows, QZIOE_IO_ERROR, Unlisted::reported};

// stat with the given errno map; 0 for a directory, 1 for another file.
QZStatus examine(QZIOEExtension *extension, const char *path, const ErrnoMap &errors) {
  sys::Stat info{};
  if (sys::stat(path, &info) != 0) return map_errno(errors, errno, extension_sink(extension));
  return (info.st_mode & 0xf000) == 0x4000 ? 0 : 1;
}

QZStatus make_directory(QZIOEExtension *extension, const char *path) {
  if (sys::mkdir(path, 0777) == 0) return QZ_OK;
  const int error = errno;
  const QZStatus status = map_errno(kMkdirErrors, error, extension_sink(extension));
  // An existing directory is what was asked for.
  if (error == EEXIST && examine(extension, path, kIsDirErrors) == 0) return QZ_OK;
  return status;
}

QZStatus empty_tree(QZIOEExtension *extension, int directory);

// Removes the member `name` of the open directory `at`. A link or a file is
// unlinked, never followed. A directory is removed as it is first, and
// opened and emptied only when the system says that it is not empty: one
// that cannot go for another reason (a mount point, another user's in a
// sticky directory) keeps what is in it.
QZStatus remove_member(QZIOEExtension *extension, int at, const char *name) {
  const ReportSink sink = extension_sink(extension);
  auto removed = [&](int flags) { return sys::unlinkat(at, name, flags) == 0 || errno == ENOENT; };
  sys::Stat info{};
  if (sys::fstatat(at, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? QZ_OK : map_errno(kRemoveErrors, errno, sink); // gone already
  if (!S_ISDIR(info.st_mode)) return removed(0) ? QZ_OK : map_errno(kRemoveErrors, errno, sink);
  if (removed(AT_REMOVEDIR)) return QZ_OK;
  if (errno != ENOTEMPTY && errno != EEXIST) return map_errno(kRemoveErrors, errno, sink);
  const int child = sys::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (child < 0) return map_errno(kOpenDirErrors, errno, sink);
  if (const QZStatus emptied = empty_tree(extension, child); emptied != QZ_OK) return emptied;
  return removed(AT_REMOVEDIR) ? QZ_OK : map_errno(kRemoveErrors, errno, sink);
}

// Removes every member below the open directory `directory` (which this
// takes over), depth first, each relative to its directory's descriptor,
// so that neither a link in the tree nor a name that looks like a
// reference can lead elsewhere.
QZStatus empty_tree(QZIOEExtension *extension, int directory) {
  DIR *stream = sys::fdopendir(directory);
  const ReportSink sink = extension_sink(extension);
  if (stream == nullptr) return map_errno(kOpenDirErrors, errno, sink);
  const QZStatus status = for_each_member(stream, sink, [&](const char *name) {
    return remove_member(extension, dirfd(stream), name);
  });
  sys::closedir(stream);
  return status;
}

} // namespace

constexpr ErrnoRow kOpenDirRows[] = {{EACCES, QZIOE_NO_ACCESS},
                                     {ENOENT, QZIOE_NOT_FOUND},
                                     {ENOTDIR, QZIOE_NOT_FOUND},
                                     {ENAMETOOLONG, QZIOE_NAME_TOO_LONG}};
const ErrnoMap kOpenDirErrors{kOpenDirRows, QZIOE_IO_ERROR, Unlisted::reported};
const ErrnoMap kReadDirErrors{{}, QZIOE_IO_ERROR, Unlisted::reported};
constexpr ErrnoRow kStatRows[] = {{ENOENT, QZIOE_NOT_FOUND}, {EACCES, QZIOE_NO_ACCESS}};
const ErrnoMap kStatErrors{kStatRows, QZIOE_IO_ERROR, Unlisted::reported};

QZStatus join_bytes(const char *directory, const char *name, PoolBlock<char> &out) {
  const size_t head = std::strlen(directory), tail = std::strlen(name);
  const bool slash = head == 0 || directory[head - 1] != '/';
  if (head + 1 + tail + 1 > QZIOE_PATH_AREA) return QZIOE_NAME_TOO_LONG;
  if (!out) return QZS_NO_MEMORY;
  std::memcpy(out.get(), directory, head);
  if (slash) out.get()[head] = '/';
  std::memcpy(out.get() + head + (slash ? 1 : 0), name, tail + 1);
  return QZ_OK;
}

QZStatus directory_kind(QZIOEExtension *extension, const char *path) {
  return examine(extension, path, kIsDirErrors);
}

QZStatus make_directory_at(QZIOEExtension *extension, const char *path) {
  return make_directory(extension, path);
}

bool is_dot_or_dot_dot(const char *name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

QZStatus check_name(const QZChar *name, uint32_t length) {
  return name == nullptr || length == 0 ? QZIOE_BAD_NAME : QZ_OK;
}

} // namespace ioe

using namespace ioe;

extern "C" QZStatus bkioeexist(QZIOEExtension *extension, const QZChar *name,
                               uint32_t length) noexcept {
  if (const QZStatus status = check_name(name, length); status != QZ_OK) return status;
  BytePath path(extension);
  if (const QZStatus status = path.make(name, length); status != QZ_OK) return status;
  const QZStatus status = examine(extension, path.c_str(), kStatErrors);
  return status == 1 ? QZ_OK : status;
}

extern "C" QZStatus bkioeisdir(QZIOEExtension *extension, const QZChar *name,
                               uint32_t length) noexcept {
  if (const QZStatus status = check_name(name, length); status != QZ_OK) return status;
  BytePath path(extension);
  if (const QZStatus status = path.make(name, length); status != QZ_OK) return status;
  return directory_kind(extension, path.c_str());
}

extern "C" QZStatus bkioemakedirectory(QZIOEExtension *extension, const QZChar *name,
                                       uint32_t length) noexcept {
  if (extension == nullptr) return QZIOE_BAD_HANDLE;
  if (const QZStatus status = check_name(name, length); status != QZ_OK) return status;
  BytePath path(extension);
  if (const QZStatus status = path.make(name, length); status != QZ_OK) return status;
  return make_directory(extension, path.c_str());
}

extern "C" QZStatus bkioeremove(QZIOEExtension *extension, const QZChar *name, uint32_t length,
                                uint32_t flags) noexcept {
  if (const QZStatus status = check_name(name, length); status != QZ_OK) return status;
  BytePath path(extension);
  bool names_dot = false;
  if (const QZStatus status = path.make(name, length, &names_dot); status != QZ_OK) return status;
  // "." and ".." stand for the working directory or one above it; a name
  // that expands to nothing would stand for the working directory too.
  if (names_dot) return QZIOE_BAD_NAME;
  const QZStatus kind = directory_kind(extension, path.c_str());
  if (kind != 0 && kind != 1) return QZIOE_NOT_FOUND;
  const bool directory = kind == 0;
  const ReportSink sink = extension_sink(extension);
  if ((directory ? sys::rmdir(path.c_str()) : sys::unlink(path.c_str())) == 0) return QZ_OK;
  const QZStatus status = map_errno(kRemoveErrors, errno, sink);
  if (status != QZIOE_NOT_EMPTY || !directory || (flags & QZIOE_REMOVE_TREE) == 0) return status;
  const int top = sys::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (top < 0) return map_errno(kOpenDirErrors, errno, sink);
  if (const QZStatus emptied = empty_tree(extension, top); emptied != QZ_OK) return emptied;
  return sys::rmdir(path.c_str()) == 0 ? QZ_OK : map_errno(kRemoveErrors, errno, sink);
}

extern "C" QZStatus bkioerename(QZIOEExtension *extension, const QZChar *old_name,
                                uint32_t old_length, const QZChar *new_name,
                                uint32_t new_length) noexcept {
  if (extension == nullptr) return QZIOE_BAD_HANDLE;
  if (check_name(new_name, new_length) != QZ_OK || check_name(old_name, old_length) != QZ_OK)
    return QZIOE_BAD_NAME;
  BytePath from(extension), to(extension);
  if (const QZStatus status = from.make(old_name, old_length); status != QZ_OK) return status;
  if (const QZStatus status = to.make(new_name, new_length); status != QZ_OK) return status;
  if (sys::rename(from.c_str(), to.c_str()) == 0) return QZ_OK;
  return map_errno(kRenameErrors, errno, extension_sink(extension));
}

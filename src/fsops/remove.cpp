// Removal of files, links and directories, also of whole trees.
#include <cerrno>

#include "common/errno_map.h"
#include "common/syscalls.h"
#include "fsops/internal.h"
#include "paths/byte_path.h"

namespace ioe {
namespace {

constexpr ErrnoRow kRemoveRows[] = {{EPERM, QZIOE_NO_ACCESS},    {EACCES, QZIOE_NO_ACCESS},
                                    {EROFS, QZIOE_NO_ACCESS},    {ENOENT, QZIOE_NOT_FOUND},
                                    {ENOTDIR, QZIOE_NOT_FOUND},  {ETXTBSY, QZIOE_IN_USE},
                                    {ENOTEMPTY, QZIOE_NOT_EMPTY}};
constexpr ErrnoMap kRemoveErrors{kRemoveRows, QZIOE_IO_ERROR, Unlisted::reported};

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
  if (!sys::is_directory(info)) return removed(0) ? QZ_OK : map_errno(kRemoveErrors, errno, sink);
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
} // namespace ioe

using namespace ioe;

extern "C" QZStatus bkioeremove(QZIOEExtension *extension, const QZChar *name, uint32_t length,
                                uint32_t flags) noexcept {
  if (const QZStatus status = check_name(name, length); status != QZ_OK) return status;
  BytePath path(extension);
  bool names_dot = false;
  if (const QZStatus status = path.make(name, length, &names_dot); status != QZ_OK) return status;
  // "." and ".." stand for the working directory or one above it; a name
  // that expands to nothing would stand for the working directory too.
  if (names_dot) return QZIOE_BAD_NAME;
  const FileKind kind = examine(extension, path.c_str(), kIsDirErrors);
  if (kind == FileKind::missing) return QZIOE_NOT_FOUND;
  const bool directory = kind == FileKind::directory;
  const ReportSink sink = extension_sink(extension);
  if ((directory ? sys::rmdir(path.c_str()) : sys::unlink(path.c_str())) == 0) return QZ_OK;
  const QZStatus status = map_errno(kRemoveErrors, errno, sink);
  if (status != QZIOE_NOT_EMPTY || !directory || (flags & QZIOE_REMOVE_TREE) == 0) return status;
  const int top = sys::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (top < 0) return map_errno(kOpenDirErrors, errno, sink);
  if (const QZStatus emptied = empty_tree(extension, top); emptied != QZ_OK) return emptied;
  return sys::rmdir(path.c_str()) == 0 ? QZ_OK : map_errno(kRemoveErrors, errno, sink);
}

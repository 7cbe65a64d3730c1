// What the file-system services share: the error tables of stat and
// directory reads, examining a path, and member names.
#include <cerrno>
#include <cstring>

#include "common/errno_map.h"
#include "common/syscalls.h"
#include "fsops/internal.h"

namespace ioe {

constexpr ErrnoRow kIsDirRows[] = {{ENOENT, QZIOE_PATH_NOT_FOUND}, {EACCES, QZIOE_NO_ACCESS}};
const ErrnoMap kIsDirErrors{kIsDirRows, QZIOE_IO_ERROR, Unlisted::reported};

constexpr ErrnoRow kOpenDirRows[] = {{EACCES, QZIOE_NO_ACCESS},
                                     {ENOENT, QZIOE_NOT_FOUND},
                                     {ENOTDIR, QZIOE_NOT_FOUND},
                                     {ENAMETOOLONG, QZIOE_NAME_TOO_LONG}};
const ErrnoMap kOpenDirErrors{kOpenDirRows, QZIOE_IO_ERROR, Unlisted::reported};
const ErrnoMap kReadDirErrors{{}, QZIOE_IO_ERROR, Unlisted::reported};
constexpr ErrnoRow kStatRows[] = {{ENOENT, QZIOE_NOT_FOUND}, {EACCES, QZIOE_NO_ACCESS}};
const ErrnoMap kStatErrors{kStatRows, QZIOE_IO_ERROR, Unlisted::reported};

FileKind examine(QZIOEExtension *extension, const char *path, const ErrnoMap &errors,
                 QZStatus *why) {
  sys::Stat info{};
  if (sys::stat(path, &info) != 0) {
    const QZStatus status = map_errno(errors, errno, extension_sink(extension));
    if (why != nullptr) *why = status;
    return FileKind::missing;
  }
  return sys::is_directory(info) ? FileKind::directory : FileKind::other;
}

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

bool is_dot_or_dot_dot(const char *name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

QZStatus check_name(const QZChar *name, uint32_t length) {
  return name == nullptr || length == 0 ? QZIOE_BAD_NAME : QZ_OK;
}

} // namespace ioe

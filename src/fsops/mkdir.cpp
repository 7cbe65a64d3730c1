// Directory creation.
#include <cerrno>

#include "common/errno_map.h"
#include "common/syscalls.h"
#include "fsops/internal.h"
#include "paths/byte_path.h"

namespace ioe {
namespace {

constexpr ErrnoRow kMkdirRows[] = {{EPERM, QZIOE_NO_ACCESS},        {EACCES, QZIOE_NO_ACCESS},
                                   {EROFS, QZIOE_NO_ACCESS},        {ENOENT, QZIOE_PATH_NOT_FOUND},
                                   {ENOTDIR, QZIOE_PATH_NOT_FOUND}, {EEXIST, QZIOE_EXISTS},
                                   {ETXTBSY, QZIOE_IN_USE},         {ENOSPC, QZIOE_NO_SPACE}};
constexpr ErrnoMap kMkdirErrors{kMkdirRows, QZIOE_IO_ERROR, Unlisted::reported};

} // namespace

QZStatus make_directory_at(QZIOEExtension *extension, const char *path) {
  if (sys::mkdir(path, 0777) == 0) return QZ_OK;
  const int error = errno;
  const QZStatus status = map_errno(kMkdirErrors, error, extension_sink(extension));
  // An existing directory is what was asked for.
  if (error == EEXIST && examine(extension, path, kIsDirErrors) == FileKind::directory)
    return QZ_OK;
  return status;
}

} // namespace ioe

using namespace ioe;

extern "C" QZStatus bkioemakedirectory(QZIOEExtension *extension, const QZChar *name,
                                       uint32_t length) noexcept {
  if (extension == nullptr) return QZIOE_BAD_HANDLE;
  if (const QZStatus status = check_name(name, length); status != QZ_OK) return status;
  BytePath path(extension);
  if (const QZStatus status = path.make(name, length); status != QZ_OK) return status;
  return make_directory_at(extension, path.c_str());
}

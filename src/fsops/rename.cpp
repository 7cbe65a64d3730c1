// Renaming.
#include <cerrno>

#include "common/errno_map.h"
#include "common/syscalls.h"
#include "fsops/internal.h"
#include "paths/byte_path.h"

namespace ioe {
namespace {

constexpr ErrnoRow kRenameRows[] = {{EPERM, QZIOE_NO_ACCESS},
                                    {EACCES, QZIOE_NO_ACCESS},
                                    {EROFS, QZIOE_NO_ACCESS},
                                    {ENOMEM, QZS_NO_MEMORY},
                                    {ENOSPC, QZIOE_NO_SPACE}};
constexpr ErrnoMap kRenameErrors{kRenameRows, QZIOE_IO_ERROR, Unlisted::reported};

} // namespace
} // namespace ioe

using namespace ioe;

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

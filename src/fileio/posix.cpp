// POSIX primitives: the only code that touches an open file. qzfsx opens,
// locks and closes; everything else is a 64-bit system call on its
// descriptor.
#include <cerrno>

#include "common/errno_map.h"
#include "common/kernel_calls.h"
#include "common/syscalls.h"
#include "fileio/internal.h"
#include "paths/byte_path.h"
#include "qzioe/paths.h"

namespace ioe {
namespace {

// The flag values travel to qzfsx as numbers; they are those of Linux.
static_assert(O_RDONLY == 0 && O_WRONLY == 1 && O_RDWR == 2 && O_CREAT == 0x40 && O_TRUNC == 0x200);

constexpr uint32_t kPermissions = 0777;

struct OpenRequest {
  uint32_t flags;
  uint32_t lock;
};

// Open flags and qzfsx lock request from the open mode and lock option. A
// shared lock needs a readable and an exclusive lock a writable descriptor,
// so the flags widen to read-write where the mode alone would not allow it.
OpenRequest open_request(uint32_t mode, uint32_t lock_option) {
  const uint32_t base_lock = mode == QZIOE_MODE_INPUT ? QZFSX_LOCK_SHARED : QZFSX_LOCK_EXCLUSIVE;
  uint32_t lock = base_lock;
  switch (lock_option) {
  case 1:
    lock = QZFSX_LOCK_NONE;
    break;
  case 2:
    lock = QZFSX_LOCK_SHARED;
    break;
  case 3:
    lock = QZFSX_LOCK_EXCLUSIVE;
    break;
  case 4:
    lock = base_lock | QZFSX_LOCK_FLAG_WAIT;
    break;
  default:
    break;
  }
  switch (mode) {
  case QZIOE_MODE_INPUT:
    return {lock_option == 3 ? 0x2u : 0x0u, lock};
  case QZIOE_MODE_APPEND:
    return {lock_option == 2 ? 0x42u : 0x41u, lock};
  case QZIOE_MODE_OUTPUT:
    return {lock_option == 2 ? 0x242u : 0x241u, lock};
  default:
    return {0x42u, lock};
  }
}

// qzfsx open statuses; anything else is an I/O error.
constexpr struct {
  QZStatus first, last, result;
} kFsxStatuses[] = {
    {QZFSX_NO_MEMORY, QZFSX_NO_MEMORY, QZS_NO_MEMORY},
    {QZFSX_NOT_FOUND, QZFSX_NOT_FOUND, QZIOE_NOT_FOUND},
    {QZFSX_PATH_NOT_FOUND, QZFSX_PATH_NOT_FOUND, QZIOE_PATH_NOT_FOUND},
    {QZFSX_NO_ACCESS, QZFSX_NO_ACCESS, QZIOE_NO_ACCESS},
    {QZFSX_REFUSED, QZFSX_REFUSED, QZIOE_OPEN_REFUSED},
    {QZFSX_IN_USE, QZFSX_IN_USE_LAST, QZIOE_IN_USE},
    {QZFSX_BUSY, QZFSX_BUSY, QZIOE_IN_USE},
};

QZStatus translate_fsx_status(QZStatus status) {
  for (const auto &row : kFsxStatuses)
    if (status >= row.first && status <= row.last) return row.result;
  return QZIOE_IO_ERROR;
}

// Read failures have no code of their own and are not reported.
constexpr ErrnoMap kReadErrors{{}, QZIOE_IO_ERROR, Unlisted::silent};

constexpr ErrnoRow kWriteRows[] = {
    {EFBIG, QZIOE_NO_SPACE}, {ENOSPC, QZIOE_NO_SPACE}, {EDQUOT, QZIOE_NO_SPACE}};
constexpr ErrnoMap kWriteErrors{kWriteRows, QZIOE_IO_ERROR, Unlisted::silent};

// A descriptor that cannot be synchronised because it does not lead to
// stored data (a pipe, a terminal, /dev/null) has nothing to lose once its
// bytes were delivered.
constexpr ErrnoRow kFsyncRows[] = {{EBADF, QZIOE_BAD_HANDLE},
                                   {EIO, QZIOE_IO_ERROR},
                                   {ENOSPC, QZIOE_NO_SPACE},
                                   {EINVAL, QZ_OK},
                                   {EROFS, QZ_OK}};
constexpr ErrnoMap kFsyncErrors{kFsyncRows, QZIOE_FAILED, Unlisted::reported};

constexpr ErrnoMap kSeekErrors{{}, QZIOE_FAILED, Unlisted::reported};
constexpr ErrnoMap kTruncateErrors{{}, QZIOE_IO_ERROR, Unlisted::reported};

// Reports go to the handle's journal, read under its lock so that a
// concurrent attach cannot swap the journal out from under the report.
ReportSink sink_of(const File *file) {
  return {file->extension, &file->journal, file->lock};
}

QZStatus fail_with(const ErrnoMap &map, const File *file, int error) {
  return map_errno(map, error, sink_of(file));
}

bool fsx_opened(const QZFsxFile *opened) {
  return opened != nullptr && opened->methods != nullptr && opened->methods->close != nullptr;
}

bool open_file(const File *file) {
  return file != nullptr && file->sysfile != nullptr;
}

} // namespace
} // namespace ioe

using namespace ioe;

extern "C" QZStatus bkioe_open(QZIOEFile *handle) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (file == nullptr) return QZIOE_BAD_HANDLE;
  PoolBlock<SysFile> record(file->pool, sizeof(SysFile), QZ_POOL_ZERO_FILL);
  if (!record) return QZS_NO_MEMORY;

  QZIOEExtension *extension = file->extension;
  const OpenRequest how = open_request(file->open_mode, file->lock_option);
  BytePath expanded(extension);
  QZStatus status = QZ_OK;
  QZFsxRequest request{};
  if ((file->options & QZIOE_OPT_NO_EXPAND) != 0) {
    request.path = file->path;
    request.path_length = file->path_length;
  } else {
    status = expanded.expand(file->path, file->path_length);
    request.path = expanded.expanded();
    request.path_length = expanded.size();
  }
  QZExtension *fsx = extension->fsx;
  // Without qzfsx nothing can be opened: the extension lacks a handle it needs.
  if (status == QZ_OK && (fsx == nullptr || fsx->service.open_file == nullptr))
    status = QZIOE_BAD_HANDLE;
  QZFsxFile *opened = nullptr;
  if (status == QZ_OK) {
    request.permissions = kPermissions;
    request.flags = how.flags;
    QZStatus fsx_status = QZ_OK;
    opened = fsx->service.open_file(fsx, &request, 1, how.lock, file->journal, &fsx_status);
    if (fsx_status != QZ_OK)
      status = translate_fsx_status(fsx_status);
    else if (opened == nullptr || opened->descriptor == nullptr)
      status = QZIOE_IO_ERROR;
    // A file object that comes with a failure, or without a descriptor, is
    // of no use; give it back so its descriptor and lock go too.
    if (status != QZ_OK && fsx_opened(opened)) {
      const QZFsxCloseRecord zeros{};
      opened->methods->close(opened, &zeros, file->journal);
    }
  }
  if (status != QZ_OK) return status;
  record.get()->fsx_file = opened;
  record.get()->descriptor = *opened->descriptor;
  file->sysfile = record.release();
  if (file->open_mode == QZIOE_MODE_APPEND) sys::lseek(sysfile(file)->descriptor, 0, SEEK_END);
  return QZ_OK;
}

extern "C" QZStatus bkioe_close(QZIOEFile *handle) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (!open_file(file)) return QZ_OK;
  SysFile *record = sysfile(file);
  QZFsxFile *opened = record->fsx_file;
  if (fsx_opened(opened)) {
    const QZFsxCloseRecord zeros{};
    opened->methods->close(opened, &zeros, file->journal);
  }
  pool_release(file->pool, file->sysfile);
  return QZ_OK;
}

extern "C" QZStatus bkioe_read(QZIOEFile *handle, void *buffer, uint32_t length, uint32_t *count,
                               const int64_t *offset) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (!open_file(file) || count == nullptr) return QZIOE_BAD_HANDLE;
  const ssize_t got = sys::read(sysfile(file)->descriptor, buffer, length, offset);
  if (got < 0) return fail_with(kReadErrors, file, errno);
  *count = static_cast<uint32_t>(got);
  return got == 0 && length > 0 ? QZIOE_END_OF_FILE : QZ_OK;
}

extern "C" QZStatus bkioe_write(QZIOEFile *handle, const void *bytes, uint32_t length,
                                uint32_t *count, const int64_t *offset) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (!open_file(file) || count == nullptr) return QZIOE_BAD_HANDLE;
  size_t written = 0;
  const int error = sys::write_all(sysfile(file)->descriptor, bytes, length, offset, &written);
  *count = static_cast<uint32_t>(written);
  return error == 0 ? QZ_OK : fail_with(kWriteErrors, file, error);
}

extern "C" QZStatus bkioe_flush(QZIOEFile *handle) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (!open_file(file)) return QZIOE_BAD_HANDLE;
  if (sys::fsync(sysfile(file)->descriptor) == 0) return QZ_OK;
  return fail_with(kFsyncErrors, file, errno);
}

extern "C" QZStatus bkioe_note(QZIOEFile *handle, int64_t *position) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (!open_file(file)) return QZIOE_BAD_HANDLE;
  if (file->buffered != 0) return QZIOE_NOT_SUPPORTED;
  if (position == nullptr) return QZS_BAD_VALUE;
  const int64_t at = sys::lseek(sysfile(file)->descriptor, 0, SEEK_CUR);
  if (at < 0) return fail_with(kSeekErrors, file, errno);
  *position = at;
  return QZ_OK;
}

extern "C" QZStatus bkioe_point(QZIOEFile *handle, int64_t *position, uint32_t seek_mode) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (!open_file(file)) return QZIOE_BAD_HANDLE;
  if (file->buffered != 0) return QZIOE_NOT_SUPPORTED;
  if (position == nullptr) return QZS_BAD_VALUE;
  int whence = SEEK_SET;
  if ((seek_mode & QZIOE_SEEK_REWIND) != 0) {
    *position = 0;
  } else if ((seek_mode & QZIOE_SEEK_END) != 0) {
    *position = 0;
    whence = SEEK_END;
  } else if ((seek_mode & QZIOE_SEEK_CURRENT) != 0) {
    whence = SEEK_CUR;
  }
  const int64_t at = sys::lseek(sysfile(file)->descriptor, *position, whence);
  const QZStatus status = at < 0 ? fail_with(kSeekErrors, file, errno) : QZ_OK;
  file->bom_pending = at == 0 && (file->options & QZIOE_OPT_NO_BOM) == 0 ? 1 : 0;
  file->position = at < 0 ? -1 : at;
  *position = file->position;
  return status;
}

extern "C" QZStatus bkioeposition2byte(QZIOEFile *, const int64_t *position,
                                       int64_t *byte) noexcept {
  if (position == nullptr || byte == nullptr) return QZS_BAD_VALUE;
  *byte = *position;
  return QZ_OK;
}

extern "C" QZStatus bkioebyte2position(QZIOEFile *, const int64_t *byte,
                                       int64_t *position) noexcept {
  return bkioeposition2byte(nullptr, byte, position);
}

extern "C" QZStatus bkioetruncate(QZIOEFile *handle, const int64_t *length) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (!open_file(file)) return QZIOE_BAD_HANDLE;
  if (file->open_mode == QZIOE_MODE_INPUT) return QZIOE_READ_ONLY;
  if (length == nullptr) return QZS_BAD_VALUE;
  if (file->buffered != 0) {
    if (const QZStatus status = write_pending(file); status != QZ_OK) return status;
  }
  if (sys::ftruncate(sysfile(file)->descriptor, *length) != 0)
    return fail_with(kTruncateErrors, file, errno);
  return QZ_OK;
}

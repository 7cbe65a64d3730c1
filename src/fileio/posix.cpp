// POSIX primitives: the only code that touches an open file. qzfsx opens,
// locks and closes; everything else is a 64-bit system call on its
// descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "common/kernel_calls.h"
#include "fileio/internal.h"
#include "qzioe/paths.h"

namespace ioe {
namespace {

// The flag values travel to qzfsx as numbers; they are those of Linux.
static_assert(O_RDONLY == 0 && O_WRONLY == 1 && O_RDWR == 2 && O_CREAT == 0x40 && O_TRUNC == 0x200);

constexpr uint32_t kPermissions = 0777;
// Linux moves at most this much in one read or write.
constexpr uint32_t kMaxTransfer = 0x7ffff000u;

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

QZStatus translate_fsx_status(QZStatus status) {
  switch (status) {
  case QZFSX_NO_MEMORY:
    return QZS_NO_MEMORY;
  case QZFSX_NOT_FOUND:
    return QZIOE_NOT_FOUND;
  case QZFSX_PATH_NOT_FOUND:
    return QZIOE_PATH_NOT_FOUND;
  case QZFSX_NO_ACCESS:
    return QZIOE_NO_ACCESS;
  case QZFSX_REFUSED:
    return QZIOE_OPEN_REFUSED;
  case QZFSX_BUSY:
    return QZIOE_IN_USE;
  default:
    return status >= QZFSX_IN_USE && status <= QZFSX_IN_USE_LAST ? QZIOE_IN_USE : QZIOE_IO_ERROR;
  }
}

// Reports the error text to the handle's journal under its lock, so that a
// concurrent attach cannot swap the journal out from under the report.
void report(const QZIOEFile *file, int error_number) {
  QZLock *lock = file->lock;
  const bool locked = lock != nullptr && lock->acquire(lock, 1, 1) == QZ_OK;
  bkioeerror(file->extension, error_number, file->journal);
  if (locked) lock->release(lock);
}

bool fsx_opened(const QZFsxFile *opened) {
  return opened != nullptr && opened->methods != nullptr && opened->methods->close != nullptr;
}

bool open_file(const QZIOEFile *file) {
  return file != nullptr && file->sysfile != nullptr;
}

QZStatus write_error(int error_number) {
  switch (error_number) {
  case EFBIG:
  case ENOSPC:
  case EDQUOT:
    return QZIOE_NO_SPACE;
  default:
    return QZIOE_IO_ERROR;
  }
}

// Releases the expanded path when it goes out of scope.
struct ExpandedPath {
  QZPool *pool;
  QZChar *chars = nullptr;
  uint32_t length = 0;
  ~ExpandedPath() {
    if (chars != nullptr) bkioeexpand_path_free(pool, chars);
  }
};

} // namespace
} // namespace ioe

using namespace ioe;

extern "C" QZStatus bkioe_open(QZIOEFile *file) noexcept {
  if (file == nullptr) return QZIOE_BAD_HANDLE;
  auto *record = static_cast<SysFile *>(pool_alloc(file->pool, sizeof(SysFile), QZ_POOL_ZERO_FILL));
  if (record == nullptr) return QZS_NO_MEMORY;

  QZIOEExtension *extension = file->extension;
  const OpenRequest how = open_request(file->open_mode, file->lock_option);
  ExpandedPath expanded{extension->pool};
  QZStatus status = QZ_OK;
  QZFsxRequest request{};
  if ((file->options & QZIOE_OPT_NO_EXPAND) != 0) {
    request.path = file->path;
    request.path_length = file->path_length;
  } else {
    status = bkioeexpand_path(extension, file->path, file->path_length, &expanded.chars,
                              &expanded.length);
    request.path = expanded.chars;
    request.path_length = expanded.length;
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
  if (status != QZ_OK) {
    file->pool->free_block(file->pool, record);
    return status;
  }
  record->fsx_file = opened;
  record->descriptor = *opened->descriptor;
  file->sysfile = record;
  if (file->open_mode == QZIOE_MODE_APPEND) lseek64(record->descriptor, 0, SEEK_END);
  return QZ_OK;
}

extern "C" QZStatus bkioe_close(QZIOEFile *file) noexcept {
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

extern "C" QZStatus bkioe_read(QZIOEFile *file, void *buffer, uint32_t length, uint32_t *count,
                               const int64_t *offset) noexcept {
  if (!open_file(file) || count == nullptr) return QZIOE_BAD_HANDLE;
  const int fd = sysfile(file)->descriptor;
  const size_t wanted = length < kMaxTransfer ? length : kMaxTransfer;
  ssize_t got;
  do {
    got = offset != nullptr ? pread64(fd, buffer, wanted, *offset) : read(fd, buffer, wanted);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return QZIOE_IO_ERROR;
  *count = static_cast<uint32_t>(got);
  return got == 0 && length > 0 ? QZIOE_END_OF_FILE : QZ_OK;
}

extern "C" QZStatus bkioe_write(QZIOEFile *file, const void *bytes, uint32_t length,
                                uint32_t *count, const int64_t *offset) noexcept {
  if (!open_file(file) || count == nullptr) return QZIOE_BAD_HANDLE;
  const int fd = sysfile(file)->descriptor;
  const auto *data = static_cast<const uint8_t *>(bytes);
  uint32_t written = 0;
  while (written < length) {
    const uint32_t rest = length - written;
    const size_t chunk = rest < kMaxTransfer ? rest : kMaxTransfer;
    const ssize_t put = offset != nullptr ? pwrite64(fd, data + written, chunk, *offset + written)
                                          : write(fd, data + written, chunk);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      // A write that moves nothing would loop for ever; treat it as full.
      const QZStatus status = put == 0 ? QZIOE_NO_SPACE : write_error(errno);
      if (written > 0) *count = written;
      return status;
    }
    written += static_cast<uint32_t>(put);
  }
  *count = written;
  return QZ_OK;
}

extern "C" QZStatus bkioe_flush(QZIOEFile *file) noexcept {
  if (!open_file(file)) return QZIOE_BAD_HANDLE;
  int result;
  do {
    result = fsync(sysfile(file)->descriptor);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return QZ_OK;
  switch (const int error_number = errno) {
  case EBADF:
    return QZIOE_BAD_HANDLE;
  case EIO:
    return QZIOE_IO_ERROR;
  case ENOSPC:
    return QZIOE_NO_SPACE;
  default:
    report(file, error_number);
    return QZIOE_FAILED;
  }
}

extern "C" QZStatus bkioe_note(QZIOEFile *file, int64_t *position) noexcept {
  if (!open_file(file)) return QZIOE_BAD_HANDLE;
  if (file->buffered != 0) return QZIOE_NOT_SUPPORTED;
  if (position == nullptr) return QZS_BAD_VALUE;
  const off64_t at = lseek64(sysfile(file)->descriptor, 0, SEEK_CUR);
  if (at < 0) {
    report(file, errno);
    return QZIOE_FAILED;
  }
  *position = at;
  return QZ_OK;
}

extern "C" QZStatus bkioe_point(QZIOEFile *file, int64_t *position, uint32_t seek_mode) noexcept {
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
  const off64_t at = lseek64(sysfile(file)->descriptor, *position, whence);
  QZStatus status = QZ_OK;
  if (at < 0) {
    report(file, errno);
    status = QZIOE_FAILED;
  }
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

extern "C" QZStatus bkioetruncate(QZIOEFile *file, const int64_t *length) noexcept {
  if (!open_file(file)) return QZIOE_BAD_HANDLE;
  if (file->open_mode == QZIOE_MODE_INPUT) return QZIOE_READ_ONLY;
  if (length == nullptr) return QZS_BAD_VALUE;
  if (file->buffered != 0) {
    if (const QZStatus status = write_pending(file); status != QZ_OK) return status;
  }
  int result;
  do {
    result = ftruncate64(sysfile(file)->descriptor, *length);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    report(file, errno);
    return QZIOE_IO_ERROR;
  }
  return QZ_OK;
}

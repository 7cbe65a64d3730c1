// The sibling extensions: qzfsx (opens, locks and closes files), qzhost (the
// host name) and qzwarden (held, never called).
#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"

namespace qzk {

struct Sibling : QZExtension {
  Kernel *kernel = nullptr;
  SiblingKind kind = SiblingKind::Warden;
  QZWord context = 0;
};

struct FsxFile : QZFsxFile {
  Kernel *kernel = nullptr;
  int fd = -1;
};

namespace {

struct SiblingName {
  const char *name;
  SiblingKind kind;
};

constexpr SiblingName kSiblings[] = {
    {"qzfsx", SiblingKind::Fsx},
    {"qzhost", SiblingKind::Host},
    {"qzwarden", SiblingKind::Warden},
};

Sibling *FindSibling(QZExtension *extension, SiblingKind kind) {
  Sibling *sibling = Find<Sibling>(extension, Kind::Extension);
  return sibling != nullptr && sibling->kind == kind ? sibling : nullptr;
}

// The directory part of a path, as open would look for it.
std::string ParentOf(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsDirectory(const std::string &path) {
  struct stat64 info;
  return stat64(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

QZStatus OpenErrorStatus(int error, const std::string &path) {
  switch (error) {
  case ENOENT:
    return IsDirectory(ParentOf(path)) ? QZFSX_NOT_FOUND : QZFSX_PATH_NOT_FOUND;
  case ENOTDIR:
    return QZFSX_PATH_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EROFS:
    return QZFSX_NO_ACCESS;
  case ENOMEM:
    return QZFSX_NO_MEMORY;
  case ETXTBSY:
    return QZFSX_BUSY;
  case EISDIR:
    return QZFSX_REFUSED;
  default:
    return QZFSX_FAILED;
  }
}

QZStatus LockErrorStatus(int error) {
  switch (error) {
  case EAGAIN:
  case EACCES:
  case EDEADLK:
    return QZFSX_IN_USE;
  case EBADF: // the descriptor lacks the access the lock needs
    return QZFSX_REFUSED;
  case ENOLCK:
    return QZFSX_NO_MEMORY;
  default:
    return QZFSX_FAILED;
  }
}

// Open-file-description locks over the whole file: they belong to this
// descriptor alone, so two opens in one process conflict as two processes
// would. With the wait flag the open blocks until a conflicting lock goes;
// without it a conflict is reported at once.
QZStatus ApplyLock(int fd, uint32_t lock_request) {
  const uint32_t mode = lock_request & 3u;
  if (mode == QZFSX_LOCK_NONE) return QZ_OK;
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = mode == QZFSX_LOCK_SHARED ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  const int command = (lock_request & QZFSX_LOCK_FLAG_WAIT) != 0 ? F_OFD_SETLKW : F_OFD_SETLK;
  int rc;
  do {
    rc = fcntl(fd, command, &lock);
  } while (rc == -1 && errno == EINTR);
  return rc == 0 ? QZ_OK : LockErrorStatus(errno);
}

QZStatus CloseFile(QZFsxFile *public_file, const QZFsxCloseRecord *zeros, QZJournal *journal) {
  (void)zeros;
  (void)journal;
  FsxFile *file = Find<FsxFile>(public_file, Kind::File);
  if (file == nullptr || !Take(public_file, Kind::File)) {
    Misuse(nullptr, "qzfsx close: %p is not an open file", static_cast<void *>(public_file));
    return QZK_BAD_ARGUMENT;
  }
  {
    std::lock_guard guard(file->kernel->objects_mutex);
    file->kernel->live_files.erase(file);
  }
  // Linux releases the descriptor even when close reports EINTR, so close is
  // never retried: a retry could close a descriptor another thread just got.
  const int rc = close(file->fd);
  const int error = errno;
  file->fd = -1;
  CloseFileNow(file);
  return rc == 0 || error == EINTR ? QZ_OK : QZFSX_FAILED;
}

constexpr QZFsxFileMethods kFileMethods = {{}, CloseFile};

QZFsxFile *FsxOpen(QZExtension *extension, const QZFsxRequest *request, uint32_t one,
                   uint32_t lock_request, QZJournal *journal, QZStatus *status) {
  (void)one;
  (void)journal;
  Sibling *fsx = FindSibling(extension, SiblingKind::Fsx);
  if (status == nullptr) {
    Misuse(fsx != nullptr ? fsx->kernel : nullptr, "qzfsx open: null status pointer");
    return nullptr;
  }
  if (fsx == nullptr) {
    Misuse(nullptr, "qzfsx open: %p is not a loaded qzfsx", static_cast<void *>(extension));
    *status = QZK_BAD_ARGUMENT;
    return nullptr;
  }
  Kernel *kernel = fsx->kernel;
  if (request == nullptr || (request->path == nullptr && request->path_length != 0)) {
    Misuse(kernel, "qzfsx open: null request or path");
    *status = QZK_BAD_ARGUMENT;
    return nullptr;
  }
  if ((lock_request & ~(3u | QZFSX_LOCK_FLAG_WAIT)) != 0 || (lock_request & 3u) == 3u) {
    Misuse(kernel, "qzfsx open: lock request 0x%x", lock_request);
    *status = QZK_BAD_ARGUMENT;
    return nullptr;
  }
  {
    std::lock_guard guard(kernel->settings_mutex);
    if (kernel->fsx_open_status != QZ_OK) {
      *status = kernel->fsx_open_status;
      return nullptr;
    }
  }
  std::string path;
  path.reserve(request->path_length);
  for (uint32_t i = 0; i < request->path_length; ++i) {
    // A zero would cut the path short and open another file than named.
    const QZChar c = request->path[i];
    if (c == 0 || c > 0xff) {
      *status = QZFSX_REFUSED;
      return nullptr;
    }
    path.push_back(static_cast<char>(c));
  }

  int flags = static_cast<int>(request->flags) | O_CLOEXEC;
  // Truncating before the lock is held would destroy the contents of a file
  // that someone else has locked; truncate only once the lock is ours.
  const bool truncate_after_lock = (lock_request & 3u) != QZFSX_LOCK_NONE &&
                                   (flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY;
  if (truncate_after_lock) flags &= ~O_TRUNC;
  int fd;
  do {
    fd = open64(path.c_str(), flags, static_cast<mode_t>(request->permissions));
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) {
    *status = OpenErrorStatus(errno, path);
    return nullptr;
  }
  QZStatus result = ApplyLock(fd, lock_request);
  if (result == QZ_OK && truncate_after_lock) {
    struct stat64 info;
    if (fstat64(fd, &info) == 0 && S_ISREG(info.st_mode) && ftruncate64(fd, 0) != 0)
      result = OpenErrorStatus(errno, path);
  }
  FsxFile *file = result == QZ_OK ? new (std::nothrow) FsxFile : nullptr;
  if (result == QZ_OK && file == nullptr) result = QZFSX_NO_MEMORY;
  if (result != QZ_OK) {
    close(fd);
    *status = result;
    return nullptr;
  }
  QZFsxFile &head = *file;
  std::memset(&head, 0, sizeof head);
  head.magic = QZ_OBJECT_MAGIC;
  head.methods = &kFileMethods;
  file->kernel = kernel;
  file->fd = fd;
  head.descriptor = &file->fd;
  {
    std::lock_guard guard(kernel->objects_mutex);
    kernel->live_files.insert(file);
  }
  kernel->descriptors.fetch_add(1);
  Register(&head, Kind::File, kernel);
  *status = QZ_OK;
  return &head;
}

QZStatus HostName(QZExtension *extension, QZChar *buffer, uint32_t *count, uint32_t selector) {
  Sibling *host = FindSibling(extension, SiblingKind::Host);
  if (host == nullptr) {
    Misuse(nullptr, "qzhost host name: %p is not a loaded qzhost", static_cast<void *>(extension));
    return QZK_BAD_ARGUMENT;
  }
  if (buffer == nullptr || count == nullptr || selector != QZHOST_NAME_SELECTOR) {
    Misuse(host->kernel, "qzhost host name: null buffer or count, or selector %u", selector);
    return QZK_BAD_ARGUMENT;
  }
  Kernel *kernel = host->kernel;
  std::string name;
  bool overridden;
  {
    std::lock_guard guard(kernel->settings_mutex);
    overridden = kernel->host_name_set;
    if (overridden) name = kernel->host_name;
  }
  if (!overridden) {
    char system_name[256] = {};
    if (gethostname(system_name, sizeof system_name - 1) == 0) name = system_name;
  }
  const uint32_t stored = name.size() < *count ? static_cast<uint32_t>(name.size()) : *count;
  for (uint32_t i = 0; i < stored; ++i)
    buffer[i] = static_cast<unsigned char>(name[i]);
  *count = stored;
  return QZ_OK;
}

QZStatus Release(QZExtension *extension) {
  Sibling *sibling = Find<Sibling>(extension, Kind::Extension);
  if (sibling == nullptr || !Take(extension, Kind::Extension)) {
    Misuse(nullptr, "extension release: %p is not a loaded extension",
           static_cast<void *>(extension));
    return QZK_BAD_ARGUMENT;
  }
  {
    std::lock_guard guard(sibling->kernel->objects_mutex);
    sibling->kernel->live_siblings.erase(sibling);
  }
  DestroySiblingNow(sibling);
  return QZ_OK;
}

} // namespace

void DestroySiblingNow(Sibling *sibling) {
  Take(static_cast<QZExtension *>(sibling), Kind::Extension);
  sibling->kernel->extensions.fetch_sub(1);
  sibling->magic = 0;
  delete sibling;
}

void CloseFileNow(FsxFile *file) {
  Take(static_cast<QZFsxFile *>(file), Kind::File);
  if (file->fd >= 0) close(file->fd);
  file->kernel->descriptors.fetch_sub(1);
  file->magic = 0;
  delete file;
}

QZExtension *LoadExtension(QZHandle *handle, const QZChar *name, uint32_t length, QZWord context) {
  Kernel *kernel = Find<Kernel>(handle, Kind::Kernel);
  if (kernel == nullptr) {
    Misuse(nullptr, "load extension: %p is not a kernel handle", static_cast<void *>(handle));
    return nullptr;
  }
  if (name == nullptr && length != 0) {
    Misuse(kernel, "load extension: null name of length %u", length);
    return nullptr;
  }
  const SiblingName *found = nullptr;
  for (const SiblingName &sibling : kSiblings) {
    if (std::strlen(sibling.name) != length) continue;
    bool same = true;
    for (uint32_t i = 0; i < length && same; ++i)
      same = name[i] == static_cast<unsigned char>(sibling.name[i]);
    if (same) found = &sibling;
  }
  if (found == nullptr) return nullptr;
  {
    std::lock_guard guard(kernel->settings_mutex);
    if (!kernel->sibling_available[static_cast<int>(found->kind)]) return nullptr;
  }
  Sibling *sibling = new (std::nothrow) Sibling;
  if (sibling == nullptr) return nullptr;
  QZExtension &head = *sibling;
  std::memset(&head, 0, sizeof head);
  head.magic = QZ_OBJECT_MAGIC;
  head.release = Release;
  switch (found->kind) {
  case SiblingKind::Fsx:
    head.service.open_file = FsxOpen;
    break;
  case SiblingKind::Host:
    head.service.host_name = HostName;
    break;
  case SiblingKind::Warden:
    head.service.none = 0;
    break;
  }
  sibling->kernel = kernel;
  sibling->kind = found->kind;
  sibling->context = context;
  {
    std::lock_guard guard(kernel->objects_mutex);
    kernel->live_siblings.insert(sibling);
  }
  kernel->extensions.fetch_add(1);
  Register(&head, Kind::Extension, kernel);
  RecordCreation(kernel, QZK_OBJECT_SIBLING, found->name, context);
  return &head;
}

} // namespace qzk

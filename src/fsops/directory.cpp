// Directory handles, member lists and directory lists.
//
// A member is always addressed by its literal name below the directory's
// expanded path: a member named like a `$` reference, or ending in blanks,
// is listed, examined and tested under its own name, not expanded again.
#include <cerrno>
#include <cstring>

#include "common/errno_map.h"
#include "common/handle_pool.h"
#include "common/kernel_calls.h"
#include "common/kernel_list.h"
#include "common/syscalls.h"
#include "fsops/internal.h"
#include "paths/byte_path.h"
#include "qzioe/file.h"
#include "qzioe/paths.h"

namespace ioe {
namespace {

constexpr QZListOptions kListOptions{{2, 0, 1, 0, 0, 0}};

bool hidden(const char *name) {
  return name[0] == '.';
}

// A byte name as characters, one per byte (the transcoder says how many it
// made).
QZStatus name_to_chars(QZIOEExtension *extension, const char *bytes, uint32_t n, QZChar *out,
                       uint32_t *units) {
  *units = 0;
  if (n == 0) return QZ_OK;
  QZTranscoder *inbound = extension->inbound;
  uint32_t produced = 0;
  if (const QZStatus status =
          inbound->convert(inbound, bytes, n, out, n * sizeof(QZChar), &produced, 0);
      status != QZ_OK)
    return status;
  *units = produced / sizeof(QZChar);
  return QZ_OK;
}

void release_entry(QZIOEDirEntry *entry) {
  QZPool *pool = entry->pool;
  pool_release(pool, entry->name);
  if (entry->info != nullptr) entry->info->destroy(entry->info);
  pool_release(pool, entry);
}

void release_chain(QZIOEDirEntry *first) {
  while (first != nullptr) {
    QZIOEDirEntry *next = first->next;
    release_entry(first);
    first = next;
  }
}

// A chain of records, released unless handed on.
struct Chain {
  QZIOEDirEntry *first = nullptr;
  QZIOEDirEntry *last = nullptr;
  ~Chain() { release_chain(first); }
  void append(QZIOEDirEntry *entry) {
    entry->next = nullptr;
    (last != nullptr ? last->next : first) = entry;
    last = entry;
  }
  QZIOEDirEntry *release() {
    QZIOEDirEntry *out = first;
    first = last = nullptr;
    return out;
  }
};

QZIOEDirEntry *new_entry(QZPool *pool) {
  auto *entry = pool_alloc<QZIOEDirEntry>(pool, sizeof(QZIOEDirEntry));
  if (entry == nullptr) return nullptr;
  entry->name = nullptr;
  entry->name_length = 0;
  entry->size = -1;
  entry->modified = -1.0;
  entry->second_time = -1.0;
  entry->directory = 0;
  entry->info = nullptr;
  entry->pool = pool;
  entry->next = nullptr;
  return entry;
}

// Appends the record of `member` to `chain`, named by its characters, below
// `directory` (characters) when `full` says so. The record joins the chain
// before its name is made, so that the chain releases it on any failure.
// The member's bytes are converted straight into the name's block: a byte
// gives at most one character.
QZStatus add_member(QZIOEExtension *extension, QZPool *pool, Chain &chain, const char *member,
                    const QZChar *directory, uint32_t directory_length, bool full,
                    QZIOEDirEntry **added) {
  QZIOEDirEntry *record = new_entry(pool);
  if (record == nullptr) return QZS_NO_MEMORY;
  chain.append(record);
  const auto n = static_cast<uint32_t>(std::strlen(member));
  const bool slash = full && (directory_length == 0 || directory[directory_length - 1] != '/');
  const uint32_t head = full ? directory_length + (slash ? 1 : 0) : 0;
  record->name = pool_alloc<QZChar>(pool, (head + n) * sizeof(QZChar));
  if (record->name == nullptr && head + n > 0) return QZS_NO_MEMORY;
  if (full) {
    std::memcpy(record->name, directory, directory_length * sizeof(QZChar));
    if (slash) record->name[directory_length] = '/';
  }
  uint32_t units = 0;
  if (const QZStatus named = name_to_chars(extension, member, n, record->name + head, &units);
      named != QZ_OK)
    return named;
  record->name_length = head + units;
  *added = record;
  return QZ_OK;
}

// A chain's records, unkeyed, in order.
struct ChainRecords {
  QZIOEDirEntry *at;
  ListRecord next() const { return {at}; }
  void taken() { at = at->next; }
  void release_rest() {
    release_chain(at);
    at = nullptr;
  }
};

QZList *chain_to_list(QZIOEDirEntry *first, const char *name, QZListDestroyCallback destroy,
                      QZStatus *status) {
  ChainRecords records{first};
  return records_to_list(records, kListOptions, name, destroy, status);
}

DIR *stream_of(const QZIOEDirectory *directory) {
  return directory->stream != nullptr ? static_cast<DIR *>(*directory->stream) : nullptr;
}

void release_handle(QZIOEDirectory *directory) {
  QZPool *alloc_pool = directory->alloc_pool;
  if (alloc_pool != nullptr) pool_release(alloc_pool, directory->name);
  release_handle_parts(directory->pool, alloc_pool, directory->label, directory);
}

// The directory path of a listing by kind, built and expanded.
QZStatus listing_directory(QZIOEExtension *extension, const QZChar *name, uint32_t length,
                           uint32_t kind, QZChar **path, uint32_t *path_length) {
  static constexpr QZChar kRoot[] = {'/'}, kHome[] = {'~'};
  if (kind > QZIOE_LIST_HOME) return QZS_BAD_VALUE;
  if (kind <= QZIOE_LIST_CONTAINING && length > QZIOE_PATH_MAX) return QZIOE_NAME_TOO_LONG;
  // Building drops trailing slashes; a name that ends in one has no member
  // whose directory could be meant.
  // An empty name builds to the working directory, whose directory is its
  // parent.
  if (kind == QZIOE_LIST_CONTAINING && length > 0 && name != nullptr && name[length - 1] == '/')
    return QZIOE_NO_MEMBER;
  const QZChar *base = kind == QZIOE_LIST_ROOT ? kRoot : kind == QZIOE_LIST_HOME ? kHome : name;
  const uint32_t base_length = kind <= QZIOE_LIST_CONTAINING ? length : 1;
  if (const QZStatus status =
          bkioebuildpath(extension, base, base_length, nullptr, 0, nullptr, 0, path, path_length);
      status != QZ_OK)
    return status;
  if (kind == QZIOE_LIST_CONTAINING) {
    QZChar *directory = nullptr, *file = nullptr, *stem = nullptr, *dot = nullptr;
    uint32_t directory_length = 0, file_length = 0, stem_length = 0, dot_length = 0;
    const QZStatus split =
        bkioesplitpath(extension, *path, *path_length, &directory, &directory_length, &file,
                       &file_length, &stem, &stem_length, &dot, &dot_length);
    bkioebuildpathdestroy(extension, *path);
    *path = nullptr;
    if (split != QZ_OK) return split == QZIOE_PATH_REFUSED ? QZIOE_FAILED : split;
    QZStatus status = QZ_OK;
    if (file == nullptr) {
      status = QZIOE_NO_MEMBER;
    } else {
      *path = pool_alloc<QZChar>(extension->pool, directory_length * sizeof(QZChar));
      if (*path == nullptr) {
        status = QZS_NO_MEMORY;
      } else {
        std::memcpy(*path, directory, directory_length * sizeof(QZChar));
        *path_length = directory_length;
      }
    }
    bkioesplitpathdestroy(extension, directory, file, stem, dot);
    if (status != QZ_OK) return status;
  }
  if (*path_length > QZIOE_PATH_MAX) {
    pool_release(extension->pool, *path);
    return QZIOE_NAME_TOO_LONG;
  }
  return QZ_OK;
}

} // namespace
} // namespace ioe

using namespace ioe;

extern "C" QZIOEDirectory *qzioedirectoryopen(QZIOEExtension *extension, const QZChar *name,
                                              int32_t length, uint32_t options, QZWord,
                                              QZWord context, const char *label,
                                              QZStatus *status) noexcept {
  if (status == nullptr) return nullptr;
  if (name == nullptr || length <= 0) {
    *status = QZIOE_BAD_NAME;
    return nullptr;
  }
  HandleParts parts;
  if (const QZStatus made =
          create_handle(extension, context, "qzioed%d", sizeof(QZIOEDirectory), label, &parts);
      made != QZ_OK) {
    *status = made;
    return nullptr;
  }
  QZPool *pool = parts.pool;
  auto *directory = static_cast<QZIOEDirectory *>(parts.record);
  directory->magic = QZ_OBJECT_MAGIC;
  directory->label = parts.label;
  directory->pool = pool;
  directory->alloc_pool = pool;
  auto fail = [&](QZStatus failure) -> QZIOEDirectory * {
    release_handle(directory);
    *status = failure;
    return nullptr;
  };
  directory->close = qzioedirectoryclose;
  directory->member_exist = qzioedirectorymemberexist;
  directory->member_list = qzioedirectorymemberlist;
  directory->read = bkioereaddir;
  directory->extension = extension;
  directory->journal = nullptr;
  directory->options = options;
  const auto units = static_cast<uint32_t>(length);
  directory->name = pool_alloc<QZChar>(pool, (units + 1) * sizeof(QZChar));
  if (directory->name == nullptr) return fail(QZS_NO_MEMORY);
  std::memcpy(directory->name, name, units * sizeof(QZChar));
  directory->name[units] = 0;
  directory->name_length = units;
  if (const QZStatus opened = bkioeopendir(directory); opened != QZ_OK) return fail(opened);
  *status = QZ_OK;
  return directory;
}

extern "C" QZStatus bkioeopendir(QZIOEDirectory *directory) noexcept {
  if (directory == nullptr || directory->extension == nullptr) return QZIOE_BAD_HANDLE;
  QZIOEExtension *extension = directory->extension;
  BytePath path(extension);
  if (const QZStatus status = path.make(directory->name, directory->name_length); status != QZ_OK)
    return status;
  DIR *stream = sys::opendir(path.c_str());
  if (stream == nullptr) return map_errno(kOpenDirErrors, errno, extension_sink(extension));
  auto **holder = pool_alloc<void *>(directory->pool, sizeof(void *));
  if (holder == nullptr) {
    sys::closedir(stream);
    return QZS_NO_MEMORY;
  }
  *holder = stream;
  directory->stream = holder;
  return QZ_OK;
}

extern "C" QZStatus bkioeclosedir(QZIOEDirectory *directory) noexcept {
  if (directory == nullptr) return QZIOE_BAD_HANDLE;
  if (DIR *stream = stream_of(directory); stream != nullptr) sys::closedir(stream);
  pool_release(directory->pool, directory->stream);
  return QZ_OK;
}

extern "C" QZStatus qzioedirectoryclose(QZIOEDirectory *directory) noexcept {
  if (directory == nullptr) return QZIOE_BAD_HANDLE;
  bkioeclosedir(directory);
  release_handle(directory);
  return QZ_OK;
}

extern "C" QZStatus qzioedirectorymemberexist(QZIOEDirectory *directory, const QZChar *member,
                                              int32_t length) noexcept {
  if (directory == nullptr || directory->extension == nullptr) return QZIOE_BAD_HANDLE;
  if (member == nullptr || length <= 0) return QZIOE_BAD_MEMBER_NAME;
  // A caller's member name is a name like any other: built below the
  // directory's name, blanks dropped and references expanded.
  QZIOEExtension *extension = directory->extension;
  QZChar *path = nullptr;
  uint32_t path_length = 0;
  if (const QZStatus status =
          bkioebuildpath(extension, directory->name, directory->name_length, member,
                         static_cast<uint32_t>(length), nullptr, 0, &path, &path_length);
      status != QZ_OK)
    return status == QZIOE_PATH_REFUSED ? QZIOE_NAME_TOO_LONG : status;
  const QZStatus status = bkioeexist(extension, path, path_length);
  bkioebuildpathdestroy(extension, path);
  return status;
}

extern "C" QZStatus bkioereaddir(QZIOEDirectory *directory, QZChar *buffer, uint32_t *length,
                                 uint32_t) noexcept {
  if (directory == nullptr || stream_of(directory) == nullptr) return QZIOE_BAD_HANDLE;
  if (length == nullptr || (buffer == nullptr && *length > 0)) return QZS_BAD_VALUE;
  for (;;) {
    sys::DirEntry *entry = nullptr;
    if (sys::readdir(stream_of(directory), &entry) != 0) return QZIOE_IO_ERROR;
    if (entry == nullptr) return QZIOE_END_OF_FILE;
    if (hidden(entry->d_name) && (directory->options & QZIOE_DIR_HIDDEN) == 0) continue;
    const auto n = static_cast<uint32_t>(std::strlen(entry->d_name));
    if (*length < n) return QZIOE_NAME_BUFFER_TOO_SMALL;
    uint32_t units = 0;
    if (const QZStatus status =
            name_to_chars(directory->extension, entry->d_name, n, buffer, &units);
        status != QZ_OK)
      return status;
    *length = units;
    return QZ_OK;
  }
}

extern "C" QZStatus bkioedirectorymemberlist(QZIOEExtension *extension, QZIOEDirectory *directory,
                                             QZPool *pool, uint32_t options, QZIOEDirEntry **first,
                                             int64_t *count) noexcept {
  if (extension == nullptr || directory == nullptr || stream_of(directory) == nullptr)
    return QZIOE_BAD_HANDLE;
  if (pool == nullptr || first == nullptr || count == nullptr) return QZS_BAD_VALUE;
  if (directory->name_length > QZIOE_PATH_MAX) return QZIOE_NAME_TOO_LONG;
  *count = 0;
  const bool full = (options & (QZIOE_LIST_FULL_PATHS | QZIOE_LIST_INFO)) != 0;
  BytePath path(extension);
  if (full) {
    if (const QZStatus status = path.make(directory->name, directory->name_length); status != QZ_OK)
      return status;
  }
  const ReportSink sink = extension_sink(extension);
  const double zone = (options & QZIOE_LIST_INFO) != 0 ? zone_offset() : 0.0;
  Chain chain;
  for (;;) {
    sys::DirEntry *entry = nullptr;
    if (const int error = sys::readdir(stream_of(directory), &entry); error != 0)
      return map_errno(kReadDirErrors, error, sink);
    if (entry == nullptr) break;
    if (hidden(entry->d_name) && (directory->options & QZIOE_DIR_HIDDEN) == 0) continue;
    ++*count;
    QZIOEDirEntry *record = nullptr;
    if (const QZStatus added = add_member(extension, pool, chain, entry->d_name, path.expanded(),
                                          path.size(), full, &record);
        added != QZ_OK)
      return added;
    if ((options & QZIOE_LIST_INFO) != 0) {
      PoolBlock<char> bytes(extension->pool, QZIOE_PATH_AREA);
      if (const QZStatus status = join_bytes(path.c_str(), entry->d_name, bytes); status != QZ_OK)
        return status;
      QZStatus status = QZ_OK;
      record->info = file_info_list(extension, pool, bytes.get(), zone, &status);
      if (record->info == nullptr) return status;
    }
  }
  *first = chain.release();
  return QZ_OK;
}

extern "C" QZList *qzioedirectorymemberlist(QZIOEDirectory *directory, QZPool *pool,
                                            uint32_t options, int64_t *count,
                                            QZStatus *status) noexcept {
  if (status == nullptr) return nullptr;
  if (pool == nullptr || directory == nullptr) {
    *status = QZIOE_FAILED;
    return nullptr;
  }
  QZIOEDirEntry *first = nullptr;
  int64_t members = 0;
  *status =
      bkioedirectorymemberlist(directory->extension, directory, pool, options, &first, &members);
  if (*status != QZ_OK) return nullptr;
  // The caller's count changes only with a listing that succeeds.
  QZList *list = members == 0 ? nullptr
                              : chain_to_list(first, "QZIOE MemberList",
                                              qzioeDirectoryMemberListDestroy, status);
  if (count != nullptr && *status == QZ_OK) *count = members;
  return list;
}

extern "C" QZStatus bkioedirectorylist(QZIOEExtension *extension, const QZChar *name,
                                       uint32_t length, uint32_t kind, uint32_t options,
                                       QZIOEDirEntry **first, int64_t *count) noexcept {
  if (extension == nullptr) return QZIOE_BAD_HANDLE;
  if (first == nullptr || count == nullptr) return QZS_BAD_VALUE;
  *count = 0;
  QZPool *pool = extension->pool;
  QZChar *directory = nullptr;
  uint32_t directory_length = 0;
  if (const QZStatus status =
          listing_directory(extension, name, length, kind, &directory, &directory_length);
      status != QZ_OK)
    return status;
  Chain chain;
  QZIOEDirEntry *own = new_entry(pool);
  if (own == nullptr) {
    pool_release(pool, directory);
    return QZS_NO_MEMORY;
  }
  own->name = directory;
  own->name_length = directory_length;
  own->directory = 1;
  chain.append(own);
  *count = 1;
  // The directory's bytes, converted as every path is.
  PoolBlock<char> bytes(pool, directory_length + 1);
  if (!bytes) return QZS_NO_MEMORY;
  QZTranscoder *outbound = extension->outbound;
  if (directory_length > 0 &&
      outbound->convert(outbound, directory, directory_length * sizeof(QZChar), bytes.get(),
                        directory_length, nullptr, 0) != QZ_OK)
    return QZIOE_FAILED;
  bytes.get()[directory_length] = '\0';
  const ReportSink sink = extension_sink(extension);
  DIR *stream = sys::opendir(bytes.get());
  if (stream == nullptr) return map_errno(kOpenDirErrors, errno, sink);
  const bool full = (options & QZIOE_LIST_FULL_PATHS) != 0;
  const double zone = (options & QZIOE_LIST_INFO) != 0 ? zone_offset() : 0.0;
  const QZStatus status = for_each_member(stream, sink, [&](const char *member) {
    if (hidden(member)) return QZ_OK;
    ++*count;
    QZIOEDirEntry *record = nullptr;
    if (const QZStatus added =
            add_member(extension, pool, chain, member, directory, directory_length, full, &record);
        added != QZ_OK)
      return added;
    if ((options & QZIOE_LIST_INFO) != 0) {
      // The same values as the file items, straight from the member's
      // stat relative to the open directory; a member whose information
      // cannot be had keeps the defaults.
      sys::Stat info{};
      if (sys::fstatat(dirfd(stream), member, &info, 0) == 0) {
        record->size = info.st_size;
        record->modified = modification_time(info, zone);
        record->directory = sys::is_directory(info) ? 1 : 0;
      } else {
        // Reported as for a single name; the member is still listed.
        map_errno(kStatErrors, errno, sink);
      }
    }
    return QZ_OK;
  });
  sys::closedir(stream);
  if (status != QZ_OK) return status;
  *first = chain.release();
  return QZ_OK;
}

extern "C" QZList *qzioedirectorylist(QZIOEExtension *extension, const QZChar *name,
                                      uint32_t length, uint32_t kind, uint32_t options,
                                      int64_t *count, QZStatus *status) noexcept {
  if (status == nullptr) return nullptr;
  if (extension == nullptr) {
    *status = QZIOE_BAD_HANDLE;
    return nullptr;
  }
  QZIOEDirEntry *first = nullptr;
  int64_t entries = 0;
  *status = bkioedirectorylist(extension, name, length, kind, options, &first, &entries);
  if (*status != QZ_OK) return nullptr;
  if (entries == 0) {
    *status = QZIOE_EMPTY_LISTING;
    return nullptr;
  }
  QZList *list = chain_to_list(first, "QZIOE DirectoryList", qzioeDirectoryListDestroy, status);
  if (count != nullptr && list != nullptr) *count = entries;
  return list;
}

extern "C" QZStatus qzioeDirectoryMemberListDestroy(QZListEntry *entry) noexcept {
  if (entry != nullptr && entry->value != nullptr)
    release_entry(static_cast<QZIOEDirEntry *>(entry->value));
  return QZ_OK;
}

// Directory-list records have no information list; the same release serves.
extern "C" QZStatus qzioeDirectoryListDestroy(QZListEntry *entry) noexcept {
  return qzioeDirectoryMemberListDestroy(entry);
}

// File and file-system information as information items and kernel lists.
#include <cerrno>
#include <cstring>

#include "common/errno_map.h"
#include "common/kernel_calls.h"
#include "common/kernel_list.h"
#include "common/syscalls.h"
#include "fsops/internal.h"
#include "paths/byte_path.h"
#include "qzioe/fsops.h"
#include "qzioe/runtime.h"

namespace ioe {
namespace {

constexpr ErrnoRow kStatVfsRows[] = {{ENOENT, QZIOE_NOT_FOUND},
                                     {ENOTDIR, QZIOE_NOT_FOUND},
                                     {ENOLINK, QZIOE_NOT_FOUND},
                                     {EACCES, QZIOE_NO_ACCESS},
                                     {ENAMETOOLONG, QZIOE_NAME_TOO_LONG}};
constexpr ErrnoMap kStatVfsErrors{kStatVfsRows, QZIOE_IO_ERROR, Unlisted::reported};

constexpr QZLiteral kFileSize("FILESIZE");
constexpr QZLiteral kModTime("MODTIME");
constexpr QZLiteral kIsDir("ISDIR");
constexpr QZLiteral kFreeSpace("FREESPACE");
constexpr QZLiteral kFileSysId("FILESYSID");

constexpr QZListOptions kListOptions{{0, 0, 1, 0x20000000u, 0, 0}};

void release_item(QZIOEInfoItem *item) {
  if (item == nullptr) return;
  QZPool *pool = item->pool;
  pool_release(pool, item->name);
  pool_release(pool, item->value_buffer);
  pool_release(pool, item);
}

// The items built so far, released unless handed on.
struct Items {
  QZPool *pool;
  QZIOEInfoItem **array = nullptr;
  uint32_t count = 0;
  uint32_t capacity = 0;
  ~Items() {
    for (uint32_t i = 0; i < count; ++i)
      release_item(array[i]);
    pool_release(pool, array);
  }
  bool allocate(uint32_t slots) {
    array = pool_alloc<QZIOEInfoItem *>(pool, slots * sizeof(QZIOEInfoItem *));
    capacity = slots;
    return array != nullptr;
  }
  template <std::size_t N>
  QZIOEInfoItem *add(const QZLiteral<N> &name, uint32_t type, uint32_t number) {
    auto *item = pool_alloc<QZIOEInfoItem>(pool, sizeof(QZIOEInfoItem), QZ_POOL_ZERO_FILL);
    if (item == nullptr) return nullptr;
    item->pool = pool;
    array[count++] = item;
    item->name = pool_alloc<QZChar>(pool, name.size() * sizeof(QZChar));
    if (item->name == nullptr) return nullptr;
    std::memcpy(item->name, name.chars, name.size() * sizeof(QZChar));
    item->name_length = name.size();
    item->type = type;
    item->number = number;
    return item;
  }
  void hand_over(QZIOEInfoItem ***out, uint32_t *out_count) {
    *out = array;
    *out_count = count;
    array = nullptr;
    count = 0;
  }
};

template <typename T> void store(QZIOEInfoItem *item, T value) {
  static_assert(sizeof(T) <= sizeof item->value);
  std::memcpy(item->value, &value, sizeof value);
}

// The items of an array as keyed list records; the array itself goes once
// the list holds them all.
struct ItemRecords {
  QZIOEInfoItem **items;
  uint32_t count;
  QZPool *pool;
  uint32_t at = 0;
  ListRecord next() const {
    if (at == count) return {nullptr};
    QZIOEInfoItem *item = items[at];
    return {item, item->name, item->name_length * static_cast<uint32_t>(sizeof(QZChar))};
  }
  void taken() { ++at; }
  void release_rest() {
    for (uint32_t i = at; i < count; ++i)
      release_item(items[i]);
    pool_release(pool, items);
  }
};

QZList *to_list(QZIOEInfoItem **items, uint32_t count, QZPool *pool, const char *name,
                QZListDestroyCallback destroy, QZStatus *status) {
  ItemRecords records{items, count, pool};
  if (count == 0) {
    records.release_rest();
    *status = QZIOE_FAILED;
    return nullptr;
  }
  QZList *list = records_to_list(records, kListOptions, name, destroy, status);
  if (list != nullptr) pool_release(pool, items);
  return list;
}

} // namespace

double zone_offset() {
  double offset = 0;
  qzzdtgmt(&offset);
  return offset;
}

double modification_time(const sys::Stat &info, double zone) {
  return static_cast<double>(info.st_mtime) + QZ_EPOCH_1960_TO_1970 + zone;
}

QZStatus file_items(QZIOEExtension *extension, QZPool *pool, const char *path, double zone,
                    QZIOEInfoItem ***items, uint32_t *count) {
  *count = 0;
  sys::Stat info{};
  if (sys::stat(path, &info) != 0) return map_errno(kStatErrors, errno, extension_sink(extension));
  Items built{pool};
  if (!built.allocate(3)) return QZS_NO_MEMORY;
  QZIOEInfoItem *size = built.add(kFileSize, QZIOE_ITEM_INT64, 1);
  if (size == nullptr) return QZS_NO_MEMORY;
  store<int64_t>(size, info.st_size);
  QZIOEInfoItem *time = built.add(kModTime, QZIOE_ITEM_DOUBLE, 2);
  if (time == nullptr) return QZS_NO_MEMORY;
  store<double>(time, modification_time(info, zone));
  QZIOEInfoItem *directory = built.add(kIsDir, QZIOE_ITEM_FLAG, 3);
  if (directory == nullptr) return QZS_NO_MEMORY;
  store<uint32_t>(directory, sys::is_directory(info) ? 1u : 0u);
  built.hand_over(items, count);
  return QZ_OK;
}

QZList *file_info_list(QZIOEExtension *extension, QZPool *pool, const char *path, double zone,
                       QZStatus *status) {
  QZIOEInfoItem **items = nullptr;
  uint32_t count = 0;
  *status = file_items(extension, pool, path, zone, &items, &count);
  if (*status != QZ_OK) return nullptr;
  return to_list(items, count, pool, "QZIOE Info", qzioeInfoDestroy, status);
}

void release_items(QZIOEInfoItem **items, uint32_t count, QZPool *pool) {
  for (uint32_t i = 0; i < count; ++i)
    release_item(items[i]);
  pool_release(pool, items);
}

} // namespace ioe

using namespace ioe;

extern "C" QZStatus bkioeinfo(QZIOEExtension *extension, QZPool *pool, const QZChar *name,
                              uint32_t length, QZIOEInfoItem ***items, uint32_t *count) noexcept {
  if (count != nullptr) *count = 0;
  if (name == nullptr) return QZIOE_FAILED;
  if (extension == nullptr || pool == nullptr) return QZIOE_BAD_HANDLE;
  if (items == nullptr || count == nullptr) return QZS_BAD_VALUE;
  BytePath path(extension, pool);
  if (const QZStatus status = path.make(name, length); status != QZ_OK) return status;
  return file_items(extension, pool, path.c_str(), zone_offset(), items, count);
}

extern "C" QZStatus bkioefsinfo(QZIOEExtension *extension, const QZChar *name, uint32_t length,
                                QZIOEInfoItem ***items, uint32_t *count) noexcept {
  if (count != nullptr) *count = 0;
  if (name == nullptr) return QZIOE_FAILED;
  if (extension == nullptr) return QZIOE_BAD_HANDLE;
  if (items == nullptr || count == nullptr) return QZS_BAD_VALUE;
  BytePath path(extension);
  if (const QZStatus status = path.make(name, length); status != QZ_OK) return status;
  sys::StatVfs info{};
  if (sys::statvfs(path.c_str(), &info) != 0)
    return map_errno(kStatVfsErrors, errno, extension_sink(extension));
  Items built{extension->pool};
  if (!built.allocate(2)) return QZS_NO_MEMORY;
  QZIOEInfoItem *free_space = built.add(kFreeSpace, QZIOE_ITEM_UINT64, 0);
  if (free_space == nullptr) return QZS_NO_MEMORY;
  const uint64_t unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
  store<uint64_t>(free_space, uint64_t(info.f_bavail) * unit);
  QZIOEInfoItem *id = built.add(kFileSysId, QZIOE_ITEM_UINT32, 0);
  if (id == nullptr) return QZS_NO_MEMORY;
  store<uint32_t>(id, static_cast<uint32_t>(info.f_fsid));
  built.hand_over(items, count);
  return QZ_OK;
}

extern "C" QZList *qzioeinfo(QZIOEExtension *extension, QZPool *pool, const QZChar *name,
                             uint32_t length, QZStatus *status) noexcept {
  if (status == nullptr) return nullptr;
  if (pool == nullptr) {
    *status = QZIOE_FAILED;
    return nullptr;
  }
  QZIOEInfoItem **items = nullptr;
  uint32_t count = 0;
  *status = bkioeinfo(extension, pool, name, length, &items, &count);
  if (*status != QZ_OK) return nullptr;
  return to_list(items, count, pool, "QZIOE Info", qzioeInfoDestroy, status);
}

extern "C" QZList *qzioefsinfo(QZIOEExtension *extension, const QZChar *name, uint32_t length,
                               QZStatus *status) noexcept {
  if (status == nullptr) return nullptr;
  if (extension == nullptr) {
    *status = QZIOE_BAD_HANDLE;
    return nullptr;
  }
  QZIOEInfoItem **items = nullptr;
  uint32_t count = 0;
  *status = bkioefsinfo(extension, name, length, &items, &count);
  if (*status != QZ_OK) return nullptr;
  return to_list(items, count, extension->pool, "QZIOE FSInfo", qzioeFSInfoDestroy, status);
}

extern "C" QZStatus qzioeInfoDestroy(QZListEntry *entry) noexcept {
  if (entry != nullptr) release_item(static_cast<QZIOEInfoItem *>(entry->value));
  return QZ_OK;
}

// The same release; a record is always there (release_item ignores none).
extern "C" QZStatus qzioeFSInfoDestroy(QZListEntry *entry) noexcept {
  return qzioeInfoDestroy(entry);
}

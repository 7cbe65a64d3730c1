// List objects: entries kept in the order added, optionally keyed.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "internal.h"

namespace qzk {

namespace {

struct Entry : QZListEntry {
  std::unique_ptr<QZChar[]> key_copy;
};

} // namespace

struct List : QZList {
  Kernel *kernel = nullptr;
  std::string name;
  QZListOptions options{};
  SpinLock lock;
  QZListDestroyCallback callback = nullptr;
  std::vector<Entry *> entries;
  // First entry of each key, by the key's bytes.
  std::unordered_map<std::string_view, Entry *> by_key;
  // Where the entries live: chunks that double in size, kept until the list
  // goes, so that an add costs no allocation of its own.
  std::vector<std::unique_ptr<Entry[]>> chunks;
  size_t chunk_size = 0;
  size_t chunk_used = 0;
};

namespace {

List *FindList(QZList *list) {
  return Find<List>(list, Kind::List);
}

std::string_view KeyView(const void *key, uint32_t key_bytes) {
  return {static_cast<const char *>(key), key_bytes};
}

constexpr size_t kFirstChunk = 4;
constexpr size_t kLargestChunk = 1024;

// An entry of the list's chunks (the list's lock held); null without memory.
Entry *NewEntry(List *list) {
  if (list->chunk_used == list->chunk_size) {
    const size_t size =
        list->chunk_size == 0 ? kFirstChunk : std::min(list->chunk_size * 2, kLargestChunk);
    std::unique_ptr<Entry[]> chunk(new (std::nothrow) Entry[size]);
    if (!chunk) return nullptr;
    list->chunks.push_back(std::move(chunk));
    list->chunk_size = size;
    list->chunk_used = 0;
  }
  return &list->chunks.back()[list->chunk_used++];
}

void FreeEntries(List *list) {
  list->entries.clear();
  list->by_key.clear();
  list->chunks.clear();
  list->chunk_size = list->chunk_used = 0;
}

uint32_t Add(QZList *public_list, QZWord zero1, QZWord zero2, void *value, QZListEntry **entry_out,
             const QZChar *key, uint32_t key_bytes, QZWord zero3) {
  (void)zero1;
  (void)zero2;
  (void)zero3;
  List *list = FindList(public_list);
  if (list == nullptr) {
    Misuse(nullptr, "list add: %p is not a live list", static_cast<void *>(public_list));
    return 0;
  }
  if (Inject(list->kernel, QZK_FAULT_LIST_ADD)) return 0;
  std::unique_ptr<QZChar[]> key_copy;
  if (key != nullptr) {
    // Whole units plus one, so the copy is never empty and a key of an odd
    // byte count is still readable as units.
    const size_t units = key_bytes / sizeof(QZChar) + 1;
    key_copy.reset(new (std::nothrow) QZChar[units]());
    if (!key_copy) return 0;
    std::memcpy(key_copy.get(), key, key_bytes);
  }
  Entry *entry = nullptr;
  {
    std::lock_guard guard(list->lock);
    entry = NewEntry(list);
    if (entry == nullptr) return 0;
    QZListEntry &head = *entry;
    std::memset(&head, 0, sizeof head);
    head.list = public_list;
    head.value = value;
    if (key_copy) {
      entry->key_copy = std::move(key_copy);
      head.key = entry->key_copy.get();
      head.key_bytes = key_bytes;
    }
    if (!list->entries.empty()) list->entries.back()->next = entry;
    list->entries.push_back(entry);
    if (head.key != nullptr) list->by_key.emplace(KeyView(head.key, key_bytes), entry);
  }
  if (entry_out != nullptr) *entry_out = entry;
  return 1;
}

QZStatus SetDestroyCallback(QZList *public_list, QZWord zero, QZListDestroyCallback callback) {
  (void)zero;
  List *list = FindList(public_list);
  if (list == nullptr) {
    Misuse(nullptr, "list set callback: %p is not a live list", static_cast<void *>(public_list));
    return QZK_BAD_ARGUMENT;
  }
  std::lock_guard guard(list->lock);
  list->callback = callback;
  return QZ_OK;
}

uint32_t Count(QZList *public_list) {
  List *list = FindList(public_list);
  if (list == nullptr) {
    Misuse(nullptr, "list count: %p is not a live list", static_cast<void *>(public_list));
    return 0;
  }
  std::lock_guard guard(list->lock);
  return static_cast<uint32_t>(list->entries.size());
}

QZListEntry *EntryAt(QZList *public_list, uint32_t index) {
  List *list = FindList(public_list);
  if (list == nullptr) {
    Misuse(nullptr, "list entry_at: %p is not a live list", static_cast<void *>(public_list));
    return nullptr;
  }
  std::lock_guard guard(list->lock);
  if (index >= list->entries.size()) return nullptr;
  return list->entries[index];
}

QZListEntry *FindEntry(QZList *public_list, const QZChar *key, uint32_t key_bytes) {
  List *list = FindList(public_list);
  if (list == nullptr) {
    Misuse(nullptr, "list find: %p is not a live list", static_cast<void *>(public_list));
    return nullptr;
  }
  if (key == nullptr) return nullptr;
  std::lock_guard guard(list->lock);
  auto it = list->by_key.find(KeyView(key, key_bytes));
  return it == list->by_key.end() ? nullptr : it->second;
}

QZStatus DestroyList(QZList *public_list) {
  List *list = FindList(public_list);
  if (list == nullptr || !Take(public_list, Kind::List)) {
    Misuse(nullptr, "list destroy: %p is not a live list", static_cast<void *>(public_list));
    return QZK_BAD_ARGUMENT;
  }
  {
    std::lock_guard guard(list->kernel->objects_mutex);
    list->kernel->live_lists.erase(list);
  }
  // No lock is held while the callbacks run: they may free the values into
  // pools or take locks of their own.
  if (list->callback != nullptr)
    for (Entry *entry : list->entries)
      list->callback(entry);
  DestroyListNow(list);
  return QZ_OK;
}

} // namespace

void DestroyListNow(List *list) {
  Take(static_cast<QZList *>(list), Kind::List);
  FreeEntries(list);
  list->kernel->lists.fetch_sub(1);
  list->magic = 0;
  delete list;
}

QZList *CreateList(QZHandle *handle, const QZListOptions *options, QZWord zero, const char *name) {
  (void)zero;
  Kernel *kernel = Find<Kernel>(handle, Kind::Kernel);
  if (kernel == nullptr) {
    Misuse(nullptr, "create list: %p is not a kernel handle", static_cast<void *>(handle));
    return nullptr;
  }
  if (Inject(kernel, QZK_FAULT_ALLOCATION)) return nullptr;
  List *list = new (std::nothrow) List;
  if (list == nullptr) return nullptr;
  QZList &head = *list;
  std::memset(&head, 0, sizeof head);
  head.magic = QZ_OBJECT_MAGIC;
  head.destroy = DestroyList;
  head.count = Count;
  head.entry_at = EntryAt;
  head.find = FindEntry;
  head.add = Add;
  head.set_destroy_callback = SetDestroyCallback;
  list->kernel = kernel;
  list->name = name != nullptr ? name : "";
  if (options != nullptr) list->options = *options;
  {
    std::lock_guard guard(kernel->objects_mutex);
    kernel->live_lists.insert(list);
  }
  kernel->lists.fetch_add(1);
  Register(&head, Kind::List, kernel);
  RecordCreation(kernel, QZK_OBJECT_LIST, name, 0);
  return &head;
}

} // namespace qzk

// The kernel handle, the registry of live objects, fault injection and the
// test controls.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <shared_mutex>

#include <unistd.h>

#include "internal.h"

namespace qzk {
namespace {

struct RegistryEntry {
  Kind kind;
  Kernel *kernel;
};

struct Registry {
  std::shared_mutex mutex;
  std::unordered_map<const void *, RegistryEntry> objects;
};

// Never destroyed: objects may be looked up from atexit handlers and from
// threads that outlive main.
Registry &TheRegistry() {
  static Registry *registry = new Registry;
  return *registry;
}

// Threads given a number so far (ThisThread).
constinit std::atomic<uint64_t> threads_numbered{0};

// Misuses through pointers that lead to no kernel (null, garbage, a pointer
// to an object already gone). Every live kernel reports them.
std::atomic<uint32_t> orphan_misuses{0};

const QZChar kProcessIdName[] = {'h', 'o', 's', 't', '.', 'p', 'r', 'o',
                                 'c', 'e', 's', 's', '_', 'i', 'd'};

Kernel *FindKernel(QZHandle *handle) {
  return Find<Kernel>(handle, Kind::Kernel);
}

QZStatus NamedValue(QZHandle *handle, const QZChar *name, uint32_t length, uint32_t type,
                    void *value, uint32_t *size) {
  Kernel *kernel = FindKernel(handle);
  if (kernel == nullptr) {
    Misuse(nullptr, "named value: %p is not a kernel handle", static_cast<void *>(handle));
    return QZK_BAD_ARGUMENT;
  }
  if (Inject(kernel, QZK_FAULT_NAMED_VALUE)) return QZK_INJECTED;
  if (name == nullptr || value == nullptr || size == nullptr) {
    Misuse(kernel, "named value: null name, value or size pointer");
    return QZK_BAD_ARGUMENT;
  }
  const bool is_pid = length == sizeof kProcessIdName / sizeof kProcessIdName[0] &&
                      std::memcmp(name, kProcessIdName, sizeof kProcessIdName) == 0;
  if (!is_pid) return QZK_NO_SUCH_VALUE;
  if (type != QZ_VALUE_INT32 || *size != sizeof(int32_t)) {
    Misuse(kernel, "named value host.process_id: type %u size %u, expected type 3 size 4", type,
           *size);
    return QZK_BAD_ARGUMENT;
  }
  const int32_t pid = static_cast<int32_t>(getpid());
  std::memcpy(value, &pid, sizeof pid);
  return QZ_OK;
}

} // namespace

thread_local constinit LastLookup last_lookup[kKindCount] = {};
constinit std::atomic<uint64_t> registry_removals{0};
thread_local constinit uint32_t thread_number = 0;

uint32_t NumberThisThread() {
  const uint64_t number = threads_numbered.fetch_add(1, std::memory_order_relaxed) + 1;
  thread_number = number < kSharedThread ? static_cast<uint32_t>(number) : kSharedThread;
  return thread_number;
}

void CountShared(Kernel *kernel, QZKFault fault) {
  const uint32_t self = ThisThread();
  uint32_t none = 0;
  if (self != kSharedThread &&
      kernel->counting_thread.compare_exchange_strong(none, self, std::memory_order_relaxed))
    return CountOperation(kernel, fault);
  kernel->shared_count[fault].fetch_add(1, std::memory_order_relaxed);
}

void Register(const void *object, Kind kind, Kernel *kernel) {
  Registry &registry = TheRegistry();
  std::unique_lock guard(registry.mutex);
  registry.objects[object] = RegistryEntry{kind, kernel};
}

Kernel *LookUpOwner(const void *object, Kind kind) {
  if (object == nullptr) return nullptr;
  Registry &registry = TheRegistry();
  std::shared_lock guard(registry.mutex);
  auto it = registry.objects.find(object);
  if (it == registry.objects.end() || it->second.kind != kind) return nullptr;
  last_lookup[static_cast<size_t>(kind)] = {object, it->second.kernel,
                                            registry_removals.load(std::memory_order_relaxed)};
  return it->second.kernel;
}

bool Take(const void *object, Kind kind) {
  if (object == nullptr) return false;
  Registry &registry = TheRegistry();
  std::unique_lock guard(registry.mutex);
  auto it = registry.objects.find(object);
  if (it == registry.objects.end() || it->second.kind != kind) return false;
  registry.objects.erase(it);
  registry_removals.fetch_add(1, std::memory_order_release);
  return true;
}

void Misuse(Kernel *kernel, const char *format, ...) {
  if (kernel != nullptr)
    kernel->misuses.fetch_add(1);
  else
    orphan_misuses.fetch_add(1);
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fprintf(stderr, "qzkernel: misuse: %s\n", text);
}

bool TakeArmedFault(Kernel *kernel, QZKFault fault, uint32_t armed) {
  // At or past the armed count (another thread may have counted between the
  // arming's read and its store, or since this call counted), and of calls
  // racing for it exactly one disarms it.
  return OperationCount(kernel, fault) >= armed &&
         kernel->fault_at[fault].compare_exchange_strong(armed, 0);
}

void RecordCreation(Kernel *kernel, QZKObjectKind kind, const char *name, QZWord context,
                    uint32_t from, uint32_t to) {
  QZKCreation record{};
  record.kind = kind;
  if (name != nullptr) std::snprintf(record.name, sizeof record.name, "%s", name);
  record.context = context;
  record.from = from;
  record.to = to;
  std::lock_guard guard(kernel->creations_mutex);
  kernel->creations.push_back(record);
}

} // namespace qzk

using namespace qzk;

extern "C" {

QZ_EXPORT QZHandle *qzk_kernel_create(const QZKOptions *options) {
  Kernel *kernel = new (std::nothrow) Kernel;
  if (kernel == nullptr) return nullptr;
  QZHandle &handle = *kernel;
  std::memset(&handle, 0, sizeof handle);
  handle.magic = QZ_OBJECT_MAGIC;
  handle.create_lock = CreateLock;
  handle.create_pool = CreatePool;
  handle.create_list = CreateList;
  handle.load_extension = LoadExtension;
  handle.named_value = NamedValue;

  tzset();
  kernel->timezone_value = static_cast<int32_t>(timezone);
  handle.timezone_west = &kernel->timezone_value;
  kernel->orphan_misuse_base = orphan_misuses.load();

  kernel->os_encoding =
      options != nullptr && options->os_encoding != nullptr ? options->os_encoding : "ISO-8859-1";
  // Registered first: the NLS objects record their kernel in the registry.
  Register(&handle, Kind::Kernel, kernel);
  kernel->nls_object = CreateNls(kernel, kernel->os_encoding);
  if (kernel->nls_object != nullptr)
    kernel->byte_transcoder = CreateKernelTranscoder(kernel, QZ_ENC_OS, QZ_ENC_UTF32LE);
  if (kernel->nls_object == nullptr || kernel->byte_transcoder == nullptr) {
    std::fprintf(stderr, "qzkernel: cannot set up encoding \"%s\"\n", kernel->os_encoding.c_str());
    qzk_kernel_destroy(&handle);
    return nullptr;
  }
  handle.nls = PublicNls(kernel->nls_object);
  kernel->byte_record.to_qzchar = PublicTranscoder(kernel->byte_transcoder);
  handle.byte_transcoders = &kernel->byte_record;
  return &handle;
}

QZ_EXPORT void qzk_kernel_destroy(QZHandle *handle) {
  if (handle == nullptr) return;
  Kernel *kernel = FindKernel(handle);
  if (kernel == nullptr || !Take(handle, Kind::Kernel)) {
    Misuse(nullptr, "kernel destroy: %p is not a live kernel", static_cast<void *>(handle));
    return;
  }
  // The object sets are taken over whole, so nothing can reach them any more.
  auto take_all = [kernel](auto &set) {
    std::lock_guard guard(kernel->objects_mutex);
    auto copy = std::move(set);
    set.clear();
    return copy;
  };
  for (FsxFile *file : take_all(kernel->live_files))
    CloseFileNow(file);
  for (Sibling *sibling : take_all(kernel->live_siblings))
    DestroySiblingNow(sibling);
  for (Transcoder *transcoder : take_all(kernel->live_transcoders))
    DestroyTranscoderNow(transcoder);
  for (List *list : take_all(kernel->live_lists))
    DestroyListNow(list);
  for (Lock *lock : take_all(kernel->live_locks))
    DestroyLockNow(lock);
  for (Pool *pool : take_all(kernel->live_pools))
    DestroyPoolNow(pool);
  for (Journal *journal : take_all(kernel->live_journals))
    DestroyJournalNow(journal);
  if (kernel->byte_transcoder != nullptr) DestroyTranscoderNow(kernel->byte_transcoder);
  if (kernel->nls_object != nullptr) DestroyNls(kernel->nls_object);
  delete kernel;
}

QZ_EXPORT void qzk_stats(QZHandle *handle, QZKStats *stats) {
  if (stats == nullptr) return;
  *stats = QZKStats{};
  Kernel *kernel = FindKernel(handle);
  if (kernel == nullptr) {
    Misuse(nullptr, "stats: %p is not a kernel handle", static_cast<void *>(handle));
    return;
  }
  stats->pools = kernel->pools.load();
  {
    std::lock_guard guard(kernel->objects_mutex);
    for (Pool *pool : kernel->live_pools)
      CountBlocks(pool, &stats->blocks, &stats->bytes);
  }
  stats->locks = kernel->locks.load();
  stats->lists = kernel->lists.load();
  stats->transcoders = kernel->transcoders.load();
  stats->extensions = kernel->extensions.load();
  stats->descriptors = kernel->descriptors.load();
  stats->misuses = kernel->misuses.load() + (orphan_misuses.load() - kernel->orphan_misuse_base);
}

QZ_EXPORT void qzk_fail_nth(QZHandle *handle, QZKFault fault, uint32_t nth) {
  Kernel *kernel = FindKernel(handle);
  if (kernel == nullptr || static_cast<unsigned>(fault) >= QZK_FAULT_COUNT) {
    Misuse(kernel, "fail_nth: bad kernel %p or fault kind %d", static_cast<void *>(handle),
           static_cast<int>(fault));
    return;
  }
  kernel->fault_at[fault].store(nth == 0 ? 0 : OperationCount(kernel, fault) + nth);
}

QZ_EXPORT uint32_t qzk_operation_count(QZHandle *handle, QZKFault fault) {
  Kernel *kernel = FindKernel(handle);
  if (kernel == nullptr || static_cast<unsigned>(fault) >= QZK_FAULT_COUNT) {
    Misuse(kernel, "operation_count: bad kernel %p or fault kind %d", static_cast<void *>(handle),
           static_cast<int>(fault));
    return 0;
  }
  return OperationCount(kernel, fault);
}

QZ_EXPORT void qzk_set_sibling_available(QZHandle *handle, const char *name, int available) {
  Kernel *kernel = FindKernel(handle);
  int index = -1;
  if (name != nullptr) {
    if (std::strcmp(name, "qzfsx") == 0) index = static_cast<int>(SiblingKind::Fsx);
    if (std::strcmp(name, "qzhost") == 0) index = static_cast<int>(SiblingKind::Host);
    if (std::strcmp(name, "qzwarden") == 0) index = static_cast<int>(SiblingKind::Warden);
  }
  if (kernel == nullptr || index < 0) {
    Misuse(kernel, "set_sibling_available: bad kernel %p or unknown sibling \"%s\"",
           static_cast<void *>(handle), name != nullptr ? name : "(null)");
    return;
  }
  std::lock_guard guard(kernel->settings_mutex);
  kernel->sibling_available[index] = available != 0;
}

QZ_EXPORT void qzk_set_nls_available(QZHandle *handle, int available) {
  Kernel *kernel = FindKernel(handle);
  if (kernel == nullptr) {
    Misuse(nullptr, "set_nls_available: %p is not a kernel handle", static_cast<void *>(handle));
    return;
  }
  kernel->nls = available != 0 ? PublicNls(kernel->nls_object) : nullptr;
}

QZ_EXPORT void qzk_set_transcoder_refused(QZHandle *handle, uint32_t from, uint32_t to,
                                          int refused) {
  Kernel *kernel = FindKernel(handle);
  if (kernel == nullptr) {
    Misuse(nullptr, "set_transcoder_refused: %p is not a kernel handle",
           static_cast<void *>(handle));
    return;
  }
  std::lock_guard guard(kernel->settings_mutex);
  if (refused != 0)
    kernel->refused_pairs.insert({from, to});
  else
    kernel->refused_pairs.erase({from, to});
}

QZ_EXPORT void qzk_set_fsx_open_status(QZHandle *handle, QZStatus status) {
  Kernel *kernel = Find<Kernel>(handle, Kind::Kernel);
  if (kernel == nullptr) {
    Misuse(nullptr, "set_fsx_open_status: %p is not a kernel handle", static_cast<void *>(handle));
    return;
  }
  std::lock_guard guard(kernel->settings_mutex);
  kernel->fsx_open_status = status;
}

QZ_EXPORT uint32_t qzk_creations(QZHandle *handle, QZKCreation *records, uint32_t capacity) {
  Kernel *kernel = Find<Kernel>(handle, Kind::Kernel);
  if (kernel == nullptr || (records == nullptr && capacity != 0)) {
    Misuse(kernel, "creations: bad kernel %p or null records", static_cast<void *>(handle));
    return 0;
  }
  std::lock_guard guard(kernel->creations_mutex);
  const auto count = static_cast<uint32_t>(kernel->creations.size());
  for (uint32_t i = 0; i < count && i < capacity; ++i)
    records[i] = kernel->creations[i];
  return count;
}

QZ_EXPORT void qzk_clear_creations(QZHandle *handle) {
  Kernel *kernel = Find<Kernel>(handle, Kind::Kernel);
  if (kernel == nullptr) {
    Misuse(nullptr, "clear_creations: %p is not a kernel handle", static_cast<void *>(handle));
    return;
  }
  std::lock_guard guard(kernel->creations_mutex);
  kernel->creations.clear();
}

QZ_EXPORT void qzk_set_vector_limit(QZHandle *handle, QZKVectors limit) {
  Kernel *kernel = FindKernel(handle);
  if (kernel == nullptr || static_cast<int>(limit) < QZK_VECTORS_NONE ||
      static_cast<int>(limit) > QZK_VECTORS_SSSE3) {
    Misuse(kernel, "set_vector_limit: bad kernel %p or limit %d", static_cast<void *>(handle),
           static_cast<int>(limit));
    return;
  }
  kernel->vector_limit.store(limit);
}

QZ_EXPORT void qzk_set_timezone(QZHandle *handle, int32_t seconds_west) {
  Kernel *kernel = FindKernel(handle);
  if (kernel == nullptr) {
    Misuse(nullptr, "set_timezone: %p is not a kernel handle", static_cast<void *>(handle));
    return;
  }
  kernel->timezone_value = seconds_west;
}

QZ_EXPORT void qzk_set_host_name(QZHandle *handle, const char *name) {
  Kernel *kernel = FindKernel(handle);
  if (kernel == nullptr) {
    Misuse(nullptr, "set_host_name: %p is not a kernel handle", static_cast<void *>(handle));
    return;
  }
  std::lock_guard guard(kernel->settings_mutex);
  kernel->host_name_set = name != nullptr;
  kernel->host_name = name != nullptr ? name : "";
}

} // extern "C"

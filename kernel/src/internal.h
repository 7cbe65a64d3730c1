// Private structures of the stand-in kernel.
//
// Every object handed out is a C++ object that starts with (derives from) its
// public record. The extension only ever sees the public record, so every
// entry point first looks the pointer up in a process-wide registry of live
// objects: a null, foreign or already destroyed pointer is then refused
// without reading memory that may no longer belong to us.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <iconv.h>
#include <pthread.h>

#include "qzkernel/standin.h"

namespace qzk {

enum class Kind : uint8_t {
  Kernel,
  Pool,
  Lock,
  List,
  Nls,
  Transcoder,
  Extension,
  File,
  Journal,
};

constexpr size_t kKindCount = static_cast<size_t>(Kind::Journal) + 1;

struct Kernel;

// Registry of live objects, keyed by the address of the public record.
void Register(const void *object, Kind kind, Kernel *kernel);
// Kernel of a live object of that kind, or null (defined below).
inline Kernel *Owner(const void *object, Kind kind);
// Owner through the registry's table and lock.
Kernel *LookUpOwner(const void *object, Kind kind);
// Removes a live object of that kind; false when it is not registered (a
// second destroy, a foreign pointer). Exactly one of several racing callers
// wins, so an object is never torn down twice.
bool Take(const void *object, Kind kind);

// Counts a refused call against `kernel` (or, when the bad pointer does not
// lead to any kernel, against every live kernel) and says why on stderr.
void Misuse(Kernel *kernel, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Counts one operation of that kind; true when fault injection makes this
// one fail (defined below).
inline bool Inject(Kernel *kernel, QZKFault fault);
// The armed part of Inject: true for the one call that takes the fault.
bool TakeArmedFault(Kernel *kernel, QZKFault fault, uint32_t armed);

// Notes a successful creation for qzk_creations.
void RecordCreation(Kernel *kernel, QZKObjectKind kind, const char *name, QZWord context,
                    uint32_t from = 0, uint32_t to = 0);

template <class Derived, class Public> Derived *Find(Public *object, Kind kind) {
  if (object == nullptr || Owner(object, kind) == nullptr) return nullptr;
  return static_cast<Derived *>(object);
}

// A lock for sections of a few instructions (a pool's table, a list's
// entries): uncontended it is one exchange and one store, where a mutex
// costs a call each way; contended it gives the processor up.
class SpinLock {
public:
  void lock() noexcept {
    for (unsigned spins = 0; held_.exchange(true, std::memory_order_acquire); ++spins) {
      while (held_.load(std::memory_order_relaxed))
        if (++spins >= 64) std::this_thread::yield();
    }
  }
  void unlock() noexcept { held_.store(false, std::memory_order_release); }

private:
  std::atomic<bool> held_{false};
};

struct Pool;
struct Lock;
struct List;
struct Nls;
struct Transcoder;
struct Sibling;
struct FsxFile;
struct Journal;

enum class SiblingKind : uint8_t { Fsx, Host, Warden };

struct Kernel : QZHandle {
  // Counters of live objects, read by qzk_stats.
  // Blocks and their bytes are counted by each pool (CountBlocks).
  std::atomic<uint32_t> pools{0};
  std::atomic<uint32_t> locks{0};
  std::atomic<uint32_t> lists{0};
  std::atomic<uint32_t> transcoders{0};
  std::atomic<uint32_t> extensions{0};
  std::atomic<uint32_t> descriptors{0};
  std::atomic<uint32_t> misuses{0};
  // Misuses that could not be traced to a kernel, as counted when this
  // kernel was created.
  uint32_t orphan_misuse_base = 0;

  // Operations of every call that can fail, counted lock-free. The first
  // thread to count owns `own_count` and adds to it with a plain store (a
  // locked add waits for every store before it, which a call per text line
  // feels); the others add to `shared_count`. A count is the sum.
  std::atomic<uint32_t> counting_thread{0}; // ThisThread() of the owner, 0: none yet
  std::atomic<uint32_t> own_count[QZK_FAULT_COUNT] = {};
  std::atomic<uint32_t> shared_count[QZK_FAULT_COUNT] = {};
  std::atomic<uint32_t> fault_at[QZK_FAULT_COUNT] = {}; // 0: disarmed

  // Everything alive, so that destroying the kernel releases it all.
  std::mutex objects_mutex;
  std::unordered_set<Pool *> live_pools;
  std::unordered_set<Lock *> live_locks;
  std::unordered_set<List *> live_lists;
  std::unordered_set<Transcoder *> live_transcoders;
  std::unordered_set<Sibling *> live_siblings;
  std::unordered_set<FsxFile *> live_files;
  std::unordered_set<Journal *> live_journals;

  // Test controls.
  std::mutex settings_mutex;
  bool sibling_available[3] = {true, true, true};
  std::set<std::pair<uint32_t, uint32_t>> refused_pairs;
  bool host_name_set = false;
  std::string host_name;

  QZStatus fsx_open_status = QZ_OK; // 0: qzfsx opens for real
  std::mutex creations_mutex;
  std::vector<QZKCreation> creations;

  std::atomic<QZKVectors> vector_limit{QZK_VECTORS_SSSE3};
  std::string os_encoding;
  Nls *nls_object = nullptr;
  QZByteTranscoders byte_record{};
  Transcoder *byte_transcoder = nullptr; // kernel-owned, not counted
  int32_t timezone_value = 0;
};

// Each thread's last successful lookup of each kind: the same object asked
// again with no removal since is still alive, so hot objects (a handle's
// transcoder, asked once a line; the pool and the list a listing fills in
// turn) skip the lock and the table.
struct LastLookup {
  const void *object;
  Kernel *kernel;
  uint64_t removals;
};
extern thread_local constinit LastLookup last_lookup[kKindCount]
    __attribute__((tls_model("initial-exec")));
// Removals from the registry so far, so that a thread's last answer stays
// good until one.
extern constinit std::atomic<uint64_t> registry_removals;

// Inline: every call on an object starts here.
inline Kernel *Owner(const void *object, Kind kind) {
  const LastLookup &last = last_lookup[static_cast<size_t>(kind)];
  if (object != nullptr && last.object == object &&
      last.removals == registry_removals.load(std::memory_order_acquire))
    return last.kernel;
  return LookUpOwner(object, kind);
}

// A number of the calling thread, from 1; kSharedThread for threads past
// the numbers, which never own a counter.
constexpr uint32_t kSharedThread = UINT32_MAX;
extern thread_local constinit uint32_t thread_number __attribute__((tls_model("initial-exec")));
uint32_t NumberThisThread();
inline uint32_t ThisThread() {
  const uint32_t number = thread_number;
  return number != 0 ? number : NumberThisThread();
}

// Operations of that kind so far.
inline uint32_t OperationCount(const Kernel *kernel, QZKFault fault) {
  return kernel->own_count[fault].load(std::memory_order_relaxed) +
         kernel->shared_count[fault].load(std::memory_order_relaxed);
}

// The counting of a thread that does not own the counters (yet).
void CountShared(Kernel *kernel, QZKFault fault);

inline void CountOperation(Kernel *kernel, QZKFault fault) {
  if (kernel->counting_thread.load(std::memory_order_relaxed) != ThisThread())
    return CountShared(kernel, fault);
  std::atomic<uint32_t> &own = kernel->own_count[fault];
  own.store(own.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); // only we write it
}

// Inline: counted on every call that can fail, and almost never armed.
inline bool Inject(Kernel *kernel, QZKFault fault) {
  CountOperation(kernel, fault);
  const uint32_t armed = kernel->fault_at[fault].load(std::memory_order_relaxed);
  return armed != 0 && TakeArmedFault(kernel, fault, armed);
}

// Pools (pool.cpp).
QZPool *CreatePool(QZHandle *kernel, const QZObjectOptions *options, QZWord context,
                   const char *name);
void DestroyPoolNow(Pool *pool);
// Adds the pool's live blocks and their bytes to the totals.
void CountBlocks(Pool *pool, uint32_t *blocks, uint64_t *bytes);

// Locks (lock.cpp).
QZLock *CreateLock(QZHandle *kernel, const QZObjectOptions *options, QZWord zero, const char *name);
void DestroyLockNow(Lock *lock);

// Lists (list.cpp).
QZList *CreateList(QZHandle *kernel, const QZListOptions *options, QZWord zero, const char *name);
// Frees a list without calling its destroy callback.
void DestroyListNow(List *list);

// NLS (nls.cpp).
// Null when the operating-system encoding is unknown to iconv.
Nls *CreateNls(Kernel *kernel, const std::string &os_encoding);
void DestroyNls(Nls *nls);
QZNls *PublicNls(Nls *nls);
// A transcoder that the kernel owns (word 46): not counted, not injectable.
Transcoder *CreateKernelTranscoder(Kernel *kernel, uint32_t from, uint32_t to);
void DestroyTranscoderNow(Transcoder *transcoder);
QZTranscoder *PublicTranscoder(Transcoder *transcoder);
// Bytes of the kernel's encoding as code points, one per byte when the
// conversion fails.
std::u32string DecodeOsBytes(Kernel *kernel, const char *text);

// Siblings (siblings.cpp).
QZExtension *LoadExtension(QZHandle *kernel, const QZChar *name, uint32_t length, QZWord context);
void DestroySiblingNow(Sibling *sibling);
void CloseFileNow(FsxFile *file);

// Journals (journal.cpp).
void DestroyJournalNow(Journal *journal);
// Appends one line "<severity> <name>: <text>" as status_to_jnl does.
void JournalLine(QZJournal *journal, uint32_t severity, const char *name,
                 const std::u32string &text);

// Catalogue (catalogue.cpp): the message text with its placeholders.
const char *CatalogueName(QZStatus status);
const char *CatalogueText(QZStatus status);

// UTF-8 form of code points; invalid ones become U+FFFD.
std::string ToUtf8(const std::u32string &text);

} // namespace qzk

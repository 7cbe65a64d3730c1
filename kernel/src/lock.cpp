// Locks: pthread mutexes that know their holder, so that a second acquire
// by the holder or a release by another thread is refused, not undefined.
#include <cerrno>
#include <cstring>
#include <new>
#include <thread>

#include "internal.h"

namespace qzk {

struct Lock : QZLock {
  Kernel *kernel = nullptr;
  std::string name;
  pthread_mutex_t mutex;
  // The holder, tracked here so that a release by another thread is refused
  // before it reaches the mutex.
  std::atomic<std::thread::id> owner{};
};

namespace {

Lock *FindLock(QZLock *lock) {
  return Find<Lock>(lock, Kind::Lock);
}

bool IsHeld(const Lock *lock) {
  return lock->owner.load() != std::thread::id();
}

// mode 1 is the only mode there is; wait 0 asks for a try-lock.
QZStatus Acquire(QZLock *public_lock, uint32_t mode, uint32_t wait) {
  Lock *lock = FindLock(public_lock);
  if (lock == nullptr) {
    Misuse(nullptr, "lock acquire: %p is not a live lock", static_cast<void *>(public_lock));
    return QZK_BAD_ARGUMENT;
  }
  if (mode != 1) {
    Misuse(lock->kernel, "lock '%s' acquire: mode %u", lock->name.c_str(), mode);
    return QZK_BAD_ARGUMENT;
  }
  if (Inject(lock->kernel, QZK_FAULT_LOCK_ACQUIRE)) return QZK_LOCK_FAILED;
  if (lock->owner.load() == std::this_thread::get_id()) {
    Misuse(lock->kernel, "lock '%s' acquire: already held by this thread", lock->name.c_str());
    return QZK_LOCK_FAILED;
  }
  const int rc = wait != 0 ? pthread_mutex_lock(&lock->mutex) : pthread_mutex_trylock(&lock->mutex);
  if (rc == EBUSY) return QZK_LOCK_FAILED;
  if (rc != 0) {
    Misuse(lock->kernel, "lock '%s' acquire: %s", lock->name.c_str(), std::strerror(rc));
    return QZK_LOCK_FAILED;
  }
  lock->owner.store(std::this_thread::get_id());
  return QZ_OK;
}

QZStatus Release(QZLock *public_lock) {
  Lock *lock = FindLock(public_lock);
  if (lock == nullptr) {
    Misuse(nullptr, "lock release: %p is not a live lock", static_cast<void *>(public_lock));
    return QZK_BAD_ARGUMENT;
  }
  if (lock->owner.load() != std::this_thread::get_id()) {
    Misuse(lock->kernel, "lock '%s' release: not held by this thread", lock->name.c_str());
    return QZK_BAD_ARGUMENT;
  }
  lock->owner.store(std::thread::id());
  pthread_mutex_unlock(&lock->mutex);
  // An injected failure still releases: it tests the caller's handling of
  // the status, not a lock held for ever.
  return Inject(lock->kernel, QZK_FAULT_LOCK_RELEASE) ? QZK_LOCK_FAILED : QZ_OK;
}

QZStatus DestroyLock(QZLock *public_lock) {
  Lock *lock = FindLock(public_lock);
  if (lock == nullptr) {
    Misuse(nullptr, "lock destroy: %p is not a live lock", static_cast<void *>(public_lock));
    return QZK_BAD_ARGUMENT;
  }
  // Destroying a held mutex is undefined; such a lock stays until the kernel
  // goes.
  if (IsHeld(lock)) {
    Misuse(lock->kernel, "lock '%s' destroy: the lock is held", lock->name.c_str());
    return QZK_BAD_ARGUMENT;
  }
  if (!Take(public_lock, Kind::Lock)) {
    Misuse(nullptr, "lock destroy: %p is not a live lock", static_cast<void *>(public_lock));
    return QZK_BAD_ARGUMENT;
  }
  {
    std::lock_guard guard(lock->kernel->objects_mutex);
    lock->kernel->live_locks.erase(lock);
  }
  DestroyLockNow(lock);
  return QZ_OK;
}

} // namespace

void DestroyLockNow(Lock *lock) {
  Take(static_cast<QZLock *>(lock), Kind::Lock);
  // A lock still held when its kernel goes is freed without pthread's
  // destroy, which may refuse it.
  if (!IsHeld(lock)) pthread_mutex_destroy(&lock->mutex);
  lock->kernel->locks.fetch_sub(1);
  lock->magic = 0;
  delete lock;
}

QZLock *CreateLock(QZHandle *handle, const QZObjectOptions *options, QZWord zero,
                   const char *name) {
  (void)options;
  (void)zero;
  Kernel *kernel = Find<Kernel>(handle, Kind::Kernel);
  if (kernel == nullptr) {
    Misuse(nullptr, "create lock: %p is not a kernel handle", static_cast<void *>(handle));
    return nullptr;
  }
  if (Inject(kernel, QZK_FAULT_ALLOCATION)) return nullptr;
  Lock *lock = new (std::nothrow) Lock;
  if (lock == nullptr) return nullptr;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  const int rc = pthread_mutex_init(&lock->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (rc != 0) {
    delete lock;
    return nullptr;
  }
  QZLock &head = *lock;
  std::memset(&head, 0, sizeof head);
  head.magic = QZ_OBJECT_MAGIC;
  head.destroy = DestroyLock;
  head.acquire = Acquire;
  head.release = Release;
  lock->kernel = kernel;
  lock->name = name != nullptr ? name : "";
  {
    std::lock_guard guard(kernel->objects_mutex);
    kernel->live_locks.insert(lock);
  }
  kernel->locks.fetch_add(1);
  Register(&head, Kind::Lock, kernel);
  RecordCreation(kernel, QZK_OBJECT_LOCK, name, 0);
  return &head;
}

} // namespace qzk

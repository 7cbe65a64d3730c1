// The handle's own small methods.
#include "fileio/internal.h"

extern "C" QZStatus qzioeattachjnl(QZIOEFile *handle, QZJournal *journal) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (file == nullptr || file->lock == nullptr) return QZIOE_BAD_HANDLE;
  QZLock *lock = file->lock;
  if (const QZStatus status = lock->acquire(lock, 1, 1); status != QZ_OK) return status;
  file->journal = journal;
  return lock->release(lock);
}

extern "C" QZStatus qzioeposition2record(QZIOEFile *, QZWord, QZWord) noexcept {
  return QZIOE_NOT_SUPPORTED;
}

extern "C" QZStatus qzioerecord2position(QZIOEFile *, QZWord, QZWord) noexcept {
  return QZIOE_NOT_SUPPORTED;
}

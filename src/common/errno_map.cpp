#include "common/errno_map.h"

#include <algorithm>

namespace ioe {

void report_errno(const ReportSink &sink, int error) noexcept {
  if (sink.journal == nullptr) return;
  QZLock *lock = sink.lock;
  const bool locked = lock != nullptr && lock->acquire(lock, 1, 1) == QZ_OK;
  bkioeerror(sink.extension, error, *sink.journal);
  if (locked) lock->release(lock);
}

QZStatus map_errno(const ErrnoMap &map, int error, const ReportSink &sink) noexcept {
  const auto row = std::find_if(map.rows.begin(), map.rows.end(),
                                [&](const ErrnoRow &r) { return r.error == error; });
  if (row != map.rows.end()) return row->status;
  if (map.unlisted == Unlisted::reported) report_errno(sink, error);
  return map.otherwise;
}

} // namespace ioe

// What the file-system operations share.
#pragma once

#include <cstdint>

#include "common/errno_map.h"
#include "common/pool.h"
#include "common/syscalls.h"
#include "qzioe/fsops.h"
#include "qzioe/paths.h"

namespace ioe {

// opendir (and opening a directory descriptor) and readdir failures.
extern const ErrnoMap kOpenDirErrors;
extern const ErrnoMap kReadDirErrors;
// stat of a file that must exist: ENOENT, EACCES; others reported.
extern const ErrnoMap kStatErrors;

// `directory` + "/" + `name` into `out` (a block of QZIOE_PATH_AREA bytes);
// QZIOE_NAME_TOO_LONG when it does not fit, QZS_NO_MEMORY without a block.
QZStatus join_bytes(const char *directory, const char *name, PoolBlock<char> &out);

// stat of a path that may be a directory: ENOENT gives QZIOE_PATH_NOT_FOUND.
extern const ErrnoMap kIsDirErrors;

enum class FileKind : uint8_t { directory, other, missing };

// What a byte path names, links followed. When it cannot be examined the
// stat's error goes through `errors` (reported as they say) and `*why`,
// when asked for, holds the status.
FileKind examine(QZIOEExtension *extension, const char *path, const ErrnoMap &errors,
                 QZStatus *why = nullptr);

// mkdir of a byte path; an existing directory is success.
QZStatus make_directory_at(QZIOEExtension *extension, const char *path);

// Seconds to add to GMT for the kernel's zone. Listings take it once, not
// once a member: the clock read with it is not wanted.
double zone_offset();
// MODTIME of a file: seconds since 1960 in local time, `zone` as above.
double modification_time(const sys::Stat &info, double zone);

// The file items of a byte path (links followed), from `pool`.
QZStatus file_items(QZIOEExtension *extension, QZPool *pool, const char *path, double zone,
                    QZIOEInfoItem ***items, uint32_t *count);
// The same as the list "QZIOE Info"; null with the status on failure.
QZList *file_info_list(QZIOEExtension *extension, QZPool *pool, const char *path, double zone,
                       QZStatus *status);
// Releases items and their array.
void release_items(QZIOEInfoItem **items, uint32_t count, QZPool *pool);

// True for the names "." and "..".
bool is_dot_or_dot_dot(const char *name);

// Calls visit(name) for each member of an open directory stream, "." and
// ".." left out, until it answers other than QZ_OK (that status is
// returned) or the stream ends; a failing read gives its mapped status.
template <typename Visit>
QZStatus for_each_member(DIR *stream, const ReportSink &sink, Visit visit) {
  for (;;) {
    sys::DirEntry *entry = nullptr;
    if (const int error = sys::readdir(stream, &entry); error != 0)
      return map_errno(kReadDirErrors, error, sink);
    if (entry == nullptr) return QZ_OK;
    if (is_dot_or_dot_dot(entry->d_name)) continue;
    if (const QZStatus status = visit(entry->d_name); status != QZ_OK) return status;
  }
}

// QZIOE_BAD_NAME for a null name or a length of 0: an empty name would
// stand for the working directory.
QZStatus check_name(const QZChar *name, uint32_t length);

} // namespace ioe

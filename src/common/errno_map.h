// System error numbers to statuses, as data: each operation keeps a small
// table of rows beside the call it maps, and map_errno applies it.
#pragma once

#include <cstdint>
#include <span>

#include "qzioe/extension.h"

namespace ioe {

struct ErrnoRow {
  int error;
  QZStatus status;
};

// Whether the system's text for an error that no row names goes to the
// journal.
enum class Unlisted : uint8_t { silent, reported };

struct ErrnoMap {
  std::span<const ErrnoRow> rows;
  QZStatus otherwise; // the status of an error that no row names
  Unlisted unlisted;
};

// Where a report goes: the journal in `*journal`, read under `lock` when
// there is one (a handle's journal may be replaced concurrently).
struct ReportSink {
  QZIOEExtension *extension;
  QZJournal *const *journal;
  QZLock *lock = nullptr;
};

// The extension-wide sink: word 29 of the extension object.
inline ReportSink extension_sink(QZIOEExtension *extension) noexcept {
  return {extension, extension != nullptr ? &extension->journal : nullptr, nullptr};
}

// Sends the system's text for `error` to the sink's journal through
// bkioeerror.
void report_errno(const ReportSink &sink, int error) noexcept;

// The status of `error` under `map`; an unlisted error is reported first
// when the map says so.
QZStatus map_errno(const ErrnoMap &map, int error, const ReportSink &sink) noexcept;

} // namespace ioe

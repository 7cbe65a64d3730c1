// Shared internals of the file-handle layers.
#pragma once

#include <cstdint>

#include "common/pool.h"
#include "fileio/handle.h"
#include "qzioe/fileio.h"

namespace ioe {

// System file record of the POSIX layer: 8 zero-filled words.
struct SysFile {
  int descriptor;       // 0
  QZWord reserved_1[5]; // 1-5
  QZFsxFile *fsx_file;  // 6
  QZWord reserved_7;    // 7
};

inline SysFile *sysfile(const File *file) {
  return static_cast<SysFile *>(file->sysfile);
}

inline bool mode_reads(uint32_t mode) {
  return mode == QZIOE_MODE_INPUT || mode == QZIOE_MODE_UPDATE;
}
inline bool mode_writes(uint32_t mode) {
  return mode != QZIOE_MODE_INPUT;
}
inline bool is_variable(uint32_t format) {
  return format == QZIOE_FORMAT_VARIABLE || format == QZIOE_FORMAT_VARIABLE_ALT;
}

// Record methods refuse the direction the handle was not opened for: its
// buffer and tables were prepared for the other one.
inline QZStatus check_readable(const File *file) {
  if (file == nullptr) return QZIOE_BAD_HANDLE;
  return mode_reads(file->open_mode) ? QZ_OK : QZIOE_NOT_SUPPORTED;
}
inline QZStatus check_writable(const File *file) {
  if (file == nullptr) return QZIOE_BAD_HANDLE;
  return mode_writes(file->open_mode) ? QZ_OK : QZIOE_READ_ONLY;
}

// Maps the line feeds of the buffer's bytes before buf_pos + buf_left
// (lean line handles only; see lf_map).
void index_line_feeds(File *file);

// Buffered input lines whose line feed and carriage return are one byte
// each take the line reader's lean path, which keeps those bytes here and
// finds line feeds in lf_map. Set again whenever the buffer or the inbound
// table changes.
inline void refresh_lean_lines(File *file) {
  const QZIOECCEntry &lf = file->inbound_cc[0];
  const QZIOECCEntry &cr = file->inbound_cc[2];
  // Only buffered input line handles have a map.
  file->lean_lines =
      file->lf_map != nullptr && file->record_length != 0 && lf.length == 1 && cr.length == 1;
  if (file->lean_lines != 0) {
    file->lean_lf = lf.bytes[0];
    file->lean_cr = cr.bytes[0];
    index_line_feeds(file);
  }
}

// Releases carriage-control entries, once each, and empties them.
inline void release_cc_entries(QZPool *pool, QZIOECCEntry *table, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    pool_release(pool, table[i].bytes);
    table[i].length = 0;
  }
}

// Writes the pending output of a buffered writing handle through bk_write.
// Bytes the write did not take stay pending, moved to the buffer's start.
QZStatus write_pending(File *file);

} // namespace ioe

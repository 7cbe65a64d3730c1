/* File-handle services: open and close, the record layer and the POSIX
 * primitives under it. Every function returns a QZStatus (0 success). A
 * handle is used by one caller at a time; distinct handles share nothing
 * mutable. */
#ifndef QZIOE_FILEIO_H
#define QZIOE_FILEIO_H

#include "qzioe/file.h"

QZ_EXTERN_C_BEGIN

/* Opens a file handle (extension word 10). Returns the handle with *status 0,
 * or null with the failure in *status; without a status pointer it returns
 * null and writes nothing. `context` goes to the handle's pool creation and
 * every transcoder creation; `label` (may be null) is copied. */
QZ_EXPORT QZIOEFile *qzioeopen(QZIOEExtension *extension, const QZChar *path, int32_t path_length,
                               const QZIOEOpenOptions *options, QZWord unused, QZWord context,
                               const char *label, QZStatus *status) QZ_NOEXCEPT;
/* Flushes (writing modes), closes and releases everything; the handle is gone
 * afterwards whatever the status. The flush status wins over the close's. */
QZ_EXPORT QZStatus qzioeclose(QZIOEFile *file) QZ_NOEXCEPT;
/* Replaces the handle's journal under its lock; the lock's failure keeps the
 * old journal. */
QZ_EXPORT QZStatus qzioeattachjnl(QZIOEFile *file, QZJournal *journal) QZ_NOEXCEPT;
/* No record numbers are kept: always QZIOE_NOT_SUPPORTED. */
QZ_EXPORT QZStatus qzioeposition2record(QZIOEFile *file, QZWord unused1,
                                        QZWord unused2) QZ_NOEXCEPT;
QZ_EXPORT QZStatus qzioerecord2position(QZIOEFile *file, QZWord unused1,
                                        QZWord unused2) QZ_NOEXCEPT;

/* Record layer. */
QZ_EXPORT QZStatus bkioevec(QZIOEFile *file) QZ_NOEXCEPT;
QZ_EXPORT QZStatus skioe_open(QZIOEFile *file) QZ_NOEXCEPT;
QZ_EXPORT QZStatus skioe_close(QZIOEFile *file) QZ_NOEXCEPT;
/* Writes pending output, then forces the file to storage. Bytes a failing
 * write did not take stay pending for the next flush. */
QZ_EXPORT QZStatus skioe_flush(QZIOEFile *file) QZ_NOEXCEPT;
/* Appends to the output buffer, writing each full 8192-byte block. When a
 * block write fails, what earlier calls handed over stays pending; of this
 * call's bytes only those the file took count (some may be on disk), none
 * appear later. */
QZ_EXPORT QZStatus sk_buf_write(QZIOEFile *file, const void *data, uint32_t length) QZ_NOEXCEPT;

/* Binary records: buffered (sequential) and direct (optionally at an offset;
 * with opt_user_buffer the direct reader fills the caller's buffer at
 * *address). Readers return an address valid until the next call. */
QZ_EXPORT QZStatus skioe_read_bin(QZIOEFile *file, void **address, uint32_t *length, QZWord unused,
                                  int64_t *offset) QZ_NOEXCEPT;
QZ_EXPORT QZStatus skioe_write_bin(QZIOEFile *file, const void *bytes, uint32_t length,
                                   QZWord unused, int64_t *offset) QZ_NOEXCEPT;
QZ_EXPORT QZStatus skioe_read_rbin(QZIOEFile *file, void **address, uint32_t *length, QZWord unused,
                                   int64_t *offset) QZ_NOEXCEPT;
QZ_EXPORT QZStatus skioe_write_rbin(QZIOEFile *file, const void *bytes, uint32_t length,
                                    QZWord unused, int64_t *offset) QZ_NOEXCEPT;

/* Variable-length records: one line per record, in the record encoding.
 * Readers return the next record (the length passed in is ignored) with 0,
 * or a piece of a longer line with QZIOE_RECORD_SPLIT; a mark at the start
 * of any record is skipped and a CR before the LF dropped. When the handle
 * converts, a piece ends on a character boundary of the file encoding. The
 * direct reader leaves the file offset right after the line it returned,
 * also when its conversion fails. Writers add the line feed; the direct
 * writer refuses with QZIOE_LENGTH_TOO_BIG a record that does not fit its
 * area with the line feed, before writing anything. */
QZ_EXPORT QZStatus skioe_read_var(QZIOEFile *file, void **address, uint32_t *length, QZWord unused,
                                  int64_t *offset) QZ_NOEXCEPT;
QZ_EXPORT QZStatus skioe_read_rvar(QZIOEFile *file, void **address, uint32_t *length, QZWord unused,
                                   int64_t *offset) QZ_NOEXCEPT;
QZ_EXPORT QZStatus skioe_write_var(QZIOEFile *file, const void *bytes, uint32_t length,
                                   QZWord unused, int64_t *offset) QZ_NOEXCEPT;
QZ_EXPORT QZStatus skioe_write_rvar(QZIOEFile *file, const void *bytes, uint32_t length,
                                    QZWord unused, int64_t *offset) QZ_NOEXCEPT;

/* Stream records: chunks of the caller's size behind an optional mark, which
 * the readers drop wherever a chunk begins with it and the writers emit once
 * per place where writing began. Direct methods take a file offset; a
 * positioned direct read that drops a mark tops up from right after the
 * bytes it read. */
QZ_EXPORT QZStatus skioe_read_stream(QZIOEFile *file, void **address, uint32_t *length,
                                     QZWord unused, int64_t *offset) QZ_NOEXCEPT;
QZ_EXPORT QZStatus skioe_write_stream(QZIOEFile *file, const void *bytes, uint32_t length,
                                      QZWord unused, int64_t *offset) QZ_NOEXCEPT;
QZ_EXPORT QZStatus skioe_read_rstream(QZIOEFile *file, void **address, uint32_t *length,
                                      QZWord unused, int64_t *offset) QZ_NOEXCEPT;
QZ_EXPORT QZStatus skioe_write_rstream(QZIOEFile *file, const void *bytes, uint32_t length,
                                       QZWord unused, int64_t *offset) QZ_NOEXCEPT;

/* Carriage-control texts in UTF-32LE: 18 outbound entries (two sets of 9) and
 * 6 inbound entries (two identical sets of 3). */
typedef struct QZIOECCText {
  const QZChar *text;
  uint32_t bytes;
} QZIOECCText;
QZ_EXPORT extern const QZIOECCText sk_outbound_cc[18];
QZ_EXPORT extern const QZIOECCText sk_inbound_cc[6];

/* Builds the handle's inbound (direction 0) or outbound (direction 1) table
 * of set 1 or 2 in its file encoding, and cc_max. */
QZ_EXPORT QZStatus setupCCTable(QZIOEFile *file, uint32_t direction, uint32_t set) QZ_NOEXCEPT;

/* POSIX primitives. Positions are byte offsets. */
QZ_EXPORT QZStatus bkioe_open(QZIOEFile *file) QZ_NOEXCEPT;
QZ_EXPORT QZStatus bkioe_close(QZIOEFile *file) QZ_NOEXCEPT;
/* Reads up to `length` bytes (retrying after EINTR); end of file for a
 * non-empty request is QZIOE_END_OF_FILE with *count 0. */
QZ_EXPORT QZStatus bkioe_read(QZIOEFile *file, void *buffer, uint32_t length, uint32_t *count,
                              const int64_t *offset) QZ_NOEXCEPT;
/* Writes all `length` bytes, completing short writes and retrying after EINTR.
 * On failure *count holds the bytes that did reach the file. */
QZ_EXPORT QZStatus bkioe_write(QZIOEFile *file, const void *bytes, uint32_t length, uint32_t *count,
                               const int64_t *offset) QZ_NOEXCEPT;
QZ_EXPORT QZStatus bkioe_flush(QZIOEFile *file) QZ_NOEXCEPT;
QZ_EXPORT QZStatus bkioe_note(QZIOEFile *file, int64_t *position) QZ_NOEXCEPT;
QZ_EXPORT QZStatus bkioe_point(QZIOEFile *file, int64_t *position, uint32_t seek_mode) QZ_NOEXCEPT;
QZ_EXPORT QZStatus bkioeposition2byte(QZIOEFile *file, const int64_t *position,
                                      int64_t *byte) QZ_NOEXCEPT;
QZ_EXPORT QZStatus bkioebyte2position(QZIOEFile *file, const int64_t *byte,
                                      int64_t *position) QZ_NOEXCEPT;
/* Pending buffered output is written first, so it cannot land past the new
 * end of the file. */
QZ_EXPORT QZStatus bkioetruncate(QZIOEFile *file, const int64_t *length) QZ_NOEXCEPT;

QZ_EXTERN_C_END

#endif

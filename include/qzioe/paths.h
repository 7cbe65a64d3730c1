/* Path names: expansion of kernel names into complete operating-system
 * paths, splitting and building paths, and unique names for new files. */
#ifndef QZIOE_PATHS_H
#define QZIOE_PATHS_H

#include "qzioe/extension.h"

QZ_EXTERN_C_BEGIN

/* Bytes of the longest expanded path, its terminating zero byte included. */
#define QZIOE_PATH_AREA 1024u

/* Expands `path` (`length` QZChar, no terminator) into a complete path:
 * `$NAME` references to environment variables (values expanded in turn), a
 * leading `~` or `~user` replaced by a home directory, a leading run of `.`
 * and `..` components resolved against the working directory, the working
 * directory put in front of any other relative name, trailing slashes
 * removed. The name goes through the extension's outbound transcoder at one
 * byte per character and the result back through its inbound transcoder.
 *
 * On success returns 0, *result is a new array from the extension pool and
 * *result_length its length in characters (no terminator; 0 is possible,
 * for `~` with an empty HOME). *result is set as soon as it is allocated,
 * also when the final conversion then fails; it is left untouched on every
 * earlier failure. Callers set it to null first and, whatever the status,
 * release a non-null result with bkioeexpand_path_free.
 *
 * Failures: QZS_NO_MEMORY (a block could not be allocated); QZIOE_FAILED (a
 * character that does not convert to exactly one byte, a zero character in
 * the name, a failed conversion of the result, `..` above the root, or a
 * name that needs the working directory when it cannot be read);
 * QZIOE_NAME_TOO_LONG (the path, or any step of its expansion, would not fit
 * QZIOE_PATH_AREA bytes; a variable name over 123 bytes; a value whose part
 * from its first `$` on is over 1023 bytes; references nested more than 32
 * deep, as values that refer back to themselves are); QZIOE_BAD_HANDLE
 * (no extension, pool or transcoder); QZIOE_BAD_NAME (null path with a
 * nonzero length); QZS_BAD_VALUE (a null out-parameter).
 *
 * Reads the environment and the working directory at the time of the call;
 * safe to call from several threads at once. Reports nothing to a journal. */
QZ_EXPORT QZStatus bkioeexpand_path(QZIOEExtension *extension, const QZChar *path, uint32_t length,
                                    QZChar **result, uint32_t *result_length) QZ_NOEXCEPT;

/* Returns a result of bkioeexpand_path to `pool` (the extension pool) and
 * returns what the pool's free operation returns. A null result is 0 and
 * frees nothing; a null pool is QZIOE_BAD_HANDLE. */
QZ_EXPORT QZStatus bkioeexpand_path_free(QZPool *pool, QZChar *result) QZ_NOEXCEPT;

/* ---- Splitting and building ---- */

/* The bare value (top bit clear, so not a failure code in the usual sense)
 * that bkioesplitpath returns for a null or empty path and bkioebuildpath
 * for a directory over QZIOE_PATH_AREA characters or a working directory
 * that does not convert. Callers test for it by value. */
#define QZIOE_PATH_REFUSED 1u

/* Extension word 14: splits `path` (`length` QZChar) into its directory,
 * file name, base name and extension. The parts point into one new
 * copy of the path from the extension pool; lengths are in characters and
 * nothing is terminated; an absent part is null with length 0.
 *
 * The directory is everything before the last "/" ("/" itself when that is
 * the first character; a//b gives a/); none without a "/". The file name is
 * what follows the last "/", absent when the path ends in "/". The extension
 * follows the last "." of the file name unless that dot ends the path or
 * starts the file name (.profile is a hidden name, not an extension); the
 * base name is the file name without the dot and extension.
 *
 * Returns 0; QZIOE_PATH_REFUSED for a null path or length 0; QZS_NO_MEMORY;
 * QZIOE_NAME_TOO_LONG when the copy's byte count does not fit 32 bits;
 * QZIOE_BAD_HANDLE without extension or pool; QZS_BAD_VALUE for a null
 * out-parameter. Out-parameters are written on success only. The caller
 * releases the copy with bkioesplitpathdestroy. Thread-safe. */
QZ_EXPORT QZStatus bkioesplitpath(QZIOEExtension *extension, const QZChar *path, uint32_t length,
                                  QZChar **directory, uint32_t *directory_length, QZChar **name,
                                  uint32_t *name_length, QZChar **base, uint32_t *base_length,
                                  QZChar **extension_part, uint32_t *extension_length) QZ_NOEXCEPT;

/* Extension word 15: releases a split result, the first of the four
 * pointers that is not null (with the pointers bkioesplitpath returned, in
 * its order, that is the start of the copy). Returns what the pool's free operation returns, 0
 * when all four are null, QZIOE_BAD_HANDLE without extension or pool. */
QZ_EXPORT QZStatus bkioesplitpathdestroy(QZIOEExtension *extension, QZChar *directory, QZChar *name,
                                         QZChar *base, QZChar *extension_part) QZ_NOEXCEPT;

/* Extension word 12: joins directory "/" name "." extension_part and
 * expands the result with bkioeexpand_path. Trailing blanks (U+0020) of each
 * part are dropped. Without a directory (null or length 0) the working
 * directory is used. A "/" goes between the directory and the rest only
 * when there is a name or extension part and the directory does not end in
 * "/"; a directory of blanks only counts as present and empty, so the rest
 * starts at the root. The name always goes below the directory, even when
 * it starts with "/" or "~". A given extension part always brings its ".",
 * even when it is blanks only. Null name or extension part with a length
 * count as absent.
 *
 * *result and *result_length are cleared first; on success *result is a
 * new array from the extension pool (no terminator) and *result_length its
 * length. The caller releases it with bkioebuildpathdestroy.
 *
 * Returns 0; QZIOE_PATH_REFUSED when the directory is over QZIOE_PATH_AREA
 * characters or the working directory does not convert; QZIOE_NAME_TOO_LONG
 * when the joined text is QZIOE_PATH_AREA characters or more; QZIOE_BAD_NAME
 * when it is empty; QZIOE_FAILED when the working directory is needed and
 * cannot be read; any status of bkioeexpand_path; QZIOE_BAD_HANDLE without
 * extension, pool or transcoders; QZS_BAD_VALUE for a null out-parameter.
 * Every failure releases what the call allocated. Thread-safe. */
QZ_EXPORT QZStatus bkioebuildpath(QZIOEExtension *extension, const QZChar *directory,
                                  uint32_t directory_length, const QZChar *name,
                                  uint32_t name_length, const QZChar *extension_part,
                                  uint32_t extension_length, QZChar **result,
                                  uint32_t *result_length) QZ_NOEXCEPT;

/* Releases a path made by bkioebuildpath or qzioecreatename (extension words
 * 13 and 24) and returns what the pool's free operation returns; 0 for a
 * null path, QZIOE_BAD_HANDLE without extension or pool. */
QZ_EXPORT QZStatus bkioebuildpathdestroy(QZIOEExtension *extension, QZChar *path) QZ_NOEXCEPT;

/* ---- Unique names ---- */

/* Name request of qzioecreatename; 20 bytes in the 32-bit build. */
struct QZIOENameRequest {
  const QZChar *prefix;      /* 0x00: used without QZIOE_NAME_UTILITY */
  uint32_t prefix_length;    /* 0x04: characters, at most 1023 */
  const QZChar *extension;   /* 0x08: used with QZIOE_NAME_WITH_EXTENSION */
  uint32_t extension_length; /* 0x0c: characters */
  uint32_t flags;            /* 0x10: QZIOE_NAME_* bits; at least one */
};
QZ_CHECK_SIZE(QZIOENameRequest, 20);
QZ_CHECK_OFFSET(QZIOENameRequest, prefix_length, 0x04);
QZ_CHECK_OFFSET(QZIOENameRequest, extension, 0x08);
QZ_CHECK_OFFSET(QZIOENameRequest, extension_length, 0x0c);
QZ_CHECK_OFFSET(QZIOENameRequest, flags, 0x10);

#define QZIOE_NAME_WITH_EXTENSION 1u    /* add "." and the request's extension */
#define QZIOE_NAME_WITHOUT_EXTENSION 2u /* no extension (only makes the request valid) */
#define QZIOE_NAME_UTILITY 4u           /* QOR_util<counter><process id>_<host>; no prefix */

/* Highest value of the name counter (extension word 32); the value after it
 * is 0. Names take 1, 2, ..., QZIOE_NAME_COUNTER_LAST, 0, 1, ... */
#define QZIOE_NAME_COUNTER_LAST 0xfffeu

/* Makes the full, expanded path of a new file name in `directory` (null or
 * length 0: the working directory), extension word 23. The name is either
 * "QOR_util", four upper-case hexadecimal digits of the counter, eight of
 * the kernel's "host.process_id", "_" and the host name (QZIOE_NAME_UTILITY),
 * or the prefix without its trailing blanks, four digits of the process id's
 * low 16 bits and six of the counter. The file system is not consulted.
 *
 * Each call takes the next counter value in one atomic step, the wrap
 * included, so overlapping calls on one extension never share a value; a
 * refused request still takes one.
 *
 * On success *path is a new array from the extension pool and *path_length
 * its length; both are untouched on failure. Release the path with
 * bkioebuildpathdestroy (word 24).
 *
 * Returns 0; QZIOE_BAD_HANDLE without extension or kernel; QZIOE_FAILED
 * without request, or for a zero character in the prefix; QZS_BAD_VALUE for
 * a null out-parameter; the kernel's status when the process id cannot be
 * had; QZIOE_BAD_OPTIONS when no QZIOE_NAME_* bit is set; QZIOE_BAD_NAME for
 * a null prefix with a length; QZIOE_NAME_TOO_LONG for a prefix over 1023
 * characters; QZS_BUFFER_TOO_SMALL when the name does not fit 1024
 * characters; any status of the path-building word 12. Thread-safe. */
QZ_EXPORT QZStatus qzioecreatename(QZIOEExtension *extension, const QZChar *directory,
                                   uint32_t directory_length, const QZIOENameRequest *request,
                                   QZChar **path, uint32_t *path_length) QZ_NOEXCEPT;

QZ_EXTERN_C_END

#endif

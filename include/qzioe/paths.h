/* Expansion of kernel names into complete operating-system paths. */
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

QZ_EXTERN_C_END

#endif

/* Status codes produced by the extension and its support library. */
#ifndef QZ_STATUS_H
#define QZ_STATUS_H

#include "qz/types.h"

/* True for every failure code (top bit set). */
#define QZ_FAILED(status) (((status)&0x80000000u) != 0)

/* Every status, once: X(name, code, one-line text). The constants below, the
 * kernel's message catalogue and the tests are all generated from this list.
 * A text may hold placeholders that a journal fills from its arguments: %s
 * bytes, %T zero-terminated QZChar text, %S QZChar pointer and length, %u, %d,
 * %x. */
#define QZ_STATUS_CODES(X)                                                                         \
  X(QZ_OK, 0x00000000u, "success")                                                                 \
  /* Kernel support library. */                                                                    \
  X(QZS_NO_MEMORY, 0x803fc002u, "memory could not be obtained")                                    \
  X(QZS_BAD_VALUE, 0x803fc003u, "an argument is outside its accepted values")                      \
  X(QZS_UNSUPPORTED, 0x803fc004u, "the operation is not supported")                                \
  X(QZS_BAD_ARGUMENT_NUMBER, 0x803fc009u, "a format directive names a bad argument")               \
  X(QZS_BUFFER_TOO_SMALL, 0x803fc0c9u, "the formatted output does not fit")                        \
  /* File services. */                                                                             \
  X(QZIOE_NOT_FOUND, 0x80bfe801u, "the file or directory does not exist")                          \
  X(QZIOE_NO_ACCESS, 0x80bfe803u, "access denied or read-only file system")                        \
  X(QZIOE_BAD_OPTIONS, 0x80bfe804u, "the options do not go together")                              \
  X(QZIOE_BAD_MEMBER_NAME, 0x80bfe805u, "the member name is missing or empty")                     \
  X(QZIOE_IN_USE, 0x80bfe807u, "the file is busy or locked by another user")                       \
  X(QZIOE_FAILED, 0x80bfe808u, "the operation failed")                                             \
  X(QZIOE_END_OF_FILE, 0x80bfe80au, "end of file")                                                 \
  X(QZIOE_READ_ONLY, 0x80bfe80bu, "the handle is open for input only")                             \
  X(QZIOE_OPEN_REFUSED, 0x80bfe80du, "the open was refused")                                       \
  X(QZIOE_BAD_HANDLE, 0x80bfe80eu, "a required handle is missing or bad")                          \
  /* Not a failure of the call: the record came in part, the rest follows. */                      \
  X(QZIOE_RECORD_SPLIT, 0x80bfe80fu, "the record continues in the next read")                      \
  X(QZIOE_BAD_FORMAT, 0x80bfe810u, "the record format is not supported")                           \
  X(QZIOE_NO_SPACE, 0x80bfe811u, "no space left")                                                  \
  X(QZIOE_NAME_TOO_LONG, 0x80bfe812u, "the name is too long")                                      \
  X(QZIOE_BAD_NAME, 0x80bfe813u, "the name is missing, empty or ends in . or ..")                  \
  X(QZIOE_NOT_SUPPORTED, 0x80bfe814u, "not available for this handle or device")                   \
  X(QZIOE_IO_ERROR, 0x80bfe815u, "system error: %T")                                               \
  X(QZIOE_PATH_NOT_FOUND, 0x80bfe816u, "a directory on the path does not exist")                   \
  X(QZIOE_BAD_MODE, 0x80bfe819u, "the open mode is out of range")                                  \
  X(QZIOE_BAD_BUFFERING, 0x80bfe81au, "the buffering choice is out of range")                      \
  X(QZIOE_LENGTH_TOO_BIG, 0x80bfe81bu, "the request is longer than the record length")             \
  X(QZIOE_BAD_SWITCH, 0x80bfe81cu, "the auxiliary switch is out of range")                         \
  X(QZIOE_NOT_EMPTY, 0x80bfe81du, "the directory is not empty")                                    \
  X(QZIOE_EXISTS, 0x80bfe81eu, "the target already exists")                                        \
  X(QZIOE_NAME_BUFFER_TOO_SMALL, 0x80bfe820u, "the name does not fit in the buffer")               \
  X(QZIOE_BAD_LOCK_OPTION, 0x80bfe824u, "the lock option is out of range")                         \
  X(QZIOE_NO_MEMBER, 0x80bfe825u, "the path has no member name")                                   \
  X(QZIOE_EMPTY_LISTING, 0x80bfe826u, "the listing is empty")                                      \
  /* Open statuses of the file-system extension qzfsx, as the POSIX layer                          \
   * receives them before translation. */                                                          \
  X(QZFSX_NO_MEMORY, 0x80ffe001u, "qzfsx: out of memory")                                          \
  X(QZFSX_NOT_FOUND, 0x80ffe006u, "qzfsx: the file does not exist")                                \
  X(QZFSX_PATH_NOT_FOUND, 0x80ffe007u, "qzfsx: a directory on the path does not exist")            \
  X(QZFSX_NO_ACCESS, 0x80ffe009u, "qzfsx: access denied")                                          \
  X(QZFSX_REFUSED, 0x80ffe00eu, "qzfsx: the open was refused")                                     \
  X(QZFSX_IN_USE, 0x80ffe00fu, "qzfsx: the file is locked by another user")                        \
  X(QZFSX_IN_USE_LAST, 0x80ffe013u, "qzfsx: the file is in use")                                   \
  X(QZFSX_BUSY, 0x80ffe016u, "qzfsx: the file is busy")

/* The constants: constexpr in C++, an enumeration in C (whose enumerators
 * above INT_MAX are a GNU extension). */
#ifdef __cplusplus
#define QZ_STATUS_CONSTANT_(name, code, text) constexpr QZStatus name = code;
QZ_STATUS_CODES(QZ_STATUS_CONSTANT_)
#else
#define QZ_STATUS_CONSTANT_(name, code, text) name = code,
__extension__ enum QZStatusCode { QZ_STATUS_CODES(QZ_STATUS_CONSTANT_) };
#endif
#undef QZ_STATUS_CONSTANT_

/* Journal severity of operating-system error reports. */
#define QZ_SEVERITY_ERROR 4u

#endif

/* Stand-in for the QZ kernel and its sibling extensions.
 *
 * It offers every kernel operation the extension uses, for real (pools,
 * locks, lists, named values, NLS over iconv, journals, qzfsx, qzhost,
 * qzwarden), plus the controls that tests need: counters of live objects,
 * one-shot fault injection, siblings that can be made unavailable, and a
 * loader that brings the extension up exactly as the kernel does.
 *
 * Every object is safe for concurrent use. The stand-in never crashes on bad
 * input from the extension: a null or foreign object, a double free or an
 * out-of-range value gives a failure status (or null) and counts a misuse.
 */
#ifndef QZKERNEL_STANDIN_H
#define QZKERNEL_STANDIN_H

#include "qz/kernel.h"
#include "qz/status.h"
#include "qzioe/extension.h"

QZ_EXTERN_C_BEGIN

/* Statuses of the stand-in kernel itself, in the form of QZ_STATUS_CODES. */
#define QZK_STATUS_CODES(X)                                                                        \
  X(QZK_BAD_ARGUMENT, 0x807f0001u, "kernel: bad argument")                                         \
  X(QZK_NO_MEMORY, 0x807f0002u, "kernel: out of memory")                                           \
  X(QZK_BUFFER_TOO_SMALL, 0x807f0003u, "kernel: the result does not fit")                          \
  X(QZK_BAD_SEQUENCE, 0x807f0004u, "kernel: invalid or incomplete character sequence")             \
  X(QZK_UNKNOWN_ENCODING, 0x807f0005u, "kernel: unknown encoding")                                 \
  X(QZK_NO_SUCH_VALUE, 0x807f0006u, "kernel: no such named value")                                 \
  X(QZK_LOCK_FAILED, 0x807f0007u, "kernel: the lock could not be acquired")                        \
  X(QZK_INJECTED, 0x807f0008u, "kernel: injected fault")                                           \
  /* qzfsx open failure without a code of its own (EIO, ELOOP, ...). */                            \
  X(QZFSX_FAILED, 0x80ffe0ffu, "qzfsx: the open failed")

#ifdef __cplusplus
#define QZK_STATUS_CONSTANT_(name, code, text) constexpr QZStatus name = code;
QZ_EXTERN_C_END
QZK_STATUS_CODES(QZK_STATUS_CONSTANT_)
QZ_EXTERN_C_BEGIN
#else
#define QZK_STATUS_CONSTANT_(name, code, text) name = code,
__extension__ enum QZKStatusCode { QZK_STATUS_CODES(QZK_STATUS_CONSTANT_) };
#endif
#undef QZK_STATUS_CONSTANT_

typedef struct QZKOptions {
  /* iconv name of encoding 62; null means "ISO-8859-1". */
  const char *os_encoding;
} QZKOptions;

/* A new kernel; options may be null. Null when memory is short. */
QZ_EXPORT QZHandle *qzk_kernel_create(const QZKOptions *options);
/* Releases the kernel and whatever is still alive in it. */
QZ_EXPORT void qzk_kernel_destroy(QZHandle *kernel);

typedef struct QZKStats {
  uint32_t pools;  /* live pools */
  uint32_t blocks; /* live blocks over all pools */
  uint64_t bytes;  /* bytes in live blocks */
  uint32_t locks;
  uint32_t lists;
  uint32_t transcoders; /* created through NLS words 14, 15, 16 */
  uint32_t extensions;  /* loaded sibling extensions not yet released */
  uint32_t descriptors; /* files open through qzfsx */
  uint32_t misuses;     /* bad calls the stand-in refused */
} QZKStats;

QZ_EXPORT void qzk_stats(QZHandle *kernel, QZKStats *stats);

/* Faults that a test can inject. Allocations are pool creations, block
 * allocations and lock, list and transcoder creations. */
typedef enum QZKFault {
  QZK_FAULT_ALLOCATION = 0,
  QZK_FAULT_LOCK_ACQUIRE,  /* lock word 3 fails with QZK_LOCK_FAILED */
  QZK_FAULT_NAMED_VALUE,   /* kernel word 14 fails with QZK_INJECTED */
  QZK_FAULT_CONVERT,       /* transcoder word 4 fails with QZK_INJECTED */
  QZK_FAULT_LIST_ADD,      /* list word 6 answers 0 */
  QZK_FAULT_ENCODING_INFO, /* NLS word 13 fails with QZK_INJECTED */
  QZK_FAULT_TEXT_LENGTH,   /* NLS word 10 fails with QZK_INJECTED */
  QZK_FAULT_LOCK_RELEASE,  /* lock word 4 releases but answers QZK_LOCK_FAILED */
  QZK_FAULT_COUNT
} QZKFault;

/* Makes the nth operation of that kind from now fail once (1 = the next);
 * 0 disarms. */
QZ_EXPORT void qzk_fail_nth(QZHandle *kernel, QZKFault fault, uint32_t nth);
/* Operations of that kind since the kernel was created. */
QZ_EXPORT uint32_t qzk_operation_count(QZHandle *kernel, QZKFault fault);

/* Makes "qzfsx", "qzhost" or "qzwarden" (un)loadable; all start loadable. */
QZ_EXPORT void qzk_set_sibling_available(QZHandle *kernel, const char *name, int available);
/* Without NLS, kernel word 27 is null. */
QZ_EXPORT void qzk_set_nls_available(QZHandle *kernel, int available);
/* Makes transcoder creation from `from` to `to` fail, in that direction only
 * (NLS words 14 to 16; word 15 is 62 to 27, word 16 is 27 to 62). */
QZ_EXPORT void qzk_set_transcoder_refused(QZHandle *kernel, uint32_t from, uint32_t to,
                                          int refused);
/* Makes every qzfsx open fail with `status` before it touches the file
 * system (0: opens work again). */
QZ_EXPORT void qzk_set_fsx_open_status(QZHandle *kernel, QZStatus status);
/* Caps the vector instructions that transcoders made from now on convert
 * with (the processor's own still apply), so that tests reach every path. */
typedef enum QZKVectors {
  QZK_VECTORS_NONE = 0,
  QZK_VECTORS_SSE2,
  QZK_VECTORS_SSSE3 /* and every level the processor has: the start */
} QZKVectors;
QZ_EXPORT void qzk_set_vector_limit(QZHandle *kernel, QZKVectors limit);
/* The value behind kernel word 56; starts as the system zone's. */
QZ_EXPORT void qzk_set_timezone(QZHandle *kernel, int32_t seconds_west);
/* Overrides the host name that qzhost reports (null: gethostname). */
QZ_EXPORT void qzk_set_host_name(QZHandle *kernel, const char *name);

/* What the extension asked the kernel to create, in order: successful
 * creations of pools, locks, lists, counted transcoders and sibling loads,
 * with the names and contexts they were given. */
typedef enum QZKObjectKind {
  QZK_OBJECT_POOL = 0,
  QZK_OBJECT_LOCK,
  QZK_OBJECT_LIST,
  QZK_OBJECT_TRANSCODER,
  QZK_OBJECT_SIBLING
} QZKObjectKind;

typedef struct QZKCreation {
  QZKObjectKind kind;
  char name[64];  /* as given, cut to 63 bytes (transcoders: empty) */
  QZWord context; /* pools, transcoders, siblings; 0 for the others */
  uint32_t from;  /* transcoders: the encodings */
  uint32_t to;
} QZKCreation;

/* Copies up to `capacity` creations (oldest first) and returns how many
 * there were since the kernel was made or last cleared. */
QZ_EXPORT uint32_t qzk_creations(QZHandle *kernel, QZKCreation *records, uint32_t capacity);
QZ_EXPORT void qzk_clear_creations(QZHandle *kernel);

/* Journals. A memory journal keeps one line per message:
 * "<severity> <STATUS_NAME>: <rendered text>\n". */
QZ_EXPORT QZJournal *qzk_journal_create(QZHandle *kernel, int to_stderr);
QZ_EXPORT void qzk_journal_destroy(QZJournal *journal);
/* The memory log, valid until the next call on the journal. */
QZ_EXPORT const char *qzk_journal_text(QZJournal *journal);
QZ_EXPORT uint32_t qzk_journal_messages(QZJournal *journal);
QZ_EXPORT void qzk_journal_clear(QZJournal *journal);

/* Message catalogue: the name ("QZIOE_IO_ERROR") and one-line text of a
 * status; "unknown status" for codes it does not know. */
QZ_EXPORT const char *qzk_status_name(QZStatus status);
QZ_EXPORT const char *qzk_status_text(QZStatus status);

/* The loader: dlopen the library, call qzextent, then qzioe with `context`,
 * exactly as the kernel does. On failure returns null and, when `error` is
 * given, a message in it. */
typedef struct QZKLoaded QZKLoaded;
QZ_EXPORT QZIOEExtension *qzk_load(QZHandle *kernel, const char *library_path, QZWord context,
                                   QZKLoaded **loaded, char *error, size_t error_size);
/* The path the library was loaded from (as the dynamic loader resolved it). */
QZ_EXPORT const char *qzk_loaded_path(const QZKLoaded *loaded);
/* Looks up an exported symbol of the loaded library. */
QZ_EXPORT void *qzk_loaded_symbol(const QZKLoaded *loaded, const char *name);
/* Closes the library; the extension must have been destroyed. */
QZ_EXPORT void qzk_unload(QZKLoaded *loaded);

QZ_EXTERN_C_END

#endif

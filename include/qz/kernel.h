/* Kernel objects as the extension sees them.
 *
 * Every kernel object is a record of machine words, counted from 0, that
 * holds function pointers called with the object first. Only the words the
 * extension uses are named; the rest are reserved and must not be touched.
 * The trailing comment of each field gives its word number.
 */
#ifndef QZ_KERNEL_H
#define QZ_KERNEL_H

#include <stdarg.h>

#include "qz/types.h"

QZ_EXTERN_C_BEGIN

typedef struct QZHandle QZHandle;
typedef struct QZPool QZPool;
typedef struct QZLock QZLock;
typedef struct QZList QZList;
typedef struct QZListEntry QZListEntry;
typedef struct QZNls QZNls;
typedef struct QZTranscoder QZTranscoder;
typedef struct QZExtension QZExtension;
typedef struct QZJournal QZJournal;
typedef struct QZFsxFile QZFsxFile;

/* Twelve-byte option record for lock and pool creation; always zeros. */
typedef struct QZObjectOptions {
  uint32_t words[3];
} QZObjectOptions;
QZ_CHECK_SIZE(QZObjectOptions, 12);

/* Six-word parameter record for list creation. */
typedef struct QZListOptions {
  uint32_t words[6];
} QZListOptions;
QZ_CHECK_SIZE(QZListOptions, 24);

/* Pool allocation flag: the block starts cleared. */
#define QZ_POOL_ZERO_FILL 0x80000000u

/* Named-value type of a 32-bit integer. */
#define QZ_VALUE_INT32 3u

/* NLS encoding numbers. */
#define QZ_ENC_OS 62u      /* the operating system's byte encoding */
#define QZ_ENC_UTF32LE 27u /* the kernel's 32-bit characters */
#define QZ_ENC_UTF8 20u
#define QZ_ENC_UTF16BE 24u
#define QZ_ENC_UTF16LE 25u
#define QZ_ENC_UTF32BE 26u

/* Record of the byte-to-QZChar transcoder (kernel handle word 46). */
typedef struct QZByteTranscoders {
  QZWord reserved_0[5];    /* 0-4 */
  QZTranscoder *to_qzchar; /* 5: kernel byte encoding to QZChar */
} QZByteTranscoders;
QZ_CHECK_OFFSET(QZByteTranscoders, to_qzchar, 20);

struct QZHandle {
  uint32_t magic;       /* 0 */
  QZWord reserved_1[2]; /* 1-2 */
  QZLock *(*create_lock)(QZHandle *kernel, const QZObjectOptions *options, QZWord zero,
                         const char *name); /* 3 */
  QZWord reserved_4[2];                     /* 4-5 */
  QZPool *(*create_pool)(QZHandle *kernel, const QZObjectOptions *options, QZWord context,
                         const char *name); /* 6 */
  QZWord reserved_7;                        /* 7 */
  QZList *(*create_list)(QZHandle *kernel, const QZListOptions *options, QZWord zero,
                         const char *name); /* 8 */
  QZExtension *(*load_extension)(QZHandle *kernel, const QZChar *name, uint32_t length,
                                 QZWord context); /* 9 */
  QZWord reserved_10[4];                          /* 10-13 */
  QZStatus (*named_value)(QZHandle *kernel, const QZChar *name, uint32_t length, uint32_t type,
                          void *value, uint32_t *size); /* 14 */
  QZWord reserved_15[12];                               /* 15-26 */
  QZNls *nls;                                           /* 27 */
  QZWord reserved_28[18];                               /* 28-45 */
  QZByteTranscoders *byte_transcoders;                  /* 46 */
  QZWord reserved_47[9];                                /* 47-55 */
  int32_t *timezone_west;                               /* 56: seconds west of GMT */
};
QZ_CHECK_OFFSET(QZHandle, create_lock, 3 * 4);
QZ_CHECK_OFFSET(QZHandle, create_pool, 6 * 4);
QZ_CHECK_OFFSET(QZHandle, create_list, 8 * 4);
QZ_CHECK_OFFSET(QZHandle, load_extension, 9 * 4);
QZ_CHECK_OFFSET(QZHandle, named_value, 14 * 4);
QZ_CHECK_OFFSET(QZHandle, nls, 27 * 4);
QZ_CHECK_OFFSET(QZHandle, byte_transcoders, 46 * 4);
QZ_CHECK_OFFSET(QZHandle, timezone_west, 56 * 4);

struct QZPool {
  uint32_t magic;                                                  /* 0 */
  QZWord reserved_1;                                               /* 1 */
  QZStatus (*destroy)(QZPool *pool);                               /* 2: frees every block */
  void *(*allocate)(QZPool *pool, uint32_t bytes, uint32_t flags); /* 3 */
  QZStatus (*free_block)(QZPool *pool, void *block);               /* 4 */
};
QZ_CHECK_OFFSET(QZPool, destroy, 2 * 4);
QZ_CHECK_OFFSET(QZPool, allocate, 3 * 4);
QZ_CHECK_OFFSET(QZPool, free_block, 4 * 4);

struct QZLock {
  uint32_t magic;                                                  /* 0 */
  QZWord reserved_1;                                               /* 1 */
  QZStatus (*destroy)(QZLock *lock);                               /* 2 */
  QZStatus (*acquire)(QZLock *lock, uint32_t mode, uint32_t wait); /* 3: (1, 1) */
  QZStatus (*release)(QZLock *lock);                               /* 4 */
};
QZ_CHECK_OFFSET(QZLock, destroy, 2 * 4);
QZ_CHECK_OFFSET(QZLock, acquire, 3 * 4);
QZ_CHECK_OFFSET(QZLock, release, 4 * 4);

/* One entry of a list; the destroy callback receives it. */
struct QZListEntry {
  QZListEntry *next;  /* 0 */
  QZList *list;       /* 1 */
  void *value;        /* 2 */
  const QZChar *key;  /* 3: null for an entry without key */
  uint32_t key_bytes; /* 4 */
};
QZ_CHECK_OFFSET(QZListEntry, value, 2 * 4);

typedef QZStatus (*QZListDestroyCallback)(QZListEntry *entry);

struct QZList {
  uint32_t magic;                                         /* 0 */
  QZWord reserved_1;                                      /* 1 */
  QZStatus (*destroy)(QZList *list);                      /* 2: calls the callback per entry */
  uint32_t (*count)(QZList *list);                        /* 3 */
  QZListEntry *(*entry_at)(QZList *list, uint32_t index); /* 4: in order added */
  QZListEntry *(*find)(QZList *list, const QZChar *key, uint32_t key_bytes); /* 5 */
  uint32_t (*add)(QZList *list, QZWord zero1, QZWord zero2, void *value, QZListEntry **entry,
                  const QZChar *key, uint32_t key_bytes, QZWord zero3); /* 6: nonzero when added */
  QZStatus (*set_destroy_callback)(QZList *list, QZWord zero,
                                   QZListDestroyCallback callback); /* 7 */
};
QZ_CHECK_OFFSET(QZList, destroy, 2 * 4);
QZ_CHECK_OFFSET(QZList, add, 6 * 4);
QZ_CHECK_OFFSET(QZList, set_destroy_callback, 7 * 4);

/* Properties of one encoding (NLS word 13). Byte 20 is the interface. */
typedef struct QZEncodingInfo {
  uint32_t id;             /* 0x00 */
  uint32_t unit_bytes;     /* 0x04: bytes of one code unit */
  uint32_t min_bytes;      /* 0x08: fewest bytes of one character */
  uint32_t reserved_0c[2]; /* 0x0c */
  int8_t max_bytes;        /* 0x14: most bytes of one character */
  uint8_t reserved_15[3];  /* 0x15 */
  const char *name;        /* 0x18: the name the kernel converts with */
} QZEncodingInfo;
QZ_CHECK_OFFSET(QZEncodingInfo, max_bytes, 20);

typedef struct QZTranscoderMethods {
  QZWord reserved_0[17];                         /* 0-16 */
  QZStatus (*destroy)(QZTranscoder *transcoder); /* 17 */
} QZTranscoderMethods;
QZ_CHECK_OFFSET(QZTranscoderMethods, destroy, 17 * 4);

struct QZTranscoder {
  uint32_t magic;                     /* 0 */
  uint32_t from;                      /* 1: source encoding */
  uint32_t to;                        /* 2: target encoding */
  const QZTranscoderMethods *methods; /* 3 */
  /* Converts all source bytes or fails; never writes past capacity. */
  QZStatus (*convert)(QZTranscoder *transcoder, const void *source, uint32_t source_bytes,
                      void *target, uint32_t capacity, uint32_t *produced, QZWord zero); /* 4 */
};
QZ_CHECK_OFFSET(QZTranscoder, methods, 3 * 4);
QZ_CHECK_OFFSET(QZTranscoder, convert, 4 * 4);

struct QZNls {
  uint32_t magic;       /* 0 */
  QZWord reserved_1[9]; /* 1-9 */
  QZStatus (*text_length)(QZNls *nls, uint32_t from, const void *text, uint32_t bytes, uint32_t to,
                          uint32_t *size);                        /* 10: bytes in the target */
  uint32_t (*pair_check)(QZNls *nls, uint32_t from, uint32_t to); /* 11: low byte true: transcode */
  QZWord reserved_12;                                             /* 12 */
  QZStatus (*encoding_info)(QZNls *nls, uint32_t encoding, const QZEncodingInfo **info); /* 13 */
  QZTranscoder *(*create_transcoder)(QZNls *nls, uint32_t from, uint32_t to, QZWord zero,
                                     QZWord context); /* 14 */
  QZTranscoder *(*os_inbound)(QZNls *nls, uint32_t encoding, QZWord zero1,
                              QZWord zero2); /* 15: 62 to QZChar */
  QZTranscoder *(*os_outbound)(QZNls *nls, uint32_t encoding, QZWord zero1,
                               QZWord zero2); /* 16: QZChar to 62 */
};
QZ_CHECK_OFFSET(QZNls, text_length, 10 * 4);
QZ_CHECK_OFFSET(QZNls, pair_check, 11 * 4);
QZ_CHECK_OFFSET(QZNls, encoding_info, 13 * 4);
QZ_CHECK_OFFSET(QZNls, create_transcoder, 14 * 4);
QZ_CHECK_OFFSET(QZNls, os_inbound, 15 * 4);
QZ_CHECK_OFFSET(QZNls, os_outbound, 16 * 4);

/* Open request of qzfsx (8 words, built zeroed). */
typedef struct QZFsxRequest {
  const QZChar *path;     /* 0 */
  uint32_t path_length;   /* 1: characters */
  uint32_t permissions;   /* 2: before the creation mask */
  uint32_t flags;         /* 3: POSIX open flags */
  uint32_t reserved_4[4]; /* 4-7 */
} QZFsxRequest;
QZ_CHECK_SIZE(QZFsxRequest, 32);
QZ_CHECK_OFFSET(QZFsxRequest, flags, 12);

/* Lock requests of the qzfsx open. */
#define QZFSX_LOCK_NONE 0u
#define QZFSX_LOCK_SHARED 1u
#define QZFSX_LOCK_EXCLUSIVE 2u
#define QZFSX_LOCK_FLAG_WAIT 8u /* wait for a conflicting lock to go */

/* Second argument of the qzfsx close: eight words of zeros. */
typedef struct QZFsxCloseRecord {
  uint32_t words[8];
} QZFsxCloseRecord;

typedef struct QZFsxFileMethods {
  QZWord reserved_0[19]; /* 0-18 */
  QZStatus (*close)(QZFsxFile *file, const QZFsxCloseRecord *zeros,
                    QZJournal *journal); /* 19: closes the descriptor */
} QZFsxFileMethods;
QZ_CHECK_OFFSET(QZFsxFileMethods, close, 19 * 4);

struct QZFsxFile {
  uint32_t magic;                  /* 0 */
  QZWord reserved_1[2];            /* 1-2 */
  int *descriptor;                 /* 3 */
  QZWord reserved_4[6];            /* 4-9 */
  const QZFsxFileMethods *methods; /* 10 */
};
QZ_CHECK_OFFSET(QZFsxFile, descriptor, 3 * 4);
QZ_CHECK_OFFSET(QZFsxFile, methods, 10 * 4);

typedef QZFsxFile *(*QZFsxOpenFn)(QZExtension *fsx, const QZFsxRequest *request, uint32_t one,
                                  uint32_t lock_request, QZJournal *journal, QZStatus *status);
/* Host name as QZChar; *count: capacity in, characters stored out. */
typedef QZStatus (*QZHostNameFn)(QZExtension *host, QZChar *buffer, uint32_t *count,
                                 uint32_t selector);

/* Selector of the qzhost host-name operation used by the extension. */
#define QZHOST_NAME_SELECTOR 2u

/* A sibling extension loaded through kernel word 9. */
struct QZExtension {
  uint32_t magic;                              /* 0 */
  QZWord reserved_1;                           /* 1 */
  QZStatus (*release)(QZExtension *extension); /* 2 */
  QZWord reserved_3[15];                       /* 3-17 */
  union {
    QZFsxOpenFn open_file;  /* qzfsx */
    QZHostNameFn host_name; /* qzhost */
    QZWord none;            /* qzwarden */
  } service;                /* 18 */
};
QZ_CHECK_OFFSET(QZExtension, release, 2 * 4);
QZ_CHECK_OFFSET(QZExtension, service, 18 * 4);

/* A message journal. The four slots take the fixed arguments of the stubs
 * qzlMessageToBuf, qzlMessageToJnl, qzlStatusToBuf and qzlStatusToJnl and
 * their further arguments as a va_list. Message texts come from the kernel's
 * catalogue; a QZChar argument of the catalogue is zero-terminated. */
struct QZJournal {
  uint32_t magic;       /* 0 */
  QZWord reserved_1[3]; /* 1-3 */
  QZStatus (*message_to_buf)(QZJournal *journal, QZChar *buffer, uint32_t capacity,
                             uint32_t *length, uint32_t severity, const char *format,
                             va_list args); /* 4 */
  QZStatus (*message_to_jnl)(QZJournal *journal, uint32_t severity, const char *component,
                             const char *format, va_list args); /* 5 */
  QZStatus (*status_to_buf)(QZJournal *journal, QZChar *buffer, uint32_t capacity, uint32_t *length,
                            QZStatus status, va_list args); /* 6 */
  QZStatus (*status_to_jnl)(QZJournal *journal, uint32_t severity, QZStatus status,
                            va_list args); /* 7 */
};
QZ_CHECK_OFFSET(QZJournal, message_to_buf, 4 * 4);
QZ_CHECK_OFFSET(QZJournal, message_to_jnl, 5 * 4);
QZ_CHECK_OFFSET(QZJournal, status_to_buf, 6 * 4);
QZ_CHECK_OFFSET(QZJournal, status_to_jnl, 7 * 4);

/* Locale record of a formatting context; only the decimal point is read. */
typedef struct QZLocale {
  uint8_t reserved_0[0x2f7c];
  QZChar decimal_point; /* byte 0x2f7c */
} QZLocale;
QZ_CHECK_OFFSET(QZLocale, decimal_point, 0x2f7c);

/* Formatting context, the optional first argument of the formatter. */
typedef struct QZFormatContext {
  uint8_t reserved_0[0x170];
  const QZLocale *locale; /* byte 0x170 */
} QZFormatContext;
QZ_CHECK_OFFSET(QZFormatContext, locale, 0x170);

QZ_EXTERN_C_END

#endif

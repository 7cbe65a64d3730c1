/* The extension object and the entry points the kernel calls first. */
#ifndef QZIOE_EXTENSION_H
#define QZIOE_EXTENSION_H

#include "qz/kernel.h"
#include "qz/status.h"

QZ_EXTERN_C_BEGIN

typedef struct QZIOEExtension QZIOEExtension;
typedef struct QZIOEFile QZIOEFile;
typedef struct QZIOEOpenOptions QZIOEOpenOptions;
typedef struct QZIOENameRequest QZIOENameRequest;
typedef struct QZIOEDirectory QZIOEDirectory;

typedef QZIOEFile *(*QZIOEOpenFn)(QZIOEExtension *extension, const QZChar *path,
                                  int32_t path_length, const QZIOEOpenOptions *options,
                                  QZWord unused, QZWord context, const char *label,
                                  QZStatus *status);

typedef QZStatus (*QZIOEVersionFn)(QZIOEExtension *extension, int32_t *major, int32_t *minor,
                                   int32_t *patch);

/* File-system services (qzioe/fsops.h). */
typedef QZList *(*QZIOEInfoFn)(QZIOEExtension *extension, QZPool *pool, const QZChar *name,
                               uint32_t length, QZStatus *status);
typedef QZList *(*QZIOEFsInfoFn)(QZIOEExtension *extension, const QZChar *name, uint32_t length,
                                 QZStatus *status);
typedef QZStatus (*QZIOENameFn)(QZIOEExtension *extension, const QZChar *name, uint32_t length);
typedef QZStatus (*QZIOERemoveFn)(QZIOEExtension *extension, const QZChar *name, uint32_t length,
                                  uint32_t flags);
typedef QZStatus (*QZIOENamePairFn)(QZIOEExtension *extension, const QZChar *first,
                                    uint32_t first_length, const QZChar *second,
                                    uint32_t second_length);

typedef QZIOEDirectory *(*QZIOEDirOpenFn)(QZIOEExtension *extension, const QZChar *name,
                                          int32_t length, uint32_t options, QZWord unused,
                                          QZWord context, const char *label, QZStatus *status);
typedef QZList *(*QZIOEDirListFn)(QZIOEExtension *extension, const QZChar *name, uint32_t length,
                                  uint32_t kind, uint32_t options, int64_t *count,
                                  QZStatus *status);

/* Path services (qzioe/paths.h): split, build, unique names, and the one
 * release of a built path or name. */
typedef QZStatus (*QZIOEBuildPathFn)(QZIOEExtension *extension, const QZChar *directory,
                                     uint32_t directory_length, const QZChar *name,
                                     uint32_t name_length, const QZChar *extension_part,
                                     uint32_t extension_length, QZChar **result,
                                     uint32_t *result_length);
typedef QZStatus (*QZIOEPathDestroyFn)(QZIOEExtension *extension, QZChar *path);
typedef QZStatus (*QZIOESplitPathFn)(QZIOEExtension *extension, const QZChar *path, uint32_t length,
                                     QZChar **directory, uint32_t *directory_length, QZChar **name,
                                     uint32_t *name_length, QZChar **base, uint32_t *base_length,
                                     QZChar **extension_part, uint32_t *extension_length);
typedef QZStatus (*QZIOESplitPathDestroyFn)(QZIOEExtension *extension, QZChar *directory,
                                            QZChar *name, QZChar *base, QZChar *extension_part);
typedef QZStatus (*QZIOECreateNameFn)(QZIOEExtension *extension, const QZChar *directory,
                                      uint32_t directory_length, const QZIOENameRequest *request,
                                      QZChar **path, uint32_t *path_length);

#define QZIOE_HOST_NAME_MAX 30

/* The one extension object: the table of services and their shared state.
 * 268 bytes; the kernel reads it by position. After start-up only
 * name_counter changes, and only atomically. */
struct QZIOEExtension {
  uint32_t magic;                                 /* 0 */
  QZWord reserved_1[2];                           /* 1-2: 0 */
  QZIOEVersionFn getreqversion;                   /* 3 */
  QZIOEVersionFn getversion;                      /* 4 */
  QZHandle *kernel;                               /* 5 */
  QZStatus (*destroy)(QZIOEExtension *extension); /* 6 */
  QZWord reserved_7[2];                           /* 7-8: 0 */
  QZIOEDirOpenFn directoryopen;                   /* 9 */
  QZIOEOpenFn open;                               /* 10 */
  QZWord reserved_11;                             /* 11: 0 */
  QZIOEBuildPathFn buildpath;                     /* 12 */
  QZIOEPathDestroyFn buildpathdestroy;            /* 13 */
  QZIOESplitPathFn splitpath;                     /* 14 */
  QZIOESplitPathDestroyFn splitpathdestroy;       /* 15 */
  QZIOENamePairFn copy;                           /* 16 */
  QZIOENameFn exist;                              /* 17 */
  QZIOENameFn makedirectory;                      /* 18 */
  QZIOERemoveFn remove;                           /* 19 */
  QZIOENamePairFn rename;                         /* 20 */
  QZIOEInfoFn info;                               /* 21 */
  QZIOEFsInfoFn fsinfo;                           /* 22 */
  QZIOECreateNameFn createname;                   /* 23 */
  QZIOEPathDestroyFn createnamedestroy;           /* 24: the same as word 13 */
  QZIOEDirListFn directorylist;                   /* 25 */
  QZHandle *kernel_2;                             /* 26: file and directory pools */
  QZPool *pool;                                   /* 27 */
  QZPool *alloc_pool;                             /* 28: the same pool as word 27 */
  QZJournal *journal;                             /* 29: set by the kernel, never here */
  QZNls *nls;                                     /* 30 */
  QZExtension *fsx;                               /* 31: or 0 */
  volatile int32_t name_counter;                  /* 32 */
  QZExtension *warden;                            /* 33 */
  QZChar host_name[QZIOE_HOST_NAME_MAX];          /* 34-63 */
  uint32_t host_name_length;                      /* 64: 0 to 30 */
  QZTranscoder *outbound;                         /* 65: QZChar to encoding 62 */
  QZTranscoder *inbound;                          /* 66: encoding 62 to QZChar */
};
QZ_CHECK_SIZE(QZIOEExtension, 268);
QZ_CHECK_OFFSET(QZIOEExtension, getreqversion, 0x0c);
QZ_CHECK_OFFSET(QZIOEExtension, getversion, 0x10);
QZ_CHECK_OFFSET(QZIOEExtension, kernel, 0x14);
QZ_CHECK_OFFSET(QZIOEExtension, destroy, 0x18);
QZ_CHECK_OFFSET(QZIOEExtension, directoryopen, 0x24);
QZ_CHECK_OFFSET(QZIOEExtension, open, 0x28);
QZ_CHECK_OFFSET(QZIOEExtension, buildpath, 0x30);
QZ_CHECK_OFFSET(QZIOEExtension, buildpathdestroy, 0x34);
QZ_CHECK_OFFSET(QZIOEExtension, splitpath, 0x38);
QZ_CHECK_OFFSET(QZIOEExtension, splitpathdestroy, 0x3c);
QZ_CHECK_OFFSET(QZIOEExtension, copy, 0x40);
QZ_CHECK_OFFSET(QZIOEExtension, rename, 0x50);
QZ_CHECK_OFFSET(QZIOEExtension, createname, 0x5c);
QZ_CHECK_OFFSET(QZIOEExtension, createnamedestroy, 0x60);
QZ_CHECK_OFFSET(QZIOEExtension, directorylist, 0x64);
QZ_CHECK_OFFSET(QZIOEExtension, kernel_2, 0x68);
QZ_CHECK_OFFSET(QZIOEExtension, pool, 0x6c);
QZ_CHECK_OFFSET(QZIOEExtension, alloc_pool, 0x70);
QZ_CHECK_OFFSET(QZIOEExtension, journal, 0x74);
QZ_CHECK_OFFSET(QZIOEExtension, nls, 0x78);
QZ_CHECK_OFFSET(QZIOEExtension, fsx, 0x7c);
QZ_CHECK_OFFSET(QZIOEExtension, name_counter, 0x80);
QZ_CHECK_OFFSET(QZIOEExtension, warden, 0x84);
QZ_CHECK_OFFSET(QZIOEExtension, host_name, 0x88);
QZ_CHECK_OFFSET(QZIOEExtension, host_name_length, 0x100);
QZ_CHECK_OFFSET(QZIOEExtension, outbound, 0x104);
QZ_CHECK_OFFSET(QZIOEExtension, inbound, 0x108);

/* The kernel's handle, stored by qzextent before the entry runs. */
QZ_EXPORT extern QZHandle *Exported_QZHandle;

/* Stores the kernel handle in Exported_QZHandle and returns it. Called once,
 * before anything else. */
QZ_EXPORT QZHandle *qzextent(QZHandle *kernel) QZ_NOEXCEPT;

/* Builds the extension object, or returns null when the pool, the object,
 * the NLS object, a transcoder of encoding 62 or qzwarden cannot be had.
 * `context` goes unchanged to the pool creation and the sibling loads. */
QZ_EXPORT QZIOEExtension *qzioe(QZHandle *kernel, QZWord context) QZ_NOEXCEPT;

/* Releases everything the entry built; the last call on the object. 0. */
QZ_EXPORT QZStatus qzioedestroy(QZIOEExtension *extension) QZ_NOEXCEPT;

/* Kernel version required (3.1.1) and own version (3.2.1). Always 0. */
QZ_EXPORT QZStatus qzioegetreqversion(QZIOEExtension *extension, int32_t *major, int32_t *minor,
                                      int32_t *patch) QZ_NOEXCEPT;
QZ_EXPORT QZStatus qzioegetversion(QZIOEExtension *extension, int32_t *major, int32_t *minor,
                                   int32_t *patch) QZ_NOEXCEPT;

/* POSIX-layer start and end: load qzfsx into word 31, release it. Always 0. */
QZ_EXPORT QZStatus bkioe(QZIOEExtension *extension) QZ_NOEXCEPT;
QZ_EXPORT QZStatus bkioedestroy(QZIOEExtension *extension) QZ_NOEXCEPT;

/* Sends the system's text for `error_number` to `journal` as the message of
 * QZIOE_IO_ERROR at severity 4, zero-terminated. Reports nothing for a null
 * journal or an error number without text. Always 0; thread-safe. */
QZ_EXPORT QZStatus bkioeerror(QZIOEExtension *extension, int error_number,
                              QZJournal *journal) QZ_NOEXCEPT;

/* Journal stubs: call journal word 4, 5, 6 or 7 with the fixed arguments
 * and the further ones as a va_list; return that slot's result. */
QZ_EXPORT QZStatus qzlMessageToBuf(QZJournal *journal, QZChar *buffer, uint32_t capacity,
                                   uint32_t *length, uint32_t severity, const char *format,
                                   ...) QZ_NOEXCEPT;
QZ_EXPORT QZStatus qzlMessageToJnl(QZJournal *journal, uint32_t severity, const char *component,
                                   const char *format, ...) QZ_NOEXCEPT;
QZ_EXPORT QZStatus qzlStatusToBuf(QZJournal *journal, QZChar *buffer, uint32_t capacity,
                                  uint32_t *length, QZStatus status, ...) QZ_NOEXCEPT;
QZ_EXPORT QZStatus qzlStatusToJnl(QZJournal *journal, uint32_t severity, QZStatus status,
                                  ...) QZ_NOEXCEPT;

QZ_EXTERN_C_END

#endif

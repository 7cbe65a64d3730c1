/* File-system operations: information about files and file systems,
 * existence, directory creation, removal, rename and copy. Names are QZChar
 * arrays with a length in characters; every name is expanded as
 * bkioeexpand_path does before the system sees it. Errors without a status
 * of their own are reported to the extension's journal (word 29). */
#ifndef QZIOE_FSOPS_H
#define QZIOE_FSOPS_H

#include "qzioe/extension.h"

QZ_EXTERN_C_BEGIN

/* One information item: the value of an entry of the lists "QZIOE Info" and
 * "QZIOE FSInfo" (36 bytes), allocated zero-filled from `pool`. */
typedef struct QZIOEInfoItem {
  uint32_t type;        /* 0x00: 3 size, 9 time, 13 flag, 4 free space, 6 id */
  QZChar *name;         /* 0x04: "FILESIZE", ... without terminator */
  uint32_t name_length; /* 0x08 */
  uint8_t value[8];     /* 0x0c: little-endian value; unused bytes 0 */
  void *value_buffer;   /* 0x14: always null here */
  uint32_t zero;        /* 0x18 */
  QZPool *pool;         /* 0x1c: owns the record, its name and value buffer */
  uint32_t number;      /* 0x20: 1 size, 2 time, 3 directory flag; 0 file-system items */
} QZIOEInfoItem;
QZ_CHECK_SIZE(QZIOEInfoItem, 36);
QZ_CHECK_OFFSET(QZIOEInfoItem, name, 4);
QZ_CHECK_OFFSET(QZIOEInfoItem, name_length, 8);
QZ_CHECK_OFFSET(QZIOEInfoItem, value, 12);
QZ_CHECK_OFFSET(QZIOEInfoItem, value_buffer, 20);
QZ_CHECK_OFFSET(QZIOEInfoItem, zero, 24);
QZ_CHECK_OFFSET(QZIOEInfoItem, pool, 28);
QZ_CHECK_OFFSET(QZIOEInfoItem, number, 32);

#define QZIOE_ITEM_INT64 3u
#define QZIOE_ITEM_UINT64 4u
#define QZIOE_ITEM_UINT32 6u
#define QZIOE_ITEM_DOUBLE 9u
#define QZIOE_ITEM_FLAG 13u

/* File information: FILESIZE (64-bit size), MODTIME (seconds since
 * 1960-01-01 in local time, the kernel's zone), ISDIR (bit 0), links
 * followed. The items, their names and the array come from `pool`; the
 * count is 0 until success. */
QZ_EXPORT QZStatus bkioeinfo(QZIOEExtension *extension, QZPool *pool, const QZChar *name,
                             uint32_t length, QZIOEInfoItem ***items, uint32_t *count) QZ_NOEXCEPT;
/* File-system information: FREESPACE (bytes available to unprivileged
 * users) and FILESYSID, from the extension's pool. */
QZ_EXPORT QZStatus bkioefsinfo(QZIOEExtension *extension, const QZChar *name, uint32_t length,
                               QZIOEInfoItem ***items, uint32_t *count) QZ_NOEXCEPT;
/* The same as kernel lists keyed by item name (words 21 and 22); null on
 * failure with the status in *status. The list's destroy callback releases
 * the items. */
QZ_EXPORT QZList *qzioeinfo(QZIOEExtension *extension, QZPool *pool, const QZChar *name,
                            uint32_t length, QZStatus *status) QZ_NOEXCEPT;
QZ_EXPORT QZList *qzioefsinfo(QZIOEExtension *extension, const QZChar *name, uint32_t length,
                              QZStatus *status) QZ_NOEXCEPT;
QZ_EXPORT QZStatus qzioeInfoDestroy(QZListEntry *entry) QZ_NOEXCEPT;
QZ_EXPORT QZStatus qzioeFSInfoDestroy(QZListEntry *entry) QZ_NOEXCEPT;

/* 0 when the path exists (links followed). A null name or length 0 is
 * QZIOE_BAD_NAME: the empty name would stand for the working directory. */
QZ_EXPORT QZStatus bkioeexist(QZIOEExtension *extension, const QZChar *name,
                              uint32_t length) QZ_NOEXCEPT;
/* 0 for a directory, 1 for another existing file, else a status
 * (QZIOE_PATH_NOT_FOUND when missing). */
QZ_EXPORT QZStatus bkioeisdir(QZIOEExtension *extension, const QZChar *name,
                              uint32_t length) QZ_NOEXCEPT;
/* Creates the last component (mode 0777 less the umask); an existing
 * directory is success, an existing other file QZIOE_EXISTS. */
QZ_EXPORT QZStatus bkioemakedirectory(QZIOEExtension *extension, const QZChar *name,
                                      uint32_t length) QZ_NOEXCEPT;
/* Removes a file or an empty directory; with flag QZIOE_REMOVE_TREE a
 * directory with everything below it. The tree is walked through directory
 * descriptors, each member addressed by its literal name and examined
 * without following links: a link is removed, never descended into. A
 * failure part-way leaves what was removed so far removed. */
#define QZIOE_REMOVE_TREE 1u
QZ_EXPORT QZStatus bkioeremove(QZIOEExtension *extension, const QZChar *name, uint32_t length,
                               uint32_t flags) QZ_NOEXCEPT;
/* rename(2) of the two expanded names; no copy across file systems. */
QZ_EXPORT QZStatus bkioerename(QZIOEExtension *extension, const QZChar *old_name,
                               uint32_t old_length, const QZChar *new_name,
                               uint32_t new_length) QZ_NOEXCEPT;
/* Copies a file, or a directory with everything below it, to a destination
 * that must not exist. Contents only: new files get the process's default
 * mode. Members of a tree are addressed by their literal names below the
 * expanded source and destination. */
QZ_EXPORT QZStatus bkioecopy(QZIOEExtension *extension, const QZChar *source,
                             uint32_t source_length, const QZChar *destination,
                             uint32_t destination_length) QZ_NOEXCEPT;

QZ_EXTERN_C_END

#endif

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

/* Directory handle (68 bytes, zero-filled, from its own pool "qzioed%d").
 * Words 0 to 5 are called or read by the kernel by position. */
typedef QZStatus (*QZIOEDirCloseFn)(QZIOEDirectory *directory);
typedef QZStatus (*QZIOEDirMemberExistFn)(QZIOEDirectory *directory, const QZChar *member,
                                          int32_t length);
typedef QZList *(*QZIOEDirMemberListFn)(QZIOEDirectory *directory, QZPool *pool, uint32_t options,
                                        int64_t *count, QZStatus *status);
typedef QZStatus (*QZIOEDirReadFn)(QZIOEDirectory *directory, QZChar *buffer, uint32_t *length,
                                   uint32_t unused);
struct QZIOEDirectory {
  uint32_t magic;                     /* 0 */
  char *label;                        /* 1: copy of the caller's label, or 0 */
  QZIOEDirCloseFn close;              /* 2: qzioedirectoryclose */
  QZIOEDirMemberExistFn member_exist; /* 3 */
  QZIOEDirMemberListFn member_list;   /* 4 */
  QZIOEDirReadFn read;                /* 5: bkioereaddir */
  QZWord reserved_6;                  /* 6: 0 */
  QZIOEExtension *extension;          /* 7 */
  QZPool *pool;                       /* 8 */
  QZPool *alloc_pool;                 /* 9: the same pool; holds the name */
  QZJournal *journal;                 /* 10: always null */
  void **stream;                      /* 11: block holding the open directory stream */
  uint32_t options;                   /* 12: QZIOE_DIR_HIDDEN */
  QZChar *name;                       /* 13: the name as given, length + 1 units */
  uint32_t name_length;               /* 14 */
  QZWord reserved_15[2];              /* 15-16: 0 */
};
QZ_CHECK_SIZE(QZIOEDirectory, 68);
QZ_CHECK_OFFSET(QZIOEDirectory, close, 2 * 4);
QZ_CHECK_OFFSET(QZIOEDirectory, member_exist, 3 * 4);
QZ_CHECK_OFFSET(QZIOEDirectory, member_list, 4 * 4);
QZ_CHECK_OFFSET(QZIOEDirectory, read, 5 * 4);
QZ_CHECK_OFFSET(QZIOEDirectory, extension, 7 * 4);
QZ_CHECK_OFFSET(QZIOEDirectory, stream, 11 * 4);
QZ_CHECK_OFFSET(QZIOEDirectory, options, 12 * 4);
QZ_CHECK_OFFSET(QZIOEDirectory, name, 13 * 4);
QZ_CHECK_OFFSET(QZIOEDirectory, name_length, 14 * 4);

/* Directory option: names that begin with "." are delivered too. */
#define QZIOE_DIR_HIDDEN 4u
/* Listing options: full path names; information per member. */
#define QZIOE_LIST_FULL_PATHS 1u
#define QZIOE_LIST_INFO 2u
/* Kinds of qzioedirectorylist. */
#define QZIOE_LIST_NAMED 0u
#define QZIOE_LIST_CONTAINING 1u
#define QZIOE_LIST_ROOT 2u
#define QZIOE_LIST_HOME 3u

/* Entry record of member and directory lists (48 bytes). */
typedef struct QZIOEDirEntry QZIOEDirEntry;
struct QZIOEDirEntry {
  QZChar *name;         /* 0x00: without terminator */
  uint32_t name_length; /* 0x04 */
  int64_t size;         /* 0x08: -1 when unknown */
  double modified;      /* 0x10: as MODTIME; -1.0 when unknown */
  double second_time;   /* 0x18: -1.0 */
  uint32_t directory;   /* 0x20: 1 for a directory */
  QZList *info;         /* 0x24: member lists with QZIOE_LIST_INFO */
  QZPool *pool;         /* 0x28: owns the record and its name */
  QZIOEDirEntry *next;  /* 0x2c */
};
QZ_CHECK_SIZE(QZIOEDirEntry, 48);
QZ_CHECK_OFFSET(QZIOEDirEntry, size, 8);
QZ_CHECK_OFFSET(QZIOEDirEntry, modified, 16);
QZ_CHECK_OFFSET(QZIOEDirEntry, second_time, 24);
QZ_CHECK_OFFSET(QZIOEDirEntry, directory, 32);
QZ_CHECK_OFFSET(QZIOEDirEntry, info, 36);
QZ_CHECK_OFFSET(QZIOEDirEntry, pool, 40);
QZ_CHECK_OFFSET(QZIOEDirEntry, next, 44);

/* Opens a directory handle (word 9); null with the status on failure. */
QZ_EXPORT QZIOEDirectory *qzioedirectoryopen(QZIOEExtension *extension, const QZChar *name,
                                             int32_t length, uint32_t options, QZWord unused,
                                             QZWord context, const char *label,
                                             QZStatus *status) QZ_NOEXCEPT;
QZ_EXPORT QZStatus qzioedirectoryclose(QZIOEDirectory *directory) QZ_NOEXCEPT;
/* 0 when the member (a literal name below the directory) exists. */
QZ_EXPORT QZStatus qzioedirectorymemberexist(QZIOEDirectory *directory, const QZChar *member,
                                             int32_t length) QZ_NOEXCEPT;
/* The next member's name; QZIOE_END_OF_FILE after the last;
 * QZIOE_NAME_BUFFER_TOO_SMALL (the member is consumed) when it does not fit. */
QZ_EXPORT QZStatus bkioereaddir(QZIOEDirectory *directory, QZChar *buffer, uint32_t *length,
                                uint32_t unused) QZ_NOEXCEPT;
/* The members not read yet as the list "QZIOE MemberList"; null with status 0
 * when there are none. Full paths are the directory's expanded path and the
 * member's literal name. */
QZ_EXPORT QZList *qzioedirectorymemberlist(QZIOEDirectory *directory, QZPool *pool,
                                           uint32_t options, int64_t *count,
                                           QZStatus *status) QZ_NOEXCEPT;
/* A directory in one call as the list "QZIOE DirectoryList" (word 25): the
 * directory's own record first, then its members (never hidden ones). */
QZ_EXPORT QZList *qzioedirectorylist(QZIOEExtension *extension, const QZChar *name, uint32_t length,
                                     uint32_t kind, uint32_t options, int64_t *count,
                                     QZStatus *status) QZ_NOEXCEPT;
QZ_EXPORT QZStatus qzioeDirectoryMemberListDestroy(QZListEntry *entry) QZ_NOEXCEPT;
QZ_EXPORT QZStatus qzioeDirectoryListDestroy(QZListEntry *entry) QZ_NOEXCEPT;
/* POSIX layer. */
QZ_EXPORT QZStatus bkioeopendir(QZIOEDirectory *directory) QZ_NOEXCEPT;
QZ_EXPORT QZStatus bkioeclosedir(QZIOEDirectory *directory) QZ_NOEXCEPT;
QZ_EXPORT QZStatus bkioedirectorymemberlist(QZIOEExtension *extension, QZIOEDirectory *directory,
                                            QZPool *pool, uint32_t options, QZIOEDirEntry **first,
                                            int64_t *count) QZ_NOEXCEPT;
QZ_EXPORT QZStatus bkioedirectorylist(QZIOEExtension *extension, const QZChar *name,
                                      uint32_t length, uint32_t kind, uint32_t options,
                                      QZIOEDirEntry **first, int64_t *count) QZ_NOEXCEPT;

QZ_EXTERN_C_END

#endif

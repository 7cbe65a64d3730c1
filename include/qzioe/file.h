/* The file handle and the open-options record. */
#ifndef QZIOE_FILE_H
#define QZIOE_FILE_H

#include "qzioe/extension.h"

QZ_EXTERN_C_BEGIN

/* Open modes. Modes 0, 2 and 3 write; modes 1 and 3 read. */
#define QZIOE_MODE_APPEND 0u
#define QZIOE_MODE_INPUT 1u
#define QZIOE_MODE_OUTPUT 2u
#define QZIOE_MODE_UPDATE 3u

/* Record formats. */
#define QZIOE_FORMAT_VARIABLE 0u
#define QZIOE_FORMAT_BINARY 1u
#define QZIOE_FORMAT_VARIABLE_ALT 3u
#define QZIOE_FORMAT_STREAM 4u

/* Bits of `options`. */
#define QZIOE_OPT_USER_BUFFER 0x1u /* direct methods; reads may fill the caller's buffer */
#define QZIOE_OPT_NO_EXPAND 0x2u   /* the path is used as given */
#define QZIOE_OPT_NO_BOM 0x4u      /* no byte-order mark is written */

#define QZIOE_PATH_MAX 1024u
#define QZIOE_AUX_WORDS 32u
#define QZIOE_BLOCK_SIZE 8192u
#define QZIOE_FILE_BYTES 4832u
#define QZIOE_FILE_PRIVATE_OFFSET 0x1104u /* where the private fields start */

/* Seek-mode bits of the point method; the first set bit wins. */
#define QZIOE_SEEK_REWIND 0x1u  /* position 0 from the start */
#define QZIOE_SEEK_END 0x2u     /* position 0 from the end */
#define QZIOE_SEEK_CURRENT 0x4u /* position from the current offset */

/* Open-options record, supplied by the kernel and only read (208 bytes). */
typedef struct QZIOEOpenOptions {
  uint32_t reserved_00[8];             /* 0x00: not read */
  uint32_t open_mode;                  /* 0x20 */
  uint32_t buffered;                   /* 0x24 */
  uint32_t record_length;              /* 0x28 */
  uint32_t reserved_2c;                /* 0x2c: not read */
  uint32_t record_format;              /* 0x30 */
  uint32_t aux_switch;                 /* 0x34 */
  uint32_t lock_option;                /* 0x38 */
  uint32_t aux_words[QZIOE_AUX_WORDS]; /* 0x3c */
  int32_t aux_word_count;              /* 0xbc */
  uint32_t file_encoding;              /* 0xc0: 0 means 62 */
  uint32_t record_encoding;            /* 0xc4: 0 means 62 (stream) or 27 */
  uint32_t options;                    /* 0xc8 */
  QZJournal *journal;                  /* 0xcc */
} QZIOEOpenOptions;
QZ_CHECK_SIZE(QZIOEOpenOptions, 208);
QZ_CHECK_OFFSET(QZIOEOpenOptions, open_mode, 0x20);
QZ_CHECK_OFFSET(QZIOEOpenOptions, buffered, 0x24);
QZ_CHECK_OFFSET(QZIOEOpenOptions, record_length, 0x28);
QZ_CHECK_OFFSET(QZIOEOpenOptions, record_format, 0x30);
QZ_CHECK_OFFSET(QZIOEOpenOptions, aux_switch, 0x34);
QZ_CHECK_OFFSET(QZIOEOpenOptions, lock_option, 0x38);
QZ_CHECK_OFFSET(QZIOEOpenOptions, aux_words, 0x3c);
QZ_CHECK_OFFSET(QZIOEOpenOptions, aux_word_count, 0xbc);
QZ_CHECK_OFFSET(QZIOEOpenOptions, file_encoding, 0xc0);
QZ_CHECK_OFFSET(QZIOEOpenOptions, record_encoding, 0xc4);
QZ_CHECK_OFFSET(QZIOEOpenOptions, options, 0xc8);
QZ_CHECK_OFFSET(QZIOEOpenOptions, journal, 0xcc);

/* Method signatures of the handle. */
typedef QZStatus (*QZIOEHandleFn)(QZIOEFile *file);
typedef QZStatus (*QZIOEReadFn)(QZIOEFile *file, void **address, uint32_t *length, QZWord unused,
                                int64_t *offset);
typedef QZStatus (*QZIOEWriteFn)(QZIOEFile *file, const void *bytes, uint32_t length, QZWord unused,
                                 int64_t *offset);
typedef QZStatus (*QZIOENoteFn)(QZIOEFile *file, int64_t *position);
typedef QZStatus (*QZIOEPointFn)(QZIOEFile *file, int64_t *position, uint32_t seek_mode);
typedef QZStatus (*QZIOEConvertFn)(QZIOEFile *file, const int64_t *from, int64_t *to);
typedef QZStatus (*QZIOERecordFn)(QZIOEFile *file, QZWord unused1, QZWord unused2);
typedef QZStatus (*QZIOETruncateFn)(QZIOEFile *file, const int64_t *length);
typedef QZStatus (*QZIOEAttachFn)(QZIOEFile *file, QZJournal *journal);
/* Primitive slots: read and write with a count out and an optional offset. */
typedef QZStatus (*QZIOEPrimReadFn)(QZIOEFile *file, void *buffer, uint32_t length, uint32_t *count,
                                    const int64_t *offset);
typedef QZStatus (*QZIOEPrimWriteFn)(QZIOEFile *file, const void *bytes, uint32_t length,
                                     uint32_t *count, const int64_t *offset);

/* One carriage-control sequence in the file encoding. */
typedef struct QZIOECCEntry {
  uint8_t *bytes;
  uint32_t length;
} QZIOECCEntry;

/* The file handle: one zero-filled block of 4832 bytes from the handle's own
 * pool, of which this is the public part. The head (words 0 to 23) is called
 * by position; the descriptor is written once by open and read only by the
 * kernel. The extension's private fields follow the descriptor, from byte
 * 0x1104 to the end of the block; nothing outside the extension may touch
 * them. */
struct QZIOEFile {
  /* Head. */
  uint32_t magic;                /* 0 */
  char *label;                   /* 1: copy of the caller's label, or 0 */
  QZIOEHandleFn close;           /* 2 */
  QZIOEHandleFn flush;           /* 3 */
  QZWord reserved_4[9];          /* 4-12: 0 */
  QZIOEReadFn read;              /* 13 */
  QZIOEWriteFn write;            /* 14 */
  QZWord reserved_15;            /* 15: 0 */
  QZIOENoteFn note;              /* 16 */
  QZIOEPointFn point;            /* 17 */
  QZIOERecordFn position2record; /* 18 */
  QZIOERecordFn record2position; /* 19 */
  QZIOEConvertFn position2byte;  /* 20 */
  QZIOEConvertFn byte2position;  /* 21 */
  QZIOETruncateFn truncate;      /* 22 */
  QZIOEAttachFn attachjnl;       /* 23 */

  /* Descriptor, from byte 0x60. */
  QZChar d_path[QZIOE_PATH_MAX];         /* 0x60 */
  uint32_t d_path_length;                /* 0x1060 */
  uint32_t d_open_mode;                  /* 0x1064 */
  uint32_t d_buffered;                   /* 0x1068 */
  uint32_t d_record_length;              /* 0x106c */
  uint32_t d_zero;                       /* 0x1070 */
  uint32_t d_record_format;              /* 0x1074 */
  uint32_t d_aux_switch;                 /* 0x1078 */
  uint32_t d_lock_option;                /* 0x107c */
  uint32_t d_aux_words[QZIOE_AUX_WORDS]; /* 0x1080 */
  uint32_t d_aux_word_count;             /* 0x1100 */
};
QZ_CHECK_SIZE(QZIOEFile, QZIOE_FILE_PRIVATE_OFFSET);
QZ_CHECK_OFFSET(QZIOEFile, label, 1 * 4);
QZ_CHECK_OFFSET(QZIOEFile, close, 2 * 4);
QZ_CHECK_OFFSET(QZIOEFile, flush, 3 * 4);
QZ_CHECK_OFFSET(QZIOEFile, read, 13 * 4);
QZ_CHECK_OFFSET(QZIOEFile, write, 14 * 4);
QZ_CHECK_OFFSET(QZIOEFile, note, 16 * 4);
QZ_CHECK_OFFSET(QZIOEFile, point, 17 * 4);
QZ_CHECK_OFFSET(QZIOEFile, position2record, 18 * 4);
QZ_CHECK_OFFSET(QZIOEFile, record2position, 19 * 4);
QZ_CHECK_OFFSET(QZIOEFile, position2byte, 20 * 4);
QZ_CHECK_OFFSET(QZIOEFile, byte2position, 21 * 4);
QZ_CHECK_OFFSET(QZIOEFile, truncate, 22 * 4);
QZ_CHECK_OFFSET(QZIOEFile, attachjnl, 23 * 4);
QZ_CHECK_OFFSET(QZIOEFile, d_path, 0x60);
QZ_CHECK_OFFSET(QZIOEFile, d_path_length, 0x1060);
QZ_CHECK_OFFSET(QZIOEFile, d_open_mode, 0x1064);
QZ_CHECK_OFFSET(QZIOEFile, d_buffered, 0x1068);
QZ_CHECK_OFFSET(QZIOEFile, d_record_length, 0x106c);
QZ_CHECK_OFFSET(QZIOEFile, d_zero, 0x1070);
QZ_CHECK_OFFSET(QZIOEFile, d_record_format, 0x1074);
QZ_CHECK_OFFSET(QZIOEFile, d_aux_switch, 0x1078);
QZ_CHECK_OFFSET(QZIOEFile, d_lock_option, 0x107c);
QZ_CHECK_OFFSET(QZIOEFile, d_aux_words, 0x1080);
QZ_CHECK_OFFSET(QZIOEFile, d_aux_word_count, 0x1100);

QZ_EXTERN_C_END

#endif

// The file handle as the extension sees it: the public head and descriptor,
// then the private fields that fill the 4832-byte block. Only the file
// layers include this; the kernel sees QZIOEFile.
#pragma once

#include <cstdint>

#include "qzioe/file.h"

namespace ioe {

struct File : QZIOEFile {
  QZIOEExtension *extension; // the extension that opened the handle
  void *sysfile;             // POSIX layer's record; set while the file is open
  QZPool *pool;              // the handle's own pool
  QZPool *alloc_pool;        // the same pool again; holds path
  QZJournal *journal;        // guarded by lock
  QZLock *lock;              // "QZIOE Open lock"
  QZChar *path;              // the path as given, path_length + 1 units
  uint32_t path_length;
  uint32_t open_mode;
  uint32_t buffered; // as it takes effect: 0 in update mode
  uint32_t record_length;
  uint32_t record_format;
  uint32_t aux_switch;
  uint32_t lock_option;
  uint32_t aux_words[QZIOE_AUX_WORDS];
  int32_t aux_word_count;
  uint32_t file_encoding; // both 0 for binary handles
  uint32_t record_encoding;
  uint32_t options; // QZIOE_OPT_*
  uint8_t *buffer;  // record buffer; null with opt_user_buffer
  uint32_t buffer_size;
  uint32_t block_size; // transfer unit of the buffered methods
  uint32_t buf_left;   // reading: unread bytes after buf_pos; writing: free bytes
  uint32_t buf_pos;    // next byte to read or to fill
  int32_t cc_set;
  uint32_t cc_max;
  int32_t eof_seen;   // a buffered reader has seen the end of the file
  uint8_t *xcode_buf; // transcoding buffer, never grown
  uint32_t xcode_buf_size;
  int64_t position; // byte position kept by the record layer
  QZNls *nls;
  QZTranscoder *in_transcoder;  // file to record encoding (reading modes)
  QZTranscoder *out_transcoder; // record to file encoding (writing modes)
  QZIOECCEntry outbound_cc[9];
  QZIOECCEntry inbound_cc[3];
  uint8_t bom_bytes[4];
  uint32_t bom_len;
  uint8_t bom_pending; // the mark is still due
  // Set by the record layer's open on buffered input line handles whose
  // line feed and carriage return are one byte each (kept here): the line
  // reader's common case then reads nothing else of the handle.
  uint8_t lean_lines;
  uint8_t lean_lf;
  uint8_t lean_cr;
  QZIOEHandleFn sk_open;
  QZIOEHandleFn sk_close;
  QZIOEHandleFn sk_flush;
  QZIOEReadFn sk_read;
  QZIOEWriteFn sk_write;
  // Primitive slots: the record methods reach the file only through these.
  QZIOEHandleFn bk_open;
  QZIOEHandleFn bk_close;
  QZIOEPrimReadFn bk_read;
  QZIOEPrimWriteFn bk_write;
  QZIOEHandleFn bk_flush;
  QZIOEPointFn bk_point;
  QZIOENoteFn bk_note;
  // The line feeds of the buffer, a bit a byte (bit i of word i / 32 for
  // buffer[i]), for the lean line reader: kept after every refill for the
  // bytes below lf_map_end. Lives in the buffer's block, behind buffer_size.
  uint32_t *lf_map;
  uint32_t lf_map_end;
#if UINTPTR_MAX == 0xffffffffu
  uint8_t reserved_tail[52]; // the handle is allocated as 4832 bytes
#endif
};

// The handle behind a kernel's pointer (which open made as a File).
inline File *file_of(QZIOEFile *handle) noexcept {
  return static_cast<File *>(handle);
}

} // namespace ioe

// The private layout is fixed too: a dump of a handle reads the same in
// every 32-bit build.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
QZ_CHECK_SIZE(ioe::File, QZIOE_FILE_BYTES);
QZ_CHECK_OFFSET(ioe::File, extension, 0x1104);
QZ_CHECK_OFFSET(ioe::File, sysfile, 0x1108);
QZ_CHECK_OFFSET(ioe::File, pool, 0x110c);
QZ_CHECK_OFFSET(ioe::File, alloc_pool, 0x1110);
QZ_CHECK_OFFSET(ioe::File, journal, 0x1114);
QZ_CHECK_OFFSET(ioe::File, lock, 0x1118);
QZ_CHECK_OFFSET(ioe::File, path, 0x111c);
QZ_CHECK_OFFSET(ioe::File, path_length, 0x1120);
QZ_CHECK_OFFSET(ioe::File, open_mode, 0x1124);
QZ_CHECK_OFFSET(ioe::File, buffered, 0x1128);
QZ_CHECK_OFFSET(ioe::File, record_length, 0x112c);
QZ_CHECK_OFFSET(ioe::File, record_format, 0x1130);
QZ_CHECK_OFFSET(ioe::File, aux_switch, 0x1134);
QZ_CHECK_OFFSET(ioe::File, lock_option, 0x1138);
QZ_CHECK_OFFSET(ioe::File, aux_words, 0x113c);
QZ_CHECK_OFFSET(ioe::File, aux_word_count, 0x11bc);
QZ_CHECK_OFFSET(ioe::File, file_encoding, 0x11c0);
QZ_CHECK_OFFSET(ioe::File, record_encoding, 0x11c4);
QZ_CHECK_OFFSET(ioe::File, options, 0x11c8);
QZ_CHECK_OFFSET(ioe::File, buffer, 0x11cc);
QZ_CHECK_OFFSET(ioe::File, buffer_size, 0x11d0);
QZ_CHECK_OFFSET(ioe::File, block_size, 0x11d4);
QZ_CHECK_OFFSET(ioe::File, buf_left, 0x11d8);
QZ_CHECK_OFFSET(ioe::File, buf_pos, 0x11dc);
QZ_CHECK_OFFSET(ioe::File, cc_set, 0x11e0);
QZ_CHECK_OFFSET(ioe::File, cc_max, 0x11e4);
QZ_CHECK_OFFSET(ioe::File, eof_seen, 0x11e8);
QZ_CHECK_OFFSET(ioe::File, xcode_buf, 0x11ec);
QZ_CHECK_OFFSET(ioe::File, xcode_buf_size, 0x11f0);
QZ_CHECK_OFFSET(ioe::File, position, 0x11f4);
QZ_CHECK_OFFSET(ioe::File, nls, 0x11fc);
QZ_CHECK_OFFSET(ioe::File, in_transcoder, 0x1200);
QZ_CHECK_OFFSET(ioe::File, out_transcoder, 0x1204);
QZ_CHECK_OFFSET(ioe::File, outbound_cc, 0x1208);
QZ_CHECK_OFFSET(ioe::File, inbound_cc, 0x1250);
QZ_CHECK_OFFSET(ioe::File, bom_bytes, 0x1268);
QZ_CHECK_OFFSET(ioe::File, bom_len, 0x126c);
QZ_CHECK_OFFSET(ioe::File, bom_pending, 0x1270);
QZ_CHECK_OFFSET(ioe::File, lean_lines, 0x1271);
QZ_CHECK_OFFSET(ioe::File, lean_lf, 0x1272);
QZ_CHECK_OFFSET(ioe::File, lean_cr, 0x1273);
QZ_CHECK_OFFSET(ioe::File, sk_open, 0x1274);
QZ_CHECK_OFFSET(ioe::File, sk_close, 0x1278);
QZ_CHECK_OFFSET(ioe::File, sk_flush, 0x127c);
QZ_CHECK_OFFSET(ioe::File, sk_read, 0x1280);
QZ_CHECK_OFFSET(ioe::File, sk_write, 0x1284);
QZ_CHECK_OFFSET(ioe::File, bk_open, 0x1288);
QZ_CHECK_OFFSET(ioe::File, bk_close, 0x128c);
QZ_CHECK_OFFSET(ioe::File, bk_read, 0x1290);
QZ_CHECK_OFFSET(ioe::File, bk_write, 0x1294);
QZ_CHECK_OFFSET(ioe::File, bk_flush, 0x1298);
QZ_CHECK_OFFSET(ioe::File, bk_point, 0x129c);
QZ_CHECK_OFFSET(ioe::File, bk_note, 0x12a0);
QZ_CHECK_OFFSET(ioe::File, lf_map, 0x12a4);
QZ_CHECK_OFFSET(ioe::File, lf_map_end, 0x12a8);
#pragma GCC diagnostic pop

// Opening and closing file handles.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "common/handle_pool.h"
#include "common/kernel_calls.h"
#include "fileio/internal.h"

namespace {

struct ByteOrderMark {
  uint32_t encoding;
  uint8_t bytes[4];
  uint32_t length;
};

constexpr ByteOrderMark kMarks[] = {
    {QZ_ENC_UTF8, {0xef, 0xbb, 0xbf, 0}, 3}, {QZ_ENC_UTF16BE, {0xfe, 0xff, 0, 0}, 2},
    {QZ_ENC_UTF16LE, {0xff, 0xfe, 0, 0}, 2}, {QZ_ENC_UTF32BE, {0, 0, 0xfe, 0xff}, 4},
    {QZ_ENC_UTF32LE, {0xff, 0xfe, 0, 0}, 4},
};

void choose_byte_order_mark(ioe::File *file) {
  file->bom_len = 0;
  file->bom_pending = 0;
  const auto *mark = std::find_if(std::begin(kMarks), std::end(kMarks),
                                  [&](const auto &m) { return m.encoding == file->file_encoding; });
  if (mark == std::end(kMarks)) {
    file->options &= ~QZIOE_OPT_NO_BOM;
    return;
  }
  std::memcpy(file->bom_bytes, mark->bytes, sizeof file->bom_bytes);
  file->bom_len = mark->length;
  file->bom_pending = 1;
}

// Validates the options in order and copies them; the first fault wins.
QZStatus take_options(ioe::File *file, const QZIOEOpenOptions *options) {
  if (options->open_mode > QZIOE_MODE_UPDATE) return QZIOE_BAD_MODE;
  file->open_mode = options->open_mode;
  if (options->buffered > 1) return QZIOE_BAD_BUFFERING;
  // Update mode is always unbuffered: one buffer cannot serve both directions.
  file->buffered = file->open_mode == QZIOE_MODE_UPDATE ? 0 : options->buffered;
  file->record_length = options->record_length;
  if (options->record_format > QZIOE_FORMAT_STREAM) return QZIOE_BAD_FORMAT;
  file->record_format = options->record_format;
  if (options->aux_switch > 1) return QZIOE_BAD_SWITCH;
  file->aux_switch = options->aux_switch;
  if (options->lock_option > 4) return QZIOE_BAD_LOCK_OPTION;
  file->lock_option = options->lock_option;

  if (file->record_format == QZIOE_FORMAT_BINARY) {
    file->file_encoding = 0;
    file->record_encoding = 0;
  } else {
    file->file_encoding = options->file_encoding != 0 ? options->file_encoding : QZ_ENC_OS;
    file->record_encoding =
        options->record_encoding != 0
            ? options->record_encoding
            : (file->record_format == QZIOE_FORMAT_STREAM ? QZ_ENC_OS : QZ_ENC_UTF32LE);
  }
  file->nls = file->extension->nls;
  const int32_t count = std::clamp<int32_t>(options->aux_word_count, 0, QZIOE_AUX_WORDS);
  file->aux_word_count = count;
  std::copy_n(options->aux_words, count, file->aux_words);
  file->options = options->options;
  choose_byte_order_mark(file);
  return QZ_OK;
}

void fill_descriptor(ioe::File *file) {
  const uint32_t length = std::min(file->path_length, QZIOE_PATH_MAX);
  std::copy_n(file->path, length, file->d_path);
  file->d_path_length = length;
  file->d_open_mode = file->open_mode;
  file->d_buffered = file->buffered;
  file->d_record_length = file->record_length;
  file->d_zero = 0;
  file->d_record_format = file->record_format;
  file->d_aux_switch = file->aux_switch;
  file->d_lock_option = file->lock_option;
  std::copy_n(file->aux_words, file->aux_word_count, file->d_aux_words);
  file->d_aux_word_count = static_cast<uint32_t>(file->aux_word_count);
}

// Raises xcode_buf_size to M(encoding) x units + cc_max, M being the most
// bytes one character takes in the encoding and `units` the most bytes a
// method converts at once (the record length, unless said otherwise).
QZStatus size_for(ioe::File *file, uint32_t encoding, uint64_t units) {
  const QZEncodingInfo *info = nullptr;
  if (const QZStatus status = file->nls->encoding_info(file->nls, encoding, &info); status != QZ_OK)
    return status;
  // A character takes at least one byte; anything else would size the
  // buffer from garbage.
  if (info == nullptr || info->max_bytes <= 0) return QZIOE_FAILED;
  const uint64_t need = uint64_t(info->max_bytes) * units + file->cc_max;
  // More than 4 GiB can never be allocated; refuse rather than wrap.
  if (need > UINT32_MAX) return QZS_NO_MEMORY;
  file->xcode_buf_size = std::max(file->xcode_buf_size, static_cast<uint32_t>(need));
  return QZ_OK;
}

// Transcoders and the transcoding buffer, once the file is open.
QZStatus set_up_transcoding(ioe::File *file, const QZIOEOpenOptions *options, QZWord context) {
  if (file->record_format == QZIOE_FORMAT_BINARY || file->file_encoding == file->record_encoding)
    return QZ_OK;
  QZNls *nls = file->nls;
  const uint32_t mode = file->open_mode;
  if ((nls->pair_check(nls, options->file_encoding, options->record_encoding) & 0xff) != 0) {
    file->in_transcoder = nullptr;
    file->out_transcoder = nullptr;
    file->xcode_buf_size = 0;
    if (ioe::mode_reads(mode)) {
      file->in_transcoder =
          nls->create_transcoder(nls, file->file_encoding, file->record_encoding, 0, context);
      if (file->in_transcoder == nullptr) return QZIOE_FAILED;
    }
    // The direct line reader hands over up to record_length + cc_max bytes
    // (it looks for the delimiter behind a line of exactly the record
    // length), each of which may become a character of M bytes.
    const uint64_t units =
        uint64_t(file->record_length) +
        (ioe::is_variable(file->record_format) && file->buffered == 0 ? file->cc_max : 0);
    if (const QZStatus status = size_for(file, file->record_encoding, units); status != QZ_OK)
      return status;
  }
  if (ioe::mode_writes(mode)) {
    file->out_transcoder =
        nls->create_transcoder(nls, file->record_encoding, file->file_encoding, 0, context);
    if (file->out_transcoder == nullptr) return QZIOE_FAILED;
    if (const QZStatus status = size_for(file, file->file_encoding, file->record_length);
        status != QZ_OK)
      return status;
  }
  if (mode == QZIOE_MODE_INPUT && (file->options & QZIOE_OPT_USER_BUFFER) != 0 &&
      file->in_transcoder != nullptr) {
    if (const QZStatus status = size_for(file, file->file_encoding, file->record_length);
        status != QZ_OK)
      return status;
  }
  if (file->xcode_buf_size != 0) {
    file->xcode_buf = ioe::pool_alloc<uint8_t>(file->pool, file->xcode_buf_size);
    if (file->xcode_buf == nullptr) return QZS_NO_MEMORY;
  }
  return QZ_OK;
}

// Releases a handle piece by piece, whatever state open left it in: every
// piece that exists goes, each once; the handle's block and pool last.
void release_handle(ioe::File *file, QZPool *pool) {
  ioe::destroy_transcoder(file->in_transcoder);
  ioe::destroy_transcoder(file->out_transcoder);
  ioe::pool_release(pool, file->xcode_buf);
  QZPool *alloc_pool = file->alloc_pool;
  if (alloc_pool != nullptr) ioe::pool_release(alloc_pool, file->path);
  ioe::destroy_lock(file->lock);
  ioe::release_handle_parts(pool, alloc_pool, file->label, file);
}

// Steps up to the open file; a failure leaves the handle to release_handle.
QZStatus build(ioe::File *file, QZIOEExtension *extension, const QZChar *path, uint32_t length,
               const QZIOEOpenOptions *options) {
  QZPool *pool = file->pool;
  file->close = qzioeclose;
  file->extension = extension;
  file->alloc_pool = pool;
  file->journal = options->journal;
  file->path = ioe::pool_alloc<QZChar>(pool, (length + 1) * sizeof(QZChar));
  if (file->path == nullptr) return QZS_NO_MEMORY;

  const QZObjectOptions zeros{};
  QZHandle *kernel = ioe::handle_kernel(extension);
  file->lock = kernel != nullptr && kernel->create_lock != nullptr
                   ? kernel->create_lock(kernel, &zeros, 0, "QZIOE Open lock")
                   : nullptr;
  if (file->lock == nullptr) return QZIOE_FAILED;

  std::copy_n(path, length, file->path);
  file->path_length = length;
  if (const QZStatus status = take_options(file, options); status != QZ_OK) return status;
  if (const QZStatus status = bkioevec(file); status != QZ_OK) return status;
  return file->sk_open(file);
}

} // namespace

extern "C" QZIOEFile *qzioeopen(QZIOEExtension *extension, const QZChar *path, int32_t path_length,
                                const QZIOEOpenOptions *options, QZWord, QZWord context,
                                const char *label, QZStatus *status) noexcept {
  if (status == nullptr) return nullptr;
  // A null handle with status 0 would read as success to a caller that
  // checks only the status; name the fault instead.
  if (path == nullptr || path_length <= 0) {
    *status = QZIOE_BAD_NAME;
    return nullptr;
  }
  if (options == nullptr) {
    *status = QZS_BAD_VALUE;
    return nullptr;
  }
  if (static_cast<uint32_t>(path_length) > QZIOE_PATH_MAX) {
    *status = QZIOE_NAME_TOO_LONG;
    return nullptr;
  }
  ioe::HandleParts parts;
  QZStatus result =
      ioe::create_handle(extension, context, "qzioe%d", sizeof(ioe::File), label, &parts);
  if (result != QZ_OK) {
    *status = result;
    return nullptr;
  }
  auto *file = static_cast<ioe::File *>(parts.record);
  file->magic = QZ_OBJECT_MAGIC;
  file->label = parts.label;
  file->pool = parts.pool;
  result = build(file, extension, path, static_cast<uint32_t>(path_length), options);
  if (result != QZ_OK) {
    release_handle(file, parts.pool);
    *status = result;
    return nullptr;
  }
  fill_descriptor(file);
  result = set_up_transcoding(file, options, context);
  if (result != QZ_OK) {
    qzioeclose(file);
    *status = result;
    return nullptr;
  }
  *status = QZ_OK;
  return file;
}

extern "C" QZStatus qzioeclose(QZIOEFile *handle) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (file == nullptr) return QZIOE_BAD_HANDLE;
  const QZStatus flush_status =
      ioe::mode_writes(file->open_mode) && file->sk_flush != nullptr ? file->sk_flush(file) : QZ_OK;
  const QZStatus close_status = file->sk_close != nullptr ? file->sk_close(file) : QZ_OK;
  release_handle(file, file->pool);
  return flush_status != QZ_OK ? flush_status : close_status;
}

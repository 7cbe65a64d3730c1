// Texts as pieces: QZChar strings copied, byte strings through the kernel's
// byte transcoder.
#include <algorithm>

#include "format/internal.h"
#include "qzioe/extension.h"

QZTranscoder *ioe::byte_transcoder() {
  const QZHandle *kernel = Exported_QZHandle;
  if (kernel == nullptr || kernel->byte_transcoders == nullptr) return nullptr;
  QZTranscoder *transcoder = kernel->byte_transcoders->to_qzchar;
  return transcoder != nullptr && transcoder->convert != nullptr ? transcoder : nullptr;
}

// The transcoder's status is not looked at: the piece is one unit per byte
// whatever it makes of them. A conversion that fails, or that makes fewer
// units than bytes (multi-byte characters), would otherwise leave units of
// whatever the buffer held before in the output.
void ioe::convert_bytes(QZTranscoder *transcoder, const char *bytes, uint32_t length,
                        QZChar *destination) {
  std::fill_n(destination, length, QZChar{QZ_FORMAT_REPLACEMENT});
  const uint64_t target_bytes = uint64_t{length} * sizeof(QZChar);
  transcoder->convert(transcoder, bytes, length, destination,
                      static_cast<uint32_t>(std::min<uint64_t>(target_bytes, UINT32_MAX)), nullptr,
                      0);
}

extern "C" {

QZ_EXPORT QZStatus skzfString(const char *bytes, uint32_t length, QZChar *destination,
                              uint32_t capacity, uint32_t *count) noexcept {
  if (bytes == nullptr) length = 0;
  QZTranscoder *transcoder = length == 0 ? nullptr : ioe::byte_transcoder();
  if (length != 0 && transcoder == nullptr) {
    if (count != nullptr) *count = 0;
    return QZIOE_BAD_HANDLE;
  }
  if (count != nullptr) *count = length;
  if (capacity < length) return QZS_BUFFER_TOO_SMALL;
  if (length != 0) ioe::convert_bytes(transcoder, bytes, length, destination);
  return QZ_OK;
}

QZ_EXPORT QZStatus skzfQZString(const QZChar *string, uint32_t length, QZChar *destination,
                                uint32_t capacity, uint32_t *count) noexcept {
  if (string == nullptr) length = 0;
  if (count != nullptr) *count = length;
  if (capacity < length) return QZS_BUFFER_TOO_SMALL;
  if (length != 0) std::memmove(destination, string, size_t{length} * sizeof(QZChar));
  return QZ_OK;
}

} // extern "C"

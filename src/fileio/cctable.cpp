// Line-control sequences: kept once in UTF-32LE, built per handle in its
// file encoding.
#include <cstring>

#include "common/kernel_calls.h"
#include "fileio/internal.h"

namespace {

constexpr QZChar LF = 0x0a, CR = 0x0d, FF = 0x0c, SP = 0x20;

// Outbound cells of eight characters: the sequence, spaces, a zero. Only
// the counted bytes are ever read.
constexpr QZChar kLf[8] = {LF, SP, SP, SP, SP, SP, SP, 0};
constexpr QZChar kLfLf[8] = {LF, LF, SP, SP, SP, SP, SP, 0};
constexpr QZChar kLfLfLf[8] = {LF, LF, LF, SP, SP, SP, SP, 0};
constexpr QZChar kLfFf[8] = {LF, FF, SP, SP, SP, SP, SP, 0};
constexpr QZChar kCr[8] = {CR, SP, SP, SP, SP, SP, SP, 0};
constexpr QZChar kFf[8] = {FF, SP, SP, SP, SP, SP, SP, 0};
constexpr QZChar kSpace[8] = {SP, SP, SP, SP, SP, SP, SP, 0};
constexpr QZChar kCrLf[8] = {CR, LF, SP, SP, SP, SP, SP, 0};
constexpr QZChar kCrLf2[8] = {CR, LF, CR, LF, SP, SP, SP, 0};
constexpr QZChar kCrLf3[8] = {CR, LF, CR, LF, CR, LF, SP, 0};
constexpr QZChar kCrLfFf[8] = {CR, LF, FF, SP, SP, SP, SP, 0};

// Inbound cells of two: the character and a zero.
constexpr QZChar kInLf[2] = {LF, 0};
constexpr QZChar kInFf[2] = {FF, 0};
constexpr QZChar kInCr[2] = {CR, 0};

constexpr uint32_t kOutboundPerSet = 9;
constexpr uint32_t kInboundPerSet = 3;
constexpr uint32_t kDirectionInbound = 0;
constexpr uint32_t kDirectionOutbound = 1;
constexpr uint32_t kMaxCharBytes = 16;

} // namespace

extern "C" {
const QZIOECCText sk_outbound_cc[18] = {
    {kLf, 4},      {kLfLf, 8}, {kLfLfLf, 12}, {kLfFf, 8},  {kCr, 4},     {kCr, 4},
    {kSpace, 0},   {kFf, 4},   {kSpace, 4},   {kCrLf, 8},  {kCrLf2, 16}, {kCrLf3, 24},
    {kCrLfFf, 12}, {kCr, 4},   {kCr, 4},      {kSpace, 0}, {kFf, 4},     {kSpace, 4},
};
const QZIOECCText sk_inbound_cc[6] = {
    {kInLf, 4}, {kInFf, 4}, {kInCr, 4}, {kInLf, 4}, {kInFf, 4}, {kInCr, 4},
};
}

namespace {

// Builds `count` entries of `table` from `texts`, converting each with
// `transcoder` (null: copied as UTF-32LE). `width` is the bytes of one
// character in the file encoding. Returns the longest entry in *longest.
QZStatus build_entries(ioe::File *file, QZTranscoder *transcoder, uint32_t width,
                       const QZIOECCText *texts, QZIOECCEntry *table, uint32_t count,
                       uint32_t *longest) {
  *longest = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const QZIOECCText &text = texts[i];
    const uint32_t capacity =
        transcoder != nullptr ? width * (text.bytes / sizeof(QZChar)) : text.bytes;
    table[i] = {nullptr, 0};
    if (capacity == 0) continue; // the empty entry needs no block
    auto *block = static_cast<uint8_t *>(ioe::pool_alloc(file->pool, capacity));
    if (block == nullptr) return QZS_NO_MEMORY;
    table[i].bytes = block;
    uint32_t produced = text.bytes;
    if (transcoder != nullptr) {
      produced = 0;
      if (const QZStatus status =
              transcoder->convert(transcoder, text.text, text.bytes, block, capacity, &produced, 0);
          status != QZ_OK)
        return status;
    } else {
      std::memcpy(block, text.text, text.bytes);
    }
    table[i].length = produced;
    if (produced > *longest) *longest = produced;
  }
  return QZ_OK;
}

} // namespace

extern "C" QZStatus setupCCTable(QZIOEFile *handle, uint32_t direction, uint32_t set) noexcept {
  ioe::File *file = ioe::file_of(handle);
  if (direction != kDirectionInbound && direction != kDirectionOutbound) return QZIOE_FAILED;
  if (file == nullptr || file->nls == nullptr) return QZIOE_BAD_HANDLE;
  if (set != 1 && set != 2) return QZS_BAD_VALUE;
  QZNls *nls = file->nls;
  const bool inbound = direction == kDirectionInbound;
  QZIOECCEntry *table = inbound ? file->inbound_cc : file->outbound_cc;
  const uint32_t count = inbound ? kInboundPerSet : kOutboundPerSet;
  const QZIOECCText *texts = inbound ? &sk_inbound_cc[(set - 1) * kInboundPerSet]
                                     : &sk_outbound_cc[(set - 1) * kOutboundPerSet];

  // A table built before is replaced, not leaked; the lean line path is off
  // until the new one stands.
  if (inbound) file->lean_lines = 0;
  ioe::release_cc_entries(file->pool, table, count);
  QZTranscoder *transcoder = nullptr;
  uint32_t width = sizeof(QZChar);
  if ((nls->pair_check(nls, QZ_ENC_UTF32LE, file->file_encoding) & 0xff) != 0) {
    transcoder = nls->create_transcoder(nls, QZ_ENC_UTF32LE, file->file_encoding, 0, 0);
    if (transcoder == nullptr) return QZIOE_FAILED;
    if (const QZStatus status = nls->text_length(nls, QZ_ENC_UTF32LE, sk_inbound_cc[0].text,
                                                 sizeof(QZChar), file->file_encoding, &width);
        status != QZ_OK || width == 0 || width > kMaxCharBytes) {
      // A line feed of no bytes, or of more than any encoding uses, would
      // give empty delimiters or wrap the entry sizes.
      ioe::destroy_transcoder(transcoder);
      return status != QZ_OK ? status : QZIOE_FAILED;
    }
  }

  uint32_t longest = 0;
  QZStatus status = build_entries(file, transcoder, width, texts, table, count, &longest);
  if (transcoder != nullptr) {
    const QZStatus destroyed =
        transcoder->methods != nullptr && transcoder->methods->destroy != nullptr
            ? transcoder->methods->destroy(transcoder)
            : QZIOE_FAILED;
    if (status == QZ_OK) status = destroyed;
  }
  if (status != QZ_OK) {
    ioe::release_cc_entries(file->pool, table, count);
    return status;
  }
  // An input table's cc_max is the width of one line feed; an outbound one's
  // the longest sequence, at least that width.
  if (inbound) {
    file->cc_max = width;
    ioe::refresh_lean_lines(file);
  } else
    file->cc_max = transcoder != nullptr && width > longest ? width : longest;
  return QZ_OK;
}

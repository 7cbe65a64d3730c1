// Random files read back through line and stream handles in every encoding,
// converting or not, buffered and direct, with random record lengths: no
// sanitizer finding, only the statuses the readers may give, progress on
// every read, and no block left behind. Buffered lines of one-byte text
// must also be the records an independent model cuts from the whole file.
#include <cstdint>
#include <string>

#include "fuzz_target.h"
#include "line_model.h"

using qzfuzz::Check;

namespace {

constexpr uint32_t kEncodings[] = {QZ_ENC_OS,      QZ_ENC_UTF8,    QZ_ENC_UTF16BE,
                                   QZ_ENC_UTF16LE, QZ_ENC_UTF32BE, QZ_ENC_UTF32LE};

} // namespace

// Input: record length (1 byte: 0 to 239 give 1 to 240, the rest lengths
// around the 8192-byte block), flags (1 byte: bit 0 buffered, bit 1 stream,
// bits 2-4 file encoding, bits 5-7 record encoding), request size (1 byte:
// for streams the size asked; for lines the number of times, 1 to 16, the
// file repeats the rest, so that lines meet the refills at every phase),
// then the file's contents.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qzfuzz::Target &t = qzfuzz::Setup("fuzz_text_reader");
  if (size < 3) return 0;
  const uint32_t record_length = data[0] < 240 ? 1u + data[0] : 8192u - 248u + data[0];
  const uint8_t flags = data[1];
  const bool stream = (flags & 2) != 0;
  const uint32_t request = 1 + data[2] % record_length;
  std::string contents;
  for (int copies = stream ? 1 : 1 + data[2] % 16; copies > 0; --copies)
    contents.append(reinterpret_cast<const char *>(data + 3), size - 3);
  qzfuzz::WriteFile(t.path, contents);

  QZKStats before{};
  qzk_stats(t.kernel, &before);
  QZIOEOpenOptions options{};
  options.open_mode = QZIOE_MODE_INPUT;
  options.buffered = flags & 1;
  options.record_length = record_length;
  options.record_format = stream ? QZIOE_FORMAT_STREAM : QZIOE_FORMAT_VARIABLE;
  options.file_encoding = kEncodings[(flags >> 2) % 6];
  options.record_encoding = kEncodings[(flags >> 5) % 6];
  QZIOEFile *file = qzfuzz::OpenFile(t, options);
  // UTF-8 as it is (marks skipped), or ISO-8859-1 as it is or widened to
  // 32-bit characters (a byte a character, no mark).
  const bool utf8 = options.file_encoding == QZ_ENC_UTF8 && options.record_encoding == QZ_ENC_UTF8;
  const bool latin1 =
      options.file_encoding == QZ_ENC_OS &&
      (options.record_encoding == QZ_ENC_OS || options.record_encoding == QZ_ENC_UTF32LE);
  const bool modelled = options.buffered == 1 && !stream && (utf8 || latin1);
  std::string records;

  // Every read consumes at least one byte or ends the file.
  const size_t most_reads = contents.size() + 2;
  bool ended = false;
  for (size_t i = 0; i < most_reads && !ended; ++i) {
    void *address = nullptr;
    uint32_t length = request;
    const QZStatus status = file->read(file, &address, &length, 0, nullptr);
    if (status == QZIOE_END_OF_FILE) {
      Check(length == 0, "end of file with bytes");
      ended = true;
    } else if (status == QZ_OK || status == QZIOE_RECORD_SPLIT) {
      Check(length == 0 || address != nullptr, "bytes without an address");
      // Touch every byte handed out, so the sanitizer sees any overrun.
      volatile uint8_t sum = 0;
      for (uint32_t k = 0; k < length; ++k)
        sum = sum + static_cast<const uint8_t *>(address)[k];
      if (modelled) {
        const auto *bytes = static_cast<const uint8_t *>(address);
        if (options.record_encoding == QZ_ENC_UTF32LE) {
          Check(length % 4 == 0, "a part of a 32-bit character");
          for (uint32_t k = 0; k < length; k += 4) {
            Check(bytes[k + 1] == 0 && bytes[k + 2] == 0 && bytes[k + 3] == 0,
                  "a byte widened to more than itself");
            records += static_cast<char>(bytes[k]);
          }
        } else {
          records.append(reinterpret_cast<const char *>(bytes), length);
        }
        records += status == QZ_OK ? "|" : "~|";
      }
    } else {
      // Only a conversion may fail on a readable file: a transcoder status.
      Check((status & 0xffff0000u) == 0x807f0000u, "unexpected status");
    }
  }
  Check(ended, "the reader made no progress");
  if (modelled)
    Check(records + "EOF" == qzmodel::BufferedLineRecords(contents, record_length, utf8),
          "buffered lines other than the model's");
  Check(file->close(file) == QZ_OK, "close failed");
  qzfuzz::CheckNothingLeft(t, before);
  return 0;
}

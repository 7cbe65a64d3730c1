// Random files read back through binary handles with random request sizes:
// buffered and direct reads must hand back exactly the file's bytes, in
// order, with no sanitizer finding and no block left behind.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_target.h"

using qzfuzz::Check;

// Input: record length (2 bytes), mode bits (1 byte), script length (1 byte),
// the script of request sizes (one byte each), then the file's contents.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qzfuzz::Target &t = qzfuzz::Setup("fuzz_binary_reader");
  if (size < 4) return 0;
  const uint32_t record_length = 1 + ((data[0] | (data[1] << 8)) % 20000);
  const bool buffered = (data[2] & 1) != 0;
  const size_t script_length = 1 + data[3] % 16;
  if (size < 4 + script_length) return 0;
  const uint8_t *script = data + 4;
  const std::string contents(reinterpret_cast<const char *>(data + 4 + script_length),
                             size - 4 - script_length);

  qzfuzz::WriteFile(t.path, contents);

  QZKStats before{};
  qzk_stats(t.kernel, &before);
  QZIOEOpenOptions options{};
  options.open_mode = QZIOE_MODE_INPUT;
  options.buffered = buffered ? 1 : 0;
  options.record_length = record_length;
  options.record_format = QZIOE_FORMAT_BINARY;
  QZIOEFile *file = qzfuzz::OpenFile(t, options);
  QZStatus status = QZ_OK;

  // Requests range a little past the record length, so refusals happen.
  auto request = [&](size_t i) {
    return script[i % script_length] * (record_length / 128 + 1) % (record_length + 2);
  };
  bool progress = false;
  for (size_t i = 0; i < script_length; ++i)
    progress = progress || (request(i) > 0 && request(i) <= record_length);
  if (!progress) {
    Check(file->close(file) == QZ_OK, "close failed");
    return 0;
  }

  std::string back;
  for (size_t i = 0;; ++i) {
    uint32_t wanted = request(i);
    const uint32_t asked = wanted;
    void *address = nullptr;
    status = file->read(file, &address, &wanted, 0, nullptr);
    if (status == QZIOE_LENGTH_TOO_BIG) {
      Check(asked > record_length, "a request within the record length was refused");
      continue;
    }
    if (status == QZIOE_END_OF_FILE) {
      Check(wanted == 0, "end of file with bytes");
      break;
    }
    Check(status == QZ_OK, "read failed");
    Check(wanted <= asked, "more bytes than asked");
    Check(wanted > 0 || asked == 0, "no bytes for a non-empty request without end of file");
    back.append(static_cast<const char *>(address), wanted);
    Check(back.size() <= contents.size(), "more bytes than the file holds");
  }
  Check(back == contents, "the bytes read differ from the file");
  Check(file->close(file) == QZ_OK, "close failed");
  qzfuzz::CheckNothingLeft(t, before);
  return 0;
}

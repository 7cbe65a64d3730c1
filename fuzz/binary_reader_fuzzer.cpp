// Random files read back through binary handles with random request sizes:
// buffered and direct reads must hand back exactly the file's bytes, in
// order, with no sanitizer finding and no block left behind.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qzioe/fileio.h"
#include "qzkernel/standin.h"

namespace {

struct Target {
  QZHandle *kernel = nullptr;
  QZIOEExtension *extension = nullptr;
  QZKLoaded *loaded = nullptr;
  std::string path;
};

Target &Setup() {
  static Target target = [] {
    Target t;
    char dir[] = "/tmp/qzioe-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    t.path = std::string(dir) + "/records.bin";
    t.kernel = qzk_kernel_create(nullptr);
    if (t.kernel == nullptr) std::abort();
    char error[512] = "";
    t.extension = qzk_load(t.kernel, QZIOE_LIBRARY_PATH, 0, &t.loaded, error, sizeof error);
    if (t.extension == nullptr) {
      std::fprintf(stderr, "fuzz_binary_reader: cannot load the extension: %s\n", error);
      std::abort();
    }
    return t;
  }();
  return target;
}

void Check(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_binary_reader: %s\n", what);
    std::abort();
  }
}

} // namespace

// Input: record length (2 bytes), mode bits (1 byte), script length (1 byte),
// the script of request sizes (one byte each), then the file's contents.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Target &t = Setup();
  if (size < 4) return 0;
  const uint32_t record_length = 1 + ((data[0] | (data[1] << 8)) % 20000);
  const bool buffered = (data[2] & 1) != 0;
  const size_t script_length = 1 + data[3] % 16;
  if (size < 4 + script_length) return 0;
  const uint8_t *script = data + 4;
  const std::string contents(reinterpret_cast<const char *>(data + 4 + script_length),
                             size - 4 - script_length);

  const int fd = open(t.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Check(fd >= 0, "cannot create the file");
  Check(write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size()),
        "cannot write the file");
  close(fd);

  QZKStats before{};
  qzk_stats(t.kernel, &before);
  QZIOEOpenOptions options{};
  options.open_mode = QZIOE_MODE_INPUT;
  options.buffered = buffered ? 1 : 0;
  options.record_length = record_length;
  options.record_format = QZIOE_FORMAT_BINARY;
  std::vector<QZChar> name(t.path.begin(), t.path.end());
  QZStatus status = QZ_OK;
  QZIOEFile *file = t.extension->open(t.extension, name.data(), static_cast<int32_t>(name.size()),
                                      &options, 0, 0, nullptr, &status);
  Check(file != nullptr && status == QZ_OK, "open failed");

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
  QZKStats after{};
  qzk_stats(t.kernel, &after);
  Check(after.blocks == before.blocks && after.pools == before.pools &&
            after.descriptors == before.descriptors,
        "the handle left something alive");
  return 0;
}

// Random names through the path expansion: no sanitizer finding, no block
// left behind, and every success a well-formed path.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qzioe/paths.h"
#include "qzkernel/standin.h"

namespace {

// Longer than every work area, so the refusals are reachable.
constexpr size_t kMaxChars = 4096;

struct Target {
  QZHandle *kernel = nullptr;
  QZIOEExtension *extension = nullptr;
  QZKLoaded *loaded = nullptr;
};

// Variables for names to refer to: a chain, references to themselves, a
// value past the expansion area and one whose remainder is too long.
void SetVariables() {
  static char long_value[1500];
  std::memset(long_value, 'l', sizeof long_value - 1);
  static char long_rest[1200] = "$B/";
  std::memset(long_rest + 3, 'r', sizeof long_rest - 4);
  setenv("HOME", "/home/fuzz", 1);
  setenv("A", "x$B/y", 1);
  setenv("B", "bee", 1);
  setenv("C", "$A.$B", 1);
  setenv("S", "$S", 1);
  setenv("P", "p$Q", 1);
  setenv("Q", "q$P", 1);
  setenv("E", "", 1);
  setenv("L", long_value, 1);
  setenv("R", long_rest, 1);
}

Target &Setup() {
  static Target target = [] {
    SetVariables();
    Target t;
    t.kernel = qzk_kernel_create(nullptr);
    if (t.kernel == nullptr) std::abort();
    char error[512] = "";
    t.extension = qzk_load(t.kernel, QZIOE_LIBRARY_PATH, 0, &t.loaded, error, sizeof error);
    if (t.extension == nullptr) {
      std::fprintf(stderr, "fuzz_expand_path: cannot load the extension: %s\n", error);
      std::abort();
    }
    return t;
  }();
  return target;
}

uint32_t LiveBlocks(QZHandle *kernel) {
  QZKStats stats{};
  qzk_stats(kernel, &stats);
  return stats.blocks;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Target &t = Setup();
  if (size > kMaxChars) return 0;
  // One byte, one character; 0xff stands for one outside the byte encoding.
  static thread_local QZChar chars[kMaxChars];
  for (size_t i = 0; i < size; ++i)
    chars[i] = data[i] == 0xff ? 0x2603 : data[i];

  const uint32_t before = LiveBlocks(t.kernel);
  QZChar *result = nullptr;
  uint32_t length = 0;
  const QZStatus status =
      bkioeexpand_path(t.extension, chars, static_cast<uint32_t>(size), &result, &length);
  if (status == QZ_OK) {
    if (result == nullptr || length >= QZIOE_PATH_AREA) std::abort();
    if (length > 1 && result[length - 1] == '/') std::abort();
    for (uint32_t i = 0; i < length; ++i)
      if (result[i] == 0 || result[i] > 0xff) std::abort();
  } else if (status != QZIOE_FAILED && result != nullptr) {
    std::abort(); // only a failing last conversion hands out a result
  }
  if (result != nullptr && bkioeexpand_path_free(t.extension->pool, result) != QZ_OK) std::abort();
  if (LiveBlocks(t.kernel) != before) {
    std::fprintf(stderr, "fuzz_expand_path: a block outlived the call\n");
    std::abort();
  }
  return 0;
}

// Random formats and arguments through the formatter, and random doubles
// through the floating-point converters: no sanitizer finding, nothing
// written past the capacity, the same length reported whatever the
// capacity, and a short buffer holding a prefix of the complete output.
//
// Input: byte 0 picks the target. For the formatter: byte 1 the capacity,
// 64 bytes of doubles, 64 bytes of argument offsets, then the format, one
// unit per byte. For the converters: the double, conversion, precision and
// capacity bytes.
#include <sys/mman.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qzioe/format.h"
#include "qzkernel/standin.h"

#if !defined(__x86_64__)
#error "the argument lists are built for the x86-64 calling convention"
#endif

namespace {

constexpr QZChar kGuard = 0xfeedf00du;
constexpr size_t kGuards = 16;
constexpr size_t kMaxFormat = 128;
// Outputs longer than this are compared by length only.
constexpr uint32_t kMaxCompared = 1u << 20;

// Integer and pointer arguments share the stack words of the argument list:
// each is base + offset, with base's low 32 bits zero, so an int reads as
// the small offset and a pointer as an address inside a mapped region of
// texts.
constexpr size_t kRegionBefore = 64 << 10;
constexpr size_t kRegionAfter = 1 << 20;
constexpr size_t kWords = 1024;

struct Target {
  QZHandle *kernel = nullptr;
  QZIOEExtension *extension = nullptr;
  QZKLoaded *loaded = nullptr;
  uintptr_t base = 0;
};

uintptr_t MapRegion() {
  for (uintptr_t candidate = 0x500000000000u; candidate < 0x5f0000000000u;
       candidate += 0x10000000000u) {
    void *at =
        mmap(reinterpret_cast<void *>(candidate - kRegionBefore), kRegionBefore + kRegionAfter,
             PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (at == MAP_FAILED) continue;
    // Texts of 0 to 48 units (bytes, read as h strings), the last 64 KiB 0.
    auto *units = static_cast<QZChar *>(at);
    const size_t count = (kRegionBefore + kRegionAfter - (64 << 10)) / sizeof(QZChar);
    for (size_t i = 0; i < count; ++i)
      units[i] = i % 49 == 48 ? 0 : 0x20 + static_cast<QZChar>((i * 7) % 0x3c0);
    return candidate;
  }
  std::fprintf(stderr, "fuzz_format: no room for the text region\n");
  std::abort();
}

Target &Setup() {
  static Target target = [] {
    Target t;
    t.kernel = qzk_kernel_create(nullptr);
    if (t.kernel == nullptr) std::abort();
    char error[512] = "";
    t.extension = qzk_load(t.kernel, QZIOE_LIBRARY_PATH, 0, &t.loaded, error, sizeof error);
    if (t.extension == nullptr) {
      std::fprintf(stderr, "fuzz_format: cannot load the extension: %s\n", error);
      std::abort();
    }
    t.base = MapRegion();
    return t;
  }();
  return target;
}

// The argument list as va_arg reads it on x86-64: the register save area
// (general registers all taken, eight vector registers holding the fuzzed
// doubles), then the stack words.
struct VaListTag {
  unsigned gp_offset;
  unsigned fp_offset;
  void *overflow_arg_area;
  void *reg_save_area;
};
static_assert(sizeof(va_list) == sizeof(VaListTag));

struct Arguments {
  alignas(16) uint8_t registers[176] = {};
  alignas(16) uint64_t words[kWords];

  void Start(va_list list) {
    const VaListTag tag{48, 48, words, registers};
    std::memcpy(list, &tag, sizeof tag);
  }
};

struct Run {
  QZStatus status;
  uint32_t length;
};

Run Format(const QZChar *format, uint32_t length, QZChar *buffer, int32_t capacity,
           Arguments &arguments) {
  va_list list;
  arguments.Start(list);
  Run run{0, 0xffffffffu};
  run.status = qzzFormatBuffV(nullptr, format, length, buffer, capacity, &run.length, list);
  return run;
}

[[noreturn]] void Fail(const char *what) {
  std::fprintf(stderr, "fuzz_format: %s\n", what);
  std::abort();
}

void CheckGuards(const std::vector<QZChar> &buffer, size_t from) {
  for (size_t i = from; i < buffer.size(); ++i)
    if (buffer[i] != kGuard) Fail("written past the capacity");
}

void FuzzFormatter(const Target &t, const uint8_t *data, size_t size) {
  if (size < 2 + 64 + 64) return;
  const int32_t capacity = data[1] * 3;
  Arguments arguments;
  for (int i = 0; i < 8; ++i)
    std::memcpy(arguments.registers + 48 + 16 * i, data + 2 + 8 * i, 8);
  for (size_t i = 0; i < kWords; ++i) {
    int16_t offset;
    std::memcpy(&offset, data + 66 + 2 * (i % 32), 2);
    // Multiples of 4 keep texts aligned; every 7th word varies the rest.
    const int64_t scaled = (offset / 8) * 4 + (i % 7 == 0 ? static_cast<int64_t>(i) * 4 : 0);
    arguments.words[i] = static_cast<uint64_t>(static_cast<int64_t>(t.base) + scaled);
  }
  // Terminated too: a length of 0 measures the format up to its first 0.
  QZChar format[kMaxFormat + 1];
  const size_t length = std::min(size - 130, kMaxFormat);
  for (size_t i = 0; i < length; ++i)
    format[i] = data[130 + i] == 0xff ? 0x263a : data[130 + i];
  format[length] = 0;
  // %.nS reads exactly n units from its pointer, as the caller promises
  // they are there; here they are only up to the end of the region. With an
  // S in the format, precisions come from digits alone (no "*", which may
  // take a huge value from a double) and runs of digits are cut to four, so
  // every precision is below 10,000 units and stays inside the region.
  if (std::find(format, format + length, QZChar{'S'}) != format + length) {
    size_t run = 0;
    for (size_t i = 0; i < length; ++i) {
      run = format[i] >= '0' && format[i] <= '9' ? run + 1 : 0;
      if (run > 4 || format[i] == '*') format[i] = '_';
    }
  }

  const uint32_t given = (data[1] & 1) != 0 ? 0 : static_cast<uint32_t>(length);

  // The complete length, from no room at all.
  const Run measured = Format(format, given, nullptr, 0, arguments);
  if (measured.status == QZS_BAD_ARGUMENT_NUMBER) {
    if (measured.length != 0) Fail("a bad argument number reported a length");
    return;
  }
  if (measured.status != (measured.length == 0 ? QZ_OK : QZS_BUFFER_TOO_SMALL))
    Fail("status and length disagree without room");

  std::vector<QZChar> bounded(static_cast<size_t>(capacity) + kGuards, kGuard);
  const Run cut = Format(format, given, bounded.data(), capacity, arguments);
  CheckGuards(bounded, static_cast<size_t>(capacity));
  if (cut.length != measured.length) Fail("the length depends on the capacity");
  if (cut.status != (cut.length <= static_cast<uint32_t>(capacity) ? QZ_OK : QZS_BUFFER_TOO_SMALL))
    Fail("status and length disagree");
  if (measured.length > kMaxCompared) return;

  std::vector<QZChar> full(measured.length + kGuards, kGuard);
  const Run whole =
      Format(format, given, full.data(), static_cast<int32_t>(measured.length), arguments);
  CheckGuards(full, measured.length);
  if (whole.status != QZ_OK || whole.length != measured.length)
    Fail("the output did not fit its length");
  // The short buffer: a prefix of the output, then nothing written.
  size_t prefix = 0;
  const size_t room = std::min<size_t>(static_cast<size_t>(capacity), measured.length);
  while (prefix < room && bounded[prefix] == full[prefix])
    ++prefix;
  for (size_t i = prefix; i < static_cast<size_t>(capacity); ++i)
    if (bounded[i] != kGuard) Fail("a short buffer is not a prefix of the output");
}

void FuzzDouble(const uint8_t *data, size_t size) {
  if (size < 16) return;
  double value;
  std::memcpy(&value, data + 1, sizeof value);
  const QZChar conversion = "efgx"[data[9] % 4];
  int16_t precision;
  std::memcpy(&precision, data + 10, 2);
  const int32_t capacity = data[12] * 6;
  const uint8_t flags = data[13];

  std::vector<QZChar> big(1500 + kGuards, kGuard);
  int32_t need = -1;
  const QZStatus all =
      skzfDouble(value, conversion, ',', flags & 1, precision, flags & 2, big.data(), 1500, &need);
  CheckGuards(big, static_cast<size_t>(std::max(need, 0)));
  if (conversion == 'x') {
    if (all != QZS_BAD_VALUE || need != 0) Fail("a bad conversion was accepted");
    return;
  }
  if (all != QZ_OK || need <= 0 || need > 1400) Fail("a text outside its bound");

  std::vector<QZChar> small(static_cast<size_t>(capacity) + kGuards, kGuard);
  int32_t count = -1;
  const QZStatus status = skzfDouble(value, conversion, ',', flags & 1, precision, flags & 2,
                                     small.data(), capacity, &count);
  CheckGuards(small, static_cast<size_t>(capacity));
  if (count != need) Fail("the length depends on the capacity");
  if (status == QZ_OK) {
    if (std::memcmp(small.data(), big.data(), sizeof(QZChar) * static_cast<size_t>(need)) != 0)
      Fail("the text depends on the capacity");
  } else if (status != QZS_BUFFER_TOO_SMALL || count <= capacity || small[0] != kGuard) {
    Fail("a text that did not fit was written");
  }

  int32_t digits = -1, zeros = -1;
  std::vector<QZChar> integer(static_cast<size_t>(capacity) + kGuards, kGuard);
  skzfIDblToBuff(value, integer.data(), capacity, &digits, (flags & 4) ? &zeros : nullptr);
  CheckGuards(integer, static_cast<size_t>(capacity));
  if (digits < 0 || digits > 309) Fail("integer digits out of range");

  const int32_t n = precision < 0 ? 0 : precision % 2048;
  std::vector<QZChar> fraction(static_cast<size_t>(n) + kGuards, kGuard);
  int32_t written = -1, leading = -1;
  skzfFDblToBuff(value, fraction.data(), n, &written, (flags & 8) ? &leading : nullptr);
  CheckGuards(fraction, static_cast<size_t>(n));
  if (written < 0 || written > n) Fail("fraction digits out of range");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const Target &t = Setup();
  if (size == 0) return 0;
  if (data[0] % 2 == 0)
    FuzzFormatter(t, data, size);
  else
    FuzzDouble(data, size);
  return 0;
}

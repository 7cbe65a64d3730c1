// Buffered binary handles against a plain read/write loop of 8192-byte
// blocks over the same page-cached file of 256 MiB. The file lives in a
// temporary directory that is removed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qzioe/fileio.h"
#include "qzkernel/standin.h"

namespace {

constexpr int64_t kFileBytes = int64_t(256) << 20;
constexpr uint32_t kBlock = 8192;

struct Setting {
  QZHandle *kernel = nullptr;
  QZKLoaded *loaded = nullptr;
  QZIOEExtension *ext = nullptr;
  std::string dir;
  std::string path;
  std::vector<QZChar> chars;
  std::vector<char> bytes = std::vector<char>(size_t(1) << 20);

  Setting() {
    kernel = qzk_kernel_create(nullptr);
    char error[256] = "";
    ext = qzk_load(kernel, QZIOE_LIBRARY_PATH, 0, &loaded, error, sizeof error);
    if (ext == nullptr) {
      std::fprintf(stderr, "cannot load the extension: %s\n", error);
      std::exit(1);
    }
    const char *base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/qzioe-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::exit(1);
    dir = pattern;
    path = dir + "/data";
    for (unsigned char c : path)
      chars.push_back(c);
    for (size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<char>(i * 131 + 7);
  }
  ~Setting() {
    ::remove(path.c_str());
    ::remove(dir.c_str());
    ext->destroy(ext);
    qzk_unload(loaded);
    qzk_kernel_destroy(kernel);
  }

  QZIOEFile *Open(uint32_t mode, uint32_t record_length) {
    QZIOEOpenOptions options{};
    options.open_mode = mode;
    options.buffered = 1;
    options.record_length = record_length;
    options.record_format = QZIOE_FORMAT_BINARY;
    QZStatus status = 0;
    QZIOEFile *file = ext->open(ext, chars.data(), static_cast<int32_t>(chars.size()), &options, 0,
                                0, "bench", &status);
    if (file == nullptr) {
      std::fprintf(stderr, "open failed: 0x%08x\n", status);
      std::exit(1);
    }
    return file;
  }

  // Makes sure the whole file exists and sits in the page cache.
  void Prepare() {
    if (ready) return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    for (int64_t at = 0; at < kFileBytes; at += int64_t(bytes.size()))
      if (::write(fd, bytes.data(), bytes.size()) < 0) std::exit(1);
    ::close(fd);
    ready = true;
  }
  bool ready = false;
};

Setting &S() {
  static Setting setting;
  return setting;
}

// Writes into the page cache. Closing forces the file to storage (the flush
// slot calls fsync), which the plain loop does too; both are left out of
// the timing, which measures the writes themselves.
void HandleWrite(benchmark::State &state) {
  Setting &s = S();
  const auto record = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    QZIOEFile *file = s.Open(QZIOE_MODE_OUTPUT, record);
    for (int64_t at = 0; at < kFileBytes; at += record)
      if (file->write(file, s.bytes.data() + (at % (int64_t(1) << 19)), record, 0, nullptr) != 0)
        state.SkipWithError("write failed");
    state.PauseTiming();
    if (file->close(file) != 0) state.SkipWithError("close failed");
    state.ResumeTiming();
  }
  s.ready = true;
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void PlainWrite(benchmark::State &state) {
  Setting &s = S();
  for (auto _ : state) {
    const int fd = ::open(s.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    for (int64_t at = 0; at < kFileBytes; at += kBlock)
      if (::write(fd, s.bytes.data() + (at % (int64_t(1) << 19)), kBlock) != kBlock)
        state.SkipWithError("write failed");
    state.PauseTiming();
    fsync(fd);
    ::close(fd);
    state.ResumeTiming();
  }
  s.ready = true;
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void HandleRead(benchmark::State &state) {
  Setting &s = S();
  s.Prepare();
  const auto record = static_cast<uint32_t>(state.range(0));
  uint64_t sum = 0;
  for (auto _ : state) {
    QZIOEFile *file = s.Open(QZIOE_MODE_INPUT, record);
    for (;;) {
      void *address = nullptr;
      uint32_t length = record;
      if (file->read(file, &address, &length, 0, nullptr) != 0) break;
      sum += static_cast<const unsigned char *>(address)[0];
    }
    file->close(file);
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void PlainRead(benchmark::State &state) {
  Setting &s = S();
  s.Prepare();
  std::vector<unsigned char> block(kBlock);
  uint64_t sum = 0;
  for (auto _ : state) {
    const int fd = ::open(s.path.c_str(), O_RDONLY);
    while (::read(fd, block.data(), kBlock) > 0)
      sum += block[0];
    ::close(fd);
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

BENCHMARK(PlainWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(HandleWrite)
    ->Arg(8192)
    ->Arg(4096)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(PlainRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(HandleRead)->Arg(8192)->Arg(4096)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

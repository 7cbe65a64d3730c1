// Lines of a page-cached UTF-8 text (QZIOE_BENCH_MB MiB, 256 by default;
// lines of 20 to 120 bytes) through buffered line handles, against the
// obvious peers in the same run: 8192-byte reads with memchr, getline, and
// the same kernel transcoder or iconv per line.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qzioe/fileio.h"
#include "qzkernel/standin.h"

namespace {

constexpr uint32_t kBlock = 8192;
constexpr uint32_t kRecordLength = 8192;

struct Setting {
  QZHandle *kernel = qzk_kernel_create(nullptr);
  QZKLoaded *loaded = nullptr;
  QZIOEExtension *ext = nullptr;
  std::string dir, path, out_path;
  std::vector<QZChar> name, out_name;
  int64_t bytes = 0;
  std::vector<std::string> lines; // a sample for the writers

  Setting() {
    char error[256] = "";
    ext = qzk_load(kernel, QZIOE_LIBRARY_PATH, 0, &loaded, error, sizeof error);
    if (ext == nullptr) {
      std::fprintf(stderr, "cannot load the extension: %s\n", error);
      std::exit(1);
    }
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/qzioe-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::exit(1);
    dir = pattern;
    path = dir + "/text";
    out_path = dir + "/out";
    name.assign(path.begin(), path.end());
    out_name.assign(out_path.begin(), out_path.end());
    const char *mb = std::getenv("QZIOE_BENCH_MB");
    const int64_t target = int64_t(mb != nullptr ? std::atoi(mb) : 256) << 20;
    std::mt19937 random(7);
    for (int i = 0; i < 4096; ++i) {
      std::string line;
      const size_t length = 20 + random() % 101;
      while (line.size() < length)
        line += random() % 16 == 0 ? "\xc3\xa9" : std::string(1, char('a' + random() % 26));
      lines.push_back(line);
    }
    FILE *file = std::fopen(path.c_str(), "w");
    for (size_t i = 0; bytes < target; ++i) {
      const std::string &line = lines[i % lines.size()];
      std::fwrite(line.data(), 1, line.size(), file);
      std::fputc('\n', file);
      bytes += int64_t(line.size()) + 1;
    }
    std::fclose(file);
  }
  ~Setting() {
    ::remove(path.c_str());
    ::remove(out_path.c_str());
    ::remove(dir.c_str());
    ext->destroy(ext);
    qzk_unload(loaded);
    qzk_kernel_destroy(kernel);
  }

  QZIOEFile *Open(const std::vector<QZChar> &file, uint32_t mode, uint32_t record_encoding) {
    QZIOEOpenOptions options{};
    options.open_mode = mode;
    options.buffered = 1;
    options.record_length = kRecordLength;
    options.record_format = QZIOE_FORMAT_VARIABLE;
    options.file_encoding = QZ_ENC_UTF8;
    options.record_encoding = record_encoding;
    options.options = QZIOE_OPT_NO_BOM;
    QZStatus status = 0;
    QZIOEFile *handle = ext->open(ext, file.data(), static_cast<int32_t>(file.size()), &options, 0,
                                  0, "bench", &status);
    if (handle == nullptr) {
      std::fprintf(stderr, "open failed: 0x%08x\n", status);
      std::exit(1);
    }
    return handle;
  }
};

Setting &S() {
  static Setting setting;
  return setting;
}

// Calls `line(start, length)` for every line of the file, read in 8192-byte
// blocks and split with memchr.
template <typename Line> void ReadLines(const std::string &path, Line line) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  std::vector<char> buffer(kBlock + kRecordLength);
  size_t kept = 0;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data() + kept, kBlock);
    if (got <= 0) break;
    const char *at = buffer.data();
    const char *end = at + kept + got;
    for (const char *lf; (lf = static_cast<const char *>(std::memchr(at, '\n', end - at)));
         at = lf + 1)
      line(at, static_cast<size_t>(lf - at));
    kept = static_cast<size_t>(end - at);
    std::memmove(buffer.data(), at, kept);
  }
  ::close(fd);
}

void HandleLines(benchmark::State &state, uint32_t record_encoding) {
  Setting &s = S();
  uint64_t sum = 0;
  for (auto _ : state) {
    QZIOEFile *file = s.Open(s.name, QZIOE_MODE_INPUT, record_encoding);
    for (;;) {
      void *address = nullptr;
      uint32_t length = 0;
      if (file->read(file, &address, &length, 0, nullptr) != QZ_OK) break;
      sum += length;
    }
    file->close(file);
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(state.iterations() * s.bytes);
}

void HandleLinesUtf8(benchmark::State &state) {
  HandleLines(state, QZ_ENC_UTF8);
}
void HandleLinesToUtf32(benchmark::State &state) {
  HandleLines(state, QZ_ENC_UTF32LE);
}

void ReadMemchrLines(benchmark::State &state) {
  Setting &s = S();
  uint64_t sum = 0;
  for (auto _ : state)
    ReadLines(s.path, [&](const char *, size_t length) { sum += length; });
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(state.iterations() * S().bytes);
}

// The library's own overhead: the same reads, scans and kernel transcoder.
void ReadMemchrTranscoderLines(benchmark::State &state) {
  Setting &s = S();
  QZNls *nls = s.kernel->nls;
  QZTranscoder *transcoder = nls->create_transcoder(nls, QZ_ENC_UTF8, QZ_ENC_UTF32LE, 0, 0);
  std::vector<char> out(4 * kRecordLength);
  uint64_t sum = 0;
  for (auto _ : state)
    ReadLines(s.path, [&](const char *at, size_t length) {
      uint32_t produced = 0;
      if (length > 0)
        transcoder->convert(transcoder, at, static_cast<uint32_t>(length), out.data(),
                            static_cast<uint32_t>(out.size()), &produced, 0);
      sum += produced;
    });
  transcoder->methods->destroy(transcoder);
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(state.iterations() * s.bytes);
}

void GetlineLines(benchmark::State &state, bool convert) {
  Setting &s = S();
  iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
  std::vector<char> out(4 * kRecordLength);
  uint64_t sum = 0;
  char *line = nullptr;
  size_t capacity = 0;
  for (auto _ : state) {
    FILE *file = std::fopen(s.path.c_str(), "r");
    for (ssize_t n; (n = getline(&line, &capacity, file)) > 0;) {
      sum += static_cast<size_t>(n);
      if (convert) {
        char *in = line;
        size_t in_left = static_cast<size_t>(n - 1);
        char *to = out.data();
        size_t out_left = out.size();
        iconv(cd, &in, &in_left, &to, &out_left);
      }
    }
    std::fclose(file);
  }
  std::free(line);
  iconv_close(cd);
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(state.iterations() * s.bytes);
}

void GetlineOnly(benchmark::State &state) {
  GetlineLines(state, false);
}
void GetlineIconv(benchmark::State &state) {
  GetlineLines(state, true);
}

// Writing the same lines (as much as the text) into the page cache; the
// closing fsync is left out of the timing on both sides.
void HandleWriteLines(benchmark::State &state) {
  Setting &s = S();
  for (auto _ : state) {
    QZIOEFile *file = s.Open(s.out_name, QZIOE_MODE_OUTPUT, QZ_ENC_UTF8);
    int64_t written = 0;
    for (size_t i = 0; written < s.bytes; ++i) {
      const std::string &line = s.lines[i % s.lines.size()];
      file->write(file, line.data(), static_cast<uint32_t>(line.size()), 0, nullptr);
      written += int64_t(line.size()) + 1;
    }
    state.PauseTiming();
    file->close(file);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * s.bytes);
}

void FwriteLines(benchmark::State &state) {
  Setting &s = S();
  for (auto _ : state) {
    FILE *file = std::fopen(s.out_path.c_str(), "w");
    int64_t written = 0;
    for (size_t i = 0; written < s.bytes; ++i) {
      const std::string &line = s.lines[i % s.lines.size()];
      std::fwrite(line.data(), 1, line.size(), file);
      std::fputc('\n', file);
      written += int64_t(line.size()) + 1;
    }
    std::fflush(file);
    state.PauseTiming();
    fsync(fileno(file));
    std::fclose(file);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * s.bytes);
}

BENCHMARK(ReadMemchrLines)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(GetlineOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(HandleLinesUtf8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadMemchrTranscoderLines)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(GetlineIconv)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(HandleLinesToUtf32)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(FwriteLines)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(HandleWriteLines)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

// The formatter against the C library's swprintf (4-byte wchar_t, like
// QZChar) and, where it was found, {fmt} writing wchar_t, on the same
// values: random ints, short texts and random doubles (of everyday magnitudes,
// and any finite ones), one directive a call.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

#if QZIOE_BENCH_FMT
#define FMT_HEADER_ONLY
#include <fmt/format.h>
#include <fmt/xchar.h>
#endif

#include "qzioe/format.h"

// swprintf gets its formats at run time, like the engine.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

namespace {

constexpr size_t kValues = 1024; // a power of two: cheap wrap-around
constexpr int32_t kRoom = 512;

// Ints of every length: random bits shifted right by 0 to 31, either sign.
const std::vector<int> &Ints() {
  static const std::vector<int> values = [] {
    std::mt19937 random(42);
    std::vector<int> v(kValues);
    for (int &x : v) {
      const uint32_t bits = random() >> (random() % 32);
      x = static_cast<int>(random() % 2 ? bits : 0u - bits);
    }
    return v;
  }();
  return values;
}

// Doubles with a random 52-bit fraction, either sign, and magnitudes spread
// evenly over 2^-20 to 2^40 (about 1e-6 to 1e12).
const std::vector<double> &Reals() {
  static const std::vector<double> values = [] {
    std::mt19937_64 random(43);
    std::vector<double> v(kValues);
    for (double &x : v) {
      const double mantissa = 1.0 + static_cast<double>(random() >> 12) / 4503599627370496.0;
      x = std::ldexp(random() % 2 ? mantissa : -mantissa, static_cast<int>(random() % 61) - 20);
    }
    return v;
  }();
  return values;
}

// Any finite double: random bits, so that most have a decimal exponent in
// the hundreds (and %.6f of the large half hundreds of digits).
const std::vector<double> &AnyReals() {
  static const std::vector<double> values = [] {
    std::mt19937_64 random(44);
    std::vector<double> v(kValues);
    for (double &x : v) {
      uint64_t bits = random();
      if (((bits >> 52) & 0x7ff) == 0x7ff) bits ^= uint64_t{1} << 62; // no infinity or NaN
      std::memcpy(&x, &bits, sizeof x);
    }
    return v;
  }();
  return values;
}

// Short texts, 2 to 12 characters, as QZChar and wchar_t strings.
const char *const kWords[] = {"qzioe",      "log",   "record",  "a.txt",  "/tmp/x",    "ok",
                              "transcoder", "pool",  "UTF-8",   "buffer", "directory", "name",
                              "value=12",   "stdin", "journal", "mark"};
constexpr size_t kWordCount = sizeof kWords / sizeof kWords[0];

struct Words {
  std::vector<std::u32string> units;
  std::vector<std::wstring> wide;
  Words() {
    for (const char *word : kWords) {
      units.emplace_back(word, word + std::char_traits<char>::length(word));
      wide.emplace_back(word, word + std::char_traits<char>::length(word));
    }
  }
};
const Words &TheWords() {
  static const Words words;
  return words;
}

std::vector<QZChar> Units(const char *text) {
  std::vector<QZChar> units;
  for (const char *p = text; *p != 0; ++p)
    units.push_back(static_cast<unsigned char>(*p));
  return units;
}

std::wstring Wide(const char *text) {
  return std::wstring(text, text + std::char_traits<char>::length(text));
}

// One job: a printf directive for the engine and swprintf, and the {fmt}
// spec nearest to it. %08.3x has no {fmt} spelling; {:08x} gives the
// engine's text (whose zero flag pads despite the precision).
struct Job {
  const char *name;
  const char *printf_format; // %s spelled %ls for swprintf
  const wchar_t *fmt_format;
  enum Kind { kInt, kText, kReal, kAnyReal } kind;
};

double RealOf(const Job &job, size_t i) {
  return job.kind == Job::kAnyReal ? AnyReals()[i] : Reals()[i];
}

const Job kJobs[] = {
    {"%d", "%d", L"{}", Job::kInt},
    {"%08.3x", "%08.3x", L"{:08x}", Job::kInt},
    {"%s", "%s", L"{}", Job::kText},
    {"%.6f", "%.6f", L"{:.6f}", Job::kReal},
    {"%e", "%e", L"{:e}", Job::kReal},
    {"%g", "%g", L"{:g}", Job::kReal},
    {"%.6f any", "%.6f", L"{:.6f}", Job::kAnyReal},
    {"%e any", "%e", L"{:e}", Job::kAnyReal},
    {"%g any", "%g", L"{:g}", Job::kAnyReal},
};

// Formats value `i` of the job's set with the engine; returns the length.
uint32_t Engine(const Job &job, const std::vector<QZChar> &format, size_t i, QZChar *out) {
  uint32_t length = 0;
  const auto size = static_cast<uint32_t>(format.size());
  if (job.kind == Job::kInt)
    qzzFormatBuff(nullptr, format.data(), size, out, kRoom, &length, Ints()[i]);
  else if (job.kind == Job::kText)
    qzzFormatBuff(nullptr, format.data(), size, out, kRoom, &length,
                  reinterpret_cast<const QZChar *>(TheWords().units[i % kWordCount].c_str()));
  else
    qzzFormatBuff(nullptr, format.data(), size, out, kRoom, &length, RealOf(job, i));
  return length;
}

int Swprintf(const Job &job, const std::wstring &format, size_t i, wchar_t *out) {
  if (job.kind == Job::kInt) return std::swprintf(out, kRoom, format.c_str(), Ints()[i]);
  if (job.kind == Job::kText)
    return std::swprintf(out, kRoom, format.c_str(), TheWords().wide[i % kWordCount].c_str());
  return std::swprintf(out, kRoom, format.c_str(), RealOf(job, i));
}

#if QZIOE_BENCH_FMT
size_t Fmt(const Job &job, size_t i, wchar_t *out) {
  const fmt::wstring_view format(job.fmt_format);
  if (job.kind == Job::kInt) {
    const int value = Ints()[i];
    if (job.fmt_format[1] == ':') // the hexadecimal job: the bits, unsigned
      return fmt::format_to_n(out, kRoom, format, static_cast<unsigned>(value)).size;
    return fmt::format_to_n(out, kRoom, format, value).size;
  }
  if (job.kind == Job::kText)
    return fmt::format_to_n(out, kRoom, format, std::wstring_view(TheWords().wide[i % kWordCount]))
        .size;
  return fmt::format_to_n(out, kRoom, format, RealOf(job, i)).size;
}
#endif

void EngineJob(benchmark::State &state, const Job &job) {
  const std::vector<QZChar> format = Units(job.printf_format);
  QZChar out[kRoom];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Engine(job, format, i++ % kValues, out));
    benchmark::ClobberMemory();
  }
}

void SwprintfJob(benchmark::State &state, const Job &job) {
  std::wstring format = Wide(job.printf_format);
  if (job.kind == Job::kText) format = L"%ls";
  wchar_t out[kRoom];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Swprintf(job, format, i++ % kValues, out));
    benchmark::ClobberMemory();
  }
}

#if QZIOE_BENCH_FMT
void FmtJob(benchmark::State &state, const Job &job) {
  wchar_t out[kRoom];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Fmt(job, i++ % kValues, out));
    benchmark::ClobberMemory();
  }
}
#endif

// The peers must write what the engine writes, or the race is not fair:
// every value of every job is compared once before the timing. Except:
// swprintf's %08.3x, whose precision turns its zero padding into spaces,
// and %g below 1e-4, where the engine shows one digit more.
bool PeersAgree() {
  bool agree = true;
  for (const Job &job : kJobs) {
    const std::vector<QZChar> format = Units(job.printf_format);
    std::wstring wide_format = Wide(job.printf_format);
    if (job.kind == Job::kText) wide_format = L"%ls";
    for (size_t i = 0; i < kValues; ++i) {
      if (job.printf_format == std::string("%g") && std::fabs(RealOf(job, i)) < 1e-4) continue;
      QZChar units[kRoom];
      wchar_t wide[kRoom];
      const std::wstring engine(units, units + Engine(job, format, i, units));
      std::vector<std::pair<const char *, std::wstring>> peers;
      if (std::string(job.name) != "%08.3x")
        peers.emplace_back(
            "swprintf", std::wstring(wide, static_cast<size_t>(
                                               std::max(0, Swprintf(job, wide_format, i, wide)))));
#if QZIOE_BENCH_FMT
      peers.emplace_back("fmt", std::wstring(wide, Fmt(job, i, wide)));
#endif
      for (const auto &[peer, text] : peers) {
        if (text == engine) continue;
        std::fprintf(stderr, "%s: %s wrote \"%ls\", the engine \"%ls\"\n", job.name, peer,
                     text.c_str(), engine.c_str());
        agree = false;
        break;
      }
    }
  }
  return agree;
}

void RegisterAll() {
  for (const Job &job : kJobs) {
    const std::string name = job.name;
    benchmark::RegisterBenchmark((name + "/engine").c_str(), EngineJob, job);
    benchmark::RegisterBenchmark((name + "/swprintf").c_str(), SwprintfJob, job);
#if QZIOE_BENCH_FMT
    benchmark::RegisterBenchmark((name + "/fmt").c_str(), FmtJob, job);
#endif
  }
}

} // namespace

int main(int argc, char **argv) {
  if (!PeersAgree()) return 1;
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

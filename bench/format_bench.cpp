// The formatter against the C library's swprintf (4-byte wchar_t, like
// QZChar) and snprintf on the same formats and values.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "qzioe/format.h"

// The C library calls get their formats at run time, like the engine.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

namespace {

enum class Impl { kEngine, kWide, kNarrow };

// One format in the three spellings, %s being %ls for swprintf.
struct Spelling {
  std::vector<QZChar> engine;
  std::wstring wide;
  std::string narrow;
};

Spelling Spell(const char *format, const char *wide_format = nullptr) {
  Spelling s;
  for (const char *p = format; *p != 0; ++p)
    s.engine.push_back(static_cast<unsigned char>(*p));
  for (const char *p = wide_format ? wide_format : format; *p != 0; ++p)
    s.wide.push_back(static_cast<wchar_t>(*p));
  s.narrow = format;
  return s;
}

// The values: ordinary magnitudes with long expansions.
const double kReals[] = {3.141592653589793, 0.1,   123456.789, 2.718281828459045e-5,
                         6.02214076e23,     -42.5, 1e-300,     0.333333333333333};

template <Impl kImpl, typename... Args>
void Once(const Spelling &s, QZChar *units, wchar_t *wide, char *bytes, Args... args) {
  if constexpr (kImpl == Impl::kEngine) {
    uint32_t length = 0;
    qzzFormatBuff(nullptr, s.engine.data(), static_cast<uint32_t>(s.engine.size()), units, 512,
                  &length, args...);
    benchmark::DoNotOptimize(length);
  } else if constexpr (kImpl == Impl::kWide) {
    benchmark::DoNotOptimize(std::swprintf(wide, 512, s.wide.c_str(), args...));
  } else {
    benchmark::DoNotOptimize(std::snprintf(bytes, 512, s.narrow.c_str(), args...));
  }
  benchmark::ClobberMemory();
}

template <Impl kImpl> void Integers(benchmark::State &state) {
  const Spelling s = Spell("%d %5u %#x %-8lld|");
  QZChar units[512];
  wchar_t wide[512];
  char bytes[512];
  int i = 0;
  for (auto _ : state) {
    i = (i + 1) % 100000;
    Once<kImpl>(s, units, wide, bytes, i * 7919, i, i * 31, static_cast<long long>(i) << 33);
  }
}

template <Impl kImpl> void Strings(benchmark::State &state) {
  const Spelling s = Spell("name=%s, %-12s|", "name=%ls, %-12ls|");
  static const QZChar engine_text[] = {'q', 'z', 'i', 'o', 'e', '.', 'l', 'o', 'g', 0};
  static const wchar_t wide_text[] = L"qzioe.log";
  static const char narrow_text[] = "qzioe.log";
  QZChar units[512];
  wchar_t wide[512];
  char bytes[512];
  for (auto _ : state) {
    if constexpr (kImpl == Impl::kEngine)
      Once<kImpl>(s, units, wide, bytes, engine_text, engine_text);
    else if constexpr (kImpl == Impl::kWide)
      Once<kImpl>(s, units, wide, bytes, wide_text, wide_text);
    else
      Once<kImpl>(s, units, wide, bytes, narrow_text, narrow_text);
  }
}

template <Impl kImpl> void Reals(benchmark::State &state, const char *format) {
  const Spelling s = Spell(format);
  QZChar units[512];
  wchar_t wide[512];
  char bytes[512];
  size_t i = 0;
  for (auto _ : state)
    Once<kImpl>(s, units, wide, bytes, kReals[i++ % 8]);
}

void RegisterAll() {
  benchmark::RegisterBenchmark("integers/engine", Integers<Impl::kEngine>);
  benchmark::RegisterBenchmark("integers/swprintf", Integers<Impl::kWide>);
  benchmark::RegisterBenchmark("integers/snprintf", Integers<Impl::kNarrow>);
  benchmark::RegisterBenchmark("strings/engine", Strings<Impl::kEngine>);
  benchmark::RegisterBenchmark("strings/swprintf", Strings<Impl::kWide>);
  benchmark::RegisterBenchmark("strings/snprintf", Strings<Impl::kNarrow>);
  for (const char *format : {"%.17g", "%f", "%.3e"}) {
    const std::string name = std::string("reals ") + format;
    benchmark::RegisterBenchmark((name + "/engine").c_str(), Reals<Impl::kEngine>, format);
    benchmark::RegisterBenchmark((name + "/swprintf").c_str(), Reals<Impl::kWide>, format);
    benchmark::RegisterBenchmark((name + "/snprintf").c_str(), Reals<Impl::kNarrow>, format);
  }
}

} // namespace

int main(int argc, char **argv) {
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

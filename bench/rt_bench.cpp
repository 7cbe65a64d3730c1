// The byte primitives against the C library calls they are built on, over
// a page-sized and a large buffer.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "qzioe/runtime.h"

namespace {

constexpr int64_t kSmall = 4 << 10;
constexpr int64_t kLarge = 1 << 20;

std::vector<uint8_t> Filled(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<uint8_t>('a' + i % 26);
  return bytes;
}

// The byte looked for sits at the very end.
template <bool kOwn> void Scan(benchmark::State &state) {
  const auto size = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> bytes = Filled(size);
  bytes.back() = 0;
  for (auto _ : state) {
    int64_t index;
    if constexpr (kOwn) {
      index = skMemScan(bytes.data(), static_cast<uint32_t>(size), 0);
    } else {
      const void *hit = std::memchr(bytes.data(), 0, size);
      index = hit ? static_cast<const uint8_t *>(hit) - bytes.data() : -1;
    }
    benchmark::DoNotOptimize(index);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Overlapping move by 64 bytes upwards, the hard direction.
template <bool kOwn> void Move(benchmark::State &state) {
  const auto size = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> bytes = Filled(size + 64);
  for (auto _ : state) {
    if constexpr (kOwn) {
      benchmark::DoNotOptimize(
          skMemSCpy(bytes.data(), bytes.data() + 64, static_cast<uint32_t>(size)));
    } else {
      benchmark::DoNotOptimize(std::memmove(bytes.data() + 64, bytes.data(), size));
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Equal blocks: every byte is compared.
template <bool kOwn> void Compare(benchmark::State &state) {
  const auto size = static_cast<size_t>(state.range(0));
  const std::vector<uint8_t> first = Filled(size);
  const std::vector<uint8_t> second = first;
  for (auto _ : state) {
    int order;
    if constexpr (kOwn) {
      order = skMemCmp(first.data(), second.data(), static_cast<uint32_t>(size));
    } else {
      order = std::memcmp(first.data(), second.data(), size);
    }
    benchmark::DoNotOptimize(order);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(Scan<true>)->Name("skMemScan")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(Scan<false>)->Name("memchr")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(Move<true>)->Name("skMemSCpy")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(Move<false>)->Name("memmove")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(Compare<true>)->Name("skMemCmp")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(Compare<false>)->Name("memcmp")->Arg(kSmall)->Arg(kLarge);

} // namespace

BENCHMARK_MAIN();

// One channel's half-buffer through each driver sample conversion, against a plain copy of the
// same bytes: the cost the worker adds per channel and cycle beyond moving the data.
#include "asio/ALASIOConvert.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace portwise {
namespace {

constexpr std::uint32_t kFrames = 1024;

std::vector<std::uint8_t> DriverHalf(TASIOSampleType type) {
  std::vector<std::uint8_t> half(std::size_t{kFrames} * ALASIODriverSampleBytes(type));
  const bool isFloat = type == 3 || type == 4 || type == 19 || type == 20;
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    const double x = 0.9 * ((i % 200) / 100.0 - 1.0);
    std::uint8_t* p = half.data() + std::size_t{i} * ALASIODriverSampleBytes(type);
    if (isFloat && ALASIODriverSampleBytes(type) == 4) {
      const auto f = static_cast<float>(x);
      std::memcpy(p, &f, 4);
    } else if (isFloat) {
      std::memcpy(p, &x, 8);
    } else {
      for (std::uint32_t b = 0; b < ALASIODriverSampleBytes(type); ++b) p[b] = static_cast<std::uint8_t>(i * 7 + b);
    }
  }
  return half;
}

template <bool Reference>
void BM_Input(benchmark::State& state) {
  const auto type = static_cast<TASIOSampleType>(state.range(0));
  const std::vector<std::uint8_t> half = DriverHalf(type);
  std::vector<std::uint8_t> buffer(std::size_t{kFrames} * 4);
  for (auto _ : state) {
    if (Reference) ALASIOReferenceConvertInput(type, half.data(), buffer.data(), kFrames);
    else ALASIOConvertInput(type, half.data(), buffer.data(), kFrames);
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(half.size()));
}

template <bool Reference>
void BM_Output(benchmark::State& state) {
  const auto type = static_cast<TASIOSampleType>(state.range(0));
  std::vector<std::uint8_t> buffer(std::size_t{kFrames} * ALASIOBufferBits(type) / 8);
  for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<std::uint8_t>(i * 13);
  std::vector<std::uint8_t> half(std::size_t{kFrames} * ALASIODriverSampleBytes(type));
  for (auto _ : state) {
    if (Reference) ALASIOReferenceConvertOutput(type, buffer.data(), half.data(), kFrames);
    else ALASIOConvertOutput(type, buffer.data(), half.data(), kFrames);
    benchmark::DoNotOptimize(half.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(half.size()));
}

void BM_Memcpy(benchmark::State& state) {
  const auto bytes = static_cast<std::size_t>(state.range(0)) * kFrames;
  std::vector<std::uint8_t> a(bytes, 1), b(bytes);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), bytes);
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

// The types by family: 16-bit, 24-bit and 32-bit integers little- and big-endian, the four floats.
void Types(benchmark::internal::Benchmark* b) {
  for (int type : {16, 0, 17, 1, 18, 2, 19, 3, 20, 4}) b->Arg(type);
}

BENCHMARK(BM_Memcpy)->Name("ASIOMemcpy/bytesPerSample")->Arg(2)->Arg(3)->Arg(4)->Arg(8);
BENCHMARK_TEMPLATE(BM_Input, false)->Name("ASIOInput/type")->Apply(Types);
BENCHMARK_TEMPLATE(BM_Input, true)->Name("ASIOInputReference/type")->Apply(Types);
BENCHMARK_TEMPLATE(BM_Output, false)->Name("ASIOOutput/type")->Apply(Types);
BENCHMARK_TEMPLATE(BM_Output, true)->Name("ASIOOutputReference/type")->Apply(Types);

}  // namespace
}  // namespace portwise

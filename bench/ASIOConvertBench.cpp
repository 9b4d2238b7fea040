// Each driver sample type's conversion of one channel's half-buffer, in both directions, against
// memcpy of the bytes the conversion writes: the cost the worker adds per channel and cycle
// beyond moving the data.
#include <cstring>
#include <vector>

#include "asio/ALASIOConvert.h"
#include "bench/BenchSupport.h"

namespace portwise::bench {
namespace {

bool IsFloat(TASIOSampleType type) { return type == 3 || type == 4 || type == 19 || type == 20; }

// Samples spread over the range, with some beyond full scale for the float types.
std::vector<std::uint8_t> DriverHalf(TASIOSampleType type, std::uint32_t frames) {
  const std::uint32_t bytes = ALASIODriverSampleBytes(type);
  std::vector<std::uint8_t> half(std::size_t{frames} * bytes);
  for (std::uint32_t i = 0; i < frames; ++i) {
    const double x = 1.1 * ((i % 200) / 100.0 - 1.0);
    std::uint8_t* p = half.data() + std::size_t{i} * bytes;
    if (IsFloat(type) && bytes == 4) {
      const auto f = static_cast<float>(x);
      std::memcpy(p, &f, 4);
    } else if (IsFloat(type)) {
      std::memcpy(p, &x, 8);
    } else {
      for (std::uint32_t b = 0; b < bytes; ++b) p[b] = static_cast<std::uint8_t>(i * 7 + b * 29);
    }
  }
  return half;
}

void BM_Convert(benchmark::State& state) {
  const auto type = static_cast<TASIOSampleType>(state.range(0));
  const auto frames = static_cast<std::uint32_t>(state.range(1));
  const bool input = state.range(2) != 0;
  const std::size_t driverBytes = std::size_t{frames} * ALASIODriverSampleBytes(type);
  const std::size_t bufferBytes = std::size_t{frames} * ALASIOBufferBits(type) / 8;
  const std::vector<std::uint8_t> half = DriverHalf(type, frames);
  std::vector<std::uint8_t> buffer(bufferBytes), out(input ? bufferBytes : driverBytes);
  // The output direction reads buffer samples: the input conversion of the half gives valid ones.
  ALASIOConvertInput(type, half.data(), buffer.data(), frames);
  std::vector<std::uint8_t> copyFrom(out.size(), 3), copyTo(out.size());
  state.SetLabel(input ? "in" : "out");
  RunSideBySide(
      state, 64,
      [&] {
        if (input) ALASIOConvertInput(type, half.data(), out.data(), frames);
        else ALASIOConvertOutput(type, buffer.data(), out.data(), frames);
        benchmark::ClobberMemory();
      },
      [&] {
        std::memcpy(copyTo.data(), copyFrom.data(), copyTo.size());
        benchmark::ClobberMemory();
      },
      frames);
}

void Cases(benchmark::internal::Benchmark* b) {
  for (int type : {16, 0, 17, 1, 18, 2, 24, 25, 26, 27, 8, 9, 10, 11, 19, 3, 20, 4})
    for (int frames : {64, 2048})
      for (int input : {1, 0}) b->Args({type, frames, input});
}
BENCHMARK(BM_Convert)->Name("asio_convert/type/frames/input")->Apply(Cases)->MinTime(0.05);

}  // namespace
}  // namespace portwise::bench

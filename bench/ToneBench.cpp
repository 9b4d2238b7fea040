// One generator block: a 1024-frame mono tone computed once and written into both channels of
// interleaved 16-bit stereo frames. The recurrence kernel against a cosine per sample.
#include "gen/SLKernels.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <vector>

namespace portwise {
namespace {

constexpr int kFrames = 1024;
constexpr int kChannels = 2;
constexpr float kRFreq = 1000.0f / 44100.0f;

using ToneFn = IppStatus (*)(Ipp16s*, int, Ipp16s, float, float*, IppHintAlgorithm);

template <ToneFn Tone>
void BM_StereoToneBlock(benchmark::State& state) {
  std::vector<Ipp16s> scratch(kFrames);
  std::vector<Ipp16s> frames(kFrames * kChannels);
  float phase = 0;
  for (auto _ : state) {
    if (Tone(scratch.data(), kFrames, 16383, kRFreq, &phase, ippAlgHintNone) != ippStsNoErr)
      state.SkipWithError("tone kernel failed");
    for (int c = 0; c < kChannels; ++c)
      for (std::size_t k = 0; k < kFrames; ++k) frames[k * kChannels + c] = scratch[k];
    benchmark::DoNotOptimize(frames.data());
    benchmark::ClobberMemory();
  }
  // Processor time per output sample, both channels counted (shown in seconds, SI-prefixed).
  state.counters["per_sample"] = benchmark::Counter(
      static_cast<double>(kFrames * kChannels),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK_TEMPLATE(BM_StereoToneBlock, &ippsTone_Direct_16s)->Name("ToneRecurrence/1024x2");
BENCHMARK_TEMPLATE(BM_StereoToneBlock, &reference::ippsTone_Direct_16s)
    ->Name("ToneCosPerSample/1024x2");

}  // namespace
}  // namespace portwise

// One generator block as the generator makes it: a 1024-frame tone computed once, then written
// into both channels of interleaved 16-bit stereo frames by the generator's channel writer. The recurrence
// kernel against the same block made with one cosine per sample.
#include <vector>

#include "bench/BenchSupport.h"
#include "core/ALSampleConvert.h"
#include "gen/SLKernels.h"

namespace portwise::bench {
namespace {

constexpr int kFrames = 1024;
constexpr int kChannels = 2;
constexpr float kRFreq = 1000.0f / 44100.0f;

using ToneFn = IppStatus (*)(Ipp16s*, int, Ipp16s, float, float*, IppHintAlgorithm);

struct TBlock {
  std::vector<Ipp16s> Scratch = std::vector<Ipp16s>(kFrames);
  std::vector<Ipp16s> Frames = std::vector<Ipp16s>(kFrames * kChannels);
  float Phase = 0;

  void Make(ToneFn tone) {
    tone(Scratch.data(), kFrames, 16383, kRFreq, &Phase, ippAlgHintNone);
    ALSpreadChannels16(Scratch.data(), kFrames, reinterpret_cast<std::uint8_t*>(Frames.data()), 2 * kChannels,
                       kChannels, 2);
    benchmark::ClobberMemory();
  }
};

void BM_ToneBlock(benchmark::State& state) {
  TBlock fast, slow;
  RunSideBySide(
      state, 64, [&] { fast.Make(&ippsTone_Direct_16s); }, [&] { slow.Make(&reference::ippsTone_Direct_16s); },
      kFrames);
}
BENCHMARK(BM_ToneBlock)->Name("tone_block_1024x2_vs_cos_per_sample");

}  // namespace
}  // namespace portwise::bench

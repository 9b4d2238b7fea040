// The sample copies of the buffer path against memcpy of the same bytes, all in L1:
//  - one channel copied at the same width (16 and 32 bits), per sample;
//  - the frame copy between buffers (16->24, 16->32, 24->16 stereo, stereo->mono 16), per frame.
#include <cstring>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/ALAudioBuffer.h"
#include "core/ALSampleConvert.h"

namespace portwise::bench {
namespace {

constexpr std::uint32_t kFrames = 1024;

void BM_SameWidthChannel(benchmark::State& state) {
  const auto bytes = static_cast<std::uint32_t>(state.range(0));
  std::vector<std::uint8_t> src(std::size_t{kFrames} * bytes), dst(src.size());
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i * 37 + 11);
  RunSideBySide(
      state, 256,
      [&] {
        ALCopyChannel(src.data(), bytes, bytes, dst.data(), bytes, bytes, kFrames);
        benchmark::ClobberMemory();
      },
      [&] {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::ClobberMemory();
      },
      kFrames);
}
BENCHMARK(BM_SameWidthChannel)->Name("copy_same_width_channel/bytes")->Arg(2)->Arg(4);

struct TFrameCase {
  std::uint32_t SrcBits, SrcChannels, DstBits, DstChannels;
};
constexpr TFrameCase kFrameCases[] = {{16, 2, 24, 2}, {16, 2, 32, 2}, {24, 2, 16, 2}, {16, 2, 16, 1}};

void BM_FrameCopy(benchmark::State& state) {
  const TFrameCase& c = kFrameCases[state.range(0)];
  PALAudioBuffer src = TALAudioBuffer::CreateSize(44100, c.SrcBits, c.SrcChannels, kFrames);
  PALAudioBuffer dst = TALAudioBuffer::CreateSize(44100, c.DstBits, c.DstChannels, kFrames);
  std::uint8_t* s = src->GetWritePointer();
  for (std::uint32_t i = 0; i < src->GetByteSize(); ++i) s[i] = static_cast<std::uint8_t>(i * 53 + 7);
  dst->GetWritePointer();
  std::vector<std::uint8_t> a(dst->GetByteSize(), 1), b(a.size());
  state.SetLabel(std::to_string(c.SrcBits) + "x" + std::to_string(c.SrcChannels) + "->" + std::to_string(c.DstBits) +
                 "x" + std::to_string(c.DstChannels));
  RunSideBySide(
      state, 256,
      [&] {
        src->CopyTo(0, dst.Get(), 0, kFrames);
        benchmark::ClobberMemory();
      },
      [&] {
        std::memcpy(b.data(), a.data(), a.size());
        benchmark::ClobberMemory();
      },
      kFrames);
}
BENCHMARK(BM_FrameCopy)->Name("copy_frames/case")->DenseRange(0, 3);

}  // namespace
}  // namespace portwise::bench

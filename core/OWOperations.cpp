#include "core/OWOperations.h"

#include <atomic>
#include <cstring>

namespace portwise {

namespace {

std::atomic<std::uint32_t> GNextOperationID{0};

TALWaveFormatExtensible DefaultStartFormat() {
  TALWaveFormatExtensible w{};
  w.wFormatTag = ALWaveFormatExtensibleTag;
  w.nChannels = 2;
  w.nSamplesPerSec = 11024;
  w.nAvgBytesPerSec = 44096;
  w.nBlockAlign = 4;
  w.wBitsPerSample = 16;
  w.cbSize = ALWaveFormatExtensibleCbSize;
  w.wValidBitsPerSample = 16;
  w.dwChannelMask = 3;
  w.SubFormat = ALSubFormatPCM;
  return w;
}

}  // namespace

TOWNotifyOperation::TOWNotifyOperation() : FOperationID(GNextOperationID.fetch_add(1, std::memory_order_relaxed) + 1) {}

TOWStartWaveOperation::TOWStartWaveOperation() : WaveFormat(DefaultStartFormat()) {
  SampleRate = WaveFormat.nSamplesPerSec;
  Rate = static_cast<float>(SampleRate);
}

TOWStartWaveOperation::TOWStartWaveOperation(const TALWaveFormatExtensible& AWaveFormat, bool APaused)
    : WaveFormat(AWaveFormat), Paused(APaused) {
  SampleRate = WaveFormat.nSamplesPerSec;
  Rate = static_cast<float>(SampleRate);
}

TRefPtr<TOWStartWaveOperation> TOWStartWaveOperation::CreateWave(double ABufferRate, const TOWWaveFormatEx* AWaveFormat,
                                                                 bool APaused) {
  TRefPtr<TOWStartWaveOperation> op(new TOWStartWaveOperation());
  op->Paused = APaused;
  if (AWaveFormat) {
    std::memcpy(&op->WaveFormat, AWaveFormat, 16);
    op->WaveFormat.wFormatTag = ALWaveFormatExtensibleTag;
    op->WaveFormat.cbSize = ALWaveFormatExtensibleCbSize;
    op->WaveFormat.wValidBitsPerSample = op->WaveFormat.wBitsPerSample;
    const std::uint32_t channels = op->WaveFormat.nChannels;
    op->WaveFormat.dwChannelMask = channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1;
    op->WaveFormat.SubFormat = ALSubFormatPCM;
  }
  op->SampleRate = ABufferRate;
  op->Rate = static_cast<float>(ABufferRate);
  return op;
}

}  // namespace portwise

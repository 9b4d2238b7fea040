#include "asio/ALASIOAudioQueue.h"

#include <limits>

#include "asio/ALASIOConvert.h"

namespace portwise {

void TALASIOAudioQueue::Push(const TRefPtr<IALAudioBuffer>& AValue) {
  if (!AValue) return;
  const std::uint32_t size = AValue->GetSize();
  // A channel that nobody drains (a stopped device whose pins still accept audio) must not wrap the
  // count and then hand out frames it does not hold.
  if (size > std::numeric_limits<std::uint32_t>::max() - FCollectedSamples) return;
  FList.push_back(AValue);
  FCollectedSamples += size;
}

bool TALASIOAudioQueue::Pop(IALAudioBuffer* ATargetBuffer) {
  if (!ATargetBuffer) return false;
  const std::uint32_t size = ATargetBuffer->GetSize();
  if (FCollectedSamples < size) return false;
  std::uint32_t n = size;
  std::uint32_t t = 0;
  while (n > 0) {
    IALAudioBuffer* head = FList.front().Get();
    const std::uint32_t r = head->GetSize() - FExtractOffset;
    if (n < r) {
      head->CopyTo(FExtractOffset, ATargetBuffer, t, n);
      FExtractOffset += n;
      break;
    }
    head->CopyTo(FExtractOffset, ATargetBuffer, t, r);
    FList.pop_front();
    t += r;
    FExtractOffset = 0;
    n -= r;
  }
  FCollectedSamples -= size;
  return true;
}

void TALASIOAudioQueue::Clear() {
  FExtractOffset = 0;
  FCollectedSamples = 0;
  FList.clear();
}

bool ALASIOPlayQueue(TASIOSampleType AType, TALASIOAudioQueue& AQueue, void* AHalf, std::uint32_t ACount,
                     std::uint32_t ARate) {
  const std::uint32_t bits = ALASIOBufferBits(AType);
  if (bits == 0) return false;
  if (AQueue.GetCollectedSamples() >= ACount) {
    PALAudioBuffer buffer = TALAudioBuffer::CreateSize(ARate, bits, 1, ACount);
    if (AQueue.Pop(buffer.Get())) {
      ALASIOOutputBuffer(AType, buffer.Get(), AHalf, ACount);
      return true;
    }
  }
  ALASIOOutputBuffer(AType, nullptr, AHalf, ACount);
  return false;
}

std::uint32_t ALASIORefillCount(std::uint32_t ACount, std::uint32_t ALastBufferSize) {
  const std::uint32_t k = ALastBufferSize == 0 ? 1 : ACount / ALastBufferSize;
  return k == 0 ? 1 : k;
}

int ALASIODeliverQueued(ISLInterfaceQueue& AQueue, const std::function<void(IALAudioBuffer*)>& ASubmit) {
  int submitted = 0;
  TRefPtr<ISLUnknown> item;
  for (int i = 0; i < KALASIODeliveryBatch; ++i) {
    if (!AQueue.Pop(item)) break;
    if (auto* buffer = dynamic_cast<IALAudioBuffer*>(item.Get())) {
      ASubmit(buffer);
      ++submitted;
    }
  }
  return submitted;
}

}  // namespace portwise

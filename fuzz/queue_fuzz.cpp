// Sequences of operations on the interface queue and on an ASIO output channel's queue, against a
// std::deque model. Interface queue: items pop in push order (empty references too), an empty pop
// says so and empties its argument, a clear or the queue's end releases every item, one pushing
// and one popping thread keep the order, and a delivery wake-up takes at most its batch and submits
// exactly the audio buffers among them. Channel queue: the frame count, the buffer count and the
// read offset follow the model; a pop fills the whole target with the oldest frames (checked
// against the per-sample frame copy of FrameCopyReference.h) or, when too few are queued, changes
// nothing; a played half-buffer holds the popped frames converted, or silence, and nothing beyond.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "asio/ALASIOAudioQueue.h"
#include "asio/ALASIOConvert.h"
#include "fuzz/FrameCopyReference.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace portwise;
using namespace portwise::fuzz;
using TBytes = std::vector<std::uint8_t>;

std::atomic<int> GLiveItems{0};

// An item that is not an audio buffer, counted while it lives.
class TItem final : public ISLUnknown {
 public:
  TItem() { ++GLiveItems; }
  void AddRef() noexcept override { FRefs.Increment(); }
  void Release() noexcept override {
    if (FRefs.Decrement()) delete this;
  }

 private:
  ~TItem() override { --GLiveItems; }
  TSLRefCount FRefs;
};

TBytes Image(IALAudioBuffer& B) {
  const std::uint8_t* p = B.GetReadPointer();
  return TBytes(p, p + B.GetByteSize());
}

TFrameLayout Layout(IALAudioBuffer& B) {
  return {B.GetChannels(), B.GetChannelMask().Mask(), B.GetSampleBitWidth() / 8, B.GetBlockAlign(), B.GetSize()};
}

PALAudioBuffer MakeBuffer(FuzzedDataProvider& AInput, std::uint32_t AMaxFrames) {
  const std::uint32_t bits = AInput.PickValueInArray<std::uint32_t>({8, 16, 24, 32, 12, 20});
  const std::uint32_t channels = AInput.ConsumeIntegralInRange<std::uint32_t>(1, 4);
  const std::uint32_t mask = AInput.ConsumeBool() ? 0 : AInput.ConsumeIntegralInRange<std::uint32_t>(0, 0x3F);
  const std::uint32_t frames = AInput.ConsumeIntegralInRange<std::uint32_t>(0, AMaxFrames);
  PALAudioBuffer b = TALAudioBuffer::CreateSizeEx(44100, bits, channels, frames, TALSpeakers::FromMask(mask));
  std::uint8_t* p = b->GetWritePointer();
  const std::uint8_t seed = AInput.ConsumeIntegral<std::uint8_t>();
  for (std::uint32_t i = 0; i < b->GetByteSize(); ++i) p[i] = static_cast<std::uint8_t>(seed + i * 37 + (i >> 8));
  return b;
}

// ------------------------------------------------------------------ interface queue

void InterfaceQueueOps(FuzzedDataProvider& AInput) {
  {
    TRefPtr<ISLInterfaceQueue> queue = TSLInterfaceQueue::Create();
    std::deque<ISLUnknown*> model;  // identities only: the queue holds the references
    for (int step = 0; step < 64 && AInput.remaining_bytes() > 0; ++step) {
      switch (AInput.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
        case 1: {
          TRefPtr<ISLUnknown> item;
          if (AInput.ConsumeIntegralInRange<int>(0, 4) != 0) item = TRefPtr<ISLUnknown>(new TItem);
          model.push_back(item.Get());
          queue->Push(std::move(item));
          break;
        }
        case 2:
        case 3: {
          TRefPtr<ISLUnknown> got(new TItem);  // a pop must replace or empty what was there
          const bool popped = queue->Pop(got);
          FUZZ_CHECK(popped == !model.empty());
          if (popped) {
            FUZZ_CHECK(got.Get() == model.front());
            model.pop_front();
          } else {
            FUZZ_CHECK(!got);
          }
          break;
        }
        case 4: {
          // A delivery wake-up: up to its batch of items, the audio buffers among them submitted.
          std::vector<IALAudioBuffer*> submitted, expected;
          std::size_t taken = 0;
          for (ISLUnknown* item : model) {
            if (taken == static_cast<std::size_t>(KALASIODeliveryBatch)) break;
            ++taken;
            if (auto* b = dynamic_cast<IALAudioBuffer*>(item)) expected.push_back(b);
          }
          const int n = ALASIODeliverQueued(*queue, [&](IALAudioBuffer* ABuffer) { submitted.push_back(ABuffer); });
          FUZZ_CHECK(n == static_cast<int>(expected.size()));
          FUZZ_CHECK(submitted == expected);
          model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(taken));
          break;
        }
        default:
          if (AInput.ConsumeBool()) {
            queue->Clear();
            model.clear();
          } else {
            PALAudioBuffer b = MakeBuffer(AInput, 4);
            model.push_back(static_cast<ISLUnknown*>(static_cast<IALAudioBuffer*>(b.Get())));
            queue->Push(TRefPtr<ISLUnknown>(static_cast<IALAudioBuffer*>(b.Get())));
          }
          break;
      }
      FUZZ_CHECK(queue->IsEmpty() == model.empty());
      int plain = 0;
      for (ISLUnknown* item : model) plain += item && !dynamic_cast<IALAudioBuffer*>(item);
      FUZZ_CHECK(GLiveItems == plain);
    }
  }
  FUZZ_CHECK(GLiveItems == 0);  // the queue's end released what it held

  // One thread pushes while another pops: everything arrives, in order.
  const int count = AInput.ConsumeIntegralInRange<int>(0, 200);
  if (count == 0) return;
  TRefPtr<ISLInterfaceQueue> queue = TSLInterfaceQueue::Create();
  std::vector<TRefPtr<ISLUnknown>> items;
  for (int i = 0; i < count; ++i) items.emplace_back(new TItem);
  std::thread pusher([&] {
    for (auto& item : items) queue->Push(item);
  });
  int next = 0;
  TRefPtr<ISLUnknown> got;
  while (next < count) {
    if (queue->Pop(got)) {
      FUZZ_CHECK(got.Get() == items[static_cast<std::size_t>(next)].Get());
      ++next;
    } else {
      std::this_thread::yield();
    }
  }
  pusher.join();
  FUZZ_CHECK(queue->IsEmpty());
}

// ------------------------------------------------------------------ channel queue

struct TChannelModel {
  std::deque<PALAudioBuffer> Buffers;
  std::uint32_t Offset = 0;
  std::uint64_t Frames = 0;
};

void CheckCounts(const TALASIOAudioQueue& AQueue, const TChannelModel& AModel) {
  FUZZ_CHECK(AQueue.GetCollectedSamples() == AModel.Frames);
  FUZZ_CHECK(AQueue.GetExtractOffset() == AModel.Offset);
  FUZZ_CHECK(AQueue.GetBufferCount() == AModel.Buffers.size());
}

// The target's bytes after popping its frames from the model, which gives them up.
TBytes ModelPop(TChannelModel& AModel, IALAudioBuffer& ATarget) {
  const TFrameLayout tl = Layout(ATarget);
  TBytes image = Image(ATarget);
  std::uint32_t need = tl.Frames, at = 0;
  while (need > 0) {
    IALAudioBuffer& head = *AModel.Buffers.front();
    const TFrameLayout sl = Layout(head);
    const std::uint32_t left = sl.Frames - AModel.Offset;
    const std::uint32_t n = std::min(need, left);
    bool defined = true;
    image = RefFrameCopy(sl, Image(head), AModel.Offset, tl, image, at, n, defined);
    FUZZ_CHECK(defined);
    at += n;
    need -= n;
    if (n == left) {
      AModel.Buffers.pop_front();
      AModel.Offset = 0;
    } else {
      AModel.Offset += n;
    }
  }
  AModel.Frames -= tl.Frames;
  return image;
}

constexpr TASIOSampleType KTypes[] = {ASIOSTInt16LSB,   ASIOSTInt24LSB,   ASIOSTInt32LSB,   ASIOSTFloat32LSB,
                                      ASIOSTFloat64LSB, ASIOSTInt32LSB16, ASIOSTInt32LSB24, ASIOSTInt16MSB,
                                      ASIOSTInt32MSB,   ASIOSTFloat32MSB, 5,                -1};

void ChannelQueueOps(FuzzedDataProvider& AInput) {
  TALASIOAudioQueue queue;
  TChannelModel model;
  for (int step = 0; step < 48 && AInput.remaining_bytes() > 0; ++step) {
    switch (AInput.ConsumeIntegralInRange<int>(0, 6)) {
      case 0:
      case 1:
      case 2: {
        PALAudioBuffer b = AInput.ConsumeIntegralInRange<int>(0, 9) == 0 ? nullptr : MakeBuffer(AInput, 300);
        // The same buffer queued twice is two entries.
        if (b && !model.Buffers.empty() && AInput.ConsumeIntegralInRange<int>(0, 5) == 0) b = model.Buffers.back();
        queue.Push(TRefPtr<IALAudioBuffer>(b.Get()));
        if (b) {
          model.Buffers.push_back(b);
          model.Frames += b->GetSize();
        }
        break;
      }
      case 3:
      case 4: {
        PALAudioBuffer target = MakeBuffer(AInput, 600);
        const TBytes before = Image(*target);
        const bool enough = model.Frames >= target->GetSize();
        const TBytes expected = enough ? ModelPop(model, *target) : before;
        FUZZ_CHECK(queue.Pop(target.Get()) == enough);
        FUZZ_CHECK(Image(*target) == expected);
        break;
      }
      case 5: {
        // One output half-buffer: the popped frames converted, or silence; nothing beyond it.
        const TASIOSampleType type = AInput.PickValueInArray(KTypes);
        const std::uint32_t count = AInput.ConsumeIntegralInRange<std::uint32_t>(0, 400);
        const std::uint32_t bytes = ALASIODriverSampleBytes(type), bits = ALASIOBufferBits(type);
        constexpr std::size_t KGuard = 16;
        TBytes half(std::size_t{count} * bytes + KGuard, 0xA5);
        TBytes want = half;
        bool played = false;
        if (bits != 0) {
          if (model.Frames >= count) {
            PALAudioBuffer mono = TALAudioBuffer::CreateSize(44100, bits, 1, count);
            std::memset(mono->GetWritePointer(), 0, mono->GetByteSize());
            const TBytes frames = ModelPop(model, *mono);
            FUZZ_CHECK(ALASIOReferenceConvertOutput(type, frames.data(), want.data(), count) || count == 0);
            played = true;
          } else {
            std::memset(want.data(), 0, std::size_t{count} * bytes);
          }
        }
        FUZZ_CHECK(ALASIOPlayQueue(type, queue, half.data(), count, 44100) == played);
        FUZZ_CHECK(half == want);
        break;
      }
      default:
        queue.Clear();
        model = TChannelModel{};
        break;
    }
    CheckCounts(queue, model);
    const std::uint32_t last = AInput.ConsumeIntegral<std::uint16_t>(), cycle = AInput.ConsumeIntegral<std::uint16_t>();
    const std::uint32_t refill = ALASIORefillCount(cycle, last);
    FUZZ_CHECK(refill >= 1 && (last == 0 || refill == 1 || refill * last <= cycle));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  FuzzedDataProvider input(AData, ASize);
  if (input.ConsumeBool()) InterfaceQueueOps(input);
  else ChannelQueueOps(input);
  return 0;
}

// Audio buffers under any sequence of constructions, sharing, per-sample and pointer writes,
// resizes, ownership changes and frame copies, over arbitrary rates, widths, channel counts, masks
// and sizes. Checked after each step: the header agrees with what was asked for, every view stays
// inside its block, a write through one view never shows in a view of another block, a shared
// block is copied before it is written, and the frame copy gives what the per-sample reference in
// FrameCopyReference.h gives. ASan watches every access.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/ALAudioBuffer.h"
#include "fuzz/FrameCopyReference.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace portwise;
using namespace portwise::fuzz;
using TBytes = std::vector<std::uint8_t>;

constexpr std::uint64_t KMaxBytes = 64 * 1024;  // storage asked for in one go, beyond the refused sizes
constexpr std::uint64_t KRefused = std::uint64_t{1} << 30;
constexpr std::size_t KMaxViews = 6;
// FUZZ_TRACE=1 in the environment lists the steps of a run (to read a finding).
const bool GTrace = std::getenv("FUZZ_TRACE") != nullptr;

std::uint32_t Container(std::uint32_t ABits) { return static_cast<std::uint32_t>((std::uint64_t{ABits} + 7) / 8 * 8); }

std::uint32_t DefaultMask(std::uint32_t AChannels) { return AChannels >= 32 ? 0xFFFFFFFFu : (1u << AChannels) - 1; }

// The first AChannels set bits among positions 0..16; fewer there leave the mask whole.
std::uint32_t TrimmedMask(std::uint32_t AMask, std::uint32_t AChannels) {
  if (AMask == 0) return DefaultMask(AChannels);
  std::uint32_t kept = 0, count = 0;
  for (std::uint32_t pos = 0; pos <= 16; ++pos) {
    if (!((AMask >> pos) & 1u)) continue;
    kept |= 1u << pos;
    if (++count == AChannels) return kept;
  }
  return AMask;
}

TFrameLayout Layout(IALAudioBuffer& B) {
  return {B.GetChannels(), B.GetChannelMask().Mask(), B.GetSampleBitWidth() / 8, B.GetBlockAlign(), B.GetSize()};
}

TBytes Image(IALAudioBuffer& B) {
  const std::uint8_t* p = B.GetReadPointer();
  return p ? TBytes(p, p + B.GetByteSize()) : TBytes();
}

TSLSmartBuffer* Block(IALAudioBuffer& B) { return B.GetAudioBuffer().GetDataContainer(); }

// Every view's samples lie inside its block, and every sample the header names can be read.
void CheckInside(IALAudioBuffer& B) {
  TSLSmartBuffer* block = Block(B);
  FUZZ_CHECK(block != nullptr);
  const std::uint8_t* start = block->GetDataPtr();
  const std::uint8_t* p = B.GetReadPointer();
  FUZZ_CHECK(p >= start + TSLGenericBuffer::KHeaderSize);
  FUZZ_CHECK(static_cast<std::uint64_t>(p - start) + B.GetByteSize() <= block->GetAllocatedSize());
  const std::uint32_t frames = B.GetSize(), channels = B.GetChannels();
  if (frames == 0 || channels == 0 || B.GetSampleBitWidth() / 8 > B.GetBlockAlign()) return;
  const std::uint32_t usable = std::min(channels, B.GetBlockAlign() / std::max(1u, B.GetSampleBitWidth() / 8));
  // The corners and a few in between: enough for ASan to see a stride that leaves the block.
  for (std::uint32_t f : {0u, frames / 2, frames - 1})
    for (std::uint32_t c : {0u, usable / 2, usable ? usable - 1 : 0u})
      if (c < usable) (void)B.GetSample(f, c);
}

struct TWorld {
  std::vector<PALAudioBuffer> Views;
  std::vector<TBytes> Before;

  void Snapshot() {
    Before.clear();
    for (auto& v : Views) Before.push_back(Image(*v));
  }
  // Views that do not share AChanged's block now still read what they read before.
  void CheckOthersUnchanged(const IALAudioBuffer* AChanged) {
    for (std::size_t i = 0; i < Views.size(); ++i) {
      if (Views[i].Get() == AChanged) continue;
      if (AChanged && Block(*Views[i]) == Block(*const_cast<IALAudioBuffer*>(AChanged))) continue;
      FUZZ_CHECK(Image(*Views[i]) == Before[i]);
    }
  }
};

struct TShape {
  std::uint32_t Rate = 0, Bits = 0, Channels = 0, Size = 0, Mask = 0;
  bool bRefused = false;  // asks for more than a block can hold
};

TShape PickShape(FuzzedDataProvider& AInput) {
  TShape s;
  s.Rate = AInput.ConsumeBool() ? AInput.PickValueInArray<std::uint32_t>({8000, 11025, 44100, 48000, 0})
                                : AInput.ConsumeIntegral<std::uint32_t>();
  switch (AInput.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: s.Bits = AInput.ConsumeIntegralInRange<std::uint32_t>(0, 72); break;
    case 1: s.Bits = AInput.ConsumeIntegral<std::uint32_t>(); break;
    default: s.Bits = AInput.PickValueInArray<std::uint32_t>({8, 16, 24, 32, 12, 20}); break;
  }
  switch (AInput.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: s.Channels = AInput.ConsumeIntegralInRange<std::uint32_t>(0, 40); break;
    case 1: s.Channels = AInput.ConsumeIntegralInRange<std::uint32_t>(0, 70000); break;
    default: s.Channels = AInput.ConsumeIntegralInRange<std::uint32_t>(1, 8); break;
  }
  s.Mask = AInput.ConsumeBool() ? AInput.ConsumeIntegralInRange<std::uint32_t>(0, 0x3FF) : AInput.ConsumeIntegral<std::uint32_t>();
  s.Size = AInput.ConsumeBool() ? AInput.ConsumeIntegralInRange<std::uint32_t>(0, 1100) : AInput.ConsumeIntegral<std::uint32_t>();
  const std::uint64_t frame = std::uint64_t{Container(s.Bits) / 8} * s.Channels;
  const std::uint64_t bytes = frame * s.Size + TSLGenericBuffer::KHeaderSize;
  if (bytes > KRefused) s.bRefused = true;
  else if (bytes > KMaxBytes) s.Size = static_cast<std::uint32_t>((KMaxBytes - TSLGenericBuffer::KHeaderSize) / frame);
  return s;
}

// The header of a buffer made from a shape, with the mask the constructor should have stored.
void CheckShape(IALAudioBuffer& B, const TShape& S, std::uint32_t AMask) {
  const std::uint32_t container = Container(S.Bits);
  const std::uint64_t frame = std::uint64_t{container / 8} * S.Channels;
  FUZZ_CHECK(B.GetByteSize() == frame * S.Size);
  FUZZ_CHECK(B.GetSampleRate() == S.Rate);
  FUZZ_CHECK(B.GetChannelMask().Mask() == AMask);
  const TALWaveFormatExtensible r = B.GetWaveFormat();
  FUZZ_CHECK(r.wFormatTag == 0xFFFE && r.cbSize == 22 && r.SubFormat == ALSubFormatPCM);
  FUZZ_CHECK(r.dwChannelMask == AMask && r.nSamplesPerSec == S.Rate);
  // Where every value fits its 16-bit field the header describes the storage exactly.
  if (S.Bits >= 1 && S.Bits <= 0xFFF8 && S.Channels <= 0xFFFF && frame <= 0xFFFF) {
    FUZZ_CHECK(B.GetChannels() == S.Channels);
    FUZZ_CHECK(B.GetBitsPerSample() == S.Bits);
    FUZZ_CHECK(B.GetSampleBitWidth() == container);
    FUZZ_CHECK(B.GetBlockAlign() == frame);
    FUZZ_CHECK(B.GetSize() == (frame ? S.Size : 0u));
    FUZZ_CHECK(r.nChannels == S.Channels && r.wValidBitsPerSample == S.Bits && r.wBitsPerSample == container);
    FUZZ_CHECK(r.nBlockAlign == frame && r.nAvgBytesPerSec == static_cast<std::uint32_t>(S.Rate * frame));
  }
}

PALAudioBuffer Construct(FuzzedDataProvider& AInput, TWorld& W) {
  const int kind = AInput.ConsumeIntegralInRange<int>(0, 10);
  if (GTrace) std::fprintf(stderr, "  construct kind %d\n", kind);
  if (kind >= 6) {
    if (W.Views.empty()) return nullptr;
    IALAudioBuffer& other = *W.Views[AInput.ConsumeIntegralInRange<std::size_t>(0, W.Views.size() - 1)];
    TALAudioBuffer& o = other.GetAudioBuffer();
    PALAudioBuffer b;
    switch (kind) {
      case 6: b = TALAudioBuffer::CreateEx(o); break;
      case 7: b = TALAudioBuffer::CreateCopy(&other); break;
      case 8: b = TALAudioBuffer::CreateUniversal(static_cast<ISLData*>(&other)); break;
      case 9: b = PALAudioBuffer(&dynamic_cast<TALAudioBuffer&>(*o.MakeCopy())); break;
      default: b = PALAudioBuffer(&dynamic_cast<TALAudioBuffer&>(*o.MakeInterfaceCopy()->GetGenericBuffer())); break;
    }
    FUZZ_CHECK(b && Block(*b) == Block(other) && b->GetReadPointer() == other.GetReadPointer());
    FUZZ_CHECK(b->GetByteSize() == other.GetByteSize());
    const TALWaveFormatExtensible x = b->GetWaveFormat(), y = other.GetWaveFormat();
    FUZZ_CHECK(std::memcmp(&x, &y, sizeof x) == 0);
    FUZZ_CHECK(b->GetAudioBuffer().GetOwnsData());
    return b;
  }
  if (kind == 0) {
    PALAudioBuffer b = TALAudioBuffer::Create();
    TShape s;
    s.Rate = 11025;
    s.Bits = 8;
    s.Channels = 1;
    CheckShape(*b, s, 1);
    return b;
  }
  TShape s = PickShape(AInput);
  TALWaveFormatExtensible record{};
  if (kind == 5) {
    // The record's own fields are 16 bits wide.
    s.Bits = static_cast<std::uint16_t>(s.Bits);
    s.Channels = static_cast<std::uint16_t>(s.Channels);
    const auto junk = AInput.ConsumeBytes<std::uint8_t>(sizeof record);
    if (!junk.empty()) std::memcpy(&record, junk.data(), junk.size());
    record.nChannels = static_cast<std::uint16_t>(s.Channels);
    record.wValidBitsPerSample = static_cast<std::uint16_t>(s.Bits);
    record.nSamplesPerSec = s.Rate;
    record.dwChannelMask = s.Mask;
    s = [&] {  // recomputed: the size rule depends on the 16-bit values
      TShape t = s;
      const std::uint64_t frame = std::uint64_t{Container(t.Bits) / 8} * t.Channels;
      t.bRefused = frame * t.Size + TSLGenericBuffer::KHeaderSize > KRefused;
      if (!t.bRefused && frame * t.Size + TSLGenericBuffer::KHeaderSize > KMaxBytes)
        t.Size = static_cast<std::uint32_t>((KMaxBytes - TSLGenericBuffer::KHeaderSize) / frame);
      return t;
    }();
  }
  TBytes data;
  if ((kind == 3 || kind == 4) && !s.bRefused) {
    data.resize(std::uint64_t{Container(s.Bits) / 8} * s.Channels * s.Size);
    const TBytes given = AInput.ConsumeBytes<std::uint8_t>(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = i < given.size() ? given[i] : static_cast<std::uint8_t>(i * 7);
  }
  PALAudioBuffer b;
  std::uint32_t mask = 0;
  try {
    switch (kind) {
      case 1: b = TALAudioBuffer::CreateSize(s.Rate, s.Bits, s.Channels, s.Size); mask = DefaultMask(s.Channels); break;
      case 2:
        b = TALAudioBuffer::CreateSizeEx(s.Rate, s.Bits, s.Channels, s.Size, TALSpeakers::FromMask(s.Mask));
        mask = TrimmedMask(s.Mask, s.Channels);
        break;
      case 3: b = TALAudioBuffer::CreateData(data.data(), s.Rate, s.Bits, s.Channels, s.Size); mask = DefaultMask(s.Channels); break;
      case 4:
        b = TALAudioBuffer::CreateDataEx(data.data(), s.Rate, s.Bits, s.Channels, s.Size, TALSpeakers::FromMask(s.Mask));
        mask = s.Mask;
        break;
      default: b = TALAudioBuffer::CreateWaveFormat(record, s.Size); mask = TrimmedMask(s.Mask, s.Channels); break;
    }
  } catch (const ESLOutOfMemory&) {
    FUZZ_CHECK(s.bRefused);
    return nullptr;
  }
  FUZZ_CHECK(!s.bRefused);
  CheckShape(*b, s, mask);
  if (kind == 3 || kind == 4) FUZZ_CHECK(Image(*b) == data);
  return b;
}

void ExpectRangeError(IALAudioBuffer& B, std::uint32_t AIndex, std::uint32_t AChannel, bool AWrite, std::int32_t AValue) {
  const bool badChannel = AChannel >= B.GetChannels() ||
                          std::uint64_t{AChannel + 1} * (B.GetSampleBitWidth() / 8) > B.GetBlockAlign();
  const std::string expected =
      badChannel ? "Channel out of range = " + std::to_string(AChannel) : "Index out of range = " + std::to_string(AIndex);
  try {
    if (AWrite) B.SetSample(AIndex, AChannel, AValue);
    else (void)B.GetSample(AIndex, AChannel);
    FUZZ_CHECK(!"no range error");
  } catch (const ESLRangeError& e) {
    FUZZ_CHECK(expected == e.what());
  }
}

void SampleOp(FuzzedDataProvider& AInput, TWorld& W, IALAudioBuffer& B) {
  const std::uint32_t frames = B.GetSize(), channels = B.GetChannels();
  const std::uint32_t index = AInput.ConsumeBool() ? AInput.ConsumeIntegralInRange<std::uint32_t>(0, frames)
                                                   : AInput.ConsumeIntegral<std::uint32_t>();
  const std::uint32_t channel = AInput.ConsumeBool() ? AInput.ConsumeIntegralInRange<std::uint32_t>(0, channels)
                                                     : AInput.ConsumeIntegral<std::uint32_t>();
  const auto value = AInput.ConsumeIntegral<std::int32_t>();
  const std::uint32_t width = B.GetSampleBitWidth() / 8;
  const bool inRange = channel < channels && std::uint64_t{channel + 1} * width <= B.GetBlockAlign() && index < frames;
  TSLSmartBuffer* block = Block(B);
  const bool bShared = block->CountOwners() >= 2;
  if (!inRange) {
    ExpectRangeError(B, index, channel, AInput.ConsumeBool(), value);
    FUZZ_CHECK(Block(B) == block);
    W.CheckOthersUnchanged(nullptr);
    return;
  }
  B.SetSample(index, channel, value);
  if (bShared) FUZZ_CHECK(Block(B) != block && Block(B)->CountTransports() == 1);
  else FUZZ_CHECK(Block(B) == block);
  W.CheckOthersUnchanged(&B);
  if (width < 1 || width > 4) return;  // containers wider than 32 bits are not written sample by sample
  TBytes expected;
  for (std::size_t i = 0; i < W.Views.size(); ++i)
    if (W.Views[i].Get() == &B) expected = W.Before[i];
  RefStore(expected.data() + std::size_t{index} * B.GetBlockAlign() + std::size_t{channel} * width, width, value);
  FUZZ_CHECK(Image(B) == expected);
  const std::int32_t read = B.GetSample(index, channel);
  switch (width) {
    case 1: FUZZ_CHECK(read == (value & 0xFF)); break;
    case 2: FUZZ_CHECK(read == static_cast<std::int16_t>(value)); break;
    case 3: FUZZ_CHECK(read == (value & 0xFFFFFF)); break;
    default: FUZZ_CHECK(read == value); break;
  }
}

void CopyOp(FuzzedDataProvider& AInput, TWorld& W, std::size_t ASource, std::size_t ATarget) {
  IALAudioBuffer& S = *W.Views[ASource];
  IALAudioBuffer& T = *W.Views[ATarget];
  const TFrameLayout sl = Layout(S), tl = Layout(T);
  auto pickIndex = [&](std::uint32_t AFrames) {
    return AInput.ConsumeBool() ? AInput.ConsumeIntegralInRange<std::uint32_t>(0, AFrames)
                                : AInput.ConsumeIntegral<std::uint32_t>();
  };
  const std::uint32_t si = pickIndex(sl.Frames), ti = pickIndex(tl.Frames);
  const std::uint32_t count = AInput.ConsumeBool() ? AInput.ConsumeIntegralInRange<std::uint32_t>(0, 1100)
                                                   : AInput.ConsumeIntegral<std::uint32_t>();
  TSLSmartBuffer* block = Block(T);
  const bool bShared = block->CountOwners() >= 2;
  bool bDefined = true;
  const TBytes expected =
      RefFrameCopy(sl, W.Before[ASource], si, tl, W.Before[ATarget], ti, count, bDefined);
  S.CopyTo(si, static_cast<ISLData*>(&T), ti, count);
  const std::uint32_t n = RefCopiedFrames(sl, si, tl, ti, count);
  if (n > 0 && bShared) FUZZ_CHECK(Block(T) != block && Block(T)->CountTransports() == 1);
  FUZZ_CHECK(Layout(T).Frames == tl.Frames && Layout(S).Frames == sl.Frames);
  const TBytes after = Image(T);
  if (bDefined && after != expected) {
    const auto diff = std::mismatch(after.begin(), after.end(), expected.begin()).first - after.begin();
    std::fprintf(stderr,
                 "copy %u frames from %u (ch %u mask %x width %u align %u) to %u (ch %u mask %x width %u align %u)"
                 "%s%s: byte %zd is %u, expected %u\n",
                 n, si, sl.Channels, sl.Mask, sl.Width, sl.Align, ti, tl.Channels, tl.Mask, tl.Width, tl.Align,
                 ASource == ATarget ? ", same view" : "", Block(S) == Block(T) ? ", same block" : "",
                 static_cast<std::ptrdiff_t>(diff), after[static_cast<std::size_t>(diff)],
                 expected[static_cast<std::size_t>(diff)]);
  }
  if (bDefined) {
    FUZZ_CHECK(after == expected);
  } else {
    // Only the frames the copy covers may change.
    const std::size_t from = std::size_t{ti} * tl.Align, to = std::size_t{ti + n} * tl.Align;
    FUZZ_CHECK(std::equal(after.begin(), after.begin() + from, expected.begin()));
    FUZZ_CHECK(std::equal(after.begin() + to, after.end(), expected.begin() + to));
  }
  W.CheckOthersUnchanged(&T);
}

void ResizeOp(FuzzedDataProvider& AInput, TWorld& W, std::size_t AIndex) {
  IALAudioBuffer& B = *W.Views[AIndex];
  const TFrameLayout before = Layout(B);
  const TALWaveFormatExtensible header = B.GetWaveFormat();
  std::uint32_t size = AInput.ConsumeBool() ? AInput.ConsumeIntegralInRange<std::uint32_t>(0, 1100)
                                            : AInput.ConsumeIntegral<std::uint32_t>();
  const bool preserve = AInput.ConsumeBool();
  const std::uint64_t bytes = std::uint64_t{size} * before.Align + TSLGenericBuffer::KHeaderSize;
  const bool refused = bytes > KRefused && size > before.Frames;
  if (!refused && bytes > KMaxBytes) size = static_cast<std::uint32_t>((KMaxBytes - 40) / std::max(1u, before.Align));
  TSLSmartBuffer* block = Block(B);
  try {
    B.Resize(size, preserve);
    FUZZ_CHECK(!refused);
  } catch (const ESLOutOfMemory&) {
    FUZZ_CHECK(refused);
    FUZZ_CHECK(Block(B) == block && Image(B) == W.Before[AIndex]);
    return;
  }
  const TALWaveFormatExtensible now = B.GetWaveFormat();
  FUZZ_CHECK(std::memcmp(&header, &now, sizeof now) == 0);
  const TFrameLayout after = Layout(B);
  FUZZ_CHECK(after.Channels == before.Channels && after.Align == before.Align && after.Width == before.Width);
  if (size == 0) FUZZ_CHECK(after.Frames == before.Frames);
  else FUZZ_CHECK(B.GetByteSize() == std::uint64_t{size} * before.Align);
  const TBytes image = Image(B);
  const std::size_t kept = std::min(image.size(), W.Before[AIndex].size());
  if (preserve || Block(B) == block)
    FUZZ_CHECK(std::equal(image.begin(), image.begin() + kept, W.Before[AIndex].begin()));
  W.CheckOthersUnchanged(&B);
}

void PointerOp(FuzzedDataProvider& AInput, TWorld& W, std::size_t AIndex) {
  IALAudioBuffer& B = *W.Views[AIndex];
  TSLSmartBuffer* block = Block(B);
  const bool bShared = block->CountOwners() >= 2;
  const bool modify = AInput.ConsumeBool();
  std::uint8_t* p = modify ? B.GetModifyPointer() : B.GetWritePointer();
  FUZZ_CHECK(p == B.GetReadPointer());
  FUZZ_CHECK(bShared ? Block(B) != block && Block(B)->CountTransports() == 1 : Block(B) == block);
  TBytes expected = W.Before[AIndex];
  if (modify || !bShared) FUZZ_CHECK(Image(B) == expected);
  if (!expected.empty()) {
    const std::size_t at = AInput.ConsumeIntegralInRange<std::size_t>(0, expected.size() - 1);
    const auto v = AInput.ConsumeIntegral<std::uint8_t>();
    p[at] = v;
    expected[at] = v;
    if (modify || !bShared) FUZZ_CHECK(Image(B) == expected);
  }
  W.CheckOthersUnchanged(&B);
}

void UniqueOp(FuzzedDataProvider& AInput, TWorld& W, std::size_t AIndex) {
  IALAudioBuffer& B = *W.Views[AIndex];
  TSLSmartBuffer* block = Block(B);
  const bool bShared = block->CountOwners() >= 2;
  B.GetTimeStamp().SetTimes(AInput.ConsumeIntegral<std::int64_t>(), AInput.ConsumeIntegral<std::int64_t>());
  B.GetSequenceStamp().SetBufferNumber(AInput.ConsumeIntegral<std::int64_t>());
  const std::int64_t begin = B.GetTimeStamp().GetBegin(), end = B.GetTimeStamp().GetEnd();
  for (auto& v : W.Views)
    if (Block(*v) == block)
      FUZZ_CHECK(v->GetTimeStamp().GetBegin() == begin && v->GetSequenceStamp().GetBufferNumber() ==
                                                                B.GetSequenceStamp().GetBufferNumber());
  const bool preserve = AInput.ConsumeBool();
  FUZZ_CHECK(B.MakeUnique(preserve) == bShared);
  if (bShared) {
    FUZZ_CHECK(Block(B) != block && Block(B)->CountTransports() == 1);
    FUZZ_CHECK(B.GetTimeStamp().GetAvailable() && B.GetTimeStamp().GetBegin() == begin &&
               B.GetTimeStamp().GetEnd() == end);
    FUZZ_CHECK(!B.GetSequenceStamp().GetAvailable());
    FUZZ_CHECK(B.GetByteSize() == W.Before[AIndex].size());
  }
  if (preserve || !bShared) FUZZ_CHECK(Image(B) == W.Before[AIndex]);
  W.CheckOthersUnchanged(&B);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  FuzzedDataProvider input(AData, ASize);
  TWorld w;
  int steps = 0;
  while (input.remaining_bytes() > 0 && ++steps < 64) {
    w.Snapshot();
    const int op = input.ConsumeIntegralInRange<int>(0, 8);
    if (GTrace) std::fprintf(stderr, "step %d: op %d on %zu views\n", steps, op, w.Views.size());
    if (op <= 1 || w.Views.empty()) {
      PALAudioBuffer b = Construct(input, w);
      if (b && w.Views.size() < KMaxViews) w.Views.push_back(b);
      w.Snapshot();
    } else {
      const std::size_t i = input.ConsumeIntegralInRange<std::size_t>(0, w.Views.size() - 1);
      IALAudioBuffer& b = *w.Views[i];
      switch (op) {
        case 2: SampleOp(input, w, b); break;
        case 3: CopyOp(input, w, i, input.ConsumeIntegralInRange<std::size_t>(0, w.Views.size() - 1)); break;
        case 4: ResizeOp(input, w, i); break;
        case 5: PointerOp(input, w, i); break;
        case 6: UniqueOp(input, w, i); break;
        case 7: {
          const bool owned = b.GetAudioBuffer().GetOwnsData();
          const std::int32_t owners = Block(b)->CountOwners();
          b.RemoveOwnerShip();
          FUZZ_CHECK(!b.GetAudioBuffer().GetOwnsData() && Block(b)->CountOwners() == owners - (owned ? 1 : 0));
          w.CheckOthersUnchanged(nullptr);
          break;
        }
        default:
          w.Views.erase(w.Views.begin() + static_cast<std::ptrdiff_t>(i));
          w.Before.erase(w.Before.begin() + static_cast<std::ptrdiff_t>(i));
          w.CheckOthersUnchanged(nullptr);
          break;
      }
    }
    for (auto& v : w.Views) CheckInside(*v);
  }
  return 0;
}

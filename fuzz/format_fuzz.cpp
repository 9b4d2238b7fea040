// Any sequence of writes to two audio formats (one with a buffer size, one without), including
// assignments between them, against a plain model of the five properties: every getter returns the
// clamped value, the record always agrees with the properties, an owner is told exactly once per
// effective change (with the format as sender) and never for a write of the stored value, and the
// record predicates agree with their definitions on any 40 bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/ALAudioFormat.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace portwise;

struct TModel {
  std::uint16_t Channels = 2;
  std::uint16_t Bits = 16;
  std::uint32_t Rate = 11025;
  std::uint32_t Mask = 3;
  std::uint32_t BufferSize = 1024;  // only for the format that has one
};

struct TWatched {
  TALAudioFormatBasic* Format = nullptr;
  bool bHasBufferSize = false;
  TModel Model;
  int Changes = 0;      // handler calls seen
  int Expected = 0;     // handler calls the model asks for
  bool bWrongSender = false;
};

std::uint16_t Clamp16(std::uint32_t AValue) {
  const auto v = static_cast<std::uint16_t>(AValue);
  return v < 1 ? 1 : v > 32 ? 32 : v;
}

// Values near the edges are the interesting ones: the clamps, the 16-bit truncation, overflow.
std::uint32_t PickValue(FuzzedDataProvider& AInput) {
  switch (AInput.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return AInput.ConsumeIntegralInRange<std::uint32_t>(0, 40);
    case 1: return 0x10000u * AInput.ConsumeIntegralInRange<std::uint32_t>(0, 0xFFFF) +
                   AInput.ConsumeIntegralInRange<std::uint32_t>(0, 40);
    case 2: return AInput.PickValueInArray<std::uint32_t>({8000, 11025, 22050, 44100, 48000, 96000, 192000});
    default: return AInput.ConsumeIntegral<std::uint32_t>();
  }
}

void CheckRecordPredicates(const TALWaveFormatExtensible& A, const TALWaveFormatExtensible& B) {
  const bool rate = A.nSamplesPerSec == 44100 || A.nSamplesPerSec == 22050 || A.nSamplesPerSec == 11025 ||
                    A.nSamplesPerSec == 8000;
  const bool width = A.wBitsPerSample == 8 || A.wBitsPerSample == 16;
  const bool layout = (A.nChannels == 2 && A.dwChannelMask == 3) ||
                      (A.nChannels == 1 && (A.dwChannelMask == 1 || A.dwChannelMask == 3));
  FUZZ_CHECK(IsStandardWaveFormat(A) == (rate && width && layout));
  const bool same = A.nChannels == B.nChannels && A.nSamplesPerSec == B.nSamplesPerSec &&
                    A.nBlockAlign == B.nBlockAlign && A.dwChannelMask == B.dwChannelMask;
  FUZZ_CHECK(SameWaveFormat(A, B) == same);
  FUZZ_CHECK(SameWaveFormat(B, A) == same);
}

void CheckAgrees(const TWatched& AWatched) {
  const TALAudioFormatBasic& f = *AWatched.Format;
  const TModel& m = AWatched.Model;
  FUZZ_CHECK(!AWatched.bWrongSender);
  FUZZ_CHECK(AWatched.Changes == AWatched.Expected);
  FUZZ_CHECK(f.GetChannels() == m.Channels);
  FUZZ_CHECK(f.GetBits() == m.Bits);
  FUZZ_CHECK(f.GetSampleRate() == m.Rate);
  FUZZ_CHECK(f.GetChannelMask().Mask() == m.Mask);
  if (AWatched.bHasBufferSize)
    FUZZ_CHECK(static_cast<const TALAudioFormat&>(f).GetBufferSize() == m.BufferSize);

  TALWaveFormatExtensible r;
  std::memcpy(&r, f.GetWaveFormat(), sizeof r);
  const std::uint16_t container = static_cast<std::uint16_t>((m.Bits + 7) / 8 * 8);
  const auto align = static_cast<std::uint16_t>(container / 8 * m.Channels);
  FUZZ_CHECK(r.wFormatTag == ALWaveFormatExtensibleTag);
  FUZZ_CHECK(r.nChannels == m.Channels);
  FUZZ_CHECK(r.nSamplesPerSec == m.Rate);
  FUZZ_CHECK(r.wValidBitsPerSample == m.Bits);
  FUZZ_CHECK(r.wBitsPerSample == container && r.wBitsPerSample % 8 == 0 && r.wBitsPerSample >= r.wValidBitsPerSample);
  FUZZ_CHECK(r.nBlockAlign == align);
  FUZZ_CHECK(r.nAvgBytesPerSec == static_cast<std::uint32_t>(std::uint64_t{align} * m.Rate));
  FUZZ_CHECK(r.cbSize == ALWaveFormatExtensibleCbSize);
  FUZZ_CHECK(r.dwChannelMask == m.Mask);
  FUZZ_CHECK(r.SubFormat == ALSubFormatPCM);
}

// One write through the setter, and what the model says it does.
void Write(TWatched& AWatched, int AProperty, std::uint32_t AValue) {
  TALAudioFormatBasic& f = *AWatched.Format;
  TModel& m = AWatched.Model;
  auto expect = [&](auto& AField, auto ANew) {
    if (AField != ANew) ++AWatched.Expected;
    AField = ANew;
  };
  switch (AProperty) {
    case 0: f.SetChannels(AValue); expect(m.Channels, Clamp16(AValue)); break;
    case 1: f.SetBits(AValue); expect(m.Bits, Clamp16(AValue)); break;
    case 2: f.SetSampleRate(AValue); expect(m.Rate, AValue); break;
    case 3: f.SetChannelMask(TALSpeakers::FromMask(AValue)); expect(m.Mask, AValue); break;
    default:
      if (!AWatched.bHasBufferSize) return;
      static_cast<TALAudioFormat&>(f).SetBufferSize(AValue);
      expect(m.BufferSize, AValue < 1 ? 1u : AValue);
      break;
  }
}

// ADest.Assign(ASource): the shared properties are copied through the setters.
void Assign(TWatched& ADest, const TWatched& ASource) {
  ADest.Format->Assign(*ASource.Format);
  const TModel& s = ASource.Model;
  TModel& d = ADest.Model;
  ADest.Expected += (d.Channels != s.Channels) + (d.Bits != s.Bits) + (d.Rate != s.Rate) + (d.Mask != s.Mask);
  d.Channels = s.Channels;
  d.Bits = s.Bits;
  d.Rate = s.Rate;
  d.Mask = s.Mask;
  if (ADest.bHasBufferSize && ASource.bHasBufferSize) {
    ADest.Expected += d.BufferSize != s.BufferSize;
    d.BufferSize = s.BufferSize;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  FuzzedDataProvider input(AData, ASize);

  // Any 40 bytes, as a record from outside, against the predicates' definitions.
  if (input.ConsumeBool()) {
    TALWaveFormatExtensible a{}, b{};
    const auto bytes = input.ConsumeBytes<std::uint8_t>(2 * sizeof a);
    if (!bytes.empty()) std::memcpy(&a, bytes.data(), std::min(bytes.size(), sizeof a));
    if (bytes.size() > sizeof a) std::memcpy(&b, bytes.data() + sizeof a, bytes.size() - sizeof a);
    CheckRecordPredicates(a, b);
  }

  TRefPtr<TLPLock> lock = TLPLock::Create({});
  TWatched full, basic;
  full.bHasBufferSize = true;
  auto handler = [](TWatched& AWatched) {
    return [&AWatched](TObject* ASender) {
      ++AWatched.Changes;
      if (ASender != AWatched.Format) AWatched.bWrongSender = true;
    };
  };
  // The constructor's own writes reach the handler before Format is known: count them apart.
  TALAudioFormat fullFormat(nullptr, handler(full), lock.Get());
  TALAudioFormatBasic basicFormat(nullptr, handler(basic), lock.Get());
  full.Format = &fullFormat;
  basic.Format = &basicFormat;
  full.Expected = full.Changes;
  basic.Expected = basic.Changes;
  full.bWrongSender = basic.bWrongSender = false;
  CheckAgrees(full);
  CheckAgrees(basic);

  TWatched* formats[] = {&full, &basic};
  while (input.remaining_bytes() > 0) {
    const int op = input.ConsumeIntegralInRange<int>(0, 6);
    TWatched& target = *formats[input.ConsumeIntegralInRange<int>(0, 1)];
    TWatched& other = &target == &full ? basic : full;
    if (op <= 4) {
      Write(target, op, PickValue(input));
    } else if (op == 5) {
      // The value already stored: no change, no notification.
      const TModel m = target.Model;
      const std::uint32_t values[] = {m.Channels, m.Bits, m.Rate, m.Mask, m.BufferSize};
      const int property = input.ConsumeIntegralInRange<int>(0, 4);
      const int before = target.Changes;
      Write(target, property, values[property]);
      FUZZ_CHECK(target.Changes == before);
    } else {
      Assign(target, other);
    }
    CheckAgrees(full);
    CheckAgrees(basic);
    TALWaveFormatExtensible a, b;
    std::memcpy(&a, full.Format->GetWaveFormat(), sizeof a);
    std::memcpy(&b, basic.Format->GetWaveFormat(), sizeof b);
    CheckRecordPredicates(a, b);
  }
  return 0;
}

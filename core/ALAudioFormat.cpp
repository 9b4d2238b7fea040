#include "core/ALAudioFormat.h"

namespace portwise {

namespace {
constexpr std::uint16_t KMinChannels = 1, KMaxChannels = 32;
constexpr std::uint16_t KMinBits = 1, KMaxBits = 32;
}  // namespace

TALAudioFormatBasic::TALAudioFormatBasic(TPersistent* AOwner, TNotifyEvent AOnChange, IOWLock* AOwnerLock)
    : TLPPersistentNotify(AOwner, std::move(AOnChange), AOwnerLock) {
  FWaveFormat.wFormatTag = ALWaveFormatExtensibleTag;
  FWaveFormat.cbSize = ALWaveFormatExtensibleCbSize;
  FWaveFormat.SubFormat = ALSubFormatPCM;
  SetChannels(2);
  SetBits(16);
  SetSampleRate(11025);
  SetChannelMask({spFrontLeft, spFrontRight});
}

const TLPPropertyList& TALAudioFormatBasic::ClassProperties() {
  using C = TALAudioFormatBasic;
  static const TLPPropertyList list(&TLPPersistentNotify::ClassProperties(),
                                    LPProperty<C>("Channels", &C::GetChannels, &C::SetChannels),
                                    LPProperty<C>("Bits", &C::GetBits, &C::SetBits),
                                    LPProperty<C>("SampleRate", &C::GetSampleRate, &C::SetSampleRate),
                                    LPProperty<C>("ChannelMask", &C::GetChannelMask, &C::SetChannelMask));
  return list;
}

std::uint32_t TALAudioFormatBasic::GetChannels() const { return FLock->Getter(FWaveFormat.nChannels); }

// Clamped as 16-bit values: the value is truncated to the record's field width first.
void TALAudioFormatBasic::SetChannels(std::uint32_t AValue) {
  FLock->SetterMinMax(FWaveFormat.nChannels, static_cast<std::uint16_t>(AValue), KMinChannels, KMaxChannels,
                      [this] { UpdateWaveFormat(); });
}

std::uint32_t TALAudioFormatBasic::GetBits() const { return FLock->Getter(FWaveFormat.wValidBitsPerSample); }

void TALAudioFormatBasic::SetBits(std::uint32_t AValue) {
  FLock->SetterMinMax(FWaveFormat.wValidBitsPerSample, static_cast<std::uint16_t>(AValue), KMinBits, KMaxBits,
                      [this] { UpdateWaveFormat(); });
}

std::uint32_t TALAudioFormatBasic::GetSampleRate() const { return FLock->Getter(FWaveFormat.nSamplesPerSec); }

void TALAudioFormatBasic::SetSampleRate(std::uint32_t AValue) {
  FLock->Setter(FWaveFormat.nSamplesPerSec, AValue, [this] { UpdateWaveFormat(); });
}

TALSpeakers TALAudioFormatBasic::GetChannelMask() const {
  return TALSpeakers::FromMask(FLock->Getter(FWaveFormat.dwChannelMask));
}

void TALAudioFormatBasic::SetChannelMask(TALSpeakers AValue) {
  FLock->Setter(FWaveFormat.dwChannelMask, AValue.Mask(), [this] { UpdateWaveFormat(); });
}

const TALWaveFormatExtensible* TALAudioFormatBasic::GetWaveFormat() const {
  TOWLockSectionRef section = FLock->ReadLock();
  return &FWaveFormat;
}

// Runs under the write section of the setter that changed a record property.
void TALAudioFormatBasic::UpdateWaveFormat() {
  TALWaveFormatExtensible& f = FWaveFormat;
  f.wFormatTag = ALWaveFormatExtensibleTag;
  const std::uint16_t valid = f.wValidBitsPerSample;
  f.wBitsPerSample = (valid % 8 == 0) ? valid : static_cast<std::uint16_t>((valid / 8 + 1) * 8);
  f.nBlockAlign = static_cast<std::uint16_t>((f.wBitsPerSample / 8) * f.nChannels);
  f.nAvgBytesPerSec = static_cast<std::uint32_t>(f.nBlockAlign) * f.nSamplesPerSec;
  f.cbSize = ALWaveFormatExtensibleCbSize;
  f.SubFormat = ALSubFormatPCM;
}

TALAudioFormat::TALAudioFormat(TPersistent* AOwner, TNotifyEvent AOnChange, IOWLock* AOwnerLock)
    : TALAudioFormatBasic(AOwner, std::move(AOnChange), AOwnerLock), FBufferSize(1024) {}

const TLPPropertyList& TALAudioFormat::ClassProperties() {
  using C = TALAudioFormat;
  static const TLPPropertyList list(&TALAudioFormatBasic::ClassProperties(),
                                    LPProperty<C>("BufferSize", &C::GetBufferSize, &C::SetBufferSize));
  return list;
}

std::uint32_t TALAudioFormat::GetBufferSize() const { return FLock->Getter(FBufferSize); }

void TALAudioFormat::SetBufferSize(std::uint32_t AValue) { FLock->SetterMin(FBufferSize, AValue, 1u); }

bool IsStandardWaveFormat(const TALWaveFormatExtensible& AWaveFormat) {
  switch (AWaveFormat.nSamplesPerSec) {
    case 44100:
    case 22050:
    case 11025:
    case 8000:
      break;
    default:
      return false;
  }
  if (AWaveFormat.wBitsPerSample != 8 && AWaveFormat.wBitsPerSample != 16) return false;
  const std::uint32_t mask = AWaveFormat.dwChannelMask;
  return (AWaveFormat.nChannels == 2 && mask == 3) || (AWaveFormat.nChannels == 1 && (mask == 1 || mask == 3));
}

bool SameWaveFormat(const TALWaveFormatExtensible& A, const TALWaveFormatExtensible& B) {
  return A.nChannels == B.nChannels && A.nSamplesPerSec == B.nSamplesPerSec && A.nBlockAlign == B.nBlockAlign &&
         A.dwChannelMask == B.dwChannelMask;
}

}  // namespace portwise

#include "gen/ALSignalGen.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "gen/SLKernels.h"

namespace portwise {

// ------------------------------------------------------------------ generator

TALSignalGen::TALSignalGen(TComponent* AOwner)
    : TALCommonGen(AOwner),
      FFrequencyPin(this, FLock.Get(), [this](TOWPin*, float AValue, bool) { SetFrequency(AValue); }) {
  FFrequencyPin.SetName("FrequencyPin");
  FFrequencyPin.SetValue(static_cast<float>(FFrequency));
}

TALSignalGen::~TALSignalGen() { ShutDown(); }

const TLPPropertyList& TALSignalGen::ClassProperties() {
  using C = TALSignalGen;
  static const TLPPropertyList list(&TALCommonGen::ClassProperties(),
                                    LPProperty<C>("SignalType", &C::GetSignalType, &C::SetSignalType),
                                    LPProperty<C>("Phase", &C::GetPhase, &C::SetPhase),
                                    LPProperty<C>("Amplitude", &C::GetAmplitude, &C::SetAmplitude),
                                    LPProperty<C>("Frequency", &C::GetFrequency, &C::SetFrequency),
                                    LPProperty<C>("Asymmetry", &C::GetAsymmetry, &C::SetAsymmetry));
  return list;
}

TALSignalType TALSignalGen::GetSignalType() const { return FLock->Getter(FSignalType); }

void TALSignalGen::SetSignalType(TALSignalType AValue) { FLock->Setter(FSignalType, AValue); }

float TALSignalGen::GetPhase() const { return FLock->Getter(FPhase); }

void TALSignalGen::SetPhase(float AValue) {
  FLock->Setter(FPhase, AValue, [this] { FIntPhase = FPhase; });
}

std::int32_t TALSignalGen::GetAmplitude() const { return FLock->Getter(FAmplitude); }

void TALSignalGen::SetAmplitude(std::int32_t AValue) { FLock->SetterMinMax(FAmplitude, AValue, 0, 32767); }

double TALSignalGen::GetFrequency() const { return FLock->Getter(FFrequency); }

void TALSignalGen::SetFrequency(double AValue) {
  if (!(AValue >= 0)) AValue = 0;
  FLock->Setter(FFrequency, AValue, [this] { FFrequencyPin.SetValue(static_cast<float>(FFrequency)); });
}

double TALSignalGen::GetAsymmetry() const { return FLock->Getter(FAsymmetry); }

void TALSignalGen::SetAsymmetry(double AValue) {
  if (std::isnan(AValue)) AValue = 0;
  FLock->SetterMinMax(FAsymmetry, AValue, -kSLGeneratorPi, kSLGeneratorPi);
}

float TALSignalGen::GetCurrentPhase() const { return FLock->Getter(FIntPhase); }

void TALSignalGen::StartGenerator() {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return;
  FRampError = 0;
  FIntPhase = FPhase;
  TALCommonGen::StartGenerator();
}

std::int32_t TALSignalGen::SamplesPerCycle(double ARelativeFrequency) {
  if (!(ARelativeFrequency > 0)) return 0;  // no frequency (or no rate): no cycle
  const double samples = std::nearbyint(1 / ARelativeFrequency);  // half to even
  if (!(samples <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) return 0;
  return static_cast<std::int32_t>(samples);
}

void TALSignalGen::SampleRateChanged(double ARate) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return;
  if (!(ARate >= 0)) ARate = 0;
  if (ARate == FIntRate) return;
  FIntRate = ARate;
  FSamplesPerCycle = SamplesPerCycle(FFrequency / FIntRate);
}

void TALSignalGen::GenerateBuffer(TALAudioBuffer& ABuffer, bool& ASubmit, bool& AStop) {
  (void)ASubmit;
  (void)AStop;
  TOWLockSectionRef section = FLock->WriteLock();
  const std::uint32_t frames = ABuffer.GetSize();
  const int n = static_cast<int>(std::min<std::uint32_t>(frames, std::numeric_limits<int>::max()));
  const double r = FFrequency / FIntRate;  // cycles per sample
  FSamplesPerCycle = SamplesPerCycle(r);
  if (FIntVarBuffer.size() != frames) FIntVarBuffer.assign(frames, 0);
  Ipp16s* v = FIntVarBuffer.data();
  if (n < 1) return;

  // No frequency (or no rate) is silence for every waveform: the kernels would give a constant.
  if (!(r > 0) || !std::isfinite(r)) {
    std::fill(FIntVarBuffer.begin(), FIntVarBuffer.end(), Ipp16s{0});
    WriteChannels(FIntVarBuffer, ABuffer);
    return;
  }

  const auto a = static_cast<Ipp16s>(FAmplitude);
  const auto rf = static_cast<float>(r);
  switch (FSignalType) {
    case atTone:
      if (ippsTone_Direct_16s(v, n, a, rf, &FIntPhase, ippAlgHintNone) != ippStsNoErr)
        std::fill(FIntVarBuffer.begin(), FIntVarBuffer.end(), Ipp16s{0});
      break;
    case atTriangle:
      if (ippsTriangle_Direct_16s(v, n, a, rf, static_cast<float>(FAsymmetry), &FIntPhase) != ippStsNoErr)
        std::fill(FIntVarBuffer.begin(), FIntVarBuffer.end(), Ipp16s{0});
      break;
    case atSquare: {
      // On a kernel error the previous block is thresholded again.
      ippsTriangle_Direct_16s(v, n, 32767, rf, 0, &FIntPhase);
      const auto level = static_cast<Ipp16s>(
          static_cast<std::uint16_t>(static_cast<std::int64_t>(std::nearbyint(FAsymmetry * 32767)) & 0xFFFF));
      ippsThreshold_LTValGTVal_16s_I(v, n, level, static_cast<Ipp16s>(-a), level, a);
      break;
    }
    case atSawToothUp:
      GenerateRamp(v, n, FIntPhase, r, std::abs(static_cast<double>(FAmplitude)), FSamplesPerCycle, FRampError);
      break;
    case atSawToothDown:
      GenerateRamp(v, n, FIntPhase, r, -std::abs(static_cast<double>(FAmplitude)), FSamplesPerCycle, FRampError);
      break;
  }
  WriteChannels(FIntVarBuffer, ABuffer);
}

}  // namespace portwise

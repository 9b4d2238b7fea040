#pragma once
// The signal generator: a periodic waveform (tone, triangle, square, rising or falling sawtooth)
// computed in 16-bit samples, one buffer of the audio format per request or clock tick. The
// running phase is reset to Phase at every start and carried from buffer to buffer, so a
// continuous tone has no discontinuity at buffer boundaries.
#include <atomic>
#include <cstdint>

#include "core/OWPins.h"
#include "gen/ALCommonGen.h"

namespace portwise {

enum TALSignalType : std::uint8_t { atTone, atTriangle, atSquare, atSawToothUp, atSawToothDown };

// ------------------------------------------------------------------ float state pin

inline constexpr TALGuid OWFloatStateDataTypeID = SLGuid("{F7B7A17D-C385-439B-B418-EA9D7D00DBA9}");

class TOWSuppliedFloatOperation : public TOWSuppliedOperation {
 public:
  explicit TOWSuppliedFloatOperation(float AValue) : Value(AValue) {}
  float Value;
};

// A state pin carrying one float value within its group, like the boolean state pin.
class TOWFloatStatePin : public TOWValueStatePin<float, TOWSuppliedFloatOperation, OWFloatStateDataTypeID> {
 public:
  using TOWValueStatePin::TOWValueStatePin;
};

// ------------------------------------------------------------------ generator

class TALSignalGen : public TALCommonGen {
 public:
  explicit TALSignalGen(TComponent* AOwner);
  ~TALSignalGen() override;

  TALSignalType GetSignalType() const;
  void SetSignalType(TALSignalType AValue);
  // Radians; a change also moves the running phase at once.
  float GetPhase() const;
  void SetPhase(float AValue);
  // 0 .. 32767.
  std::int32_t GetAmplitude() const;
  void SetAmplitude(std::int32_t AValue);
  // Hertz; negative or not a number becomes 0 (silence). A change is published on FrequencyPin.
  double GetFrequency() const;
  void SetFrequency(double AValue);
  // -3.141592621 .. 3.141592621; not a number becomes 0.
  double GetAsymmetry() const;
  void SetAsymmetry(double AValue);
  TOWFloatStatePin& GetFrequencyPin() noexcept { return FFrequencyPin; }

  // The running phase.
  float GetCurrentPhase() const;

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  void StartGenerator() override;
  void SampleRateChanged(double ARate) override;
  void GenerateBuffer(TALAudioBuffer& ABuffer, bool& ASubmit, bool& AStop) override;

  float FIntPhase = 0;
  float FPhase = 0;
  std::int32_t FAmplitude = 20000;
  double FFrequency = 500.0;
  double FAsymmetry = 0.0;
  double FIntRate = 0.0;
  double FRampError = 0.0;
  std::int32_t FSamplesPerCycle = 0;
  TALSignalType FSignalType = atTone;
  TOWFloatStatePin FFrequencyPin;

 private:
  // Round(1 / ARelativeFrequency), or 0 when there is no whole cycle to count.
  static std::int32_t SamplesPerCycle(double ARelativeFrequency);
};

}  // namespace portwise

#pragma once
// The audio side of a generator: the output pin, the audio format of the stream, and one scratch
// block of 16-bit samples per buffer that the waveform is computed into once and then copied into
// every channel of the audio buffer, converted to the buffer's sample width.
#include <cstdint>
#include <vector>

#include "core/ALAudioBuffer.h"
#include "core/ALAudioFormat.h"
#include "core/OWPins.h"
#include "gen/SLCommonGen.h"

namespace portwise {

class TALCommonGen : public TSLBasicCommonGen {
 public:
  explicit TALCommonGen(TComponent* AOwner);
  ~TALCommonGen() override;

  TALOWAudioSourcePin& GetOutputPin() noexcept override { return FOutputPin; }
  TALAudioFormat& GetAudioFormat() noexcept { return FAudioFormat; }
  const TALAudioFormat& GetAudioFormat() const noexcept { return FAudioFormat; }
  // Copies the other format's values.
  void SetAudioFormat(const TALAudioFormat& AValue) { FAudioFormat.Assign(AValue); }

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  // Start hooks with the format's rate, then the start operation with its wave format record.
  void StartStream() override;
  void EnsureClock() override;
  std::uint32_t GetBufferSize() override;
  std::uint32_t GetSampleRate() override;
  void ProduceBuffer() override;

  // Operations that reach the output pin from downstream: a start with a rate, a stop, a
  // master's request for a buffer.
  virtual TOWNotifyResult HandleOutputOperation(IOWNotifyOperation* AOperation);
  virtual void BufferSizeChanged(std::uint32_t ASize) { (void)ASize; }
  virtual void SampleRateChanged(double ARate) { (void)ARate; }
  // Fills ABuffer; clear ASubmit to keep it, set AStop to end the stream after it.
  virtual void GenerateBuffer(TALAudioBuffer& ABuffer, bool& ASubmit, bool& AStop) = 0;

  // The scratch samples into every channel of ABuffer (its frame count of them), converted to its
  // sample width.
  static void WriteChannels(const std::vector<std::int16_t>& AScratch, TALAudioBuffer& ABuffer);

  // Set once the format is built (it reports its defaults from its constructor); declared
  // before the format, so it is initialised first.
  bool FFormatReady = false;
  TALOWAudioSourcePin FOutputPin;
  std::vector<std::int16_t> FIntVarBuffer;  // one sample per frame
  TALAudioFormat FAudioFormat;

 private:
  TOWNotifyResult OutputPinOperation(IOWNotifyOperation* AOperation);
  void AudioFormatChanged();
};

}  // namespace portwise

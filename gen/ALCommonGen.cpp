#include "gen/ALCommonGen.h"

#include <cmath>

#include "core/ALSampleConvert.h"

namespace portwise {

TALCommonGen::TALCommonGen(TComponent* AOwner)
    : TSLBasicCommonGen(AOwner),
      FOutputPin(this, FLock.Get(),
                 [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
                   return OutputPinOperation(AOperation);
                 }),
      FAudioFormat(this, [this](TObject*) { AudioFormatChanged(); }, FLock.Get()) {
  FOutputPin.SetName("OutputPin");
  // The format reports its defaults while it is being built; the scratch block follows them once
  // the format is complete.
  FFormatReady = true;
  AudioFormatChanged();
}

TALCommonGen::~TALCommonGen() { ShutDown(); }

const TLPPropertyList& TALCommonGen::ClassProperties() {
  using C = TALCommonGen;
  static const TLPPropertyList list(
      &TSLBasicCommonGen::ClassProperties(),
      LPProperty<C>("AudioFormat", static_cast<const TALAudioFormat& (C::*)() const noexcept>(&C::GetAudioFormat),
                    &C::SetAudioFormat));
  return list;
}

// Runs with the lock held (the format's setters hold it).
void TALCommonGen::AudioFormatChanged() {
  if (!FFormatReady) return;
  FIntVarBuffer.assign(FAudioFormat.GetBufferSize(), 0);
}

std::uint32_t TALCommonGen::GetBufferSize() { return FAudioFormat.GetBufferSize(); }

std::uint32_t TALCommonGen::GetSampleRate() { return FAudioFormat.GetSampleRate(); }

void TALCommonGen::StartStream() {
  TOWLockSectionRef section = FLock->WriteLock();
  BufferSizeChanged(FAudioFormat.GetBufferSize());
  SampleRateChanged(FAudioFormat.GetSampleRate());
  TRefPtr<TOWStartWaveOperation> start(new TOWStartWaveOperation(*FAudioFormat.GetWaveFormat(), false));
  FOutputPin.Notify(start.Get());
}

void TALCommonGen::EnsureClock() {
  TOWLockSectionRef section = FLock->WriteLock();
  // Only for a run: a clock made for an idle generator would tick for nothing until the next stop.
  if (!section || !FIsPump || FClockSource != csInternal || !FIsRunning || FClockGen) return;
  const double buffersPerSecond =
      static_cast<double>(FAudioFormat.GetSampleRate()) / static_cast<double>(FAudioFormat.GetBufferSize());
  if (!(buffersPerSecond > 0)) return;  // no rate, nothing to pace
  // 100 ns units; rounded half to even.
  CreateClock(static_cast<std::int64_t>(std::nearbyint(9999999.0 / buffersPerSecond)));
}

void TALCommonGen::ProduceBuffer() {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section || !FIsRunning || FInStopping) return;
  PALAudioBuffer buffer =
      TALAudioBuffer::CreateSizeEx(FAudioFormat.GetSampleRate(), FAudioFormat.GetBits(), FAudioFormat.GetChannels(),
                                   FAudioFormat.GetBufferSize(), FAudioFormat.GetChannelMask());
  bool submit = true;
  bool stop = false;
  GenerateBuffer(*buffer, submit, stop);
  buffer->GetTimeStamp().SetAvailable(false);
  if (submit) FOutputPin.SubmitBuffer(TRefPtr<ISLData>(buffer));
  if (stop) RequestStop();
}

TOWNotifyResult TALCommonGen::OutputPinOperation(IOWNotifyOperation* AOperation) {
  // The lock first: refused while a stop or the destruction is under way, before any virtual call.
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return 0;
  return HandleOutputOperation(AOperation);
}

TOWNotifyResult TALCommonGen::HandleOutputOperation(IOWNotifyOperation* AOperation) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return 0;
  if (auto* start = OWOperationAs<TOWStartSampleRateOperation>(AOperation)) {
    NegotiatePump();
    TOWLockSectionRef relock = RelockAfterDelivery();
    if (!relock) return 0;
    SampleRateChanged(start->SampleRate);
    EnsureClock();
  } else if (OWOperationAs<TOWStopOperation>(AOperation)) {
    StopGenerator();
  } else if (auto* request = OWOperationAs<TOWMasterPumpOperation>(AOperation)) {
    HandleMasterPump(request->Pump, request->GetOperationID());
  }
  return 0;
}

void TALCommonGen::WriteChannels(const std::vector<std::int16_t>& AScratch, TALAudioBuffer& ABuffer) {
  const std::uint32_t frames = ABuffer.GetSize();
  const std::uint32_t n = frames < AScratch.size() ? frames : static_cast<std::uint32_t>(AScratch.size());
  const std::uint32_t channels = ABuffer.GetChannels();
  const std::uint32_t bytes = ABuffer.GetSampleBitWidth() / 8;
  const std::uint32_t step = ABuffer.GetBlockAlign();
  if (n == 0 || channels == 0 || bytes == 0) return;
  std::uint8_t* data = ABuffer.GetWritePointer();
  // 16 bits are copied as they are; other widths are scaled and saturated like the frame copy.
  ALSpreadChannels16(AScratch.data(), n, data, step, channels, bytes);
}

}  // namespace portwise

#include "mme/ALAudioIn.h"

#include <algorithm>
#include <utility>

#include "gen/SLClockGen.h"
#include "platform/Platform.h"

namespace portwise {

namespace {

platform::IWaveAudio& Wave() { return platform::Current().Wave(); }

}  // namespace

TALAudioIn::TALAudioIn(TComponent* AOwner)
    : TLPComponent(AOwner),
      FOutputPin(this, FLock.Get(),
                 [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
                   return OutputPinOperation(AOperation);
                 }),
      FEnablePin(this, FLock.Get(), [this](TOWPin*, bool AValue, bool) { SetEnabled(AValue); }),
      FAudioFormat(this, TNotifyEvent(), FLock.Get()),
      FDevice(this, FLock.Get(),
              [this](const std::string& AText, std::int32_t ACode) { ReportWarning(AText, ACode); }),
      FParams(TALAudioParams::Create()) {
  FOutputPin.SetName("OutputPin");
  FEnablePin.SetName("EnablePin");
  if (!IsDesigning())
    FWaveThread = std::make_unique<TALWaveThread>(
        MakeThreadName(GetName(), ClassName(), ".TALWaveThread"),
        [this](std::uint32_t uMsg, std::uintptr_t, platform::TWaveHdr* AWaveHdr) { WaveMessage(uMsg, AWaveHdr); });
}

TALAudioIn::~TALAudioIn() {
  FDestroySection = FLock->StopLock();
  MarkDestroying();
  try {
    Stop();
  } catch (...) {
    // Reported through OnError already; what is left open goes below.
  }
  ReleaseDevice();
  if (FWaveThread) FWaveThread->Terminate();
  // While every member still exists: a receiver that answers its disconnection finds them.
  FOutputPin.Disconnect();
  FEnablePin.Disconnect();
}

const TLPPropertyList& TALAudioIn::ClassProperties() {
  using C = TALAudioIn;
  static const TLPPropertyList list(
      &TComponent::ClassProperties(), LPProperty<C>("Enabled", &C::GetEnabled, &C::SetEnabled),
      LPProperty<C>("PumpPriority", &C::GetPumpPriority, &C::SetPumpPriority),
      LPProperty<C>("AudioFormat", static_cast<const TALAudioFormat& (C::*)() const noexcept>(&C::GetAudioFormat),
                    &C::SetAudioFormat),
      LPProperty<C>("Device", static_cast<const TALAudioCaptureDevice& (C::*)() const noexcept>(&C::GetDevice),
                    &C::SetDevice));
  return list;
}

void TALAudioIn::InitializeComponent(bool ACreatedAtRunTime) {
  TLPComponent::InitializeComponent(ACreatedAtRunTime);
  TOWLockSectionRef section = FLock->WriteLock();
  if (ACreatedAtRunTime) {
    FEnabled = false;
  } else if (FEnabled && !IsDesigning()) {
    StartCapture();
    FEnablePin.SetValue(true);
  }
}

// ------------------------------------------------------------------ properties

bool TALAudioIn::GetEnabled() const { return FLock->Getter(FEnabled); }

void TALAudioIn::SetEnabled(bool AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section || FEnabled == AValue) return;
  if (AValue) {
    if (!IsDesigning() && !IsLoadingInChain()) StartCapture();
  } else {
    Stop();
  }
  FEnabled = AValue;
  FEnablePin.SetValue(AValue);
}

std::int32_t TALAudioIn::GetPumpPriority() const { return FLock->Getter(FPumpPriority); }
void TALAudioIn::SetPumpPriority(std::int32_t AValue) { FLock->Setter(FPumpPriority, AValue); }

TSLErrorEvent TALAudioIn::GetOnError() const { return FLock->Getter(FOnError); }
void TALAudioIn::SetOnError(TSLErrorEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnError = std::move(AValue);
}

TSLWarningEvent TALAudioIn::GetOnWarning() const { return FLock->Getter(FOnWarning); }
void TALAudioIn::SetOnWarning(TSLWarningEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnWarning = std::move(AValue);
}

bool TALAudioIn::IsOpen() {
  TALParamsSection params(*FParams);
  return FParams->GetIsOpen();
}

bool TALAudioIn::IsPump() {
  TALParamsSection params(*FParams);
  return FParams->GetIsPump();
}

std::size_t TALAudioIn::BuffersAtDevice() {
  TALParamsSection params(*FParams);
  return FParams->GetList().size();
}

double TALAudioIn::GetPumpFrameRate() const { return FLock->Getter(FPumpFrameRate); }

void TALAudioIn::ReportError(const char* AErrorText, platform::TMMResult AResult) {
  SLReportError(this, GetOnError(), AErrorText, static_cast<std::int32_t>(AResult));
}

void TALAudioIn::ReportWarning(const std::string& AErrorText, std::int32_t AErrorCode) {
  SLReportWarning(this, GetOnWarning(), AErrorText, AErrorCode);
}

// ------------------------------------------------------------------ start

void TALAudioIn::Start() {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section || FEnabled) return;
  StartCapture();
}

// Runs with the write section held. An error leaves the method before FEnabled is set.
void TALAudioIn::StartCapture() {
  TRefPtr<TOWPumpRequestOperation> request(
      new TOWPumpRequestOperation(this, ptHardware, FPumpPriority, 1.0f));
  FOutputPin.Notify(request.Get());
  const bool bPump = request->Pump == this;

  const TALWaveFormatExtensible format = *FAudioFormat.GetWaveFormat();
  const TCaptureFormat capture{FAudioFormat.GetSampleRate(), FAudioFormat.GetBits(), FAudioFormat.GetChannels(),
                               FAudioFormat.GetBufferSize(), FAudioFormat.GetChannelMask()};
  {
    TALParamsSection params(*FParams);
    FParams->SetIsPump(bPump);
    FCaptureFormat = capture;
  }
  if (bPump) FPumpFrameRate = request->DesiredRate;
  if (!OpenAndStart(format)) return;
  if (bPump)
    for (std::size_t i = 0; i < KCaptureBuffers; ++i) QueueBuffer();
  FEnabled = true;
}

bool TALAudioIn::OpenAndStart(const TALWaveFormatExtensible& AFormat) {
  TRefPtr<TOWStartWaveOperation> start(new TOWStartWaveOperation(AFormat, false));
  FOutputPin.Notify(start.Get());
  // A stream announced that will never run is ended at once: no receiver waits for it, and a
  // receiver that connects later is not told of it.
  bool bStarted = false;
  try {
    bStarted = OpenDevice(AFormat) && StartDevice();
  } catch (...) {
    FOutputPin.EndStop();
    throw;
  }
  if (!bStarted) FOutputPin.EndStop();
  return bStarted;
}

bool TALAudioIn::StartDevice() {
  platform::THWaveIn handle;
  {
    TALParamsSection params(*FParams);
    handle = HIn;
  }
  const platform::TMMResult r = Wave().waveInStart(handle);
  if (r != platform::MMSYSERR_NOERROR) {
    ReportError(KALCantStartAudioDevice, r);
    return false;
  }
  return true;
}

bool TALAudioIn::OpenDevice(const TALWaveFormatExtensible& AFormat) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return false;
  bool bOpen;
  {
    TALParamsSection params(*FParams);
    bOpen = HIn != platform::THWaveIn{};
  }
  if (bOpen) {
    Stop();
    // Not capturing, yet open: a start that failed left it so.
    ReleaseDevice();
  }

  const std::uint32_t id = FDevice.GetDeviceID();
  const platform::TWaveFormatExtensible record = ALToWaveFormat(AFormat);
  platform::TMMResult r;
  {
    TALParamsSection params(*FParams);
    FParams->SetIsOpen(true);
    platform::THWaveIn handle{};
    r = Wave().waveInOpen(&handle, id, &record, &TALAudioIn::WaveInProc,
                          reinterpret_cast<std::uintptr_t>(FWaveThread.get()), ALWaveOpenFlags(id));
    if (r == platform::MMSYSERR_NOERROR) HIn = handle;
    else FParams->SetIsOpen(false);
  }
  if (r != platform::MMSYSERR_NOERROR) {
    ReportError(KALCantOpenAudioDevice, r);
    return false;
  }
  return true;
}

// Any thread. The buffer is made, prepared and added under the params section, so a stop cannot
// free it between being listed and reaching the device.
void TALAudioIn::QueueBuffer() {
  TALParamsSection params(*FParams);
  if (!FParams->GetIsOpen()) return;
  const TCaptureFormat& f = FCaptureFormat;
  auto record = std::make_unique<TALWaveBuffer>();
  record->HIn = HIn;
  record->Params = FParams;
  record->Data = TALAudioBuffer::CreateSizeEx(f.SampleRate, f.Bits, f.Channels, f.BufferSize, f.ChannelMask);
  record->WaveHdr.lpData = reinterpret_cast<char*>(record->Data->GetWritePointer());
  record->WaveHdr.dwBufferLength = record->Data->GetByteSize();
  record->WaveHdr.dwUser = reinterpret_cast<std::uintptr_t>(record.get());
  platform::TWaveHdr* header = &record->WaveHdr;
  FParams->GetList().push_back(std::move(record));
  // Failures leave the buffer listed but not at the device; Stop deals with it.
  Wave().waveInPrepareHeader(HIn, header);
  Wave().waveInAddBuffer(HIn, header);
}

// ------------------------------------------------------------------ stop

void TALAudioIn::Stop() {
  TOWLockSectionRef section = FLock->StopLock();
  if (!FEnabled) return;
  if (!CloseDevice()) return;
  FOutputPin.EndStop();
  FEnabled = false;
}

bool TALAudioIn::CloseDevice() {
  platform::THWaveIn handle;
  {
    TALParamsSection params(*FParams);
    // The handle, not the open mark: a stop whose reset failed left the device open, and a
    // later stop tries again.
    if (HIn == platform::THWaveIn{}) return false;
    FParams->SetIsOpen(false);
    handle = HIn;
  }
  platform::TMMResult r = Wave().waveInReset(handle);
  if (r != platform::MMSYSERR_NOERROR) {
    ReportError(KALCantRestartAudioDevice, r);
    return false;
  }

  TALParamsSection params(*FParams);
  auto& list = FParams->GetList();
  // A buffer the reset did not give back is still the device's: it may not be freed before a
  // second reset has returned it.
  const bool bAllDone = std::all_of(list.begin(), list.end(), [](const std::unique_ptr<TALWaveBuffer>& b) {
    return (b->WaveHdr.dwFlags & platform::WHDR_DONE) != 0;
  });
  if (!bAllDone) {
    r = Wave().waveInReset(handle);
    if (r != platform::MMSYSERR_NOERROR) {
      params.Leave();
      ReportError(KALCantRestartAudioDevice, r);
      return false;
    }
  }
  for (auto& b : list) Wave().waveInUnprepareHeader(handle, &b->WaveHdr);
  list.clear();
  // A device that refused to close is closed again by the next open or the release.
  if (Wave().waveInClose(handle) == platform::MMSYSERR_NOERROR) HIn = {};
  // The reset's completions are of no use now.
  if (FWaveThread) FWaveThread->ClearRecords();
  return true;
}

void TALAudioIn::ReleaseDevice() noexcept {
  TALParamsSection params(*FParams);
  if (HIn == platform::THWaveIn{}) return;
  FParams->SetIsOpen(false);
  auto& list = FParams->GetList();
  const bool bReset = Wave().waveInReset(HIn) == platform::MMSYSERR_NOERROR;
  for (auto& b : list) {
    if (!bReset && !(b->WaveHdr.dwFlags & platform::WHDR_DONE)) {
      // Still the device's: better kept than written into after it is freed.
      (void)b.release();
      continue;
    }
    Wave().waveInUnprepareHeader(HIn, &b->WaveHdr);
  }
  list.clear();
  Wave().waveInClose(HIn);
  HIn = {};
}

// ------------------------------------------------------------------ operations from downstream

TOWNotifyResult TALAudioIn::OutputPinOperation(IOWNotifyOperation* AOperation) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section || (ComponentState() & csDestroying)) return 0;
  if (auto* start = OWOperationAs<TOWStartWaveOperation>(AOperation)) {
    OpenDevice(start->WaveFormat);
  } else if (OWOperationAs<TOWStopOperation>(AOperation)) {
    Stop();
  } else if (OWOperationAs<TOWMasterPumpOperation>(AOperation)) {
    return 0;
  }
  FOutputPin.Notify(AOperation);
  return 0;
}

// ------------------------------------------------------------------ wave thread

void TALAudioIn::WaveInProc(platform::THWaveIn hwi, std::uint32_t uMsg, std::uintptr_t dwInstance,
                            platform::TWaveHdr* header) {
  if (dwInstance)
    reinterpret_cast<TALWaveThread*>(dwInstance)->PushRecord(uMsg, static_cast<std::uintptr_t>(hwi), header);
}

void TALAudioIn::WaveMessage(std::uint32_t uMsg, platform::TWaveHdr* AWaveHdr) {
  if (uMsg == platform::WIM_DATA) BufferDone(AWaveHdr);
}

void TALAudioIn::BufferDone(platform::TWaveHdr* AWaveHdr) {
  TALParamsSection params(*FParams);
  if (!FParams->GetIsOpen()) return;  // a stop is under way and frees the buffers itself
  auto& list = FParams->GetList();
  auto find = [&] {
    return std::find_if(list.begin(), list.end(),
                        [&](const std::unique_ptr<TALWaveBuffer>& b) { return &b->WaveHdr == AWaveHdr; });
  };
  // Only a header of ours that the device has finished: a record left from an earlier open may
  // name memory that is gone or a buffer that is being filled again.
  auto it = find();
  if (it == list.end() || !((*it)->WaveHdr.dwFlags & platform::WHDR_DONE)) return;

  // The whole buffer goes, whatever the device counted as recorded.
  PALAudioBuffer data = (*it)->Data;
  FOutputPin.SubmitBuffer(TRefPtr<ISLData>(data));

  // A receiver may have stopped the input meanwhile (on this thread).
  if (!FParams->GetIsOpen()) return;
  it = find();
  if (it == list.end()) return;
  Wave().waveInUnprepareHeader(HIn, &(*it)->WaveHdr);
  list.erase(it);
  QueueBuffer();
}

}  // namespace portwise

#include "mme/ALAudioOut.h"

#include <algorithm>
#include <cstring>

#include "platform/Platform.h"

namespace portwise {

namespace {

platform::IWaveAudio& Wave() { return platform::Current().Wave(); }

// Set on every wave thread: work that must not run there (reopening) is handed to the main thread.
thread_local bool tlsOnWaveThread = false;

// What the pump claim opens to learn whether the device can be had.
constexpr TALWaveFormatExtensible KPumpTestFormat{
    ALWaveFormatExtensibleTag, 1, 11025, 22050, 2, 16, ALWaveFormatExtensibleCbSize, 16, 1, ALSubFormatPCM};

}  // namespace

platform::TWaveFormatExtensible ALToWaveFormat(const TALWaveFormatExtensible& AFormat) {
  static_assert(sizeof(platform::TWaveFormatExtensible) == sizeof(TALWaveFormatExtensible));
  platform::TWaveFormatExtensible result;
  std::memcpy(static_cast<void*>(&result), &AFormat, sizeof result);
  return result;
}

// ------------------------------------------------------------------ wave thread

TALWaveThread::TALWaveThread(const std::string& AName, TALWaveProcessMessage AOnProcess)
    : TLPThread(AName), FOnProcess(std::move(AOnProcess)) {
  Start([this] { Execute(); }, platform::EThreadPriority::Highest);
}

TALWaveThread::~TALWaveThread() {
  Terminate();
  std::lock_guard g(FSection);
  FreeAllLocked();
  while (TALWaveItemNode* node = FSpareNodes) {
    FSpareNodes = node->Next;
    delete node;
  }
}

TALWaveThread::TALWaveItemNode* TALWaveThread::NewNodeLocked() {
  if (TALWaveItemNode* node = FSpareNodes) {
    FSpareNodes = node->Next;
    node->Next = nullptr;
    return node;
  }
  return new TALWaveItemNode();
}

void TALWaveThread::FreeNodeLocked(TALWaveItemNode* ANode) {
  ANode->Next = FSpareNodes;
  FSpareNodes = ANode;
}

void TALWaveThread::FreeAllLocked() {
  while (TALWaveItemNode* node = FFirstNode) {
    FFirstNode = node->Next;
    FreeNodeLocked(node);
  }
  FLastNode = nullptr;
  FPending = 0;
}

void TALWaveThread::PushRecord(std::uint32_t uMsg, std::uintptr_t hwo, platform::TWaveHdr* AWaveHdr) {
  if (FTerminated.load()) return;
  {
    std::lock_guard g(FSection);
    TALWaveItemNode* node = NewNodeLocked();
    node->Hwo = hwo;
    node->Msg = uMsg;
    node->WaveHdr = AWaveHdr;
    if (FLastNode) FLastNode->Next = node;
    else FFirstNode = node;
    FLastNode = node;
    ++FPending;
  }
  FSemaphore.Release();
}

void TALWaveThread::Execute() {
  tlsOnWaveThread = true;
  while (!FTerminated.load()) {
    FSemaphore.Acquire();
    if (FTerminated.load()) break;
    TALWaveItemNode item;
    bool bHave = false;
    {
      std::lock_guard g(FSection);
      if (TALWaveItemNode* node = FFirstNode) {
        FFirstNode = node->Next;
        if (!FFirstNode) FLastNode = nullptr;
        --FPending;
        item = *node;
        FreeNodeLocked(node);
        bHave = true;
      }
    }
    if (!bHave) continue;  // the records were cleared meanwhile
    if (FTerminated.load()) break;
    try {
      if (FOnProcess) FOnProcess(item.Msg, item.Hwo, item.WaveHdr);
    } catch (...) {
      // Already reported through the owner's error event; the thread must go on.
    }
  }
  ClearRecords();
}

void TALWaveThread::Terminate() {
  FTerminated.store(true);
  FSemaphore.Release();
  Join();
}

void TALWaveThread::ClearRecords() {
  std::lock_guard g(FSection);
  FreeAllLocked();
}

std::size_t TALWaveThread::PendingRecords() {
  std::lock_guard g(FSection);
  return FPending;
}

// ------------------------------------------------------------------ params

TALAudioParams::~TALAudioParams() = default;

// ------------------------------------------------------------------ operation queue

void TSLOperationList::Push(IOWNotifyOperation* AOperation, bool ASingleItem) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return;
  if (ASingleItem) FList.clear();
  FList.emplace_back(AOperation);
}

void TSLOperationList::PushBack(IOWNotifyOperation* AOperation) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return;
  FList.emplace_front(AOperation);
}

TRefPtr<IOWNotifyOperation> TSLOperationList::Pop() {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section || FList.empty()) return {};
  TRefPtr<IOWNotifyOperation> result = std::move(FList.front());
  FList.pop_front();
  return result;
}

void TSLOperationList::Clear() {
  std::deque<TRefPtr<IOWNotifyOperation>> dropped;
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return;
  dropped.swap(FList);
}

std::size_t TSLOperationList::Count() {
  TOWLockSectionRef section = FLock->ReadLock();
  return section ? FList.size() : 0;
}

// ------------------------------------------------------------------ pumping settings

bool TLPMasterPumping::GetEnabled() const { return FLock->Getter(FEnabled); }
void TLPMasterPumping::SetEnabled(bool AValue) { FLock->Setter(FEnabled, AValue); }
std::int32_t TLPMasterPumping::GetPriority() const { return FLock->Getter(FPriority); }
void TLPMasterPumping::SetPriority(std::int32_t AValue) { FLock->Setter(FPriority, AValue); }

const TLPPropertyList& TLPMasterPumping::ClassProperties() {
  using C = TLPMasterPumping;
  static const TLPPropertyList list(&TPersistent::ClassProperties(),
                                    LPProperty<C>("Enabled", &C::GetEnabled, &C::SetEnabled),
                                    LPProperty<C>("Priority", &C::GetPriority, &C::SetPriority));
  return list;
}

// ------------------------------------------------------------------ output base

TALBasicAudioOut::TALBasicAudioOut(TComponent* AOwner)
    : TLPComponent(AOwner),
      FInputPin(this, GetLock(),
                [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
                  return InputPinOperation(AOperation);
                }),
      FEnablePin(this, GetLock(), [this](TOWPin*, bool AValue, bool) { SetEnabled(AValue); }),
      FClockOutputPin(this, GetLock(), [](TOWBasicPin*, const TALGuid&, IOWNotifyOperation*, TOWNotifyState) {
        return TOWNotifyResult{0};
      }),
      FMasterPumping(this, GetLock()) {
  FInputPin.SetName("InputPin");
  FEnablePin.SetName("EnablePin");
  FClockOutputPin.SetName("ClockOutputPin");
}

TALBasicAudioOut::~TALBasicAudioOut() { DisconnectPins(); }

void TALBasicAudioOut::DisconnectPins() {
  FInputPin.Disconnect();
  FEnablePin.Disconnect();
  FClockOutputPin.Disconnect();
}

bool TALBasicAudioOut::GetEnabled() const { return FLock->Getter(FEnabled); }

void TALBasicAudioOut::SetEnabled(bool AValue) { FLock->Setter(FEnabled, AValue, [this] { EnabledChanged(); }); }

bool TALBasicAudioOut::GetStreamFormat(TALWaveFormatExtensible& AFormat) const {
  TOWLockSectionRef section = FLock->ReadLock();
  if (!FWaveFormat) return false;
  AFormat = *FWaveFormat;
  return true;
}

const TLPPropertyList& TALBasicAudioOut::ClassProperties() {
  using C = TALBasicAudioOut;
  static const TLPPropertyList list(
      &TComponent::ClassProperties(), LPProperty<C>("Enabled", &C::GetEnabled, &C::SetEnabled),
      LPProperty<C>("MasterPumping",
                    static_cast<const TLPMasterPumping& (C::*)() const noexcept>(&C::GetMasterPumping),
                    &C::SetMasterPumping));
  return list;
}

// ------------------------------------------------------------------ MME output: properties

TALAudioOut::TALAudioOut(TComponent* AOwner)
    : TALBasicAudioOut(AOwner),
      FParams(TALAudioParams::Create()),
      FDevice(this, GetLock(),
              [this](const std::string& AText, std::int32_t ACode) { ReportWarning(AText, ACode); }),
      FProcessNotify(std::make_unique<TSLMainThreadNotify>([this] { ProcessQueueNotified(); })),
      FMainThreadQueueEmpty(std::make_unique<TSLMainThreadNotify>([this] { QueueEmptyNotified(); })),
      FBufferQueue(GetLock()) {}

TALAudioOut::~TALAudioOut() {
  TOWLockSectionRef stop = FLock->StopLock();
  MarkDestroying();
  DisconnectPins();
  try {
    CloseDevice(true);
  } catch (...) {
    // Reported through OnError; destruction goes on.
  }
  if (HOut != platform::THWaveOut{}) {
    // A reset failed in the close: the device is let go of all the same.
    if (FWaveThread) FWaveThread->ClearRecords();
    FParams->SetIsOpen(false);
    Wave().waveOutReset(HOut);
    if (ReleaseDevice() != platform::MMSYSERR_NOERROR) {
      // The device would not close: what it may still call back must stay valid.
      static_cast<void>(FWaveThread.release());
      for (auto& buffer : FParams->GetList()) static_cast<void>(buffer.release());
    }
  }
  FProcessNotify.reset();
  FMainThreadQueueEmpty.reset();
  FBufferQueue.Clear();
}

std::uint32_t TALAudioOut::GetPrefillInterval() const { return FLock->Getter(FPrefillInterval); }
void TALAudioOut::SetPrefillInterval(std::uint32_t AValue) { FLock->Setter(FPrefillInterval, AValue); }

TSLErrorEvent TALAudioOut::GetOnError() const { return FLock->Getter(FOnError); }
void TALAudioOut::SetOnError(TSLErrorEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnError = std::move(AValue);
}

TSLWarningEvent TALAudioOut::GetOnWarning() const { return FLock->Getter(FOnWarning); }
void TALAudioOut::SetOnWarning(TSLWarningEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnWarning = std::move(AValue);
}

TNotifyEvent TALAudioOut::GetOnQueueEmpty() const {
  std::lock_guard g(FOnQueueEmptySection);
  return FOnQueueEmpty;
}
void TALAudioOut::SetOnQueueEmpty(TNotifyEvent AValue) {
  std::lock_guard g(FOnQueueEmptySection);
  FOnQueueEmpty = std::move(AValue);
}

const TLPPropertyList& TALAudioOut::ClassProperties() {
  using C = TALAudioOut;
  static const TLPPropertyList list(
      &TALBasicAudioOut::ClassProperties(),
      LPProperty<C>("PrefillInterval", &C::GetPrefillInterval, &C::SetPrefillInterval),
      LPProperty<C>("Device", static_cast<const TALAudioOutDevice& (C::*)() const noexcept>(&C::GetDevice),
                    &C::SetDevice));
  return list;
}

bool TALAudioOut::IsOpen() { return FParams->GetIsOpen(); }
bool TALAudioOut::IsPump() { return FParams->GetIsPump(); }

std::size_t TALAudioOut::BuffersAtDevice() {
  TALParamsSection params(*FParams);
  return FParams->GetList().size();
}

void TALAudioOut::ReportError(const char* AErrorText, platform::TMMResult AResult) {
  SLReportError(this, GetOnError(), AErrorText, static_cast<std::int32_t>(AResult));
}

void TALAudioOut::ReportWarning(const std::string& AErrorText, std::int32_t AErrorCode) {
  SLReportWarning(this, GetOnWarning(), AErrorText, AErrorCode);
}

bool TALAudioOut::OnWaveThread() { return tlsOnWaveThread; }

// ------------------------------------------------------------------ locking around deliveries

bool TALAudioOut::Relock(THold& AHold) {
  THold again = FLock->WriteLock();
  if (!again) return false;
  AHold = std::move(again);
  return true;
}

bool TALAudioOut::PumpUpstream(THold& AHold) {
  FInputPin.MasterPump(this);
  return Relock(AHold);
}

// ------------------------------------------------------------------ stream handling

TOWNotifyResult TALAudioOut::InputPinOperation(IOWNotifyOperation* AOperation) {
  THold hold = FLock->WriteLock();
  if (!hold || (ComponentState() & csDestroying)) return 0;
  auto* start = OWOperationAs<TOWStartWaveOperation>(AOperation);
  auto* stop = OWOperationAs<TOWStopOperation>(AOperation);
  if (FEnabled) {
    if (stop) {
      ++FStopping;
      // A stream shorter than the prefill is started by its end.
      if (!FStartResumed && FPaused.load()) {
        if (!Resume(hold)) return 0;
        FStartResumed = true;
      }
    } else if (start) {
      ++FStopping;
    }
    FBufferQueue.Push(AOperation, false);
  } else if (start) {
    FWaveFormat = std::make_unique<TALWaveFormatExtensible>(start->WaveFormat);
  } else if (stop) {
    FWaveFormat.reset();
  }

  // During the prefill every operation is handled at once: that is also when a pump request is
  // answered within its delivery.
  if (!FResumed || !FStartResumed) {
    ProcessQueue(hold);
    return 0;
  }
  {
    TALParamsSection params(*FParams);
    if (FStopping < 1 && FParams->GetList().size() > 1) return 0;  // the next completion processes it
  }
  ProcessQueue(hold);
  return 0;
}

bool TALAudioOut::ProcessQueue(THold& AHold) {
  for (;;) {
    TRefPtr<IOWNotifyOperation> operation = FBufferQueue.Pop();
    if (!operation) return true;
    bool bStop = false;
    if (!ProcessOperation(operation.Get(), bStop, AHold)) return false;
    if (bStop) return true;
  }
}

void TALAudioOut::ProcessQueueNotified() {
  try {
    THold hold = FLock->WriteLock();
    if (hold) ProcessQueue(hold);
  } catch (...) {
    // Reported through OnError; nothing above the message loop could take it.
  }
}

bool TALAudioOut::ProcessOperation(IOWNotifyOperation* AOperation, bool& AStopProcessing, THold& AHold) {
  if (auto* start = OWOperationAs<TOWStartWaveOperation>(AOperation)) {
    --FStopping;
    FStartResumed = false;
    FStartInterval = 0;
    FPaused = true;
    if (!IsOpen()) {
      OpenForStream(start->WaveFormat, true);
      return true;
    }
    if (!FStopped) {  // the stream playing now goes on; the new one is dropped
      AStopProcessing = true;
      return true;
    }
    if (OnWaveThread()) {
      FBufferQueue.PushBack(AOperation);
      FProcessNotify->Notify();
      AStopProcessing = true;
      return true;
    }
    OpenForStream(start->WaveFormat, true);
    return true;
  }
  if (OWOperationAs<TOWStartPumpOperation>(AOperation)) {
    if (IsPump() && FMasterPumping.GetEnabled()) {
      if (!PumpUpstream(AHold)) return false;
      if (FPrefillInterval != 0 && !PumpUpstream(AHold)) return false;
    }
    return true;
  }
  if (OWOperationAs<TOWStopOperation>(AOperation)) {
    --FStopping;
    FStopped = true;
    return true;
  }
  if (auto* supplied = OWOperationAs<TOWSuppliedBufferOperation>(AOperation)) {
    { TALParamsSection params(*FParams); }  // waits for a completion that is under way
    if (PALAudioBuffer buffer = TALAudioBuffer::CreateUniversal(supplied->Buffer.Get())) {
      if (!SubmitBuffer(buffer, AHold)) return false;
    }
    if (FMasterPumping.GetEnabled() && !FStartResumed) return PumpUpstream(AHold);
    return true;
  }
  if (auto* request = OWOperationAs<TOWPumpRequestOperation>(AOperation)) {
    ClaimPump(*request);
    return true;
  }
  return true;
}

bool TALAudioOut::OpenForStream(TALWaveFormatExtensible AFormat, bool APause) {
  if (APause && !FEnabled) return false;
  if (IsOpen()) CloseDevice(false);
  if (HOut != platform::THWaveOut{}) {
    // Left over from a close whose reset or close failed.
    Wave().waveOutReset(HOut);
    const platform::TMMResult closed = ReleaseDevice();
    if (closed != platform::MMSYSERR_NOERROR) {
      ReportError(KALCantOpenAudioDevice, closed);
      return false;
    }
  }
  // Resolved before the params section: the lookup may warn, and the warning handler is the user's.
  const std::uint32_t id = FDevice.GetDeviceID();
  const platform::TWaveFormatExtensible format = ALToWaveFormat(AFormat);
  platform::TMMResult result;
  {
    TALParamsSection params(*FParams);
    FParams->SetIsOpen(true);
    FWaveThread = std::make_unique<TALWaveThread>(
        MakeThreadName(GetName(), ClassName(), ".TALWaveThread"),
        [this](std::uint32_t uMsg, std::uintptr_t, platform::TWaveHdr* AWaveHdr) { WaveMessage(uMsg, AWaveHdr); });
    result = Wave().waveOutOpen(&HOut, id, &format, &TALAudioOut::WaveOutProc,
                                reinterpret_cast<std::uintptr_t>(FWaveThread.get()), ALWaveOpenFlags(id));
    FWaveFormat = std::make_unique<TALWaveFormatExtensible>(AFormat);
    if (result != platform::MMSYSERR_NOERROR) {
      FParams->SetIsOpen(false);
      HOut = {};
    } else if (APause) {
      result = Wave().waveOutPause(HOut);
      FResumed = false;
      FStopped = false;
      if (result != platform::MMSYSERR_NOERROR) {
        params.Leave();
        ReportError(KALCantPauseAudioDevice, result);
        return true;
      }
      return true;
    }
  }
  if (result != platform::MMSYSERR_NOERROR) {
    FWaveThread.reset();
    ReportError(KALCantOpenAudioDevice, result);
    return false;
  }
  FResumed = false;
  FStopped = false;
  return true;
}

bool TALAudioOut::SubmitBuffer(const PALAudioBuffer& ABuffer, THold& AHold) {
  if (!FEnabled) return true;
  TALWaveBuffer* record = nullptr;
  platform::THWaveOut handle{};
  {
    TALParamsSection params(*FParams);
    if (!FParams->GetIsOpen()) return true;  // no device to play it on
    auto owned = std::make_unique<TALWaveBuffer>();
    record = owned.get();
    record->HOut = handle = HOut;
    record->Data = ABuffer;
    // The producer's buffer still shares the storage: this is the one copy, into storage that
    // the device alone reads until it gives the block back.
    ABuffer->MakeUnique(true);
    record->WaveHdr.lpData = reinterpret_cast<char*>(ABuffer->GetModifyPointer());
    record->WaveHdr.dwBufferLength = ABuffer->GetByteSize();
    record->WaveHdr.dwUser = reinterpret_cast<std::uintptr_t>(record);
    Wave().waveOutPrepareHeader(handle, &record->WaveHdr);
    FParams->GetList().push_back(std::move(owned));
  }
  if (Wave().waveOutWrite(handle, &record->WaveHdr) != platform::MMSYSERR_NOERROR) {
    // Never at the device, so never given back: it goes now.
    TALParamsSection params(*FParams);
    Wave().waveOutUnprepareHeader(handle, &record->WaveHdr);
    auto& list = FParams->GetList();
    list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& p) { return p.get() == record; }), list.end());
  }

  if (!FStartResumed) {
    const std::uint32_t rate = ABuffer->GetSampleRate();
    if (rate) FStartInterval += static_cast<std::uint32_t>(ABuffer->GetSize() * 1000u) / rate;
    if (FStartInterval > static_cast<std::int64_t>(FPrefillInterval)) {
      if (FPaused.load() && !Resume(AHold)) return false;
      FStartResumed = true;
    }
  }
  return true;
}

bool TALAudioOut::Resume(THold& AHold) {
  if (!FEnabled || !FPaused.load()) return true;
  if (!IsOpen()) return true;  // nothing to start yet
  FResumed = true;
  FPaused = false;
  const platform::TMMResult result = Wave().waveOutRestart(HOut);
  if (result != platform::MMSYSERR_NOERROR) ReportError(KALCantRestartAudioDevice, result);
  // Completions while paused asked for nothing: ask now.
  for (std::int32_t missed = FMissedPumps.load(); missed > 0; missed = FMissedPumps.load()) {
    if (!FMissedPumps.compare_exchange_weak(missed, missed - 1)) continue;
    if (!PumpUpstream(AHold)) return false;
  }
  return true;
}

void TALAudioOut::Pause() {
  FPaused = true;
  if (IsOpen()) Wave().waveOutPause(HOut);
}

void TALAudioOut::EnabledChanged() {
  if (!FEnabled) return;  // an open device keeps playing what it holds
  FStartResumed = false;
  FStartInterval = 0;
  FPaused = true;
  if (FWaveFormat) {
    const TALWaveFormatExtensible format = *FWaveFormat;
    OpenForStream(format, true);
    FStopped = false;
  } else {
    Pause();
  }
}

void TALAudioOut::ClaimPump(TOWPumpRequestOperation& ARequest) {
  if (!FMasterPumping.GetEnabled()) return;
  const std::int32_t priority = FMasterPumping.GetPriority();
  if (ARequest.PumpType == ptHardware && ARequest.PumpPriority >= priority) return;
  const std::uint32_t id = FDevice.GetDeviceID();
  const platform::TWaveFormatExtensible format = ALToWaveFormat(KPumpTestFormat);
  platform::THWaveOut test{};
  if (Wave().waveOutOpen(&test, id, &format, &TALAudioOut::WaveOutProc, 0, ALWaveOpenFlags(id)) !=
      platform::MMSYSERR_NOERROR) {
    TALParamsSection params(*FParams);
    FParams->SetIsPump(false);
    return;
  }
  ARequest.Pump = this;
  ARequest.PumpPriority = priority;
  ARequest.PumpType = ptHardware;
  {
    TALParamsSection params(*FParams);
    FParams->SetIsPump(true);
  }
  Wave().waveOutClose(test);
}

// ------------------------------------------------------------------ open, close, flush

bool TALAudioOut::Open() {
  THold hold = FLock->WriteLock();
  if (!hold || IsOpen() || !FWaveFormat) return false;
  const TALWaveFormatExtensible format = *FWaveFormat;
  if (!OpenForStream(format, false)) return false;
  ProcessQueue(hold);
  return true;
}

void TALAudioOut::Close() { CloseDevice(true); }

void TALAudioOut::CloseDevice(bool AClearPump) {
  TOWLockSectionRef stop = FLock->StopLock();
  {
    TALParamsSection params(*FParams);
    if (!FParams->GetIsOpen()) return;
    FWaveThread->ClearRecords();
    if (AClearPump) FParams->SetIsPump(false);
    // From here on completions are ignored: the buffers are freed below.
    FParams->SetIsOpen(false);
  }
  const platform::TMMResult result = Wave().waveOutReset(HOut);
  if (result != platform::MMSYSERR_NOERROR) {
    ReportError(KALCantRestartAudioDevice, result);
    return;
  }
  ReleaseDevice();
}

platform::TMMResult TALAudioOut::ReleaseDevice() {
  if (FWaveThread) FWaveThread->Terminate();
  platform::TMMResult result = platform::MMSYSERR_NOERROR;
  {
    TALParamsSection params(*FParams);
    auto& list = FParams->GetList();
    for (const auto& record : list) Wave().waveOutUnprepareHeader(record->HOut, &record->WaveHdr);
    if (HOut != platform::THWaveOut{}) result = Wave().waveOutClose(HOut);
    if (result != platform::MMSYSERR_NOERROR) {
      // A device that refused to close is tried again by the next open or the release. Until
      // then it may still use its buffers and call back: both stay (the thread object, ended,
      // ignores what it is sent).
      return result;
    }
    list.clear();
    HOut = {};
  }
  FWaveThread.reset();
  return result;
}

void TALAudioOut::Flush() {
  THold hold = FLock->WriteLock();
  if (!hold) return;
  FBufferQueue.Clear();
  TALParamsSection params(*FParams);
  if (!FParams->GetIsOpen()) return;
  FStartResumed = false;
  FPaused = true;
  FStartInterval = 0;
  Wave().waveOutReset(HOut);
  Wave().waveOutPause(HOut);
}

// ------------------------------------------------------------------ the wave thread's side

void TALAudioOut::WaveOutProc(platform::THWaveOut hwo, std::uint32_t uMsg, std::uintptr_t dwInstance,
                              platform::TWaveHdr* header) {
  if (dwInstance)
    reinterpret_cast<TALWaveThread*>(dwInstance)->PushRecord(uMsg, static_cast<std::uintptr_t>(hwo), header);
}

void TALAudioOut::WaveMessage(std::uint32_t uMsg, platform::TWaveHdr* AWaveHdr) {
  if (uMsg == platform::WOM_DONE && AWaveHdr) BufferDone(AWaveHdr);
}

void TALAudioOut::BufferDone(platform::TWaveHdr* AWaveHdr) {
  TALParamsSection params(*FParams);
  if (!FParams->GetIsOpen()) return;  // a close is under way and frees the buffers itself
  const bool bPump = FParams->GetIsPump();
  if (bPump || FClockOutputPin.IsConnected()) {
    params.Leave();
    if (FPaused.load()) ++FMissedPumps;
    FClockOutputPin.Clock();
    if (bPump) FInputPin.MasterPump(this);
    params.Enter();
    if (!FParams->GetIsOpen()) return;
  }
  auto* record = reinterpret_cast<TALWaveBuffer*>(AWaveHdr->dwUser);
  Wave().waveOutUnprepareHeader(record->HOut, AWaveHdr);
  auto& list = FParams->GetList();
  list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& p) { return p.get() == record; }), list.end());
  if (list.empty()) {
    std::lock_guard g(FOnQueueEmptySection);
    if (FOnQueueEmpty) FMainThreadQueueEmpty->Notify(true);
  }
  params.Leave();
  THold hold = FLock->WriteLock();
  if (hold) ProcessQueue(hold);
}

void TALAudioOut::QueueEmptyNotified() {
  if (TNotifyEvent event = GetOnQueueEmpty()) event(this);
}

}  // namespace portwise

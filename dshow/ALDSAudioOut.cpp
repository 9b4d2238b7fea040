#include "dshow/ALDSAudioOut.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/Platform.h"

namespace portwise {

namespace {

using namespace std::chrono_literals;

// Bounds of the pumping: buffers in flight and operations waiting.
constexpr std::int32_t KMaxPumpedBuffers = 50;
constexpr std::size_t KMaxQueuedOperations = 50;
// A change of the buffer duration within this many 100 ns units keeps the clock's advice.
constexpr std::int64_t KAdviseTolerance = 10;
// While the end of a stream plays out, the player looks at the stream clock this often.
constexpr auto KPlayOutPoll = 10ms;
// A renderer that never reports its completion is taken as done this long after the stream
// clock passed the end of the last buffer.
constexpr REFERENCE_TIME KPlayOutGrace = 20000000;  // 2 s
// The longest a stop waits for a delivery the stopped graph has released.
constexpr auto KSendingGiveUp = 5s;

constexpr REFERENCE_TIME KUnitsPerSecond = 10000000;

}  // namespace

// ------------------------------------------------------------------ player thread

TALPlayerThread::TALPlayerThread(TALDSAudioOut& AOwner, const std::string& AName)
    : TLPThread(AName), FOwner(AOwner) {
  Start([this] { Execute(); }, platform::EThreadPriority::Highest);
}

TALPlayerThread::~TALPlayerThread() {
  {
    std::lock_guard g(FMutex);
    FTerminated = true;
    FWake = true;
    FInProcessing = true;
  }
  FChanged.notify_all();
  Join();
}

void TALPlayerThread::WakeUp() {
  {
    std::lock_guard g(FMutex);
    FWake = true;
  }
  FChanged.notify_all();
}

void TALPlayerThread::PauseIt() {
  std::lock_guard g(FMutex);
  FInProcessing = false;
}

void TALPlayerThread::ResumeIt() {
  {
    std::lock_guard g(FMutex);
    FInProcessing = true;
  }
  FChanged.notify_all();
}

void TALPlayerThread::Execute() {
  for (;;) {
    {
      // Parked only while a stop is under way; the stop resumes it, and so does destruction.
      std::unique_lock lk(FMutex);
      FChanged.wait(lk, [this] { return FInProcessing || FTerminated; });
      if (FTerminated) return;
    }
    const std::chrono::milliseconds wait = FOwner.PlayerWaitTime();
    bool timedOut;
    {
      std::unique_lock lk(FMutex);
      timedOut = !FChanged.wait_for(lk, wait, [this] { return FWake || FTerminated; });
      FWake = false;
      if (FTerminated) return;
    }
    FOwner.PlayerStep(timedOut);
  }
}

// ------------------------------------------------------------------ clock thread

TDSClockThread::TDSClockThread(const std::string& AName, std::function<void()> AOnClock)
    : TLPThread(AName), FOnClock(std::move(AOnClock)), FSemaphore(DSCom().CreateClockSemaphore()) {
  Start(
      [this] {
        platform::ICom& com = DSCom();
        while (!FTerminated.load()) {
          // Bounded, so that a lost wake-up cannot keep the thread from its end.
          if (!com.WaitClockSemaphore(FSemaphore, 200)) continue;
          if (FTerminated.load()) break;
          FOnClock();
        }
      },
      platform::EThreadPriority::Highest);
}

TDSClockThread::~TDSClockThread() {
  FTerminated = true;
  DSCom().ReleaseClockSemaphore(FSemaphore);
  Join();
  DSCom().CloseClockSemaphore(FSemaphore);
}

// ------------------------------------------------------------------ construction

TALDSAudioOut::TALDSAudioOut(TComponent* AOwner) : TALBasicAudioOut(AOwner), FOperationQueue(GetLock()) {
  FMainThreadNotify = std::make_unique<TSLMainThreadNotify>([this] { StreamPlayedOut(); });
  FGraph = std::make_unique<TDSGraph>(this, GetLock(),
                                      [this](std::int32_t ACode, LONG_PTR, LONG_PTR) { GraphNotify(ACode); });
  FEnabled = true;
  FPrefillInterval = 300;
  FClockThread = std::make_unique<TDSClockThread>(MakeThreadName(GetName(), ClassName(), ".TSLClockThread"),
                                                  [this] { ClockTick(); });
  FAudioOutputDevice = std::make_unique<TDSAudioOutputDevice>(
      this, GetLock(), FGraph->HiddenForm(),
      [this](TObject*) {
        StopStream(false);
        Close();
      },
      [this]() -> TRefPtr<IBaseFilter> {
        Open();
        TOWLockSectionRef section = FLock->ReadLock();
        return FAudioRenderFilter;
      });
  FIsPump = false;
  TearDown();
  // Last: the thread reads the state set above.
  if (!IsDesigning())
    FPlayerThread = std::make_unique<TALPlayerThread>(*this, MakeThreadName(GetName(), ClassName(), ".TALPlayerThread"));
}

TALDSAudioOut::~TALDSAudioOut() {
  TOWLockSectionRef stop = FLock->StopLock();
  MarkDestroying();
  DisconnectPins();
  StopStream(true);
  UnbuildGraph();
  TearDown();
  FOpened = false;
  // The threads' attempts at the lock fail at once while the stop section lasts, so they end
  // without waiting for it.
  FPlayerThread.reset();
  FClockThread.reset();
  FOperationQueue.Clear();
  FMainThreadNotify.reset();
  FAudioOutputDevice.reset();
  FGraph.reset();
  std::lock_guard g(FListCriticalSection);
  FBufferQueue.clear();
}

const TLPPropertyList& TALDSAudioOut::ClassProperties() {
  using C = TALDSAudioOut;
  static const TLPPropertyList list(
      &TALBasicAudioOut::ClassProperties(),
      LPProperty<C>("PrefillInterval", &C::GetPrefillInterval, &C::SetPrefillInterval),
      LPProperty<C>("AudioOutputDevice",
                    static_cast<const TDSAudioOutputDevice& (C::*)() const noexcept>(&C::GetAudioOutputDevice),
                    &C::SetAudioOutputDevice),
      LPProperty<C>("Graph", static_cast<const TDSGraph& (C::*)() const noexcept>(&C::GetGraph), &C::SetGraph));
  return list;
}

// ------------------------------------------------------------------ properties

std::uint32_t TALDSAudioOut::GetPrefillInterval() const { return FLock->Getter(FPrefillInterval); }
void TALDSAudioOut::SetPrefillInterval(std::uint32_t AValue) { FLock->Setter(FPrefillInterval, AValue); }

std::int32_t TALDSAudioOut::GetVolume() {
  TOWLockSectionRef section = FLock->WriteLock();
  LONG value = 0;
  if (!section || !FBasicAudio || FAILED(FBasicAudio->get_Volume(&value))) return 0;
  return value;
}

void TALDSAudioOut::SetVolume(std::int32_t AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  AValue = std::clamp(AValue, -10000, 0);
  if (section && FBasicAudio) FBasicAudio->put_Volume(AValue);
}

std::int32_t TALDSAudioOut::GetBalance() {
  TOWLockSectionRef section = FLock->WriteLock();
  LONG value = 0;
  if (!section || !FBasicAudio || FAILED(FBasicAudio->get_Balance(&value))) return 0;
  return value;
}

void TALDSAudioOut::SetBalance(std::int32_t AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  AValue = std::clamp(AValue, -10000, 10000);
  if (section && FBasicAudio) FBasicAudio->put_Balance(AValue);
}

bool TALDSAudioOut::GetOpened() const { return FLock->Getter(FOpened); }

void TALDSAudioOut::SetOpened(bool AValue) {
  if (AValue == GetOpened()) return;
  if (AValue) {
    Open();
  } else {
    Close();
  }
}

TNotifyEvent TALDSAudioOut::GetOnQueueEmpty() const {
  std::lock_guard g(FOnQueueEmptySection);
  return FOnQueueEmpty;
}

void TALDSAudioOut::SetOnQueueEmpty(TNotifyEvent AValue) {
  std::lock_guard g(FOnQueueEmptySection);
  FOnQueueEmpty = std::move(AValue);
}

bool TALDSAudioOut::IsStreaming() { return FLock->Getter(FIsOpen); }
bool TALDSAudioOut::IsPlaying() { return FLock->Getter(FResumed); }
bool TALDSAudioOut::IsPump() { return FLock->Getter(FIsPump); }
REFERENCE_TIME TALDSAudioOut::CurrentAudioTime() { return FLock->Getter(FCurrentAudioTime); }

TDSAudioSourceFilter* TALDSAudioOut::SourceFilter() {
  TOWLockSectionRef section = FLock->ReadLock();
  return FAudioSourceObject;
}

std::size_t TALDSAudioOut::QueuedBuffers() {
  std::lock_guard g(FListCriticalSection);
  return FBufferQueue.size();
}

bool TALDSAudioOut::Relock(THold& AHold) {
  THold again = FLock->WriteLock();
  if (!again) return false;
  AHold = std::move(again);
  return true;
}

// ------------------------------------------------------------------ Enabled

void TALDSAudioOut::EnabledChanged() {
  THold hold = FLock->WriteLock();
  if (!hold) return;
  if (FEnabled) {
    Enable(hold);
  } else {
    Disable();
  }
}

void TALDSAudioOut::Enable(THold& AHold) {
  FPaused = false;
  ResumeRender(AHold);
}

void TALDSAudioOut::Disable() {
  FPaused = true;
  PauseRender();
}

// ------------------------------------------------------------------ building and tearing down

void TALDSAudioOut::Open() {
  THold hold = FLock->WriteLock();
  if (!hold || FOpened) return;
  FMAudio = FAudioOutputDevice->GetMoniker();
  std::exception_ptr failure = BuildRenderer();
  // The tear-down inside gives the lock up for a moment.
  if (!Relock(hold)) return;
  if (failure) std::rethrow_exception(failure);
  // A failure that a handler marked handled ended the first stage: nothing to build on.
  if (!FGraph->Graph()) return;
  bool ok;
  try {
    ok = BuildSource();
  } catch (...) {
    // A failed open leaves nothing behind: the renderer goes with the graph.
    TearDown();
    throw;
  }
  if (!Relock(hold)) return;
  if (ok) {
    FGraph->RegisterGraph();
    FGraph->GraphChanged();
    FGraph->GraphBuilt();
  }
  bool opened;
  try {
    opened = ok && FGraph->GetMediaControl();
  } catch (...) {
    TearDown();
    throw;
  }
  FOpened = opened;
  FGraphBuilt = opened;
  if (!opened) TearDown();
}

std::exception_ptr TALDSAudioOut::BuildRenderer() {
  std::exception_ptr failure;
  try {
    TearDown();
    if (!FGraph->CreateGraph() || !FGraph->CreateGraphBuilder()) {
      TearDown();
      return nullptr;
    }
    FGraph->RegisterAdditionalFilters();
    if (FMAudio) {
      void* object = nullptr;
      HRESULT hr = FMAudio->BindToObject(nullptr, nullptr, IID_IBaseFilter, &object);
      if (FAILED(hr) || !object) {
        if (SUCCEEDED(hr)) hr = E_NOINTERFACE;
        FGraph->Error(KDSCantCreateAudioRenderFilter, hr);
        TearDown();
        return nullptr;
      }
      FAudioRenderFilter = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(object));
      const platform::TOleString name = platform::ToOle("Audio Render");
      hr = FGraph->Graph()->AddFilter(FAudioRenderFilter.Get(), name.c_str());
      if (FAILED(hr)) {
        FGraph->Error(KDSCantAddAudioRenderFilter, hr);
        TearDown();
        return nullptr;
      }
      FBasicAudio = DSQuery<IBasicAudio>(FAudioRenderFilter.Get(), IID_IBasicAudio);
    }
    return nullptr;
  } catch (...) {
    failure = std::current_exception();
  }
  TearDown();
  return failure;
}

bool TALDSAudioOut::BuildSource() {
  if (!FGraph->Graph()) return true;
  FGraph->RegisterGraph();
  // Without a control (the error was handled) there is nothing to run: not built.
  if (!FGraph->GetMediaControl()) return false;
  auto* filter = new TDSAudioSourceFilter(CLSID_DSAudioSourceFilter);
  FAudioSourceFilter = TRefPtr<IBaseFilter>(filter->AsBaseFilter());
  FAudioSourceObject = filter;
  if (!FWaveFormat || FWaveFormat->nSamplesPerSec == 0)
    FWaveFormat = std::make_unique<TALWaveFormatExtensible>(KDSDefaultOutFormat);
  std::uint32_t frameDelay = 1024000 / FWaveFormat->nSamplesPerSec;  // 1024 frames, in ms
  if (frameDelay == 0) frameDelay = 1000;
  filter->SetFormat(*FWaveFormat, false, frameDelay);
  const platform::TOleString name = platform::ToOle("AudioSource");
  HRESULT hr = FGraph->Graph()->AddFilter(FAudioSourceFilter.Get(), name.c_str());
  if (FAILED(hr)) {
    FGraph->Error(KDSCantSetAudioSourceFilter, hr);
    return false;
  }
  hr = FGraph->GraphBuilder()->RenderStream(nullptr, &MEDIATYPE_Audio, FAudioSourceFilter.Get(), nullptr,
                                           FAudioRenderFilter.Get());
  if (FAILED(hr)) {
    FGraph->Error(KDSCantRenderAudioOutput, hr);
    return false;
  }
  FGraph->SetMediaEvent();
  FMediaFilter = DSQuery<IMediaFilter>(FGraph->Graph().Get(), IID_IMediaFilter, &hr);
  if (!FMediaFilter) {
    FGraph->Error(KDSCantObtainMediaFilter, hr);
    return false;
  }
  return true;
}

void TALDSAudioOut::TearDown() {
  TOWLockSectionRef stop = FLock->StopLock();
  FReferenceClock.Reset();
  FMediaFilter.Reset();
  FAdvised = false;
  FGraph->DestroyGraph();
  FBasicAudio.Reset();
  FAudioRenderFilter.Reset();
  FAudioSourceFilter.Reset();
  FAudioSourceObject = nullptr;
  FGraph->MediaEvent().Reset();
}

void TALDSAudioOut::UnbuildGraph() {
  TOWLockSectionRef stop = FLock->StopLock();
  if (!FGraphBuilt) return;
  // Whatever Enabled says: a graph that goes must not be fed any more.
  StopStream(true);
  FGraph->UnregisterGraph();
  FGraph->MediaEvent().Reset();
  FAdvised = false;
  FAudioSourceFilter.Reset();
  FAudioSourceObject = nullptr;
  FGraphBuilt = false;
}

void TALDSAudioOut::Close() {
  TOWLockSectionRef stop = FLock->StopLock();
  if (FOpened) {
    if (FAudioSourceObject) FAudioSourceObject->DeliverEndOfStream();
    UnbuildGraph();
  }
  TearDown();
  FAudioOutputDevice->CloseDevice();
  FOpened = false;
}

void TALDSAudioOut::Flush() {
  TRefPtr<IBaseFilter> held;
  TDSAudioSourceFilter* filter;
  {
    TOWLockSectionRef section = FLock->WriteLock();
    if (!section) return;
    std::lock_guard g(FListCriticalSection);
    FOperationQueue.Clear();
    FBufferQueue.clear();
    held = FAudioSourceFilter;
    filter = FAudioSourceObject;
  }
  // A renderer's flush releases a delivery it holds: not under the lock.
  if (filter) filter->Flush();
}

// ------------------------------------------------------------------ the stream

TOWNotifyResult TALDSAudioOut::InputPinOperation(IOWNotifyOperation* AOperation) {
  THold hold = FLock->WriteLock();
  if (!hold || (ComponentState() & csDestroying)) return 0;

  if (auto* start = OWOperationAs<TOWStartWaveOperation>(AOperation)) {
    FStartResumed = false;
    FStartInterval = 0;
    if (!FWaveFormat || !SameWaveFormat(*FWaveFormat, start->WaveFormat)) {
      Close();
      if (!Relock(hold)) return 0;
    }
    FWaveFormat = std::make_unique<TALWaveFormatExtensible>(start->WaveFormat);
    ReopenForStream(hold);
    return 0;
  }

  if (auto* request = OWOperationAs<TOWPumpRequestOperation>(AOperation)) {
    ClaimPump(*request);
    return 0;
  }

  if (OWOperationAs<TOWStopOperation>(AOperation)) {
    if (!FStartResumed) {
      // The stream ended during the prefill: what was queued is played now.
      if (FIntPaused) {
        if (!ResumeRender(hold)) return 0;
      } else if (FOpened) {
        if (!StartRender(hold)) return 0;
      }
      FStartResumed = true;
      if (!ProcessNextOperation(hold)) return 0;
    }
    // Played out by the player thread, then stopped on the main thread.
    FStopped = true;
    if (FPlayerThread) FPlayerThread->WakeUp();
    return 0;
  }

  FOperationQueue.Push(AOperation, false);
  if (FResumed || !FStartResumed) {
    if (!ProcessNextOperation(hold)) return 0;
  }
  if (!FAdvised) ProcessNextOperation(hold);
  return 0;
}

void TALDSAudioOut::ResetPlayOut() {
  FStopped = false;
  FEndOfStreamSent = false;
  FPlayOutEnd = 0;
  FCompleteSeen = false;
  FPlayedOutPosted = false;
  FInPrefill = false;
}

void TALDSAudioOut::ReopenForStream(THold& AHold) {
  if (FIsOpen) {
    StopStream(false);
    Close();
    FOpened = false;
    if (!Relock(AHold)) return;
  }
  FOldAdviseFreq = -1;
  Open();
  if (!Relock(AHold)) return;
  FResumed = false;
  FIntPaused = false;
  FCountBuffers = 0;
  FPumpsOwed = 0;
  FCurrentAudioTime = 0;
  ResetPlayOut();
  FIsOpen = true;
}

void TALDSAudioOut::ClaimPump(TOWPumpRequestOperation& ARequest) {
  if (!FMasterPumping.GetEnabled()) return;
  const std::int32_t priority = FMasterPumping.GetPriority();
  if (ARequest.PumpType == ptHardware && ARequest.PumpPriority >= priority) return;
  ARequest.Pump = this;
  ARequest.PumpPriority = priority;
  ARequest.PumpType = ptHardware;
  FIsPump = true;
}

bool TALDSAudioOut::ProcessNextOperation(THold& AHold) {
  TRefPtr<IOWNotifyOperation> operation = FOperationQueue.Pop();
  if (!operation) return true;
  if (OWOperationAs<TOWStartPumpOperation>(operation.Get())) {
    if (!FIsPump) return true;
    if (!PumpStep(AHold) || !PumpStep(AHold)) return false;
    if (FPrefillInterval != 0) {
      FInPrefill = true;
      if (!PumpStep(AHold)) return false;
      FInPrefill = false;
    } else {
      if (!PumpStep(AHold) || !StartRender(AHold)) return false;
    }
    FStopped = false;
    return true;
  }
  if (auto* supplied = OWOperationAs<TOWSuppliedBufferOperation>(operation.Get())) {
    if (PALAudioBuffer buffer = TALAudioBuffer::CreateUniversal(supplied->Buffer.Get()))
      return QueueBuffer(buffer, AHold);
  }
  return true;
}

bool TALDSAudioOut::QueueBuffer(const PALAudioBuffer& ABuffer, THold& AHold) {
  if (FPaused || !FAudioSourceObject || !FIsOpen || FStopped || ABuffer->GetSize() == 0) return true;
  {
    std::lock_guard g(FListCriticalSection);
    FBufferQueue.push_back(ABuffer);
  }
  ++FCountBuffers;
  if (!FStartResumed) {
    if (FWaveFormat && FWaveFormat->nSamplesPerSec)
      FStartInterval += static_cast<std::int64_t>(ABuffer->GetSize()) * 1000 / FWaveFormat->nSamplesPerSec;
    if (FStartInterval > static_cast<std::int64_t>(FPrefillInterval)) {
      if (FIntPaused) {
        if (!ResumeRender(AHold)) return false;
      } else if (FOpened) {
        if (!StartRender(AHold)) return false;
      }
      FStartResumed = true;
    }
  }
  if (FPlayerThread) FPlayerThread->WakeUp();
  return true;
}

bool TALDSAudioOut::StartRender(THold& AHold) {
  FCurrentAudioTime = 0;
  FOldAdviseFreq = -1;
  TRefPtr<IMediaControl> control = FGraph->MediaControl();
  if (!control) {
    FGraph->Error(KDSCantStartRender, 0);
    return true;
  }
  HRESULT hr;
  {
    // Running the graph waits for its filters; none of them needs this lock, but the producer
    // and the player must not wait for it meanwhile.
    THold released = FLock->UnlockAll();
    hr = control->Run();
    if (FAILED(hr)) control->Stop();
  }
  if (!Relock(AHold)) return false;
  if (FAILED(hr)) {
    FGraph->Error(KDSCantStartRender, hr);
    return true;
  }
  FResumed = true;
  if (!FIsPump && !FClockOutputPin.IsConnected()) {
    // The source paces itself: no clock to follow.
    FEnabled = true;
    return true;
  }
  TRefPtr<IReferenceClock> clock;
  hr = FMediaFilter ? FMediaFilter->GetSyncSource(clock.Receive()) : E_NOINTERFACE;
  if (FAILED(hr) || !clock) {
    FGraph->Error(KDSCantObtainReferenceClock, hr);
    return true;
  }
  FReferenceClock = clock;
  FEnabled = true;
  return true;
}

bool TALDSAudioOut::ResumeRender(THold& AHold) {
  TRefPtr<IMediaControl> control = FGraph->MediaControl();
  if (!FIntPaused || !control) return true;
  FResumed = true;
  FOldAdviseFreq = -1;
  FIntPaused = false;
  {
    THold released = FLock->UnlockAll();
    control->Run();
  }
  if (!Relock(AHold)) return false;
  if (FPlayerThread) FPlayerThread->WakeUp();
  return true;
}

void TALDSAudioOut::PauseRender() {
  TRefPtr<IMediaControl> control = FGraph->MediaControl();
  if (!control) return;
  FOldAdviseFreq = -1;
  FIntPaused = true;
  control->Pause();
}

void TALDSAudioOut::StopStream(bool AClearPump) {
  TOWLockSectionRef stop = FLock->StopLock();
  if (!FIsOpen) return;
  if (FPlayerThread) FPlayerThread->PauseIt();
  {
    std::lock_guard g(FListCriticalSection);
    FBufferQueue.clear();
  }
  // Stopping the graph first decommits the source's allocator and makes the renderer let go, so
  // a delivery in progress returns: the wait below ends with it. Nobody else can take the lock
  // while this stop section lasts, so it is kept.
  if (TRefPtr<IMediaControl> control = FGraph->MediaControl()) control->Stop();
  const auto giveUp = std::chrono::steady_clock::now() + KSendingGiveUp;
  while (FInSending.load() && std::chrono::steady_clock::now() < giveUp) std::this_thread::sleep_for(1ms);
  if (FAdvised && FReferenceClock) FReferenceClock->Unadvise(FAdviseCookie);
  FAdvised = false;
  if (FPlayerThread) FPlayerThread->ResumeIt();
  FOldAdviseFreq = -1;
  if (AClearPump) FIsPump = false;
  FIsOpen = false;
  FResumed = false;
  FIntPaused = false;
  ResetPlayOut();
}

bool TALDSAudioOut::PumpStep(THold& AHold) {
  const std::thread::id me = std::this_thread::get_id();
  std::thread::id pumping{};
  if (!FPumpingThread.compare_exchange_strong(pumping, me)) {
    if (pumping == me) return PumpOnce(AHold);  // nested in our own delivery
    ++FPumpsOwed;
    return true;
  }
  struct TClaim {
    std::atomic<std::thread::id>& Thread;
    ~TClaim() { Thread.store(std::thread::id()); }
  } claim{FPumpingThread};
  if (!PumpOnce(AHold)) return false;
  // The lock is held again here, so a step owed meanwhile is seen before the claim goes.
  while (FPumpsOwed > 0) {
    --FPumpsOwed;
    if (!PumpOnce(AHold)) return false;
  }
  return true;
}

bool TALDSAudioOut::PumpOnce(THold& AHold) {
  try {
    if (FCountBuffers > KMaxPumpedBuffers || FOperationQueue.Count() > KMaxQueuedOperations) return true;
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (FIsPump) {
        FInputPin.MasterPump(this);
        if (!Relock(AHold)) return false;
      }
      FClockOutputPin.Clock();
      if (!Relock(AHold)) return false;
      if (FCountBuffers > 0 || attempt == 1) return true;
      {
        THold released = FLock->UnlockAll();
        std::this_thread::sleep_for(1ms);
      }
      if (!Relock(AHold)) return false;
    }
    return true;
  } catch (...) {
    return Relock(AHold);
  }
}

// ------------------------------------------------------------------ the player thread's side

std::chrono::milliseconds TALDSAudioOut::PlayerWaitTime() {
  THold hold = FLock->ReadLock();
  if (!hold) return KPlayOutPoll;
  if (FEndOfStreamSent && !FPlayedOutPosted) return KPlayOutPoll;
  return std::chrono::milliseconds(static_cast<std::int64_t>(FPrefillInterval) + 10);
}

void TALDSAudioOut::PlayerStep(bool ATimedOut) {
  {
    THold hold = FLock->WriteLock();
    if (!hold || !FOpened) return;
    if (ATimedOut || !FResumed) {
      // An ended stream has nobody left to pump.
      if (!FStopped && !PumpStep(hold)) return;
      if (!FResumed) return;
    }
    if (FIntPaused) return;
  }
  // Deliveries wait for the renderer: no lock is held across them.
  Drain();
  CheckPlayOut();
}

void TALDSAudioOut::Drain() {
  for (;;) {
    PALAudioBuffer buffer;
    {
      std::lock_guard g(FListCriticalSection);
      if (FBufferQueue.empty()) return;
      buffer = std::move(FBufferQueue.front());
      FBufferQueue.pop_front();
    }
    if (!SendBuffer(buffer)) return;
  }
}

bool TALDSAudioOut::SendBuffer(const PALAudioBuffer& ABuffer) {
  TRefPtr<IBaseFilter> held;
  TDSAudioSourceFilter* filter;
  REFERENCE_TIME start, duration;
  {
    THold hold = FLock->WriteLock();
    if (!hold || !FIsOpen || !FAudioSourceObject) return false;
    if (FIntPaused) {
      // Kept for when the graph runs again.
      std::lock_guard g(FListCriticalSection);
      FBufferQueue.push_front(ABuffer);
      return false;
    }
    TMLTimeStamp& stamp = ABuffer->GetTimeStamp();
    if (stamp.GetAvailable()) {
      duration = stamp.GetEnd() - stamp.GetBegin();
    } else {
      const std::uint32_t rate = FWaveFormat && FWaveFormat->nSamplesPerSec ? FWaveFormat->nSamplesPerSec
                                                                            : ABuffer->GetSampleRate();
      duration = rate ? static_cast<REFERENCE_TIME>(ABuffer->GetSize()) * KUnitsPerSecond / rate : 0;
    }
    start = FCurrentAudioTime;
    FCurrentAudioTime += duration;
    if (!FInPrefill && FReferenceClock && duration > 0 &&
        (duration < FOldAdviseFreq - KAdviseTolerance || duration > FOldAdviseFreq + KAdviseTolerance || !FAdvised)) {
      if (FAdvised) FReferenceClock->Unadvise(FAdviseCookie);
      REFERENCE_TIME now = 0;
      FReferenceClock->GetTime(&now);
      FOldAdviseFreq = duration;
      FAdvised = SUCCEEDED(FReferenceClock->AdvisePeriodic(now + duration, duration,
                                                           static_cast<HSEMAPHORE>(FClockThread->Semaphore()),
                                                           &FAdviseCookie));
    }
    if (ABuffer->GetByteSize() == 0) return true;
    held = FAudioSourceFilter;
    filter = FAudioSourceObject;
    FInSending = true;
  }
  const bool sent =
      filter->SendData(ABuffer->GetReadPointer(), ABuffer->GetByteSize(), start, start + duration, true);
  FInSending = false;
  return sent;
}

void TALDSAudioOut::CheckPlayOut() {
  TRefPtr<IBaseFilter> held;
  TDSAudioSourceFilter* filter;
  {
    THold hold = FLock->WriteLock();
    if (!hold || !FIsOpen || !FStopped || !FResumed || FIntPaused || FPlayedOutPosted || !FAudioSourceObject) return;
    {
      std::lock_guard g(FListCriticalSection);
      if (!FBufferQueue.empty()) return;
    }
    if (FEndOfStreamSent) {
      REFERENCE_TIME now = 0;
      // Without a stream clock only the renderer's word counts.
      const bool bClock = SUCCEEDED(FAudioSourceObject->StreamTime(now));
      const bool bReached = !bClock || now >= FPlayOutEnd;
      const bool bOverdue = bClock && now >= FPlayOutEnd + KPlayOutGrace;
      // The renderer's completion alone can come before the sound has left it, and the clock
      // alone cannot see an underrun: both are waited for.
      if ((FCompleteSeen.load() && bReached) || bOverdue) {
        FPlayedOutPosted = true;
        FMainThreadNotify->Notify(true);
      }
      return;
    }
    FEndOfStreamSent = true;
    FPlayOutEnd = FCurrentAudioTime;
    if (!FGraph->MediaEvent()) FCompleteSeen = true;  // no events to wait for
    held = FAudioSourceFilter;
    filter = FAudioSourceObject;
  }
  filter->DeliverEndOfStream();
}

// ------------------------------------------------------------------ other threads

void TALDSAudioOut::ClockTick() {
  THold hold = FLock->WriteLock();
  if (!hold || !FOpened) return;
  --FCountBuffers;
  if (!FStopped && !PumpStep(hold)) return;
  ProcessNextOperation(hold);
}

void TALDSAudioOut::GraphNotify(std::int32_t AEventCode) {
  switch (AEventCode) {
    case EC_ERRORABORT:
    case EC_DEVICE_LOST:
      StopStream(true);
      break;
    case EC_COMPLETE: {
      THold hold = FLock->WriteLock();
      if (!hold || !FEndOfStreamSent) return;
      FCompleteSeen = true;
      if (FPlayerThread) FPlayerThread->WakeUp();
      break;
    }
    default:
      break;
  }
}

void TALDSAudioOut::StreamPlayedOut() {
  bool bPlayedOut;
  {
    TOWLockSectionRef stop = FLock->StopLock();
    bPlayedOut = FPlayedOutPosted;
    if (bPlayedOut) StopStream(true);
    FPlayedOutPosted = false;
  }
  if (!bPlayedOut) return;
  if (TNotifyEvent event = GetOnQueueEmpty()) event(this);
}

}  // namespace portwise

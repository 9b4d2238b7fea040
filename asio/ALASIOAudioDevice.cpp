#include "asio/ALASIOAudioDevice.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "asio/ALASIOConvert.h"
#include "core/OWOperations.h"
#include "platform/ComServices.h"
#include "platform/Platform.h"

namespace portwise {

namespace {

// "%d" of a step text replaced by the channel number.
std::string FormatChannelText(const char* AText, std::int32_t AChannel) {
  std::string text = AText;
  const std::size_t at = text.find("%d");
  if (at != std::string::npos) text.replace(at, 2, std::to_string(AChannel));
  return text;
}

// The rate as a whole number of frames per second, rounded to the nearest (ties to even); a
// rate no wave format can carry counts as 0.
std::int32_t RoundRate(double ARate) {
  if (!std::isfinite(ARate) || ARate <= 0) return 0;
  const double rounded = std::nearbyint(ARate);
  if (rounded > static_cast<double>(std::numeric_limits<std::int32_t>::max())) return 0;
  return static_cast<std::int32_t>(rounded);
}

// Restores a flag whichever way the scope is left.
class TFlagRestore {
 public:
  TFlagRestore(bool& AFlag, bool AValue) : FFlag(AFlag), FSaved(AValue) {}
  ~TFlagRestore() { FFlag = FSaved; }
  TFlagRestore(const TFlagRestore&) = delete;
  TFlagRestore& operator=(const TFlagRestore&) = delete;

 private:
  bool& FFlag;
  bool FSaved;
};

}  // namespace

// ------------------------------------------------------------------ settings

TALASIOOptionalProperty::TALASIOOptionalProperty(TALASIOAudioDevice* AOwner, IOWLock* AOwnerLock)
    : TLPPersistent(AOwner, AOwnerLock), FOwner(AOwner) {}

const TLPPropertyList& TALASIOOptionalProperty::ClassProperties() {
  using C = TALASIOOptionalProperty;
  static const TLPPropertyList list(&TPersistent::ClassProperties(),
                                    LPProperty<C>("UseCurrent", &C::GetUseCurrent, &C::SetUseCurrent));
  return list;
}

double TALASIOSampleRate::GetRate() const { return FLock->Getter(FRate); }

void TALASIOSampleRate::SetRate(double AValue) {
  if (!(AValue > 0) || !std::isfinite(AValue)) AValue = 44100;
  FLock->Setter(FRate, AValue);
}

double TALASIOSampleRate::GetRunningSampleRate() const {
  TOWLockSectionRef section = FLock->ReadLock();
  if (!FOwner->Open()) return 0;
  return FOwner->FRunningSampleRate;
}

const TLPPropertyList& TALASIOSampleRate::ClassProperties() {
  using C = TALASIOSampleRate;
  static const TLPPropertyList list(&TALASIOOptionalProperty::ClassProperties(),
                                    LPProperty<C>("Rate", &C::GetRate, &C::SetRate));
  return list;
}

TALASIOBufferSize::TALASIOBufferSize(TALASIOAudioDevice* AOwner, IOWLock* AOwnerLock)
    : TLPPersistent(AOwner, AOwnerLock), FOwner(AOwner) {}

std::uint32_t TALASIOBufferSize::GetSize() const { return FLock->Getter(FSize); }
void TALASIOBufferSize::SetSize(std::uint32_t AValue) { FLock->Setter(FSize, AValue); }
std::int32_t TALASIOBufferSize::GetMin() const { return FLock->Getter(FMin); }
std::int32_t TALASIOBufferSize::GetMax() const { return FLock->Getter(FMax); }
std::int32_t TALASIOBufferSize::GetPreferred() const { return FLock->Getter(FPreferred); }
std::int32_t TALASIOBufferSize::GetGranularity() const { return FLock->Getter(FGranularity); }
std::int32_t TALASIOBufferSize::GetRunningSize() const { return FLock->Getter(FOwner->FRunningBufferSize); }

const TLPPropertyList& TALASIOBufferSize::ClassProperties() {
  using C = TALASIOBufferSize;
  static const TLPPropertyList list(&TPersistent::ClassProperties(),
                                    LPProperty<C>("UsePreferred", &C::GetUsePreferred, &C::SetUsePreferred),
                                    LPProperty<C>("Size", &C::GetSize, &C::SetSize));
  return list;
}

std::int32_t TALASIOAvailableClockSources::GetCount() const {
  TASIORef driver = FOwner->OpenedDriver();
  if (!driver) return 0;
  std::vector<TASIOClockSource> clocks(static_cast<std::size_t>(KASIOClockSourceCapacity));
  std::int32_t count = KASIOClockSourceCapacity;
  if (ASIOGetClockSources(driver, clocks.data(), count) != ASE_OK) return 0;
  // A count outside what was offered is not one the driver can have filled in.
  return std::clamp(count, 0, KASIOClockSourceCapacity);
}

TALASIOClockSource::TALASIOClockSource(TALASIOAudioDevice* AOwner, IOWLock* AOwnerLock)
    : TALASIOOptionalProperty(AOwner, AOwnerLock), FSources(AOwner) {}

std::uint32_t TALASIOClockSource::GetActieveIndex() const { return FLock->Getter(FActieveIndex); }

void TALASIOClockSource::SetActieveIndex(std::uint32_t AValue) {
  TASIORef driver;
  {
    TOWLockSectionRef section = FLock->WriteLock();
    if (FActieveIndex == AValue) return;
    FActieveIndex = AValue;
    FLock->ChangeNotify();
    if (section && !GetUseCurrent()) driver = FOwner->FAsio;
  }
  // Outside the lock: the driver may be streaming.
  if (driver) ASIOSetClockSource(driver, static_cast<std::int32_t>(AValue));
}

TALASIOAvailableClockSources& TALASIOClockSource::GetSources() { return FSources; }

const TLPPropertyList& TALASIOClockSource::ClassProperties() {
  using C = TALASIOClockSource;
  static const TLPPropertyList list(&TALASIOOptionalProperty::ClassProperties(),
                                    LPProperty<C>("ActieveIndex", &C::GetActieveIndex, &C::SetActieveIndex));
  return list;
}

// ------------------------------------------------------------------ channels

TALASIOChannelItem::TALASIOChannelItem(TLPCollection* ACollection)
    : TLPCollectionItem(ACollection), FDevice(static_cast<TALASIOChannels*>(ACollection)->GetDevice()) {}

const TLPPropertyList& TALASIOChannelItem::ClassProperties() {
  using C = TALASIOChannelItem;
  static const TLPPropertyList list(&TPersistent::ClassProperties(),
                                    LPProperty<C>("Enabled", &C::GetEnabled, &C::SetEnabled));
  return list;
}

TALASIOInputChannelItem::TALASIOInputChannelItem(TLPCollection* ACollection)
    : TALASIOChannelItem(ACollection),
      FOutputPin(FDevice, FDevice->GetLock(),
                 [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
                   return OutputPinOperation(AOperation);
                 }),
      FAudioBufferQueue(TSLInterfaceQueue::Create()) {
  FOutputPin.SetName("OutputPin");
  FDevice->GetOutputPins().Add(&FOutputPin);
  FAudioDataThread = std::make_unique<TSLNotifyThread>(FDevice, [this](TObject*) { Deliver(); });
}

TALASIOInputChannelItem::~TALASIOInputChannelItem() {
  {
    // A delivery under way may need the device lock in a receiver: it is given up while waiting.
    TOWLockSectionRef unlock = FDevice->GetLock()->UnlockAll();
    FAudioDataThread.reset();
  }
  FDevice->GetOutputPins().Remove(&FOutputPin);
}

TOWNotifyResult TALASIOInputChannelItem::OutputPinOperation(IOWNotifyOperation*) { return 0; }

void TALASIOInputChannelItem::QueueBuffer(const PALAudioBuffer& ABuffer) {
  FAudioBufferQueue->Push(TRefPtr<ISLUnknown>(static_cast<IALAudioBuffer*>(ABuffer.Get())));
  FAudioDataThread->Notify();
}

void TALASIOInputChannelItem::Deliver() {
  std::lock_guard delivery(FDeliverySection);
  if (!GetRunning()) return;
  ALASIODeliverQueued(*FAudioBufferQueue, [this](IALAudioBuffer* ABuffer) {
    // The stream may end meanwhile: nothing is sent after its stop.
    if (GetRunning()) FOutputPin.SubmitBuffer(TRefPtr<ISLData>(ABuffer));
  });
}

void TALASIOInputChannelItem::ClearQueue() {
  // A receiver may call the device (even stop it) from the delivery under way: the device lock is
  // given up while waiting for it, as a pin delivery would.
  TOWLockSectionRef unlock = FDevice->GetLock()->UnlockAll();
  std::lock_guard delivery(FDeliverySection);
  FAudioBufferQueue->Clear();
}

TALASIOOutputChannelItem::TALASIOOutputChannelItem(TLPCollection* ACollection)
    : TALASIOChannelItem(ACollection),
      FInputPin(FDevice, FDevice->GetLock(),
                [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
                  return InputPinOperation(AOperation);
                }) {
  FInputPin.SetName("InputPin");
  FDevice->GetInputPins().Add(&FInputPin);
}

TALASIOOutputChannelItem::~TALASIOOutputChannelItem() { FDevice->GetInputPins().Remove(&FInputPin); }

bool TALASIOOutputChannelItem::GetIsPump() const {
  TOWLockSectionRef section = FDevice->GetLock()->ReadLock();
  return FIsPump;
}

std::uint32_t TALASIOOutputChannelItem::GetQueuedFrames() const {
  TOWLockSectionRef section = FDevice->GetLock()->ReadLock();
  return FBufferQueue.GetCollectedSamples();
}

TOWNotifyResult TALASIOOutputChannelItem::InputPinOperation(IOWNotifyOperation* AOperation) {
  TOWLockSectionRef section = FDevice->GetLock()->WriteLock();
  if (!section) return 0;  // the device is stopping
  if (auto* supplied = OWOperationAs<TOWSuppliedBufferOperation>(AOperation)) {
    // A stopped device takes nothing: nobody would drain the queue.
    if (!GetRunning()) return 0;
    if (PALAudioBuffer buffer = TALAudioBuffer::CreateUniversal(supplied->Buffer.Get())) {
      FLastBufferSize = buffer->GetSize();
      FBufferQueue.Push(TRefPtr<IALAudioBuffer>(buffer.Get()));
    }
    return 0;
  }
  if (OWOperationAs<TOWStartWaveOperation>(AOperation)) {
    // The frames are converted to the driver's format as they are taken: the format is not needed.
    FBufferQueue.Clear();
    FPrimed = false;
    FStreamEnded = false;
    if (GetEnabled()) {
      try {
        FDevice->Start();
      } catch (const std::exception&) {
        // Reported through OnError; the source's delivery is no place for it.
      }
    }
    return 0;
  }
  if (auto* startPump = OWOperationAs<TOWStartPumpOperation>(AOperation)) {
    // The source names its master: another one took the stream over.
    if (startPump->Pump && startPump->Pump != FDevice) FIsPump = false;
    if (FIsPump) PumpStep();
    return 0;
  }
  if (OWOperationAs<TOWStopOperation>(AOperation)) {
    FDevice->OutputStreamEnded(this);
    return 0;
  }
  if (auto* request = OWOperationAs<TOWPumpRequestOperation>(AOperation)) {
    ClaimPump(*request);
    return 0;
  }
  return 0;
}

void TALASIOOutputChannelItem::ClaimPump(TOWPumpRequestOperation& ARequest) {
  const TLPMasterPumping& pumping = FDevice->GetMasterPumping();
  if (!pumping.GetEnabled()) return;
  const std::int32_t priority = pumping.GetPriority();
  if (ARequest.PumpType == ptHardware && ARequest.PumpPriority >= priority) {
    // Another pump holds the stream: this item asks for nothing any more.
    if (ARequest.Pump != FDevice) FIsPump = false;
    return;
  }
  ARequest.Pump = FDevice;
  ARequest.PumpPriority = priority;
  ARequest.PumpType = ptHardware;
  FIsPump = true;
}

void TALASIOOutputChannelItem::PumpStep() {
  if (FIsPump) FInputPin.MasterPump(FDevice);
}

bool TALASIOOutputChannelItem::Play(TASIOSampleType AType, void* AHalf, std::uint32_t ACount, std::uint32_t ARate) {
  const std::uint32_t bits = ALASIOBufferBits(AType);
  if (bits == 0) {
    // A channel that cannot be played is left alone; an ended stream on it is over at once.
    if (!FStreamEnded) return false;
    FBufferQueue.Clear();
    FStreamEnded = false;
    return true;
  }
  const std::uint32_t queued = FBufferQueue.GetCollectedSamples();
  if (FStreamEnded && queued < ACount) {
    // The end of the stream: what is left, then silence.
    ALASIOSilence(AType, AHalf, ACount);
    if (queued > 0) {
      PALAudioBuffer rest = TALAudioBuffer::CreateSize(ARate, bits, 1, queued);
      if (FBufferQueue.Pop(rest.Get())) ALASIOConvertOutput(AType, rest->GetReadPointer(), AHalf, queued);
    }
    FBufferQueue.Clear();
    FStreamEnded = false;
    FPrimed = false;
    return true;
  }
  if (!FPrimed && !FStreamEnded) {
    const std::uint64_t cushion = FIsPump ? 0 : FLastBufferSize;
    if (queued < ACount + cushion) {
      ALASIOSilence(AType, AHalf, ACount);
      return false;
    }
    FPrimed = true;
  }
  // Running dry: the next frames wait for a cushion again.
  if (!ALASIOPlayQueue(AType, FBufferQueue, AHalf, ACount, ARate)) FPrimed = false;
  return false;
}

TALASIOChannels::TALASIOChannels(TALASIOAudioDevice* AOwner, IOWLock* AOwnerLock)
    : TLPCollection(AOwner, AOwnerLock), FOwner(AOwner) {}

std::int32_t TALASIOAvailableChannels::GetCount() {
  TOWLockSectionRef section = FOwner->FLock->ReadLock();
  if (!FOwner->OpenCatching()) return 0;
  return FInputs ? FOwner->FNumInputChannels : FOwner->FNumOutputChannels;
}

TALASIOAvailableChannel* TALASIOAvailableChannels::GetItems(std::int32_t AIndex) {
  TOWLockSectionRef section = FOwner->FLock->ReadLock();
  const bool bOpen = FOwner->Open();
  const std::int32_t count = !bOpen ? 0 : FInputs ? FOwner->FNumInputChannels : FOwner->FNumOutputChannels;
  if (AIndex < 0 || AIndex >= count) throw EListError("Indice de liste hors limites (" + std::to_string(AIndex) + ")");
  const auto index = static_cast<std::size_t>(AIndex);
  if (FList.size() <= index) FList.resize(index + 1);
  std::unique_ptr<TALASIOAvailableChannel>& entry = FList[index];
  if (!entry) {
    const std::size_t record = FInputs ? index : static_cast<std::size_t>(FOwner->FNumInputChannels) + index;
    const TASIOChannelInfo& info = FOwner->FChannelInfo[record];
    entry = std::make_unique<TALASIOAvailableChannel>(ASIODriverText(info.name, sizeof info.name),
                                                      info.isActive != 0, info.channelGroup);
  }
  return entry.get();
}

// ------------------------------------------------------------------ device

TALASIOAudioDevice::TComApartment::TComApartment() {
  FEntered = SUCCEEDED(platform::Current().Com().CoInitialize());
}

TALASIOAudioDevice::TComApartment::~TComApartment() {
  // Only an apartment this device entered is left: a failed entry has nothing to balance.
  if (FEntered) platform::Current().Com().CoUninitialize();
}

TALASIOAudioDevice::TALASIOAudioDevice(TComponent* AOwner)
    : TLPComponent(AOwner),
      FDevice(this, FLock.Get(), [this](TObject*) { Close(); }),
      FMasterPumping(this, FLock.Get()),
      FSampleRate(this, FLock.Get()),
      FAvailableInputChannels(this, true),
      FAvailableOutputChannels(this, false),
      FInputPins(FLock.Get()),
      FOutputPins(FLock.Get()),
      FEnablePin(this, FLock.Get(), [this](TOWPin*, bool AValue, bool) { SetEnabled(AValue); }),
      FInputChannels(this, FLock.Get()),
      FOutputChannels(this, FLock.Get()),
      FClockSource(this, FLock.Get()),
      FBufferSize(this, FLock.Get()),
      FMainThreadNotify(std::make_unique<TSLMainThreadNotify>([this] {
        try {
          Stop();
        } catch (const std::exception&) {
          // Reported through OnError already; nobody is there to catch it on a posted message.
        }
      })) {
  FEnablePin.SetName("EnablePin");
  FNotifyThread = std::make_unique<TSLNotifyThread>(this, [this](TObject*) { WorkerCycle(); });
}

TALASIOAudioDevice::~TALASIOAudioDevice() {
  FDestroySection = FLock->StopLock();
  MarkDestroying();
  try {
    Close();
  } catch (const std::exception&) {
    // Reported through OnError already; the driver is gone either way.
  }
  ReleaseDriver();
  // Its cycles are refused from here on (the stop section is held), so it ends at once.
  FNotifyThread.reset();
  // While every member still exists: a receiver that answers its disconnection finds them.
  FEnablePin.Disconnect();
  for (std::int32_t i = 0; i < FInputChannels.GetCount(); ++i) FInputChannels.GetItem(i)->GetOutputPin().Disconnect();
  for (std::int32_t i = 0; i < FOutputChannels.GetCount(); ++i) FOutputChannels.GetItem(i)->GetInputPin().Disconnect();
}

const TLPPropertyList& TALASIOAudioDevice::ClassProperties() {
  using C = TALASIOAudioDevice;
  static const TLPPropertyList list(
      &TComponent::ClassProperties(),
      LPProperty<C>("BufferSize", static_cast<const TALASIOBufferSize& (C::*)() const noexcept>(&C::GetBufferSize),
                    &C::SetBufferSize),
      LPProperty<C>("MasterPumping",
                    static_cast<const TLPMasterPumping& (C::*)() const noexcept>(&C::GetMasterPumping),
                    &C::SetMasterPumping),
      LPProperty<C>("Device", static_cast<const TALASIODevice& (C::*)() const noexcept>(&C::GetDevice),
                    &C::SetDevice),
      LPProperty<C>("SampleRate", static_cast<const TALASIOSampleRate& (C::*)() const noexcept>(&C::GetSampleRate),
                    &C::SetSampleRate),
      LPProperty<C>("InputChannels",
                    static_cast<const TALASIOInputChannels& (C::*)() const noexcept>(&C::GetInputChannels),
                    &C::SetInputChannels),
      LPProperty<C>("OutputChannels",
                    static_cast<const TALASIOOutputChannels& (C::*)() const noexcept>(&C::GetOutputChannels),
                    &C::SetOutputChannels),
      LPProperty<C>("ClockSource", static_cast<const TALASIOClockSource& (C::*)() const noexcept>(&C::GetClockSource),
                    &C::SetClockSource),
      // Last, so that a copy is configured before it starts.
      LPProperty<C>("Enabled", &C::GetEnabled, &C::SetEnabled));
  return list;
}

void TALASIOAudioDevice::InitializeComponent(bool ACreatedAtRunTime) {
  TLPComponent::InitializeComponent(ACreatedAtRunTime);
  TOWLockSectionRef section = FLock->WriteLock();
  if (ACreatedAtRunTime) {
    FEnabled = false;
  } else if (FEnabled && !IsDesigning()) {
    // Enabled reads true only once the stream runs.
    FEnabled = false;
    Start();
  }
}

// ------------------------------------------------------------------ properties

bool TALASIOAudioDevice::GetEnabled() const { return FLock->Getter(FEnabled); }

void TALASIOAudioDevice::SetEnabled(bool AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section || FEnabled == AValue) return;
  if (IsDesigning() || IsLoadingInChain()) {
    FEnabled = AValue;
    return;
  }
  // Both set the stored value themselves when they succeed.
  if (AValue) Start();
  else Stop();
}

bool TALASIOAudioDevice::GetOpened() const {
  TOWLockSectionRef section = FLock->ReadLock();
  return static_cast<bool>(FAsio);
}

void TALASIOAudioDevice::SetOpened(bool AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section || static_cast<bool>(FAsio) == AValue) return;
  if (AValue) Open();
  else Close();
}

TSLErrorEvent TALASIOAudioDevice::GetOnError() const { return FLock->Getter(FOnError); }
void TALASIOAudioDevice::SetOnError(TSLErrorEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnError = std::move(AValue);
}

TSLWarningEvent TALASIOAudioDevice::GetOnWarning() const { return FLock->Getter(FOnWarning); }
void TALASIOAudioDevice::SetOnWarning(TSLWarningEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnWarning = std::move(AValue);
}

TNotifyEvent TALASIOAudioDevice::GetOnResyncRequest() const {
  std::lock_guard g(FDriverEventsSection);
  return FOnResyncRequest;
}
void TALASIOAudioDevice::SetOnResyncRequest(TNotifyEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  std::lock_guard g(FDriverEventsSection);
  FOnResyncRequest = std::move(AValue);
}

TNotifyEvent TALASIOAudioDevice::GetOnLatenciesChanged() const {
  std::lock_guard g(FDriverEventsSection);
  return FOnLatenciesChanged;
}
void TALASIOAudioDevice::SetOnLatenciesChanged(TNotifyEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  std::lock_guard g(FDriverEventsSection);
  FOnLatenciesChanged = std::move(AValue);
}

bool TALASIOAudioDevice::IsRunning() const { return FRunning.load(); }
std::int32_t TALASIOAudioDevice::GetCallbackIndex() const { return FLock->Getter(FCallbackIndex); }
std::int32_t TALASIOAudioDevice::GetIntRunningSampleRate() const { return FLock->Getter(FIntRunningSampleRate); }
std::uint64_t TALASIOAudioDevice::GetBufferSwitches() const { return FBufferSwitches.load(); }

TASIOTime TALASIOAudioDevice::GetSyncTimeInfo() const {
  std::lock_guard g(FDataSection);
  return FSyncTimeInfo;
}

// ------------------------------------------------------------------ queries

bool TALASIOAudioDevice::OpenCatching() {
  try {
    return Open();
  } catch (const std::exception&) {
    ReleaseDriver();
    return false;
  }
}

TASIORef TALASIOAudioDevice::HeldDriver() const {
  TOWLockSectionRef section = FLock->ReadLock();
  return FAsio;
}

std::string TALASIOAudioDevice::GetDriverName() {
  TOWLockSectionRef section = FLock->ReadLock();
  return OpenCatching() ? FDriverName : std::string();
}

std::int32_t TALASIOAudioDevice::GetDriverVersion() {
  TOWLockSectionRef section = FLock->ReadLock();
  return OpenCatching() ? FDriverVersion : 0;
}

TASIORef TALASIOAudioDevice::OpenedDriver() {
  TOWLockSectionRef section = FLock->ReadLock();
  if (!Open()) return {};
  return FAsio;
}

std::string TALASIOAudioDevice::GetErrorMessage() {
  TASIORef driver = OpenedDriver();
  return driver ? ASIOGetErrorMessage(driver) : std::string();
}

std::int32_t TALASIOAudioDevice::ReadLatency(bool AInput) {
  TASIORef driver = OpenedDriver();
  if (!driver) return 0;
  // Asked without the lock: a driver may answer only between its buffer switches.
  std::int32_t input = 0, output = 0;
  const TASIOError r = ASIOGetLatencies(driver, input, output);
  TOWLockSectionRef section = FLock->ReadLock();
  if (r != ASE_OK) {
    Warn(KASIOCantGetLatencies, r);
  } else {
    FInputLatency = input;
    FOutputLatency = output;
  }
  return AInput ? FInputLatency : FOutputLatency;
}

std::int32_t TALASIOAudioDevice::GetInputLatency() { return ReadLatency(true); }
std::int32_t TALASIOAudioDevice::GetOutputLatency() { return ReadLatency(false); }

bool TALASIOAudioDevice::GetUsesPostOutput() {
  TOWLockSectionRef section = FLock->ReadLock();
  return Open() && FPostOutput;
}

bool TALASIOAudioDevice::ShowDialog() {
  if (!Open()) return false;
  // The panel may stay up a while: the lock is not held around it.
  TASIORef driver = HeldDriver();
  return driver && ASIOControlPanel(driver) == ASE_OK;
}

bool TALASIOAudioDevice::CanSampleRate(double ARate) {
  if (!Open()) return false;
  TASIORef driver = HeldDriver();
  return driver && ASIOCanSampleRate(driver, ARate) == ASE_OK;
}

// ------------------------------------------------------------------ reports

void TALASIOAudioDevice::ReleaseDriver() noexcept {
  // No switch waits for the worker or touches a buffer of a driver that goes.
  SetStreamState(EStreamState::Idle);
  TASIORef driver = std::move(FAsio);
  // No callback reaches the device once its slot is free, whatever the driver still does.
  if (FCallbackIndex >= 0) {
    ALASIOCallbackEntries::Unbind(FCallbackIndex);
    FCallbackIndex = -1;
    FCallbacks = nullptr;
  }
  FRunning = false;
  // Output items without a driver would queue what nobody plays.
  for (std::int32_t i = 0; i < FOutputChannels.GetCount(); ++i) FOutputChannels.GetItem(i)->FRunning = false;
  driver.Reset();
  // A start that failed after announcing its streams, or a failing stop, leaves none open downstream.
  try {
    EndInputStreams();
  } catch (const std::exception&) {
    // A receiver that raises on the stop has had it all the same.
  }
  if (FEnabled && !IsDesigning() && !IsLoadingInChain()) {
    FEnabled = false;
    try {
      FEnablePin.SetValue(false);
    } catch (const std::exception&) {
      // The pin group learns of it at the next change.
    }
  }
}

void TALASIOAudioDevice::EndInputStreams() {
  for (std::int32_t k = 0; k < std::min(FInputChannels.GetCount(), FOutputPins.GetCount()); ++k) {
    TALASIOInputChannelItem* item = FInputChannels.GetItem(k);
    if (!item->GetRunning()) continue;
    item->FRunning = false;
    item->ClearQueue();
    item->GetOutputPin().Stop();
  }
}

void TALASIOAudioDevice::Fail(const std::string& AStepText, TASIOError ACode) {
  ReleaseDriver();
  SLReportError(this, FOnError, AStepText + " - " + ASIOErrorText(ACode), ACode);
}

void TALASIOAudioDevice::Warn(const std::string& AStepText, TASIOError ACode) {
  SLReportWarning(this, FOnWarning, AStepText + " - " + ASIOErrorText(ACode), ACode);
}

// ------------------------------------------------------------------ open

bool TALASIOAudioDevice::Open() {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return false;
  if (FAsio) return true;
  TASIORef driver = FDevice.GetDevice();
  if (!driver) return false;
  FAsio = driver;

  if (ASIOInit(FAsio, reinterpret_cast<void*>(FMainThreadNotify->GetWindow())) == 0) {
    // A driver that refused to start up is asked for its reason and nothing else.
    std::string reason = ASIOTrimText(ASIOGetErrorMessage(FAsio));
    if (reason.empty()) reason = ASIOErrorText(ASE_NotPresent);
    ReleaseDriver();
    SLReportError(this, FOnError, std::string(KASIOCantInitDriver) + " - " + reason, ASE_NotPresent);
    return false;
  }
  FDriverName = ASIOGetDriverName(FAsio);
  FDriverVersion = ASIOGetDriverVersion(FAsio);

  if (!FSampleRate.GetUseCurrent()) {
    if (const TASIOError r = ASIOSetSampleRate(FAsio, FSampleRate.GetRate()); r != ASE_OK) {
      Fail(KASIOCantSetSampleRate, r);
      return false;
    }
  }
  TASIOSampleRate rate = 0;
  if (const TASIOError r = ASIOGetSampleRate(FAsio, rate); r != ASE_OK) {
    Warn(KASIOCantGetSampleRate, r);
    // A warning handler may have closed the device.
    if (!FAsio) return false;
  } else {
    FRunningSampleRate = rate;
  }
  FIntRunningSampleRate = RoundRate(FRunningSampleRate);

  std::int32_t inputs = 0, outputs = 0;
  if (const TASIOError r = ASIOGetChannels(FAsio, inputs, outputs); r != ASE_OK) {
    Fail(KASIOCantGetChannels, r);
    return false;
  }
  if (inputs < 0 || outputs < 0 || inputs > KASIOMaxChannels || outputs > KASIOMaxChannels) {
    Fail(KASIOCantGetChannels, 0);
    return false;
  }
  FNumInputChannels = inputs;
  FNumOutputChannels = outputs;

  FChannelInfo.assign(static_cast<std::size_t>(inputs + outputs), TASIOChannelInfo{});
  FAvailableInputChannels.FList.clear();
  FAvailableOutputChannels.FList.clear();

  std::int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
  if (const TASIOError r = ASIOGetBufferSize(FAsio, minSize, maxSize, preferred, granularity); r != ASE_OK) {
    Fail(KASIOCantGetBufferSize, r);
    return false;
  }
  FBufferSize.FMin = minSize;
  FBufferSize.FMax = maxSize;
  FBufferSize.FPreferred = preferred;
  FBufferSize.FGranularity = granularity;

  if (!ReadChannelInfos(false)) return false;

  std::int32_t inputLatency = 0, outputLatency = 0;
  if (const TASIOError r = ASIOGetLatencies(FAsio, inputLatency, outputLatency); r != ASE_OK) {
    Warn(KASIOCantGetLatencies, r);
    if (!FAsio) return false;
  } else {
    FInputLatency = inputLatency;
    FOutputLatency = outputLatency;
  }
  FPostOutput = ASIOOutputReady(FAsio) == ASE_OK;
  return true;
}

bool TALASIOAudioDevice::ReadChannelInfos(bool AAsWarnings) {
  const std::int32_t total = FNumInputChannels + FNumOutputChannels;
  for (std::int32_t record = 0; record < total; ++record) {
    const bool bInput = record < FNumInputChannels;
    const std::int32_t channel = bInput ? record : record - FNumInputChannels;
    TASIOChannelInfo info{};
    info.channel = channel;
    info.isInput = bInput ? 1 : 0;
    const TASIOError r = ASIOGetChannelInfo(FAsio, info);
    if (r == ASE_OK) {
      // Whatever the driver wrote there, the record stays the one of this channel.
      info.channel = channel;
      info.isInput = bInput ? 1 : 0;
      FChannelInfo[static_cast<std::size_t>(record)] = info;
      continue;
    }
    const std::string text =
        FormatChannelText(bInput ? KASIOCantGetInputChannelInfo : KASIOCantGetOutputChannelInfo, channel);
    if (!AAsWarnings) {
      Fail(text, r);
      return false;
    }
    // The record read at Open stays.
    Warn(text, r);
    if (!FAsio) return false;
  }
  return true;
}

// ------------------------------------------------------------------ start

TALWaveFormatExtensible TALASIOAudioDevice::ChannelFormat(std::int32_t AInputChannel) const {
  const std::uint32_t bits = ASIOBufferBits(FChannelInfo[static_cast<std::size_t>(AInputChannel)].type);
  const auto rate = static_cast<std::uint32_t>(FIntRunningSampleRate);
  TALWaveFormatExtensible f{};
  f.wFormatTag = ALWaveFormatExtensibleTag;
  f.nChannels = 1;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = static_cast<std::uint16_t>(bits);
  f.nBlockAlign = static_cast<std::uint16_t>(bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  f.cbSize = ALWaveFormatExtensibleCbSize;
  f.wValidBitsPerSample = static_cast<std::uint16_t>(bits);
  f.dwChannelMask = 1;  // front left
  f.SubFormat = ALSubFormatPCM;
  return f;
}

std::int32_t TALASIOAudioDevice::HalfBufferSize() const {
  const std::int64_t minSize = FBufferSize.FMin, maxSize = FBufferSize.FMax, granularity = FBufferSize.FGranularity;
  std::int64_t s = FBufferSize.GetUsePreferred() ? std::int64_t{FBufferSize.FPreferred} : std::int64_t{FBufferSize.FSize};
  if (s > maxSize) s = maxSize;
  if (s < minSize) s = minSize;
  // -1 marks power-of-two sizes: those are left as they are.
  if (granularity > 1) s = minSize + ((s - minSize) / granularity) * granularity;
  return static_cast<std::int32_t>(s);
}

bool TALASIOAudioDevice::Start() {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section || FInStarting || FRunning) return true;
  if (!Open()) return false;

  {
    TFlagRestore restore(FInStarting, FInStarting);
    FInStarting = true;
    // Items beyond the driver's channels stand for nothing and take no part.
    for (std::int32_t k = 0; k < std::min({FInputChannels.GetCount(), FOutputPins.GetCount(), FNumInputChannels});
         ++k) {
      TALASIOInputChannelItem* item = FInputChannels.GetItem(k);
      if (!item->GetEnabled()) continue;
      item->FRunning = true;
      TRefPtr<TOWStartWaveOperation> start(new TOWStartWaveOperation(ChannelFormat(k), false));
      item->GetOutputPin().Notify(start.Get());
      // The announcement ran without our lock.
      if (!FAsio) return true;
    }
    for (std::int32_t k = 0; k < std::min({FOutputChannels.GetCount(), FInputPins.GetCount(), FNumOutputChannels});
         ++k) {
      TALASIOOutputChannelItem* item = FOutputChannels.GetItem(k);
      if (item->GetEnabled()) item->FRunning = true;
    }
  }

  if (!FClockSource.GetUseCurrent()) {
    const auto index = static_cast<std::int32_t>(FClockSource.GetActieveIndex());
    if (const TASIOError r = ASIOSetClockSource(FAsio, index); r != ASE_OK) {
      Fail(KASIOCantSetClockSource, r);
      return true;
    }
  }

  FBuffersInfo.clear();
  FNumInputBuffers = 0;
  FNumOutputBuffers = 0;
  for (std::int32_t k = 0; k < std::min({FInputChannels.GetCount(), FOutputPins.GetCount(), FNumInputChannels}); ++k)
    if (FInputChannels.GetItem(k)->GetRunning()) {
      FBuffersInfo.push_back({1, k, {nullptr, nullptr}});
      ++FNumInputBuffers;
    }
  for (std::int32_t k = 0; k < std::min({FOutputChannels.GetCount(), FInputPins.GetCount(), FNumOutputChannels}); ++k)
    if (FOutputChannels.GetItem(k)->GetRunning()) {
      FBuffersInfo.push_back({0, k, {nullptr, nullptr}});
      ++FNumOutputBuffers;
    }

  // A slot still held from before a Stop is used again.
  if (FCallbackIndex < 0) {
    FCallbackIndex = ALASIOCallbackEntries::Bind(this, &FCallbacks);
    if (FCallbackIndex < 0) {
      // Every slot is taken: a driver must never be given an empty callback record.
      Fail(KASIOCantCreateBuffers, ASE_NoMemory);
      return true;
    }
  }

  FRunningBufferSize = HalfBufferSize();
  if (const TASIOError r = ASIOCreateBuffers(FAsio, FBuffersInfo.empty() ? nullptr : FBuffersInfo.data(),
                                             FNumInputBuffers + FNumOutputBuffers, FRunningBufferSize, FCallbacks);
      r != ASE_OK) {
    Fail(KASIOCantCreateBuffers, r);
    return true;
  }
  // The records now tell which channels are active.
  if (!ReadChannelInfos(true)) return true;
  BeginStreaming();
  // A driver calls its first switch from inside start, on this thread: it is not waited for.
  if (const TASIOError r = ASIOStart(FAsio); r != ASE_OK) {
    Fail(KASIOCantStart, r);
    return true;
  }
  SetStreamState(EStreamState::Streaming);
  FRunning = true;
  FEnablePin.SetValue(true);
  FEnabled = true;
  return true;
}

// ------------------------------------------------------------------ stop and close

void TALASIOAudioDevice::Stop() {
  TOWLockSectionRef section = FLock->StopLock();
  if (FInStop || !FRunning) return;
  TFlagRestore restore(FInStop, false);
  FInStop = true;
  FRunning = false;

  // Switches waiting are released now, and until the driver has stopped they only write silence:
  // a driver that waits for its callback thread in stop finds it free.
  SetStreamState(EStreamState::Stopping);
  if (const TASIOError r = ASIOStop(FAsio); r != ASE_OK) {
    Fail(KASIOCantStop, r);
    return;
  }
  SetStreamState(EStreamState::Idle);
  EndInputStreams();
  // A stopped device takes no more audio to play.
  for (std::int32_t k = 0; k < FOutputChannels.GetCount(); ++k) FOutputChannels.GetItem(k)->FRunning = false;
  // The stream's end ran without our lock.
  if (!FAsio) return;
  if (const TASIOError r = ASIODisposeBuffers(FAsio); r != ASE_OK) {
    Fail(KASIOCantDisposeBuffers, r);
    return;
  }
  FEnablePin.SetValue(false);
  FEnabled = false;
}

void TALASIOAudioDevice::OutputStreamEnded(TALASIOOutputChannelItem* AItem) {
  if (FInStop) return;
  // Queued audio of a running device is played out first; the worker stops the device then.
  if (FRunning && AItem->GetRunning() && AItem->FBufferQueue.GetCollectedSamples() > 0) {
    AItem->FStreamEnded = true;
    return;
  }
  FMainThreadNotify->Notify();
}

void TALASIOAudioDevice::Close() {
  TOWLockSectionRef section = FLock->StopLock();
  if (!FAsio) return;
  Stop();
  ReleaseDriver();
}

// ------------------------------------------------------------------ buffer exchange

void TALASIOAudioDevice::BeginStreaming() {
  FBufferSwitches = 0;
  for (std::int32_t k = 0; k < FOutputChannels.GetCount(); ++k) {
    TALASIOOutputChannelItem* item = FOutputChannels.GetItem(k);
    item->FPrimed = false;
    item->FStreamEnded = false;
  }
  std::lock_guard g(FDataSection);
  FStreamDriver = FAsio.Get();
  FStreamPostOutput = FPostOutput;
  FStreamFrames = FRunningBufferSize;
  FStreamOutputs.clear();
  for (const TASIOBufferInfo& b : FBuffersInfo) {
    if (b.isInput) continue;
    const auto record = static_cast<std::size_t>(FNumInputChannels + b.channelNum);
    FStreamOutputs.push_back({FChannelInfo[record].type, {b.buffers[0], b.buffers[1]}});
  }
}

void TALASIOAudioDevice::SetStreamState(EStreamState AState) {
  std::unique_lock lk(FDataSection);
  FStreamState = AState;
  if (AState == EStreamState::Idle) {
    FStreamDriver = nullptr;
    FStreamOutputs.clear();
  }
  FProcessedEvent.notify_all();
  if (AState == EStreamState::Streaming) return;
  // A switch in the hand-over has been woken and leaves it without waiting for anything.
  FProcessedEvent.wait(lk, [this] { return !FInHandOver; });
}

void TALASIOAudioDevice::SilenceOutputsLocked(std::int32_t AIndex) {
  // Idle: the buffers may be gone, or the driver may be starting (its first switch is its own).
  if (FStreamState == EStreamState::Idle) return;
  for (const TStreamOutput& output : FStreamOutputs)
    ALASIOSilence(output.Type, output.Halves[AIndex], static_cast<std::uint32_t>(FStreamFrames));
}

void TALASIOAudioDevice::HandOver(const TASIOTime* AParams, std::int32_t AIndex, TASIOBool ADirectProcess) {
  if (AIndex != 0 && AIndex != 1) return;  // no half of ours
  std::unique_lock lk(FDataSection);
  if (FStreamState != EStreamState::Streaming) {
    SilenceOutputsLocked(AIndex);
    return;
  }
  // One switch at a time: a second one waits until the previous cycle is complete.
  FProcessedEvent.wait(lk, [this] { return !FInHandOver || FStreamState != EStreamState::Streaming; });
  if (FStreamState != EStreamState::Streaming) {
    SilenceOutputsLocked(AIndex);
    return;
  }
  FInHandOver = true;
  FSyncDoubleBufferIndex = AIndex;
  FSyncTimeInfo = AParams ? *AParams : TASIOTime{};
  FSyncDirectProcess = ADirectProcess != 0;
  const std::uint64_t ticket = ++FRequested;
  lk.unlock();
  FNotifyThread->Notify();
  lk.lock();
  FProcessedEvent.wait(lk, [&] { return FProcessed >= ticket || FStreamState != EStreamState::Streaming; });
  const bool bConverted = FConverted == ticket;
  // Not converted (the worker was refused, or the device began to stop): no stale half is played.
  if (!bConverted) SilenceOutputsLocked(AIndex);
  FInHandOver = false;
  FProcessedEvent.notify_all();
  IASIO* postOutput = bConverted && FStreamPostOutput ? FStreamDriver : nullptr;
  lk.unlock();
  if (postOutput) ASIOOutputReady(TASIORef(postOutput));
}

void TALASIOAudioDevice::WorkerCycle() {
  TOWLockSectionRef section = FLock->WriteLock();
  std::unique_lock lk(FDataSection);
  if (FProcessed >= FRequested) return;  // the switch was released meanwhile
  const std::uint64_t ticket = FRequested;
  if (!section || FStreamState != EStreamState::Streaming) {
    // The device is stopping: the switch is released without its buffers.
    FProcessed = ticket;
    FProcessedEvent.notify_all();
    return;
  }
  const std::int32_t index = FSyncDoubleBufferIndex;
  lk.unlock();
  // The state cannot change meanwhile: that takes the lock this cycle holds.
  ExchangeBuffers(index);
  lk.lock();
  FProcessed = FConverted = ticket;
  ++FBufferSwitches;
  FProcessedEvent.notify_all();
  lk.unlock();
  // The half is complete: the driver goes on while the queues are filled for the next ones.
  RefillOutputs();
}

void TALASIOAudioDevice::ExchangeBuffers(std::int32_t AIndex) {
  const auto frames = static_cast<std::uint32_t>(FRunningBufferSize);
  const auto rate = static_cast<std::uint32_t>(FIntRunningSampleRate);
  bool bPlayedOut = false;
  for (const TASIOBufferInfo& b : FBuffersInfo) {
    void* half = b.buffers[AIndex];
    const std::int32_t c = b.channelNum;
    if (b.isInput) {
      const TASIOSampleType type = FChannelInfo[static_cast<std::size_t>(c)].type;
      if (c >= FInputChannels.GetCount()) continue;
      TALASIOInputChannelItem* item = FInputChannels.GetItem(c);
      if (!item->GetRunning()) continue;
      if (PALAudioBuffer buffer = ALASIOInputBuffer(type, half, frames, rate)) item->QueueBuffer(buffer);
    } else {
      const TASIOSampleType type = FChannelInfo[static_cast<std::size_t>(FNumInputChannels + c)].type;
      if (c >= FOutputChannels.GetCount()) {
        ALASIOSilence(type, half, frames);
        continue;
      }
      if (FOutputChannels.GetItem(c)->Play(type, half, frames, rate)) bPlayedOut = true;
    }
  }
  // The stream that ended has been heard to its end: the device stops, on the main thread.
  if (bPlayedOut && !FInStop) FMainThreadNotify->Notify(true);
}

void TALASIOAudioDevice::RefillOutputs() {
  for (std::size_t i = 0;; ++i) {
    // Read again at every record: a pump gives the lock up, and the device may have changed.
    if (!FRunning || i >= FBuffersInfo.size()) return;
    const TASIOBufferInfo b = FBuffersInfo[i];
    if (b.isInput) continue;
    const std::int32_t c = b.channelNum;
    if (c >= FOutputChannels.GetCount()) continue;
    const auto frames = static_cast<std::uint32_t>(FRunningBufferSize);
    TALASIOOutputChannelItem* item = FOutputChannels.GetItem(c);
    const std::uint32_t k = ALASIORefillCount(frames, item->FLastBufferSize);
    for (std::uint32_t j = 0; j < k; ++j) {
      // An ended stream has nothing more to give.
      if (item->FBufferQueue.GetCollectedSamples() >= frames || !item->FIsPump || item->FStreamEnded) break;
      item->PumpStep();
      // The lock was given up for the source: taken again, or the device is stopping.
      TOWLockSectionRef relock = FLock->WriteLock();
      if (!relock || !FRunning || c >= FOutputChannels.GetCount()) return;
      item = FOutputChannels.GetItem(c);
    }
  }
}

// ------------------------------------------------------------------ driver callbacks

void TALASIOAudioDevice::ASIOBufferSwitch(std::int32_t index, TASIOBool directProcess) {
  IASIO* driver;
  {
    std::lock_guard g(FDataSection);
    if (FStreamState != EStreamState::Streaming) {
      if (index == 0 || index == 1) SilenceOutputsLocked(index);
      return;
    }
    driver = FStreamDriver;
  }
  TASIOTime time{};
  TASIOSamples position{};
  TASIOTimeStamp stamp{};
  if (ASIOGetSamplePosition(TASIORef(driver), position, stamp) == ASE_OK) {
    time.timeInfo.samplePosition = position;
    time.timeInfo.systemTime = stamp;
    time.timeInfo.flags = kSystemTimeValid | kSamplePositionValid;
  }
  HandOver(&time, index, directProcess);
}

void TALASIOAudioDevice::ASIOSampleRateDidChange(TASIOSampleRate) {}

std::int32_t TALASIOAudioDevice::ASIOMessage(std::int32_t selector, std::int32_t value, void*, double*) {
  switch (selector) {
    case kAsioSelectorSupported:
      switch (value) {
        case kAsioEngineVersion:
        case kAsioResetRequest:
        case kAsioResyncRequest:
        case kAsioLatenciesChanged:
        case kAsioSupportsTimeInfo:
        case kAsioSupportsTimeCode:
        case 10:
          return 1;
        default:
          return 0;
      }
    case kAsioEngineVersion:
      return 2;
    case kAsioResetRequest:
      // Always through a posted message: never a stop from inside a call of the driver's.
      FMainThreadNotify->Notify(true);
      return 1;
    case kAsioResyncRequest:
    case kAsioLatenciesChanged: {
      TNotifyEvent event = selector == kAsioResyncRequest ? GetOnResyncRequest() : GetOnLatenciesChanged();
      if (event) event(this);
      return 1;
    }
    case kAsioSupportsTimeInfo:
      return 1;
    default:
      return 0;
  }
}

TASIOTime* TALASIOAudioDevice::ASIOBufferSwitchTimeInfo(TASIOTime* params, std::int32_t index,
                                                         TASIOBool directProcess) {
  HandOver(params, index, directProcess);
  return nullptr;
}

}  // namespace portwise

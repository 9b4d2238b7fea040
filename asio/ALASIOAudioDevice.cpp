#include "asio/ALASIOAudioDevice.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

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
  TOWLockSectionRef section = FOwner->FLock->ReadLock();
  if (!FOwner->Open()) return 0;
  std::vector<TASIOClockSource> clocks(static_cast<std::size_t>(KASIOClockSourceCapacity));
  std::int32_t count = KASIOClockSourceCapacity;
  if (ASIOGetClockSources(FOwner->FAsio, clocks.data(), count) != ASE_OK) return 0;
  // A count outside what was offered is not one the driver can have filled in.
  return std::clamp(count, 0, KASIOClockSourceCapacity);
}

TALASIOClockSource::TALASIOClockSource(TALASIOAudioDevice* AOwner, IOWLock* AOwnerLock)
    : TALASIOOptionalProperty(AOwner, AOwnerLock), FSources(AOwner) {}

std::uint32_t TALASIOClockSource::GetActieveIndex() const { return FLock->Getter(FActieveIndex); }

void TALASIOClockSource::SetActieveIndex(std::uint32_t AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (FActieveIndex == AValue) return;
  FActieveIndex = AValue;
  FLock->ChangeNotify();
  if (section && !GetUseCurrent() && FOwner->FAsio)
    ASIOSetClockSource(FOwner->FAsio, static_cast<std::int32_t>(AValue));
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
                 }) {
  FOutputPin.SetName("OutputPin");
  FDevice->GetOutputPins().Add(&FOutputPin);
}

TALASIOInputChannelItem::~TALASIOInputChannelItem() { FDevice->GetOutputPins().Remove(&FOutputPin); }

TOWNotifyResult TALASIOInputChannelItem::OutputPinOperation(IOWNotifyOperation*) {
  // What the receivers send back upstream (pump requests and the like) is handled with the
  // channel's queue.
  return 0;
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

TOWNotifyResult TALASIOOutputChannelItem::InputPinOperation(IOWNotifyOperation*) {
  // The stream to play (start, buffers, stop) goes into the channel's sample queue.
  return 0;
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

bool TALASIOAudioDevice::IsRunning() const { return FLock->Getter(FRunning); }
std::int32_t TALASIOAudioDevice::GetCallbackIndex() const { return FLock->Getter(FCallbackIndex); }
std::int32_t TALASIOAudioDevice::GetIntRunningSampleRate() const { return FLock->Getter(FIntRunningSampleRate); }

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

std::string TALASIOAudioDevice::GetErrorMessage() {
  TOWLockSectionRef section = FLock->ReadLock();
  if (!Open()) return {};
  return ASIOGetErrorMessage(FAsio);
}

std::int32_t TALASIOAudioDevice::GetInputLatency() {
  TOWLockSectionRef section = FLock->ReadLock();
  if (!Open()) return 0;
  std::int32_t input = 0, output = 0;
  if (const TASIOError r = ASIOGetLatencies(FAsio, input, output); r != ASE_OK) {
    Warn(KASIOCantGetLatencies, r);
  } else {
    FInputLatency = input;
    FOutputLatency = output;
  }
  return FInputLatency;
}

std::int32_t TALASIOAudioDevice::GetOutputLatency() {
  TOWLockSectionRef section = FLock->ReadLock();
  if (!Open()) return 0;
  std::int32_t input = 0, output = 0;
  if (const TASIOError r = ASIOGetLatencies(FAsio, input, output); r != ASE_OK) {
    Warn(KASIOCantGetLatencies, r);
  } else {
    FInputLatency = input;
    FOutputLatency = output;
  }
  return FOutputLatency;
}

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
  if (FEnabled && !IsDesigning() && !IsLoadingInChain()) {
    FEnabled = false;
    try {
      FEnablePin.SetValue(false);
    } catch (const std::exception&) {
      // The pin group learns of it at the next change.
    }
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
  if (const TASIOError r = ASIOStart(FAsio); r != ASE_OK) {
    Fail(KASIOCantStart, r);
    return true;
  }
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

  if (const TASIOError r = ASIOStop(FAsio); r != ASE_OK) {
    Fail(KASIOCantStop, r);
    return;
  }
  for (std::int32_t k = 0; k < std::min(FInputChannels.GetCount(), FOutputPins.GetCount()); ++k) {
    TALASIOInputChannelItem* item = FInputChannels.GetItem(k);
    if (!item->GetRunning()) continue;
    item->FRunning = false;
    item->ClearQueue();
    item->GetOutputPin().Stop();
  }
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

void TALASIOAudioDevice::Close() {
  TOWLockSectionRef section = FLock->StopLock();
  if (!FAsio) return;
  Stop();
  ReleaseDriver();
}

// ------------------------------------------------------------------ driver callbacks

void TALASIOAudioDevice::ASIOBufferSwitch(std::int32_t, TASIOBool) {
  // The half-buffer is handed over to the worker thread here.
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

TASIOTime* TALASIOAudioDevice::ASIOBufferSwitchTimeInfo(TASIOTime*, std::int32_t, TASIOBool) {
  // As ASIOBufferSwitch: the worker converts the half-buffer.
  return nullptr;
}

}  // namespace portwise

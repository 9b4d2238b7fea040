#include "platform/sim/SimAsio.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/sim/SimCom.h"
#include "platform/sim/SimPlatform.h"

namespace portwise::platform::sim {

const char* AsioCallName(EAsioCall ACall) {
  static constexpr const char* KNames[KAsioCallCount] = {
      "init", "getDriverName", "getDriverVersion", "getErrorMessage", "start", "stop", "getChannels",
      "getLatencies", "getBufferSize", "canSampleRate", "getSampleRate", "setSampleRate", "getClockSources",
      "setClockSource", "getSamplePosition", "getChannelInfo", "createBuffers", "disposeBuffers", "controlPanel",
      "future", "outputReady"};
  const auto i = static_cast<std::size_t>(ACall);
  return i < KAsioCallCount ? KNames[i] : "?";
}

namespace {

constexpr GUID KIUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// Bytes of one sample in the driver's buffers; codes the driver does not know get 4.
std::size_t SampleBytes(TASIOSampleType AType) {
  switch (AType) {
    case ASIOSTInt16MSB: case ASIOSTInt16LSB: return 2;
    case ASIOSTInt24MSB: case ASIOSTInt24LSB: return 3;
    case ASIOSTFloat64MSB: case ASIOSTFloat64LSB: return 8;
    default: return 4;
  }
}

// Writes the text's bytes into a buffer of ASize: with a NUL when it fits, else ASize bytes.
void WriteText(char* ADest, std::size_t ASize, const std::string& AText) {
  if (!ADest) return;
  const std::size_t n = std::min(ASize, AText.size());
  std::memcpy(ADest, AText.data(), n);
  if (n < ASize) ADest[n] = '\0';
}

std::atomic<std::uint32_t> GNextClass{0};

class TSimAsioDriver;

}  // namespace

struct TSimAsio::TState {
  std::mutex M;
  CLSID ClassId{};
  // script
  std::string DriverName;
  std::string ErrorMessage;
  std::int32_t Version = 1;
  TASIOBool InitResult = 1;
  std::array<TASIOError, KAsioCallCount> Results{};
  std::vector<TSimAsioChannel> Inputs{{"Input 1", ASIOSTInt16LSB, 0}, {"Input 2", ASIOSTInt16LSB, 0}};
  std::vector<TSimAsioChannel> Outputs{{"Output 1", ASIOSTInt16LSB, 0}, {"Output 2", ASIOSTInt16LSB, 0}};
  bool bReportedCounts = false;
  std::int32_t ReportedInputs = 0, ReportedOutputs = 0;
  std::int32_t Min = 64, Max = 2048, Preferred = 256, Granularity = 64;
  TASIOSampleRate Rate = 44100;
  std::vector<TASIOSampleRate> Supported{44100};
  std::int32_t InputLatency = 0, OutputLatency = 0;
  std::int32_t ClockCount = 1, ClockSource = 0;
  std::int64_t Position = 0, TimeStamp = 0;
  std::function<void(EAsioCall)> OnCall;
  // record
  std::vector<TSimAsioCall> Calls;
  int Created = 0, Live = 0;
  void* InitHandle = nullptr;
  TSimAsioDriver* BufferOwner = nullptr;
  TSimAsioBuffers LastRequest;
  int RunningObjects = 0;
};

namespace {

class TSimAsioDriver final : public IASIO {
 public:
  using TState = TSimAsio::TState;

  TSimAsioDriver(std::shared_ptr<TState> AState) : S(std::move(AState)) {
    std::lock_guard g(S->M);
    FNumber = ++S->Created;
    ++S->Live;
  }

  // --- IUnknown ---
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    if (SameGuid(riid, KIUnknown) || SameGuid(riid, S->ClassId)) {
      *ppvObject = static_cast<IASIO*>(this);
      AddRef();
      return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++FRefCount; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG n = --FRefCount;
    if (n == 0) delete this;
    return n;
  }

  // --- IASIO ---
  TASIOBool PW_ASIO_METHOD init(void* sysHandle) override {
    Enter(EAsioCall::init);
    std::lock_guard g(S->M);
    S->InitHandle = sysHandle;
    const TASIOBool r = S->InitResult;
    Record(EAsioCall::init, r, reinterpret_cast<std::intptr_t>(sysHandle));
    return r;
  }

  void PW_ASIO_METHOD getDriverName(char* name) override {
    Enter(EAsioCall::getDriverName);
    std::lock_guard g(S->M);
    Record(EAsioCall::getDriverName, 0);
    WriteText(name, 32, S->DriverName);
  }

  std::int32_t PW_ASIO_METHOD getDriverVersion() override {
    Enter(EAsioCall::getDriverVersion);
    std::lock_guard g(S->M);
    Record(EAsioCall::getDriverVersion, S->Version);
    return S->Version;
  }

  void PW_ASIO_METHOD getErrorMessage(char* string) override {
    Enter(EAsioCall::getErrorMessage);
    std::lock_guard g(S->M);
    Record(EAsioCall::getErrorMessage, 0);
    WriteText(string, 124, S->ErrorMessage);
  }

  TASIOError PW_ASIO_METHOD start() override {
    Enter(EAsioCall::start);
    std::lock_guard g(S->M);
    TASIOError r = Scripted(EAsioCall::start);
    if (r == ASE_OK && !FBuffers) r = ASE_InvalidMode;
    if (r == ASE_OK && !FRunning) {
      // A callback thread that switches the halves at the buffer's pace starts here.
      FRunning = true;
      ++S->RunningObjects;
    }
    return Record(EAsioCall::start, r);
  }

  TASIOError PW_ASIO_METHOD stop() override {
    Enter(EAsioCall::stop);
    std::lock_guard g(S->M);
    const TASIOError r = Scripted(EAsioCall::stop);
    if (r == ASE_OK) StopLocked();
    return Record(EAsioCall::stop, r);
  }

  TASIOError PW_ASIO_METHOD getChannels(std::int32_t* numInputChannels, std::int32_t* numOutputChannels) override {
    Enter(EAsioCall::getChannels);
    std::lock_guard g(S->M);
    TASIOError r = Scripted(EAsioCall::getChannels);
    if (r == ASE_OK && (!numInputChannels || !numOutputChannels)) r = ASE_InvalidParameter;
    if (r == ASE_OK) {
      *numInputChannels = S->bReportedCounts ? S->ReportedInputs : static_cast<std::int32_t>(S->Inputs.size());
      *numOutputChannels = S->bReportedCounts ? S->ReportedOutputs : static_cast<std::int32_t>(S->Outputs.size());
    }
    return Record(EAsioCall::getChannels, r);
  }

  TASIOError PW_ASIO_METHOD getLatencies(std::int32_t* inputLatency, std::int32_t* outputLatency) override {
    Enter(EAsioCall::getLatencies);
    std::lock_guard g(S->M);
    TASIOError r = Scripted(EAsioCall::getLatencies);
    if (r == ASE_OK && (!inputLatency || !outputLatency)) r = ASE_InvalidParameter;
    if (r == ASE_OK) {
      *inputLatency = S->InputLatency;
      *outputLatency = S->OutputLatency;
    }
    return Record(EAsioCall::getLatencies, r);
  }

  TASIOError PW_ASIO_METHOD getBufferSize(std::int32_t* minSize, std::int32_t* maxSize, std::int32_t* preferredSize,
                                          std::int32_t* granularity) override {
    Enter(EAsioCall::getBufferSize);
    std::lock_guard g(S->M);
    TASIOError r = Scripted(EAsioCall::getBufferSize);
    if (r == ASE_OK && (!minSize || !maxSize || !preferredSize || !granularity)) r = ASE_InvalidParameter;
    if (r == ASE_OK) {
      *minSize = S->Min;
      *maxSize = S->Max;
      *preferredSize = S->Preferred;
      *granularity = S->Granularity;
    }
    return Record(EAsioCall::getBufferSize, r);
  }

  TASIOError PW_ASIO_METHOD canSampleRate(TASIOSampleRate sampleRate) override {
    Enter(EAsioCall::canSampleRate);
    std::lock_guard g(S->M);
    TASIOError r = Scripted(EAsioCall::canSampleRate);
    if (r == ASE_OK && !Supported(sampleRate)) r = ASE_NoClock;
    return Record(EAsioCall::canSampleRate, r, 0, 0, sampleRate);
  }

  TASIOError PW_ASIO_METHOD getSampleRate(TASIOSampleRate* sampleRate) override {
    Enter(EAsioCall::getSampleRate);
    std::lock_guard g(S->M);
    TASIOError r = Scripted(EAsioCall::getSampleRate);
    if (r == ASE_OK && !sampleRate) r = ASE_InvalidParameter;
    if (r == ASE_OK) *sampleRate = S->Rate;
    return Record(EAsioCall::getSampleRate, r);
  }

  TASIOError PW_ASIO_METHOD setSampleRate(TASIOSampleRate sampleRate) override {
    Enter(EAsioCall::setSampleRate);
    std::lock_guard g(S->M);
    TASIOError r = Scripted(EAsioCall::setSampleRate);
    if (r == ASE_OK && !Supported(sampleRate)) r = ASE_NoClock;
    if (r == ASE_OK) S->Rate = sampleRate;
    return Record(EAsioCall::setSampleRate, r, 0, 0, sampleRate);
  }

  TASIOError PW_ASIO_METHOD getClockSources(TASIOClockSource* clocks, std::int32_t* numSources) override {
    Enter(EAsioCall::getClockSources);
    std::lock_guard g(S->M);
    TASIOError r = Scripted(EAsioCall::getClockSources);
    if (r == ASE_OK && (!clocks || !numSources)) r = ASE_InvalidParameter;
    const std::int32_t capacity = numSources ? *numSources : 0;
    if (r == ASE_OK) {
      for (std::int32_t i = 0; i < std::min(capacity, S->ClockCount); ++i) {
        TASIOClockSource& c = clocks[i];
        c = TASIOClockSource{};
        c.index = i;
        c.associatedChannel = -1;
        c.associatedGroup = -1;
        c.isCurrentSource = i == S->ClockSource;
        WriteText(c.name, sizeof c.name, "Clock " + std::to_string(i + 1));
      }
      *numSources = S->ClockCount;
    }
    return Record(EAsioCall::getClockSources, r, capacity);
  }

  TASIOError PW_ASIO_METHOD setClockSource(std::int32_t reference) override {
    Enter(EAsioCall::setClockSource);
    std::lock_guard g(S->M);
    TASIOError r = Scripted(EAsioCall::setClockSource);
    if (r == ASE_OK && (reference < 0 || reference >= S->ClockCount)) r = ASE_InvalidParameter;
    if (r == ASE_OK) S->ClockSource = reference;
    return Record(EAsioCall::setClockSource, r, reference);
  }

  TASIOError PW_ASIO_METHOD getSamplePosition(TASIOSamples* sPos, TASIOTimeStamp* tStamp) override {
    Enter(EAsioCall::getSamplePosition);
    std::lock_guard g(S->M);
    TASIOError r = Scripted(EAsioCall::getSamplePosition);
    if (r == ASE_OK && (!sPos || !tStamp)) r = ASE_InvalidParameter;
    if (r == ASE_OK) {
      *sPos = Int64ToAsio(S->Position);
      *tStamp = Int64ToAsio(S->TimeStamp);
    }
    return Record(EAsioCall::getSamplePosition, r);
  }

  TASIOError PW_ASIO_METHOD getChannelInfo(TASIOChannelInfo* info) override {
    Enter(EAsioCall::getChannelInfo);
    std::lock_guard g(S->M);
    TASIOError r = Scripted(EAsioCall::getChannelInfo);
    if (r == ASE_OK && !info) r = ASE_InvalidParameter;
    const std::int64_t channel = info ? info->channel : -1;
    const std::int64_t isInput = info ? info->isInput : 0;
    if (r == ASE_OK) {
      const std::vector<TSimAsioChannel>& list = info->isInput ? S->Inputs : S->Outputs;
      if (info->channel < 0 || static_cast<std::size_t>(info->channel) >= list.size()) {
        r = ASE_InvalidParameter;
      } else {
        const TSimAsioChannel& c = list[static_cast<std::size_t>(info->channel)];
        info->isActive = HasBuffer(info->isInput != 0, info->channel);
        info->channelGroup = c.Group;
        info->type = c.Type;
        WriteText(info->name, sizeof info->name, c.Name);
      }
    }
    return Record(EAsioCall::getChannelInfo, r, channel, isInput);
  }

  TASIOError PW_ASIO_METHOD createBuffers(TASIOBufferInfo* bufferInfos, std::int32_t numChannels,
                                          std::int32_t bufferSize, TASIOCallbacks* callbacks) override {
    Enter(EAsioCall::createBuffers);
    std::lock_guard g(S->M);
    S->LastRequest = {};
    if (bufferInfos && numChannels > 0)
      S->LastRequest.Infos.assign(bufferInfos, bufferInfos + numChannels);
    S->LastRequest.BufferSize = bufferSize;
    S->LastRequest.Callbacks = callbacks;

    TASIOError r = Scripted(EAsioCall::createBuffers);
    if (r == ASE_OK && FBuffers) r = ASE_InvalidMode;
    if (r == ASE_OK && (numChannels < 0 || (numChannels > 0 && !bufferInfos) || !callbacks))
      r = ASE_InvalidParameter;
    if (r == ASE_OK && bufferSize <= 0) r = ASE_InvalidMode;
    for (std::int32_t i = 0; r == ASE_OK && i < numChannels; ++i) {
      const TASIOBufferInfo& b = bufferInfos[i];
      const std::size_t count = b.isInput ? S->Inputs.size() : S->Outputs.size();
      if (b.channelNum < 0 || static_cast<std::size_t>(b.channelNum) >= count) r = ASE_InvalidParameter;
    }
    if (r == ASE_OK) {
      FMemory.clear();
      for (std::int32_t i = 0; i < numChannels; ++i) {
        TASIOBufferInfo& b = bufferInfos[i];
        const auto& channel = (b.isInput ? S->Inputs : S->Outputs)[static_cast<std::size_t>(b.channelNum)];
        const std::size_t bytes = static_cast<std::size_t>(bufferSize) * SampleBytes(channel.Type);
        for (void*& half : b.buffers) {
          FMemory.push_back(std::make_unique<std::uint8_t[]>(bytes));
          half = FMemory.back().get();
        }
      }
      FBuffers = true;
      FCreated.Infos.assign(bufferInfos, bufferInfos + std::max(numChannels, 0));
      FCreated.BufferSize = bufferSize;
      FCreated.Callbacks = callbacks;
      S->BufferOwner = this;
    }
    return Record(EAsioCall::createBuffers, r, numChannels, bufferSize);
  }

  TASIOError PW_ASIO_METHOD disposeBuffers() override {
    Enter(EAsioCall::disposeBuffers);
    std::lock_guard g(S->M);
    TASIOError r = Scripted(EAsioCall::disposeBuffers);
    if (r == ASE_OK && !FBuffers) r = ASE_InvalidMode;
    if (r == ASE_OK) DisposeLocked();
    return Record(EAsioCall::disposeBuffers, r);
  }

  TASIOError PW_ASIO_METHOD controlPanel() override { return Plain(EAsioCall::controlPanel); }
  TASIOError PW_ASIO_METHOD future(std::int32_t selector, void*) override {
    Enter(EAsioCall::future);
    std::lock_guard g(S->M);
    const TASIOError r = Scripted(EAsioCall::future);
    return Record(EAsioCall::future, r == ASE_OK ? ASE_InvalidParameter : r, selector);
  }
  TASIOError PW_ASIO_METHOD outputReady() override { return Plain(EAsioCall::outputReady); }

  // Under the state's mutex.
  const TSimAsioBuffers& CreatedLocked() const { return FCreated; }

 private:
  ~TSimAsioDriver() {
    std::lock_guard g(S->M);
    StopLocked();
    if (FBuffers) DisposeLocked();
    --S->Live;
  }

  void Enter(EAsioCall ACall) {
    std::function<void(EAsioCall)> onCall;
    {
      std::lock_guard g(S->M);
      onCall = S->OnCall;
    }
    if (onCall) onCall(ACall);
  }
  TASIOError Scripted(EAsioCall ACall) const { return S->Results[static_cast<std::size_t>(ACall)]; }
  TASIOError Record(EAsioCall ACall, TASIOError AResult, std::int64_t A = 0, std::int64_t B = 0, double ARate = 0) {
    S->Calls.push_back({ACall, FNumber, A, B, ARate, AResult});
    return AResult;
  }
  TASIOError Plain(EAsioCall ACall) {
    Enter(ACall);
    std::lock_guard g(S->M);
    return Record(ACall, Scripted(ACall));
  }
  bool Supported(TASIOSampleRate ARate) const {
    return std::find(S->Supported.begin(), S->Supported.end(), ARate) != S->Supported.end();
  }
  bool HasBuffer(bool AInput, std::int32_t AChannel) const {
    if (!FBuffers) return false;
    return std::any_of(FCreated.Infos.begin(), FCreated.Infos.end(), [&](const TASIOBufferInfo& b) {
      return (b.isInput != 0) == AInput && b.channelNum == AChannel;
    });
  }
  void StopLocked() {
    if (!FRunning) return;
    // The callback thread ends here.
    FRunning = false;
    --S->RunningObjects;
  }
  void DisposeLocked() {
    StopLocked();
    FBuffers = false;
    FCreated = {};
    FMemory.clear();
    if (S->BufferOwner == this) S->BufferOwner = nullptr;
  }

  std::shared_ptr<TState> S;
  std::atomic<ULONG> FRefCount{1};
  int FNumber = 0;
  // Guarded by the state's mutex.
  bool FBuffers = false;
  bool FRunning = false;
  TSimAsioBuffers FCreated;
  std::vector<std::unique_ptr<std::uint8_t[]>> FMemory;
};

}  // namespace

// ------------------------------------------------------------------ TSimAsio

TSimAsio::TSimAsio(std::string AKeyName) : FKeyName(std::move(AKeyName)), FState(std::make_shared<TState>()) {
  const std::uint32_t n = ++GNextClass;
  FClassId = GUID{0x51A5A000 + n, 0x5157, 0x4A51, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(n)}};
  FState->ClassId = FClassId;
  FState->DriverName = FKeyName;
}

TSimAsio::~TSimAsio() = default;

void TSimAsio::Install(TSimPlatform& APlatform) {
  InstallKey(APlatform.SimRegistry());
  InstallClass(APlatform.SimCom());
}

void TSimAsio::InstallKey(TSimRegistry& ARegistry) {
  ARegistry.SetString("Software\\ASIO\\" + FKeyName, "clsid", GuidToString(FClassId));
}

void TSimAsio::InstallClass(TSimCom& ACom) {
  std::shared_ptr<TState> state = FState;
  ACom.AddClass(FClassId, [state](REFIID iid, void** object) -> HRESULT {
    auto* driver = new TSimAsioDriver(state);
    const HRESULT hr = driver->QueryInterface(iid, object);
    driver->Release();
    return hr;
  });
}

#define PW_SIM_SET(stmt)          \
  do {                            \
    std::lock_guard g(FState->M); \
    stmt;                         \
  } while (false)

void TSimAsio::SetDriverName(const std::string& ABytes) { PW_SIM_SET(FState->DriverName = ABytes); }
void TSimAsio::SetDriverVersion(std::int32_t AVersion) { PW_SIM_SET(FState->Version = AVersion); }
void TSimAsio::SetErrorMessage(const std::string& ABytes) { PW_SIM_SET(FState->ErrorMessage = ABytes); }
void TSimAsio::SetInitResult(TASIOBool AResult) { PW_SIM_SET(FState->InitResult = AResult); }
void TSimAsio::SetResult(EAsioCall ACall, TASIOError ACode) {
  PW_SIM_SET(FState->Results[static_cast<std::size_t>(ACall)] = ACode);
}
void TSimAsio::SetInputs(std::vector<TSimAsioChannel> AChannels) { PW_SIM_SET(FState->Inputs = std::move(AChannels)); }
void TSimAsio::SetOutputs(std::vector<TSimAsioChannel> AChannels) { PW_SIM_SET(FState->Outputs = std::move(AChannels)); }
void TSimAsio::SetReportedChannels(std::int32_t AInputs, std::int32_t AOutputs) {
  PW_SIM_SET(FState->bReportedCounts = true; FState->ReportedInputs = AInputs; FState->ReportedOutputs = AOutputs);
}
void TSimAsio::SetBufferSizes(std::int32_t AMin, std::int32_t AMax, std::int32_t APreferred, std::int32_t AGranularity) {
  PW_SIM_SET(FState->Min = AMin; FState->Max = AMax; FState->Preferred = APreferred; FState->Granularity = AGranularity);
}
void TSimAsio::SetSampleRate(TASIOSampleRate ARate) { PW_SIM_SET(FState->Rate = ARate); }
void TSimAsio::SetSupportedRates(std::vector<TASIOSampleRate> ARates) { PW_SIM_SET(FState->Supported = std::move(ARates)); }
void TSimAsio::SetLatencies(std::int32_t AInput, std::int32_t AOutput) {
  PW_SIM_SET(FState->InputLatency = AInput; FState->OutputLatency = AOutput);
}
void TSimAsio::SetClockSources(std::int32_t ACount) { PW_SIM_SET(FState->ClockCount = ACount); }
void TSimAsio::SetSamplePosition(std::int64_t APosition, std::int64_t ATimeStamp) {
  PW_SIM_SET(FState->Position = APosition; FState->TimeStamp = ATimeStamp);
}
void TSimAsio::SetOnCall(std::function<void(EAsioCall)> AOnCall) { PW_SIM_SET(FState->OnCall = std::move(AOnCall)); }

#undef PW_SIM_SET

std::vector<TSimAsioCall> TSimAsio::Calls() {
  std::lock_guard g(FState->M);
  return FState->Calls;
}

std::vector<EAsioCall> TSimAsio::CallList() {
  std::lock_guard g(FState->M);
  std::vector<EAsioCall> list;
  list.reserve(FState->Calls.size());
  for (const TSimAsioCall& c : FState->Calls) list.push_back(c.Call);
  return list;
}

std::size_t TSimAsio::CountCalls(EAsioCall ACall) {
  std::lock_guard g(FState->M);
  return static_cast<std::size_t>(std::count_if(FState->Calls.begin(), FState->Calls.end(),
                                                [&](const TSimAsioCall& c) { return c.Call == ACall; }));
}

void TSimAsio::ClearCalls() {
  std::lock_guard g(FState->M);
  FState->Calls.clear();
}

int TSimAsio::CreatedObjects() {
  std::lock_guard g(FState->M);
  return FState->Created;
}

int TSimAsio::LiveObjects() {
  std::lock_guard g(FState->M);
  return FState->Live;
}

bool TSimAsio::Running() {
  std::lock_guard g(FState->M);
  return FState->RunningObjects > 0;
}

TASIOSampleRate TSimAsio::CurrentRate() {
  std::lock_guard g(FState->M);
  return FState->Rate;
}

std::int32_t TSimAsio::CurrentClockSource() {
  std::lock_guard g(FState->M);
  return FState->ClockSource;
}

void* TSimAsio::InitHandle() {
  std::lock_guard g(FState->M);
  return FState->InitHandle;
}

bool TSimAsio::HasBuffers() {
  std::lock_guard g(FState->M);
  return FState->BufferOwner != nullptr;
}

TSimAsioBuffers TSimAsio::Buffers() {
  std::lock_guard g(FState->M);
  return FState->BufferOwner ? FState->BufferOwner->CreatedLocked() : TSimAsioBuffers{};
}

TASIOCallbacks* TSimAsio::Callbacks() {
  std::lock_guard g(FState->M);
  return FState->BufferOwner ? FState->BufferOwner->CreatedLocked().Callbacks : nullptr;
}

TSimAsioBuffers TSimAsio::LastCreateRequest() {
  std::lock_guard g(FState->M);
  return FState->LastRequest;
}

}  // namespace portwise::platform::sim

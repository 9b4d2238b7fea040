#include "platform/sim/SimAsio.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

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

// Inside a switch made by the simulation: what the host calls back is counted, not recorded.
thread_local int tInSwitch = 0;

bool IsMsb(TASIOSampleType AType) { return AType <= ASIOSTFloat64MSB || (AType >= 8 && AType <= 11); }

// Little-endian bytes of AValue's low ABytes bytes, reversed for the MSB types.
void PutBytes(std::uint8_t* ADest, std::uint64_t AValue, std::size_t ABytes, bool AMsb) {
  for (std::size_t b = 0; b < ABytes; ++b) {
    const auto byte = static_cast<std::uint8_t>(AValue >> (8 * b));
    ADest[AMsb ? ABytes - 1 - b : b] = byte;
  }
}

std::uint64_t GetBytes(const std::uint8_t* ASource, std::size_t ABytes, bool AMsb) {
  std::uint64_t v = 0;
  for (std::size_t b = 0; b < ABytes; ++b) v |= std::uint64_t{ASource[AMsb ? ABytes - 1 - b : b]} << (8 * b);
  return v;
}

// The 16-bit value s in the channel's type. False for a type the driver does not write.
bool PutSample(std::uint8_t* ADest, TASIOSampleType AType, std::int16_t s) {
  const bool msb = IsMsb(AType);
  const std::int32_t v = s;
  switch (AType) {
    case ASIOSTInt16LSB: case ASIOSTInt16MSB:
      PutBytes(ADest, static_cast<std::uint16_t>(v), 2, msb); return true;
    case ASIOSTInt24LSB: case ASIOSTInt24MSB:
      PutBytes(ADest, static_cast<std::uint32_t>(v * 256), 3, msb); return true;
    case ASIOSTInt32LSB: case ASIOSTInt32MSB:
      PutBytes(ADest, static_cast<std::uint32_t>(v * 65536), 4, msb); return true;
    case ASIOSTInt32LSB16: case ASIOSTInt32MSB16:
      PutBytes(ADest, static_cast<std::uint32_t>(v), 4, msb); return true;
    case ASIOSTInt32LSB18: case ASIOSTInt32MSB18:
      PutBytes(ADest, static_cast<std::uint32_t>(v * 4), 4, msb); return true;
    case ASIOSTInt32LSB20: case ASIOSTInt32MSB20:
      PutBytes(ADest, static_cast<std::uint32_t>(v * 16), 4, msb); return true;
    case ASIOSTInt32LSB24: case ASIOSTInt32MSB24:
      PutBytes(ADest, static_cast<std::uint32_t>(v * 256), 4, msb); return true;
    case ASIOSTFloat32LSB: case ASIOSTFloat32MSB:
      PutBytes(ADest, std::bit_cast<std::uint32_t>(static_cast<float>(v) / 32768.0f), 4, msb); return true;
    case ASIOSTFloat64LSB: case ASIOSTFloat64MSB:
      PutBytes(ADest, std::bit_cast<std::uint64_t>(static_cast<double>(v) / 32768.0), 8, msb); return true;
    default:
      return false;
  }
}

// One sample of the channel's type as a value of full scale 1.0; false for a type the driver does
// not read.
bool GetSample(const std::uint8_t* ASource, TASIOSampleType AType, double& AValue) {
  const bool msb = IsMsb(AType);
  auto asInt32 = [&] { return static_cast<double>(static_cast<std::int32_t>(GetBytes(ASource, 4, msb))); };
  switch (AType) {
    case ASIOSTInt16LSB: case ASIOSTInt16MSB:
      AValue = static_cast<std::int16_t>(GetBytes(ASource, 2, msb)) / 32768.0; return true;
    case ASIOSTInt24LSB: case ASIOSTInt24MSB: {
      const auto u = static_cast<std::uint32_t>(GetBytes(ASource, 3, msb)) << 8;
      AValue = static_cast<double>(static_cast<std::int32_t>(u)) / 2147483648.0;
      return true;
    }
    case ASIOSTInt32LSB: case ASIOSTInt32MSB: AValue = asInt32() / 2147483648.0; return true;
    case ASIOSTInt32LSB16: case ASIOSTInt32MSB16: AValue = asInt32() / 32768.0; return true;
    case ASIOSTInt32LSB18: case ASIOSTInt32MSB18: AValue = asInt32() / 131072.0; return true;
    case ASIOSTInt32LSB20: case ASIOSTInt32MSB20: AValue = asInt32() / 524288.0; return true;
    case ASIOSTInt32LSB24: case ASIOSTInt32MSB24: AValue = asInt32() / 8388608.0; return true;
    case ASIOSTFloat32LSB: case ASIOSTFloat32MSB:
      AValue = std::bit_cast<float>(static_cast<std::uint32_t>(GetBytes(ASource, 4, msb))); return true;
    case ASIOSTFloat64LSB: case ASIOSTFloat64MSB:
      AValue = std::bit_cast<double>(GetBytes(ASource, 8, msb)); return true;
    default:
      return false;
  }
}

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
  std::map<std::pair<bool, std::int32_t>, TASIOError> ChannelInfoResults;
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
  bool bScriptedPosition = false;
  std::function<void(EAsioCall)> OnCall;
  bool bCallbacks = true;
  bool bFirstSwitchInStart = true;
  int CallbackThreads = 1;
  bool bOfferTimeInfo = true;
  int LateSwitches = 0;
  std::deque<std::pair<std::int32_t, std::int32_t>> PendingMessages;
  // record
  std::vector<TSimAsioCall> Calls;
  int Created = 0, Live = 0;
  void* InitHandle = nullptr;
  TSimAsioDriver* BufferOwner = nullptr;
  TSimAsioBuffers LastRequest;
  int RunningObjects = 0;
  bool bUsesTimeInfo = false;
  std::int64_t Switches = 0;
  std::map<std::int32_t, std::vector<double>> Recorded;
  std::vector<TSimAsioMessage> Messages;
  std::size_t OutputReadyCalls = 0, SamplePositionCalls = 0;
  int LateMade = 0;
  // Wakes the callback threads of every object (at stop, dispose and release).
  std::condition_variable Wake;
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
    JoinLate();
    std::unique_lock lk(S->M);
    TASIOError r = Scripted(EAsioCall::start);
    if (r == ASE_OK && !FBuffers) r = ASE_InvalidMode;
    const bool bStarting = r == ASE_OK && !FRunning;
    if (bStarting) {
      FRunning = true;
      ++S->RunningObjects;
      FStartTime = std::chrono::steady_clock::now();
    }
    Record(EAsioCall::start, r);
    if (!bStarting || !S->bCallbacks) return r;
    std::int64_t first = 0;
    if (S->bFirstSwitchInStart) {
      // The first half is asked for from inside start, on the caller's thread.
      SwitchLocked(0, lk);
      first = 1;
      if (!FRunning) return r;
    }
    const int threads = std::clamp(S->CallbackThreads, 1, 2);
    for (int t = 0; t < threads; ++t) {
      // With two threads each one keeps to one half: thread t makes the switches n with n % 2 == t.
      std::int64_t n = first;
      if (threads == 2 && (n & 1) != t) ++n;
      FThreads.emplace_back([this, n, step = threads] { Run(n, step); });
    }
    return r;
  }

  TASIOError PW_ASIO_METHOD stop() override {
    Enter(EAsioCall::stop);
    TASIOError r;
    {
      std::lock_guard g(S->M);
      r = Scripted(EAsioCall::stop);
      Record(EAsioCall::stop, r);
    }
    if (r == ASE_OK) Halt(true);
    return r;
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
    if (tInSwitch > 0) {
      ++S->SamplePositionCalls;
      return r;
    }
    return Record(EAsioCall::getSamplePosition, r);
  }

  TASIOError PW_ASIO_METHOD getChannelInfo(TASIOChannelInfo* info) override {
    Enter(EAsioCall::getChannelInfo);
    std::lock_guard g(S->M);
    TASIOError r = Scripted(EAsioCall::getChannelInfo);
    if (r == ASE_OK && !info) r = ASE_InvalidParameter;
    if (r == ASE_OK) {
      if (auto it = S->ChannelInfoResults.find({info->isInput != 0, info->channel}); it != S->ChannelInfoResults.end())
        r = it->second;
    }
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
    JoinLate();
    bool bOffer;
    {
      std::lock_guard g(S->M);
      bOffer = S->bOfferTimeInfo;
    }
    // Asked as real drivers ask, before the buffers exist; the answer decides how the host is
    // called back.
    const bool bTimeInfo = bOffer && callbacks &&
                           callbacks->asioMessage(kAsioSelectorSupported, kAsioSupportsTimeInfo, nullptr, nullptr) == 1 &&
                           callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1;
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
      FTypes.clear();
      for (std::int32_t i = 0; i < numChannels; ++i) {
        TASIOBufferInfo& b = bufferInfos[i];
        const auto& channel = (b.isInput ? S->Inputs : S->Outputs)[static_cast<std::size_t>(b.channelNum)];
        const std::size_t bytes = static_cast<std::size_t>(bufferSize) * SampleBytes(channel.Type);
        for (void*& half : b.buffers) {
          // Zeroed: what a host that writes nothing plays is silence.
          FMemory.push_back(std::make_unique<std::uint8_t[]>(bytes));
          half = FMemory.back().get();
        }
        FTypes.push_back(channel.Type);
      }
      FBuffers = true;
      FUseTimeInfo = bTimeInfo;
      S->bUsesTimeInfo = bTimeInfo;
      FCreated.Infos.assign(bufferInfos, bufferInfos + std::max(numChannels, 0));
      FCreated.BufferSize = bufferSize;
      FCreated.Callbacks = callbacks;
      FRate = S->Rate > 0 ? S->Rate : 44100;
      S->BufferOwner = this;
    }
    return Record(EAsioCall::createBuffers, r, numChannels, bufferSize);
  }

  TASIOError PW_ASIO_METHOD disposeBuffers() override {
    Enter(EAsioCall::disposeBuffers);
    TASIOError r;
    {
      std::lock_guard g(S->M);
      r = Scripted(EAsioCall::disposeBuffers);
      if (r == ASE_OK && !FBuffers) r = ASE_InvalidMode;
      Record(EAsioCall::disposeBuffers, r);
    }
    if (r != ASE_OK) return r;
    Halt(false);
    std::lock_guard g(S->M);
    DisposeLocked();
    S->Wake.notify_all();  // a late thread waits for this
    return r;
  }

  TASIOError PW_ASIO_METHOD controlPanel() override { return Plain(EAsioCall::controlPanel); }
  TASIOError PW_ASIO_METHOD future(std::int32_t selector, void*) override {
    Enter(EAsioCall::future);
    std::lock_guard g(S->M);
    const TASIOError r = Scripted(EAsioCall::future);
    return Record(EAsioCall::future, r == ASE_OK ? ASE_InvalidParameter : r, selector);
  }
  TASIOError PW_ASIO_METHOD outputReady() override {
    Enter(EAsioCall::outputReady);
    std::lock_guard g(S->M);
    const TASIOError r = Scripted(EAsioCall::outputReady);
    if (tInSwitch > 0) {
      ++S->OutputReadyCalls;
      return r;
    }
    return Record(EAsioCall::outputReady, r);
  }

  // Under the state's mutex.
  const TSimAsioBuffers& CreatedLocked() const { return FCreated; }

 private:
  ~TSimAsioDriver() {
    Halt(false);
    JoinLate();
    std::lock_guard g(S->M);
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
  // Ends the callback threads and waits for them; AStopCall: this is the driver's stop, after which
  // scripted late switches follow. Never called with the state's mutex held.
  void Halt(bool AStopCall) {
    std::vector<std::thread> threads;
    bool bLate = false;
    {
      std::lock_guard g(S->M);
      if (FRunning) {
        FRunning = false;
        --S->RunningObjects;
        bLate = AStopCall && S->LateSwitches > 0 && FCreated.Callbacks;
      }
      threads.swap(FThreads);
    }
    S->Wake.notify_all();
    for (std::thread& t : threads) {
      // A host that stops the driver from inside a switch cannot wait for its own thread.
      if (t.get_id() == std::this_thread::get_id()) t.detach();
      else t.join();
    }
    if (!bLate) return;
    std::lock_guard g(S->M);
    FLateCancel = false;
    FLate = std::thread([this] { RunLate(); });
  }

  void JoinLate() {
    std::thread late;
    {
      std::lock_guard g(S->M);
      FLateCancel = true;
      late.swap(FLate);
    }
    S->Wake.notify_all();
    if (late.joinable()) late.join();
  }

  // A callback thread: switches n, n + AStep, ... each at its deadline, until the object stops.
  void Run(std::int64_t AFirst, std::int64_t AStep) {
    std::unique_lock lk(S->M);
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(static_cast<double>(FCreated.BufferSize) / FRate));
    for (std::int64_t n = AFirst; FRunning; n += AStep) {
      const auto deadline = FStartTime + period * n;
      if (S->Wake.wait_until(lk, deadline, [this] { return !FRunning; })) break;
      SwitchLocked(n, lk);
    }
  }

  // Switch n (half n % 2): inputs filled, the host called without the lock, outputs recorded.
  void SwitchLocked(std::int64_t n, std::unique_lock<std::mutex>& lk) {
    const auto index = static_cast<std::size_t>(n & 1);
    const std::int64_t position = n * FCreated.BufferSize;
    const auto frames = static_cast<std::size_t>(FCreated.BufferSize);
    for (std::size_t i = 0; i < FCreated.Infos.size(); ++i) {
      const TASIOBufferInfo& b = FCreated.Infos[i];
      if (!b.isInput) continue;
      auto* p = static_cast<std::uint8_t*>(b.buffers[index]);
      const std::size_t step = SampleBytes(FTypes[i]);
      for (std::size_t f = 0; f < frames; ++f, p += step)
        PutSample(p, FTypes[i], SimAsioSawtooth(position + static_cast<std::int64_t>(f), b.channelNum));
    }
    const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    if (!S->bScriptedPosition) {
      S->Position = position;
      S->TimeStamp = now;
    }
    std::deque<std::pair<std::int32_t, std::int32_t>> messages;
    messages.swap(S->PendingMessages);
    TASIOCallbacks* callbacks = FCreated.Callbacks;
    const bool bTimeInfo = FUseTimeInfo;
    const double rate = FRate;
    lk.unlock();
    ++tInSwitch;
    for (const auto& [selector, value] : messages) {
      const std::int32_t answer = callbacks->asioMessage(selector, value, nullptr, nullptr);
      std::lock_guard g(S->M);
      S->Messages.push_back({selector, value, answer});
    }
    if (bTimeInfo) {
      TASIOTime time{};
      time.timeInfo.speed = 1.0;
      time.timeInfo.samplePosition = Int64ToAsio(position);
      time.timeInfo.systemTime = Int64ToAsio(now);
      time.timeInfo.sampleRate = rate;
      time.timeInfo.flags = kSystemTimeValid | kSamplePositionValid;
      callbacks->bufferSwitchTimeInfo(&time, static_cast<std::int32_t>(index), 1);
    } else {
      callbacks->bufferSwitch(static_cast<std::int32_t>(index), 1);
    }
    --tInSwitch;
    lk.lock();
    for (std::size_t i = 0; i < FCreated.Infos.size(); ++i) {
      const TASIOBufferInfo& b = FCreated.Infos[i];
      if (b.isInput) continue;
      const auto* p = static_cast<const std::uint8_t*>(b.buffers[index]);
      const std::size_t step = SampleBytes(FTypes[i]);
      std::vector<double>& record = S->Recorded[b.channelNum];
      double v = 0;
      for (std::size_t f = 0; f < frames && GetSample(p, FTypes[i], v); ++f, p += step) record.push_back(v);
    }
    ++S->Switches;
  }

  // After a stop: the scripted late switches, once the buffers are gone (or after a second).
  void RunLate() {
    std::unique_lock lk(S->M);
    S->Wake.wait_for(lk, std::chrono::seconds(1), [this] { return FLateCancel || !FBuffers; });
    if (FLateCancel) return;
    const int count = S->LateSwitches;
    TASIOCallbacks* callbacks = FCreated.Callbacks ? FCreated.Callbacks : FLastCallbacks;
    const bool bTimeInfo = FUseTimeInfo;
    lk.unlock();
    for (int i = 0; i < count && callbacks; ++i) {
      if (bTimeInfo) {
        TASIOTime time{};
        callbacks->bufferSwitchTimeInfo(&time, i & 1, 1);
      } else {
        callbacks->bufferSwitch(i & 1, 1);
      }
      std::lock_guard g(S->M);
      ++S->LateMade;
    }
  }

  void DisposeLocked() {
    FBuffers = false;
    if (FCreated.Callbacks) FLastCallbacks = FCreated.Callbacks;
    FCreated = {};
    FTypes.clear();
    FMemory.clear();
    if (S->BufferOwner == this) S->BufferOwner = nullptr;
  }

  std::shared_ptr<TState> S;
  std::atomic<ULONG> FRefCount{1};
  int FNumber = 0;
  // Guarded by the state's mutex.
  bool FBuffers = false;
  bool FRunning = false;
  bool FUseTimeInfo = false;
  TSimAsioBuffers FCreated;
  TASIOCallbacks* FLastCallbacks = nullptr;  // of the buffers disposed last, for late switches
  std::vector<TASIOSampleType> FTypes;       // per record of FCreated
  std::vector<std::unique_ptr<std::uint8_t[]>> FMemory;
  double FRate = 44100;
  std::chrono::steady_clock::time_point FStartTime;
  std::vector<std::thread> FThreads;
  std::thread FLate;
  bool FLateCancel = false;
};

}  // namespace

// ------------------------------------------------------------------ TSimAsio

std::int16_t SimAsioSawtooth(std::int64_t AFrame, std::int32_t AChannel) {
  const auto u = static_cast<std::uint64_t>(AFrame) * 64u * static_cast<std::uint64_t>(AChannel + 1);
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(u & 0xFFFF));
}

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
void TSimAsio::SetChannelInfoResult(bool AIsInput, std::int32_t AChannel, TASIOError ACode) {
  const std::pair<bool, std::int32_t> key(AIsInput, AChannel);
  std::lock_guard g(FState->M);
  if (ACode == ASE_OK) FState->ChannelInfoResults.erase(key);
  else FState->ChannelInfoResults[key] = ACode;
}

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
  PW_SIM_SET(FState->Position = APosition; FState->TimeStamp = ATimeStamp; FState->bScriptedPosition = true);
}
void TSimAsio::SetCallbacks(bool AValue) { PW_SIM_SET(FState->bCallbacks = AValue); }
void TSimAsio::SetFirstSwitchInStart(bool AValue) { PW_SIM_SET(FState->bFirstSwitchInStart = AValue); }
void TSimAsio::SetCallbackThreads(int ACount) { PW_SIM_SET(FState->CallbackThreads = ACount); }
void TSimAsio::SetOfferTimeInfo(bool AValue) { PW_SIM_SET(FState->bOfferTimeInfo = AValue); }
void TSimAsio::SetLateSwitches(int ACount) { PW_SIM_SET(FState->LateSwitches = ACount); }
void TSimAsio::PostDriverMessage(std::int32_t ASelector, std::int32_t AValue) {
  PW_SIM_SET(FState->PendingMessages.emplace_back(ASelector, AValue));
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

bool TSimAsio::UsesTimeInfo() {
  std::lock_guard g(FState->M);
  return FState->bUsesTimeInfo;
}

std::int64_t TSimAsio::Switches() {
  std::lock_guard g(FState->M);
  return FState->Switches;
}

std::vector<double> TSimAsio::Recorded(std::int32_t AChannel) {
  std::lock_guard g(FState->M);
  auto it = FState->Recorded.find(AChannel);
  return it == FState->Recorded.end() ? std::vector<double>{} : it->second;
}

void TSimAsio::ClearRecorded() {
  std::lock_guard g(FState->M);
  FState->Recorded.clear();
}

std::vector<TSimAsioMessage> TSimAsio::DriverMessages() {
  std::lock_guard g(FState->M);
  return FState->Messages;
}

std::size_t TSimAsio::OutputReadyCalls() {
  std::lock_guard g(FState->M);
  return FState->OutputReadyCalls;
}

std::size_t TSimAsio::SamplePositionCalls() {
  std::lock_guard g(FState->M);
  return FState->SamplePositionCalls;
}

int TSimAsio::LateSwitchesMade() {
  std::lock_guard g(FState->M);
  return FState->LateMade;
}

}  // namespace portwise::platform::sim

// A real ASIO driver for tests: an in-process COM server (Windows only) that behaves like a sound
// card's driver, paced in real time, with every property and failure set from the registry.
//
// One DLL serves any number of configured instances. An instance is a class id registered for the
// DLL (HKLM\Software\Classes\CLSID\{id}\InprocServer32) and an ASIO key HKLM\Software\ASIO\<name>
// whose "CLSID" value is that id; the key's other values configure the instance (README.md lists
// them). The driver finds its key by looking for its own class id among the ASIO keys of the
// registry view it runs in, so 32-bit and 64-bit copies are configured in their own views.
//
// Streaming: start calls bufferSwitch once on the calling thread, as drivers of real hardware do,
// then a thread of the driver calls it every half-buffer period (real time, absolute deadlines).
// Before each switch the driver fills its input halves with a sawtooth: frame n (counted from
// start) of input channel k holds the 16-bit value s = (n * 64 * (k + 1)) mod 65536, taken as
// signed, in the channel's sample type (16-bit: s; 24-bit: s * 256; 32-bit: s * 65536; the aligned
// 32-bit types: s shifted to their alignment; float: s / 32768). After each switch it appends the
// output halves it was handed to a WAV file: one WAV channel per driver output channel (silence
// for channels without buffers), samples as the driver holds them, little-endian; PCM for the
// integer types, IEEE float for the float types.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/AsioDriver.h"

using portwise::IASIO;
using portwise::TASIOBool;
using portwise::TASIOBufferInfo;
using portwise::TASIOCallbacks;
using portwise::TASIOChannelInfo;
using portwise::TASIOClockSource;
using portwise::TASIOError;
using portwise::TASIOSamples;
using portwise::TASIOSampleRate;
using portwise::TASIOSampleType;
using portwise::TASIOTime;
using portwise::TASIOTimeStamp;

namespace {

std::atomic<long> gObjects{0};
std::atomic<long> gLocks{0};

// ------------------------------------------------------------------ text

std::string ToUtf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

// Copies at most size - 1 bytes and a NUL, as drivers fill the host's fixed buffers.
void CopyText(char* target, std::size_t size, const std::string& text) {
  const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(target, text.data(), n);
  target[n] = '\0';
}

// ------------------------------------------------------------------ configuration

class TRegKey {
 public:
  TRegKey(HKEY parent, const std::wstring& path) {
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &FKey) != ERROR_SUCCESS) FKey = nullptr;
  }
  ~TRegKey() {
    if (FKey) RegCloseKey(FKey);
  }
  TRegKey(const TRegKey&) = delete;
  TRegKey& operator=(const TRegKey&) = delete;
  HKEY Get() const { return FKey; }

  bool String(const wchar_t* name, std::wstring& value) const {
    DWORD type = 0, bytes = 0;
    if (!FKey || RegQueryValueExW(FKey, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    std::wstring buf(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>(buf.size() * sizeof(wchar_t));
    if (RegQueryValueExW(FKey, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &got) != ERROR_SUCCESS)
      return false;
    buf.resize(wcsnlen(buf.c_str(), buf.size()));
    value = buf;
    return true;
  }

  // A DWORD, or a decimal (or 0x hexadecimal) string; signed values wrap as dwords do.
  bool Number(const wchar_t* name, long& value) const {
    DWORD type = 0, data = 0, bytes = sizeof data;
    if (FKey && RegQueryValueExW(FKey, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes) == ERROR_SUCCESS &&
        type == REG_DWORD) {
      value = static_cast<long>(static_cast<std::int32_t>(data));
      return true;
    }
    std::wstring text;
    if (!String(name, text) || text.empty()) return false;
    wchar_t* end = nullptr;
    const long long v = wcstoll(text.c_str(), &end, 0);
    if (!end || *end) return false;
    value = static_cast<long>(static_cast<std::int32_t>(v));
    return true;
  }

 private:
  HKEY FKey = nullptr;
};

const wchar_t* const KAsioRoot = L"Software\\ASIO";

// The IASIO methods whose result a "Fail_<method>" value replaces.
const char* const KMethods[] = {"init", "getChannels", "getLatencies", "getBufferSize", "canSampleRate",
                                "getSampleRate", "setSampleRate", "getClockSources", "setClockSource",
                                "getSamplePosition", "getChannelInfo", "createBuffers", "disposeBuffers",
                                "start", "stop", "controlPanel", "future", "outputReady"};

struct TConfig {
  std::string Name;
  std::string DriverName;
  long Version = 1;
  long Inputs = 2, Outputs = 2;
  std::vector<std::string> InputNames, OutputNames;
  long InputType = portwise::ASIOSTFloat32LSB, OutputType = portwise::ASIOSTFloat32LSB;
  long BufferMin = 64, BufferMax = 2048, BufferPreferred = 256, BufferGranularity = 64;
  double Rate = 44100;
  bool bAnyRate = false;
  long InputLatency = 256, OutputLatency = 512;
  long ClockSources = 1;
  bool bOutputReady = true;
  bool bInitFails = false;
  long TimeInfo = 1;  // 1: ask the host, 0: never
  long ResetAfter = 0;
  std::wstring WavPath, PanelCountPath, CallLogPath;
  std::map<std::string, long> Fail;
};

std::vector<std::string> SplitNames(const std::wstring& text) {
  std::vector<std::string> names;
  const std::string s = ToUtf8(text);
  std::size_t from = 0;
  for (;;) {
    const std::size_t bar = s.find('|', from);
    names.push_back(s.substr(from, bar == std::string::npos ? std::string::npos : bar - from));
    if (bar == std::string::npos) break;
    from = bar + 1;
  }
  return names;
}

bool ReadConfig(const std::wstring& keyName, TConfig& c) {
  TRegKey key(HKEY_LOCAL_MACHINE, std::wstring(KAsioRoot) + L"\\" + keyName);
  if (!key.Get()) return false;
  c.Name = ToUtf8(keyName);
  std::wstring text;
  c.DriverName = key.String(L"DriverName", text) ? ToUtf8(text) : c.Name;
  long v = 0;
  key.Number(L"DriverVersion", c.Version);
  key.Number(L"InputChannels", c.Inputs);
  key.Number(L"OutputChannels", c.Outputs);
  if (key.Number(L"SampleType", v)) c.InputType = c.OutputType = v;
  key.Number(L"InputSampleType", c.InputType);
  key.Number(L"OutputSampleType", c.OutputType);
  key.Number(L"BufferMin", c.BufferMin);
  key.Number(L"BufferMax", c.BufferMax);
  key.Number(L"BufferPreferred", c.BufferPreferred);
  key.Number(L"BufferGranularity", c.BufferGranularity);
  if (key.Number(L"SampleRate", v)) c.Rate = v;
  if (key.Number(L"AcceptAnyRate", v)) c.bAnyRate = v != 0;
  key.Number(L"InputLatency", c.InputLatency);
  key.Number(L"OutputLatency", c.OutputLatency);
  key.Number(L"ClockSources", c.ClockSources);
  if (key.Number(L"OutputReady", v)) c.bOutputReady = v != 0;
  if (key.Number(L"InitFails", v)) c.bInitFails = v != 0;
  key.Number(L"TimeInfo", c.TimeInfo);
  key.Number(L"ResetAfterSwitches", c.ResetAfter);
  if (key.String(L"InputNames", text)) c.InputNames = SplitNames(text);
  if (key.String(L"OutputNames", text)) c.OutputNames = SplitNames(text);
  key.String(L"WavPath", c.WavPath);
  key.String(L"ControlPanelCount", c.PanelCountPath);
  key.String(L"CallLog", c.CallLogPath);
  for (const char* method : KMethods) {
    const std::string name = std::string("Fail_") + method;
    if (key.Number(std::wstring(name.begin(), name.end()).c_str(), v)) c.Fail[method] = v;
  }
  if (c.Inputs < 0) c.Inputs = 0;
  if (c.Outputs < 0) c.Outputs = 0;
  return true;
}

// The instance whose ASIO key names this class id.
bool FindConfig(REFCLSID clsid, TConfig& config) {
  TRegKey root(HKEY_LOCAL_MACHINE, KAsioRoot);
  if (!root.Get()) return false;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD len = 256;
    if (RegEnumKeyExW(root.Get(), i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return false;
    TRegKey key(root.Get(), name);
    std::wstring text;
    CLSID id{};
    if (!key.String(L"CLSID", text) || FAILED(CLSIDFromString(text.c_str(), &id)) || !IsEqualGUID(id, clsid)) continue;
    return ReadConfig(std::wstring(name, len), config);
  }
}

// ------------------------------------------------------------------ samples

struct TTypeInfo {
  std::uint32_t Bytes;  // 0: not a type of the table
  bool bMsb;
  bool bFloat;
  int Shift;  // where a 16-bit value sits in an integer sample
};

TTypeInfo TypeInfo(long type) {
  switch (type) {
    case 0: return {2, true, false, 0};
    case 1: return {3, true, false, 8};
    case 2: return {4, true, false, 16};
    case 3: return {4, true, true, 0};
    case 4: return {8, true, true, 0};
    case 8: return {4, true, false, 0};
    case 9: return {4, true, false, 2};
    case 10: return {4, true, false, 4};
    case 11: return {4, true, false, 8};
    case 16: return {2, false, false, 0};
    case 17: return {3, false, false, 8};
    case 18: return {4, false, false, 16};
    case 19: return {4, false, true, 0};
    case 20: return {8, false, true, 0};
    case 24: return {4, false, false, 0};
    case 25: return {4, false, false, 2};
    case 26: return {4, false, false, 4};
    case 27: return {4, false, false, 8};
    default: return {4, false, false, 16};  // unknown: still 4 bytes a sample in our buffers
  }
}

// The 16-bit sawtooth value of input channel k at frame n.
std::int16_t Sawtooth(std::int64_t n, long k) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>((static_cast<std::uint64_t>(n) * 64u *
                                                               static_cast<std::uint64_t>(k + 1)) & 0xFFFFu));
}

void PutSample(std::uint8_t* p, const TTypeInfo& t, std::int16_t s) {
  std::uint8_t le[8];
  if (t.bFloat && t.Bytes == 4) {
    const float f = s / 32768.0f;
    std::memcpy(le, &f, 4);
  } else if (t.bFloat) {
    const double d = s / 32768.0;
    std::memcpy(le, &d, 8);
  } else {
    const std::uint32_t v = static_cast<std::uint32_t>(static_cast<std::int32_t>(s) * (1 << t.Shift));
    for (std::uint32_t b = 0; b < 4; ++b) le[b] = static_cast<std::uint8_t>(v >> (8 * b));
  }
  for (std::uint32_t b = 0; b < t.Bytes; ++b) p[b] = t.bMsb ? le[t.Bytes - 1 - b] : le[b];
}

// ------------------------------------------------------------------ WAV

// A WAV file that stays valid after every append: the sizes in the header are rewritten each time.
// An existing file of the same format is continued; anything else is started afresh.
class TWavFile {
 public:
  ~TWavFile() { Close(); }

  bool Open(const std::wstring& path, std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
            std::uint16_t bytes) {
    Close();
    FBlock = static_cast<std::uint32_t>(channels) * bytes;
    std::uint8_t fmt[16];
    Put16(fmt, tag);
    Put16(fmt + 2, channels);
    Put32(fmt + 4, rate);
    Put32(fmt + 8, rate * FBlock);
    Put16(fmt + 12, static_cast<std::uint16_t>(FBlock));
    Put16(fmt + 14, static_cast<std::uint16_t>(bytes * 8));
    FFile = _wfopen(path.c_str(), L"r+b");
    if (FFile && Continue(fmt)) return true;
    if (FFile) std::fclose(FFile);
    FFile = _wfopen(path.c_str(), L"w+b");
    if (!FFile) return false;
    std::uint8_t header[44];
    std::memcpy(header, "RIFF", 4);
    Put32(header + 4, 36);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    Put32(header + 16, 16);
    std::memcpy(header + 20, fmt, 16);
    std::memcpy(header + 36, "data", 4);
    Put32(header + 40, 0);
    FDataSizeAt = 40;
    FDataBytes = 0;
    return std::fwrite(header, 1, 44, FFile) == 44 && std::fflush(FFile) == 0;
  }

  void Append(const std::vector<std::uint8_t>& frames) {
    if (!FFile || frames.empty()) return;
    std::fseek(FFile, 0, SEEK_END);
    std::fwrite(frames.data(), 1, frames.size(), FFile);
    FDataBytes += static_cast<std::uint32_t>(frames.size());
    std::uint8_t size[4];
    Put32(size, FDataBytes);
    std::fseek(FFile, static_cast<long>(FDataSizeAt), SEEK_SET);
    std::fwrite(size, 1, 4, FFile);
    Put32(size, FDataSizeAt + 4 + FDataBytes - 8);
    std::fseek(FFile, 4, SEEK_SET);
    std::fwrite(size, 1, 4, FFile);
    std::fflush(FFile);
  }

  void Close() {
    if (FFile) std::fclose(FFile);
    FFile = nullptr;
  }

 private:
  static void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
  }
  static void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int b = 0; b < 4; ++b) p[b] = static_cast<std::uint8_t>(v >> (8 * b));
  }
  static std::uint32_t Get32(const std::uint8_t* p) {
    return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
  }

  // An existing file whose format chunk matches and whose data chunk ends the file.
  bool Continue(const std::uint8_t* fmt) {
    std::uint8_t riff[12];
    if (std::fread(riff, 1, 12, FFile) != 12 || std::memcmp(riff, "RIFF", 4) || std::memcmp(riff + 8, "WAVE", 4))
      return false;
    bool bFormat = false;
    for (;;) {
      std::uint8_t chunk[8];
      const long at = std::ftell(FFile);
      if (std::fread(chunk, 1, 8, FFile) != 8) return false;
      const std::uint32_t size = Get32(chunk + 4);
      if (!std::memcmp(chunk, "fmt ", 4)) {
        std::uint8_t body[16];
        if (size < 16 || std::fread(body, 1, 16, FFile) != 16 || std::memcmp(body, fmt, 16)) return false;
        bFormat = true;
        std::fseek(FFile, at + 8 + static_cast<long>(size + (size & 1)), SEEK_SET);
      } else if (!std::memcmp(chunk, "data", 4)) {
        std::fseek(FFile, 0, SEEK_END);
        if (!bFormat || std::ftell(FFile) != at + 8 + static_cast<long>(size) || size % FBlock) return false;
        FDataSizeAt = static_cast<std::uint32_t>(at + 4);
        FDataBytes = size;
        return true;
      } else {
        std::fseek(FFile, at + 8 + static_cast<long>(size + (size & 1)), SEEK_SET);
      }
    }
  }

  std::FILE* FFile = nullptr;
  std::uint32_t FBlock = 0, FDataSizeAt = 0, FDataBytes = 0;
};

// ------------------------------------------------------------------ the driver

constexpr TASIOError KOk = portwise::ASE_OK;

class TTestDriver final : public IASIO {
 public:
  TTestDriver(const CLSID& clsid, TConfig config) : FClsid(clsid), F(std::move(config)), FRate(F.Rate) {
    ++gObjects;
  }

  // IUnknown. A host asks for the driver's own class id as the interface.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, FClsid)) {
      *object = static_cast<IASIO*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++FRefs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = --FRefs;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  TASIOBool PW_ASIO_METHOD init(void*) override {
    Log("init");
    if (F.bInitFails || F.Fail.count("init")) {
      FError = "Portwise test driver: init refused by its configuration";
      return 0;
    }
    FInitOk = true;
    return 1;
  }
  void PW_ASIO_METHOD getDriverName(char* name) override { CopyText(name, 32, F.DriverName); }
  std::int32_t PW_ASIO_METHOD getDriverVersion() override { return static_cast<std::int32_t>(F.Version); }
  void PW_ASIO_METHOD getErrorMessage(char* text) override { CopyText(text, 124, FError); }

  TASIOError PW_ASIO_METHOD start() override {
    if (TASIOError e = Check("start")) return e;
    std::unique_lock lk(FMutex);
    if (!FCallbacks) return Result("start", portwise::ASE_InvalidMode);
    if (FRunning) return Result("start", KOk);
    FRunning = true;
    FPosition = 0;
    FSwitches = 0;
    FStart = std::chrono::steady_clock::now();
    OpenWav();
    lk.unlock();
    Result("start", KOk);
    // The first half is asked for from inside start, on the caller's thread.
    Switch(0);
    lk.lock();
    if (FRunning) FThread = std::thread([this] { Run(); });
    return KOk;
  }

  TASIOError PW_ASIO_METHOD stop() override {
    if (TASIOError e = Check("stop")) return e;
    StopThread();
    return Result("stop", KOk);
  }

  TASIOError PW_ASIO_METHOD getChannels(std::int32_t* numIn, std::int32_t* numOut) override {
    if (TASIOError e = Check("getChannels")) return e;
    if (!numIn || !numOut) return Result("getChannels", portwise::ASE_InvalidParameter);
    *numIn = static_cast<std::int32_t>(F.Inputs);
    *numOut = static_cast<std::int32_t>(F.Outputs);
    return Result("getChannels", KOk);
  }

  TASIOError PW_ASIO_METHOD getLatencies(std::int32_t* in, std::int32_t* out) override {
    if (TASIOError e = Check("getLatencies")) return e;
    if (!in || !out) return Result("getLatencies", portwise::ASE_InvalidParameter);
    *in = static_cast<std::int32_t>(F.InputLatency);
    *out = static_cast<std::int32_t>(F.OutputLatency);
    return Result("getLatencies", KOk);
  }

  TASIOError PW_ASIO_METHOD getBufferSize(std::int32_t* mn, std::int32_t* mx, std::int32_t* pref,
                                          std::int32_t* gran) override {
    if (TASIOError e = Check("getBufferSize")) return e;
    if (!mn || !mx || !pref || !gran) return Result("getBufferSize", portwise::ASE_InvalidParameter);
    *mn = static_cast<std::int32_t>(F.BufferMin);
    *mx = static_cast<std::int32_t>(F.BufferMax);
    *pref = static_cast<std::int32_t>(F.BufferPreferred);
    *gran = static_cast<std::int32_t>(F.BufferGranularity);
    return Result("getBufferSize", KOk);
  }

  TASIOError PW_ASIO_METHOD canSampleRate(TASIOSampleRate rate) override {
    if (TASIOError e = Check("canSampleRate")) return e;
    return Result("canSampleRate", rate == FRate || (F.bAnyRate && rate > 0) ? KOk : portwise::ASE_NoClock);
  }

  TASIOError PW_ASIO_METHOD getSampleRate(TASIOSampleRate* rate) override {
    if (TASIOError e = Check("getSampleRate")) return e;
    if (!rate) return Result("getSampleRate", portwise::ASE_InvalidParameter);
    *rate = FRate;
    return Result("getSampleRate", KOk);
  }

  TASIOError PW_ASIO_METHOD setSampleRate(TASIOSampleRate rate) override {
    if (TASIOError e = Check("setSampleRate")) return e;
    if (!(rate == FRate || (F.bAnyRate && rate > 0))) return Result("setSampleRate", portwise::ASE_NoClock);
    std::lock_guard g(FMutex);
    if (FRunning) return Result("setSampleRate", portwise::ASE_InvalidMode);
    FRate = rate;
    return Result("setSampleRate", KOk);
  }

  TASIOError PW_ASIO_METHOD getClockSources(TASIOClockSource* clocks, std::int32_t* count) override {
    if (TASIOError e = Check("getClockSources")) return e;
    if (!clocks || !count) return Result("getClockSources", portwise::ASE_InvalidParameter);
    const std::int32_t n = static_cast<std::int32_t>(F.ClockSources) < *count ? static_cast<std::int32_t>(F.ClockSources)
                                                                             : *count;
    for (std::int32_t i = 0; i < n; ++i) {
      clocks[i] = TASIOClockSource{};
      clocks[i].index = i;
      clocks[i].associatedChannel = -1;
      clocks[i].associatedGroup = -1;
      clocks[i].isCurrentSource = i == FClock;
      CopyText(clocks[i].name, 32, i == 0 ? "Internal" : "External " + std::to_string(i));
    }
    *count = n;
    return Result("getClockSources", KOk);
  }

  TASIOError PW_ASIO_METHOD setClockSource(std::int32_t reference) override {
    if (TASIOError e = Check("setClockSource")) return e;
    if (reference < 0 || reference >= F.ClockSources) return Result("setClockSource", portwise::ASE_InvalidParameter);
    FClock = reference;
    return Result("setClockSource", KOk);
  }

  // Called from the host's buffer switch: not logged, it comes every half-buffer.
  TASIOError PW_ASIO_METHOD getSamplePosition(TASIOSamples* position, TASIOTimeStamp* stamp) override {
    if (!FInitOk) return portwise::ASE_NotPresent;
    if (auto it = F.Fail.find("getSamplePosition"); it != F.Fail.end()) return static_cast<TASIOError>(it->second);
    if (!position || !stamp) return portwise::ASE_InvalidParameter;
    if (!FRunning) return portwise::ASE_SPNotAdvancing;
    *position = portwise::Int64ToAsio(FSwitchPosition.load());
    *stamp = portwise::Int64ToAsio(FSwitchTime.load());
    return KOk;
  }

  TASIOError PW_ASIO_METHOD getChannelInfo(TASIOChannelInfo* info) override {
    if (TASIOError e = Check("getChannelInfo")) return e;
    if (!info) return Result("getChannelInfo", portwise::ASE_InvalidParameter);
    const bool input = info->isInput != 0;
    const long count = input ? F.Inputs : F.Outputs;
    if (info->channel < 0 || info->channel >= count) return Result("getChannelInfo", portwise::ASE_InvalidParameter);
    const std::vector<std::string>& names = input ? F.InputNames : F.OutputNames;
    const auto k = static_cast<std::size_t>(info->channel);
    const std::string name = k < names.size() && !names[k].empty()
                                 ? names[k]
                                 : (input ? "In " : "Out ") + std::to_string(info->channel + 1);
    std::lock_guard g(FMutex);
    info->isActive = Find(input, info->channel) != nullptr;
    info->channelGroup = 0;
    info->type = static_cast<TASIOSampleType>(input ? F.InputType : F.OutputType);
    CopyText(info->name, 32, name);
    return Result("getChannelInfo", KOk);
  }

  TASIOError PW_ASIO_METHOD createBuffers(TASIOBufferInfo* infos, std::int32_t count, std::int32_t size,
                                          TASIOCallbacks* callbacks) override {
    if (TASIOError e = Check("createBuffers")) return e;
    if (count < 0 || (count > 0 && !infos) || !callbacks) return Result("createBuffers", portwise::ASE_InvalidParameter);
    if (!ValidSize(size)) return Result("createBuffers", portwise::ASE_InvalidMode);
    for (std::int32_t i = 0; i < count; ++i) {
      const long limit = infos[i].isInput ? F.Inputs : F.Outputs;
      if (infos[i].channelNum < 0 || infos[i].channelNum >= limit) return Result("createBuffers", portwise::ASE_InvalidParameter);
    }
    StopThread();
    {
      std::lock_guard g(FMutex);
      FChannels.clear();
      for (std::int32_t i = 0; i < count; ++i) {
        TChannel c;
        c.bInput = infos[i].isInput != 0;
        c.Number = infos[i].channelNum;
        c.Type = TypeInfo(c.bInput ? F.InputType : F.OutputType);
        for (auto& half : c.Halves) half.assign(static_cast<std::size_t>(size) * c.Type.Bytes, 0);
        FChannels.push_back(std::move(c));
      }
      for (std::int32_t i = 0; i < count; ++i) {
        infos[i].buffers[0] = FChannels[static_cast<std::size_t>(i)].Halves[0].data();
        infos[i].buffers[1] = FChannels[static_cast<std::size_t>(i)].Halves[1].data();
      }
      FBufferSize = size;
      FCallbacks = callbacks;
    }
    // Like real drivers: ask whether the host takes time information with its buffer switches.
    FUseTimeInfo = F.TimeInfo != 0 &&
                   callbacks->asioMessage(portwise::kAsioSelectorSupported, portwise::kAsioSupportsTimeInfo, nullptr,
                                          nullptr) == 1 &&
                   callbacks->asioMessage(portwise::kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1;
    return Result("createBuffers", KOk);
  }

  TASIOError PW_ASIO_METHOD disposeBuffers() override {
    if (TASIOError e = Check("disposeBuffers")) return e;
    StopThread();
    std::lock_guard g(FMutex);
    if (!FCallbacks) return Result("disposeBuffers", portwise::ASE_InvalidMode);
    FChannels.clear();
    FCallbacks = nullptr;
    return Result("disposeBuffers", KOk);
  }

  TASIOError PW_ASIO_METHOD controlPanel() override {
    if (TASIOError e = Check("controlPanel")) return e;
    if (!F.PanelCountPath.empty()) {
      long count = 0;
      if (std::FILE* in = _wfopen(F.PanelCountPath.c_str(), L"rb")) {
        if (std::fscanf(in, "%ld", &count) != 1) count = 0;
        std::fclose(in);
      }
      if (std::FILE* out = _wfopen(F.PanelCountPath.c_str(), L"wb")) {
        std::fprintf(out, "%ld\n", count + 1);
        std::fclose(out);
      }
    }
    return Result("controlPanel", KOk);
  }

  TASIOError PW_ASIO_METHOD future(std::int32_t selector, void*) override {
    if (TASIOError e = Check("future")) return e;
    (void)selector;
    return Result("future", portwise::ASE_InvalidParameter);
  }

  // Called after every buffer switch by a host that uses it: not logged.
  TASIOError PW_ASIO_METHOD outputReady() override {
    if (!FInitOk) return portwise::ASE_NotPresent;
    if (auto it = F.Fail.find("outputReady"); it != F.Fail.end()) return static_cast<TASIOError>(it->second);
    if (!F.bOutputReady) return portwise::ASE_NotPresent;
    ++FOutputReadyCalls;
    return KOk;
  }

 private:
  struct TChannel {
    bool bInput = false;
    std::int32_t Number = 0;
    TTypeInfo Type{};
    std::vector<std::uint8_t> Halves[2];
  };

  ~TTestDriver() {
    StopThread();
    --gObjects;
  }

  // An injected failure, or no driver behind a failed init: the result to return at once, else 0.
  TASIOError Check(const char* method) {
    if (!FInitOk) return Result(method, portwise::ASE_NotPresent);
    auto it = F.Fail.find(method);
    if (it != F.Fail.end()) {
      FError = std::string("Portwise test driver: ") + method + " fails by its configuration";
      return Result(method, static_cast<TASIOError>(it->second));
    }
    return KOk;
  }

  TASIOError Result(const char* method, TASIOError code) {
    Log(std::string(method) + " -> " + std::to_string(code));
    return code;
  }

  void Log(const std::string& line) {
    if (F.CallLogPath.empty()) return;
    std::lock_guard g(FLogMutex);
    if (std::FILE* f = _wfopen(F.CallLogPath.c_str(), L"ab")) {
      std::fprintf(f, "%s\n", line.c_str());
      std::fclose(f);
    }
  }

  bool ValidSize(std::int32_t size) const {
    if (size < F.BufferMin || size > F.BufferMax) return false;
    if (F.BufferGranularity == -1) return (size & (size - 1)) == 0;
    if (F.BufferGranularity > 1) return (size - F.BufferMin) % F.BufferGranularity == 0;
    return F.BufferGranularity != 0 || size == F.BufferPreferred || F.BufferMin == F.BufferMax;
  }

  TChannel* Find(bool input, std::int32_t number) {
    for (TChannel& c : FChannels)
      if (c.bInput == input && c.Number == number) return &c;
    return nullptr;
  }

  void OpenWav() {
    if (F.WavPath.empty() || F.Outputs == 0) return;
    const TTypeInfo t = TypeInfo(F.OutputType);
    FWav.Open(F.WavPath, t.bFloat ? 3 : 1, static_cast<std::uint16_t>(F.Outputs), static_cast<std::uint32_t>(FRate),
              static_cast<std::uint16_t>(t.Bytes));
  }

  // One half-buffer: inputs filled, the host called, the outputs it wrote appended to the file.
  void Switch(int index) {
    const std::int64_t position = FPosition;
    const auto half = static_cast<std::size_t>(index);
    for (TChannel& c : FChannels) {
      if (!c.bInput) continue;
      std::uint8_t* p = c.Halves[half].data();
      for (std::int32_t i = 0; i < FBufferSize; ++i, p += c.Type.Bytes) PutSample(p, c.Type, Sawtooth(position + i, c.Number));
    }
    FSwitchPosition = position;
    FSwitchTime = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    if (FUseTimeInfo) {
      TASIOTime time{};
      time.timeInfo.speed = 1.0;
      time.timeInfo.samplePosition = portwise::Int64ToAsio(position);
      time.timeInfo.systemTime = portwise::Int64ToAsio(FSwitchTime);
      time.timeInfo.sampleRate = FRate;
      time.timeInfo.flags = portwise::kSystemTimeValid | portwise::kSamplePositionValid;
      FCallbacks->bufferSwitchTimeInfo(&time, index, 1);
    } else {
      FCallbacks->bufferSwitch(index, 1);
    }
    if (F.Outputs > 0) {
      const TTypeInfo t = TypeInfo(F.OutputType);
      std::vector<std::uint8_t> frames(static_cast<std::size_t>(FBufferSize) * static_cast<std::size_t>(F.Outputs) * t.Bytes, 0);
      for (const TChannel& c : FChannels) {
        if (c.bInput) continue;
        const std::uint8_t* src = c.Halves[half].data();
        for (std::int32_t i = 0; i < FBufferSize; ++i, src += t.Bytes) {
          std::uint8_t* dst = frames.data() + (static_cast<std::size_t>(i) * static_cast<std::size_t>(F.Outputs) +
                                               static_cast<std::size_t>(c.Number)) * t.Bytes;
          for (std::uint32_t b = 0; b < t.Bytes; ++b) dst[b] = t.bMsb ? src[t.Bytes - 1 - b] : src[b];
        }
      }
      FWav.Append(frames);
    }
    FPosition = position + FBufferSize;
    if (++FSwitches == F.ResetAfter) FCallbacks->asioMessage(portwise::kAsioResetRequest, 0, nullptr, nullptr);
  }

  // The driver's own thread: one switch per half-buffer period after the one made by start. A late
  // thread catches up at once but never runs more than a period ahead.
  void Run() {
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(static_cast<double>(FBufferSize) / FRate));
    auto next = FStart + period;
    int index = 1;
    std::unique_lock lk(FMutex);
    for (;;) {
      FWake.wait_until(lk, next, [this] { return !FRunning; });
      if (!FRunning) break;
      if (std::chrono::steady_clock::now() < next) continue;
      lk.unlock();
      Switch(index);
      lk.lock();
      index ^= 1;
      next += period;
      if (std::chrono::steady_clock::now() - next > 50 * period) next = std::chrono::steady_clock::now();
    }
  }

  void StopThread() {
    std::thread thread;
    {
      std::lock_guard g(FMutex);
      FRunning = false;
      thread = std::move(FThread);
    }
    FWake.notify_all();
    if (thread.joinable()) {
      if (thread.get_id() == std::this_thread::get_id()) thread.detach();  // stop from inside a switch
      else thread.join();
    }
    FWav.Close();
  }

  const CLSID FClsid;
  const TConfig F;
  std::atomic<long> FRefs{1};
  bool FInitOk = false;
  std::string FError;
  TASIOSampleRate FRate;
  std::int32_t FClock = 0;

  std::mutex FMutex, FLogMutex;
  std::condition_variable FWake;
  std::vector<TChannel> FChannels;
  std::int32_t FBufferSize = 0;
  TASIOCallbacks* FCallbacks = nullptr;
  bool FUseTimeInfo = false;
  std::atomic<bool> FRunning{false};
  std::thread FThread;
  std::chrono::steady_clock::time_point FStart;
  std::int64_t FPosition = 0;
  long FSwitches = 0;
  std::atomic<std::int64_t> FSwitchPosition{0}, FSwitchTime{0};
  std::atomic<long> FOutputReadyCalls{0};
  TWavFile FWav;
};

// ------------------------------------------------------------------ class factory

class TFactory final : public IClassFactory {
 public:
  explicit TFactory(const CLSID& clsid) : FClsid(clsid) { ++gObjects; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++FRefs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = --FRefs;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    TConfig config;
    if (!FindConfig(FClsid, config)) return CLASS_E_CLASSNOTAVAILABLE;
    auto* driver = new TTestDriver(FClsid, std::move(config));
    const HRESULT hr = driver->QueryInterface(riid, object);
    driver->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) ++gLocks;
    else --gLocks;
    return S_OK;
  }

 private:
  ~TFactory() { --gObjects; }
  const CLSID FClsid;
  std::atomic<long> FRefs{1};
};

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  TConfig config;
  if (!FindConfig(clsid, config)) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new TFactory(clsid);
  const HRESULT hr = factory->QueryInterface(riid, object);
  factory->Release();
  return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return gObjects == 0 && gLocks == 0 ? S_OK : S_FALSE; }

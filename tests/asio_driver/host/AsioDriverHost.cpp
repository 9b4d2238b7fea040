// Proves a registered ASIO driver from the outside, the way the device uses one: finds its class id
// under Software\ASIO, creates it through COM asking for the class id as the interface, and drives
// it through the calls of a short run with a callback slot of the process's table:
// init, getChannels, getChannelInfo, getBufferSize, getSampleRate, createBuffers, start, about half
// a second of buffer switches, stop, disposeBuffers, controlPanel, Release.
//
// With the project's test driver (tests/asio_driver) it also checks what that driver promises: the
// first switch comes from inside start on this thread and the rest from the driver's thread at the
// half-buffer rate; the inputs carry its sawtooth; and the WAV file holds, frame for frame, what
// this host wrote into the output halves.
//
//   portwise_asio_host NAME [--inputs N] [--outputs N] [--type CODE] [--wav PATH]
//                      [--panel-count PATH] [--expect-init-fails] [--expect-fail METHOD=CODE]
//
// PATHs are as this program sees them (Windows paths). Prints one line per check; exit code 0 when
// every check passed.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "asio/ALASIOCallbackEntries.h"
#include "asio/ALASIOConvert.h"
#include "asio/ASIOInterface.h"
#include "platform/RefPtr.h"
#include "platform/win32/Win32Com.h"

namespace portwise {
namespace {

using Clock = std::chrono::steady_clock;

int gFailures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++gFailures;
}

struct TOptions {
  std::string Name;
  long Inputs = -1, Outputs = -1, Type = -1;
  std::string WavPath, PanelCountPath;
  bool bInitFails = false;
  std::string FailMethod;
  long FailCode = 0;
};

// Where the test driver puts a 16-bit value in an integer sample of each type (buffer bits / 8).
int Shift(TASIOSampleType type) {
  switch (type) {
    case 1: case 17: case 11: case 27: return 8;
    case 2: case 18: case 3: case 19: case 4: case 20: return 16;
    case 9: case 25: return 2;
    case 10: case 26: return 4;
    default: return 0;
  }
}

// The test driver's input sawtooth, and what this host plays on output channel j.
std::int16_t InputValue(std::int64_t n, std::int32_t k) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>((static_cast<std::uint64_t>(n) * 64u * static_cast<std::uint64_t>(k + 1)) & 0xFFFFu));
}
std::int16_t OutputValue(std::int64_t n, std::int32_t j) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>((static_cast<std::uint64_t>(n) * 32u * static_cast<std::uint64_t>(j + 1) + 1000u * static_cast<std::uint64_t>(j)) & 0xFFFFu));
}

// A buffer-width sample holding a 16-bit value as the type carries it.
void PutBufferSample(std::uint8_t* p, std::uint32_t bytes, std::int32_t value) {
  for (std::uint32_t b = 0; b < bytes; ++b) p[b] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (8 * b));
}
std::int32_t GetBufferSample(const std::uint8_t* p, std::uint32_t bytes) {
  std::uint32_t v = 0;
  for (std::uint32_t b = 0; b < bytes; ++b) v |= std::uint32_t{p[b]} << (8 * b);
  if (bytes < 4 && (v >> (8 * bytes - 1)) & 1u) v |= ~0u << (8 * bytes);
  return static_cast<std::int32_t>(v);
}

class THost final : public IALASIOCallbackTarget {
 public:
  THost(IASIO* driver, std::int32_t numInputs, std::vector<TASIOBufferInfo>& infos, std::vector<TASIOChannelInfo>& channels,
        std::int32_t frames, bool postOutput)
      : FDriver(driver), FNumInputs(numInputs), FInfos(infos), FChannels(channels), FFrames(frames),
        FPostOutput(postOutput) {}

  void ASIOBufferSwitch(std::int32_t index, TASIOBool) override { OnSwitch(index, nullptr); }
  void ASIOSampleRateDidChange(TASIOSampleRate) override {}
  std::int32_t ASIOMessage(std::int32_t selector, std::int32_t value, void*, double*) override {
    switch (selector) {
      case kAsioSelectorSupported:
        return value == 2 || value == 3 || value == 5 || value == 6 || value == 7 || value == 8 || value == 10;
      case kAsioEngineVersion: return 2;
      case kAsioResetRequest: ++FResets; return 1;
      case kAsioResyncRequest:
      case kAsioLatenciesChanged:
      case kAsioSupportsTimeInfo: return 1;
      default: return 0;
    }
  }
  TASIOTime* ASIOBufferSwitchTimeInfo(TASIOTime* params, std::int32_t index, TASIOBool) override {
    ++FTimeInfoSwitches;
    OnSwitch(index, params);
    return nullptr;
  }

  std::atomic<bool> bInStart{false};
  std::atomic<int> FResets{0}, FTimeInfoSwitches{0};

  struct TSwitch {
    Clock::time_point Time;
    std::thread::id Thread;
    bool bInStart;
    int Index;
  };
  std::vector<TSwitch> Switches() {
    std::lock_guard g(FMutex);
    return FSwitches;
  }
  std::vector<std::string> Problems() {
    std::lock_guard g(FMutex);
    return FProblems;
  }

 private:
  void Problem(const std::string& text) {
    std::lock_guard g(FMutex);
    if (FProblems.size() < 10) FProblems.push_back(text);
  }

  void OnSwitch(std::int32_t index, TASIOTime* params) {
    std::int64_t cycle;
    {
      std::lock_guard g(FMutex);
      cycle = static_cast<std::int64_t>(FSwitches.size());
      FSwitches.push_back({Clock::now(), std::this_thread::get_id(), bInStart.load(), index});
    }
    const std::int64_t first = cycle * FFrames;
    if (index != (cycle % 2 == 0 ? 0 : 1)) Problem("switch " + std::to_string(cycle) + " asked for half " + std::to_string(index));
    if (params && AsioToInt64(params->timeInfo.samplePosition) != first)
      Problem("switch " + std::to_string(cycle) + " at sample position " +
              std::to_string(AsioToInt64(params->timeInfo.samplePosition)) + ", expected " + std::to_string(first));
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(FFrames) * 4);
    for (const TASIOBufferInfo& info : FInfos) {
      const TASIOChannelInfo& channel = FChannels[static_cast<std::size_t>(info.isInput ? info.channelNum : FNumInputs + info.channelNum)];
      const TASIOSampleType type = channel.type;
      const std::uint32_t bytes = ALASIOBufferBits(type) / 8;
      void* half = info.buffers[index & 1];
      if (!bytes || !half) continue;
      if (info.isInput) {
        ALASIOConvertInput(type, half, buffer.data(), static_cast<std::uint32_t>(FFrames));
        for (std::int32_t i = 0; i < FFrames; ++i) {
          const std::int16_t value = InputValue(first + i, info.channelNum);
          // A 64-bit float scales by 2^31 - 1, so its result is not a plain shift of the value.
          const std::int32_t want = (type == 4 || type == 20) ? ALReferenceFloat64ToInt32(value / 32768.0)
                                                              : value * (1 << Shift(type));
          const std::int32_t got = GetBufferSample(buffer.data() + static_cast<std::size_t>(i) * bytes, bytes);
          if (got != want) {
            Problem("input " + std::to_string(info.channelNum) + " frame " + std::to_string(first + i) + ": " +
                    std::to_string(got) + ", expected " + std::to_string(want));
            break;
          }
        }
      } else {
        for (std::int32_t i = 0; i < FFrames; ++i)
          PutBufferSample(buffer.data() + static_cast<std::size_t>(i) * bytes, bytes,
                          OutputValue(first + i, info.channelNum) * (1 << Shift(type)));
        ALASIOConvertOutput(type, buffer.data(), half, static_cast<std::uint32_t>(FFrames));
      }
    }
    if (FPostOutput) FDriver->outputReady();
  }

  IASIO* FDriver;
  std::int32_t FNumInputs;
  std::vector<TASIOBufferInfo>& FInfos;
  std::vector<TASIOChannelInfo>& FChannels;
  std::int32_t FFrames;
  bool FPostOutput;
  std::mutex FMutex;
  std::vector<TSwitch> FSwitches;
  std::vector<std::string> FProblems;
};

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// The WAV holds, for every switch, one half-buffer per driver output channel: what the host wrote.
void CheckWav(const TOptions& o, std::int32_t numOutputs, const std::vector<TASIOBufferInfo>& infos,
              const std::vector<TASIOChannelInfo>& channels, std::int32_t numInputs, std::size_t switches,
              std::int32_t frames, double rate) {
  std::ifstream in(o.WavPath, std::ios::binary);
  const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Check(file.size() >= 44 && !std::memcmp(file.data(), "RIFF", 4) && !std::memcmp(file.data() + 8, "WAVE", 4),
        "the WAV file " + o.WavPath + " exists and is a RIFF/WAVE file (" + std::to_string(file.size()) + " bytes)");
  if (file.size() < 44) return;
  Check(Le32(file.data() + 4) + 8 == file.size(), "the RIFF size covers the file");
  std::size_t at = 12;
  const std::uint8_t* fmt = nullptr;
  const std::uint8_t* data = nullptr;
  std::uint32_t dataBytes = 0;
  while (at + 8 <= file.size()) {
    const std::uint32_t size = Le32(file.data() + at + 4);
    if (!std::memcmp(file.data() + at, "fmt ", 4)) fmt = file.data() + at + 8;
    if (!std::memcmp(file.data() + at, "data", 4)) {
      data = file.data() + at + 8;
      dataBytes = size;
    }
    at += 8 + size + (size & 1);
  }
  Check(fmt && data && data + dataBytes <= file.data() + file.size(), "the WAV file has its format and data chunks");
  if (!fmt || !data || data + dataBytes > file.data() + file.size()) return;
  const TASIOSampleType type = channels[static_cast<std::size_t>(numInputs)].type;
  const std::uint32_t bytes = ALASIODriverSampleBytes(type);
  const bool isFloat = type == 3 || type == 4 || type == 19 || type == 20;
  Check(Le16(fmt) == (isFloat ? 3 : 1) && Le16(fmt + 2) == numOutputs && Le32(fmt + 4) == static_cast<std::uint32_t>(rate) &&
            Le16(fmt + 14) == bytes * 8,
        "the WAV format is " + std::to_string(numOutputs) + " channels of " + std::to_string(bytes * 8) + "-bit " +
            (isFloat ? "float" : "PCM") + " at " + std::to_string(static_cast<long>(rate)) + " Hz");
  const std::size_t expectedFrames = switches * static_cast<std::size_t>(frames);
  const std::size_t block = static_cast<std::size_t>(numOutputs) * bytes;
  Check(dataBytes == expectedFrames * block, "the WAV file holds " + std::to_string(dataBytes / (block ? block : 1)) +
                                                 " frames: one half-buffer per switch (" + std::to_string(expectedFrames) + ")");
  // Expected bytes: the host's samples in the little-endian variant of the type.
  const TASIOSampleType le = type < 16 ? type + 16 : type;
  const std::uint32_t bufferBytes = ALASIOBufferBits(type) / 8;
  std::size_t wrong = 0;
  for (const TASIOBufferInfo& info : infos) {
    if (info.isInput) continue;
    std::vector<std::uint8_t> src(bufferBytes), want(bytes);
    for (std::size_t n = 0; n < expectedFrames && n * block < dataBytes; ++n) {
      PutBufferSample(src.data(), bufferBytes, OutputValue(static_cast<std::int64_t>(n), info.channelNum) * (1 << Shift(type)));
      ALASIOConvertOutput(le, src.data(), want.data(), 1);
      if (std::memcmp(data + n * block + static_cast<std::size_t>(info.channelNum) * bytes, want.data(), bytes)) ++wrong;
    }
  }
  Check(wrong == 0, "every output sample in the WAV file is the one the host wrote (" + std::to_string(wrong) + " differ)");
}

int RunHost(const TOptions& o) {
  platform::win32::TWin32Com com;
  platform::win32::TWin32Registry registry;
  const HRESULT init = com.CoInitialize();
  Check(SUCCEEDED(init), "CoInitialize");

  std::string text;
  CLSID clsid{};
  const std::string key = "Software\\ASIO\\" + o.Name;
  const bool named = registry.ReadString(key, "CLSID", text) && SUCCEEDED(com.CLSIDFromString(text, &clsid));
  Check(named, "HKLM\\" + key + " names a class id (" + text + ")");
  std::string description;
  const bool described = registry.ReadString(key, "Description", description);
  Check(described, "the key has a description (" + description + ")");

  void* object = nullptr;
  const HRESULT created = com.CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object);
  Check(SUCCEEDED(created) && object, "CoCreateInstance with the class id as interface id");
  if (!object) return 1;
  TRefPtr<IASIO> driver = TRefPtr<IASIO>::Adopt(static_cast<IASIO*>(object));

  const TASIOBool initialised = driver->init(nullptr);
  char message[124] = {};
  if (o.bInitFails) {
    driver->getErrorMessage(message);
    Check(!initialised, "init fails as configured");
    Check(message[0] != 0, std::string("getErrorMessage explains it: \"") + message + "\"");
    std::int32_t ins = 0, outs = 0;
    Check(driver->getChannels(&ins, &outs) == ASE_NotPresent, "a driver that failed init answers ASE_NotPresent");
    driver.Reset();
    com.CoUninitialize();
    return gFailures ? 1 : 0;
  }
  Check(initialised != 0, "init");
  char name[32] = {};
  driver->getDriverName(name);
  const std::int32_t version = driver->getDriverVersion();
  Check(name[0] != 0, std::string("getDriverName: \"") + std::string(name, strnlen(name, 32)) + "\", version " +
                          std::to_string(version));

  std::int32_t numIn = 0, numOut = 0;
  const TASIOError counted = driver->getChannels(&numIn, &numOut);
  Check(counted == ASE_OK, "getChannels: " + std::to_string(numIn) + " in, " + std::to_string(numOut) + " out");
  if (o.Inputs >= 0) Check(numIn == o.Inputs, "input channels as configured");
  if (o.Outputs >= 0) Check(numOut == o.Outputs, "output channels as configured");

  std::vector<TASIOChannelInfo> channels(static_cast<std::size_t>(numIn + numOut));
  for (std::int32_t i = 0; i < numIn + numOut; ++i) {
    TASIOChannelInfo& c = channels[static_cast<std::size_t>(i)];
    c.channel = i < numIn ? i : i - numIn;
    c.isInput = i < numIn;
    const TASIOError e = driver->getChannelInfo(&c);
    Check(e == ASE_OK && c.name[0] && ALASIOBufferBits(c.type) != 0 && !c.isActive,
          std::string("getChannelInfo ") + (c.isInput ? "in " : "out ") + std::to_string(c.channel) + ": \"" +
              std::string(c.name, strnlen(c.name, 32)) + "\", type " + std::to_string(c.type) + ", inactive");
    if (o.Type >= 0) Check(c.type == o.Type, "sample type as configured");
  }

  std::int32_t mn = 0, mx = 0, pref = 0, gran = 0;
  const TASIOError sized = driver->getBufferSize(&mn, &mx, &pref, &gran);
  Check(sized == ASE_OK, "getBufferSize: " + std::to_string(mn) + " .. " +
                                                                  std::to_string(mx) + ", preferred " + std::to_string(pref) +
                                                                  ", granularity " + std::to_string(gran));
  double rate = 0;
  const TASIOError rated = driver->getSampleRate(&rate);
  Check(rated == ASE_OK && rate > 0, "getSampleRate: " + std::to_string(rate));
  Check(driver->canSampleRate(rate) == ASE_OK, "canSampleRate of the current rate");
  const bool postOutput = driver->outputReady() == ASE_OK;
  std::printf("     outputReady %s\n", postOutput ? "supported" : "not supported");

  std::vector<TASIOBufferInfo> infos;
  for (std::int32_t i = 0; i < numIn; ++i) infos.push_back({1, i, {nullptr, nullptr}});
  for (std::int32_t j = 0; j < numOut; ++j) infos.push_back({0, j, {nullptr, nullptr}});
  THost host(driver.Get(), numIn, infos, channels, pref, postOutput);
  TASIOCallbacks* callbacks = nullptr;
  const int slot = ALASIOCallbackEntries::Bind(&host, &callbacks);
  Check(slot >= 0 && callbacks, "a callback slot of the table: " + std::to_string(slot));

  const TASIOError createdBuffers = driver->createBuffers(infos.data(), static_cast<std::int32_t>(infos.size()), pref, callbacks);
  Check(createdBuffers == ASE_OK, "createBuffers: " + std::to_string(infos.size()) + " buffers of " + std::to_string(pref) + " frames");
  bool allSet = true;
  for (const auto& b : infos) allSet = allSet && b.buffers[0] && b.buffers[1] && b.buffers[0] != b.buffers[1];
  Check(allSet, "every buffer record got two halves");
  for (TASIOChannelInfo& c : channels) {
    const std::string which = std::string(c.isInput ? "in " : "out ") + std::to_string(c.channel);
    Check(driver->getChannelInfo(&c) == ASE_OK && c.isActive, "channel " + which + " is active after createBuffers");
  }

  const TASIOError startResult = [&] {
    host.bInStart = true;
    const TASIOError e = driver->start();
    host.bInStart = false;
    return e;
  }();
  if (!o.FailMethod.empty() && o.FailMethod == "start") {
    driver->getErrorMessage(message);
    Check(startResult == o.FailCode, "start fails with the configured code " + std::to_string(o.FailCode) + " (\"" +
                                         ASIOErrorText(startResult) + "\"): " + std::to_string(startResult));
    Check(host.Switches().empty(), "no buffer switch without a start");
  } else {
    Check(startResult == ASE_OK, "start");
    const auto begun = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const TASIOError stopped = driver->stop();
    const double elapsed = std::chrono::duration<double>(Clock::now() - begun).count();
    Check(stopped == ASE_OK, "stop");
    const auto switches = host.Switches();
    const double period = pref / rate;
    const double expected = 1 + elapsed / period;
    Check(switches.size() >= expected * 0.85 && switches.size() <= expected + 2,
          std::to_string(switches.size()) + " buffer switches in " + std::to_string(elapsed) + " s (about " +
              std::to_string(static_cast<long>(expected)) + " at one per " + std::to_string(period * 1000) + " ms)");
    if (!switches.empty()) {
      Check(switches[0].bInStart && switches[0].Thread == std::this_thread::get_id(),
            "the first switch came from inside start, on the calling thread");
      bool own = switches.size() > 1;
      for (std::size_t i = 1; i < switches.size(); ++i) own = own && switches[i].Thread != std::this_thread::get_id() && !switches[i].bInStart;
      Check(own, "the following switches came from the driver's own thread");
    }
    if (switches.size() > 3) {
      const double mean = std::chrono::duration<double>(switches.back().Time - switches[1].Time).count() /
                          static_cast<double>(switches.size() - 2);
      Check(mean > period * 0.9 && mean < period * 1.1,
            "the switches come at the half-buffer rate: one per " + std::to_string(mean * 1000) + " ms");
    }
    std::printf("     %d of the switches came with time information\n", host.FTimeInfoSwitches.load());
    const auto problems = host.Problems();
    for (const auto& p : problems) std::printf("     %s\n", p.c_str());
    Check(problems.empty(), "every switch asked for the right half and the inputs carried the driver's sawtooth");
    const std::size_t count = switches.size();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Check(host.Switches().size() == count, "no switch after stop");
    if (!o.WavPath.empty() && numOut > 0) CheckWav(o, numOut, infos, channels, numIn, count, pref, rate);
  }

  Check(driver->disposeBuffers() == ASE_OK, "disposeBuffers");
  ALASIOCallbackEntries::Unbind(slot);

  if (!o.PanelCountPath.empty()) {
    auto read = [&] {
      long n = 0;
      std::ifstream f(o.PanelCountPath);
      f >> n;
      return n;
    };
    const long before = read();
    const bool ok = driver->controlPanel() == ASE_OK && driver->controlPanel() == ASE_OK;
    const long after = read();
    Check(ok && after == before + 2, "controlPanel twice: the count went from " + std::to_string(before) + " to " + std::to_string(after));
  }

  driver.Reset();
  com.CoUninitialize();
  std::printf("%s\n", gFailures ? "FAILED" : "PASSED");
  return gFailures ? 1 : 0;
}

}  // namespace
}  // namespace portwise

int main(int argc, char** argv) {
  portwise::TOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--inputs") o.Inputs = std::stol(next());
    else if (a == "--outputs") o.Outputs = std::stol(next());
    else if (a == "--type") o.Type = std::stol(next());
    else if (a == "--wav") o.WavPath = next();
    else if (a == "--panel-count") o.PanelCountPath = next();
    else if (a == "--expect-init-fails") o.bInitFails = true;
    else if (a == "--expect-fail") {
      const std::string arg = next();
      const auto eq = arg.find('=');
      o.FailMethod = arg.substr(0, eq);
      o.FailCode = eq == std::string::npos ? 0 : std::stol(arg.substr(eq + 1));
    } else if (o.Name.empty()) o.Name = a;
    else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  if (o.Name.empty()) {
    std::fprintf(stderr, "usage: portwise_asio_host NAME [options]\n");
    return 2;
  }
  return portwise::RunHost(o);
}

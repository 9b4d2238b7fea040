// The ASIO device on the real Windows platform, for the Wine end-to-end harness: the main window's
// test tone through a registered ASIO driver, the way the shell plays it, and what one of the
// driver's inputs delivers meanwhile. Windows builds only; a console program that prints what it
// did, one "key: value" line per figure.
//
//   portwise_asio_tone NAME [MS]
//
// The device opens the driver registered as NAME, gets one output item per driver output channel
// and one input item per input channel; the generator (1000 Hz, amplitude 16383, 44100 Hz, 2
// channels, 16 bits, 1024 frames, pacing itself) feeds the first output item, which is driver
// output channel 0; a receiver records what input item 0 (driver input channel 0) delivers. The
// device is enabled, the generator runs for MS ms (1000) and is switched off; the device plays
// what it still holds of the tone and stops itself; then it is disabled and released.
//
// Exit status 0 when every step worked, 1 on a component's error, 2 on a bad command line.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "asio/ALASIOAudioDevice.h"
#include "core/ALAudioBuffer.h"
#include "core/LPComponent.h"
#include "core/OWOperations.h"
#include "core/OWPins.h"
#include "core/SLTypes.h"
#include "gen/ALSignalGen.h"
#include "platform/Platform.h"
#include "platform/win32/Win32Platform.h"

namespace portwise {
namespace {

using TClock = std::chrono::steady_clock;

// Waits, keeping the main thread's messages flowing (the components post work to it).
void Delay(std::uint32_t ms) {
  platform::IMessages& messages = platform::Current().Messages();
  platform::ITime& time = platform::Current().Time();
  const std::uint32_t start = time.GetTickCount();
  for (;;) {
    messages.ProcessMessages();
    const std::uint32_t elapsed = time.GetTickCount() - start;
    if (elapsed >= ms) break;
    messages.WaitMessage(ms - elapsed);
  }
  messages.ProcessMessages();
}

// A receiver that only looks: buffer count, sizes, arrival times, and the samples of 1-channel
// buffers as 32-bit values.
class TWatchSink : public TObject {
 public:
  TWatchSink()
      : FLock(TOWLock::Create()),
        FPin(this, FLock.Get(), [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
          return Handle(AOperation);
        }) {}

  TALOWAudioSinkPin& Pin() { return FPin; }
  std::size_t Buffers() { std::lock_guard g(FMutex); return FArrivals.size(); }
  std::map<std::uint32_t, std::size_t> Sizes() { std::lock_guard g(FMutex); return FSizes; }
  std::vector<TClock::time_point> Arrivals() { std::lock_guard g(FMutex); return FArrivals; }
  std::vector<std::int32_t> Samples() { std::lock_guard g(FMutex); return FSamples; }
  std::uint32_t Bits() { std::lock_guard g(FMutex); return FBits; }

 private:
  TOWNotifyResult Handle(IOWNotifyOperation* AOperation) {
    auto* op = OWOperationAs<TOWSuppliedBufferOperation>(AOperation);
    if (!op) return 0;
    PALAudioBuffer buffer = TALAudioBuffer::CreateUniversal(op->Buffer.Get());
    if (!buffer) return 0;
    const TClock::time_point now = TClock::now();
    std::lock_guard g(FMutex);
    FArrivals.push_back(now);
    ++FSizes[buffer->GetSize()];
    FBits = buffer->GetBitsPerSample();
    if (buffer->GetChannels() == 1)
      for (std::uint32_t i = 0; i < buffer->GetSize(); ++i) FSamples.push_back(buffer->GetSample(i, 0));
    return 0;
  }

  TRefPtr<TOWLock> FLock;
  TALOWAudioSinkPin FPin;
  std::mutex FMutex;
  std::vector<TClock::time_point> FArrivals;
  std::map<std::uint32_t, std::size_t> FSizes;
  std::vector<std::int32_t> FSamples;
  std::uint32_t FBits = 0;
};

// The test driver's input signal: frame n of input channel 0 holds (n * 64) mod 65536 as a signed
// 16-bit value, which a 32-bit buffer carries times 65536 (integer and float types alike).
std::int32_t Sawtooth(std::int64_t AFrame, std::uint32_t ABits) {
  const auto s = static_cast<std::int16_t>(static_cast<std::uint16_t>((static_cast<std::uint64_t>(AFrame) * 64u) & 0xFFFFu));
  return ABits == 32 ? std::int32_t{s} * 65536 : ABits == 24 ? std::int32_t{s} * 256 : s;
}

// "unbroken over N frames" or where it breaks. The sawtooth repeats every 1024 frames, each value
// once: where the first buffer starts is told by its first sample.
std::string CheckSawtooth(const std::vector<std::int32_t>& ASamples, std::uint32_t ABits, bool& AOk) {
  AOk = false;
  if (ASamples.empty()) return "no samples";
  std::int64_t first = -1;
  for (std::int64_t f = 0; f < 1024 && first < 0; ++f)
    if (Sawtooth(f, ABits) == ASamples[0]) first = f;
  if (first < 0) return "the first samples are not the sawtooth";
  for (std::size_t i = 0; i < ASamples.size(); ++i)
    if (ASamples[i] != Sawtooth(first + static_cast<std::int64_t>(i), ABits))
      return "broken at sample " + std::to_string(i) + " of " + std::to_string(ASamples.size());
  AOk = true;
  return "unbroken over " + std::to_string(ASamples.size()) + " frames (from frame " + std::to_string(first) +
         " mod 1024)";
}

int Run(const std::string& AName, std::uint32_t AToneMs) {
  bool bFailed = false;
  auto device = CreateComponent<TALASIOAudioDevice>(nullptr);
  device->SetName("ALASIOAudioDevice1");
  device->SetOnError([&](TObject*, const std::string& AText, std::int32_t ACode, bool& AHandled) {
    std::printf("error: %s (%d)\n", AText.c_str(), static_cast<int>(ACode));
    bFailed = true;
    AHandled = true;
  });
  device->SetOnWarning([](TObject*, const std::string& AText, std::int32_t ACode) {
    std::printf("warning: %s (%d)\n", AText.c_str(), static_cast<int>(ACode));
  });
  device->GetDevice().SetDeviceName(AName);
  std::printf("driver: %s\n", device->GetDriverName().c_str());
  const std::int32_t inputs = device->GetAvailableInputChannels().GetCount();
  const std::int32_t outputs = device->GetAvailableOutputChannels().GetCount();
  std::printf("inputs: %d\noutputs: %d\n", static_cast<int>(inputs), static_cast<int>(outputs));
  if (outputs < 1) {
    std::printf("error: no output channel\n");
    return 1;
  }
  std::printf("output channel: 0 (%s)\n", device->GetAvailableOutputChannels().GetItems(0)->GetName().c_str());
  for (std::int32_t i = 0; i < outputs; ++i) device->GetOutputChannels().Add();
  for (std::int32_t i = 0; i < inputs; ++i) device->GetInputChannels().Add();

  std::unique_ptr<TALSignalGen> gen = CreateComponent<TALSignalGen>(nullptr);
  gen->SetName("ALSignalGen1");
  TALAudioFormat& format = gen->GetAudioFormat();
  format.SetSampleRate(44100);
  format.SetChannels(2);
  format.SetBits(16);
  format.SetBufferSize(1024);
  gen->SetAmplitude(16383);
  gen->SetFrequency(1000.0);
  TWatchSink produced, recorded;
  gen->GetOutputPin().Connect(&device->GetOutputChannels().GetItem(0)->GetInputPin());
  gen->GetOutputPin().Connect(&produced.Pin());
  if (inputs > 0) {
    std::printf("input channel: 0 (%s)\n", device->GetAvailableInputChannels().GetItems(0)->GetName().c_str());
    device->GetInputChannels().GetItem(0)->GetOutputPin().Connect(&recorded.Pin());
  }

  device->SetEnabled(true);
  std::printf("started: %s\n", device->IsRunning() ? "yes" : "no");
  std::printf("half-buffer: %d\n", static_cast<int>(device->GetBufferSize().GetRunningSize()));
  std::printf("uses outputReady: %s\n", device->GetUsesPostOutput() ? "yes" : "no");
  std::fflush(stdout);

  gen->SetEnabled(true);
  Delay(AToneMs);
  gen->SetEnabled(false);
  // The device plays out what it queued of the tone, then stops itself.
  const TClock::time_point ended = TClock::now();
  for (int i = 0; i < 200 && device->IsRunning(); ++i) Delay(10);
  std::printf("stopped after the tone: %s (%.0f ms)\n", device->IsRunning() ? "no" : "yes",
              std::chrono::duration<double, std::milli>(TClock::now() - ended).count());
  const std::uint64_t switches = device->GetBufferSwitches();
  device->SetEnabled(false);
  std::printf("buffer switches: %llu\n", static_cast<unsigned long long>(switches));
  std::printf("buffers produced: %zu\n", produced.Buffers());

  if (inputs > 0) {
    const std::vector<TClock::time_point> arrivals = recorded.Arrivals();
    std::printf("input buffers: %zu\n", arrivals.size());
    std::string sizes;
    for (const auto& [frames, count] : recorded.Sizes())
      sizes += (sizes.empty() ? "" : ", ") + std::to_string(frames) + " x " + std::to_string(count);
    std::printf("input buffer sizes: %s\n", sizes.empty() ? "none" : sizes.c_str());
    if (arrivals.size() >= 3) {
      // The pace is the slope of a straight line through the arrival times.
      const double n = static_cast<double>(arrivals.size());
      double sumI = 0, sumT = 0, sumII = 0, sumIT = 0;
      for (std::size_t i = 0; i < arrivals.size(); ++i) {
        const double t = std::chrono::duration<double>(arrivals[i] - arrivals.front()).count();
        const double x = static_cast<double>(i);
        sumI += x, sumT += t, sumII += x * x, sumIT += x * t;
      }
      const double secondsPerBuffer = (n * sumIT - sumI * sumT) / (n * sumII - sumI * sumI);
      std::printf("input rate: %.2f\n", secondsPerBuffer > 0 ? 1.0 / secondsPerBuffer : 0.0);
    }
    bool bOk = false;
    std::printf("input bits: %u\n", static_cast<unsigned>(recorded.Bits()));
    std::printf("input signal: %s\n", CheckSawtooth(recorded.Samples(), recorded.Bits(), bOk).c_str());
    std::printf("input signal ok: %s\n", bOk ? "yes" : "no");
  }
  device.reset();
  gen.reset();
  return bFailed ? 1 : 0;
}

int Main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: portwise_asio_tone NAME [MS]\n", stderr);
    return 2;
  }
  const std::uint32_t ms = argc > 2 ? static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 1000;
  std::unique_ptr<platform::IPlatform> world = platform::win32::CreatePlatform();
  platform::TPlatformScope scope(*world);
  try {
    return Run(argv[1], ms);
  } catch (const std::exception& e) {
    std::printf("error: %s\n", e.what());
    return 1;
  }
}

}  // namespace
}  // namespace portwise

int main(int argc, char** argv) {
  const int rc = portwise::Main(argc, argv);
  std::fflush(stdout);
  return rc;
}

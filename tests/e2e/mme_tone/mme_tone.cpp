// The MME components on the real Windows platform, for the Wine end-to-end harness. Windows
// builds only; a console program that prints what it did, one "key: value" line per figure.
//
//   portwise_mme_tone play [MS]            the main window's generator (1000 Hz, amplitude 16383,
//                                          44100 Hz, 2 channels, 16 bits, 1024 frames) through an
//                                          MME output on the default device for MS ms (1000)
//   portwise_mme_tone capture [MS] [RAW]   an MME input on "Monitor of Null Output" captures for
//                                          MS ms (3000) while the same tone plays for a second in
//                                          the middle; RAW: where the captured PCM goes (s16le)
//
// Exit status 0 when every step worked, 1 on a component's error, 2 on a bad command line.
#include <algorithm>
#include <atomic>
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

#include "core/ALAudioBuffer.h"
#include "core/LPComponent.h"
#include "core/OWOperations.h"
#include "core/OWPins.h"
#include "core/SLTypes.h"
#include "gen/ALSignalGen.h"
#include "mme/ALAudioIn.h"
#include "mme/ALAudioOut.h"
#include "platform/Platform.h"
#include "platform/win32/Win32Platform.h"

namespace portwise {
namespace {

using TClock = std::chrono::steady_clock;

constexpr const char* KMonitorName = "Monitor of Null Output";
// WOM_DONE comes before the audio has left Wine's audio server: closing at once cuts the tail.
constexpr std::uint32_t KTailMs = 400;

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

void ShellFormat(TALAudioFormat& AFormat) {
  AFormat.SetSampleRate(44100);
  AFormat.SetChannels(2);
  AFormat.SetBits(16);
  AFormat.SetBufferSize(1024);
}

// A receiver that only looks: buffer count, sizes and arrival times, and optionally the samples.
class TWatchSink : public TObject {
 public:
  TWatchSink()
      : FLock(TOWLock::Create()),
        FPin(this, FLock.Get(), [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
          return Handle(AOperation);
        }) {}

  TALOWAudioSinkPin& Pin() { return FPin; }
  void KeepSamples(bool AValue) { FKeepSamples = AValue; }

  std::size_t Buffers() { std::lock_guard g(FMutex); return FArrivals.size(); }
  std::map<std::uint32_t, std::size_t> Sizes() { std::lock_guard g(FMutex); return FSizes; }
  std::vector<TClock::time_point> Arrivals() { std::lock_guard g(FMutex); return FArrivals; }
  std::vector<std::uint8_t> Samples() { std::lock_guard g(FMutex); return FSamples; }
  std::int32_t Peak() { std::lock_guard g(FMutex); return FPeak; }

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
    if (buffer->GetBitsPerSample() == 16) {
      for (std::uint32_t i = 0; i < buffer->GetSize(); ++i)
        FPeak = std::max(FPeak, std::abs(buffer->GetSample(i, 0)));
    }
    if (FKeepSamples) {
      const std::uint8_t* p = buffer->GetReadPointer();
      FSamples.insert(FSamples.end(), p, p + buffer->GetByteSize());
    }
    return 0;
  }

  TRefPtr<TOWLock> FLock;
  TALOWAudioSinkPin FPin;
  bool FKeepSamples = false;
  std::mutex FMutex;
  std::vector<TClock::time_point> FArrivals;
  std::map<std::uint32_t, std::size_t> FSizes;
  std::vector<std::uint8_t> FSamples;
  std::int32_t FPeak = 0;
};

// The test tone the way the shell plays it on an MME output row, on a fresh generator: the
// output is connected and enabled first, so it opens the device when the generator announces
// its stream, and every buffer the generator makes is played. Returns that number.
std::size_t PlayTone(std::uint32_t AToneMs) {
  std::unique_ptr<TALSignalGen> gen = CreateComponent<TALSignalGen>(nullptr);
  gen->SetName("ALSignalGen1");
  ShellFormat(gen->GetAudioFormat());
  gen->SetAmplitude(16383);
  gen->SetFrequency(1000.0);

  std::unique_ptr<TALAudioOut> out = CreateComponent<TALAudioOut>(nullptr);
  out->SetEnabled(false);
  out->GetDevice().SetDeviceName(KALDefaultDeviceName);
  TWatchSink produced;
  gen->GetOutputPin().Connect(&out->GetInputPin());
  gen->GetOutputPin().Connect(&produced.Pin());
  out->SetEnabled(true);

  gen->SetEnabled(true);
  Delay(AToneMs);
  gen->SetEnabled(false);
  Delay(KTailMs);
  out->SetEnabled(false);
  out.reset();
  gen.reset();
  return produced.Buffers();
}

int Play(std::uint32_t AToneMs) {
  std::printf("mode: play\ndevice: %s\ntone ms: %u\n", KALDefaultDeviceName, static_cast<unsigned>(AToneMs));
  std::fflush(stdout);
  const std::size_t n = PlayTone(AToneMs);
  std::printf("buffers produced: %zu\n", n);
  return 0;
}

std::string Quoted(const std::vector<std::string>& ANames) {
  std::string s;
  for (const std::string& n : ANames) s += (s.empty() ? "\"" : ", \"") + n + "\"";
  return s;
}

int Capture(std::uint32_t ACaptureMs, const char* ARawPath) {
  std::unique_ptr<TALAudioIn> in = CreateComponent<TALAudioIn>(nullptr);
  in->SetName("ALAudioIn1");
  ShellFormat(in->GetAudioFormat());
  in->SetOnWarning([](TObject*, const std::string& AText, std::int32_t ACode) {
    std::printf("warning: %s (%d)\n", AText.c_str(), static_cast<int>(ACode));
  });
  std::vector<std::string> names;
  in->GetDevice().GetDeviceList(names);
  std::printf("mode: capture\ninput devices: %s\n", Quoted(names).c_str());
  const bool bFound = std::find(names.begin(), names.end(), KMonitorName) != names.end();
  std::printf("capture device: %s (%s)\n", KMonitorName, bFound ? "listed" : "not listed");
  if (!bFound) return 1;
  in->GetDevice().SetDeviceName(KMonitorName);

  TWatchSink sink;
  sink.KeepSamples(ARawPath != nullptr);
  sink.Pin().Connect(&in->GetOutputPin());
  const TClock::time_point started = TClock::now();
  in->SetEnabled(true);
  std::printf("buffers at the device: %zu\n", in->BuffersAtDevice());
  std::fflush(stdout);

  // The tone in the middle of the capture, so that the recording has silence on both sides.
  const std::uint32_t toneMs = 1000, lead = ACaptureMs > toneMs + KTailMs ? (ACaptureMs - toneMs - KTailMs) / 2 : 0;
  Delay(lead);
  const std::size_t played = PlayTone(toneMs);
  const std::uint32_t spent = static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - started).count());
  Delay(ACaptureMs > spent ? ACaptureMs - spent : 0);
  in->SetEnabled(false);
  in.reset();

  const std::vector<TClock::time_point> arrivals = sink.Arrivals();
  std::printf("tone buffers produced: %zu\n", played);
  std::printf("buffers received: %zu\n", arrivals.size());
  std::string sizes;
  for (const auto& [frames, count] : sink.Sizes())
    sizes += (sizes.empty() ? "" : ", ") + std::to_string(frames) + " x " + std::to_string(count);
  std::printf("buffer sizes: %s\n", sizes.empty() ? "none" : sizes.c_str());
  // Wine delivers the buffers in bursts (a few at once every 100 ms or so): the pace is the slope
  // of a straight line through the arrival times, not the first and last arrival.
  std::string gaps;
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    char gap[16];
    std::snprintf(gap, sizeof gap, i > 1 ? " %.1f" : "%.1f",
                  std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count());
    gaps += gap;
  }
  std::printf("arrival gaps ms: %s\n", gaps.c_str());
  if (arrivals.size() >= 3) {
    const double n = static_cast<double>(arrivals.size());
    double sumI = 0, sumT = 0, sumII = 0, sumIT = 0;
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
      const double t = std::chrono::duration<double>(arrivals[i] - arrivals.front()).count();
      const double x = static_cast<double>(i);
      sumI += x, sumT += t, sumII += x * x, sumIT += x * t;
    }
    const double secondsPerBuffer = (n * sumIT - sumI * sumT) / (n * sumII - sumI * sumI);
    std::printf("arrival rate: %.2f\n", secondsPerBuffer > 0 ? 1.0 / secondsPerBuffer : 0.0);
    std::printf("arrival span s: %.3f\n", std::chrono::duration<double>(arrivals.back() - arrivals.front()).count());
  }
  std::printf("peak: %d\n", static_cast<int>(sink.Peak()));
  if (ARawPath) {
    const std::vector<std::uint8_t> samples = sink.Samples();
    std::FILE* f = std::fopen(ARawPath, "wb");
    if (!f || std::fwrite(samples.data(), 1, samples.size(), f) != samples.size()) {
      std::printf("raw: cannot write %s\n", ARawPath);
      if (f) std::fclose(f);
      return 1;
    }
    std::fclose(f);
    std::printf("raw bytes: %zu\n", samples.size());
  }
  return 0;
}

int Usage() {
  std::fputs("usage: portwise_mme_tone play [MS] | capture [MS] [RAW]\n", stderr);
  return 2;
}

int Run(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string mode = argv[1];
  auto ms = [&](int i, std::uint32_t dflt) {
    return argc > i ? static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)) : dflt;
  };
  std::unique_ptr<platform::IPlatform> world = platform::win32::CreatePlatform();
  platform::TPlatformScope scope(*world);
  try {
    if (mode == "play") return Play(ms(2, 1000));
    if (mode == "capture") return Capture(ms(2, 3000), argc > 3 ? argv[3] : nullptr);
  } catch (const std::exception& e) {
    std::printf("error: %s\n", e.what());
    return 1;
  }
  return Usage();
}

}  // namespace
}  // namespace portwise

int main(int argc, char** argv) {
  const int rc = portwise::Run(argc, argv);
  std::fflush(stdout);
  return rc;
}

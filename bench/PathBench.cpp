// One buffer from the signal generator through its output pin to a sink that pulls it the way a
// hardware output does (no device): heap allocations per buffer once the path is warm.
#include <memory>

#include "bench/BenchSupport.h"
#include "core/ALAudioBuffer.h"
#include "core/OWLock.h"
#include "core/OWOperations.h"
#include "core/OWPins.h"
#include "gen/ALSignalGen.h"
#include "platform/sim/SimPlatform.h"

namespace portwise::bench {
namespace {

// Claims the stream and takes one buffer per Pull(); looks at one sample and lets it go.
class TPullingSink : public TObject {
 public:
  TPullingSink()
      : Lock(TOWLock::Create()),
        Pin(this, Lock.Get(), [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
          if (auto* request = OWOperationAs<TOWPumpRequestOperation>(AOperation)) {
            request->Pump = this;
            request->PumpType = ptHardware;
          } else if (auto* supplied = OWOperationAs<TOWSuppliedBufferOperation>(AOperation)) {
            PALAudioBuffer buffer = TALAudioBuffer::CreateUniversal(supplied->Buffer.Get());
            if (buffer) Checksum += buffer->GetSample(Buffers % 1024, 0);
            ++Buffers;
          }
          return TOWNotifyResult{0};
        }) {}
  void Pull() { Pin.MasterPump(this); }

  TRefPtr<TOWLock> Lock;
  TALOWAudioSinkPin Pin;
  std::int64_t Buffers = 0;
  std::int64_t Checksum = 0;
};

void BM_GeneratorToSink(benchmark::State& state) {
  platform::sim::TSimPlatform sim;
  sim.SetMediaTimerManual(true);
  TPullingSink sink;
  auto gen = CreateComponent<TALSignalGen>(nullptr);
  gen->SetName("ALSignalGen1");
  gen->GetAudioFormat().SetSampleRate(44100);
  gen->SetAmplitude(16383);
  gen->SetFrequency(1000.0);
  if (!gen->GetOutputPin().Connect(&sink.Pin)) state.SkipWithError("connect failed");
  gen->SetEnabled(true);
  for (int i = 0; i < 200; ++i) sink.Pull();  // warm: pool classes, pin bookkeeping

  const std::int64_t buffers0 = sink.Buffers;
  const std::uint64_t allocs0 = HeapAllocationsOfThisThread();
  for (auto _ : state) sink.Pull();
  const std::uint64_t allocs = HeapAllocationsOfThisThread() - allocs0;
  const std::int64_t buffers = sink.Buffers - buffers0;
  benchmark::DoNotOptimize(sink.Checksum);
  if (buffers != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("a pull gave no buffer");
  state.counters["allocs_per_buffer"] = buffers ? static_cast<double>(allocs) / static_cast<double>(buffers) : -1;
  gen->SetEnabled(false);
  gen->GetOutputPin().Disconnect();
  gen.reset();
}
BENCHMARK(BM_GeneratorToSink)->Name("path_generator_pins_sink")->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace portwise::bench

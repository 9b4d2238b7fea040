// How much processor a one-second Delay_ms costs while it keeps the message queue alive.
#include <ctime>

#include "app/frmMain.h"
#include "bench/BenchSupport.h"
#include "platform/sim/SimPlatform.h"

namespace portwise::bench {
namespace {

void BM_Delay1s(benchmark::State& state) {
  platform::sim::TSimPlatform sim;  // real-time ticks and waits
  const bool pump = state.range(0) != 0;
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const std::clock_t c0 = std::clock();
    const std::uint32_t t0 = sim.GetTickCount();
    app::Delay_ms(1000, pump);
    wall += (sim.GetTickCount() - t0) / 1000.0;
    cpu += static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
  }
  state.counters["cpu_share_pct"] = wall > 0 ? 100.0 * cpu / wall : 0;
}
BENCHMARK(BM_Delay1s)->Name("delay_1000ms/pump")->Arg(1)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace portwise::bench

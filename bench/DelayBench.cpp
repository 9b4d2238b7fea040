// How much processor a one-second Delay_ms costs while it keeps the message queue alive.
#include <benchmark/benchmark.h>

#include <ctime>

#include "app/frmMain.h"
#include "platform/sim/SimPlatform.h"

namespace {

void BM_Delay1s(benchmark::State& state) {
  portwise::platform::sim::TSimPlatform sim;  // real-time ticks and waits
  const bool pump = state.range(0) != 0;
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const std::clock_t c0 = std::clock();
    const std::uint32_t t0 = sim.GetTickCount();
    portwise::app::Delay_ms(1000, pump);
    wall += (sim.GetTickCount() - t0) / 1000.0;
    cpu += static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
  }
  state.counters["cpu_share_pct"] = 100.0 * cpu / wall;
}
BENCHMARK(BM_Delay1s)->Arg(1)->Arg(0)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace



// Five seconds of the shared 1 ms master timer driving one clock of the generator's interval
// (1024 frames at 44100 Hz): the mean period, the drift over the run (how much later the last
// tick is than the first against their due times) and the p99 lateness of a tick against its due
// time: the first 1 ms boundary after the timer's start at which a whole interval has gathered.
#include <algorithm>
#include <chrono>
#include <thread>
#include <mutex>
#include <vector>

#include "bench/BenchSupport.h"
#include "gen/SLClockGen.h"
#include "platform/sim/SimPlatform.h"

namespace portwise::bench {
namespace {

void BM_MasterClock(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  constexpr std::int64_t kInterval = 232200;  // 100 ns units
  constexpr double kPeriodMs = kInterval / 10000.0;
  for (auto _ : state) {
    platform::sim::TSimPlatform sim;  // its media timer runs in real time
    std::mutex m;
    std::vector<Clock::time_point> ticks;
    ticks.reserve(400);
    const Clock::time_point start = Clock::now();
    {
      TSLClockGen clock("bench", kInterval, [&] {
        std::lock_guard g(m);
        ticks.push_back(Clock::now());
      });
      std::this_thread::sleep_for(std::chrono::seconds(5));
    }
    std::lock_guard g(m);
    if (ticks.size() < 3) {
      state.SkipWithError("the clock hardly ticked");
      return;
    }
    auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    const std::size_t n = ticks.size();
    const double mean = ms(ticks.back() - ticks.front()) / static_cast<double>(n - 1);
    std::vector<double> late;
    for (std::size_t k = 0; k < n; ++k) {
      // Release k + 1 comes on the first tick m with m * 10000 > (k + 1) * interval.
      const double dueMs = static_cast<double>((static_cast<std::int64_t>(k + 1) * kInterval) / 10000 + 1);
      late.push_back(ms(ticks[k] - start) - dueMs);
    }
    std::vector<double> sorted = late;
    std::sort(sorted.begin(), sorted.end());
    state.counters["ticks"] = static_cast<double>(n);
    state.counters["mean_period_ms"] = mean;
    state.counters["mean_error_pct"] = 100.0 * (mean - kPeriodMs) / kPeriodMs;
    state.counters["drift_ms"] = late.back() - late.front();
    state.counters["p99_late_ms"] = sorted[std::min(n - 1, (n * 99 + 99) / 100 - 1)];
  }
}
BENCHMARK(BM_MasterClock)->Name("master_clock_5s")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace portwise::bench

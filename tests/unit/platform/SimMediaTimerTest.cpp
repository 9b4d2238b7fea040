// The simulated multimedia timer: calls at the boundary the callback asked for, told how many
// periods passed; a wake brings the next call to the next boundary.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sim/SimPlatform.h"

namespace portwise {
namespace {

using platform::sim::TSimPlatform;

// Records the periods of every call and asks for the next wait from a script.
struct TScripted {
  std::mutex M;
  std::vector<std::uint32_t> Periods;
  std::uint32_t NextWait = 1;
  static std::uint32_t Tick(void* ctx, std::uint32_t periods) {
    auto* self = static_cast<TScripted*>(ctx);
    std::lock_guard g(self->M);
    self->Periods.push_back(periods);
    return self->NextWait;
  }
  std::vector<std::uint32_t> Calls() {
    std::lock_guard g(M);
    return Periods;
  }
};

TEST(SimMediaTimer, ManualTicksCallWhenTheAskedPeriodsHavePassedAndAWakeCallsAtTheNextTick) {
  TSimPlatform sim;
  sim.SetMediaTimerManual(true);
  TScripted probe;
  probe.NextWait = 5;
  const auto id = sim.MediaTimer().StartPeriodic(1, &TScripted::Tick, &probe);
  ASSERT_NE(id, 0u);
  sim.TickMediaTimer(1);
  EXPECT_EQ(probe.Calls(), (std::vector<std::uint32_t>{1}));
  sim.TickMediaTimer(4);
  EXPECT_EQ(sim.MediaTimer().PeriodsSinceCall(id), 4u);
  EXPECT_EQ(probe.Calls().size(), 1u);
  sim.TickMediaTimer(1);
  EXPECT_EQ(probe.Calls(), (std::vector<std::uint32_t>{1, 5}));
  sim.TickMediaTimer(2);
  sim.MediaTimer().Wake(id);
  probe.NextWait = 0;  // counts as 1
  sim.TickMediaTimer(1);
  EXPECT_EQ(probe.Calls(), (std::vector<std::uint32_t>{1, 5, 3}));
  sim.TickMediaTimer(2);
  EXPECT_EQ(probe.Calls(), (std::vector<std::uint32_t>{1, 5, 3, 1, 1}));
  sim.MediaTimer().Stop(id);
  sim.TickMediaTimer(10);
  EXPECT_EQ(probe.Calls().size(), 5u);
}

TEST(SimMediaTimer, RealTimeCallsSleepUntilDueAndCountThePeriodsThatPassed) {
  TSimPlatform sim;
  TScripted probe;
  probe.NextWait = 20;
  const auto start = std::chrono::steady_clock::now();
  const auto id = sim.MediaTimer().StartPeriodic(1, &TScripted::Tick, &probe);
  ASSERT_NE(id, 0u);
  for (int i = 0; i < 2000 && probe.Calls().size() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  sim.MediaTimer().Stop(id);
  const auto calls = probe.Calls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_GE(calls[1], 20u);
  EXPECT_GE(calls[2], 20u);
  // Two sleeps of at least 20 periods each: the periods told add up to the time that passed.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LE(calls[0] + calls[1] + calls[2], static_cast<std::uint32_t>(ms) + 1);
}

}  // namespace
}  // namespace portwise

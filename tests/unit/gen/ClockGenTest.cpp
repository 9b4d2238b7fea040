#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "gen/SLClockGen.h"
#include "platform/sim/SimPlatform.h"

namespace portwise {
namespace {

using platform::sim::TSimPlatform;
using namespace std::chrono_literals;

// Waits (bounded) until `pred` holds; the bound only keeps a broken build from hanging.
template <class P>
bool Eventually(P pred) {
  for (int i = 0; i < 5000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return pred();
}

// An event that can be held closed, so releases pile up in the semaphore.
struct TGate {
  std::mutex M;
  std::condition_variable C;
  bool bOpen = true;
  std::atomic<int> Entered{0}, Done{0};
  void Pass() {
    ++Entered;
    std::unique_lock lk(M);
    C.wait(lk, [&] { return bOpen; });
    ++Done;
  }
  void Open() {
    { std::lock_guard g(M); bOpen = true; }
    C.notify_all();
  }
};

class ClockGenTest : public ::testing::Test {
 protected:
  void SetUp() override { sim.SetMediaTimerManual(true); }
  TSimPlatform sim;
};

TEST_F(ClockGenTest, FirstReleaseComesOnTheTwentyFourthTickAndLeavesTheRemainder) {
  std::atomic<int> fired{0};
  TSLClockGen clock("ALSignalGen1", 232200, [&] { ++fired; });
  sim.TickMediaTimer(23);
  EXPECT_EQ(clock.Accumulator(), 230000);
  EXPECT_EQ(fired.load() + clock.PendingReleases(), 0);
  sim.TickMediaTimer(1);
  EXPECT_EQ(clock.Accumulator(), 7800);
  EXPECT_TRUE(Eventually([&] { return fired.load() == 1; }));
}

TEST_F(ClockGenTest, ReleasesDoNotDriftOverManyTicks) {
  TGate gate;
  gate.bOpen = false;
  TSLClockGen clock("g", 232200, [&] { gate.Pass(); });
  const int ticks = 100000;  // 100 s of 1 ms ticks
  sim.TickMediaTimer(ticks);
  // After n ticks, 0 < n*10000 - r*interval <= interval.
  const std::int64_t expected = (std::int64_t{ticks} * 10000 + 232200 - 1) / 232200 - 1;
  EXPECT_TRUE(Eventually([&] { return gate.Entered.load() == 1; }));
  EXPECT_EQ(clock.PendingReleases() + gate.Entered.load(), expected);
  EXPECT_EQ(clock.Accumulator(), std::int64_t{ticks} * 10000 - expected * 232200);
  gate.Open();
}

TEST_F(ClockGenTest, AClockThatJoinsWhileTheTimerSleepsCountsFromTheNextTick) {
  TGate gate;
  TSLClockGen slow("slow", 1000000, [] {});  // due only after 100 ticks: the timer sleeps
  sim.TickMediaTimer(10);
  std::atomic<int> fired{0};
  TSLClockGen clock("g", 232200, [&] { ++fired; });
  EXPECT_EQ(clock.Accumulator(), 0);
  sim.TickMediaTimer(1);
  EXPECT_EQ(clock.Accumulator(), 10000);
  EXPECT_EQ(slow.Accumulator(), 110000);
  sim.TickMediaTimer(22);
  EXPECT_EQ(clock.Accumulator(), 230000);
  EXPECT_EQ(clock.PendingReleases(), 0);
  EXPECT_EQ(fired.load(), 0);
  sim.TickMediaTimer(1);
  EXPECT_TRUE(Eventually([&] { return fired.load() == 1; }));
  EXPECT_EQ(clock.Accumulator(), 7800);
}

TEST_F(ClockGenTest, ReleasesBeyondTenThousandPendingAreLost) {
  TGate gate;
  gate.bOpen = false;
  TSLClockGen clock("g", 9999, [&] { gate.Pass(); });  // one release per tick
  sim.TickMediaTimer(1);
  ASSERT_TRUE(Eventually([&] { return gate.Entered.load() == 1; }));
  sim.TickMediaTimer(10001);
  EXPECT_EQ(clock.PendingReleases(), 10000);
  gate.Open();
  EXPECT_TRUE(Eventually([&] { return gate.Done.load() == 10001; }));
}

TEST_F(ClockGenTest, AllClocksShareOneMasterTimerThatGoesWithTheLast) {
  {
    TSLClockGen a("a", 100000, [] {});
    TSLClockGen b("b", 100000, [] {});
    EXPECT_EQ(sim.ActiveMediaTimers(), 1);
    EXPECT_EQ(MasterClock::RegisteredClocks(), 2);
    EXPECT_EQ(TSLClockGen::LiveCount(), 2);
  }
  EXPECT_EQ(sim.ActiveMediaTimers(), 0);
  EXPECT_FALSE(MasterClock::Exists());
  EXPECT_EQ(TSLClockGen::LiveCount(), 0);
}

TEST_F(ClockGenTest, AClockDestroyedFromItsOwnEventDoesNotWaitForItself) {
  std::unique_ptr<TSLClockGen> clock;
  std::atomic<bool> destroyed{false};
  clock = std::make_unique<TSLClockGen>("g", 9999, [&] {
    clock.reset();
    destroyed = true;
  });
  sim.TickMediaTimer(1);
  EXPECT_TRUE(Eventually([&] { return destroyed.load(); }));
  EXPECT_EQ(TSLClockGen::LiveCount(), 0);
  EXPECT_FALSE(MasterClock::Exists());
}

TEST_F(ClockGenTest, ClockThreadsAreNamedAfterTheirOwnerAndRunAtHighestPriority) {
  std::atomic<bool> ran{false};
  std::thread::id id;
  std::mutex m;
  TSLClockGen clock(MakeThreadName("", "TALSignalGen", ""), 9999, [&] {
    std::lock_guard g(m);
    id = std::this_thread::get_id();
    ran = true;
  });
  sim.TickMediaTimer(1);
  ASSERT_TRUE(Eventually([&] { return ran.load(); }));
  std::lock_guard g(m);
  EXPECT_EQ(sim.ThreadName(id), "TALSignalGen.TSLClockGen");
  EXPECT_EQ(sim.ThreadPriority(id), platform::EThreadPriority::Highest);
  EXPECT_EQ(MakeThreadName("ALSignalGen1", "TALSignalGen", ".TSLClockGen"), "ALSignalGen1.TSLClockGen");
}

TEST(ClockGenRealTimerTest, A23msClockFiresAboutFortyThreeTimesASecond) {
  TSimPlatform sim;  // the media timer runs on its own thread, in real time
  std::atomic<int> fired{0};
  {
    TSLClockGen clock("g", 232200, [&] { ++fired; });
    std::this_thread::sleep_for(1000ms);
  }
  // A statistics check with wide bounds, not a timing assertion.
  EXPECT_GT(fired.load(), 20);
  EXPECT_LT(fired.load(), 60);
}

TEST(ClockThreadTest, RunsItsEventOncePerClockAndEndsOnDestruction) {
  TSimPlatform sim;
  std::atomic<int> fired{0};
  {
    TSLClockThread t("DSOut", [&] { ++fired; });
    t.Clock();
    t.Clock();
    t.Clock();
    EXPECT_TRUE(Eventually([&] { return fired.load() == 3; }));
  }
  EXPECT_EQ(fired.load(), 3);
}

// ---------------------------------------------------------------- main-thread notifier

TEST(MainThreadNotifyTest, OnTheMainThreadTheEventRunsAtOnceUnlessForcedToPost) {
  TSimPlatform sim;
  int calls = 0;
  TSLMainThreadNotify n([&] { ++calls; });
  n.Notify();
  EXPECT_EQ(calls, 1);
  n.Notify(true);
  EXPECT_EQ(calls, 1);
  sim.ProcessMessages();
  EXPECT_EQ(calls, 2);
}

TEST(MainThreadNotifyTest, NotificationsFromAWorkerAreCoalescedUntilHandled) {
  TSimPlatform sim;
  std::atomic<int> calls{0};
  bool onMain = false;
  TSLMainThreadNotify n([&] {
    ++calls;
    onMain = sim.IsMainThread();
  });
  std::thread([&] {
    n.Notify();
    n.Notify();
    n.Notify();
  }).join();
  EXPECT_EQ(sim.PendingMessages(), 1u);
  sim.ProcessMessages();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_TRUE(onMain);
  std::thread([&] { n.Notify(); }).join();  // handled: the next one posts again
  sim.ProcessMessages();
  EXPECT_EQ(calls.load(), 2);
}

TEST(MainThreadNotifyTest, APostForADestroyedNotifierIsIgnoredAndTheWindowGoesWithTheLast) {
  TSimPlatform sim;
  int calls = 0;
  auto keep = std::make_unique<TSLMainThreadNotify>([&] { ++calls; });
  auto gone = std::make_unique<TSLMainThreadNotify>([&] { calls += 100; });
  std::thread([&] { gone->Notify(); }).join();
  gone.reset();
  sim.ProcessMessages();
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(sim.HiddenWindowCount(), 1u);
  keep.reset();
  EXPECT_EQ(sim.HiddenWindowCount(), 0u);
}

}  // namespace
}  // namespace portwise

// The periodic media timer, thread priority and names.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/win32/SeamWorld.h"

namespace portwise::test {
namespace {

using namespace std::chrono_literals;
using platform::EThreadPriority;

class MediaTimerContract : public TSeamTest {};

struct TTickProbe {
  std::atomic<int> Ticks{0};
  std::atomic<bool> bInside{false};
  std::atomic<bool> bOverlapped{false};
  std::atomic<bool> bOnMain{false};
  std::atomic<int> SleepMs{0};
  platform::IMessages* Msgs = nullptr;
  static std::uint32_t Tick(void* ctx, std::uint32_t) {
    auto* p = static_cast<TTickProbe*>(ctx);
    if (p->bInside.exchange(true)) p->bOverlapped = true;
    if (p->Msgs->IsMainThread()) p->bOnMain = true;
    if (int ms = p->SleepMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    ++p->Ticks;
    p->bInside = false;
    return 1;
  }
};

template <class F>
bool WaitFor(F done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

TEST_P(MediaTimerContract, TicksRepeatedlyOnItsOwnThreadNeverOverlappingAndNotAfterStop) {
  TTickProbe probe;
  probe.Msgs = &Msgs();
  platform::TMediaTimerId id = P().MediaTimer().StartPeriodic(1, &TTickProbe::Tick, &probe);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(WaitFor([&] { return probe.Ticks >= 20; }));
  P().MediaTimer().Stop(id);
  int atStop = probe.Ticks;
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(probe.Ticks, atStop);
  EXPECT_FALSE(probe.bOnMain);
  EXPECT_FALSE(probe.bOverlapped);
}

TEST_P(MediaTimerContract, StopWaitsForTheRunningCallback) {
  TTickProbe probe;
  probe.Msgs = &Msgs();
  probe.SleepMs = 40;
  platform::TMediaTimerId id = P().MediaTimer().StartPeriodic(5, &TTickProbe::Tick, &probe);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(WaitFor([&] { return probe.Ticks >= 1 && probe.bInside; }));
  P().MediaTimer().Stop(id);
  EXPECT_FALSE(probe.bInside) << "Stop returned while the callback still ran";
}

TEST_P(MediaTimerContract, TwoTimersRunSideBySideAndStopIndependently) {
  TTickProbe a, b;
  a.Msgs = b.Msgs = &Msgs();
  auto& timer = P().MediaTimer();
  platform::TMediaTimerId ia = timer.StartPeriodic(2, &TTickProbe::Tick, &a);
  platform::TMediaTimerId ib = timer.StartPeriodic(3, &TTickProbe::Tick, &b);
  ASSERT_NE(ia, 0u);
  ASSERT_NE(ib, 0u);
  EXPECT_NE(ia, ib);
  ASSERT_TRUE(WaitFor([&] { return a.Ticks >= 5 && b.Ticks >= 5; }));
  timer.Stop(ia);
  int aAtStop = a.Ticks, bAtStop = b.Ticks;
  ASSERT_TRUE(WaitFor([&] { return b.Ticks >= bAtStop + 5; }));
  EXPECT_EQ(a.Ticks, aAtStop);
  timer.Stop(ib);
  timer.Stop(ib);  // a second stop of the same id is harmless
}

// A callback that asks for 40 periods sleeps that long and is told the periods that passed; a
// wake brings the next call to the next boundary.
struct TSleepyProbe {
  std::mutex M;
  std::vector<std::uint32_t> Periods;
  std::vector<std::chrono::steady_clock::time_point> At;
  static std::uint32_t Tick(void* ctx, std::uint32_t periods) {
    auto* p = static_cast<TSleepyProbe*>(ctx);
    std::lock_guard g(p->M);
    p->Periods.push_back(periods);
    p->At.push_back(std::chrono::steady_clock::now());
    return 40;
  }
  std::size_t Calls() {
    std::lock_guard g(M);
    return Periods.size();
  }
};

TEST_P(MediaTimerContract, ACallbackSleepsForThePeriodsItAsksAndAWakeEndsTheSleep) {
  TSleepyProbe probe;
  auto& timer = P().MediaTimer();
  const auto start = std::chrono::steady_clock::now();
  platform::TMediaTimerId id = timer.StartPeriodic(1, &TSleepyProbe::Tick, &probe);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(WaitFor([&] { return probe.Calls() >= 3; }));
  timer.Wake(id);
  const auto woken = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor([&] { return probe.Calls() >= 4; }));
  timer.Stop(id);
  std::lock_guard g(probe.M);
  // The second and third calls each came after at least 40 periods, and said so.
  EXPECT_GE(probe.Periods[1], 40u);
  EXPECT_GE(probe.Periods[2], 40u);
  EXPECT_GE(probe.At[2] - probe.At[0], 79ms);
  // The periods told never run ahead of the time that passed.
  std::uint32_t told = 0;
  for (std::size_t i = 0; i < 3; ++i) told += probe.Periods[i];
  EXPECT_LE(told, std::chrono::duration_cast<std::chrono::milliseconds>(probe.At[2] - start).count() + 2);
  // Woken, the fourth call did not wait its 40 periods.
  EXPECT_LT(probe.At[3] - woken, 30ms);
}

TEST_P(MediaTimerContract, AZeroPeriodOrNoCallbackIsRefused) {
  TTickProbe probe;
  EXPECT_EQ(P().MediaTimer().StartPeriodic(0, &TTickProbe::Tick, &probe), 0u);
  EXPECT_EQ(P().MediaTimer().StartPeriodic(1, nullptr, &probe), 0u);
}

PORTWISE_BOTH_WORLDS(MediaTimerContract);

class ThreadsContract : public TSeamTest {};

TEST_P(ThreadsContract, APriorityIsTheCallingThreadsOwn) {
  const EThreadPriority all[] = {EThreadPriority::Idle,        EThreadPriority::Lowest,  EThreadPriority::BelowNormal,
                                 EThreadPriority::AboveNormal, EThreadPriority::Highest, EThreadPriority::TimeCritical,
                                 EThreadPriority::Normal};
  for (EThreadPriority p : all) {
    bool bSet = false;
    EThreadPriority seen = EThreadPriority::Normal;
    std::thread t([&] {
      bSet = P().Threads().SetCurrentThreadPriority(p);
      seen = World().CurrentThreadPriority();
    });
    t.join();
    EXPECT_TRUE(bSet) << static_cast<int>(p);
    EXPECT_EQ(seen, p) << static_cast<int>(p);
  }
  EXPECT_EQ(World().CurrentThreadPriority(), EThreadPriority::Normal) << "the main thread was touched";
}

TEST_P(ThreadsContract, ANameIsTheCallingThreadsOwnAndKeepsItsAccents) {
  std::optional<std::string> seen;
  std::thread t([&] {
    P().Threads().SetCurrentThreadName("Générateur horloge");
    seen = World().CurrentThreadName();
  });
  t.join();
  if (!seen) GTEST_SKIP() << "the system does not tell a thread's name";
  EXPECT_EQ(*seen, "Générateur horloge");
  EXPECT_NE(World().CurrentThreadName().value_or(""), "Générateur horloge");
}

PORTWISE_BOTH_WORLDS(ThreadsContract);

}  // namespace
}  // namespace portwise::test

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "gen/ALSignalGen.h"
#include "gen/SLClockGen.h"
#include "platform/sim/SimPlatform.h"
#include "tests/unit/gen/GenTestSink.h"

namespace portwise {
namespace {

using platform::sim::TSimPlatform;
using testing::Eventually;
using testing::TTestSink;

// The signal generator with a look at its own clock.
class TProbeGen : public TALSignalGen {
 public:
  using TALSignalGen::TALSignalGen;
  ~TProbeGen() override { ShutDown(); }

  // Releases of the own clock not yet taken by its thread.
  std::int64_t PendingTicks() {
    TOWLockSectionRef section = FLock->ReadLock();
    return FClockGen ? FClockGen->PendingReleases() : 0;
  }
  std::int64_t ClockInterval() {
    TOWLockSectionRef section = FLock->ReadLock();
    return FClockGen ? FClockGen->Interval() : -1;
  }
};

std::unique_ptr<TProbeGen> MakeWindowGen() {
  auto g = CreateComponent<TProbeGen>(nullptr);
  g->SetName("ALSignalGen1");
  g->GetAudioFormat().SetSampleRate(44100);
  g->SetAmplitude(16383);
  g->SetFrequency(1000.0);
  return g;
}

// Releases of a clock of AInterval after ATicks ticks of 1 ms: r with r * interval < ticks * 10000.
std::int64_t ReleasesAfter(std::int64_t ATicks, std::int64_t AInterval) { return (ATicks * 10000 - 1) / AInterval; }

// The media timer ticks only when the test says so; the generator's sink does not claim the
// stream, so the generator paces itself.
class GenClockingTest : public ::testing::Test {
 protected:
  GenClockingTest() {
    sim.SetMediaTimerManual(true);
    gen = MakeWindowGen();
    EXPECT_TRUE(gen->GetOutputPin().Connect(&sink.Pin));
  }
  ~GenClockingTest() override {
    gen.reset();
    EXPECT_EQ(TSLClockGen::LiveCount(), 0);
    EXPECT_FALSE(MasterClock::Exists());
  }

  // Every release given so far has been taken and the buffers counted match.
  bool Settled(std::size_t AExpectedBuffers) {
    return Eventually([&] { return gen->PendingTicks() == 0 && sink.BufferCount() >= AExpectedBuffers; }) &&
           sink.BufferCount() == AExpectedBuffers;
  }

  TSimPlatform sim;
  TTestSink sink;
  std::unique_ptr<TProbeGen> gen;
};

TEST_F(GenClockingTest, ASelfPacedGeneratorProducesItsFirstBufferOnTheTwentyFourthTick) {
  gen->SetEnabled(true);
  EXPECT_TRUE(gen->IsRunning());
  EXPECT_TRUE(gen->IsPump());
  EXPECT_TRUE(gen->HasOwnClock());
  EXPECT_EQ(gen->ClockInterval(), 232200);
  EXPECT_EQ(sink.Events(), "S");
  EXPECT_NEAR(sink.LastDesiredRate(), 44100.0 / 1024.0, 1e-3);
  sim.TickMediaTimer(23);
  EXPECT_TRUE(Settled(0));
  sim.TickMediaTimer(1);
  EXPECT_TRUE(Settled(1));
  sim.TickMediaTimer(22);
  EXPECT_TRUE(Settled(1));
  sim.TickMediaTimer(1);  // 7800 left after the first, + 230000 > 232200
  EXPECT_TRUE(Settled(2));
  const std::vector<PALAudioBuffer> buffers = sink.Buffers();
  EXPECT_EQ(buffers[0]->GetSize(), 1024u);
  EXPECT_EQ(buffers[0]->GetSample(0, 0), 16383);
  EXPECT_EQ(buffers[0]->GetSample(0, 1), 16383);
}

TEST_F(GenClockingTest, TheClockIntervalIsOneBufferIn100NanosecondUnits) {
  struct TCase {
    std::uint32_t Rate, Size;
    std::int64_t Interval;
  };
  const TCase cases[] = {{44100, 1024, 232200}, {48000, 480, 100000}, {8000, 1024, 1280000},
                         {96000, 64, 6667},     {44100, 1, 227},      {11025, 1024, 928798}};
  for (const TCase& c : cases) {
    auto g = CreateComponent<TProbeGen>(nullptr);
    g->GetAudioFormat().SetSampleRate(c.Rate);
    g->GetAudioFormat().SetBufferSize(c.Size);
    g->SetEnabled(true);
    EXPECT_EQ(g->ClockInterval(), c.Interval) << c.Rate << " Hz, " << c.Size << " frames";
  }
}

TEST_F(GenClockingTest, BuffersFollowTheTicksWithoutDriftOverManyTicks) {
  gen->SetEnabled(true);
  const std::int64_t ticks = 20000;
  for (int i = 0; i < 20; ++i) sim.TickMediaTimer(static_cast<unsigned>(ticks / 20));
  EXPECT_TRUE(Settled(static_cast<std::size_t>(ReleasesAfter(ticks, 232200))));
  // The wave runs on from buffer to buffer: no boundary jumps by more than the steepest step.
  const std::vector<std::int16_t> s = sink.Samples(0);
  const double maxStep = 16383 * 2 * 3.141592653589793 * 1000 / 44100 + 2;
  for (std::size_t k = 1024; k < s.size(); k += 1024) ASSERT_LE(std::abs(s[k] - s[k - 1]), maxStep) << k;
}

TEST_F(GenClockingTest, DisablingOnTheMainThreadDestroysTheClockBeforeTheSetterReturns) {
  int stops = 0;
  TObject* const expected = gen.get();
  gen->SetOnStop([&stops, expected](TObject* Sender) {
    EXPECT_EQ(Sender, expected);
    ++stops;
  });
  gen->SetEnabled(true);
  sim.TickMediaTimer(30);
  EXPECT_TRUE(Settled(1));
  EXPECT_EQ(TSLClockGen::LiveCount(), 1);
  EXPECT_TRUE(MasterClock::Exists());
  gen->SetEnabled(false);
  EXPECT_EQ(TSLClockGen::LiveCount(), 0);
  EXPECT_FALSE(MasterClock::Exists());
  EXPECT_FALSE(gen->IsRunning());
  EXPECT_FALSE(gen->HasOwnClock());
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(sink.Events(), "SBX");
}

TEST_F(GenClockingTest, AStopGivesUpATickThatIsWaitingForTheLock) {
  gen->SetEnabled(true);
  {
    TOWLockSectionRef held = gen->GetLock()->WriteLock();
    sim.TickMediaTimer(24);
    ASSERT_TRUE(Eventually([&] { return gen->PendingTicks() == 0; }));  // the tick is under way
    gen->SetEnabled(false);
    EXPECT_EQ(TSLClockGen::LiveCount(), 0);
  }
  EXPECT_EQ(sink.BufferCount(), 0u);
  EXPECT_EQ(sink.Events(), "SX");
}

TEST_F(GenClockingTest, SettingEnabledTrueTwiceStartsOnce) {
  gen->SetEnabled(true);
  gen->SetEnabled(true);
  EXPECT_EQ(sink.Starts(), 1);
  EXPECT_EQ(sink.PumpRequests(), 2);  // the start's own negotiation and the start sequence's
  EXPECT_EQ(TSLClockGen::LiveCount(), 1);
  gen->Start();
  EXPECT_EQ(sink.Starts(), 1);
}

TEST_F(GenClockingTest, AMasterGetsOneBufferPerRequestAndTheFirstAfterAStartAlways) {
  sink.bClaim = true;
  gen->SetEnabled(true);
  EXPECT_FALSE(gen->IsPump());
  EXPECT_EQ(gen->GetMasterPump(), &sink);
  EXPECT_FALSE(gen->HasOwnClock());
  EXPECT_EQ(sink.Events(), "SP");
  EXPECT_EQ(sink.StartPumpTarget(), &sink);

  TRefPtr<TOWMasterPumpOperation> x(new TOWMasterPumpOperation(&sink));
  sink.Send(x.Get());
  sink.Send(x.Get());  // the same request by a second path
  EXPECT_EQ(sink.BufferCount(), 1u);
  TObject stranger;
  TRefPtr<TOWMasterPumpOperation> foreign(new TOWMasterPumpOperation(&stranger));
  sink.Send(foreign.Get());
  EXPECT_EQ(sink.BufferCount(), 1u);
  TRefPtr<TOWMasterPumpOperation> y(new TOWMasterPumpOperation(&sink));
  sink.Send(y.Get());
  EXPECT_EQ(sink.BufferCount(), 2u);

  gen->SetEnabled(false);
  gen->SetEnabled(true);
  sink.Send(y.Get());  // the last identifier answered, but the first request of this run
  EXPECT_EQ(sink.BufferCount(), 3u);
  sink.Send(y.Get());
  EXPECT_EQ(sink.BufferCount(), 3u);
  sim.TickMediaTimer(100);
  EXPECT_EQ(sink.BufferCount(), 3u);
}

TEST_F(GenClockingTest, AStartRateFromAnotherThreadThatFindsAMasterReleasesTheOwnClock) {
  gen->SetEnabled(true);
  ASSERT_TRUE(gen->HasOwnClock());
  sink.bClaim = true;
  std::thread downstream([&] {
    TRefPtr<TOWStartSampleRateOperation> announce(new TOWStartSampleRateOperation());
    announce->SampleRate = 44100;
    sink.Send(announce.Get());
  });
  downstream.join();
  EXPECT_EQ(gen->GetMasterPump(), &sink);
  // Until the main thread releases it, the clock's ticks produce nothing.
  sim.TickMediaTimer(100);
  EXPECT_TRUE(Settled(0));
  sim.ProcessMessages();
  EXPECT_FALSE(gen->HasOwnClock());
  EXPECT_EQ(TSLClockGen::LiveCount(), 0);
  sink.Pull();
  EXPECT_EQ(sink.BufferCount(), 1u);
}

TEST_F(GenClockingTest, AStartRateOnTheMainThreadThatFindsAMasterReleasesTheOwnClockAtOnce) {
  gen->SetEnabled(true);
  ASSERT_TRUE(gen->HasOwnClock());
  sink.bClaim = true;
  TRefPtr<TOWStartSampleRateOperation> announce(new TOWStartSampleRateOperation());
  announce->SampleRate = 44100;
  sink.Send(announce.Get());
  EXPECT_FALSE(gen->HasOwnClock());
  EXPECT_EQ(TSLClockGen::LiveCount(), 0);
  // When the master goes away again, the next announcement brings the own clock back.
  sink.bClaim = false;
  sink.Send(announce.Get());
  EXPECT_TRUE(gen->IsPump());
  EXPECT_TRUE(gen->HasOwnClock());
  sim.TickMediaTimer(24);
  EXPECT_TRUE(Settled(1));
}

TEST_F(GenClockingTest, AStopFromDownstreamReleasesTheClockOnTheMainThreadUnlessARestartNeedsIt) {
  gen->SetEnabled(true);
  auto stopFromDownstream = [&] {
    std::thread([&] {
      TRefPtr<TOWStopOperation> stop(new TOWStopOperation());
      sink.Send(stop.Get());
    }).join();
  };
  stopFromDownstream();
  EXPECT_FALSE(gen->IsRunning());
  EXPECT_FALSE(gen->GetEnabled());
  EXPECT_EQ(TSLClockGen::LiveCount(), 1);  // released by the main thread, later
  gen->SetEnabled(true);                   // before that happens
  sim.ProcessMessages();
  EXPECT_TRUE(gen->HasOwnClock());
  sim.TickMediaTimer(48);
  EXPECT_TRUE(Eventually([&] { return sink.BufferCount() >= 1; }));

  stopFromDownstream();
  EXPECT_EQ(TSLClockGen::LiveCount(), 1);
  sim.ProcessMessages();
  EXPECT_EQ(TSLClockGen::LiveCount(), 0);
}

TEST_F(GenClockingTest, ASinkConnectedToARunningGeneratorGetsTheStartReplayed) {
  gen->SetEnabled(true);
  TTestSink late;
  ASSERT_TRUE(gen->GetOutputPin().Connect(&late.Pin));
  EXPECT_EQ(late.Events(), "S");
  const TALWaveFormatExtensible f = late.LastFormat();
  EXPECT_EQ(f.nSamplesPerSec, 44100u);
  EXPECT_EQ(f.nChannels, 2u);
  EXPECT_EQ(f.wBitsPerSample, 16u);
  EXPECT_EQ(f.nBlockAlign, 4u);
  sim.TickMediaTimer(24);
  EXPECT_TRUE(Settled(1));
  EXPECT_TRUE(Eventually([&] { return late.BufferCount() == 1; }));

  gen->SetEnabled(false);
  TTestSink after;
  ASSERT_TRUE(gen->GetOutputPin().Connect(&after.Pin));
  EXPECT_EQ(after.Events(), "");
}

TEST_F(GenClockingTest, ALoadedEnabledGeneratorStartsWhenLoadingEnds) {
  TTestSink s;
  bool runningWhileLoading = true;
  auto loaded = LoadComponent<TProbeGen>(
      [&](TProbeGen& g) {
        g.SetName("Loaded");
        g.GetAudioFormat().SetSampleRate(44100);
        g.SetEnabled(true);
        g.GetOutputPin().Connect(&s.Pin);
        runningWhileLoading = g.IsRunning();
      },
      nullptr);
  EXPECT_FALSE(runningWhileLoading);
  EXPECT_TRUE(loaded->GetEnabled());
  EXPECT_TRUE(loaded->IsRunning());
  EXPECT_TRUE(loaded->HasOwnClock());
  EXPECT_EQ(s.Starts(), 1);

  auto off = LoadComponent<TProbeGen>([](TProbeGen& g) { g.SetEnabled(false); }, nullptr);
  EXPECT_FALSE(off->IsRunning());
  auto created = CreateComponent<TProbeGen>(nullptr);
  EXPECT_FALSE(created->GetEnabled());
  EXPECT_FALSE(created->IsRunning());
}

TEST_F(GenClockingTest, AStopAskedForByTheGenerationEndsTheRunFromTheClockThread) {
  // Ends the stream with its third buffer.
  class TThreeBuffers : public TALCommonGen {
   public:
    using TALCommonGen::TALCommonGen;
    ~TThreeBuffers() override { ShutDown(); }
    int Made = 0;

   protected:
    void GenerateBuffer(TALAudioBuffer& ABuffer, bool&, bool& AStop) override {
      FIntVarBuffer.assign(ABuffer.GetSize(), 100);
      WriteChannels(FIntVarBuffer, ABuffer);
      AStop = ++Made == 3;
    }
  };
  TTestSink s;
  auto g = CreateComponent<TThreeBuffers>(nullptr);
  g->GetAudioFormat().SetSampleRate(44100);
  // The sink's stop can arrive before OnStop runs: wait for both.
  enum { KNotYet, KOnMain, KOffMain };
  std::atomic<int> stoppedOn{KNotYet};
  g->SetOnStop([&](TObject*) { stoppedOn = sim.IsMainThread() ? KOnMain : KOffMain; });
  g->GetOutputPin().Connect(&s.Pin);
  g->SetEnabled(true);
  sim.TickMediaTimer(24 * 5);
  ASSERT_TRUE(Eventually([&] { return s.Stops() == 1 && stoppedOn != KNotYet; }));
  EXPECT_EQ(s.Events(), "SBBBX");
  EXPECT_EQ(stoppedOn, KOffMain);
  EXPECT_FALSE(g->IsRunning());
  EXPECT_FALSE(g->GetEnabled());
  sim.ProcessMessages();
  EXPECT_EQ(TSLClockGen::LiveCount(), 0);
}

TEST_F(GenClockingTest, WithAnExternalClockEveryTickOnTheClockPinMakesOneBuffer) {
  TRefPtr<TOWLock> lock = TOWLock::Create();
  TObject owner;
  std::vector<bool> needed;
  TOWClockSourcePin clock(&owner, lock.Get(),
                          [&](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
                            if (auto* n = OWOperationAs<TOWClockNeededOperation>(AOperation)) needed.push_back(n->Enabled);
                            return TOWNotifyResult{0};
                          });
  ASSERT_TRUE(gen->GetClockPin().Connect(&clock));
  gen->SetClockSource(csExternal);
  gen->SetEnabled(true);
  EXPECT_TRUE(gen->IsRunning());
  EXPECT_TRUE(gen->IsPump());
  EXPECT_FALSE(gen->HasOwnClock());
  EXPECT_EQ(sink.PumpRequests(), 0);
  EXPECT_EQ(needed, std::vector<bool>{true});
  clock.Clock();
  clock.Clock();
  gen->Pump();
  EXPECT_EQ(sink.BufferCount(), 3u);
  sim.TickMediaTimer(100);
  EXPECT_EQ(sink.BufferCount(), 3u);
  gen->SetEnabled(false);
  EXPECT_EQ(needed, (std::vector<bool>{true, false}));
  clock.Clock();
  EXPECT_EQ(sink.BufferCount(), 3u);
}

TEST_F(GenClockingTest, AValueOnTheEnablePinSwitchesTheGenerator) {
  TRefPtr<TOWLock> lock = TOWLock::Create();
  TObject owner;
  TOWBoolStatePin control(&owner, lock.Get(), nullptr);
  ASSERT_TRUE(control.Connect(&gen->GetEnablePin()));
  control.SetValue(true);
  EXPECT_TRUE(gen->IsRunning());
  control.SetValue(false);
  EXPECT_FALSE(gen->IsRunning());
  EXPECT_EQ(sink.Events(), "SX");
}

TEST_F(GenClockingTest, DestroyingAGeneratorWhileAnotherThreadPullsIsSafe) {
  sink.bClaim = true;
  gen->SetEnabled(true);
  std::atomic<bool> done{false};
  std::atomic<int> pulls{0};
  std::thread puller([&] {
    while (!done) {
      sink.Pull();
      ++pulls;
    }
  });
  ASSERT_TRUE(Eventually([&] { return sink.BufferCount() >= 20; }));
  gen.reset();
  const int before = pulls.load();
  ASSERT_TRUE(Eventually([&] { return pulls.load() > before + 10; }));  // pulls now reach nobody
  done = true;
  puller.join();
  EXPECT_GE(sink.Stops(), 1);
  for (const PALAudioBuffer& b : sink.Buffers()) EXPECT_EQ(b->GetSize(), 1024u);
}

// The real (simulated) 1 ms timer.
class GenRealClockTest : public ::testing::Test {
 protected:
  TSimPlatform sim;
  TTestSink sink;
};

TEST_F(GenRealClockTest, ASelfPacedGeneratorProducesAboutOneBufferPer23Ms) {
  auto gen = MakeWindowGen();
  gen->GetOutputPin().Connect(&sink.Pin);
  const auto begin = std::chrono::steady_clock::now();
  gen->SetEnabled(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  const std::size_t count = sink.BufferCount();
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
  const double expected = ms / 23.22;
  // A rate check with wide bounds: the point is one buffer per interval, not timer precision.
  EXPECT_GE(static_cast<double>(count), expected * 0.5 - 1) << count << " buffers in " << ms << " ms";
  EXPECT_LE(static_cast<double>(count), expected * 1.5 + 2) << count << " buffers in " << ms << " ms";
  gen.reset();
  EXPECT_EQ(TSLClockGen::LiveCount(), 0);
}

TEST_F(GenRealClockTest, TheClockThreadThePullingThreadAndTheMainThreadShareTheGenerator) {
  auto gen = MakeWindowGen();
  gen->GetOutputPin().Connect(&sink.Pin);
  gen->SetEnabled(true);
  std::atomic<bool> done{false};
  std::thread downstream([&] {
    TRefPtr<TOWStartSampleRateOperation> announce(new TOWStartSampleRateOperation());
    announce->SampleRate = 44100;
    for (int i = 0; !done; ++i) {
      if (i % 50 == 0) sink.Send(announce.Get());
      else sink.Pull();
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 300; ++i) {
    gen->SetFrequency(200.0 + i);
    gen->SetAmplitude(1000 + i);
    gen->SetSignalType(static_cast<TALSignalType>(i % 5));
    if (i % 7 == 0) gen->SetPhase(0.5f);
    if (i % 20 == 0) sink.bClaim = !sink.bClaim;
    if (i % 50 == 25) {
      gen->SetEnabled(false);
      gen->SetEnabled(true);
    }
    sim.ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  done = true;
  downstream.join();
  gen->SetEnabled(false);
  sim.ProcessMessages();
  EXPECT_EQ(TSLClockGen::LiveCount(), 0);
  EXPECT_GT(sink.BufferCount(), 0u);
  for (const PALAudioBuffer& b : sink.Buffers()) ASSERT_EQ(b->GetSize(), 1024u);
}

}  // namespace
}  // namespace portwise

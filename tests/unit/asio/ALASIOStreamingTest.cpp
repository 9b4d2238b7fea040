// The ASIO device streaming with simulated drivers that call back at the half-buffer pace: the
// time information handed over, the generator's tone played on an output channel, a recorded
// input channel delivered whole and in order, the end of a stream played out, the pump claims,
// the driver's messages from its own thread, the count of buffer switches, and every switch that
// must not wait: inside start, with the lock refused, while stopping, after stop, and a driver
// that never calls back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AsioTestSupport.h"
#include "AsioWorld.h"
#include "asio/ALASIOAudioDevice.h"
#include "gen/ALSignalGen.h"
#include "tests/unit/gen/GenTestSink.h"

namespace portwise {
namespace {

using namespace asiotest;
using platform::sim::SimAsioSawtooth;
using portwise::testing::TTestSink;

using ASIOStreaming = AsioWorld;

constexpr std::uint32_t KHalf = 256;  // the simulated driver's preferred half-buffer
constexpr TALWaveFormatExtensible KMono16{
    ALWaveFormatExtensibleTag, 1, 44100, 88200, 2, 16, ALWaveFormatExtensibleCbSize, 16, 1, ALSubFormatPCM};

// The shell's generator: 1000 Hz, amplitude 16383, 1024 stereo 16-bit frames at 44100 Hz.
std::unique_ptr<TALSignalGen> MakeToneGenerator() {
  auto gen = CreateComponent<TALSignalGen>(nullptr);
  gen->SetName("ALSignalGen1");
  TALAudioFormat& format = gen->GetAudioFormat();
  format.SetSampleRate(44100);
  format.SetChannels(2);
  format.SetBits(16);
  format.SetBufferSize(1024);
  gen->SetFrequency(1000);
  gen->SetAmplitude(16383);
  return gen;
}

// Processes the main thread's messages until APred holds (bounded).
template <class P>
bool WaitProcessing(TSimPlatform& APlatform, P APred) {
  return WaitFor([&] {
    APlatform.ProcessMessages();
    return APred();
  });
}

// What a channel played: the halves that are not all silence, one after the other, without the
// silence that ends the last one. An underrun only ever inserts whole silent halves.
std::vector<double> Sounding(const std::vector<double>& ARecorded, std::size_t* ASilentHalvesBetween = nullptr) {
  std::vector<double> out;
  std::size_t silentBetween = 0, pendingSilent = 0;
  for (std::size_t h = 0; h + KHalf <= ARecorded.size(); h += KHalf) {
    bool bSilent = true;
    for (std::size_t i = h; i < h + KHalf; ++i) bSilent = bSilent && ARecorded[i] == 0.0;
    if (bSilent) {
      if (!out.empty()) ++pendingSilent;
      continue;
    }
    silentBetween += pendingSilent;
    pendingSilent = 0;
    out.insert(out.end(), ARecorded.begin() + static_cast<std::ptrdiff_t>(h),
               ARecorded.begin() + static_cast<std::ptrdiff_t>(h + KHalf));
  }
  while (!out.empty() && out.back() == 0.0) out.pop_back();
  if (ASilentHalvesBetween) *ASilentHalvesBetween = silentBetween;
  return out;
}

// Samples that differ from the expected ones (full scale 1.0), beyond what a float type rounds.
std::size_t Mismatches(const std::vector<double>& AGot, const std::vector<double>& AWanted) {
  std::size_t bad = AGot.size() > AWanted.size() ? AGot.size() - AWanted.size() : AWanted.size() - AGot.size();
  for (std::size_t i = 0; i < std::min(AGot.size(), AWanted.size()); ++i)
    if (std::abs(AGot[i] - AWanted[i]) > 1e-9) ++bad;
  return bad;
}

// 16-bit samples as a driver channel of AType holds them, full scale 1.0: widened full scale to
// full scale (x * 8388607 / 32767, x * 2147483647 / 32767, truncated) and then converted to the
// driver's type (32-bit floats scaled by 2^31 in single precision, 64-bit floats by 2^31 - 1).
std::vector<double> Scaled(const std::vector<std::int16_t>& ASamples, TASIOSampleType AType = ASIOSTInt16LSB) {
  std::vector<double> out;
  for (std::int16_t s : ASamples) {
    const std::int64_t x32 = std::int64_t{s} * 2147483647 / 32767;
    switch (AType) {
      case ASIOSTInt24LSB: case ASIOSTInt24MSB:
        out.push_back(static_cast<double>(std::int64_t{s} * 8388607 / 32767) / 8388608.0);
        break;
      case ASIOSTInt32LSB: case ASIOSTInt32MSB:
        out.push_back(static_cast<double>(x32) / 2147483648.0);
        break;
      case ASIOSTFloat32LSB: case ASIOSTFloat32MSB:
        out.push_back(static_cast<float>(static_cast<std::int32_t>(x32)) / 2147483648.0f);
        break;
      case ASIOSTFloat64LSB: case ASIOSTFloat64MSB:
        out.push_back(static_cast<double>(x32) / 2147483647.0);
        break;
      default:
        out.push_back(s / 32768.0);
    }
  }
  return out;
}

// A producer upstream of an output channel that sends what the test asks for, from the test's
// thread: 16-bit mono frames, frame k of its stream holding 1 + k % 4000.
class TTestSource : public TObject {
 public:
  TTestSource()
      : Lock(TOWLock::Create()),
        Pin(this, Lock.Get(), [](TOWBasicPin*, const TALGuid&, IOWNotifyOperation*, TOWNotifyState) {
          return TOWNotifyResult{0};
        }) {}

  void Start() { Pin.Notify(new TOWStartWaveOperation(KMono16, false)); }
  void Stop() { Pin.Stop(); }
  void Send(std::uint32_t AFrames) {
    PALAudioBuffer b = TALAudioBuffer::CreateSizeEx(44100, 16, 1, AFrames, TALSpeakers::FromMask(1));
    for (std::uint32_t i = 0; i < AFrames; ++i) {
      const auto v = static_cast<std::int16_t>(1 + FFrames++ % 4000);
      b->SetSample(i, 0, v);
      Sent.push_back(v);
    }
    Pin.SubmitBuffer(TRefPtr<ISLData>(static_cast<ISLData*>(b.Get())));
  }
  TObject* Negotiate() {
    TRefPtr<TOWPumpRequestOperation> request(new TOWPumpRequestOperation(this, ptMaster, 0, 43.0f));
    Pin.Notify(request.Get());
    return request->Pump;
  }
  void StartPump(TObject* AMaster) { Pin.Notify(new TOWStartPumpOperation(AMaster)); }

  std::vector<std::int16_t> Sent;
  TRefPtr<TOWLock> Lock;
  TALOWAudioSourcePin Pin;

 private:
  std::uint32_t FFrames = 0;
};

// ------------------------------------------------------------------ time information

TEST_F(ASIOStreaming, ABufferSwitchAsksForThePositionAndTimeFlagsThreeOrNoneWhenTheDriverFails) {
  Driver.SetOfferTimeInfo(false);
  Driver.SetSamplePosition(0x123456789A, 987654321);
  ASSERT_TRUE(Device->Start());
  EXPECT_FALSE(Driver.UsesTimeInfo());
  struct TRow {
    TASIOError Result;
    std::uint32_t Flags;
    std::int64_t Position, Time;
  };
  for (const TRow& row : {TRow{ASE_OK, 3, 0x123456789A, 987654321}, TRow{ASE_NotPresent, 0, 0, 0}}) {
    SCOPED_TRACE(row.Result);
    Driver.SetResult(EAsioCall::getSamplePosition, row.Result);
    const std::uint64_t before = Device->GetBufferSwitches();
    ASSERT_TRUE(WaitFor([&] { return Device->GetBufferSwitches() >= before + 2; }));
    const TASIOTime time = Device->GetSyncTimeInfo();
    EXPECT_EQ(time.timeInfo.flags, row.Flags);
    EXPECT_EQ(AsioToInt64(time.timeInfo.samplePosition), row.Position);
    EXPECT_EQ(AsioToInt64(time.timeInfo.systemTime), row.Time);
  }
  EXPECT_GT(Driver.SamplePositionCalls(), 0u);

  // A driver that hands its own record over is not asked.
  TSimAsio timed("Timed");
  timed.Install(Platform);
  auto device = NewDevice("Timed");
  ASSERT_TRUE(device->Start());
  EXPECT_TRUE(timed.UsesTimeInfo());
  ASSERT_TRUE(WaitFor([&] { return device->GetBufferSwitches() >= 2; }));
  const TASIOTime time = device->GetSyncTimeInfo();
  EXPECT_EQ(time.timeInfo.flags, 3u);
  EXPECT_EQ(time.timeInfo.sampleRate, 44100);
  EXPECT_GT(AsioToInt64(time.timeInfo.samplePosition), 0);
  EXPECT_EQ(AsioToInt64(time.timeInfo.samplePosition) % KHalf, 0);
  EXPECT_EQ(timed.SamplePositionCalls(), 0u);
}

// ------------------------------------------------------------------ playing

struct TToneRow {
  const char* Name;
  TASIOSampleType Type;
};

TEST_F(ASIOStreaming, TheGeneratorsTonePulledByTheDeviceIsPlayedSampleForSampleOnItsChannel) {
  for (const TToneRow& row : {TToneRow{"int16", ASIOSTInt16LSB}, TToneRow{"int32", ASIOSTInt32LSB},
                              TToneRow{"float32", ASIOSTFloat32LSB}, TToneRow{"int24 msb", ASIOSTInt24MSB},
                              TToneRow{"float64 msb", ASIOSTFloat64MSB}}) {
    SCOPED_TRACE(row.Name);
    TSimAsio driver(row.Name);
    driver.SetOutputs({{"Out 1", row.Type}, {"Out 2", row.Type}});
    driver.Install(Platform);
    TTestSink produced;  // outlives its source
    auto device = NewDevice(row.Name);
    device->GetMasterPumping().SetEnabled(true);
    device->GetOutputChannels().Add();
    device->GetOutputChannels().Add();
    auto gen = MakeToneGenerator();
    ASSERT_TRUE(gen->GetOutputPin().Connect(&device->GetOutputChannels().GetItem(0)->GetInputPin()));
    ASSERT_TRUE(gen->GetOutputPin().Connect(&produced.Pin));
    device->SetEnabled(true);
    ASSERT_TRUE(device->IsRunning());

    gen->SetEnabled(true);
    EXPECT_EQ(gen->GetMasterPump(), device.get());
    EXPECT_FALSE(gen->HasOwnClock());
    EXPECT_TRUE(device->GetOutputChannels().GetItem(0)->GetIsPump());
    ASSERT_TRUE(WaitFor([&] { return produced.BufferCount() >= 12; }));
    gen->SetEnabled(false);
    // The queued end of the tone is played, then the device stops itself.
    ASSERT_TRUE(WaitProcessing(Platform, [&] { return !device->IsRunning(); }));
    EXPECT_FALSE(device->GetEnabled());

    std::size_t gaps = 0;
    const std::vector<double> played = Sounding(driver.Recorded(0), &gaps);
    EXPECT_EQ(Mismatches(played, Scaled(produced.Samples(0), row.Type)), 0u) << played.size() << " frames played";
    EXPECT_EQ(gaps, 0u);
    EXPECT_TRUE(Sounding(driver.Recorded(1)).empty());
  }
}

TEST_F(ASIOStreaming, ASelfPacedGeneratorsToneArrivesWholeAndInOrder) {
  Driver.SetOutputs({{"Out 1", ASIOSTInt32LSB}, {"Out 2", ASIOSTInt32LSB}});
  AddOutputs(2);
  TTestSink produced;  // outlives its source
  auto gen = MakeToneGenerator();
  ASSERT_TRUE(gen->GetOutputPin().Connect(&Device->GetOutputChannels().GetItem(1)->GetInputPin()));
  ASSERT_TRUE(gen->GetOutputPin().Connect(&produced.Pin));
  Device->SetEnabled(true);
  gen->SetEnabled(true);
  EXPECT_TRUE(gen->HasOwnClock());
  EXPECT_FALSE(Device->GetOutputChannels().GetItem(1)->GetIsPump());
  ASSERT_TRUE(WaitFor([&] { return produced.BufferCount() >= 15; }));
  gen->SetEnabled(false);
  ASSERT_TRUE(WaitProcessing(Platform, [&] { return !Device->IsRunning(); }));

  const std::vector<double> played = Sounding(Driver.Recorded(1));
  EXPECT_EQ(Mismatches(played, Scaled(produced.Samples(0), ASIOSTInt32LSB)), 0u) << played.size() << " frames played";
  EXPECT_TRUE(Sounding(Driver.Recorded(0)).empty());
}

TEST_F(ASIOStreaming, WhatASourceQueuedBeforeItsStopIsPlayedOutThenTheDeviceStops) {
  // One buffer is less than a half-buffer and a buffer: it would wait for more, but the stream ends.
  for (int buffers : {1, 3}) {
    SCOPED_TRACE(buffers);
    Driver.ClearRecorded();
    AddOutputs(1);
    TTestSource source;
    ASSERT_TRUE(source.Pin.Connect(&Device->GetOutputChannels().GetItem(0)->GetInputPin()));
    ASSERT_TRUE(Device->Start());
    source.Start();
    for (int i = 0; i < buffers; ++i) source.Send(1000);
    EXPECT_TRUE(Device->IsRunning());
    source.Stop();
    ASSERT_TRUE(WaitProcessing(Platform, [&] { return !Device->IsRunning(); }));
    EXPECT_EQ(Mismatches(Sounding(Driver.Recorded(0)), Scaled(source.Sent)), 0u);
    Device->GetOutputChannels().Clear();
  }
}

TEST_F(ASIOStreaming, AnOutputTakesBuffersOnlyWhileRunningAndAStreamStartDropsWhatIsLeft) {
  Driver.SetCallbacks(false);
  TALASIOOutputChannelItem* item = AddOutputs(1)[0];
  TTestSource source;
  ASSERT_TRUE(source.Pin.Connect(&item->GetInputPin()));
  source.Send(100);
  EXPECT_EQ(item->GetQueuedFrames(), 0u);
  ASSERT_TRUE(Device->Start());
  source.Send(100);
  source.Send(50);
  EXPECT_EQ(item->GetQueuedFrames(), 150u);
  source.Start();  // the running device stays as it is
  EXPECT_EQ(item->GetQueuedFrames(), 0u);
  EXPECT_TRUE(Device->IsRunning());
  source.Send(100);
  Device->Stop();
  source.Send(100);
  EXPECT_EQ(item->GetQueuedFrames(), 100u);
}

// ------------------------------------------------------------------ recording

TEST_F(ASIOStreaming, EachRecordedInputDeliversHalfBuffersInOrderWithNoneLost) {
  Driver.SetInputs({{"In 1", ASIOSTInt16LSB}, {"In 2", ASIOSTFloat32LSB}});
  AddInputs(2);
  TTestSink sinks[2];
  // The device outlives them: they leave its pins while they are whole, however the test ends.
  struct TLeave {
    TTestSink* Sinks;
    ~TLeave() {
      for (int k = 0; k < 2; ++k) Sinks[k].Pin.Disconnect();
    }
  } leave{sinks};
  for (int k = 0; k < 2; ++k) ASSERT_TRUE(Device->GetInputChannels().GetItem(k)->GetOutputPin().Connect(&sinks[k].Pin));
  ASSERT_TRUE(Device->Start());
  ASSERT_TRUE(WaitFor([&] { return sinks[0].BufferCount() >= 40 && sinks[1].BufferCount() >= 40; }));
  Device->Stop();
  const std::size_t delivered = sinks[0].BufferCount();

  const std::uint32_t bits[] = {16, 32};
  const std::int32_t scale[] = {1, 65536};
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    const std::string events = sinks[k].Events();
    EXPECT_EQ(events, "S" + std::string(events.size() - 2, 'B') + "X");
    const std::vector<PALAudioBuffer> buffers = sinks[k].Buffers();
    ASSERT_FALSE(buffers.empty());
    // Where the first buffer starts (a multiple of the half-buffer, after the one made in start):
    // the sawtooth of channel k repeats every 1024 / (k + 1) frames.
    const std::int64_t period = 1024 / (k + 1);
    std::int64_t first = -1;
    for (std::int64_t f = KHalf; f <= period + KHalf && first < 0; f += KHalf)
      if (SimAsioSawtooth(f, k) * scale[k] == buffers[0]->GetSample(0, 0)) first = f;
    ASSERT_GE(first, 0);
    std::size_t bad = 0;
    for (std::size_t j = 0; j < buffers.size(); ++j) {
      ASSERT_EQ(buffers[j]->GetSize(), KHalf);
      ASSERT_EQ(buffers[j]->GetChannels(), 1u);
      ASSERT_EQ(buffers[j]->GetBitsPerSample(), bits[k]);
      for (std::uint32_t i = 0; i < KHalf; ++i) {
        const std::int64_t frame = first + static_cast<std::int64_t>(j * KHalf + i);
        if (buffers[j]->GetSample(i, 0) != SimAsioSawtooth(frame, k) * scale[k]) ++bad;
      }
    }
    EXPECT_EQ(bad, 0u);
  }
  EXPECT_GE(Device->GetBufferSwitches(), delivered);
}

TEST_F(ASIOStreaming, AReceiverMayStopTheDeviceFromItsDelivery) {
  AddInputs(1);
  std::atomic<int> buffers{0};
  TRefPtr<TOWLock> lock = TOWLock::Create();
  TObject owner;
  TALOWAudioSinkPin pin(&owner, lock.Get(), [&](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
    if (OWOperationAs<TOWSuppliedBufferOperation>(AOperation) && ++buffers == 5) Device->Stop();
    return TOWNotifyResult{0};
  });
  ASSERT_TRUE(Device->GetInputChannels().GetItem(0)->GetOutputPin().Connect(&pin));
  ASSERT_TRUE(Device->Start());
  // The device reads as stopped from the moment its stop begins; the driver's stop follows.
  ASSERT_TRUE(WaitFor([&] { return !Device->IsRunning() && !Driver.Running(); }));
  EXPECT_EQ(buffers.load(), 5);
  pin.Disconnect();
}

// ------------------------------------------------------------------ switches that must not wait

TEST_F(ASIOStreaming, SwitchesFromInsideCreateBuffersAndStartOnAnyThreadReturnAtOnce) {
  AddOutputs(1);
  std::atomic<int> made{0};
  Driver.SetOnCall([&](EAsioCall ACall) {
    if (ACall != EAsioCall::createBuffers && ACall != EAsioCall::start) return;
    TASIOCallbacks* callbacks = ALASIOCallbackEntries::Callbacks(Device->GetCallbackIndex());
    TASIOTime time{};
    callbacks->bufferSwitch(0, 1);
    callbacks->bufferSwitchTimeInfo(&time, 1, 1);
    // A driver whose start waits for its own thread's first switch.
    std::thread driverThread([&] { callbacks->bufferSwitch(0, 1); });
    driverThread.join();
    made += 3;
  });
  ASSERT_TRUE(Device->Start());
  Driver.SetOnCall({});
  EXPECT_EQ(made.load(), 6);
  EXPECT_GE(Driver.Switches(), 1);  // and the driver's own, from inside start
  ASSERT_TRUE(Device->IsRunning());
  // None of them touched a buffer: the first half the driver played is the silence it began with.
  const std::vector<double> first = Driver.Recorded(0);
  ASSERT_GE(first.size(), KHalf);
  for (std::uint32_t i = 0; i < KHalf; ++i) ASSERT_EQ(first[i], 0.0);
  // Streaming goes on as usual afterwards.
  const std::uint64_t before = Device->GetBufferSwitches();
  EXPECT_TRUE(WaitFor([&] { return Device->GetBufferSwitches() >= before + 3; }));
}

TEST_F(ASIOStreaming, WhileTheWorkerIsRefusedTheDriversSwitchesAreReleased) {
  ASSERT_TRUE(Device->Start());
  ASSERT_TRUE(WaitFor([&] { return Device->GetBufferSwitches() >= 2; }));
  {
    TOWLockSectionRef stopping = Device->GetLock()->StopLock();
    const std::uint64_t converted = Device->GetBufferSwitches();
    const std::int64_t switches = Driver.Switches();
    EXPECT_TRUE(WaitFor([&] { return Driver.Switches() >= switches + 5; }));
    EXPECT_EQ(Device->GetBufferSwitches(), converted);
  }
  const std::uint64_t before = Device->GetBufferSwitches();
  EXPECT_TRUE(WaitFor([&] { return Device->GetBufferSwitches() >= before + 3; }));
}

TEST_F(ASIOStreaming, SwitchesAfterStopTouchNothingAndWaitForNothing) {
  AddInputs(1);
  AddOutputs(2);
  Driver.SetLateSwitches(6);
  ASSERT_TRUE(Device->Start());
  ASSERT_TRUE(WaitFor([&] { return Device->GetBufferSwitches() >= 3; }));
  TASIOCallbacks* callbacks = Driver.Callbacks();
  Device->Stop();
  const std::uint64_t converted = Device->GetBufferSwitches();
  // The driver's late thread, once its buffers are freed, and this thread.
  ASSERT_TRUE(WaitFor([&] { return Driver.LateSwitchesMade() == 6; }));
  callbacks->bufferSwitch(1, 1);
  TASIOTime time{};
  EXPECT_EQ(callbacks->bufferSwitchTimeInfo(&time, 0, 1), nullptr);
  EXPECT_EQ(Device->GetBufferSwitches(), converted);
  ASSERT_TRUE(Device->Start());
  EXPECT_TRUE(WaitFor([&] { return Device->GetBufferSwitches() >= 2; }));
}

TEST_F(ASIOStreaming, ADriverThatNeverCallsBackStartsConvertsNothingAndStillStopsAndCloses) {
  Driver.SetCallbacks(false);
  AddInputs(2);
  AddOutputs(2);
  auto gen = MakeToneGenerator();
  ASSERT_TRUE(gen->GetOutputPin().Connect(&Device->GetOutputChannels().GetItem(0)->GetInputPin()));
  ASSERT_TRUE(Device->Start());
  gen->SetEnabled(true);
  ASSERT_TRUE(WaitFor([&] { return Device->GetOutputChannels().GetItem(0)->GetQueuedFrames() > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(Device->IsRunning());
  EXPECT_EQ(Device->GetBufferSwitches(), 0u);
  EXPECT_EQ(Driver.Switches(), 0);
  gen->SetEnabled(false);  // frames are queued: they wait to be played out
  EXPECT_TRUE(Device->IsRunning());
  Device->Stop();
  EXPECT_FALSE(Device->IsRunning());
  Device->Close();
  EXPECT_EQ(Driver.LiveObjects(), 0);
}

TEST_F(ASIOStreaming, TheSwitchCountGrowsWhileStreamingStandsAfterStopAndStartsAgainAtStart) {
  ASSERT_TRUE(Device->Start());
  ASSERT_TRUE(WaitFor([&] { return Device->GetBufferSwitches() >= 10; }));
  Device->Stop();
  const std::uint64_t count = Device->GetBufferSwitches();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(Device->GetBufferSwitches(), count);
  Driver.SetCallbacks(false);
  ASSERT_TRUE(Device->Start());
  EXPECT_EQ(Device->GetBufferSwitches(), 0u);
}

// A receiver that takes its time with every buffer.
class TSlowSink : public TObject {
 public:
  TSlowSink()
      : Lock(TOWLock::Create()),
        Pin(this, Lock.Get(), [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
          if (OWOperationAs<TOWSuppliedBufferOperation>(AOperation)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            ++Buffers;
          }
          return TOWNotifyResult{0};
        }) {}
  std::atomic<int> Buffers{0};
  TRefPtr<TOWLock> Lock;
  TALOWAudioSinkPin Pin;
};

TEST_F(ASIOStreaming, StoppingClosingOrDestroyingWhileStreamingLeavesNoThreadBlocked) {
  enum class EEnd { StopThenClose, Close, Destroy };
  struct TRow {
    const char* Name;
    int Threads;
    EEnd End;
  };
  for (const TRow& row : {TRow{"stop, close", 1, EEnd::StopThenClose}, TRow{"close", 2, EEnd::Close},
                          TRow{"destroy", 1, EEnd::Destroy}, TRow{"destroy, two threads", 2, EEnd::Destroy}}) {
    SCOPED_TRACE(row.Name);
    TSimAsio driver(row.Name);
    driver.SetCallbackThreads(row.Threads);
    driver.SetOutputs({{"Out 1", ASIOSTFloat32LSB}, {"Out 2", ASIOSTInt32LSB}});
    driver.Install(Platform);
    TSlowSink slow;  // the receivers outlive their source
    TTestSink fast;
    auto device = NewDevice(row.Name);
    device->GetMasterPumping().SetEnabled(true);
    for (int i = 0; i < 2; ++i) {
      device->GetInputChannels().Add();
      device->GetOutputChannels().Add();
    }
    auto gen = MakeToneGenerator();
    ASSERT_TRUE(gen->GetOutputPin().Connect(&device->GetOutputChannels().GetItem(1)->GetInputPin()));
    ASSERT_TRUE(device->GetInputChannels().GetItem(0)->GetOutputPin().Connect(&slow.Pin));
    ASSERT_TRUE(device->GetInputChannels().GetItem(1)->GetOutputPin().Connect(&fast.Pin));
    ASSERT_TRUE(device->Start());
    gen->SetEnabled(true);
    ASSERT_TRUE(WaitFor([&] { return device->GetBufferSwitches() >= 20 && slow.Buffers.load() >= 3; }));
    switch (row.End) {
      case EEnd::StopThenClose:
        device->Stop();
        EXPECT_FALSE(driver.Running());
        device->Close();
        break;
      case EEnd::Close:
        device->Close();
        break;
      case EEnd::Destroy:
        device.reset();
        break;
    }
    EXPECT_FALSE(driver.Running());
    EXPECT_EQ(driver.LiveObjects(), 0);
    const std::string events = fast.Events();
    EXPECT_EQ(events.front(), 'S');
    EXPECT_EQ(events.back(), 'X');
    gen->SetEnabled(false);
  }
}

// ------------------------------------------------------------------ pump claims

TEST_F(ASIOStreaming, OfTwoPumpingDevicesTheHigherPriorityIsTheNamedPumpAndTheOtherStopsPumping) {
  TSimAsio other("Other");
  other.Install(Platform);
  auto low = NewDevice();
  auto high = NewDevice("Other");
  low->GetMasterPumping().SetEnabled(true);
  low->GetMasterPumping().SetPriority(1);
  high->GetMasterPumping().SetEnabled(true);
  high->GetMasterPumping().SetPriority(2);
  TALASIOOutputChannelItem* lowItem = low->GetOutputChannels().Add();
  TALASIOOutputChannelItem* highItem = high->GetOutputChannels().Add();
  for (bool bLowFirst : {true, false}) {
    SCOPED_TRACE(bLowFirst ? "low first" : "high first");
    TTestSource source;
    TALOWAudioSinkPin* first = bLowFirst ? &lowItem->GetInputPin() : &highItem->GetInputPin();
    TALOWAudioSinkPin* second = bLowFirst ? &highItem->GetInputPin() : &lowItem->GetInputPin();
    ASSERT_TRUE(source.Pin.Connect(first));
    // Alone, the low one claims the stream; a later claim by the high one takes it over.
    if (bLowFirst) {
      EXPECT_EQ(source.Negotiate(), low.get());
      EXPECT_TRUE(lowItem->GetIsPump());
    }
    ASSERT_TRUE(source.Pin.Connect(second));
    TObject* master = source.Negotiate();
    EXPECT_EQ(master, high.get());
    source.StartPump(master);
    EXPECT_TRUE(highItem->GetIsPump());
    EXPECT_FALSE(lowItem->GetIsPump());
  }

  // Without master pumping an output never claims.
  TTestSource source;
  TALASIOOutputChannelItem* plain = Device->GetOutputChannels().Add();
  ASSERT_TRUE(source.Pin.Connect(&plain->GetInputPin()));
  EXPECT_EQ(source.Negotiate(), &source);
  EXPECT_FALSE(plain->GetIsPump());
}

// ------------------------------------------------------------------ the driver's messages

TEST_F(ASIOStreaming, MessagesFromTheCallbackThreadRunThereAndAResetStopsTheDeviceOnTheMainThread) {
  std::vector<std::string> events;
  std::mutex m;
  const std::thread::id main = std::this_thread::get_id();
  Device->SetOnResyncRequest([&](TObject*) {
    std::lock_guard g(m);
    events.push_back(std::this_thread::get_id() == main ? "resync on main" : "resync");
  });
  Device->SetOnLatenciesChanged([&](TObject*) {
    std::lock_guard g(m);
    events.push_back(std::this_thread::get_id() == main ? "latencies on main" : "latencies");
  });
  ASSERT_TRUE(Device->Start());
  Driver.PostDriverMessage(kAsioResyncRequest, 0);
  Driver.PostDriverMessage(kAsioLatenciesChanged, 0);
  Driver.PostDriverMessage(kAsioResetRequest, 0);
  ASSERT_TRUE(WaitFor([&] { return Driver.DriverMessages().size() == 3; }));
  for (const platform::sim::TSimAsioMessage& message : Driver.DriverMessages()) EXPECT_EQ(message.Answer, 1);
  {
    std::lock_guard g(m);
    EXPECT_EQ(events, (std::vector<std::string>{"resync", "latencies"}));
  }
  EXPECT_TRUE(Device->IsRunning());  // the stop waits for the main thread
  ASSERT_TRUE(WaitProcessing(Platform, [&] { return !Device->IsRunning(); }));
  EXPECT_FALSE(Device->GetEnabled());
  EXPECT_FALSE(Driver.Running());
  EXPECT_TRUE(Device->GetOpened());
}

}  // namespace
}  // namespace portwise

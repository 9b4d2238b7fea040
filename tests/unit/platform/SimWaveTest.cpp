// The wave contract on the simulation, and what only the simulation does: the scripting a test
// relies on and the record it reads back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/SimWave.h"
#include "tests/unit/platform/WaveContract.h"

namespace portwise::test::wave {
namespace {

using platform::sim::EWavePace;
using platform::sim::TSimWave;

struct TSimWaveWorld {
  TSimWaveWorld() {
    Sim.AddOutputDevice("Haut-parleurs (Realtek)");
    Sim.AddOutputDevice("Sortie numérique");
    Sim.AddInputDevice("Microphone (USB)");
    Sim.AddInputDevice("Entrée ligne");
  }
  platform::IWaveAudio& Wave() { return Sim; }
  std::uint32_t OutputDevice() { return 1; }
  std::uint32_t InputDevice() { return 1; }
  TSimWave Sim;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, WaveContract, TSimWaveWorld);

// One output and one input, each at the pace the test asks for.
class SimWaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Out = Sim.AddOutputDevice("Speakers");
    In = Sim.AddInputDevice("Line In");
  }
  pl::THWaveOut OpenOut(TCallbackLog& log, std::uint32_t id = 0, std::uint32_t flags = kDeviceFlags) {
    pl::TWaveFormatExtensible f = StereoFormat();
    pl::THWaveOut h{};
    EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutOpen(&h, id, &f, &TCallbackLog::OutProc, log.Instance(), flags));
    return h;
  }
  pl::THWaveIn OpenIn(TCallbackLog& log, const pl::TWaveFormatExtensible& f = StereoFormat()) {
    pl::THWaveIn h{};
    EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveInOpen(&h, In, &f, &TCallbackLog::InProc, log.Instance(), kDeviceFlags));
    return h;
  }
  void Queue(pl::THWaveOut h, TBlocks& b) {
    for (std::size_t i = 0; i < b.Size(); ++i) {
      ASSERT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutPrepareHeader(h, b[i]));
      ASSERT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutWrite(h, b[i]));
    }
  }
  void Queue(pl::THWaveIn h, TBlocks& b) {
    for (std::size_t i = 0; i < b.Size(); ++i) {
      ASSERT_EQ(pl::MMSYSERR_NOERROR, Sim.waveInPrepareHeader(h, b[i]));
      ASSERT_EQ(pl::MMSYSERR_NOERROR, Sim.waveInAddBuffer(h, b[i]));
    }
  }
  void ResetAndClose(pl::THWaveOut h) {
    EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutReset(h));
    EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutClose(h));
  }
  void ResetAndClose(pl::THWaveIn h) {
    EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveInReset(h));
    EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveInClose(h));
  }

  TSimWave Sim;
  std::uint32_t Out = 0, In = 0;
};

// ---------------------------------------------------------------- devices

TEST_F(SimWaveTest, DeviceNamesComeBackAsScriptedInIdentifierOrder) {
  const std::string exact31 = "Realtek Digital Output (Optica)";  // 31 characters
  ASSERT_EQ(31u, exact31.size());
  TSimWave sim;
  sim.AddOutputDevice("Haut-parleurs (Réaltek)");
  sim.AddOutputDevice("USB Audio");
  sim.AddOutputDevice("USB Audio");
  sim.AddOutputDevice(exact31);
  sim.AddOutputDevice("Périphérique à très long nom qui dépasse");
  sim.AddInputDevice("Entrée ligne (Réaltek)");

  const std::vector<std::string> expected = {"Haut-parleurs (Réaltek)", "USB Audio", "USB Audio", exact31,
                                             "Périphérique à très long nom qu"};
  ASSERT_EQ(expected.size(), sim.waveOutGetNumDevs());
  for (std::uint32_t id = 0; id < expected.size(); ++id) {
    pl::TWaveDevCaps caps;
    ASSERT_EQ(pl::MMSYSERR_NOERROR, sim.waveOutGetDevCapsW(id, caps));
    EXPECT_EQ(expected[id], caps.szPname) << id;
  }
  pl::TWaveDevCaps caps;
  ASSERT_EQ(1u, sim.waveInGetNumDevs());
  ASSERT_EQ(pl::MMSYSERR_NOERROR, sim.waveInGetDevCapsW(0, caps));
  EXPECT_EQ("Entrée ligne (Réaltek)", caps.szPname);
}

TEST_F(SimWaveTest, ACapabilitiesFailureHitsOnlyItsIdentifier) {
  TSimWave sim;
  for (const char* n : {"A", "B", "C", "D"}) {
    sim.AddOutputDevice(n);
    sim.AddInputDevice(n);
  }
  sim.FailOutputCaps(2, pl::MMSYSERR_NODRIVER);
  sim.FailInputCaps(1, pl::MMSYSERR_NOMEM);
  for (std::uint32_t id = 0; id < 4; ++id) {
    pl::TWaveDevCaps caps;
    EXPECT_EQ(id == 2 ? pl::MMSYSERR_NODRIVER : pl::MMSYSERR_NOERROR, sim.waveOutGetDevCapsW(id, caps)) << id;
    EXPECT_EQ(id == 1 ? pl::MMSYSERR_NOMEM : pl::MMSYSERR_NOERROR, sim.waveInGetDevCapsW(id, caps)) << id;
  }
  sim.FailOutputCaps(2, pl::MMSYSERR_NOERROR);
  pl::TWaveDevCaps caps;
  EXPECT_EQ(pl::MMSYSERR_NOERROR, sim.waveOutGetDevCapsW(2, caps));
  EXPECT_EQ("C", caps.szPname);
}

TEST_F(SimWaveTest, ScriptedOpenFailuresReturnTheirCodeAndLeaveNothingOpen) {
  for (pl::TMMResult code : {pl::MMSYSERR_ALLOCATED, pl::MMSYSERR_INVALPARAM}) {
    SCOPED_TRACE(code);
    TSimWave sim;
    sim.AddOutputDevice("Speakers");
    sim.AddInputDevice("Line In");
    sim.SetOutputOpenResult(0, code);
    sim.SetInputOpenResult(0, code);
    TCallbackLog log;
    pl::TWaveFormatExtensible f = StereoFormat();
    pl::THWaveOut ho{};
    pl::THWaveIn hi{};
    EXPECT_EQ(code, sim.waveOutOpen(&ho, 0, &f, &TCallbackLog::OutProc, log.Instance(), kDeviceFlags));
    EXPECT_EQ(code, sim.waveInOpen(&hi, 0, &f, &TCallbackLog::InProc, log.Instance(), kDeviceFlags));
    EXPECT_EQ(code, sim.waveOutOpen(nullptr, 0, &f, nullptr, 0, kDeviceFlags | pl::WAVE_FORMAT_QUERY));
    EXPECT_EQ(0u, log.Total());
    EXPECT_EQ(0u, sim.OpenDevices());
    EXPECT_EQ(0u, sim.RunningDeviceThreads());
    // The mapper is scripted on its own: it still opens.
    EXPECT_EQ(pl::MMSYSERR_NOERROR, sim.waveOutOpen(&ho, pl::WAVE_MAPPER, &f, nullptr, 0, kMapperFlags));
    EXPECT_EQ(pl::MMSYSERR_NOERROR, sim.waveOutClose(ho));
    const auto opens = sim.Opens();
    ASSERT_EQ(4u, opens.size());
    EXPECT_EQ(code, opens[0].Result);
    EXPECT_FALSE(opens[0].bInput);
    EXPECT_TRUE(opens[1].bInput);
    EXPECT_EQ(code, opens[1].Result);
  }
}

TEST_F(SimWaveTest, OpensAreRecordedWithTheirFormatFlagsAndTheDeviceReached) {
  Sim.AddOutputDevice("Second");
  TCallbackLog log;
  pl::TWaveFormatExtensible mono = StereoFormat(22050);
  mono.nChannels = 1;
  mono.nBlockAlign = 2;
  mono.nAvgBytesPerSec = 44100;
  mono.dwChannelMask = 1;
  pl::THWaveOut a{}, b{};
  ASSERT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutOpen(&a, pl::WAVE_MAPPER, &mono, &TCallbackLog::OutProc, log.Instance(), kMapperFlags));
  ASSERT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutOpen(&b, 1, &mono, &TCallbackLog::OutProc, log.Instance(), kDeviceFlags));
  pl::TWaveFormatExtensible odd = mono;
  odd.nAvgBytesPerSec = 1000;  // disagrees with rate and block align
  EXPECT_EQ(pl::WAVERR_BADFORMAT, Sim.waveOutOpen(&b, 1, &odd, nullptr, 0, kDeviceFlags));
  const auto opens = Sim.Opens();
  ASSERT_EQ(3u, opens.size());
  EXPECT_EQ(pl::WAVE_MAPPER, opens[0].RequestedId);
  EXPECT_EQ(0u, opens[0].DeviceId);
  EXPECT_EQ(kMapperFlags, opens[0].Flags);
  EXPECT_EQ(mono, opens[0].Format);
  EXPECT_EQ(1u, opens[1].DeviceId);
  EXPECT_EQ(kDeviceFlags, opens[1].Flags);
  EXPECT_EQ(pl::WAVERR_BADFORMAT, opens[2].Result);
  EXPECT_EQ(odd, opens[2].Format);
  EXPECT_NE(a, b);
  EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutClose(a));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutClose(b));
}

TEST_F(SimWaveTest, AnExclusiveDeviceRefusesASecondOpenWhileItIsOpen) {
  Sim.SetOutputExclusive(Out, true);
  TCallbackLog log;
  pl::THWaveOut first = OpenOut(log);
  pl::TWaveFormatExtensible f = StereoFormat();
  pl::THWaveOut second{};
  EXPECT_EQ(pl::MMSYSERR_ALLOCATED, Sim.waveOutOpen(&second, Out, &f, nullptr, 0, kDeviceFlags));
  EXPECT_EQ(pl::MMSYSERR_ALLOCATED, Sim.waveOutOpen(&second, pl::WAVE_MAPPER, &f, nullptr, 0, kMapperFlags));
  ASSERT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutClose(first));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutOpen(&second, Out, &f, nullptr, 0, kDeviceFlags));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutClose(second));
}

TEST_F(SimWaveTest, AScriptedCallFailureHitsTheNextCallsOnlyAndDoesNothing) {
  Sim.SetOutputPace(Out, EWavePace::Manual);
  TCallbackLog log;
  pl::THWaveOut h = OpenOut(log);
  Sim.FailNextCall("waveOutPause", pl::MMSYSERR_NOMEM, 1);
  EXPECT_EQ(pl::MMSYSERR_NOMEM, Sim.waveOutPause(h));
  TBlocks b(1, 20);
  Queue(h, b);
  Sim.ReleaseOutputBlocks(Out, 1);
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, 1));  // the failed pause did not pause
  EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutPause(h));
  Sim.FailNextCall("waveOutRestart", pl::MMSYSERR_ERROR, 1, 2);  // the third one fails
  EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutRestart(h));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutRestart(h));
  EXPECT_EQ(pl::MMSYSERR_ERROR, Sim.waveOutRestart(h));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutRestart(h));
  ResetAndClose(h);
}

// ---------------------------------------------------------------- pace and what was played

TEST_F(SimWaveTest, AtManualPaceExactlyTheReleasedBlocksComplete) {
  Sim.SetOutputPace(Out, EWavePace::Manual);
  TCallbackLog log;
  pl::THWaveOut h = OpenOut(log);
  TBlocks b(5, 20);
  Queue(h, b);
  std::this_thread::sleep_for(100ms);  // the audio's own duration
  EXPECT_EQ(0u, log.Count(pl::WOM_DONE));
  Sim.ReleaseOutputBlocks(Out, 2);
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, 2));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(2u, log.Count(pl::WOM_DONE));
  Sim.ReleaseOutputBlocks(Out, 3);
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, 5));
  EXPECT_EQ(b.All(), log.Headers(pl::WOM_DONE));
  ResetAndClose(h);
}

TEST_F(SimWaveTest, InRealTimeAnOutputNeedsAtLeastTheDurationOfItsAudio) {
  TCallbackLog log;
  pl::THWaveOut h = OpenOut(log);
  TBlocks b(5, 40);
  const auto start = std::chrono::steady_clock::now();
  Queue(h, b);
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, 5));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 199ms);
  ResetAndClose(h);
}

TEST_F(SimWaveTest, ThePlayedBytesAreTheFinishedBlocksInOrderWithoutTheOnesCutByReset) {
  Sim.SetOutputPace(Out, EWavePace::Manual);
  TCallbackLog log;
  pl::THWaveOut h = OpenOut(log);
  TBlocks b(4, 10);
  Queue(h, b);
  Sim.ReleaseOutputBlocks(Out, 2);
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, 2));
  ResetAndClose(h);
  std::vector<std::uint8_t> expected;
  for (std::size_t i : {0u, 1u}) expected.insert(expected.end(), b.Data(i).begin(), b.Data(i).end());
  EXPECT_EQ(expected, Sim.PlayedBytes(Out));
}

TEST_F(SimWaveTest, APauseMidBlockKeepsWhatIsLeftOfIt) {
  TCallbackLog log;
  pl::THWaveOut h = OpenOut(log);
  TBlocks b(1, 200);
  const auto start = std::chrono::steady_clock::now();
  Queue(h, b);
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutPause(h));
  std::this_thread::sleep_for(150ms);
  ASSERT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutRestart(h));
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, 1));
  // 200 ms of audio and 150 ms of pause at least: the pause did not skip the rest of the block.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 349ms);
  ResetAndClose(h);
}

TEST_F(SimWaveTest, AnOutputThatRunsDryCountsAnUnderrun) {
  TCallbackLog log;
  pl::THWaveOut h = OpenOut(log);
  TBlocks together(3, 20), late(1, 20);
  Queue(h, together);
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, 3));
  EXPECT_EQ(0u, Sim.Underruns(Out));
  std::this_thread::sleep_for(50ms);
  Queue(h, late);
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, 4));
  EXPECT_EQ(1u, Sim.Underruns(Out));
  ResetAndClose(h);
}

// ---------------------------------------------------------------- close and threads

TEST_F(SimWaveTest, ClosingWithBlocksQueuedFailsAndTheyStillPlay) {
  Sim.SetOutputPace(Out, EWavePace::Manual);
  TCallbackLog log;
  pl::THWaveOut h = OpenOut(log);
  TBlocks b(2, 20);
  Queue(h, b);
  EXPECT_EQ(pl::WAVERR_STILLPLAYING, Sim.waveOutClose(h));
  EXPECT_EQ(0u, log.Count(pl::WOM_CLOSE));
  Sim.ReleaseOutputBlocks(Out, 2);
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, 2));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutClose(h));

  pl::THWaveIn hi = OpenIn(log);
  TBlocks in(1, 20);
  Queue(hi, in);
  EXPECT_EQ(pl::WAVERR_STILLPLAYING, Sim.waveInClose(hi));
  ResetAndClose(hi);
}

TEST_F(SimWaveTest, EachOpenDeviceCallsBackFromAThreadOfItsOwnThatEndsWithItsClose) {
  TCallbackLog logA, logB;
  pl::THWaveOut a = OpenOut(logA);
  pl::THWaveOut b = OpenOut(logB);
  EXPECT_EQ(2u, Sim.RunningDeviceThreads());
  TBlocks ba(2, 10), bb(2, 10);
  Queue(a, ba);
  Queue(b, bb);
  ASSERT_TRUE(logA.WaitFor(pl::WOM_DONE, 2));
  ASSERT_TRUE(logB.WaitFor(pl::WOM_DONE, 2));
  const auto ea = logA.Events(pl::WOM_DONE), eb = logB.Events(pl::WOM_DONE);
  EXPECT_EQ(ea[0].Thread, ea[1].Thread);
  EXPECT_NE(ea[0].Thread, eb[0].Thread);
  ResetAndClose(a);
  EXPECT_EQ(1u, Sim.RunningDeviceThreads());
  ResetAndClose(b);
  EXPECT_EQ(0u, Sim.RunningDeviceThreads());
}

struct TMisbehaving {
  TSimWave* Sim = nullptr;
  std::atomic<pl::TMMResult> Result{0xFFFF};
};

void CallsResetFromItsCallback(pl::THWaveOut h, std::uint32_t msg, std::uintptr_t instance, pl::TWaveHdr*) {
  if (msg != pl::WOM_DONE) return;
  auto* m = reinterpret_cast<TMisbehaving*>(instance);
  m->Result = m->Sim->waveOutReset(h);
}

TEST_F(SimWaveTest, AWaveCallFromACallbackIsRefusedAndRecorded) {
  TMisbehaving m;
  m.Sim = &Sim;
  pl::TWaveFormatExtensible f = StereoFormat();
  pl::THWaveOut h{};
  ASSERT_EQ(pl::MMSYSERR_NOERROR,
            Sim.waveOutOpen(&h, Out, &f, &CallsResetFromItsCallback, reinterpret_cast<std::uintptr_t>(&m), kDeviceFlags));
  TBlocks b(1, 10);
  Queue(h, b);
  for (int i = 0; i < 1000 && m.Result == 0xFFFF; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(pl::MMSYSERR_ERROR, m.Result.load());
  EXPECT_EQ(std::vector<std::string>{"waveOutReset"}, Sim.CallbackViolations());
  ResetAndClose(h);
}

TEST_F(SimWaveTest, DestroyingTheSimulationEndsTheThreadsOfDevicesLeftOpen) {
  TCallbackLog log;
  auto sim = std::make_unique<TSimWave>();
  std::uint32_t id = sim->AddOutputDevice("Speakers");
  pl::TWaveFormatExtensible f = StereoFormat();
  pl::THWaveOut h{};
  ASSERT_EQ(pl::MMSYSERR_NOERROR, sim->waveOutOpen(&h, id, &f, &TCallbackLog::OutProc, log.Instance(), kDeviceFlags));
  TBlocks b(2, 500);
  for (std::size_t i = 0; i < b.Size(); ++i) {
    ASSERT_EQ(pl::MMSYSERR_NOERROR, sim->waveOutPrepareHeader(h, b[i]));
    ASSERT_EQ(pl::MMSYSERR_NOERROR, sim->waveOutWrite(h, b[i]));
  }
  sim.reset();
  EXPECT_EQ(0u, log.Count(pl::WOM_DONE));  // ended, not played out
  EXPECT_EQ(0u, log.Count(pl::WOM_CLOSE));
}

TEST_F(SimWaveTest, TheCallsAreRecordedInOrderWithTheirResults) {
  TCallbackLog log;
  pl::THWaveOut h = OpenOut(log);
  TBlocks b(1, 10);
  EXPECT_EQ(pl::WAVERR_UNPREPARED, Sim.waveOutWrite(h, b[0]));
  Queue(h, b);
  EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutReset(h));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutUnprepareHeader(h, b[0]));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, Sim.waveOutClose(h));
  const std::vector<std::string> expected = {"waveOutOpen", "waveOutWrite", "waveOutPrepareHeader", "waveOutWrite",
                                             "waveOutReset", "waveOutUnprepareHeader", "waveOutClose"};
  EXPECT_EQ(expected, Sim.CallNames());
  EXPECT_EQ(pl::WAVERR_UNPREPARED, Sim.Calls()[1].Result);
}

// ---------------------------------------------------------------- input

TEST_F(SimWaveTest, AnInputRecordsItsSignalWithoutGapsAcrossBuffers) {
  Sim.SetInputPace(In, EWavePace::Manual);
  Sim.SetInputSignal(In, TSimWave::FrameCounter());
  TCallbackLog log;
  pl::THWaveIn h = OpenIn(log);
  TBlocks b(3, 10);  // 441 frames each
  Queue(h, b);
  ASSERT_EQ(pl::MMSYSERR_NOERROR, Sim.waveInStart(h));
  Sim.ReleaseInputBlocks(In, 3);
  ASSERT_TRUE(log.WaitFor(pl::WIM_DATA, 3));
  std::int16_t expected = 0;
  for (std::size_t i = 0; i < b.Size(); ++i) {
    ASSERT_EQ(b[i]->dwBufferLength, b[i]->dwBytesRecorded);
    for (std::uint32_t off = 0; off < b[i]->dwBytesRecorded; off += 4, ++expected) {
      std::int16_t left, right;
      std::memcpy(&left, b[i]->lpData + off, 2);
      std::memcpy(&right, b[i]->lpData + off + 2, 2);
      ASSERT_EQ(expected, left) << i << " " << off;
      ASSERT_EQ(expected, right) << i << " " << off;
    }
  }
  ResetAndClose(h);
}

TEST_F(SimWaveTest, AStoppedInputHandsBackWholeFramesOfItsSignal) {
  Sim.SetInputSignal(In, TSimWave::FrameCounter());
  TCallbackLog log;
  pl::THWaveIn h = OpenIn(log);
  TBlocks b(2, 500);
  Queue(h, b);
  ASSERT_EQ(pl::MMSYSERR_NOERROR, Sim.waveInStart(h));
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(pl::MMSYSERR_NOERROR, Sim.waveInStop(h));
  ASSERT_EQ(1u, log.Count(pl::WIM_DATA));
  const std::uint32_t got = b[0]->dwBytesRecorded;
  EXPECT_GT(got, 0u);
  EXPECT_LT(got, b[0]->dwBufferLength);
  EXPECT_EQ(0u, got % 4);
  std::int16_t last;
  std::memcpy(&last, b[0]->lpData + got - 4, 2);
  EXPECT_EQ(static_cast<std::int16_t>(got / 4 - 1), last);
  ResetAndClose(h);
}

TEST_F(SimWaveTest, ASineSignalHoldsTheScriptedToneInEveryChannel) {
  Sim.SetInputPace(In, EWavePace::Manual);
  Sim.SetInputSignal(In, TSimWave::Sine(1000.0, 16383.0));
  TCallbackLog log;
  pl::THWaveIn h = OpenIn(log);
  TBlocks b(1, 10);
  Queue(h, b);
  ASSERT_EQ(pl::MMSYSERR_NOERROR, Sim.waveInStart(h));
  Sim.ReleaseInputBlocks(In, 1);
  ASSERT_TRUE(log.WaitFor(pl::WIM_DATA, 1));
  auto sample = [&](std::uint32_t frame, int ch) {
    std::int16_t v;
    std::memcpy(&v, b[0]->lpData + frame * 4 + ch * 2, 2);
    return v;
  };
  // 44.1 frames per period: a quarter period is the crest, frames 0 and 441 cross zero.
  EXPECT_EQ(0, sample(0, 0));
  EXPECT_NEAR(16383, sample(11, 0), 50);
  EXPECT_EQ(sample(11, 0), sample(11, 1));
  EXPECT_NEAR(-16383, sample(33, 1), 50);
  ResetAndClose(h);
}

}  // namespace
}  // namespace portwise::test::wave

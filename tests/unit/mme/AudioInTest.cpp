// The waveform-audio input on the simulated wave service: the pump claim, the open with its own
// format, 40 capture buffers replaced one for one, what reaches a receiver, the stop with its
// resets and end-stop, operations from downstream, the initialise hook and the error reports.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "core/ALAudioBuffer.h"
#include "core/LPComponent.h"
#include "core/OWOperations.h"
#include "core/OWPins.h"
#include "mme/ALAudioIn.h"
#include "platform/Platform.h"
#include "platform/sim/SimPlatform.h"
#include "tests/unit/FaultSupport.h"

namespace portwise {
namespace {

using platform::TMMResult;
using platform::sim::EWavePace;
using platform::sim::TSimPlatform;
using platform::sim::TSimWave;

// Waits (bounded) until `pred` holds; the bound only keeps a broken build from hanging.
template <class P>
bool WaitFor(P pred) {
  for (int i = 0; i < 10000 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return pred();
}

// A receiver downstream of the input. It records what arrives, in order: 'R' pump request,
// 'S' start, 'B' buffer, 'E' end-stop, 'X' stop, '?' anything else; told to, it claims the
// stream with a priority of its own, the way a hardware output does.
class TCaptureSink : public TObject {
 public:
  TCaptureSink()
      : Lock(TOWLock::Create()),
        Pin(this, Lock.Get(), [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
          return Handle(AOperation);
        }) {}

  bool bClaim = false;
  std::int32_t ClaimPriority = 0;

  std::string Events() { std::lock_guard g(M); return FEvents; }
  std::size_t BufferCount() { std::lock_guard g(M); return FBuffers.size(); }
  std::vector<PALAudioBuffer> Buffers() { std::lock_guard g(M); return FBuffers; }
  std::vector<std::thread::id> BufferThreads() { std::lock_guard g(M); return FBufferThreads; }
  TALWaveFormatExtensible LastFormat() { std::lock_guard g(M); return FFormat; }
  // Lets the buffers received so far go (their storage goes back to the pool).
  void ForgetBuffers() { std::lock_guard g(M); FBuffers.clear(); }
  struct TRequest {
    TObject* Pump = nullptr;
    TOWPumpType PumpType = ptNone;
    std::int32_t PumpPriority = 0;
    float DesiredRate = 0;
  };
  // The pump request as it reached this sink (before any claim of its own).
  TRequest SeenRequest() { std::lock_guard g(M); return FRequest; }

  TRefPtr<TOWLock> Lock;
  TALOWAudioSinkPin Pin;

 private:
  TOWNotifyResult Handle(IOWNotifyOperation* AOperation) {
    std::lock_guard g(M);
    if (auto* request = OWOperationAs<TOWPumpRequestOperation>(AOperation)) {
      FEvents += 'R';
      FRequest = {request->Pump, request->PumpType, request->PumpPriority, request->DesiredRate};
      if (bClaim && (request->PumpType != ptHardware || request->PumpPriority < ClaimPriority)) {
        request->Pump = this;
        request->PumpType = ptHardware;
        request->PumpPriority = ClaimPriority;
      }
    } else if (auto* start = OWOperationAs<TOWStartWaveOperation>(AOperation)) {
      FEvents += 'S';
      FFormat = start->WaveFormat;
    } else if (auto* buffer = OWOperationAs<TOWSuppliedBufferOperation>(AOperation)) {
      FEvents += 'B';
      FBuffers.push_back(TALAudioBuffer::CreateUniversal(buffer->Buffer.Get()));
      FBufferThreads.push_back(std::this_thread::get_id());
    } else if (OWOperationAs<TOWEndStopOperation>(AOperation)) {
      FEvents += 'E';
    } else if (OWOperationAs<TOWStopOperation>(AOperation)) {
      FEvents += 'X';
    } else {
      FEvents += '?';
    }
    return 0;
  }

  std::mutex M;
  std::string FEvents;
  std::vector<PALAudioBuffer> FBuffers;
  std::vector<std::thread::id> FBufferThreads;
  TALWaveFormatExtensible FFormat{};
  TRequest FRequest;
};

// The shell's capture format.
void SetShellFormat(TALAudioIn& AInput) {
  TALAudioFormat& f = AInput.GetAudioFormat();
  f.SetChannels(2);
  f.SetBits(16);
  f.SetSampleRate(44100);
  f.SetBufferSize(1024);
}

class AudioInTest : public ::testing::Test {
 protected:
  AudioInTest() {
    Mic = Wave().AddInputDevice("Microphone");
    Line = Wave().AddInputDevice("Line In");
    Wave().SetInputPace(Mic, EWavePace::Manual);
    Wave().SetInputPace(Line, EWavePace::Manual);
    Input = CreateComponent<TALAudioIn>(nullptr);
    SetShellFormat(*Input);
    Sink.Pin.Connect(&Input->GetOutputPin());
  }

  TSimWave& Wave() { return Platform.SimWave(); }
  std::size_t Calls(const std::string& function) {
    std::size_t n = 0;
    for (const std::string& c : Wave().CallNames()) n += c == function;
    return n;
  }
  // The calls made after the first `from` ones.
  std::vector<std::string> CallsSince(std::size_t from) {
    std::vector<std::string> names = Wave().CallNames();
    return {names.begin() + static_cast<std::ptrdiff_t>(from), names.end()};
  }
  // Fills `count` more blocks and waits until the sink has `total` buffers.
  bool Capture(unsigned count, std::size_t total) {
    Wave().ReleaseInputBlocks(Mic, count);
    return WaitFor([&] { return Sink.BufferCount() >= total; });
  }

  TSimPlatform Platform;
  std::uint32_t Mic = 0, Line = 0;
  TCaptureSink Sink;
  std::unique_ptr<TALAudioIn> Input;
};

// ------------------------------------------------------------------ lifecycle

TEST_F(AudioInTest, AnInputCreatedByCodeStartsDisabledAndOpensNothing) {
  EXPECT_FALSE(Input->GetEnabled());
  EXPECT_FALSE(Input->IsOpen());
  EXPECT_TRUE(Wave().Opens().empty());
  EXPECT_EQ(Sink.Events(), "");
}

TEST_F(AudioInTest, EnablingOpensTheDeviceWithItsOwnFormatAndQueuesFortyBuffers) {
  const std::size_t before = Wave().CallNames().size();
  Input->SetEnabled(true);

  ASSERT_EQ(Wave().Opens().size(), 1u);
  const TSimWave::TOpenRecord open = Wave().Opens()[0];
  EXPECT_TRUE(open.bInput);
  EXPECT_EQ(open.Result, 0u);
  EXPECT_EQ(open.Format.wFormatTag, 0xFFFE);
  EXPECT_EQ(open.Format.nChannels, 2);
  EXPECT_EQ(open.Format.nSamplesPerSec, 44100u);
  EXPECT_EQ(open.Format.wBitsPerSample, 16);
  EXPECT_EQ(open.Format.wValidBitsPerSample, 16);
  EXPECT_EQ(open.Format.nBlockAlign, 4);
  EXPECT_EQ(open.Format.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(open.Format.dwChannelMask, 3u);
  EXPECT_EQ(open.Format.cbSize, 22);

  // Opened and started first, then the buffers go to the device one by one.
  std::vector<std::string> expected{"waveInOpen", "waveInStart"};
  for (std::size_t i = 0; i < TALAudioIn::KCaptureBuffers; ++i) {
    expected.push_back("waveInPrepareHeader");
    expected.push_back("waveInAddBuffer");
  }
  std::vector<std::string> calls = CallsSince(before);
  std::erase_if(calls, [](const std::string& c) { return c == "waveInGetNumDevs" || c == "waveInGetDevCapsW"; });
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(Input->BuffersAtDevice(), 40u);
  EXPECT_TRUE(Input->GetEnabled());
  EXPECT_TRUE(Input->GetEnablePin().GetValue());
  EXPECT_EQ(Sink.Events(), "RS");
  EXPECT_EQ(Sink.LastFormat().nSamplesPerSec, 44100u);
  EXPECT_EQ(Sink.LastFormat().nBlockAlign, 4);
}

TEST_F(AudioInTest, EveryFilledBufferIsReplacedByAFreshOneAndSentWhole) {
  Input->SetEnabled(true);
  ASSERT_TRUE(Capture(45, 45));
  ASSERT_TRUE(WaitFor([&] { return Calls("waveInAddBuffer") == 85; }));

  EXPECT_EQ(Input->BuffersAtDevice(), 40u);
  EXPECT_EQ(Calls("waveInUnprepareHeader"), 45u);
  for (const PALAudioBuffer& b : Sink.Buffers()) {
    EXPECT_EQ(b->GetSize(), 1024u);
    EXPECT_EQ(b->GetByteSize(), 4096u);
    EXPECT_EQ(b->GetChannels(), 2u);
    EXPECT_EQ(b->GetBitsPerSample(), 16u);
    EXPECT_EQ(b->GetSampleRate(), 44100u);
  }
}

// Every sample of frame n holds n: the received samples show any loss, repeat or reordering.
class AudioInPaceTest : public AudioInTest, public ::testing::WithParamInterface<EWavePace> {};

TEST_P(AudioInPaceTest, WhatTheSinkReceivesIsWhatTheDeviceCapturedInOrder) {
  Wave().SetInputPace(Mic, GetParam());
  Wave().SetInputSignal(Mic, TSimWave::FrameCounter());
  Input->SetEnabled(true);
  const std::size_t count = GetParam() == EWavePace::Manual ? 100 : 12;
  ASSERT_TRUE(Capture(static_cast<unsigned>(count), count));
  Input->SetEnabled(false);

  const std::vector<PALAudioBuffer> buffers = Sink.Buffers();
  ASSERT_GE(buffers.size(), count);
  // At real pace the first block starts where the device was when it was queued.
  const auto first = static_cast<std::uint16_t>(buffers[0]->GetSample(0, 0));
  if (GetParam() == EWavePace::Manual) {
    EXPECT_EQ(first, 0);
  }
  std::uint32_t frame = 0, mismatches = 0;
  for (const PALAudioBuffer& b : buffers) {
    ASSERT_EQ(b->GetSize(), 1024u);
    for (std::uint32_t i = 0; i < b->GetSize(); ++i, ++frame)
      for (std::uint32_t c = 0; c < 2; ++c)
        mismatches += static_cast<std::uint16_t>(b->GetSample(i, c)) != static_cast<std::uint16_t>(first + frame);
  }
  EXPECT_EQ(mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(Pace, AudioInPaceTest, ::testing::Values(EWavePace::Manual, EWavePace::RealTime),
                         [](const ::testing::TestParamInfo<EWavePace>& p) { return p.param == EWavePace::Manual ? "Manual" : "RealTime"; });

TEST_F(AudioInTest, BuffersAreDeliveredOnTheInputsOwnWaveThread) {
  Input->SetEnabled(true);
  ASSERT_TRUE(Capture(3, 3));
  const std::vector<std::thread::id> threads = Sink.BufferThreads();
  EXPECT_NE(threads[0], std::this_thread::get_id());
  EXPECT_EQ(threads[1], threads[0]);
  EXPECT_EQ(threads[2], threads[0]);
  EXPECT_EQ(Platform.ThreadName(threads[0]), "TALAudioIn.TALWaveThread");
}

TEST_F(AudioInTest, StopClosesTheDeviceAndAnEndStopFollowsTheLastBuffer) {
  Input->SetEnabled(true);
  ASSERT_TRUE(Capture(5, 5));
  ASSERT_TRUE(WaitFor([&] { return Calls("waveInAddBuffer") == 45; }));
  const std::size_t before = Wave().CallNames().size();
  Input->SetEnabled(false);

  std::vector<std::string> expected{"waveInReset"};
  expected.insert(expected.end(), 40, "waveInUnprepareHeader");
  expected.push_back("waveInClose");
  EXPECT_EQ(CallsSince(before), expected);
  EXPECT_EQ(Wave().OpenDevices(), 0u);
  EXPECT_EQ(Input->BuffersAtDevice(), 0u);
  EXPECT_FALSE(Input->IsOpen());
  EXPECT_FALSE(Input->GetEnabled());
  EXPECT_FALSE(Input->GetEnablePin().GetValue());

  // The buffers the reset handed back are not sent; the release ends the wave thread first, so
  // nothing it still had can come later (the disconnection then sends its own stop).
  Input.reset();
  EXPECT_EQ(Sink.Events(), "RSBBBBBEX");
}

TEST_F(AudioInTest, ABufferTheDeviceNeverTookIsResetAgainBeforeTheDeviceCloses) {
  Wave().FailNextCall("waveInAddBuffer", platform::MMSYSERR_NOMEM);
  Input->SetEnabled(true);
  const std::size_t before = Wave().CallNames().size();
  Input->SetEnabled(false);

  std::vector<std::string> expected{"waveInReset", "waveInReset"};
  expected.insert(expected.end(), 40, "waveInUnprepareHeader");
  expected.push_back("waveInClose");
  EXPECT_EQ(CallsSince(before), expected);
  EXPECT_EQ(Wave().OpenDevices(), 0u);
  EXPECT_FALSE(Input->GetEnabled());
}

TEST_F(AudioInTest, CapturingCanStartAgainAfterAStop) {
  Wave().SetInputSignal(Mic, TSimWave::FrameCounter());
  Input->SetEnabled(true);
  ASSERT_TRUE(Capture(2, 2));
  Input->SetEnabled(false);
  Input->GetAudioFormat().SetSampleRate(22050);  // read at the next start
  Input->SetEnabled(true);
  ASSERT_TRUE(Capture(2, 4));

  ASSERT_EQ(Wave().Opens().size(), 2u);
  EXPECT_EQ(Wave().Opens()[1].Format.nSamplesPerSec, 22050u);
  EXPECT_EQ(Input->BuffersAtDevice(), 40u);
  EXPECT_EQ(Sink.Events(), "RSBBERSBB");
  EXPECT_EQ(Sink.Buffers()[3]->GetSampleRate(), 22050u);
  EXPECT_EQ(Sink.Buffers()[2]->GetSample(0, 0), 0);  // a new stream from the device
}

TEST_F(AudioInTest, AFormatChangeWhileCapturingWaitsForTheNextStart) {
  Input->SetEnabled(true);
  Input->GetAudioFormat().SetChannels(1);
  ASSERT_TRUE(Capture(41, 41));
  EXPECT_EQ(Wave().Opens().size(), 1u);
  for (const PALAudioBuffer& b : Sink.Buffers()) EXPECT_EQ(b->GetChannels(), 2u);
}

TEST_F(AudioInTest, StartWhileEnabledDoesNothing) {
  Input->SetEnabled(true);
  const std::size_t before = Wave().CallNames().size();
  Input->Start();
  EXPECT_EQ(Wave().CallNames().size(), before);
  EXPECT_EQ(Wave().Opens().size(), 1u);
  EXPECT_EQ(Sink.Events(), "RS");
}

TEST_F(AudioInTest, StopWhileDisabledDoesNothing) {
  Input->Stop();
  Input->SetEnabled(false);
  EXPECT_TRUE(Wave().CallNames().empty());
  EXPECT_EQ(Sink.Events(), "");
  EXPECT_FALSE(Input->GetEnabled());
}

TEST_F(AudioInTest, StartCapturesLikeEnabling) {
  Input->Start();
  EXPECT_TRUE(Input->GetEnabled());
  EXPECT_EQ(Input->BuffersAtDevice(), 40u);
  Input->Stop();
  EXPECT_FALSE(Input->GetEnabled());
  EXPECT_EQ(Wave().OpenDevices(), 0u);
  EXPECT_EQ(Sink.Events(), "RSE");
}

TEST_F(AudioInTest, ReleasingACapturingInputClosesItsDevice) {
  Input->SetEnabled(true);
  ASSERT_TRUE(Capture(3, 3));
  Input.reset();
  EXPECT_EQ(Wave().OpenDevices(), 0u);
  EXPECT_EQ(Wave().RunningDeviceThreads(), 0u);
  EXPECT_EQ(Sink.Events(), "RSBBBEX");
}

TEST_F(AudioInTest, AnInputLoadedEnabledStartsWhenLoadingCompletes) {
  std::unique_ptr<TALAudioIn> loaded = LoadComponent<TALAudioIn>([](TALAudioIn& in) {
    SetShellFormat(in);
    in.SetEnabled(true);
    EXPECT_FALSE(in.IsOpen());
  }, nullptr);
  EXPECT_TRUE(loaded->GetEnabled());
  EXPECT_TRUE(loaded->IsOpen());
  EXPECT_EQ(loaded->BuffersAtDevice(), 40u);
  EXPECT_TRUE(loaded->GetEnablePin().GetValue());

  std::unique_ptr<TALAudioIn> disabled =
      LoadComponent<TALAudioIn>([](TALAudioIn& in) { in.SetEnabled(false); }, nullptr);
  EXPECT_FALSE(disabled->IsOpen());
  EXPECT_EQ(Wave().Opens().size(), 1u);
}

TEST_F(AudioInTest, AValueFromAConnectedStatePinEnablesTheInput) {
  TOWBoolStatePin other(&Sink, Sink.Lock.Get(), [](TOWPin*, bool, bool) {});
  ASSERT_TRUE(other.Connect(&Input->GetEnablePin()));
  other.SetValue(true);
  EXPECT_TRUE(Input->GetEnabled());
  EXPECT_EQ(Input->BuffersAtDevice(), 40u);
  other.SetValue(false);
  EXPECT_FALSE(Input->GetEnabled());
  EXPECT_EQ(Wave().OpenDevices(), 0u);
}

// ------------------------------------------------------------------ device choice

struct TDeviceCase {
  const char* Name;
  std::uint32_t RequestedId;
  std::uint32_t Flags;
};

void PrintTo(const TDeviceCase& c, std::ostream* os) { *os << '"' << c.Name << '"'; }

class AudioInDeviceTest : public AudioInTest, public ::testing::WithParamInterface<TDeviceCase> {};

TEST_P(AudioInDeviceTest, TheDeviceIsOpenedByItsExactName) {
  Input->GetDevice().SetDeviceName(GetParam().Name);
  Input->SetEnabled(true);
  ASSERT_EQ(Wave().Opens().size(), 1u);
  EXPECT_EQ(Wave().Opens()[0].RequestedId, GetParam().RequestedId);
  EXPECT_EQ(Wave().Opens()[0].Flags, GetParam().Flags);
}

INSTANTIATE_TEST_SUITE_P(Names, AudioInDeviceTest,
                         ::testing::Values(TDeviceCase{"Line In", 1, 0x30006}, TDeviceCase{"Microphone", 0, 0x30006},
                                           TDeviceCase{"Default", 0xFFFFFFFF, 0x30002},
                                           TDeviceCase{"line in", 0xFFFFFFFF, 0x30002},
                                           TDeviceCase{"Unplugged", 0xFFFFFFFF, 0x30002}),
                         [](const ::testing::TestParamInfo<TDeviceCase>& p) {
                           std::string n = p.param.Name;
                           std::erase(n, ' ');
                           return n + "_" + std::to_string(p.index);
                         });

TEST_F(AudioInTest, ACapabilitiesFailureDuringTheLookupIsTheInputsWarning) {
  struct TWarning {
    TObject* Sender;
    std::string Text;
    std::int32_t Code;
  };
  std::vector<TWarning> warnings;
  Input->SetOnWarning([&](TObject* s, const std::string& t, std::int32_t c) { warnings.push_back({s, t, c}); });
  Wave().FailInputCaps(Mic, 7);
  Input->GetDevice().SetDeviceName("Line In");
  Input->SetEnabled(true);

  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].Sender, Input.get());
  EXPECT_EQ(warnings[0].Text, "Can't get device capabilities.");
  EXPECT_EQ(warnings[0].Code, 7);
  EXPECT_EQ(Wave().Opens()[0].RequestedId, 0u);
  EXPECT_TRUE(Input->GetEnabled());
}

// ------------------------------------------------------------------ pumping

TEST_F(AudioInTest, TheInputAsksToPumpFromItsHardware) {
  Input->SetPumpPriority(7);
  Input->SetEnabled(true);
  const TCaptureSink::TRequest seen = Sink.SeenRequest();
  EXPECT_EQ(seen.Pump, Input.get());
  EXPECT_EQ(seen.PumpType, ptHardware);
  EXPECT_EQ(seen.PumpPriority, 7);
  EXPECT_EQ(seen.DesiredRate, 1.0f);
  EXPECT_TRUE(Input->IsPump());
  EXPECT_EQ(Input->GetPumpFrameRate(), 1.0);
}

TEST_F(AudioInTest, WithNoReceiverTheInputIsItsOwnPumpAndCaptures) {
  Sink.Pin.Disconnect();
  Input->SetEnabled(true);
  EXPECT_TRUE(Input->IsPump());
  Wave().ReleaseInputBlocks(Mic, 3);
  EXPECT_TRUE(WaitFor([&] { return Calls("waveInAddBuffer") == 43; }));
  EXPECT_EQ(Input->BuffersAtDevice(), 40u);
}

TEST_F(AudioInTest, AStrongerClaimDownstreamLeavesTheDeviceStartedWithoutBuffers) {
  Sink.bClaim = true;
  Sink.ClaimPriority = 1;
  Input->SetEnabled(true);
  EXPECT_FALSE(Input->IsPump());
  EXPECT_TRUE(Input->IsOpen());
  EXPECT_EQ(Calls("waveInStart"), 1u);
  EXPECT_EQ(Calls("waveInAddBuffer"), 0u);
  EXPECT_TRUE(Input->GetEnabled());
  EXPECT_EQ(Sink.Events(), "RS");
}

TEST_F(AudioInTest, AClaimOfEqualPriorityLeavesThePumpToTheInput) {
  Sink.bClaim = true;
  Sink.ClaimPriority = 0;
  Input->SetEnabled(true);
  EXPECT_TRUE(Input->IsPump());
  EXPECT_EQ(Input->BuffersAtDevice(), 40u);
}

// ------------------------------------------------------------------ from downstream

TEST_F(AudioInTest, AStopFromDownstreamStopsCapturingAndIsPassedOn) {
  Input->SetEnabled(true);
  TRefPtr<TOWStopOperation> stop(new TOWStopOperation());
  Sink.Pin.Notify(stop.Get());
  EXPECT_FALSE(Input->GetEnabled());
  EXPECT_EQ(Wave().OpenDevices(), 0u);
  EXPECT_EQ(Sink.Events(), "RSEX");
}

TEST_F(AudioInTest, AStartFromDownstreamReopensWithItsFormatWithoutStarting) {
  Input->SetEnabled(true);
  TALWaveFormatExtensible format = *Input->GetAudioFormat().GetWaveFormat();
  format.nChannels = 1;
  format.nBlockAlign = 2;
  format.nAvgBytesPerSec = 88200;
  format.dwChannelMask = 4;
  TRefPtr<TOWStartWaveOperation> start(new TOWStartWaveOperation(format, false));
  Sink.Pin.Notify(start.Get());

  ASSERT_EQ(Wave().Opens().size(), 2u);
  EXPECT_EQ(Wave().Opens()[1].Format, ALToWaveFormat(format));
  EXPECT_EQ(Wave().Opens()[1].Result, 0u);
  EXPECT_EQ(Wave().OpenDevices(), 1u);
  EXPECT_EQ(Calls("waveInStart"), 1u);
  EXPECT_EQ(Sink.Events(), "RSES");
  EXPECT_EQ(Sink.LastFormat().nChannels, 1);
  Input.reset();
  EXPECT_EQ(Wave().OpenDevices(), 0u);
}

TEST_F(AudioInTest, APumpRequestFromDownstreamIsIgnoredAndOtherOperationsArePassedOn) {
  Input->SetEnabled(true);
  TRefPtr<TOWMasterPumpOperation> pump(new TOWMasterPumpOperation(&Sink));
  Sink.Pin.Notify(pump.Get());
  TRefPtr<TOWClockNeededOperation> other(new TOWClockNeededOperation(true));
  Sink.Pin.Notify(other.Get());
  EXPECT_EQ(Sink.Events(), "RS?");
  EXPECT_EQ(Input->BuffersAtDevice(), 40u);
}

// ------------------------------------------------------------------ failures

// A start that failed leaves its device open: it is closed by the next start and by the release.
TEST_F(AudioInTest, ADeviceLeftOpenByAFailedStartIsClosedBeforeTheNextOpen) {
  Wave().SetInputExclusive(Mic, true);
  Wave().FailNextCall("waveInStart", platform::MMSYSERR_ERROR);
  EXPECT_THROW(Input->SetEnabled(true), ESLException);
  EXPECT_EQ(Wave().OpenDevices(), 1u);

  Input->SetEnabled(true);
  EXPECT_TRUE(Input->GetEnabled());
  EXPECT_EQ(Wave().OpenDevices(), 1u);
  EXPECT_EQ(Input->BuffersAtDevice(), 40u);

  Wave().FailNextCall("waveInStart", platform::MMSYSERR_ERROR);
  Input->SetEnabled(false);
  EXPECT_THROW(Input->SetEnabled(true), ESLException);
  Input.reset();
  EXPECT_EQ(Wave().OpenDevices(), 0u);
}

struct TErrorCase {
  const char* Case;
  const char* DeviceName;
  std::function<void(TSimWave&)> Script;
  unsigned FailingReset;  // which waveInReset fails (0: none)
  bool bWhileStopping;    // the error comes from the stop, after a start that worked
  const char* Text;
  std::uint32_t Code;
  const char* Message;
};

void PrintTo(const TErrorCase& c, std::ostream* os) { *os << c.Case; }

class AudioInErrorTest : public AudioInTest,
                         public ::testing::WithParamInterface<std::tuple<TErrorCase, bool>> {};

TEST_P(AudioInErrorTest, AFailureIsReportedWithItsTextAndCode) {
  const TErrorCase& c = std::get<0>(GetParam());
  const bool bHandled = std::get<1>(GetParam());
  if (c.FailingReset) Wave().FailNextCall("waveInReset", c.Code, 1, c.FailingReset - 1);

  struct TReport {
    TObject* Sender;
    std::string Text;
    std::int32_t Code;
    bool bHandledOnEntry;
  };
  std::vector<TReport> reports;
  Input->SetOnError([&](TObject* s, const std::string& t, std::int32_t code, bool& handled) {
    reports.push_back({s, t, code, handled});
    handled = bHandled;
  });
  Input->GetDevice().SetDeviceName(c.DeviceName);
  c.Script(Wave());
  if (c.bWhileStopping) Input->SetEnabled(true);

  const bool bValue = !c.bWhileStopping;
  std::string message;
  try {
    Input->SetEnabled(bValue);
  } catch (const ESLException& e) {
    message = e.what();
    EXPECT_EQ(e.ErrorText(), c.Text);
    EXPECT_EQ(static_cast<std::uint32_t>(e.ErrorCode()), c.Code);
  }
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].Sender, Input.get());
  EXPECT_EQ(reports[0].Text, c.Text);
  EXPECT_EQ(static_cast<std::uint32_t>(reports[0].Code), c.Code);
  EXPECT_FALSE(reports[0].bHandledOnEntry);
  if (bHandled) {
    EXPECT_EQ(message, "");
  } else {
    EXPECT_EQ(message, c.Message);
    EXPECT_EQ(Input->GetEnabled(), !bValue);  // the exception left before the value was stored
  }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, AudioInErrorTest,
    ::testing::Combine(
        ::testing::Values(
            TErrorCase{"OpenOfANamedDevice", "Line In", [](TSimWave& w) { w.SetInputOpenResult(1, 4); }, 0, false,
                       "Can't open audio device.", 4, "Can't open audio device. - 4 - 4"},
            TErrorCase{"OpenOfTheMapper", "Default",
                       [](TSimWave& w) { w.SetInputOpenResult(platform::WAVE_MAPPER, 11); }, 0, false,
                       "Can't open audio device.", 11, "Can't open audio device. - 11 - B"},
            TErrorCase{"Start", "Default", [](TSimWave& w) { w.FailNextCall("waveInStart", 6); }, 0, false,
                       "Can't start audio device.", 6, "Can't start audio device. - 6 - 6"},
            TErrorCase{"Reset", "Default", [](TSimWave&) {}, 1, true, "Can't restart audio device.", 5,
                       "Can't restart audio device. - 5 - 5"},
            // A buffer the device never took is not given back by the first reset.
            TErrorCase{"SecondReset", "Default",
                       [](TSimWave& w) { w.FailNextCall("waveInAddBuffer", platform::MMSYSERR_NOMEM); }, 2, true, "Can't restart audio device.", 0x4A,
                       "Can't restart audio device. - 74 - 4A"}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<TErrorCase, bool>>& p) {
      return std::string(std::get<0>(p.param).Case) + (std::get<1>(p.param) ? "Handled" : "Raised");
    });

// The second reset only happens when a buffer did not come back from the first one.
TEST_F(AudioInTest, AfterAFailedSecondResetTheBuffersStayUntilTheRelease) {
  Wave().FailNextCall("waveInAddBuffer", platform::MMSYSERR_NOMEM);
  Input->SetEnabled(true);
  Wave().FailNextCall("waveInReset", 3, 1, 1);  // the second one
  EXPECT_THROW(Input->SetEnabled(false), ESLException);
  EXPECT_EQ(Input->BuffersAtDevice(), 40u);
  EXPECT_EQ(Calls("waveInClose"), 0u);
  Input.reset();
  EXPECT_EQ(Wave().OpenDevices(), 0u);
}

// ------------------------------------------------------------------ faults

enum class EArmed { Start, Capture, Stop };

struct TWaveInFault {
  const char* Name;
  const char* Function;
  EArmed When;        // armed just before this step
  unsigned After;     // calls of it that work first
  bool bOneNotTaken;  // one buffer never reaches the device (its add fails) before the case
  const char* Text;   // nullptr: the failure is not reported and capture goes on
  bool bLeftOpen;     // the device stays open until the next open or the release
};

// Every failing waveIn call with every code a driver may answer. Each case ends with the input
// released: no device open, no device thread, every storage block back in the pool, every thread
// ended; before that, once the device works again, the same input captures and stops.
TEST_F(AudioInTest, EveryFailingCallWithEveryCodeIsReportedOrIgnoredAndEndsCleanly) {
  const TMMResult codes[] = {platform::MMSYSERR_ERROR,       platform::MMSYSERR_BADDEVICEID, platform::MMSYSERR_ALLOCATED,
                             platform::MMSYSERR_INVALHANDLE, platform::MMSYSERR_NODRIVER,    platform::MMSYSERR_NOMEM,
                             platform::MMSYSERR_INVALPARAM,  platform::WAVERR_BADFORMAT,     platform::WAVERR_STILLPLAYING};
  const TWaveInFault faults[] = {
      {"open", "waveInOpen", EArmed::Start, 0, false, "Can't open audio device.", false},
      {"start", "waveInStart", EArmed::Start, 0, false, "Can't start audio device.", true},
      {"reset", "waveInReset", EArmed::Stop, 0, false, "Can't restart audio device.", false},
      {"second reset", "waveInReset", EArmed::Stop, 1, true, "Can't restart audio device.", false},
      {"prepare", "waveInPrepareHeader", EArmed::Start, 0, false, nullptr, false},
      {"add", "waveInAddBuffer", EArmed::Start, 0, false, nullptr, false},
      {"unprepare after a block", "waveInUnprepareHeader", EArmed::Capture, 0, false, nullptr, false},
      {"unprepare at the stop", "waveInUnprepareHeader", EArmed::Stop, 0, false, nullptr, false},
      {"close", "waveInClose", EArmed::Stop, 0, false, nullptr, true},
  };
  testsupport::TWatchdog watchdog("failing waveIn calls", std::chrono::seconds(300));
  Input.reset();
  const long long blocks = testsupport::PoolBlocksInUse();
  const int threads = testsupport::ProcessThreadCount();
  struct TReport {
    std::string Text;
    std::int32_t Code;
  };
  for (const TWaveInFault& f : faults) {
    for (const TMMResult code : codes) {
      const std::string name = std::string(f.Name) + " " + std::to_string(code);
      SCOPED_TRACE(name);
      Sink.ForgetBuffers();
      const std::size_t firstBuffer = Sink.BufferCount();
      const std::size_t firstEvent = Sink.Events().size();
      std::vector<TReport> reports;
      Input = CreateComponent<TALAudioIn>(nullptr);
      SetShellFormat(*Input);
      Input->SetOnError([&](TObject*, const std::string& t, std::int32_t c, bool&) { reports.push_back({t, c}); });
      ASSERT_TRUE(Sink.Pin.Connect(&Input->GetOutputPin()));
      if (f.bOneNotTaken) Wave().FailNextCall("waveInAddBuffer", platform::MMSYSERR_NOMEM);

      std::string raised = "<none>";
      auto step = [&](EArmed AStep, const std::function<void()>& AWhat) {
        if (f.When == AStep) Wave().FailNextCall(f.Function, code, 1, f.After);
        try {
          AWhat();
        } catch (const ESLException& e) {
          raised = e.what();
        }
      };
      step(EArmed::Start, [&] { Input->SetEnabled(true); });
      const bool bStarted = Input->GetEnabled();
      if (bStarted) {
        step(EArmed::Capture, [&] { ASSERT_TRUE(Capture(2, firstBuffer + 2)); });
        step(EArmed::Stop, [&] { Input->SetEnabled(false); });
      }
      if (f.Text) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(code));
        EXPECT_EQ(raised, std::string(f.Text) + " - " + std::to_string(code) + " - " + hex);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].Text, f.Text);
        EXPECT_EQ(reports[0].Code, static_cast<std::int32_t>(code));
      } else {
        EXPECT_EQ(raised, "<none>");
        EXPECT_TRUE(reports.empty());
        EXPECT_TRUE(bStarted);
        EXPECT_FALSE(Input->GetEnabled());
        EXPECT_EQ(Sink.BufferCount(), firstBuffer + 2);  // two blocks captured, sent once each
      }
      // A stream that was announced has ended.
      const std::string events = Sink.Events().substr(firstEvent);
      if (f.When == EArmed::Start) {
        if (f.Text) {
          EXPECT_EQ(events, "RSE");
        }
      } else if (!Input->GetEnabled()) {
        EXPECT_EQ(events, "RSBBE");
      }

      // Once the device works again the same input captures and stops.
      Input->SetEnabled(false);
      EXPECT_FALSE(Input->GetEnabled());
      EXPECT_EQ(Wave().OpenDevices(), f.bLeftOpen ? 1u : 0u);
      Input->SetEnabled(true);
      EXPECT_EQ(Input->BuffersAtDevice(), TALAudioIn::KCaptureBuffers);
      EXPECT_TRUE(Capture(1, Sink.BufferCount() + 1));
      Input->SetEnabled(false);
      EXPECT_EQ(Wave().OpenDevices(), 0u);

      Input.reset();
      Sink.ForgetBuffers();
      EXPECT_EQ(Wave().OpenDevices(), 0u);
      EXPECT_EQ(Wave().RunningDeviceThreads(), 0u);
      EXPECT_TRUE(WaitFor([&] { return testsupport::PoolBlocksInUse() == blocks; }))
          << testsupport::PoolBlocksInUse() - blocks << " blocks in use";
      EXPECT_TRUE(testsupport::ThreadsBackTo(threads));
    }
  }
}

TEST_F(AudioInTest, ADeviceThatStopsCompletingBlocksNeverHoldsUpTheStopOrTheRelease) {
  testsupport::TWatchdog watchdog("input that stops completing");
  const int threads = testsupport::ProcessThreadCount();
  Input->SetEnabled(true);
  ASSERT_TRUE(Capture(3, 3));  // three blocks, then the device falls silent for good
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(Sink.BufferCount(), 3u);
  EXPECT_EQ(Input->BuffersAtDevice(), 40u);
  Input->SetEnabled(false);
  EXPECT_FALSE(Input->GetEnabled());
  EXPECT_EQ(Wave().OpenDevices(), 0u);
  EXPECT_EQ(Input->BuffersAtDevice(), 0u);
  Input->SetEnabled(true);  // again, and freed while the device still completes nothing
  EXPECT_EQ(Input->BuffersAtDevice(), 40u);
  Input.reset();
  EXPECT_EQ(Wave().OpenDevices(), 0u);
  EXPECT_EQ(Wave().RunningDeviceThreads(), 0u);
  EXPECT_EQ(Sink.Events(), "RSBBBERSEX");
  EXPECT_TRUE(testsupport::ThreadsBackTo(threads));
}

// What the capabilities say of channels is not what the input opens with: its own format is.
class AudioInLyingCapsTest : public AudioInTest, public ::testing::WithParamInterface<std::uint16_t> {};

TEST_P(AudioInLyingCapsTest, ADeviceWhoseCapabilitiesLieIsListedFoundByNameAndOpenedWithTheInputsFormat) {
  Wave().SetInputCapsChannels(Line, GetParam());
  std::vector<std::string> warnings;
  Input->SetOnWarning([&](TObject*, const std::string& t, std::int32_t) { warnings.push_back(t); });
  std::vector<std::string> names;
  Input->GetDevice().GetDeviceList(names);
  EXPECT_EQ(names, (std::vector<std::string>{"Microphone", "Line In"}));
  Input->GetDevice().SetDeviceName("Line In");
  Input->SetEnabled(true);
  ASSERT_EQ(Wave().Opens().size(), 1u);
  EXPECT_EQ(Wave().Opens()[0].RequestedId, Line);
  EXPECT_EQ(Wave().Opens()[0].Format.nChannels, 2);
  EXPECT_EQ(Wave().Opens()[0].Format.nBlockAlign, 4);
  EXPECT_TRUE(warnings.empty());
  Wave().ReleaseInputBlocks(Line, 2);
  ASSERT_TRUE(WaitFor([&] { return Sink.BufferCount() == 2; }));
  EXPECT_EQ(Sink.Buffers()[0]->GetChannels(), 2u);
  EXPECT_EQ(Sink.Buffers()[0]->GetByteSize(), 4096u);
}

INSTANTIATE_TEST_SUITE_P(Channels, AudioInLyingCapsTest, ::testing::Values(0, 0xFFFF),
                         [](const ::testing::TestParamInfo<std::uint16_t>& p) { return "Channels" + std::to_string(p.param); });

}  // namespace
}  // namespace portwise

// The MME output against the simulated wave service: opening for a stream, the prefill, what
// reaches the device, the pump, the completion on the wave thread, closing, freeing and every
// error with its text and code.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/ALAudioBuffer.h"
#include "core/OWLock.h"
#include "core/OWOperations.h"
#include "core/OWPins.h"
#include "core/SLBuffers.h"
#include "gen/ALSignalGen.h"
#include "mme/ALAudioOut.h"
#include "platform/sim/SimPlatform.h"
#include "tests/unit/FaultSupport.h"
#include "tests/unit/gen/GenTestSink.h"

namespace portwise {
namespace {

using platform::sim::EWavePace;
using platform::sim::TSimPlatform;
using platform::sim::TSimWave;

constexpr std::uint32_t KFrames = 1024;
constexpr TALWaveFormatExtensible KStereo44k{
    ALWaveFormatExtensibleTag, 2, 44100, 176400, 4, 16, ALWaveFormatExtensibleCbSize, 16, 3, ALSubFormatPCM};
constexpr TALWaveFormatExtensible KMono22k{
    ALWaveFormatExtensibleTag, 1, 22050, 44100, 2, 16, ALWaveFormatExtensibleCbSize, 16, 4, ALSubFormatPCM};

using portwise::testing::Eventually;

// Storage blocks taken from the pool and not given back to it.
std::int64_t BlocksInUse() {
  TSLSmartBufferManager& pool = TSLSmartBufferManager::Instance();
  std::int64_t free = 0;
  for (int k = 1; k <= 30; ++k) free += static_cast<std::int64_t>(pool.FreeBlocks(1u << k));
  return pool.HeapBlocks() - free;
}

// The producer upstream of the output: it announces streams, sends numbered buffers and, when
// asked to, answers every request for a buffer with one, on the requesting thread.
class TTestSource : public TObject {
 public:
  TTestSource()
      : Lock(TOWLock::Create()),
        Pin(this, Lock.Get(), [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
          return Upstream(AOperation);
        }) {}

  void Start(const TALWaveFormatExtensible& AFormat = KStereo44k) {
    Format = AFormat;
    Pin.Notify(new TOWStartWaveOperation(AFormat, false));
  }
  void Stop() { Pin.Stop(); }
  // One buffer of KFrames frames whose samples say which buffer and frame they are.
  void Send() { Pin.SubmitBuffer(TRefPtr<ISLData>(static_cast<ISLData*>(MakeBuffer().Get()))); }
  void Send(int ACount) {
    for (int i = 0; i < ACount; ++i) Send();
  }
  // Asks downstream who pumps; true when someone claimed.
  TObject* NegotiatePump(std::int32_t APriority = 0) {
    TRefPtr<TOWPumpRequestOperation> request(new TOWPumpRequestOperation(this, ptMaster, APriority, 43.0f));
    Pin.Notify(request.Get());
    return request->Pump;
  }
  void StartPump(TObject* AMaster) { Pin.Notify(new TOWStartPumpOperation(AMaster)); }

  // The sample bytes of the buffers sent so far, in order.
  std::vector<std::uint8_t> SentBytes(std::size_t AFirst = 0, std::size_t ACount = SIZE_MAX) {
    std::lock_guard g(M);
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = AFirst; i < FSent.size() && i - AFirst < ACount; ++i)
      bytes.insert(bytes.end(), FSent[i].begin(), FSent[i].end());
    return bytes;
  }
  std::size_t SentCount() {
    std::lock_guard g(M);
    return FSent.size();
  }

  std::atomic<int> Pulls{0};
  std::atomic<bool> bAnswerPulls{false};
  std::atomic<TObject*> LastPullFrom{nullptr};
  std::thread::id LastPullThread() {
    std::lock_guard g(M);
    return FPullThread;
  }

  TALWaveFormatExtensible Format = KStereo44k;
  TRefPtr<TOWLock> Lock;
  TALOWAudioSourcePin Pin;

 private:
  PALAudioBuffer MakeBuffer() {
    PALAudioBuffer b = TALAudioBuffer::CreateSizeEx(Format.nSamplesPerSec, Format.wBitsPerSample, Format.nChannels,
                                                    KFrames, TALSpeakers::FromMask(Format.dwChannelMask));
    std::lock_guard g(M);
    const auto n = static_cast<std::uint32_t>(FSent.size());
    std::uint8_t* p = b->GetWritePointer();
    const std::uint32_t bytes = b->GetByteSize();
    for (std::uint32_t i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>((n * 131u + i * 7u + (i >> 8)) & 0xFF);
    FSent.emplace_back(p, p + bytes);
    return b;
  }

  TOWNotifyResult Upstream(IOWNotifyOperation* AOperation) {
    if (auto* pump = OWOperationAs<TOWMasterPumpOperation>(AOperation)) {
      {
        std::lock_guard g(M);
        FPullThread = std::this_thread::get_id();
      }
      LastPullFrom = pump->Pump;
      ++Pulls;
      if (bAnswerPulls) Send();
    }
    return 0;
  }

  std::mutex M;
  std::vector<std::vector<std::uint8_t>> FSent;
  std::thread::id FPullThread;
};

struct TError {
  TObject* Sender;
  std::string Text;
  std::int32_t Code;
};

class AudioOutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Speakers = Sim.AddOutputDevice("Speakers");
    NullOutput = Sim.AddOutputDevice("Null Output");
    Sim.SetOutputPace(Speakers, EWavePace::Manual);
    Sim.SetOutputPace(NullOutput, EWavePace::Manual);
  }

  std::unique_ptr<TALAudioOut> MakeOut(const std::string& ADevice = "Speakers", bool AConnect = true) {
    auto out = CreateComponent<TALAudioOut>(nullptr);
    out->SetName("ALAudioOut1");
    out->GetDevice().SetDeviceName(ADevice);
    out->SetOnError([this](TObject* ASender, const std::string& AText, std::int32_t ACode, bool& AHandled) {
      std::lock_guard g(M);
      Errors.push_back({ASender, AText, ACode});
      AHandled = bHandleErrors;
    });
    out->SetOnWarning([this](TObject* ASender, const std::string& AText, std::int32_t ACode) {
      std::lock_guard g(M);
      Warnings.push_back({ASender, AText, ACode});
    });
    if (AConnect) {
      EXPECT_TRUE(out->GetInputPin().Connect(&Source.Pin));
    }
    return out;
  }
  // The output of most tests, connected to Source.
  void Make(const std::string& ADevice = "Speakers") { Out = MakeOut(ADevice); }

  std::size_t Count(const std::string& AFunction) {
    std::size_t n = 0;
    for (const std::string& c : Sim.CallNames()) n += c == AFunction;
    return n;
  }
  std::vector<TError> ErrorsSeen() {
    std::lock_guard g(M);
    return Errors;
  }
  bool Played(std::uint32_t ADevice, std::size_t ABytes) {
    return Eventually([&] { return Sim.PlayedBytes(ADevice).size() >= ABytes; }) &&
           Sim.PlayedBytes(ADevice).size() == ABytes;
  }
  static constexpr std::size_t KBufferBytes = KFrames * 4;

  TSimPlatform Platform;
  TSimWave& Sim = Platform.SimWave();
  std::uint32_t Speakers = 0, NullOutput = 0;
  std::mutex M;
  std::vector<TError> Errors, Warnings;
  std::atomic<bool> bHandleErrors{false};
  TTestSource Source;
  std::unique_ptr<TALAudioOut> Out;  // freed first
};

// ---------------------------------------------------------------- opening for a stream

TEST_F(AudioOutTest, EnablingWithoutAStreamOpensNothing) {
  Make();
  Out->SetEnabled(false);
  Out->SetEnabled(true);
  EXPECT_TRUE(Sim.Opens().empty());
  EXPECT_FALSE(Out->IsOpen());
}

TEST_F(AudioOutTest, TheFirstStartOpensTheDevicePausedWithExactlyTheStreamsRecord) {
  Make();
  Source.Start(KMono22k);
  const auto opens = Sim.Opens();
  ASSERT_EQ(1u, opens.size());
  EXPECT_EQ(ALToWaveFormat(KMono22k), opens[0].Format);
  EXPECT_EQ(Speakers, opens[0].RequestedId);
  EXPECT_EQ(0x30006u, opens[0].Flags);
  EXPECT_EQ((std::vector<std::string>{"waveOutGetNumDevs", "waveOutGetDevCapsW", "waveOutOpen", "waveOutPause"}),
            Sim.CallNames());
  EXPECT_TRUE(Out->IsOpen());
  TALWaveFormatExtensible stored{};
  ASSERT_TRUE(Out->GetStreamFormat(stored));
  EXPECT_EQ(0, std::memcmp(&stored, &KMono22k, sizeof stored));
}

TEST_F(AudioOutTest, AStreamThatArrivedWhileDisabledIsOpenedWhenEnabled) {
  Source.Start();
  Out = MakeOut("Speakers", false);
  Out->SetEnabled(false);
  // Already running when the output joins: the start is replayed to it, and only stored.
  ASSERT_TRUE(Out->GetInputPin().Connect(&Source.Pin));
  EXPECT_TRUE(Sim.Opens().empty());
  Out->SetEnabled(true);
  ASSERT_EQ(1u, Sim.Opens().size());
  EXPECT_EQ(ALToWaveFormat(KStereo44k), Sim.Opens()[0].Format);
  EXPECT_EQ(1u, Count("waveOutPause"));
}

TEST_F(AudioOutTest, AStopWhileDisabledForgetsTheStream) {
  Make();
  Out->SetEnabled(false);
  Source.Start();
  Source.Stop();
  Out->SetEnabled(true);
  EXPECT_TRUE(Sim.Opens().empty());
}

TEST_F(AudioOutTest, ANameThatMatchesNothingOpensTheWaveMapper) {
  Make("Casque Bluetooth");
  Source.Start();
  ASSERT_EQ(1u, Sim.Opens().size());
  EXPECT_EQ(platform::WAVE_MAPPER, Sim.Opens()[0].RequestedId);
  EXPECT_EQ(0x30002u, Sim.Opens()[0].Flags);
  EXPECT_TRUE(Warnings.empty());
  EXPECT_TRUE(ErrorsSeen().empty());
}

TEST_F(AudioOutTest, TheSecondDeviceIsOpenedByItsName) {
  Make("Null Output");
  Source.Start();
  ASSERT_EQ(1u, Sim.Opens().size());
  EXPECT_EQ(NullOutput, Sim.Opens()[0].RequestedId);
  EXPECT_EQ(0x30006u, Sim.Opens()[0].Flags);
}

TEST_F(AudioOutTest, ACapabilitiesFailureDuringTheLookupWarnsAndOpensIdentifierZero) {
  Make("Null Output");
  Sim.FailOutputCaps(0, 2);
  Source.Start();
  ASSERT_EQ(1u, Warnings.size());
  EXPECT_EQ(Out.get(), Warnings[0].Sender);
  EXPECT_EQ("Can't get device capabilities.", Warnings[0].Text);
  EXPECT_EQ(2, Warnings[0].Code);
  ASSERT_EQ(1u, Sim.Opens().size());
  EXPECT_EQ(0u, Sim.Opens()[0].RequestedId);
  EXPECT_EQ(0x30006u, Sim.Opens()[0].Flags);
}

TEST_F(AudioOutTest, ANewStartWhileTheStreamRunsIsDroppedAndAfterItsStopReopensTheDevice) {
  Make();
  Out->SetPrefillInterval(0);
  Source.Start();
  Source.Send(2);
  Source.Start(KMono22k);  // the first stream has not ended
  EXPECT_EQ(1u, Sim.Opens().size());
  Source.Stop();  // the dropped start began a new prefill: the stop starts the device again
  Source.Start(KMono22k);
  ASSERT_EQ(2u, Sim.Opens().size());
  EXPECT_EQ(ALToWaveFormat(KMono22k), Sim.Opens()[1].Format);
  // The old device was reset (its queued audio cut) and closed before the new one opened.
  const auto names = Sim.CallNames();
  std::vector<std::string> tail(names.end() - 9, names.end());
  EXPECT_EQ((std::vector<std::string>{"waveOutRestart", "waveOutReset", "waveOutUnprepareHeader",
                                      "waveOutUnprepareHeader", "waveOutClose", "waveOutGetNumDevs",
                                      "waveOutGetDevCapsW", "waveOutOpen", "waveOutPause"}),
            tail);
  EXPECT_TRUE(Sim.PlayedBytes(Speakers).empty());
  EXPECT_EQ(1u, Sim.OpenDevices());
}

// ---------------------------------------------------------------- prefill

struct TPrefillCase {
  std::uint32_t PrefillInterval;
  int StartsWithBuffer;  // 1-based
};

class AudioOutPrefillTest : public AudioOutTest, public ::testing::WithParamInterface<TPrefillCase> {};

TEST_P(AudioOutPrefillTest, TheDeviceIsRestartedWhenTheQueuedAudioExceedsThePrefill) {
  Make();
  Out->SetPrefillInterval(GetParam().PrefillInterval);
  Source.Start();
  for (int i = 1; i <= 20; ++i) {
    Source.Send();
    EXPECT_EQ(i >= GetParam().StartsWithBuffer ? 1u : 0u, Count("waveOutRestart")) << "after buffer " << i;
  }
  EXPECT_TRUE(ErrorsSeen().empty());
}

// 1024 frames at 44100 Hz count 23 ms each: 14 x 23 = 322 > 300.
INSTANTIATE_TEST_SUITE_P(Intervals, AudioOutPrefillTest,
                         ::testing::Values(TPrefillCase{300, 14}, TPrefillCase{0, 1}, TPrefillCase{23, 2},
                                           TPrefillCase{321, 14}, TPrefillCase{322, 15}));

TEST_F(AudioOutTest, AStreamShorterThanThePrefillIsStartedByItsStopAndPlaysEveryBuffer) {
  Make();
  Source.Start();
  Source.Send(5);
  EXPECT_EQ(0u, Count("waveOutRestart"));
  Source.Stop();
  EXPECT_EQ(1u, Count("waveOutRestart"));
  Sim.ReleaseOutputBlocks(Speakers, 10);
  ASSERT_TRUE(Played(Speakers, 5 * KBufferBytes));
  EXPECT_EQ(Source.SentBytes(), Sim.PlayedBytes(Speakers));
  EXPECT_TRUE(Eventually([&] { return Out->BuffersAtDevice() == 0; }));
}

TEST_F(AudioOutTest, WhatReachesTheDeviceIsBitExactlyWhatWasSentInRealTime) {
  Sim.SetOutputPace(Speakers, EWavePace::RealTime);
  Make();
  Source.Start();
  Source.Send(20);
  Source.Stop();
  ASSERT_TRUE(Played(Speakers, 20 * KBufferBytes));
  EXPECT_EQ(Source.SentBytes(), Sim.PlayedBytes(Speakers));
  EXPECT_EQ(0u, Sim.Underruns(Speakers));
  EXPECT_TRUE(Sim.CallbackViolations().empty());
}

TEST_F(AudioOutTest, EachBufferIsCopiedOnceIntoStorageTheDeviceAloneReads) {
  Make();
  Source.Start();
  // The producer keeps its buffer and writes it again after the send: the device must not see it.
  PALAudioBuffer mine = TALAudioBuffer::CreateSizeEx(44100, 16, 2, KFrames, TALSpeakers::FromMask(3));
  std::memset(mine->GetWritePointer(), 0x11, mine->GetByteSize());
  Source.Pin.SubmitBuffer(TRefPtr<ISLData>(static_cast<ISLData*>(mine.Get())));
  std::memset(mine->GetWritePointer(), 0x22, mine->GetByteSize());
  Source.Stop();
  Sim.ReleaseOutputBlocks(Speakers, 1);
  ASSERT_TRUE(Played(Speakers, KBufferBytes));
  EXPECT_EQ(std::vector<std::uint8_t>(KBufferBytes, 0x11), Sim.PlayedBytes(Speakers));
}

// ---------------------------------------------------------------- enabled

TEST_F(AudioOutTest, DisablingWhilePlayingKeepsThePlayingAudioAndDropsLaterBuffers) {
  Make();
  Out->SetPrefillInterval(0);
  Source.Start();
  Source.Send(3);
  const std::size_t atDevice = Out->BuffersAtDevice();
  ASSERT_GE(atDevice, 2u);
  Out->SetEnabled(false);
  Source.Send(4);
  Source.Stop();
  Sim.ReleaseOutputBlocks(Speakers, 10);
  ASSERT_TRUE(Played(Speakers, atDevice * KBufferBytes));
  EXPECT_EQ(Source.SentBytes(0, atDevice), Sim.PlayedBytes(Speakers));
  EXPECT_TRUE(Eventually([&] { return Out->BuffersAtDevice() == 0; }));
  EXPECT_EQ(1u, Sim.OpenDevices());
  EXPECT_EQ(0u, Count("waveOutReset"));
  EXPECT_EQ(atDevice, Count("waveOutWrite"));
}

TEST_F(AudioOutTest, TheEnablePinWritesEnabled) {
  Make();
  TOWBoolStatePin other(&Source, Source.Lock.Get(), nullptr);
  ASSERT_TRUE(other.Connect(&Out->GetEnablePin()));
  other.SetValue(true);
  other.SetValue(false);
  EXPECT_FALSE(Out->GetEnabled());
  other.SetValue(true);
  EXPECT_TRUE(Out->GetEnabled());
}

// ---------------------------------------------------------------- completion, queue empty

TEST_F(AudioOutTest, OnQueueEmptyIsPostedToTheMainThreadWhenTheLastBufferComesBack) {
  Make();
  std::atomic<int> calls{0};
  std::thread::id thread;
  TObject* sender = nullptr;
  Out->SetOnQueueEmpty([&](TObject* ASender) {
    ++calls;
    thread = std::this_thread::get_id();
    sender = ASender;
  });
  Out->SetPrefillInterval(0);
  Source.Start();
  Source.Send(3);
  Source.Stop();
  Sim.ReleaseOutputBlocks(Speakers, 3);
  ASSERT_TRUE(Played(Speakers, 3 * KBufferBytes));
  ASSERT_TRUE(Eventually([&] { return Out->BuffersAtDevice() == 0; }));
  EXPECT_EQ(0, calls.load());  // posted, not called on the wave thread
  ASSERT_TRUE(Eventually([&] {
    Platform.ProcessMessages();
    return calls.load() > 0;
  }));
  Platform.ProcessMessages();
  EXPECT_EQ(1, calls.load());
  EXPECT_EQ(std::this_thread::get_id(), thread);
  EXPECT_EQ(Out.get(), sender);
}

TEST_F(AudioOutTest, ANotificationStillPendingWhenTheOutputIsFreedIsDropped) {
  Make();
  std::atomic<int> calls{0};
  Out->SetOnQueueEmpty([&](TObject*) { ++calls; });
  Out->SetPrefillInterval(0);
  Source.Start();
  Source.Send();
  Sim.ReleaseOutputBlocks(Speakers, 1);
  ASSERT_TRUE(Eventually([&] { return Platform.PendingMessages() > 0; }));
  Out.reset();
  Platform.ProcessMessages();
  EXPECT_EQ(0, calls.load());
}

// ---------------------------------------------------------------- freeing, closing, flushing

TEST_F(AudioOutTest, FreeingWhileAudioIsQueuedResetsAtOnceAndReleasesEveryBuffer) {
  const std::int64_t blocksBefore = BlocksInUse();
  Make();
  Source.Start();
  Source.Send(16);  // the last two wait in the queue for a completion
  ASSERT_EQ(14u, Out->BuffersAtDevice());
  ASSERT_EQ(2u, Out->QueuedOperations());
  ASSERT_EQ(1u, Count("waveOutRestart"));
  const std::size_t callsBefore = Sim.CallNames().size();
  Out.reset();
  const auto names = Sim.CallNames();
  std::vector<std::string> expected{"waveOutReset"};
  expected.insert(expected.end(), 14, "waveOutUnprepareHeader");
  expected.push_back("waveOutClose");
  EXPECT_EQ(expected, std::vector<std::string>(names.begin() + static_cast<std::ptrdiff_t>(callsBefore), names.end()));
  EXPECT_TRUE(Sim.PlayedBytes(Speakers).empty());
  EXPECT_EQ(0u, Sim.OpenDevices());
  EXPECT_FALSE(Source.Pin.IsConnected());
  Source.Stop();  // the source's pin forgets its start operation
  EXPECT_EQ(blocksBefore, BlocksInUse());
}

TEST_F(AudioOutTest, CloseResetsAndClosesTheDeviceAndTheNextStreamOpensItAgain) {
  Make();
  Source.Start();
  Source.Send(3);
  Out->Close();
  EXPECT_FALSE(Out->IsOpen());
  EXPECT_EQ(0u, Out->BuffersAtDevice());
  EXPECT_EQ(0u, Sim.OpenDevices());
  Out->Close();  // nothing open: nothing asked
  EXPECT_EQ(1u, Count("waveOutReset"));
  Source.Stop();
  Source.Start();
  EXPECT_EQ(2u, Sim.Opens().size());
  EXPECT_TRUE(Out->IsOpen());
}

TEST_F(AudioOutTest, FlushDropsTheQueueResetsAndPausesTheDeviceAndStartsThePrefillAnew) {
  Make();
  Source.Start();
  Source.Send(14);
  ASSERT_EQ(1u, Count("waveOutRestart"));
  Source.Send(3);  // queued behind the 14 at the device
  ASSERT_GT(Out->QueuedOperations(), 0u);
  const std::size_t callsBefore = Sim.CallNames().size();
  Out->Flush();
  EXPECT_EQ(0u, Out->QueuedOperations());
  const auto names = Sim.CallNames();
  ASSERT_GE(names.size(), callsBefore + 2);
  EXPECT_EQ("waveOutReset", names[callsBefore]);
  EXPECT_EQ("waveOutPause", names[callsBefore + 1]);
  EXPECT_TRUE(Eventually([&] { return Out->BuffersAtDevice() == 0; }));
  for (int i = 1; i <= 14; ++i) {
    Source.Send();
    EXPECT_EQ(i == 14 ? 2u : 1u, Count("waveOutRestart")) << "after buffer " << i;
  }
  EXPECT_TRUE(Out->IsOpen());
}

TEST_F(AudioOutTest, OpenOpensTheKnownStreamUnpausedOnce) {
  Make();
  Out->SetEnabled(false);
  EXPECT_FALSE(Out->Open());  // no stream known yet
  Source.Start();
  EXPECT_TRUE(Out->Open());
  EXPECT_TRUE(Out->IsOpen());
  EXPECT_EQ(1u, Sim.Opens().size());
  EXPECT_EQ(0u, Count("waveOutPause"));
  EXPECT_FALSE(Out->Open());
  EXPECT_EQ(1u, Sim.Opens().size());
}

// ---------------------------------------------------------------- the pump

TEST_F(AudioOutTest, OfTwoOutputsOfEqualPriorityOnlyTheFirstClaimsThePump) {
  auto first = MakeOut("Speakers");
  auto second = MakeOut("Null Output");
  first->GetMasterPumping().SetEnabled(true);
  second->GetMasterPumping().SetEnabled(true);
  EXPECT_EQ(first.get(), Source.NegotiatePump());
  EXPECT_TRUE(first->IsPump());
  EXPECT_FALSE(second->IsPump());
  // One test open, by the first, with the fixed format; nothing stays open.
  ASSERT_EQ(1u, Sim.Opens().size());
  const TSimWave::TOpenRecord test = Sim.Opens()[0];
  EXPECT_EQ(Speakers, test.RequestedId);
  EXPECT_EQ(0x30006u, test.Flags);
  EXPECT_EQ(ALToWaveFormat({ALWaveFormatExtensibleTag, 1, 11025, 22050, 2, 16, 22, 16, 1, ALSubFormatPCM}), test.Format);
  EXPECT_EQ(0u, Sim.OpenDevices());

  second->GetMasterPumping().SetPriority(1);  // a strictly higher priority takes it over
  EXPECT_EQ(second.get(), Source.NegotiatePump());
  EXPECT_TRUE(second->IsPump());
}

TEST_F(AudioOutTest, WithoutMasterPumpingNobodyClaims) {
  Make();
  EXPECT_EQ(&Source, Source.NegotiatePump());
  EXPECT_FALSE(Out->IsPump());
  EXPECT_TRUE(Sim.Opens().empty());
}

TEST_F(AudioOutTest, ADeviceThatCannotBeOpenedDoesNotClaim) {
  Make();
  Out->GetMasterPumping().SetEnabled(true);
  Sim.SetOutputOpenResult(Speakers, 4);
  EXPECT_EQ(&Source, Source.NegotiatePump());
  EXPECT_FALSE(Out->IsPump());
  EXPECT_TRUE(ErrorsSeen().empty());
}

TEST_F(AudioOutTest, ThePumpFillsThePrefillThenPullsOneBufferPerCompletionOnTheWaveThread) {
  Make();
  Out->GetMasterPumping().SetEnabled(true);
  Source.bAnswerPulls = true;
  ASSERT_EQ(Out.get(), Source.NegotiatePump());
  Source.Start();
  Source.StartPump(Out.get());
  // Two pulls at the start; during the prefill every buffer asks for the next; the 14th starts
  // the device, and the start's second pull brings one more.
  EXPECT_EQ(15, Source.Pulls.load());
  EXPECT_EQ(15u, Out->BuffersAtDevice());
  EXPECT_EQ(Out.get(), Source.LastPullFrom.load());
  EXPECT_EQ(1u, Count("waveOutRestart"));

  Sim.ReleaseOutputBlocks(Speakers, 5);
  ASSERT_TRUE(Played(Speakers, 5 * KBufferBytes));
  ASSERT_TRUE(Eventually([&] { return Source.Pulls.load() == 20 && Out->BuffersAtDevice() == 15; }));
  EXPECT_EQ(Source.SentBytes(0, 5), Sim.PlayedBytes(Speakers));
  const std::thread::id wave = Source.LastPullThread();
  EXPECT_NE(std::this_thread::get_id(), wave);
  EXPECT_EQ("ALAudioOut1.TALWaveThread", Platform.ThreadName(wave));
  EXPECT_EQ(platform::EThreadPriority::Highest, Platform.ThreadPriority(wave));
}

TEST_F(AudioOutTest, CompletionsWhilePausedAreAskedForWhenTheDeviceStartsAgain) {
  Make();
  Out->GetMasterPumping().SetEnabled(true);
  ASSERT_EQ(Out.get(), Source.NegotiatePump());
  Source.Start();
  Source.Send(14);
  ASSERT_EQ(1u, Count("waveOutRestart"));
  Sim.ReleaseOutputBlocks(Speakers, 2);
  ASSERT_TRUE(Eventually([&] { return Out->BuffersAtDevice() == 12; }));
  Out->Flush();  // the 12 come back while paused: 12 missed pumps
  ASSERT_TRUE(Eventually([&] { return Out->BuffersAtDevice() == 0; }));
  Source.Send(13);
  const int before = Source.Pulls.load();
  Source.Send();  // the 14th restarts the device and asks for what was missed
  EXPECT_EQ(2u, Count("waveOutRestart"));
  EXPECT_EQ(before + 12, Source.Pulls.load());
}

TEST_F(AudioOutTest, ClockOutputTicksOncePerCompletedBuffer) {
  Make();
  std::atomic<int> ticks{0};
  TRefPtr<TOWLock> lock = TOWLock::Create();
  TOWClockSinkPin clock(&Source, lock.Get(), [&](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
    if (OWOperationAs<TOWClockOperation>(AOperation)) ++ticks;
    return TOWNotifyResult{0};
  });
  ASSERT_TRUE(Out->GetClockOutputPin().Connect(&clock));
  Out->SetPrefillInterval(0);
  Source.Start();
  Source.Send(3);
  Source.Stop();
  Sim.ReleaseOutputBlocks(Speakers, 3);
  ASSERT_TRUE(Eventually([&] { return Out->BuffersAtDevice() == 0; }));
  EXPECT_EQ(3, ticks.load());
  Out.reset();
}

// ---------------------------------------------------------------- errors

struct TErrorCase {
  const char* Name;
  const char* FailingCall;
  platform::TMMResult Result;
  const char* Message;
};

class AudioOutErrorTest : public AudioOutTest, public ::testing::WithParamInterface<TErrorCase> {
 protected:
  // Runs the step that makes the call fail; the stream's open or its prefill end.
  void Provoke() {
    const std::string call = GetParam().FailingCall;
    if (call == "waveOutOpen") {
      Sim.SetOutputOpenResult(Speakers, GetParam().Result);
      Source.Start();
    } else if (call == "waveOutPause") {
      Sim.FailNextCall(call, GetParam().Result);
      Source.Start();
    } else {  // restart at the end of the prefill, from a short stream's stop
      Source.Start();
      Source.Send(2);
      Sim.FailNextCall(call, GetParam().Result);
      Source.Stop();
    }
  }
};

TEST_P(AudioOutErrorTest, AnUnhandledErrorRaisesItsTextWithTheCodeInDecimalAndHex) {
  Make();
  try {
    Provoke();
    ADD_FAILURE() << "no exception";
  } catch (const ESLException& e) {
    EXPECT_STREQ(GetParam().Message, e.what());
  }
  const auto errors = ErrorsSeen();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ(Out.get(), errors[0].Sender);
  EXPECT_EQ(static_cast<std::int32_t>(GetParam().Result), errors[0].Code);
  EXPECT_EQ(std::string(GetParam().Message).substr(0, errors[0].Text.size()), errors[0].Text);
}

TEST_P(AudioOutErrorTest, AHandledErrorRaisesNothing) {
  bHandleErrors = true;
  Make();
  EXPECT_NO_THROW(Provoke());
  EXPECT_EQ(1u, ErrorsSeen().size());
}

INSTANTIATE_TEST_SUITE_P(
    Calls, AudioOutErrorTest,
    ::testing::Values(TErrorCase{"OpenInUse", "waveOutOpen", 4, "Can't open audio device. - 4 - 4"},
                      TErrorCase{"OpenBadParameter", "waveOutOpen", 11, "Can't open audio device. - 11 - B"},
                      TErrorCase{"OpenBadFormat", "waveOutOpen", 32, "Can't open audio device. - 32 - 20"},
                      TErrorCase{"Pause", "waveOutPause", 11, "Can't pause audio device. - 11 - B"},
                      TErrorCase{"Restart", "waveOutRestart", 1, "Can't restart audio device. - 1 - 1"}),
    [](const auto& ACase) { return std::string(ACase.param.Name); });

TEST_F(AudioOutTest, AFailedOpenLeavesTheOutputClosedAndTheNextStreamTriesAgain) {
  bHandleErrors = true;
  Make();
  Sim.SetOutputOpenResult(Speakers, 4);
  Source.Start();
  EXPECT_FALSE(Out->IsOpen());
  Source.Send(3);  // nowhere to play: dropped
  EXPECT_EQ(0u, Out->BuffersAtDevice());
  EXPECT_EQ(0u, Count("waveOutWrite"));
  Sim.SetOutputOpenResult(Speakers, 0);
  Source.Stop();
  Source.Start();
  EXPECT_TRUE(Out->IsOpen());
  EXPECT_EQ(1u, Sim.OpenDevices());
}

TEST_F(AudioOutTest, ARestartFailureAtTheEndOfThePrefillIsReportedAndTheProducerGoesOn) {
  Make();
  Out->SetPrefillInterval(0);
  Source.Start();
  Sim.FailNextCall("waveOutRestart", 5);
  Source.Send(2);  // the buffer submission swallows the exception
  const auto errors = ErrorsSeen();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ("Can't restart audio device.", errors[0].Text);
  EXPECT_EQ(5, errors[0].Code);
  EXPECT_EQ(2u, Count("waveOutWrite"));
}

TEST_F(AudioOutTest, OpenFailureRaisesAndLeavesNoDeviceOrThread) {
  Make();
  Out->SetEnabled(false);
  Source.Start();
  Sim.SetOutputOpenResult(Speakers, 4);
  try {
    Out->Open();
    ADD_FAILURE() << "no exception";
  } catch (const ESLException& e) {
    EXPECT_STREQ("Can't open audio device. - 4 - 4", e.what());
  }
  EXPECT_FALSE(Out->IsOpen());
  EXPECT_EQ(0u, Sim.OpenDevices());
}

TEST_F(AudioOutTest, AResetFailureInCloseRaisesAndTheDeviceStaysUntilTheOutputIsFreed) {
  Make();
  Source.Start();
  Source.Send(3);
  Sim.FailNextCall("waveOutReset", 5);
  try {
    Out->Close();
    ADD_FAILURE() << "no exception";
  } catch (const ESLException& e) {
    EXPECT_STREQ("Can't restart audio device. - 5 - 5", e.what());
  }
  EXPECT_EQ(1u, Sim.OpenDevices());
  EXPECT_EQ(0u, Count("waveOutClose"));
  Out.reset();
  EXPECT_EQ(0u, Sim.OpenDevices());
  EXPECT_EQ(1u, Count("waveOutClose"));
}

TEST_F(AudioOutTest, ADeviceThatRefusedToCloseIsClosedByTheNextOpenOrRefusesIt) {
  Make();
  Source.Start();
  Source.Send(3);
  Sim.FailNextCall("waveOutClose", 1);
  Out->Close();
  EXPECT_EQ(1u, Sim.OpenDevices());  // the handle is kept, not forgotten
  // Still refusing: nothing new is opened over it.
  Sim.FailNextCall("waveOutClose", 1);
  try {
    Out->Open();
    ADD_FAILURE() << "no exception";
  } catch (const ESLException& e) {
    EXPECT_STREQ("Can't open audio device. - 1 - 1", e.what());
  }
  EXPECT_EQ(1u, Sim.OpenDevices());
  // Then it closes, and the output opens again.
  Out->Open();
  EXPECT_TRUE(Out->IsOpen());
  EXPECT_EQ(1u, Sim.OpenDevices());
  EXPECT_EQ(3u, Count("waveOutClose"));
  Out.reset();
  EXPECT_EQ(0u, Sim.OpenDevices());
}

TEST_F(AudioOutTest, ADeviceThatRefusedToCloseIsClosedWhenTheOutputIsFreed) {
  Make();
  Source.Start();
  Source.Send(3);
  Sim.FailNextCall("waveOutClose", 1);
  Out->Close();
  EXPECT_EQ(1u, Sim.OpenDevices());
  Out.reset();
  EXPECT_EQ(0u, Sim.OpenDevices());
  EXPECT_EQ(2u, Count("waveOutClose"));
}

TEST_F(AudioOutTest, FailuresOfTheBufferCallsAreIgnored) {
  Make();
  Out->SetPrefillInterval(0);
  Source.Start();
  Sim.FailNextCall("waveOutWrite", 7);
  Source.Send(3);
  Source.Stop();
  EXPECT_TRUE(ErrorsSeen().empty());
  Sim.ReleaseOutputBlocks(Speakers, 3);
  ASSERT_TRUE(Played(Speakers, 2 * KBufferBytes));
  EXPECT_EQ(Source.SentBytes(1, 2), Sim.PlayedBytes(Speakers));
  EXPECT_TRUE(Eventually([&] { return Out->BuffersAtDevice() == 0; }));
}

// Every failing call with every code a driver may answer, each case ending with the output freed:
// no device open, no device thread, every storage block back in the pool, every thread ended.
TEST_F(AudioOutTest, EveryFailingCallWithEveryCodeEndsCleanly) {
  const platform::TMMResult codes[] = {1, 2, 4, 5, 6, 7, 11, 32, 33};
  struct TCall {
    const char* Function;
    const char* Text;  // nullptr: the failure is not reported and the stream goes on
  };
  const TCall calls[] = {
      {"waveOutOpen", "Can't open audio device."},       {"waveOutPause", "Can't pause audio device."},
      {"waveOutRestart", "Can't restart audio device."}, {"waveOutReset", "Can't restart audio device."},
      {"waveOutPrepareHeader", nullptr},                 {"waveOutWrite", nullptr},
  };
  testsupport::TWatchdog watchdog("failing wave calls", std::chrono::seconds(300));
  const std::int64_t blocks = BlocksInUse();
  const int threads = testsupport::ProcessThreadCount();
  for (const TCall& call : calls) {
    for (const platform::TMMResult code : codes) {
      const std::string name = std::string(call.Function) + " " + std::to_string(code);
      SCOPED_TRACE(name);
      Errors.clear();
      Make();
      const std::string function = call.Function;
      std::string raised = "<none>";
      try {
        if (function == "waveOutOpen") {
          Sim.SetOutputOpenResult(Speakers, code);
          Source.Start();
        } else if (function == "waveOutPause") {
          Sim.FailNextCall(function, code);
          Source.Start();
        } else if (function == "waveOutRestart") {  // at the end of a short stream's prefill
          Source.Start();
          Source.Send(2);
          Sim.FailNextCall(function, code);
          Source.Stop();
        } else if (function == "waveOutReset") {  // in a close while audio is queued
          Source.Start();
          Source.Send(3);
          Sim.FailNextCall(function, code);
          Out->Close();
        } else {
          Out->SetPrefillInterval(0);
          Source.Start();
          Sim.FailNextCall(function, code);
          Source.Send(3);
          Source.Stop();
        }
      } catch (const ESLException& e) {
        raised = e.what();
      }
      char hex[16];
      std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(code));
      if (call.Text) {
        EXPECT_EQ(raised, std::string(call.Text) + " - " + std::to_string(code) + " - " + hex);
        ASSERT_EQ(ErrorsSeen().size(), 1u);
        EXPECT_EQ(ErrorsSeen()[0].Code, static_cast<std::int32_t>(code));
      } else {
        EXPECT_EQ(raised, "<none>");
        EXPECT_TRUE(ErrorsSeen().empty());
        Sim.ReleaseOutputBlocks(Speakers, 3);
        EXPECT_TRUE(Eventually([&] { return Out->BuffersAtDevice() == 0; }));
      }
      Sim.SetOutputOpenResult(Speakers, 0);
      Source.Stop();
      Out.reset();
      EXPECT_EQ(Sim.OpenDevices(), 0u);
      EXPECT_EQ(Sim.RunningDeviceThreads(), 0u);
      EXPECT_TRUE(Eventually([&] { return BlocksInUse() == blocks; })) << BlocksInUse() << " blocks in use";
      EXPECT_TRUE(testsupport::ThreadsBackTo(threads));
    }
  }
}

TEST_F(AudioOutTest, ADeviceThatStopsCompletingBlocksNeverHoldsUpTheStopTheCloseOrTheRelease) {
  testsupport::TWatchdog watchdog("device that stops completing");
  const std::int64_t blocks = BlocksInUse();
  const int threads = testsupport::ProcessThreadCount();
  Make();
  Out->SetPrefillInterval(0);
  Source.Start();
  Source.Send(4);
  Sim.ReleaseOutputBlocks(Speakers, 2);  // two come back, then the device falls silent for good
  ASSERT_TRUE(Played(Speakers, 2 * KBufferBytes));
  Source.Send(20);
  Source.Stop();
  EXPECT_TRUE(Eventually([&] { return Out->BuffersAtDevice() == 22u; })) << Out->BuffersAtDevice();
  Out->Close();
  EXPECT_EQ(Sim.OpenDevices(), 0u);
  EXPECT_EQ(Out->BuffersAtDevice(), 0u);
  Source.Start();  // opens again; the device still completes nothing
  Source.Send(5);
  Out.reset();
  EXPECT_EQ(Sim.OpenDevices(), 0u);
  EXPECT_EQ(Sim.RunningDeviceThreads(), 0u);
  Source.Stop();
  EXPECT_TRUE(Eventually([&] { return BlocksInUse() == blocks; })) << BlocksInUse() << " blocks in use";
  EXPECT_TRUE(testsupport::ThreadsBackTo(threads));
}

TEST_F(AudioOutTest, TwoHundredStreamsInARowLeaveNoDeviceThreadBlockOrMemoryBehind) {
  testsupport::TWatchdog watchdog("mme soak", std::chrono::seconds(300));
  auto cycle = [&] {
    Make();
    Out->SetPrefillInterval(0);
    Source.Start();
    Source.Send(4);
    Source.Stop();
    Sim.ReleaseOutputBlocks(Speakers, 4);
    EXPECT_TRUE(Eventually([&] { return Out->BuffersAtDevice() == 0; }));
    Out.reset();
  };
  for (int i = 0; i < 10; ++i) cycle();
  const int threads = testsupport::ProcessThreadCount();
  const std::int64_t blocks = BlocksInUse();
  const long long resident = testsupport::ProcessResidentBytes();
  long long peak = resident;
  for (int i = 0; i < 200; ++i) {
    cycle();
    peak = std::max(peak, testsupport::ProcessResidentBytes());
  }
  EXPECT_EQ(Sim.OpenDevices(), 0u);
  EXPECT_EQ(Sim.RunningDeviceThreads(), 0u);
  EXPECT_TRUE(Eventually([&] { return BlocksInUse() == blocks; })) << BlocksInUse() << " blocks in use";
  EXPECT_TRUE(testsupport::ThreadsBackTo(threads));
  EXPECT_EQ(Sim.PlayedBytes(Speakers).size(), 210u * 4 * KBufferBytes);
  if (resident > 0) {
    const long long grown = testsupport::ProcessResidentBytes() - resident;
    // What the simulation keeps of every played block is part of it.
    EXPECT_LT(grown, (8ll << 20) + static_cast<long long>(200 * 4 * KBufferBytes));
    std::printf("mme soak: 200 streams, resident %lld KiB at the start, peak %lld KiB, grown %lld KiB\n",
                resident >> 10, peak >> 10, grown >> 10);
  }
}

// ---------------------------------------------------------------- with the signal generator

// The shell's generator: 1000 Hz, amplitude 16383, 1024 stereo 16-bit frames at 44100 Hz.
std::unique_ptr<TALSignalGen> MakeToneGenerator() {
  auto gen = CreateComponent<TALSignalGen>(nullptr);
  gen->SetName("ALSignalGen1");
  TALAudioFormat& format = gen->GetAudioFormat();
  format.SetSampleRate(44100);
  format.SetChannels(2);
  format.SetBits(16);
  format.SetBufferSize(KFrames);
  gen->SetFrequency(1000);
  gen->SetAmplitude(16383);
  return gen;
}

// Every frame of the played PCM is the same sample on both channels: one continuous 1000 Hz tone
// (a cosine, phase 0 at the start of the stream).
void ExpectContinuousTone(const std::vector<std::uint8_t>& APlayed) {
  ASSERT_EQ(0u, APlayed.size() % 4);
  const std::size_t frames = APlayed.size() / 4;
  std::size_t bad = 0;
  for (std::size_t n = 0; n < frames; ++n) {
    std::int16_t left, right;
    std::memcpy(&left, &APlayed[n * 4], 2);
    std::memcpy(&right, &APlayed[n * 4 + 2], 2);
    const double ideal = 16383.0 * std::cos(2.0 * 3.14159265358979323846 * 1000.0 * static_cast<double>(n) / 44100.0);
    // The generator's recurrence drifts by a few steps over a second; a lost or repeated buffer
    // would jump by thousands.
    if (left != right || std::abs(left - ideal) > 16.0) ++bad;
  }
  EXPECT_EQ(0u, bad) << "of " << frames << " frames";
}

TEST_F(AudioOutTest, ATestToneFromASelfPacedGeneratorStartsOnTheFourteenthBufferAndPlaysUnbroken) {
  Platform.SetMediaTimerManual(true);
  auto gen = MakeToneGenerator();
  gen->SetEnabled(true);  // running on its own clock with nothing connected, as on the window
  auto out = MakeOut("Speakers", false);
  out->SetEnabled(false);
  ASSERT_TRUE(out->GetInputPin().Connect(&gen->GetOutputPin()));
  EXPECT_TRUE(Sim.Opens().empty());
  out->SetEnabled(true);
  ASSERT_EQ(1u, Sim.Opens().size());
  EXPECT_EQ(ALToWaveFormat(KStereo44k), Sim.Opens()[0].Format);

  for (std::size_t k = 1; k <= 16; ++k) {
    Platform.TickMediaTimer(24);  // one buffer per 23.22 ms
    ASSERT_TRUE(Eventually([&] { return out->BuffersAtDevice() + out->QueuedOperations() == k; })) << k;
    EXPECT_EQ(k >= 14 ? 1u : 0u, Count("waveOutRestart")) << "after buffer " << k;
  }
  Sim.ReleaseOutputBlocks(Speakers, 100);
  Platform.TickMediaTimer(24 * 4);
  ASSERT_TRUE(Eventually([&] { return Sim.PlayedBytes(Speakers).size() >= 18 * KBufferBytes; }));
  gen->SetEnabled(false);
  ASSERT_TRUE(Eventually([&] { return out->BuffersAtDevice() == 0 && out->QueuedOperations() == 0; }));
  ExpectContinuousTone(Sim.PlayedBytes(Speakers));
  EXPECT_EQ(Sim.PlayedBytes(Speakers).size() % KBufferBytes, 0u);
  out->SetEnabled(false);
  out.reset();
  EXPECT_EQ(0u, Sim.OpenDevices());
  EXPECT_TRUE(ErrorsSeen().empty());
}

TEST_F(AudioOutTest, AGeneratorPulledByTheOutputIsPacedByTheDeviceAlone) {
  auto gen = MakeToneGenerator();
  auto out = MakeOut("Speakers", false);
  out->GetMasterPumping().SetEnabled(true);
  ASSERT_TRUE(out->GetInputPin().Connect(&gen->GetOutputPin()));
  std::atomic<int> empties{0};
  out->SetOnQueueEmpty([&](TObject*) { ++empties; });
  gen->SetEnabled(true);
  EXPECT_FALSE(gen->IsPump());
  EXPECT_EQ(out.get(), gen->GetMasterPump());
  EXPECT_FALSE(gen->HasOwnClock());
  EXPECT_TRUE(out->IsPump());
  EXPECT_EQ(15u, out->BuffersAtDevice());
  EXPECT_EQ(1u, Count("waveOutRestart"));

  // One buffer pulled per block played, on the wave thread, before the block is unprepared.
  Sim.ReleaseOutputBlocks(Speakers, 10);
  ASSERT_TRUE(Eventually([&] { return Count("waveOutUnprepareHeader") == 10; }));
  ASSERT_TRUE(Eventually([&] { return out->QueuedOperations() == 0 && out->BuffersAtDevice() == 15; }));
  EXPECT_EQ(10 * KBufferBytes, Sim.PlayedBytes(Speakers).size());

  gen->SetEnabled(false);
  Sim.ReleaseOutputBlocks(Speakers, 100);
  ASSERT_TRUE(Eventually([&] { return out->BuffersAtDevice() == 0; }));
  EXPECT_EQ(25 * KBufferBytes, Sim.PlayedBytes(Speakers).size());
  ExpectContinuousTone(Sim.PlayedBytes(Speakers));
  ASSERT_TRUE(Eventually([&] {
    Platform.ProcessMessages();
    return empties.load() > 0;
  }));
  out.reset();
  EXPECT_EQ(0u, Sim.OpenDevices());
}

TEST_F(AudioOutTest, OfTwoPumpingOutputsOnOneGeneratorTheFirstBecomesItsMaster) {
  auto gen = MakeToneGenerator();
  auto first = MakeOut("Speakers", false);
  auto second = MakeOut("Null Output", false);
  for (TALAudioOut* out : {first.get(), second.get()}) {
    out->GetMasterPumping().SetEnabled(true);
    ASSERT_TRUE(out->GetInputPin().Connect(&gen->GetOutputPin()));
  }
  gen->SetEnabled(true);
  EXPECT_EQ(first.get(), gen->GetMasterPump());
  EXPECT_TRUE(first->IsPump());
  EXPECT_FALSE(second->IsPump());
  // Both play the stream (the second started too); only the first pulls it.
  EXPECT_EQ(15u, first->BuffersAtDevice());
  EXPECT_EQ(14u, second->BuffersAtDevice());  // its 15th waits for a completion
  EXPECT_EQ(2u, Count("waveOutRestart"));
  gen->SetEnabled(false);
}

// ---------------------------------------------------------------- the wave thread

TEST(WaveThreadTest, RecordsRunInOrderOnANamedThreadOfHighestPriorityAndNoneAfterTerminate) {
  TSimPlatform platform;
  std::mutex m;
  std::vector<std::uint32_t> seen;
  std::thread::id thread;
  TALWaveThread wave("Out1.TALWaveThread", [&](std::uint32_t uMsg, std::uintptr_t, platform::TWaveHdr*) {
    std::lock_guard g(m);
    seen.push_back(uMsg);
    thread = std::this_thread::get_id();
  });
  for (std::uint32_t i = 0; i < 100; ++i) wave.PushRecord(i, 0, nullptr);
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard g(m);
    return seen.size() == 100;
  }));
  {
    std::lock_guard g(m);
    for (std::uint32_t i = 0; i < 100; ++i) EXPECT_EQ(i, seen[i]);
    EXPECT_EQ("Out1.TALWaveThread", platform.ThreadName(thread));
    EXPECT_EQ(platform::EThreadPriority::Highest, platform.ThreadPriority(thread));
  }
  wave.Terminate();
  wave.PushRecord(1000, 0, nullptr);
  EXPECT_EQ(0u, wave.PendingRecords());
  std::lock_guard g(m);
  EXPECT_EQ(100u, seen.size());
}

TEST(WaveThreadTest, ClearedRecordsAreNeverRun) {
  TSimPlatform platform;
  std::atomic<int> runs{0};
  std::mutex gate;
  std::unique_lock hold(gate);
  TALWaveThread wave("W", [&](std::uint32_t, std::uintptr_t, platform::TWaveHdr*) {
    std::lock_guard g(gate);  // the first record waits here until the test lets it go
    ++runs;
  });
  for (int i = 0; i < 5; ++i) wave.PushRecord(0, 0, nullptr);
  ASSERT_TRUE(Eventually([&] { return wave.PendingRecords() == 4; }));
  wave.ClearRecords();
  hold.unlock();
  wave.Terminate();
  EXPECT_EQ(1, runs.load());
}

}  // namespace
}  // namespace portwise

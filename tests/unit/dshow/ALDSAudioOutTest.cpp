// The DirectShow output on the simulated DirectShow: the graph it builds and tears down, the
// prefill, what reaches the renderer and with which stamps, the end of a stream played out whole,
// pausing, the pump, graph events, every open failure with its text and code, and destruction in
// the middle of a stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
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
#include "dshow/ALDSAudioOut.h"
#include "gen/ALSignalGen.h"
#include "tests/unit/FaultSupport.h"
#include "tests/unit/dshow/DSFaults.h"
#include "tests/unit/dshow/DSTestWorld.h"
#include "tests/unit/gen/GenTestSink.h"

namespace portwise::test {
namespace {

using portwise::testing::Eventually;
using namespace std::chrono_literals;

constexpr std::uint32_t KFrames = 1024;
constexpr std::size_t KBufferBytes = KFrames * 4;
constexpr REFERENCE_TIME KBufferTime = 232199;  // 1024 frames at 44100 Hz, truncated
constexpr TALWaveFormatExtensible KStereo44k{
    ALWaveFormatExtensibleTag, 2, 44100, 176400, 4, 16, ALWaveFormatExtensibleCbSize, 16, 3, ALSubFormatPCM};
constexpr TALWaveFormatExtensible KMono22k{
    ALWaveFormatExtensibleTag, 1, 22050, 44100, 2, 16, ALWaveFormatExtensibleCbSize, 16, 4, ALSubFormatPCM};

// The producer upstream of the output: it announces streams and sends numbered buffers.
class TTestSource : public TObject {
 public:
  TTestSource()
      : Lock(TOWLock::Create()),
        Pin(this, Lock.Get(), [](TOWBasicPin*, const TALGuid&, IOWNotifyOperation*, TOWNotifyState) { return 0u; }) {}

  void Start(const TALWaveFormatExtensible& AFormat = KStereo44k) {
    Format = AFormat;
    Pin.Notify(new TOWStartWaveOperation(AFormat, false));
  }
  void Stop() { Pin.Stop(); }
  void Send(int ACount = 1) {
    for (int i = 0; i < ACount; ++i) Pin.SubmitBuffer(TRefPtr<ISLData>(static_cast<ISLData*>(MakeBuffer().Get())));
  }
  std::vector<std::uint8_t> SentBytes() {
    std::lock_guard g(M);
    std::vector<std::uint8_t> bytes;
    for (const auto& b : FSent) bytes.insert(bytes.end(), b.begin(), b.end());
    return bytes;
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
    for (std::uint32_t i = 0; i < b->GetByteSize(); ++i) p[i] = static_cast<std::uint8_t>((n * 131u + i * 7u + (i >> 8)) & 0xFF);
    FSent.emplace_back(p, p + b->GetByteSize());
    return b;
  }

  std::mutex M;
  std::vector<std::vector<std::uint8_t>> FSent;
};

struct TError {
  std::string Text;
  std::int32_t Code;
};

class ALDSAudioOutTest : public TDSWorldTest {
 protected:
  ALDSAudioOutTest() {
    Speakers = DS.AddAudioRenderer("Speakers");
    Headphones = DS.AddAudioRenderer("Headphones");
  }

  std::unique_ptr<TALDSAudioOut> MakeOut(const std::string& ADevice = "Speakers") {
    auto out = CreateComponent<TALDSAudioOut>(nullptr);
    out->SetName("DSAudioOut1");
    out->GetAudioOutputDevice().SetDeviceName(ADevice);
    out->SetOnQueueEmpty([this](TObject* ASender) {
      EXPECT_TRUE(Sim.IsMainThread());
      PlayedWhenEmpty = DS.RendererCount() ? DS.Renderer(DS.RendererCount() - 1).Played.size() : 0;
      ++Empties;
      EXPECT_NE(nullptr, ASender);
    });
    return out;
  }
  // The output of most tests, fed by Source.
  void Make(const std::string& ADevice = "Speakers") {
    Out = MakeOut(ADevice);
    ASSERT_TRUE(Out->GetInputPin().Connect(&Source.Pin));
  }
  // Errors go to a handler that records them (and marks them handled when told to).
  void CatchErrors(bool AHandle) {
    Out->GetGraph().SetOnError([this, AHandle](TObject*, const std::string& AText, std::int32_t ACode, bool& AHandled) {
      std::lock_guard g(M);
      Errors.push_back({AText, ACode});
      AHandled = AHandle;
    });
  }
  std::vector<TError> ErrorsSeen() {
    std::lock_guard g(M);
    return Errors;
  }
  // Waits (bounded) with the main thread's messages processed, as the shell's waits do.
  template <class P>
  bool Pumped(P APred) {
    return Eventually([&] {
      Sim.ProcessMessages();
      return APred();
    });
  }
  // Three buffers of a new stream reach the newest renderer; then the output is freed.
  void PlayANewStreamWholeThenFree() {
    Source.Start(KMono22k);
    Source.Send(3);
    Source.Stop();
    const std::size_t renderer = DS.RendererCount() - 1;
    EXPECT_TRUE(Eventually([&] { return DS.Renderer(renderer).Played.size() == 3; }));
    Out.reset();
  }
  std::vector<std::uint8_t> PlayedBytes(std::size_t ARenderer = 0) {
    std::vector<std::uint8_t> bytes;
    for (const auto& s : DS.Renderer(ARenderer).Played) bytes.insert(bytes.end(), s.Data.begin(), s.Data.end());
    return bytes;
  }
  static bool HasTransition(const platform::sim::TSimGraphInfo& AGraph, const std::string& AWhat) {
    for (const auto& t : AGraph.Transitions)
      if (t == AWhat) return true;
    return false;
  }

  int Speakers = -1, Headphones = -1;
  std::mutex M;
  std::vector<TError> Errors;
  std::atomic<int> Empties{0};
  std::atomic<std::size_t> PlayedWhenEmpty{0};
  TTestSource Source;
  std::unique_ptr<TALDSAudioOut> Out;  // freed first
};

// Counts the ticks of a clock source pin.
class TClockCounter : public TObject {
 public:
  TClockCounter()
      : Lock(TOWLock::Create()), Pin(this, Lock.Get(), [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation*, TOWNotifyState) {
          ++Ticks;
          return 0u;
        }) {}
  std::atomic<int> Ticks{0};
  TRefPtr<TOWLock> Lock;
  TOWClockSinkPin Pin;
};

// ---------------------------------------------------------------- opening

TEST_F(ALDSAudioOutTest, OpenBeforeAnyStreamBuildsTheGraphFor11025HzStereoAndCloseTearsItDown) {
  Make();
  Out->SetEnabled(true);
  Out->Open();
  EXPECT_TRUE(Out->GetOpened());
  ASSERT_EQ(1u, DS.GraphCount());
  EXPECT_EQ((std::vector<std::string>{"Audio Render", "AudioSource"}), DS.Graph(0).Filters);
  EXPECT_EQ(State_Stopped, DS.Graph(0).State);
  ASSERT_EQ(1u, DS.RendererCount());
  EXPECT_EQ(Speakers, DS.Renderer(0).Device);
  ASSERT_EQ(18u, DS.Renderer(0).Format.size());
  const WAVEFORMATEX w = platform::ReadWaveFormatEx(DS.Renderer(0).Format.data());
  EXPECT_EQ(1, w.wFormatTag);
  EXPECT_EQ(2, w.nChannels);
  EXPECT_EQ(11025u, w.nSamplesPerSec);
  EXPECT_EQ(16, w.wBitsPerSample);
  // A frame delay of 1024000 div 11025 = 92 ms sizes the single sample.
  ALLOCATOR_PROPERTIES props{};
  ASSERT_EQ(S_OK, Out->SourceFilter()->GetSourcePin()->GetAllocator()->GetProperties(&props));
  EXPECT_EQ(1, props.cBuffers);
  EXPECT_EQ(4148, props.cbBuffer);
  EXPECT_EQ("Speakers", Out->GetAudioOutputDevice().GetOpenedDeviceName());

  Out->Open();  // already open: nothing
  EXPECT_EQ(1u, DS.GraphCount());

  Out->Close();
  EXPECT_FALSE(Out->GetOpened());
  EXPECT_TRUE(DS.Renderer(0).bEndOfStream);
  EXPECT_FALSE(DS.Graph(0).bAlive);
  EXPECT_FALSE(DS.Renderer(0).bAlive);
  EXPECT_EQ("", Out->GetAudioOutputDevice().GetOpenedDeviceName());
  Out->SetOpened(true);
  EXPECT_TRUE(Out->GetOpened());
  EXPECT_EQ(2u, DS.GraphCount());
  Out->SetEnabled(false);
  Out.reset();
  EXPECT_EQ(0u, DS.LiveObjects());
}

TEST_F(ALDSAudioOutTest, WithNoDeviceTheStreamGoesToTheRendererTheGraphBuilderPicks) {
  DS.SetDefaultDevice(CLSID_AudioRendererCategory, Headphones);
  Make("None");
  Out->Open();
  EXPECT_TRUE(Out->GetOpened());
  EXPECT_EQ((std::vector<std::string>{"AudioSource", "Headphones"}), DS.Graph(0).Filters);
  EXPECT_EQ(Headphones, DS.Renderer(0).Device);
  EXPECT_EQ(0, Out->GetVolume());  // no renderer of its own to ask
}

// Every step of building and running the graph failing with each code, the error handled or not:
// the exact text and code, no graph, renderer or clock left behind, and the same output opens
// and plays once the step works again. Freed, it leaves no object, thread or storage block.
TEST_F(ALDSAudioOutTest, EveryFailingGraphStepIsReportedWithItsCodeAndLeavesNothingBehind) {
  const TDSFailure steps[] = {
      {"graph manager", EDSFault::Create, "", CLSID_FilterGraph, 0, 0, "Can't build DirectShow graph."},
      {"graph manager left set", EDSFault::CreateLeaving, "", CLSID_FilterGraph, 0, 0, "Can't build DirectShow graph."},
      {"graph builder", EDSFault::Create, "", CLSID_CaptureGraphBuilder2, 0, 0, "Can't build DirectShow graph builder."},
      {"builder's graph", EDSFault::Point, "Builder.SetFiltergraph", {}, 0, 0, "Can't build DirectShow graph builder."},
      {"device binding", EDSFault::Bind, "", {}, 0, 0, "Can't create audio render filter."},
      {"renderer added", EDSFault::Point, "Graph.AddFilter", {}, 0, 0, "Can't add audio render filter."},
      {"source added", EDSFault::Point, "Graph.AddFilter", {}, 1, 0, "Can't set audio source filter."},
      {"render stream", EDSFault::Point, "Builder.RenderStream", {}, 0, 0, "Can't render audio output."},
      {"renderer's connection", EDSFault::Point, "Pin.ReceiveConnection", {}, 0, VFW_E_CANNOT_CONNECT,
       "Can't render audio output."},
      {"control", EDSFault::Point, "Graph.QueryInterface.IMediaControl", {}, 0, 0, "Can't obtain IMediaControl."},
      {"media filter", EDSFault::Point, "Graph.QueryInterface.IMediaFilter", {}, 0, 0, "Can't obtain IMediaFilter."},
      {"run", EDSFault::Point, "Graph.Run", {}, 0, 0, "Can't start render."},
      {"clock", EDSFault::Point, "Graph.GetSyncSource", {}, 0, 0, "Can't obtain the reggerence clock."},
  };
  testsupport::TWatchdog watchdog("failing DirectShow output steps", std::chrono::seconds(300));
  const int threads = testsupport::ProcessThreadCount();
  const long long blocks = testsupport::PoolBlocksInUse();
  std::size_t left = 0, leftGraphs = 0;  // objects of classes that misbehave: their own business
  for (const bool bHandled : {false, true}) {
    for (const TDSFailure& f : steps) {
      for (const HRESULT code : KDSFailureCodes) {
        const std::string name = std::string(f.Name) + " " + CodeText(code) + (bHandled ? " handled" : "");
        SCOPED_TRACE(name);
        const std::string point = f.Point;
        // Run and clock fail at the end of the prefill; the rest while the graph is built.
        const bool bAtRun = point == "Graph.Run" || point == "Graph.GetSyncSource";
        Out = MakeOut();
        ASSERT_TRUE(Out->GetInputPin().Connect(&Source.Pin));
        Errors.clear();
        CatchErrors(bHandled);
        TClockCounter clock;  // the clock is only asked for by an output that paces its source
        ASSERT_TRUE(clock.Pin.Connect(&Out->GetClockOutputPin()));
        ArmFailure(Sim, DS, Speakers, f, code);
        if (f.Kind == EDSFault::CreateLeaving) ++left;
        if (f.Kind == EDSFault::CreateLeaving && f.Class == CLSID_FilterGraph) ++leftGraphs;
        std::string raised = "<none>";
        try {
          if (bAtRun) {
            Source.Start();
            Source.Send(14);  // the producer's delivery swallows the raise
          } else {
            Out->Open();
          }
        } catch (const ESLException& e) {
          raised = e.what();
        }
        const HRESULT reported = f.Reported ? f.Reported : code;
        ASSERT_EQ(1u, ErrorsSeen().size());
        EXPECT_EQ(f.Text, ErrorsSeen()[0].Text);
        EXPECT_EQ(reported, ErrorsSeen()[0].Code);
        EXPECT_EQ(raised, bHandled || bAtRun ? "<none>" : ESLException(f.Text, reported).what());
        if (!bAtRun) {
          EXPECT_FALSE(Out->GetOpened());
          std::size_t graphs = 0;
          for (std::size_t i = 0; i < DS.GraphCount(); ++i) graphs += DS.Graph(i).bAlive;
          EXPECT_EQ(leftGraphs, graphs);
          for (std::size_t i = 0; i < DS.RendererCount(); ++i) EXPECT_FALSE(DS.Renderer(i).bAlive);
        }
        DisarmFailure(Sim, DS, Speakers, f);

        // The same output plays a stream once the step works.
        PlayANewStreamWholeThenFree();
        EXPECT_EQ(left, DS.LiveObjects());
        EXPECT_EQ(0u, Sim.SimCom().OpenClockSemaphores());
        EXPECT_TRUE(Eventually([&] { return testsupport::PoolBlocksInUse() == blocks; }));
        EXPECT_TRUE(testsupport::ThreadsBackTo(threads));
        DS.ForgetHistory();
      }
    }
  }
}

TEST_F(ALDSAudioOutTest, TheExceptionMessageCarriesTheCodeInUnsignedDecimalAndUpperCaseHexadecimal) {
  DS.FailNext("Builder.RenderStream", static_cast<HRESULT>(0x80040217));
  Make();
  try {
    Out->Open();
    FAIL() << "no exception";
  } catch (const ESLException& e) {
    EXPECT_STREQ("Can't render audio output. - 2147746327 - 80040217", e.what());
  }
}

TEST_F(ALDSAudioOutTest, VolumeAndBalanceAreClampedToTheRenderersRanges) {
  Make();
  EXPECT_EQ(0, Out->GetVolume());  // not open: no renderer
  EXPECT_EQ(0, Out->GetBalance());
  Out->Open();
  struct TCase {
    std::int32_t Volume, StoredVolume, Balance, StoredBalance;
  };
  for (const TCase& c : std::vector<TCase>{{500, 0, 20000, 10000},
                                           {-20000, -10000, -20000, -10000},
                                           {-2500, -2500, 1234, 1234},
                                           {0, 0, 0, 0}}) {
    Out->SetVolume(c.Volume);
    Out->SetBalance(c.Balance);
    EXPECT_EQ(c.StoredVolume, DS.Renderer(0).Volume);
    EXPECT_EQ(c.StoredBalance, DS.Renderer(0).Balance);
    EXPECT_EQ(c.StoredVolume, Out->GetVolume());
    EXPECT_EQ(c.StoredBalance, Out->GetBalance());
  }
}

// ---------------------------------------------------------------- streams

TEST_F(ALDSAudioOutTest, ThePrefillHoldsTheGraphStoppedUntilTheFourteenthBuffer) {
  Make();
  Source.Start();
  ASSERT_EQ(1u, DS.GraphCount());
  ASSERT_EQ(18u, DS.Renderer(0).Format.size());
  EXPECT_EQ(44100u, platform::ReadWaveFormatEx(DS.Renderer(0).Format.data()).nSamplesPerSec);
  for (std::size_t k = 1; k <= 13; ++k) {
    Source.Send();
    EXPECT_EQ(k, Out->QueuedBuffers());
  }
  EXPECT_FALSE(HasTransition(DS.Graph(0), "Run"));
  EXPECT_FALSE(Out->IsPlaying());
  EXPECT_TRUE(DS.Renderer(0).Played.empty());
  Source.Send();  // 14 x 23 ms = 322 ms > 300 ms
  EXPECT_TRUE(HasTransition(DS.Graph(0), "Run"));
  EXPECT_EQ(State_Running, DS.Graph(0).State);
  EXPECT_TRUE(Out->IsPlaying());
  ASSERT_TRUE(Eventually([&] { return DS.Renderer(0).Played.size() >= 14; }));
}

TEST_F(ALDSAudioOutTest, WithoutPrefillTheFirstBufferRunsTheGraphAndEmptyBuffersCountForNothing) {
  Make();
  Out->SetPrefillInterval(0);
  Source.Start();
  Source.Pin.SubmitBuffer(TRefPtr<ISLData>(static_cast<ISLData*>(
      TALAudioBuffer::CreateSizeEx(44100, 16, 2, 0, TALSpeakers::FromMask(3)).Get())));
  EXPECT_FALSE(HasTransition(DS.Graph(0), "Run"));
  EXPECT_EQ(0u, Out->QueuedBuffers());
  Source.Send();
  EXPECT_TRUE(HasTransition(DS.Graph(0), "Run"));
}

TEST_F(ALDSAudioOutTest, BuffersReachTheRendererWholeInOrderWithConsecutiveStamps) {
  Make();
  Source.Start();
  Source.Send(20);
  ASSERT_TRUE(Eventually([&] { return DS.Renderer(0).Played.size() == 20; }));
  const auto played = DS.Renderer(0).Played;
  for (std::size_t i = 0; i < played.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(KBufferBytes, played[i].Data.size());
    ASSERT_TRUE(played[i].bHasTime);
    EXPECT_EQ(static_cast<REFERENCE_TIME>(i) * KBufferTime, played[i].Start);
    EXPECT_EQ(static_cast<REFERENCE_TIME>(i + 1) * KBufferTime, played[i].End);
    EXPECT_TRUE(played[i].bSyncPoint);
  }
  EXPECT_EQ(Source.SentBytes(), PlayedBytes());
  EXPECT_EQ(20 * KBufferTime, Out->CurrentAudioTime());
}

TEST_F(ALDSAudioOutTest, AStopDuringThePrefillPlaysWhatWasQueuedThenStopsTheGraph) {
  Make();
  Source.Start();
  Source.Send(5);
  EXPECT_FALSE(HasTransition(DS.Graph(0), "Run"));
  Source.Stop();
  EXPECT_TRUE(HasTransition(DS.Graph(0), "Run"));
  ASSERT_TRUE(Pumped([&] { return Empties.load() == 1; }));
  EXPECT_EQ(5u, PlayedWhenEmpty.load());  // all of it, before the notification
  EXPECT_EQ(Source.SentBytes(), PlayedBytes());
  EXPECT_TRUE(DS.Renderer(0).bEndOfStream);
  EXPECT_EQ(State_Stopped, DS.Graph(0).State);
  EXPECT_FALSE(Out->IsStreaming());
  EXPECT_TRUE(Out->GetOpened());  // the graph is kept for the next stream
}

TEST_F(ALDSAudioOutTest, AStopAfterThePrefillLetsTheQueuePlayOutBeforeTheGraphStops) {
  Make();
  Source.Start();
  Source.Send(30);  // far ahead of the renderer: about 700 ms are queued
  Source.Stop();
  EXPECT_EQ(State_Running, DS.Graph(0).State);
  ASSERT_TRUE(Pumped([&] { return Empties.load() == 1; }));
  EXPECT_EQ(30u, PlayedWhenEmpty.load());
  EXPECT_EQ(Source.SentBytes(), PlayedBytes());
  EXPECT_EQ(State_Stopped, DS.Graph(0).State);
  // Only one notification per stream.
  std::this_thread::sleep_for(50ms);
  Sim.ProcessMessages();
  EXPECT_EQ(1, Empties.load());

  // The next stream of the same format keeps the graph and starts from stamp 0 again.
  Source.Start();
  Source.Send(14);
  EXPECT_EQ(1u, DS.GraphCount());
  ASSERT_TRUE(Eventually([&] { return DS.Renderer(0).Played.size() == 44; }));
  EXPECT_EQ(0, DS.Renderer(0).Played[30].Start);
}

TEST_F(ALDSAudioOutTest, AStartWithAnotherFormatOrDuringAStreamRebuildsTheGraph) {
  Make();
  Source.Start();
  Source.Send(3);
  Source.Start(KMono22k);  // another format: closed and built anew
  ASSERT_EQ(2u, DS.GraphCount());
  EXPECT_FALSE(DS.Graph(0).bAlive);
  EXPECT_EQ(22050u, platform::ReadWaveFormatEx(DS.Renderer(1).Format.data()).nSamplesPerSec);
  EXPECT_EQ(0u, Out->QueuedBuffers());
  Source.Send(2);
  Source.Start(KMono22k);  // same format, stream in progress: stopped, closed, rebuilt
  EXPECT_EQ(3u, DS.GraphCount());
  EXPECT_TRUE(DS.Graph(2).bAlive);
  EXPECT_TRUE(Out->IsStreaming());
}

TEST_F(ALDSAudioOutTest, DisablingPausesTheGraphAndDropsBuffersAndEnablingRunsItAgain) {
  Make();
  Source.Start();
  Source.Send(14);
  ASSERT_EQ(State_Running, DS.Graph(0).State);
  Out->SetEnabled(false);
  EXPECT_EQ(State_Paused, DS.Graph(0).State);
  Source.Send(3);  // dropped
  Out->SetEnabled(true);
  EXPECT_EQ(State_Running, DS.Graph(0).State);
  Source.Send(2);
  Source.Stop();
  ASSERT_TRUE(Pumped([&] { return Empties.load() == 1; }));
  EXPECT_EQ(16u, DS.Renderer(0).Played.size());
}

struct TGraphEvent {
  const char* Name;
  LONG Code;
  bool bFromRenderer;  // the renderer reports it (else the graph is handed it with an error code)
};

class ALDSAudioOutEventTest : public ALDSAudioOutTest, public ::testing::WithParamInterface<TGraphEvent> {};

TEST_P(ALDSAudioOutEventTest, AnEventThatEndsPlaybackStopsTheStreamAndTheNextStreamPlays) {
  testsupport::TWatchdog watchdog(GetParam().Name);
  const int threads = testsupport::ProcessThreadCount();
  Make();
  Source.Start();
  Source.Send(20);
  ASSERT_TRUE(Eventually([&] { return DS.Renderer(0).Played.size() >= 1; }));
  ASSERT_TRUE(Out->IsStreaming());
  if (GetParam().bFromRenderer) {
    DS.LoseRendererDevice(0);
  } else {
    DS.PostGraphEvent(0, GetParam().Code, static_cast<LONG_PTR>(0x80004005), 0);
  }
  ASSERT_TRUE(Pumped([&] { return !Out->IsStreaming(); }));
  EXPECT_EQ(State_Stopped, DS.Graph(0).State);
  ASSERT_EQ(1u, DS.Graph(0).Freed.size());
  EXPECT_EQ(GetParam().Code, DS.Graph(0).Freed[0].Code);
  EXPECT_EQ(0, DS.Graph(0).DoubleFrees);
  EXPECT_EQ(0u, Out->QueuedBuffers());
  const std::size_t played = DS.Renderer(0).Played.size();
  Source.Send(3);  // the ended stream takes no more
  EXPECT_EQ(played, DS.Renderer(0).Played.size());

  // A new stream plays whole.
  Source.Stop();
  PlayANewStreamWholeThenFree();
  EXPECT_EQ(0u, DS.LiveObjects());
  EXPECT_EQ(0u, Sim.SimCom().OpenClockSemaphores());
  EXPECT_TRUE(testsupport::ThreadsBackTo(threads));
}

INSTANTIATE_TEST_SUITE_P(Events, ALDSAudioOutEventTest,
                         ::testing::Values(TGraphEvent{"DeviceLost", EC_DEVICE_LOST, true},
                                           TGraphEvent{"ErrorAbort", EC_ERRORABORT, false}),
                         [](const ::testing::TestParamInfo<TGraphEvent>& p) { return std::string(p.param.Name); });

TEST_F(ALDSAudioOutTest, ChoosingAnotherDeviceStopsAndCloses) {
  Make();
  Source.Start();
  Source.Send(14);
  Out->GetAudioOutputDevice().SetDeviceName("Headphones");
  EXPECT_FALSE(Out->IsStreaming());
  EXPECT_FALSE(Out->GetOpened());
  EXPECT_FALSE(DS.Graph(0).bAlive);
}

TEST_F(ALDSAudioOutTest, AFailingRunAtTheEndOfThePrefillIsReportedWithItsCode) {
  Make();
  CatchErrors(false);
  DS.FailNext("Graph.Run", static_cast<HRESULT>(0x80004005));
  Source.Start();
  Source.Send(14);  // the producer's delivery swallows the raise
  ASSERT_EQ(1u, ErrorsSeen().size());
  EXPECT_EQ("Can't start render.", ErrorsSeen()[0].Text);
  EXPECT_EQ(static_cast<std::int32_t>(0x80004005), ErrorsSeen()[0].Code);
  EXPECT_FALSE(Out->IsPlaying());
  Source.Send();  // the next buffer tries again
  EXPECT_TRUE(Out->IsPlaying());
}

TEST_F(ALDSAudioOutTest, WithItsClockOutputConnectedTheRenderersClockTicksItOncePerBufferPeriod) {
  Make();
  TClockCounter clock;
  ASSERT_TRUE(clock.Pin.Connect(&Out->GetClockOutputPin()));
  CatchErrors(false);
  DS.FailNext("Graph.GetSyncSource", static_cast<HRESULT>(0x80040256));
  Source.Start();
  Source.Send(14);
  ASSERT_EQ(1u, ErrorsSeen().size());
  EXPECT_EQ("Can't obtain the reggerence clock.", ErrorsSeen()[0].Text);
  EXPECT_EQ(static_cast<std::int32_t>(0x80040256), ErrorsSeen()[0].Code);

  Source.Start(KMono22k);  // a new stream, a new graph: this time the clock is there
  Source.Send(8);
  ASSERT_TRUE(Eventually([&] { return Out->IsPlaying(); }));
  const int before = clock.Ticks.load();
  std::this_thread::sleep_for(500ms);
  // One tick per 46 ms buffer period (about ten): far more than the player's own pump steps.
  EXPECT_GE(clock.Ticks.load() - before, 6);
  EXPECT_EQ(1u, ErrorsSeen().size());
}

TEST_F(ALDSAudioOutTest, FlushDropsTheQueueAndFlushesTheRenderer) {
  Make();
  Source.Start();
  Source.Send(10);
  Out->Flush();
  EXPECT_EQ(0u, Out->QueuedBuffers());
  EXPECT_EQ(1, DS.Renderer(0).Flushes);
}

TEST_F(ALDSAudioOutTest, FreeingDuringAStreamStopsAtOnceAndReleasesEverything) {
  Make();
  Source.Start();
  Source.Send(40);  // the player is waiting on the renderer with most of this queued
  ASSERT_TRUE(Eventually([&] { return DS.Renderer(0).Played.size() >= 2; }));
  Out.reset();
  EXPECT_FALSE(DS.Graph(0).bAlive);
  EXPECT_FALSE(DS.Renderer(0).bAlive);
  EXPECT_LT(DS.Renderer(0).Played.size(), 40u);  // queued audio is cut
  EXPECT_EQ(0u, DS.LiveObjects());
  EXPECT_EQ(0u, Sim.SimCom().OpenClockSemaphores());
  Source.Send(3);  // nobody listens any more
}

TEST_F(ALDSAudioOutTest, FreeingWhilePausedWithADeliveryWaitingEndsThatWait) {
  Make();
  Source.Start();
  Source.Send(30);
  ASSERT_TRUE(Eventually([&] { return DS.Renderer(0).Played.size() >= 1; }));
  Out->SetEnabled(false);  // the renderer holds the delivery while paused
  std::this_thread::sleep_for(50ms);
  Out.reset();
  EXPECT_EQ(0u, DS.LiveObjects());
}

// Without the graph's event interface no completion can come: the stream clock alone tells when
// the queue has played out.
TEST_F(ALDSAudioOutTest, WithoutTheEventInterfaceAnEndedStreamStillPlaysOutAndStops) {
  testsupport::TWatchdog watchdog("no graph events");
  Make();
  CatchErrors(false);
  DS.FailNext("Graph.QueryInterface.IMediaEventEx", E_NOINTERFACE);
  Source.Start();
  Source.Send(3);
  Source.Stop();
  ASSERT_TRUE(Pumped([&] { return Empties.load() == 1; }));
  EXPECT_EQ(OAHWND{0}, DS.Graph(0).NotifyWindow);  // nobody asked for events
  EXPECT_EQ(3u, DS.Renderer(0).Played.size());
  EXPECT_EQ(State_Stopped, DS.Graph(0).State);
  EXPECT_TRUE(ErrorsSeen().empty());
  Out.reset();
  EXPECT_EQ(0u, DS.LiveObjects());
}

struct TKeepingRenderer {
  const char* Name;
  bool bOffersAllocator;
  bool bCloseFirst;  // closed before it is freed (else freed while delivering)
};

class ALDSAudioOutKeepingTest : public ALDSAudioOutTest, public ::testing::WithParamInterface<TKeepingRenderer> {};

// The single sample never comes back, so the next delivery waits for it: that wait ends with the
// stop of the graph, not at the give-up bound of a stop that waits for deliveries.
TEST_P(ALDSAudioOutKeepingTest, ARendererThatNeverReleasesItsSampleHoldsUpNeitherTheCloseNorTheRelease) {
  testsupport::TWatchdog watchdog(GetParam().Name);
  const int threads = testsupport::ProcessThreadCount();
  const long long blocks = testsupport::PoolBlocksInUse();
  DS.SetRendererKeepsSamples(true);
  DS.SetRendererAllocator(GetParam().bOffersAllocator);
  Make();
  Source.Start();
  Source.Send(20);
  ASSERT_TRUE(Eventually([&] { return DS.Renderer(0).Played.size() >= 1; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(1u, DS.Renderer(0).Played.size());  // the delivery after it waits
  const auto begin = std::chrono::steady_clock::now();
  if (GetParam().bCloseFirst) {
    Out->Close();
    EXPECT_FALSE(Out->GetOpened());
    EXPECT_FALSE(DS.Graph(0).bAlive);
  }
  Out.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  Source.Stop();
  EXPECT_EQ(0u, DS.LiveObjects());
  EXPECT_EQ(0u, Sim.SimCom().OpenClockSemaphores());
  EXPECT_TRUE(Eventually([&] { return testsupport::PoolBlocksInUse() == blocks; }));
  EXPECT_TRUE(testsupport::ThreadsBackTo(threads));
}

INSTANTIATE_TEST_SUITE_P(Renderers, ALDSAudioOutKeepingTest,
                         ::testing::Values(TKeepingRenderer{"ItsOwnAllocatorClosed", true, true},
                                           TKeepingRenderer{"ItsOwnAllocatorFreed", true, false},
                                           TKeepingRenderer{"OurAllocatorClosed", false, true},
                                           TKeepingRenderer{"OurAllocatorFreed", false, false}),
                         [](const ::testing::TestParamInfo<TKeepingRenderer>& p) { return std::string(p.param.Name); });

TEST_F(ALDSAudioOutTest, WithNoRendererAtAllTheListIsEmptyAndOpeningTheDefaultFailsCleanly) {
  DS.RemoveDevice(Speakers);
  DS.RemoveDevice(Headphones);
  Make("Default");
  std::vector<std::string> names;
  Out->GetAudioOutputDevice().GetDeviceList(&names);
  EXPECT_TRUE(names.empty());
  CatchErrors(true);
  Out->Open();
  ASSERT_EQ(1u, ErrorsSeen().size());
  EXPECT_EQ("Can't render audio output.", ErrorsSeen()[0].Text);
  EXPECT_EQ(VFW_E_CANNOT_RENDER, ErrorsSeen()[0].Code);
  EXPECT_FALSE(Out->GetOpened());
  Source.Start();
  Source.Send(20);
  Source.Stop();
  Out.reset();
  EXPECT_EQ(0u, DS.LiveObjects());
}

TEST_F(ALDSAudioOutTest, TwoHundredStreamsInARowLeaveNoObjectSemaphoreThreadBlockOrMemoryBehind) {
  testsupport::TWatchdog watchdog("dshow soak", std::chrono::seconds(300));
  auto cycle = [&] {
    Make();
    Source.Start();
    Source.Send(3);
    Source.Stop();  // within the prefill: what was queued plays, then the graph stops
    const std::size_t renderer = DS.RendererCount() - 1;
    EXPECT_TRUE(Eventually([&] { return DS.Renderer(renderer).Played.size() == 3; }));
    Out.reset();
  };
  for (int i = 0; i < 10; ++i) cycle();
  const int threads = testsupport::ProcessThreadCount();
  const long long blocks = testsupport::PoolBlocksInUse();
  const long long resident = testsupport::ProcessResidentBytes();
  long long peak = resident;
  for (int i = 0; i < 200; ++i) {
    cycle();
    peak = std::max(peak, testsupport::ProcessResidentBytes());
  }
  EXPECT_EQ(DS.LiveObjects(), 0u);
  EXPECT_EQ(Sim.SimCom().OpenClockSemaphores(), 0u);
  EXPECT_EQ(Sim.SimCom().OutstandingTaskMem(), 0u);
  EXPECT_TRUE(Eventually([&] { return testsupport::PoolBlocksInUse() == blocks; }));
  EXPECT_TRUE(testsupport::ThreadsBackTo(threads));
  if (resident > 0) {
    const long long grown = testsupport::ProcessResidentBytes() - resident;
    // The simulation keeps what every renderer played.
    EXPECT_LT(grown, 16ll << 20);
    std::printf("dshow soak: 200 streams, resident %lld KiB at the start, peak %lld KiB, grown %lld KiB\n",
                resident >> 10, peak >> 10, grown >> 10);
  }
}

// ---------------------------------------------------------------- with the signal generator

template <class TGen = TALSignalGen>
std::unique_ptr<TGen> MakeToneGenerator() {
  auto gen = CreateComponent<TGen>(nullptr);
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

// Every frame is the same sample on both channels: one continuous 1000 Hz cosine from phase 0.
void ExpectContinuousTone(const std::vector<std::uint8_t>& APlayed) {
  ASSERT_EQ(0u, APlayed.size() % 4);
  const std::size_t frames = APlayed.size() / 4;
  std::size_t bad = 0, first = frames;
  for (std::size_t n = 0; n < frames; ++n) {
    std::int16_t left, right;
    std::memcpy(&left, &APlayed[n * 4], 2);
    std::memcpy(&right, &APlayed[n * 4 + 2], 2);
    const double ideal = 16383.0 * std::cos(2.0 * 3.14159265358979323846 * 1000.0 * static_cast<double>(n) / 44100.0);
    if (left != right || std::abs(left - ideal) > 16.0) {
      ++bad;
      first = std::min(first, n);
    }
  }
  EXPECT_EQ(0u, bad) << "of " << frames << " frames, the first at frame " << first;
}

TEST_F(ALDSAudioOutTest, TheShellsToneFromARunningGeneratorIsPlayedWholeAndInOrder) {
  Sim.SetMediaTimerManual(true);
  auto gen = MakeToneGenerator();
  gen->SetEnabled(true);  // running on its own clock with nothing connected, as on the window
  Out = MakeOut("Speakers");
  Out->SetEnabled(false);
  ASSERT_TRUE(Out->GetInputPin().Connect(&gen->GetOutputPin()));
  ASSERT_EQ(1u, DS.GraphCount());  // the replayed start opened it
  Out->SetEnabled(true);

  for (std::size_t k = 1; k <= 16; ++k) {
    Sim.TickMediaTimer(24);  // one buffer per 23.22 ms
    if (k < 14) {
      ASSERT_TRUE(Eventually([&] { return Out->QueuedBuffers() == k; })) << k;
      EXPECT_FALSE(HasTransition(DS.Graph(0), "Run")) << "after buffer " << k;
    } else {
      ASSERT_TRUE(Eventually([&] { return HasTransition(DS.Graph(0), "Run"); })) << k;
    }
  }
  Sim.TickMediaTimer(1000 - 16 * 24);  // the rest of the second: 43 buffers in all
  auto received = [&] { return Out->QueuedBuffers() + static_cast<std::size_t>(Out->CurrentAudioTime() / KBufferTime); };
  ASSERT_TRUE(Eventually([&] { return received() == 43; }));
  gen->SetEnabled(false);
  ASSERT_TRUE(Pumped([&] { return Empties.load() == 1; }));
  EXPECT_EQ(43u, DS.Renderer(0).Played.size());
  EXPECT_EQ(43u, PlayedWhenEmpty.load());
  const auto played = DS.Renderer(0).Played;
  for (std::size_t i = 0; i < played.size(); ++i) {
    EXPECT_EQ(static_cast<REFERENCE_TIME>(i) * KBufferTime, played[i].Start) << i;
    EXPECT_EQ(static_cast<REFERENCE_TIME>(i + 1) * KBufferTime, played[i].End) << i;
  }
  ExpectContinuousTone(PlayedBytes());
  Out->SetEnabled(false);
  Out.reset();
  EXPECT_EQ(0u, DS.LiveObjects());
}

TEST_F(ALDSAudioOutTest, AGeneratorPulledByTheOutputIsPacedByTheRenderersClock) {
  auto gen = MakeToneGenerator();
  Out = MakeOut("Speakers");
  Out->GetMasterPumping().SetEnabled(true);
  ASSERT_TRUE(Out->GetInputPin().Connect(&gen->GetOutputPin()));
  gen->SetEnabled(true);
  EXPECT_EQ(Out.get(), gen->GetMasterPump());
  EXPECT_FALSE(gen->HasOwnClock());
  EXPECT_TRUE(Out->IsPump());
  // The prefill is pulled at once; then one buffer per clock period.
  ASSERT_TRUE(Eventually([&] { return Out->IsPlaying(); }));
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(Eventually([&] { return DS.Renderer(0).Played.size() >= 40; }));
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_GT(elapsed, 300ms);  // not faster than the renderer plays (a hang would fail the wait)
  gen->SetEnabled(false);
  ASSERT_TRUE(Pumped([&] { return Empties.load() == 1; }));
  ExpectContinuousTone(PlayedBytes());
  EXPECT_FALSE(Out->IsPump());
}

// A tone generator that hands its second buffer over 80 ms late, with its lock free meanwhile, the
// way a producer held up between generating and delivering does.
class TLateDeliveryGen : public TALSignalGen {
 public:
  using TALSignalGen::TALSignalGen;
  ~TLateDeliveryGen() override { ShutDown(); }
  std::atomic<int> Made{0};

 protected:
  void GenerateBuffer(TALAudioBuffer& ABuffer, bool& ASubmit, bool& AStop) override {
    TALSignalGen::GenerateBuffer(ABuffer, ASubmit, AStop);
    if (++Made == 2) {
      TOWLockSectionRef released = GetLock()->UnlockAll();
      std::this_thread::sleep_for(80ms);
    }
  }
};

TEST_F(ALDSAudioOutTest, APullThatOtherPullsOvertakeStillPlaysTheBuffersInTheOrderMade) {
  auto gen = MakeToneGenerator<TLateDeliveryGen>();
  Out = MakeOut("Speakers");
  Out->GetMasterPumping().SetEnabled(true);
  ASSERT_TRUE(Out->GetInputPin().Connect(&gen->GetOutputPin()));
  gen->SetEnabled(true);
  // The player thread pulls the prefill while the start pulls it too.
  ASSERT_TRUE(Eventually([&] { return DS.Renderer(0).Played.size() >= 40; }));
  gen->SetEnabled(false);
  ASSERT_TRUE(Pumped([&] { return Empties.load() == 1; }));
  ExpectContinuousTone(PlayedBytes());
}

}  // namespace
}  // namespace portwise::test

// The DirectShow input on the simulated DirectShow: the graph of capture filter and sample grabber,
// the stream it publishes (format, buffers at the capture's pace, stop), starting and stopping, the
// failures that make a start raise (Wine 8's capture filter without pins among them), format
// changes, graph events and destruction while capturing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dshow/ALDSAudioIn.h"
#include "tests/unit/FaultSupport.h"
#include "tests/unit/dshow/DSFaults.h"
#include "tests/unit/dshow/DSTestWorld.h"
#include "tests/unit/gen/GenTestSink.h"

namespace portwise::test {
namespace {

using portwise::testing::Eventually;
using portwise::testing::TTestSink;
using namespace std::chrono_literals;

constexpr std::uint32_t KFrames = 1024;

WAVEFORMATEX Pcm(DWORD rate, WORD bits, WORD channels) {
  WAVEFORMATEX w{};
  w.wFormatTag = 1;
  w.nChannels = channels;
  w.nSamplesPerSec = rate;
  w.wBitsPerSample = bits;
  w.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  w.nAvgBytesPerSec = rate * w.nBlockAlign;
  return w;
}

class ALDSAudioInTest : public TDSWorldTest {
 protected:
  ALDSAudioInTest() {
    Microphone = DS.AddAudioCapture("Microphone");
    LineIn = DS.AddAudioCapture("Line In");
  }

  // As the shell makes it: 16-bit stereo 44100 Hz, 1024-frame buffers, then the device by name.
  std::unique_ptr<TALDSAudioIn> MakeIn(const std::string& ADevice = "Microphone") {
    auto in = CreateComponent<TALDSAudioIn>(nullptr);
    in->SetName("DSAudioIn1");
    TALAudioFormat& format = in->GetAudioFormat();
    format.SetBits(16);
    format.SetBufferSize(KFrames);
    format.SetChannels(2);
    format.SetSampleRate(44100);
    in->GetAudioCaptureDevice().SetDeviceName(ADevice);
    return in;
  }
  void Make(const std::string& ADevice = "Microphone") {
    In = MakeIn(ADevice);
    ASSERT_TRUE(Sink.Pin.Connect(&In->GetOutputPin()));
  }
  // Expects the start to raise the text (with ACode when given).
  void ExpectStartRaises(const std::string& AText, std::optional<HRESULT> ACode = std::nullopt) {
    try {
      In->SetEnabled(true);
      ADD_FAILURE() << "no exception";
    } catch (const ESLException& e) {
      EXPECT_EQ(AText, e.ErrorText());
      if (ACode) {
        EXPECT_EQ(*ACode, e.ErrorCode());
      } else {
        EXPECT_LT(e.ErrorCode(), 0);  // a failure code of the platform
      }
    }
    EXPECT_FALSE(In->GetEnabled());
    EXPECT_FALSE(In->IsRunning());
  }

  std::size_t AliveGraphs() {
    std::size_t n = 0;
    for (std::size_t i = 0; i < DS.GraphCount(); ++i) n += DS.Graph(i).bAlive;
    return n;
  }

  int Microphone = -1, LineIn = -1;
  TTestSink Sink;
  std::unique_ptr<TALDSAudioIn> In;  // freed first
};

TEST_F(ALDSAudioInTest, CreatedByCodeItStartsDisabledAndOpensNothing) {
  Make();
  EXPECT_FALSE(In->GetEnabled());
  EXPECT_FALSE(In->GetOpened());
  EXPECT_EQ(0u, DS.GraphCount());
  const TALWaveFormatExtensible zero{};
  const TALWaveFormatExtensible running = In->GetRunningAudioFormat();
  EXPECT_EQ(0, std::memcmp(&zero, &running, sizeof zero));
}

TEST_F(ALDSAudioInTest, EnablingCapturesBuffersOfItsFormatAtTheCapturesPaceAndDisablingStopsCleanly) {
  Make();
  In->SetEnabled(true);
  EXPECT_TRUE(In->GetEnabled());
  EXPECT_TRUE(In->IsRunning());
  ASSERT_EQ(1u, DS.GraphCount());
  EXPECT_EQ((std::vector<std::string>{"Filter", "VLDS_AudioGrabber"}), DS.Graph(0).Filters);
  EXPECT_EQ(State_Running, DS.Graph(0).State);

  // The stream is announced with the format the graph agreed on, made extensible.
  ASSERT_EQ(1, Sink.Starts());
  const TALWaveFormatExtensible f = Sink.LastFormat();
  EXPECT_EQ(ALWaveFormatExtensibleTag, f.wFormatTag);
  EXPECT_EQ(2, f.nChannels);
  EXPECT_EQ(44100u, f.nSamplesPerSec);
  EXPECT_EQ(176400u, f.nAvgBytesPerSec);
  EXPECT_EQ(4, f.nBlockAlign);
  EXPECT_EQ(16, f.wBitsPerSample);
  EXPECT_EQ(ALWaveFormatExtensibleCbSize, f.cbSize);
  EXPECT_EQ(16, f.wValidBitsPerSample);
  EXPECT_EQ(3u, f.dwChannelMask);
  EXPECT_EQ(ALSubFormatPCM, f.SubFormat);
  const TALWaveFormatExtensible running = In->GetRunningAudioFormat();
  EXPECT_EQ(0, std::memcmp(&f, &running, sizeof f));

  const auto begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(Eventually([&] { return Sink.BufferCount() >= 10; }));
  // Ten buffers of 23.2 ms cannot come sooner than the capture delivers them.
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 180ms);
  In->SetEnabled(false);
  EXPECT_FALSE(In->GetEnabled());
  EXPECT_FALSE(In->IsRunning());
  EXPECT_EQ(State_Stopped, DS.Graph(0).State);
  const std::size_t count = Sink.BufferCount();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(count, Sink.BufferCount());  // nothing after the stop
  EXPECT_EQ('X', Sink.Events().back());
  EXPECT_EQ(1, Sink.Stops());

  // Whole buffers of the capture, in order: frame n holds n on both channels.
  const std::vector<PALAudioBuffer> buffers = Sink.Buffers();
  for (std::size_t k = 0; k < buffers.size(); ++k) {
    SCOPED_TRACE(k);
    ASSERT_EQ(KFrames, buffers[k]->GetSize());
    EXPECT_EQ(44100u, buffers[k]->GetSampleRate());
    EXPECT_EQ(2u, buffers[k]->GetChannels());
    EXPECT_EQ(3u, buffers[k]->GetChannelMask().Mask());
    for (std::uint32_t i = 0; i < KFrames; i += 97) {
      const auto expected = static_cast<std::int32_t>((k * KFrames + i) & 0x7FFF);
      EXPECT_EQ(expected, buffers[k]->GetSample(i, 0));
      EXPECT_EQ(expected, buffers[k]->GetSample(i, 1));
    }
    ASSERT_TRUE(buffers[k]->GetTimeStamp().GetAvailable());
    EXPECT_EQ(static_cast<std::int64_t>(k * KFrames * 10000000 / 44100), buffers[k]->GetTimeStamp().GetBegin());
  }
}

TEST_F(ALDSAudioInTest, StartWhileCapturingAndStopOrDisableWhileStoppedDoNothing) {
  Make();
  In->Stop();
  In->SetEnabled(false);
  EXPECT_EQ("", Sink.Events());
  In->Start();
  ASSERT_TRUE(Eventually([&] { return Sink.BufferCount() >= 2; }));
  In->Start();
  In->SetEnabled(true);
  EXPECT_EQ(1, Sink.Starts());
  EXPECT_EQ(1u, DS.GraphCount());
  In->Stop();
  EXPECT_EQ(1, Sink.Stops());
  // Started again: the same graph, the stream announced anew.
  In->Start();
  EXPECT_EQ(2, Sink.Starts());
  EXPECT_EQ(1u, DS.GraphCount());
}

TEST_F(ALDSAudioInTest, TheShellsSequenceOfCreateSelectTestAndRelease) {
  // DSAudioIn_Create starts the default device at once.
  In = MakeIn("Default");
  In->SetEnabled(true);
  EXPECT_TRUE(In->IsRunning());
  EXPECT_EQ("Microphone", In->GetAudioCaptureDevice().GetOpenedDeviceName());
  // Choosing a device stops and closes.
  In->GetAudioCaptureDevice().SetDeviceName("Line In");
  EXPECT_FALSE(In->IsRunning());
  EXPECT_FALSE(In->GetOpened());
  In->SetEnabled(true);
  In->Start();
  EXPECT_TRUE(In->IsRunning());
  EXPECT_EQ("Line In", In->GetAudioCaptureDevice().GetOpenedDeviceName());
  In->SetEnabled(false);
  In.reset();
  EXPECT_EQ(0u, DS.LiveObjects());
}

TEST_F(ALDSAudioInTest, WithoutADeviceTheStartRaisesCantFindWithCodeZero) {
  Make("None");
  ExpectStartRaises("Can't find audio capture device.", 0);
  try {
    In->SetEnabled(true);
  } catch (const ESLException& e) {
    EXPECT_STREQ("Can't find audio capture device. - 0 - 0", e.what());
  }
  EXPECT_EQ("", Sink.Events());
}

TEST_F(ALDSAudioInTest, ACaptureFilterWithoutPinsAsWines8MakesTheStartFailCleanly) {
  platform::sim::TSimDevice mic = DS.Device(Microphone);
  mic.bPinless = true;
  DS.SetDevice(Microphone, mic);
  Make();
  ExpectStartRaises("Can't set audio sample grabber format.");
  EXPECT_EQ("", Sink.Events());  // nothing announced
  EXPECT_FALSE(In->GetOpened());
  // Asked again, it fails again the same way, and leaves nothing behind when freed.
  ExpectStartRaises("Can't set audio sample grabber format.");
  In.reset();
  EXPECT_EQ(0u, DS.LiveObjects());
}

TEST_F(ALDSAudioInTest, AFormatTheDeviceRefusesMakesTheStartFail) {
  DS.SetCaptureFormats({Pcm(22050, 16, 1)});
  Make();
  ExpectStartRaises("Can't set desired audio format.");
  EXPECT_EQ("", Sink.Events());
  // With a format it offers, the same component captures.
  In->GetAudioFormat().SetChannels(1);
  In->GetAudioFormat().SetSampleRate(22050);
  In->SetEnabled(true);
  EXPECT_TRUE(In->IsRunning());
  EXPECT_EQ(22050u, Sink.LastFormat().nSamplesPerSec);
  EXPECT_EQ(1u, Sink.LastFormat().dwChannelMask);
}

// Every step of building, running and stopping the capture graph failing with each code, the
// error handled or not: the exact text and code, a stream announced before the failure ended
// again, nothing of the graph left, and the same input captures once the step works again. Freed,
// it leaves no object, thread or storage block.
TEST_F(ALDSAudioInTest, EveryFailingGraphStepIsReportedWithItsCodeAndLeavesNothingBehind) {
  const TDSFailure steps[] = {
      {"graph manager", EDSFault::Create, "", CLSID_FilterGraph, 0, 0, "Can't build DirectShow graph."},
      {"graph manager left set", EDSFault::CreateLeaving, "", CLSID_FilterGraph, 0, 0, "Can't build DirectShow graph."},
      {"graph builder", EDSFault::Create, "", CLSID_CaptureGraphBuilder2, 0, 0, "Can't build DirectShow graph builder."},
      {"builder's graph", EDSFault::Point, "Builder.SetFiltergraph", {}, 0, 0, "Can't build DirectShow graph builder."},
      {"device binding", EDSFault::Bind, "", {}, 0, 0, "Can't create audio capture filter."},
      {"capture added", EDSFault::Point, "Graph.AddFilter", {}, 0, 0, "Can't add audio capture filter."},
      {"grabber", EDSFault::Create, "", CLSID_SampleGrabber, 0, 0, "Can't set audio sample grabber."},
      {"grabber left set", EDSFault::CreateLeaving, "", CLSID_SampleGrabber, 0, 0, "Can't set audio sample grabber."},
      {"grabber added", EDSFault::Point, "Graph.AddFilter", {}, 1, 0, "Can't set audio sample grabber."},
      {"render stream", EDSFault::Point, "Builder.RenderStream", {}, 0, 0, "Can't set audio sample grabber."},
      {"grabber's connection", EDSFault::Point, "Pin.ReceiveConnection", {}, 0, VFW_E_CANNOT_CONNECT,
       "Can't set audio sample grabber."},
      {"control", EDSFault::Point, "Graph.QueryInterface.IMediaControl", {}, 0, 0, "Can't obtain IMediaControl."},
      {"run", EDSFault::Point, "Graph.Run", {}, 0, 0, "Can't start capture."},
      {"stop", EDSFault::Point, "Graph.Stop", {}, 0, 0, "Can't stop capture."},
  };
  testsupport::TWatchdog watchdog("failing DirectShow input steps", std::chrono::seconds(300));
  const int threads = testsupport::ProcessThreadCount();
  const long long blocks = testsupport::PoolBlocksInUse();
  std::size_t left = 0, leftGraphs = 0;  // objects of classes that misbehave: their own business
  for (const bool bHandled : {false, true}) {
    for (const TDSFailure& f : steps) {
      for (const HRESULT code : KDSFailureCodes) {
        const std::string name = std::string(f.Name) + " " + CodeText(code) + (bHandled ? " handled" : "");
        SCOPED_TRACE(name);
        const bool bAtStop = std::string(f.Point) == "Graph.Stop";
        auto owned = std::make_unique<TTestSink>();
        TTestSink& sink = *owned;
        In = MakeIn();
        ASSERT_TRUE(sink.Pin.Connect(&In->GetOutputPin()));
        std::vector<std::pair<std::string, std::int32_t>> errors;
        In->GetGraph().SetOnError([&](TObject*, const std::string& AText, std::int32_t ACode, bool& AHandled) {
          errors.emplace_back(AText, ACode);
          AHandled = bHandled;
        });
        if (bAtStop) In->SetEnabled(true);
        ArmFailure(Sim, DS, Microphone, f, code);
        if (f.Kind == EDSFault::CreateLeaving) ++left;
        if (f.Kind == EDSFault::CreateLeaving && f.Class == CLSID_FilterGraph) ++leftGraphs;
        std::string raised = "<none>";
        try {
          In->SetEnabled(!bAtStop);
        } catch (const ESLException& e) {
          raised = e.what();
        }
        const HRESULT reported = f.Reported ? f.Reported : code;
        ASSERT_EQ(1u, errors.size());
        EXPECT_EQ(f.Text, errors[0].first);
        EXPECT_EQ(reported, errors[0].second);
        EXPECT_EQ(raised, bHandled ? "<none>" : ESLException(f.Text, reported).what());
        DisarmFailure(Sim, DS, Microphone, f);
        if (bAtStop) {
          // Still capturing: the next stop goes through.
          EXPECT_TRUE(In->IsRunning());
          In->SetEnabled(false);
          EXPECT_EQ("S", sink.Events().substr(0, 1));
        } else {
          EXPECT_FALSE(In->GetEnabled());
          EXPECT_FALSE(In->IsRunning());
          // A stream announced before the failing run is ended again.
          EXPECT_TRUE(sink.Events() == "" || sink.Events() == "SX") << sink.Events();
          if (!In->GetOpened()) {
            EXPECT_EQ(leftGraphs, AliveGraphs());
          }
        }
        EXPECT_FALSE(In->IsRunning());
        EXPECT_EQ('X', sink.Events().empty() ? 'X' : sink.Events().back());

        // The same input captures once the step works.
        const std::size_t before = sink.BufferCount();
        EXPECT_NO_THROW(In->SetEnabled(true));
        EXPECT_TRUE(In->IsRunning());
        EXPECT_TRUE(Eventually([&] { return sink.BufferCount() >= before + 2; }));
        In.reset();
        owned.reset();
        EXPECT_EQ(left, DS.LiveObjects());
        EXPECT_TRUE(Eventually([&] { return testsupport::PoolBlocksInUse() == blocks; }));
        EXPECT_TRUE(testsupport::ThreadsBackTo(threads));
        DS.ForgetHistory();
      }
    }
  }
}

TEST_F(ALDSAudioInTest, AFormatChangeWhileStoppedClosesTheGraphAndWhileCapturingLeavesItRunning) {
  Make();
  In->SetEnabled(true);
  In->GetAudioFormat().SetSampleRate(22050);
  EXPECT_TRUE(In->IsRunning());
  EXPECT_TRUE(DS.Graph(0).bAlive);
  EXPECT_EQ(44100u, In->GetRunningAudioFormat().nSamplesPerSec);
  In->SetEnabled(false);
  EXPECT_TRUE(In->GetOpened());
  In->GetAudioFormat().SetSampleRate(11025);
  EXPECT_FALSE(In->GetOpened());
  EXPECT_FALSE(DS.Graph(0).bAlive);
  In->SetEnabled(true);
  EXPECT_EQ(11025u, Sink.LastFormat().nSamplesPerSec);
}

TEST_F(ALDSAudioInTest, TheCapturePinsCapabilitiesAreRead) {
  DS.SetCaptureFormats({Pcm(44100, 16, 2), Pcm(22050, 8, 1)});
  Make();
  In->Open();
  ASSERT_EQ(2, In->GetAudioModes().GetCount());
  const TALWaveFormatExtensible& first = In->GetAudioModes().GetItem(0).GetFormat();
  EXPECT_EQ(1, first.wFormatTag);  // widened from a plain record
  EXPECT_EQ(44100u, first.nSamplesPerSec);
  EXPECT_EQ(16, first.wValidBitsPerSample);
  EXPECT_EQ(3u, first.dwChannelMask);
  EXPECT_EQ(1u, In->GetAudioModes().GetItem(1).GetFormat().dwChannelMask);
  EXPECT_EQ(22050, In->GetAudioModes().GetItem(0).FMinSamplesPerSec);
  EXPECT_EQ(44100, In->GetAudioModes().GetItem(0).FMaxSamplesPerSec);
  In->Close();
  EXPECT_EQ(0, In->GetAudioModes().GetCount());
}

TEST_F(ALDSAudioInTest, ADownstreamStopEndsTheCapture) {
  Make();
  In->SetEnabled(true);
  Sink.Send(new TOWStopOperation());
  EXPECT_FALSE(In->IsRunning());
  EXPECT_EQ(State_Stopped, DS.Graph(0).State);
  EXPECT_EQ(1, Sink.Stops());
}

class ALDSAudioInEventTest : public ALDSAudioInTest, public ::testing::WithParamInterface<LONG> {};

// The graph stops; the stream ends with the disabling, nothing follows its end, and the same
// input captures again.
TEST_P(ALDSAudioInEventTest, AnEventThatEndsCaptureStopsTheGraphAndDisablingThenEndsTheStream) {
  testsupport::TWatchdog watchdog("capture event");
  const int threads = testsupport::ProcessThreadCount();
  Make();
  In->SetEnabled(true);
  ASSERT_TRUE(Eventually([&] { return Sink.BufferCount() >= 2; }));
  DS.PostGraphEvent(0, GetParam(), GetParam() == EC_ERRORABORT ? static_cast<LONG_PTR>(0x80004005) : 0, 0);
  ASSERT_TRUE(Eventually([&] {
    Sim.ProcessMessages();
    return DS.Graph(0).State == State_Stopped;
  }));
  ASSERT_EQ(1u, DS.Graph(0).Freed.size());
  EXPECT_EQ(GetParam(), DS.Graph(0).Freed[0].Code);
  EXPECT_EQ(0, DS.Graph(0).DoubleFrees);
  EXPECT_EQ(0, Sink.Stops());
  In->SetEnabled(false);
  EXPECT_EQ(1, Sink.Stops());
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ('X', Sink.Events().back());  // nothing after the end of the stream
  const std::size_t count = Sink.BufferCount();
  In->SetEnabled(true);
  EXPECT_TRUE(Eventually([&] { return Sink.BufferCount() >= count + 2; }));
  In.reset();
  EXPECT_EQ(0u, DS.LiveObjects());
  EXPECT_TRUE(testsupport::ThreadsBackTo(threads));
}

INSTANTIATE_TEST_SUITE_P(Events, ALDSAudioInEventTest, ::testing::Values(EC_DEVICE_LOST, EC_ERRORABORT),
                         [](const ::testing::TestParamInfo<LONG>& p) {
                           return p.param == EC_DEVICE_LOST ? "DeviceLost" : "ErrorAbort";
                         });

TEST_F(ALDSAudioInTest, WithNoCaptureDeviceAtAllTheListIsEmptyAndTheDefaultCannotBeFound) {
  DS.RemoveDevice(Microphone);
  DS.RemoveDevice(LineIn);
  Make("Default");
  std::vector<std::string> names;
  In->GetAudioCaptureDevice().GetDeviceList(&names);
  EXPECT_TRUE(names.empty());
  ExpectStartRaises("Can't find audio capture device.", 0);
  EXPECT_EQ("", Sink.Events());
  In.reset();
  EXPECT_EQ(0u, DS.LiveObjects());
}

TEST_F(ALDSAudioInTest, FreeingWhileCapturingEndsTheStreamAndReleasesEverything) {
  Make();
  In->SetEnabled(true);
  ASSERT_TRUE(Eventually([&] { return Sink.BufferCount() >= 3; }));
  In.reset();
  EXPECT_EQ('X', Sink.Events().back());
  const std::size_t count = Sink.BufferCount();
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(count, Sink.BufferCount());
  EXPECT_EQ(0u, DS.LiveObjects());
}

TEST(DSBufferQueueTest, BlocksComeOutInOrderWithTheirTimesAndBytes) {
  TMLDSBufferQueue queue;
  EXPECT_FALSE(queue.HasData());
  const std::uint8_t a[3] = {1, 2, 3}, b[2] = {4, 5};
  queue.Add(10, 20, a, 3);
  queue.AddMulti(20, 30, {{a, 3}, {b, 2}});
  EXPECT_TRUE(queue.HasData());
  TVLDSBufferQueueNodeHeader* first = queue.Get();
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(10, first->TimeStart);
  EXPECT_EQ(20, first->TimeEnd);
  EXPECT_EQ(std::vector<std::uint8_t>({1, 2, 3}), std::vector<std::uint8_t>(first->Data(), first->Data() + first->BufferSize));
  TMLDSBufferQueue::DestroyBlock(first);
  TVLDSBufferQueueNodeHeader* second = queue.Get();
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(std::vector<std::uint8_t>({1, 2, 3, 4, 5}),
            std::vector<std::uint8_t>(second->Data(), second->Data() + second->BufferSize));
  TMLDSBufferQueue::DestroyBlock(second);
  EXPECT_EQ(nullptr, queue.Get());
  queue.Add(0, 0, a, 3);
  queue.Clear();
  EXPECT_FALSE(queue.HasData());
}

}  // namespace
}  // namespace portwise::test

// The push source filter on the simulated DirectShow: the media type it offers, the connection
// contract and its codes, the allocator it asks for, the filter states, and delivery: samples cut,
// stamped and handed to the renderer, and never a wait that outlives a stop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "core/ALAudioFormat.h"
#include "dshow/DSAudioSourceFilter.h"
#include "dshow/DSDevices.h"
#include "tests/unit/dshow/DSTestWorld.h"

namespace portwise::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 10s;

TALWaveFormatExtensible Extensible(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits, std::uint32_t mask) {
  TALWaveFormatExtensible f{};
  f.wFormatTag = ALWaveFormatExtensibleTag;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = bits;
  f.nBlockAlign = static_cast<std::uint16_t>(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  f.cbSize = ALWaveFormatExtensibleCbSize;
  f.wValidBitsPerSample = bits;
  f.dwChannelMask = mask;
  f.SubFormat = ALSubFormatPCM;
  return f;
}

const TALWaveFormatExtensible KStereo44k = Extensible(2, 44100, 16, 3);

class DSAudioSourceFilterTest : public TDSWorldTest {
 protected:
  DSAudioSourceFilterTest() {
    DS.AddAudioRenderer("Speakers");
    Filter = new TDSAudioSourceFilter();
    Held = TRefPtr<IBaseFilter>(Filter);
  }
  ~DSAudioSourceFilterTest() override {
    if (Control) Control->Stop();
  }

  TDSAudioSourceStreamPin* Pin() { return Filter->GetSourcePin(); }
  IPin* AsPin() { return Pin(); }

  // A graph with the filter and a renderer of the world, connected as the output connects them.
  HRESULT Build(const TALWaveFormatExtensible& format = KStereo44k, std::uint32_t frameDelay = 23) {
    Filter->SetFormat(format, false, frameDelay);
    void* p = nullptr;
    Sim.Com().CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, &p);
    Graph = TRefPtr<IGraphBuilder>::Adopt(static_cast<IGraphBuilder*>(p));
    Sim.Com().CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER, IID_ICaptureGraphBuilder2,
                               &p);
    Builder = TRefPtr<ICaptureGraphBuilder2>::Adopt(static_cast<ICaptureGraphBuilder2*>(p));
    Builder->SetFiltergraph(Graph.Get());
    const platform::TOleString source = platform::ToOle("AudioSource"), render = platform::ToOle("Audio Render");
    EXPECT_EQ(S_OK, Graph->AddFilter(Held.Get(), source.c_str()));
    TVLDSCapDeviceList list;
    list.EnumFilters(CLSID_AudioRendererCategory);
    list.Items(0).Moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, &p);
    Renderer = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(p));
    EXPECT_EQ(S_OK, Graph->AddFilter(Renderer.Get(), render.c_str()));
    Control = DSQuery<IMediaControl>(Graph.Get(), IID_IMediaControl);
    return Builder->RenderStream(nullptr, &MEDIATYPE_Audio, Held.Get(), nullptr, Renderer.Get());
  }
  TRefPtr<IPin> RendererPin() {
    TRefPtr<IEnumPins> e;
    Renderer->EnumPins(e.Receive());
    IPin* p = nullptr;
    e->Next(1, &p, nullptr);
    return TRefPtr<IPin>::Adopt(p);
  }
  std::vector<std::uint8_t> Block(const AM_MEDIA_TYPE& mt) {
    return std::vector<std::uint8_t>(mt.pbFormat, mt.pbFormat + mt.cbFormat);
  }
  static std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
    return v;
  }
  // Waits (bounded) until the renderer has played n samples.
  bool Played(std::size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (DS.Renderer(0).Played.size() < n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(2ms);
    }
    return true;
  }

  TDSAudioSourceFilter* Filter;
  TRefPtr<IBaseFilter> Held;
  TRefPtr<IGraphBuilder> Graph;
  TRefPtr<ICaptureGraphBuilder2> Builder;
  TRefPtr<IBaseFilter> Renderer;
  TRefPtr<IMediaControl> Control;
};

// ------------------------------------------------------------------ media type

TEST_F(DSAudioSourceFilterTest, StandardFormatsAreOfferedAsPlainPcmAndOthersWithTheWholeRecord) {
  struct TCase {
    const char* What;
    TALWaveFormatExtensible Format;
    std::size_t Bytes;
  };
  const std::vector<TCase> cases = {
      {"stereo 16-bit", KStereo44k, 18},
      {"mono 8-bit", Extensible(1, 22050, 8, 1), 18},
      {"six channels", Extensible(6, 48000, 16, 0x3F), 40},
      {"stereo 24-bit", Extensible(2, 96000, 24, 3), 40},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    Filter->SetFormat(c.Format, false, 23);
    TRefPtr<IEnumMediaTypes> types;
    ASSERT_EQ(S_OK, AsPin()->EnumMediaTypes(types.Receive()));
    AM_MEDIA_TYPE* mt = nullptr;
    ULONG got = 0;
    ASSERT_EQ(S_OK, types->Next(1, &mt, &got));
    DSDeleteMediaType(mt);
    EXPECT_EQ(S_FALSE, types->Next(1, &mt, &got));  // one type only
    EXPECT_EQ(0u, got);
    types->Reset();
    ASSERT_EQ(S_OK, types->Next(1, &mt, &got));
    EXPECT_EQ(MEDIATYPE_Audio, mt->majortype);
    EXPECT_EQ(MEDIASUBTYPE_PCM, mt->subtype);
    EXPECT_EQ(FORMAT_WaveFormatEx, mt->formattype);
    EXPECT_TRUE(mt->bFixedSizeSamples);
    EXPECT_FALSE(mt->bTemporalCompression);
    EXPECT_EQ(1u, mt->lSampleSize);
    EXPECT_FALSE(mt->pUnk);
    ASSERT_EQ(c.Bytes, mt->cbFormat);
    std::vector<std::uint8_t> expected(reinterpret_cast<const std::uint8_t*>(&c.Format),
                                       reinterpret_cast<const std::uint8_t*>(&c.Format) + c.Bytes);
    if (c.Bytes == 18) {
      expected[0] = 1, expected[1] = 0;    // WAVE_FORMAT_PCM
      expected[16] = 0, expected[17] = 0;  // no extra bytes
    }
    EXPECT_EQ(expected, Block(*mt));
    DSDeleteMediaType(mt);
  }
  EXPECT_EQ(0u, Sim.SimCom().OutstandingTaskMem());
}

TEST_F(DSAudioSourceFilterTest, OnlyPositionZeroHasAType) {
  Filter->SetFormat(KStereo44k, false, 23);
  AM_MEDIA_TYPE mt{};
  EXPECT_EQ(VFW_S_NO_MORE_ITEMS, Pin()->GetMediaType(1, &mt));
  EXPECT_EQ(E_INVALIDARG, Pin()->GetMediaType(-1, &mt));
  EXPECT_EQ(nullptr, mt.pbFormat);
}

TEST_F(DSAudioSourceFilterTest, ABasicFormatIsPlainPcmWithTheBlockAlignAsSampleSize) {
  Filter->SetFormat(Extensible(6, 48000, 16, 0x3F), true, 21);
  TDSMediaType mt;
  ASSERT_EQ(S_OK, Pin()->GetMediaType(0, &mt.Get()));
  EXPECT_EQ(MEDIASUBTYPE_PCM, mt.Get().subtype);
  EXPECT_EQ(12u, mt.Get().lSampleSize);
  ASSERT_EQ(18u, mt.Get().cbFormat);
  const WAVEFORMATEX w = platform::ReadWaveFormatEx(mt.Get().pbFormat);
  EXPECT_EQ(1, w.wFormatTag);
  EXPECT_EQ(6, w.nChannels);
  EXPECT_EQ(0, w.cbSize);
}

TEST_F(DSAudioSourceFilterTest, OnlyPcmAudioWithAFormatBlockIsAccepted) {
  BYTE block[18] = {};
  auto type = [&](const GUID& major, const GUID& sub, bool withBlock) {
    AM_MEDIA_TYPE mt{};
    mt.majortype = major;
    mt.subtype = sub;
    mt.formattype = FORMAT_WaveFormatEx;
    mt.pbFormat = withBlock ? block : nullptr;
    mt.cbFormat = withBlock ? sizeof block : 0;
    return mt;
  };
  const GUID floatSubtype = {3, 0, 0x10, {0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}};
  EXPECT_EQ(E_POINTER, Pin()->CheckMediaType(nullptr));
  AM_MEDIA_TYPE ok = type(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, true);
  EXPECT_EQ(S_OK, Pin()->CheckMediaType(&ok));
  AM_MEDIA_TYPE video = type(MEDIATYPE_Video, MEDIASUBTYPE_PCM, true);
  EXPECT_EQ(E_INVALIDARG, Pin()->CheckMediaType(&video));
  AM_MEDIA_TYPE floats = type(MEDIATYPE_Audio, floatSubtype, true);
  EXPECT_EQ(E_INVALIDARG, Pin()->CheckMediaType(&floats));
  AM_MEDIA_TYPE empty = type(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, false);
  EXPECT_EQ(E_INVALIDARG, Pin()->CheckMediaType(&empty));
  EXPECT_EQ(S_OK, AsPin()->QueryAccept(&ok));
  EXPECT_EQ(S_FALSE, AsPin()->QueryAccept(&video));
}

// ------------------------------------------------------------------ connection

TEST_F(DSAudioSourceFilterTest, TheAllocatorHoldsOneSampleOfAboutOneBufferOf1024Frames) {
  struct TCase {
    TALWaveFormatExtensible Format;
    std::uint32_t FrameDelay;
    LONG Bytes;
  };
  const std::vector<TCase> cases = {
      {KStereo44k, 23, 4412},                          // (44100 * 25 / 1000 + 1) * 4
      {Extensible(2, 11025, 16, 3), 92, 4148},          // the output's open without a stream
      {Extensible(6, 48000, 16, 0x3F), 21, 13260},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Bytes);
    Filter = new TDSAudioSourceFilter();
    Held = TRefPtr<IBaseFilter>(Filter);
    ASSERT_EQ(S_OK, Build(c.Format, c.FrameDelay));
    ALLOCATOR_PROPERTIES props{};
    ASSERT_TRUE(Pin()->GetAllocator());
    ASSERT_EQ(S_OK, Pin()->GetAllocator()->GetProperties(&props));
    EXPECT_EQ(1, props.cBuffers);
    EXPECT_EQ(c.Bytes, props.cbBuffer);
    AM_MEDIA_TYPE mt{};
    ASSERT_EQ(S_OK, AsPin()->ConnectionMediaType(&mt));
    EXPECT_EQ(c.Format.nChannels > 2 ? 40u : 18u, mt.cbFormat);
    DSFreeMediaType(mt);
    TRefPtr<IPin> peer;
    ASSERT_EQ(S_OK, AsPin()->ConnectedTo(peer.Receive()));
    EXPECT_EQ(RendererPin(), peer);
    Graph.Reset();
    Builder.Reset();
    Control.Reset();
  }
}

TEST_F(DSAudioSourceFilterTest, AnAllocatorThatGrantsLessThanAskedFailsTheConnection) {
  DS.SetAllocatorLimit(4000);
  EXPECT_TRUE(FAILED(Build()));
  EXPECT_FALSE(Pin()->IsConnected());
  TRefPtr<IPin> peer;
  EXPECT_EQ(VFW_E_NOT_CONNECTED, RendererPin()->ConnectedTo(peer.Receive()));
  TDSMediaType mt;
  Pin()->GetMediaType(0, &mt.Get());
  EXPECT_EQ(E_FAIL, AsPin()->Connect(RendererPin().Get(), &mt.Get()));
  void* p = nullptr;
  Sim.Com().CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator, &p);
  auto limited = TRefPtr<IMemAllocator>::Adopt(static_cast<IMemAllocator*>(p));
  ASSERT_EQ(S_OK, Pin()->SetMediaType(&mt.Get()));
  ALLOCATOR_PROPERTIES request{0, 0, 1, 0};
  EXPECT_EQ(E_FAIL, Pin()->DecideBufferSize(limited.Get(), &request));
  EXPECT_EQ(4412, request.cbBuffer);
}

TEST_F(DSAudioSourceFilterTest, WithoutTheRenderersAllocatorTheFilterBringsAMemoryAllocator) {
  DS.SetRendererAllocator(false);  // as Wine's DirectSound renderer
  ASSERT_EQ(S_OK, Build());
  std::size_t allocators = 0;
  for (const CLSID& c : Sim.SimCom().CreateCalls()) allocators += c == CLSID_MemoryAllocator;
  EXPECT_EQ(1u, allocators);
  ASSERT_EQ(S_OK, Control->Run());
  std::vector<std::uint8_t> data = Bytes(4096, 1);
  EXPECT_TRUE(Filter->SendData(data.data(), 4096, 0, 232199, true));
  ASSERT_TRUE(Played(1));
}

TEST_F(DSAudioSourceFilterTest, ConnectingFollowsThePinContractCodes) {
  ASSERT_EQ(S_OK, Build());
  EXPECT_EQ(VFW_E_ALREADY_CONNECTED, AsPin()->Connect(RendererPin().Get(), nullptr));
  ASSERT_EQ(S_OK, Graph->Disconnect(RendererPin().Get()));
  ASSERT_EQ(S_OK, Graph->Disconnect(AsPin()));
  EXPECT_EQ(S_FALSE, AsPin()->Disconnect());
  // Another source's output pin is no partner.
  DS.AddAudioCapture("Line in");
  TVLDSCapDeviceList list;
  list.EnumFilters(CLSID_AudioInputDeviceCategory);
  void* p = nullptr;
  list.Items(0).Moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, &p);
  auto capture = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(p));
  TRefPtr<IEnumPins> e;
  capture->EnumPins(e.Receive());
  IPin* out = nullptr;
  e->Next(1, &out, nullptr);
  auto captureOut = TRefPtr<IPin>::Adopt(out);
  EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, AsPin()->Connect(captureOut.Get(), nullptr));
  TDSMediaType mt;
  Pin()->GetMediaType(0, &mt.Get());
  EXPECT_EQ(VFW_E_INVALID_DIRECTION, AsPin()->Connect(captureOut.Get(), &mt.Get()));
  EXPECT_EQ(VFW_E_INVALID_DIRECTION, AsPin()->ReceiveConnection(captureOut.Get(), &mt.Get()));
  // A sample grabber that wants video turns the audio type down.
  Sim.Com().CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, &p);
  auto grabber = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(p));
  auto sg = DSQuery<ISampleGrabber>(grabber.Get(), IID_ISampleGrabber);
  AM_MEDIA_TYPE video{};
  video.majortype = MEDIATYPE_Video;
  sg->SetMediaType(&video);
  TRefPtr<IPin> grabberIn;
  const platform::TOleString input = platform::ToOle("Input");
  grabber->FindPin(input.c_str(), grabberIn.Receive());
  EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, AsPin()->Connect(grabberIn.Get(), nullptr));
  EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, AsPin()->Connect(grabberIn.Get(), &mt.Get()));
  // Only a stopped filter connects.
  ASSERT_EQ(S_OK, Filter->Pause());
  EXPECT_EQ(VFW_E_NOT_STOPPED, AsPin()->Connect(RendererPin().Get(), nullptr));
  ASSERT_EQ(S_OK, Filter->Stop());
  EXPECT_EQ(S_OK, AsPin()->Connect(RendererPin().Get(), nullptr));
}

TEST_F(DSAudioSourceFilterTest, TheFilterAndItsPinAnswerWhoTheyAre) {
  ASSERT_EQ(S_OK, Build());
  CLSID clsid{};
  EXPECT_EQ(S_OK, Filter->GetClassID(&clsid));
  EXPECT_EQ(CLSID_DSAudioSourceFilter, clsid);
  FILTER_INFO info{};
  ASSERT_EQ(S_OK, Filter->QueryFilterInfo(&info));
  EXPECT_EQ("AudioSource", DSNameField(info.achName, MAX_FILTER_NAME));
  EXPECT_TRUE(info.pGraph);
  if (info.pGraph) info.pGraph->Release();
  LPWSTR vendor = nullptr;
  EXPECT_EQ(E_NOTIMPL, Filter->QueryVendorInfo(&vendor));
  const platform::TOleString name = platform::ToOle("AudioOutput"), other = platform::ToOle("Other");
  TRefPtr<IPin> found;
  EXPECT_EQ(S_OK, Filter->FindPin(name.c_str(), found.Receive()));
  EXPECT_EQ(AsPin(), found.Get());
  EXPECT_EQ(VFW_E_NOT_FOUND, Filter->FindPin(other.c_str(), found.Receive()));
  LPWSTR id = nullptr;
  ASSERT_EQ(S_OK, AsPin()->QueryId(&id));
  EXPECT_EQ("AudioOutput", DSTakeOleString(id));
  PIN_INFO pin{};
  ASSERT_EQ(S_OK, AsPin()->QueryPinInfo(&pin));
  EXPECT_EQ(PINDIR_OUTPUT, pin.dir);
  EXPECT_EQ(static_cast<IBaseFilter*>(Filter), pin.pFilter);
  pin.pFilter->Release();
  EXPECT_EQ(E_UNEXPECTED, AsPin()->EndOfStream());
  EXPECT_EQ(E_UNEXPECTED, AsPin()->BeginFlush());
  EXPECT_EQ(E_UNEXPECTED, AsPin()->EndFlush());
  TRefPtr<IEnumPins> pins;
  ASSERT_EQ(S_OK, Filter->EnumPins(pins.Receive()));
  IPin* p[2] = {};
  ULONG n = 0;
  EXPECT_EQ(S_FALSE, pins->Next(2, p, &n));
  ASSERT_EQ(1u, n);
  EXPECT_EQ(AsPin(), p[0]);
  p[0]->Release();
}

// ------------------------------------------------------------------ states and delivery

TEST_F(DSAudioSourceFilterTest, PausingCommitsTheAllocatorAndStoppingDecommitsIt) {
  ASSERT_EQ(S_OK, Build());
  TRefPtr<IMemAllocator> a = Pin()->GetAllocator();
  TRefPtr<IMediaSample> s;
  EXPECT_EQ(VFW_E_NOT_COMMITTED, a->GetBuffer(s.Receive(), nullptr, nullptr, AM_GBF_NOWAIT));
  ASSERT_EQ(S_OK, Control->Pause());
  FILTER_STATE state;
  Filter->GetState(0, &state);
  EXPECT_EQ(State_Paused, state);
  EXPECT_EQ(S_OK, a->GetBuffer(s.Receive(), nullptr, nullptr, AM_GBF_NOWAIT));
  s.Reset();
  ASSERT_EQ(S_OK, Control->Run());
  Filter->GetState(0, &state);
  EXPECT_EQ(State_Running, state);
  ASSERT_EQ(S_OK, Control->Stop());
  EXPECT_TRUE(Filter->IsStopped());
  EXPECT_EQ(VFW_E_NOT_COMMITTED, a->GetBuffer(s.Receive(), nullptr, nullptr, AM_GBF_NOWAIT));
}

TEST_F(DSAudioSourceFilterTest, SendDataStampsASampleWithItsTimesOrLeavesItUntimed) {
  std::vector<std::uint8_t> data = Bytes(4096, 3);
  EXPECT_FALSE(Filter->SendData(data.data(), 4096, 0, 232199, true));  // not connected
  ASSERT_EQ(S_OK, Build());
  ASSERT_EQ(S_OK, Control->Run());
  ASSERT_TRUE(Filter->SendData(data.data(), 4096, 0, 232199, true));
  ASSERT_TRUE(Filter->SendData(data.data(), 4096, 0, 0, true));
  ASSERT_TRUE(Played(2));
  auto played = DS.Renderer(0).Played;
  EXPECT_EQ(data, played[0].Data);
  EXPECT_TRUE(played[0].bHasTime);
  EXPECT_EQ(0, played[0].Start);
  EXPECT_EQ(232199, played[0].End);
  EXPECT_TRUE(played[0].bSyncPoint);
  EXPECT_FALSE(played[1].bHasTime);
  EXPECT_FALSE(played[1].bSyncPoint);
}

TEST_F(DSAudioSourceFilterTest, MoreBytesThanOneSampleGoInOrderWithTheirShareOfTheInterval) {
  ASSERT_EQ(S_OK, Build());
  ASSERT_EQ(S_OK, Control->Run());
  const std::uint32_t size = 3 * 4412 + 100;
  std::vector<std::uint8_t> data = Bytes(size, 5);
  const REFERENCE_TIME start = 1000000, end = 1000000 + 756009;
  ASSERT_TRUE(Filter->SendData(data.data(), size, start, end, false));
  ASSERT_TRUE(Played(4));
  auto played = DS.Renderer(0).Played;
  ASSERT_EQ(4u, played.size());
  std::vector<std::uint8_t> joined;
  std::uint64_t delivered = 0;
  REFERENCE_TIME t = start;
  for (auto& s : played) {
    EXPECT_LE(s.Data.size(), 4412u);
    joined.insert(joined.end(), s.Data.begin(), s.Data.end());
    delivered += s.Data.size();
    EXPECT_EQ(t, s.Start);
    EXPECT_EQ(start + (end - start) * static_cast<REFERENCE_TIME>(delivered) / size, s.End);
    EXPECT_FALSE(s.bSyncPoint);
    t = s.End;
  }
  EXPECT_EQ(data, joined);
  EXPECT_EQ(end, played.back().End);
}

// The renderer holds the single sample while paused: the next delivery waits for it, and the
// graph's stop ends that wait.
TEST_F(DSAudioSourceFilterTest, StoppingTheGraphReleasesADeliveryThatWaitsForASample) {
  ASSERT_EQ(S_OK, Build());
  ASSERT_EQ(S_OK, Control->Pause());
  std::vector<std::uint8_t> data = Bytes(4096, 9);
  ASSERT_TRUE(Filter->SendData(data.data(), 4096, 0, 232199, true));  // the preroll
  auto waiting = std::async(std::launch::async, [&] { return Filter->SendData(data.data(), 4096, 232199, 464398, true); });
  EXPECT_EQ(std::future_status::timeout, waiting.wait_for(100ms));
  ASSERT_EQ(S_OK, Control->Stop());
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(kPatience));
  EXPECT_FALSE(waiting.get());
  EXPECT_FALSE(Filter->SendData(data.data(), 4096, 0, 232199, true));  // stopped: at once
}

TEST_F(DSAudioSourceFilterTest, ARunningStreamIsPacedByTheRendererAndEndsWithTheStop) {
  ASSERT_EQ(S_OK, Build());
  ASSERT_EQ(S_OK, Control->Run());
  std::vector<std::uint8_t> data = Bytes(4096, 11);
  std::atomic<int> sent{0};
  auto player = std::async(std::launch::async, [&] {
    REFERENCE_TIME t = 0;
    while (Filter->SendData(data.data(), 4096, t, t + 232199, true)) {
      t += 232199;
      ++sent;
    }
    return sent.load();
  });
  ASSERT_TRUE(Played(3));
  ASSERT_EQ(S_OK, Control->Stop());
  ASSERT_EQ(std::future_status::ready, player.wait_for(kPatience));
  const int n = player.get();
  EXPECT_GE(n, 3);
  // Never more ahead of the renderer than the sample it holds and the one that waits.
  EXPECT_LE(static_cast<std::size_t>(n), DS.Renderer(0).Received);
}

TEST_F(DSAudioSourceFilterTest, EndOfStreamAndFlushGoToThePeerOnly) {
  EXPECT_EQ(VFW_E_NOT_CONNECTED, Filter->DeliverEndOfStream());
  EXPECT_EQ(VFW_E_NOT_CONNECTED, Filter->Flush());
  ASSERT_EQ(S_OK, Build());
  auto events = DSQuery<IMediaEventEx>(Graph.Get(), IID_IMediaEventEx);
  ASSERT_EQ(S_OK, Control->Run());
  std::vector<std::uint8_t> data = Bytes(4096, 13);
  ASSERT_TRUE(Filter->SendData(data.data(), 4096, 0, 232199, true));
  EXPECT_EQ(S_OK, Filter->Flush());
  EXPECT_EQ(1, DS.Renderer(0).Flushes);
  ASSERT_TRUE(Filter->SendData(data.data(), 4096, 232199, 464398, true));
  EXPECT_EQ(S_OK, Filter->DeliverEndOfStream());
  LONG code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  ASSERT_EQ(S_OK, events->GetEvent(&code, &p1, &p2, 10000));
  EXPECT_EQ(EC_COMPLETE, code);
  events->FreeEventParams(code, p1, p2);
  EXPECT_TRUE(DS.Renderer(0).bEndOfStream);
}

}  // namespace
}  // namespace portwise::test

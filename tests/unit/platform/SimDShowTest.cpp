// The DirectShow contract on the simulation, and what only the simulation does: the devices a
// test scripts (blank and duplicate names, failures), the record it reads back, and the capture
// filter and sample grabber, which Wine 8 cannot be held to.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sim/SimDShow.h"
#include "platform/sim/SimPlatform.h"
#include "tests/unit/platform/DShowContract.h"

namespace portwise::test::dshow {
namespace {

using platform::sim::TSimDevice;
using platform::sim::TSimDShow;
using platform::sim::TSimPlatform;

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);

struct TSimDShowWorld {
  TSimDShowWorld() : DS(Sim) {
    DS.AddAudioRenderer("Default DirectSound Device");
    DS.AddAudioRenderer("DirectSound: Null Output");
    DS.AddAudioCapture("Monitor of Null Output");
    Sim.Com().CoInitialize();
  }
  ~TSimDShowWorld() { Sim.Com().CoUninitialize(); }
  platform::IPlatform& Platform() { return Sim; }
  bool Wine() { return false; }
  TSimPlatform Sim;
  TSimDShow DS;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, DShowContract, TSimDShowWorld);

class SimDShowTest : public ::testing::Test {
 protected:
  SimDShowTest() : DS(Sim) { Sim.Com().CoInitialize(); }
  ~SimDShowTest() override {
    Sim.Com().CoUninitialize();
  }
  pl::ICom& Com() { return Sim.Com(); }

  std::vector<TRefPtr<IMoniker>> Monikers(const GUID& category) {
    std::vector<TRefPtr<IMoniker>> out;
    auto devEnum = Create<ICreateDevEnum>(Com(), CLSID_SystemDeviceEnum, IID_ICreateDevEnum);
    TRefPtr<IEnumMoniker> e;
    if (devEnum->CreateClassEnumerator(category, e.Receive(), 0) != S_OK) return out;
    IMoniker* m = nullptr;
    while (e->Next(1, &m, nullptr) == S_OK) out.push_back(TRefPtr<IMoniker>::Adopt(m));
    return out;
  }
  TRefPtr<IBaseFilter> Bind(IMoniker* m) {
    void* p = nullptr;
    EXPECT_EQ(S_OK, m->BindToObject(nullptr, nullptr, IID_IBaseFilter, &p));
    return TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(p));
  }
  TRefPtr<IPin> FirstPin(IBaseFilter* f, PIN_DIRECTION dir) {
    TRefPtr<IEnumPins> e;
    f->EnumPins(e.Receive());
    IPin* p = nullptr;
    while (e->Next(1, &p, nullptr) == S_OK) {
      auto held = TRefPtr<IPin>::Adopt(p);
      PIN_DIRECTION d;
      held->QueryDirection(&d);
      if (d == dir) return held;
    }
    return nullptr;
  }

  TSimPlatform Sim;
  TSimDShow DS;
};

TEST_F(SimDShowTest, TheEnumeratorListsWhatTheTestScriptedBlankAndDuplicateNamesIncluded) {
  DS.AddAudioRenderer("Speakers");
  DS.AddAudioRenderer("   ");
  DS.AddAudioRenderer("Speakers");
  TSimDevice nameless;
  nameless.Category = CLSID_AudioRendererCategory;
  nameless.bHasFriendlyName = false;
  DS.AddDevice(nameless);
  DS.AddAudioCapture("Mic");
  auto monikers = Monikers(CLSID_AudioRendererCategory);
  ASSERT_EQ(4u, monikers.size());
  std::vector<std::string> displayNames;
  for (auto& m : monikers) {
    LPOLESTR n = nullptr;
    m->GetDisplayName(nullptr, nullptr, &n);
    displayNames.push_back(pl::FromOle(n));
    Com().CoTaskMemFree(n);
  }
  EXPECT_EQ(TSimDShow::MakeDisplayName(CLSID_AudioRendererCategory, "Speakers", 0), displayNames[0]);
  EXPECT_NE(displayNames[0], displayNames[2]);  // identities stay unique
  void* bag = nullptr;
  ASSERT_EQ(S_OK, monikers[3]->BindToStorage(nullptr, nullptr, IID_IPropertyBag, &bag));
  VARIANT v{};
  v.vt = VT_EMPTY;
  const pl::TOleString friendly = pl::ToOle("FriendlyName");
  EXPECT_TRUE(FAILED(static_cast<IPropertyBag*>(bag)->Read(friendly.c_str(), &v, nullptr)));
  static_cast<IPropertyBag*>(bag)->Release();
}

TEST_F(SimDShowTest, ScriptedFailuresReachTheCallsTheyName) {
  const int dev = DS.AddAudioRenderer("Speakers");
  TSimDevice d = DS.Device(dev);
  d.BindToStorageResult = kAccessDenied;
  DS.SetDevice(dev, d);
  auto monikers = Monikers(CLSID_AudioRendererCategory);
  ASSERT_EQ(1u, monikers.size());
  void* p = nullptr;
  EXPECT_EQ(kAccessDenied, monikers[0]->BindToStorage(nullptr, nullptr, IID_IPropertyBag, &p));
  EXPECT_FALSE(p);

  DS.SetClassEnumeratorResult(CLSID_AudioRendererCategory, E_FAIL);
  auto devEnum = Create<ICreateDevEnum>(Com(), CLSID_SystemDeviceEnum, IID_ICreateDevEnum);
  TRefPtr<IEnumMoniker> e;
  EXPECT_EQ(E_FAIL, devEnum->CreateClassEnumerator(CLSID_AudioRendererCategory, e.Receive(), 0));

  DS.FailNext("Graph.Run", E_UNEXPECTED);
  auto graph = Create<IGraphBuilder>(Com(), CLSID_FilterGraph, IID_IGraphBuilder);
  auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
  EXPECT_EQ(E_UNEXPECTED, control->Run());
  EXPECT_EQ(S_OK, control->Run());  // taken once
  control->Stop();
}

TEST_F(SimDShowTest, RenderingAnOutputPinWithoutARendererAddsTheDefaultOne) {
  DS.AddAudioRenderer("First");
  const int second = DS.AddAudioRenderer("Second");
  DS.SetDefaultDevice(CLSID_AudioRendererCategory, second);
  DS.AddAudioCapture("Line in");
  auto graph = Create<IGraphBuilder>(Com(), CLSID_FilterGraph, IID_IGraphBuilder);
  auto capture = Bind(Monikers(CLSID_AudioInputDeviceCategory)[0].Get());
  const pl::TOleString name = pl::ToOle("Capture");
  ASSERT_EQ(S_OK, graph->AddFilter(capture.Get(), name.c_str()));
  ASSERT_EQ(S_OK, graph->Render(FirstPin(capture.Get(), PINDIR_OUTPUT).Get()));
  EXPECT_EQ((std::vector<std::string>{"Capture", "Second"}), DS.Graph(0).Filters);
  ASSERT_EQ(1u, DS.RendererCount());
  EXPECT_EQ(second, DS.Renderer(0).Device);
  EXPECT_FALSE(DS.Renderer(0).Format.empty());
}

// The capture filter, rendered in real time: what it captured reaches the renderer, and the
// renderer never plays faster than the audio lasts.
TEST_F(SimDShowTest, ACaptureFilterFeedsARendererInRealTimeUntilTheGraphStops) {
  DS.AddAudioRenderer("Speakers");
  DS.AddAudioCapture("Line in");
  auto graph = Create<IGraphBuilder>(Com(), CLSID_FilterGraph, IID_IGraphBuilder);
  auto builder = Create<ICaptureGraphBuilder2>(Com(), CLSID_CaptureGraphBuilder2, IID_ICaptureGraphBuilder2);
  ASSERT_EQ(S_OK, builder->SetFiltergraph(graph.Get()));
  auto capture = Bind(Monikers(CLSID_AudioInputDeviceCategory)[0].Get());
  auto renderer = Bind(Monikers(CLSID_AudioRendererCategory)[0].Get());
  const pl::TOleString c = pl::ToOle("Capture"), r = pl::ToOle("Renderer");
  graph->AddFilter(capture.Get(), c.c_str());
  graph->AddFilter(renderer.Get(), r.c_str());
  auto negotiation = TRefPtr<IAMBufferNegotiation>();
  {
    void* p = nullptr;
    ASSERT_EQ(S_OK, builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Audio, capture.Get(),
                                           IID_IAMBufferNegotiation, &p));
    negotiation = TRefPtr<IAMBufferNegotiation>::Adopt(static_cast<IAMBufferNegotiation*>(p));
  }
  ALLOCATOR_PROPERTIES suggest{-1, 4410 * 4, -1, -1};  // 100 ms of 44.1 kHz stereo
  ASSERT_EQ(S_OK, negotiation->SuggestAllocatorProperties(&suggest));
  ASSERT_EQ(S_OK, builder->RenderStream(nullptr, &MEDIATYPE_Audio, capture.Get(), nullptr, renderer.Get()));
  auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(S_OK, control->Run());
  const auto deadline = start + kPatience;
  while (DS.Renderer(0).Played.size() < 5 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(S_OK, control->Stop());
  auto info = DS.Renderer(0);
  ASSERT_GE(info.Played.size(), 5u);
  // Five buffers of 100 ms are captured in no less than half a second.
  EXPECT_GE(elapsed, 450ms);
  std::uint64_t frame = 0;
  for (auto& s : info.Played) {
    ASSERT_EQ(17640u, s.Data.size());
    EXPECT_TRUE(s.bHasTime);
    EXPECT_EQ(static_cast<REFERENCE_TIME>(frame * 10000000 / 44100), s.Start);
    for (std::size_t f = 0; f < s.Data.size() / 4; ++f, ++frame) {
      const auto v = static_cast<std::uint16_t>(s.Data[f * 4] | s.Data[f * 4 + 1] << 8);
      ASSERT_EQ(frame & 0x7FFF, v) << f;
    }
  }
  const std::size_t played = DS.Renderer(0).Played.size();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(played, DS.Renderer(0).Played.size());  // nothing after the stop
}

class TCountingGrabberCB final : public ISampleGrabberCB {
 public:
  virtual ~TCountingGrabberCB() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB) {
      *ppv = this;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE SampleCB(double SampleTime, IMediaSample* pSample) override {
    std::lock_guard g(Mutex);
    Times.push_back(SampleTime);
    Bytes.push_back(pSample->GetActualDataLength());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE BufferCB(double, BYTE*, LONG) override { return S_OK; }
  std::size_t Count() {
    std::lock_guard g(Mutex);
    return Times.size();
  }
  std::mutex Mutex;
  std::vector<double> Times;
  std::vector<LONG> Bytes;
};

TEST_F(SimDShowTest, TheSampleGrabberHandsEveryCapturedSampleToItsCallbackAndStopsWithTheGraph) {
  DS.AddAudioCapture("Line in");
  auto graph = Create<IGraphBuilder>(Com(), CLSID_FilterGraph, IID_IGraphBuilder);
  auto builder = Create<ICaptureGraphBuilder2>(Com(), CLSID_CaptureGraphBuilder2, IID_ICaptureGraphBuilder2);
  builder->SetFiltergraph(graph.Get());
  auto capture = Bind(Monikers(CLSID_AudioInputDeviceCategory)[0].Get());
  auto grabberFilter = Create<IBaseFilter>(Com(), CLSID_SampleGrabber, IID_IBaseFilter);
  auto grabber = Query<ISampleGrabber>(grabberFilter.Get(), IID_ISampleGrabber);
  ASSERT_TRUE(grabber);
  const pl::TOleString c = pl::ToOle("Capture"), g = pl::ToOle("VLDS_AudioGrabber");
  graph->AddFilter(capture.Get(), c.c_str());
  graph->AddFilter(grabberFilter.Get(), g.c_str());
  AM_MEDIA_TYPE wanted{};
  wanted.majortype = MEDIATYPE_Audio;
  wanted.subtype = MEDIASUBTYPE_PCM;
  wanted.formattype = FORMAT_WaveFormatEx;
  ASSERT_EQ(S_OK, grabber->SetMediaType(&wanted));
  void* p = nullptr;
  ASSERT_EQ(S_OK, builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Audio, capture.Get(), IID_IAMStreamConfig, &p));
  auto config = TRefPtr<IAMStreamConfig>::Adopt(static_cast<IAMStreamConfig*>(p));
  int count = 0, size = 0;
  ASSERT_EQ(S_OK, config->GetNumberOfCapabilities(&count, &size));
  EXPECT_EQ(52, size);
  EXPECT_GT(count, 0);
  AM_MEDIA_TYPE* current = nullptr;
  ASSERT_EQ(S_OK, config->GetFormat(&current));
  ASSERT_EQ(S_OK, config->SetFormat(current));
  Com().CoTaskMemFree(current->pbFormat);
  Com().CoTaskMemFree(current);
  AM_MEDIA_TYPE connected{};
  EXPECT_EQ(VFW_E_NOT_CONNECTED, grabber->GetConnectedMediaType(&connected));
  ASSERT_EQ(S_OK, builder->RenderStream(nullptr, &MEDIATYPE_Audio, capture.Get(), nullptr, grabberFilter.Get()));
  ASSERT_EQ(S_OK, grabber->GetConnectedMediaType(&connected));
  EXPECT_EQ(FORMAT_WaveFormatEx, connected.formattype);
  Com().CoTaskMemFree(connected.pbFormat);
  TCountingGrabberCB callback;
  ASSERT_EQ(S_OK, grabber->SetCallback(&callback, 0));
  auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
  ASSERT_EQ(S_OK, control->Run());
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (callback.Count() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(S_OK, control->Stop());
  const std::size_t n = callback.Count();
  ASSERT_GE(n, 2u);
  EXPECT_DOUBLE_EQ(0.0, callback.Times[0]);
  EXPECT_NEAR(0.5, callback.Times[1], 1e-6);  // half-second buffers by default
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(n, callback.Count());
  grabber->SetCallback(nullptr, 0);
}

TEST_F(SimDShowTest, DeviceLostParametersAreReferencesAndASecondFreeIsCounted) {
  auto graph = Create<IGraphBuilder>(Com(), CLSID_FilterGraph, IID_IGraphBuilder);
  auto events = Query<IMediaEventEx>(graph.Get(), IID_IMediaEventEx);
  DS.PostDeviceLost(0);
  LONG code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  ASSERT_EQ(S_OK, events->GetEvent(&code, &p1, &p2, 0));
  EXPECT_EQ(EC_DEVICE_LOST, code);
  EXPECT_NE(0, p1);
  events->FreeEventParams(code, p1, p2);
  EXPECT_EQ(0, DS.Graph(0).DoubleFrees);
  events->FreeEventParams(code, p1, p2);
  EXPECT_EQ(1, DS.Graph(0).DoubleFrees);
  EXPECT_EQ(2u, DS.Graph(0).Freed.size());
}

TEST_F(SimDShowTest, EveryObjectAndEveryBlockOfTaskMemoryIsGivenBack) {
  DS.AddAudioRenderer("Speakers");
  DS.AddAudioCapture("Line in");
  {
    auto graph = Create<IGraphBuilder>(Com(), CLSID_FilterGraph, IID_IGraphBuilder);
    auto builder = Create<ICaptureGraphBuilder2>(Com(), CLSID_CaptureGraphBuilder2, IID_ICaptureGraphBuilder2);
    builder->SetFiltergraph(graph.Get());
    auto capture = Bind(Monikers(CLSID_AudioInputDeviceCategory)[0].Get());
    const pl::TOleString c = pl::ToOle("Capture");
    graph->AddFilter(capture.Get(), c.c_str());
    ASSERT_EQ(S_OK, builder->RenderStream(nullptr, &MEDIATYPE_Audio, capture.Get(), nullptr, nullptr));
    auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
    control->Run();
    std::this_thread::sleep_for(20ms);
    // Released while running: the graph stops and lets every filter go.
  }
  EXPECT_EQ(0u, DS.LiveObjects());
  EXPECT_EQ(0u, Sim.SimCom().OutstandingTaskMem());
  EXPECT_EQ(0u, Sim.SimCom().OutstandingStrings());
  EXPECT_FALSE(DS.Graph(0).bAlive);
  EXPECT_FALSE(DS.Renderer(0).bAlive);
}

}  // namespace
}  // namespace portwise::test::dshow

#pragma once
// What the DirectShow backend's own pieces do with the system's objects, written once and run on
// the simulation natively and on Wine's DirectShow under Wine: the device list agrees with the
// system device enumerator, and the push source filter connects to the system's audio renderer,
// plays through it and never keeps a delivery waiting past the graph's stop. The world is the one
// of tests/unit/platform/DShowContract.h (Platform(), Wine()).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <numbers>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/ALAudioFormat.h"
#include "dshow/DSAudioSourceFilter.h"
#include "dshow/DSDevices.h"
#include "platform/Platform.h"

namespace portwise::test::dssource {

using namespace std::chrono_literals;

// A guard against hanging, not a measure of speed.
constexpr auto kPatience = 10s;
constexpr REFERENCE_TIME kBufferTime = 232199;  // 1024 frames at 44.1 kHz

template <class TWorld>
class DSSourceContract : public ::testing::Test {
 protected:
  ~DSSourceContract() override {
    if (Control) Control->Stop();
  }

  // Graph, builder, the filter and the renderer bound from the first audio renderer, rendered.
  void Build() {
    auto com = [&](REFCLSID clsid, REFIID iid) {
      void* p = nullptr;
      EXPECT_EQ(S_OK, DSCom().CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, &p));
      return p;
    };
    Graph = TRefPtr<IGraphBuilder>::Adopt(static_cast<IGraphBuilder*>(com(CLSID_FilterGraph, IID_IGraphBuilder)));
    Builder = TRefPtr<ICaptureGraphBuilder2>::Adopt(
        static_cast<ICaptureGraphBuilder2*>(com(CLSID_CaptureGraphBuilder2, IID_ICaptureGraphBuilder2)));
    ASSERT_TRUE(Graph && Builder);
    ASSERT_EQ(S_OK, Builder->SetFiltergraph(Graph.Get()));
    Filter = new TDSAudioSourceFilter();
    Held = TRefPtr<IBaseFilter>(Filter);
    TALWaveFormatExtensible f{ALWaveFormatExtensibleTag, 2, 44100, 176400, 4, 16, ALWaveFormatExtensibleCbSize,
                              16, 3, ALSubFormatPCM};
    Filter->SetFormat(f, false, 23);
    const platform::TOleString source = platform::ToOle("AudioSource"), render = platform::ToOle("Audio Render");
    ASSERT_EQ(S_OK, Graph->AddFilter(Held.Get(), source.c_str()));
    TVLDSCapDeviceList list;
    list.EnumFilters(CLSID_AudioRendererCategory);
    ASSERT_GT(list.Count(), 0);
    void* p = nullptr;
    ASSERT_EQ(S_OK, list.Items(0).Moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, &p));
    Renderer = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(p));
    ASSERT_EQ(S_OK, Graph->AddFilter(Renderer.Get(), render.c_str()));
    ASSERT_EQ(S_OK, Builder->RenderStream(nullptr, &MEDIATYPE_Audio, Held.Get(), nullptr, Renderer.Get()));
    Control = DSQuery<IMediaControl>(Graph.Get(), IID_IMediaControl);
    Events = DSQuery<IMediaEventEx>(Graph.Get(), IID_IMediaEventEx);
    ASSERT_TRUE(Control && Events);
  }

  // 1024 stereo frames of a 1 kHz tone at half scale, starting at frame `first`.
  std::vector<std::int16_t> Tone(std::uint64_t first) {
    std::vector<std::int16_t> v(2048);
    for (std::size_t i = 0; i < 1024; ++i) {
      const auto s = static_cast<std::int16_t>(std::lround(16383 * std::sin(2 * std::numbers::pi * 1000.0 * double(first + i) / 44100)));
      v[2 * i] = v[2 * i + 1] = s;
    }
    return v;
  }

  bool Send(std::uint64_t index) {
    std::vector<std::int16_t> data = Tone(index * 1024);
    const REFERENCE_TIME t = static_cast<REFERENCE_TIME>(index) * kBufferTime;
    return Filter->SendData(data.data(), 4096, t, t + kBufferTime, true);
  }

  bool Wine() { return FWorld.Wine(); }

  TWorld FWorld;
  TRefPtr<IGraphBuilder> Graph;
  TRefPtr<ICaptureGraphBuilder2> Builder;
  TDSAudioSourceFilter* Filter = nullptr;
  TRefPtr<IBaseFilter> Held;
  TRefPtr<IBaseFilter> Renderer;
  TRefPtr<IMediaControl> Control;
  TRefPtr<IMediaEventEx> Events;
};

TYPED_TEST_SUITE_P(DSSourceContract);

TYPED_TEST_P(DSSourceContract, TheRendererListHasEveryNamedDeviceOnceInEnumerationOrder) {
  TVLDSCapDeviceList list;
  list.EnumFilters(CLSID_AudioRendererCategory);
  ASSERT_GT(list.Count(), 0);
  std::set<std::string> listNames, identities;
  for (std::int32_t i = 0; i < list.Count(); ++i) {
    const TMLDSCapDeviceInfo& d = list.Items(i);
    EXPECT_TRUE(listNames.insert(d.DeviceNameInList).second) << d.DeviceNameInList;
    EXPECT_TRUE(identities.insert(d.DeviceName).second) << d.DeviceName;
    EXPECT_EQ(0u, d.DeviceName.rfind("@device:", 0)) << d.DeviceName;
    EXPECT_FALSE(d.DeviceStdNameInList.empty());
  }
  TVLDSCapDeviceList again;
  again.EnumFilters(CLSID_AudioRendererCategory);
  ASSERT_EQ(list.Count(), again.Count());
  for (std::int32_t i = 0; i < list.Count(); ++i) EXPECT_EQ(list.Items(i).DeviceName, again.Items(i).DeviceName);
}

TYPED_TEST_P(DSSourceContract, TheSourceFilterConnectsWithItsPlainPcmTypeAndASingleSampleAllocator) {
  this->Build();
  ASSERT_TRUE(this->Filter->GetSourcePin()->IsConnected());
  AM_MEDIA_TYPE mt{};
  ASSERT_EQ(S_OK, this->Filter->GetSourcePin()->ConnectionMediaType(&mt));
  EXPECT_EQ(MEDIATYPE_Audio, mt.majortype);
  EXPECT_EQ(MEDIASUBTYPE_PCM, mt.subtype);
  ASSERT_EQ(18u, mt.cbFormat);
  const WAVEFORMATEX w = platform::ReadWaveFormatEx(mt.pbFormat);
  EXPECT_EQ(1, w.wFormatTag);
  EXPECT_EQ(44100u, w.nSamplesPerSec);
  DSFreeMediaType(mt);
  ALLOCATOR_PROPERTIES props{};
  ASSERT_TRUE(this->Filter->GetSourcePin()->GetAllocator());
  ASSERT_EQ(S_OK, this->Filter->GetSourcePin()->GetAllocator()->GetProperties(&props));
  EXPECT_EQ(1, props.cBuffers);
  EXPECT_GE(props.cbBuffer, 4412);
}

TYPED_TEST_P(DSSourceContract, TheRendererTakesTheStreamAndTheStopReleasesAWaitingDelivery) {
  this->Build();
  ASSERT_TRUE(SUCCEEDED(this->Control->Run()));
  for (std::uint64_t i = 0; i < 8; ++i) ASSERT_TRUE(this->Send(i)) << i;
  std::atomic<std::uint64_t> sent{8};
  auto player = std::async(std::launch::async, [&] {
    while (this->Send(sent)) ++sent;
    return sent.load();
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(std::future_status::timeout, player.wait_for(0ms));  // paced by the renderer
  ASSERT_TRUE(SUCCEEDED(this->Control->Stop()));
  ASSERT_EQ(std::future_status::ready, player.wait_for(kPatience));
  EXPECT_GT(player.get(), 8u);
  EXPECT_FALSE(this->Send(0));  // stopped: no waiting at all
}

TYPED_TEST_P(DSSourceContract, EndOfStreamCompletesTheGraph) {
  this->Build();
  ASSERT_TRUE(SUCCEEDED(this->Control->Run()));
  for (std::uint64_t i = 0; i < 4; ++i) ASSERT_TRUE(this->Send(i)) << i;
  EXPECT_EQ(S_OK, this->Filter->DeliverEndOfStream());
  bool completed = false;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!completed && std::chrono::steady_clock::now() < deadline) {
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    if (this->Events->GetEvent(&code, &p1, &p2, 100) != S_OK) continue;
    completed = code == EC_COMPLETE;
    this->Events->FreeEventParams(code, p1, p2);
  }
  EXPECT_TRUE(completed);
}

REGISTER_TYPED_TEST_SUITE_P(DSSourceContract, TheRendererListHasEveryNamedDeviceOnceInEnumerationOrder,
                            TheSourceFilterConnectsWithItsPlainPcmTypeAndASingleSampleAllocator,
                            TheRendererTakesTheStreamAndTheStopReleasesAWaitingDelivery,
                            EndOfStreamCompletesTheGraph);

}  // namespace portwise::test::dssource

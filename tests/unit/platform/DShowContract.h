#pragma once
// The contract of the DirectShow system objects the program relies on, written once and run
// against every implementation: the simulation natively, Wine's DirectShow under Wine. A world
// installs its platform as the current one, has COM initialised on the calling (main) thread for
// its lifetime, and says whether it is Wine where Wine 8 and Windows differ (the simulation follows
// Windows):
//
//   struct TWorld {
//     platform::IPlatform& Platform();
//     bool Wine();
//   };
//
// Where they differ: "@device:*:{category}" names the category's default device on Windows, Wine
// refuses it (0x800401EA); a GetBuffer waiting when the allocator is decommitted fails with
// VFW_E_NOT_COMMITTED on Windows, VFW_E_TIMEOUT on Wine. Windows also refuses an alignment that is
// not a power of two (VFW_E_BADALIGN), which Wine takes; the contract only asks that 0 be refused.
//
// and a test file instantiates the suite: INSTANTIATE_TYPED_TEST_SUITE_P(Name, DShowContract, TWorld).
// Both worlds have at least one audio renderer and one audio capture device.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/ComServices.h"
#include "platform/DShow.h"
#include "platform/Platform.h"
#include "platform/RefPtr.h"

namespace portwise::test::dshow {

using namespace std::chrono_literals;
namespace pl = portwise::platform;

// A guard against hanging, not a measure of speed.
constexpr auto kPatience = 10s;

// {8F1E2A47-6C0B-4D39-A1F5-2B7C9E30D614}: a category nobody registers.
constexpr GUID kUnknownCategory = {0x8F1E2A47, 0x6C0B, 0x4D39, {0xA1, 0xF5, 0x2B, 0x7C, 0x9E, 0x30, 0xD6, 0x14}};
constexpr LONG kUserEvent = 0x8100;

template <class T>
TRefPtr<T> Create(pl::ICom& com, REFCLSID clsid, REFIID iid) {
  void* p = nullptr;
  HRESULT hr = com.CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, &p);
  EXPECT_EQ(S_OK, hr) << pl::GuidToString(clsid);
  return TRefPtr<T>::Adopt(static_cast<T*>(p));
}

template <class T>
TRefPtr<T> Query(IUnknown* object, REFIID iid) {
  void* p = nullptr;
  if (!object || FAILED(object->QueryInterface(iid, &p))) return nullptr;
  return TRefPtr<T>::Adopt(static_cast<T*>(p));
}

template <class TWorld>
class DShowContract : public ::testing::Test {
 protected:
  pl::ICom& Com() { return FWorld.Platform().Com(); }
  pl::IMessages& Msgs() { return FWorld.Platform().Messages(); }
  bool Wine() { return FWorld.Wine(); }

  std::vector<TRefPtr<IMoniker>> Monikers(const GUID& category, HRESULT* result = nullptr) {
    std::vector<TRefPtr<IMoniker>> out;
    auto devEnum = Create<ICreateDevEnum>(Com(), CLSID_SystemDeviceEnum, IID_ICreateDevEnum);
    if (!devEnum) return out;
    TRefPtr<IEnumMoniker> e;
    HRESULT hr = devEnum->CreateClassEnumerator(category, e.Receive(), 0);
    if (result) *result = hr;
    if (hr != S_OK) {
      EXPECT_FALSE(e) << "no enumerator comes with " << hr;
      return out;
    }
    IMoniker* m = nullptr;
    while (e->Next(1, &m, nullptr) == S_OK) out.push_back(TRefPtr<IMoniker>::Adopt(m));
    return out;
  }

  std::string DisplayName(IMoniker* moniker) {
    LPOLESTR name = nullptr;
    EXPECT_EQ(S_OK, moniker->GetDisplayName(nullptr, nullptr, &name));
    std::string s = pl::FromOle(name);
    Com().CoTaskMemFree(name);
    return s;
  }

  // The bag's string, or "<absent>".
  std::string BagString(IMoniker* moniker, const char* property) {
    void* p = nullptr;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, &p)) || !p) return "<no bag>";
    auto bag = TRefPtr<IPropertyBag>::Adopt(static_cast<IPropertyBag*>(p));
    VARIANT v{};
    v.vt = VT_EMPTY;
    const pl::TOleString name = pl::ToOle(property);
    std::string value = "<absent>";
    if (SUCCEEDED(bag->Read(name.c_str(), &v, nullptr)) && v.vt == VT_BSTR) value = pl::FromOle(v.bstrVal);
    Com().VariantClear(&v);
    return value;
  }

  TRefPtr<IBaseFilter> FirstRenderer() {
    auto monikers = Monikers(CLSID_AudioRendererCategory);
    if (monikers.empty()) return nullptr;
    void* p = nullptr;
    EXPECT_EQ(S_OK, monikers.front()->BindToObject(nullptr, nullptr, IID_IBaseFilter, &p));
    return TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(p));
  }

  TRefPtr<IMemAllocator> Allocator(LONG buffers, LONG bytes) {
    auto a = Create<IMemAllocator>(Com(), CLSID_MemoryAllocator, IID_IMemAllocator);
    ALLOCATOR_PROPERTIES want{buffers, bytes, 1, 0}, got{};
    EXPECT_EQ(S_OK, a->SetProperties(&want, &got));
    return a;
  }

  FILTER_STATE FilterState(IBaseFilter* filter) {
    FILTER_STATE s = State_Stopped;
    HRESULT hr = filter->GetState(0, &s);
    EXPECT_TRUE(hr == S_OK || hr == VFW_S_STATE_INTERMEDIATE) << hr;
    return s;
  }

 private:
  TWorld FWorld;
};

TYPED_TEST_SUITE_P(DShowContract);

// ---------------------------------------------------------------- devices

TYPED_TEST_P(DShowContract, AudioDevicesEnumerateInTheSameOrderEveryTimeWithNamesAndDisplayNames) {
  for (const GUID& category : {CLSID_AudioRendererCategory, CLSID_AudioInputDeviceCategory}) {
    auto first = this->Monikers(category);
    auto second = this->Monikers(category);
    ASSERT_FALSE(first.empty());
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
      const std::string name = this->DisplayName(first[i].Get());
      EXPECT_EQ(0u, name.rfind("@device:", 0)) << name;
      EXPECT_EQ(name, this->DisplayName(second[i].Get()));
      EXPECT_NE("<absent>", this->BagString(first[i].Get(), "FriendlyName")) << name;
      CLSID clsid{};
      EXPECT_EQ(S_OK, first[i]->GetClassID(&clsid));
      EXPECT_EQ(CLSID_CDeviceMoniker, clsid);
    }
  }
}

TYPED_TEST_P(DShowContract, ACategoryWithoutDevicesEnumeratesNothingWithSFalse) {
  HRESULT hr = S_OK;
  EXPECT_TRUE(this->Monikers(kUnknownCategory, &hr).empty());
  EXPECT_EQ(S_FALSE, hr);
}

TYPED_TEST_P(DShowContract, ADisplayNameParsesBackToItsDeviceAndTheDefaultNameAsThePlatformDoes) {
  auto monikers = this->Monikers(CLSID_AudioRendererCategory);
  ASSERT_FALSE(monikers.empty());
  const std::string name = this->DisplayName(monikers.back().Get());
  TRefPtr<IBindCtx> context;
  ASSERT_EQ(S_OK, this->Com().CreateBindCtx(context.Receive()));
  TRefPtr<IMoniker> parsed;
  ASSERT_EQ(S_OK, this->Com().MkParseDisplayName(context.Get(), name, parsed.Receive()));
  EXPECT_EQ(name, this->DisplayName(parsed.Get()));
  EXPECT_EQ(this->BagString(monikers.back().Get(), "FriendlyName"), this->BagString(parsed.Get(), "FriendlyName"));

  TRefPtr<IMoniker> byDefault;
  HRESULT hr = this->Com().MkParseDisplayName(context.Get(), "@device:*:{E0F158E1-CB04-11D0-BD4E-00A0C911CE86}",
                                              byDefault.Receive());
  if (this->Wine()) {
    EXPECT_EQ(static_cast<HRESULT>(0x800401EA), hr);
    EXPECT_FALSE(byDefault);
  } else {
    EXPECT_EQ(S_OK, hr);
    EXPECT_TRUE(byDefault);
  }
}

TYPED_TEST_P(DShowContract, ARendererMonikerBindsToAFilterWithOneUnconnectedInputPin) {
  TRefPtr<IBaseFilter> renderer = this->FirstRenderer();
  ASSERT_TRUE(renderer);
  TRefPtr<IEnumPins> pins;
  ASSERT_EQ(S_OK, renderer->EnumPins(pins.Receive()));
  IPin* pin = nullptr;
  ASSERT_EQ(S_OK, pins->Next(1, &pin, nullptr));
  auto held = TRefPtr<IPin>::Adopt(pin);
  PIN_DIRECTION dir = PINDIR_OUTPUT;
  EXPECT_EQ(S_OK, held->QueryDirection(&dir));
  EXPECT_EQ(PINDIR_INPUT, dir);
  TRefPtr<IPin> peer;
  EXPECT_EQ(VFW_E_NOT_CONNECTED, held->ConnectedTo(peer.Receive()));
  EXPECT_FALSE(peer);
  EXPECT_TRUE(Query<IMemInputPin>(held.Get(), IID_IMemInputPin));
  EXPECT_TRUE(Query<IBasicAudio>(renderer.Get(), IID_IBasicAudio));
}

// ---------------------------------------------------------------- memory allocator

TYPED_TEST_P(DShowContract, AllocatorHandsOutNothingBeforeCommitAndRefusesChangesWhileCommitted) {
  auto a = Create<IMemAllocator>(this->Com(), CLSID_MemoryAllocator, IID_IMemAllocator);
  ALLOCATOR_PROPERTIES got{};
  ALLOCATOR_PROPERTIES want{2, 1000, 0, 0};
  EXPECT_EQ(VFW_E_BADALIGN, a->SetProperties(&want, &got));
  want.cbAlign = 1;
  ASSERT_EQ(S_OK, a->SetProperties(&want, &got));
  EXPECT_EQ(2, got.cBuffers);
  EXPECT_GE(got.cbBuffer, 1000);
  TRefPtr<IMediaSample> s;
  EXPECT_EQ(VFW_E_NOT_COMMITTED, a->GetBuffer(s.Receive(), nullptr, nullptr, 0));
  EXPECT_FALSE(s);
  ASSERT_EQ(S_OK, a->Commit());
  EXPECT_EQ(VFW_E_ALREADY_COMMITTED, a->SetProperties(&want, &got));
  EXPECT_EQ(S_OK, a->Decommit());
}

TYPED_TEST_P(DShowContract, AllocatorHandsOutEachBufferOnceAndTakesItBackOnRelease) {
  auto a = this->Allocator(2, 1000);
  ASSERT_EQ(S_OK, a->Commit());
  TRefPtr<IMediaSample> one, two, three;
  ASSERT_EQ(S_OK, a->GetBuffer(one.Receive(), nullptr, nullptr, 0));
  ASSERT_EQ(S_OK, a->GetBuffer(two.Receive(), nullptr, nullptr, 0));
  EXPECT_NE(one.Get(), two.Get());
  EXPECT_GE(one->GetSize(), 1000);
  EXPECT_EQ(VFW_E_TIMEOUT, a->GetBuffer(three.Receive(), nullptr, nullptr, AM_GBF_NOWAIT));
  BYTE* p1 = nullptr;
  one->GetPointer(&p1);
  one.Reset();
  ASSERT_EQ(S_OK, a->GetBuffer(three.Receive(), nullptr, nullptr, AM_GBF_NOWAIT));
  BYTE* p3 = nullptr;
  three->GetPointer(&p3);
  EXPECT_EQ(p1, p3);  // the buffer that came back
  three.Reset();
  two.Reset();
  EXPECT_EQ(S_OK, a->Decommit());
}

TYPED_TEST_P(DShowContract, DecommitReleasesAWaitingGetBufferAndRefusesNewOnes) {
  auto a = this->Allocator(1, 100);
  ASSERT_EQ(S_OK, a->Commit());
  TRefPtr<IMediaSample> held;
  ASSERT_EQ(S_OK, a->GetBuffer(held.Receive(), nullptr, nullptr, 0));
  std::atomic<bool> started{false};
  auto waiter = std::async(std::launch::async, [&] {
    IMediaSample* s = nullptr;
    started = true;
    HRESULT hr = a->GetBuffer(&s, nullptr, nullptr, 0);
    if (s) s->Release();
    return hr;
  });
  while (!started) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(50ms);  // let it reach its wait
  EXPECT_EQ(std::future_status::timeout, waiter.wait_for(0ms));
  ASSERT_EQ(S_OK, a->Decommit());
  ASSERT_EQ(std::future_status::ready, waiter.wait_for(kPatience));
  EXPECT_EQ(this->Wine() ? VFW_E_TIMEOUT : VFW_E_NOT_COMMITTED, waiter.get());
  TRefPtr<IMediaSample> late;
  EXPECT_EQ(VFW_E_NOT_COMMITTED, a->GetBuffer(late.Receive(), nullptr, nullptr, 0));
  // A sample still out stays usable and goes back quietly.
  BYTE* p = nullptr;
  EXPECT_EQ(S_OK, held->GetPointer(&p));
  EXPECT_EQ(S_OK, held->SetActualDataLength(10));
  held.Reset();
  ALLOCATOR_PROPERTIES want{1, 200, 1, 0}, got{};
  EXPECT_EQ(S_OK, a->SetProperties(&want, &got));
}

TYPED_TEST_P(DShowContract, ASampleKeepsItsTimesAndLengthWithinItsSizeAndLosesThemOnReturn) {
  auto a = this->Allocator(1, 100);
  ASSERT_EQ(S_OK, a->Commit());
  TRefPtr<IMediaSample> s;
  ASSERT_EQ(S_OK, a->GetBuffer(s.Receive(), nullptr, nullptr, 0));
  REFERENCE_TIME b = 0, e = 0;
  EXPECT_EQ(VFW_E_SAMPLE_TIME_NOT_SET, s->GetTime(&b, &e));
  REFERENCE_TIME start = 1000, end = 2000;
  EXPECT_EQ(S_OK, s->SetTime(&start, &end));
  EXPECT_EQ(S_OK, s->GetTime(&b, &e));
  EXPECT_EQ(1000, b);
  EXPECT_EQ(2000, e);
  EXPECT_EQ(VFW_E_BUFFER_OVERFLOW, s->SetActualDataLength(s->GetSize() + 1));
  EXPECT_EQ(S_OK, s->SetActualDataLength(s->GetSize()));
  EXPECT_EQ(S_OK, s->SetSyncPoint(TRUE));
  EXPECT_EQ(S_OK, s->IsSyncPoint());
  s.Reset();
  ASSERT_EQ(S_OK, a->GetBuffer(s.Receive(), nullptr, nullptr, 0));
  EXPECT_EQ(VFW_E_SAMPLE_TIME_NOT_SET, s->GetTime(&b, &e));
  EXPECT_EQ(S_FALSE, s->IsSyncPoint());
  s.Reset();
  a->Decommit();
}

// ---------------------------------------------------------------- clock

TYPED_TEST_P(DShowContract, ClockReleasesItsSemaphoreOncePerPeriodUntilUnadvised) {
  auto clock = Create<IReferenceClock>(this->Com(), CLSID_SystemClock, IID_IReferenceClock);
  ASSERT_TRUE(clock);
  REFERENCE_TIME t1 = 0, t2 = 0;
  ASSERT_EQ(S_OK, clock->GetTime(&t1));
  pl::TClockSemaphore sem = this->Com().CreateClockSemaphore();
  ASSERT_NE(0u, sem);
  DWORD_PTR cookie = 0;
  constexpr REFERENCE_TIME kPeriod = 200000;  // 20 ms
  ASSERT_EQ(S_OK, clock->AdvisePeriodic(t1 + kPeriod, kPeriod, static_cast<HSEMAPHORE>(sem), &cookie));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(this->Com().WaitClockSemaphore(sem, 5000)) << i;
  ASSERT_EQ(S_OK, clock->GetTime(&t2));
  EXPECT_GE(t2 - t1, 4 * kPeriod);  // five releases take at least four periods
  EXPECT_EQ(S_OK, clock->Unadvise(cookie));
  while (this->Com().WaitClockSemaphore(sem, 100)) {
  }
  EXPECT_FALSE(this->Com().WaitClockSemaphore(sem, 100));
  this->Com().CloseClockSemaphore(sem);
}

// ---------------------------------------------------------------- filter graph

TYPED_TEST_P(DShowContract, GraphStateChangesDriveEveryFilter) {
  auto graph = Create<IGraphBuilder>(this->Com(), CLSID_FilterGraph, IID_IGraphBuilder);
  TRefPtr<IBaseFilter> renderer = this->FirstRenderer();
  ASSERT_TRUE(graph && renderer);
  const pl::TOleString name = pl::ToOle("Renderer");
  ASSERT_EQ(S_OK, graph->AddFilter(renderer.Get(), name.c_str()));
  FILTER_INFO info{};
  ASSERT_EQ(S_OK, renderer->QueryFilterInfo(&info));
  EXPECT_EQ("Renderer", pl::FromOle(info.achName));
  EXPECT_TRUE(info.pGraph);
  if (info.pGraph) info.pGraph->Release();

  auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
  ASSERT_TRUE(control);
  EXPECT_EQ(State_Stopped, this->FilterState(renderer.Get()));
  EXPECT_TRUE(SUCCEEDED(control->Pause()));
  EXPECT_EQ(State_Paused, this->FilterState(renderer.Get()));
  EXPECT_TRUE(SUCCEEDED(control->Run()));
  EXPECT_EQ(State_Running, this->FilterState(renderer.Get()));
  EXPECT_TRUE(SUCCEEDED(control->Stop()));
  EXPECT_EQ(State_Stopped, this->FilterState(renderer.Get()));

  EXPECT_EQ(S_OK, graph->RemoveFilter(renderer.Get()));
  ASSERT_EQ(S_OK, renderer->QueryFilterInfo(&info));
  EXPECT_FALSE(info.pGraph);
}

TYPED_TEST_P(DShowContract, GraphEventsReachTheNotifyWindowAndAreTakenInOrder) {
  auto graph = Create<IGraphBuilder>(this->Com(), CLSID_FilterGraph, IID_IGraphBuilder);
  auto events = Query<IMediaEventEx>(graph.Get(), IID_IMediaEventEx);
  auto sink = Query<IMediaEventSink>(graph.Get(), IID_IMediaEventSink);
  ASSERT_TRUE(events && sink);
  std::vector<std::intptr_t> seen;
  pl::THiddenWindow wnd = this->Msgs().CreateHiddenWindow([&](std::uint32_t msg, std::uintptr_t, std::intptr_t l) {
    if (msg == 0x8001) seen.push_back(l);
    return false;
  });
  ASSERT_EQ(S_OK, events->SetNotifyWindow(static_cast<OAHWND>(wnd), 0x8001, 77));
  ASSERT_EQ(S_OK, events->SetNotifyFlags(0));
  ASSERT_EQ(S_OK, sink->Notify(kUserEvent, 5, 6));
  ASSERT_EQ(S_OK, sink->Notify(kUserEvent + 1, 7, 8));
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (seen.size() < 2 && std::chrono::steady_clock::now() < deadline) {
    this->Msgs().ProcessMessages();
    this->Msgs().WaitMessage(20);
  }
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(77, seen[0]);
  LONG code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  ASSERT_EQ(S_OK, events->GetEvent(&code, &p1, &p2, 0));
  EXPECT_EQ(kUserEvent, code);
  EXPECT_EQ(5, p1);
  EXPECT_EQ(6, p2);
  EXPECT_EQ(S_OK, events->FreeEventParams(code, p1, p2));
  ASSERT_EQ(S_OK, events->GetEvent(&code, &p1, &p2, 0));
  EXPECT_EQ(kUserEvent + 1, code);
  EXPECT_EQ(S_OK, events->FreeEventParams(code, p1, p2));
  EXPECT_EQ(E_ABORT, events->GetEvent(&code, &p1, &p2, 0));
  events->SetNotifyWindow(0, 0, 0);
  this->Msgs().DestroyHiddenWindow(wnd);
}

REGISTER_TYPED_TEST_SUITE_P(DShowContract, AudioDevicesEnumerateInTheSameOrderEveryTimeWithNamesAndDisplayNames,
                            ACategoryWithoutDevicesEnumeratesNothingWithSFalse,
                            ADisplayNameParsesBackToItsDeviceAndTheDefaultNameAsThePlatformDoes,
                            ARendererMonikerBindsToAFilterWithOneUnconnectedInputPin,
                            AllocatorHandsOutNothingBeforeCommitAndRefusesChangesWhileCommitted,
                            AllocatorHandsOutEachBufferOnceAndTakesItBackOnRelease,
                            DecommitReleasesAWaitingGetBufferAndRefusesNewOnes,
                            ASampleKeepsItsTimesAndLengthWithinItsSizeAndLosesThemOnReturn,
                            ClockReleasesItsSemaphoreOncePerPeriodUntilUnadvised,
                            GraphStateChangesDriveEveryFilter, GraphEventsReachTheNotifyWindowAndAreTakenInOrder);

}  // namespace portwise::test::dshow

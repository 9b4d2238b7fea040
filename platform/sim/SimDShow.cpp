// The simulated DirectShow system objects: the world, device monikers and their property bags, the
// system device enumerator, the filter mapper, the system clock, the filter graph manager and the
// capture graph builder. The filters are in SimDShowFilters.cpp and SimDShowCapture.cpp.
#include "platform/sim/SimDShow.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/SimDShowObjects.h"
#include "platform/sim/SimPlatform.h"

namespace portwise::platform::sim {

using namespace std::chrono_literals;

namespace {

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070002);  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
constexpr LONG kNoNotify = 1;                                     // AM_MEDIAEVENT_NONOTIFY

LPWSTR TaskString(TSimCom& com, const std::string& text) {
  const TOleString w = ToOle(text);
  auto* p = static_cast<WCHAR*>(com.CoTaskMemAlloc((w.size() + 1) * sizeof(WCHAR)));
  if (!p) return nullptr;
  std::memcpy(p, w.data(), w.size() * sizeof(WCHAR));
  p[w.size()] = 0;
  return p;
}

std::chrono::steady_clock::time_point ToSteady(const TSimDShow::TWorld& world, REFERENCE_TIME t) {
  return world.Epoch + std::chrono::nanoseconds((t - 1) * 100);
}

}  // namespace

ULONG TEventToken::Release() {
  long n = FRef.load();
  do {
    if (n <= 0) {
      std::lock_guard g(FLog->Mutex);
      ++FLog->Info.DoubleFrees;
      return 0;
    }
  } while (!FRef.compare_exchange_weak(n, n - 1));
  return static_cast<ULONG>(n - 1);
}

// ---------------------------------------------------------------- world

HRESULT TSimDShow::TWorld::Take(const std::string& point) {
  std::lock_guard g(Mutex);
  auto it = Failures.find(point);
  if (it == Failures.end() || it->second.empty()) return S_OK;
  const HRESULT hr = it->second.front();
  it->second.pop_front();
  return hr;
}

bool TSimDShow::TWorld::DeviceInfo(int id, TSimDevice& out) {
  std::lock_guard g(Mutex);
  if (id < 0 || id >= static_cast<int>(Devices.size()) || Devices[static_cast<std::size_t>(id)].bRemoved) return false;
  out = Devices[static_cast<std::size_t>(id)].Info;
  return true;
}

std::vector<int> TSimDShow::TWorld::DevicesOf(const GUID* category, DWORD minMerit) {
  std::lock_guard g(Mutex);
  std::vector<int> ids;
  for (std::size_t i = 0; i < Devices.size(); ++i) {
    const TDev& d = Devices[i];
    if (d.bRemoved) continue;
    if (category && !(d.Info.Category == *category)) continue;
    if (d.Info.Merit < minMerit) continue;
    ids.push_back(static_cast<int>(i));
  }
  return ids;
}

int TSimDShow::TWorld::DefaultDevice(const GUID& category) {
  {
    std::lock_guard g(Mutex);
    auto it = Defaults.find(category);
    if (it != Defaults.end() && it->second >= 0 && it->second < static_cast<int>(Devices.size()) &&
        !Devices[static_cast<std::size_t>(it->second)].bRemoved)
      return it->second;
  }
  std::vector<int> ids = DevicesOf(&category, 0);
  return ids.empty() ? -1 : ids.front();
}

HRESULT TSimDShow::TWorld::CreateDeviceFilter(const std::shared_ptr<TWorld>& self, int id, REFIID iid, void** ppv) {
  *ppv = nullptr;
  TSimDevice info;
  if (!DeviceInfo(id, info)) return MK_E_UNAVAILABLE;
  if (FAILED(info.BindToObjectResult)) return info.BindToObjectResult;
  switch (info.Kind) {
    case ESimDeviceKind::AudioRenderer: return SimCreateRenderer(self, id, iid, ppv);
    case ESimDeviceKind::AudioCapture:
      if (info.bPinless) {
        GUID clsid = GUID_NULL;
        GuidFromString("{E30629D2-27E5-11CE-875D-00608CB78066}", clsid);
        return SimCreatePlainFilter(self, clsid, iid, ppv);
      }
      return SimCreateCapture(self, id, iid, ppv);
    case ESimDeviceKind::Filter: break;
  }
  GUID clsid = GUID_NULL;
  if (info.ClassId) GuidFromString(*info.ClassId, clsid);
  return SimCreatePlainFilter(self, clsid, iid, ppv);
}

// ---------------------------------------------------------------- monikers and property bags

namespace {

class TSimPropertyBag final : public TSimComObject, public IPropertyBag {
 public:
  TSimPropertyBag(TWorldPtr world, TSimDevice device) : TSimComObject(std::move(world)), FDevice(std::move(device)) {}
  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IPropertyBag) return SimAnswer(static_cast<IPropertyBag*>(this), ppv);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog*) override {
    if (!pszPropName || !pVar) return E_POINTER;
    const std::string name = FromOle(pszPropName);
    const std::string* value = nullptr;
    if (name == "FriendlyName" && FDevice.bHasFriendlyName) value = &FDevice.FriendlyName;
    if (name == "CLSID" && FDevice.ClassId) value = &*FDevice.ClassId;
    if (!value) return kNotFound;
    pVar->vt = VT_BSTR;
    pVar->bstrVal = static_cast<BSTR>(FWorld->Com.SysAllocString(*value));
    return pVar->bstrVal ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR, VARIANT*) override { return E_FAIL; }

 private:
  TSimDevice FDevice;
};

class TSimMoniker final : public TSimComObject, public IMoniker {
 public:
  TSimMoniker(TWorldPtr world, int device) : TSimComObject(std::move(world)), FDevice(device) {}
  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IPersistStream || riid == IID_IMoniker)
      return SimAnswer(static_cast<IMoniker*>(this), ppv);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override {
    if (!pClassID) return E_POINTER;
    *pClassID = CLSID_CDeviceMoniker;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Load(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Save(IStream*, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    return FWorld->CreateDeviceFilter(FWorld, FDevice, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    TSimDevice info;
    if (!FWorld->DeviceInfo(FDevice, info)) return MK_E_UNAVAILABLE;
    if (FAILED(info.BindToStorageResult)) return info.BindToStorageResult;
    if (!(riid == IID_IPropertyBag)) return E_NOINTERFACE;
    *ppv = static_cast<IPropertyBag*>(new TSimPropertyBag(FWorld, info));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ComposeWith(IMoniker*, BOOL, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Enum(BOOL, IEnumMoniker** e) override {
    if (e) *e = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsEqual(IMoniker* other) override {
    if (!other) return E_INVALIDARG;
    LPOLESTR a = nullptr, b = nullptr;
    bool equal = SUCCEEDED(GetDisplayName(nullptr, nullptr, &a)) &&
                 SUCCEEDED(other->GetDisplayName(nullptr, nullptr, &b)) && FromOle(a) == FromOle(b);
    FWorld->Com.CoTaskMemFree(a);
    FWorld->Com.CoTaskMemFree(b);
    return equal ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Hash(DWORD* h) override {
    if (!h) return E_POINTER;
    *h = static_cast<DWORD>(FDevice);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsRunning(IBindCtx*, IMoniker*, IMoniker*) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Inverse(IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CommonPrefixWith(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RelativePathTo(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* name) override {
    if (!name) return E_POINTER;
    std::string text;
    {
      std::lock_guard g(FWorld->Mutex);
      text = FWorld->Devices[static_cast<std::size_t>(FDevice)].Info.DisplayName;
    }
    *name = TaskString(FWorld->Com, text);
    return *name ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG*, IMoniker**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE IsSystemMoniker(DWORD* kind) override {
    if (kind) *kind = 0;
    return S_FALSE;
  }

 private:
  int FDevice;
};

std::vector<TRefPtr<IMoniker>> Monikers(const TWorldPtr& world, const std::vector<int>& ids) {
  std::vector<TRefPtr<IMoniker>> out;
  for (int id : ids) out.push_back(TRefPtr<IMoniker>::Adopt(new TSimMoniker(world, id)));
  return out;
}

class TSimDevEnum final : public TSimComObject, public ICreateDevEnum {
 public:
  using TSimComObject::TSimComObject;
  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_ICreateDevEnum) return SimAnswer(static_cast<ICreateDevEnum*>(this), ppv);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID category, IEnumMoniker** out, DWORD) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    {
      std::lock_guard g(FWorld->Mutex);
      auto it = FWorld->EnumResults.find(category);
      if (it != FWorld->EnumResults.end() && it->second != S_OK) return it->second;
    }
    std::vector<int> ids = FWorld->DevicesOf(&category, 0);
    if (ids.empty()) return S_FALSE;
    *out = new TSimRefEnum<IEnumMoniker, IMoniker>(FWorld, IID_IEnumMoniker, Monikers(FWorld, ids));
    return S_OK;
  }
};

class TSimFilterMapper final : public TSimComObject, public IFilterMapper2 {
 public:
  using TSimComObject::TSimComObject;
  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IFilterMapper2) return SimAnswer(static_cast<IFilterMapper2*>(this), ppv);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE CreateCategory(REFCLSID, DWORD, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnregisterFilter(const CLSID*, LPCOLESTR, REFCLSID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RegisterFilter(REFCLSID, LPCWSTR, IMoniker**, const CLSID*, LPCOLESTR,
                                           const REGFILTER2*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE EnumMatchingFilters(IEnumMoniker** out, DWORD, BOOL, DWORD merit, BOOL, DWORD,
                                                const GUID*, const REGPINMEDIUM*, const CLSID*, BOOL, BOOL, DWORD,
                                                const GUID*, const REGPINMEDIUM*, const CLSID*) override {
    if (!out) return E_POINTER;
    *out = new TSimRefEnum<IEnumMoniker, IMoniker>(FWorld, IID_IEnumMoniker,
                                                   Monikers(FWorld, FWorld->DevicesOf(nullptr, merit)));
    return S_OK;
  }
};

// ---------------------------------------------------------------- clock

class TSimClock final : public TSimComObject, public IReferenceClock {
 public:
  using TSimComObject::TSimComObject;
  ~TSimClock() override {
    {
      std::lock_guard g(FMutex);
      FEnd = true;
    }
    FChanged.notify_all();
    if (FThread.joinable()) FThread.join();
  }
  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IReferenceClock) return SimAnswer(static_cast<IReferenceClock*>(this), ppv);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* pTime) override {
    if (!pTime) return E_POINTER;
    *pTime = FWorld->Now();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                                       DWORD_PTR* cookie) override {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!hEvent || baseTime + streamTime <= 0) return E_INVALIDARG;
    return Add(baseTime + streamTime, 0, hEvent, cookie);
  }
  HRESULT STDMETHODCALLTYPE AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime,
                                           HSEMAPHORE hSemaphore, DWORD_PTR* cookie) override {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!hSemaphore || startTime < 0 || periodTime <= 0) return E_INVALIDARG;
    return Add(startTime, periodTime, hSemaphore, cookie);
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD_PTR cookie) override {
    std::lock_guard g(FMutex);
    auto it = std::find_if(FAdvices.begin(), FAdvices.end(), [&](const TAdvice& a) { return a.Cookie == cookie; });
    if (it == FAdvices.end()) return S_FALSE;
    FAdvices.erase(it);
    return S_OK;
  }

 private:
  struct TAdvice {
    DWORD_PTR Cookie;
    REFERENCE_TIME Due;
    REFERENCE_TIME Period;  // 0: once
    TClockSemaphore Semaphore;
  };

  HRESULT Add(REFERENCE_TIME due, REFERENCE_TIME period, DWORD_PTR semaphore, DWORD_PTR* cookie) {
    {
      std::lock_guard g(FMutex);
      *cookie = FNextCookie++;
      FAdvices.push_back({*cookie, due, period, static_cast<TClockSemaphore>(semaphore)});
      if (!FThread.joinable()) FThread = std::thread([this] { Loop(); });
    }
    FChanged.notify_all();
    return S_OK;
  }

  void Loop() {
    std::unique_lock lk(FMutex);
    while (!FEnd) {
      if (FAdvices.empty()) {
        FChanged.wait(lk);
        continue;
      }
      REFERENCE_TIME next = FAdvices.front().Due;
      for (const TAdvice& a : FAdvices) next = std::min(next, a.Due);
      const REFERENCE_TIME now = FWorld->Now();
      if (next > now) {
        FChanged.wait_until(lk, ToSteady(*FWorld, next));
        continue;
      }
      std::vector<TClockSemaphore> due;
      for (auto it = FAdvices.begin(); it != FAdvices.end();) {
        if (it->Due <= now) {
          due.push_back(it->Semaphore);
          if (it->Period == 0) {
            it = FAdvices.erase(it);
            continue;
          }
          it->Due += it->Period;  // a late clock catches up, one release per period
        }
        ++it;
      }
      lk.unlock();
      for (TClockSemaphore s : due) FWorld->Com.ReleaseClockSemaphore(s);
      lk.lock();
    }
  }

  std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<TAdvice> FAdvices;
  DWORD_PTR FNextCookie = 1;
  bool FEnd = false;
  std::thread FThread;
};

// ---------------------------------------------------------------- filter graph manager

TRefPtr<IBaseFilter> FilterOf(IPin* pin) {
  PIN_INFO info{};
  if (!pin || FAILED(pin->QueryPinInfo(&info))) return nullptr;
  return TRefPtr<IBaseFilter>::Adopt(info.pFilter);
}

PIN_DIRECTION DirectionOf(IPin* pin) {
  PIN_DIRECTION d = PINDIR_INPUT;
  pin->QueryDirection(&d);
  return d;
}

std::vector<TRefPtr<IPin>> PinsOf(IBaseFilter* filter) {
  std::vector<TRefPtr<IPin>> pins;
  TRefPtr<IEnumPins> e;
  if (!filter || FAILED(filter->EnumPins(e.Receive())) || !e) return pins;
  IPin* p = nullptr;
  while (e->Next(1, &p, nullptr) == S_OK) pins.push_back(TRefPtr<IPin>::Adopt(p));
  return pins;
}

bool Connected(IPin* pin) {
  TRefPtr<IPin> peer;
  return SUCCEEDED(pin->ConnectedTo(peer.Receive())) && peer;
}

class TSimGraph final : public TSimComObject,
                        public IGraphBuilder,
                        public IMediaControl,
                        public IMediaEventEx,
                        public IMediaEventSink,
                        public IMediaFilter {
 public:
  explicit TSimGraph(TWorldPtr world) : TSimComObject(std::move(world)), FLog(std::make_shared<TGraphLog>()) {
    {
      std::lock_guard act(FLog->ActMutex);
      FLog->Post = [this](LONG code, LONG_PTR p1, LONG_PTR p2) { Queue(code, p1, p2); };
    }
    std::lock_guard g(FWorld->Mutex);
    FWorld->Graphs.push_back(FLog);
  }

  ~TSimGraph() override {
    {
      std::lock_guard act(FLog->ActMutex);
      FLog->Post = nullptr;
    }
    // The last reference to a graph stops it and lets every filter go.
    for (auto& f : Ordered()) f->Stop();
    std::vector<TEntry> filters;
    {
      std::lock_guard g(FMutex);
      filters.swap(FFilters);
    }
    for (auto& e : filters) {
      for (auto& pin : PinsOf(e.Filter.Get())) pin->Disconnect();
      e.Filter->JoinFilterGraph(nullptr, nullptr);
    }
    filters.clear();
    std::lock_guard g(FLog->Mutex);
    FLog->Info.bAlive = false;
    FLog->Info.Filters.clear();
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IFilterGraph || riid == IID_IGraphBuilder)
      return SimAnswer(static_cast<IGraphBuilder*>(this), ppv);
    if (riid == IID_IMediaControl || riid == IID_IDispatch) {
      if (HRESULT hr = FWorld->Take("Graph.QueryInterface.IMediaControl"); FAILED(hr)) return hr;
      return SimAnswer(static_cast<IMediaControl*>(this), ppv);
    }
    if (riid == IID_IMediaEvent || riid == IID_IMediaEventEx) {
      if (HRESULT hr = FWorld->Take("Graph.QueryInterface.IMediaEventEx"); FAILED(hr)) return hr;
      return SimAnswer(static_cast<IMediaEventEx*>(this), ppv);
    }
    if (riid == IID_IMediaEventSink) return SimAnswer(static_cast<IMediaEventSink*>(this), ppv);
    if (riid == IID_IMediaFilter || riid == IID_IPersist) {
      if (HRESULT hr = FWorld->Take("Graph.QueryInterface.IMediaFilter"); FAILED(hr)) return hr;
      return SimAnswer(static_cast<IMediaFilter*>(this), ppv);
    }
    return E_NOINTERFACE;
  }

  // --- IFilterGraph

  HRESULT STDMETHODCALLTYPE AddFilter(IBaseFilter* pFilter, LPCWSTR pName) override {
    if (!pFilter) return E_POINTER;
    if (HRESULT hr = FWorld->Take("Graph.AddFilter"); FAILED(hr)) return hr;
    std::string name = pName ? FromOle(pName) : std::string();
    HRESULT result = S_OK;
    {
      std::lock_guard g(FMutex);
      for (auto& e : FFilters)
        if (e.Filter.Get() == pFilter) return E_INVALIDARG;
      if (name.empty()) name = "Filter";
      auto taken = [&](const std::string& n) {
        return std::any_of(FFilters.begin(), FFilters.end(), [&](const TEntry& e) { return e.Name == n; });
      };
      if (taken(name)) {
        result = VFW_S_DUPLICATE_NAME;
        for (int i = 1;; ++i) {
          char suffix[16];
          std::snprintf(suffix, sizeof suffix, " %04d", i);
          if (!taken(name + suffix)) {
            name += suffix;
            break;
          }
        }
      }
      FFilters.push_back({TRefPtr<IBaseFilter>(pFilter), name});
    }
    const TOleString wide = ToOle(name);
    HRESULT hr = pFilter->JoinFilterGraph(this, wide.c_str());
    if (FAILED(hr)) {
      std::lock_guard g(FMutex);
      FFilters.erase(std::find_if(FFilters.begin(), FFilters.end(), [&](const TEntry& e) { return e.Filter.Get() == pFilter; }));
      return hr;
    }
    if (TRefPtr<IReferenceClock> clock = Clock()) pFilter->SetSyncSource(clock.Get());
    LogFilters();
    return result;
  }

  HRESULT STDMETHODCALLTYPE RemoveFilter(IBaseFilter* pFilter) override {
    if (!pFilter) return E_POINTER;
    TRefPtr<IBaseFilter> held;
    {
      std::lock_guard g(FMutex);
      auto it = std::find_if(FFilters.begin(), FFilters.end(), [&](const TEntry& e) { return e.Filter.Get() == pFilter; });
      if (it == FFilters.end()) return VFW_E_NOT_FOUND;
      held = it->Filter;
      FFilters.erase(it);
    }
    held->Stop();
    for (auto& pin : PinsOf(held.Get())) {
      TRefPtr<IPin> peer;
      if (SUCCEEDED(pin->ConnectedTo(peer.Receive())) && peer) peer->Disconnect();
      pin->Disconnect();
    }
    held->JoinFilterGraph(nullptr, nullptr);
    LogFilters();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE EnumFilters(IEnumFilters** ppEnum) override {
    if (!ppEnum) return E_POINTER;
    std::vector<TRefPtr<IBaseFilter>> list;
    {
      std::lock_guard g(FMutex);
      for (auto& e : FFilters) list.push_back(e.Filter);
    }
    *ppEnum = new TSimRefEnum<IEnumFilters, IBaseFilter>(FWorld, IID_IEnumFilters, std::move(list));
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) override {
    if (!pName || !ppFilter) return E_POINTER;
    *ppFilter = nullptr;
    const std::string name = FromOle(pName);
    std::lock_guard g(FMutex);
    for (auto& e : FFilters) {
      if (e.Name == name) {
        *ppFilter = e.Filter.Get();
        (*ppFilter)->AddRef();
        return S_OK;
      }
    }
    return VFW_E_NOT_FOUND;
  }

  HRESULT STDMETHODCALLTYPE ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) override {
    if (!ppinOut || !ppinIn) return E_POINTER;
    {
      std::lock_guard s(FStateMutex);
      if (FState != State_Stopped) return VFW_E_NOT_STOPPED;
    }
    if (!Contains(FilterOf(ppinOut).Get()) || !Contains(FilterOf(ppinIn).Get())) return VFW_E_NOT_IN_GRAPH;
    return ppinOut->Connect(ppinIn, pmt);
  }

  HRESULT STDMETHODCALLTYPE Reconnect(IPin*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE Disconnect(IPin* ppin) override {
    if (!ppin) return E_POINTER;
    return ppin->Disconnect();
  }

  HRESULT STDMETHODCALLTYPE SetDefaultSyncSource() override {
    TRefPtr<IReferenceClock> clock = MakeClock();
    return SetSyncSource(clock.Get());
  }

  // --- IGraphBuilder

  HRESULT STDMETHODCALLTYPE Connect(IPin* ppinOut, IPin* ppinIn) override {
    HRESULT hr = ConnectDirect(ppinOut, ppinIn, nullptr);
    return SUCCEEDED(hr) ? hr : (hr == E_POINTER || hr == VFW_E_NOT_IN_GRAPH ? hr : VFW_E_CANNOT_CONNECT);
  }

  HRESULT STDMETHODCALLTYPE Render(IPin* ppinOut) override {
    if (!ppinOut) return E_POINTER;
    if (DirectionOf(ppinOut) != PINDIR_OUTPUT) return E_INVALIDARG;
    if (Connected(ppinOut)) return VFW_E_ALREADY_CONNECTED;
    TRefPtr<IBaseFilter> own = FilterOf(ppinOut);
    for (auto& f : Filters()) {
      if (f.Get() == own.Get()) continue;
      for (auto& pin : PinsOf(f.Get())) {
        if (DirectionOf(pin.Get()) == PINDIR_INPUT && !Connected(pin.Get()) &&
            SUCCEEDED(ConnectDirect(ppinOut, pin.Get(), nullptr)))
          return S_OK;
      }
    }
    // No filter of the graph takes the stream: the default audio renderer joins it.
    const int device = FWorld->DefaultDevice(CLSID_AudioRendererCategory);
    if (device < 0) return VFW_E_CANNOT_RENDER;
    void* object = nullptr;
    if (FAILED(FWorld->CreateDeviceFilter(FWorld, device, IID_IBaseFilter, &object))) return VFW_E_CANNOT_RENDER;
    auto renderer = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(object));
    TSimDevice info;
    FWorld->DeviceInfo(device, info);
    const TOleString name = ToOle(info.FriendlyName);
    if (FAILED(AddFilter(renderer.Get(), name.c_str()))) return VFW_E_CANNOT_RENDER;
    for (auto& pin : PinsOf(renderer.Get())) {
      if (DirectionOf(pin.Get()) == PINDIR_INPUT && SUCCEEDED(ConnectDirect(ppinOut, pin.Get(), nullptr))) return S_OK;
    }
    RemoveFilter(renderer.Get());
    return VFW_E_CANNOT_RENDER;
  }

  HRESULT STDMETHODCALLTYPE RenderFile(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter** f) override {
    if (f) *f = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetLogFile(DWORD_PTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Abort() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ShouldOperationContinue() override { return S_OK; }

  // --- IDispatch (of IMediaControl and IMediaEventEx)

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  // --- IMediaControl (Stop and Pause serve IMediaFilter too)

  HRESULT STDMETHODCALLTYPE Run() override {
    if (HRESULT hr = FWorld->Take("Graph.Run"); FAILED(hr)) return hr;
    std::lock_guard s(FStateMutex);
    HRESULT result = S_OK;
    if (FState == State_Stopped) result = PauseLocked();
    if (FAILED(result)) return result;
    REFERENCE_TIME start = 0;
    if (TRefPtr<IReferenceClock> clock = Clock()) {
      clock->GetTime(&start);
      start += 100000;  // 10 ms for the filters to get going
    }
    for (auto& f : Ordered()) {
      HRESULT hr = f->Run(start);
      if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    FState = State_Running;
    FCompletes = 0;
    LogState("Run");
    return result;
  }

  HRESULT STDMETHODCALLTYPE Pause() override {
    if (HRESULT hr = FWorld->Take("Graph.Pause"); FAILED(hr)) return hr;
    std::lock_guard s(FStateMutex);
    HRESULT hr = PauseLocked();
    LogState("Pause");
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Stop() override {
    if (HRESULT hr = FWorld->Take("Graph.Stop"); FAILED(hr)) return hr;
    std::lock_guard s(FStateMutex);
    HRESULT result = S_OK;
    for (auto& f : Ordered()) {
      HRESULT hr = f->Stop();
      if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    FState = State_Stopped;
    FCompletes = 0;
    LogState("Stop");
    return result;
  }

  HRESULT STDMETHODCALLTYPE GetState(LONG, OAFilterState* pfs) override {
    if (!pfs) return E_POINTER;
    std::lock_guard s(FStateMutex);
    *pfs = FState;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RenderFile(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddSourceFilter(BSTR, IDispatch** d) override {
    if (d) *d = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_FilterCollection(IDispatch** d) override {
    if (d) *d = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_RegFilterCollection(IDispatch** d) override {
    if (d) *d = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE StopWhenReady() override { return Stop(); }

  // --- IMediaFilter

  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override {
    if (!pClassID) return E_POINTER;
    *pClassID = CLSID_FilterGraph;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override { return Run(); }
  HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE* State) override {
    if (!State) return E_POINTER;
    std::lock_guard s(FStateMutex);
    *State = FState;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* pClock) override {
    {
      std::lock_guard g(FMutex);
      FClock = pClock;
    }
    for (auto& f : Filters()) f->SetSyncSource(pClock);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** pClock) override {
    if (!pClock) return E_POINTER;
    *pClock = nullptr;
    if (HRESULT hr = FWorld->Take("Graph.GetSyncSource"); FAILED(hr)) return hr;
    TRefPtr<IReferenceClock> clock = Clock();
    if (!clock) {
      clock = MakeClock();
      SetSyncSource(clock.Get());
    }
    *pClock = clock.Detach();
    return S_OK;
  }

  // --- IMediaEvent(Ex)

  HRESULT STDMETHODCALLTYPE GetEventHandle(OAEVENT* hEvent) override {
    if (!hEvent) return E_POINTER;
    *hEvent = reinterpret_cast<OAEVENT>(this);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetEvent(LONG* code, LONG_PTR* p1, LONG_PTR* p2, LONG msTimeout) override {
    if (!code || !p1 || !p2) return E_POINTER;
    std::unique_lock lk(FEventMutex);
    auto ready = [&] { return !FEvents.empty(); };
    if (msTimeout < 0) {
      FEventChanged.wait(lk, ready);
    } else if (msTimeout > 0) {
      FEventChanged.wait_for(lk, std::chrono::milliseconds(msTimeout), ready);
    }
    if (FEvents.empty()) {
      *code = 0;
      *p1 = *p2 = 0;
      return E_ABORT;
    }
    const TEvent e = FEvents.front();
    FEvents.pop_front();
    const std::size_t pending = FEvents.size();
    lk.unlock();
    *code = e.Code;
    *p1 = e.P1;
    *p2 = e.P2;
    std::lock_guard g(FLog->Mutex);
    FLog->Info.PendingEvents = pending;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE WaitForCompletion(LONG msTimeout, LONG* pEvCode) override {
    if (!pEvCode) return E_POINTER;
    std::unique_lock lk(FEventMutex);
    auto done = [&] {
      return std::any_of(FEvents.begin(), FEvents.end(), [](const TEvent& e) {
        return e.Code == EC_COMPLETE || e.Code == EC_ERRORABORT || e.Code == EC_USERABORT;
      });
    };
    if (msTimeout < 0) {
      FEventChanged.wait(lk, done);
    } else if (!FEventChanged.wait_for(lk, std::chrono::milliseconds(msTimeout), done)) {
      *pEvCode = 0;
      return E_ABORT;
    }
    for (const TEvent& e : FEvents)
      if (e.Code == EC_COMPLETE || e.Code == EC_ERRORABORT || e.Code == EC_USERABORT) *pEvCode = e.Code;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CancelDefaultHandling(LONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RestoreDefaultHandling(LONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE FreeEventParams(LONG code, LONG_PTR p1, LONG_PTR p2) override {
    {
      std::lock_guard g(FLog->Mutex);
      FLog->Info.Freed.push_back({code, p1, p2});
    }
    if (code == EC_DEVICE_LOST && p1) reinterpret_cast<IUnknown*>(p1)->Release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetNotifyWindow(OAHWND hwnd, LONG lMsg, LONG_PTR lInstanceData) override {
    std::size_t pending;
    LONG flags;
    {
      std::lock_guard lk(FEventMutex);
      FWindow = hwnd;
      FMessage = lMsg;
      FInstance = lInstanceData;
      pending = FEvents.size();
      flags = FFlags;
    }
    {
      std::lock_guard g(FLog->Mutex);
      FLog->Info.NotifyWindow = hwnd;
      FLog->Info.NotifyMessage = lMsg;
      FLog->Info.NotifyInstance = lInstanceData;
    }
    if (hwnd && flags == 0)
      for (std::size_t i = 0; i < pending; ++i) PostNotify(hwnd, lMsg, lInstanceData);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetNotifyFlags(LONG lNoNotifyFlags) override {
    if (lNoNotifyFlags != 0 && lNoNotifyFlags != kNoNotify) return E_INVALIDARG;
    {
      std::lock_guard lk(FEventMutex);
      FFlags = lNoNotifyFlags;
    }
    std::lock_guard g(FLog->Mutex);
    FLog->Info.NotifyFlags = lNoNotifyFlags;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNotifyFlags(LONG* flags) override {
    if (!flags) return E_POINTER;
    std::lock_guard lk(FEventMutex);
    *flags = FFlags;
    return S_OK;
  }

  // --- IMediaEventSink

  HRESULT STDMETHODCALLTYPE Notify(LONG code, LONG_PTR p1, LONG_PTR p2) override {
    if (code == EC_COMPLETE) {
      // One completion for the graph, once every renderer has completed.
      std::size_t renderers = 0;
      for (auto& f : Filters()) {
        bool bInput = false, bOutput = false;
        for (auto& pin : PinsOf(f.Get())) {
          if (DirectionOf(pin.Get()) == PINDIR_OUTPUT) bOutput = true;
          else if (Connected(pin.Get())) bInput = true;
        }
        if (bInput && !bOutput) ++renderers;
      }
      std::lock_guard s(FEventMutex);
      if (++FCompletes < renderers) return S_OK;
    }
    Queue(code, p1, p2);
    return S_OK;
  }

 private:
  struct TEntry {
    TRefPtr<IBaseFilter> Filter;
    std::string Name;
  };
  struct TEvent {
    LONG Code;
    LONG_PTR P1, P2;
  };

  void Queue(LONG code, LONG_PTR p1, LONG_PTR p2) {
    if (code == EC_DEVICE_LOST) {
      auto token = std::make_unique<TEventToken>(FLog);
      p1 = reinterpret_cast<LONG_PTR>(static_cast<IUnknown*>(token.get()));
      std::lock_guard g(FWorld->Mutex);
      FWorld->Tokens.push_back(std::move(token));
    }
    OAHWND wnd;
    LONG msg, flags;
    LONG_PTR instance;
    std::size_t pending;
    {
      std::lock_guard lk(FEventMutex);
      FEvents.push_back({code, p1, p2});
      wnd = FWindow;
      msg = FMessage;
      instance = FInstance;
      flags = FFlags;
      pending = FEvents.size();
    }
    FEventChanged.notify_all();
    {
      std::lock_guard g(FLog->Mutex);
      FLog->Info.PendingEvents = pending;
    }
    if (wnd && flags == 0) PostNotify(wnd, msg, instance);
  }

  void PostNotify(OAHWND wnd, LONG msg, LONG_PTR instance) {
    if (FWorld->Messages.PostMessage(static_cast<THiddenWindow>(wnd), static_cast<std::uint32_t>(msg), 0, instance)) {
      std::lock_guard g(FLog->Mutex);
      ++FLog->Info.PostedMessages;
    }
  }

  HRESULT PauseLocked() {
    if (FState == State_Stopped) {
      TRefPtr<IReferenceClock> clock = Clock();
      if (!clock) {
        clock = MakeClock();
        SetSyncSource(clock.Get());
      }
    }
    HRESULT result = S_OK;
    for (auto& f : Ordered()) {
      HRESULT hr = f->Pause();
      if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    FState = State_Paused;
    return result;
  }

  TRefPtr<IReferenceClock> MakeClock() {
    void* clock = nullptr;
    SimCreateClock(FWorld, IID_IReferenceClock, &clock);
    return TRefPtr<IReferenceClock>::Adopt(static_cast<IReferenceClock*>(clock));
  }

  TRefPtr<IReferenceClock> Clock() {
    std::lock_guard g(FMutex);
    return FClock;
  }

  std::vector<TRefPtr<IBaseFilter>> Filters() {
    std::lock_guard g(FMutex);
    std::vector<TRefPtr<IBaseFilter>> list;
    for (auto& e : FFilters) list.push_back(e.Filter);
    return list;
  }

  bool Contains(IBaseFilter* filter) {
    if (!filter) return false;
    std::lock_guard g(FMutex);
    return std::any_of(FFilters.begin(), FFilters.end(), [&](const TEntry& e) { return e.Filter.Get() == filter; });
  }

  // The graph's filters, every filter after all the filters it feeds (renderers first), as the
  // system orders state changes.
  std::vector<TRefPtr<IBaseFilter>> Ordered() {
    std::vector<TRefPtr<IBaseFilter>> left = Filters();
    std::vector<std::vector<IBaseFilter*>> feeds(left.size());
    for (std::size_t i = 0; i < left.size(); ++i) {
      for (auto& pin : PinsOf(left[i].Get())) {
        if (DirectionOf(pin.Get()) != PINDIR_OUTPUT) continue;
        TRefPtr<IPin> peer;
        if (SUCCEEDED(pin->ConnectedTo(peer.Receive())) && peer) feeds[i].push_back(FilterOf(peer.Get()).Get());
      }
    }
    std::vector<TRefPtr<IBaseFilter>> ordered;
    std::vector<bool> done(left.size(), false);
    while (ordered.size() < left.size()) {
      bool progress = false;
      for (std::size_t i = 0; i < left.size(); ++i) {
        if (done[i]) continue;
        bool ready = true;
        for (IBaseFilter* fed : feeds[i]) {
          for (std::size_t j = 0; j < left.size(); ++j)
            if (!done[j] && j != i && left[j].Get() == fed) ready = false;
        }
        if (ready) {
          done[i] = true;
          ordered.push_back(left[i]);
          progress = true;
        }
      }
      if (!progress) {  // a cycle: the rest in the order they were added
        for (std::size_t i = 0; i < left.size(); ++i)
          if (!done[i]) ordered.push_back(left[i]), done[i] = true;
      }
    }
    return ordered;
  }

  void LogFilters() {
    std::vector<std::string> names;
    {
      std::lock_guard g(FMutex);
      for (auto& e : FFilters) names.push_back(e.Name);
    }
    std::lock_guard g(FLog->Mutex);
    FLog->Info.Filters = std::move(names);
  }

  void LogState(const char* transition) {
    std::lock_guard g(FLog->Mutex);
    FLog->Info.State = FState;
    FLog->Info.Transitions.push_back(transition);
  }

  std::shared_ptr<TGraphLog> FLog;
  std::mutex FMutex;  // filters and clock
  std::vector<TEntry> FFilters;
  TRefPtr<IReferenceClock> FClock;
  std::mutex FStateMutex;  // one state change at a time; held while the filters change state
  FILTER_STATE FState = State_Stopped;
  std::mutex FEventMutex;
  std::condition_variable FEventChanged;
  std::deque<TEvent> FEvents;
  OAHWND FWindow = 0;
  LONG FMessage = 0;
  LONG_PTR FInstance = 0;
  LONG FFlags = 0;
  std::size_t FCompletes = 0;
};

// ---------------------------------------------------------------- capture graph builder

GUID CategoryOf(IPin* pin) {
  void* c = nullptr;
  if (FAILED(pin->QueryInterface(IID_ISimPinCategory, &c)) || !c) return GUID_NULL;
  auto* category = static_cast<ISimPinCategory*>(c);
  const GUID g = category->Category();
  category->Release();
  return g;
}

bool OffersMajorType(TSimCom& com, IPin* pin, const GUID& type) {
  TRefPtr<IEnumMediaTypes> e;
  if (FAILED(pin->EnumMediaTypes(e.Receive())) || !e) return false;
  AM_MEDIA_TYPE* item = nullptr;
  bool found = false;
  while (!found && e->Next(1, &item, nullptr) == S_OK) {
    found = item->majortype == type;
    SimDeleteMediaType(com, item);
  }
  return found;
}

class TSimCaptureBuilder final : public TSimComObject, public ICaptureGraphBuilder2 {
 public:
  using TSimComObject::TSimComObject;
  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_ICaptureGraphBuilder2)
      return SimAnswer(static_cast<ICaptureGraphBuilder2*>(this), ppv);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE SetFiltergraph(IGraphBuilder* pfg) override {
    if (!pfg) return E_POINTER;
    if (HRESULT hr = FWorld->Take("Builder.SetFiltergraph"); FAILED(hr)) return hr;
    if (FGraph) return E_UNEXPECTED;
    FGraph = pfg;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFiltergraph(IGraphBuilder** ppfg) override {
    if (!ppfg) return E_POINTER;
    if (!FGraph) {
      void* g = nullptr;
      if (HRESULT hr = SimCreateGraph(FWorld, IID_IGraphBuilder, &g); FAILED(hr)) return hr;
      FGraph = TRefPtr<IGraphBuilder>::Adopt(static_cast<IGraphBuilder*>(g));
    }
    *ppfg = FGraph.Get();
    (*ppfg)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetOutputFileName(const GUID*, LPCOLESTR, IBaseFilter**, IFileSinkFilter**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindInterface(const GUID* pCategory, const GUID* pType, IBaseFilter* pf, REFIID riid,
                                          void** ppint) override {
    if (!pf || !ppint) return E_POINTER;
    *ppint = nullptr;
    for (auto& pin : PinsOf(pf)) {
      if (!Matches(pin.Get(), nullptr, pCategory, pType, false)) continue;
      if (SUCCEEDED(pin->QueryInterface(riid, ppint))) return S_OK;
    }
    if (!pCategory && SUCCEEDED(pf->QueryInterface(riid, ppint))) return S_OK;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE RenderStream(const GUID* pCategory, const GUID* pType, IUnknown* pSource,
                                         IBaseFilter* pfCompressor, IBaseFilter* pfRenderer) override {
    if (!pSource) return E_POINTER;
    if (HRESULT hr = FWorld->Take("Builder.RenderStream"); FAILED(hr)) return hr;
    if (!FGraph) return E_UNEXPECTED;
    TRefPtr<IPin> out;
    if (FAILED(FindPin(pSource, PINDIR_OUTPUT, pCategory, pType, TRUE, 0, out.Receive()))) return E_FAIL;
    if (pfCompressor) {
      TRefPtr<IPin> in;
      if (FAILED(FindPin(pfCompressor, PINDIR_INPUT, nullptr, nullptr, TRUE, 0, in.Receive()))) return E_FAIL;
      if (HRESULT hr = FGraph->Connect(out.Get(), in.Get()); FAILED(hr)) return hr;
      if (FAILED(FindPin(pfCompressor, PINDIR_OUTPUT, nullptr, nullptr, TRUE, 0, out.Receive()))) return E_FAIL;
    }
    if (!pfRenderer) return FGraph->Render(out.Get());
    TRefPtr<IPin> in;
    if (FAILED(FindPin(pfRenderer, PINDIR_INPUT, nullptr, nullptr, TRUE, 0, in.Receive()))) return E_FAIL;
    return FGraph->Connect(out.Get(), in.Get());
  }
  HRESULT STDMETHODCALLTYPE ControlStream(const GUID*, const GUID*, IBaseFilter*, REFERENCE_TIME*, REFERENCE_TIME*,
                                          WORD, WORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE AllocCapFile(LPCOLESTR, DWORDLONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CopyCaptureFile(LPOLESTR, LPOLESTR, int, IAMCopyCaptureFileProgress*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindPin(IUnknown* pSource, PIN_DIRECTION pindir, const GUID* pCategory, const GUID* pType,
                                    BOOL fUnconnected, int num, IPin** ppPin) override {
    if (!pSource || !ppPin) return E_POINTER;
    *ppPin = nullptr;
    void* asPin = nullptr;
    if (SUCCEEDED(pSource->QueryInterface(IID_IPin, &asPin))) {
      auto pin = TRefPtr<IPin>::Adopt(static_cast<IPin*>(asPin));
      if (num != 0 || !Matches(pin.Get(), &pindir, pCategory, pType, fUnconnected != 0)) return E_FAIL;
      *ppPin = pin.Detach();
      return S_OK;
    }
    void* asFilter = nullptr;
    if (FAILED(pSource->QueryInterface(IID_IBaseFilter, &asFilter))) return E_NOINTERFACE;
    auto filter = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(asFilter));
    int index = 0;
    for (auto& pin : PinsOf(filter.Get())) {
      if (!Matches(pin.Get(), &pindir, pCategory, pType, fUnconnected != 0)) continue;
      if (index++ == num) {
        *ppPin = pin.Detach();
        return S_OK;
      }
    }
    return E_FAIL;
  }

 private:
  bool Matches(IPin* pin, const PIN_DIRECTION* dir, const GUID* category, const GUID* type, bool unconnected) {
    if (dir && DirectionOf(pin) != *dir) return false;
    if (unconnected && Connected(pin)) return false;
    if (category && !(CategoryOf(pin) == *category)) return false;
    if (type && !OffersMajorType(FWorld->Com, pin, *type)) {
      AM_MEDIA_TYPE mt{};
      if (FAILED(pin->ConnectionMediaType(&mt))) return false;
      const bool same = mt.majortype == *type;
      SimFreeMediaType(FWorld->Com, mt);
      if (!same) return false;
    }
    return true;
  }

  TRefPtr<IGraphBuilder> FGraph;
};

}  // namespace

HRESULT SimCreateGraph(const TWorldPtr& world, REFIID iid, void** ppv) {
  auto* g = new TSimGraph(world);
  return SimHandOut(g, static_cast<IGraphBuilder*>(g), iid, ppv);
}

HRESULT SimCreateCaptureGraphBuilder(const TWorldPtr& world, REFIID iid, void** ppv) {
  auto* b = new TSimCaptureBuilder(world);
  return SimHandOut(b, static_cast<ICaptureGraphBuilder2*>(b), iid, ppv);
}

HRESULT SimCreateDevEnum(const TWorldPtr& world, REFIID iid, void** ppv) {
  auto* e = new TSimDevEnum(world);
  return SimHandOut(e, static_cast<ICreateDevEnum*>(e), iid, ppv);
}

HRESULT SimCreateFilterMapper(const TWorldPtr& world, REFIID iid, void** ppv) {
  auto* m = new TSimFilterMapper(world);
  return SimHandOut(m, static_cast<IFilterMapper2*>(m), iid, ppv);
}

HRESULT SimCreateClock(const TWorldPtr& world, REFIID iid, void** ppv) {
  auto* c = new TSimClock(world);
  return SimHandOut(c, static_cast<IReferenceClock*>(c), iid, ppv);
}

HRESULT SimCreateMoniker(const TWorldPtr& world, int device, IMoniker** out) {
  *out = new TSimMoniker(world, device);
  return S_OK;
}

// ---------------------------------------------------------------- the simulation

TSimDShow::TSimDShow(TSimPlatform& platform)
    : FPlatform(platform), FWorld(std::make_shared<TWorld>(platform.SimCom(), platform.Messages())) {
  TSimCom& com = platform.SimCom();
  TWorldPtr w = FWorld;
  com.AddClass(CLSID_SystemDeviceEnum, [w](REFIID iid, void** ppv) { return SimCreateDevEnum(w, iid, ppv); });
  com.AddClass(CLSID_FilterGraph, [w](REFIID iid, void** ppv) { return SimCreateGraph(w, iid, ppv); });
  com.AddClass(CLSID_CaptureGraphBuilder2,
               [w](REFIID iid, void** ppv) { return SimCreateCaptureGraphBuilder(w, iid, ppv); });
  com.AddClass(CLSID_MemoryAllocator, [w](REFIID iid, void** ppv) { return SimCreateAllocator(w, iid, ppv); });
  com.AddClass(CLSID_SystemClock, [w](REFIID iid, void** ppv) { return SimCreateClock(w, iid, ppv); });
  com.AddClass(CLSID_FilterMapper2, [w](REFIID iid, void** ppv) { return SimCreateFilterMapper(w, iid, ppv); });
  com.AddClass(CLSID_SampleGrabber, [w](REFIID iid, void** ppv) { return SimCreateSampleGrabber(w, iid, ppv); });
  std::weak_ptr<TWorld> weak = FWorld;
  com.SetDisplayNameParser([weak](const std::string& name, IMoniker** moniker) -> HRESULT {
    TWorldPtr world = weak.lock();
    if (!world) return MK_E_SYNTAX;
    static const std::string kAny = "@device:*:";
    if (name.rfind(kAny, 0) == 0) {
      GUID category;
      if (!GuidFromString(name.substr(kAny.size()), category)) return MK_E_SYNTAX;
      const int id = world->DefaultDevice(category);
      if (id < 0) return MK_E_NOOBJECT;
      return SimCreateMoniker(world, id, moniker);
    }
    if (name.rfind("@device:", 0) != 0) return MK_E_SYNTAX;
    int found = -1;
    {
      std::lock_guard g(world->Mutex);
      for (std::size_t i = 0; i < world->Devices.size(); ++i)
        if (!world->Devices[i].bRemoved && world->Devices[i].Info.DisplayName == name) found = static_cast<int>(i);
    }
    if (found < 0) return MK_E_NOOBJECT;
    return SimCreateMoniker(world, found, moniker);
  });
}

TSimDShow::~TSimDShow() {
  TSimCom& com = FPlatform.SimCom();
  for (const CLSID& c : {CLSID_SystemDeviceEnum, CLSID_FilterGraph, CLSID_CaptureGraphBuilder2, CLSID_MemoryAllocator,
                         CLSID_SystemClock, CLSID_FilterMapper2, CLSID_SampleGrabber})
    com.RemoveClass(c);
  com.SetDisplayNameParser(nullptr);
}

std::string TSimDShow::MakeDisplayName(const GUID& category, const std::string& friendlyName, int id) {
  return "@device:cm:" + GuidToString(category) + "\\" + friendlyName + (id > 0 ? "#" + std::to_string(id) : "");
}

int TSimDShow::AddDevice(const TSimDevice& device) {
  std::lock_guard g(FWorld->Mutex);
  TWorld::TDev d{device, false};
  const int id = static_cast<int>(FWorld->Devices.size());
  if (d.Info.DisplayName.empty()) {
    d.Info.DisplayName = MakeDisplayName(device.Category, device.FriendlyName, 0);
    for (auto& other : FWorld->Devices) {
      if (other.Info.DisplayName == d.Info.DisplayName) {
        d.Info.DisplayName = MakeDisplayName(device.Category, device.FriendlyName, id);
        break;
      }
    }
  }
  FWorld->Devices.push_back(std::move(d));
  return id;
}

int TSimDShow::AddAudioRenderer(const std::string& friendlyName) {
  TSimDevice d;
  d.Category = CLSID_AudioRendererCategory;
  d.Kind = ESimDeviceKind::AudioRenderer;
  d.FriendlyName = friendlyName;
  d.ClassId = GuidToString(CLSID_DSoundRender);
  d.Merit = 0x00800000;
  return AddDevice(d);
}

int TSimDShow::AddAudioCapture(const std::string& friendlyName) {
  TSimDevice d;
  d.Category = CLSID_AudioInputDeviceCategory;
  d.Kind = ESimDeviceKind::AudioCapture;
  d.FriendlyName = friendlyName;
  d.ClassId = "{E30629D2-27E5-11CE-875D-00608CB78066}";
  d.Merit = 0x00200000;
  return AddDevice(d);
}

int TSimDShow::AddFilter(const std::string& friendlyName, const GUID& classId) {
  TSimDevice d;
  d.Category = CLSID_LegacyAmFilterCategory;
  d.Kind = ESimDeviceKind::Filter;
  d.FriendlyName = friendlyName;
  d.ClassId = GuidToString(classId);
  d.DisplayName = "@device:sw:" + GuidToString(CLSID_LegacyAmFilterCategory) + "\\" + GuidToString(classId);
  return AddDevice(d);
}

TSimDevice TSimDShow::Device(int id) {
  std::lock_guard g(FWorld->Mutex);
  return FWorld->Devices.at(static_cast<std::size_t>(id)).Info;
}

void TSimDShow::SetDevice(int id, const TSimDevice& device) {
  std::lock_guard g(FWorld->Mutex);
  FWorld->Devices.at(static_cast<std::size_t>(id)).Info = device;
}

void TSimDShow::RemoveDevice(int id) {
  std::lock_guard g(FWorld->Mutex);
  FWorld->Devices.at(static_cast<std::size_t>(id)).bRemoved = true;
}

void TSimDShow::SetDefaultDevice(const GUID& category, int id) {
  std::lock_guard g(FWorld->Mutex);
  FWorld->Defaults[category] = id;
}

void TSimDShow::SetClassEnumeratorResult(const GUID& category, HRESULT hr) {
  std::lock_guard g(FWorld->Mutex);
  FWorld->EnumResults[category] = hr;
}

void TSimDShow::FailNext(const std::string& point, HRESULT hr, unsigned count, unsigned after) {
  std::lock_guard g(FWorld->Mutex);
  for (unsigned i = 0; i < after; ++i) FWorld->Failures[point].push_back(S_OK);
  for (unsigned i = 0; i < count; ++i) FWorld->Failures[point].push_back(hr);
}

void TSimDShow::SetAllocatorLimit(LONG bytes) {
  std::lock_guard g(FWorld->Mutex);
  FWorld->AllocatorLimit = bytes;
}

void TSimDShow::SetRendererKeepsSamples(bool bKeeps) {
  std::lock_guard g(FWorld->Mutex);
  FWorld->bRendererKeepsSamples = bKeeps;
}

void TSimDShow::SetRendererAllocator(bool bOffers) {
  std::lock_guard g(FWorld->Mutex);
  FWorld->bRendererAllocator = bOffers;
}

void TSimDShow::SetCaptureFormats(const std::vector<WAVEFORMATEX>& formats) {
  std::lock_guard g(FWorld->Mutex);
  FWorld->CaptureFormats = formats;
}

void TSimDShow::ForgetHistory() {
  std::lock_guard g(FWorld->Mutex);
  auto gone = [](const auto& log) {
    std::lock_guard l(log->Mutex);
    return !log->Info.bAlive;
  };
  std::erase_if(FWorld->Renderers, gone);
  std::erase_if(FWorld->Graphs, gone);
}

std::size_t TSimDShow::RendererCount() {
  std::lock_guard g(FWorld->Mutex);
  return FWorld->Renderers.size();
}

TSimRendererInfo TSimDShow::Renderer(std::size_t index) {
  std::shared_ptr<TRendererLog> log;
  {
    std::lock_guard g(FWorld->Mutex);
    log = FWorld->Renderers.at(index);
  }
  std::lock_guard g(log->Mutex);
  return log->Info;
}

void TSimDShow::LoseRendererDevice(std::size_t index) {
  std::shared_ptr<TRendererLog> log;
  {
    std::lock_guard g(FWorld->Mutex);
    log = FWorld->Renderers.at(index);
  }
  std::lock_guard act(log->ActMutex);
  if (log->LoseDevice) log->LoseDevice();
}

std::size_t TSimDShow::GraphCount() {
  std::lock_guard g(FWorld->Mutex);
  return FWorld->Graphs.size();
}

TSimGraphInfo TSimDShow::Graph(std::size_t index) {
  std::shared_ptr<TGraphLog> log;
  {
    std::lock_guard g(FWorld->Mutex);
    log = FWorld->Graphs.at(index);
  }
  std::lock_guard g(log->Mutex);
  return log->Info;
}

std::size_t TSimDShow::LiveObjects() { return static_cast<std::size_t>(FWorld->LiveObjects.load()); }

void TSimDShow::PostGraphEvent(std::size_t graph, LONG code, LONG_PTR param1, LONG_PTR param2) {
  std::shared_ptr<TGraphLog> log;
  {
    std::lock_guard g(FWorld->Mutex);
    log = FWorld->Graphs.at(graph);
  }
  std::lock_guard act(log->ActMutex);
  if (log->Post) log->Post(code, param1, param2);
}

void TSimDShow::PostDeviceLost(std::size_t graph) { PostGraphEvent(graph, EC_DEVICE_LOST, 0, 0); }

}  // namespace portwise::platform::sim

#pragma once
// Inside the DirectShow simulation: the world the simulated objects share, COM plumbing, media
// types, the memory allocator and the base of the simulated filters and pins. Not for tests.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "platform/RefPtr.h"
#include "platform/sim/SimCom.h"
#include "platform/sim/SimDShow.h"

namespace portwise::platform::sim {

struct TGuidLess {
  bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

// What a renderer filter shares with the world, for the test to read.
struct TRendererLog {
  std::mutex Mutex;
  TSimRendererInfo Info;
  std::mutex ActMutex;               // guards LoseDevice against the filter's end
  std::function<void()> LoseDevice;  // set while the filter lives
};

// What a graph shares with the world.
struct TGraphLog {
  std::mutex Mutex;
  TSimGraphInfo Info;
  std::mutex ActMutex;                                 // guards Post against the graph's end
  std::function<void(LONG, LONG_PTR, LONG_PTR)> Post;  // set while the graph lives
};

// The reference an EC_DEVICE_LOST event carries. The world keeps it, so a second free is seen
// (and counted) instead of touching freed memory.
class TEventToken final : public IUnknown {
 public:
  explicit TEventToken(std::shared_ptr<TGraphLog> log) : FLog(std::move(log)) {}
  virtual ~TEventToken() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++FRef; }
  ULONG STDMETHODCALLTYPE Release() override;

 private:
  std::shared_ptr<TGraphLog> FLog;
  std::atomic<long> FRef{1};
};

struct TSimDShow::TWorld {
  TWorld(TSimCom& com, IMessages& messages) : Com(com), Messages(messages) {}

  TSimCom& Com;
  IMessages& Messages;

  std::mutex Mutex;
  struct TDev {
    TSimDevice Info;
    bool bRemoved = false;
  };
  std::vector<TDev> Devices;
  std::map<GUID, int, TGuidLess> Defaults;
  std::map<GUID, HRESULT, TGuidLess> EnumResults;
  std::map<std::string, std::deque<HRESULT>> Failures;
  LONG AllocatorLimit = 0;
  bool bRendererAllocator = true;
  bool bRendererKeepsSamples = false;
  std::vector<WAVEFORMATEX> CaptureFormats;
  std::vector<std::shared_ptr<TRendererLog>> Renderers;
  std::vector<std::shared_ptr<TGraphLog>> Graphs;
  std::deque<std::unique_ptr<TEventToken>> Tokens;
  std::atomic<long> LiveObjects{0};
  const std::chrono::steady_clock::time_point Epoch = std::chrono::steady_clock::now();

  // S_OK, or the failure scripted for this point (taken).
  HRESULT Take(const std::string& point);
  // 100 ns units since the world began; never 0.
  REFERENCE_TIME Now() const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - Epoch).count() /
               100 +
           1;
  }
  bool DeviceInfo(int id, TSimDevice& out);
  // The monikers of a category (every kind when category is null), in order.
  std::vector<int> DevicesOf(const GUID* category, DWORD minMerit);
  int DefaultDevice(const GUID& category);
  // A fresh filter object for a device (one reference), or a failure.
  HRESULT CreateDeviceFilter(const std::shared_ptr<TWorld>& self, int id, REFIID iid, void** ppv);
};

using TWorldPtr = std::shared_ptr<TSimDShow::TWorld>;

// Counted simulated COM object: reference count and world link. Derived classes answer
// QueryInterface and forward AddRef/Release here (SIM_COM_REFCOUNT).
class TSimComObject {
 public:
  explicit TSimComObject(TWorldPtr world) : FWorld(std::move(world)) { ++FWorld->LiveObjects; }
  virtual ~TSimComObject() { --FWorld->LiveObjects; }
  TSimComObject(const TSimComObject&) = delete;
  TSimComObject& operator=(const TSimComObject&) = delete;

 protected:
  ULONG AddRefImpl() { return ++FRef; }
  ULONG ReleaseImpl() {
    const ULONG n = --FRef;
    if (n == 0) delete this;
    return n;
  }
  TWorldPtr FWorld;
  std::atomic<ULONG> FRef{1};
};

#define SIM_COM_REFCOUNT                                                 \
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }     \
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

template <class I>
HRESULT SimAnswer(I* iface, void** ppv) {
  *ppv = iface;
  iface->AddRef();
  return S_OK;
}

// Hands a fresh object (created with one reference) out as `iid`.
template <class T, class I>
HRESULT SimHandOut(T* object, I* asUnknown, REFIID iid, void** ppv) {
  HRESULT hr = asUnknown->QueryInterface(iid, ppv);
  object->Release();
  return hr;
}

// ---------------------------------------------------------------- media types

void SimFreeMediaType(TSimCom& com, AM_MEDIA_TYPE& mt);
HRESULT SimCopyMediaType(TSimCom& com, AM_MEDIA_TYPE& dst, const AM_MEDIA_TYPE& src);
AM_MEDIA_TYPE* SimCreateMediaType(TSimCom& com, const AM_MEDIA_TYPE& src);
void SimDeleteMediaType(TSimCom& com, AM_MEDIA_TYPE* mt);
// A PCM audio type with an 18-byte format block (40 for more than 2 channels or 16 bits).
void SimAudioType(TSimCom& com, AM_MEDIA_TYPE& mt, const WAVEFORMATEX& format);
// The wave format of an audio type, when it is one.
bool SimWaveFormat(const AM_MEDIA_TYPE& mt, WAVEFORMATEX& format);

// An owned media type (format block in task memory).
class TSimMediaType {
 public:
  explicit TSimMediaType(TSimCom& com) : FCom(&com) {}
  TSimMediaType(const TSimMediaType& o) : FCom(o.FCom) {
    if (o.FValid) Set(o.FType);
  }
  TSimMediaType& operator=(const TSimMediaType& o) {
    if (this != &o) {
      Clear();
      if (o.FValid) Set(o.FType);
    }
    return *this;
  }
  ~TSimMediaType() { Clear(); }
  void Set(const AM_MEDIA_TYPE& mt) {
    Clear();
    FValid = SUCCEEDED(SimCopyMediaType(*FCom, FType, mt));
  }
  void Clear() {
    if (FValid) SimFreeMediaType(*FCom, FType);
    FValid = false;
  }
  bool Valid() const { return FValid; }
  const AM_MEDIA_TYPE& Get() const { return FType; }

 private:
  TSimCom* FCom;
  AM_MEDIA_TYPE FType{};
  bool FValid = false;
};

// ---------------------------------------------------------------- enumerators

// IEnumPins, IEnumFilters, IEnumMoniker over a snapshot of references.
template <class IEnum, class Item>
class TSimRefEnum final : public TSimComObject, public IEnum {
 public:
  TSimRefEnum(TWorldPtr world, const IID& iid, std::vector<TRefPtr<Item>> items)
      : TSimComObject(std::move(world)), FIid(iid), FItems(std::move(items)) {}
  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == FIid) return SimAnswer(static_cast<IEnum*>(this), ppv);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG count, Item** out, ULONG* fetched) override {
    if (!out) return E_POINTER;
    if (count > 1 && !fetched) return E_INVALIDARG;
    ULONG n = 0;
    while (n < count && FPos < FItems.size()) {
      out[n] = FItems[FPos].Get();
      out[n]->AddRef();
      ++n;
      ++FPos;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const std::size_t left = FItems.size() - FPos;
    if (count > left) {
      FPos = FItems.size();
      return S_FALSE;
    }
    FPos += count;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    FPos = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnum** out) override {
    if (!out) return E_POINTER;
    auto* c = new TSimRefEnum(FWorld, FIid, FItems);
    c->FPos = FPos;
    *out = c;
    return S_OK;
  }

 private:
  IID FIid;
  std::vector<TRefPtr<Item>> FItems;
  std::size_t FPos = 0;
};

class TSimEnumMediaTypes final : public TSimComObject, public IEnumMediaTypes {
 public:
  TSimEnumMediaTypes(TWorldPtr world, std::vector<TSimMediaType> types)
      : TSimComObject(std::move(world)), FTypes(std::move(types)) {}
  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE Next(ULONG count, AM_MEDIA_TYPE** out, ULONG* fetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
  HRESULT STDMETHODCALLTYPE Reset() override {
    FPos = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes** out) override;

 private:
  std::vector<TSimMediaType> FTypes;
  std::size_t FPos = 0;
};

// ---------------------------------------------------------------- memory allocator

class TSimMemAllocator;

class TSimSample final : public IMediaSample {
 public:
  TSimSample(TSimMemAllocator& owner, LONG size);
  virtual ~TSimSample();
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++FRef; }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetPointer(BYTE** ppBuffer) override;
  LONG STDMETHODCALLTYPE GetSize() override { return FSize; }
  HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
  HRESULT STDMETHODCALLTYPE SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
  HRESULT STDMETHODCALLTYPE IsSyncPoint() override { return FSync ? S_OK : S_FALSE; }
  HRESULT STDMETHODCALLTYPE SetSyncPoint(BOOL b) override {
    FSync = b != 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsPreroll() override { return FPreroll ? S_OK : S_FALSE; }
  HRESULT STDMETHODCALLTYPE SetPreroll(BOOL b) override {
    FPreroll = b != 0;
    return S_OK;
  }
  LONG STDMETHODCALLTYPE GetActualDataLength() override { return FActual; }
  HRESULT STDMETHODCALLTYPE SetActualDataLength(LONG length) override;
  HRESULT STDMETHODCALLTYPE GetMediaType(AM_MEDIA_TYPE** ppMediaType) override;
  HRESULT STDMETHODCALLTYPE SetMediaType(AM_MEDIA_TYPE* pMediaType) override;
  HRESULT STDMETHODCALLTYPE IsDiscontinuity() override { return FDiscontinuity ? S_OK : S_FALSE; }
  HRESULT STDMETHODCALLTYPE SetDiscontinuity(BOOL b) override {
    FDiscontinuity = b != 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;
  HRESULT STDMETHODCALLTYPE SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;

  // Back in the allocator's hands: every property as new.
  void Recycle();
  void Hand() { FRef = 1; }

 private:
  TSimMemAllocator& FOwner;
  std::atomic<ULONG> FRef{0};
  std::vector<BYTE> FData;
  LONG FSize;
  LONG FActual;
  bool FHasTime = false, FHasStop = false, FHasMediaTime = false;
  REFERENCE_TIME FStart = 0, FEnd = 0;
  LONGLONG FMediaStart = 0, FMediaEnd = 0;
  bool FSync = false, FPreroll = false, FDiscontinuity = false;
  TSimMediaType FType;
};

class TSimMemAllocator final : public TSimComObject, public IMemAllocator {
 public:
  explicit TSimMemAllocator(TWorldPtr world);
  ~TSimMemAllocator() override;
  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override;
  HRESULT STDMETHODCALLTYPE GetProperties(ALLOCATOR_PROPERTIES* pProps) override;
  HRESULT STDMETHODCALLTYPE Commit() override;
  HRESULT STDMETHODCALLTYPE Decommit() override;
  HRESULT STDMETHODCALLTYPE GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime, REFERENCE_TIME* pEndTime,
                                      DWORD dwFlags) override;
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(IMediaSample* pBuffer) override;

  TSimCom& Com() { return FWorld->Com; }

 private:
  std::mutex FMutex;
  std::condition_variable FFree;
  bool FPropertiesSet = false;
  bool FCommitted = false;
  ALLOCATOR_PROPERTIES FProps{};
  LONG FLimit;
  std::vector<std::unique_ptr<TSimSample>> FSamples;  // every buffer made by the last commit
  std::vector<TSimSample*> FFreeList;
  std::vector<std::unique_ptr<TSimSample>> FRetired;  // from an earlier commit, still out
  int FOutstanding = 0;
};

// ---------------------------------------------------------------- filters and pins

// Lets the capture graph builder tell a simulated pin's category.
constexpr GUID IID_ISimPinCategory = {0x5A1C0D7E, 0x0B7A, 0x4E15, {0x9A, 0x61, 0x3C, 0x2E, 0x41, 0x0D, 0x52, 0x7F}};
struct ISimPinCategory : IUnknown {
  virtual GUID STDMETHODCALLTYPE Category() = 0;

 protected:
  ~ISimPinCategory() = default;
};

class TSimPin;

class TSimFilter : public TSimComObject, public IBaseFilter {
 public:
  TSimFilter(TWorldPtr world, const CLSID& clsid);
  ~TSimFilter() override;
  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE Pause() override;
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME tStart) override;
  HRESULT STDMETHODCALLTYPE GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* State) override;
  HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* pClock) override;
  HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** pClock) override;
  HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** ppEnum) override;
  HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR Id, IPin** ppPin) override;
  HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* pInfo) override;
  HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;
  HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* pVendorInfo) override;

  std::recursive_mutex& Lock() { return FLock; }
  FILTER_STATE State() {
    std::lock_guard g(FLock);
    return FState;
  }
  TSimCom& Com() { return FWorld->Com; }
  const TWorldPtr& World() { return FWorld; }
  // Reports to the graph the filter belongs to, if any (never under the filter lock).
  void NotifyEvent(LONG code, LONG_PTR p1, LONG_PTR p2);

 protected:
  // Further interfaces of a derived filter.
  virtual HRESULT QueryMore(REFIID riid, void** ppv) {
    (void)riid;
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // State changes, called without the filter lock once the new state is stored.
  virtual void OnStopped() {}
  virtual void OnPaused(FILTER_STATE from) { (void)from; }
  virtual void OnRunning(REFERENCE_TIME start) { (void)start; }

  std::recursive_mutex FLock;
  std::mutex FStateChange;  // one state change at a time
  FILTER_STATE FState = State_Stopped;
  TRefPtr<IReferenceClock> FClock;
  REFERENCE_TIME FStart = 0;
  IFilterGraph* FGraph = nullptr;  // not counted: the graph holds the filter
  IMediaEventSink* FSink = nullptr;
  std::string FName;
  CLSID FClsid;
  std::vector<std::unique_ptr<TSimPin>> FPins;
};

class TSimPin : public IPin, public ISimPinCategory {
 public:
  TSimPin(TSimFilter& filter, std::string name, PIN_DIRECTION dir, const GUID& category = GUID_NULL);
  virtual ~TSimPin();
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return FFilter.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return FFilter.Release(); }
  GUID STDMETHODCALLTYPE Category() override { return FCategory; }

  HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pPin) override;
  HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
  HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* pInfo) override;
  HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* pPinDir) override;
  HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* Id) override;
  HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* pmt) override;
  HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
  HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin** apPin, ULONG* nPin) override;
  HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

  const std::string& Name() const { return FName; }
  bool IsConnected();
  TRefPtr<IPin> Peer();
  bool ConnectionType(TSimMediaType& out);

 protected:
  virtual HRESULT QueryMore(REFIID riid, void** ppv) {
    (void)riid;
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // S_OK when this pin takes the type.
  virtual HRESULT CheckType(const AM_MEDIA_TYPE& mt) = 0;
  // The types the pin offers, in order of preference.
  virtual std::vector<TSimMediaType> OfferedTypes() { return {}; }

  TSimFilter& FFilter;
  std::string FName;
  PIN_DIRECTION FDir;
  GUID FCategory;
  TRefPtr<IPin> FPeer;  // under the filter lock
  TSimMediaType FType;
};

class TSimInputPin : public TSimPin, public IMemInputPin {
 public:
  using TSimPin::TSimPin;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override { return TSimPin::QueryInterface(riid, ppv); }
  ULONG STDMETHODCALLTYPE AddRef() override { return TSimPin::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return TSimPin::Release(); }

  HRESULT STDMETHODCALLTYPE Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
  HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
  HRESULT STDMETHODCALLTYPE Disconnect() override;
  HRESULT STDMETHODCALLTYPE EndOfStream() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE BeginFlush() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE EndFlush() override { return S_OK; }

  HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator** ppAllocator) override;
  HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) override;
  HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) override;
  HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed) override;
  HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override { return S_OK; }

  TRefPtr<IMemAllocator> Allocator();

 protected:
  HRESULT QueryMore(REFIID riid, void** ppv) override;
  virtual bool OffersAllocator() { return true; }
  virtual void Connected(const AM_MEDIA_TYPE& mt) { (void)mt; }
  virtual void Disconnected() {}

  TRefPtr<IMemAllocator> FAllocator;  // under the filter lock
};

class TSimOutputPin : public TSimPin {
 public:
  using TSimPin::TSimPin;
  HRESULT STDMETHODCALLTYPE Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
  HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
  HRESULT STDMETHODCALLTYPE Disconnect() override;
  HRESULT STDMETHODCALLTYPE EndOfStream() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE BeginFlush() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE EndFlush() override { return E_UNEXPECTED; }

  // Streaming side.
  HRESULT Commit();
  void Decommit();
  // A sample to fill; fails once the allocator is decommitted.
  HRESULT GetDeliveryBuffer(TRefPtr<IMediaSample>& sample);
  HRESULT Deliver(IMediaSample* sample);
  HRESULT DeliverEndOfStream();

 protected:
  // The allocator this pin asks for once connected.
  virtual void Requirements(const AM_MEDIA_TYPE& mt, ALLOCATOR_PROPERTIES& props) = 0;

  TRefPtr<IMemAllocator> FAllocator;  // under the filter lock
  TRefPtr<IMemInputPin> FInput;

 private:
  HRESULT TryType(IPin* receivePin, const AM_MEDIA_TYPE& mt);
  HRESULT DecideAllocator(const AM_MEDIA_TYPE& mt);
};

// Factories of the system objects.
HRESULT SimCreateGraph(const TWorldPtr& world, REFIID iid, void** ppv);
HRESULT SimCreateCaptureGraphBuilder(const TWorldPtr& world, REFIID iid, void** ppv);
HRESULT SimCreateDevEnum(const TWorldPtr& world, REFIID iid, void** ppv);
HRESULT SimCreateFilterMapper(const TWorldPtr& world, REFIID iid, void** ppv);
HRESULT SimCreateClock(const TWorldPtr& world, REFIID iid, void** ppv);
HRESULT SimCreateAllocator(const TWorldPtr& world, REFIID iid, void** ppv);
HRESULT SimCreateRenderer(const TWorldPtr& world, int device, REFIID iid, void** ppv);
HRESULT SimCreateCapture(const TWorldPtr& world, int device, REFIID iid, void** ppv);
HRESULT SimCreatePlainFilter(const TWorldPtr& world, const CLSID& clsid, REFIID iid, void** ppv);
HRESULT SimCreateSampleGrabber(const TWorldPtr& world, REFIID iid, void** ppv);
HRESULT SimCreateMoniker(const TWorldPtr& world, int device, IMoniker** out);

}  // namespace portwise::platform::sim

#pragma once
// A small DirectShow filter framework: a filter with its state and graph membership, output pins
// that agree a media type, negotiate an allocator and deliver samples, and the pin and media type
// enumerators, all after the published filter and pin contracts (IBaseFilter, IMediaFilter, IPin,
// IEnumPins, IEnumMediaTypes, IQualityControl; IMemInputPin and IMemAllocator on the other side).
//
// Lifetime: a filter is reference-counted and ends with its last reference; its pins count on
// their filter (a pin's AddRef is its filter's), so a peer holding a pin keeps the filter alive.
// The graph holds the filter; the filter keeps the graph and its event sink without references.
//
// Locks: the filter lock (re-entrant, shared with the pins) guards state changes, connections,
// media type answers and allocator sizing. Delivery takes no filter lock: it runs on its caller's
// thread while state changes come from the graph's threads; a stop decommits the allocator, which
// ends any wait for a sample.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "dshow/DSCommon.h"

namespace portwise {

// A COM identity that can be aggregated: with an outer unknown, the interfaces' IUnknown methods
// go to it; Inner() is the non-delegating identity the outer object holds.
class TDSDualUnknown {
 public:
  TDSDualUnknown(std::string AName, IUnknown* AOwner);
  virtual ~TDSDualUnknown();
  TDSDualUnknown(const TDSDualUnknown&) = delete;
  TDSDualUnknown& operator=(const TDSDualUnknown&) = delete;

  virtual HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv);
  virtual ULONG NonDelegatingAddRef();
  virtual ULONG NonDelegatingRelease();

  IUnknown* Inner() { return &FInner; }
  const std::string& GetName() const { return FName; }

 protected:
  HRESULT DelegatedQueryInterface(REFIID riid, void** ppv) {
    return FOwner ? FOwner->QueryInterface(riid, ppv) : NonDelegatingQueryInterface(riid, ppv);
  }
  ULONG DelegatedAddRef() { return FOwner ? FOwner->AddRef() : NonDelegatingAddRef(); }
  ULONG DelegatedRelease() { return FOwner ? FOwner->Release() : NonDelegatingRelease(); }

  std::atomic<LONG> FRefCount{0};
  IUnknown* FOwner;
  std::string FName;

 private:
  struct TInner final : IUnknown {
    explicit TInner(TDSDualUnknown& AObject) : FObject(AObject) {}
    virtual ~TInner() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
      return FObject.NonDelegatingQueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return FObject.NonDelegatingAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return FObject.NonDelegatingRelease(); }
    TDSDualUnknown& FObject;
  };
  TInner FInner{*this};
};

// The IUnknown methods of every interface a framework class implements.
#define DS_DECLARE_IUNKNOWN                                                                                   \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {                                \
    return DelegatedQueryInterface(riid, ppv);                                                                \
  }                                                                                                           \
  ULONG STDMETHODCALLTYPE AddRef() override { return DelegatedAddRef(); }                                     \
  ULONG STDMETHODCALLTYPE Release() override { return DelegatedRelease(); }

// Answers one interface of an object with a new reference.
template <class I>
HRESULT DSGetInterface(I* AInterface, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = AInterface;
  AInterface->AddRef();
  return S_OK;
}

class TDSBasePin;

class TDSBaseFilter : public TDSDualUnknown, public IBaseFilter {
 public:
  TDSBaseFilter(std::string AName, IUnknown* AOwner, const CLSID& AClsid);
  ~TDSBaseFilter() override;
  DS_DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IPersist
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  // IMediaFilter
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE Pause() override;
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME tStart) override;
  HRESULT STDMETHODCALLTYPE GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* State) override;
  HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* pClock) override;
  HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** pClock) override;
  // IBaseFilter
  HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** ppEnum) override;
  HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR Id, IPin** ppPin) override;
  HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* pInfo) override;
  HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;
  HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* pVendorInfo) override;

  // Stream time: the clock's time less the start time.
  virtual HRESULT StreamTime(REFERENCE_TIME& ATime);
  virtual LONG GetPinVersion();
  virtual std::int32_t GetPinCount() = 0;
  // The pin at AIndex without a new reference, or none.
  virtual TDSBasePin* GetPin(std::int32_t AIndex) = 0;

  std::recursive_mutex& Lock() { return *FLock; }
  FILTER_STATE State() const { return FState.load(); }
  bool IsStopped() const { return FState.load() == State_Stopped; }
  const std::string& GetFilterName() const { return FFilterName; }
  // Reports an event to the graph's sink; false when the filter is in no graph.
  bool NotifyEvent(LONG AEventCode, LONG_PTR AParam1, LONG_PTR AParam2);

 protected:
  void IncrementPinVersion() { ++FPinVersion; }

  std::atomic<FILTER_STATE> FState{State_Stopped};
  TRefPtr<IReferenceClock> FClock;
  REFERENCE_TIME FStart = 0;
  CLSID FCLSID;
  std::recursive_mutex FLockObject;
  std::recursive_mutex* FLock = &FLockObject;
  std::string FFilterName;
  IFilterGraph* FGRaph = nullptr;     // not counted: the graph holds the filter
  IMediaEventSink* FSink = nullptr;   // likewise
  std::atomic<LONG> FPinVersion{1};
};

class TDSBasePin : public TDSDualUnknown, public IPin, public IQualityControl {
 public:
  TDSBasePin(std::string AObjectName, TDSBaseFilter* AFilter, std::recursive_mutex* ALock, const std::string& APinName,
             PIN_DIRECTION ADirection);
  ~TDSBasePin() override;
  DS_DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
  // A pin counts on its filter.
  ULONG NonDelegatingAddRef() override;
  ULONG NonDelegatingRelease() override;

  // Agrees a media type with the receiving pin: a fully specified type alone, else the receiving
  // pin's types and then this pin's own (the other way round with FTryMyTypesFirst).
  virtual HRESULT AgreeMediaType(IPin* AReceivePin, const AM_MEDIA_TYPE* pmt);
  HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* Id) override;
  HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
  HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin** apPin, ULONG* nPin) override;
  HRESULT STDMETHODCALLTYPE EndOfStream() override;
  HRESULT STDMETHODCALLTYPE BeginFlush() override;
  HRESULT STDMETHODCALLTYPE EndFlush() override;
  HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;
  HRESULT STDMETHODCALLTYPE Notify(IBaseFilter* pSelf, Quality q) override;
  HRESULT STDMETHODCALLTYPE SetSink(IQualityControl* piqc) override;
  virtual LONG GetMediaTypeVersion();
  virtual HRESULT Active();
  virtual HRESULT Inactive();
  virtual HRESULT Run(REFERENCE_TIME AStart);
  virtual HRESULT CheckMediaType(const AM_MEDIA_TYPE* pmt) = 0;
  virtual HRESULT SetMediaType(const AM_MEDIA_TYPE* pmt);
  virtual HRESULT CheckConnect(IPin* APin);
  virtual HRESULT BreakConnect();
  virtual HRESULT CompleteConnect(IPin* AReceivePin);
  virtual HRESULT GetMediaType(std::int32_t APosition, AM_MEDIA_TYPE* pmt) = 0;

  // IPin
  HRESULT STDMETHODCALLTYPE Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
  HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
  HRESULT STDMETHODCALLTYPE Disconnect() override;
  HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pPin) override;
  HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
  HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* pInfo) override;
  HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* pPinDir) override;
  HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* pmt) override;

  bool IsConnected();
  TRefPtr<IPin> GetConnected();
  const std::string& GetPinName() const { return FPinName; }
  PIN_DIRECTION GetDirection() const { return Fdir; }

 protected:
  HRESULT AttemptConnection(IPin* AReceivePin, const AM_MEDIA_TYPE* pmt);
  HRESULT TryMediaTypes(IPin* AReceivePin, const AM_MEDIA_TYPE* pmt, IEnumMediaTypes* AEnum);

  std::string FPinName;
  TRefPtr<IPin> FConnected;
  PIN_DIRECTION Fdir;
  std::recursive_mutex* FLock;
  bool FRunTimeError = false;
  bool FCanReconnectWhenActive = false;
  TDSBaseFilter* FFilter;
  IQualityControl* FQSink = nullptr;  // not counted
  std::atomic<LONG> FTypeVersion{1};
  TDSMediaType Fmt;
  REFERENCE_TIME FStart = 0;
  REFERENCE_TIME FStop = 0;
  double FRate = 1.0;
  bool FTryMyTypesFirst = false;
};

class TDSBaseOutputPin : public TDSBasePin {
 public:
  using TDSBasePin::TDSBasePin;

  // The peer's allocator when it offers one that takes our sizes, else a memory allocator of
  // our own; the peer is told which.
  virtual HRESULT DecideAllocator(IMemInputPin* APin, TRefPtr<IMemAllocator>& AAlloc);
  virtual HRESULT DecideBufferSize(IMemAllocator* AAlloc, ALLOCATOR_PROPERTIES* APropInputRequest) = 0;
  virtual HRESULT GetDeliveryBuffer(TRefPtr<IMediaSample>& ASample, REFERENCE_TIME* AStartTime,
                                    REFERENCE_TIME* AEndTime, DWORD AFlags);
  virtual HRESULT Deliver(IMediaSample* ASample);
  virtual HRESULT InitAllocator(TRefPtr<IMemAllocator>& AAlloc);
  virtual HRESULT DeliverEndOfStream();
  virtual HRESULT DeliverBeginFlush();
  virtual HRESULT DeliverEndFlush();
  virtual HRESULT DeliverNewSegment(REFERENCE_TIME AStart, REFERENCE_TIME AStop, double ARate);

  HRESULT CheckConnect(IPin* APin) override;
  HRESULT CompleteConnect(IPin* AReceivePin) override;
  HRESULT BreakConnect() override;
  HRESULT Active() override;
  HRESULT Inactive() override;
  // Input-side calls.
  HRESULT STDMETHODCALLTYPE EndOfStream() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE BeginFlush() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE EndFlush() override { return E_UNEXPECTED; }

  TRefPtr<IMemAllocator> GetAllocator();

 protected:
  TRefPtr<IMemInputPin> GetInputPin();

  // Written under the filter lock and FStreamRefs, read by delivery under FStreamRefs alone.
  std::mutex FStreamRefs;
  TRefPtr<IMemAllocator> FAllocator;
  TRefPtr<IMemInputPin> FInputPin;
};

class TDSSourceStreamPin;

// A filter whose pins are output stream pins kept in a thread-safe list.
class TDSBaseSourceFilter : public TDSBaseFilter {
 public:
  using TDSBaseFilter::TDSBaseFilter;
  std::int32_t GetPinCount() override;
  TDSBasePin* GetPin(std::int32_t AIndex) override;
  void AddPin(TDSSourceStreamPin* APin);
  void RemovePin(TDSSourceStreamPin* APin);

 protected:
  std::mutex FPinsListLock;
  std::vector<TDSSourceStreamPin*> FPinsList;
};

class TDSSourceStreamPin : public TDSBaseOutputPin {
 public:
  TDSSourceStreamPin(std::string AObjectName, TDSBaseSourceFilter* AFilter, const std::string& APinName);
  ~TDSSourceStreamPin() override;

  HRESULT DecideBufferSize(IMemAllocator* AAlloc, ALLOCATOR_PROPERTIES* APropInputRequest) override;
  HRESULT GetMediaType(std::int32_t APosition, AM_MEDIA_TYPE* pmt) override;

 protected:
  virtual HRESULT DoBufferSizing(IMemAllocator* AAlloc, ALLOCATOR_PROPERTIES* APropInputRequest) = 0;
  virtual HRESULT DoGetMediaType(std::int32_t APosition, AM_MEDIA_TYPE* pmt) = 0;

  TDSBaseSourceFilter* FSourceFilter;
};

class TDSEnumPins final : public IEnumPins {
 public:
  TDSEnumPins(TDSBaseFilter* AFilter, const TDSEnumPins* AFrom = nullptr);
  virtual ~TDSEnumPins();
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++FRefCount; }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG cPins) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumPins** ppEnum) override;

 private:
  std::atomic<ULONG> FRefCount{1};
  TRefPtr<IBaseFilter> FHold;
  TDSBaseFilter* FFilter;
  std::int32_t FPosition = 0;
  LONG FVersion;
};

class TDSEnumMediaTypes final : public IEnumMediaTypes {
 public:
  TDSEnumMediaTypes(TDSBasePin* APin, const TDSEnumMediaTypes* AFrom = nullptr);
  virtual ~TDSEnumMediaTypes();
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++FRefCount; }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG cMediaTypes) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes** ppEnum) override;

 private:
  std::atomic<ULONG> FRefCount{1};
  TRefPtr<IPin> FHold;
  TDSBasePin* FPin;
  std::int32_t FPosition = 0;
  LONG FVersion;
};

}  // namespace portwise

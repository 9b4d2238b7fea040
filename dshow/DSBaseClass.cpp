#include "dshow/DSBaseClass.h"

#include <algorithm>
#include <cstring>

namespace portwise {

namespace {

bool IsNullGuid(const GUID& g) { return g == GUID_NULL; }

// A type with a null major type, subtype or format type leaves that part open.
bool PartiallySpecified(const AM_MEDIA_TYPE& mt) {
  return IsNullGuid(mt.majortype) || IsNullGuid(mt.subtype) || IsNullGuid(mt.formattype);
}

bool MatchesPartial(const AM_MEDIA_TYPE& candidate, const AM_MEDIA_TYPE* partial) {
  if (!partial) return true;
  return (IsNullGuid(partial->majortype) || partial->majortype == candidate.majortype) &&
         (IsNullGuid(partial->subtype) || partial->subtype == candidate.subtype) &&
         (IsNullGuid(partial->formattype) || partial->formattype == candidate.formattype);
}

void CopyName(WCHAR* AField, std::size_t ACapacity, const std::string& AName) {
  const platform::TOleString w = platform::ToOle(AName);
  const std::size_t n = std::min(w.size(), ACapacity - 1);
  std::memcpy(AField, w.data(), n * sizeof(WCHAR));
  AField[n] = 0;
}

}  // namespace

// ------------------------------------------------------------------ TDSDualUnknown

TDSDualUnknown::TDSDualUnknown(std::string AName, IUnknown* AOwner) : FOwner(AOwner), FName(std::move(AName)) {}

TDSDualUnknown::~TDSDualUnknown() = default;

HRESULT TDSDualUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown) return DSGetInterface(Inner(), ppv);
  return E_NOINTERFACE;
}

ULONG TDSDualUnknown::NonDelegatingAddRef() { return static_cast<ULONG>(++FRefCount); }

ULONG TDSDualUnknown::NonDelegatingRelease() {
  const LONG n = --FRefCount;
  if (n == 0) {
    // Guards against a release from inside the destructor reaching zero again.
    FRefCount = 1;
    delete this;
    return 0;
  }
  return static_cast<ULONG>(n);
}

// ------------------------------------------------------------------ TDSBaseFilter

TDSBaseFilter::TDSBaseFilter(std::string AName, IUnknown* AOwner, const CLSID& AClsid)
    : TDSDualUnknown(std::move(AName), AOwner), FCLSID(AClsid) {}

TDSBaseFilter::~TDSBaseFilter() = default;

HRESULT TDSBaseFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IBaseFilter || riid == IID_IMediaFilter || riid == IID_IPersist)
    return DSGetInterface(static_cast<IBaseFilter*>(this), ppv);
  return TDSDualUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT TDSBaseFilter::GetClassID(CLSID* pClassID) {
  if (!pClassID) return E_POINTER;
  *pClassID = FCLSID;
  return S_OK;
}

HRESULT TDSBaseFilter::Stop() {
  std::lock_guard g(*FLock);
  HRESULT result = S_OK;
  if (FState != State_Stopped) {
    const std::int32_t count = GetPinCount();
    for (std::int32_t i = 0; i < count; ++i) {
      TDSBasePin* pin = GetPin(i);
      if (pin && pin->IsConnected()) {
        HRESULT hr = pin->Inactive();
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
      }
    }
  }
  FState = State_Stopped;
  return result;
}

HRESULT TDSBaseFilter::Pause() {
  std::lock_guard g(*FLock);
  if (FState == State_Stopped) {
    const std::int32_t count = GetPinCount();
    for (std::int32_t i = 0; i < count; ++i) {
      TDSBasePin* pin = GetPin(i);
      if (pin && pin->IsConnected()) {
        HRESULT hr = pin->Active();
        if (FAILED(hr)) return hr;
      }
    }
  }
  FState = State_Paused;
  return S_OK;
}

HRESULT TDSBaseFilter::Run(REFERENCE_TIME tStart) {
  std::lock_guard g(*FLock);
  FStart = tStart;
  if (FState == State_Stopped) {
    HRESULT hr = Pause();
    if (FAILED(hr)) return hr;
  }
  if (FState != State_Running) {
    const std::int32_t count = GetPinCount();
    for (std::int32_t i = 0; i < count; ++i) {
      TDSBasePin* pin = GetPin(i);
      if (pin && pin->IsConnected()) {
        HRESULT hr = pin->Run(tStart);
        if (FAILED(hr)) return hr;
      }
    }
  }
  FState = State_Running;
  return S_OK;
}

HRESULT TDSBaseFilter::GetState(DWORD, FILTER_STATE* State) {
  if (!State) return E_POINTER;
  *State = FState;
  return S_OK;
}

HRESULT TDSBaseFilter::SetSyncSource(IReferenceClock* pClock) {
  std::lock_guard g(*FLock);
  FClock = pClock;
  return S_OK;
}

HRESULT TDSBaseFilter::GetSyncSource(IReferenceClock** pClock) {
  if (!pClock) return E_POINTER;
  std::lock_guard g(*FLock);
  *pClock = FClock.Get();
  if (*pClock) (*pClock)->AddRef();
  return S_OK;
}

HRESULT TDSBaseFilter::EnumPins(IEnumPins** ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = new TDSEnumPins(this);
  return S_OK;
}

HRESULT TDSBaseFilter::FindPin(LPCWSTR Id, IPin** ppPin) {
  if (!Id || !ppPin) return E_POINTER;
  *ppPin = nullptr;
  const std::string name = platform::FromOle(Id);
  std::lock_guard g(*FLock);
  const std::int32_t count = GetPinCount();
  for (std::int32_t i = 0; i < count; ++i) {
    TDSBasePin* pin = GetPin(i);
    if (pin && pin->GetPinName() == name) return DSGetInterface(static_cast<IPin*>(pin), reinterpret_cast<void**>(ppPin));
  }
  return VFW_E_NOT_FOUND;
}

HRESULT TDSBaseFilter::QueryFilterInfo(FILTER_INFO* pInfo) {
  if (!pInfo) return E_POINTER;
  std::lock_guard g(*FLock);
  CopyName(pInfo->achName, MAX_FILTER_NAME, FFilterName);
  pInfo->pGraph = FGRaph;
  if (FGRaph) FGRaph->AddRef();
  return S_OK;
}

HRESULT TDSBaseFilter::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) {
  std::lock_guard g(*FLock);
  FGRaph = pGraph;
  FSink = nullptr;
  if (pGraph) {
    // Kept without a reference: the graph outlives the filter's membership.
    if (TRefPtr<IMediaEventSink> sink = DSQuery<IMediaEventSink>(pGraph, IID_IMediaEventSink)) FSink = sink.Get();
  }
  FFilterName = pName ? platform::FromOle(pName) : std::string();
  return S_OK;
}

HRESULT TDSBaseFilter::QueryVendorInfo(LPWSTR* pVendorInfo) {
  if (pVendorInfo) *pVendorInfo = nullptr;
  return E_NOTIMPL;
}

HRESULT TDSBaseFilter::StreamTime(REFERENCE_TIME& ATime) {
  std::lock_guard g(*FLock);
  if (!FClock) return VFW_E_NO_CLOCK;
  HRESULT hr = FClock->GetTime(&ATime);
  if (SUCCEEDED(hr)) ATime -= FStart;
  return hr;
}

LONG TDSBaseFilter::GetPinVersion() { return FPinVersion; }

bool TDSBaseFilter::NotifyEvent(LONG AEventCode, LONG_PTR AParam1, LONG_PTR AParam2) {
  IMediaEventSink* sink;
  {
    std::lock_guard g(*FLock);
    sink = FSink;
  }
  if (!sink) return false;
  sink->Notify(AEventCode, AParam1, AParam2);
  return true;
}

// ------------------------------------------------------------------ TDSBasePin

TDSBasePin::TDSBasePin(std::string AObjectName, TDSBaseFilter* AFilter, std::recursive_mutex* ALock,
                       const std::string& APinName, PIN_DIRECTION ADirection)
    : TDSDualUnknown(std::move(AObjectName), nullptr), FPinName(APinName), Fdir(ADirection), FLock(ALock), FFilter(AFilter) {}

TDSBasePin::~TDSBasePin() = default;

HRESULT TDSBasePin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IPin) return DSGetInterface(static_cast<IPin*>(this), ppv);
  if (riid == IID_IQualityControl) return DSGetInterface(static_cast<IQualityControl*>(this), ppv);
  if (riid == IID_IUnknown) return DSGetInterface(static_cast<IPin*>(this), ppv);
  return TDSDualUnknown::NonDelegatingQueryInterface(riid, ppv);
}

ULONG TDSBasePin::NonDelegatingAddRef() { return FFilter->AddRef(); }

ULONG TDSBasePin::NonDelegatingRelease() { return FFilter->Release(); }

bool TDSBasePin::IsConnected() {
  std::lock_guard g(*FLock);
  return FConnected != nullptr;
}

TRefPtr<IPin> TDSBasePin::GetConnected() {
  std::lock_guard g(*FLock);
  return FConnected;
}

HRESULT TDSBasePin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) {
  if (!pReceivePin) return E_POINTER;
  std::lock_guard g(*FLock);
  if (FConnected) return VFW_E_ALREADY_CONNECTED;
  if (!FFilter->IsStopped() && !FCanReconnectWhenActive) return VFW_E_NOT_STOPPED;
  HRESULT hr = AgreeMediaType(pReceivePin, pmt);
  if (FAILED(hr)) {
    FConnected.Reset();
    Fmt.Clear();
  }
  return hr;
}

HRESULT TDSBasePin::AgreeMediaType(IPin* AReceivePin, const AM_MEDIA_TYPE* pmt) {
  if (pmt && !PartiallySpecified(*pmt)) return AttemptConnection(AReceivePin, pmt);
  for (int pass = 0; pass < 2; ++pass) {
    const bool mine = (pass == 0) == FTryMyTypesFirst;
    TRefPtr<IEnumMediaTypes> types;
    HRESULT hr = mine ? EnumMediaTypes(types.Receive()) : AReceivePin->EnumMediaTypes(types.Receive());
    if (SUCCEEDED(hr) && types && SUCCEEDED(TryMediaTypes(AReceivePin, pmt, types.Get()))) return S_OK;
  }
  return VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT TDSBasePin::TryMediaTypes(IPin* AReceivePin, const AM_MEDIA_TYPE* pmt, IEnumMediaTypes* AEnum) {
  if (FAILED(AEnum->Reset())) return E_FAIL;
  AM_MEDIA_TYPE* candidate = nullptr;
  ULONG fetched = 0;
  while (AEnum->Next(1, &candidate, &fetched) == S_OK && fetched == 1) {
    HRESULT hr = MatchesPartial(*candidate, pmt) ? AttemptConnection(AReceivePin, candidate) : E_FAIL;
    DSDeleteMediaType(candidate);
    candidate = nullptr;
    if (SUCCEEDED(hr)) return S_OK;
  }
  return VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT TDSBasePin::AttemptConnection(IPin* AReceivePin, const AM_MEDIA_TYPE* pmt) {
  HRESULT hr = CheckConnect(AReceivePin);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  hr = CheckMediaType(pmt);
  if (hr != S_OK) {
    BreakConnect();
    return SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG ? VFW_E_TYPE_NOT_ACCEPTED : hr;
  }
  FConnected = AReceivePin;
  hr = SetMediaType(pmt);
  if (SUCCEEDED(hr)) {
    hr = AReceivePin->ReceiveConnection(this, pmt);
    if (SUCCEEDED(hr)) {
      hr = CompleteConnect(AReceivePin);
      if (SUCCEEDED(hr)) return S_OK;
      AReceivePin->Disconnect();
    }
  }
  BreakConnect();
  FConnected.Reset();
  Fmt.Clear();
  return hr;
}

HRESULT TDSBasePin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) {
  if (!pConnector || !pmt) return E_POINTER;
  std::lock_guard g(*FLock);
  if (FConnected) return VFW_E_ALREADY_CONNECTED;
  if (!FFilter->IsStopped() && !FCanReconnectWhenActive) return VFW_E_NOT_STOPPED;
  HRESULT hr = CheckConnect(pConnector);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  hr = CheckMediaType(pmt);
  if (hr != S_OK) {
    BreakConnect();
    return SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG ? VFW_E_TYPE_NOT_ACCEPTED : hr;
  }
  FConnected = pConnector;
  hr = SetMediaType(pmt);
  if (SUCCEEDED(hr)) hr = CompleteConnect(pConnector);
  if (FAILED(hr)) {
    FConnected.Reset();
    Fmt.Clear();
    BreakConnect();
  }
  return hr;
}

HRESULT TDSBasePin::Disconnect() {
  std::lock_guard g(*FLock);
  if (!FFilter->IsStopped()) return VFW_E_NOT_STOPPED;
  if (!FConnected) return S_FALSE;
  HRESULT hr = BreakConnect();
  if (FAILED(hr)) return hr;
  FConnected.Reset();
  Fmt.Clear();
  return S_OK;
}

HRESULT TDSBasePin::ConnectedTo(IPin** pPin) {
  if (!pPin) return E_POINTER;
  std::lock_guard g(*FLock);
  *pPin = FConnected.Get();
  if (!*pPin) return VFW_E_NOT_CONNECTED;
  (*pPin)->AddRef();
  return S_OK;
}

HRESULT TDSBasePin::ConnectionMediaType(AM_MEDIA_TYPE* pmt) {
  if (!pmt) return E_POINTER;
  std::lock_guard g(*FLock);
  if (!FConnected) {
    *pmt = AM_MEDIA_TYPE{};
    return VFW_E_NOT_CONNECTED;
  }
  return DSCopyMediaType(*pmt, Fmt.Get());
}

HRESULT TDSBasePin::QueryPinInfo(PIN_INFO* pInfo) {
  if (!pInfo) return E_POINTER;
  pInfo->pFilter = FFilter;
  FFilter->AddRef();
  pInfo->dir = Fdir;
  CopyName(pInfo->achName, MAX_PIN_NAME, FPinName);
  return S_OK;
}

HRESULT TDSBasePin::QueryDirection(PIN_DIRECTION* pPinDir) {
  if (!pPinDir) return E_POINTER;
  *pPinDir = Fdir;
  return S_OK;
}

HRESULT TDSBasePin::QueryId(LPWSTR* Id) {
  if (!Id) return E_POINTER;
  const platform::TOleString w = platform::ToOle(FPinName);
  *Id = static_cast<LPWSTR>(DSCom().CoTaskMemAlloc((w.size() + 1) * sizeof(WCHAR)));
  if (!*Id) return E_OUTOFMEMORY;
  std::memcpy(*Id, w.data(), w.size() * sizeof(WCHAR));
  (*Id)[w.size()] = 0;
  return S_OK;
}

HRESULT TDSBasePin::QueryAccept(const AM_MEDIA_TYPE* pmt) {
  std::lock_guard g(*FLock);
  return CheckMediaType(pmt) == S_OK ? S_OK : S_FALSE;
}

HRESULT TDSBasePin::EnumMediaTypes(IEnumMediaTypes** ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = new TDSEnumMediaTypes(this);
  return S_OK;
}

HRESULT TDSBasePin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }
HRESULT TDSBasePin::EndOfStream() { return S_OK; }
HRESULT TDSBasePin::BeginFlush() { return S_OK; }
HRESULT TDSBasePin::EndFlush() { return S_OK; }

HRESULT TDSBasePin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
  std::lock_guard g(*FLock);
  FStart = tStart;
  FStop = tStop;
  FRate = dRate;
  return S_OK;
}

HRESULT TDSBasePin::Notify(IBaseFilter*, Quality) { return E_NOTIMPL; }

HRESULT TDSBasePin::SetSink(IQualityControl* piqc) {
  std::lock_guard g(*FLock);
  FQSink = piqc;
  return S_OK;
}

LONG TDSBasePin::GetMediaTypeVersion() { return FTypeVersion; }
HRESULT TDSBasePin::Active() { return S_OK; }
HRESULT TDSBasePin::Inactive() { return S_OK; }
HRESULT TDSBasePin::Run(REFERENCE_TIME) { return S_OK; }

HRESULT TDSBasePin::SetMediaType(const AM_MEDIA_TYPE* pmt) {
  if (!pmt) return E_POINTER;
  return Fmt.Assign(*pmt);
}

HRESULT TDSBasePin::CheckConnect(IPin* APin) {
  PIN_DIRECTION dir;
  if (!APin || FAILED(APin->QueryDirection(&dir))) return E_POINTER;
  return dir == Fdir ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT TDSBasePin::BreakConnect() { return S_OK; }
HRESULT TDSBasePin::CompleteConnect(IPin*) { return S_OK; }

// ------------------------------------------------------------------ TDSBaseOutputPin

TRefPtr<IMemAllocator> TDSBaseOutputPin::GetAllocator() {
  std::lock_guard g(FStreamRefs);
  return FAllocator;
}

TRefPtr<IMemInputPin> TDSBaseOutputPin::GetInputPin() {
  std::lock_guard g(FStreamRefs);
  return FInputPin;
}

HRESULT TDSBaseOutputPin::CheckConnect(IPin* APin) {
  HRESULT hr = TDSBasePin::CheckConnect(APin);
  if (FAILED(hr)) return hr;
  TRefPtr<IMemInputPin> input = DSQuery<IMemInputPin>(APin, IID_IMemInputPin, &hr);
  if (!input) return FAILED(hr) ? hr : E_NOINTERFACE;
  std::lock_guard g(FStreamRefs);
  FInputPin = input;
  return S_OK;
}

HRESULT TDSBaseOutputPin::CompleteConnect(IPin*) {
  TRefPtr<IMemInputPin> input = GetInputPin();
  if (!input) return E_UNEXPECTED;
  TRefPtr<IMemAllocator> allocator;
  HRESULT hr = DecideAllocator(input.Get(), allocator);
  if (SUCCEEDED(hr)) {
    std::lock_guard g(FStreamRefs);
    FAllocator = allocator;
  }
  return hr;
}

HRESULT TDSBaseOutputPin::BreakConnect() {
  TRefPtr<IMemAllocator> allocator;
  {
    std::lock_guard g(FStreamRefs);
    allocator = std::move(FAllocator);
    FInputPin.Reset();
  }
  if (allocator) allocator->Decommit();
  return S_OK;
}

HRESULT TDSBaseOutputPin::DecideAllocator(IMemInputPin* APin, TRefPtr<IMemAllocator>& AAlloc) {
  AAlloc.Reset();
  ALLOCATOR_PROPERTIES props{};
  APin->GetAllocatorRequirements(&props);
  if (props.cbAlign == 0) props.cbAlign = 1;
  HRESULT hr = APin->GetAllocator(AAlloc.Receive());
  if (SUCCEEDED(hr) && AAlloc) {
    ALLOCATOR_PROPERTIES request = props;
    hr = DecideBufferSize(AAlloc.Get(), &request);
    if (SUCCEEDED(hr)) {
      hr = APin->NotifyAllocator(AAlloc.Get(), FALSE);
      if (SUCCEEDED(hr)) return S_OK;
    }
  }
  // The peer has no allocator that takes our sizes (Wine's renderer offers none): our own.
  AAlloc.Reset();
  hr = InitAllocator(AAlloc);
  if (SUCCEEDED(hr)) {
    ALLOCATOR_PROPERTIES request = props;
    hr = DecideBufferSize(AAlloc.Get(), &request);
    if (SUCCEEDED(hr)) {
      hr = APin->NotifyAllocator(AAlloc.Get(), FALSE);
      if (SUCCEEDED(hr)) return S_OK;
    }
  }
  AAlloc.Reset();
  return hr;
}

HRESULT TDSBaseOutputPin::InitAllocator(TRefPtr<IMemAllocator>& AAlloc) {
  void* object = nullptr;
  HRESULT hr = DSCom().CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator, &object);
  AAlloc = TRefPtr<IMemAllocator>::Adopt(SUCCEEDED(hr) ? static_cast<IMemAllocator*>(object) : nullptr);
  return hr;
}

HRESULT TDSBaseOutputPin::Active() {
  TRefPtr<IMemAllocator> allocator = GetAllocator();
  if (!allocator) return VFW_E_NO_ALLOCATOR;
  return allocator->Commit();
}

HRESULT TDSBaseOutputPin::Inactive() {
  FRunTimeError = false;
  TRefPtr<IMemAllocator> allocator = GetAllocator();
  if (!allocator) return VFW_E_NO_ALLOCATOR;
  return allocator->Decommit();
}

HRESULT TDSBaseOutputPin::GetDeliveryBuffer(TRefPtr<IMediaSample>& ASample, REFERENCE_TIME* AStartTime,
                                            REFERENCE_TIME* AEndTime, DWORD AFlags) {
  ASample.Reset();
  TRefPtr<IMemAllocator> allocator = GetAllocator();
  if (!allocator) return E_NOINTERFACE;
  return allocator->GetBuffer(ASample.Receive(), AStartTime, AEndTime, AFlags);
}

HRESULT TDSBaseOutputPin::Deliver(IMediaSample* ASample) {
  TRefPtr<IMemInputPin> input = GetInputPin();
  if (!input) return VFW_E_NOT_CONNECTED;
  try {
    return input->Receive(ASample);
  } catch (...) {
    return S_OK;
  }
}

HRESULT TDSBaseOutputPin::DeliverEndOfStream() {
  TRefPtr<IPin> peer = GetConnected();
  return peer ? peer->EndOfStream() : VFW_E_NOT_CONNECTED;
}

HRESULT TDSBaseOutputPin::DeliverBeginFlush() {
  TRefPtr<IPin> peer = GetConnected();
  return peer ? peer->BeginFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT TDSBaseOutputPin::DeliverEndFlush() {
  TRefPtr<IPin> peer = GetConnected();
  return peer ? peer->EndFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT TDSBaseOutputPin::DeliverNewSegment(REFERENCE_TIME AStart, REFERENCE_TIME AStop, double ARate) {
  TRefPtr<IPin> peer = GetConnected();
  return peer ? peer->NewSegment(AStart, AStop, ARate) : VFW_E_NOT_CONNECTED;
}

// ------------------------------------------------------------------ source filter and pins

std::int32_t TDSBaseSourceFilter::GetPinCount() {
  std::lock_guard g(FPinsListLock);
  return static_cast<std::int32_t>(FPinsList.size());
}

TDSBasePin* TDSBaseSourceFilter::GetPin(std::int32_t AIndex) {
  std::lock_guard g(FPinsListLock);
  if (AIndex < 0 || AIndex >= static_cast<std::int32_t>(FPinsList.size())) return nullptr;
  return FPinsList[static_cast<std::size_t>(AIndex)];
}

void TDSBaseSourceFilter::AddPin(TDSSourceStreamPin* APin) {
  {
    std::lock_guard g(FPinsListLock);
    FPinsList.push_back(APin);
  }
  IncrementPinVersion();
}

void TDSBaseSourceFilter::RemovePin(TDSSourceStreamPin* APin) {
  {
    std::lock_guard g(FPinsListLock);
    FPinsList.erase(std::remove(FPinsList.begin(), FPinsList.end(), APin), FPinsList.end());
  }
  IncrementPinVersion();
}

TDSSourceStreamPin::TDSSourceStreamPin(std::string AObjectName, TDSBaseSourceFilter* AFilter, const std::string& APinName)
    : TDSBaseOutputPin(std::move(AObjectName), AFilter, &AFilter->Lock(), APinName, PINDIR_OUTPUT), FSourceFilter(AFilter) {
  FSourceFilter->AddPin(this);
}

TDSSourceStreamPin::~TDSSourceStreamPin() { FSourceFilter->RemovePin(this); }

HRESULT TDSSourceStreamPin::DecideBufferSize(IMemAllocator* AAlloc, ALLOCATOR_PROPERTIES* APropInputRequest) {
  std::lock_guard g(*FLock);
  return DoBufferSizing(AAlloc, APropInputRequest);
}

HRESULT TDSSourceStreamPin::GetMediaType(std::int32_t APosition, AM_MEDIA_TYPE* pmt) {
  std::lock_guard g(*FLock);
  return DoGetMediaType(APosition, pmt);
}

// ------------------------------------------------------------------ enumerators

TDSEnumPins::TDSEnumPins(TDSBaseFilter* AFilter, const TDSEnumPins* AFrom)
    : FHold(static_cast<IBaseFilter*>(AFilter)),
      FFilter(AFilter),
      FPosition(AFrom ? AFrom->FPosition : 0),
      FVersion(AFrom ? AFrom->FVersion : AFilter->GetPinVersion()) {}

TDSEnumPins::~TDSEnumPins() = default;

HRESULT TDSEnumPins::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IEnumPins) return DSGetInterface(static_cast<IEnumPins*>(this), ppv);
  return E_NOINTERFACE;
}

ULONG TDSEnumPins::Release() {
  const ULONG n = --FRefCount;
  if (n == 0) delete this;
  return n;
}

HRESULT TDSEnumPins::Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) {
  if (!ppPins) return E_POINTER;
  if (cPins > 1 && !pcFetched) return E_INVALIDARG;
  if (pcFetched) *pcFetched = 0;
  if (FVersion != FFilter->GetPinVersion()) return VFW_E_ENUM_OUT_OF_SYNC;
  ULONG n = 0;
  while (n < cPins) {
    TDSBasePin* pin = FFilter->GetPin(FPosition);
    if (!pin) break;
    ppPins[n] = pin;
    ppPins[n]->AddRef();
    ++n;
    ++FPosition;
  }
  if (pcFetched) *pcFetched = n;
  return n == cPins ? S_OK : S_FALSE;
}

HRESULT TDSEnumPins::Skip(ULONG cPins) {
  if (FVersion != FFilter->GetPinVersion()) return VFW_E_ENUM_OUT_OF_SYNC;
  const std::int32_t left = FFilter->GetPinCount() - FPosition;
  if (static_cast<std::int64_t>(cPins) > left) return S_FALSE;
  FPosition += static_cast<std::int32_t>(cPins);
  return S_OK;
}

HRESULT TDSEnumPins::Reset() {
  FVersion = FFilter->GetPinVersion();
  FPosition = 0;
  return S_OK;
}

HRESULT TDSEnumPins::Clone(IEnumPins** ppEnum) {
  if (!ppEnum) return E_POINTER;
  if (FVersion != FFilter->GetPinVersion()) return VFW_E_ENUM_OUT_OF_SYNC;
  *ppEnum = new TDSEnumPins(FFilter, this);
  return S_OK;
}

TDSEnumMediaTypes::TDSEnumMediaTypes(TDSBasePin* APin, const TDSEnumMediaTypes* AFrom)
    : FHold(static_cast<IPin*>(APin)),
      FPin(APin),
      FPosition(AFrom ? AFrom->FPosition : 0),
      FVersion(AFrom ? AFrom->FVersion : APin->GetMediaTypeVersion()) {}

TDSEnumMediaTypes::~TDSEnumMediaTypes() = default;

HRESULT TDSEnumMediaTypes::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IEnumMediaTypes)
    return DSGetInterface(static_cast<IEnumMediaTypes*>(this), ppv);
  return E_NOINTERFACE;
}

ULONG TDSEnumMediaTypes::Release() {
  const ULONG n = --FRefCount;
  if (n == 0) delete this;
  return n;
}

HRESULT TDSEnumMediaTypes::Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) {
  if (!ppMediaTypes) return E_POINTER;
  if (cMediaTypes > 1 && !pcFetched) return E_INVALIDARG;
  if (pcFetched) *pcFetched = 0;
  if (FVersion != FPin->GetMediaTypeVersion()) return VFW_E_ENUM_OUT_OF_SYNC;
  ULONG n = 0;
  while (n < cMediaTypes) {
    TDSMediaType mt;
    if (FPin->GetMediaType(FPosition, &mt.Get()) != S_OK) break;
    AM_MEDIA_TYPE* out = DSCreateMediaType(mt.Get());
    if (!out) break;
    ppMediaTypes[n++] = out;
    ++FPosition;
  }
  if (pcFetched) *pcFetched = n;
  return n == cMediaTypes ? S_OK : S_FALSE;
}

HRESULT TDSEnumMediaTypes::Skip(ULONG cMediaTypes) {
  if (FVersion != FPin->GetMediaTypeVersion()) return VFW_E_ENUM_OUT_OF_SYNC;
  while (cMediaTypes > 0) {
    TDSMediaType mt;
    if (FPin->GetMediaType(FPosition, &mt.Get()) != S_OK) return S_FALSE;
    ++FPosition;
    --cMediaTypes;
  }
  return S_OK;
}

HRESULT TDSEnumMediaTypes::Reset() {
  FVersion = FPin->GetMediaTypeVersion();
  FPosition = 0;
  return S_OK;
}

HRESULT TDSEnumMediaTypes::Clone(IEnumMediaTypes** ppEnum) {
  if (!ppEnum) return E_POINTER;
  if (FVersion != FPin->GetMediaTypeVersion()) return VFW_E_ENUM_OUT_OF_SYNC;
  *ppEnum = new TDSEnumMediaTypes(FPin, this);
  return S_OK;
}

}  // namespace portwise

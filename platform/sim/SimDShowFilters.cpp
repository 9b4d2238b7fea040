// The simulated memory allocator, the base of the simulated filters and pins, and the filters a
// device moniker binds to: the audio renderer, the audio capture filter, the sample grabber and a
// plain filter without pins.
#include <algorithm>
#include <cstring>

#include "platform/sim/SimDShowObjects.h"

namespace portwise::platform::sim {

using namespace std::chrono_literals;

// ---------------------------------------------------------------- media types

void SimFreeMediaType(TSimCom& com, AM_MEDIA_TYPE& mt) {
  if (mt.pbFormat) com.CoTaskMemFree(mt.pbFormat);
  mt.pbFormat = nullptr;
  mt.cbFormat = 0;
  if (mt.pUnk) mt.pUnk->Release();
  mt.pUnk = nullptr;
}

HRESULT SimCopyMediaType(TSimCom& com, AM_MEDIA_TYPE& dst, const AM_MEDIA_TYPE& src) {
  dst = src;
  dst.pbFormat = nullptr;
  dst.cbFormat = 0;
  if (src.cbFormat && src.pbFormat) {
    dst.pbFormat = static_cast<BYTE*>(com.CoTaskMemAlloc(src.cbFormat));
    if (!dst.pbFormat) return E_OUTOFMEMORY;
    std::memcpy(dst.pbFormat, src.pbFormat, src.cbFormat);
    dst.cbFormat = src.cbFormat;
  }
  if (dst.pUnk) dst.pUnk->AddRef();
  return S_OK;
}

AM_MEDIA_TYPE* SimCreateMediaType(TSimCom& com, const AM_MEDIA_TYPE& src) {
  auto* mt = static_cast<AM_MEDIA_TYPE*>(com.CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  if (!mt) return nullptr;
  if (FAILED(SimCopyMediaType(com, *mt, src))) {
    com.CoTaskMemFree(mt);
    return nullptr;
  }
  return mt;
}

void SimDeleteMediaType(TSimCom& com, AM_MEDIA_TYPE* mt) {
  if (!mt) return;
  SimFreeMediaType(com, *mt);
  com.CoTaskMemFree(mt);
}

void SimAudioType(TSimCom& com, AM_MEDIA_TYPE& mt, const WAVEFORMATEX& format) {
  mt = AM_MEDIA_TYPE{};
  mt.majortype = MEDIATYPE_Audio;
  mt.subtype = MEDIASUBTYPE_PCM;
  mt.bFixedSizeSamples = TRUE;
  mt.lSampleSize = format.nBlockAlign;
  mt.formattype = FORMAT_WaveFormatEx;
  WAVEFORMATEX w = format;
  w.wFormatTag = WAVE_FORMAT_PCM;
  w.cbSize = 0;
  mt.pbFormat = static_cast<BYTE*>(com.CoTaskMemAlloc(sizeof w));
  if (!mt.pbFormat) return;
  std::memcpy(mt.pbFormat, &w, sizeof w);
  mt.cbFormat = sizeof w;
}

bool SimWaveFormat(const AM_MEDIA_TYPE& mt, WAVEFORMATEX& format) {
  if (!(mt.majortype == MEDIATYPE_Audio) || !(mt.formattype == FORMAT_WaveFormatEx)) return false;
  if (!mt.pbFormat || mt.cbFormat < 16) return false;
  format = WAVEFORMATEX{};
  std::memcpy(&format, mt.pbFormat, std::min<std::size_t>(mt.cbFormat, sizeof format));
  if (mt.cbFormat < sizeof format) format.cbSize = 0;
  return true;
}

namespace {

bool IsNull(const GUID& g) { return g == GUID_NULL; }

// A type a renderer can play: PCM (plain or extensible) of sensible shape.
bool PlayablePcm(const AM_MEDIA_TYPE& mt) {
  WAVEFORMATEX w;
  if (!SimWaveFormat(mt, w)) return false;
  if (w.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    if (mt.cbFormat < 40 || w.cbSize < 22) return false;
    GUID sub;
    std::memcpy(&sub, mt.pbFormat + 24, sizeof sub);
    if (!(sub == MEDIASUBTYPE_PCM)) return false;
  } else if (w.wFormatTag != WAVE_FORMAT_PCM) {
    return false;
  }
  if (w.nChannels < 1 || w.nChannels > 8) return false;
  if (w.wBitsPerSample != 8 && w.wBitsPerSample != 16 && w.wBitsPerSample != 24 && w.wBitsPerSample != 32)
    return false;
  if (w.nBlockAlign != w.nChannels * w.wBitsPerSample / 8) return false;
  if (w.nSamplesPerSec < 1000 || w.nSamplesPerSec > 192000) return false;
  return w.nAvgBytesPerSec == w.nSamplesPerSec * w.nBlockAlign;
}

// Copies a pin name into a fixed field, NUL-terminated.
void CopyName(WCHAR* field, std::size_t capacity, const std::string& name) {
  const TOleString w = ToOle(name);
  const std::size_t n = std::min(w.size(), capacity - 1);
  std::memcpy(field, w.data(), n * sizeof(WCHAR));
  field[n] = 0;
}

LPWSTR TaskString(TSimCom& com, const std::string& text) {
  const TOleString w = ToOle(text);
  auto* p = static_cast<WCHAR*>(com.CoTaskMemAlloc((w.size() + 1) * sizeof(WCHAR)));
  if (!p) return nullptr;
  std::memcpy(p, w.data(), w.size() * sizeof(WCHAR));
  p[w.size()] = 0;
  return p;
}

}  // namespace

// ---------------------------------------------------------------- media type enumerator

HRESULT TSimEnumMediaTypes::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IEnumMediaTypes) return SimAnswer(static_cast<IEnumMediaTypes*>(this), ppv);
  return E_NOINTERFACE;
}

HRESULT TSimEnumMediaTypes::Next(ULONG count, AM_MEDIA_TYPE** out, ULONG* fetched) {
  if (!out) return E_POINTER;
  if (count > 1 && !fetched) return E_INVALIDARG;
  ULONG n = 0;
  while (n < count && FPos < FTypes.size()) {
    out[n] = SimCreateMediaType(FWorld->Com, FTypes[FPos].Get());
    if (!out[n]) break;
    ++n;
    ++FPos;
  }
  if (fetched) *fetched = n;
  return n == count ? S_OK : S_FALSE;
}

HRESULT TSimEnumMediaTypes::Skip(ULONG count) {
  const std::size_t left = FTypes.size() - FPos;
  if (count > left) {
    FPos = FTypes.size();
    return S_FALSE;
  }
  FPos += count;
  return S_OK;
}

HRESULT TSimEnumMediaTypes::Clone(IEnumMediaTypes** out) {
  if (!out) return E_POINTER;
  auto* c = new TSimEnumMediaTypes(FWorld, FTypes);
  c->FPos = FPos;
  *out = c;
  return S_OK;
}

// ---------------------------------------------------------------- samples

TSimSample::TSimSample(TSimMemAllocator& owner, LONG size)
    : FOwner(owner), FData(static_cast<std::size_t>(size > 0 ? size : 1)), FSize(size), FActual(size), FType(owner.Com()) {}

TSimSample::~TSimSample() = default;

HRESULT TSimSample::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IMediaSample) return SimAnswer(static_cast<IMediaSample*>(this), ppv);
  return E_NOINTERFACE;
}

ULONG TSimSample::Release() {
  const ULONG n = --FRef;
  if (n == 0) FOwner.ReleaseBuffer(this);
  return n;
}

void TSimSample::Recycle() {
  FActual = FSize;
  FHasTime = FHasStop = FHasMediaTime = false;
  FSync = FPreroll = FDiscontinuity = false;
  FType.Clear();
}

HRESULT TSimSample::GetPointer(BYTE** ppBuffer) {
  if (!ppBuffer) return E_POINTER;
  *ppBuffer = FData.data();
  return S_OK;
}

HRESULT TSimSample::GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) {
  if (!pTimeStart || !pTimeEnd) return E_POINTER;
  if (!FHasTime) return VFW_E_SAMPLE_TIME_NOT_SET;
  *pTimeStart = FStart;
  *pTimeEnd = FHasStop ? FEnd : FStart + 1;
  return S_OK;
}

HRESULT TSimSample::SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) {
  if (!pTimeStart) {
    FHasTime = FHasStop = false;
    return S_OK;
  }
  FHasTime = true;
  FStart = *pTimeStart;
  FHasStop = pTimeEnd != nullptr;
  if (pTimeEnd) FEnd = *pTimeEnd;
  return S_OK;
}

HRESULT TSimSample::SetActualDataLength(LONG length) {
  if (length < 0 || length > FSize) return VFW_E_BUFFER_OVERFLOW;
  FActual = length;
  return S_OK;
}

HRESULT TSimSample::GetMediaType(AM_MEDIA_TYPE** ppMediaType) {
  if (!ppMediaType) return E_POINTER;
  *ppMediaType = nullptr;
  if (!FType.Valid()) return S_FALSE;
  *ppMediaType = SimCreateMediaType(FOwner.Com(), FType.Get());
  return *ppMediaType ? S_OK : E_OUTOFMEMORY;
}

HRESULT TSimSample::SetMediaType(AM_MEDIA_TYPE* pMediaType) {
  if (!pMediaType) {
    FType.Clear();
    return S_OK;
  }
  FType.Set(*pMediaType);
  return S_OK;
}

HRESULT TSimSample::GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) {
  if (!pTimeStart || !pTimeEnd) return E_POINTER;
  if (!FHasMediaTime) return VFW_E_MEDIA_TIME_NOT_SET;
  *pTimeStart = FMediaStart;
  *pTimeEnd = FMediaEnd;
  return S_OK;
}

HRESULT TSimSample::SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) {
  if (!pTimeStart || !pTimeEnd) {
    FHasMediaTime = false;
    return S_OK;
  }
  FHasMediaTime = true;
  FMediaStart = *pTimeStart;
  FMediaEnd = *pTimeEnd;
  return S_OK;
}

// ---------------------------------------------------------------- memory allocator

TSimMemAllocator::TSimMemAllocator(TWorldPtr world) : TSimComObject(std::move(world)) {
  std::lock_guard g(FWorld->Mutex);
  FLimit = FWorld->AllocatorLimit;
}

TSimMemAllocator::~TSimMemAllocator() = default;

HRESULT TSimMemAllocator::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IMemAllocator) return SimAnswer(static_cast<IMemAllocator*>(this), ppv);
  return E_NOINTERFACE;
}

HRESULT TSimMemAllocator::SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) {
  if (!pRequest || !pActual) return E_POINTER;
  std::lock_guard g(FMutex);
  if (FCommitted) return VFW_E_ALREADY_COMMITTED;
  if (FOutstanding > 0) return VFW_E_BUFFERS_OUTSTANDING;
  const LONG align = pRequest->cbAlign;
  if (align <= 0 || (align & (align - 1)) != 0) return VFW_E_BADALIGN;
  if (pRequest->cBuffers < 0 || pRequest->cbBuffer < 0 || pRequest->cbPrefix < 0) return E_INVALIDARG;
  ALLOCATOR_PROPERTIES actual = *pRequest;
  // Whole alignment units, prefix included, as the system allocator lays buffers out.
  LONG size = pRequest->cbBuffer + pRequest->cbPrefix;
  if (const LONG rest = size % align) size += align - rest;
  actual.cbBuffer = size - pRequest->cbPrefix;
  if (FLimit > 0 && actual.cbBuffer > FLimit) actual.cbBuffer = FLimit;
  FProps = actual;
  FPropertiesSet = true;
  *pActual = actual;
  return S_OK;
}

HRESULT TSimMemAllocator::GetProperties(ALLOCATOR_PROPERTIES* pProps) {
  if (!pProps) return E_POINTER;
  std::lock_guard g(FMutex);
  *pProps = FProps;
  return S_OK;
}

HRESULT TSimMemAllocator::Commit() {
  std::lock_guard g(FMutex);
  if (FCommitted) return S_OK;
  if (!FPropertiesSet || FProps.cbBuffer <= 0 || FProps.cBuffers <= 0) return VFW_E_SIZENOTSET;
  // Buffers of an earlier commit that are still out stay alive until they come back.
  for (auto& s : FSamples) {
    if (std::find(FFreeList.begin(), FFreeList.end(), s.get()) == FFreeList.end()) FRetired.push_back(std::move(s));
  }
  FSamples.clear();
  FFreeList.clear();
  for (LONG i = 0; i < FProps.cBuffers; ++i) {
    FSamples.push_back(std::make_unique<TSimSample>(*this, FProps.cbBuffer));
    FFreeList.push_back(FSamples.back().get());
  }
  FCommitted = true;
  return S_OK;
}

HRESULT TSimMemAllocator::Decommit() {
  {
    std::lock_guard g(FMutex);
    if (!FCommitted) return S_OK;
    FCommitted = false;
  }
  FFree.notify_all();
  return S_OK;
}

HRESULT TSimMemAllocator::GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME*, REFERENCE_TIME*, DWORD dwFlags) {
  if (!ppBuffer) return E_POINTER;
  *ppBuffer = nullptr;
  std::unique_lock lk(FMutex);
  for (;;) {
    if (!FCommitted) return VFW_E_NOT_COMMITTED;
    if (!FFreeList.empty()) break;
    if (dwFlags & AM_GBF_NOWAIT) return VFW_E_TIMEOUT;
    FFree.wait(lk);
  }
  TSimSample* s = FFreeList.back();
  FFreeList.pop_back();
  ++FOutstanding;
  s->Hand();
  AddRefImpl();  // an outstanding sample keeps its allocator
  *ppBuffer = s;
  return S_OK;
}

HRESULT TSimMemAllocator::ReleaseBuffer(IMediaSample* pBuffer) {
  if (!pBuffer) return E_POINTER;
  auto* s = static_cast<TSimSample*>(pBuffer);
  {
    std::lock_guard g(FMutex);
    s->Recycle();
    --FOutstanding;
    auto retired = std::find_if(FRetired.begin(), FRetired.end(), [&](auto& r) { return r.get() == s; });
    if (retired != FRetired.end()) {
      FRetired.erase(retired);
    } else {
      FFreeList.push_back(s);
    }
  }
  FFree.notify_one();
  ReleaseImpl();
  return S_OK;
}

HRESULT SimCreateAllocator(const TWorldPtr& world, REFIID iid, void** ppv) {
  auto* a = new TSimMemAllocator(world);
  return SimHandOut(a, static_cast<IMemAllocator*>(a), iid, ppv);
}

// ---------------------------------------------------------------- filter base

TSimFilter::TSimFilter(TWorldPtr world, const CLSID& clsid) : TSimComObject(std::move(world)), FClsid(clsid) {}

TSimFilter::~TSimFilter() = default;

HRESULT TSimFilter::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter)
    return SimAnswer(static_cast<IBaseFilter*>(this), ppv);
  return QueryMore(riid, ppv);
}

HRESULT TSimFilter::GetClassID(CLSID* pClassID) {
  if (!pClassID) return E_POINTER;
  *pClassID = FClsid;
  return S_OK;
}

HRESULT TSimFilter::Stop() {
  std::lock_guard change(FStateChange);
  {
    std::lock_guard g(FLock);
    if (FState == State_Stopped) return S_OK;
    FState = State_Stopped;
  }
  OnStopped();
  return S_OK;
}

HRESULT TSimFilter::Pause() {
  std::lock_guard change(FStateChange);
  FILTER_STATE from;
  {
    std::lock_guard g(FLock);
    from = FState;
    if (from == State_Paused) return S_OK;
    FState = State_Paused;
  }
  OnPaused(from);
  return S_OK;
}

HRESULT TSimFilter::Run(REFERENCE_TIME tStart) {
  {
    std::lock_guard g(FLock);
    if (FState == State_Running) return S_OK;
  }
  if (State() == State_Stopped) {
    HRESULT hr = Pause();
    if (FAILED(hr)) return hr;
  }
  std::lock_guard change(FStateChange);
  {
    std::lock_guard g(FLock);
    FStart = tStart;
    FState = State_Running;
  }
  OnRunning(tStart);
  return S_OK;
}

HRESULT TSimFilter::GetState(DWORD, FILTER_STATE* State) {
  if (!State) return E_POINTER;
  std::lock_guard g(FLock);
  *State = FState;
  return S_OK;
}

HRESULT TSimFilter::SetSyncSource(IReferenceClock* pClock) {
  std::lock_guard g(FLock);
  FClock = pClock;
  return S_OK;
}

HRESULT TSimFilter::GetSyncSource(IReferenceClock** pClock) {
  if (!pClock) return E_POINTER;
  std::lock_guard g(FLock);
  *pClock = FClock.Get();
  if (*pClock) (*pClock)->AddRef();
  return S_OK;
}

HRESULT TSimFilter::EnumPins(IEnumPins** ppEnum) {
  if (!ppEnum) return E_POINTER;
  std::vector<TRefPtr<IPin>> pins;
  {
    std::lock_guard g(FLock);
    for (auto& p : FPins) pins.emplace_back(static_cast<IPin*>(p.get()));
  }
  *ppEnum = new TSimRefEnum<IEnumPins, IPin>(FWorld, IID_IEnumPins, std::move(pins));
  return S_OK;
}

HRESULT TSimFilter::FindPin(LPCWSTR Id, IPin** ppPin) {
  if (!Id || !ppPin) return E_POINTER;
  *ppPin = nullptr;
  const std::string name = FromOle(Id);
  std::lock_guard g(FLock);
  for (auto& p : FPins) {
    if (p->Name() == name) {
      *ppPin = p.get();
      (*ppPin)->AddRef();
      return S_OK;
    }
  }
  return VFW_E_NOT_FOUND;
}

HRESULT TSimFilter::QueryFilterInfo(FILTER_INFO* pInfo) {
  if (!pInfo) return E_POINTER;
  std::lock_guard g(FLock);
  CopyName(pInfo->achName, MAX_FILTER_NAME, FName);
  pInfo->pGraph = FGraph;
  if (FGraph) FGraph->AddRef();
  return S_OK;
}

HRESULT TSimFilter::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) {
  std::lock_guard g(FLock);
  FGraph = pGraph;
  FSink = nullptr;
  if (pGraph) {
    void* sink = nullptr;
    if (SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink, &sink))) {
      FSink = static_cast<IMediaEventSink*>(sink);
      FSink->Release();  // the graph outlives its membership
    }
  }
  FName = pName ? FromOle(pName) : std::string();
  return S_OK;
}

HRESULT TSimFilter::QueryVendorInfo(LPWSTR* pVendorInfo) {
  if (pVendorInfo) *pVendorInfo = nullptr;
  return E_NOTIMPL;
}

void TSimFilter::NotifyEvent(LONG code, LONG_PTR p1, LONG_PTR p2) {
  IMediaEventSink* sink;
  {
    std::lock_guard g(FLock);
    sink = FSink;
  }
  if (sink) sink->Notify(code, p1, p2);
}

// ---------------------------------------------------------------- pins

TSimPin::TSimPin(TSimFilter& filter, std::string name, PIN_DIRECTION dir, const GUID& category)
    : FFilter(filter), FName(std::move(name)), FDir(dir), FCategory(category), FType(filter.Com()) {}

TSimPin::~TSimPin() = default;

HRESULT TSimPin::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IPin) return SimAnswer(static_cast<IPin*>(this), ppv);
  if (riid == IID_ISimPinCategory) return SimAnswer(static_cast<ISimPinCategory*>(this), ppv);
  return QueryMore(riid, ppv);
}

bool TSimPin::IsConnected() {
  std::lock_guard g(FFilter.Lock());
  return FPeer != nullptr;
}

TRefPtr<IPin> TSimPin::Peer() {
  std::lock_guard g(FFilter.Lock());
  return FPeer;
}

bool TSimPin::ConnectionType(TSimMediaType& out) {
  std::lock_guard g(FFilter.Lock());
  if (!FPeer || !FType.Valid()) return false;
  out = FType;
  return true;
}

HRESULT TSimPin::ConnectedTo(IPin** pPin) {
  if (!pPin) return E_POINTER;
  std::lock_guard g(FFilter.Lock());
  *pPin = FPeer.Get();
  if (!*pPin) return VFW_E_NOT_CONNECTED;
  (*pPin)->AddRef();
  return S_OK;
}

HRESULT TSimPin::ConnectionMediaType(AM_MEDIA_TYPE* pmt) {
  if (!pmt) return E_POINTER;
  std::lock_guard g(FFilter.Lock());
  if (!FPeer || !FType.Valid()) {
    *pmt = AM_MEDIA_TYPE{};
    return VFW_E_NOT_CONNECTED;
  }
  return SimCopyMediaType(FFilter.Com(), *pmt, FType.Get());
}

HRESULT TSimPin::QueryPinInfo(PIN_INFO* pInfo) {
  if (!pInfo) return E_POINTER;
  pInfo->pFilter = &FFilter;
  FFilter.AddRef();
  pInfo->dir = FDir;
  CopyName(pInfo->achName, MAX_PIN_NAME, FName);
  return S_OK;
}

HRESULT TSimPin::QueryDirection(PIN_DIRECTION* pPinDir) {
  if (!pPinDir) return E_POINTER;
  *pPinDir = FDir;
  return S_OK;
}

HRESULT TSimPin::QueryId(LPWSTR* Id) {
  if (!Id) return E_POINTER;
  *Id = TaskString(FFilter.Com(), FName);
  return *Id ? S_OK : E_OUTOFMEMORY;
}

HRESULT TSimPin::QueryAccept(const AM_MEDIA_TYPE* pmt) {
  if (!pmt) return E_POINTER;
  return CheckType(*pmt) == S_OK ? S_OK : S_FALSE;
}

HRESULT TSimPin::EnumMediaTypes(IEnumMediaTypes** ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = new TSimEnumMediaTypes(FFilter.World(), OfferedTypes());
  return S_OK;
}

HRESULT TSimPin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }

HRESULT TSimPin::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) { return S_OK; }

// --- input pins

HRESULT TSimInputPin::QueryMore(REFIID riid, void** ppv) {
  if (riid == IID_IMemInputPin) return SimAnswer(static_cast<IMemInputPin*>(this), ppv);
  return TSimPin::QueryMore(riid, ppv);
}

HRESULT TSimInputPin::Connect(IPin*, const AM_MEDIA_TYPE*) { return E_UNEXPECTED; }

HRESULT TSimInputPin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) {
  if (!pConnector || !pmt) return E_POINTER;
  std::lock_guard g(FFilter.Lock());
  if (FPeer) return VFW_E_ALREADY_CONNECTED;
  if (FFilter.State() != State_Stopped) return VFW_E_NOT_STOPPED;
  if (HRESULT hr = FFilter.World()->Take("Pin.ReceiveConnection"); FAILED(hr)) return hr;
  PIN_DIRECTION dir;
  if (FAILED(pConnector->QueryDirection(&dir)) || dir != PINDIR_OUTPUT) return VFW_E_INVALID_DIRECTION;
  if (CheckType(*pmt) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
  FPeer = pConnector;
  FType.Set(*pmt);
  Connected(*pmt);
  return S_OK;
}

HRESULT TSimInputPin::Disconnect() {
  TRefPtr<IMemAllocator> allocator;
  {
    std::lock_guard g(FFilter.Lock());
    if (FFilter.State() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (!FPeer) return S_FALSE;
    FPeer.Reset();
    FType.Clear();
    allocator = std::move(FAllocator);
  }
  if (allocator) allocator->Decommit();
  Disconnected();
  return S_OK;
}

HRESULT TSimInputPin::GetAllocator(IMemAllocator** ppAllocator) {
  if (!ppAllocator) return E_POINTER;
  *ppAllocator = nullptr;
  if (!OffersAllocator()) return VFW_E_NO_ALLOCATOR;
  std::lock_guard g(FFilter.Lock());
  if (!FAllocator) {
    void* a = nullptr;
    HRESULT hr = SimCreateAllocator(FFilter.World(), IID_IMemAllocator, &a);
    if (FAILED(hr)) return hr;
    FAllocator = TRefPtr<IMemAllocator>::Adopt(static_cast<IMemAllocator*>(a));
  }
  *ppAllocator = FAllocator.Get();
  (*ppAllocator)->AddRef();
  return S_OK;
}

HRESULT TSimInputPin::NotifyAllocator(IMemAllocator* pAllocator, BOOL) {
  if (!pAllocator) return E_POINTER;
  std::lock_guard g(FFilter.Lock());
  FAllocator = pAllocator;
  return S_OK;
}

HRESULT TSimInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) { return E_NOTIMPL; }

HRESULT TSimInputPin::ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed) {
  if (!pSamples || !nSamplesProcessed) return E_POINTER;
  *nSamplesProcessed = 0;
  HRESULT hr = S_OK;
  for (LONG i = 0; i < nSamples; ++i) {
    hr = Receive(pSamples[i]);
    if (hr != S_OK) break;
    ++*nSamplesProcessed;
  }
  return hr;
}

TRefPtr<IMemAllocator> TSimInputPin::Allocator() {
  std::lock_guard g(FFilter.Lock());
  return FAllocator;
}

// --- output pins

HRESULT TSimOutputPin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) {
  if (!pReceivePin) return E_POINTER;
  std::lock_guard g(FFilter.Lock());
  if (FPeer) return VFW_E_ALREADY_CONNECTED;
  if (FFilter.State() != State_Stopped) return VFW_E_NOT_STOPPED;
  PIN_DIRECTION dir;
  if (FAILED(pReceivePin->QueryDirection(&dir)) || dir != PINDIR_INPUT) return VFW_E_INVALID_DIRECTION;
  const bool bFull = pmt && !IsNull(pmt->majortype) && !IsNull(pmt->subtype) && !IsNull(pmt->formattype);
  if (bFull) return SUCCEEDED(TryType(pReceivePin, *pmt)) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  auto matches = [&](const AM_MEDIA_TYPE& mt) {
    if (!pmt) return true;
    return (IsNull(pmt->majortype) || pmt->majortype == mt.majortype) &&
           (IsNull(pmt->subtype) || pmt->subtype == mt.subtype) &&
           (IsNull(pmt->formattype) || pmt->formattype == mt.formattype);
  };
  for (const TSimMediaType& mt : OfferedTypes()) {
    if (matches(mt.Get()) && SUCCEEDED(TryType(pReceivePin, mt.Get()))) return S_OK;
  }
  return VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT TSimOutputPin::TryType(IPin* receivePin, const AM_MEDIA_TYPE& mt) {
  if (CheckType(mt) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
  FPeer = receivePin;
  FType.Set(mt);
  HRESULT hr = receivePin->ReceiveConnection(this, &mt);
  if (SUCCEEDED(hr)) {
    void* input = nullptr;
    hr = receivePin->QueryInterface(IID_IMemInputPin, &input);
    if (SUCCEEDED(hr)) {
      FInput = TRefPtr<IMemInputPin>::Adopt(static_cast<IMemInputPin*>(input));
      hr = DecideAllocator(mt);
    }
    if (FAILED(hr)) receivePin->Disconnect();
  }
  if (FAILED(hr)) {
    FPeer.Reset();
    FInput.Reset();
    FAllocator.Reset();
    FType.Clear();
  }
  return hr;
}

HRESULT TSimOutputPin::DecideAllocator(const AM_MEDIA_TYPE& mt) {
  ALLOCATOR_PROPERTIES want{};
  Requirements(mt, want);
  ALLOCATOR_PROPERTIES peer{};
  if (SUCCEEDED(FInput->GetAllocatorRequirements(&peer)) && peer.cbAlign > want.cbAlign) want.cbAlign = peer.cbAlign;
  if (want.cbAlign <= 0) want.cbAlign = 1;
  auto attempt = [&](IMemAllocator* a) {
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = a->SetProperties(&want, &actual);
    if (SUCCEEDED(hr) && actual.cbBuffer < want.cbBuffer) hr = E_FAIL;
    if (SUCCEEDED(hr)) hr = FInput->NotifyAllocator(a, FALSE);
    return hr;
  };
  IMemAllocator* theirs = nullptr;
  HRESULT hr = FInput->GetAllocator(&theirs);
  if (SUCCEEDED(hr)) {
    auto held = TRefPtr<IMemAllocator>::Adopt(theirs);
    hr = attempt(theirs);
    if (SUCCEEDED(hr)) {
      FAllocator = held;
      return S_OK;
    }
  }
  void* mine = nullptr;
  hr = SimCreateAllocator(FFilter.World(), IID_IMemAllocator, &mine);
  if (FAILED(hr)) return hr;
  auto own = TRefPtr<IMemAllocator>::Adopt(static_cast<IMemAllocator*>(mine));
  hr = attempt(own.Get());
  if (SUCCEEDED(hr)) FAllocator = own;
  return hr;
}

HRESULT TSimOutputPin::ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) { return E_UNEXPECTED; }

HRESULT TSimOutputPin::Disconnect() {
  TRefPtr<IMemAllocator> allocator;
  {
    std::lock_guard g(FFilter.Lock());
    if (FFilter.State() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (!FPeer) return S_FALSE;
    FPeer.Reset();
    FInput.Reset();
    FType.Clear();
    allocator = std::move(FAllocator);
  }
  if (allocator) allocator->Decommit();
  return S_OK;
}

HRESULT TSimOutputPin::Commit() {
  TRefPtr<IMemAllocator> a;
  {
    std::lock_guard g(FFilter.Lock());
    a = FAllocator;
  }
  return a ? a->Commit() : S_OK;
}

void TSimOutputPin::Decommit() {
  TRefPtr<IMemAllocator> a;
  {
    std::lock_guard g(FFilter.Lock());
    a = FAllocator;
  }
  if (a) a->Decommit();
}

HRESULT TSimOutputPin::GetDeliveryBuffer(TRefPtr<IMediaSample>& sample) {
  TRefPtr<IMemAllocator> a;
  {
    std::lock_guard g(FFilter.Lock());
    a = FAllocator;
  }
  if (!a) return VFW_E_NO_ALLOCATOR;
  return a->GetBuffer(sample.Receive(), nullptr, nullptr, 0);
}

HRESULT TSimOutputPin::Deliver(IMediaSample* sample) {
  TRefPtr<IMemInputPin> input;
  {
    std::lock_guard g(FFilter.Lock());
    input = FInput;
  }
  return input ? input->Receive(sample) : VFW_E_NOT_CONNECTED;
}

HRESULT TSimOutputPin::DeliverEndOfStream() {
  TRefPtr<IPin> peer = Peer();
  return peer ? peer->EndOfStream() : VFW_E_NOT_CONNECTED;
}

// ---------------------------------------------------------------- audio renderer

namespace {

// How far ahead of the play position the renderer takes samples into its device buffer.
constexpr auto kDeviceAhead = 100ms;

class TSimRenderer;

class TRendererPin final : public TSimInputPin {
 public:
  TRendererPin(TSimRenderer& renderer);
  HRESULT STDMETHODCALLTYPE Receive(IMediaSample* pSample) override;
  HRESULT STDMETHODCALLTYPE EndOfStream() override;
  HRESULT STDMETHODCALLTYPE BeginFlush() override;
  HRESULT STDMETHODCALLTYPE EndFlush() override;

 protected:
  HRESULT CheckType(const AM_MEDIA_TYPE& mt) override { return PlayablePcm(mt) ? S_OK : S_FALSE; }
  bool OffersAllocator() override;
  void Connected(const AM_MEDIA_TYPE& mt) override;
  void Disconnected() override;

 private:
  TSimRenderer& FRenderer;
};

class TSimRenderer final : public TSimFilter, public IBasicAudio {
 public:
  TSimRenderer(TWorldPtr world, int device) : TSimFilter(std::move(world), CLSID_DSoundRender) {
    FPins.push_back(std::make_unique<TRendererPin>(*this));
    FLog = std::make_shared<TRendererLog>();
    FLog->Info.Device = device;
    {
      std::lock_guard act(FLog->ActMutex);
      FLog->LoseDevice = [this] { NotifyEvent(EC_DEVICE_LOST, 0, 0); };
    }
    std::lock_guard g(FWorld->Mutex);
    FOffersAllocator = FWorld->bRendererAllocator;
    FKeepsSamples = FWorld->bRendererKeepsSamples;
    FWorld->Renderers.push_back(FLog);
  }
  ~TSimRenderer() override {
    {
      std::lock_guard act(FLog->ActMutex);
      FLog->LoseDevice = nullptr;
    }
    StopThread();
    ReleaseQueue();
    for (IMediaSample* s : FKept) s->Release();
    std::lock_guard g(FLog->Mutex);
    FLog->Info.bAlive = false;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override { return TSimFilter::QueryInterface(riid, ppv); }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_Volume(LONG v) override {
    if (v < -10000 || v > 0) return E_INVALIDARG;
    std::lock_guard g(FLog->Mutex);
    FLog->Info.Volume = v;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Volume(LONG* v) override {
    if (!v) return E_POINTER;
    std::lock_guard g(FLog->Mutex);
    *v = FLog->Info.Volume;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Balance(LONG v) override {
    if (v < -10000 || v > 10000) return E_INVALIDARG;
    std::lock_guard g(FLog->Mutex);
    FLog->Info.Balance = v;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Balance(LONG* v) override {
    if (!v) return E_POINTER;
    std::lock_guard g(FLog->Mutex);
    *v = FLog->Info.Balance;
    return S_OK;
  }

  bool OffersAllocator() const { return FOffersAllocator; }

  void Connected(const AM_MEDIA_TYPE& mt) {
    std::lock_guard g(FLog->Mutex);
    FLog->Info.Format.assign(mt.pbFormat, mt.pbFormat + mt.cbFormat);
  }
  void Disconnected() {
    std::lock_guard g(FLog->Mutex);
    FLog->Info.Format.clear();
  }

  HRESULT Receive(IMediaSample* sample) {
    if (!sample) return E_POINTER;
    std::unique_lock lk(FStream);
    if (FFlushing) return S_FALSE;
    if (FStreamState == State_Stopped) return VFW_E_WRONG_STATE;
    {
      std::lock_guard g(FLog->Mutex);
      ++FLog->Info.Received;
    }
    // Paused: the first sample is held as the preroll; the next waits for run, stop or flush.
    FChanged.wait(lk, [&] { return FFlushing || FStreamState != State_Paused || FQueue.empty(); });
    if (FFlushing) return S_FALSE;
    if (FStreamState == State_Stopped) return VFW_E_WRONG_STATE;
    sample->AddRef();
    FQueue.push_back(sample);
    FChanged.notify_all();
    return S_OK;
  }

  HRESULT EndOfStream() {
    {
      std::lock_guard g(FLog->Mutex);
      FLog->Info.bEndOfStream = true;
    }
    std::lock_guard lk(FStream);
    if (FFlushing) return S_FALSE;
    FEndOfStream = true;
    FChanged.notify_all();
    return S_OK;
  }

  HRESULT BeginFlush() {
    {
      std::lock_guard lk(FStream);
      FFlushing = true;
      FChanged.notify_all();
    }
    ReleaseQueue();
    std::lock_guard g(FLog->Mutex);
    ++FLog->Info.Flushes;
    return S_OK;
  }

  HRESULT EndFlush() {
    std::lock_guard lk(FStream);
    FFlushing = false;
    FEndOfStream = false;
    FCompleteSent = false;
    return S_OK;
  }

 protected:
  HRESULT QueryMore(REFIID riid, void** ppv) override {
    if (riid == IID_IBasicAudio || riid == IID_IDispatch) return SimAnswer(static_cast<IBasicAudio*>(this), ppv);
    return TSimFilter::QueryMore(riid, ppv);
  }

  void OnStopped() override {
    {
      std::lock_guard lk(FStream);
      FStreamState = State_Stopped;
      FEndOfStream = false;
      FCompleteSent = false;
      FChanged.notify_all();
    }
    StopThread();
    ReleaseQueue();
    if (auto a = static_cast<TRendererPin*>(FPins[0].get())->Allocator()) a->Decommit();
    SetLogState(State_Stopped);
  }

  void OnPaused(FILTER_STATE) override {
    {
      std::lock_guard lk(FStream);
      FStreamState = State_Paused;
      FChanged.notify_all();
    }
    StopThread();
    SetLogState(State_Paused);
  }

  void OnRunning(REFERENCE_TIME) override {
    TSimMediaType mt(Com());
    WAVEFORMATEX w{};
    if (static_cast<TSimPin*>(FPins[0].get())->ConnectionType(mt)) SimWaveFormat(mt.Get(), w);
    {
      std::lock_guard lk(FStream);
      FStreamState = State_Running;
      FBytesPerSecond = w.nAvgBytesPerSec ? w.nAvgBytesPerSec : 176400;
      FPlayEnd = std::chrono::steady_clock::now();
      FThreadRuns = true;
      FChanged.notify_all();
    }
    FThread = std::thread([this] { Play(); });
    SetLogState(State_Running);
  }

 private:
  void SetLogState(FILTER_STATE s) {
    std::lock_guard g(FLog->Mutex);
    FLog->Info.State = s;
  }

  void StopThread() {
    {
      std::lock_guard lk(FStream);
      FThreadRuns = false;
      FChanged.notify_all();
    }
    if (FThread.joinable()) FThread.join();
  }

  void ReleaseQueue() {
    std::deque<IMediaSample*> dropped;
    {
      std::lock_guard lk(FStream);
      dropped.swap(FQueue);
      FChanged.notify_all();
    }
    for (IMediaSample* s : dropped) s->Release();
  }

  // Takes samples into the device buffer as the play position allows, in real time.
  void Play() {
    std::unique_lock lk(FStream);
    while (FThreadRuns) {
      if (FQueue.empty() || FFlushing) {
        if (FEndOfStream && !FCompleteSent && !FFlushing) {
          // Complete once the device has played what it holds.
          if (FChanged.wait_until(lk, FPlayEnd, [&] { return !FThreadRuns || FFlushing || !FQueue.empty(); }))
            continue;
          FCompleteSent = true;
          lk.unlock();
          NotifyEvent(EC_COMPLETE, S_OK, 0);
          lk.lock();
          continue;
        }
        FChanged.wait(lk);
        continue;
      }
      const auto now = std::chrono::steady_clock::now();
      if (FPlayEnd < now) FPlayEnd = now;
      if (FChanged.wait_until(lk, FPlayEnd - kDeviceAhead, [&] { return !FThreadRuns || FFlushing; })) continue;
      IMediaSample* s = FQueue.front();
      FQueue.pop_front();
      const LONG length = s->GetActualDataLength();
      FPlayEnd += std::chrono::nanoseconds(static_cast<std::int64_t>(length) * 1000000000 / FBytesPerSecond);
      TSimRenderedSample r;
      BYTE* data = nullptr;
      if (SUCCEEDED(s->GetPointer(&data)) && length > 0) r.Data.assign(data, data + length);
      r.bHasTime = SUCCEEDED(s->GetTime(&r.Start, &r.End));
      r.bSyncPoint = s->IsSyncPoint() == S_OK;
      r.bDiscontinuity = s->IsDiscontinuity() == S_OK;
      FChanged.notify_all();
      lk.unlock();
      {
        std::lock_guard g(FLog->Mutex);
        FLog->Info.Played.push_back(std::move(r));
      }
      lk.lock();
      if (FKeepsSamples) {
        FKept.push_back(s);
      } else {
        lk.unlock();
        s->Release();
        lk.lock();
      }
    }
  }

  std::shared_ptr<TRendererLog> FLog;
  bool FOffersAllocator = true;
  bool FKeepsSamples = false;
  std::vector<IMediaSample*> FKept;  // under FStream; released by the destructor alone
  std::mutex FStream;
  std::condition_variable FChanged;
  FILTER_STATE FStreamState = State_Stopped;
  std::deque<IMediaSample*> FQueue;
  bool FFlushing = false, FEndOfStream = false, FCompleteSent = false, FThreadRuns = false;
  std::uint32_t FBytesPerSecond = 176400;
  std::chrono::steady_clock::time_point FPlayEnd;
  std::thread FThread;
};

TRendererPin::TRendererPin(TSimRenderer& renderer)
    : TSimInputPin(renderer, "Audio Input pin (rendered)", PINDIR_INPUT), FRenderer(renderer) {}

HRESULT TRendererPin::Receive(IMediaSample* pSample) {
  if (!IsConnected()) return VFW_E_NOT_CONNECTED;
  return FRenderer.Receive(pSample);
}
HRESULT TRendererPin::EndOfStream() { return FRenderer.EndOfStream(); }
HRESULT TRendererPin::BeginFlush() { return FRenderer.BeginFlush(); }
HRESULT TRendererPin::EndFlush() { return FRenderer.EndFlush(); }
bool TRendererPin::OffersAllocator() { return FRenderer.OffersAllocator(); }
void TRendererPin::Connected(const AM_MEDIA_TYPE& mt) { FRenderer.Connected(mt); }
void TRendererPin::Disconnected() { FRenderer.Disconnected(); }

}  // namespace

HRESULT SimCreateRenderer(const TWorldPtr& world, int device, REFIID iid, void** ppv) {
  auto* r = new TSimRenderer(world, device);
  return SimHandOut(r, static_cast<IBaseFilter*>(r), iid, ppv);
}

// ---------------------------------------------------------------- a filter without pins

namespace {

class TSimPlainFilter final : public TSimFilter {
 public:
  using TSimFilter::TSimFilter;
};

}  // namespace

HRESULT SimCreatePlainFilter(const TWorldPtr& world, const CLSID& clsid, REFIID iid, void** ppv) {
  auto* f = new TSimPlainFilter(world, clsid);
  return SimHandOut(f, static_cast<IBaseFilter*>(f), iid, ppv);
}

}  // namespace portwise::platform::sim

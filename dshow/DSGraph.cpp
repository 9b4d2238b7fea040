#include "dshow/DSGraph.h"

#include <cinttypes>
#include <cstdio>

namespace portwise {

// ------------------------------------------------------------------ graph pin

TOWMLGraphSourcePin::TOWMLGraphSourcePin(TObject* AOwner, IOWLock* AOwnerLock) : TOWSourcePin(AOwner, AOwnerLock) {
  RegisterDataType(OWMLGraphDataTypeID, &TOWMLGraphSourcePin::DispatchGraph);
}

TOWMLGraphSourcePin::~TOWMLGraphSourcePin() { BeginDestroy(); }

TOWNotifyResult TOWMLGraphSourcePin::DispatchGraph(TOWBasicPin*, const TALGuid&, IOWNotifyOperation*, TOWNotifyState) {
  return 0;  // nothing comes back upstream to a graph
}

// ------------------------------------------------------------------ additional filters

std::string TDSFilterItem::GetFilterName() const { return FLock->Getter(FName); }
std::string TDSFilterItem::GetDriverName() const { return FLock->Getter(FDriverName); }

void TDSFilterItem::SetFilterName(const std::string& AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (AValue == FName) return;
  if (AValue.empty() || DSSameText(AValue, KDSNoneDeviceName)) {
    FName = KDSNoneDeviceName;
    FDriverName.clear();
    return;
  }
  TVLDSCapDeviceList list;
  list.EnumAllFilters();
  FDriverName = list.GetDeviceNameByString(AValue);
  FName = FDriverName.empty() ? std::string(KDSNoneDeviceName) : AValue;
}

TNotifyEvent TDSFilterItem::GetOnAdded() const {
  TOWLockSectionRef section = FLock->ReadLock();
  return FOnAdded;
}

void TDSFilterItem::SetOnAdded(TNotifyEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnAdded = std::move(AValue);
}

TRefPtr<IMoniker> TDSFilterItem::GetMoniker() const {
  std::string name, driver;
  {
    TOWLockSectionRef section = FLock->ReadLock();
    name = FName;
    driver = FDriverName;
  }
  if (DSSameText(name, KDSNoneDeviceName)) return nullptr;
  TVLDSCapDeviceList list;
  list.EnumAllFilters();
  return list.GetMonikerByDeviceName(driver);
}

std::string TDSFilterItem::GetDisplayName() const {
  const std::string name = GetFilterName();
  return name.empty() ? "Filter " + std::to_string(GetIndex() + 1) : name;
}

bool TDSFilterItem::WriteStoredData(std::vector<std::string>& AData) const {
  TOWLockSectionRef section = FLock->ReadLock();
  if (DSSameText(FName, KDSNoneDeviceName)) return false;
  AData = {FDriverName, FName};
  return true;
}

void TDSFilterItem::ReadStoredData(const std::vector<std::string>& AData) {
  TOWLockSectionRef section = FLock->WriteLock();
  FDriverName = AData.size() > 0 ? AData[0] : std::string();
  FName = AData.size() > 1 ? AData[1] : std::string();
}

const TLPPropertyList& TDSFilterItem::ClassProperties() {
  using C = TDSFilterItem;
  static const TLPPropertyList list(&TPersistent::ClassProperties(),
                                    LPProperty<C>("FilterName", &C::GetFilterName, &C::SetFilterName));
  return list;
}

// ------------------------------------------------------------------ browsing model

namespace {

std::vector<TRefPtr<IPin>> PinsOf(IBaseFilter* AFilter) {
  std::vector<TRefPtr<IPin>> pins;
  TRefPtr<IEnumPins> e;
  if (!AFilter || FAILED(AFilter->EnumPins(e.Receive())) || !e) return pins;
  e->Reset();
  IPin* p = nullptr;
  while (e->Next(1, &p, nullptr) == S_OK) {
    if (p) pins.push_back(TRefPtr<IPin>::Adopt(p));
    p = nullptr;
  }
  return pins;
}

std::vector<TRefPtr<IBaseFilter>> FiltersOf(IGraphBuilder* AGraph) {
  std::vector<TRefPtr<IBaseFilter>> filters;
  TRefPtr<IEnumFilters> e;
  if (!AGraph || FAILED(AGraph->EnumFilters(e.Receive())) || !e) return filters;
  IBaseFilter* f = nullptr;
  while (e->Next(1, &f, nullptr) == S_OK) {
    if (f) filters.push_back(TRefPtr<IBaseFilter>::Adopt(f));
    f = nullptr;
  }
  return filters;
}

std::string FilterName(IBaseFilter* AFilter, bool& AOk) {
  FILTER_INFO info{};
  AOk = SUCCEEDED(AFilter->QueryFilterInfo(&info));
  if (!AOk) return {};
  if (info.pGraph) info.pGraph->Release();
  return DSNameField(info.achName, MAX_FILTER_NAME);
}

}  // namespace

std::string TDSPin::GetName() const {
  PIN_INFO info{};
  if (FAILED(FPin->QueryPinInfo(&info))) return {};
  if (info.pFilter) info.pFilter->Release();
  return DSNameField(info.achName, MAX_PIN_NAME);
}

std::string TDSPin::GetPathName() const {
  PIN_INFO info{};
  if (FAILED(FPin->QueryPinInfo(&info))) return {};
  std::string filter;
  if (info.pFilter) {
    bool ok;
    filter = FilterName(info.pFilter, ok);
    info.pFilter->Release();
  }
  return filter + "." + DSNameField(info.achName, MAX_PIN_NAME);
}

std::string TDSPin::GetID() const {
  LPWSTR id = nullptr;
  if (FAILED(FPin->QueryId(&id))) return {};
  return DSTakeOleString(id);
}

bool TDSPin::IsConnected() const {
  TRefPtr<IPin> peer;
  return SUCCEEDED(FPin->ConnectedTo(peer.Receive())) && peer;
}

TDSPin* TDSPin::ConnectedTo() const {
  TRefPtr<IPin> peer;
  if (FAILED(FPin->ConnectedTo(peer.Receive())) || !peer) return nullptr;
  return FFilters.FindPin(peer.Get());
}

std::int32_t TDSPin::MediaTypesCount() const {
  TRefPtr<IEnumMediaTypes> e;
  if (FAILED(FPin->EnumMediaTypes(e.Receive())) || !e) return 0;
  std::int32_t n = 0;
  AM_MEDIA_TYPE* mt = nullptr;
  while (e->Next(1, &mt, nullptr) == S_OK) {
    DSDeleteMediaType(mt);
    mt = nullptr;
    ++n;
  }
  return n;
}

std::string TDSFilter::GetName() const {
  bool ok;
  return FilterName(FFilter.Get(), ok);
}

void TDSFilter::FillPins() {
  if (FFilled) return;
  FFilled = true;
  for (auto& p : PinsOf(FFilter.Get())) {
    PIN_DIRECTION dir = PINDIR_INPUT;
    p->QueryDirection(&dir);
    FPins.push_back(std::make_unique<TDSPin>(FFilters, p));
    (dir == PINDIR_INPUT ? FInputs : FOutputs).push_back(FPins.back().get());
  }
}

const std::vector<std::unique_ptr<TDSPin>>& TDSFilter::Pins() {
  FillPins();
  return FPins;
}

const std::vector<TDSPin*>& TDSFilter::InputPins() {
  FillPins();
  return FInputs;
}

const std::vector<TDSPin*>& TDSFilter::OutputPins() {
  FillPins();
  return FOutputs;
}

void TDSFilters::Fill() {
  const std::vector<TRefPtr<IBaseFilter>> filters = FiltersOf(FGraph.Graph().Get());
  // Cached entries stay; filters the graph has beyond them are appended.
  for (std::size_t i = FItems.size(); i < filters.size(); ++i)
    FItems.push_back(std::make_unique<TDSFilter>(*this, filters[i]));
}

std::int32_t TDSFilters::Count() {
  Fill();
  return static_cast<std::int32_t>(FItems.size());
}

TDSFilter* TDSFilters::Item(std::int32_t AIndex) {
  Fill();
  return AIndex >= 0 && AIndex < static_cast<std::int32_t>(FItems.size()) ? FItems[static_cast<std::size_t>(AIndex)].get()
                                                                           : nullptr;
}

TDSPin* TDSFilters::FindPin(IPin* APin) {
  Fill();
  for (auto& f : FItems)
    for (auto& p : f->Pins())
      if (p->Pin() == APin) return p.get();
  return nullptr;
}

// ------------------------------------------------------------------ graph wrapper

TDSGraph::TDSGraph(TComponent* AOwner, IOWLock* ALock) : TDSGraph(AOwner, ALock, nullptr) {}

TDSGraph::TDSGraph(TComponent* AOwner, IOWLock* ALock, TDSGraphNotifyEvent AOnNotify)
    : TLPPersistent(AOwner, ALock), FOwner(AOwner), FOnNotify(std::move(AOnNotify)) {
  const HRESULT hr = DSCom().CoInitialize();
  FCoInitialized = SUCCEEDED(hr);
  FPreviewForm = platform::Current().Messages().CreateHiddenWindow(
      [this](std::uint32_t msg, std::uintptr_t w, std::intptr_t l) { return HandleMessage(msg, w, l); });
  FFilters = std::make_unique<TDSFilters>(*this);
  FAdditionalFilters = std::make_unique<TDSFilterItems>(this, GetLock());
  FGraphPin = std::make_unique<TOWMLGraphSourcePin>(AOwner, ALock);
}

TDSGraph::~TDSGraph() {
  DestroyGraph();
  FGraphPin->Stop();
  FGraphPin.reset();
  FAdditionalFilters.reset();
  FFilters.reset();
  FOnMessage = nullptr;
  if (FPreviewForm) platform::Current().Messages().DestroyHiddenWindow(FPreviewForm);
  FPreviewForm = 0;
  if (FCoInitialized) DSCom().CoUninitialize();
}

const TLPPropertyList& TDSGraph::ClassProperties() {
  using C = TDSGraph;
  static const TLPPropertyList list(
      &TPersistent::ClassProperties(), LPProperty<C>("Register", &C::GetRegister, &C::SetRegister),
      LPProperty<C>("AdditionalFilters",
                    static_cast<const TDSFilterItems& (C::*)() const>(&C::GetAdditionalFilters),
                    &C::SetAdditionalFilters));
  return list;
}

bool TDSGraph::HandleMessage(std::uint32_t AMsg, std::uintptr_t wParam, std::intptr_t lParam) {
  if (AMsg == KDSGraphNotifyMessage) {
    DispatchGraphEvents();
  } else if (FOnMessage) {
    FOnMessage(AMsg, wParam, lParam);
  }
  return false;  // then the default processing, as the previous window procedure would
}

void TDSGraph::DispatchGraphEvents() {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return;
  LONG code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  while (FMediaEvent && SUCCEEDED(FMediaEvent->GetEvent(&code, &p1, &p2, 0))) {
    // Held for this event: a handler may release the wrapper's reference with the graph.
    TRefPtr<IMediaEventEx> events = FMediaEvent;
    bool freed = false;
    // The handlers of these two may destroy the graph: their parameters go first.
    if (code == EC_ERRORABORT || code == EC_DEVICE_LOST) {
      events->FreeEventParams(code, p1, p2);
      freed = true;
    }
    try {
      if (FOnNotify) FOnNotify(static_cast<std::int32_t>(code), p1, p2);
      if (code == EC_ERRORABORT && FOnAborted) FOnAborted(FOwner);
      if (code == EC_STARVATION && FOnStarvation) FOnStarvation(FOwner);
      if (code == EC_DEVICE_LOST && FOnDeviceLost) FOnDeviceLost(FOwner);
    } catch (...) {
      if (!freed) events->FreeEventParams(code, p1, p2);
      throw;
    }
    if (!freed) events->FreeEventParams(code, p1, p2);
  }
}

bool TDSGraph::CreateGraph() {
  if (FGraph) return true;
  void* object = nullptr;
  HRESULT hr = DSCom().CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                        IID_IGraphBuilder, &object);
  if (FAILED(hr)) {
    Error(KDSCantBuildGraph, hr);
    return false;
  }
  FGraph = TRefPtr<IGraphBuilder>::Adopt(static_cast<IGraphBuilder*>(object));
  return true;
}

bool TDSGraph::CreateGraphBuilder() {
  if (FGraphBuilder) return true;
  void* object = nullptr;
  HRESULT hr = DSCom().CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr,
                                        CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER, IID_ICaptureGraphBuilder2, &object);
  if (FAILED(hr)) {
    Error(KDSCantBuildGraphBuilder, hr);
    return false;
  }
  FGraphBuilder = TRefPtr<ICaptureGraphBuilder2>::Adopt(static_cast<ICaptureGraphBuilder2*>(object));
  hr = FGraphBuilder->SetFiltergraph(FGraph.Get());
  if (FAILED(hr)) {
    Error(KDSCantBuildGraphBuilder, hr);
    return false;
  }
  return true;
}

bool TDSGraph::RegisterAdditionalFilters() {
  bool result = true;
  for (std::int32_t i = 0; i < FAdditionalFilters->GetCount(); ++i) {
    TDSFilterItem* item = FAdditionalFilters->GetItem(i);
    TRefPtr<IMoniker> moniker = item->GetMoniker();
    if (!moniker) {
      result = false;
      continue;
    }
    void* object = nullptr;
    if (FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, &object)) || !object) {
      result = false;
      continue;
    }
    auto filter = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(object));
    const platform::TOleString name =
        platform::ToOle(item->GetFilterName() + "(Additional " + std::to_string(i + 1) + ")");
    if (!FGraph || FAILED(FGraph->AddFilter(filter.Get(), name.c_str()))) {
      result = false;
      continue;
    }
    if (TNotifyEvent added = item->GetOnAdded()) added(item);
  }
  return result;
}

void TDSGraph::AddToRunningObjectTable() {
  if (!FGraph) return;
  char name[64];
  std::snprintf(name, sizeof name, "FilterGraph %08" PRIXPTR " pid %08" PRIX32,
                reinterpret_cast<std::uintptr_t>(FGraph.Get()), static_cast<std::uint32_t>(DSCom().GetCurrentProcessId()));
  DWORD cookie = 0;
  if (SUCCEEDED(DSCom().RegisterRunningObject(FGraph.Get(), name, &cookie))) FROTReg = cookie;
}

void TDSGraph::RemoveFromRunningObjectTable() {
  if (FROTReg) DSCom().RevokeRunningObject(FROTReg);
  FROTReg = 0;
}

void TDSGraph::RegisterGraph() {
  TOWLockSectionRef section = FLock->WriteLock();
  if (FRegistered) return;
  if (FRegister) AddToRunningObjectTable();
  FRegistered = true;
}

void TDSGraph::UnregisterGraph() {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!FRegistered) return;
  if (FRegister) RemoveFromRunningObjectTable();
  FRegistered = false;
}

bool TDSGraph::GetRegister() const { return FLock->Getter(FRegister); }

void TDSGraph::SetRegister(bool AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (AValue == FRegister) return;
  FRegister = AValue;
  if (FRegistered) {
    if (AValue) {
      AddToRunningObjectTable();
    } else {
      RemoveFromRunningObjectTable();
    }
  }
}

bool TDSGraph::SetMediaEvent() {
  FMediaEvent = DSQuery<IMediaEventEx>(FGraph.Get(), IID_IMediaEventEx);
  if (!FMediaEvent) return false;
  FMediaEvent->SetNotifyWindow(static_cast<OAHWND>(FPreviewForm), static_cast<LONG>(KDSGraphNotifyMessage), 0);
  FMediaEvent->SetNotifyFlags(0);
  return true;
}

bool TDSGraph::GetMediaControl() {
  HRESULT hr = E_POINTER;
  FMediaControl = DSQuery<IMediaControl>(FGraph.Get(), IID_IMediaControl, &hr);
  if (!FMediaControl) {
    Error(KDSCantObtainMediaControl, hr);
    return false;
  }
  return true;
}

bool TDSGraph::Run() {
  HRESULT hr = 0;
  if (FMediaControl) {
    hr = FMediaControl->Run();
    if (SUCCEEDED(hr)) return true;
    FMediaControl->Stop();
  }
  Error(KDSCantStartGraph, hr);
  return false;
}

void TDSGraph::Stop(bool AShowError) {
  if (!FMediaControl) return;
  HRESULT hr = FMediaControl->Stop();
  if (FAILED(hr) && AShowError) Error(KDSCantStopGraph, hr);
}

void TDSGraph::Error(const std::string& Msg, std::int32_t ErrorCode) {
  SLReportError(FOwner, GetOnError(), Msg, ErrorCode);
}

void TDSGraph::Warning(const std::string& Msg, std::int32_t ErrorCode) {
  SLReportWarning(FOwner, GetOnWarning(), Msg, ErrorCode);
}

void TDSGraph::CheckWarning(const std::string& Msg, HRESULT AValue) {
  if (AValue < 0) Warning(Msg, AValue);
}

void TDSGraph::GraphBuilt() {
  if (TNotifyEvent built = GetOnGraphBuilt()) built(FOwner);
}

void TDSGraph::GraphChanged() {
  FFilters->Clear();
  FGraphPin->GraphChange();
}

void TDSGraph::DestroyGraph() {
  FMediaControl.Reset();
  FMediaEvent.Reset();
  FFilters->Clear();
  // The last reference to the graph manager lets all its filters go.
  FGraph.Reset();
  FGraphBuilder.Reset();
  TOWLockSectionRef released = FLock->UnlockAll();
  GraphChanged();
}

void TDSGraph::DestroyDownstream(IBaseFilter* pFilter) {
  if (!pFilter) return;
  TRefPtr<IEnumPins> pins;
  if (FAILED(pFilter->EnumPins(pins.Receive())) || !pins) return;
  pins->Reset();
  HRESULT hr = S_OK;
  while (hr == S_OK) {
    IPin* raw = nullptr;
    hr = pins->Next(1, &raw, nullptr);
    auto pin = TRefPtr<IPin>::Adopt(raw);
    if (hr != S_OK || !pin) continue;
    TRefPtr<IPin> other;
    if (FAILED(pin->ConnectedTo(other.Receive())) || !other) continue;
    PIN_INFO info{};
    if (FAILED(other->QueryPinInfo(&info))) {
      hr = E_FAIL;  // the walk ends after this pin
      continue;
    }
    auto otherFilter = TRefPtr<IBaseFilter>::Adopt(info.pFilter);
    if (info.dir != PINDIR_INPUT) continue;
    try {
      DestroyDownstream(otherFilter.Get());
    } catch (...) {
    }
    try {
      if (FGraph) FGraph->Disconnect(other.Get());
    } catch (...) {
    }
    try {
      if (FGraph) FGraph->Disconnect(pin.Get());
    } catch (...) {
    }
    try {
      if (FGraph) FGraph->RemoveFilter(otherFilter.Get());
    } catch (...) {
    }
  }
}

void TDSGraph::DestroyUpstream(IBaseFilter* pFilter) {
  if (!pFilter) return;
  TRefPtr<IEnumPins> pins;
  if (FAILED(pFilter->EnumPins(pins.Receive())) || !pins) return;
  pins->Reset();
  HRESULT hr = S_OK;
  while (hr == S_OK) {
    IPin* raw = nullptr;
    hr = pins->Next(1, &raw, nullptr);
    auto pin = TRefPtr<IPin>::Adopt(raw);
    if (hr != S_OK || !pin) continue;
    TRefPtr<IPin> other;
    if (FAILED(pin->ConnectedTo(other.Receive())) || !other) continue;
    PIN_INFO info{};
    if (FAILED(other->QueryPinInfo(&info))) {
      hr = E_FAIL;
      continue;
    }
    auto otherFilter = TRefPtr<IBaseFilter>::Adopt(info.pFilter);
    if (info.dir != PINDIR_OUTPUT) continue;
    DestroyUpstream(otherFilter.Get());
    if (FGraph) {
      FGraph->Disconnect(other.Get());
      FGraph->Disconnect(pin.Get());
      FGraph->RemoveFilter(otherFilter.Get());
    }
  }
}

TRefPtr<IBaseFilter> TDSGraph::GetFilterByClassID(const GUID& ClassID) {
  for (auto& f : FiltersOf(FGraph.Get())) {
    CLSID clsid = GUID_NULL;
    if (SUCCEEDED(f->GetClassID(&clsid)) && clsid == ClassID) return f;
  }
  return nullptr;
}

TRefPtr<IBaseFilter> TDSGraph::GetAudioRender() {
  if (TRefPtr<IBaseFilter> f = GetFilterByClassID(CLSID_DSoundRender)) return f;
  return GetFilterByClassID(CLSID_AudioRender);
}

TRefPtr<IBaseFilter> TDSGraph::GetVideoRender() {
  if (TRefPtr<IBaseFilter> f = GetFilterByClassID(CLSID_VideoRenderer)) return f;
  if (TRefPtr<IBaseFilter> f = GetFilterByClassID(CLSID_VideoMixingRenderer)) return f;
  return GetFilterByClassID(CLSID_VideoMixingRenderer9);
}

TRefPtr<IBaseFilter> TDSGraph::CreateFilterByName(const std::string& AFilterName) {
  TVLDSCapDeviceList list;
  list.EnumAllFilters();
  TRefPtr<IMoniker> moniker = list.GetMonikerByString(AFilterName);
  if (!moniker) return nullptr;
  void* object = nullptr;
  if (FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, &object))) return nullptr;
  return TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(object));
}

bool TDSGraph::ConnectFilterToPin(IBaseFilter* ASourceFilter, IPin* ASinkPin) {
  if (!FGraph || !ASourceFilter || !ASinkPin) return false;
  for (auto& pin : PinsOf(ASourceFilter)) {
    PIN_DIRECTION dir = PINDIR_INPUT;
    if (FAILED(pin->QueryDirection(&dir)) || dir != PINDIR_OUTPUT) continue;
    try {
      if (SUCCEEDED(FGraph->Connect(pin.Get(), ASinkPin))) return true;
    } catch (...) {
    }
  }
  return false;
}

bool TDSGraph::GetFilterList(std::vector<std::string>* AFiltersList) {
  if (!AFiltersList || !FGraph) return false;
  for (auto& f : FiltersOf(FGraph.Get())) {
    bool ok;
    std::string name = FilterName(f.Get(), ok);
    AFiltersList->push_back(ok ? name : "<Unavailable>");
  }
  return true;
}

bool TDSGraph::PostMessage(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) {
  return platform::Current().Messages().PostMessage(FPreviewForm, Msg, wParam, lParam);
}

void TDSGraph::SetMsgEvent(TDSMessageEvent AEvent) { FOnMessage = std::move(AEvent); }

TSLErrorEvent TDSGraph::GetOnError() const {
  TOWLockSectionRef section = FLock->ReadLock();
  return FOnError;
}
void TDSGraph::SetOnError(TSLErrorEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnError = std::move(AValue);
}
TSLWarningEvent TDSGraph::GetOnWarning() const {
  TOWLockSectionRef section = FLock->ReadLock();
  return FOnWarning;
}
void TDSGraph::SetOnWarning(TSLWarningEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnWarning = std::move(AValue);
}
TNotifyEvent TDSGraph::GetOnGraphBuilt() const {
  TOWLockSectionRef section = FLock->ReadLock();
  return FOnGraphBuilt;
}
void TDSGraph::SetOnGraphBuilt(TNotifyEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnGraphBuilt = std::move(AValue);
}
void TDSGraph::SetOnDeviceLost(TNotifyEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnDeviceLost = std::move(AValue);
}
void TDSGraph::SetOnAborted(TNotifyEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnAborted = std::move(AValue);
}
void TDSGraph::SetOnStarvation(TNotifyEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnStarvation = std::move(AValue);
}

}  // namespace portwise

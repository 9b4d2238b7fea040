#include "dshow/DSDevices.h"

#include <algorithm>
#include <cstdio>

namespace portwise {

// ------------------------------------------------------------------ list

TMLDFilterType DSFilterTypeOf(const std::string& ADeviceName) {
  const std::size_t first = ADeviceName.find(':');
  if (first == std::string::npos) return ftUnknown;
  const std::size_t second = ADeviceName.find(':', first + 1);
  if (second == std::string::npos) return ftUnknown;
  const std::string kind = DSUpper(ADeviceName.substr(first + 1, second - first - 1));
  if (kind == "PNP") return ftPlugAndPlay;
  if (kind == "CM") return ftCompressionManager;
  if (kind == "KS") return ftKernelStreaming;
  if (kind == "DMO") return ftDMO;
  return ftUnknown;
}

void TVLDSCapDeviceList::EnumFilters(const GUID& clsidDeviceClass) {
  Clear();
  AddEnumFilters(clsidDeviceClass);
}

void TVLDSCapDeviceList::AddEnumFilters(const GUID& clsidDeviceClass) {
  void* object = nullptr;
  if (FAILED(DSCom().CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                      IID_ICreateDevEnum, &object)))
    return;
  auto devEnum = TRefPtr<ICreateDevEnum>::Adopt(static_cast<ICreateDevEnum*>(object));
  TRefPtr<IEnumMoniker> monikers;
  // S_FALSE is an empty category: no enumerator comes with it.
  if (devEnum->CreateClassEnumerator(clsidDeviceClass, monikers.Receive(), 0) != S_OK || !monikers) return;
  AddMonikers(monikers.Get());
}

void TVLDSCapDeviceList::EnumAllFilters() {
  void* object = nullptr;
  if (FAILED(DSCom().CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                      IID_IFilterMapper2, &object)))
    return;
  auto mapper = TRefPtr<IFilterMapper2>::Adopt(static_cast<IFilterMapper2*>(object));
  TRefPtr<IEnumMoniker> monikers;
  if (FAILED(mapper->EnumMatchingFilters(monikers.Receive(), 0, FALSE, MERIT_DO_NOT_USE, FALSE, 0, nullptr, nullptr,
                                         nullptr, FALSE, FALSE, 0, nullptr, nullptr, nullptr)) ||
      !monikers)
    return;
  AddMonikers(monikers.Get());
}

void TVLDSCapDeviceList::AddMonikers(IEnumMoniker* AEnum) {
  IMoniker* moniker = nullptr;
  while (AEnum->Next(1, &moniker, nullptr) == S_OK) {
    auto held = TRefPtr<IMoniker>::Adopt(moniker);
    moniker = nullptr;
    if (held) AddDevice(held);
  }
}

void TVLDSCapDeviceList::AddDevice(const TRefPtr<IMoniker>& AMoniker) {
  void* object = nullptr;
  if (FAILED(AMoniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, &object)) || !object) return;
  auto bag = TRefPtr<IPropertyBag>::Adopt(static_cast<IPropertyBag*>(object));
  std::string name;
  DSReadBagString(bag.Get(), "FriendlyName", name);
  const std::string stdName = DSTrim(name);
  if (stdName.empty()) return;

  // Counted on the trimmed name, so names that differ only in blanks are told apart too.
  std::int32_t n = FindDeviceNum(stdName);
  auto numbered = [&name](std::int32_t k) {
    if (k <= 1) return name;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, " (%d)", static_cast<int>(k));
    return name + suffix;
  };
  std::string listName = numbered(n);
  // A friendly name may read like an earlier device's numbered one ("Speakers (2)"): the next free
  // number keeps every list name unique, so that each device can be chosen by its own.
  auto taken = [this](const std::string& AName) {
    return std::any_of(FItems.begin(), FItems.end(), [&](const auto& i) { return i->DeviceNameInList == AName; });
  };
  while (taken(listName)) listName = numbered(n = std::max(n, 1) + 1);

  GUID classId = GUID_NULL;
  std::string text;
  if (SUCCEEDED(DSReadBagString(bag.Get(), "CLSID", text))) {
    while (text.size() >= 2 && text[0] != '{') text.erase(0, 1);
    if (FAILED(DSCom().CLSIDFromString(text, &classId))) classId = GUID_NULL;
  }

  auto info = std::make_unique<TMLDSCapDeviceInfo>();
  info->DisplayName = name;
  info->DeviceNameInList = listName;
  info->DeviceStdNameInList = stdName;
  info->Moniker = AMoniker;
  info->CategoryClassID = classId;
  LPOLESTR displayName = nullptr;
  if (SUCCEEDED(AMoniker->GetDisplayName(nullptr, nullptr, &displayName))) {
    info->DeviceName = DSTakeOleString(displayName);
  } else if (displayName) {
    DSCom().CoTaskMemFree(displayName);
  }
  AMoniker->GetClassID(&info->MonikerClassID);
  info->FilterType = DSFilterTypeOf(info->DeviceName);
  FItems.push_back(std::move(info));
}

std::string TVLDSCapDeviceList::GetDeviceNameByString(const std::string& aString) const {
  for (auto& i : FItems)
    if (i->DeviceNameInList == aString) return i->DeviceName;
  return {};
}

std::string TVLDSCapDeviceList::GetStringByDeviceName(const std::string& aString) const {
  for (auto& i : FItems)
    if (i->DeviceName == aString) return i->DeviceNameInList;
  return {};
}

TRefPtr<IMoniker> TVLDSCapDeviceList::GetMonikerByDeviceName(const std::string& aString) const {
  for (auto& i : FItems)
    if (i->DeviceName == aString) return i->Moniker;
  return nullptr;
}

TRefPtr<IMoniker> TVLDSCapDeviceList::GetMonikerByString(const std::string& aString) const {
  for (auto& i : FItems)
    if (i->DeviceNameInList == aString) return i->Moniker;
  return nullptr;
}

GUID TVLDSCapDeviceList::GetCLSIDByString(const std::string& aString) const {
  for (auto& i : FItems)
    if (i->DeviceNameInList == aString) return i->CategoryClassID;
  return GUID_NULL;
}

TRefPtr<IMoniker> TVLDSCapDeviceList::GetMonikerByCLSID(const GUID& aClassID) const {
  for (auto& i : FItems)
    if (i->CategoryClassID == aClassID) return i->Moniker;
  return nullptr;
}

std::string TVLDSCapDeviceList::GetStringByCLSID(const GUID& aClassID) const {
  for (auto& i : FItems)
    if (i->CategoryClassID == aClassID) return i->DeviceNameInList;
  return {};
}

std::int32_t TVLDSCapDeviceList::GetIntByMoniker(IMoniker* aMoniker) const {
  for (std::size_t k = 0; k < FItems.size(); ++k)
    if (FItems[k]->Moniker.Get() == aMoniker) return static_cast<std::int32_t>(k);
  return -1;
}

std::string TVLDSCapDeviceList::GetStringByMoniker(IMoniker* aMoniker) const {
  for (auto& i : FItems)
    if (i->Moniker.Get() == aMoniker) return i->DeviceNameInList;
  return {};
}

std::int32_t TVLDSCapDeviceList::FindDeviceNum(const std::string& DeviceName) const {
  std::int32_t n = 1;
  for (auto& i : FItems)
    if (i->DeviceStdNameInList == DeviceName) ++n;
  return n;
}

// ------------------------------------------------------------------ alternative devices

TDSDevice& TDSDeviceItem::Device() const { return static_cast<TDSDeviceItems*>(GetCollection())->Device(); }

std::string TDSDeviceItem::GetDeviceName() const { return FLock->Getter(FName); }

std::string TDSDeviceItem::GetDriverName() const { return FLock->Getter(FDriverName); }

void TDSDeviceItem::SetDeviceName(const std::string& AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (AValue == FName) return;
  if (AValue.empty()) {
    FName.clear();
    FDriverName.clear();
    return;
  }
  TVLDSCapDeviceList list;
  list.EnumFilters(Device().DeviceCategory());
  FDriverName = list.GetDeviceNameByString(AValue);
  if (!FDriverName.empty()) FName = AValue;
}

bool TDSDeviceItem::WriteStoredData(std::vector<std::string>& AData) const {
  TOWLockSectionRef section = FLock->ReadLock();
  if (FDriverName.empty()) return false;
  AData = {FDriverName, FName};
  return true;
}

void TDSDeviceItem::ReadStoredData(const std::vector<std::string>& AData) {
  TOWLockSectionRef section = FLock->WriteLock();
  FDriverName = AData.size() > 0 ? AData[0] : std::string();
  FName = AData.size() > 1 ? AData[1] : std::string();
}

const TLPPropertyList& TDSDeviceItem::ClassProperties() {
  using C = TDSDeviceItem;
  static const TLPPropertyList list(&TPersistent::ClassProperties(),
                                    LPProperty<C>("DeviceName", &C::GetDeviceName, &C::SetDeviceName));
  return list;
}

TDSDeviceItems::TDSDeviceItems(TDSDevice* ADevice, IOWLock* AOwnerLock)
    : TLPCollection(ADevice, AOwnerLock), FDevice(ADevice) {}

std::vector<std::string> TDSDeviceItems::GetDriverNames() const {
  TOWLockSectionRef section = FLock->ReadLock();
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < GetCount(); ++i)
    names.push_back(static_cast<TDSDeviceItem*>(GetItem(i))->GetDriverName());
  return names;
}

std::unique_ptr<TLPCollectionItem> TDSDeviceItems::CreateItem() {
  std::unique_ptr<TDSDeviceItem> item = NewItem();
  TVLDSCapDeviceList list;
  list.EnumFilters(FDevice->DeviceCategory());
  const std::vector<std::string> named = GetDriverNames();
  std::int32_t best = -1;
  std::int32_t bestCount = 22000;
  for (std::int32_t d = 0; d < list.Count(); ++d) {
    std::int32_t count = 0;
    for (const std::string& n : named)
      if (n == list.Items(d).DeviceName) ++count;
    if (count < bestCount) {
      bestCount = count;
      best = d;
    }
  }
  if (best >= 0) {  // not in the collection yet: nobody else can see it
    item->FName = list.Items(best).DeviceNameInList;
    item->FDriverName = list.Items(best).DeviceName;
  }
  return item;
}

// ------------------------------------------------------------------ selector

TDSDevice::TDSDevice(TComponent* AOwner, IOWLock* ALock, platform::THiddenWindow AHiddenForm,
                     TNotifyEvent AOnDeviceChanged, TDSGetDeviceBaseFilter AOnGetCaptureDeviceBaseFilter)
    : TLPPersistent(AOwner, ALock),
      FOwner(AOwner),
      FHiddenForm(AHiddenForm),
      FOnDeviceChanged(std::move(AOnDeviceChanged)),
      FOnGetCaptureDeviceBaseFilter(std::move(AOnGetCaptureDeviceBaseFilter)) {}

const TLPPropertyList& TDSDevice::ClassProperties() {
  using C = TDSDevice;
  static const TLPPropertyList list(&TPersistent::ClassProperties(),
                                    LPProperty<C>("DeviceName", &C::GetDeviceName, &C::SetDeviceName));
  return list;
}

bool TDSDevice::WriteStoredData(std::vector<std::string>& AData) const {
  TOWLockSectionRef section = FLock->ReadLock();
  if (DSSameText(FName, KDSDefaultDeviceName)) return false;
  AData = {FDriverName, FName};
  return true;
}

void TDSDevice::ReadStoredData(const std::vector<std::string>& AData) {
  TOWLockSectionRef section = FLock->WriteLock();
  FDriverName = AData.size() > 0 ? AData[0] : std::string();
  FName = AData.size() > 1 ? AData[1] : std::string();
}

std::string TDSDevice::GetDeviceName() const { return FLock->Getter(FName); }
std::string TDSDevice::GetDriverName() const { return FLock->Getter(FDriverName); }
std::string TDSDevice::GetOpenedDeviceName() const { return FLock->Getter(FOpenedDeviceName); }
std::string TDSDevice::GetOpenedDriverName() const { return FLock->Getter(FOpenedDriverName); }

void TDSDevice::SetDeviceName(const std::string& Value) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (Value == FName) return;
  std::string v = DSSameText(Value, KDSNoneDeviceName) ? std::string() : Value;
  if (v.empty()) {
    FName = KDSNoneDeviceName;
    FDriverName.clear();
    return;
  }
  if (DSSameText(v, KDSDefaultDeviceName)) {
    FDriverName.clear();
    FName = v;
  } else {
    TVLDSCapDeviceList list;
    list.EnumFilters(DeviceCategory());
    FDriverName = list.GetDeviceNameByString(v);
    FName = FDriverName.empty() ? std::string(KDSNoneDeviceName) : v;
  }
  if (FOnDeviceChanged) FOnDeviceChanged(this);
}

bool TDSDevice::GetDeviceList(std::vector<std::string>* ADevicesList) {
  return GetDeviceList(ADevicesList, diDisplayName);
}

bool TDSDevice::GetDeviceList(std::vector<std::string>* ADevicesList, TVLDSDriverInfo ADriverInfo) {
  if (!ADevicesList) return false;
  TVLDSCapDeviceList list;
  list.EnumFilters(DeviceCategory());
  for (std::int32_t i = 0; i < list.Count(); ++i) {
    const TMLDSCapDeviceInfo& d = list.Items(i);
    switch (ADriverInfo) {
      case diDisplayName: ADevicesList->push_back(d.DeviceNameInList); break;
      case diDriverName: ADevicesList->push_back(d.DeviceName); break;
      case diBoth: ADevicesList->push_back(d.DeviceNameInList + " - " + d.DeviceName); break;
    }
  }
  return true;
}

TRefPtr<IMoniker> TDSDevice::ResolveMoniker(const char* ADefaultMoniker, bool AByListName) {
  std::string name, driver;
  {
    TOWLockSectionRef section = FLock->ReadLock();
    name = FName;
    driver = FDriverName;
  }
  TVLDSCapDeviceList list;
  TRefPtr<IMoniker> moniker;
  if (DSSameText(name, KDSDefaultDeviceName)) {
    TRefPtr<IBindCtx> context;
    if (SUCCEEDED(DSCom().CreateBindCtx(context.Receive())) && context)
      DSCom().MkParseDisplayName(context.Get(), ADefaultMoniker, moniker.Receive());
  } else {
    list.EnumFilters(DeviceCategory());
    moniker = list.GetMonikerByDeviceName(driver);
    if (!moniker && AByListName) moniker = list.GetMonikerByString(name);
  }
  if (!moniker) {
    for (const std::string& alternative : GetAlternativeItems().GetDriverNames()) {
      if (list.Count() == 0) list.EnumFilters(DeviceCategory());
      moniker = list.GetMonikerByDeviceName(alternative);
      if (moniker) break;
    }
  }
  if (moniker) {
    void* object = nullptr;
    if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, &object)) && object) {
      auto bag = TRefPtr<IPropertyBag>::Adopt(static_cast<IPropertyBag*>(object));
      std::string opened;
      DSReadBagString(bag.Get(), "FriendlyName", opened);
      LPOLESTR displayName = nullptr;
      std::string openedDriver;
      if (SUCCEEDED(moniker->GetDisplayName(nullptr, nullptr, &displayName))) {
        openedDriver = DSTakeOleString(displayName);
      } else if (displayName) {
        DSCom().CoTaskMemFree(displayName);
      }
      TOWLockSectionRef section = FLock->WriteLock();
      FOpenedDeviceName = opened;
      FOpenedDriverName = openedDriver;
    }
  }
  return moniker;
}

TRefPtr<IBaseFilter> TDSDevice::GetBaseFilter() {
  return FOnGetCaptureDeviceBaseFilter ? FOnGetCaptureDeviceBaseFilter() : nullptr;
}

void TDSDevice::CloseDevice() {
  TOWLockSectionRef section = FLock->WriteLock();
  FOpenedDeviceName.clear();
  FOpenedDriverName.clear();
}

bool TDSDevice::IsSelectedDefault() const {
  const std::string driver = GetDriverName();
  return driver.empty() || DSSameText(driver, "DEFAULT");
}

bool TDSDevice::IsSelectedNone() const {
  const std::string driver = GetDriverName();
  return driver.empty() || DSSameText(driver, "NONE");
}

// ------------------------------------------------------------------ the two selectors

const GUID& TDSAudioOutputDevice::DeviceCategory() const { return CLSID_AudioRendererCategory; }

TRefPtr<IMoniker> TDSAudioOutputDevice::GetMoniker() { return ResolveMoniker(KDSAudioRendererDefaultMoniker, true); }

TDSAudioCaptureDevice::TDSAudioCaptureDevice(TComponent* AOwner, IOWLock* ALock, platform::THiddenWindow AHiddenForm,
                                             TNotifyEvent AOnDeviceChanged, TDSGetDeviceBaseFilter AOnGet)
    : TDSDeviceOf(AOwner, ALock, AHiddenForm, std::move(AOnDeviceChanged), std::move(AOnGet)),
      FLatency(this, GetLock()) {}

const GUID& TDSAudioCaptureDevice::DeviceCategory() const { return CLSID_AudioInputDeviceCategory; }

TRefPtr<IMoniker> TDSAudioCaptureDevice::GetMoniker() { return ResolveMoniker(KDSAudioCaptureDefaultMoniker, false); }

const TLPPropertyList& TDSAudioCaptureDevice::ClassProperties() {
  using C = TDSAudioCaptureDevice;
  static const TLPPropertyList list(
      &TDSDeviceOf<TDSAudioCaptureDeviceItems>::ClassProperties(),
      LPProperty<C>("Latency", static_cast<const TDSAudioLatency& (C::*)() const noexcept>(&C::GetLatency),
                    &C::SetLatency));
  return list;
}

LONG TDSAudioLatency::BufferBytes(std::uint32_t ABytesPerSecond, std::int32_t AMilliseconds) {
  const std::int64_t product = static_cast<std::int64_t>(ABytesPerSecond) * AMilliseconds;
  std::int64_t q = product / 1000;
  const std::int64_t r = product % 1000;
  if (r > 500 || (r == 500 && (q & 1))) ++q;
  return static_cast<LONG>(q);
}

void TDSAudioLatency::SetFilterParams(ICaptureGraphBuilder2* ABuilder, IBaseFilter* ACaptureFilter,
                                      const TDSWarningReporter& AWarning) {
  std::int32_t milliseconds;
  {
    TOWLockSectionRef section = FLock->ReadLock();
    if (FUseCurrent) return;
    milliseconds = FValue;
  }
  auto warn = [&](HRESULT hr) {
    if (AWarning) AWarning(KDSCantSetLatency, hr);
  };
  if (!ABuilder || !ACaptureFilter) return warn(E_POINTER);
  void* object = nullptr;
  HRESULT hr = ABuilder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Audio, ACaptureFilter, IID_IAMStreamConfig,
                                       &object);
  if (FAILED(hr)) return warn(hr);
  auto config = TRefPtr<IAMStreamConfig>::Adopt(static_cast<IAMStreamConfig*>(object));
  hr = ABuilder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Audio, ACaptureFilter, IID_IAMBufferNegotiation,
                               &object);
  if (FAILED(hr)) return warn(hr);
  auto negotiation = TRefPtr<IAMBufferNegotiation>::Adopt(static_cast<IAMBufferNegotiation*>(object));
  AM_MEDIA_TYPE* format = nullptr;
  hr = config->GetFormat(&format);
  if (FAILED(hr) || !format) return warn(FAILED(hr) ? hr : E_POINTER);
  std::uint32_t bytesPerSecond = 0;
  if (format->pbFormat && format->cbFormat >= 16)
    bytesPerSecond = platform::ReadWaveFormatEx(format->pbFormat).nAvgBytesPerSec;
  DSDeleteMediaType(format);
  ALLOCATOR_PROPERTIES props{-1, BufferBytes(bytesPerSecond, milliseconds), -1, -1};
  hr = negotiation->SuggestAllocatorProperties(&props);
  if (FAILED(hr)) warn(hr);
}

const TLPPropertyList& TDSAudioLatency::ClassProperties() {
  using C = TDSAudioLatency;
  static const TLPPropertyList list(&TPersistent::ClassProperties(),
                                    LPProperty<C>("UseCurrent", &C::GetUseCurrent, &C::SetUseCurrent),
                                    LPProperty<C>("Value", &C::GetValue, &C::SetValue));
  return list;
}

}  // namespace portwise

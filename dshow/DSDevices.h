#pragma once
// DirectShow device selectors. A device of a category (audio renderers, audio capture sources) is
// listed by its friendly name, made unique within one listing by a " (n)" suffix on the second and
// later devices of the same name, and identified for good by its moniker display name. A selector
// keeps the user's choice ("Default", "None" or a list name) with the display name it resolved to,
// and turns it into a moniker when its owner opens the device. Nothing is cached: every listing,
// every choice and every open enumerates the category afresh.
//
// Threads: the owner's thread (COM initialised on it). The name setters and the stored form hold
// the owner's write lock; listing and GetMoniker take no lock of the owner's beyond reading and
// recording names. Nothing here raises or reports: a failing platform call ends or skips quietly.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/LPComponent.h"
#include "dshow/DSCommon.h"
#include "platform/Messages.h"

namespace portwise {

inline constexpr const char* KDSDefaultDeviceName = "Default";
inline constexpr const char* KDSNoneDeviceName = "None";
inline constexpr const char* KDSAudioRendererDefaultMoniker = "@device:*:{E0F158E1-CB04-11D0-BD4E-00A0C911CE86}";
inline constexpr const char* KDSAudioCaptureDefaultMoniker = "@device:*:{33D9A762-90C8-11D0-BD43-00A0C911CE86}";

enum TMLDFilterType : std::uint8_t { ftUnknown, ftDMO, ftKernelStreaming, ftCompressionManager, ftPlugAndPlay };

// One enumerated device or filter.
struct TMLDSCapDeviceInfo {
  std::string DeviceName;           // the moniker's display name
  std::string DisplayName;          // "FriendlyName" as read
  std::string DeviceNameInList;     // the friendly name, made unique in its list
  std::string DeviceStdNameInList;  // the friendly name without surrounding blanks
  TRefPtr<IMoniker> Moniker;
  GUID MonikerClassID{};
  GUID CategoryClassID{};           // the "CLSID" property, GUID_NULL when absent
  TMLDFilterType FilterType = ftUnknown;
};

// The kind of device from its display name: "@device:<kind>:...".
TMLDFilterType DSFilterTypeOf(const std::string& ADeviceName);

// An ordered list of entries in enumeration order. Lookups compare exactly and return the first
// match; "not found" is an empty string, no moniker, GUID_NULL or -1.
class TVLDSCapDeviceList {
 public:
  void EnumFilters(const GUID& clsidDeviceClass);
  void AddEnumFilters(const GUID& clsidDeviceClass);
  // Every registered filter of merit MERIT_DO_NOT_USE or more.
  void EnumAllFilters();
  void Clear() { FItems.clear(); }

  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  const TMLDSCapDeviceInfo& Items(std::int32_t AIndex) const { return *FItems.at(static_cast<std::size_t>(AIndex)); }

  std::string GetDeviceNameByString(const std::string& aString) const;
  std::string GetStringByDeviceName(const std::string& aString) const;
  TRefPtr<IMoniker> GetMonikerByDeviceName(const std::string& aString) const;
  TRefPtr<IMoniker> GetMonikerByString(const std::string& aString) const;
  GUID GetCLSIDByString(const std::string& aString) const;
  TRefPtr<IMoniker> GetMonikerByCLSID(const GUID& aClassID) const;
  std::string GetStringByCLSID(const GUID& aClassID) const;
  std::int32_t GetIntByMoniker(IMoniker* aMoniker) const;
  std::string GetStringByMoniker(IMoniker* aMoniker) const;
  // 1 + the number of entries whose name without blanks is DeviceName.
  std::int32_t FindDeviceNum(const std::string& DeviceName) const;

 private:
  void AddMonikers(IEnumMoniker* AEnum);
  void AddDevice(const TRefPtr<IMoniker>& AMoniker);

  std::vector<std::unique_ptr<TMLDSCapDeviceInfo>> FItems;
};

enum TVLDSDriverInfo : std::uint8_t { diDisplayName, diDriverName, diBoth };

class TDSDevice;

// One fallback device of a selector.
class TDSDeviceItem : public TLPCollectionItem {
 public:
  explicit TDSDeviceItem(TLPCollection* ACollection) : TLPCollectionItem(ACollection) {}

  std::string GetDeviceName() const;
  // A known list name selects that device; an unknown one clears the display name and keeps the
  // name; an empty one clears both. No notification.
  void SetDeviceName(const std::string& AValue);
  std::string GetDriverName() const;
  std::string GetDisplayName() const override { return GetDeviceName(); }

  // Stored form: [display name, name], only when a device was resolved.
  bool WriteStoredData(std::vector<std::string>& AData) const;
  void ReadStoredData(const std::vector<std::string>& AData);

  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  friend class TDSDeviceItems;
  TDSDevice& Device() const;
  std::string FDriverName;
  std::string FName;
};

// The fallback devices, tried in order when the main choice cannot be found. A new item names
// the listed device that the fewest items name already (the first one on a tie).
class TDSDeviceItems : public TLPCollection {
 public:
  TDSDeviceItems(TDSDevice* ADevice, IOWLock* AOwnerLock);
  TDSDevice& Device() const { return *FDevice; }
  // Every item's resolved display name, read under the lock.
  std::vector<std::string> GetDriverNames() const;

 protected:
  std::unique_ptr<TLPCollectionItem> CreateItem() override;
  virtual std::unique_ptr<TDSDeviceItem> NewItem() = 0;

 private:
  TDSDevice* FDevice;
};

template <class TItem>
class TDSDeviceItemsOf : public TDSDeviceItems {
 public:
  using TDSDeviceItems::TDSDeviceItems;
  TItem* Add() { return static_cast<TItem*>(TLPCollection::Add()); }
  TItem* GetItem(std::int32_t AIndex) const { return static_cast<TItem*>(TLPCollection::GetItem(AIndex)); }

 protected:
  std::unique_ptr<TDSDeviceItem> NewItem() override { return std::make_unique<TItem>(this); }
};

class TDSAudioOutputDeviceItem final : public TDSDeviceItem {
 public:
  using TDSDeviceItem::TDSDeviceItem;
};
class TDSAudioCaptureDeviceItem final : public TDSDeviceItem {
 public:
  using TDSDeviceItem::TDSDeviceItem;
};
class TDSAudioOutputDeviceItems final : public TDSDeviceItemsOf<TDSAudioOutputDeviceItem> {
 public:
  using TDSDeviceItemsOf::TDSDeviceItemsOf;
};
class TDSAudioCaptureDeviceItems final : public TDSDeviceItemsOf<TDSAudioCaptureDeviceItem> {
 public:
  using TDSDeviceItemsOf::TDSDeviceItemsOf;
};

// Asks the owner to open its device and hand out its filter.
using TDSGetDeviceBaseFilter = std::function<TRefPtr<IBaseFilter>()>;

// The selector base. The choice moves between three states: default (initial, "Default" in any
// case), none ("None") and named (a list name with its display name).
class TDSDevice : public TLPPersistent {
 public:
  TDSDevice(TComponent* AOwner, IOWLock* ALock, platform::THiddenWindow AHiddenForm, TNotifyEvent AOnDeviceChanged,
            TDSGetDeviceBaseFilter AOnGetCaptureDeviceBaseFilter);

  // Stored form: [display name, name], written unless the choice is the default.
  virtual bool WriteStoredData(std::vector<std::string>& AData) const;
  virtual void ReadStoredData(const std::vector<std::string>& AData);
  virtual const GUID& DeviceCategory() const = 0;
  std::string GetDeviceName() const;
  virtual void SetDeviceName(const std::string& Value);
  // Appends the category's devices in enumeration order (true; false without a list).
  virtual bool GetDeviceList(std::vector<std::string>* ADevicesList);
  virtual bool GetDeviceList(std::vector<std::string>* ADevicesList, TVLDSDriverInfo ADriverInfo);
  // The moniker of the chosen device (or of the first fallback found); none when nothing resolves.
  // Records the name and display name of the device it found.
  virtual TRefPtr<IMoniker> GetMoniker() = 0;

  std::string GetDriverName() const;
  std::string GetOpenedDeviceName() const;
  std::string GetOpenedDriverName() const;
  TRefPtr<IBaseFilter> GetBaseFilter();
  void CloseDevice();
  bool IsSelectedDefault() const;
  bool IsSelectedNone() const;

  TComponent* GetOwnerComponent() const noexcept { return FOwner; }
  platform::THiddenWindow GetHiddenForm() const noexcept { return FHiddenForm; }
  virtual const TDSDeviceItems& GetAlternativeItems() const = 0;

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  // GetMoniker of both subclasses; ADefaultMoniker parses the default device, AByListName lets a
  // name whose display name no longer resolves be found by its list name.
  TRefPtr<IMoniker> ResolveMoniker(const char* ADefaultMoniker, bool AByListName);

  TComponent* FOwner;
  platform::THiddenWindow FHiddenForm;
  TNotifyEvent FOnDeviceChanged;
  std::string FDriverName;
  std::string FName = KDSDefaultDeviceName;
  std::string FOpenedDeviceName;
  std::string FOpenedDriverName;
  TDSGetDeviceBaseFilter FOnGetCaptureDeviceBaseFilter;
};

template <class TItems>
class TDSDeviceOf : public TDSDevice {
 public:
  TDSDeviceOf(TComponent* AOwner, IOWLock* ALock, platform::THiddenWindow AHiddenForm, TNotifyEvent AOnDeviceChanged,
              TDSGetDeviceBaseFilter AOnGet)
      : TDSDevice(AOwner, ALock, AHiddenForm, std::move(AOnDeviceChanged), std::move(AOnGet)),
        FAlternativeDevices(this, GetLock()) {}

  TItems& GetAlternativeDevices() noexcept { return FAlternativeDevices; }
  const TItems& GetAlternativeDevices() const noexcept { return FAlternativeDevices; }
  void SetAlternativeDevices(const TItems& AValue) { FAlternativeDevices.Assign(AValue); }
  const TDSDeviceItems& GetAlternativeItems() const override { return FAlternativeDevices; }

  static const TLPPropertyList& ClassProperties() {
    using C = TDSDeviceOf;
    static const TLPPropertyList list(
        &TDSDevice::ClassProperties(),
        LPProperty<C>("AlternativeDevices", static_cast<const TItems& (C::*)() const noexcept>(&C::GetAlternativeDevices),
                      &C::SetAlternativeDevices));
    return list;
  }
  const TLPPropertyList& PublishedProperties() const override { return ClassProperties(); }

 private:
  TItems FAlternativeDevices;
};

class TDSAudioOutputDevice final : public TDSDeviceOf<TDSAudioOutputDeviceItems> {
 public:
  using TDSDeviceOf::TDSDeviceOf;
  const GUID& DeviceCategory() const override;
  TRefPtr<IMoniker> GetMoniker() override;
};

inline constexpr const char* KDSCantSetLatency = "Can't set latency.";

// Reports a warning of the owner's graph: (text, result).
using TDSWarningReporter = std::function<void(const std::string& AText, HRESULT AResult)>;

// Applied when the capture graph is built; with UseCurrent it has no effect.
class TDSAudioLatency final : public TLPPersistent {
 public:
  using TLPPersistent::TLPPersistent;
  // Suggests capture buffers of Value milliseconds of the capture pin's current format. Problems
  // are warnings only.
  void SetFilterParams(ICaptureGraphBuilder2* ABuilder, IBaseFilter* ACaptureFilter, const TDSWarningReporter& AWarning);
  // Bytes of AMilliseconds at ABytesPerSecond, to the nearest byte (halves to even).
  static LONG BufferBytes(std::uint32_t ABytesPerSecond, std::int32_t AMilliseconds);
  bool GetUseCurrent() const { return FLock->Getter(FUseCurrent); }
  void SetUseCurrent(bool AValue) { FLock->Setter(FUseCurrent, AValue); }
  std::int32_t GetValue() const { return FLock->Getter(FValue); }
  void SetValue(std::int32_t AValue) { FLock->Setter(FValue, AValue); }

  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  bool FUseCurrent = true;
  std::int32_t FValue = 100;  // milliseconds
};

class TDSAudioCaptureDevice final : public TDSDeviceOf<TDSAudioCaptureDeviceItems> {
 public:
  TDSAudioCaptureDevice(TComponent* AOwner, IOWLock* ALock, platform::THiddenWindow AHiddenForm,
                        TNotifyEvent AOnDeviceChanged, TDSGetDeviceBaseFilter AOnGet);
  const GUID& DeviceCategory() const override;
  TRefPtr<IMoniker> GetMoniker() override;
  TDSAudioLatency& GetLatency() noexcept { return FLatency; }
  const TDSAudioLatency& GetLatency() const noexcept { return FLatency; }
  void SetLatency(const TDSAudioLatency& AValue) { FLatency.Assign(AValue); }

  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  TDSAudioLatency FLatency;
};

}  // namespace portwise

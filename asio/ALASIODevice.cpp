#include "asio/ALASIODevice.h"

#include "asio/ALASIOAudioDevice.h"
#include "platform/ComServices.h"
#include "platform/Platform.h"

namespace portwise {

// ------------------------------------------------------------------ items

std::string TALASIODeviceItem::GetDeviceName() const { return FLock->Getter(FDeviceName); }

void TALASIODeviceItem::SetDeviceName(const std::string& AValue) { FLock->Setter(FDeviceName, AValue); }

std::string TALASIODeviceItem::GetDisplayName() const {
  std::string name = GetDeviceName();
  return name.empty() ? KASIOUnselected : name;
}

const TLPPropertyList& TALASIODeviceItem::ClassProperties() {
  using C = TALASIODeviceItem;
  static const TLPPropertyList list(&TPersistent::ClassProperties(),
                                    LPProperty<C>("DeviceName", &C::GetDeviceName, &C::SetDeviceName));
  return list;
}

TALASIODeviceItems::TALASIODeviceItems(TALASIODevice* ADevice, IOWLock* AOwnerLock)
    : TLPCollection(ADevice, AOwnerLock), FDevice(ADevice) {}

std::vector<std::string> TALASIODeviceItems::GetNames() const {
  TOWLockSectionRef section = FLock->ReadLock();
  std::vector<std::string> names;
  const std::int32_t count = GetCount();
  names.reserve(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) names.push_back(GetItem(i)->GetDeviceName());
  return names;
}

std::unique_ptr<TLPCollectionItem> TALASIODeviceItems::CreateItem() {
  auto item = std::make_unique<TALASIODeviceItem>(this);
  std::vector<std::string> drivers;
  FDevice->GetDeviceList(drivers);
  const std::vector<std::string> named = GetNames();
  std::string best;
  std::int32_t bestCount = 22000;
  for (const std::string& driver : drivers) {
    if (driver.empty()) continue;
    std::int32_t count = 0;
    for (const std::string& name : named) count += name == driver;
    if (count < bestCount) {
      bestCount = count;
      best = driver;
    }
  }
  item->FDeviceName = best;  // not in the collection yet: nobody else can see it
  return item;
}

// ------------------------------------------------------------------ selector

TALASIODevice::TALASIODevice(TALASIOAudioDevice* AOwner, IOWLock* AOwnerLock, TNotifyEvent AOnClose)
    : TLPPersistent(AOwner, AOwnerLock),
      FAlternativeDevices(this, AOwnerLock),
      FOwner(AOwner),
      FOnClose(std::move(AOnClose)) {}

const TLPPropertyList& TALASIODevice::ClassProperties() {
  using C = TALASIODevice;
  static const TLPPropertyList list(
      &TPersistent::ClassProperties(), LPProperty<C>("DeviceName", &C::GetDeviceName, &C::SetDeviceName),
      LPProperty<C>("AlternativeDevices",
                    static_cast<const TALASIODeviceItems& (C::*)() const noexcept>(&C::GetAlternativeDevices),
                    &C::SetAlternativeDevices));
  return list;
}

std::string TALASIODevice::GetDeviceName() const { return FLock->Getter(FDeviceName); }

void TALASIODevice::SetDeviceName(const std::string& AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (FDeviceName == AValue) return;
  FDeviceName = AValue;
  FLock->ChangeNotify();
  // Another driver is chosen: the one that is open (and running) goes.
  if (FOnClose) FOnClose(this);
}

bool TALASIODevice::GetDeviceList(std::vector<std::string>& Values) const {
  std::vector<std::string> names;
  if (!platform::Current().Registry().EnumSubKeys(KASIORegistryPath, names)) return false;
  Values.insert(Values.end(), names.begin(), names.end());
  return true;
}

TASIORef TALASIODevice::CreateDriver(const std::string& AName) {
  // A name is one key below ours: an empty one or one with a separator would name another key.
  if (AName.empty() || AName.find('\\') != std::string::npos) return {};
  std::string text;
  if (!platform::Current().Registry().ReadString(std::string(KASIORegistryPath) + "\\" + AName, "clsid", text))
    return {};
  platform::ICom& com = platform::Current().Com();
  CLSID clsid{};
  if (FAILED(com.CLSIDFromString(text, &clsid))) return {};
  // Drivers answer their own class identifier with the driver interface.
  void* object = nullptr;
  if (FAILED(com.CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object)) || !object) return {};
  return TASIORef::Adopt(static_cast<IASIO*>(object));
}

TASIORef TALASIODevice::GetDevice() const {
  if (TASIORef driver = CreateDriver(GetDeviceName())) return driver;
  for (const std::string& name : FAlternativeDevices.GetNames())
    if (TASIORef driver = CreateDriver(name)) return driver;
  return {};
}

}  // namespace portwise

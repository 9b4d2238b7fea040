#pragma once
// The ASIO driver selector. Installed drivers are listed under HKEY_LOCAL_MACHINE
// "Software\ASIO", one subkey per driver, whose "clsid" value names the driver's COM class. The
// selector lists those names, holds the chosen one and a list of fallbacks, and creates the driver
// object when its owner opens the device. Registry and COM failures give an empty list or no
// driver, never a report: the owner decides what a missing driver means.
//
// Threads: the thread that opens the device (COM must be initialised there: the owning device
// does it in its constructor). Names are read and written under the owner's lock.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "asio/ASIOInterface.h"
#include "core/LPComponent.h"

namespace portwise {

inline constexpr const char* KASIORegistryPath = "Software\\ASIO";
inline constexpr const char* KASIOUnselected = "(Unselected)";

class TALASIOAudioDevice;
class TALASIODevice;

// One fallback driver name.
class TALASIODeviceItem : public TLPCollectionItem {
 public:
  explicit TALASIODeviceItem(TLPCollection* ACollection) : TLPCollectionItem(ACollection) {}

  std::string GetDeviceName() const;
  void SetDeviceName(const std::string& AValue);
  std::string GetDisplayName() const override;

  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  friend class TALASIODeviceItems;
  std::string FDeviceName;
};

// The fallback names, in the order they are tried. A new item names the listed driver that the
// fewest existing items name already (the first listed one on a tie); none without drivers.
class TALASIODeviceItems : public TLPCollection {
 public:
  TALASIODeviceItems(TALASIODevice* ADevice, IOWLock* AOwnerLock);

  TALASIODeviceItem* Add() { return static_cast<TALASIODeviceItem*>(TLPCollection::Add()); }
  TALASIODeviceItem* GetItem(std::int32_t AIndex) const {
    return static_cast<TALASIODeviceItem*>(TLPCollection::GetItem(AIndex));
  }
  TALASIODevice* GetDevice() const noexcept { return FDevice; }
  // Every item's name, read under the lock.
  std::vector<std::string> GetNames() const;

 protected:
  std::unique_ptr<TLPCollectionItem> CreateItem() override;

 private:
  TALASIODevice* FDevice;
};

class TALASIODevice : public TLPPersistent {
 public:
  // AOnClose runs (Sender: the selector) after DeviceName has changed.
  TALASIODevice(TALASIOAudioDevice* AOwner, IOWLock* AOwnerLock, TNotifyEvent AOnClose);

  std::string GetDeviceName() const;
  // A different name (exact comparison) is stored and then AOnClose runs, under the write lock.
  void SetDeviceName(const std::string& AValue);
  TALASIODeviceItems& GetAlternativeDevices() noexcept { return FAlternativeDevices; }
  const TALASIODeviceItems& GetAlternativeDevices() const noexcept { return FAlternativeDevices; }
  void SetAlternativeDevices(const TALASIODeviceItems& AValue) { FAlternativeDevices.Assign(AValue); }
  TALASIOAudioDevice* GetOwnerDevice() const noexcept { return FOwner; }

  // Appends the registered driver names in the registry's order (Values is not cleared); false,
  // adding nothing, when the key cannot be opened.
  bool GetDeviceList(std::vector<std::string>& Values) const;
  // The driver object for DeviceName, else for the first fallback that yields one; empty when
  // none does.
  TASIORef GetDevice() const;

  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  // Empty when the name has no key, no usable "clsid" value, or the object cannot be created.
  static TASIORef CreateDriver(const std::string& AName);

  TALASIODeviceItems FAlternativeDevices;
  std::string FDeviceName;
  TALASIOAudioDevice* FOwner;
  TNotifyEvent FOnClose;
};

}  // namespace portwise

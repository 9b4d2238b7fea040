#pragma once
// Wave device selectors. A waveform-audio component chooses its device by name, never by number,
// so a selection survives devices being added or removed as long as the name stays the same. The
// selector lists the installed devices in identifier order, keeps the chosen name and a list of
// fallback names, and turns them into the identifier the open call takes when its owner opens the
// device. "Default" (any case) and a name that matches nothing both mean the wave mapper.
//
// Threads: the main thread lists and names; the owner resolves the identifier while it opens. The
// names are read and written under the owner's lock; the platform calls take no lock of ours.
// A failing capabilities call is only a warning, passed to the owner's reporter.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/LPComponent.h"

namespace portwise {

inline constexpr std::uint32_t ALWaveMapperID = 0xFFFFFFFF;
inline constexpr const char* KALDefaultDeviceName = "Default";
inline constexpr const char* KALCantGetDeviceCaps = "Can't get device capabilities.";

enum class TALWaveDirection : std::uint8_t { Output, Input };

// The owner's warning event with the owner as Sender.
using TALWarningReporter = std::function<void(const std::string& AErrorText, std::int32_t AErrorCode)>;

class TALBasicAudioDevice;

// One fallback name.
class TALBasicAudioDeviceItem : public TLPCollectionItem {
 public:
  explicit TALBasicAudioDeviceItem(TLPCollection* ACollection) : TLPCollectionItem(ACollection) {}

  std::string GetDeviceName() const;
  void SetDeviceName(const std::string& AValue);
  std::string GetDisplayName() const override { return GetDeviceName(); }

  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  friend class TALBasicAudioDeviceItems;
  std::string FDeviceName;
};

// The fallback names, in the order they are tried. A new item names the listed device that the
// fewest existing items name already (the first listed one on a tie), or "Default" without devices.
class TALBasicAudioDeviceItems : public TLPCollection {
 public:
  TALBasicAudioDeviceItems(TALBasicAudioDevice* ADevice, IOWLock* AOwnerLock);

  // Every item's name, read under the lock.
  std::vector<std::string> GetNames() const;

 protected:
  std::unique_ptr<TLPCollectionItem> CreateItem() override;
  virtual std::unique_ptr<TALBasicAudioDeviceItem> NewItem() = 0;

 private:
  TALBasicAudioDevice* FDevice;
};

template <class TItem>
class TALAudioDeviceItemsOf : public TALBasicAudioDeviceItems {
 public:
  using TALBasicAudioDeviceItems::TALBasicAudioDeviceItems;
  TItem* Add() { return static_cast<TItem*>(TLPCollection::Add()); }
  TItem* GetItem(std::int32_t AIndex) const { return static_cast<TItem*>(TLPCollection::GetItem(AIndex)); }

 protected:
  std::unique_ptr<TALBasicAudioDeviceItem> NewItem() override { return std::make_unique<TItem>(this); }
};

// What both selectors share; the direction picks the waveOut... or waveIn... calls.
class TALBasicAudioDevice : public TLPPersistent {
 public:
  TALBasicAudioDevice(TComponent* AOwner, IOWLock* AOwnerLock, TALWaveDirection ADirection,
                      TALWarningReporter AReportWarning);

  std::string GetDeviceName() const;
  // Only stores the name: an open device stays on the old one until it is reopened.
  void SetDeviceName(const std::string& AValue);

  // Appends every device name in identifier order (duplicates included; no entry for the mapper).
  // A failing capabilities call is reported and ends the list there.
  void GetDeviceList(std::vector<std::string>& Values) const;
  // The identifier to open: the chosen name, else the first fallback that exists, else the mapper.
  std::uint32_t GetDeviceID() const;

  TComponent* GetOwnerComponent() const noexcept { return FOwner; }
  TALWaveDirection GetDirection() const noexcept { return FDirection; }

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  virtual const TALBasicAudioDeviceItems& GetAlternativeItems() const = 0;

 private:
  // The first identifier whose name is exactly AName; ALWaveMapperID when none is; 0 (after the
  // warning) when a capabilities call fails.
  std::uint32_t FindDevice(const std::string& AName) const;
  std::uint32_t NumDevs() const;
  // The device name, or false after reporting the warning.
  bool DeviceName(std::uint32_t AId, std::string& AName) const;

  TComponent* FOwner;
  TALWaveDirection FDirection;
  TALWarningReporter FReportWarning;
  std::string FDeviceName = KALDefaultDeviceName;
};

// A selector with its own item classes; the direction picks the platform calls.
template <class TItems, TALWaveDirection ADirection>
class TALAudioDeviceOf : public TALBasicAudioDevice {
 public:
  TALAudioDeviceOf(TComponent* AOwner, IOWLock* AOwnerLock, TALWarningReporter AReportWarning)
      : TALBasicAudioDevice(AOwner, AOwnerLock, ADirection, std::move(AReportWarning)),
        FAlternativeDevices(this, GetLock()) {}

  TItems& GetAlternativeDevices() noexcept { return FAlternativeDevices; }
  const TItems& GetAlternativeDevices() const noexcept { return FAlternativeDevices; }
  void SetAlternativeDevices(const TItems& AValue) { FAlternativeDevices.Assign(AValue); }

  static const TLPPropertyList& ClassProperties() {
    using C = TALAudioDeviceOf;
    static const TLPPropertyList list(
        &TALBasicAudioDevice::ClassProperties(),
        LPProperty<C>("AlternativeDevices", static_cast<const TItems& (C::*)() const noexcept>(&C::GetAlternativeDevices),
                      &C::SetAlternativeDevices));
    return list;
  }
  const TLPPropertyList& PublishedProperties() const override { return ClassProperties(); }

 protected:
  const TALBasicAudioDeviceItems& GetAlternativeItems() const override { return FAlternativeDevices; }

 private:
  TItems FAlternativeDevices;
};

// ------------------------------------------------------------------ output

class TALAudioOutDeviceItem final : public TALBasicAudioDeviceItem {
 public:
  using TALBasicAudioDeviceItem::TALBasicAudioDeviceItem;
};

class TALAudioOutDeviceItems final : public TALAudioDeviceItemsOf<TALAudioOutDeviceItem> {
 public:
  using TALAudioDeviceItemsOf::TALAudioDeviceItemsOf;
};

class TALAudioOutDevice final : public TALAudioDeviceOf<TALAudioOutDeviceItems, TALWaveDirection::Output> {
 public:
  using TALAudioDeviceOf::TALAudioDeviceOf;
};

// ------------------------------------------------------------------ input

class TALAudioCaptureDeviceItem final : public TALBasicAudioDeviceItem {
 public:
  using TALBasicAudioDeviceItem::TALBasicAudioDeviceItem;
};

class TALAudioCaptureDeviceItems final : public TALAudioDeviceItemsOf<TALAudioCaptureDeviceItem> {
 public:
  using TALAudioDeviceItemsOf::TALAudioDeviceItemsOf;
};

class TALAudioCaptureDevice final : public TALAudioDeviceOf<TALAudioCaptureDeviceItems, TALWaveDirection::Input> {
 public:
  using TALAudioDeviceOf::TALAudioDeviceOf;
};

}  // namespace portwise

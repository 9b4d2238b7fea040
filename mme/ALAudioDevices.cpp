#include "mme/ALAudioDevices.h"

#include "platform/Platform.h"

namespace portwise {

namespace {

// "Default" in any case (ASCII letters only, as device names are compared byte for byte).
bool IsDefaultName(const std::string& AName) {
  static constexpr char KUpper[] = "DEFAULT";
  if (AName.size() != sizeof KUpper - 1) return false;
  for (std::size_t i = 0; i < AName.size(); ++i) {
    char c = AName[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != KUpper[i]) return false;
  }
  return true;
}

}  // namespace

// ------------------------------------------------------------------ items

std::string TALBasicAudioDeviceItem::GetDeviceName() const { return FLock->Getter(FDeviceName); }

void TALBasicAudioDeviceItem::SetDeviceName(const std::string& AValue) { FLock->Setter(FDeviceName, AValue); }

const TLPPropertyList& TALBasicAudioDeviceItem::ClassProperties() {
  using C = TALBasicAudioDeviceItem;
  static const TLPPropertyList list(&TPersistent::ClassProperties(),
                                    LPProperty<C>("DeviceName", &C::GetDeviceName, &C::SetDeviceName));
  return list;
}

TALBasicAudioDeviceItems::TALBasicAudioDeviceItems(TALBasicAudioDevice* ADevice, IOWLock* AOwnerLock)
    : TLPCollection(ADevice, AOwnerLock), FDevice(ADevice) {}

std::vector<std::string> TALBasicAudioDeviceItems::GetNames() const {
  TOWLockSectionRef section = FLock->ReadLock();
  std::vector<std::string> names;
  const std::int32_t count = GetCount();
  names.reserve(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i)
    names.push_back(static_cast<TALBasicAudioDeviceItem*>(GetItem(i))->GetDeviceName());
  return names;
}

std::unique_ptr<TLPCollectionItem> TALBasicAudioDeviceItems::CreateItem() {
  std::unique_ptr<TALBasicAudioDeviceItem> item = NewItem();
  std::vector<std::string> devices;
  FDevice->GetDeviceList(devices);
  const std::vector<std::string> named = GetNames();
  std::string best = KALDefaultDeviceName;
  std::int32_t bestCount = 22000;
  for (const std::string& device : devices) {
    if (device.empty()) continue;
    std::int32_t count = 0;
    for (const std::string& name : named)
      if (name == device) ++count;
    if (count < bestCount) {
      bestCount = count;
      best = device;
    }
  }
  item->FDeviceName = best;  // not in the collection yet: nobody else can see it
  return item;
}

// ------------------------------------------------------------------ selector

TALBasicAudioDevice::TALBasicAudioDevice(TComponent* AOwner, IOWLock* AOwnerLock, TALWaveDirection ADirection,
                                         TALWarningReporter AReportWarning)
    : TLPPersistent(AOwner, AOwnerLock),
      FOwner(AOwner),
      FDirection(ADirection),
      FReportWarning(std::move(AReportWarning)) {}

std::string TALBasicAudioDevice::GetDeviceName() const { return FLock->Getter(FDeviceName); }

void TALBasicAudioDevice::SetDeviceName(const std::string& AValue) { FLock->Setter(FDeviceName, AValue); }

const TLPPropertyList& TALBasicAudioDevice::ClassProperties() {
  using C = TALBasicAudioDevice;
  static const TLPPropertyList list(&TPersistent::ClassProperties(),
                                    LPProperty<C>("DeviceName", &C::GetDeviceName, &C::SetDeviceName));
  return list;
}

std::uint32_t TALBasicAudioDevice::NumDevs() const {
  platform::IWaveAudio& wave = platform::Current().Wave();
  return FDirection == TALWaveDirection::Output ? wave.waveOutGetNumDevs() : wave.waveInGetNumDevs();
}

bool TALBasicAudioDevice::DeviceName(std::uint32_t AId, std::string& AName) const {
  platform::IWaveAudio& wave = platform::Current().Wave();
  platform::TWaveDevCaps caps;
  const platform::TMMResult result =
      FDirection == TALWaveDirection::Output ? wave.waveOutGetDevCapsW(AId, caps) : wave.waveInGetDevCapsW(AId, caps);
  if (result != platform::MMSYSERR_NOERROR) {
    if (FReportWarning) FReportWarning(KALCantGetDeviceCaps, static_cast<std::int32_t>(result));
    return false;
  }
  AName = std::move(caps.szPname);
  return true;
}

void TALBasicAudioDevice::GetDeviceList(std::vector<std::string>& Values) const {
  const std::uint32_t count = NumDevs();
  for (std::uint32_t id = 0; id < count; ++id) {
    std::string name;
    if (!DeviceName(id, name)) return;
    Values.push_back(std::move(name));
  }
}

std::uint32_t TALBasicAudioDevice::FindDevice(const std::string& AName) const {
  const std::uint32_t count = NumDevs();
  for (std::uint32_t id = 0; id < count; ++id) {
    std::string name;
    if (!DeviceName(id, name)) return 0;
    if (name == AName) return id;
  }
  return ALWaveMapperID;
}

std::uint32_t TALBasicAudioDevice::GetDeviceID() const {
  const std::string chosen = GetDeviceName();
  if (IsDefaultName(chosen)) return ALWaveMapperID;
  const std::uint32_t id = FindDevice(chosen);
  if (id != ALWaveMapperID) return id;
  for (const std::string& alternative : GetAlternativeItems().GetNames()) {
    if (IsDefaultName(alternative)) return ALWaveMapperID;
    const std::uint32_t found = FindDevice(alternative);
    if (found != ALWaveMapperID) return found;
  }
  return ALWaveMapperID;
}

}  // namespace portwise

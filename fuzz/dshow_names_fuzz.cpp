// DirectShow device lists over any set of devices on the simulated system: friendly names of any
// bytes (invalid UTF-8, NULs, blanks, names that look numbered), missing or unreadable names,
// moniker display names of any form and class ids of any text. Checked: one line per device with a
// readable, non-blank name, in enumeration order; every line unique, made of the friendly name and
// at most one " (n)" with n >= 2; every line selects its own device and opens it; the kind parsed
// from a display name; the name setter's three states and its notifications; and no COM object
// left behind.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "core/LPComponent.h"
#include "dshow/DSDevices.h"
#include "fuzz/FuzzSupport.h"
#include "platform/sim/SimDShow.h"
#include "platform/sim/SimPlatform.h"

namespace {

using namespace portwise;
using platform::sim::ESimDeviceKind;
using platform::sim::TSimDevice;
using Lines = std::vector<std::string>;

class TOwner final : public TLPComponent {
 public:
  TOwner() : TLPComponent(nullptr) {}
};

// What a text becomes after a trip through the system's wide strings (up to a NUL).
std::string AsRead(const std::string& AText) { return platform::FromOle(platform::ToOle(AText).c_str()); }

std::string Upper(std::string AText) {
  for (char& c : AText)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return AText;
}

bool Blank(const std::string& AText) {
  for (char c : AText)
    if (static_cast<unsigned char>(c) > ' ') return false;
  return true;
}

TMLDFilterType KindOf(const std::string& ADisplayName) {
  const std::size_t a = ADisplayName.find(':');
  if (a == std::string::npos) return ftUnknown;
  const std::size_t b = ADisplayName.find(':', a + 1);
  if (b == std::string::npos) return ftUnknown;
  const std::string kind = Upper(ADisplayName.substr(a + 1, b - a - 1));
  return kind == "PNP" ? ftPlugAndPlay : kind == "CM" ? ftCompressionManager : kind == "KS" ? ftKernelStreaming
         : kind == "DMO" ? ftDMO : ftUnknown;
}

// " (n)" with n a decimal number of at least 2, and nothing else.
bool IsNumberSuffix(const std::string& AText) {
  if (AText.size() < 4 || AText.compare(0, 2, " (") != 0 || AText.back() != ')') return false;
  const std::string digits = AText.substr(2, AText.size() - 3);
  if (digits.empty() || digits[0] == '0') return false;
  for (char c : digits)
    if (c < '0' || c > '9') return false;
  return digits.size() > 1 || digits[0] >= '2';
}

std::string PickName(FuzzedDataProvider& AInput) {
  static const char* const KNames[] = {"Speakers", "Speakers (2)", "Speakers (3)", " Speakers", "Speakers ",
                                       "Speakers (2) (2)", "None", "default", "Haut-parleurs (Réalité)", "\t", ""};
  switch (AInput.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return AInput.ConsumeRandomLengthString(48);
    case 1: return std::string(AInput.PickValueInArray(KNames)) + AInput.ConsumeRandomLengthString(4);
    default: return AInput.PickValueInArray(KNames);
  }
}

struct TExpected {
  std::vector<std::string> Names;    // friendly names as read, in enumeration order
  std::vector<std::string> Drivers;  // moniker display names as read
};

void CheckCategory(TDSDevice& ASelector, const TExpected& AWant, int& AChanges) {
  Lines listed, drivers, both;
  FUZZ_CHECK(ASelector.GetDeviceList(&listed, diDisplayName));
  FUZZ_CHECK(ASelector.GetDeviceList(&drivers, diDriverName));
  FUZZ_CHECK(ASelector.GetDeviceList(&both, diBoth));
  FUZZ_CHECK(listed.size() == AWant.Names.size());
  FUZZ_CHECK(drivers == AWant.Drivers);
  FUZZ_CHECK(both.size() == listed.size());
  FUZZ_CHECK(std::set<std::string>(listed.begin(), listed.end()).size() == listed.size());
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const std::string& name = AWant.Names[i];
    FUZZ_CHECK(listed[i].compare(0, name.size(), name) == 0);
    FUZZ_CHECK(listed[i].size() == name.size() || IsNumberSuffix(listed[i].substr(name.size())));
    FUZZ_CHECK(both[i] == listed[i] + " - " + drivers[i]);
  }
  if (!listed.empty()) FUZZ_CHECK(listed[0] == AWant.Names[0]);

  // Every line selects its own device, when its identity is its own.
  for (std::size_t i = 0; i < listed.size() && i < 8; ++i) {
    const std::string before = ASelector.GetDeviceName();
    const int changes = AChanges;
    ASelector.SetDeviceName(listed[i]);
    if (listed[i] == before) {
      FUZZ_CHECK(AChanges == changes);
      continue;
    }
    const std::string upper = Upper(listed[i]);
    if (upper == "NONE" || upper == "DEFAULT") continue;  // the words of the two other states
    FUZZ_CHECK(AChanges == changes + 1);
    // A device without a display name has no identity to select it by.
    FUZZ_CHECK(ASelector.GetDeviceName() == (drivers[i].empty() ? std::string("None") : listed[i]));
    if (drivers[i].empty() || std::count(drivers.begin(), drivers.end(), drivers[i]) != 1) continue;
    FUZZ_CHECK(ASelector.GetDriverName() == drivers[i]);
    TRefPtr<IMoniker> moniker = ASelector.GetMoniker();
    FUZZ_CHECK(moniker.Get() != nullptr);
    FUZZ_CHECK(ASelector.GetOpenedDriverName() == drivers[i]);
    FUZZ_CHECK(ASelector.GetOpenedDeviceName() == AWant.Names[i]);
  }
}

// The name setter against its three states: none, default and a list name.
void CheckSetter(TDSDevice& ASelector, const std::string& AValue, const Lines& AListed, const Lines& ADrivers,
                 int& AChanges) {
  const std::string name = ASelector.GetDeviceName(), driver = ASelector.GetDriverName();
  const int changes = AChanges;
  ASelector.SetDeviceName(AValue);
  const std::string upper = Upper(AValue);
  if (AValue == name) {
    FUZZ_CHECK(ASelector.GetDeviceName() == name && ASelector.GetDriverName() == driver && AChanges == changes);
  } else if (AValue.empty() || upper == "NONE") {
    FUZZ_CHECK(ASelector.GetDeviceName() == "None" && ASelector.GetDriverName().empty() && AChanges == changes);
  } else if (upper == "DEFAULT") {
    FUZZ_CHECK(ASelector.GetDeviceName() == AValue && ASelector.GetDriverName().empty() && AChanges == changes + 1);
  } else {
    const auto at = std::find(AListed.begin(), AListed.end(), AValue);
    const bool found = at != AListed.end() && !ADrivers[static_cast<std::size_t>(at - AListed.begin())].empty();
    FUZZ_CHECK(AChanges == changes + 1);
    FUZZ_CHECK(ASelector.GetDeviceName() == (found ? AValue : std::string("None")));
    FUZZ_CHECK(ASelector.GetDriverName() ==
               (found ? ADrivers[static_cast<std::size_t>(at - AListed.begin())] : std::string()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  FuzzedDataProvider input(AData, ASize);
  platform::sim::TSimPlatform sim;
  platform::sim::TSimDShow ds(sim);
  sim.Com().CoInitialize();

  const GUID categories[] = {CLSID_AudioRendererCategory, CLSID_AudioInputDeviceCategory};
  TExpected want[2];
  bool enumerable[2] = {true, true};
  for (int c = 0; c < 2; ++c) {
    if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
      const HRESULT hr = input.ConsumeBool() ? S_FALSE : E_FAIL;
      ds.SetClassEnumeratorResult(categories[c], hr);
      enumerable[c] = false;
    }
  }
  const int devices = input.ConsumeIntegralInRange<int>(0, 12);
  for (int d = 0; d < devices; ++d) {
    TSimDevice device;
    const int c = input.ConsumeIntegralInRange<int>(0, 2);
    device.Category = c < 2 ? categories[c] : CLSID_LegacyAmFilterCategory;
    device.Kind = c == 0 ? ESimDeviceKind::AudioRenderer : c == 1 ? ESimDeviceKind::AudioCapture : ESimDeviceKind::Filter;
    device.FriendlyName = PickName(input);
    device.bHasFriendlyName = input.ConsumeIntegralInRange<int>(0, 9) != 0;
    if (input.ConsumeIntegralInRange<int>(0, 9) == 0) device.BindToStorageResult = static_cast<HRESULT>(0x80070005);  // access denied
    if (input.ConsumeIntegralInRange<int>(0, 3) == 0) device.DisplayName = input.ConsumeRandomLengthString(40);
    if (input.ConsumeBool()) device.ClassId = input.ConsumeRandomLengthString(48);
    const int id = ds.AddDevice(device);
    if (c == 2 || !enumerable[c] || !device.bHasFriendlyName || FAILED(device.BindToStorageResult)) continue;
    const std::string name = AsRead(device.FriendlyName);
    if (Blank(name)) continue;
    want[c].Names.push_back(name);
    want[c].Drivers.push_back(AsRead(ds.Device(id).DisplayName));
  }

  {
    TOwner owner;
    int changes = 0;
    auto counted = [&changes](TObject*) { ++changes; };
    TDSAudioOutputDevice output(&owner, owner.GetLock(), 0, counted, nullptr);
    TDSAudioCaptureDevice capture(&owner, owner.GetLock(), 0, counted, nullptr);
    TDSDevice* selectors[] = {&output, &capture};
    for (int c = 0; c < 2; ++c) {
      CheckCategory(*selectors[c], want[c], changes);
      Lines listed, drivers;
      selectors[c]->GetDeviceList(&listed, diDisplayName);
      selectors[c]->GetDeviceList(&drivers, diDriverName);
      for (int k = 0; k < 4 && input.remaining_bytes() > 0; ++k) {
        std::string value = input.ConsumeBool() && !listed.empty()
                                ? listed[input.ConsumeIntegralInRange<std::size_t>(0, listed.size() - 1)]
                                : PickName(input);
        CheckSetter(*selectors[c], value, listed, drivers, changes);
      }
      // The kind of every entry, from its display name.
      TVLDSCapDeviceList list;
      list.EnumFilters(categories[c]);
      FUZZ_CHECK(list.Count() == static_cast<std::int32_t>(want[c].Names.size()));
      for (std::int32_t i = 0; i < list.Count(); ++i) {
        const TMLDSCapDeviceInfo& info = list.Items(i);
        FUZZ_CHECK(info.FilterType == KindOf(info.DeviceName));
        FUZZ_CHECK(list.GetIntByMoniker(info.Moniker.Get()) == i);
        FUZZ_CHECK(list.GetStringByMoniker(info.Moniker.Get()) == info.DeviceNameInList);
      }
    }
    const std::string any = input.ConsumeRandomLengthString(64);
    FUZZ_CHECK(DSFilterTypeOf(any) == KindOf(any));
  }
  FUZZ_CHECK(ds.LiveObjects() == 0);
  sim.Com().CoUninitialize();
  return 0;
}

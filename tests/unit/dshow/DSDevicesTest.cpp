// DirectShow device lists and selectors on the simulated system device enumerator: list names and
// their suffixes, the lookups, the selection states and their notifications, resolving a choice to
// a moniker with its fallbacks, and the stored form.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dshow/DSDevices.h"
#include "tests/unit/dshow/DSTestWorld.h"

namespace portwise::test {
namespace {

using platform::sim::TSimDevice;
using platform::sim::TSimDShow;
using Lines = std::vector<std::string>;

class DSDevicesTest : public TDSWorldTest {
 protected:
  std::string DisplayNameOf(int device) { return DS.Device(device).DisplayName; }

  TDSAudioOutputDevice& Output() {
    if (!FOutput)
      FOutput = std::make_unique<TDSAudioOutputDevice>(&Owner, Owner.GetLock(), 0, [this](TObject*) { ++Changes; },
                                                       nullptr);
    return *FOutput;
  }
  TDSAudioCaptureDevice& Capture() {
    if (!FCapture)
      FCapture = std::make_unique<TDSAudioCaptureDevice>(&Owner, Owner.GetLock(), 0, [this](TObject*) { ++Changes; },
                                                         nullptr);
    return *FCapture;
  }
  Lines List(TDSDevice& d, TVLDSDriverInfo info = diDisplayName) {
    Lines l;
    EXPECT_TRUE(d.GetDeviceList(&l, info));
    return l;
  }
  std::string MonikerName(IMoniker* m) {
    LPOLESTR n = nullptr;
    m->GetDisplayName(nullptr, nullptr, &n);
    return DSTakeOleString(n);
  }

  int Changes = 0;
  LONG Bytes = 0;

 private:
  std::unique_ptr<TDSAudioOutputDevice> FOutput;
  std::unique_ptr<TDSAudioCaptureDevice> FCapture;
};

// ------------------------------------------------------------------ listing

TEST_F(DSDevicesTest, RepeatedFriendlyNamesGetSuffixesAndBlankOrUnreadableOnesAreLeftOut) {
  DS.AddAudioRenderer("Speakers");
  DS.AddAudioRenderer("Headphones");
  DS.AddAudioRenderer("Speakers");
  DS.AddAudioRenderer("  \t ");
  TSimDevice nameless;
  nameless.Category = CLSID_AudioRendererCategory;
  nameless.bHasFriendlyName = false;
  DS.AddDevice(nameless);
  const int locked = DS.AddAudioRenderer("Locked");
  TSimDevice d = DS.Device(locked);
  d.BindToStorageResult = static_cast<HRESULT>(0x80070005);
  DS.SetDevice(locked, d);
  DS.AddAudioRenderer("Speakers");
  DS.AddAudioRenderer("Speakers ");  // differs only in a blank: a repeat too
  DS.AddAudioCapture("Speakers");    // another category counts apart

  EXPECT_EQ((Lines{"Speakers", "Headphones", "Speakers (2)", "Speakers (3)", "Speakers  (4)"}), List(Output()));
  EXPECT_EQ((Lines{"Speakers"}), List(Capture()));
}

// A friendly name that reads like another device's numbered list name takes the next free
// number, so every line of a listing is unique and selects its own device.
TEST_F(DSDevicesTest, FriendlyNamesThatLookNumberedStillGetListNamesOfTheirOwn) {
  struct TCase {
    Lines Names, Listed;
  } const cases[] = {
      {{"Speakers (2)", "Speakers", "Speakers"}, {"Speakers (2)", "Speakers", "Speakers (3)"}},
      {{"Speakers", "Speakers", "Speakers (2)"}, {"Speakers", "Speakers (2)", "Speakers (2) (2)"}},
      {{"Speakers", "Speakers (3)", "Speakers", "Speakers"}, {"Speakers", "Speakers (3)", "Speakers (2)", "Speakers (4)"}},
  };
  std::vector<int> added;
  for (const TCase& c : cases) {
    for (int id : added) DS.RemoveDevice(id);
    added.clear();
    std::vector<std::string> displayNames;
    for (const std::string& name : c.Names) {
      added.push_back(DS.AddAudioRenderer(name));
      displayNames.push_back(DisplayNameOf(added.back()));
    }
    TDSAudioOutputDevice output(&Owner, Owner.GetLock(), 0, nullptr, nullptr);
    const Lines listed = List(output);
    EXPECT_EQ(listed, c.Listed);
    for (std::size_t i = 0; i < listed.size() && i < displayNames.size(); ++i) {
      output.SetDeviceName(listed[i]);
      EXPECT_EQ(output.GetDriverName(), displayNames[i]) << listed[i];
    }
  }
}

TEST_F(DSDevicesTest, ListsAppendOneLineOfTheAskedKindPerDevice) {
  const int a = DS.AddAudioRenderer("Speakers");
  const int b = DS.AddAudioRenderer("Speakers");
  Lines lines{"kept"};
  ASSERT_TRUE(Output().GetDeviceList(&lines));
  EXPECT_EQ((Lines{"kept", "Speakers", "Speakers (2)"}), lines);
  EXPECT_EQ((Lines{DisplayNameOf(a), DisplayNameOf(b)}), List(Output(), diDriverName));
  EXPECT_EQ((Lines{"Speakers - " + DisplayNameOf(a), "Speakers (2) - " + DisplayNameOf(b)}), List(Output(), diBoth));
}

TEST_F(DSDevicesTest, ListingWithoutAListOrWithoutDevicesAddsNothing) {
  EXPECT_FALSE(Output().GetDeviceList(nullptr));
  EXPECT_TRUE(List(Output()).empty());  // an empty category
  DS.AddAudioRenderer("Speakers");
  DS.SetClassEnumeratorResult(CLSID_AudioRendererCategory, E_FAIL);
  EXPECT_TRUE(List(Output()).empty());
  DS.SetClassEnumeratorResult(CLSID_AudioRendererCategory, S_OK);
  Sim.SimCom().FailCreate(CLSID_SystemDeviceEnum, REGDB_E_CLASSNOTREG);
  EXPECT_TRUE(List(Output()).empty());
}

TEST_F(DSDevicesTest, EntriesCarryTheClassIdentifierFilterTypeAndMonikerOfTheirDevice) {
  struct TCase {
    std::optional<std::string> ClassId;
    GUID Expected;
  };
  const GUID clsid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
  const std::vector<TCase> cases = {
      {"{12345678-9ABC-DEF0-0102-030405060708}", clsid},
      {"CLSID:{12345678-9ABC-DEF0-0102-030405060708}", clsid},  // leading characters go
      {"{12345678-9ABC}", GUID_NULL},
      {std::nullopt, GUID_NULL},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    TSimDevice d;
    d.Category = CLSID_AudioRendererCategory;
    d.Kind = platform::sim::ESimDeviceKind::AudioRenderer;
    d.FriendlyName = "Device " + std::to_string(i);
    d.ClassId = cases[i].ClassId;
    d.DisplayName = "@device:pnp:\\\\?\\device" + std::to_string(i);
    DS.AddDevice(d);
  }
  TVLDSCapDeviceList list;
  list.EnumFilters(CLSID_AudioRendererCategory);
  ASSERT_EQ(4, list.Count());
  for (std::int32_t i = 0; i < list.Count(); ++i) {
    const TMLDSCapDeviceInfo& e = list.Items(i);
    EXPECT_EQ(cases[static_cast<std::size_t>(i)].Expected, e.CategoryClassID) << i;
    EXPECT_EQ(CLSID_CDeviceMoniker, e.MonikerClassID);
    EXPECT_EQ(ftPlugAndPlay, e.FilterType);
    EXPECT_EQ(e.DeviceName, MonikerName(e.Moniker.Get()));
    EXPECT_EQ(e.DisplayName, e.DeviceStdNameInList);
  }
}

TEST_F(DSDevicesTest, TheFilterTypeIsTheKindBetweenTheFirstTwoColons) {
  const std::vector<std::pair<std::string, TMLDFilterType>> cases = {
      {"@device:pnp:\\\\?\\usb#vid", ftPlugAndPlay},
      {"@device:cm:{E0F158E1-CB04-11D0-BD4E-00A0C911CE86}\\Speakers", ftCompressionManager},
      {"@device:Ks:x", ftKernelStreaming},
      {"@device:dmo:{X}", ftDMO},
      {"@device:sw:{X}", ftUnknown},
      {"@device:cm", ftUnknown},
      {"no colon", ftUnknown},
  };
  for (auto& [name, type] : cases) EXPECT_EQ(type, DSFilterTypeOf(name)) << name;
}

TEST_F(DSDevicesTest, LookupsReturnTheFirstExactMatchOrNothing) {
  const int a = DS.AddAudioRenderer("Speakers");
  const int b = DS.AddAudioRenderer("Speakers");
  TVLDSCapDeviceList list;
  list.EnumFilters(CLSID_AudioRendererCategory);
  ASSERT_EQ(2, list.Count());
  EXPECT_EQ(DisplayNameOf(b), list.GetDeviceNameByString("Speakers (2)"));
  EXPECT_EQ("", list.GetDeviceNameByString("speakers (2)"));
  EXPECT_EQ("Speakers", list.GetStringByDeviceName(DisplayNameOf(a)));
  EXPECT_EQ(list.Items(1).Moniker, list.GetMonikerByString("Speakers (2)"));
  EXPECT_EQ(list.Items(0).Moniker, list.GetMonikerByDeviceName(DisplayNameOf(a)));
  EXPECT_FALSE(list.GetMonikerByString("Nothing"));
  const GUID dsound = CLSID_DSoundRender;
  EXPECT_EQ(dsound, list.GetCLSIDByString("Speakers"));
  EXPECT_EQ(list.Items(0).Moniker, list.GetMonikerByCLSID(dsound));
  EXPECT_EQ("Speakers", list.GetStringByCLSID(dsound));
  EXPECT_EQ(GUID_NULL, list.GetCLSIDByString("Nothing"));
  EXPECT_EQ(1, list.GetIntByMoniker(list.Items(1).Moniker.Get()));
  EXPECT_EQ("Speakers (2)", list.GetStringByMoniker(list.Items(1).Moniker.Get()));
  EXPECT_EQ(-1, list.GetIntByMoniker(nullptr));
  EXPECT_EQ(3, list.FindDeviceNum("Speakers"));
  EXPECT_EQ(1, list.FindDeviceNum("Headphones"));
  list.AddEnumFilters(CLSID_AudioRendererCategory);  // appends
  EXPECT_EQ(4, list.Count());
  EXPECT_EQ("Speakers (4)", list.Items(3).DeviceNameInList);
  list.EnumFilters(CLSID_AudioRendererCategory);  // starts afresh
  EXPECT_EQ(2, list.Count());
}

// ------------------------------------------------------------------ choosing

TEST_F(DSDevicesTest, TheNameSetterMovesBetweenDefaultNoneAndNamedAndNotifiesEffectiveChanges) {
  const int speakers = DS.AddAudioRenderer("Speakers");
  DS.AddAudioRenderer("Speakers");
  struct TStep {
    std::string Value;
    std::string Name;
    std::string Driver;  // "#n": display name of device n
    int Changes;
  };
  const std::string second = DisplayNameOf(speakers + 1);
  const std::vector<TStep> steps = {
      {"nOnE", "None", "", 0},
      {"", "None", "", 0},
      {"DEFAULT", "DEFAULT", "", 1},
      {"Speakers (2)", "Speakers (2)", second, 2},
      {"Speakers (2)", "Speakers (2)", second, 2},  // the same name again
      {"Nowhere", "None", "", 3},                   // not found: None, and still notified
      {"Default", "Default", "", 4},
  };
  EXPECT_EQ("Default", Output().GetDeviceName());
  for (const TStep& s : steps) {
    Output().SetDeviceName(s.Value);
    EXPECT_EQ(s.Name, Output().GetDeviceName()) << s.Value;
    EXPECT_EQ(s.Driver, Output().GetDriverName()) << s.Value;
    EXPECT_EQ(s.Changes, Changes) << s.Value;
  }
}

TEST_F(DSDevicesTest, TheChangeNotificationRunsUnderTheOwnersLock) {
  DS.AddAudioRenderer("Speakers");
  bool bHeld = false;
  TDSAudioOutputDevice selector(&Owner, Owner.GetLock(), 0,
                                [&](TObject*) {
                                  bHeld = Owner.GetLock()->Instance()->GetCounters().OwningThread ==
                                          std::this_thread::get_id();
                                },
                                nullptr);
  selector.SetDeviceName("Speakers");
  EXPECT_TRUE(bHeld);
}

TEST_F(DSDevicesTest, NoneResolvesToNoMonikerAndLeavesTheOpenedNames) {
  DS.AddAudioRenderer("Speakers");
  Output().SetDeviceName("Speakers");
  ASSERT_TRUE(Output().GetMoniker());
  EXPECT_EQ("Speakers", Output().GetOpenedDeviceName());
  Output().SetDeviceName("None");
  EXPECT_FALSE(Output().GetMoniker());
  EXPECT_EQ("Speakers", Output().GetOpenedDeviceName());
  Output().CloseDevice();
  EXPECT_EQ("", Output().GetOpenedDeviceName());
  EXPECT_EQ("", Output().GetOpenedDriverName());
}

TEST_F(DSDevicesTest, ANamedChoiceResolvesToItsDeviceAndRecordsWhatWasOpened) {
  DS.AddAudioCapture("Line in");
  const int mic = DS.AddAudioCapture("Microphone");
  Capture().SetDeviceName("Microphone");
  TRefPtr<IMoniker> m = Capture().GetMoniker();
  ASSERT_TRUE(m);
  EXPECT_EQ(DisplayNameOf(mic), MonikerName(m.Get()));
  EXPECT_EQ("Microphone", Capture().GetOpenedDeviceName());
  EXPECT_EQ(DisplayNameOf(mic), Capture().GetOpenedDriverName());
}

TEST_F(DSDevicesTest, TheDefaultChoiceParsesTheCategorysDefaultDeviceName) {
  DS.AddAudioRenderer("First");
  const int second = DS.AddAudioRenderer("Second");
  DS.SetDefaultDevice(CLSID_AudioRendererCategory, second);
  TRefPtr<IMoniker> m = Output().GetMoniker();
  ASSERT_TRUE(m);
  EXPECT_EQ(DisplayNameOf(second), MonikerName(m.Get()));
  EXPECT_EQ("Second", Output().GetOpenedDeviceName());
}

TEST_F(DSDevicesTest, AChoiceThatIsGoneFallsBackToTheFirstAlternativeFound) {
  const int a = DS.AddAudioRenderer("A");
  const int b = DS.AddAudioRenderer("B");
  const int c = DS.AddAudioRenderer("C");
  Output().SetDeviceName("A");
  TDSAudioOutputDeviceItem* first = Output().GetAlternativeDevices().Add();
  TDSAudioOutputDeviceItem* second = Output().GetAlternativeDevices().Add();
  first->SetDeviceName("B");
  second->SetDeviceName("C");
  DS.RemoveDevice(a);
  TRefPtr<IMoniker> m = Output().GetMoniker();
  ASSERT_TRUE(m);
  EXPECT_EQ(DisplayNameOf(b), MonikerName(m.Get()));
  DS.RemoveDevice(b);
  m = Output().GetMoniker();
  ASSERT_TRUE(m);
  EXPECT_EQ(DisplayNameOf(c), MonikerName(m.Get()));
  DS.RemoveDevice(c);
  EXPECT_FALSE(Output().GetMoniker());
}

TEST_F(DSDevicesTest, OnlyTheOutputFindsAStaleChoiceByItsListName) {
  DS.AddAudioRenderer("Speakers");
  DS.AddAudioCapture("Microphone");
  Output().ReadStoredData({"@device:cm:gone", "Speakers"});
  Capture().ReadStoredData({"@device:cm:gone", "Microphone"});
  EXPECT_EQ("Speakers", Output().GetDeviceName());
  EXPECT_TRUE(Output().GetMoniker());
  EXPECT_FALSE(Capture().GetMoniker());
  EXPECT_EQ(0, Changes);  // reading the stored form resolves and notifies nothing
}

TEST_F(DSDevicesTest, TheStoredFormIsWrittenUnlessTheChoiceIsTheDefault) {
  const int s = DS.AddAudioRenderer("Speakers");
  std::vector<std::string> data;
  EXPECT_FALSE(Output().WriteStoredData(data));
  Output().SetDeviceName("DEFAULT");
  EXPECT_FALSE(Output().WriteStoredData(data));
  Output().SetDeviceName("Speakers");
  ASSERT_TRUE(Output().WriteStoredData(data));
  EXPECT_EQ((std::vector<std::string>{DisplayNameOf(s), "Speakers"}), data);
  Output().SetDeviceName("None");
  ASSERT_TRUE(Output().WriteStoredData(data));
  EXPECT_EQ((std::vector<std::string>{"", "None"}), data);
}

// ------------------------------------------------------------------ alternatives

TEST_F(DSDevicesTest, ANewAlternativeNamesTheDeviceNamedLeastAndTheFirstOnATie) {
  const int a = DS.AddAudioRenderer("Speakers");
  const int b = DS.AddAudioRenderer("Speakers");
  auto& items = Output().GetAlternativeDevices();
  EXPECT_EQ("Speakers", items.Add()->GetDeviceName());
  EXPECT_EQ("Speakers (2)", items.Add()->GetDeviceName());
  TDSAudioOutputDeviceItem* third = items.Add();
  EXPECT_EQ("Speakers", third->GetDeviceName());
  EXPECT_EQ(DisplayNameOf(a), third->GetDriverName());
  EXPECT_EQ((std::vector<std::string>{DisplayNameOf(a), DisplayNameOf(b), DisplayNameOf(a)}), items.GetDriverNames());
  EXPECT_EQ("", Capture().GetAlternativeDevices().Add()->GetDeviceName());  // no capture device
}

TEST_F(DSDevicesTest, AnAlternativeKeepsItsNameForAnUnknownOneAndClearsForNothing) {
  const int a = DS.AddAudioRenderer("Speakers");
  const int b = DS.AddAudioRenderer("Headphones");
  TDSAudioOutputDeviceItem* item = Output().GetAlternativeDevices().Add();
  EXPECT_EQ(DisplayNameOf(a), item->GetDriverName());
  item->SetDeviceName("Unknown");
  EXPECT_EQ("Speakers", item->GetDeviceName());
  EXPECT_EQ("", item->GetDriverName());
  std::vector<std::string> data;
  EXPECT_FALSE(item->WriteStoredData(data));  // nothing resolved, nothing stored
  item->SetDeviceName("Headphones");
  EXPECT_EQ(DisplayNameOf(b), item->GetDriverName());
  ASSERT_TRUE(item->WriteStoredData(data));
  EXPECT_EQ((std::vector<std::string>{DisplayNameOf(b), "Headphones"}), data);
  item->SetDeviceName("");
  EXPECT_EQ("", item->GetDeviceName());
  EXPECT_EQ("", item->GetDriverName());
  EXPECT_EQ(0, Changes);
}

TEST_F(DSDevicesTest, TheLatencyOnlySuggestsCaptureBuffersWhenNotUsingTheCurrentOne) {
  DS.AddAudioCapture("Line in");
  TVLDSCapDeviceList list;
  list.EnumFilters(CLSID_AudioInputDeviceCategory);
  void* p = nullptr;
  ASSERT_EQ(S_OK, list.Items(0).Moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, &p));
  auto capture = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(p));
  ASSERT_EQ(S_OK, Sim.Com().CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_ICaptureGraphBuilder2, &p));
  auto builder = TRefPtr<ICaptureGraphBuilder2>::Adopt(static_cast<ICaptureGraphBuilder2*>(p));
  std::vector<std::pair<std::string, HRESULT>> warnings;
  auto warn = [&](const std::string& text, HRESULT hr) { warnings.emplace_back(text, hr); };
  TDSAudioLatency& latency = Capture().GetLatency();
  EXPECT_TRUE(latency.GetUseCurrent());
  EXPECT_EQ(100, latency.GetValue());
  auto suggested = [&] {
    ASSERT_EQ(S_OK, builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Audio, capture.Get(),
                                           IID_IAMBufferNegotiation, &p));
    auto negotiation = TRefPtr<IAMBufferNegotiation>::Adopt(static_cast<IAMBufferNegotiation*>(p));
    // What was suggested shows in the allocator the capture pin asks for once connected.
    TRefPtr<IEnumPins> pins;
    capture->EnumPins(pins.Receive());
    IPin* out = nullptr;
    pins->Next(1, &out, nullptr);
    auto held = TRefPtr<IPin>::Adopt(out);
    ASSERT_EQ(S_OK, Sim.Com().CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, &p));
    auto grabber = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(p));
    TRefPtr<IPin> in;
    const platform::TOleString input = platform::ToOle("Input");
    grabber->FindPin(input.c_str(), in.Receive());
    ASSERT_EQ(S_OK, held->Connect(in.Get(), nullptr));
    ALLOCATOR_PROPERTIES props{};
    ASSERT_EQ(S_OK, negotiation->GetAllocatorProperties(&props));
    Bytes = props.cbBuffer;
    held->Disconnect();
    in->Disconnect();
  };
  latency.SetFilterParams(builder.Get(), capture.Get(), warn);
  suggested();
  EXPECT_EQ(88200, Bytes);  // the capture filter's own half second
  latency.SetUseCurrent(false);
  latency.SetValue(20);
  latency.SetFilterParams(builder.Get(), capture.Get(), warn);
  suggested();
  EXPECT_EQ(3528, Bytes);  // 20 ms of 44.1 kHz stereo 16-bit
  EXPECT_TRUE(warnings.empty());
  void* plain = nullptr;
  ASSERT_EQ(S_OK, Sim.Com().CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, &plain));
  auto noCapturePin = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(plain));
  latency.SetFilterParams(builder.Get(), noCapturePin.Get(), warn);
  ASSERT_EQ(1u, warnings.size());
  EXPECT_EQ("Can't set latency.", warnings[0].first);
  EXPECT_EQ(E_NOINTERFACE, warnings[0].second);
}

TEST_F(DSDevicesTest, LatencyBytesRoundToTheNearestAndHalvesToEven) {
  EXPECT_EQ(17640, TDSAudioLatency::BufferBytes(176400, 100));
  EXPECT_EQ(2, TDSAudioLatency::BufferBytes(2500, 1));   // 2.5
  EXPECT_EQ(4, TDSAudioLatency::BufferBytes(3500, 1));   // 3.5
  EXPECT_EQ(3, TDSAudioLatency::BufferBytes(2501, 1));
  EXPECT_EQ(2147483, TDSAudioLatency::BufferBytes(2147483, 1000));  // no 32-bit overflow
}

TEST_F(DSDevicesTest, TheBaseFilterComesFromTheOwnerWhenItOffersOne) {
  EXPECT_FALSE(Output().GetBaseFilter());
  int asked = 0;
  TDSAudioOutputDevice withOwner(&Owner, Owner.GetLock(), 0, nullptr, [&]() -> TRefPtr<IBaseFilter> {
    ++asked;
    return nullptr;
  });
  withOwner.GetBaseFilter();
  EXPECT_EQ(1, asked);
}

}  // namespace
}  // namespace portwise::test

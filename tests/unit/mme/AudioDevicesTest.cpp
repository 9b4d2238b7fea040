// The wave device selectors: listing in identifier order, lookup by exact name with fallbacks and
// the wave mapper, the default name of a new fallback, and capabilities failures as warnings.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/LPComponent.h"
#include "mme/ALAudioDevices.h"
#include "platform/sim/SimPlatform.h"

namespace portwise {
namespace {

using platform::sim::TSimPlatform;

struct TWarning {
  TObject* Sender;
  std::string Text;
  std::int32_t Code;
};

// A stand-in owner: a component whose warnings the test collects.
class TSelectorOwner : public TLPComponent {
 public:
  TSelectorOwner() : TLPComponent(nullptr) {}
  std::vector<TWarning> Warnings;
  TALWarningReporter Reporter() {
    return [this](const std::string& AText, std::int32_t ACode) { Warnings.push_back({this, AText, ACode}); };
  }
};

template <class TSelector>
struct TDirection;

template <>
struct TDirection<TALAudioOutDevice> {
  static std::uint32_t Add(TSimPlatform& p, const std::string& name) { return p.SimWave().AddOutputDevice(name); }
  static void FailCaps(TSimPlatform& p, std::uint32_t id, std::uint32_t r) { p.SimWave().FailOutputCaps(id, r); }
  static constexpr const char* CapsCall = "waveOutGetDevCapsW";
  static constexpr const char* CountCall = "waveOutGetNumDevs";
};

template <>
struct TDirection<TALAudioCaptureDevice> {
  static std::uint32_t Add(TSimPlatform& p, const std::string& name) { return p.SimWave().AddInputDevice(name); }
  static void FailCaps(TSimPlatform& p, std::uint32_t id, std::uint32_t r) { p.SimWave().FailInputCaps(id, r); }
  static constexpr const char* CapsCall = "waveInGetDevCapsW";
  static constexpr const char* CountCall = "waveInGetNumDevs";
};

// Both selectors behave alike; each test runs against the output and the input one.
template <class TSelector>
class AudioDevicesTest : public ::testing::Test {
 protected:
  using D = TDirection<TSelector>;

  AudioDevicesTest() : Selector(&Owner, Owner.GetLock(), Owner.Reporter()) {}

  void AddDevices(const std::vector<std::string>& names) {
    for (const std::string& n : names) D::Add(Platform, n);
  }
  std::vector<std::string> List() {
    std::vector<std::string> names;
    Selector.GetDeviceList(names);
    return names;
  }
  std::uint32_t IdOf(const std::string& name) {
    Selector.SetDeviceName(name);
    return Selector.GetDeviceID();
  }
  void AddAlternative(const std::string& name) { Selector.GetAlternativeDevices().Add()->SetDeviceName(name); }
  std::size_t Calls(const std::string& function) {
    std::size_t n = 0;
    for (const std::string& c : Platform.SimWave().CallNames()) n += c == function;
    return n;
  }

  TSimPlatform Platform;
  TSelectorOwner Owner;
  TSelector Selector;
};

using Selectors = ::testing::Types<TALAudioOutDevice, TALAudioCaptureDevice>;
TYPED_TEST_SUITE(AudioDevicesTest, Selectors);

TYPED_TEST(AudioDevicesTest, ANewSelectorIsNamedDefaultAndOpensTheMapper) {
  this->AddDevices({"Speakers"});
  EXPECT_EQ("Default", this->Selector.GetDeviceName());
  EXPECT_EQ(ALWaveMapperID, this->Selector.GetDeviceID());
}

TYPED_TEST(AudioDevicesTest, ListsEveryNameInIdentifierOrderDuplicatesIncludedWithoutClearingTheList) {
  this->AddDevices({"Haut-parleurs (Realtek)", "Sortie numérique", "Haut-parleurs (Realtek)"});
  std::vector<std::string> names{"already there"};
  this->Selector.GetDeviceList(names);
  EXPECT_EQ((std::vector<std::string>{"already there", "Haut-parleurs (Realtek)", "Sortie numérique",
                                      "Haut-parleurs (Realtek)"}),
            names);
  EXPECT_TRUE(this->Owner.Warnings.empty());
}

TYPED_TEST(AudioDevicesTest, NoDevicesListNothingAndEveryNameOpensTheMapper) {
  EXPECT_TRUE(this->List().empty());
  for (const char* name : {"Speakers", "Default", "", "PulseAudio"}) EXPECT_EQ(ALWaveMapperID, this->IdOf(name)) << name;
}

TYPED_TEST(AudioDevicesTest, DefaultInAnyCaseIsTheMapperWithoutAskingTheSystem) {
  this->AddDevices({"Default", "DEFAULT"});  // even a device of that name is not looked up
  for (const char* name : {"Default", "default", "DEFAULT", "dEfAuLt"}) {
    const std::size_t before = this->Calls(TestFixture::D::CountCall) + this->Calls(TestFixture::D::CapsCall);
    EXPECT_EQ(ALWaveMapperID, this->IdOf(name)) << name;
    EXPECT_EQ(before, this->Calls(TestFixture::D::CountCall) + this->Calls(TestFixture::D::CapsCall)) << name;
  }
}

TYPED_TEST(AudioDevicesTest, NamesMatchExactlyWholeAndCaseSensitive) {
  this->AddDevices({"PulseAudio", "Null Output", "Sortie numérique", "Null Output"});
  struct TCase {
    const char* Name;
    std::uint32_t Id;
  };
  const TCase cases[] = {
      {"PulseAudio", 0},
      {"Null Output", 1},           // the lower of two equal names
      {"Sortie numérique", 2},      // accents are bytes like any other
      {"pulseaudio", ALWaveMapperID},
      {"Sortie numerique", ALWaveMapperID},
      {"Null", ALWaveMapperID},
      {"Null Output ", ALWaveMapperID},
      {"", ALWaveMapperID},
  };
  for (const TCase& c : cases) EXPECT_EQ(c.Id, this->IdOf(c.Name)) << c.Name;
  EXPECT_TRUE(this->Owner.Warnings.empty());
}

TYPED_TEST(AudioDevicesTest, NamesAreReadAsTheSystemReportsThemAtMostThirtyOneCharacters) {
  const std::string longName = "Haut-parleurs (Périphérique High Definition Audio)";
  const std::string reported = "Haut-parleurs (Périphérique Hig";  // 31 UTF-16 units
  this->AddDevices({longName});
  EXPECT_EQ(std::vector<std::string>{reported}, this->List());
  EXPECT_EQ(0u, this->IdOf(reported));
  EXPECT_EQ(ALWaveMapperID, this->IdOf(longName));
}

TYPED_TEST(AudioDevicesTest, AnUnpluggedDeviceFallsBackToTheFirstAlternativeThatExists) {
  this->AddDevices({"PulseAudio", "Null Output", "USB Headset"});
  this->AddAlternative("Bluetooth");
  this->AddAlternative("USB Headset");
  this->AddAlternative("Null Output");
  EXPECT_EQ(2u, this->IdOf("Casque (unplugged)"));
  EXPECT_EQ(0u, this->IdOf("PulseAudio"));  // the chosen name wins when it exists
}

TYPED_TEST(AudioDevicesTest, ADefaultAlternativeEndsTheWalkWithTheMapper) {
  this->AddDevices({"PulseAudio", "Null Output"});
  this->AddAlternative("Bluetooth");
  this->AddAlternative("default");
  this->AddAlternative("Null Output");
  EXPECT_EQ(ALWaveMapperID, this->IdOf("Gone"));
}

TYPED_TEST(AudioDevicesTest, NoAlternativeThatExistsOpensTheMapperSilently) {
  this->AddDevices({"PulseAudio"});
  this->AddAlternative("Bluetooth");
  this->AddAlternative("USB");
  EXPECT_EQ(ALWaveMapperID, this->IdOf("Gone"));
  EXPECT_TRUE(this->Owner.Warnings.empty());
}

TYPED_TEST(AudioDevicesTest, ACapabilitiesFailureEndsTheListWithOneWarningToTheOwner) {
  this->AddDevices({"A", "B", "C", "D"});
  TestFixture::D::FailCaps(this->Platform, 2, 6);
  EXPECT_EQ((std::vector<std::string>{"A", "B"}), this->List());
  ASSERT_EQ(1u, this->Owner.Warnings.size());
  EXPECT_EQ(&this->Owner, this->Owner.Warnings[0].Sender);
  EXPECT_EQ("Can't get device capabilities.", this->Owner.Warnings[0].Text);
  EXPECT_EQ(6, this->Owner.Warnings[0].Code);
  EXPECT_EQ(3u, this->Calls(TestFixture::D::CapsCall));  // nothing asked past the failure
}

TYPED_TEST(AudioDevicesTest, ACapabilitiesFailureDuringLookupWarnsAndGivesIdentifierZero) {
  this->AddDevices({"A", "B", "C", "D"});
  for (std::uint32_t k : {0u, 2u, 3u}) {
    this->Owner.Warnings.clear();
    TestFixture::D::FailCaps(this->Platform, k, 2);
    EXPECT_EQ(0u, this->IdOf("D")) << "failing at " << k;
    ASSERT_EQ(1u, this->Owner.Warnings.size()) << "failing at " << k;
    EXPECT_EQ("Can't get device capabilities.", this->Owner.Warnings[0].Text);
    EXPECT_EQ(2, this->Owner.Warnings[0].Code);
    TestFixture::D::FailCaps(this->Platform, k, 0);
  }
  // A name found before the failing identifier is still found.
  TestFixture::D::FailCaps(this->Platform, 3, 2);
  this->Owner.Warnings.clear();
  EXPECT_EQ(1u, this->IdOf("B"));
  EXPECT_TRUE(this->Owner.Warnings.empty());
}

TYPED_TEST(AudioDevicesTest, ANewAlternativeNamesTheDeviceTheFewestItemsNameFirstListedOnTies) {
  this->AddDevices({"A", "B", "C"});
  auto& items = this->Selector.GetAlternativeDevices();
  std::vector<std::string> names;
  for (int i = 0; i < 7; ++i) names.push_back(items.Add()->GetDeviceName());
  EXPECT_EQ((std::vector<std::string>{"A", "B", "C", "A", "B", "C", "A"}), names);

  items.GetItem(1)->SetDeviceName("A");  // A: 3, B: 1, C: 2
  EXPECT_EQ("B", items.Add()->GetDeviceName());
  EXPECT_EQ("B", items.GetItem(items.GetCount() - 1)->GetDisplayName());
}

TYPED_TEST(AudioDevicesTest, ANewAlternativeWithoutDevicesIsNamedDefault) {
  EXPECT_EQ("Default", this->Selector.GetAlternativeDevices().Add()->GetDeviceName());
}

TYPED_TEST(AudioDevicesTest, ANewAlternativeSkipsEmptyDeviceNames) {
  this->AddDevices({"", "B"});
  EXPECT_EQ("B", this->Selector.GetAlternativeDevices().Add()->GetDeviceName());
}

TYPED_TEST(AudioDevicesTest, AssigningCopiesTheNameAndTheAlternatives) {
  this->AddDevices({"A", "B"});
  this->Selector.SetDeviceName("Gone");
  this->AddAlternative("B");
  this->AddAlternative("A");

  TSelectorOwner otherOwner;
  TypeParam copy(&otherOwner, otherOwner.GetLock(), otherOwner.Reporter());
  copy.Assign(this->Selector);
  EXPECT_EQ("Gone", copy.GetDeviceName());
  ASSERT_EQ(2, copy.GetAlternativeDevices().GetCount());
  EXPECT_EQ("B", copy.GetAlternativeDevices().GetItem(0)->GetDeviceName());
  EXPECT_EQ("A", copy.GetAlternativeDevices().GetItem(1)->GetDeviceName());
  EXPECT_EQ(1u, copy.GetDeviceID());
}

TEST(AudioDevicesDirectionTest, EachSelectorAsksOnlyItsOwnDirection) {
  TSimPlatform platform;
  platform.SimWave().AddOutputDevice("Speakers");
  platform.SimWave().AddInputDevice("Microphone");
  TSelectorOwner owner;
  TALAudioOutDevice out(&owner, owner.GetLock(), owner.Reporter());
  TALAudioCaptureDevice in(&owner, owner.GetLock(), owner.Reporter());
  std::vector<std::string> outs, ins;
  out.GetDeviceList(outs);
  in.GetDeviceList(ins);
  EXPECT_EQ(std::vector<std::string>{"Speakers"}, outs);
  EXPECT_EQ(std::vector<std::string>{"Microphone"}, ins);
  in.SetDeviceName("Speakers");
  EXPECT_EQ(ALWaveMapperID, in.GetDeviceID());
}

}  // namespace
}  // namespace portwise

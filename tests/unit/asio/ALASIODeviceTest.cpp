// The driver selector: the registry list, the driver object for a name with its fallbacks, the
// default name of a new fallback and the close that a new name brings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AsioTestSupport.h"
#include "AsioWorld.h"
#include "asio/ALASIODevice.h"

namespace portwise {
namespace {

using namespace asiotest;

using ASIOSelector = AsioWorld;

TEST(ASIOSelectorWithoutKey, ListsNothingAndCreatesNoDriver) {
  TSimPlatform platform;  // no Software\ASIO at all
  auto device = CreateComponent<TALASIOAudioDevice>(nullptr);
  device->GetDevice().SetDeviceName("Anything");
  std::vector<std::string> names{"kept"};
  EXPECT_FALSE(device->GetDevice().GetDeviceList(names));
  EXPECT_EQ(names, std::vector<std::string>{"kept"});
  EXPECT_FALSE(device->GetDevice().GetDevice());
  EXPECT_FALSE(device->Open());
  EXPECT_FALSE(device->GetOpened());
  EXPECT_TRUE(platform.SimCom().CreateCalls().empty());
}

TEST_F(ASIOSelector, AppendsEveryKeyInRegistryOrderWithOrWithoutClsid) {
  Platform.SimRegistry().AddKey("Software\\ASIO\\Beta without clsid");
  TSimAsio alpha("Alpha");
  alpha.Install(Platform);
  std::vector<std::string> names{"kept"};
  EXPECT_TRUE(Device->GetDevice().GetDeviceList(names));
  EXPECT_EQ(names, (std::vector<std::string>{"kept", "Alpha", "Beta without clsid", "Sim ASIO"}));
}

TEST_F(ASIOSelector, NamesThatYieldNoDriverFallThroughToTheFirstAlternativeThatWorks) {
  Platform.SimRegistry().AddKey("Software\\ASIO\\No clsid");
  TSimAsio unregistered("Not a COM class");
  unregistered.InstallKey(Platform.SimRegistry());
  Platform.SimRegistry().SetString("Software\\ASIO\\Malformed", "clsid", "not a class id");
  TSimAsio refusing("Refusing");
  refusing.Install(Platform);
  Platform.SimCom().FailCreate(refusing.ClassId(), E_OUTOFMEMORY);
  TSimAsio later("Later");
  later.Install(Platform);

  TALASIODevice& selector = Device->GetDevice();
  selector.SetDeviceName("No clsid");
  for (const char* name : {"", "Missing", "Not a COM class", "Malformed", "Refusing", "Software\\ASIO\\Sim ASIO",
                           "Sim ASIO", "Later"})
    selector.GetAlternativeDevices().Add()->SetDeviceName(name);

  TASIORef driver = selector.GetDevice();
  ASSERT_TRUE(driver);
  EXPECT_EQ(Driver.CreatedObjects(), 1);
  EXPECT_EQ(later.CreatedObjects(), 0);
  EXPECT_EQ(ASIOGetDriverName(driver), "Sim ASIO");
}

TEST_F(ASIOSelector, AnEmptyChosenNameUsesTheAlternatives) {
  Device->GetDevice().SetDeviceName("");
  EXPECT_FALSE(Device->GetDevice().GetDevice());
  Device->GetDevice().GetAlternativeDevices().Add()->SetDeviceName("Sim ASIO");
  EXPECT_TRUE(Device->GetDevice().GetDevice());
}

TEST_F(ASIOSelector, ANewAlternativeNamesTheLeastNamedDriver) {
  TSimAsio other("Other");
  other.Install(Platform);
  TALASIODeviceItems& items = Device->GetDevice().GetAlternativeDevices();
  EXPECT_EQ(items.Add()->GetDeviceName(), "Other");
  EXPECT_EQ(items.Add()->GetDeviceName(), "Sim ASIO");
  EXPECT_EQ(items.Add()->GetDeviceName(), "Other");
  items.GetItem(2)->SetDeviceName("Sim ASIO");
  EXPECT_EQ(items.Add()->GetDeviceName(), "Other");  // named once, "Sim ASIO" twice
}

TEST(ASIOSelectorWithoutDrivers, ANewAlternativeIsUnselected) {
  TSimPlatform platform;
  platform.SimRegistry().AddKey("Software\\ASIO");
  auto device = CreateComponent<TALASIOAudioDevice>(nullptr);
  TALASIODeviceItem* item = device->GetDevice().GetAlternativeDevices().Add();
  EXPECT_EQ(item->GetDeviceName(), "");
  EXPECT_EQ(item->GetDisplayName(), "(Unselected)");
  item->SetDeviceName("Named");
  EXPECT_EQ(item->GetDisplayName(), "Named");
}

TEST_F(ASIOSelector, TheSameNameKeepsTheDeviceRunningAnotherClosesIt) {
  const int freeSlots = FreeSlots();
  ASSERT_TRUE(Device->Start());
  ASSERT_TRUE(Device->IsRunning());
  const std::size_t calls = Driver.Calls().size();

  Device->GetDevice().SetDeviceName("Sim ASIO");
  EXPECT_TRUE(Device->IsRunning());
  EXPECT_EQ(Driver.Calls().size(), calls);

  Device->GetDevice().SetDeviceName("sim asio");  // names compare exactly
  EXPECT_FALSE(Device->IsRunning());
  EXPECT_FALSE(Device->GetOpened());
  EXPECT_FALSE(Device->GetEnabled());
  EXPECT_EQ(Driver.LiveObjects(), 0);
  EXPECT_FALSE(Driver.Running());
  EXPECT_EQ(Driver.CountCalls(EAsioCall::stop), 1u);
  EXPECT_EQ(Driver.CountCalls(EAsioCall::disposeBuffers), 1u);
  EXPECT_EQ(FreeSlots(), freeSlots);
}

TEST_F(ASIOSelector, AlternativesAreCopiedByAssignment) {
  TALASIODeviceItems& items = Device->GetDevice().GetAlternativeDevices();
  items.Add()->SetDeviceName("First");
  items.Add()->SetDeviceName("Second");
  auto copy = NewDevice("Elsewhere");
  copy->GetDevice().SetAlternativeDevices(items);
  EXPECT_EQ(copy->GetDevice().GetAlternativeDevices().GetNames(), (std::vector<std::string>{"First", "Second"}));
  copy->SetDevice(Device->GetDevice());
  EXPECT_EQ(copy->GetDevice().GetDeviceName(), "Sim ASIO");
}

}  // namespace
}  // namespace portwise

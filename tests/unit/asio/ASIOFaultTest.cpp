// Drivers that fail or misbehave: every failing call with every code at open, start, stop and
// while streaming, creation and channel records gone wrong, values no driver should report, message
// storms, and registries with many, malformed and unusual entries. Each case ends with the device
// closed, its callback slot free, the driver released and the driver's threads ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "AsioTestSupport.h"
#include "AsioWorld.h"
#include "asio/ALASIOAudioDevice.h"
#include "platform/sim/SimCom.h"
#include "tests/unit/FaultSupport.h"

namespace portwise {
namespace {

using namespace asiotest;
using testsupport::ProcessThreadCount;
using testsupport::ThreadsBackTo;
using testsupport::TWatchdog;

using ASIOFault = AsioWorld;

struct TCode {
  TASIOError Code;
  const char* Text;
};

// Every code a driver call may answer with that is not plain success.
const TCode KFailureCodes[] = {
    {ASE_NotPresent, "Hardware input or output is not present or available"},
    {ASE_HWMalfunction, "Hardware is malfunctioning (can be returned by any ASIO function)"},
    {ASE_InvalidParameter, "Input parameter invalid"},
    {ASE_InvalidMode, "Hardware is in a bad mode or used in a bad mode"},
    {ASE_SPNotAdvancing, "Hardware is not running when sample position is inquired"},
    {ASE_NoClock, "Sample clock or rate cannot be determined or is not present"},
    {ASE_NoMemory, "Not enough memory for completing the request"},
    {1, "Unknown"},
    {ASE_SUCCESS, "Unknown"},  // the success of future() only
};

// "<step> - <text> - <code as unsigned> - <code in hex>"
std::string Reported(const std::string& AStep, const TCode& ACode) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(ACode.Code));
  return AStep + " - " + ACode.Text + " - " + std::to_string(static_cast<std::uint32_t>(ACode.Code)) + " - " + hex;
}

std::string CodeName(const TCode& ACode) { return std::to_string(ACode.Code); }

// The device is closed and holds nothing of the driver's.
void ExpectClosed(TALASIOAudioDevice& ADevice, TSimAsio& ADriver, int AFreeSlots, int AThreads) {
  EXPECT_FALSE(ADevice.GetOpened());
  EXPECT_FALSE(ADevice.IsRunning());
  EXPECT_FALSE(ADevice.GetEnabled());
  EXPECT_EQ(ADevice.GetCallbackIndex(), -1);
  EXPECT_FALSE(ADriver.Running());
  EXPECT_EQ(ADriver.LiveObjects(), 0);
  EXPECT_EQ(FreeSlots(), AFreeSlots);
  EXPECT_TRUE(ThreadsBackTo(AThreads)) << ProcessThreadCount() << " threads, " << AThreads << " before";
}

// ------------------------------------------------------------------ failing calls

enum class EStep { Open, Start, Stop };

struct TFailingCall {
  const char* Name;
  EStep Step;
  EAsioCall Call;
  std::function<void(TSimAsio&, TALASIOAudioDevice&)> Setup;
  const char* StepText;
};

TEST_F(ASIOFault, EveryFailingCallWithEveryCodeIsReportedAndLeavesTheDeviceClosed) {
  const auto noSetup = [](TSimAsio&, TALASIOAudioDevice&) {};
  const TFailingCall calls[] = {
      {"set rate", EStep::Open, EAsioCall::setSampleRate,
       [](TSimAsio& d, TALASIOAudioDevice& dev) {
         d.SetSupportedRates({44100, 48000});
         dev.GetSampleRate().SetUseCurrent(false);
         dev.GetSampleRate().SetRate(48000);
       },
       "Can't set sample rate"},
      {"channels", EStep::Open, EAsioCall::getChannels, noSetup, "Can't get channels"},
      {"buffer size", EStep::Open, EAsioCall::getBufferSize, noSetup, "Can't get buffer size"},
      {"input info", EStep::Open, EAsioCall::getChannelInfo, noSetup, "Can't get inpit channel 0 info"},
      {"output info", EStep::Open, EAsioCall::getChannelInfo, [](TSimAsio& d, TALASIOAudioDevice&) { d.SetInputs({}); },
       "Can't get outpit channel 0 info"},
      {"clock source", EStep::Start, EAsioCall::setClockSource,
       [](TSimAsio&, TALASIOAudioDevice& dev) { dev.GetClockSource().SetUseCurrent(false); }, "Can't release callback"},
      {"create buffers", EStep::Start, EAsioCall::createBuffers, noSetup, "Can't create buffers"},
      {"start", EStep::Start, EAsioCall::start, noSetup, "Can't start"},
      {"stop", EStep::Stop, EAsioCall::stop, noSetup, "Can't stop"},
      {"dispose", EStep::Stop, EAsioCall::disposeBuffers, noSetup, "Can't dispose buffers"},
  };
  for (const TFailingCall& f : calls) {
    for (const TCode& code : KFailureCodes) {
      const std::string name = std::string(f.Name) + " " + CodeName(code);
      SCOPED_TRACE(name);
      TWatchdog watchdog(name);
      const int before = ProcessThreadCount();
      TSimAsio driver(name);
      driver.Install(Platform);
      TStreamSink sink;
      auto device = NewDevice(name);
      device->GetInputChannels().Add();
      device->GetOutputChannels().Add();
      ASSERT_TRUE(device->GetInputChannels().GetItem(0)->GetOutputPin().Connect(&sink.Pin));
      f.Setup(driver, *device);
      const int freeSlots = FreeSlots();
      const int threads = ProcessThreadCount();  // the device's own threads live as long as it does
      if (f.Step == EStep::Stop) {
        ASSERT_TRUE(device->Start());
        ASSERT_TRUE(WaitFor([&] { return driver.Switches() > 2; }));
      }

      driver.SetResult(f.Call, code.Code);
      EXPECT_EQ(ErrorOf([&] {
                  switch (f.Step) {
                    case EStep::Open: device->Open(); break;
                    case EStep::Start: device->Start(); break;
                    case EStep::Stop: device->Stop(); break;
                  }
                }),
                Reported(f.StepText, code));
      ExpectClosed(*device, driver, freeSlots, threads);
      // A stream that was announced has ended.
      const std::string events = sink.Events();
      if (!events.empty()) {
        EXPECT_EQ(events.front(), 'S');
        EXPECT_EQ(events.back(), 'X');
      }

      // The device works again once the driver does.
      driver.SetResult(f.Call, ASE_OK);
      EXPECT_TRUE(device->Start());
      EXPECT_TRUE(device->IsRunning());
      device->Close();
      ExpectClosed(*device, driver, freeSlots, threads);
      device.reset();
      EXPECT_TRUE(ThreadsBackTo(before));
    }
  }
}

struct TWarningCall {
  const char* Name;
  EStep Step;
  EAsioCall Call;
  std::vector<std::string> StepTexts;
};

TEST_F(ASIOFault, CallsWhoseFailureIsAWarningLetTheDeviceOpenAndRunWithEveryCode) {
  const TWarningCall calls[] = {
      {"sample rate", EStep::Open, EAsioCall::getSampleRate, {"Can't get sample rate"}},
      {"latencies", EStep::Open, EAsioCall::getLatencies, {"Can't get latencies"}},
      {"records after create buffers", EStep::Start, EAsioCall::getChannelInfo,
       {"Can't get inpit channel 0 info", "Can't get inpit channel 1 info", "Can't get outpit channel 0 info",
        "Can't get outpit channel 1 info"}},
  };
  CollectReports();
  for (const TWarningCall& w : calls) {
    for (const TCode& code : KFailureCodes) {
      const std::string name = std::string(w.Name) + " " + CodeName(code);
      SCOPED_TRACE(name);
      TWatchdog watchdog(name);
      const int threads = ProcessThreadCount();
      const int freeSlots = FreeSlots();
      Warnings.clear();
      if (w.Step == EStep::Open) {
        Driver.SetResult(w.Call, code.Code);
      } else {
        Driver.SetOnCall([&](EAsioCall ACall) {
          if (ACall == EAsioCall::createBuffers) Driver.SetResult(w.Call, code.Code);
        });
      }
      ASSERT_TRUE(Device->Start());
      EXPECT_TRUE(Device->IsRunning());
      ASSERT_TRUE(WaitFor([&] { return Driver.Switches() > 2; }));
      std::vector<std::string> texts;
      for (const TReport& r : Warnings) {
        texts.push_back(r.Text);
        EXPECT_EQ(r.Code, code.Code);
      }
      std::vector<std::string> expected;
      for (const std::string& step : w.StepTexts) expected.push_back(step + " - " + code.Text);
      EXPECT_EQ(texts, expected);
      EXPECT_TRUE(Errors.empty());
      Driver.SetOnCall(nullptr);
      Driver.SetResult(w.Call, ASE_OK);
      Device->Close();
      ExpectClosed(*Device, Driver, freeSlots, threads);
    }
  }
}

TEST_F(ASIOFault, CallsFailingWhileStreamingNeitherStopTheStreamNorItsEnd) {
  CollectReports();
  AddInputs(1);
  AddOutputs(1);
  TStreamSink sink;
  ASSERT_TRUE(Device->GetInputChannels().GetItem(0)->GetOutputPin().Connect(&sink.Pin));
  for (EAsioCall call : {EAsioCall::getSamplePosition, EAsioCall::outputReady}) {
    for (const TCode& code : KFailureCodes) {
      const std::string name = std::string(platform::sim::AsioCallName(call)) + " " + CodeName(code);
      SCOPED_TRACE(name);
      TWatchdog watchdog(name);
      const int threads = ProcessThreadCount();
      const int freeSlots = FreeSlots();
      ASSERT_TRUE(Device->Start());
      ASSERT_TRUE(WaitFor([&] { return Driver.Switches() > 2; }));
      Driver.SetResult(call, code.Code);
      const std::int64_t failingFrom = Driver.Switches();
      ASSERT_TRUE(WaitFor([&] { return Driver.Switches() > failingFrom + 3; }));
      EXPECT_TRUE(Device->IsRunning());
      Device->Stop();
      EXPECT_FALSE(Driver.Running());
      Device->Close();
      Driver.SetResult(call, ASE_OK);
      ExpectClosed(*Device, Driver, freeSlots, threads);
      EXPECT_TRUE(Errors.empty());
      EXPECT_TRUE(Warnings.empty());
      const std::string events = sink.Events();
      EXPECT_EQ(events.back(), 'X');
      EXPECT_NE(events.find("BBB"), std::string::npos);  // the stream went on while the calls failed
    }
  }
}

// ------------------------------------------------------------------ misbehaving drivers

TEST_F(ASIOFault, ACreationThatFailsButLeavesItsObjectIsNeitherCalledNorReleasedAndTheNextDriverIsUsed) {
  TSimAsio liar("Liar");
  liar.Install(Platform);
  Platform.SimCom().FailCreateLeavingObject(liar.ClassId(), E_FAIL);
  Device->GetDevice().SetDeviceName("Liar");
  Device->GetDevice().GetAlternativeDevices().Add()->SetDeviceName("Sim ASIO");
  ASSERT_TRUE(Device->Open());
  EXPECT_EQ(Device->GetDriverName(), "Sim ASIO");
  EXPECT_TRUE(liar.Calls().empty());
  EXPECT_EQ(liar.CreatedObjects(), 1);
  EXPECT_EQ(liar.LiveObjects(), 1);  // the simulation releases it when it goes: a second release would show
  Device->Close();
  EXPECT_EQ(Driver.LiveObjects(), 0);
}

TEST_F(ASIOFault, OneChannelWithoutARecordFailsTheOpenWithItsNumberAndIsOnlyAWarningOnceBuffersExist) {
  CollectReports();
  const TCode notPresent = KFailureCodes[0];
  struct TRow {
    bool bInput;
    std::int32_t Channel;
    const char* Step;
  };
  for (const TRow& row : {TRow{true, 1, "Can't get inpit channel 1 info"}, TRow{false, 1, "Can't get outpit channel 1 info"}}) {
    SCOPED_TRACE(row.Step);
    TWatchdog watchdog(row.Step);
    Errors.clear();
    Warnings.clear();
    Driver.SetChannelInfoResult(row.bInput, row.Channel, ASE_NotPresent);
    EXPECT_FALSE(Device->Open());
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0].Text, std::string(row.Step) + " - " + notPresent.Text);
    EXPECT_EQ(Errors[0].Code, ASE_NotPresent);
    EXPECT_EQ(Driver.LiveObjects(), 0);

    Driver.SetChannelInfoResult(row.bInput, row.Channel, ASE_OK);
    Driver.SetOnCall([&](EAsioCall ACall) {
      if (ACall == EAsioCall::createBuffers) Driver.SetChannelInfoResult(row.bInput, row.Channel, ASE_NotPresent);
    });
    ASSERT_TRUE(Device->Start());
    ASSERT_EQ(Warnings.size(), 1u);
    EXPECT_EQ(Warnings[0].Text, std::string(row.Step) + " - " + notPresent.Text);
    ASSERT_TRUE(WaitFor([&] { return Driver.Switches() > 2; }));
    Device->Close();
    Driver.SetOnCall(nullptr);
    Driver.SetChannelInfoResult(row.bInput, row.Channel, ASE_OK);
    EXPECT_EQ(Driver.LiveObjects(), 0);
  }
}

// Values a driver should never report; the device streams or refuses, and always ends cleanly.
TEST_F(ASIOFault, AbsurdRatesSizesAndSampleTypesNeverCrashAndEndCleanly) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct TRow {
    const char* Name;
    std::function<void(TSimAsio&)> Setup;
    const char* Error;  // what Start reports, "<none>" when it streams
  };
  const TRow rows[] = {
      {"rate 0", [](TSimAsio& d) { d.SetSampleRate(0); }, "<none>"},
      {"rate NaN", [nan](TSimAsio& d) { d.SetSampleRate(nan); }, "<none>"},
      {"rate -44100", [](TSimAsio& d) { d.SetSampleRate(-44100); }, "<none>"},
      {"rate infinite", [inf](TSimAsio& d) { d.SetSampleRate(inf); }, "<none>"},
      {"rate 1e300", [](TSimAsio& d) { d.SetSampleRate(1e300); }, "<none>"},
      {"granularity -1", [](TSimAsio& d) { d.SetBufferSizes(64, 2048, 256, -1); }, "<none>"},
      {"granularity 0", [](TSimAsio& d) { d.SetBufferSizes(64, 2048, 256, 0); }, "<none>"},
      {"granularity 7", [](TSimAsio& d) { d.SetBufferSizes(64, 2048, 250, 7); }, "<none>"},
      {"granularity huge", [](TSimAsio& d) { d.SetBufferSizes(64, 2048, 256, 0x7FFFFFFF); }, "<none>"},
      {"sizes all zero", [](TSimAsio& d) { d.SetBufferSizes(0, 0, 0, 0); },
       "Can't create buffers - Hardware is in a bad mode or used in a bad mode - 4294966299 - FFFFFC1B"},
      {"sizes negative", [](TSimAsio& d) { d.SetBufferSizes(-256, -64, -128, 64); },
       "Can't create buffers - Hardware is in a bad mode or used in a bad mode - 4294966299 - FFFFFC1B"},
      {"minimum above maximum", [](TSimAsio& d) { d.SetBufferSizes(2048, 64, 256, 64); }, "<none>"},
      {"extreme sizes", [](TSimAsio& d) { d.SetBufferSizes(std::numeric_limits<std::int32_t>::min(), 64, 0x7FFFFFFF, 3); },
       "<none>"},
      {"unknown sample types",
       [](TSimAsio& d) {
         d.SetInputs({{"In", 99, 0}, {"In 2", -5, 0}});
         d.SetOutputs({{"Out", 1000, 0}, {"Out 2", ASIOSTInt16LSB, 0}});
       },
       "<none>"},
      {"names filling 32 bytes",
       [](TSimAsio& d) {
         d.SetDriverName(std::string(40, '\xE9'));
         d.SetInputs({{std::string(32, 'i'), ASIOSTInt16LSB, 0}, {std::string(64, '\x80'), ASIOSTInt32LSB, 0}});
       },
       "<none>"},
  };
  AddInputs(2);
  AddOutputs(2);
  TStreamSink sink;
  ASSERT_TRUE(Device->GetInputChannels().GetItem(0)->GetOutputPin().Connect(&sink.Pin));
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TWatchdog watchdog(row.Name);
    const int threads = ProcessThreadCount();
    const int freeSlots = FreeSlots();
    TSimAsio driver(row.Name);
    driver.Install(Platform);
    row.Setup(driver);
    Device->GetDevice().SetDeviceName(row.Name);
    EXPECT_EQ(ErrorOf([&] { Device->Start(); }), row.Error);
    if (std::string(row.Error) == "<none>") {
      EXPECT_TRUE(Device->IsRunning());
      EXPECT_GT(driver.Buffers().BufferSize, 0);
      ASSERT_TRUE(WaitFor([&] { return driver.Switches() > 3; }));
      // Whatever the driver said, the rate handed on is a whole number of hertz or none.
      EXPECT_GE(Device->GetIntRunningSampleRate(), 0);
    }
    Device->Close();
    ExpectClosed(*Device, driver, freeSlots, threads);
  }
}

TEST_F(ASIOFault, AStormOfDriverMessagesWhileStreamingEndsInOneStopOnTheMainThread) {
  TWatchdog watchdog("storm");
  const int freeSlots = FreeSlots();
  std::atomic<int> resyncs{0}, latencies{0};
  Device->SetOnResyncRequest([&](TObject*) { ++resyncs; });
  Device->SetOnLatenciesChanged([&](TObject*) { ++latencies; });
  AddInputs(2);
  TStreamSink sink;
  ASSERT_TRUE(Device->GetInputChannels().GetItem(0)->GetOutputPin().Connect(&sink.Pin));
  const int threads = ProcessThreadCount();
  ASSERT_TRUE(Device->Start());
  constexpr int KRounds = 300;
  for (int i = 0; i < KRounds; ++i) {
    Driver.PostDriverMessage(kAsioResyncRequest, 0);
    Driver.PostDriverMessage(kAsioLatenciesChanged, 0);
    Driver.PostDriverMessage(kAsioResetRequest, 0);
    Driver.PostDriverMessage(kAsioBufferSizeChange, 128);
  }
  ASSERT_TRUE(WaitFor([&] { return Driver.DriverMessages().size() == 4 * KRounds || !Driver.Running(); }));
  for (int i = 0; i < 5000 && Device->IsRunning(); ++i) {
    Platform.ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(Device->IsRunning());
  EXPECT_FALSE(Driver.Running());
  EXPECT_EQ(resyncs.load(), latencies.load());
  EXPECT_GE(resyncs.load(), 1);
  // Further resets after the stop find nothing to do.
  for (int i = 0; i < 100; ++i) Platform.ProcessMessages();
  const std::string events = sink.Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), 'X'), 1);
  Device->Close();
  ExpectClosed(*Device, Driver, freeSlots, threads);
}

// ------------------------------------------------------------------ soak

TEST_F(ASIOFault, TwoHundredStartStreamCloseCyclesLeaveNoThreadSlotDriverBufferOrMemoryBehind) {
  TWatchdog watchdog("soak", std::chrono::seconds(300));
  AddInputs(2);
  AddOutputs(2);
  TStreamSink sink;
  ASSERT_TRUE(Device->GetInputChannels().GetItem(0)->GetOutputPin().Connect(&sink.Pin));
  const int freeSlots = FreeSlots();
  auto cycle = [&] {
    const std::int64_t switches = Driver.Switches();
    EXPECT_TRUE(Device->Start());
    EXPECT_TRUE(WaitFor([&] { return Driver.Switches() > switches + 2; }));
    Device->Close();
  };
  for (int i = 0; i < 10; ++i) cycle();  // what is made once (pools, notifiers) exists from here on
  const int threads = ProcessThreadCount();
  const long long blocks = testsupport::PoolBlocksInUse();
  const long long resident = testsupport::ProcessResidentBytes();
  long long peak = resident;
  for (int i = 0; i < 200; ++i) {
    cycle();
    peak = std::max(peak, testsupport::ProcessResidentBytes());
  }
  EXPECT_EQ(Driver.LiveObjects(), 0);
  EXPECT_EQ(FreeSlots(), freeSlots);
  EXPECT_EQ(testsupport::PoolBlocksInUse(), blocks);
  EXPECT_TRUE(ThreadsBackTo(threads));
  const std::string events = sink.Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), 'S'), 210);
  EXPECT_EQ(std::count(events.begin(), events.end(), 'X'), 210);
  if (resident > 0) {
    const long long grown = testsupport::ProcessResidentBytes() - resident;
    EXPECT_LT(grown, 4ll << 20) << "resident memory grew by " << grown << " bytes";
    std::printf("asio soak: 200 cycles, resident %lld KiB at the start, peak %lld KiB, grown %lld KiB\n",
                resident >> 10, peak >> 10, grown >> 10);
  }
}

// ------------------------------------------------------------------ registries

TEST(ASIOFaultRegistry, AThousandKeysAreListedInOrderAndTheLastOneStillOpens) {
  TWatchdog watchdog("thousand keys");
  TSimPlatform platform;
  std::vector<std::string> expected;
  for (int i = 0; i < 999; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Driver %04d", i);
    platform.SimRegistry().AddKey(std::string("Software\\ASIO\\") + name);
    expected.push_back(name);
  }
  TSimAsio last("Zz last driver");
  last.Install(platform);
  expected.push_back("Zz last driver");
  auto device = CreateComponent<TALASIOAudioDevice>(nullptr);
  std::vector<std::string> names;
  ASSERT_TRUE(device->GetDevice().GetDeviceList(names));
  EXPECT_EQ(names, expected);
  device->GetDevice().SetDeviceName("Driver 0500");  // no class id: falls through
  device->GetDevice().GetAlternativeDevices().Add()->SetDeviceName("Zz last driver");
  ASSERT_TRUE(device->Open());
  EXPECT_EQ(device->GetDriverName(), "Zz last driver");
  EXPECT_EQ(platform.SimCom().CreateCalls().size(), 1u);
  device.reset();
  EXPECT_EQ(last.LiveObjects(), 0);
}

TEST(ASIOFaultRegistry, MalformedOrUnregisteredClassIdsCreateNothingAndTheNextNameIsTried) {
  const char* const malformed[] = {
      "",
      "{",
      "not a class id",
      "{00000000-0000-0000-0000-000000000000",
      "{0000000G-0000-0000-0000-000000000000}",
      "{00000000-0000-0000-0000-0000000000000}",
      "00000000-0000-0000-0000-000000000000",
      "{00000000_0000-0000-0000-000000000000}",
      "{00000000-0000-0000-0000-00000000000}",
      "{\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9-0000-0000-0000-000000000000}",
  };
  TSimPlatform platform;
  TSimAsio good("Good");
  good.Install(platform);
  TSimAsio unregistered("Unregistered");
  unregistered.InstallKey(platform.SimRegistry());
  platform.SimRegistry().SetDword("Software\\ASIO\\Number", "clsid", 5);
  auto device = CreateComponent<TALASIOAudioDevice>(nullptr);
  TALASIODevice& selector = device->GetDevice();
  std::vector<std::string> names{"Unregistered", "Number"};
  for (std::size_t i = 0; i < std::size(malformed); ++i) {
    const std::string name = "Malformed " + std::to_string(i);
    platform.SimRegistry().SetString("Software\\ASIO\\" + name, "clsid", malformed[i]);
    names.push_back(name);
  }
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    selector.SetDeviceName(name);
    EXPECT_FALSE(selector.GetDevice());
    EXPECT_FALSE(device->Open());
  }
  // Only the well-formed, unregistered one reached COM.
  EXPECT_EQ(platform.SimCom().CreateCalls().size(), 2u);
  selector.GetAlternativeDevices().Add()->SetDeviceName("Good");
  for (const std::string& name : names) {
    selector.SetDeviceName(name);
    ASSERT_TRUE(device->Open());
    EXPECT_EQ(device->GetDriverName(), "Good");
    device->Close();
  }
  EXPECT_EQ(good.LiveObjects(), 0);
}

TEST(ASIOFaultRegistry, AccentedAndLongestKeyNamesAreListedAndOpenedAsTheyStand) {
  const std::string accented = "Pilote \xC3\xA0 l'\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xE6\x97\xA5\xE6\x9C\xAC";
  const std::string longest(255, 'L');
  std::string longestAccented;
  while (longestAccented.size() + 2 <= 255) longestAccented += "\xC3\xA9";
  TSimPlatform platform;
  TSimAsio a(accented), b(longest), c(longestAccented);
  for (TSimAsio* d : {&a, &b, &c}) d->Install(platform);
  auto device = CreateComponent<TALASIOAudioDevice>(nullptr);
  std::vector<std::string> names;
  ASSERT_TRUE(device->GetDevice().GetDeviceList(names));
  EXPECT_EQ(names.size(), 3u);
  for (TSimAsio* d : {&a, &b, &c}) {
    SCOPED_TRACE(d->KeyName().size());
    EXPECT_NE(std::find(names.begin(), names.end(), d->KeyName()), names.end());
    device->GetDevice().SetDeviceName(d->KeyName());
    ASSERT_TRUE(device->Open());
    EXPECT_EQ(d->CreatedObjects(), 1);
    device->Close();
    EXPECT_EQ(d->LiveObjects(), 0);
  }
}

}  // namespace
}  // namespace portwise

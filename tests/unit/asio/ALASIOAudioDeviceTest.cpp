// The ASIO device on simulated drivers: the order of the driver calls in Open, Start, Stop and
// Close, every failing call with its report, the driver that refuses to initialise, counts not
// to be believed, the half-buffer size, the stream announced on the input pins, the channel
// lists, the callback slots, Enabled and the pins, the queries and the driver's messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "AsioTestSupport.h"
#include "AsioWorld.h"
#include "asio/ALASIOAudioDevice.h"

namespace portwise {
namespace {

using namespace asiotest;

using ASIODevice = AsioWorld;

std::vector<TASIOBufferInfo> Requested(TSimAsio& ADriver) { return ADriver.LastCreateRequest().Infos; }

// The (isInput, channelNum) pairs of buffer records.
std::vector<std::pair<int, int>> Channels(const std::vector<TASIOBufferInfo>& AInfos) {
  std::vector<std::pair<int, int>> result;
  for (const TASIOBufferInfo& b : AInfos) result.emplace_back(b.isInput, b.channelNum);
  return result;
}

// ------------------------------------------------------------------ lifecycle

TEST_F(ASIODevice, OpenAsksTheDriverInOrderAndKeepsWhatItSays) {
  Driver.SetDriverVersion(7);
  Driver.SetSampleRate(48000);
  Driver.SetLatencies(64, 128);
  Driver.SetBufferSizes(32, 4096, 512, -1);
  ASSERT_TRUE(Device->Open());

  const std::vector<EAsioCall> expected{
      EAsioCall::init,           EAsioCall::getDriverName,  EAsioCall::getDriverVersion, EAsioCall::getSampleRate,
      EAsioCall::getChannels,    EAsioCall::getBufferSize,  EAsioCall::getChannelInfo,   EAsioCall::getChannelInfo,
      EAsioCall::getChannelInfo, EAsioCall::getChannelInfo, EAsioCall::getLatencies,     EAsioCall::outputReady};
  EXPECT_EQ(Driver.CallList(), expected);
  std::vector<std::pair<std::int64_t, std::int64_t>> infoArgs;
  for (const auto& c : Driver.Calls())
    if (c.Call == EAsioCall::getChannelInfo) infoArgs.emplace_back(c.A, c.B);
  EXPECT_EQ(infoArgs, (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 1}, {1, 1}, {0, 0}, {1, 0}}));
  EXPECT_NE(Driver.InitHandle(), nullptr);

  EXPECT_TRUE(Device->GetOpened());
  EXPECT_EQ(Device->GetDriverName(), "Sim ASIO");
  EXPECT_EQ(Device->GetDriverVersion(), 7);
  EXPECT_EQ(Device->GetSampleRate().GetRunningSampleRate(), 48000);
  EXPECT_EQ(Device->GetIntRunningSampleRate(), 48000);
  EXPECT_EQ(Device->GetBufferSize().GetMin(), 32);
  EXPECT_EQ(Device->GetBufferSize().GetMax(), 4096);
  EXPECT_EQ(Device->GetBufferSize().GetPreferred(), 512);
  EXPECT_EQ(Device->GetBufferSize().GetGranularity(), -1);
  EXPECT_TRUE(Device->GetUsesPostOutput());

  const std::size_t calls = Driver.Calls().size();
  EXPECT_TRUE(Device->Open());
  EXPECT_EQ(Driver.Calls().size(), calls);
  EXPECT_EQ(Driver.CreatedObjects(), 1);
}

TEST_F(ASIODevice, StartGivesTheDriverRealBuffersAndItsOwnSlotStopAndCloseUndoIt) {
  Driver.SetCallbacks(false);  // the frame of the stream, without its buffers
  const int freeSlots = FreeSlots();
  AddInputs(2);
  AddOutputs(2);
  TStreamSink sink0, sink1;
  ASSERT_TRUE(Device->GetInputChannels().GetItem(0)->GetOutputPin().Connect(&sink0.Pin));
  ASSERT_TRUE(Device->GetInputChannels().GetItem(1)->GetOutputPin().Connect(&sink1.Pin));

  ASSERT_TRUE(Device->Start());
  EXPECT_TRUE(Device->IsRunning());
  EXPECT_TRUE(Device->GetEnabled());
  EXPECT_TRUE(Device->GetEnablePin().GetValue());
  EXPECT_TRUE(Driver.Running());
  std::vector<EAsioCall> tail = Driver.CallList();
  tail.erase(tail.begin(), tail.end() - 6);
  EXPECT_EQ(tail, (std::vector<EAsioCall>{EAsioCall::createBuffers, EAsioCall::getChannelInfo,
                                          EAsioCall::getChannelInfo, EAsioCall::getChannelInfo,
                                          EAsioCall::getChannelInfo, EAsioCall::start}));
  const platform::sim::TSimAsioBuffers buffers = Driver.Buffers();
  EXPECT_EQ(Channels(buffers.Infos), (std::vector<std::pair<int, int>>{{1, 0}, {1, 1}, {0, 0}, {0, 1}}));
  EXPECT_EQ(buffers.BufferSize, 256);
  EXPECT_EQ(Device->GetBufferSize().GetRunningSize(), 256);
  for (const TASIOBufferInfo& b : buffers.Infos) {
    EXPECT_NE(b.buffers[0], nullptr);
    EXPECT_NE(b.buffers[1], nullptr);
    EXPECT_NE(b.buffers[0], b.buffers[1]);
  }
  EXPECT_EQ(FreeSlots(), freeSlots - 1);
  ASSERT_NE(buffers.Callbacks, nullptr);
  EXPECT_EQ(buffers.Callbacks->asioMessage(kAsioEngineVersion, 0, nullptr, nullptr), 2);
  // The records read after createBuffers tell which channels are active.
  EXPECT_TRUE(Device->GetAvailableInputChannels().GetItems(1)->GetIsActive());
  EXPECT_EQ(sink0.Events(), "S");
  EXPECT_EQ(sink1.Events(), "S");

  Device->Stop();
  EXPECT_FALSE(Device->IsRunning());
  EXPECT_FALSE(Device->GetEnabled());
  EXPECT_FALSE(Device->GetEnablePin().GetValue());
  EXPECT_TRUE(Device->GetOpened());
  EXPECT_FALSE(Driver.Running());
  EXPECT_FALSE(Driver.HasBuffers());
  EXPECT_EQ(Driver.CallList().back(), EAsioCall::disposeBuffers);
  EXPECT_EQ(sink0.Events(), "SX");
  EXPECT_EQ(sink1.Events(), "SX");
  EXPECT_EQ(FreeSlots(), freeSlots - 1);  // held until the device closes

  Device->Close();
  EXPECT_FALSE(Device->GetOpened());
  EXPECT_EQ(Driver.LiveObjects(), 0);
  EXPECT_EQ(FreeSlots(), freeSlots);
  EXPECT_EQ(buffers.Callbacks->asioMessage(kAsioEngineVersion, 0, nullptr, nullptr), 0);
}

TEST_F(ASIODevice, StartingWithoutChannelsStillCreatesBuffersForNone) {
  ASSERT_TRUE(Device->Start());
  EXPECT_TRUE(Device->IsRunning());
  EXPECT_TRUE(Requested(Driver).empty());
  EXPECT_EQ(Driver.CountCalls(EAsioCall::createBuffers), 1u);
  ASSERT_EQ(Driver.Calls()[Driver.Calls().size() - 6].Call, EAsioCall::createBuffers);
  EXPECT_EQ(Driver.Calls()[Driver.Calls().size() - 6].A, 0);
}

TEST_F(ASIODevice, StopDoesNothingUnlessRunningAndClearsTheOutputItemsFlags) {
  std::vector<TALASIOOutputChannelItem*> outputs = AddOutputs(2);
  outputs[1]->SetEnabled(false);
  Device->Stop();
  EXPECT_TRUE(Driver.Calls().empty());

  ASSERT_TRUE(Device->Start());
  EXPECT_TRUE(outputs[0]->GetRunning());
  EXPECT_FALSE(outputs[1]->GetRunning());
  Device->Stop();
  EXPECT_FALSE(outputs[0]->GetRunning());
  const std::size_t calls = Driver.Calls().size();
  Device->Stop();
  EXPECT_EQ(Driver.Calls().size(), calls);
}

TEST_F(ASIODevice, DestroyingARunningDeviceStopsReleasesAndLeavesCom) {
  const int freeSlots = FreeSlots();
  EXPECT_EQ(Platform.SimCom().ApartmentDepth(std::this_thread::get_id()), 1);
  AddInputs(1);
  ASSERT_TRUE(Device->Start());
  Device.reset();
  EXPECT_FALSE(Driver.Running());
  EXPECT_EQ(Driver.LiveObjects(), 0);
  EXPECT_EQ(FreeSlots(), freeSlots);
  EXPECT_EQ(Platform.SimCom().ApartmentDepth(std::this_thread::get_id()), 0);
}

// ------------------------------------------------------------------ failing driver calls

enum class EStep { Open, Start, Stop };

struct TFailure {
  const char* Name;
  EStep Step;
  EAsioCall Call;
  TASIOError Code;
  std::function<void(TSimAsio&, TALASIOAudioDevice&)> Setup;
  const char* Message;
};

TEST_F(ASIODevice, EveryFailingCallIsReportedWithItsTextAndLeavesTheDeviceClosed) {
  const auto noSetup = [](TSimAsio&, TALASIOAudioDevice&) {};
  const TFailure failures[] = {
      {"set rate", EStep::Open, EAsioCall::setSampleRate, ASE_NoClock,
       [](TSimAsio& d, TALASIOAudioDevice& dev) {
         d.SetSupportedRates({44100, 48000});
         dev.GetSampleRate().SetUseCurrent(false);
         dev.GetSampleRate().SetRate(48000);
       },
       "Can't set sample rate - Sample clock or rate cannot be determined or is not present - 4294966301 - FFFFFC1D"},
      {"channels", EStep::Open, EAsioCall::getChannels, ASE_NotPresent, noSetup,
       "Can't get channels - Hardware input or output is not present or available - 4294966296 - FFFFFC18"},
      {"buffer size", EStep::Open, EAsioCall::getBufferSize, 1, noSetup, "Can't get buffer size - Unknown - 1 - 1"},
      {"input info", EStep::Open, EAsioCall::getChannelInfo, ASE_InvalidParameter, noSetup,
       "Can't get inpit channel 0 info - Input parameter invalid - 4294966298 - FFFFFC1A"},
      {"output info", EStep::Open, EAsioCall::getChannelInfo, ASE_SUCCESS,
       [](TSimAsio& d, TALASIOAudioDevice&) { d.SetInputs({}); },
       "Can't get outpit channel 0 info - Unknown - 1061701536 - 3F4847A0"},
      {"clock source", EStep::Start, EAsioCall::setClockSource, ASE_InvalidMode,
       [](TSimAsio&, TALASIOAudioDevice& dev) { dev.GetClockSource().SetUseCurrent(false); },
       "Can't release callback - Hardware is in a bad mode or used in a bad mode - 4294966299 - FFFFFC1B"},
      {"create buffers", EStep::Start, EAsioCall::createBuffers, ASE_NoMemory, noSetup,
       "Can't create buffers - Not enough memory for completing the request - 4294966302 - FFFFFC1E"},
      {"start", EStep::Start, EAsioCall::start, ASE_HWMalfunction, noSetup,
       "Can't start - Hardware is malfunctioning (can be returned by any ASIO function) - 4294966297 - FFFFFC19"},
      {"stop", EStep::Stop, EAsioCall::stop, ASE_SPNotAdvancing, noSetup,
       "Can't stop - Hardware is not running when sample position is inquired - 4294966300 - FFFFFC1C"},
      {"dispose", EStep::Stop, EAsioCall::disposeBuffers, 1, noSetup, "Can't dispose buffers - Unknown - 1 - 1"},
  };
  for (const TFailure& f : failures) {
    SCOPED_TRACE(f.Name);
    TSimAsio driver(f.Name);
    driver.Install(Platform);
    auto device = NewDevice(f.Name);
    device->GetInputChannels().Add();
    device->GetOutputChannels().Add();
    f.Setup(driver, *device);
    const int freeSlots = FreeSlots();
    if (f.Step == EStep::Stop) {
      ASSERT_TRUE(device->Start());
    }

    driver.SetResult(f.Call, f.Code);
    EXPECT_EQ(ErrorOf([&] {
                switch (f.Step) {
                  case EStep::Open: device->Open(); break;
                  case EStep::Start: device->Start(); break;
                  case EStep::Stop: device->Stop(); break;
                }
              }),
              f.Message);
    EXPECT_FALSE(device->GetOpened());
    EXPECT_FALSE(device->IsRunning());
    EXPECT_FALSE(device->GetEnabled());
    EXPECT_EQ(driver.LiveObjects(), 0);
    EXPECT_EQ(FreeSlots(), freeSlots);
    EXPECT_EQ(device->GetCallbackIndex(), -1);

    driver.SetResult(f.Call, ASE_OK);
    EXPECT_TRUE(device->Start());
    EXPECT_TRUE(device->IsRunning());
    EXPECT_EQ(driver.CreatedObjects(), 2);
  }
}

TEST_F(ASIODevice, AHandlerThatHandlesTheErrorMakesOpenReturnFalseWithoutAnException) {
  CollectReports();
  Driver.SetResult(EAsioCall::getChannels, ASE_NotPresent);
  bool opened = true;
  EXPECT_NO_THROW(opened = Device->Open());
  EXPECT_FALSE(opened);
  EXPECT_FALSE(Device->GetOpened());
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].Sender, Device.get());
  EXPECT_EQ(Errors[0].Text, "Can't get channels - Hardware input or output is not present or available");
  EXPECT_EQ(Errors[0].Code, ASE_NotPresent);
  EXPECT_FALSE(Device->Start());
}

TEST_F(ASIODevice, WarningsAreReportedAndTheStepsGoOn) {
  CollectReports();
  Driver.SetResult(EAsioCall::getSampleRate, ASE_NoClock);
  Driver.SetResult(EAsioCall::getLatencies, ASE_HWMalfunction);
  ASSERT_TRUE(Device->Open());
  ASSERT_EQ(Warnings.size(), 2u);
  EXPECT_EQ(Warnings[0].Sender, Device.get());
  EXPECT_EQ(Warnings[0].Text, "Can't get sample rate - Sample clock or rate cannot be determined or is not present");
  EXPECT_EQ(Warnings[0].Code, ASE_NoClock);
  EXPECT_EQ(Warnings[1].Text,
            "Can't get latencies - Hardware is malfunctioning (can be returned by any ASIO function)");
  EXPECT_EQ(Device->GetSampleRate().GetRunningSampleRate(), 0);  // never read

  // The rate read at an earlier open stays when the next reading fails.
  Device->Close();
  Driver.SetResult(EAsioCall::getSampleRate, ASE_OK);
  ASSERT_TRUE(Device->Open());
  Device->Close();
  Driver.SetResult(EAsioCall::getSampleRate, 1);
  ASSERT_TRUE(Device->Open());
  EXPECT_EQ(Device->GetSampleRate().GetRunningSampleRate(), 44100);

  // The latency queries ask again, and warn again.
  Warnings.clear();
  EXPECT_EQ(Device->GetInputLatency(), 0);
  ASSERT_EQ(Warnings.size(), 1u);
  EXPECT_EQ(Warnings[0].Code, ASE_HWMalfunction);
  Driver.SetResult(EAsioCall::getLatencies, ASE_OK);
  Driver.SetLatencies(10, 20);
  EXPECT_EQ(Device->GetOutputLatency(), 20);
  EXPECT_EQ(Device->GetInputLatency(), 10);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(ASIODevice, ChannelRecordsThatFailAfterCreateBuffersAreWarningsOnly) {
  CollectReports();
  AddInputs(1);
  Driver.SetOnCall([this](EAsioCall ACall) {
    if (ACall == EAsioCall::createBuffers) Driver.SetResult(EAsioCall::getChannelInfo, ASE_InvalidMode);
  });
  ASSERT_TRUE(Device->Start());
  EXPECT_TRUE(Device->IsRunning());
  EXPECT_TRUE(Errors.empty());
  std::vector<std::string> texts;
  for (const TReport& w : Warnings) texts.push_back(w.Text);
  const std::string cause = " - Hardware is in a bad mode or used in a bad mode";
  EXPECT_EQ(texts, (std::vector<std::string>{"Can't get inpit channel 0 info" + cause,
                                             "Can't get inpit channel 1 info" + cause,
                                             "Can't get outpit channel 0 info" + cause,
                                             "Can't get outpit channel 1 info" + cause}));
}

TEST_F(ASIODevice, ADriverThatFailsToInitialiseIsAskedForItsReasonAndNothingElse) {
  Driver.SetInitResult(0);
  Driver.SetErrorMessage("No ASIO hardware \r\n");
  Driver.SetOnCall([](EAsioCall ACall) {
    if (ACall != EAsioCall::init && ACall != EAsioCall::getErrorMessage)
      ADD_FAILURE() << "called after a failed init: " << platform::sim::AsioCallName(ACall);
  });
  EXPECT_EQ(ErrorOf([&] { Device->Open(); }), "Can't init driver - No ASIO hardware - 4294966296 - FFFFFC18");
  EXPECT_EQ(Driver.CallList(), (std::vector<EAsioCall>{EAsioCall::init, EAsioCall::getErrorMessage}));
  EXPECT_EQ(Driver.LiveObjects(), 0);
  EXPECT_FALSE(Device->GetOpened());

  // Without a reason of its own, the code's text stands in.
  Driver.SetErrorMessage("");
  CollectReports();
  EXPECT_FALSE(Device->Start());
  EXPECT_FALSE(Device->GetOpened());
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].Text, "Can't init driver - Hardware input or output is not present or available");
  EXPECT_EQ(Errors[0].Code, ASE_NotPresent);
  EXPECT_EQ(Driver.CountCalls(EAsioCall::createBuffers), 0u);
}

TEST_F(ASIODevice, ChannelCountsOutsideZeroTo1024AreNotBelieved) {
  struct TRow {
    std::int32_t Inputs, Outputs;
    bool bOpens;
  };
  const TRow rows[] = {{-1, 2, false}, {2, -5, false}, {1025, 0, false}, {0, 1025, false}, {1024, 1024, true}};
  std::vector<TSimAsioChannel> many(1024);
  Driver.SetInputs(many);
  Driver.SetOutputs(many);
  for (const TRow& row : rows) {
    SCOPED_TRACE(std::to_string(row.Inputs) + "/" + std::to_string(row.Outputs));
    Driver.SetReportedChannels(row.Inputs, row.Outputs);
    const std::string message = ErrorOf([&] { Device->Open(); });
    EXPECT_EQ(message, row.bOpens ? "<none>" : "Can't get channels - Unknown - 0 - 0");
    EXPECT_EQ(Device->GetOpened(), row.bOpens);
    if (row.bOpens) {
      EXPECT_EQ(Device->GetAvailableOutputChannels().GetCount(), 1024);
    }
    Device->Close();
  }
}

// ------------------------------------------------------------------ settings

TEST_F(ASIODevice, TheHalfBufferSizeFitsTheChoiceIntoTheDriversRange) {
  struct TRow {
    std::int32_t Min, Max, Preferred, Granularity;
    bool bUsePreferred;
    std::uint32_t Size;
    std::int32_t Expected;
  };
  const TRow rows[] = {
      {64, 2048, 256, 64, true, 0, 256},    {64, 2048, 256, 64, false, 1000, 960},
      {64, 2048, 256, 64, false, 0, 64},    {64, 2048, 256, 64, false, 5000, 2048},
      {64, 2048, 256, -1, false, 1000, 1000}, {64, 2048, 256, 1, false, 1000, 1000},
      {100, 2000, 300, 48, false, 1000, 964}, {512, 512, 512, 0, false, 1000, 512},
      {512, 512, 512, 0, true, 0, 512},     {64, 2048, 256, 64, false, 0xFFFFFFFF, 2048},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(std::to_string(row.Min) + ".." + std::to_string(row.Max) + " g" + std::to_string(row.Granularity) +
                 (row.bUsePreferred ? " preferred" : " size " + std::to_string(row.Size)));
    Driver.SetBufferSizes(row.Min, row.Max, row.Preferred, row.Granularity);
    Device->GetBufferSize().SetUsePreferred(row.bUsePreferred);
    Device->GetBufferSize().SetSize(row.Size);
    ASSERT_TRUE(Device->Start());
    EXPECT_EQ(Driver.Buffers().BufferSize, row.Expected);
    EXPECT_EQ(Device->GetBufferSize().GetRunningSize(), row.Expected);
    Device->Close();
  }
}

TEST_F(ASIODevice, ARateOfZeroOrBelowIsStoredAs44100AndOnlyAppliedWhenNotUsingTheCurrentOne) {
  TALASIOSampleRate& rate = Device->GetSampleRate();
  EXPECT_EQ(rate.GetRate(), 44100);
  rate.SetRate(48000);
  EXPECT_EQ(rate.GetRate(), 48000);
  rate.SetRate(0);
  EXPECT_EQ(rate.GetRate(), 44100);
  rate.SetRate(-96000);
  EXPECT_EQ(rate.GetRate(), 44100);

  Driver.SetSupportedRates({44100, 96000});
  rate.SetRate(96000);
  ASSERT_TRUE(Device->Open());
  EXPECT_EQ(Driver.CountCalls(EAsioCall::setSampleRate), 0u);
  EXPECT_EQ(rate.GetRunningSampleRate(), 44100);

  Device->Close();
  rate.SetUseCurrent(false);
  ASSERT_TRUE(Device->Open());
  ASSERT_EQ(Driver.CountCalls(EAsioCall::setSampleRate), 1u);
  EXPECT_EQ(rate.GetRunningSampleRate(), 96000);
  EXPECT_EQ(Device->GetIntRunningSampleRate(), 96000);
}

TEST_F(ASIODevice, ARateThatIsNotWholeIsRoundedToTheNearestEven) {
  for (const auto& [rate, expected] : std::vector<std::pair<double, std::int32_t>>{
           {44100.4, 44100}, {44100.5, 44100}, {44101.5, 44102}, {47999.6, 48000}}) {
    Driver.SetSampleRate(rate);
    ASSERT_TRUE(Device->Open());
    EXPECT_EQ(Device->GetIntRunningSampleRate(), expected) << rate;
    Device->Close();
  }
}

TEST_F(ASIODevice, TheClockSourceIsAppliedAtStartOrAtOnceWhenTheIndexChangesOnAnOpenDevice) {
  Driver.SetClockSources(3);
  TALASIOClockSource& clock = Device->GetClockSource();
  EXPECT_EQ(clock.GetSources().GetCount(), 3);
  EXPECT_TRUE(Device->GetOpened());

  clock.SetActieveIndex(1);  // the driver's own is used
  EXPECT_EQ(Driver.CountCalls(EAsioCall::setClockSource), 0u);
  clock.SetUseCurrent(false);
  clock.SetActieveIndex(2);
  EXPECT_EQ(Driver.CurrentClockSource(), 2);
  ASSERT_TRUE(Device->Start());
  EXPECT_EQ(Driver.CountCalls(EAsioCall::setClockSource), 2u);
  EXPECT_EQ(Driver.Calls()[Driver.Calls().size() - 7].Call, EAsioCall::setClockSource);

  // Not reported when it fails.
  CollectReports();
  Driver.SetResult(EAsioCall::getClockSources, ASE_NotPresent);
  EXPECT_EQ(clock.GetSources().GetCount(), 0);
  Driver.SetResult(EAsioCall::setClockSource, ASE_NotPresent);
  clock.SetActieveIndex(0);
  EXPECT_TRUE(Errors.empty());
  EXPECT_TRUE(Warnings.empty());
}

// ------------------------------------------------------------------ the stream on the pins

TEST_F(ASIODevice, OnlyTheEnabledThirdInputGetsABufferRecordAndAStreamStart) {
  Driver.SetCallbacks(false);  // the frame of the stream, without its buffers
  Driver.SetInputs({{"In 1"}, {"In 2"}, {"In 3"}});
  std::vector<TALASIOInputChannelItem*> items = AddInputs(3);
  items[0]->SetEnabled(false);
  items[1]->SetEnabled(false);
  TStreamSink sinks[3];
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(items[static_cast<std::size_t>(i)]->GetOutputPin().Connect(&sinks[i].Pin));

  ASSERT_TRUE(Device->Start());
  EXPECT_EQ(Channels(Requested(Driver)), (std::vector<std::pair<int, int>>{{1, 2}}));
  EXPECT_EQ(sinks[0].Events(), "");
  EXPECT_EQ(sinks[1].Events(), "");
  EXPECT_EQ(sinks[2].Events(), "S");
  EXPECT_FALSE(items[0]->GetRunning());
  EXPECT_TRUE(items[2]->GetRunning());
  Device->Stop();
  EXPECT_EQ(sinks[2].Events(), "SX");
  EXPECT_EQ(sinks[0].Events(), "");
}

TEST_F(ASIODevice, EachInputAnnouncesOneChannelOfItsSampleTypesWidth) {
  Driver.SetSampleRate(48000);
  Driver.SetInputs({{"24", ASIOSTInt24LSB}, {"f64", ASIOSTFloat64MSB}, {"other", 5}, {"16", ASIOSTInt16MSB}});
  std::vector<TALASIOInputChannelItem*> items = AddInputs(4);
  TStreamSink sinks[4];
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(items[static_cast<std::size_t>(i)]->GetOutputPin().Connect(&sinks[i].Pin));
  ASSERT_TRUE(Device->Start());

  const std::uint16_t bits[] = {24, 32, 8, 16};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const TALWaveFormatExtensible f = sinks[i].Format();
    EXPECT_EQ(f.wFormatTag, 0xFFFE);
    EXPECT_EQ(f.nChannels, 1);
    EXPECT_EQ(f.nSamplesPerSec, 48000u);
    EXPECT_EQ(f.wBitsPerSample, bits[i]);
    EXPECT_EQ(f.wValidBitsPerSample, bits[i]);
    EXPECT_EQ(f.nBlockAlign, bits[i] / 8);
    EXPECT_EQ(f.nAvgBytesPerSec, 48000u * (bits[i] / 8));
    EXPECT_EQ(f.cbSize, 22);
    EXPECT_EQ(f.dwChannelMask, 1u);
    EXPECT_TRUE(f.SubFormat == ALSubFormatPCM);
  }
}

TEST_F(ASIODevice, ItemsBeyondTheDriversChannelsTakeNoPart) {
  std::vector<TALASIOInputChannelItem*> inputs = AddInputs(3);  // the driver has 2
  std::vector<TALASIOOutputChannelItem*> outputs = AddOutputs(3);
  TStreamSink beyond;
  ASSERT_TRUE(inputs[2]->GetOutputPin().Connect(&beyond.Pin));
  ASSERT_TRUE(Device->Start());
  EXPECT_TRUE(Device->IsRunning());
  EXPECT_EQ(Channels(Requested(Driver)),
            (std::vector<std::pair<int, int>>{{1, 0}, {1, 1}, {0, 0}, {0, 1}}));
  EXPECT_EQ(beyond.Events(), "");
  EXPECT_FALSE(inputs[2]->GetRunning());
  EXPECT_FALSE(outputs[2]->GetRunning());
}

TEST_F(ASIODevice, ChannelItemsListTheirPinsInItemOrderAndTakeThemAlong) {
  std::vector<TALASIOInputChannelItem*> inputs = AddInputs(2);
  std::vector<TALASIOOutputChannelItem*> outputs = AddOutputs(3);
  ASSERT_EQ(Device->GetOutputPins().GetCount(), 2);
  ASSERT_EQ(Device->GetInputPins().GetCount(), 3);
  EXPECT_EQ(Device->GetOutputPins().GetItem(1), &inputs[1]->GetOutputPin());
  EXPECT_EQ(Device->GetInputPins().GetItem(2), &outputs[2]->GetInputPin());
  EXPECT_EQ(inputs[0]->GetOutputPin().GetOwner(), Device.get());
  Device->GetOutputChannels().Delete(1);
  EXPECT_EQ(Device->GetInputPins().GetCount(), 2);
  EXPECT_EQ(Device->GetInputPins().GetItem(1), &outputs[2]->GetInputPin());
  Device->GetInputChannels().Clear();
  EXPECT_EQ(Device->GetOutputPins().GetCount(), 0);
}

// ------------------------------------------------------------------ available channels

TEST(ASIODeviceWithoutDriver, HasNoChannelsAndRefusesIndexZero) {
  TSimPlatform platform;
  TSimAsio notCreatable("Gone");
  notCreatable.InstallKey(platform.SimRegistry());  // no COM class behind it
  auto device = CreateComponent<TALASIOAudioDevice>(nullptr);
  device->GetDevice().SetDeviceName("Gone");
  EXPECT_EQ(device->GetAvailableInputChannels().GetCount(), 0);
  try {
    device->GetAvailableInputChannels().GetItems(0);
    ADD_FAILURE() << "no exception";
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "Indice de liste hors limites (0)");
  }
  EXPECT_FALSE(device->Start());
  EXPECT_EQ(device->GetDriverName(), "");
  EXPECT_EQ(device->GetDriverVersion(), 0);
  EXPECT_EQ(device->GetInputLatency(), 0);
  EXPECT_FALSE(device->GetUsesPostOutput());
  EXPECT_EQ(device->GetSampleRate().GetRunningSampleRate(), 0);
  EXPECT_FALSE(device->ShowDialog());
  EXPECT_FALSE(device->CanSampleRate(44100));
}

TEST_F(ASIODevice, AvailableChannelsDescribeTheDriversRecordsAsTextsOfTheirOwn) {
  const std::string full32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
  Driver.SetInputs({{"Entr\xE9" "e 1", ASIOSTInt32LSB, 3}, {full32 + "beyond", ASIOSTInt32LSB, 4}});
  Driver.SetOutputs({{"Sortie g\xE2" "che", ASIOSTInt32LSB, 7}});
  TALASIOAvailableChannels& inputs = Device->GetAvailableInputChannels();
  TALASIOAvailableChannels& outputs = Device->GetAvailableOutputChannels();
  EXPECT_EQ(inputs.GetCount(), 2);
  EXPECT_EQ(outputs.GetCount(), 1);
  EXPECT_EQ(inputs.GetItems(0)->GetName(), "Entrée 1");
  EXPECT_EQ(inputs.GetItems(0)->GetChannelGroup(), 3);
  EXPECT_FALSE(inputs.GetItems(0)->GetIsActive());
  EXPECT_EQ(inputs.GetItems(1)->GetName(), full32);
  EXPECT_EQ(outputs.GetItems(0)->GetName(), "Sortie gâche");
  EXPECT_EQ(outputs.GetItems(0)->GetChannelGroup(), 7);
  EXPECT_EQ(inputs.GetItems(1), inputs.GetItems(1));  // built once
  for (std::int32_t bad : {-1, 2, 5}) {
    try {
      inputs.GetItems(bad);
      ADD_FAILURE() << "no exception for " << bad;
    } catch (const EListError& e) {
      EXPECT_EQ(std::string(e.what()), "Indice de liste hors limites (" + std::to_string(bad) + ")");
    }
  }

  // A new open builds them anew from the driver now open.
  Device->Close();
  Driver.SetInputs({{"Renamed"}, {"Two"}});
  EXPECT_EQ(inputs.GetItems(0)->GetName(), "Renamed");
}

TEST_F(ASIODevice, CountCatchesAFailingOpenWhileItemsPassesItOn) {
  Driver.SetResult(EAsioCall::getBufferSize, ASE_NotPresent);
  EXPECT_EQ(Device->GetAvailableOutputChannels().GetCount(), 0);
  EXPECT_FALSE(Device->GetOpened());
  EXPECT_EQ(Device->GetDriverName(), "");
  EXPECT_EQ(ErrorOf([&] { Device->GetAvailableOutputChannels().GetItems(0); }),
            "Can't get buffer size - Hardware input or output is not present or available - 4294966296 - FFFFFC18");
  EXPECT_NE(ErrorOf([&] { Device->GetErrorMessage(); }), "<none>");
  EXPECT_EQ(Driver.LiveObjects(), 0);
}

// ------------------------------------------------------------------ callback slots

TEST_F(ASIODevice, AStartAfterStopUsesTheSlotItStillHolds) {
  const int freeSlots = FreeSlots();
  ASSERT_TRUE(Device->Start());
  const std::int32_t slot = Device->GetCallbackIndex();
  ASSERT_GE(slot, 0);
  Device->Stop();
  ASSERT_TRUE(Device->Start());
  EXPECT_EQ(Device->GetCallbackIndex(), slot);
  EXPECT_EQ(FreeSlots(), freeSlots - 1);
  Device->Close();
  EXPECT_EQ(Device->GetCallbackIndex(), -1);
  EXPECT_EQ(FreeSlots(), freeSlots);
}

TEST_F(ASIODevice, WithEverySlotTakenStartReportsInsteadOfCreatingBuffers) {
  CollectReports();
  {
    TSlotHog hog;
    ASSERT_EQ(FreeSlots(), 0);
    EXPECT_TRUE(Device->Start());
    EXPECT_FALSE(Device->IsRunning());
    EXPECT_FALSE(Device->GetOpened());
    EXPECT_EQ(Driver.CountCalls(EAsioCall::createBuffers), 0u);
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0].Text, "Can't create buffers - Not enough memory for completing the request");
    EXPECT_EQ(Errors[0].Code, ASE_NoMemory);
  }
  EXPECT_TRUE(Device->Start());
  EXPECT_TRUE(Device->IsRunning());
}

TEST_F(ASIODevice, ThereAreSlotsForAHundredAndOneRunningDevicesAndAClosedOnesSlotIsReused) {
  CollectReports();
  Driver.SetCallbacks(false);  // a hundred drivers calling back would only slow the test down
  std::vector<std::unique_ptr<TALASIOAudioDevice>> devices;
  const int freeSlots = FreeSlots();
  ASSERT_EQ(freeSlots, ALASIOCallbackEntries::kSlotCount);
  for (int i = 0; i < freeSlots; ++i) {
    devices.push_back(NewDevice());
    ASSERT_TRUE(devices.back()->Start());
    ASSERT_TRUE(devices.back()->IsRunning());
  }
  EXPECT_TRUE(Device->Start());
  EXPECT_FALSE(Device->IsRunning());
  EXPECT_EQ(Errors.size(), 1u);
  const std::int32_t slot = devices[40]->GetCallbackIndex();
  devices[40]->Close();
  EXPECT_TRUE(Device->Start());
  EXPECT_TRUE(Device->IsRunning());
  EXPECT_EQ(Device->GetCallbackIndex(), slot);
}

// ------------------------------------------------------------------ Enabled, Opened, pins

TEST_F(ASIODevice, ACodeCreatedDeviceStartsDisabledAndEnabledStartsAndStopsIt) {
  EXPECT_FALSE(Device->GetEnabled());
  EXPECT_TRUE(Driver.Calls().empty());
  Device->SetEnabled(true);
  EXPECT_TRUE(Device->IsRunning());
  EXPECT_TRUE(Device->GetEnabled());
  Device->SetEnabled(true);
  EXPECT_EQ(Driver.CountCalls(EAsioCall::start), 1u);
  Device->SetEnabled(false);
  EXPECT_FALSE(Device->IsRunning());
  EXPECT_FALSE(Device->GetEnabled());
  EXPECT_TRUE(Device->GetOpened());
}

TEST_F(ASIODevice, TheEnablePinMirrorsEnabledBothWays) {
  TRefPtr<TOWLock> lock = TOWLock::Create();
  TObject owner;
  bool seen = false;
  TOWBoolStatePin other(&owner, lock.Get(), [&](TOWPin*, bool AValue, bool) { seen = AValue; });
  ASSERT_TRUE(other.Connect(&Device->GetEnablePin()));
  other.Send(true);
  EXPECT_TRUE(Device->IsRunning());
  EXPECT_TRUE(Device->GetEnabled());
  Device->Stop();
  EXPECT_FALSE(seen);
  EXPECT_FALSE(other.GetValue());
  Device->Start();
  EXPECT_TRUE(seen);
  other.Disconnect();
}

TEST_F(ASIODevice, OpenedOpensAndCloses) {
  Device->SetOpened(true);
  EXPECT_TRUE(Device->GetOpened());
  EXPECT_EQ(Driver.LiveObjects(), 1);
  Device->SetOpened(false);
  EXPECT_FALSE(Device->GetOpened());
  EXPECT_EQ(Driver.LiveObjects(), 0);
}

TEST_F(ASIODevice, ALoadedEnabledDeviceStartsAndOneThatCannotReadsDisabled) {
  auto loaded = LoadComponent<TALASIOAudioDevice>(
      [](TALASIOAudioDevice& d) {
        d.SetEnabled(true);
        d.GetDevice().SetDeviceName("Sim ASIO");
      },
      nullptr);
  EXPECT_TRUE(loaded->IsRunning());
  EXPECT_TRUE(loaded->GetEnabled());

  auto missing = LoadComponent<TALASIOAudioDevice>(
      [](TALASIOAudioDevice& d) { d.GetDevice().SetDeviceName("Not installed"); }, nullptr);
  EXPECT_FALSE(missing->GetOpened());
  EXPECT_FALSE(missing->GetEnabled());
}

TEST_F(ASIODevice, ACopyOfARunningDeviceIsConfiguredBeforeItStarts) {
  std::vector<TALASIOInputChannelItem*> inputs = AddInputs(2);
  inputs[0]->SetEnabled(false);
  Device->GetBufferSize().SetUsePreferred(false);
  Device->GetBufferSize().SetSize(128);
  ASSERT_TRUE(Device->Start());
  TSimAsio other("Other");
  other.Install(Platform);
  auto copy = NewDevice("Other");
  copy->Assign(*Device);
  EXPECT_TRUE(copy->IsRunning());
  EXPECT_EQ(copy->GetDevice().GetDeviceName(), "Sim ASIO");
  EXPECT_EQ(other.CreatedObjects(), 0);
  EXPECT_EQ(Driver.Buffers().BufferSize, 128);
  EXPECT_EQ(Channels(Driver.Buffers().Infos), (std::vector<std::pair<int, int>>{{1, 1}}));
  EXPECT_EQ(copy->GetOutputPins().GetCount(), 2);
}

// ------------------------------------------------------------------ queries

TEST_F(ASIODevice, QueriesOpenTheDeviceAndReadTheDriversTexts) {
  Driver.SetDriverName("Carte son \xE9" "tendue 0123456789012345678");  // 32 bytes and more
  Driver.SetErrorMessage("Pas d'erreur");
  EXPECT_EQ(Device->GetDriverName(), "Carte son étendue 01234567890123");
  EXPECT_TRUE(Device->GetOpened());
  EXPECT_EQ(Device->GetErrorMessage(), "Pas d'erreur");
  Driver.SetResult(EAsioCall::outputReady, ASE_NotPresent);
  Device->Close();
  EXPECT_FALSE(Device->GetUsesPostOutput());
}

TEST_F(ASIODevice, ThePanelAndTheRateQuestionAreNeverReported) {
  CollectReports();
  EXPECT_TRUE(Device->ShowDialog());
  EXPECT_EQ(Driver.CountCalls(EAsioCall::controlPanel), 1u);
  Driver.SetResult(EAsioCall::controlPanel, ASE_NotPresent);
  EXPECT_FALSE(Device->ShowDialog());
  EXPECT_TRUE(Device->CanSampleRate(44100));
  EXPECT_FALSE(Device->CanSampleRate(48000));  // the driver answers ASE_NoClock
  EXPECT_TRUE(Errors.empty());
  EXPECT_TRUE(Warnings.empty());
  EXPECT_TRUE(Device->GetOpened());
}

// ------------------------------------------------------------------ the driver's messages

TEST_F(ASIODevice, AnswersTheDriversMessages) {
  ASSERT_TRUE(Device->Start());
  TASIOCallbacks* callbacks = Driver.Callbacks();
  ASSERT_NE(callbacks, nullptr);
  // Which selectors the device says it takes.
  for (std::int32_t value = 0; value <= 11; ++value) {
    const bool bTaken = value == 2 || value == 3 || value == 5 || value == 6 || value == 7 || value == 8 || value == 10;
    EXPECT_EQ(callbacks->asioMessage(kAsioSelectorSupported, value, nullptr, nullptr), bTaken ? 1 : 0) << value;
  }
  struct TRow {
    std::int32_t Selector, Value, Result;
  };
  const TRow rows[] = {{kAsioEngineVersion, 0, 2},    {kAsioBufferSizeChange, 512, 0}, {kAsioSupportsTimeInfo, 0, 1},
                       {kAsioSupportsTimeCode, 0, 0}, {0, 0, 0},                       {99, 0, 0}};
  for (const TRow& row : rows)
    EXPECT_EQ(callbacks->asioMessage(row.Selector, row.Value, nullptr, nullptr), row.Result)
        << row.Selector << "/" << row.Value;

  std::vector<std::string> events;
  Device->SetOnResyncRequest([&](TObject* ASender) { events.push_back(ASender == Device.get() ? "resync" : "?"); });
  Device->SetOnLatenciesChanged([&](TObject*) { events.push_back("latencies"); });
  EXPECT_EQ(callbacks->asioMessage(kAsioResyncRequest, 0, nullptr, nullptr), 1);
  EXPECT_EQ(callbacks->asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr), 1);
  EXPECT_EQ(events, (std::vector<std::string>{"resync", "latencies"}));
  // A switch from another thread of the driver is served like those of its own thread.
  const std::uint64_t before = Device->GetBufferSwitches();
  callbacks->bufferSwitch(0, 1);
  TASIOTime time{};
  EXPECT_EQ(callbacks->bufferSwitchTimeInfo(&time, 1, 1), nullptr);
  EXPECT_GE(Device->GetBufferSwitches(), before + 2);
}

TEST_F(ASIODevice, AResetRequestFromTheDriversThreadStopsTheDeviceOnTheMainThread) {
  ASSERT_TRUE(Device->Start());
  TASIOCallbacks* callbacks = Driver.Callbacks();
  ASSERT_NE(callbacks, nullptr);
  std::int32_t answer = 0;
  std::thread driverThread([&] { answer = callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr); });
  driverThread.join();
  EXPECT_EQ(answer, 1);
  EXPECT_TRUE(Device->IsRunning());  // nothing happens on the driver's thread
  ASSERT_TRUE(WaitFor([&] {
    Platform.ProcessMessages();
    return !Device->IsRunning();
  }));
  EXPECT_FALSE(Device->GetEnabled());
  EXPECT_TRUE(Device->GetOpened());
}

}  // namespace
}  // namespace portwise

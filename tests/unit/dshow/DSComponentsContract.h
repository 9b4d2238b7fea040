#pragma once
// What the DirectShow output and input do with the system's DirectShow, written once and run on
// the simulation natively and on Wine's DirectShow under Wine: the output plays a stream through
// the system's renderer (under Wine its DirectSound renderer) and says it has played it only once
// the sound had time to leave the renderer; the input either captures at the device's pace or
// refuses to start with ESLException (Wine 8's capture filter is a stub), and never hangs. The
// world is that of tests/unit/dshow/DSSourceContract.h (Platform(), Wine()).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "core/ALAudioBuffer.h"
#include "core/OWLock.h"
#include "core/OWOperations.h"
#include "core/OWPins.h"
#include "dshow/ALDSAudioIn.h"
#include "dshow/ALDSAudioOut.h"
#include "platform/Platform.h"

namespace portwise::test::dscomponents {

using namespace std::chrono_literals;

// A guard against hanging, not a measure of speed.
constexpr auto kPatience = 10s;
constexpr std::uint32_t kFrames = 1024;

// A producer of 1 kHz tone buffers at half scale, 44.1 kHz stereo 16-bit.
class TToneSource : public TObject {
 public:
  TToneSource()
      : Lock(TOWLock::Create()),
        Pin(this, Lock.Get(), [](TOWBasicPin*, const TALGuid&, IOWNotifyOperation*, TOWNotifyState) { return 0u; }) {}
  void Start() {
    const TALWaveFormatExtensible f{ALWaveFormatExtensibleTag, 2, 44100, 176400, 4, 16, ALWaveFormatExtensibleCbSize,
                                    16, 3, ALSubFormatPCM};
    Pin.Notify(new TOWStartWaveOperation(f, false));
  }
  void Send(int ACount) {
    for (int k = 0; k < ACount; ++k) {
      PALAudioBuffer b = TALAudioBuffer::CreateSizeEx(44100, 16, 2, kFrames, TALSpeakers::FromMask(3));
      for (std::uint32_t i = 0; i < kFrames; ++i) {
        const auto s = static_cast<std::int32_t>(
            std::lround(16383 * std::sin(2 * std::numbers::pi * 1000.0 * double(FFrame + i) / 44100)));
        b->SetSample(i, 0, s);
        b->SetSample(i, 1, s);
      }
      FFrame += kFrames;
      Pin.SubmitBuffer(TRefPtr<ISLData>(static_cast<ISLData*>(b.Get())));
    }
  }
  void Stop() { Pin.Stop(); }

  TRefPtr<TOWLock> Lock;
  TALOWAudioSourcePin Pin;

 private:
  std::uint64_t FFrame = 0;
};

// Counts the buffers that reach it.
class TCountingSink : public TObject {
 public:
  TCountingSink()
      : Lock(TOWLock::Create()),
        Pin(this, Lock.Get(), [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
          if (OWOperationAs<TOWSuppliedBufferOperation>(AOperation)) ++Buffers;
          if (OWOperationAs<TOWStopOperation>(AOperation)) ++Stops;
          return 0u;
        }) {}
  std::atomic<int> Buffers{0}, Stops{0};
  TRefPtr<TOWLock> Lock;
  TALOWAudioSinkPin Pin;
};

template <class TWorld>
class DSComponentsContract : public ::testing::Test {
 protected:
  // Waits (bounded) with the main thread's messages processed, as the shell's waits do.
  template <class P>
  bool Pumped(P APred) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!APred()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      platform::Current().Messages().ProcessMessages();
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }
  // The list name of the first device of a category.
  static std::string FirstDevice(const GUID& ACategory) {
    TVLDSCapDeviceList list;
    list.EnumFilters(ACategory);
    return list.Count() ? list.Items(0).DeviceNameInList : std::string();
  }
  bool Wine() { return FWorld.Wine(); }

  TWorld FWorld;
};

TYPED_TEST_SUITE_P(DSComponentsContract);

TYPED_TEST_P(DSComponentsContract, TheOutputPlaysAStreamThroughTheSystemRendererAndReportsItOnceItIsPlayed) {
  const std::string device = this->FirstDevice(CLSID_AudioRendererCategory);
  ASSERT_FALSE(device.empty());
  auto out = CreateComponent<TALDSAudioOut>(nullptr);
  out->GetAudioOutputDevice().SetDeviceName(device);
  std::atomic<int> empties{0};
  out->SetOnQueueEmpty([&](TObject*) { ++empties; });
  TToneSource source;
  ASSERT_TRUE(out->GetInputPin().Connect(&source.Pin));
  source.Start();
  ASSERT_TRUE(out->GetOpened());
  const auto begin = std::chrono::steady_clock::now();
  source.Send(30);  // 697 ms of sound, queued at once
  ASSERT_TRUE(out->IsPlaying());
  source.Stop();
  ASSERT_TRUE(this->Pumped([&] { return empties.load() > 0; }));
  // Not reported before the renderer can have played it (a little slack for the clock's start).
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 600ms);
  EXPECT_EQ(30 * REFERENCE_TIME{232199}, out->CurrentAudioTime());
  EXPECT_FALSE(out->IsStreaming());  // the graph is stopped by then
  std::this_thread::sleep_for(100ms);
  platform::Current().Messages().ProcessMessages();
  EXPECT_EQ(1, empties.load());

  // The same output plays the next stream on the graph it kept.
  source.Start();
  source.Send(16);
  source.Stop();
  ASSERT_TRUE(this->Pumped([&] { return empties.load() == 2; }));
  out.reset();
}

TYPED_TEST_P(DSComponentsContract, TheOutputFreedInTheMiddleOfAStreamStopsAtOnce) {
  auto out = CreateComponent<TALDSAudioOut>(nullptr);
  out->GetAudioOutputDevice().SetDeviceName(this->FirstDevice(CLSID_AudioRendererCategory));
  TToneSource source;
  ASSERT_TRUE(out->GetInputPin().Connect(&source.Pin));
  source.Start();
  source.Send(40);
  std::this_thread::sleep_for(200ms);  // the player waits on the renderer now
  const auto begin = std::chrono::steady_clock::now();
  out.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, kPatience);
  source.Send(2);
}

TYPED_TEST_P(DSComponentsContract, TheInputCapturesAtTheDevicesPaceOrRefusesToStart) {
  const std::string device = this->FirstDevice(CLSID_AudioInputDeviceCategory);
  if (device.empty()) GTEST_SKIP() << "no capture device";
  auto in = CreateComponent<TALDSAudioIn>(nullptr);
  TALAudioFormat& format = in->GetAudioFormat();
  format.SetBits(16);
  format.SetBufferSize(kFrames);
  format.SetChannels(2);
  format.SetSampleRate(44100);
  in->GetAudioCaptureDevice().SetDeviceName(device);
  TCountingSink sink;
  ASSERT_TRUE(sink.Pin.Connect(&in->GetOutputPin()));
  bool bRaised = false;
  try {
    in->SetEnabled(true);
    in->Start();
  } catch (const ESLException& e) {
    bRaised = true;
    EXPECT_FALSE(e.ErrorText().empty());
    in->SetEnabled(false);
    in->Stop();
  }
  if (this->Wine()) {
    EXPECT_TRUE(bRaised) << "Wine 8's capture filter has no pins";
  }
  if (bRaised) {
    EXPECT_FALSE(in->GetEnabled());
    EXPECT_EQ(0, sink.Buffers.load());
  } else {
    ASSERT_TRUE(this->Pumped([&] { return sink.Buffers.load() >= 5; }));
    in->SetEnabled(false);
    EXPECT_EQ(1, sink.Stops.load());
  }
  in.reset();
}

REGISTER_TYPED_TEST_SUITE_P(DSComponentsContract,
                            TheOutputPlaysAStreamThroughTheSystemRendererAndReportsItOnceItIsPlayed,
                            TheOutputFreedInTheMiddleOfAStreamStopsAtOnce,
                            TheInputCapturesAtTheDevicesPaceOrRefusesToStart);

}  // namespace portwise::test::dscomponents

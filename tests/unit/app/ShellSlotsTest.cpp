// The shell's device slots: each factory makes and configures its component, each release empties
// its slot and leaves nothing open, also when the factory failed part-way.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/uMultimedia.h"
#include "platform/sim/SimAsio.h"
#include "platform/sim/SimDShow.h"
#include "tests/unit/app/ShellWorld.h"

namespace portwise::app {
namespace {

class ShellSlotsTest : public TShellWorld {
 protected:
  ShellSlotsTest() {
    Mic = Sim.SimWave().AddInputDevice("Microphone");
    Sim.SimWave().AddOutputDevice("Speakers");
    DS.AddAudioRenderer("Speakers");
    DSMic = DS.AddAudioCapture("Microphone");
    ShowForm();
  }
  ~ShellSlotsTest() override { CloseForm(); }

  void ExpectNothingOpen() {
    EXPECT_EQ(Sim.SimWave().OpenDevices(), 0u);
    EXPECT_EQ(DS.LiveObjects(), 0u);
  }
  static void ExpectShellFormat(const TALAudioFormat& f) {
    EXPECT_EQ(f.GetBits(), 16u);
    EXPECT_EQ(f.GetBufferSize(), 1024u);
    EXPECT_EQ(f.GetChannels(), 2u);
    EXPECT_EQ(f.GetSampleRate(), 44100u);
  }

  platform::sim::TSimDShow DS{Sim};
  std::uint32_t Mic = 0;
  int DSMic = -1;
};

TEST_F(ShellSlotsTest, EachFactoryConfiguresItsComponentAndItsReleaseEmptiesTheSlot) {
  struct TCase {
    const char* Name;
    void (*Create)();
    void (*Free)();
    std::function<bool()> bFilled;
    std::function<void()> ExpectConfigured;
  };
  const std::vector<TCase> cases{
      {"MME input", AudioIn_Create, AudioIn_Free, [] { return AudioIn != nullptr; },
       [&] {
         // Capturing from the default device at once, in the shell's format.
         ExpectShellFormat(AudioIn->GetAudioFormat());
         EXPECT_TRUE(AudioIn->GetEnabled());
         EXPECT_EQ(Sim.SimWave().OpenDevices(), 1u);
       }},
      {"MME output", AudioOut_Create, AudioOut_Free, [] { return AudioOut != nullptr; },
       [&] {
         EXPECT_TRUE(AudioOut->GetEnabled());
         EXPECT_EQ(Sim.SimWave().OpenDevices(), 0u);  // opened only for a stream
       }},
      {"DirectShow input", DSAudioIn_Create, DSAudioIn_Free, [] { return DSAudioIn != nullptr; },
       [&] {
         ExpectShellFormat(DSAudioIn->GetAudioFormat());
         EXPECT_TRUE(DSAudioIn->IsRunning());
         EXPECT_EQ(DSAudioIn->GetAudioCaptureDevice().GetOpenedDeviceName(), "Microphone");
       }},
      {"DirectShow output", DSAudioOut_Create, DSAudioOut_Free, [] { return DSAudioOut != nullptr; },
       [&] { EXPECT_FALSE(DSAudioOut->GetOpened()); }},
      {"ASIO", ASIO_Create, ASIO_Free, [] { return ASIOAudioDevice != nullptr; },
       [&] {
         EXPECT_EQ(ASIOAudioDevice->GetSampleRate().GetRate(), 44100.0);
         EXPECT_TRUE(ASIOAudioDevice->GetSampleRate().GetUseCurrent());
         EXPECT_TRUE(ASIOAudioDevice->GetOnError());
         EXPECT_TRUE(ASIOAudioDevice->GetOnWarning());
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    c.Create();
    ASSERT_TRUE(c.bFilled());
    c.ExpectConfigured();
    c.Free();
    EXPECT_FALSE(c.bFilled());
    ExpectNothingOpen();
  }
}

TEST_F(ShellSlotsTest, ACaptureFactoryThatCannotStartKeepsItsComponentAndItsReleaseStillEmptiesTheSlot) {
  Sim.SimWave().SetInputOpenResult(Mic, platform::MMSYSERR_ALLOCATED);
  platform::sim::TSimDevice mic = DS.Device(DSMic);
  mic.bPinless = true;
  DS.SetDevice(DSMic, mic);

  AudioIn_Create();  // the failure to open is not the caller's
  ASSERT_NE(AudioIn, nullptr);
  ExpectShellFormat(AudioIn->GetAudioFormat());
  AudioIn_Free();
  EXPECT_EQ(AudioIn, nullptr);

  DSAudioIn_Create();
  ASSERT_NE(DSAudioIn, nullptr);
  EXPECT_FALSE(DSAudioIn->IsRunning());
  DSAudioIn_Free();
  EXPECT_EQ(DSAudioIn, nullptr);
  ExpectNothingOpen();
}

}  // namespace
}  // namespace portwise::app

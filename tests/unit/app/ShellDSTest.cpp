// The shell's commands on DirectShow rows, against the simulated DirectShow: the analysis lists
// renderers after the MME outputs and capture devices after the MME inputs, a double-click tests
// the row's own device, the tone plays a whole second on the row's renderer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/frmMain.h"
#include "app/uLog.h"
#include "app/uMultimedia.h"
#include "app/uRes.h"
#include "platform/sim/SimDShow.h"
#include "platform/sim/SimPlatform.h"
#include "tests/unit/app/ShellWorld.h"

namespace portwise::app {
namespace {

using platform::sim::TSimDShow;

class ShellDSTest : public TShellWorld {
 protected:
  ShellDSTest() {
    Sim.SimWave().AddOutputDevice("Speakers (MME)");
    Sim.SimWave().AddInputDevice("Microphone (MME)");
    Speakers = DS.AddAudioRenderer("Speakers");
    Headphones = DS.AddAudioRenderer("Headphones");
    Mic = DS.AddAudioCapture("Microphone");
    Line = DS.AddAudioCapture("Line In");
    ShowForm();
    Form->btnGetDevicesClick();
  }
  ~ShellDSTest() override { CloseForm(); }

  int RowOf(const std::string& inOut, const std::string& connexion) {
    const TRows rows = Rows();
    for (std::size_t i = 0; i < rows.size(); ++i)
      if (rows[i][2] == "DS" && rows[i][4] == inOut && rows[i][1] == connexion) return static_cast<int>(i);
    return -1;
  }
  // A renderer that cannot be made, or a capture device that cannot deliver (its start fails).
  void Break(int device) {
    platform::sim::TSimDevice d = DS.Device(device);
    if (d.Kind == platform::sim::ESimDeviceKind::AudioCapture) d.bPinless = true;
    else d.BindToObjectResult = static_cast<HRESULT>(0x80070005);
    DS.SetDevice(device, d);
  }
  // Every graph, filter and moniker made is gone: the components closed what they opened.
  void ExpectAllReleased() {
    EXPECT_TRUE(DSAudioIn == nullptr && DSAudioOut == nullptr);
    for (std::size_t g = 0; g < DS.GraphCount(); ++g) EXPECT_FALSE(DS.Graph(g).bAlive) << "graph " << g;
    EXPECT_EQ(DS.LiveObjects(), 0u);
  }

  TSimDShow DS{Sim};
  int Speakers = -1, Headphones = -1, Mic = -1, Line = -1;
};

TEST_F(ShellDSTest, RenderersFollowTheMMEOutputsAndCaptureDevicesTheMMEInputsUnderDefault) {
  const TRows expected{
      {"Default", "Speakers (MME)", "MME", "0", "Out", "-"},   {"Default", "Speakers", "DS", "0", "Out", "-"},
      {"Default", "Headphones", "DS", "1", "Out", "-"},        {"Default", "Microphone (MME)", "MME", "0", "In", "-"},
      {"Default", "Microphone", "DS", "0", "In", "-"},         {"Default", "Line In", "DS", "1", "In", "-"},
  };
  EXPECT_EQ(Rows(), expected);
  EXPECT_EQ(Log(0), (TLines{{KLogSearchStart, I}, {KLogSearchEnd, I}}));
  EXPECT_FALSE(bBusy);
  ExpectAllReleased();
}

TEST_F(ShellDSTest, AnEmptyCategoryGivesNoRowsAndTheRestOfTheTableStays) {
  DS.SetClassEnumeratorResult(CLSID_AudioRendererCategory, S_FALSE);
  Form->btnGetDevicesClick();
  EXPECT_EQ(RowOf("Out", "Speakers"), -1);
  EXPECT_NE(RowOf("In", "Line In"), -1);
  EXPECT_EQ(Rows().size(), 4u);
  ExpectAllReleased();
}

TEST_F(ShellDSTest, ADoubleClickTestsTheRowsOwnDeviceAndMarksOnlyThatRow) {
  struct TCase {
    const char* InOut;
    int Broken;  // the device that cannot work
    const char* Device;
    bool bOk;
    const TTestTexts& Texts;
  };
  // The default device of each category broken: only the row's own device decides.
  for (const TCase& c : {TCase{"Out", Speakers, "Headphones", true, KTestDSOut},
                         TCase{"In", Mic, "Line In", true, KTestDSIn},
                         TCase{"Out", Headphones, "Headphones", false, KTestDSOut},
                         TCase{"In", Line, "Line In", false, KTestDSIn}}) {
    SCOPED_TRACE(std::string(c.Device) + (c.bOk ? " passes" : " fails"));
    Form->btnGetDevicesClick();
    const platform::sim::TSimDevice saved = DS.Device(c.Broken);
    Break(c.Broken);
    const std::size_t from = LogSize();
    const int row = RowOf(c.InOut, c.Device);
    DoubleClick(row);
    EXPECT_EQ(Log(from), (TLines{{FormatRes(c.Texts.Start, c.Device), I},
                                 {FormatRes(c.bOk ? c.Texts.Opened : c.Texts.Failed, c.Device), c.bOk ? G : R},
                                 {FormatRes(c.Texts.End, c.Device), I}}));
    const TRows rows = Rows();
    for (std::size_t i = 0; i < rows.size(); ++i)
      EXPECT_EQ(rows[i][5], static_cast<int>(i) != row ? "-" : c.bOk ? "OK" : "Err.") << rows[i][1];
    ExpectAllReleased();
    DS.SetDevice(c.Broken, saved);
  }
}

TEST_F(ShellDSTest, TheTonePlaysOneWholeSecondOnTheRowsRendererAndNothingForACaptureRow) {
  Window->UserSelect(TfmMain::lstDevices, RowOf("In", "Microphone"));
  Pump();
  Form->btnGenClick();
  EXPECT_EQ(DS.RendererCount(), 0u);

  const std::size_t from = LogSize();
  Window->UserSelect(TfmMain::lstDevices, RowOf("Out", "Headphones"));
  Pump();
  Form->btnGenClick();
  ASSERT_EQ(DS.RendererCount(), 1u);
  const platform::sim::TSimRendererInfo r = DS.Renderer(0);
  EXPECT_EQ(r.Device, Headphones);
  std::size_t bytes = 0;
  for (const auto& s : r.Played) bytes += s.Data.size();
  // Played out before the release, not cut at the prefill: one second of 44.1 kHz stereo 16-bit.
  EXPECT_NEAR(static_cast<double>(bytes) / (44100.0 * 4), 1.0, 0.05) << r.Played.size() << " samples, received " << r.Received;
  EXPECT_TRUE(r.bEndOfStream);
  EXPECT_FALSE(Form->ALSignalGen1->GetEnabled());
  EXPECT_TRUE(Log(from).empty());
  ExpectAllReleased();
}

TEST_F(ShellDSTest, AToneOnARendererThatCannotBeBuiltSwitchesTheGeneratorOffAndSaysSo) {
  Break(Headphones);
  Window->UserSelect(TfmMain::lstDevices, RowOf("Out", "Headphones"));
  Pump();
  const std::size_t from = LogSize();
  Form->btnGenClick();
  const TLines log = Log(from);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].first.rfind("[DS Out] Headphones -> Signal de test impossible : ", 0), 0u) << log[0].first;
  EXPECT_EQ(log[0].second, R);
  EXPECT_FALSE(Form->ALSignalGen1->GetEnabled());
  ExpectAllReleased();
}

}  // namespace
}  // namespace portwise::app

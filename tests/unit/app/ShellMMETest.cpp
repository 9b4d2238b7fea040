// The shell's commands on waveform-audio (MME) rows, against the simulated machine: the analysis
// fills the table, a double-click tests the row's own device, the tone plays a whole second on it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/frmMain.h"
#include "app/uLog.h"
#include "app/uMultimedia.h"
#include "app/uRes.h"
#include "platform/sim/SimPlatform.h"

namespace portwise::app {
namespace {

using platform::sim::EWavePace;
using platform::sim::TSimPlatform;
using platform::sim::TSimWindow;
using TRows = std::vector<std::vector<std::string>>;

class ShellMMETest : public ::testing::Test {
 protected:
  ShellMMETest() {
    Speakers = Wave().AddOutputDevice("Speakers");
    Headset = Wave().AddOutputDevice("Headset");
    Mic = Wave().AddInputDevice("Microphone");
    Line = Wave().AddInputDevice("Line In");
    Form.Show();
    Window = Sim.MainWindow();
  }
  ~ShellMMETest() override {
    bStarting = false;
    bBusy = false;
  }

  platform::sim::TSimWave& Wave() { return Sim.SimWave(); }
  void Pump() { Sim.ProcessMessages(); }
  TRows Rows() { return Window->Rows(TfmMain::lstDevices); }
  std::vector<std::string> LogTexts(std::size_t from = 0) {
    std::vector<std::string> out;
    const auto lines = Window->Lines(TfmMain::reLog);
    for (std::size_t i = from; i < lines.size(); ++i) {
      const std::string& t = lines[i].Text;
      out.push_back(t.substr(t.find(": ") + 2));  // without the time stamp
    }
    return out;
  }
  std::vector<platform::TColorRef> LogColors(std::size_t from = 0) {
    std::vector<platform::TColorRef> out;
    const auto lines = Window->Lines(TfmMain::reLog);
    for (std::size_t i = from; i < lines.size(); ++i) out.push_back(lines[i].Color);
    return out;
  }
  int RowOf(const std::string& type, const std::string& inOut, const std::string& connexion) {
    const TRows rows = Rows();
    for (std::size_t i = 0; i < rows.size(); ++i)
      if (rows[i][2] == type && rows[i][4] == inOut && rows[i][1] == connexion) return static_cast<int>(i);
    return -1;
  }
  void DoubleClick(int row) {
    Window->UserSelect(TfmMain::lstDevices, row);
    Window->UserDblClick(TfmMain::lstDevices);
    Pump();
  }
  bool SlotsEmpty() { return AudioIn == nullptr && AudioOut == nullptr; }

  TSimPlatform Sim;
  TfmMain Form;
  TSimWindow* Window = nullptr;
  std::uint32_t Speakers = 0, Headset = 0, Mic = 0, Line = 0;
};

TEST_F(ShellMMETest, TheAnalysisListsOutputsThenInputsUnderDefaultAndTwoRunsGiveTheSameTable) {
  Form.btnGetDevicesClick();
  const TRows expected{
      {"Default", "Speakers", "MME", "0", "Out", "-"},
      {"Default", "Headset", "MME", "1", "Out", "-"},
      {"Default", "Microphone", "MME", "0", "In", "-"},
      {"Default", "Line In", "MME", "1", "In", "-"},
  };
  EXPECT_EQ(Rows(), expected);
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{KLogSearchStart, KLogSearchEnd}));
  EXPECT_FALSE(bBusy);
  EXPECT_TRUE(SlotsEmpty());

  Form.btnGetDevicesClick();
  EXPECT_EQ(Rows(), expected);
  EXPECT_EQ(LogTexts().size(), 4u);
  EXPECT_EQ(Wave().OpenDevices(), 0u);
}

TEST_F(ShellMMETest, TheOutputTestOpensTheRowsOwnDeviceInTheToneFormatAndClosesIt) {
  Form.btnGetDevicesClick();
  const std::size_t logFrom = LogTexts().size();
  const int row = RowOf("MME", "Out", "Headset");
  DoubleClick(row);

  EXPECT_EQ(Rows()[row][5], "OK");
  EXPECT_EQ(Rows()[RowOf("MME", "Out", "Speakers")][5], "-");
  EXPECT_EQ(LogTexts(logFrom), (std::vector<std::string>{"[MME Out] Headset -> Test interface...",
                                                          "[MME Out] Headset -> Ouverture interface : OK.",
                                                          "[MME Out] Headset -> Fin de test"}));
  EXPECT_EQ(LogColors(logFrom), (std::vector<platform::TColorRef>{clLogInfo, clLogSuccess, clLogInfo}));
  const auto opens = Wave().Opens();
  ASSERT_FALSE(opens.empty());
  const auto& open = opens.back();
  EXPECT_FALSE(open.bInput);
  EXPECT_EQ(open.DeviceId, Headset);
  EXPECT_EQ(open.Format.nSamplesPerSec, 44100u);
  EXPECT_EQ(open.Format.wBitsPerSample, 16u);
  EXPECT_EQ(open.Format.nChannels, 2u);
  EXPECT_EQ(Wave().OpenDevices(), 0u);
  EXPECT_TRUE(SlotsEmpty());
}

TEST_F(ShellMMETest, ADeviceThatCannotBeOpenedFailsItsTestWithTheRedLineInItsOwnRowOnly) {
  Form.btnGetDevicesClick();
  Wave().SetOutputOpenResult(Headset, platform::MMSYSERR_ALLOCATED);
  Wave().SetInputOpenResult(Line, platform::MMSYSERR_ALLOCATED);
  struct TCase {
    const char* InOut;
    const char* Device;
    const char* Failed;
  };
  for (const TCase& c : {TCase{"Out", "Headset", "[MME Out] Headset -> Ouverture interface impossible."},
                         TCase{"In", "Line In", "[MME In] Line In -> Ouverture interface impossible."}}) {
    SCOPED_TRACE(c.Device);
    const std::size_t logFrom = LogTexts().size();
    const int row = RowOf("MME", c.InOut, c.Device);
    DoubleClick(row);
    EXPECT_EQ(Rows()[row][5], "Err.");
    const auto texts = LogTexts(logFrom);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[1], c.Failed);
    EXPECT_EQ(LogColors(logFrom)[1], clLogError);
    EXPECT_EQ(Wave().OpenDevices(), 0u);
    EXPECT_TRUE(SlotsEmpty());
  }
  for (const auto& r : Rows())
    if (r[1] != "Headset" && r[1] != "Line In") {
      EXPECT_EQ(r[5], "-");
    }
}

TEST_F(ShellMMETest, TheInputTestCapturesFromTheRowsOwnDevice) {
  Form.btnGetDevicesClick();
  const int row = RowOf("MME", "In", "Line In");
  DoubleClick(row);
  EXPECT_EQ(Rows()[row][5], "OK");
  const auto opens = Wave().Opens();
  ASSERT_FALSE(opens.empty());
  EXPECT_TRUE(opens.back().bInput);
  EXPECT_EQ(opens.back().DeviceId, Line);
  EXPECT_EQ(Wave().OpenDevices(), 0u);
}

TEST_F(ShellMMETest, TheTonePlaysOneWholeSecondOnTheSelectedOutputAndNothingForAnInputRow) {
  Form.btnGetDevicesClick();
  Window->UserSelect(TfmMain::lstDevices, RowOf("MME", "In", "Microphone"));
  Pump();
  const std::size_t opensBefore = Wave().Opens().size();
  Form.btnGenClick();
  EXPECT_EQ(Wave().Opens().size(), opensBefore);

  const std::size_t logFrom = LogTexts().size();
  Window->UserSelect(TfmMain::lstDevices, RowOf("MME", "Out", "Headset"));
  Pump();
  Form.btnGenClick();
  const auto played = Wave().PlayedBytes(Headset);
  EXPECT_TRUE(Wave().PlayedBytes(Speakers).empty());
  // One second of 44.1 kHz stereo 16-bit, in whole 1024-frame buffers, played out before release.
  const double seconds = static_cast<double>(played.size()) / (44100.0 * 4);
  EXPECT_NEAR(seconds, 1.0, 0.05);
  EXPECT_EQ(Wave().Underruns(Headset), 0u);
  EXPECT_FALSE(Form.ALSignalGen1->GetEnabled());
  EXPECT_EQ(Wave().OpenDevices(), 0u);
  EXPECT_TRUE(LogTexts(logFrom).empty());
  EXPECT_TRUE(SlotsEmpty());
}

TEST_F(ShellMMETest, AToneThatCannotOpenItsOutputSwitchesTheGeneratorOffAndSaysSo) {
  Form.btnGetDevicesClick();
  Wave().SetOutputOpenResult(Headset, platform::MMSYSERR_ALLOCATED);
  Window->UserSelect(TfmMain::lstDevices, RowOf("MME", "Out", "Headset"));
  Pump();
  const std::size_t logFrom = LogTexts().size();
  Form.btnGenClick();
  const auto texts = LogTexts(logFrom);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].rfind("[MME Out] Headset -> Signal de test impossible : ", 0), 0u) << texts[0];
  EXPECT_EQ(LogColors(logFrom)[0], clLogError);
  EXPECT_FALSE(Form.ALSignalGen1->GetEnabled());
  EXPECT_TRUE(SlotsEmpty());
}

TEST_F(ShellMMETest, TheASIOPanelButtonFollowsTheSelectedRowsType) {
  Form.btnGetDevicesClick();
  Form.AddDeviceRow("Driver", "In 1", "ASIO", "0", "In", "-");
  const int asio = static_cast<int>(Rows().size()) - 1;
  struct TStep {
    int Row;
    bool bEnabled;
  };
  for (const TStep& s : {TStep{asio, true}, TStep{0, false}, TStep{asio, true}, TStep{-1, true}}) {
    Window->UserSelect(TfmMain::lstDevices, s.Row);
    Pump();
    EXPECT_EQ(Window->GetEnabled(TfmMain::btnASIO), s.bEnabled) << "row " << s.Row;
  }
}

}  // namespace
}  // namespace portwise::app

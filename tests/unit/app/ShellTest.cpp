#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "app/Application.h"
#include "app/frmMain.h"
#include "app/uLog.h"
#include "app/uRes.h"
#include "platform/sim/SimPlatform.h"

namespace portwise::app {
namespace {

using platform::sim::TSimPlatform;
using platform::sim::TSimWindow;

// A main window whose operations record that they ran; the tone "plays" for a while, pumping
// messages as the real one does, so user input can arrive in the middle of it.
class TRecordingForm : public TfmMain {
 public:
  std::vector<int> Tested;
  int Tones = 0, Analyses = 0, Panels = 0, ButtonUpdates = 0;
  int ToneMs = 0;

 protected:
  void AnalyseDevices() override { ++Analyses; }
  void PlayTestTone() override {
    ++Tones;
    if (ToneMs) Delay_ms(ToneMs, true);
  }
  void ShowASIOPanel() override { ++Panels; }
  void TestInterface(int item) override {
    Tested.push_back(item);
    Delay_ms(50, true);
  }
  void UpdateASIOButton() override { ++ButtonUpdates; }
};

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bStarting = false;
    bBusy = false;
    sim.SetVirtualTime(true);
    form.Show();
    window = sim.MainWindow();
    form.AddDeviceRow("Speakers", "Default", rsMME.Text, "0", rsOut.Text, "-");
    form.AddDeviceRow("Line In", "Default", rsMME.Text, "0", rsIn.Text, "-");
  }
  void TearDown() override {
    bStarting = false;
    bBusy = false;
  }
  void Pump() { sim.ProcessMessages(); }

  TSimPlatform sim;
  TRecordingForm form;
  TSimWindow* window = nullptr;
};

TEST_F(ShellTest, TheWindowStacksItsControlsLikeTheLayoutSays) {
  const auto placed = platform::PlaceControls(TfmMain::Layout());
  auto at = [&](const std::string& name) {
    for (const auto& c : placed)
      if (c.Name == name) return c.Bounds;
    ADD_FAILURE() << "no control " << name;
    return platform::TRect{};
  };
  EXPECT_EQ(at("Panel1"), (platform::TRect{0, 0, 625, 41}));
  EXPECT_EQ(at("btnGen"), (platform::TRect{87, 8, 146, 25}));
  EXPECT_EQ(at("lstDevices"), (platform::TRect{0, 41, 625, 312}));
  EXPECT_EQ(at("Splitter1"), (platform::TRect{0, 353, 625, 3}));
  EXPECT_EQ(at("Panel2"), (platform::TRect{0, 356, 625, 23}));
  EXPECT_EQ(at("reLog"), (platform::TRect{0, 379, 625, 118}));
  EXPECT_FALSE(window->GetEnabled(TfmMain::btnASIO));
  EXPECT_TRUE(window->GetEnabled(TfmMain::btnGen));
}

TEST_F(ShellTest, RowsAreAppendedWithTheirSixCellsInOrder) {
  const auto rows = window->Rows(TfmMain::lstDevices);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1], (std::vector<std::string>{"Line In", "Default", "MME", "0", "In", "-"}));
}

TEST_F(ShellTest, ADoubleClickTestsTheSelectedRowOnlyWhenTheTableIsFree) {
  struct TCase {
    const char* What;
    bool bStarting, bBusy;
    int Selected;
    bool bTests;
  };
  const TCase cases[] = {
      {"a selected row", false, false, 1, true},
      {"empty space with no row selected", false, false, -1, false},
      {"during start-up", true, false, 1, false},
      {"during an analysis", false, true, 1, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    form.Tested.clear();
    window->UserSelect(TfmMain::lstDevices, c.Selected);
    Pump();
    bStarting = c.bStarting;
    bBusy = c.bBusy;
    window->UserDblClick(TfmMain::lstDevices);
    Pump();
    bStarting = bBusy = false;
    EXPECT_EQ(form.Tested, c.bTests ? std::vector<int>{c.Selected} : std::vector<int>{});
  }
}

TEST_F(ShellTest, TableClicksUpdateTheASIOButtonOnlyWithASelectionAndWhenFree) {
  window->UserClick(TfmMain::lstDevices);  // nothing selected
  Pump();
  EXPECT_EQ(form.ButtonUpdates, 0);
  bBusy = true;
  window->UserSelect(TfmMain::lstDevices, 0);
  Pump();
  EXPECT_EQ(form.ButtonUpdates, 0);
  bBusy = false;
  window->UserSelect(TfmMain::lstDevices, 1);
  Pump();
  EXPECT_GT(form.ButtonUpdates, 0);
}

TEST_F(ShellTest, PressesDuringARunningOperationAreIgnoredNotNested) {
  form.ToneMs = 1000;
  window->UserClick(TfmMain::btnGen);
  // These arrive while the tone plays and its wait pumps messages.
  window->UserClick(TfmMain::btnGen);
  window->UserClick(TfmMain::btnGetDevices);
  window->UserSelect(TfmMain::lstDevices, 0);
  window->UserDblClick(TfmMain::lstDevices);
  Pump();
  EXPECT_EQ(form.Tones, 1);
  EXPECT_EQ(form.Analyses, 0);
  EXPECT_TRUE(form.Tested.empty());
  EXPECT_FALSE(form.OperationRunning());
  // Once it has returned, the buttons work again.
  form.ToneMs = 0;
  window->UserClick(TfmMain::btnGen);
  window->UserClick(TfmMain::btnGetDevices);
  Pump();
  EXPECT_EQ(form.Tones, 2);
  EXPECT_EQ(form.Analyses, 1);
}

TEST_F(ShellTest, ADisabledButtonTakesNoClick) {
  window->UserClick(TfmMain::btnASIO);
  Pump();
  EXPECT_EQ(form.Panels, 0);
  window->SetEnabled(TfmMain::btnASIO, true);
  window->UserClick(TfmMain::btnASIO);
  Pump();
  EXPECT_EQ(form.Panels, 1);
}

// ---------------------------------------------------------------- Delay_ms

TEST(DelayTest, ZeroOrNegativeMakesExactlyOnePassOfMessageProcessing) {
  TSimPlatform sim;
  for (int ms : {0, -1, -100000}) {
    const auto before = sim.ProcessMessagesPasses();
    Delay_ms(ms, true);
    EXPECT_EQ(sim.ProcessMessagesPasses() - before, 1u) << ms;
  }
  const auto before = sim.ProcessMessagesPasses();
  Delay_ms(0, false);
  EXPECT_EQ(sim.ProcessMessagesPasses(), before);
}

TEST(DelayTest, WaitsTheFullTimeAcrossTheTickCounterWrap) {
  TSimPlatform sim;
  sim.SetVirtualTime(true);
  sim.SetTickStepPerRead(7);
  for (bool pump : {true, false}) {
    sim.SetTickCount(0xFFFFFFFFu - 300);
    const std::uint32_t start = sim.GetTickCount();
    Delay_ms(1000, pump);
    const std::uint32_t elapsed = sim.GetTickCount() - start;
    EXPECT_GE(elapsed, 1000u) << pump;
    EXPECT_LT(elapsed, 1100u) << pump;
  }
}

TEST(DelayTest, RealTimeWaitAcrossTheWrapEnds) {
  TSimPlatform sim;  // real time, starting just below the wrap
  sim.SetTickCount(0xFFFFFFF0u);
  const std::uint32_t start = sim.GetTickCount();
  Delay_ms(40, true);
  EXPECT_GE(sim.GetTickCount() - start, 40u);
}

TEST(DelayTest, MessagesPostedDuringTheWaitAreHandledInsideIt) {
  TSimPlatform sim;
  std::atomic<int> handled{0};
  const auto wnd = sim.CreateHiddenWindow([&](std::uint32_t msg, std::uintptr_t, std::intptr_t) {
    if (msg == platform::WM_APP_MSG) ++handled;
    return true;
  });
  std::thread poster([&] {
    sim.Sleep(20);
    sim.PostMessage(wnd, platform::WM_APP_MSG, 0, 0);
  });
  Delay_ms(200, true);
  poster.join();
  EXPECT_EQ(handled.load(), 1);
  sim.DestroyHiddenWindow(wnd);
}

// ---------------------------------------------------------------- log

TEST(LogTimeTest, FollowsTheLocaleLongTimeFormat) {
  struct TCase {
    platform::TTimeFormat Format;
    std::uint16_t Hour;
    const char* Expected;
  };
  const TCase cases[] = {
      {{true, true, false, "AM", "PM"}, 14, "14:03:27"},
      {{true, true, false, "AM", "PM"}, 9, "09:03:27"},
      {{true, false, false, "AM", "PM"}, 9, "9:03:27"},
      {{false, false, false, "AM", "PM"}, 14, "2:03:27 PM"},
      {{false, true, false, "AM", "PM"}, 9, "09:03:27 AM"},
      {{false, true, true, "AM", "PM"}, 14, "PM 02:03:27"},
      {{false, false, true, "\xe4\xb8\x8a\xe5\x8d\x88", "\xe4\xb8\x8b\xe5\x8d\x88"}, 9, "\xe4\xb8\x8a\xe5\x8d\x88 9:03:27"},
      {{false, false, false, "AM", "PM"}, 0, "12:03:27 AM"},
      {{false, false, false, "AM", "PM"}, 12, "12:03:27 PM"},
  };
  for (const TCase& c : cases) {
    platform::TLocalTime t;
    t.Year = 2026;
    t.Hour = c.Hour;
    t.Minute = 3;
    t.Second = 27;
    EXPECT_EQ(FormatLogTime(t, c.Format), c.Expected);
  }
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::TLocalTime t;
    t.Year = 2026;
    t.Hour = 14;
    t.Minute = 3;
    t.Second = 27;
    sim.SetLocalTime(t);
    form.Show();
    window = sim.MainWindow();
  }
  TSimPlatform sim;
  TfmMain form;
  TSimWindow* window = nullptr;
};

TEST_F(LogTest, FourRoutinesWriteFourColoursAndEarlierLinesKeepTheirs) {
  Log_Info("a");
  Log_Success("b");
  Log_Error("c");
  Log_Warning("d");
  const auto lines = window->Lines(TfmMain::reLog);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].Text, "14:03:27: a");
  EXPECT_EQ(lines[3].Text, "14:03:27: d");
  const platform::TColorRef expected[] = {0x000000, 0x008000, 0x0000FF, 0x0080FF};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(lines[static_cast<std::size_t>(i)].Color, expected[i]) << i;
  EXPECT_EQ(window->Focused(), TfmMain::reLog);
}

TEST_F(LogTest, EachLineProcessesPendingMessages) {
  bool handled = false;
  sim.PostInput([&] { handled = true; });
  Log_Info("x");
  EXPECT_TRUE(handled);
}

TEST_F(LogTest, WritingWhileMinimisedDoesNotFailAndTakesNoFocus) {
  window->SetMinimized(true);
  EXPECT_NO_THROW(Log_Warning("minimised"));
  EXPECT_EQ(window->Lines(TfmMain::reLog).size(), 1u);
  EXPECT_EQ(window->Focused(), "");
}

TEST_F(LogTest, AFailureEscapingACommandBecomesARedLine) {
  struct TFailingForm : TfmMain {
    void AnalyseDevices() override { throw std::runtime_error("boom"); }
  };
  // A second form replaces the first as the log's window for its lifetime.
  TFailingForm failing;
  failing.Show();
  failing.btnGetDevicesClick();
  const auto lines = sim.MainWindow()->Lines(TfmMain::reLog);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].Text, "14:03:27: boom");
  EXPECT_EQ(lines[0].Color, clLogError);
  EXPECT_FALSE(failing.OperationRunning());
}

// ---------------------------------------------------------------- start-up

TEST(StartUpTest, RunsTheFirstAnalysisWhileStartingWithTheWindowShownThenLoopsUntilClosed) {
  TSimPlatform sim;
  bool sawStarting = false, sawVisible = false;
  // Queued before start: it is handled by the start-up analysis' first message pass.
  sim.PostInput([&] {
    sawStarting = bStarting;
    sawVisible = sim.MainWindow() && sim.MainWindow()->Visible();
    sim.MainWindow()->UserClose();
  });
  EXPECT_EQ(RunApplication(), 0);
  EXPECT_TRUE(sawStarting);
  EXPECT_TRUE(sawVisible);
  EXPECT_FALSE(bStarting);
  EXPECT_EQ(fmMain, nullptr);
}

TEST(ResourceTest, StringsAreFoundByTheirIds) {
  EXPECT_EQ(LoadResString(65184), "OK");
  EXPECT_EQ(LoadResString(65213), "Test...");
  EXPECT_EQ(LoadResString(65215), "Err.");
  EXPECT_EQ(LoadResString(1), "");
}

}  // namespace
}  // namespace portwise::app

// The main window as the shell sees it: table cells, the coloured log, focus, enabling, and the
// user's actions reported as events.
#include <algorithm>
#include <string>
#include <vector>

#include "tests/win32/SeamWorld.h"

namespace portwise::test {
namespace {

using Rows = std::vector<std::vector<std::string>>;

class WindowContract : public TSeamTest {
 protected:
  void SetUp() override {
    TSeamTest::SetUp();
    Win = World().OpenWindow(SmallLayout(), Events);
  }
  void TearDown() override {
    Win.reset();
    TSeamTest::TearDown();
  }
  void AddThreeRows() {
    Win->ListAddItem("lstRows", {"PulseAudio", "MME", "-"});
    Win->ListAddItem("lstRows", {"Null Output", "MME", "-"});
    Win->ListAddItem("lstRows", {"Monitor of Null Output", "DS", "-"});
  }
  bool Saw(const std::string& e) const { return std::find(Events.Events.begin(), Events.Events.end(), e) != Events.Events.end(); }

  TEventLog Events;
  std::unique_ptr<platform::IWindow> Win;
};

TEST_P(WindowContract, RowsReadBackCellByCellAsTheUserSeesThem) {
  EXPECT_EQ(Win->ListAddItem("lstRows", {"Entrée ligne", "MME", "-"}), 0);
  EXPECT_EQ(Win->ListAddItem("lstRows", {"Null Output", "DS", "-"}), 1);
  EXPECT_EQ(Win->ListCount("lstRows"), 2);
  EXPECT_EQ(Win->ListGetCell("lstRows", 0, 0), "Entrée ligne");
  EXPECT_EQ(Win->ListGetCell("lstRows", 1, 1), "DS");
  Win->ListSetCell("lstRows", 1, 2, "Err.");
  EXPECT_EQ(Win->ListGetCell("lstRows", 1, 2), "Err.");
  EXPECT_EQ(World().Rows("lstRows"), (Rows{{"Entrée ligne", "MME", "-"}, {"Null Output", "DS", "Err."}}));
}

TEST_P(WindowContract, ALongCellReadsBackWhole) {
  std::string longText(700, 'x');
  longText += "é";
  Win->ListAddItem("lstRows", {longText, "", ""});
  EXPECT_EQ(Win->ListGetCell("lstRows", 0, 0), longText);
}

TEST_P(WindowContract, CellsOutsideTheTableReadEmptyAndIgnoreWrites) {
  Win->ListAddItem("lstRows", {"a", "b", "c"});
  for (auto [item, col] : {std::pair{-1, 0}, {1, 0}, {0, -1}}) {
    EXPECT_EQ(Win->ListGetCell("lstRows", item, col), "") << item << "," << col;
    Win->ListSetCell("lstRows", item, col, "z");
  }
  EXPECT_EQ(World().Rows("lstRows"), (Rows{{"a", "b", "c"}}));
}

TEST_P(WindowContract, ClearingTheTableLeavesNoRowAndNoCurrentItem) {
  Win->Show();
  AddThreeRows();
  World().UserClickRow("lstRows", 1);
  ASSERT_TRUE(PumpUntil([&] { return Win->ListItemIndex("lstRows") == 1; }));
  Win->ListClear("lstRows");
  EXPECT_EQ(Win->ListCount("lstRows"), 0);
  EXPECT_EQ(Win->ListItemIndex("lstRows"), -1);
  EXPECT_FALSE(Win->ListHasSelection("lstRows"));
  EXPECT_TRUE(World().Rows("lstRows").empty());
}

TEST_P(WindowContract, LogLinesKeepTheirOwnColoursAsLaterLinesArrive) {
  Win->RichAppendLine("reLog", "14:03:27: info", 0);
  Win->RichAppendLine("reLog", "14:03:28: succès", 0x8000);
  Win->RichAppendLine("reLog", "14:03:29: échec", 255);
  Win->RichAppendLine("reLog", "14:03:30: avertissement", 0x80FF);
  std::vector<TSeenLine> want{{"14:03:27: info", 0},
                              {"14:03:28: succès", 0x8000},
                              {"14:03:29: échec", 255},
                              {"14:03:30: avertissement", 0x80FF}};
  EXPECT_EQ(World().RichLines("reLog"), want);
}

TEST_P(WindowContract, AnEmptyFirstLineIsKeptAsALine) {
  Win->RichAppendLine("reLog", "", 255);
  Win->RichAppendLine("reLog", "second", 0x8000);
  std::vector<TSeenLine> lines = World().RichLines("reLog");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Text, "");
  EXPECT_EQ(lines[1], (TSeenLine{"second", 0x8000}));
}

TEST_P(WindowContract, TheLogKeepsGrowingPastSixtyFourThousandCharacters) {
  const std::string line(60, 'x');
  for (int i = 0; i < 1200; ++i) Win->RichAppendLine("reLog", line + std::to_string(i), i % 2 ? 255 : 0x8000);
  std::vector<TSeenLine> lines = World().RichLines("reLog");
  ASSERT_EQ(lines.size(), 1200u);
  EXPECT_EQ(lines.back(), (TSeenLine{line + "1199", 255}));
}

TEST_P(WindowContract, FocusIsRefusedWithoutFuzzWhileTheWindowCannotTakeIt) {
  EXPECT_FALSE(Win->TrySetFocus("reLog")) << "not shown yet";
  Win->Show();
  EXPECT_TRUE(Win->TrySetFocus("reLog"));
  EXPECT_FALSE(Win->TrySetFocus("btnOff")) << "a disabled control";
  Win->SetEnabled("btnOff", true);
  EXPECT_TRUE(Win->TrySetFocus("btnOff"));
  World().Minimize();
  Msgs().ProcessMessages();
  EXPECT_TRUE(Win->IsMinimized());
  EXPECT_FALSE(Win->TrySetFocus("reLog")) << "minimised";
  // Writing the log while minimised still works.
  Win->RichAppendLine("reLog", "minimised", 0);
  EXPECT_EQ(World().RichLines("reLog").size(), 1u);
}

TEST_P(WindowContract, EnablingFollowsTheLayoutAndLaterChanges) {
  EXPECT_TRUE(Win->GetEnabled("btnGo"));
  EXPECT_FALSE(Win->GetEnabled("btnOff"));
  Win->SetEnabled("btnOff", true);
  Win->SetEnabled("btnGo", false);
  EXPECT_TRUE(Win->GetEnabled("btnOff"));
  EXPECT_FALSE(Win->GetEnabled("btnGo"));
  EXPECT_THROW(Win->GetEnabled("nothing"), std::invalid_argument);
}

TEST_P(WindowContract, AClickOnAButtonIsReportedByNameAndADisabledButtonTakesNone) {
  Win->Show();
  World().UserClick("btnOff");
  World().UserClick("btnGo");
  ASSERT_TRUE(PumpUntil([&] { return Saw("click btnGo"); }));
  EXPECT_EQ(Events.Events, std::vector<std::string>{"click btnGo"});
}

TEST_P(WindowContract, ClickingRowsReportsTheSelectionChangesAndTheClick) {
  Win->Show();
  AddThreeRows();
  EXPECT_EQ(Win->ListItemIndex("lstRows"), -1);
  EXPECT_FALSE(Win->ListHasSelection("lstRows"));
  World().UserClickRow("lstRows", 2);
  ASSERT_TRUE(PumpUntil([&] { return Saw("click lstRows"); }));
  EXPECT_EQ(Events.Events, (std::vector<std::string>{"select lstRows 2 on", "click lstRows"}));
  EXPECT_EQ(Win->ListItemIndex("lstRows"), 2);
  EXPECT_TRUE(Win->ListHasSelection("lstRows"));
  Events.Events.clear();
  World().UserClickRow("lstRows", 0);
  ASSERT_TRUE(PumpUntil([&] { return Saw("click lstRows"); }));
  EXPECT_EQ(Events.Events, (std::vector<std::string>{"select lstRows 2 off", "select lstRows 0 on", "click lstRows"}));
  EXPECT_EQ(Win->ListItemIndex("lstRows"), 0);
}

TEST_P(WindowContract, ADoubleClickOnARowIsReportedWithThatRowCurrent) {
  Win->Show();
  AddThreeRows();
  World().UserDblClickRow("lstRows", 1);
  ASSERT_TRUE(PumpUntil([&] { return Saw("dblclick lstRows"); }));
  EXPECT_TRUE(Saw("select lstRows 1 on"));
  EXPECT_EQ(Win->ListItemIndex("lstRows"), 1);
}

TEST_P(WindowContract, ClosingByTheUserAsksTheShellAndLeavesTheWindowUntilItCloses) {
  Win->Show();
  World().UserClose();
  ASSERT_TRUE(PumpUntil([&] { return Saw("close"); }));
  EXPECT_TRUE(World().WindowOpen());
  Win->Close();
  EXPECT_FALSE(World().WindowOpen());
}

PORTWISE_BOTH_WORLDS(WindowContract);

}  // namespace
}  // namespace portwise::test

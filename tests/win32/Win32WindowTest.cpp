// What only the real window shows: its frame, where each control sits and how it looks, the
// splitter under the mouse, and the parts of the platform that read system settings.
#include "tests/win32/Win32World.h"  // <windows.h> first: the control headers need it

#include <commctrl.h>
#include <richedit.h>

#include <cstdio>
#include <tuple>

#include "platform/win32/Win32Platform.h"

namespace portwise::test {
namespace {

using platform::EControlKind;
using platform::TFormLayout;

class Win32Window : public ::testing::Test {
 protected:
  void SetUp() override {
    Layout = SmallLayout();
    Win = World.OpenWindow(Layout, Events);
    Dpi = static_cast<int>(GetDeviceCaps(ScreenDc(), LOGPIXELSY));
  }
  void TearDown() override { Win.reset(); }
  int Scale(int v) const { return MulDiv(v, Dpi, 96); }
  static HDC ScreenDc() {
    static HDC dc = GetDC(nullptr);
    return dc;
  }
  RECT Placed(const std::string& name) const {
    for (const platform::TPlacedControl& p : platform::PlaceControls(Layout))
      if (p.Name == name) {
        const platform::TRect& b = p.Bounds;
        return {Scale(b.Left), Scale(b.Top), Scale(b.Left + b.Width), Scale(b.Top + b.Height)};
      }
    ADD_FAILURE() << "no control " << name;
    return {};
  }
  void Pump() {
    for (int i = 0; i < 5; ++i) World.Platform().Messages().ProcessMessages();
  }

  TWin32World World;
  TFormLayout Layout;
  TEventLog Events;
  std::unique_ptr<platform::IWindow> Win;
  int Dpi = 96;
};

std::string Str(const RECT& r) {
  char buf[80];
  std::snprintf(buf, sizeof buf, "(%ld,%ld)-(%ld,%ld)", r.left, r.top, r.right, r.bottom);
  return buf;
}

TEST_F(Win32Window, TheClientAreaHasExactlyTheLayoutsSizeInAFixedFrameWithoutMaximise) {
  RECT client;
  GetClientRect(World.Main(), &client);
  EXPECT_EQ(client.right, Scale(Layout.ClientWidth));
  EXPECT_EQ(client.bottom, Scale(Layout.ClientHeight));
  LONG_PTR style = GetWindowLongPtrW(World.Main(), GWL_STYLE);
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  EXPECT_EQ(WindowText(World.Main()), "Portwise contract");
  EXPECT_EQ(GetClassLongPtrW(World.Main(), GCLP_HBRBACKGROUND), static_cast<LONG_PTR>(COLOR_BTNFACE + 1));
}

TEST_F(Win32Window, EveryControlSitsWherePlaceControlsPutsItUnderItsIdAndParent) {
  for (std::size_t i = 0; i < Layout.Controls.size(); ++i) {
    const platform::TControlLayout& c = Layout.Controls[i];
    SCOPED_TRACE(c.Name);
    HWND w = World.Control(c.Name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(GetDlgCtrlID(w), platform::win32::kControlIdBase + static_cast<int>(i));
    EXPECT_EQ(GetParent(w), c.Parent.empty() ? World.Main() : World.Control(c.Parent));
    RECT got = RectInParent(w), want = Placed(c.Name);
    if (c.Kind == EControlKind::Label) {
      // Sized to its caption.
      EXPECT_EQ(got.left, want.left);
      EXPECT_EQ(got.top, want.top);
      EXPECT_GT(got.right - got.left, 0);
      EXPECT_GT(got.bottom - got.top, 0);
    } else {
      EXPECT_EQ(Str(got), Str(want));
    }
  }
}

TEST_F(Win32Window, ControlsCarryTheirCaptionsOrNamesAsWindowText) {
  EXPECT_EQ(WindowText(World.Control("btnGo")), "Analyser");
  EXPECT_EQ(WindowText(World.Control("btnOff")), "Désactivé");
  EXPECT_EQ(WindowText(World.Control("lblLog")), "Dernières actions");
  EXPECT_EQ(WindowText(World.Control("lstRows")), "lstRows");
  EXPECT_EQ(WindowText(World.Control("pnlTop")), "pnlTop");
  EXPECT_EQ(WindowText(World.Control("splMid")), "splMid");
  EXPECT_FALSE(IsWindowEnabled(World.Control("btnOff")));
  EXPECT_TRUE(IsWindowEnabled(World.Control("btnGo")));
}

TEST_F(Win32Window, TheFormFontIsUsedEverywhereAndTheLabelIsBold) {
  for (const char* name : {"btnGo", "btnOff", "lstRows", "lblLog"}) {
    SCOPED_TRACE(name);
    auto font = reinterpret_cast<HFONT>(SendMessageW(World.Control(name), WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    LOGFONTW lf{};
    GetObjectW(font, sizeof lf, &lf);
    EXPECT_EQ(Narrow(lf.lfFaceName), "Tahoma");
    EXPECT_EQ(lf.lfHeight, Scale(-11));
    EXPECT_EQ(lf.lfWeight >= FW_BOLD, std::string(name) == "lblLog");
  }
}

TEST_F(Win32Window, TheListIsAReadOnlySingleSelectionReportWithGridLinesAndTheLayoutsColumns) {
  HWND lv = World.Control("lstRows");
  LONG_PTR style = GetWindowLongPtrW(lv, GWL_STYLE);
  EXPECT_EQ(style & LVS_TYPEMASK, LVS_REPORT);
  EXPECT_TRUE(style & LVS_SINGLESEL);
  EXPECT_TRUE(style & LVS_SHOWSELALWAYS);
  EXPECT_FALSE(style & LVS_EDITLABELS);
  LRESULT ex = SendMessageW(lv, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
  EXPECT_TRUE(ex & LVS_EX_GRIDLINES);
  EXPECT_TRUE(ex & LVS_EX_FULLROWSELECT);
  const auto& cols = Layout.Controls[3].Columns;
  HWND header = reinterpret_cast<HWND>(SendMessageW(lv, LVM_GETHEADER, 0, 0));
  ASSERT_EQ(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0), static_cast<LRESULT>(cols.size()));
  for (std::size_t i = 0; i < cols.size(); ++i) {
    wchar_t title[64] = {};
    LVCOLUMNW lc{};
    lc.mask = LVCF_TEXT | LVCF_WIDTH;
    lc.pszText = title;
    lc.cchTextMax = 64;
    ASSERT_TRUE(SendMessageW(lv, LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(&lc)));
    EXPECT_EQ(Narrow(title), cols[i].Title);
    EXPECT_EQ(lc.cx, Scale(cols[i].Width));
  }
}

TEST_F(Win32Window, TheLogIsAnEditableRichEditWithBothScrollBarsInTahomaAnsi) {
  HWND re = World.Control("reLog");
  wchar_t cls[64] = {};
  GetClassNameW(re, cls, 64);
  EXPECT_EQ(CompareStringOrdinal(cls, -1, L"RICHEDIT50W", -1, TRUE), CSTR_EQUAL) << Narrow(cls);
  LONG_PTR style = GetWindowLongPtrW(re, GWL_STYLE);
  EXPECT_TRUE(style & ES_MULTILINE);
  EXPECT_TRUE(style & WS_VSCROLL);
  EXPECT_TRUE(style & WS_HSCROLL);
  EXPECT_FALSE(style & ES_READONLY);
  Win->RichAppendLine("reLog", "ligne", 255);
  CHARRANGE all{0, -1};
  SendMessageW(re, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&all));
  CHARFORMAT2W cf{};
  cf.cbSize = sizeof cf;
  SendMessageW(re, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
  EXPECT_EQ(Narrow(cf.szFaceName), "Tahoma");
  EXPECT_EQ(cf.bCharSet, ANSI_CHARSET);
  EXPECT_EQ(cf.yHeight, 165) << "8.25 points, in twips";
}

TEST_F(Win32Window, ThePanelsShowALoweredOuterBevel) {
  Win->Show();
  HWND panel = World.Control("pnlMid");
  RedrawWindow(panel, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE);
  RECT r;
  GetClientRect(panel, &r);
  HDC dc = GetDC(panel);
  int midY = r.bottom / 2, midX = r.right / 2;
  COLORREF left = GetPixel(dc, 0, midY), top = GetPixel(dc, midX, 0);
  COLORREF right = GetPixel(dc, r.right - 1, midY), bottom = GetPixel(dc, midX, r.bottom - 1);
  COLORREF inside = GetPixel(dc, r.right - 4, midY);
  ReleaseDC(panel, dc);
  EXPECT_EQ(left, GetSysColor(COLOR_BTNSHADOW));
  EXPECT_EQ(top, GetSysColor(COLOR_BTNSHADOW));
  EXPECT_EQ(right, GetSysColor(COLOR_BTNHIGHLIGHT));
  EXPECT_EQ(bottom, GetSysColor(COLOR_BTNHIGHLIGHT));
  EXPECT_EQ(inside, GetSysColor(COLOR_BTNFACE));
}

TEST_F(Win32Window, TheSplitterShowsTheVerticalResizeCursor) {
  EXPECT_EQ(reinterpret_cast<HCURSOR>(GetClassLongPtrW(World.Control("splMid"), GCLP_HCURSOR)),
            LoadCursorW(nullptr, IDC_SIZENS));
}

TEST_F(Win32Window, DraggingTheSplitterMovesTheBoundaryBetweenTheListAndTheLog) {
  Win->Show();
  Pump();
  HWND lv = World.Control("lstRows"), panel = World.Control("pnlMid"), re = World.Control("reLog");
  RECT lv0 = RectInParent(lv), panel0 = RectInParent(panel), re0 = RectInParent(re);
  const int dy = Scale(40);
  World.DragBy(World.Control("splMid"), dy);
  Pump();
  RECT lv1 = RectInParent(lv), panel1 = RectInParent(panel), re1 = RectInParent(re);
  EXPECT_EQ(lv1.top, lv0.top);
  EXPECT_EQ(lv1.bottom, lv0.bottom + dy);
  EXPECT_EQ(panel1.top, panel0.top + dy);
  EXPECT_EQ(panel1.bottom - panel1.top, panel0.bottom - panel0.top);
  EXPECT_EQ(re1.top, re0.top + dy);
  EXPECT_EQ(re1.bottom, re0.bottom) << "the log keeps its bottom edge";

  World.DragBy(World.Control("splMid"), -dy);
  Pump();
  EXPECT_EQ(Str(RectInParent(lv)), Str(lv0));
  EXPECT_EQ(Str(RectInParent(re)), Str(re0));
}

TEST_F(Win32Window, TheSplitterLeavesBothSidesAMinimumHowFarEverItIsDragged) {
  Win->Show();
  Pump();
  HWND lv = World.Control("lstRows"), re = World.Control("reLog");
  World.DragBy(World.Control("splMid"), Scale(600));
  Pump();
  RECT r = RectInParent(re);
  EXPECT_EQ(r.bottom - r.top, Scale(30));
  World.DragBy(World.Control("splMid"), -Scale(600));
  Pump();
  r = RectInParent(lv);
  EXPECT_EQ(r.bottom - r.top, Scale(30));
}

TEST_F(Win32Window, ALineIsAppendedWhereverTheUserLeftTheCaret) {
  HWND re = World.Control("reLog");
  Win->RichAppendLine("reLog", "première", 0);
  Win->RichAppendLine("reLog", "deuxième", 0x8000);
  CHARRANGE start{0, 3};  // the user selected the start of the first line
  SendMessageW(re, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&start));
  Win->RichAppendLine("reLog", "troisième", 255);
  std::vector<TSeenLine> want{{"première", 0}, {"deuxième", 0x8000}, {"troisième", 255}};
  EXPECT_EQ(World.RichLines("reLog"), want);
}

TEST(Win32Messages, WaitMessageReturnsForAMessageThatWasSeenButNotYetRemoved) {
  TWin32World world;
  auto& msgs = world.Platform().Messages();
  int got = 0;
  auto w = msgs.CreateHiddenWindow([&](std::uint32_t, std::uintptr_t, std::intptr_t) { return ++got, true; });
  msgs.PostMessage(w, platform::WM_APP_MSG, 0, 0);
  MSG m;
  ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));
  msgs.WaitMessage(0xFFFFFFFF);  // would wait for ever on "new input" only
  msgs.ProcessMessages();
  EXPECT_EQ(got, 1);
  msgs.DestroyHiddenWindow(w);
}

// The time format read from the locale, applied by the log's rules, must give what the system's
// own formatting gives for the user's long time format.
std::string ByLogRules(const platform::TTimeFormat& f, int h, int m, int s) {
  int shown = h;
  if (!f.b24Hour) shown = h % 12 == 0 ? 12 : h % 12;
  char hour[8], rest[16];
  std::snprintf(hour, sizeof hour, f.bLeadingZero ? "%02d" : "%d", shown);
  std::snprintf(rest, sizeof rest, ":%02d:%02d", m, s);
  std::string t = std::string(hour) + rest;
  if (f.b24Hour) return t;
  const std::string& mark = h < 12 ? f.AMDesignator : f.PMDesignator;
  return f.bDesignatorFirst ? mark + " " + t : t + " " + mark;
}

TEST(Win32Time, TheLocalesTimeFormatAgreesWithTheSystemsOwnFormatting) {
  TWin32World world;
  platform::TTimeFormat f = world.Platform().Time().GetTimeFormat();
  if (!f.b24Hour) {
    EXPECT_FALSE(f.AMDesignator.empty());
    EXPECT_FALSE(f.PMDesignator.empty());
  }
  for (auto [h, m, s] : {std::tuple{14, 3, 27}, {9, 5, 7}, {0, 0, 0}, {12, 59, 59}}) {
    SYSTEMTIME st{};
    st.wYear = 2024, st.wMonth = 3, st.wDay = 1;
    st.wHour = static_cast<WORD>(h), st.wMinute = static_cast<WORD>(m), st.wSecond = static_cast<WORD>(s);
    wchar_t buf[64];
    ASSERT_GT(GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &st, nullptr, buf, 64), 0);
    EXPECT_EQ(ByLogRules(f, h, m, s), Narrow(buf));
  }
}

}  // namespace
}  // namespace portwise::test

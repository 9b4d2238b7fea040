// The main window: a top-level window whose controls are built from the shell's TFormLayout and
// placed with PlaceControls, scaled from 96 DPI to the window's DPI.
#include "platform/win32/Win32Internal.h"  // <windows.h> first: the control headers need it

#include <commctrl.h>
#include <richedit.h>

#include <map>
#include <stdexcept>
#include <vector>

#include "platform/win32/Win32Platform.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace portwise::platform::win32 {
namespace {

constexpr wchar_t kPanelClass[] = L"PortwisePanel";
constexpr wchar_t kSplitterClass[] = L"PortwiseSplitter";
// Neither side of a splitter can be dragged smaller than this (96-DPI pixels).
constexpr int kMinPane = 30;

LRESULT CALLBACK MainWndProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK PanelWndProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK SplitterWndProc(HWND, UINT, WPARAM, LPARAM);

// The rich edit's window class: Msftedit's where it exists, the older Riched20 otherwise.
const wchar_t* RichEditClass() {
  static const wchar_t* cls = []() -> const wchar_t* {
    if (LoadLibraryW(L"Msftedit.dll")) return L"RICHEDIT50W";
    if (LoadLibraryW(L"Riched20.dll")) return L"RichEdit20W";
    return nullptr;
  }();
  if (!cls) throw std::runtime_error("no rich edit control on this system");
  return cls;
}

void RegisterClasses() {
  static const bool registered = [] {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    HINSTANCE inst = GetModuleHandleW(nullptr);
    std::wstring mainClass = ToWide(kMainWindowClass);
    struct TClass { const wchar_t* Name; WNDPROC Proc; LPCWSTR Cursor; };
    const TClass classes[] = {{mainClass.c_str(), MainWndProc, IDC_ARROW},
                              {kPanelClass, PanelWndProc, IDC_ARROW},
                              {kSplitterClass, SplitterWndProc, IDC_SIZENS}};
    for (const TClass& c : classes) {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof(wc);
      wc.lpfnWndProc = c.Proc;
      wc.hInstance = inst;
      wc.hCursor = LoadCursorW(nullptr, c.Cursor);
      wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
      wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
      wc.lpszClassName = c.Name;
      if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    }
    return true;
  }();
  if (!registered) throw std::runtime_error("cannot register the window classes");
}

class TWin32Window final : public IWindow {
 public:
  TWin32Window(const TFormLayout& layout, IWindowEvents& events);
  ~TWin32Window() override;

  // --- IWindow ---
  void Show() override;
  bool IsMinimized() override { return FWnd && IsIconic(FWnd); }
  void Close() override;
  void SetEnabled(const std::string& control, bool bEnabled) override;
  bool GetEnabled(const std::string& control) override;
  void ListClear(const std::string& list) override;
  int ListAddItem(const std::string& list, const std::vector<std::string>& cells) override;
  int ListCount(const std::string& list) override;
  std::string ListGetCell(const std::string& list, int item, int column) override;
  void ListSetCell(const std::string& list, int item, int column, const std::string& text) override;
  int ListItemIndex(const std::string& list) override;
  bool ListHasSelection(const std::string& list) override;
  void RichAppendLine(const std::string& edit, const std::string& text, TColorRef color) override;
  bool TrySetFocus(const std::string& control) override;

  // --- from the window procedures ---
  LRESULT MainProc(UINT msg, WPARAM wParam, LPARAM lParam);
  void AttachMain(HWND wnd) { FWnd = wnd; }
  void DetachMain() { FWnd = nullptr; }
  const TControlLayout* ControlOf(HWND wnd) const;
  void BeginSplitterDrag(HWND splitter, int screenY);
  void SplitterDrag(int screenY);
  void EndSplitterDrag() { FDrag = {}; }

 private:
  struct TDrag {
    int Above = -1;         // index of the control the splitter resizes
    int StartY = 0;         // screen y where the drag began
    int StartHeight = 0;    // its height then, 96-DPI
    int MaxHeight = 0;      // the most it may take, leaving kMinPane below
  };

  int Scale(int v) const { return MulDiv(v, static_cast<int>(FDpi), 96); }
  int IndexOf(const std::string& name) const;
  HWND Wnd(const std::string& name, EControlKind kind) const;
  void CreateControls();
  void CreateFonts();
  void ApplyFonts();
  void ApplyLayout();
  void SizeToClient(const RECT* suggested);
  void DpiChanged(UINT dpi, const RECT* suggested);
  void Notify(int index, const NMHDR* hdr);

  TFormLayout FLayout;  // the splitter changes the heights in here
  IWindowEvents& FEvents;
  HWND FWnd = nullptr;
  std::vector<HWND> FWnds;  // per layout index
  std::map<std::string, int> FIndex;
  std::map<int, int> FRichLines;  // lines appended so far, per rich edit
  UINT FDpi = 96;
  HFONT FFont = nullptr, FBoldFont = nullptr;
  HWND FLastFocus = nullptr;
  TDrag FDrag;
  DWORD FStyle = 0, FExStyle = 0;
};

TWin32Window* OwnerOf(HWND wnd) { return reinterpret_cast<TWin32Window*>(GetWindowLongPtrW(wnd, GWLP_USERDATA)); }

// Panels and splitters find their window object through the create parameter.
void AttachChild(HWND wnd, LPARAM lParam) {
  auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
  SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
}

LRESULT CALLBACK MainWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    AttachChild(wnd, lParam);
    if (TWin32Window* self = OwnerOf(wnd)) self->AttachMain(wnd);
  }
  TWin32Window* self = OwnerOf(wnd);
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
    if (self) self->DetachMain();
    return DefWindowProcW(wnd, msg, wParam, lParam);
  }
  return self ? self->MainProc(msg, wParam, lParam) : DefWindowProcW(wnd, msg, wParam, lParam);
}

LRESULT CALLBACK PanelWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) AttachChild(wnd, lParam);
  TWin32Window* owner = OwnerOf(wnd);
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      // Controls inside a panel report to the main window, as if they were its own.
      if (owner) return owner->MainProc(msg, wParam, lParam);
      break;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(wnd, &ps);
      RECT rc;
      GetClientRect(wnd, &rc);
      const TControlLayout* c = owner ? owner->ControlOf(wnd) : nullptr;
      if (c && c->bLoweredBevel) DrawEdge(dc, &rc, BDR_SUNKENOUTER, BF_RECT);
      if (c && !c->Caption.empty()) {
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(wnd, WM_GETFONT, 0, 0)));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        std::wstring text = ToWide(c->Caption);
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        SelectObject(dc, old);
      }
      EndPaint(wnd, &ps);
      return 0;
    }
    case WM_SIZE:
      InvalidateRect(wnd, nullptr, TRUE);  // the bevel follows the border
      break;
  }
  return DefWindowProcW(wnd, msg, wParam, lParam);
}

LRESULT CALLBACK SplitterWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) AttachChild(wnd, lParam);
  TWin32Window* owner = OwnerOf(wnd);
  if (!owner) return DefWindowProcW(wnd, msg, wParam, lParam);
  auto screenY = [&] {
    POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    ClientToScreen(wnd, &p);
    return static_cast<int>(p.y);
  };
  switch (msg) {
    case WM_LBUTTONDOWN:
      SetCapture(wnd);
      owner->BeginSplitterDrag(wnd, screenY());
      return 0;
    case WM_MOUSEMOVE:
      if (GetCapture() == wnd) owner->SplitterDrag(screenY());
      return 0;
    case WM_LBUTTONUP:
      if (GetCapture() == wnd) {
        owner->SplitterDrag(screenY());
        ReleaseCapture();  // WM_CAPTURECHANGED ends the drag
      }
      return 0;
    case WM_CAPTURECHANGED:
      owner->EndSplitterDrag();
      return 0;
  }
  return DefWindowProcW(wnd, msg, wParam, lParam);
}

// ---------------------------------------------------------------- construction

TWin32Window::TWin32Window(const TFormLayout& layout, IWindowEvents& events) : FLayout(layout), FEvents(events) {
  RegisterClasses();
  for (std::size_t i = 0; i < FLayout.Controls.size(); ++i) {
    const TControlLayout& c = FLayout.Controls[i];
    if (!FIndex.emplace(c.Name, static_cast<int>(i)).second)
      throw std::invalid_argument("duplicate control " + c.Name);
    if (!c.Parent.empty() && !FIndex.count(c.Parent))
      throw std::invalid_argument("control " + c.Name + " comes before its parent " + c.Parent);
  }
  FStyle = WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN;  // fixed border: no WS_THICKFRAME
  if (FLayout.bSystemMenu) FStyle |= WS_SYSMENU;
  if (FLayout.bMinimizeBox) FStyle |= WS_MINIMIZEBOX;
  if (FLayout.bMaximizeBox) FStyle |= WS_MAXIMIZEBOX;
  FExStyle = WS_EX_CONTROLPARENT;
  std::wstring caption = ToWide(FLayout.Caption);
  std::wstring cls = ToWide(kMainWindowClass);
  CreateWindowExW(FExStyle, cls.c_str(), caption.c_str(), FStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                  FLayout.ClientWidth, FLayout.ClientHeight, nullptr, nullptr, GetModuleHandleW(nullptr), this);
  if (!FWnd) throw std::runtime_error("cannot create the main window");
  FDpi = DpiForWindow(FWnd);
  CreateFonts();
  CreateControls();
  ApplyFonts();
  SizeToClient(nullptr);
  ApplyLayout();
}

TWin32Window::~TWin32Window() {
  if (FWnd) DestroyWindow(FWnd);
  if (FFont) DeleteObject(FFont);
  if (FBoldFont) DeleteObject(FBoldFont);
}

void TWin32Window::CreateFonts() {
  std::wstring face = ToWide(FLayout.FontName);
  auto make = [&](int weight) {
    return CreateFontW(Scale(FLayout.FontHeight), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                       face.c_str());
  };
  HFONT font = make(FW_NORMAL), bold = make(FW_BOLD);
  std::swap(font, FFont);
  std::swap(bold, FBoldFont);
  // The old ones go once the controls have the new ones.
  ApplyFonts();
  if (font) DeleteObject(font);
  if (bold) DeleteObject(bold);
}

void TWin32Window::ApplyFonts() {
  SendMessageW(FWnd, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
  for (std::size_t i = 0; i < FWnds.size(); ++i) {
    const TControlLayout& c = FLayout.Controls[i];
    if (c.Kind == EControlKind::RichEdit) continue;  // its font is set in points, see CreateControls
    HFONT f = c.bBold ? FBoldFont : FFont;
    SendMessageW(FWnds[i], WM_SETFONT, reinterpret_cast<WPARAM>(f), TRUE);
  }
}

void TWin32Window::CreateControls() {
  HINSTANCE inst = GetModuleHandleW(nullptr);
  FWnds.assign(FLayout.Controls.size(), nullptr);
  for (std::size_t i = 0; i < FLayout.Controls.size(); ++i) {
    const TControlLayout& c = FLayout.Controls[i];
    HWND parent = c.Parent.empty() ? FWnd : FWnds[static_cast<std::size_t>(FIndex.at(c.Parent))];
    HMENU id = reinterpret_cast<HMENU>(static_cast<INT_PTR>(kControlIdBase + static_cast<int>(i)));
    DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    if (!c.bEnabled) style |= WS_DISABLED;
    DWORD ex = 0;
    const wchar_t* cls = nullptr;
    std::wstring text = ToWide(c.Caption.empty() ? c.Name : c.Caption);
    switch (c.Kind) {
      case EControlKind::Panel:
        cls = kPanelClass;
        style |= WS_CLIPCHILDREN;
        ex |= WS_EX_CONTROLPARENT;
        break;
      case EControlKind::Splitter:
        cls = kSplitterClass;
        break;
      case EControlKind::Button:
        cls = L"BUTTON";
        style |= WS_TABSTOP | BS_PUSHBUTTON;
        text = ToWide(c.Caption);
        break;
      case EControlKind::Label:
        cls = L"STATIC";
        style |= SS_LEFT | SS_NOPREFIX;
        text = ToWide(c.Caption);
        break;
      case EControlKind::ListView:
        cls = WC_LISTVIEWW;
        style |= WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_SINGLESEL;
        if (!c.bReadOnly) style |= LVS_EDITLABELS;
        ex |= WS_EX_CLIENTEDGE;
        break;
      case EControlKind::RichEdit:
        cls = RichEditClass();
        style |= WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL;
        // Both bars always shown, greyed while there is nothing to scroll.
        if (c.bScrollBars) style |= WS_VSCROLL | WS_HSCROLL | ES_DISABLENOSCROLL;
        ex |= WS_EX_CLIENTEDGE;
        text.clear();
        break;
    }
    HWND w = CreateWindowExW(ex, cls, text.c_str(), style, 0, 0, 0, 0, parent, id, inst, this);
    if (!w) throw std::runtime_error("cannot create control " + c.Name);
    FWnds[i] = w;
    if (c.Kind == EControlKind::ListView) {
      DWORD lvEx = LVS_EX_FULLROWSELECT | (c.bGridLines ? LVS_EX_GRIDLINES : 0);
      SendMessageW(w, LVM_SETEXTENDEDLISTVIEWSTYLE, lvEx, lvEx);
      for (std::size_t col = 0; col < c.Columns.size(); ++col) {
        std::wstring title = ToWide(c.Columns[col].Title);
        LVCOLUMNW lc{};
        lc.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        lc.fmt = LVCFMT_LEFT;
        lc.cx = Scale(c.Columns[col].Width);
        lc.pszText = title.data();
        SendMessageW(w, LVM_INSERTCOLUMNW, col, reinterpret_cast<LPARAM>(&lc));
      }
    }
    if (c.Kind == EControlKind::RichEdit) {
      // A log that only grows: lift the default limit of 32K characters.
      SendMessageW(w, EM_EXLIMITTEXT, 0, 0x7FFFFFFE);
      // The form's face and size with the ANSI character set; the size in twips scales by itself.
      CHARFORMAT2W cf{};
      cf.cbSize = sizeof(cf);
      cf.dwMask = CFM_FACE | CFM_SIZE | CFM_CHARSET | CFM_BOLD | CFM_ITALIC | CFM_UNDERLINE | CFM_COLOR;
      cf.dwEffects = 0;
      cf.yHeight = (FLayout.FontHeight < 0 ? -FLayout.FontHeight : FLayout.FontHeight) * 1440 / 96;
      cf.bCharSet = ANSI_CHARSET;
      cf.crTextColor = 0;
      std::wstring face = ToWide(FLayout.FontName);
      lstrcpynW(cf.szFaceName, face.c_str(), LF_FACESIZE);
      SendMessageW(w, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&cf));
      SendMessageW(w, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&cf));
    }
  }
}

void TWin32Window::SizeToClient(const RECT* suggested) {
  RECT want{0, 0, Scale(FLayout.ClientWidth), Scale(FLayout.ClientHeight)};
  RECT r = want;
  using TAdjust = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const TAdjust adjustForDpi = reinterpret_cast<TAdjust>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
  if (!adjustForDpi || !adjustForDpi(&r, FStyle, FALSE, FExStyle, FDpi)) AdjustWindowRectEx(&r, FStyle, FALSE, FExStyle);
  UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | (suggested ? 0 : SWP_NOMOVE);
  int x = suggested ? suggested->left : 0, y = suggested ? suggested->top : 0;
  SetWindowPos(FWnd, nullptr, x, y, r.right - r.left, r.bottom - r.top, flags);
  // The frame may differ from what the system computed (themes, a wrapped caption): correct once.
  RECT got;
  GetClientRect(FWnd, &got);
  int dw = want.right - got.right, dh = want.bottom - got.bottom;
  if (dw || dh)
    SetWindowPos(FWnd, nullptr, 0, 0, r.right - r.left + dw, r.bottom - r.top + dh,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
}

void TWin32Window::ApplyLayout() {
  std::vector<TPlacedControl> placed = PlaceControls(FLayout);
  for (std::size_t i = 0; i < placed.size(); ++i) {
    const TRect& b = placed[i].Bounds;
    const TControlLayout& c = FLayout.Controls[i];
    int x = Scale(b.Left), y = Scale(b.Top);
    int w = Scale(b.Left + b.Width) - x, h = Scale(b.Top + b.Height) - y;
    if (c.Kind == EControlKind::Label && b.Width == 0 && b.Height == 0) {
      // A label without a size takes the size of its caption.
      std::wstring text = ToWide(c.Caption);
      HDC dc = GetDC(FWnds[i]);
      HGDIOBJ old = SelectObject(dc, c.bBold ? FBoldFont : FFont);
      SIZE sz{};
      GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &sz);
      TEXTMETRICW tm{};
      GetTextMetricsW(dc, &tm);
      SelectObject(dc, old);
      ReleaseDC(FWnds[i], dc);
      w = sz.cx;
      h = tm.tmHeight;
    }
    SetWindowPos(FWnds[i], nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void TWin32Window::DpiChanged(UINT dpi, const RECT* suggested) {
  FDpi = dpi;
  CreateFonts();
  for (std::size_t i = 0; i < FWnds.size(); ++i) {
    const TControlLayout& c = FLayout.Controls[i];
    if (c.Kind != EControlKind::ListView) continue;
    for (std::size_t col = 0; col < c.Columns.size(); ++col)
      SendMessageW(FWnds[i], LVM_SETCOLUMNWIDTH, col, Scale(c.Columns[col].Width));
  }
  SizeToClient(suggested);
  ApplyLayout();
}

// ---------------------------------------------------------------- lookup

int TWin32Window::IndexOf(const std::string& name) const {
  auto it = FIndex.find(name);
  if (it == FIndex.end()) throw std::invalid_argument("no control " + name);
  return it->second;
}

HWND TWin32Window::Wnd(const std::string& name, EControlKind kind) const {
  int i = IndexOf(name);
  if (FLayout.Controls[static_cast<std::size_t>(i)].Kind != kind)
    throw std::invalid_argument("control " + name + " is not of the kind asked for");
  return FWnds[static_cast<std::size_t>(i)];
}

const TControlLayout* TWin32Window::ControlOf(HWND wnd) const {
  int i = GetDlgCtrlID(wnd) - kControlIdBase;
  if (i < 0 || i >= static_cast<int>(FWnds.size()) || FWnds[static_cast<std::size_t>(i)] != wnd) return nullptr;
  return &FLayout.Controls[static_cast<std::size_t>(i)];
}

// ---------------------------------------------------------------- messages and events

LRESULT TWin32Window::MainProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND: {
      int i = LOWORD(wParam) - kControlIdBase;
      if (lParam && HIWORD(wParam) == BN_CLICKED && i >= 0 && i < static_cast<int>(FWnds.size()) &&
          FLayout.Controls[static_cast<std::size_t>(i)].Kind == EControlKind::Button) {
        std::string name = FLayout.Controls[static_cast<std::size_t>(i)].Name;  // the handler may close us
        FEvents.OnClick(name);
        return 0;
      }
      break;
    }
    case WM_NOTIFY: {
      const auto* hdr = reinterpret_cast<const NMHDR*>(lParam);
      int i = static_cast<int>(hdr->idFrom) - kControlIdBase;
      if (i >= 0 && i < static_cast<int>(FWnds.size()) && FWnds[static_cast<std::size_t>(i)] == hdr->hwndFrom) {
        Notify(i, hdr);
        return 0;
      }
      break;
    }
    case WM_CTLCOLORSTATIC:
      SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_BTNFACE));
      SetTextColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_BTNTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    case WM_CLOSE:
      FEvents.OnClose();  // the shell decides whether and how the program ends
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND f = GetFocus();
        if (f && IsChild(FWnd, f)) FLastFocus = f;
      }
      break;
    case WM_SETFOCUS:
      // Keyboard focus goes back to the control that had it, or to the first that takes it.
      if (FLastFocus && IsWindow(FLastFocus) && IsChild(FWnd, FLastFocus)) SetFocus(FLastFocus);
      else if (HWND first = GetNextDlgTabItem(FWnd, nullptr, FALSE)) SetFocus(first);
      return 0;
    case WM_DPICHANGED:
      DpiChanged(LOWORD(wParam), reinterpret_cast<const RECT*>(lParam));
      return 0;
  }
  return DefWindowProcW(FWnd, msg, wParam, lParam);
}

void TWin32Window::Notify(int index, const NMHDR* hdr) {
  const TControlLayout& c = FLayout.Controls[static_cast<std::size_t>(index)];
  if (c.Kind != EControlKind::ListView) return;
  std::string name = c.Name;
  switch (hdr->code) {
    case NM_CLICK:
      FEvents.OnClick(name);
      break;
    case NM_DBLCLK:
      FEvents.OnDblClick(name);
      break;
    case LVN_ITEMCHANGED: {
      const auto* nm = reinterpret_cast<const NMLISTVIEW*>(hdr);
      if ((nm->uChanged & LVIF_STATE) && ((nm->uNewState ^ nm->uOldState) & LVIS_SELECTED))
        FEvents.OnSelectItem(name, nm->iItem, (nm->uNewState & LVIS_SELECTED) != 0);
      break;
    }
    default:
      break;
  }
}

void TWin32Window::BeginSplitterDrag(HWND splitter, int screenY) {
  FDrag = {};
  const TControlLayout* s = ControlOf(splitter);
  if (!s) return;
  int si = IndexOf(s->Name);
  // The splitter resizes the nearest top-aligned sibling before it.
  int above = -1;
  for (int i = si - 1; i >= 0; --i) {
    const TControlLayout& c = FLayout.Controls[static_cast<std::size_t>(i)];
    if (c.Parent == s->Parent && c.Align == EAlign::Top) {
      above = i;
      break;
    }
  }
  if (above < 0) return;
  int parentHeight = FLayout.ClientHeight;
  if (!s->Parent.empty()) {
    std::vector<TPlacedControl> placed = PlaceControls(FLayout);
    parentHeight = placed[static_cast<std::size_t>(IndexOf(s->Parent))].Bounds.Height;
  }
  int taken = 0;
  for (const TControlLayout& c : FLayout.Controls)
    if (c.Parent == s->Parent && c.Align == EAlign::Top) taken += c.Height;
  const int height = FLayout.Controls[static_cast<std::size_t>(above)].Height;
  FDrag = {above, screenY, height, height + (parentHeight - taken) - kMinPane};
}

void TWin32Window::SplitterDrag(int screenY) {
  if (FDrag.Above < 0) return;
  int h = FDrag.StartHeight + MulDiv(screenY - FDrag.StartY, 96, static_cast<int>(FDpi));
  if (h > FDrag.MaxHeight) h = FDrag.MaxHeight;
  if (h < kMinPane) h = kMinPane;
  int& current = FLayout.Controls[static_cast<std::size_t>(FDrag.Above)].Height;
  if (h == current) return;
  current = h;
  ApplyLayout();
  UpdateWindow(FWnd);
}

// ---------------------------------------------------------------- IWindow

void TWin32Window::Show() {
  if (!FWnd) return;
  ShowWindow(FWnd, SW_SHOW);
  UpdateWindow(FWnd);
}

void TWin32Window::Close() {
  if (FWnd) DestroyWindow(FWnd);
}

void TWin32Window::SetEnabled(const std::string& control, bool bEnabled) {
  EnableWindow(FWnds[static_cast<std::size_t>(IndexOf(control))], bEnabled ? TRUE : FALSE);
}

bool TWin32Window::GetEnabled(const std::string& control) {
  return IsWindowEnabled(FWnds[static_cast<std::size_t>(IndexOf(control))]) != 0;
}

void TWin32Window::ListClear(const std::string& list) {
  SendMessageW(Wnd(list, EControlKind::ListView), LVM_DELETEALLITEMS, 0, 0);
}

int TWin32Window::ListAddItem(const std::string& list, const std::vector<std::string>& cells) {
  HWND w = Wnd(list, EControlKind::ListView);
  std::wstring caption = cells.empty() ? std::wstring() : ToWide(cells[0]);
  LVITEMW it{};
  it.mask = LVIF_TEXT;
  it.iItem = static_cast<int>(SendMessageW(w, LVM_GETITEMCOUNT, 0, 0));
  it.pszText = caption.data();
  int index = static_cast<int>(SendMessageW(w, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&it)));
  if (index < 0) return -1;
  for (std::size_t col = 1; col < cells.size(); ++col) {
    std::wstring text = ToWide(cells[col]);
    LVITEMW sub{};
    sub.iSubItem = static_cast<int>(col);
    sub.pszText = text.data();
    SendMessageW(w, LVM_SETITEMTEXTW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&sub));
  }
  return index;
}

int TWin32Window::ListCount(const std::string& list) {
  return static_cast<int>(SendMessageW(Wnd(list, EControlKind::ListView), LVM_GETITEMCOUNT, 0, 0));
}

std::string TWin32Window::ListGetCell(const std::string& list, int item, int column) {
  HWND w = Wnd(list, EControlKind::ListView);
  int count = static_cast<int>(SendMessageW(w, LVM_GETITEMCOUNT, 0, 0));
  if (item < 0 || item >= count || column < 0) return {};
  std::vector<wchar_t> buf(64);
  for (;;) {
    LVITEMW it{};
    it.iSubItem = column;
    it.pszText = buf.data();
    it.cchTextMax = static_cast<int>(buf.size());
    int n = static_cast<int>(SendMessageW(w, LVM_GETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&it)));
    if (n < static_cast<int>(buf.size()) - 1) return ToUtf8(buf.data(), n);
    buf.resize(buf.size() * 2);  // it may have been cut: ask again with more room
  }
}

void TWin32Window::ListSetCell(const std::string& list, int item, int column, const std::string& text) {
  HWND w = Wnd(list, EControlKind::ListView);
  int count = static_cast<int>(SendMessageW(w, LVM_GETITEMCOUNT, 0, 0));
  if (item < 0 || item >= count || column < 0) return;
  std::wstring wide = ToWide(text);
  LVITEMW it{};
  it.iSubItem = column;
  it.pszText = wide.data();
  SendMessageW(w, LVM_SETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&it));
}

int TWin32Window::ListItemIndex(const std::string& list) {
  return static_cast<int>(
      SendMessageW(Wnd(list, EControlKind::ListView), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

bool TWin32Window::ListHasSelection(const std::string& list) {
  return SendMessageW(Wnd(list, EControlKind::ListView), LVM_GETSELECTEDCOUNT, 0, 0) > 0;
}

void TWin32Window::RichAppendLine(const std::string& edit, const std::string& text, TColorRef color) {
  int index = IndexOf(edit);
  HWND w = Wnd(edit, EControlKind::RichEdit);
  GETTEXTLENGTHEX gtl{GTL_NUMCHARS | GTL_PRECISE, 1200};
  LONG length = static_cast<LONG>(SendMessageW(w, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&gtl), 0));
  CHARRANGE end{length, length};
  SendMessageW(w, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&end));
  CHARFORMAT2W cf{};
  cf.cbSize = sizeof(cf);
  cf.dwMask = CFM_COLOR;
  cf.dwEffects = 0;  // no CFE_AUTOCOLOR: the colour given is the colour shown
  cf.crTextColor = color;
  SendMessageW(w, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
  int& lines = FRichLines[index];
  std::wstring line = (length > 0 || lines > 0) ? L"\r\n" + ToWide(text) : ToWide(text);
  SendMessageW(w, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
  ++lines;
  SendMessageW(w, EM_SCROLLCARET, 0, 0);
}

bool TWin32Window::TrySetFocus(const std::string& control) {
  HWND c = FWnds[static_cast<std::size_t>(IndexOf(control))];
  if (!FWnd || !IsWindowVisible(FWnd) || IsIconic(FWnd) || !IsWindowVisible(c)) return false;
  for (HWND w = c; w; w = (w == FWnd) ? nullptr : GetParent(w))
    if (!IsWindowEnabled(w)) return false;
  SetFocus(c);
  return GetFocus() == c;
}

}  // namespace

std::unique_ptr<IWindow> CreateMainWindow(const TFormLayout& layout, IWindowEvents& events) {
  return std::make_unique<TWin32Window>(layout, events);
}

}  // namespace portwise::platform::win32

// Reads another process's window from outside, for the Wine end-to-end harness: the controls of a
// top-level window, a list view's columns, cells and item rectangles, a rich edit's lines with the
// colour of each, and the user's time format. Prints JSON (ASCII, non-ASCII as \u escapes) on
// stdout. The program under test needs no hook: structures that a message fills in are placed in
// the target's memory (VirtualAllocEx) and read back (ReadProcessMemory).
//
//   portwise_probe find TITLE [TIMEOUT_MS]   wait for a visible top-level window titled TITLE
//   portwise_probe dump TITLE                everything below, as one JSON object
//   portwise_probe locale                    the user's time format settings
//   portwise_probe close TITLE               what the close box does (WM_SYSCOMMAND SC_CLOSE)
//   portwise_probe fixture TITLE             a small window of known content, to test the probe
//   portwise_probe tone                      1 s of 1000 Hz at amplitude 16383 on the default
//                                            waveOut device: a reference for the recording chain
//   portwise_probe devices                   what the system offers a program of this width: the
//                                            waveOut / waveIn names, DirectShow renderers and
//                                            capture devices, and every key under Software\ASIO
//                                            with what its driver says when asked directly
//
// Exit codes: 0 done, 2 no such window, 3 the window could not be read (reason in "error").
#include <windows.h>
#include <commctrl.h>
#include <dshow.h>
#include <mmsystem.h>
#include <richedit.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/AsioDriver.h"
#include "platform/RefPtr.h"

namespace {

constexpr UINT kAnswerTimeoutMs = 5000;

// ---- JSON -----------------------------------------------------------------------------------

std::string JsonString(const std::wstring& s) {
  std::string out = "\"";
  for (wchar_t c : s) {
    if (c == L'"') {
      out += "\\\"";
    } else if (c == L'\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c) & 0xffffu);
      out += buf;
    }
  }
  return out + "\"";
}

std::string JsonString(const std::string& ascii) {
  return JsonString(std::wstring(ascii.begin(), ascii.end()));
}

class TObject {
 public:
  TObject& Raw(const char* key, const std::string& json) {
    if (!FBody.empty()) FBody += ",";
    FBody += "\"";
    FBody += key;
    FBody += "\":";
    FBody += json;
    return *this;
  }
  TObject& Str(const char* key, const std::wstring& v) { return Raw(key, JsonString(v)); }
  TObject& Str(const char* key, const std::string& v) { return Raw(key, JsonString(v)); }
  TObject& Int(const char* key, long long v) { return Raw(key, std::to_string(v)); }
  TObject& Bool(const char* key, bool v) { return Raw(key, v ? "true" : "false"); }
  std::string Text() const { return "{" + FBody + "}"; }

 private:
  std::string FBody;
};

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ",";
    out += items[i];
  }
  return out + "]";
}

std::string Hex(std::uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string JsonRect(const RECT& r) {
  return TObject()
      .Int("left", r.left)
      .Int("top", r.top)
      .Int("width", r.right - r.left)
      .Int("height", r.bottom - r.top)
      .Text();
}

// ---- talking to the other process -----------------------------------------------------------

[[noreturn]] void Fail(const std::string& why) { throw std::runtime_error(why); }

std::string LastError() { return std::to_string(static_cast<unsigned long>(GetLastError())); }

// A message the target must answer in time: a hung target is a failure, not a wait forever.
LRESULT Ask(HWND h, UINT msg, WPARAM w, LPARAM l) {
  DWORD_PTR result = 0;
  // Wine answers 0 also for a message whose own result is 0: only an error code means no answer.
  SetLastError(ERROR_SUCCESS);
  if (!SendMessageTimeoutW(h, msg, w, l, SMTO_ABORTIFHUNG | SMTO_BLOCK, kAnswerTimeoutMs, &result) &&
      GetLastError() != ERROR_SUCCESS)
    Fail("window " + Hex(reinterpret_cast<std::uintptr_t>(h)) + " did not answer message " +
         Hex(msg) + " (error " + LastError() + ")");
  return static_cast<LRESULT>(result);
}

// A block of memory inside the target process.
class TRemote {
 public:
  TRemote(HANDLE proc, size_t size) : FProc(proc), FSize(size) {
    FBase = VirtualAllocEx(proc, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!FBase) Fail("VirtualAllocEx failed (error " + LastError() + ")");
  }
  ~TRemote() { VirtualFreeEx(FProc, FBase, 0, MEM_RELEASE); }
  TRemote(const TRemote&) = delete;
  TRemote& operator=(const TRemote&) = delete;

  std::uintptr_t At(size_t offset) const {
    return reinterpret_cast<std::uintptr_t>(FBase) + offset;
  }
  void Write(size_t offset, const void* src, size_t n) {
    SIZE_T done = 0;
    if (offset + n > FSize || !WriteProcessMemory(FProc, reinterpret_cast<void*>(At(offset)), src, n, &done) ||
        done != n)
      Fail("WriteProcessMemory failed (error " + LastError() + ")");
  }
  void Read(size_t offset, void* dst, size_t n) const {
    SIZE_T done = 0;
    if (offset + n > FSize || !ReadProcessMemory(FProc, reinterpret_cast<void*>(At(offset)), dst, n, &done) ||
        done != n)
      Fail("ReadProcessMemory failed (error " + LastError() + ")");
  }
  template <class T> void Put(size_t offset, const T& v) { Write(offset, &v, sizeof v); }
  template <class T> T Get(size_t offset) const {
    T v{};
    Read(offset, &v, sizeof v);
    return v;
  }
  std::wstring GetText(size_t offset, size_t maxChars) const {
    std::vector<wchar_t> buf(maxChars + 1, 0);
    Read(offset, buf.data(), maxChars * sizeof(wchar_t));
    buf[maxChars] = 0;
    return std::wstring(buf.data());
  }

 private:
  HANDLE FProc;
  size_t FSize;
  void* FBase = nullptr;
};

class TProcess {
 public:
  explicit TProcess(HWND w) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    FHandle = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION,
                          FALSE, pid);
    if (!FHandle) Fail("OpenProcess(" + std::to_string(pid) + ") failed (error " + LastError() + ")");
  }
  ~TProcess() { CloseHandle(FHandle); }
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;
  HANDLE Handle() const { return FHandle; }

 private:
  HANDLE FHandle = nullptr;
};

// ---- windows --------------------------------------------------------------------------------

std::wstring ClassOf(HWND h) {
  wchar_t buf[256] = {};
  GetClassNameW(h, buf, 255);
  return buf;
}

std::wstring CaptionOf(HWND h) {
  wchar_t buf[1024] = {};
  GetWindowTextW(h, buf, 1023);
  return buf;
}

bool SameClass(const std::wstring& cls, const wchar_t* name) { return _wcsicmp(cls.c_str(), name) == 0; }

bool IsRichEdit(const std::wstring& cls) {
  std::wstring upper = cls;
  for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
  return upper.find(L"RICHEDIT") != std::wstring::npos;
}

// The control's own text through WM_GETTEXT (the system copies it across processes).
std::wstring TextOf(HWND h) {
  const LRESULT n = Ask(h, WM_GETTEXTLENGTH, 0, 0);
  if (n <= 0) return L"";
  const size_t len = static_cast<size_t>(n) > 65536 ? 65536 : static_cast<size_t>(n);
  std::vector<wchar_t> buf(len + 1, 0);
  Ask(h, WM_GETTEXT, len + 1, reinterpret_cast<LPARAM>(buf.data()));
  return std::wstring(buf.data());
}

// Rectangle of `h` in the coordinates of `origin`'s client area (HWND_DESKTOP: the screen).
RECT RectIn(HWND h, HWND origin) {
  RECT r{};
  GetWindowRect(h, &r);
  MapWindowPoints(HWND_DESKTOP, origin, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

struct TFindState {
  std::wstring Title;
  std::vector<HWND> Found;
};

BOOL CALLBACK CollectTitled(HWND h, LPARAM lp) {
  auto* st = reinterpret_cast<TFindState*>(lp);
  if (IsWindowVisible(h) && CaptionOf(h) == st->Title) st->Found.push_back(h);
  return TRUE;
}

// A message box may carry the program's title too: the window itself is the one that is no dialog.
HWND FindTopLevel(const std::wstring& title, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    TFindState st{title, {}};
    EnumWindows(CollectTitled, reinterpret_cast<LPARAM>(&st));
    for (HWND h : st.Found)
      if (ClassOf(h) != L"#32770") return h;
    if (!st.Found.empty()) return st.Found.front();
    if (GetTickCount() - start >= timeoutMs) return nullptr;
    Sleep(100);
  }
}

BOOL CALLBACK CollectChild(HWND h, LPARAM lp) {
  reinterpret_cast<std::vector<HWND>*>(lp)->push_back(h);
  return TRUE;
}

struct TSameProcess {
  DWORD Pid;
  HWND Except;
  std::vector<HWND> Found;
};

BOOL CALLBACK CollectOfProcess(HWND h, LPARAM lp) {
  auto* st = reinterpret_cast<TSameProcess*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == st->Pid && h != st->Except && IsWindowVisible(h)) st->Found.push_back(h);
  return TRUE;
}

// The other visible top-level windows of the program (message boxes, error reports) with the
// texts of their controls.
std::string OtherWindows(HWND top, DWORD pid) {
  TSameProcess st{pid, top, {}};
  EnumWindows(CollectOfProcess, reinterpret_cast<LPARAM>(&st));
  std::vector<std::string> out;
  for (HWND w : st.Found) {
    std::vector<HWND> children;
    EnumChildWindows(w, CollectChild, reinterpret_cast<LPARAM>(&children));
    std::vector<std::string> texts;
    for (HWND c : children) {
      const std::wstring cls = ClassOf(c);
      if (SameClass(cls, L"Static") || SameClass(cls, L"Button") || SameClass(cls, L"Edit")) {
        const std::wstring t = TextOf(c);
        if (!t.empty()) texts.push_back(JsonString(t));
      }
    }
    out.push_back(TObject()
                      .Str("hwnd", Hex(reinterpret_cast<std::uintptr_t>(w)))
                      .Str("class", ClassOf(w))
                      .Str("title", CaptionOf(w))
                      .Raw("texts", JsonArray(texts))
                      .Text());
  }
  return JsonArray(out);
}

// ---- text rendering (bold or not, seen on the screen) ---------------------------------------

int Luminance(std::uint32_t p) {
  return static_cast<int>(((p >> 16) & 0xff) * 299 + ((p >> 8) & 0xff) * 587 + (p & 0xff) * 114) / 1000;
}

struct TDib {
  HDC Dc = nullptr;
  HBITMAP Bmp = nullptr;
  HGDIOBJ Old = nullptr;
  std::uint32_t* Bits = nullptr;
  int Width, Height;
  TDib(int w, int h) : Width(w), Height(h) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    Dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    void* bits = nullptr;
    Bmp = CreateDIBSection(Dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!Bmp) Fail("CreateDIBSection failed");
    Bits = static_cast<std::uint32_t*>(bits);
    Old = SelectObject(Dc, Bmp);
  }
  ~TDib() {
    SelectObject(Dc, Old);
    DeleteObject(Bmp);
    DeleteDC(Dc);
  }
  TDib(const TDib&) = delete;
  TDib& operator=(const TDib&) = delete;
  int Lum(int x, int y) const { return Luminance(Bits[y * Width + x]); }
};

void RenderText(TDib& dib, const std::wstring& text, int weight, COLORREF bg) {
  HBRUSH brush = CreateSolidBrush(bg);
  RECT r{0, 0, dib.Width, dib.Height};
  FillRect(dib.Dc, &r, brush);
  DeleteObject(brush);
  HFONT font = CreateFontW(-11, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Tahoma");
  HGDIOBJ old = SelectObject(dib.Dc, font);
  SetBkMode(dib.Dc, TRANSPARENT);
  SetTextColor(dib.Dc, RGB(0, 0, 0));
  DrawTextW(dib.Dc, text.c_str(), -1, &r, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
  GdiFlush();
  SelectObject(dib.Dc, old);
  DeleteObject(font);
}

// Smallest mean luminance difference between two pictures over small shifts of one against the
// other (the control may draw its text a few pixels in).
double Distance(const TDib& a, const TDib& b) {
  constexpr int kShift = 4;
  double best = 1e30;
  for (int dy = -kShift; dy <= kShift; ++dy)
    for (int dx = -kShift; dx <= kShift; ++dx) {
      long long sum = 0, n = 0;
      for (int y = 0; y < a.Height; ++y) {
        const int by = y + dy;
        if (by < 0 || by >= b.Height) continue;
        for (int x = 0; x < a.Width; ++x) {
          const int bx = x + dx;
          if (bx < 0 || bx >= b.Width) continue;
          const int d = a.Lum(x, y) - b.Lum(bx, by);
          sum += d < 0 ? -d : d;
          ++n;
        }
      }
      if (n && static_cast<double>(sum) / static_cast<double>(n) < best) best = static_cast<double>(sum) / static_cast<double>(n);
    }
  return best;
}

// A label's pixels as they are on the screen, beside the same text rendered here in Tahoma 8 pt
// regular and bold on the same background: which of the two the label shows, without its font
// handle (GDI handles mean nothing in another process).
std::string InkReport(HWND h, const std::wstring& text) {
  RECT r = RectIn(h, HWND_DESKTOP);
  const int w = r.right - r.left, hh = r.bottom - r.top;
  if (w <= 0 || hh <= 0 || text.empty()) return "null";
  TDib shown(w, hh);
  HDC screen = GetDC(nullptr);
  BitBlt(shown.Dc, 0, 0, w, hh, screen, r.left, r.top, SRCCOPY);
  ReleaseDC(nullptr, screen);
  GdiFlush();
  const std::uint32_t p = shown.Bits[0];
  const COLORREF bg = RGB((p >> 16) & 0xff, (p >> 8) & 0xff, p & 0xff);
  TDib regular(w, hh), bold(w, hh);
  RenderText(regular, text, FW_NORMAL, bg);
  RenderText(bold, text, FW_BOLD, bg);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", Distance(shown, regular));
  const std::string dRegular = buf;
  std::snprintf(buf, sizeof buf, "%.3f", Distance(shown, bold));
  return TObject()
      .Raw("distance_regular", dRegular)
      .Raw("distance_bold", buf)
      .Str("background", Hex(bg))
      .Text();
}

// ---- list view ------------------------------------------------------------------------------

std::string ReadListView(HWND lv, const TProcess& proc) {
  constexpr size_t kTextChars = 1024;
  constexpr size_t kStructAt = 0, kTextAt = 4096;
  TRemote mem(proc.Handle(), kTextAt + (kTextChars + 1) * sizeof(wchar_t));

  const HWND header = reinterpret_cast<HWND>(Ask(lv, LVM_GETHEADER, 0, 0));
  const int nCols = header ? static_cast<int>(Ask(header, HDM_GETITEMCOUNT, 0, 0)) : 0;

  std::vector<std::string> cols;
  for (int c = 0; c < nCols; ++c) {
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    col.pszText = reinterpret_cast<wchar_t*>(mem.At(kTextAt));
    col.cchTextMax = static_cast<int>(kTextChars);
    mem.Put(kStructAt, col);
    const wchar_t zero = 0;
    mem.Put(kTextAt, zero);
    if (!Ask(lv, LVM_GETCOLUMNW, static_cast<WPARAM>(c), static_cast<LPARAM>(mem.At(kStructAt))))
      Fail("LVM_GETCOLUMNW " + std::to_string(c) + " failed");
    col = mem.Get<LVCOLUMNW>(kStructAt);
    cols.push_back(TObject()
                       .Str("title", mem.GetText(kTextAt, kTextChars))
                       .Int("width", col.cx)
                       .Int("width_msg", Ask(lv, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(c), 0))
                       .Int("format", col.fmt)
                       .Text());
  }

  const int nItems = static_cast<int>(Ask(lv, LVM_GETITEMCOUNT, 0, 0));
  std::vector<std::string> items;
  for (int i = 0; i < nItems; ++i) {
    std::vector<std::string> cells, cellRects;
    for (int c = 0; c < (nCols ? nCols : 1); ++c) {
      LVITEMW it{};
      it.mask = LVIF_TEXT;
      it.iItem = i;
      it.iSubItem = c;
      it.pszText = reinterpret_cast<wchar_t*>(mem.At(kTextAt));
      it.cchTextMax = static_cast<int>(kTextChars);
      mem.Put(kStructAt, it);
      const wchar_t zero = 0;
      mem.Put(kTextAt, zero);
      const LRESULT n = Ask(lv, LVM_GETITEMTEXTW, static_cast<WPARAM>(i), static_cast<LPARAM>(mem.At(kStructAt)));
      cells.push_back(JsonString(n > 0 ? mem.GetText(kTextAt, kTextChars) : std::wstring()));

      RECT rc{};
      rc.top = c;
      rc.left = c == 0 ? LVIR_LABEL : LVIR_BOUNDS;
      mem.Put(kStructAt, rc);
      RECT screen{};
      if (Ask(lv, LVM_GETSUBITEMRECT, static_cast<WPARAM>(i), static_cast<LPARAM>(mem.At(kStructAt)))) {
        rc = mem.Get<RECT>(kStructAt);
        screen = rc;
        MapWindowPoints(lv, HWND_DESKTOP, reinterpret_cast<POINT*>(&screen), 2);
        cellRects.push_back(TObject().Raw("client", JsonRect(rc)).Raw("screen", JsonRect(screen)).Text());
      } else {
        cellRects.push_back("null");
      }
    }
    RECT rc{};
    rc.left = LVIR_BOUNDS;
    mem.Put(kStructAt, rc);
    std::string bounds = "null", screenBounds = "null";
    if (Ask(lv, LVM_GETITEMRECT, static_cast<WPARAM>(i), static_cast<LPARAM>(mem.At(kStructAt)))) {
      rc = mem.Get<RECT>(kStructAt);
      bounds = JsonRect(rc);
      MapWindowPoints(lv, HWND_DESKTOP, reinterpret_cast<POINT*>(&rc), 2);
      screenBounds = JsonRect(rc);
    }
    const LRESULT state = Ask(lv, LVM_GETITEMSTATE, static_cast<WPARAM>(i), LVIS_SELECTED | LVIS_FOCUSED);
    items.push_back(TObject()
                        .Raw("cells", JsonArray(cells))
                        .Raw("cell_rects", JsonArray(cellRects))
                        .Raw("rect", bounds)
                        .Raw("screen_rect", screenBounds)
                        .Bool("selected", (state & LVIS_SELECTED) != 0)
                        .Bool("focused", (state & LVIS_FOCUSED) != 0)
                        .Text());
  }

  const LONG_PTR style = GetWindowLongPtrW(lv, GWL_STYLE);
  const LRESULT exStyle = Ask(lv, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
  std::string headerRect = "null";
  if (header) headerRect = JsonRect(RectIn(header, HWND_DESKTOP));
  return TObject()
      .Bool("report_view", (style & LVS_TYPEMASK) == LVS_REPORT)
      .Bool("edit_labels", (style & LVS_EDITLABELS) != 0)
      .Bool("grid_lines", (exStyle & LVS_EX_GRIDLINES) != 0)
      .Str("ex_style", Hex(static_cast<std::uint64_t>(exStyle)))
      .Raw("header_screen_rect", headerRect)
      .Raw("columns", JsonArray(cols))
      .Int("item_count", nItems)
      .Int("selected_count", Ask(lv, LVM_GETSELECTEDCOUNT, 0, 0))
      .Int("selection_mark", Ask(lv, LVM_GETSELECTIONMARK, 0, 0))
      .Int("next_selected", Ask(lv, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED))
      .Int("focused_item", Ask(lv, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED))
      .Raw("items", JsonArray(items))
      .Text();
}

// ---- rich edit ------------------------------------------------------------------------------

std::string CharFormatJson(const CHARFORMAT2W& cf, bool withColorMask) {
  TObject o;
  o.Str("color", Hex(cf.crTextColor))
      .Bool("auto_color", (cf.dwEffects & CFE_AUTOCOLOR) != 0)
      .Bool("bold", (cf.dwEffects & CFE_BOLD) != 0)
      .Int("height_twips", cf.yHeight)
      .Str("face", std::wstring(cf.szFaceName))
      .Int("charset", cf.bCharSet);
  if (withColorMask) o.Bool("uniform_color", (cf.dwMask & CFM_COLOR) != 0);
  return o.Text();
}

std::string ReadRichEdit(HWND re, const TProcess& proc) {
  constexpr size_t kStructAt = 0, kTextAt = 4096;

  GETTEXTLENGTHEX lenReq{GTL_NUMCHARS | GTL_PRECISE, 1200};
  TRemote lenMem(proc.Handle(), sizeof lenReq);
  lenMem.Put(0, lenReq);
  const LRESULT len = Ask(re, EM_GETTEXTLENGTHEX, static_cast<WPARAM>(lenMem.At(0)), 0);
  if (len < 0) Fail("EM_GETTEXTLENGTHEX failed");
  const size_t chars = static_cast<size_t>(len);

  TRemote mem(proc.Handle(), kTextAt + (chars + 2) * sizeof(wchar_t));
  GETTEXTEX get{};
  get.cb = static_cast<DWORD>((chars + 2) * sizeof(wchar_t));
  get.flags = GT_DEFAULT;  // paragraph ends as CR, so that offsets are character positions
  get.codepage = 1200;
  mem.Put(kStructAt, get);
  const wchar_t zero = 0;
  mem.Put(kTextAt, zero);
  const LRESULT got = Ask(re, EM_GETTEXTEX, static_cast<WPARAM>(mem.At(kStructAt)), static_cast<LPARAM>(mem.At(kTextAt)));
  const std::wstring text = got > 0 ? mem.GetText(kTextAt, chars + 1) : std::wstring();

  // The user's selection, put back when we are done with it.
  mem.Put(kStructAt, CHARRANGE{0, 0});
  Ask(re, EM_EXGETSEL, 0, static_cast<LPARAM>(mem.At(kStructAt)));
  const CHARRANGE saved = mem.Get<CHARRANGE>(kStructAt);

  auto formatOf = [&](LONG from, LONG to) {
    mem.Put(kStructAt, CHARRANGE{from, to});
    Ask(re, EM_EXSETSEL, 0, static_cast<LPARAM>(mem.At(kStructAt)));
    CHARFORMAT2W cf{};
    cf.cbSize = sizeof cf;
    mem.Put(kStructAt, cf);
    Ask(re, EM_GETCHARFORMAT, SCF_SELECTION, static_cast<LPARAM>(mem.At(kStructAt)));
    return mem.Get<CHARFORMAT2W>(kStructAt);
  };

  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(L"\r\n", start);
    const bool last = end == std::wstring::npos;
    if (last) end = text.size();
    const std::wstring line = text.substr(start, end - start);
    if (!(last && line.empty())) {
      TObject o;
      o.Int("start", static_cast<long long>(start)).Str("text", line);
      if (!line.empty())
        o.Raw("format", CharFormatJson(formatOf(static_cast<LONG>(start), static_cast<LONG>(end)), true));
      else
        o.Raw("format", "null");
      lines.push_back(o.Text());
    }
    if (last) break;
    start = end + 1;
    if (text[end] == L'\r' && start < text.size() && text[start] == L'\n') ++start;
  }

  mem.Put(kStructAt, saved);
  Ask(re, EM_EXSETSEL, 0, static_cast<LPARAM>(mem.At(kStructAt)));

  CHARFORMAT2W def{};
  def.cbSize = sizeof def;
  mem.Put(kStructAt, def);
  Ask(re, EM_GETCHARFORMAT, SCF_DEFAULT, static_cast<LPARAM>(mem.At(kStructAt)));
  def = mem.Get<CHARFORMAT2W>(kStructAt);

  const LONG_PTR style = GetWindowLongPtrW(re, GWL_STYLE);
  return TObject()
      .Int("length", static_cast<long long>(chars))
      .Int("line_count", Ask(re, EM_GETLINECOUNT, 0, 0))
      .Bool("h_scroll", (style & WS_HSCROLL) != 0)
      .Bool("v_scroll", (style & WS_VSCROLL) != 0)
      .Bool("read_only", (style & ES_READONLY) != 0)
      .Raw("default_format", CharFormatJson(def, false))
      .Raw("selection", TObject().Int("min", saved.cpMin).Int("max", saved.cpMax).Text())
      .Raw("lines", JsonArray(lines))
      .Text();
}

// ---- locale ---------------------------------------------------------------------------------

std::wstring LocaleValue(LCTYPE what) {
  wchar_t buf[128] = {};
  GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, what, buf, 127);
  return buf;
}

std::string LocaleReport() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH);
  SYSTEMTIME st{};
  st.wYear = 2001;
  st.wMonth = 2;
  st.wDay = 3;
  st.wHour = 14;
  st.wMinute = 3;
  st.wSecond = 7;
  wchar_t sample[128] = {};
  GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &st, nullptr, sample, 127);
  return TObject()
      .Str("name", std::wstring(name))
      .Str("time_format", LocaleValue(LOCALE_STIMEFORMAT))
      .Str("leading_zero", LocaleValue(LOCALE_ITLZERO))
      .Str("time_24h", LocaleValue(LOCALE_ITIME))
      .Str("marker_position", LocaleValue(LOCALE_ITIMEMARKPOSN))
      .Str("am", LocaleValue(LOCALE_S1159))
      .Str("pm", LocaleValue(LOCALE_S2359))
      .Str("sample_14_03_07", std::wstring(sample))
      .Text();
}

// ---- dump -----------------------------------------------------------------------------------

std::string DumpWindow(HWND top) {
  TProcess proc(top);
  DWORD pid = 0;
  GetWindowThreadProcessId(top, &pid);

  RECT client{};
  GetClientRect(top, &client);
  POINT origin{0, 0};
  ClientToScreen(top, &origin);
  const LONG_PTR style = GetWindowLongPtrW(top, GWL_STYLE);

  std::vector<HWND> children;
  EnumChildWindows(top, CollectChild, reinterpret_cast<LPARAM>(&children));

  std::vector<std::string> controls;
  for (HWND h : children) {
    const std::wstring cls = ClassOf(h);
    const bool rich = IsRichEdit(cls), list = SameClass(cls, WC_LISTVIEWW);
    const HWND parent = GetAncestor(h, GA_PARENT);
    const std::wstring text = rich || list ? std::wstring() : TextOf(h);
    TObject o;
    o.Str("hwnd", Hex(reinterpret_cast<std::uintptr_t>(h)))
        .Str("parent", Hex(reinterpret_cast<std::uintptr_t>(parent)))
        .Str("class", cls)
        .Str("text", text)
        .Int("id", GetDlgCtrlID(h))
        .Raw("rect", JsonRect(RectIn(h, top)))
        .Raw("parent_rect", JsonRect(RectIn(h, parent)))
        .Raw("screen_rect", JsonRect(RectIn(h, HWND_DESKTOP)))
        .Bool("enabled", IsWindowEnabled(h) != FALSE)
        .Bool("visible", IsWindowVisible(h) != FALSE)
        .Str("style", Hex(static_cast<std::uint64_t>(GetWindowLongPtrW(h, GWL_STYLE))));
    if (SameClass(cls, L"Static")) o.Raw("ink", InkReport(h, text));
    if (list) o.Raw("list", ReadListView(h, proc));
    if (rich) o.Raw("rich", ReadRichEdit(h, proc));
    controls.push_back(o.Text());
  }

  return TObject()
      .Str("hwnd", Hex(reinterpret_cast<std::uintptr_t>(top)))
      .Int("pid", pid)
      .Str("class", ClassOf(top))
      .Str("title", CaptionOf(top))
      .Bool("visible", IsWindowVisible(top) != FALSE)
      .Bool("enabled", IsWindowEnabled(top) != FALSE)
      .Bool("iconic", IsIconic(top) != FALSE)
      .Bool("system_menu", (style & WS_SYSMENU) != 0)
      .Bool("minimize_box", (style & WS_MINIMIZEBOX) != 0)
      .Bool("maximize_box", (style & WS_MAXIMIZEBOX) != 0)
      .Bool("sizing_border", (style & WS_THICKFRAME) != 0)
      .Raw("window_rect", JsonRect(RectIn(top, HWND_DESKTOP)))
      .Raw("client_size", TObject().Int("width", client.right).Int("height", client.bottom).Text())
      .Raw("client_origin", TObject().Int("x", origin.x).Int("y", origin.y).Text())
      .Raw("controls", JsonArray(controls))
      .Raw("other_windows", OtherWindows(top, pid))
      .Raw("locale", LocaleReport())
      .Text();
}

// ---- fixture --------------------------------------------------------------------------------

// A window whose content the probe's own test knows: two labels (one bold), a disabled button,
// a button that appends a line, a list view and a rich edit with one line of each log colour.
constexpr int kIdAdd = 101, kIdOff = 102, kIdList = 103, kIdLog = 104, kIdBold = 105, kIdPlain = 106;
HWND GFixtureLog = nullptr;
int GFixtureDblClicks = 0;

void AppendLine(HWND re, const std::wstring& text, COLORREF color) {
  const LRESULT len = SendMessageW(re, WM_GETTEXTLENGTH, 0, 0);
  CHARRANGE cr{static_cast<LONG>(len), static_cast<LONG>(len)};
  SendMessageW(re, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&cr));
  CHARFORMAT2W cf{};
  cf.cbSize = sizeof cf;
  cf.dwMask = CFM_COLOR;
  cf.crTextColor = color;
  SendMessageW(re, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
  const std::wstring line = len > 0 ? L"\r\n" + text : text;
  SendMessageW(re, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
}

LRESULT CALLBACK FixtureProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  switch (msg) {
    case WM_COMMAND:
      if (LOWORD(w) == kIdAdd && HIWORD(w) == BN_CLICKED) AppendLine(GFixtureLog, L"clic", RGB(0, 128, 0));
      return 0;
    case WM_NOTIFY: {
      const auto* nm = reinterpret_cast<const NMHDR*>(l);
      if (nm->idFrom == kIdList && nm->code == NM_DBLCLK) {
        const auto* ia = reinterpret_cast<const NMITEMACTIVATE*>(l);
        AppendLine(GFixtureLog, L"double " + std::to_wstring(ia->iItem) + L" " + std::to_wstring(++GFixtureDblClicks),
                   RGB(255, 0, 0));
      }
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(h, msg, w, l);
  }
}

int RunFixture(const std::wstring& title) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&icc);
  LoadLibraryW(L"riched20.dll");
  HINSTANCE inst = GetModuleHandleW(nullptr);
  WNDCLASSW wc{};
  wc.lpfnWndProc = FixtureProc;
  wc.hInstance = inst;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = L"PortwiseProbeFixture";
  RegisterClassW(&wc);

  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT r{0, 0, 400, 300};
  AdjustWindowRect(&r, style, FALSE);
  HWND top = CreateWindowExW(0, wc.lpszClassName, title.c_str(), style, 0, 0, r.right - r.left, r.bottom - r.top,
                             nullptr, nullptr, inst, nullptr);
  HFONT regular = CreateFontW(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, 0, 0, 0, 0, L"Tahoma");
  HFONT bold = CreateFontW(-11, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, ANSI_CHARSET, 0, 0, 0, 0, L"Tahoma");
  auto make = [&](const wchar_t* cls, const wchar_t* text, DWORD st, int x, int y, int cw, int ch, int id, HFONT f) {
    HWND c = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | st, x, y, cw, ch, top,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), inst, nullptr);
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(f), FALSE);
    return c;
  };
  make(L"BUTTON", L"Ajouter", BS_PUSHBUTTON, 10, 8, 70, 25, kIdAdd, regular);
  HWND off = make(L"BUTTON", L"Inactif", BS_PUSHBUTTON, 90, 8, 70, 25, kIdOff, regular);
  EnableWindow(off, FALSE);
  make(L"STATIC", L"Dernières actions", SS_LEFT, 8, 40, 120, 14, kIdBold, bold);
  make(L"STATIC", L"Dernières actions", SS_LEFT, 200, 40, 120, 14, kIdPlain, regular);
  HWND list = make(WC_LISTVIEWW, L"", LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_BORDER, 0, 60, 400, 120,
                   kIdList, regular);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT,
               LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  const wchar_t* titles[] = {L"Interface", L"Réglage"};
  const int widths[] = {150, 60};
  for (int c = 0; c < 2; ++c) {
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH;
    col.pszText = const_cast<wchar_t*>(titles[c]);
    col.cx = widths[c];
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&col));
  }
  const wchar_t* cells[2][2] = {{L"Premier", L"-1"}, {L"Deuxième", L"Oui"}};
  for (int i = 0; i < 2; ++i) {
    LVITEMW it{};
    it.mask = LVIF_TEXT;
    it.iItem = i;
    it.pszText = const_cast<wchar_t*>(cells[i][0]);
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&it));
    it.iSubItem = 1;
    it.pszText = const_cast<wchar_t*>(cells[i][1]);
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&it));
  }
  GFixtureLog = CreateWindowExW(WS_EX_CLIENTEDGE, L"RichEdit20W", L"",
                                WS_CHILD | WS_VISIBLE | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_READONLY, 0, 180,
                                400, 120, top, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdLog)), inst, nullptr);
  SendMessageW(GFixtureLog, WM_SETFONT, reinterpret_cast<WPARAM>(regular), FALSE);
  AppendLine(GFixtureLog, L"noir", RGB(0, 0, 0));
  AppendLine(GFixtureLog, L"vert", RGB(0, 128, 0));
  AppendLine(GFixtureLog, L"rouge", RGB(255, 0, 0));
  AppendLine(GFixtureLog, L"orange", RGB(255, 128, 0));
  ShowWindow(top, SW_SHOW);
  UpdateWindow(top);

  MSG m;
  while (GetMessageW(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  DeleteObject(regular);
  DeleteObject(bold);
  return 0;
}

void Print(const std::string& json) {
  std::fwrite(json.data(), 1, json.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// ---- reference tone -------------------------------------------------------------------------

// What the program's test tone should be, played straight through winmm in one buffer: when the
// recording of this one is exact, a fault in the program's tone is the program's.
int PlayReferenceTone() {
  constexpr int kRate = 44100, kFrames = 44100;
  std::vector<std::int16_t> pcm(2 * kFrames);
  for (int n = 0; n < kFrames; ++n) {
    const double v = std::round(16383.0 * std::sin(2.0 * 3.14159265358979323846 * 1000.0 * n / kRate));
    pcm[2 * n] = pcm[2 * n + 1] = static_cast<std::int16_t>(v);
  }
  WAVEFORMATEX wf{};
  wf.wFormatTag = WAVE_FORMAT_PCM;
  wf.nChannels = 2;
  wf.nSamplesPerSec = kRate;
  wf.wBitsPerSample = 16;
  wf.nBlockAlign = 4;
  wf.nAvgBytesPerSec = kRate * 4;
  HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HWAVEOUT wo = nullptr;
  MMRESULT r = waveOutOpen(&wo, WAVE_MAPPER, &wf, reinterpret_cast<DWORD_PTR>(done), 0, CALLBACK_EVENT);
  if (r != MMSYSERR_NOERROR) Fail("waveOutOpen failed (" + std::to_string(r) + ")");
  WAVEHDR hdr{};
  hdr.lpData = reinterpret_cast<LPSTR>(pcm.data());
  hdr.dwBufferLength = static_cast<DWORD>(pcm.size() * sizeof(std::int16_t));
  waveOutPrepareHeader(wo, &hdr, sizeof hdr);
  r = waveOutWrite(wo, &hdr, sizeof hdr);
  if (r != MMSYSERR_NOERROR) Fail("waveOutWrite failed (" + std::to_string(r) + ")");
  const DWORD start = GetTickCount();
  while (!(hdr.dwFlags & WHDR_DONE) && GetTickCount() - start < 5000) WaitForSingleObject(done, 100);
  Sleep(500);  // the completion comes before the server has played the end
  waveOutUnprepareHeader(wo, &hdr, sizeof hdr);
  waveOutClose(wo);
  CloseHandle(done);
  Print(TObject().Bool("played", (hdr.dwFlags & WHDR_DONE) != 0).Int("frames", kFrames).Text());
  return (hdr.dwFlags & WHDR_DONE) ? 0 : 3;
}

// ---- devices --------------------------------------------------------------------------------

// Each list as the system gives it, without the program's naming rules: the checks apply those.

std::string WaveNames(bool out) {
  std::vector<std::string> names;
  const UINT n = out ? waveOutGetNumDevs() : waveInGetNumDevs();
  std::string error = "null";
  for (UINT id = 0; id < n; ++id) {
    MMRESULT r;
    std::wstring name;
    if (out) {
      WAVEOUTCAPSW caps{};
      r = waveOutGetDevCapsW(id, &caps, sizeof caps);
      name = caps.szPname;
    } else {
      WAVEINCAPSW caps{};
      r = waveInGetDevCapsW(id, &caps, sizeof caps);
      name = caps.szPname;
    }
    if (r != MMSYSERR_NOERROR) {
      error = TObject().Int("device", id).Int("result", r).Text();
      break;
    }
    names.push_back(JsonString(name));
  }
  return TObject().Int("count", n).Raw("names", JsonArray(names)).Raw("caps_error", error).Text();
}

std::string DirectShowNames(const GUID& category) {
  std::vector<std::string> names;
  void* object = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum, &object);
  if (FAILED(hr)) return TObject().Str("error", "no system device enumerator (" + Hex(static_cast<ULONG>(hr)) + ")").Text();
  auto devEnum = portwise::TRefPtr<ICreateDevEnum>::Adopt(static_cast<ICreateDevEnum*>(object));
  portwise::TRefPtr<IEnumMoniker> monikers;
  hr = devEnum->CreateClassEnumerator(category, monikers.Receive(), 0);
  if (hr == S_OK && monikers) {
    IMoniker* m = nullptr;
    while (monikers->Next(1, &m, nullptr) == S_OK) {
      auto moniker = portwise::TRefPtr<IMoniker>::Adopt(m);
      m = nullptr;
      void* bagObject = nullptr;
      if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, &bagObject)) || !bagObject) continue;
      auto bag = portwise::TRefPtr<IPropertyBag>::Adopt(static_cast<IPropertyBag*>(bagObject));
      VARIANT v;
      VariantInit(&v);
      if (SUCCEEDED(bag->Read(L"FriendlyName", &v, nullptr)) && v.vt == VT_BSTR && v.bstrVal)
        names.push_back(JsonString(std::wstring(v.bstrVal, SysStringLen(v.bstrVal))));
      VariantClear(&v);
    }
  }
  return TObject().Str("result", Hex(static_cast<ULONG>(hr))).Raw("names", JsonArray(names)).Text();
}

// Callbacks for a driver started only to see whether it starts.
void PW_ASIO_CALLBACK NoSwitch(std::int32_t, portwise::TASIOBool) {}
void PW_ASIO_CALLBACK NoRateChange(portwise::TASIOSampleRate) {}
std::int32_t PW_ASIO_CALLBACK NoMessage(std::int32_t, std::int32_t, void*, double*) { return 0; }
portwise::TASIOTime* PW_ASIO_CALLBACK NoSwitchTimeInfo(portwise::TASIOTime* params, std::int32_t, portwise::TASIOBool) {
  return params;
}

std::string Latin1(const char* text, size_t max) {
  std::wstring w;
  for (size_t i = 0; i < max && text[i]; ++i) w += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
  return JsonString(w);
}

// One key under Software\ASIO (this program's registry view) and its driver, asked directly: its
// channels by name, and whether it starts with buffers on every channel at its preferred size.
std::string AsioDriverReport(HKEY root, const std::wstring& key) {
  using namespace portwise;
  TObject o;
  o.Str("key", key);
  wchar_t text[128] = {};
  DWORD bytes = sizeof text - sizeof(wchar_t), type = 0;
  HKEY sub = nullptr;
  bool hasClsid = false;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &sub) == ERROR_SUCCESS) {
    hasClsid = RegQueryValueExW(sub, L"clsid", nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) == ERROR_SUCCESS &&
               (type == REG_SZ || type == REG_EXPAND_SZ);
    RegCloseKey(sub);
  }
  o.Raw("clsid", hasClsid ? JsonString(std::wstring(text)) : "null");
  CLSID clsid{};
  void* object = nullptr;
  const bool created = hasClsid && SUCCEEDED(CLSIDFromString(text, &clsid)) &&
                       SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object)) && object;
  o.Bool("created", created);
  if (!created) return o.Text();
  auto driver = TRefPtr<IASIO>::Adopt(static_cast<IASIO*>(object));
  const bool init = driver->init(GetConsoleWindow()) != 0;
  o.Bool("init", init);
  if (!init) return o.Text();
  char name[64] = {};
  driver->getDriverName(name);
  o.Raw("driver_name", Latin1(name, 32));
  std::int32_t nIn = 0, nOut = 0;
  if (driver->getChannels(&nIn, &nOut) != ASE_OK) nIn = nOut = 0;
  std::vector<std::string> ins, outs;
  for (int dir = 1; dir >= 0; --dir) {
    for (std::int32_t c = 0; c < (dir ? nIn : nOut); ++c) {
      TASIOChannelInfo info{};
      info.channel = c;
      info.isInput = dir;
      const bool ok = driver->getChannelInfo(&info) == ASE_OK;
      (dir ? ins : outs).push_back(ok ? Latin1(info.name, sizeof info.name) : "null");
    }
  }
  o.Raw("inputs", JsonArray(ins)).Raw("outputs", JsonArray(outs));
  std::int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
  std::vector<TASIOBufferInfo> buffers;
  for (std::int32_t c = 0; c < nIn; ++c) buffers.push_back(TASIOBufferInfo{1, c, {nullptr, nullptr}});
  for (std::int32_t c = 0; c < nOut; ++c) buffers.push_back(TASIOBufferInfo{0, c, {nullptr, nullptr}});
  static TASIOCallbacks callbacks{NoSwitch, NoRateChange, NoMessage, NoSwitchTimeInfo};
  TASIOError result = driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  if (result == ASE_OK)
    result = driver->createBuffers(buffers.data(), static_cast<std::int32_t>(buffers.size()), preferred, &callbacks);
  const bool buffered = result == ASE_OK;
  if (buffered) {
    result = driver->start();
    if (result == ASE_OK) driver->stop();
    driver->disposeBuffers();
  }
  return o.Bool("starts", result == ASE_OK).Int("start_result", result).Text();
}

std::string AsioReport() {
  HKEY root = nullptr;
  std::vector<std::string> drivers;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\ASIO", 0, KEY_READ, &root) == ERROR_SUCCESS) {
    std::vector<std::wstring> keys;
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD len = 256;
      if (RegEnumKeyExW(root, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      keys.emplace_back(name, len);
    }
    // Every key is listed before any driver is loaded: a driver may touch the registry.
    for (const std::wstring& k : keys) drivers.push_back(AsioDriverReport(root, k));
    RegCloseKey(root);
  }
  return JsonArray(drivers);
}

int ListDevices() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) Fail("CoInitializeEx failed");
  const std::string report = TObject()
                                 .Int("pointer_bits", 8 * sizeof(void*))
                                 .Raw("wave_out", WaveNames(true))
                                 .Raw("wave_in", WaveNames(false))
                                 .Raw("ds_renderers", DirectShowNames(CLSID_AudioRendererCategory))
                                 .Raw("ds_capture", DirectShowNames(CLSID_AudioInputDeviceCategory))
                                 .Raw("asio", AsioReport())
                                 .Text();
  CoUninitialize();
  Print(report);
  return 0;
}

int Usage() {
  std::fputs("usage: portwise_probe find TITLE [TIMEOUT_MS] | dump TITLE | close TITLE | locale | fixture TITLE | tone | devices\n",
             stderr);
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring cmd = argv[1];
  try {
    if (cmd == L"tone") return PlayReferenceTone();
    if (cmd == L"devices") return ListDevices();
    if (cmd == L"locale") {
      Print(LocaleReport());
      return 0;
    }
    if (argc < 3) return Usage();
    const std::wstring title = argv[2];
    if (cmd == L"fixture") return RunFixture(title);
    if (cmd == L"find" || cmd == L"dump" || cmd == L"close") {
      const DWORD timeout = cmd == L"find" && argc > 3 ? static_cast<DWORD>(_wtoi(argv[3])) : 0;
      HWND top = FindTopLevel(title, timeout);
      if (!top) {
        Print(TObject().Str("error", L"no visible top-level window titled \"" + title + L"\"").Text());
        return 2;
      }
      if (cmd == L"close") {
        if (!PostMessageW(top, WM_SYSCOMMAND, SC_CLOSE, 0)) Fail("PostMessage failed (error " + LastError() + ")");
        Print(TObject().Str("closed", Hex(reinterpret_cast<std::uintptr_t>(top))).Text());
        return 0;
      }
      if (cmd == L"find") {
        DWORD pid = 0;
        GetWindowThreadProcessId(top, &pid);
        Print(TObject().Str("hwnd", Hex(reinterpret_cast<std::uintptr_t>(top))).Int("pid", pid).Text());
        return 0;
      }
      Print(DumpWindow(top));
      return 0;
    }
    return Usage();
  } catch (const std::exception& e) {
    Print(TObject().Str("error", std::string(e.what())).Text());
    return 3;
  }
}

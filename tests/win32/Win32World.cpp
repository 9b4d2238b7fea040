#include "tests/win32/Win32World.h"

#include <commctrl.h>
#include <richedit.h>

#include <stdexcept>

#include "platform/win32/Win32Platform.h"

namespace portwise::test {

std::wstring Wide(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Narrow(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string WindowText(HWND w) {
  wchar_t buf[512];
  int n = GetWindowTextW(w, buf, 512);
  return Narrow(std::wstring(buf, static_cast<std::size_t>(n)));
}

RECT RectInParent(HWND w) {
  RECT r;
  GetWindowRect(w, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(w), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

TWin32World::TWin32World() : FPlatform(platform::win32::CreatePlatform()), FScope(*FPlatform) {}

TWin32World::~TWin32World() {
  // The thread's queue outlives the world: leave nothing behind for the next test, a pending
  // quit least of all.
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message != WM_QUIT) DispatchMessageW(&m);
  }
}

platform::EThreadPriority TWin32World::CurrentThreadPriority() {
  using P = platform::EThreadPriority;
  switch (GetThreadPriority(GetCurrentThread())) {
    case THREAD_PRIORITY_IDLE: return P::Idle;
    case THREAD_PRIORITY_LOWEST: return P::Lowest;
    case THREAD_PRIORITY_BELOW_NORMAL: return P::BelowNormal;
    case THREAD_PRIORITY_ABOVE_NORMAL: return P::AboveNormal;
    case THREAD_PRIORITY_HIGHEST: return P::Highest;
    case THREAD_PRIORITY_TIME_CRITICAL: return P::TimeCritical;
    default: return P::Normal;
  }
}

std::optional<std::string> TWin32World::CurrentThreadName() {
  using TGet = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  auto get = reinterpret_cast<TGet>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  if (!get) return std::nullopt;
  PWSTR name = nullptr;
  if (FAILED(get(GetCurrentThread(), &name)) || !name) return std::nullopt;
  std::string out = Narrow(name);
  LocalFree(name);
  return out;
}

std::unique_ptr<platform::IWindow> TWin32World::OpenWindow(const platform::TFormLayout& layout,
                                                           platform::IWindowEvents& events) {
  auto w = FPlatform->Windowing().CreateMainWindow(layout, events);
  FLayout = layout;
  // Found the way another process would: by class and caption.
  FMain = FindWindowW(Wide(platform::win32::kMainWindowClass).c_str(), Wide(layout.Caption).c_str());
  if (!FMain) throw std::runtime_error("the main window cannot be found");
  return w;
}

HWND TWin32World::Control(const std::string& name) const {
  for (std::size_t i = 0; i < FLayout.Controls.size(); ++i) {
    const platform::TControlLayout& c = FLayout.Controls[i];
    if (c.Name != name) continue;
    HWND parent = c.Parent.empty() ? FMain : Control(c.Parent);
    return GetDlgItem(parent, platform::win32::kControlIdBase + static_cast<int>(i));
  }
  throw std::invalid_argument("no control " + name);
}

void TWin32World::Minimize() { ShowWindow(FMain, SW_MINIMIZE); }

std::vector<TSeenLine> TWin32World::RichLines(const std::string& edit) {
  HWND re = Control(edit);
  GETTEXTLENGTHEX gtl{GTL_NUMCHARS | GTL_PRECISE, 1200};
  LRESULT length = SendMessageW(re, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&gtl), 0);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  GETTEXTEX gt{};
  gt.cb = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  gt.flags = GT_DEFAULT;
  gt.codepage = 1200;
  LRESULT got = SendMessageW(re, EM_GETTEXTEX, reinterpret_cast<WPARAM>(&gt), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(got));
  std::vector<TSeenLine> lines;
  LONG pos = 0;  // a paragraph break counts one position, whatever it is returned as
  std::size_t start = 0;
  for (;;) {
    std::size_t brk = text.find_first_of(L"\r\n", start);
    std::wstring para = text.substr(start, brk == std::wstring::npos ? std::wstring::npos : brk - start);
    CHARRANGE sel{pos, pos + static_cast<LONG>(para.size())};
    if (para.empty()) sel.cpMax = sel.cpMin + 1;  // the break itself carries the line's colour
    SendMessageW(re, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&sel));
    CHARFORMAT2W cf{};
    cf.cbSize = sizeof(cf);
    SendMessageW(re, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
    // A colour that is not the same across the line reads back as "no colour" (mask cleared).
    platform::TColorRef color = (cf.dwMask & CFM_COLOR) ? static_cast<platform::TColorRef>(cf.crTextColor) : kMixed;
    if (cf.dwEffects & CFE_AUTOCOLOR) color = kAuto;
    lines.push_back({Narrow(para), color});
    if (brk == std::wstring::npos) break;
    pos += static_cast<LONG>(para.size()) + 1;
    start = brk + ((text[brk] == L'\r' && brk + 1 < text.size() && text[brk + 1] == L'\n') ? 2 : 1);
    if (start >= text.size()) break;  // a final break opens no line of its own
  }
  return lines;
}

std::vector<std::vector<std::string>> TWin32World::Rows(const std::string& list) {
  HWND lv = Control(list);
  int count = static_cast<int>(SendMessageW(lv, LVM_GETITEMCOUNT, 0, 0));
  HWND header = reinterpret_cast<HWND>(SendMessageW(lv, LVM_GETHEADER, 0, 0));
  int cols = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  std::vector<std::vector<std::string>> rows;
  for (int i = 0; i < count; ++i) {
    std::vector<std::string> row;
    for (int c = 0; c < cols; ++c) {
      wchar_t buf[512] = {};
      LVITEMW it{};
      it.iSubItem = c;
      it.pszText = buf;
      it.cchTextMax = 512;
      int n = static_cast<int>(SendMessageW(lv, LVM_GETITEMTEXTW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&it)));
      row.push_back(Narrow(std::wstring(buf, static_cast<std::size_t>(n))));
    }
    rows.push_back(row);
  }
  return rows;
}

namespace {

// A mouse event at a screen point, as the hardware would report it.
INPUT MouseAt(POINT screen, DWORD flags) {
  INPUT e{};
  e.type = INPUT_MOUSE;
  e.mi.dx = MulDiv(screen.x, 65536, GetSystemMetrics(SM_CXSCREEN)) + 1;
  e.mi.dy = MulDiv(screen.y, 65536, GetSystemMetrics(SM_CYSCREEN)) + 1;
  e.mi.dwFlags = flags | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  return e;
}

}  // namespace

void TWin32World::ClickAt(POINT screen, int clicks) {
  std::vector<INPUT> in{MouseAt(screen, 0)};
  for (int i = 0; i < clicks; ++i) {
    in.push_back(MouseAt(screen, MOUSEEVENTF_LEFTDOWN));
    in.push_back(MouseAt(screen, MOUSEEVENTF_LEFTUP));
  }
  SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
}

void TWin32World::DragBy(HWND control, int dy) {
  RECT r;
  GetWindowRect(control, &r);
  POINT p{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  // Each event is handled before the next is sent, as at a hand's pace: the system picks the
  // window of a mouse event when the event comes, so the moves must follow the capture the press
  // takes.
  auto send = [&](POINT at, DWORD flags) {
    INPUT e = MouseAt(at, flags);
    SendInput(1, &e, sizeof(INPUT));
    for (int i = 0; i < 3; ++i) FPlatform->Messages().ProcessMessages();
  };
  send(p, 0);
  send(p, MOUSEEVENTF_LEFTDOWN);
  for (int step = 1; step <= 4; ++step) send({p.x, p.y + dy * step / 4}, 0);
  send({p.x, p.y + dy}, MOUSEEVENTF_LEFTUP);
}

POINT TWin32World::RowPoint(const std::string& list, int item) {
  HWND lv = Control(list);
  RECT r{};
  if (item >= 0) {
    r.left = LVIR_LABEL;
    SendMessageW(lv, LVM_GETITEMRECT, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&r));
  } else {
    // Empty space: near the bottom of the list, below the rows the tests add.
    GetClientRect(lv, &r);
    r.top = r.bottom - 12;
    r.bottom -= 4;
  }
  POINT p{r.left + 8, (r.top + r.bottom) / 2};
  ClientToScreen(lv, &p);
  return p;
}

void TWin32World::UserClick(const std::string& control) {
  RECT r;
  GetWindowRect(Control(control), &r);
  ClickAt({(r.left + r.right) / 2, (r.top + r.bottom) / 2}, 1);
}

void TWin32World::UserClickRow(const std::string& list, int item) { ClickAt(RowPoint(list, item), 1); }

void TWin32World::UserDblClickRow(const std::string& list, int item) { ClickAt(RowPoint(list, item), 2); }

void TWin32World::UserClose() { PostMessageW(FMain, WM_SYSCOMMAND, SC_CLOSE, 0); }

std::unique_ptr<TSeamWorld> MakeWin32World() { return std::make_unique<TWin32World>(); }

}  // namespace portwise::test

namespace portwise::test {
namespace {

HKEY CreateKey(const std::string& path) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    throw std::runtime_error("cannot create HKLM\\" + path);
  return key;
}

// Hands out one existing object for every CreateInstance.
class TObjectFactory final : public IClassFactory {
 public:
  explicit TObjectFactory(IUnknown* object) : FObject(object) {}
  virtual ~TObjectFactory() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++FRefs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --FRefs;
    if (n == 0) delete this;
    return n;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return FObject->QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  IUnknown* FObject;
  ULONG FRefs = 1;
};

}  // namespace

void TWin32World::SetRegString(const std::string& path, const std::string& name, const std::string& value) {
  HKEY key = CreateKey(path);
  std::wstring w = Wide(value);
  RegSetValueExW(key, Wide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(w.c_str()),
                 static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

void TWin32World::SetRegDword(const std::string& path, const std::string& name, std::uint32_t value) {
  HKEY key = CreateKey(path);
  DWORD v = value;
  RegSetValueExW(key, Wide(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
  RegCloseKey(key);
}

void TWin32World::DeleteRegTree(const std::string& path) {
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, Wide(path).c_str());
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, Wide(path).c_str());
}

void TWin32World::AddClass(const CLSID& clsid, IUnknown* object) {
  auto* factory = new TObjectFactory(object);
  DWORD cookie = 0;
  HRESULT hr = CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  factory->Release();  // COM holds its own reference while registered
  if (FAILED(hr)) throw std::runtime_error("CoRegisterClassObject failed");
  FClassCookies.push_back(cookie);
}

void TWin32World::RemoveClasses() {
  for (DWORD cookie : FClassCookies) CoRevokeClassObject(cookie);
  FClassCookies.clear();
}

}  // namespace portwise::test

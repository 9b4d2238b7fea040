#include "platform/win32/Win32Platform.h"
#include "platform/win32/Win32Com.h"
#include "platform/win32/Win32Wave.h"

#include "platform/win32/Win32Internal.h"  // <windows.h> before <mmsystem.h>

#include <mmsystem.h>

#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

namespace portwise::platform::win32 {

// ---------------------------------------------------------------- text and DPI

std::wstring ToWide(const std::string& utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string ToUtf8(const wchar_t* text, int length) {
  if (!text || length == 0) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
  if (length < 0 && !out.empty()) out.pop_back();  // the terminator was counted
  return out;
}

namespace {

template <class F>
F UserProc(const char* name) {
  // Newer user32 entry points, looked up so the program still starts on older systems.
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

}  // namespace

void EnableDpiAwareness() {
  using TSetContext = BOOL(WINAPI*)(HANDLE);
  if (auto setContext = UserProc<TSetContext>("SetProcessDpiAwarenessContext")) {
    // Per-monitor v2, else per-monitor v1.
    if (setContext(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)))) return;
    if (setContext(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-3)))) return;
    if (GetLastError() == ERROR_ACCESS_DENIED) return;  // already set by the manifest
  }
  SetProcessDPIAware();
}

UINT DpiForWindow(HWND wnd) {
  using TGetDpi = UINT(WINAPI*)(HWND);
  static const TGetDpi getDpi = UserProc<TGetDpi>("GetDpiForWindow");
  if (getDpi && wnd) {
    if (UINT dpi = getDpi(wnd)) return dpi;
  }
  HDC dc = GetDC(nullptr);
  int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
  if (dc) ReleaseDC(nullptr, dc);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

void ReportFatalError(const std::string& text) {
  MessageBoxW(nullptr, ToWide(text).c_str(), L"Portwise", MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

namespace {

constexpr wchar_t kHiddenClass[] = L"PortwiseHiddenWindow";

// What a hidden window's GWLP_USERDATA points at. The window procedure takes a copy of the
// shared handler before calling it, so a handler may destroy its own window.
struct THiddenBox {
  std::shared_ptr<TMessageHandler> Handler;
};

LRESULT CALLBACK HiddenWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* box = reinterpret_cast<THiddenBox*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
  if (box && msg != WM_DESTROY && msg != WM_NCDESTROY) {
    std::shared_ptr<TMessageHandler> handler = box->Handler;
    if ((*handler)(static_cast<std::uint32_t>(msg), static_cast<std::uintptr_t>(wParam),
                   static_cast<std::intptr_t>(lParam)))
      return 0;
  }
  return DefWindowProcW(wnd, msg, wParam, lParam);
}

void RegisterHiddenClass() {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = HiddenWndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kHiddenClass;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  if (!registered) throw std::runtime_error("cannot register the hidden window class");
}

int ToWin32Priority(EThreadPriority p) {
  switch (p) {
    case EThreadPriority::Idle: return THREAD_PRIORITY_IDLE;
    case EThreadPriority::Lowest: return THREAD_PRIORITY_LOWEST;
    case EThreadPriority::BelowNormal: return THREAD_PRIORITY_BELOW_NORMAL;
    case EThreadPriority::Normal: return THREAD_PRIORITY_NORMAL;
    case EThreadPriority::AboveNormal: return THREAD_PRIORITY_ABOVE_NORMAL;
    case EThreadPriority::Highest: return THREAD_PRIORITY_HIGHEST;
    case EThreadPriority::TimeCritical: return THREAD_PRIORITY_TIME_CRITICAL;
  }
  return THREAD_PRIORITY_NORMAL;
}

// The record a debugger reads from the thread-naming exception.
#pragma pack(push, 8)
struct TThreadNameInfo {
  DWORD dwType;      // 0x1000
  LPCSTR szName;
  DWORD dwThreadID;  // -1: the calling thread
  DWORD dwFlags;
};
#pragma pack(pop)

constexpr DWORD kThreadNameException = 0x406D1388;

LONG CALLBACK SwallowThreadNameException(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode == kThreadNameException) return EXCEPTION_CONTINUE_EXECUTION;
  return EXCEPTION_CONTINUE_SEARCH;
}

std::string LocaleString(LCTYPE type) {
  wchar_t buf[96];
  int n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, buf, static_cast<int>(std::size(buf)));
  if (n <= 0) return {};
  return ToUtf8(buf, n - 1);
}

class TWin32Platform final : public IPlatform, IMessages, ITime, IThreads, IMediaTimer, IWindowing {
 public:
  TWin32Platform() : FMainThreadId(GetCurrentThreadId()) {
    EnableDpiAwareness();
    RegisterHiddenClass();
  }

  ~TWin32Platform() override {
    std::vector<TMediaTimerId> timers;
    {
      std::lock_guard g(FMediaMutex);
      for (auto& [id, rec] : FMediaTimers) timers.push_back(id);
    }
    for (TMediaTimerId id : timers) Stop(id);
    std::set<HWND> hidden;
    hidden.swap(FHidden);
    for (HWND w : hidden) DestroyHidden(w);
  }

  IMessages& Messages() override { return *this; }
  ITime& Time() override { return *this; }
  IThreads& Threads() override { return *this; }
  IMediaTimer& MediaTimer() override { return *this; }
  IWindowing& Windowing() override { return *this; }
  IWaveAudio& Wave() override { return FWave; }
  ICom& Com() override { return FCom; }
  IRegistry& Registry() override { return FRegistry; }

  // ------------------------------------------------------------ IMessages
  bool IsMainThread() const override { return GetCurrentThreadId() == FMainThreadId; }

  THiddenWindow CreateHiddenWindow(TMessageHandler handler) override {
    RequireMainThread("hidden windows belong to the main thread");
    HWND wnd = CreateWindowExW(0, kHiddenClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    if (!wnd) return 0;
    auto* box = new THiddenBox{std::make_shared<TMessageHandler>(std::move(handler))};
    SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(box));
    FHidden.insert(wnd);
    return reinterpret_cast<THiddenWindow>(wnd);
  }

  void DestroyHiddenWindow(THiddenWindow wnd) override {
    HWND h = reinterpret_cast<HWND>(wnd);
    if (FHidden.erase(h)) DestroyHidden(h);
  }

  bool PostMessage(THiddenWindow wnd, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override {
    if (!wnd) return false;  // a null window would mean the calling thread's queue
    return PostMessageW(reinterpret_cast<HWND>(wnd), msg, static_cast<WPARAM>(wParam),
                        static_cast<LPARAM>(lParam)) != 0;
  }

  bool SetTimer(THiddenWindow wnd, std::uintptr_t id, std::uint32_t ms) override {
    if (!FHidden.count(reinterpret_cast<HWND>(wnd))) return false;
    return ::SetTimer(reinterpret_cast<HWND>(wnd), static_cast<UINT_PTR>(id), ms, nullptr) != 0;
  }

  void KillTimer(THiddenWindow wnd, std::uintptr_t id) override {
    if (FHidden.count(reinterpret_cast<HWND>(wnd)))
      ::KillTimer(reinterpret_cast<HWND>(wnd), static_cast<UINT_PTR>(id));
  }

  void ProcessMessages() override {
    RequireMainThread("ProcessMessages off the main thread");
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      if (m.message == WM_QUIT) {
        // Leave it for the message loop.
        PostQuitMessage(static_cast<int>(m.wParam));
        return;
      }
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
  }

  void WaitMessage(std::uint32_t timeoutMs) override {
    MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }

  void RunMessageLoop() override {
    RequireMainThread("the message loop belongs to the main thread");
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
  }

  void PostQuit() override {
    if (IsMainThread()) PostQuitMessage(0);
    else PostThreadMessageW(FMainThreadId, WM_QUIT, 0, 0);
  }

  // ------------------------------------------------------------ ITime
  std::uint32_t GetTickCount() override { return ::GetTickCount(); }
  void Sleep(std::uint32_t ms) override { ::Sleep(ms); }

  TLocalTime GetLocalTime() override {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    TLocalTime t;
    t.Year = st.wYear;
    t.Month = st.wMonth;
    t.Day = st.wDay;
    t.Hour = st.wHour;
    t.Minute = st.wMinute;
    t.Second = st.wSecond;
    t.Milliseconds = st.wMilliseconds;
    return t;
  }

  TTimeFormat GetTimeFormat() override {
    TTimeFormat f;
    // Missing answers keep the defaults.
    if (std::string v = LocaleString(LOCALE_ITIME); !v.empty()) f.b24Hour = v != "0";
    if (std::string v = LocaleString(LOCALE_ITLZERO); !v.empty()) f.bLeadingZero = v != "0";
    if (std::string v = LocaleString(LOCALE_ITIMEMARKPOSN); !v.empty()) f.bDesignatorFirst = v != "0";
    f.AMDesignator = LocaleString(LOCALE_S1159);
    f.PMDesignator = LocaleString(LOCALE_S2359);
    return f;
  }

  // ------------------------------------------------------------ IThreads
  bool SetCurrentThreadPriority(EThreadPriority priority) override {
    return SetThreadPriority(GetCurrentThread(), ToWin32Priority(priority)) != 0;
  }

  void SetCurrentThreadName(const std::string& name) override {
    using TSetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const TSetDescription setDescription = reinterpret_cast<TSetDescription>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (setDescription) setDescription(GetCurrentThread(), ToWide(name).c_str());
    if (!IsDebuggerPresent()) return;
    // Debuggers that predate thread descriptions learn the name from this exception; the handler
    // resumes at once when the debugger passes it on.
    std::string ansi = name;  // the record carries an 8-bit string
    TThreadNameInfo info{0x1000, ansi.c_str(), static_cast<DWORD>(-1), 0};
    PVOID handler = AddVectoredExceptionHandler(1, SwallowThreadNameException);
    RaiseException(kThreadNameException, 0, sizeof(info) / sizeof(ULONG_PTR),
                   reinterpret_cast<const ULONG_PTR*>(&info));
    if (handler) RemoveVectoredExceptionHandler(handler);
  }

  // ------------------------------------------------------------ IMediaTimer
  TMediaTimerId StartPeriodic(std::uint32_t periodMs, TMediaTimerCallback callback, void* context) override {
    if (periodMs == 0 || !callback) return 0;
    auto rec = std::make_shared<TMediaRecord>();
    rec->Callback = callback;
    rec->Context = context;
    timeBeginPeriod(1);
    // Not locked across timeSetEvent (timeKillEvent may wait for a tick that waits for the lock):
    // a tick that comes before the record is filed finds nothing and is skipped.
    MMRESULT id = timeSetEvent(periodMs, 0, &TWin32Platform::MediaTick, reinterpret_cast<DWORD_PTR>(this),
                               TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    if (id == 0) {
      timeEndPeriod(1);
      return 0;
    }
    std::lock_guard g(FMediaMutex);
    FMediaTimers[id] = std::move(rec);
    return id;
  }

  void Stop(TMediaTimerId id) override {
    {
      std::lock_guard g(FMediaMutex);
      if (!FMediaTimers.count(id)) return;
    }
    timeKillEvent(id);
    std::shared_ptr<TMediaRecord> rec;
    {
      std::lock_guard g(FMediaMutex);
      auto it = FMediaTimers.find(id);
      if (it == FMediaTimers.end()) return;
      rec = std::move(it->second);
      FMediaTimers.erase(it);
    }
    // A tick already past the lookup either finishes first or sees bStopped.
    {
      std::lock_guard call(rec->CallMutex);
      rec->bStopped = true;
    }
    timeEndPeriod(1);
  }

  // ------------------------------------------------------------ IWindowing
  std::unique_ptr<IWindow> CreateMainWindow(const TFormLayout& layout, IWindowEvents& events) override {
    RequireMainThread("windows belong to the main thread");
    return win32::CreateMainWindow(layout, events);
  }

 private:
  TWin32Wave FWave;
  TWin32Com FCom;
  TWin32Registry FRegistry;
  struct TMediaRecord {
    TMediaTimerCallback Callback = nullptr;
    void* Context = nullptr;
    std::mutex CallMutex;
    bool bStopped = false;
  };

  static void CALLBACK MediaTick(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    auto* self = reinterpret_cast<TWin32Platform*>(user);
    std::shared_ptr<TMediaRecord> rec;
    {
      std::lock_guard g(self->FMediaMutex);
      auto it = self->FMediaTimers.find(id);
      if (it == self->FMediaTimers.end()) return;
      rec = it->second;
    }
    std::lock_guard call(rec->CallMutex);
    if (!rec->bStopped) rec->Callback(rec->Context);
  }

  void RequireMainThread(const char* what) const {
    if (!IsMainThread()) throw std::logic_error(what);
  }

  static void DestroyHidden(HWND wnd) {
    auto* box = reinterpret_cast<THiddenBox*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
    SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
    DestroyWindow(wnd);
    delete box;  // a handler running further up the stack holds its own reference
  }

  DWORD FMainThreadId;
  std::set<HWND> FHidden;  // main thread only

  std::mutex FMediaMutex;
  std::map<TMediaTimerId, std::shared_ptr<TMediaRecord>> FMediaTimers;
};

}  // namespace

std::unique_ptr<IPlatform> CreatePlatform() { return std::make_unique<TWin32Platform>(); }

}  // namespace portwise::platform::win32

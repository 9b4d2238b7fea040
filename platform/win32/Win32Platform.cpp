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
  // A chain of one-shot events, each armed for the boundary the callback asked for: nothing runs
  // while no call is due. Periods are counted on timeGetTime from the start.
  TMediaTimerId StartPeriodic(std::uint32_t periodMs, TMediaTimerCallback callback, void* context) override {
    if (periodMs == 0 || !callback) return 0;
    auto rec = std::make_shared<TMediaRecord>();
    rec->Callback = callback;
    rec->Context = context;
    rec->Period = periodMs;
    timeBeginPeriod(1);
    rec->Last = timeGetTime();
    TMediaTimerId id;
    {
      std::lock_guard g(FMediaMutex);
      id = FNextMediaId++;
      if (FNextMediaId == 0) FNextMediaId = 1;
      FMediaTimers[id] = rec;
    }
    std::lock_guard st(rec->StateMutex);
    if (!Arm(id, *rec)) {
      std::lock_guard g(FMediaMutex);
      FMediaTimers.erase(id);
      timeEndPeriod(1);
      return 0;
    }
    return id;
  }

  void Wake(TMediaTimerId id) override {
    std::shared_ptr<TMediaRecord> rec = FindMedia(id);
    if (!rec) return;
    std::lock_guard st(rec->StateMutex);
    if (rec->bStopped) return;
    // The next boundary; the event armed before goes stale.
    rec->Wait = Passed(*rec) + 1 - rec->Boundary;
    ++rec->Wakes;
    Arm(id, *rec);
  }

  std::uint32_t PeriodsSinceCall(TMediaTimerId id) override {
    std::shared_ptr<TMediaRecord> rec = FindMedia(id);
    if (!rec) return 0;
    std::lock_guard st(rec->StateMutex);
    const std::uint64_t periods = Passed(*rec) - rec->Boundary;
    return static_cast<std::uint32_t>(periods < 0xFFFFFFFFu ? periods : 0xFFFFFFFFu);
  }

  void Stop(TMediaTimerId id) override {
    std::shared_ptr<TMediaRecord> rec;
    {
      std::lock_guard g(FMediaMutex);
      auto it = FMediaTimers.find(id);
      if (it == FMediaTimers.end()) return;
      rec = std::move(it->second);
      FMediaTimers.erase(it);
    }
    UINT shot;
    {
      // Waits for a running callback; later events find the timer stopped.
      std::lock_guard call(rec->CallMutex);
      std::lock_guard st(rec->StateMutex);
      rec->bStopped = true;
      shot = rec->Shot;
    }
    timeKillEvent(shot);
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
    std::uint32_t Period = 1;
    std::mutex CallMutex;   // one call at a time; Stop waits on it
    std::mutex StateMutex;  // guards what follows (taken after CallMutex)
    DWORD Last = 0;             // timeGetTime at the last reading
    std::uint64_t Elapsed = 0;  // ms from the start to the last reading
    std::uint64_t Boundary = 0; // periods from the start to the last call
    std::uint64_t Wait = 1;     // periods from the last call to the next
    std::uint32_t Wakes = 0;
    UINT Shot = 0;              // the event armed last; others are stale
    bool bStopped = false;
  };

  // StateMutex held.
  static std::uint64_t Passed(TMediaRecord& rec) {
    const DWORD now = timeGetTime();
    rec.Elapsed += static_cast<DWORD>(now - rec.Last);
    rec.Last = now;
    return rec.Elapsed / rec.Period;
  }

  // StateMutex held.
  static bool Arm(TMediaTimerId id, TMediaRecord& rec) {
    Passed(rec);  // brings Elapsed up to now
    const std::uint64_t dueMs = (rec.Boundary + rec.Wait) * rec.Period;
    std::uint64_t delay = dueMs > rec.Elapsed ? dueMs - rec.Elapsed : 1;
    if (delay > 1000000) delay = 1000000;  // the longest the system's timer takes; re-armed then
    const UINT shot = timeSetEvent(static_cast<UINT>(delay), 0, &TWin32Platform::MediaTick, static_cast<DWORD_PTR>(id),
                                   TIME_ONESHOT | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    if (shot == 0) return false;
    rec.Shot = shot;
    return true;
  }

  static std::shared_ptr<TMediaRecord> FindMedia(TMediaTimerId id) {
    std::lock_guard g(FMediaMutex);
    auto it = FMediaTimers.find(id);
    return it == FMediaTimers.end() ? nullptr : it->second;
  }

  static void CALLBACK MediaTick(UINT shot, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    const auto id = static_cast<TMediaTimerId>(user);
    std::shared_ptr<TMediaRecord> rec = FindMedia(id);
    if (!rec) return;
    std::lock_guard call(rec->CallMutex);
    std::uint64_t periods;
    std::uint32_t wakes;
    {
      std::lock_guard st(rec->StateMutex);
      if (rec->bStopped || shot != rec->Shot) return;
      const std::uint64_t passed = Passed(*rec);
      if (passed < rec->Boundary + rec->Wait) {
        Arm(id, *rec);  // came early, or the longest delay was not enough
        return;
      }
      periods = passed - rec->Boundary;
      rec->Boundary = passed;
      wakes = rec->Wakes;
    }
    const std::uint32_t wait =
        rec->Callback(rec->Context, static_cast<std::uint32_t>(periods < 0xFFFFFFFFu ? periods : 0xFFFFFFFFu));
    std::lock_guard st(rec->StateMutex);
    if (rec->Wakes != wakes) return;  // a wake during the call armed the next boundary already
    rec->Wait = wait ? wait : 1;
    Arm(id, *rec);
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

  // Process-wide: an event carries only the timer's id.
  static inline std::mutex FMediaMutex;
  static inline std::map<TMediaTimerId, std::shared_ptr<TMediaRecord>> FMediaTimers;
  static inline TMediaTimerId FNextMediaId = 1;
};

}  // namespace

std::unique_ptr<IPlatform> CreatePlatform() { return std::make_unique<TWin32Platform>(); }

}  // namespace portwise::platform::win32

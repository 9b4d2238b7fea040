#pragma once
// An in-process simulation of the platform services, for native tests. Each test builds its own
// world: construct a TSimPlatform (it installs itself as the current platform for its lifetime),
// script it, run the code under test, and read back what the code asked of it.
//
// Time. The tick counter runs in real time from a settable start (so a test can start it just
// below the 2^32 wrap), or, in virtual mode, only when the test advances it; in virtual mode a
// WaitMessage with nothing pending jumps the clock to the deadline or the next window timer, so a
// Delay_ms of a second takes no real second. Window timers follow the tick counter.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "platform/sim/SimCom.h"
#include "platform/sim/SimWave.h"

namespace portwise::platform::sim {

class TSimWindow;

class TSimPlatform final : public IPlatform, IMessages, ITime, IThreads, IMediaTimer, IWindowing {
 public:
  TSimPlatform();
  ~TSimPlatform() override;

  IMessages& Messages() override { return *this; }
  ITime& Time() override { return *this; }
  IThreads& Threads() override { return *this; }
  IMediaTimer& MediaTimer() override { return *this; }
  IWindowing& Windowing() override { return *this; }
  IWaveAudio& Wave() override { return FWave; }
  TSimWave& SimWave() { return FWave; }  // scripting the wave devices
  ICom& Com() override { return FCom; }
  IRegistry& Registry() override { return FRegistry; }
  TSimCom& SimCom() { return FCom; }            // scripting the COM classes
  TSimRegistry& SimRegistry() { return FRegistry; }

  // --- scripting: time ---
  void SetTickCount(std::uint32_t value);    // the next reading starts from here
  void SetVirtualTime(bool bVirtual);        // freeze the counter; only Advance/Wait move it
  void AdvanceTicks(std::uint32_t ms);
  void SetTickStepPerRead(std::uint32_t ms); // virtual mode: each reading advances by this much
  void SetLocalTime(const TLocalTime& t) { std::lock_guard g(FMutex); FLocalTime = t; FFixedLocalTime = true; }
  void SetTimeFormat(const TTimeFormat& f) { std::lock_guard g(FMutex); FTimeFormat = f; }

  // --- scripting: the 1 ms media timer ---
  // Manual: periods pass only through TickMediaTimer, which runs the callbacks that are due on the
  // caller's thread, standing in for the timer thread. Real: a thread of the simulation sleeps
  // until the next call is due on the steady clock.
  void SetMediaTimerManual(bool bManual) { FMediaManual = bManual; }
  void TickMediaTimer(unsigned count = 1);
  int ActiveMediaTimers();
  void FailNextMediaTimerStart() { FFailMediaStart = true; }

  // --- reading back ---
  std::uint64_t ProcessMessagesPasses() const { return FPasses.load(); }
  std::size_t PendingMessages();
  std::string ThreadName(std::thread::id id);
  EThreadPriority ThreadPriority(std::thread::id id);
  TSimWindow* MainWindow() { return FMainWindow; }
  std::size_t HiddenWindowCount();

  // Queues a user action (click, key) to be dispatched by message processing, as input would be.
  void PostInput(std::function<void()> action);

  // --- IMessages ---
  bool IsMainThread() const override { return std::this_thread::get_id() == FMainThread; }
  THiddenWindow CreateHiddenWindow(TMessageHandler handler) override;
  void DestroyHiddenWindow(THiddenWindow wnd) override;
  bool PostMessage(THiddenWindow wnd, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override;
  bool SetTimer(THiddenWindow wnd, std::uintptr_t id, std::uint32_t ms) override;
  void KillTimer(THiddenWindow wnd, std::uintptr_t id) override;
  void ProcessMessages() override;
  void WaitMessage(std::uint32_t timeoutMs) override;
  void RunMessageLoop() override;
  void PostQuit() override;

  // --- ITime ---
  std::uint32_t GetTickCount() override;
  void Sleep(std::uint32_t ms) override;
  TLocalTime GetLocalTime() override;
  TTimeFormat GetTimeFormat() override { std::lock_guard g(FMutex); return FTimeFormat; }

  // --- IThreads ---
  bool SetCurrentThreadPriority(EThreadPriority priority) override;
  void SetCurrentThreadName(const std::string& name) override;

  // --- IMediaTimer ---
  TMediaTimerId StartPeriodic(std::uint32_t periodMs, TMediaTimerCallback callback, void* context) override;
  void Wake(TMediaTimerId id) override;
  std::uint32_t PeriodsSinceCall(TMediaTimerId id) override;
  void Stop(TMediaTimerId id) override;

  // --- IWindowing ---
  std::unique_ptr<IWindow> CreateMainWindow(const TFormLayout& layout, IWindowEvents& events) override;
  void WindowDestroyed(TSimWindow* w);

 private:
  struct TQueued {
    THiddenWindow Wnd = 0;
    std::uint32_t Msg = 0;
    std::uintptr_t WParam = 0;
    std::intptr_t LParam = 0;
    std::function<void()> Input;  // set for user input instead of a posted message
  };
  struct TTimer {
    std::uint32_t Interval = 0;
    std::uint32_t Due = 0;
  };
  struct TMediaTimer {
    std::uint32_t Period = 0;
    TMediaTimerCallback Callback = nullptr;
    void* Context = nullptr;
    std::thread Thread;
    std::mutex M;                // guards what follows
    std::condition_variable Cv;  // real mode: stop or wake
    bool bStop = false;
    bool bWoken = false;
    std::uint64_t Elapsed = 0;   // manual mode: periods since the last call
    std::uint64_t Wait = 1;      // periods from the last call to the next
    std::uint64_t Boundary = 0;  // real mode: the period boundary of the last call
    std::chrono::steady_clock::time_point Start;  // real mode
  };
  static void StopTimer(TMediaTimer& t);

  std::uint32_t TickLocked();
  bool DueTimerLocked(THiddenWindow& wnd, std::uintptr_t& id);
  bool NextTimerDueLocked(std::uint32_t now, std::uint32_t& msUntil);

  std::unique_ptr<TPlatformScope> FScope;
  std::thread::id FMainThread;

  mutable std::mutex FMutex;
  std::condition_variable FWake;
  std::deque<TQueued> FQueue;
  std::map<THiddenWindow, std::shared_ptr<TMessageHandler>> FWindows;
  std::map<std::pair<THiddenWindow, std::uintptr_t>, TTimer> FTimers;
  THiddenWindow FNextWindow = 0x1000;
  bool FQuit = false;
  std::atomic<std::uint64_t> FPasses{0};

  // tick counter
  bool FVirtual = false;
  std::uint32_t FTickBase = 0;         // reading at FRealStart (real mode), or the counter (virtual)
  std::int64_t FRealStart = 0;
  std::uint32_t FTickStep = 0;
  TLocalTime FLocalTime;
  bool FFixedLocalTime = false;
  TTimeFormat FTimeFormat;

  std::map<std::thread::id, std::pair<std::string, EThreadPriority>> FThreadInfo;

  std::mutex FMediaMutex;  // guards FMediaTimers; held while manual ticks run the callbacks
  std::map<TMediaTimerId, std::unique_ptr<TMediaTimer>> FMediaTimers;
  std::mutex FMediaTickMutex;  // held while manual ticks run callbacks, so Stop waits for them
  TMediaTimerId FNextMediaId = 1;
  std::atomic<bool> FMediaManual{false};
  std::atomic<bool> FFailMediaStart{false};

  TSimWindow* FMainWindow = nullptr;
  TSimWave FWave;
  TSimCom FCom;
  TSimRegistry FRegistry;
};

// The headless main window: it keeps the state a user would see and lets a test act as the user.
class TSimWindow final : public IWindow {
 public:
  TSimWindow(TSimPlatform& platform, const TFormLayout& layout, IWindowEvents& events);
  ~TSimWindow() override;

  // --- IWindow ---
  void Show() override { FVisible = true; }
  bool IsMinimized() override { return FMinimized; }
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

  // --- what a person sees ---
  struct TLine {
    std::string Text;
    TColorRef Color = 0;
  };
  const TFormLayout& Layout() const { return FLayout; }
  bool Visible() const { return FVisible; }
  bool Closed() const { return FClosed; }
  std::vector<TLine> Lines(const std::string& edit);
  // The lines so far, which the window then forgets (a long run reads its log piece by piece).
  std::vector<TLine> TakeLines(const std::string& edit);
  std::vector<std::vector<std::string>> Rows(const std::string& list);
  std::string Focused() const { return FFocus; }
  void SetMinimized(bool b) { FMinimized = b; }

  // --- acting as the user: queued as input, handled when the program processes messages ---
  void UserClick(const std::string& control);
  void UserSelect(const std::string& list, int item);  // -1 clears the selection
  void UserDblClick(const std::string& list);          // on the current item, or on empty space
  void UserClose();

 private:
  const TControlLayout* Find(const std::string& name) const;

  TSimPlatform& FPlatform;
  TFormLayout FLayout;
  IWindowEvents& FEvents;
  std::shared_ptr<bool> FAlive;
  bool FVisible = false, FMinimized = false, FClosed = false;
  std::string FFocus;
  std::map<std::string, bool> FEnabled;
  std::map<std::string, std::vector<std::vector<std::string>>> FLists;
  std::map<std::string, int> FItemIndex;
  std::map<std::string, std::vector<TLine>> FRich;
};

}  // namespace portwise::platform::sim

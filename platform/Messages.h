#pragma once
// Seam: the main thread's message queue, hidden windows, posted messages and window timers.
//
// Contract. The thread that creates the platform is the main thread. Hidden windows are created,
// destroyed and given timers on the main thread only; their handlers run on the main thread, from
// ProcessMessages, WaitMessage callers' next ProcessMessages, or the message loop. PostMessage may be
// called from any thread and never blocks. A handler may itself process messages (re-entrance is
// allowed, as on Windows).
#include <cstdint>
#include <functional>

namespace portwise::platform {

// Opaque: the HWND on Windows, a simulation handle elsewhere. 0 is "no window".
using THiddenWindow = std::uintptr_t;

constexpr std::uint32_t WM_TIMER_MSG = 0x0113;
constexpr std::uint32_t WM_APP_MSG = 0x8000;

// Returns true when the message was handled; false sends it to the default processing.
using TMessageHandler = std::function<bool(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam)>;

class IMessages {
 public:
  virtual ~IMessages() = default;

  virtual bool IsMainThread() const = 0;

  virtual THiddenWindow CreateHiddenWindow(TMessageHandler handler) = 0;
  virtual void DestroyHiddenWindow(THiddenWindow wnd) = 0;
  // Any thread. False when the window does not exist (any more).
  virtual bool PostMessage(THiddenWindow wnd, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) = 0;
  // The window receives WM_TIMER_MSG with wParam = id every `ms` milliseconds.
  virtual bool SetTimer(THiddenWindow wnd, std::uintptr_t id, std::uint32_t ms) = 0;
  virtual void KillTimer(THiddenWindow wnd, std::uintptr_t id) = 0;

  // Dispatches every message pending now (posted messages, due timers, window input). Main thread.
  virtual void ProcessMessages() = 0;
  // Blocks until a message is pending or `timeoutMs` has passed, without dispatching. Main thread.
  virtual void WaitMessage(std::uint32_t timeoutMs) = 0;
  // Runs until PostQuit; main thread.
  virtual void RunMessageLoop() = 0;
  virtual void PostQuit() = 0;
};

}  // namespace portwise::platform

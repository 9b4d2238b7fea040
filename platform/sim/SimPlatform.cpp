#include "platform/sim/SimPlatform.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <stdexcept>

namespace portwise::platform::sim {
namespace {

std::int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

TSimPlatform::TSimPlatform() : FMainThread(std::this_thread::get_id()), FRealStart(SteadyMs()) {
  FScope = std::make_unique<TPlatformScope>(*this);
}

TSimPlatform::~TSimPlatform() {
  std::vector<std::unique_ptr<TMediaTimer>> timers;
  {
    std::lock_guard g(FMediaMutex);
    for (auto& [id, t] : FMediaTimers) timers.push_back(std::move(t));
    FMediaTimers.clear();
  }
  for (auto& t : timers) StopTimer(*t);
  FScope.reset();
}

// ---------------------------------------------------------------- time

std::uint32_t TSimPlatform::TickLocked() {
  if (FVirtual) {
    std::uint32_t now = FTickBase;
    FTickBase += FTickStep;
    return now;
  }
  return FTickBase + static_cast<std::uint32_t>(SteadyMs() - FRealStart);
}

std::uint32_t TSimPlatform::GetTickCount() {
  std::lock_guard g(FMutex);
  return TickLocked();
}

void TSimPlatform::SetTickCount(std::uint32_t value) {
  std::lock_guard g(FMutex);
  FTickBase = value;
  FRealStart = SteadyMs();
}

void TSimPlatform::SetVirtualTime(bool bVirtual) {
  std::lock_guard g(FMutex);
  if (bVirtual == FVirtual) return;
  FTickBase = TickLocked();
  FRealStart = SteadyMs();
  FVirtual = bVirtual;
}

void TSimPlatform::AdvanceTicks(std::uint32_t ms) {
  {
    std::lock_guard g(FMutex);
    FTickBase += ms;  // in real mode this shifts the running counter forward
  }
  FWake.notify_all();
}

void TSimPlatform::SetTickStepPerRead(std::uint32_t ms) {
  std::lock_guard g(FMutex);
  FTickStep = ms;
}

void TSimPlatform::Sleep(std::uint32_t ms) {
  {
    std::lock_guard g(FMutex);
    if (FVirtual) { FTickBase += ms; return; }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TLocalTime TSimPlatform::GetLocalTime() {
  {
    std::lock_guard g(FMutex);
    if (FFixedLocalTime) return FLocalTime;
  }
  std::time_t now = std::time(nullptr);
  std::tm tmv{};
#if defined(_WIN32)
  localtime_s(&tmv, &now);
#else
  localtime_r(&now, &tmv);
#endif
  TLocalTime t;
  t.Year = static_cast<std::uint16_t>(tmv.tm_year + 1900);
  t.Month = static_cast<std::uint16_t>(tmv.tm_mon + 1);
  t.Day = static_cast<std::uint16_t>(tmv.tm_mday);
  t.Hour = static_cast<std::uint16_t>(tmv.tm_hour);
  t.Minute = static_cast<std::uint16_t>(tmv.tm_min);
  t.Second = static_cast<std::uint16_t>(tmv.tm_sec);
  return t;
}

// ---------------------------------------------------------------- messages

THiddenWindow TSimPlatform::CreateHiddenWindow(TMessageHandler handler) {
  if (!IsMainThread()) throw std::logic_error("hidden windows belong to the main thread");
  std::lock_guard g(FMutex);
  THiddenWindow w = FNextWindow++;
  FWindows[w] = std::make_shared<TMessageHandler>(std::move(handler));
  return w;
}

void TSimPlatform::DestroyHiddenWindow(THiddenWindow wnd) {
  std::lock_guard g(FMutex);
  FWindows.erase(wnd);
  for (auto it = FTimers.begin(); it != FTimers.end();) {
    if (it->first.first == wnd) it = FTimers.erase(it);
    else ++it;
  }
  // Messages already posted to it are dropped at dispatch.
}

std::size_t TSimPlatform::HiddenWindowCount() {
  std::lock_guard g(FMutex);
  return FWindows.size();
}

bool TSimPlatform::PostMessage(THiddenWindow wnd, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
  {
    std::lock_guard g(FMutex);
    if (!FWindows.count(wnd)) return false;
    FQueue.push_back({wnd, msg, wParam, lParam, {}});
  }
  FWake.notify_all();
  return true;
}

void TSimPlatform::PostInput(std::function<void()> action) {
  {
    std::lock_guard g(FMutex);
    FQueue.push_back({0, 0, 0, 0, std::move(action)});
  }
  FWake.notify_all();
}

std::size_t TSimPlatform::PendingMessages() {
  std::lock_guard g(FMutex);
  return FQueue.size();
}

bool TSimPlatform::SetTimer(THiddenWindow wnd, std::uintptr_t id, std::uint32_t ms) {
  std::lock_guard g(FMutex);
  if (!FWindows.count(wnd)) return false;
  std::uint32_t interval = std::max<std::uint32_t>(ms, 1);
  FTimers[{wnd, id}] = TTimer{interval, TickLocked() + interval};
  return true;
}

void TSimPlatform::KillTimer(THiddenWindow wnd, std::uintptr_t id) {
  std::lock_guard g(FMutex);
  FTimers.erase({wnd, id});
}

bool TSimPlatform::DueTimerLocked(THiddenWindow& wnd, std::uintptr_t& id) {
  std::uint32_t now = FVirtual ? FTickBase : TickLocked();
  for (auto& [key, t] : FTimers) {
    // Wrap-safe "now has reached Due".
    if (static_cast<std::int32_t>(now - t.Due) >= 0) {
      t.Due = now + t.Interval;  // like Windows, a late timer fires once, not once per period
      wnd = key.first;
      id = key.second;
      return true;
    }
  }
  return false;
}

bool TSimPlatform::NextTimerDueLocked(std::uint32_t now, std::uint32_t& msUntil) {
  bool any = false;
  for (auto& [key, t] : FTimers) {
    std::int32_t d = static_cast<std::int32_t>(t.Due - now);
    std::uint32_t u = d < 0 ? 0 : static_cast<std::uint32_t>(d);
    if (!any || u < msUntil) msUntil = u;
    any = true;
  }
  return any;
}

void TSimPlatform::ProcessMessages() {
  if (!IsMainThread()) throw std::logic_error("ProcessMessages off the main thread");
  FPasses.fetch_add(1);
  std::size_t budget;
  {
    std::lock_guard g(FMutex);
    budget = FQueue.size();  // what is pending now; what handlers post waits for the next pass
  }
  for (;;) {
    TQueued item;
    std::shared_ptr<TMessageHandler> handler;
    {
      std::lock_guard g(FMutex);
      if (budget > 0 && !FQueue.empty()) {
        item = std::move(FQueue.front());
        FQueue.pop_front();
        --budget;
      } else if (DueTimerLocked(item.Wnd, item.WParam)) {
        item.Msg = WM_TIMER_MSG;
      } else {
        return;
      }
      if (!item.Input) {
        auto it = FWindows.find(item.Wnd);
        if (it == FWindows.end()) continue;
        handler = it->second;
      }
    }
    if (item.Input) item.Input();
    else (*handler)(item.Msg, item.WParam, item.LParam);
  }
}

void TSimPlatform::WaitMessage(std::uint32_t timeoutMs) {
  std::unique_lock lk(FMutex);
  if (!FQueue.empty()) return;
  std::uint32_t now = FVirtual ? FTickBase : TickLocked();
  std::uint32_t untilTimer = 0;
  std::uint32_t wait = timeoutMs;
  if (NextTimerDueLocked(now, untilTimer)) wait = std::min(wait, untilTimer);
  if (FVirtual) {
    // Nothing can arrive from the simulated world itself: jump the clock, but still give other
    // threads of the test a moment to post.
    FWake.wait_for(lk, std::chrono::milliseconds(0));
    if (FQueue.empty()) FTickBase = now + wait;
    return;
  }
  FWake.wait_for(lk, std::chrono::milliseconds(wait), [&] { return !FQueue.empty(); });
}

void TSimPlatform::RunMessageLoop() {
  for (;;) {
    {
      std::lock_guard g(FMutex);
      if (FQuit) { FQuit = false; return; }
    }
    ProcessMessages();
    {
      std::lock_guard g(FMutex);
      if (FQuit) { FQuit = false; return; }
    }
    WaitMessage(50);
  }
}

void TSimPlatform::PostQuit() {
  {
    std::lock_guard g(FMutex);
    FQuit = true;
  }
  FWake.notify_all();
}

// ---------------------------------------------------------------- threads

bool TSimPlatform::SetCurrentThreadPriority(EThreadPriority priority) {
  std::lock_guard g(FMutex);
  FThreadInfo[std::this_thread::get_id()].second = priority;
  return true;
}

void TSimPlatform::SetCurrentThreadName(const std::string& name) {
  std::lock_guard g(FMutex);
  FThreadInfo[std::this_thread::get_id()].first = name;
}

std::string TSimPlatform::ThreadName(std::thread::id id) {
  std::lock_guard g(FMutex);
  auto it = FThreadInfo.find(id);
  return it == FThreadInfo.end() ? std::string() : it->second.first;
}

EThreadPriority TSimPlatform::ThreadPriority(std::thread::id id) {
  std::lock_guard g(FMutex);
  auto it = FThreadInfo.find(id);
  return it == FThreadInfo.end() ? EThreadPriority::Normal : it->second.second;
}

// ---------------------------------------------------------------- media timer

TMediaTimerId TSimPlatform::StartPeriodic(std::uint32_t periodMs, TMediaTimerCallback callback, void* context) {
  if (FFailMediaStart.exchange(false) || periodMs == 0 || !callback) return 0;
  auto t = std::make_unique<TMediaTimer>();
  t->Period = periodMs;
  t->Callback = callback;
  t->Context = context;
  TMediaTimer* raw = t.get();
  raw->Start = std::chrono::steady_clock::now();
  std::lock_guard g(FMediaMutex);
  TMediaTimerId id = FNextMediaId++;
  if (!FMediaManual) {
    raw->Thread = std::thread([raw] {
      using Clock = std::chrono::steady_clock;
      const auto start = raw->Start;
      const auto period = std::chrono::milliseconds(raw->Period);
      std::unique_lock lock(raw->M);
      while (!raw->bStop) {
        const std::uint64_t due = raw->Boundary + raw->Wait;
        raw->Cv.wait_until(lock, start + period * due, [&] { return raw->bStop || raw->bWoken; });
        if (raw->bStop) break;
        const auto passed = static_cast<std::uint64_t>((Clock::now() - start) / period);
        if (raw->bWoken) {
          raw->bWoken = false;
          if (passed < due) {
            raw->Wait = passed + 1 - raw->Boundary;  // the next boundary
            continue;
          }
        }
        if (passed < due) continue;  // woke early
        const std::uint64_t periods = passed - raw->Boundary;
        raw->Boundary = passed;
        lock.unlock();
        const std::uint32_t wait =
            raw->Callback(raw->Context, static_cast<std::uint32_t>(std::min<std::uint64_t>(periods, UINT32_MAX)));
        lock.lock();
        raw->Wait = wait ? wait : 1;
      }
    });
  }
  FMediaTimers[id] = std::move(t);
  return id;
}

void TSimPlatform::StopTimer(TMediaTimer& t) {
  {
    std::lock_guard g(t.M);
    t.bStop = true;
  }
  t.Cv.notify_all();
  if (t.Thread.joinable()) t.Thread.join();
}

void TSimPlatform::Wake(TMediaTimerId id) {
  std::lock_guard g(FMediaMutex);
  auto it = FMediaTimers.find(id);
  if (it == FMediaTimers.end()) return;
  TMediaTimer& t = *it->second;
  {
    std::lock_guard tg(t.M);
    t.bWoken = true;
    if (!t.Thread.joinable()) t.Wait = std::min(t.Wait, t.Elapsed + 1);  // manual: due at the next tick
  }
  t.Cv.notify_all();
}

std::uint32_t TSimPlatform::PeriodsSinceCall(TMediaTimerId id) {
  std::lock_guard g(FMediaMutex);
  auto it = FMediaTimers.find(id);
  if (it == FMediaTimers.end()) return 0;
  TMediaTimer& t = *it->second;
  std::lock_guard tg(t.M);
  std::uint64_t periods = t.Elapsed;
  if (t.Thread.joinable()) {
    const auto passed =
        static_cast<std::uint64_t>((std::chrono::steady_clock::now() - t.Start) / std::chrono::milliseconds(t.Period));
    periods = passed > t.Boundary ? passed - t.Boundary : 0;
  }
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(periods, UINT32_MAX));
}

void TSimPlatform::Stop(TMediaTimerId id) {
  std::unique_ptr<TMediaTimer> t;
  {
    std::lock_guard g(FMediaMutex);
    auto it = FMediaTimers.find(id);
    if (it == FMediaTimers.end()) return;
    t = std::move(it->second);
    FMediaTimers.erase(it);
  }
  StopTimer(*t);
  std::lock_guard wait(FMediaTickMutex);
}

void TSimPlatform::TickMediaTimer(unsigned count) {
  std::lock_guard tick(FMediaTickMutex);
  for (unsigned i = 0; i < count; ++i) {
    // Timers stopped meanwhile stay alive until this tick ends (Stop waits for FMediaTickMutex).
    std::vector<std::pair<TMediaTimer*, std::uint32_t>> due;
    {
      std::lock_guard g(FMediaMutex);
      for (auto& [id, t] : FMediaTimers) {
        if (t->Thread.joinable()) continue;
        std::lock_guard tg(t->M);
        if (++t->Elapsed < t->Wait) continue;
        due.emplace_back(t.get(), static_cast<std::uint32_t>(std::min<std::uint64_t>(t->Elapsed, UINT32_MAX)));
        t->Elapsed = 0;
        t->bWoken = false;
      }
    }
    for (auto& [t, periods] : due) {
      const std::uint32_t wait = t->Callback(t->Context, periods);
      std::lock_guard tg(t->M);
      // A wake during the call asks for the next tick.
      t->Wait = t->bWoken || wait == 0 ? 1 : wait;
      t->bWoken = false;
    }
  }
}

int TSimPlatform::ActiveMediaTimers() {
  std::lock_guard g(FMediaMutex);
  return static_cast<int>(FMediaTimers.size());
}

// ---------------------------------------------------------------- windowing

std::unique_ptr<IWindow> TSimPlatform::CreateMainWindow(const TFormLayout& layout, IWindowEvents& events) {
  if (!IsMainThread()) throw std::logic_error("windows belong to the main thread");
  auto w = std::make_unique<TSimWindow>(*this, layout, events);
  FMainWindow = w.get();
  return w;
}

void TSimPlatform::WindowDestroyed(TSimWindow* w) {
  if (FMainWindow == w) FMainWindow = nullptr;
}

}  // namespace portwise::platform::sim

#include "gen/SLClockGen.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <map>
#include <mutex>
#include <vector>

#include "gen/SLSemaphore.h"
#include "platform/Platform.h"

namespace portwise {

std::string MakeThreadName(const std::string& ownerName, const std::string& ownerClassName, const std::string& suffix) {
  return (ownerName.empty() ? ownerClassName : ownerName) + suffix;
}

// ---------------------------------------------------------------- TLPThread

TLPThread::~TLPThread() {
  if (!FThread.joinable()) return;
  if (IsCurrentThread()) FThread.detach();
  else FThread.join();
}

void TLPThread::Start(std::function<void()> body, platform::EThreadPriority priority) {
  FThread = std::thread([name = FName, body = std::move(body), priority] {
    platform::IThreads& threads = platform::Current().Threads();
    threads.SetCurrentThreadName(name);
    threads.SetCurrentThreadPriority(priority);
    body();
  });
}

void TLPThread::Join() {
  if (FThread.joinable() && !IsCurrentThread()) FThread.join();
}

void TLPThread::Detach() {
  if (FThread.joinable()) FThread.detach();
}

// ---------------------------------------------------------------- main-thread notifier

class TSLMainWindowNode {
 public:
  static std::uintptr_t Register(TSLMainThreadNotify* n) {
    std::lock_guard g(Mutex);
    if (!Node) {
      Node = new TSLMainWindowNode;
      Node->Wnd = platform::Current().Messages().CreateHiddenWindow(
          [](std::uint32_t msg, std::uintptr_t wParam, std::intptr_t) { return Dispatch(msg, wParam); });
    }
    const std::uintptr_t id = ++Node->NextId;
    Node->List[id] = n;
    return id;
  }

  static void Unregister(std::uintptr_t id) {
    platform::THiddenWindow wnd = 0;
    {
      std::lock_guard g(Mutex);
      if (!Node) return;
      Node->List.erase(id);
      if (!Node->List.empty()) return;
      wnd = Node->Wnd;
      delete Node;
      Node = nullptr;
    }
    platform::Current().Messages().DestroyHiddenWindow(wnd);
  }

  static platform::THiddenWindow Window() {
    std::lock_guard g(Mutex);
    return Node ? Node->Wnd : 0;
  }

  static bool Post(std::uintptr_t id) {
    std::lock_guard g(Mutex);
    return Node && platform::Current().Messages().PostMessage(Node->Wnd, TSLMainThreadNotify::NotifyMessage, id, 0);
  }

 private:
  static bool Dispatch(std::uint32_t msg, std::uintptr_t id) {
    if (msg != TSLMainThreadNotify::NotifyMessage) return false;
    TSLMainThreadNotify* n = nullptr;
    {
      std::lock_guard g(Mutex);
      if (Node) {
        auto it = Node->List.find(id);
        if (it != Node->List.end()) n = it->second;
      }
    }
    if (n) n->Handle();  // a notifier destroyed since the post is simply not found
    return true;
  }

  platform::THiddenWindow Wnd = 0;
  std::map<std::uintptr_t, TSLMainThreadNotify*> List;
  std::uintptr_t NextId = 0;

  static inline std::mutex Mutex;
  static inline TSLMainWindowNode* Node = nullptr;
};

TSLMainThreadNotify::TSLMainThreadNotify(std::function<void()> AOnNotify) : FOnNotify(std::move(AOnNotify)) {
  FId = TSLMainWindowNode::Register(this);
}

TSLMainThreadNotify::~TSLMainThreadNotify() {
  FOnNotify = nullptr;
  TSLMainWindowNode::Unregister(FId);
}

void TSLMainThreadNotify::Notify(bool ForcePost) {
  if (!ForcePost && platform::Current().Messages().IsMainThread()) {
    Handle();
    return;
  }
  if (FSignaled.exchange(true)) return;  // one pending post at a time
  if (!TSLMainWindowNode::Post(FId)) FSignaled = false;
}

std::uintptr_t TSLMainThreadNotify::GetWindow() const { return TSLMainWindowNode::Window(); }

void TSLMainThreadNotify::Handle() {
  FSignaled = false;
  if (FOnNotify) FOnNotify();
}

// ---------------------------------------------------------------- TSLClockThread

struct TSLClockThread::TState {
  std::function<void()> OnClock;
  TSLSemaphore Semaphore{300000};
  std::atomic<bool> Terminated{false};
};

TSLClockThread::TSLClockThread(const std::string& ownerName, std::function<void()> AOnClock)
    : TLPThread(ownerName + ".TSLClockThread"), FState(std::make_shared<TState>()) {
  FState->OnClock = std::move(AOnClock);
  Start(
      [s = FState] {
        while (!s->Terminated) {
          s->Semaphore.Acquire();
          if (s->Terminated) break;
          if (s->OnClock) s->OnClock();
        }
      },
      platform::EThreadPriority::Highest);
}

TSLClockThread::~TSLClockThread() {
  FState->Terminated = true;
  FState->Semaphore.Release();
  if (IsCurrentThread()) Detach();
  else Join();
}

void TSLClockThread::Clock() { FState->Semaphore.Release(); }

// ---------------------------------------------------------------- master clock + TSLClockGen

struct TSLClockGen::TState {
  std::function<void()> Event;
  TSLSemaphore Semaphore{10000};
  std::int64_t Interval = 1;     // 100 ns units; guarded by the master clock's mutex
  std::int64_t Accumulator = 0;  // idem
  bool Fresh = false;            // idem: registered since the master's last call
  std::atomic<bool> Terminated{false};
};

namespace {

struct TMasterClockState {
  platform::IMediaTimer* Timer = nullptr;
  platform::TMediaTimerId Id = 0;
  std::vector<TSLClockGen::TState*> Clocks;
};

std::mutex GMasterMutex;  // guards the clock list and every tick
TMasterClockState* GMaster = nullptr;
std::atomic<int> GLiveClocks{0};
std::atomic<int> GRunningClockThreads{0};

// Runs when the first clock is due (the timer sleeps in between) and whenever a clock joins.
// Every clock gains 1 ms per period passed; one that joined since the last call gains the one
// period that ended since it joined.
std::uint32_t MasterTick(void* context, std::uint32_t periods) {
  std::lock_guard g(GMasterMutex);
  if (context != GMaster) return 1;
  auto& clocks = GMaster->Clocks;
  for (std::size_t i = clocks.size(); i-- > 0;) {
    TSLClockGen::TState* c = clocks[i];
    c->Accumulator += 10000 * static_cast<std::int64_t>(c->Fresh ? 1 : periods);
    c->Fresh = false;
    // The remainder stays, so the clock fires on average once per interval without drift.
    while (c->Accumulator > c->Interval) {
      c->Semaphore.Release();  // beyond the maximum a release is lost
      c->Accumulator -= c->Interval;
    }
    if (context != GMaster) break;
  }
  // Sleep until the first clock is due: the fewest periods t with Accumulator + 10000 t > Interval.
  std::int64_t next = std::numeric_limits<std::uint32_t>::max();
  for (const TSLClockGen::TState* c : clocks) next = std::min(next, (c->Interval - c->Accumulator) / 10000 + 1);
  return static_cast<std::uint32_t>(std::max<std::int64_t>(next, 1));
}

void RegisterClock(TSLClockGen::TState* c) {
  std::lock_guard g(GMasterMutex);
  c->Fresh = true;
  if (!GMaster) {
    GMaster = new TMasterClockState;
    GMaster->Timer = &platform::Current().MediaTimer();
    GMaster->Id = GMaster->Timer->StartPeriodic(1, &MasterTick, GMaster);
    GMaster->Clocks.push_back(c);
    return;
  }
  GMaster->Clocks.push_back(c);
  // The timer may be asleep until a later clock is due: this one counts from the next period.
  if (GMaster->Id) GMaster->Timer->Wake(GMaster->Id);
}

void UnregisterClock(TSLClockGen::TState* c) {
  TMasterClockState* dead = nullptr;
  {
    std::lock_guard g(GMasterMutex);
    if (!GMaster) return;
    auto& clocks = GMaster->Clocks;
    for (auto it = clocks.begin(); it != clocks.end(); ++it)
      if (*it == c) {
        clocks.erase(it);
        break;
      }
    if (!clocks.empty()) return;
    dead = GMaster;
    GMaster = nullptr;
  }
  // Outside the mutex: stopping waits for a running tick, and a tick takes the mutex.
  if (dead->Id) dead->Timer->Stop(dead->Id);
  delete dead;
}

// At exit, give clock threads that were told to end from their own thread time to finish.
struct TClockFinaliser {
  ~TClockFinaliser() {
    for (int i = 0; i < 5000 && GRunningClockThreads.load() > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
} GClockFinaliser;

}  // namespace

TSLClockGen::TSLClockGen(const std::string& ownerName, std::int64_t AInterval, std::function<void()> AEvent)
    : TLPThread(ownerName + ".TSLClockGen"), FState(std::make_shared<TState>()) {
  ++GLiveClocks;
  // An interval below one unit would make every tick loop without end.
  FState->Interval = AInterval < 1 ? 1 : AInterval;
  FState->Event = std::move(AEvent);
  ++GRunningClockThreads;
  Start(
      [s = FState] {
        while (!s->Terminated) {
          s->Semaphore.Acquire();
          if (s->Terminated) break;
          if (s->Event) s->Event();
        }
        --GRunningClockThreads;
      },
      platform::EThreadPriority::Highest);
  RegisterClock(FState.get());
}

TSLClockGen::~TSLClockGen() {
  UnregisterClock(FState.get());
  Terminate();
  --GLiveClocks;
}

void TSLClockGen::Terminate() {
  FState->Terminated = true;
  if (IsCurrentThread()) {
    Detach();  // the thread holds its state and ends after the running event returns
    return;
  }
  FState->Semaphore.Release();
  Join();
}

std::int64_t TSLClockGen::Interval() const {
  std::lock_guard g(GMasterMutex);
  return FState->Interval;
}

std::int64_t TSLClockGen::Accumulator() const {
  std::lock_guard g(GMasterMutex);
  // The timer sleeps between due clocks: the periods since its last call count too.
  std::int64_t pending = 0;
  if (GMaster && GMaster->Id && !FState->Fresh)
    pending = 10000 * static_cast<std::int64_t>(GMaster->Timer->PeriodsSinceCall(GMaster->Id));
  return FState->Accumulator + pending;
}

std::int64_t TSLClockGen::PendingReleases() const { return FState->Semaphore.Count(); }

int TSLClockGen::LiveCount() { return GLiveClocks.load(); }

namespace MasterClock {
bool Exists() {
  std::lock_guard g(GMasterMutex);
  return GMaster != nullptr;
}
int RegisteredClocks() {
  std::lock_guard g(GMasterMutex);
  return GMaster ? static_cast<int>(GMaster->Clocks.size()) : 0;
}
}  // namespace MasterClock

}  // namespace portwise

#pragma once
// Threading utilities shared by the generator and the device components: named threads, the
// main-thread notifier, the semaphore-driven clock thread and the clock generators that share
// one 1 ms master timer.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/Threads.h"

namespace portwise {

// "<owner name or class name><suffix>", e.g. "ALSignalGen1.TSLClockGen".
std::string MakeThreadName(const std::string& ownerName, const std::string& ownerClassName, const std::string& suffix);

// A thread that names itself (for debuggers) as it starts. Derived classes call Start at the end
// of their own construction, so the body never sees a half-built object.
class TLPThread {
 public:
  explicit TLPThread(std::string AName) : FName(std::move(AName)) {}
  virtual ~TLPThread();
  TLPThread(const TLPThread&) = delete;
  TLPThread& operator=(const TLPThread&) = delete;

  const std::string& Name() const { return FName; }
  bool IsCurrentThread() const { return std::this_thread::get_id() == FThread.get_id(); }

 protected:
  void Start(std::function<void()> body, platform::EThreadPriority priority = platform::EThreadPriority::Normal);
  void Join();
  void Detach();

 private:
  std::string FName;
  std::thread FThread;
};

// Runs an event on the main thread. Notify on the main thread runs it at once (unless forced to
// post); from elsewhere it posts one message, and further notifications before it is handled add
// nothing.
class TSLMainThreadNotify {
 public:
  explicit TSLMainThreadNotify(std::function<void()> AOnNotify);  // main thread
  ~TSLMainThreadNotify();                                          // main thread
  TSLMainThreadNotify(const TSLMainThreadNotify&) = delete;
  TSLMainThreadNotify& operator=(const TSLMainThreadNotify&) = delete;

  void Notify(bool ForcePost = false);
  // The hidden window the notifications are posted to (one for the whole program while any
  // notifier exists): the program's window handle for code that asks for one.
  std::uintptr_t GetWindow() const;

  static constexpr std::uint32_t NotifyMessage = 0x8600;

 private:
  friend class TSLMainWindowNode;
  void Handle();

  std::function<void()> FOnNotify;
  std::atomic<bool> FSignaled{false};
  std::uintptr_t FId = 0;  // the key posted messages carry; a stale key finds nothing
};

// A thread that runs FOnClock once per Clock(), at highest priority.
class TSLClockThread : public TLPThread {
 public:
  TSLClockThread(const std::string& ownerName, std::function<void()> AOnClock);
  ~TSLClockThread() override;

  void Clock();

 private:
  struct TState;
  std::shared_ptr<TState> FState;
};

// A thread that runs FEvent at a fixed interval (in 100 ns units), paced by the shared 1 ms
// master clock. Destroying it from its own thread (from inside FEvent) does not wait for itself.
class TSLClockGen : public TLPThread {
 public:
  TSLClockGen(const std::string& ownerName, std::int64_t AInterval, std::function<void()> AEvent);
  ~TSLClockGen() override;

  std::int64_t Interval() const;
  std::int64_t Accumulator() const;
  std::int64_t PendingReleases() const;

  static int LiveCount();

  struct TState;

 private:
  void Terminate();
  std::shared_ptr<TState> FState;
};

// The shared master clock, exposed for tests and diagnostics.
namespace MasterClock {
bool Exists();
int RegisteredClocks();
}  // namespace MasterClock

}  // namespace portwise

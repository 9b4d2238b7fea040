#pragma once
// A worker thread that runs one operation per wake-up: each Notify adds one pending wake-up (up
// to 2000; more are dropped), and the thread runs the operation once for each, in turn.
#include <memory>

#include "core/LPComponent.h"
#include "gen/SLClockGen.h"

namespace portwise {

class TSLNotifyThread : public TObject, public TLPThread {
 public:
  static constexpr std::int64_t KMaxPending = 2000;

  // Named "<owner name or class name>.TSLNotifyThread", at the highest normal priority; it runs at
  // once. AOnNotify is called with the thread as Sender.
  TSLNotifyThread(TComponent* AOwner, TNotifyEvent AOnNotify);
  // Terminates it unless that was done.
  ~TSLNotifyThread() override;

  void Notify();
  // Ends the thread: the operation in progress finishes, pending wake-ups are dropped. Returns
  // once the thread has ended, or at once when called from the thread's own operation (which then
  // ends after that operation returns). Safe to call more than once.
  void Terminate();
  bool GetTerminated() const;

  // Wake-ups not yet taken by the thread.
  std::int64_t PendingNotifications() const;

 private:
  struct TState;
  std::shared_ptr<TState> FState;
};

}  // namespace portwise

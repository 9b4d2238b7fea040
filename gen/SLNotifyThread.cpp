#include "gen/SLNotifyThread.h"

#include <atomic>

#include "gen/SLSemaphore.h"

namespace portwise {

// Shared with the thread body, so that a thread terminated from inside its own operation can
// outlive the object that started it.
struct TSLNotifyThread::TState {
  TNotifyEvent OnNotify;
  TSLSemaphore Semaphore{KMaxPending};
  std::atomic<bool> Terminated{false};
};

namespace {
std::string OwnerName(TComponent* AOwner) {
  return AOwner ? MakeThreadName(AOwner->GetName(), AOwner->ClassName(), ".TSLNotifyThread") : ".TSLNotifyThread";
}
}  // namespace

TSLNotifyThread::TSLNotifyThread(TComponent* AOwner, TNotifyEvent AOnNotify)
    : TLPThread(OwnerName(AOwner)), FState(std::make_shared<TState>()) {
  FState->OnNotify = std::move(AOnNotify);
  Start(
      [s = FState, self = this] {
        for (;;) {
          s->Semaphore.Acquire();
          // Checked after every wake-up: a full semaphore cannot lose the one Terminate adds,
          // since the thread then finds a count at every turn anyway.
          if (s->Terminated.load()) break;
          if (s->OnNotify) s->OnNotify(self);
        }
      },
      platform::EThreadPriority::Highest);
}

TSLNotifyThread::~TSLNotifyThread() {
  Terminate();
  // A thread that destroys its own object from inside the operation is detached by TLPThread.
}

void TSLNotifyThread::Notify() {
  // The wake-up may run an operation that frees this object, and the thread then ends and drops
  // the state while the release is still signalling: keep the state alive until it returns.
  const std::shared_ptr<TState> state = FState;
  state->Semaphore.Release();
}

void TSLNotifyThread::Terminate() {
  FState->Terminated = true;
  FState->Semaphore.Release();
  if (!IsCurrentThread()) Join();
}

bool TSLNotifyThread::GetTerminated() const { return FState->Terminated.load(); }

std::int64_t TSLNotifyThread::PendingNotifications() const { return FState->Semaphore.Count(); }

}  // namespace portwise

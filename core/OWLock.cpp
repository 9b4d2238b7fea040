#include "core/OWLock.h"

#include <algorithm>
#include <chrono>

namespace portwise {

// Counting model. FCountLocks is the owning thread's nesting depth. A thread whose unlock-all
// could not take the lock back because a stop was in progress keeps its enclosing sections, but
// they no longer hold the mutex: they are counted in FCountStopLocks (FCountStopLocksOwner when
// that thread is the owner) until the thread leaves them. Those counts are kept per thread
// (FStops) so that leaving a section only ever consumes the caller's own counts; consuming
// another thread's would leave the mutex held with no section left to release it.

namespace {

struct TMonitorRegistry {
  std::mutex Mutex;
  std::vector<IOWLockMonitor*> Monitors;
};

TMonitorRegistry& Monitors() {
  static TMonitorRegistry registry;
  return registry;
}

std::atomic<int> GMonitorCount{0};

constexpr int KMaxAttemptWaitMs = 20;
constexpr int KSlaveUnlockAttempt = 20;
constexpr int KStopWaitMs = 1000;

// Timed waits against the system clock: that is pthread_mutex_timedlock on every target (the
// only kind the Windows builds have), which the thread sanitizer also understands.
bool WaitForMutex(std::timed_mutex& AMutex, int ATimeoutMs) {
  return AMutex.try_lock_until(std::chrono::system_clock::now() + std::chrono::milliseconds(ATimeoutMs));
}

}  // namespace

void OWRegisterLockMonitor(IOWLockMonitor* AMonitor) {
  if (!AMonitor) return;
  TMonitorRegistry& registry = Monitors();
  std::lock_guard guard(registry.Mutex);
  registry.Monitors.push_back(AMonitor);
  GMonitorCount.fetch_add(1, std::memory_order_release);
}

void OWUnregisterLockMonitor(IOWLockMonitor* AMonitor) {
  TMonitorRegistry& registry = Monitors();
  std::lock_guard guard(registry.Mutex);
  auto it = std::find(registry.Monitors.begin(), registry.Monitors.end(), AMonitor);
  if (it == registry.Monitors.end()) return;
  registry.Monitors.erase(it);
  GMonitorCount.fetch_sub(1, std::memory_order_release);
}

// --- sections -----------------------------------------------------------------------------------

void TOWLockSection::AddRef() noexcept { FRefCount.fetch_add(1, std::memory_order_relaxed); }

void TOWLockSection::Release() noexcept {
  if (FRefCount.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  TOWLock* lock = FLock;
  lock->LeaveSection(*this);
  lock->RecycleSection(this);  // `this` may be reused from here on
  lock->Release();
}

// --- the lock -----------------------------------------------------------------------------------

TOWLock::TOWLock() {
  for (TOWLockSection& section : FPool) {
    section.FNextFree = FFreeSections;
    FFreeSections = &section;
  }
  Report(TOWLockEvent::Created, TOWLockKind::Read);
}

TOWLock::~TOWLock() {
  Report(TOWLockEvent::Destroyed, TOWLockKind::Read);
  // Every section holds a reference on the lock, so all of them are back in the pool by now.
  for (TOWLockSection* section = FFreeSections; section;) {
    TOWLockSection* next = section->FNextFree;
    if (section->FOnHeap) delete section;
    section = next;
  }
}

void TOWLock::Release() noexcept {
  if (FRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void TOWLock::Report(TOWLockEvent AEvent, TOWLockKind AKind) {
  if (GMonitorCount.load(std::memory_order_acquire) == 0) return;
  TMonitorRegistry& registry = Monitors();
  std::lock_guard guard(registry.Mutex);
  for (IOWLockMonitor* monitor : registry.Monitors) monitor->LockEvent(this, AEvent, AKind);
}

TOWLockCounters TOWLock::GetCounters() const {
  std::lock_guard guard(FIntLockSection);
  return {FCountStopLocks, FCountStopLocksOwner, FCountLocks, FInStopCount, FOwningThread};
}

TOWLockSection* TOWLock::NewSection(TOWLockKind AKind) {
  TOWLockSection* section;
  {
    std::lock_guard guard(FIntLockSection);
    section = FFreeSections;
    if (section) FFreeSections = section->FNextFree;
  }
  if (!section) {
    section = new TOWLockSection();
    section->FOnHeap = true;
  }
  section->FNextFree = nullptr;
  section->FLock = this;
  section->FKind = AKind;
  section->FSavedCount = 0;
  AddRef();
  return section;
}

void TOWLock::RecycleSection(TOWLockSection* ASection) noexcept {
  ASection->FFirstLock.Reset();
  ASection->FSlaveUnlock.Reset();
  ASection->FLock = nullptr;
  std::lock_guard guard(FIntLockSection);
  ASection->FNextFree = FFreeSections;
  FFreeSections = ASection;
}

TOWLock::TThreadStops* TOWLock::FindStops(std::thread::id AThread) {
  if (FCountStopLocks == 0 && FCountStopLocksOwner == 0) return nullptr;
  for (TThreadStops& stops : FStops)
    if (stops.Thread == AThread) return &stops;
  for (TThreadStops& stops : FMoreStops)
    if (stops.Thread == AThread) return &stops;
  return nullptr;
}

TOWLock::TThreadStops& TOWLock::StopsOf(std::thread::id AThread) {
  TThreadStops* free = nullptr;
  for (TThreadStops& stops : FStops) {
    if (stops.Thread == AThread) return stops;
    if (!free && stops.Other == 0 && stops.Owner == 0) free = &stops;
  }
  for (TThreadStops& stops : FMoreStops) {
    if (stops.Thread == AThread) return stops;
    if (!free && stops.Other == 0 && stops.Owner == 0) free = &stops;
  }
  if (!free) free = &FMoreStops.emplace_back();
  *free = TThreadStops{AThread, 0, 0};
  return *free;
}

void TOWLock::AddStops(std::thread::id AThread, bool AOwner, std::int32_t ACount) {
  TThreadStops& stops = StopsOf(AThread);
  if (AOwner) {
    stops.Owner += ACount;
    FCountStopLocksOwner += ACount;
  } else {
    stops.Other += ACount;
    FCountStopLocks += ACount;
  }
}

// Caller holds FIntLockSection and is the owner.
void TOWLock::ReleaseMutexIfFree() {
  if (FCountLocks == 0 && FCountStopLocksOwner == 0) {
    FOwningThread = std::thread::id();
    FLockMutex.unlock();
  }
}

bool TOWLock::TryAcquire(std::thread::id ACaller, int ATimeoutMs) {
  {
    std::lock_guard guard(FIntLockSection);
    if (ACaller == FOwningThread && FCountLocks > 0) {
      ++FCountLocks;
      return true;
    }
    if (FInStopCount > 0) return false;
  }
  if (!WaitForMutex(FLockMutex, ATimeoutMs)) return false;
  std::lock_guard guard(FIntLockSection);
  FOwningThread = ACaller;
  ++FCountLocks;
  return true;
}

TOWLockSectionRef TOWLock::ReadLock(IOWLock* ASlaveLock) { return AcquireSection(TOWLockKind::Read, ASlaveLock); }

TOWLockSectionRef TOWLock::WriteLock(IOWLock* ASlaveLock) { return AcquireSection(TOWLockKind::Write, ASlaveLock); }

TOWLockSectionRef TOWLock::AcquireSection(TOWLockKind AKind, IOWLock* ASlaveLock) {
  Report(TOWLockEvent::BeforeAcquire, AKind);
  // Taken before the mutex, so nothing can fail while it is held without a section.
  TOWLockSection* section = NewSection(AKind);
  const std::thread::id caller = std::this_thread::get_id();
  TOWLockSectionRef slaveUnlock;  // released (the slave re-taken) when the section ends
  for (int attempt = 1;; ++attempt) {
    if (TryAcquire(caller, std::min(attempt, KMaxAttemptWaitMs))) break;
    bool refused;
    {
      std::lock_guard guard(FIntLockSection);
      refused = FInStopCount > 0;
      if (refused) {
        // The refused section is counted and, since nobody receives it, left again at once.
        AddStops(caller, caller == FOwningThread, 1);
        LeaveReadWriteLocked(caller);
      }
    }
    if (refused) {
      RecycleSection(section);
      Release();
      Report(TOWLockEvent::Refused, AKind);
      return {};
    }
    if (attempt == KSlaveUnlockAttempt && ASlaveLock) slaveUnlock = ASlaveLock->UnlockAll();
  }
  section->FSlaveUnlock = std::move(slaveUnlock);
  Report(TOWLockEvent::AfterAcquire, AKind);
  return TOWLockSectionRef(section);
}

TOWLockSectionRef TOWLock::StopLock() {
  Report(TOWLockEvent::BeforeAcquire, TOWLockKind::Stop);
  TOWLockSection* section = NewSection(TOWLockKind::Stop);
  const std::thread::id caller = std::this_thread::get_id();
  bool owns;
  {
    std::lock_guard guard(FIntLockSection);
    ++FInStopCount;  // from here on, other threads' attempts fail at once
    owns = caller == FOwningThread;
    if (owns) ++FCountLocks;
  }
  if (!owns) {
    while (!WaitForMutex(FLockMutex, KStopWaitMs)) {
    }
    std::lock_guard guard(FIntLockSection);
    FOwningThread = caller;
    ++FCountLocks;
  }
  // The pending stop count now stands for the held stop section (raised by one until it is left).
  Report(TOWLockEvent::AfterAcquire, TOWLockKind::Stop);
  return TOWLockSectionRef(section);
}

TOWLockSectionRef TOWLock::UnlockAllLockInOrder(IOWLock* AFirstLock) {
  Report(TOWLockEvent::BeforeAcquire, TOWLockKind::UnlockAll);
  TOWLockSection* section = NewSection(TOWLockKind::UnlockAll);
  section->FFirstLock = AFirstLock;
  const std::thread::id caller = std::this_thread::get_id();
  {
    std::lock_guard guard(FIntLockSection);
    // A free lock or another thread's: nothing to give up.
    if (caller == FOwningThread) {
      std::int32_t ownerStops = 0;
      if (TThreadStops* stops = FindStops(caller)) {
        ownerStops = stops->Owner;
        stops->Owner = 0;
        FCountStopLocksOwner -= ownerStops;
      }
      section->FSavedCount = FCountLocks + ownerStops;
      FCountLocks = 0;
      FOwningThread = std::thread::id();
      FLockMutex.unlock();
    }
  }
  Report(TOWLockEvent::AfterAcquire, TOWLockKind::UnlockAll);
  return TOWLockSectionRef(section);
}

void TOWLock::LeaveSection(TOWLockSection& ASection) {
  const std::thread::id caller = std::this_thread::get_id();
  Report(TOWLockEvent::BeforeRelease, ASection.FKind);
  switch (ASection.FKind) {
    case TOWLockKind::Read:
    case TOWLockKind::Write: {
      {
        std::lock_guard guard(FIntLockSection);
        LeaveReadWriteLocked(caller);
      }
      // Only now take the slave back: re-taking it while holding this lock would invert the order.
      ASection.FSlaveUnlock.Reset();
      break;
    }
    case TOWLockKind::Stop:
      LeaveStop(caller);
      break;
    case TOWLockKind::UnlockAll:
      LeaveUnlockAll(ASection, caller);
      break;
  }
  Report(TOWLockEvent::AfterRelease, ASection.FKind);
}

// Consumes one of the caller's own stop counts (the owner-side or the other share); false when
// it has none of that kind.
bool TOWLock::ConsumeStop(TThreadStops* AStops, bool AOwnerShare) {
  if (!AStops) return false;
  std::int32_t& share = AOwnerShare ? AStops->Owner : AStops->Other;
  if (share <= 0) return false;
  --share;
  --(AOwnerShare ? FCountStopLocksOwner : FCountStopLocks);
  return true;
}

void TOWLock::LeaveReadWriteLocked(std::thread::id ACaller) {
  TThreadStops* stops = FindStops(ACaller);
  if (ACaller == FOwningThread) {
    if (!ConsumeStop(stops, true) && !ConsumeStop(stops, false) && FCountLocks > 0) --FCountLocks;
    ReleaseMutexIfFree();
  } else {
    ConsumeStop(stops, false);
  }
}

void TOWLock::LeaveStop(std::thread::id ACaller) {
  std::lock_guard guard(FIntLockSection);
  --FInStopCount;
  TThreadStops* stops = FindStops(ACaller);
  if (ACaller == FOwningThread) {
    if (!ConsumeStop(stops, true) && !(FCountLocks < 2 && ConsumeStop(stops, false)) && FCountLocks > 0)
      --FCountLocks;
    ReleaseMutexIfFree();
  } else {
    ConsumeStop(stops, false);
  }
}

void TOWLock::LeaveUnlockAll(TOWLockSection& ASection, std::thread::id ACaller) {
  // Re-take in order: the first lock is held until this one is back.
  TOWLockSectionRef first;
  if (ASection.FFirstLock) first = ASection.FFirstLock->WriteLock();
  const std::int32_t saved = ASection.FSavedCount;
  if (saved > 0) {
    for (;;) {
      if (TryAcquire(ACaller, 1)) {
        std::lock_guard guard(FIntLockSection);
        FCountLocks += saved - 1;  // the try-acquire counted one of them
        break;
      }
      std::lock_guard guard(FIntLockSection);
      if (FInStopCount > 0) {
        // A stop is in progress: the holds stay counted without the mutex until they are left.
        AddStops(ACaller, ACaller == FOwningThread, saved);
        break;
      }
    }
  }
  first.Reset();
  ASection.FFirstLock.Reset();
}

}  // namespace portwise

#include "core/OWLock.h"

#include <algorithm>
#include <chrono>
#include <utility>

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


constexpr int KMaxAttemptWaitMs = 20;
constexpr int KSlaveUnlockAttempt = 20;
constexpr int KStopWaitMs = 1000;

bool WaitForMutex(TOWLockWord& AWord, int ATimeoutMs) {
  return AWord.LockUntil(std::chrono::system_clock::now() + std::chrono::milliseconds(ATimeoutMs));
}

}  // namespace

void OWRegisterLockMonitor(IOWLockMonitor* AMonitor) {
  if (!AMonitor) return;
  TMonitorRegistry& registry = Monitors();
  std::lock_guard guard(registry.Mutex);
  registry.Monitors.push_back(AMonitor);
  GOWLockMonitorCount.fetch_add(1, std::memory_order_release);
}

void OWUnregisterLockMonitor(IOWLockMonitor* AMonitor) {
  TMonitorRegistry& registry = Monitors();
  std::lock_guard guard(registry.Mutex);
  auto it = std::find(registry.Monitors.begin(), registry.Monitors.end(), AMonitor);
  if (it == registry.Monitors.end()) return;
  registry.Monitors.erase(it);
  GOWLockMonitorCount.fetch_sub(1, std::memory_order_release);
}

// --- the mutex ----------------------------------------------------------------------------------

bool TOWLockWord::LockUntil(std::chrono::system_clock::time_point ADeadline) {
  for (;;) {
    if (TryLock()) return true;
    std::unique_lock guard(FWaitMutex);
    // Announced under the wait mutex, so the unlocker's wake-up cannot come between the check and
    // the wait.
    std::uint64_t s = FState.load(std::memory_order_relaxed);
    while ((s & KLocked) && !(s & KWaiters))
      if (FState.compare_exchange_weak(s, s | KWaiters, std::memory_order_relaxed)) s |= KWaiters;
    if (!(s & KLocked)) continue;
    if (FWaitChanged.wait_until(guard, ADeadline) == std::cv_status::timeout) {
      guard.unlock();
      return TryLock();
    }
  }
}

void TOWLockWord::UnlockWaking() noexcept {
  // Every waiter wakes and tries again; those that lose announce themselves again.
  FState.fetch_and(~(KLocked | KWaiters), std::memory_order_release);
  { std::lock_guard guard(FWaitMutex); }
  FWaitChanged.notify_all();
}

// --- sections -----------------------------------------------------------------------------------

// --- the lock -----------------------------------------------------------------------------------

TOWLock::TOWLock() {
  for (TOWLockSection& section : FPool) {
    section.FNextFree = FFreeSections;
    FFreeSections = &section;
  }
  for (TOWLockSection& section : FOwnerPoolStorage) {
    section.FNextFree = FOwnerFree;
    FOwnerFree = &section;
  }
  Report(TOWLockEvent::Created, TOWLockKind::Read);
}

TOWLock::~TOWLock() {
  Report(TOWLockEvent::Destroyed, TOWLockKind::Read);
  // Every section keeps the lock alive, so all of them are back in a pool by now.
  for (TOWLockSection* list : {FFreeSections, FOwnerFree}) {
    for (TOWLockSection* section = list; section;) {
      TOWLockSection* next = section->FNextFree;
      if (section->FOnHeap) delete section;
      section = next;
    }
  }
}

void TOWLock::Release() noexcept {
  if (FWord.ReleaseRef()) delete this;
}

void TOWLock::Report(TOWLockEvent AEvent, TOWLockKind AKind) {
  if (GOWLockMonitorCount.load(std::memory_order_acquire) == 0) return;
  TMonitorRegistry& registry = Monitors();
  std::lock_guard guard(registry.Mutex);
  for (IOWLockMonitor* monitor : registry.Monitors) monitor->LockEvent(this, AEvent, AKind);
}

TOWLockCounters TOWLock::GetCounters() const {
  std::lock_guard guard(FIntLockSection);
  return {FCountStopLocks.load(), FCountStopLocksOwner.load(), FCountLocks.load(), FInStopCount.load(),
          FOwningThread.load()};
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
  section->FSavedOrphans = 0;
  section->FOwnerPool = false;
  section->FHoldsRef = true;
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

void TOWLock::ReleaseSectionSlow(TOWLockSection* ASection) {
  if (ASection->FOwnerPool) {
    LeaveHolderSection(ASection, OWCurrentThread());
    return;
  }
  LeaveSection(*ASection);
  RecycleSection(ASection);
  Release();
}

TOWLockSection* TOWLock::HolderSectionSlow(TOWLockKind AKind, bool AHoldsRef) {
  TOWLockSection* section = nullptr;
  {
    // Sections left while the mutex was not held went to the shared pool.
    std::lock_guard guard(FIntLockSection);
    section = FFreeSections;
    if (section) FFreeSections = section->FNextFree;
  }
  if (!section) {
    try {
      section = new TOWLockSection();
    } catch (...) {
      // Nothing may stay held without a section.
      const std::int32_t depth = FCountLocks.load(std::memory_order_relaxed) - 1;
      FCountLocks.store(depth, std::memory_order_relaxed);
      if (depth == 0) {
        // A first hold: its reference came with the mutex (never the last one).
        FOwningThread.store(std::thread::id(), std::memory_order_relaxed);
        FWord.UnlockRelease();
      }
      throw;
    }
    section->FOnHeap = true;
  }
  InitHolderSection(section, AKind, AHoldsRef);
  return section;
}

void TOWLock::LeaveHolderSection(TOWLockSection* ASection, std::thread::id ACaller) {
  const TOWLockKind kind = ASection->FKind;
  const bool holdsRef = ASection->FHoldsRef;
  Report(TOWLockEvent::BeforeRelease, kind);
  ASection->FLock = nullptr;
  std::int32_t drop = 0;
  const std::int32_t depth = FCountLocks.load(std::memory_order_relaxed);
  if (FCountStopLocks.load(std::memory_order_relaxed) == 0 && FCountStopLocksOwner.load(std::memory_order_relaxed) == 0 &&
      depth > 0 && FOwningThread.load(std::memory_order_relaxed) == ACaller) {
    ASection->FNextFree = FOwnerFree;
    FOwnerFree = ASection;
    FCountLocks.store(depth - 1, std::memory_order_relaxed);
    if (depth == 1) {
      drop = std::exchange(FOrphanRefs, 0) + (holdsRef ? 1 : 0);
      FOwningThread.store(std::thread::id(), std::memory_order_relaxed);
      FWord.Unlock();
    } else if (holdsRef) {
      ++FOrphanRefs;
    }
  } else {
    std::lock_guard guard(FIntLockSection);
    drop = LeaveReadWriteLocked(ACaller);
    if (FOwningThread.load(std::memory_order_relaxed) == ACaller) {
      ASection->FNextFree = FOwnerFree;
      FOwnerFree = ASection;
      if (holdsRef) ++FOrphanRefs;
    } else {
      ASection->FNextFree = FFreeSections;
      FFreeSections = ASection;
      if (holdsRef) ++drop;
    }
  }
  Report(TOWLockEvent::AfterRelease, kind);
  while (drop-- > 0) Release();
}

TOWLock::TThreadStops* TOWLock::FindStops(std::thread::id AThread) {
  if (FCountStopLocks.load(std::memory_order_relaxed) == 0 && FCountStopLocksOwner.load(std::memory_order_relaxed) == 0)
    return nullptr;
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
    FCountStopLocksOwner.fetch_add(ACount, std::memory_order_relaxed);
  } else {
    stops.Other += ACount;
    FCountStopLocks.fetch_add(ACount, std::memory_order_relaxed);
  }
}

// Caller holds FIntLockSection and is the owner.
std::int32_t TOWLock::ReleaseMutexIfFree() {
  if (FCountLocks.load(std::memory_order_relaxed) != 0 || FCountStopLocksOwner.load(std::memory_order_relaxed) != 0)
    return 0;
  const std::int32_t orphans = std::exchange(FOrphanRefs, 0);
  FOwningThread.store(std::thread::id(), std::memory_order_relaxed);
  FWord.Unlock();
  return orphans;
}

bool TOWLock::TryAcquire(std::thread::id ACaller, int ATimeoutMs, bool ARetake) {
  {
    std::lock_guard guard(FIntLockSection);
    if (ACaller == FOwningThread.load(std::memory_order_relaxed) && FCountLocks.load(std::memory_order_relaxed) > 0) {
      FCountLocks.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
    if (FInStopCount.load(std::memory_order_relaxed) > 0) return false;
  }
  if (!WaitForMutex(FWord, ATimeoutMs)) return false;
  std::lock_guard guard(FIntLockSection);
  // A stop that began while we waited, and gave the mutex up for a delivery, still refuses us.
  // Holds being taken back after an unlock-all are not new: they may still win the mutex.
  if (!ARetake && FInStopCount.load(std::memory_order_relaxed) > 0) {
    FWord.Unlock();
    return false;
  }
  FOwningThread.store(ACaller, std::memory_order_relaxed);
  FCountLocks.fetch_add(1, std::memory_order_relaxed);
  return true;
}


TOWLockSectionRef TOWLock::AcquireSection(TOWLockKind AKind, IOWLock* ASlaveLock) {
  Report(TOWLockEvent::BeforeAcquire, AKind);
  const std::thread::id caller = OWCurrentThread();
  if (TOWLockSection* section = TryHolderSection(AKind, caller)) {
    Report(TOWLockEvent::AfterAcquire, AKind);
    return TOWLockSectionRef::Adopt(section);
  }

  // Taken before the mutex, so nothing can fail while it is held without a section.
  TOWLockSection* section = NewSection(AKind);
  TOWLockSectionRef slaveUnlock;  // released (the slave re-taken) when the section ends
  for (int attempt = 1;; ++attempt) {
    if (TryAcquire(caller, std::min(attempt, KMaxAttemptWaitMs), false)) break;
    bool refused;
    std::int32_t orphans = 0;
    {
      std::lock_guard guard(FIntLockSection);
      refused = FInStopCount.load(std::memory_order_relaxed) > 0;
      if (refused) {
        // The refused section is counted and, since nobody receives it, left again at once.
        AddStops(caller, caller == FOwningThread.load(std::memory_order_relaxed), 1);
        orphans = LeaveReadWriteLocked(caller);
      }
    }
    if (refused) {
      while (orphans-- > 0) Release();  // the section's own reference keeps the lock
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
  const std::thread::id caller = OWCurrentThread();
  bool owns;
  {
    std::lock_guard guard(FIntLockSection);
    FInStopCount.fetch_add(1);  // from here on, other threads' attempts fail at once
    owns = caller == FOwningThread.load(std::memory_order_relaxed);
    if (owns) FCountLocks.fetch_add(1, std::memory_order_relaxed);
  }
  if (!owns) {
    while (!WaitForMutex(FWord, KStopWaitMs)) {
    }
    std::lock_guard guard(FIntLockSection);
    FOwningThread.store(caller, std::memory_order_relaxed);
    FCountLocks.fetch_add(1, std::memory_order_relaxed);
  }
  // The pending stop count now stands for the held stop section (raised by one until it is left).
  Report(TOWLockEvent::AfterAcquire, TOWLockKind::Stop);
  return TOWLockSectionRef(section);
}

TOWLockSectionRef TOWLock::UnlockAllLockInOrder(IOWLock* AFirstLock) {
  Report(TOWLockEvent::BeforeAcquire, TOWLockKind::UnlockAll);
  TOWLockSection* section = NewSection(TOWLockKind::UnlockAll);
  section->FFirstLock = AFirstLock;
  const std::thread::id caller = OWCurrentThread();
  {
    std::lock_guard guard(FIntLockSection);
    // A free lock or another thread's: nothing to give up.
    if (caller == FOwningThread.load(std::memory_order_relaxed)) {
      std::int32_t ownerStops = 0;
      if (TThreadStops* stops = FindStops(caller)) {
        ownerStops = stops->Owner;
        stops->Owner = 0;
        FCountStopLocksOwner.fetch_sub(ownerStops, std::memory_order_relaxed);
      }
      section->FSavedCount = FCountLocks.load(std::memory_order_relaxed) + ownerStops;
      // The next holder has orphans of its own: ours wait in the section.
      section->FSavedOrphans = std::exchange(FOrphanRefs, 0);
      FCountLocks.store(0, std::memory_order_relaxed);
      FOwningThread.store(std::thread::id(), std::memory_order_relaxed);
      FWord.Unlock();
    }
  }
  Report(TOWLockEvent::AfterAcquire, TOWLockKind::UnlockAll);
  return TOWLockSectionRef(section);
}

void TOWLock::LeaveSection(TOWLockSection& ASection) {
  const std::thread::id caller = OWCurrentThread();
  Report(TOWLockEvent::BeforeRelease, ASection.FKind);
  std::int32_t orphans = 0;
  switch (ASection.FKind) {
    case TOWLockKind::Read:
    case TOWLockKind::Write: {
      {
        std::lock_guard guard(FIntLockSection);
        orphans = LeaveReadWriteLocked(caller);
      }
      // Only now take the slave back: re-taking it while holding this lock would invert the order.
      ASection.FSlaveUnlock.Reset();
      break;
    }
    case TOWLockKind::Stop:
      orphans = LeaveStop(caller);
      break;
    case TOWLockKind::UnlockAll:
      LeaveUnlockAll(ASection, caller);
      break;
  }
  // The section being left still holds its own reference.
  while (orphans-- > 0) Release();
  Report(TOWLockEvent::AfterRelease, ASection.FKind);
}

// Consumes one of the caller's own stop counts (the owner-side or the other share); false when
// it has none of that kind.
bool TOWLock::ConsumeStop(TThreadStops* AStops, bool AOwnerShare) {
  if (!AStops) return false;
  std::int32_t& share = AOwnerShare ? AStops->Owner : AStops->Other;
  if (share <= 0) return false;
  --share;
  (AOwnerShare ? FCountStopLocksOwner : FCountStopLocks).fetch_sub(1, std::memory_order_relaxed);
  return true;
}

std::int32_t TOWLock::LeaveReadWriteLocked(std::thread::id ACaller) {
  TThreadStops* stops = FindStops(ACaller);
  if (ACaller == FOwningThread.load(std::memory_order_relaxed)) {
    if (!ConsumeStop(stops, true) && !ConsumeStop(stops, false) && FCountLocks.load(std::memory_order_relaxed) > 0)
      FCountLocks.fetch_sub(1, std::memory_order_relaxed);
    return ReleaseMutexIfFree();
  }
  ConsumeStop(stops, false);
  return 0;
}

std::int32_t TOWLock::LeaveStop(std::thread::id ACaller) {
  std::lock_guard guard(FIntLockSection);
  FInStopCount.fetch_sub(1);
  TThreadStops* stops = FindStops(ACaller);
  if (ACaller == FOwningThread.load(std::memory_order_relaxed)) {
    if (!ConsumeStop(stops, true) && !(FCountLocks.load(std::memory_order_relaxed) < 2 && ConsumeStop(stops, false)) &&
        FCountLocks.load(std::memory_order_relaxed) > 0)
      FCountLocks.fetch_sub(1, std::memory_order_relaxed);
    return ReleaseMutexIfFree();
  }
  ConsumeStop(stops, false);
  return 0;
}

void TOWLock::LeaveUnlockAll(TOWLockSection& ASection, std::thread::id ACaller) {
  // Re-take in order: the first lock is held until this one is back.
  TOWLockSectionRef first;
  if (ASection.FFirstLock) first = ASection.FFirstLock->WriteLock();
  const std::int32_t saved = ASection.FSavedCount;
  std::int32_t orphans = std::exchange(ASection.FSavedOrphans, 0);
  if (saved > 0) {
    for (;;) {
      if (TryAcquire(ACaller, 1, true)) {
        std::lock_guard guard(FIntLockSection);
        FCountLocks.fetch_add(saved - 1, std::memory_order_relaxed);  // the try-acquire counted one of them
        FOrphanRefs += orphans;
        orphans = 0;
        break;
      }
      std::lock_guard guard(FIntLockSection);
      if (FInStopCount.load(std::memory_order_relaxed) > 0) {
        // A stop is in progress: the holds stay counted without the mutex until they are left.
        AddStops(ACaller, ACaller == FOwningThread.load(std::memory_order_relaxed), saved);
        break;
      }
    }
  }
  // Not taken back: the references go now (this section still holds its own).
  while (orphans-- > 0) Release();
  first.Reset();
  ASection.FFirstLock.Reset();
}

}  // namespace portwise

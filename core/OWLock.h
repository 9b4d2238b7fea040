#pragma once
// The re-entrant component lock. One TOWLock serialises a component, its sub-objects and the
// worker threads that touch it. Read and write sections are both exclusive; a stop section makes
// every other thread's attempt fail at once, so a component that is going away never waits for a
// worker that waits for it. Sections are reference-counted and left when the last reference goes;
// an empty reference means "refused, the component is stopping". Sections must be left on the
// thread that took them (the mutex belongs to a thread).
//
// Taking and leaving a section allocates nothing: section objects come from a small pool inside
// the lock (more are made only while more sections than the pool holds are alive at once).
// A read or write section of the thread that holds the lock, or of a free lock without a stop
// pending, is taken without the internal mutex: one try-lock of the lock's mutex for the first
// hold, plain counting for the nested ones.
#include <array>
#include <chrono>
#include <condition_variable>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/RefPtr.h"

namespace portwise {

class TOWLock;

class IOWLockSection {
 public:
  virtual void AddRef() noexcept = 0;
  virtual void Release() noexcept = 0;

 protected:
  virtual ~IOWLockSection() = default;
};

using TOWLockSectionRef = TRefPtr<IOWLockSection>;

class IOWLock {
 public:
  virtual void AddRef() noexcept = 0;
  virtual void Release() noexcept = 0;
  [[nodiscard]] virtual TOWLockSectionRef ReadLock() = 0;
  [[nodiscard]] virtual TOWLockSectionRef WriteLock() = 0;
  // Never refused, never times out.
  [[nodiscard]] virtual TOWLockSectionRef StopLock() = 0;
  // Gives up every hold of the calling thread for the life of the section and takes them back
  // when it is left (nothing happens when another thread owns the lock).
  [[nodiscard]] virtual TOWLockSectionRef UnlockAll() = 0;
  // The same; on leaving, AFirstLock is write-locked first and held until this lock is re-taken.
  [[nodiscard]] virtual TOWLockSectionRef UnlockAllLockInOrder(IOWLock* AFirstLock) = 0;
  // The lock object itself: two wrappers share a lock when their instances are equal.
  virtual TOWLock* Instance() = 0;

 protected:
  virtual ~IOWLock() = default;
};

enum class TOWLockKind : std::uint8_t { Read, Write, Stop, UnlockAll };

// Lock monitors (diagnostics): told of every lock event while at least one is registered.
enum class TOWLockEvent : std::uint8_t {
  Created, Destroyed, BeforeAcquire, AfterAcquire, Refused, BeforeRelease, AfterRelease
};

class IOWLockMonitor {
 public:
  virtual ~IOWLockMonitor() = default;
  // Called on the acting thread, outside the lock's internal section. Must not (un)register.
  virtual void LockEvent(TOWLock* ALock, TOWLockEvent AEvent, TOWLockKind AKind) = 0;
};

void OWRegisterLockMonitor(IOWLockMonitor* AMonitor);
void OWUnregisterLockMonitor(IOWLockMonitor* AMonitor);

// A snapshot of a lock's counters, for diagnostics and tests.
struct TOWLockCounters {
  std::int32_t CountStopLocks = 0;
  std::int32_t CountStopLocksOwner = 0;
  std::int32_t CountLocks = 0;
  std::int32_t InStopCount = 0;
  std::thread::id OwningThread;
  friend bool operator==(const TOWLockCounters&, const TOWLockCounters&) = default;
};

// Lock monitors registered now (the lock's fast paths step aside while there are any).
inline std::atomic<int> GOWLockMonitorCount{0};

// The calling thread's id, remembered per thread.
inline std::thread::id OWCurrentThread() noexcept {
  thread_local std::thread::id id;
  if (id == std::thread::id()) id = std::this_thread::get_id();
  return id;
}

class TOWLockSection final : public IOWLockSection {
 public:
  TOWLockSection() = default;
  TOWLockSection(const TOWLockSection&) = delete;
  TOWLockSection& operator=(const TOWLockSection&) = delete;
  ~TOWLockSection() override = default;

  void AddRef() noexcept override { ++FRefCount; }
  void Release() noexcept override;
  TOWLockKind Kind() const noexcept { return FKind; }

 private:
  friend class TOWLock;
  // Sections are used on the thread that took them: the count is not shared.
  std::int32_t FRefCount = 0;
  TOWLock* FLock = nullptr;  // a reference is held while the section is alive (see FHoldsRef)
  TOWLockKind FKind = TOWLockKind::Read;
  bool FOnHeap = false;
  bool FOwnerPool = false;  // from the pool of the lock's holder (FOwnerFree)
  // False for a nested section of the holder: the hold's first section keeps the lock alive.
  bool FHoldsRef = true;
  std::int32_t FSavedCount = 0;      // unlock-all: holds given up, to take back
  std::int32_t FSavedOrphans = 0;    // unlock-all: the holder's orphaned lock references
  TRefPtr<IOWLock> FFirstLock;       // unlock-all in order: locked before re-taking
  TOWLockSectionRef FSlaveUnlock;    // read/write: the slave's unlock-all while we waited
  TOWLockSection* FNextFree = nullptr;
};

// The lock's mutex and its reference count in one word: a first hold takes the lock and a
// reference to it, and leaving it gives both back, with one atomic operation each. Waiters sleep
// on a condition variable, with a deadline.
class TOWLockWord {
 public:
  static constexpr std::uint64_t KLocked = 1;
  static constexpr std::uint64_t KWaiters = 2;
  static constexpr std::uint64_t KRef = 4;

  bool TryLock() noexcept { return TryLockAdding(KLocked); }
  // The lock and a reference with it.
  bool TryLockAddRef() noexcept { return TryLockAdding(KLocked + KRef); }
  bool LockUntil(std::chrono::system_clock::time_point ADeadline);
  void Unlock() noexcept {
    std::uint64_t s = FState.load(std::memory_order_relaxed);
    while (!(s & KWaiters))
      if (FState.compare_exchange_weak(s, s & ~KLocked, std::memory_order_release, std::memory_order_relaxed)) return;
    UnlockWaking();
  }
  // Unlocks and drops one reference; true when it was the last.
  bool UnlockRelease() noexcept {
    std::uint64_t s = FState.load(std::memory_order_relaxed);
    while (!(s & KWaiters))
      if (FState.compare_exchange_weak(s, (s & ~KLocked) - KRef, std::memory_order_acq_rel, std::memory_order_relaxed))
        return s >> 2 == 1;
    // The waiters are woken while our reference still keeps the lock alive.
    UnlockWaking();
    return ReleaseRef();
  }
  void AddRef() noexcept { FState.fetch_add(KRef, std::memory_order_relaxed); }
  bool ReleaseRef() noexcept { return FState.fetch_sub(KRef, std::memory_order_acq_rel) >> 2 == 1; }

 private:
  bool TryLockAdding(std::uint64_t AAdd) noexcept {
    std::uint64_t s = FState.load(std::memory_order_relaxed);
    while (!(s & KLocked))
      if (FState.compare_exchange_weak(s, s + AAdd, std::memory_order_acquire, std::memory_order_relaxed)) return true;
    return false;
  }
  void UnlockWaking() noexcept;

  std::atomic<std::uint64_t> FState{0};
  std::mutex FWaitMutex;
  std::condition_variable FWaitChanged;
};

class TOWLock final : public IOWLock {
 public:
  static TRefPtr<TOWLock> Create() { return TRefPtr<TOWLock>(new TOWLock()); }

  void AddRef() noexcept override { FWord.AddRef(); }
  void Release() noexcept override;

  [[nodiscard]] TOWLockSectionRef ReadLock() override { return Acquire(TOWLockKind::Read, nullptr); }
  [[nodiscard]] TOWLockSectionRef WriteLock() override { return Acquire(TOWLockKind::Write, nullptr); }
  // With a slave lock (a pin passes its owner's lock): after twenty failed attempts the caller's
  // holds on the slave are given up until this section ends, so the thread holding this lock can
  // take the slave.
  [[nodiscard]] TOWLockSectionRef ReadLock(IOWLock* ASlaveLock) { return Acquire(TOWLockKind::Read, ASlaveLock); }
  [[nodiscard]] TOWLockSectionRef WriteLock(IOWLock* ASlaveLock) { return Acquire(TOWLockKind::Write, ASlaveLock); }
  [[nodiscard]] TOWLockSectionRef StopLock() override;
  [[nodiscard]] TOWLockSectionRef UnlockAll() override { return UnlockAllLockInOrder(nullptr); }
  [[nodiscard]] TOWLockSectionRef UnlockAllLockInOrder(IOWLock* AFirstLock) override;
  TOWLock* Instance() override { return this; }

  TOWLockCounters GetCounters() const;

 private:
  friend class TOWLockSection;
  // Stop counts that belong to one thread (see the .cpp): only that thread consumes them.
  struct TThreadStops {
    std::thread::id Thread;
    std::int32_t Other = 0;  // share of FCountStopLocks
    std::int32_t Owner = 0;  // share of FCountStopLocksOwner
  };
  static constexpr std::size_t KPoolSize = 8;

  TOWLock();
  ~TOWLock() override;

  TOWLockSectionRef Acquire(TOWLockKind AKind, IOWLock* ASlaveLock) {
    if (GOWLockMonitorCount.load(std::memory_order_acquire) == 0)
      if (TOWLockSection* section = TryHolderSection(AKind, OWCurrentThread())) return TOWLockSectionRef::Adopt(section);
    return AcquireSection(AKind, ASlaveLock);
  }
  // A section without the internal mutex, or nullptr (nothing changed) when that cannot be.
  TOWLockSection* TryHolderSection(TOWLockKind AKind, std::thread::id ACaller) {
    if (FOwningThread.load(std::memory_order_relaxed) == ACaller) {
      const std::int32_t depth = FCountLocks.load(std::memory_order_relaxed);
      if (depth <= 0) return nullptr;
      FCountLocks.store(depth + 1, std::memory_order_relaxed);
      return HolderSection(AKind, false);
    }
    // The first hold's section keeps the lock alive: its reference comes with the mutex.
    if (!FWord.TryLockAddRef()) return nullptr;
    // Checked with the mutex held: a stop section that gave the mutex up for a delivery still
    // refuses everyone else.
    if (FInStopCount.load(std::memory_order_acquire) != 0) {
      FWord.UnlockRelease();  // not the last reference: the caller reached us through one
      return nullptr;
    }
    FOwningThread.store(ACaller, std::memory_order_relaxed);
    FCountLocks.store(1, std::memory_order_relaxed);
    return HolderSection(AKind, true);
  }
  // Caller holds the mutex (a hold was just counted for it, and for a first hold, a reference).
  TOWLockSection* HolderSection(TOWLockKind AKind, bool AHoldsRef) {
    TOWLockSection* section = FOwnerFree;
    if (!section) return HolderSectionSlow(AKind, AHoldsRef);
    FOwnerFree = section->FNextFree;
    InitHolderSection(section, AKind, AHoldsRef);
    return section;
  }
  void InitHolderSection(TOWLockSection* ASection, TOWLockKind AKind, bool AHoldsRef) {
    ASection->FRefCount = 1;
    ASection->FNextFree = nullptr;
    ASection->FLock = this;
    ASection->FKind = AKind;
    ASection->FSavedCount = 0;
    ASection->FSavedOrphans = 0;
    ASection->FOwnerPool = true;
    ASection->FHoldsRef = AHoldsRef;
  }
  TOWLockSection* HolderSectionSlow(TOWLockKind AKind, bool AHoldsRef);
  TOWLockSectionRef AcquireSection(TOWLockKind AKind, IOWLock* ASlaveLock);
  void ReleaseSection(TOWLockSection* ASection) {
    if (ASection->FOwnerPool && GOWLockMonitorCount.load(std::memory_order_acquire) == 0 &&
        FCountStopLocks.load(std::memory_order_relaxed) == 0 && FCountStopLocksOwner.load(std::memory_order_relaxed) == 0) {
      // The common case: no stop counts anywhere, the caller holds the mutex.
      const std::int32_t depth = FCountLocks.load(std::memory_order_relaxed);
      if (depth > 0 && FOwningThread.load(std::memory_order_relaxed) == OWCurrentThread()) {
        const bool holdsRef = ASection->FHoldsRef;
        ASection->FLock = nullptr;
        ASection->FNextFree = FOwnerFree;
        FOwnerFree = ASection;
        FCountLocks.store(depth - 1, std::memory_order_relaxed);
        if (depth > 1) {
          if (holdsRef) ++FOrphanRefs;  // left before the nested sections: their hold keeps the lock
          return;
        }
        std::int32_t drop = FOrphanRefs;
        FOrphanRefs = 0;
        FOwningThread.store(std::thread::id(), std::memory_order_relaxed);
        UnlockDropping(holdsRef, drop);
        return;
      }
    }
    ReleaseSectionSlow(ASection);
  }
  // Gives the mutex up and drops ADrop references, plus the hold's own when AHoldsRef.
  void UnlockDropping(bool AHoldsRef, std::int32_t ADrop) {
    if (!AHoldsRef) {
      FWord.Unlock();
    } else if (FWord.UnlockRelease()) {
      delete this;  // that was the last reference, so there were no others to drop
      return;
    }
    while (ADrop-- > 0) Release();
  }
  void ReleaseSectionSlow(TOWLockSection* ASection);
  void LeaveHolderSection(TOWLockSection* ASection, std::thread::id ACaller);
  // ARetake: holds given up by an unlock-all, which a stop that began meanwhile does not refuse.
  bool TryAcquire(std::thread::id ACaller, int ATimeoutMs, bool ARetake);
  void LeaveSection(TOWLockSection& ASection);
  std::int32_t LeaveReadWriteLocked(std::thread::id ACaller);  // FIntLockSection held
  std::int32_t LeaveStop(std::thread::id ACaller);
  void LeaveUnlockAll(TOWLockSection& ASection, std::thread::id ACaller);
  std::int32_t ReleaseMutexIfFree();  // the orphaned references to drop once unlocked
  TThreadStops* FindStops(std::thread::id AThread);
  TThreadStops& StopsOf(std::thread::id AThread);
  void AddStops(std::thread::id AThread, bool AOwner, std::int32_t ACount);
  bool ConsumeStop(TThreadStops* AStops, bool AOwnerShare);
  TOWLockSection* NewSection(TOWLockKind AKind);
  void RecycleSection(TOWLockSection* ASection) noexcept;
  void Report(TOWLockEvent AEvent, TOWLockKind AKind);

  TOWLockWord FWord;
  mutable std::mutex FIntLockSection;
  // Written under FIntLockSection, except FCountLocks and FOwningThread, which only the holder of
  // mutex writes; atomic so that the holder's fast path and other threads' reads can meet.
  std::atomic<std::int32_t> FCountStopLocks{0};
  std::atomic<std::int32_t> FCountStopLocksOwner{0};
  std::atomic<std::int32_t> FCountLocks{0};
  std::atomic<std::int32_t> FInStopCount{0};
  std::atomic<std::thread::id> FOwningThread{};
  // Guarded by holding the mutex: free sections for the holder's read and write sections, and
  // the lock references of first sections left before the nested ones (dropped with the hold).
  TOWLockSection* FOwnerFree = nullptr;
  std::int32_t FOrphanRefs = 0;
  std::array<TThreadStops, 4> FStops{};
  std::vector<TThreadStops> FMoreStops;  // only when more threads than FStops hold stop counts
  std::array<TOWLockSection, KPoolSize> FPool;
  std::array<TOWLockSection, KPoolSize / 2> FOwnerPoolStorage;
  TOWLockSection* FFreeSections = nullptr;
};

inline void TOWLockSection::Release() noexcept {
  if (--FRefCount != 0) return;
  FLock->ReleaseSection(this);  // `this` may be reused from here on
}

}  // namespace portwise

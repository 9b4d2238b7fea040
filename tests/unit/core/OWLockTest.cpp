#include "core/OWLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/unit/core/HeapCount.h"

namespace portwise {

std::ostream& operator<<(std::ostream& os, const TOWLockCounters& c) {
  return os << "{stops " << c.CountStopLocks << ", owner stops " << c.CountStopLocksOwner << ", locks " << c.CountLocks
      << ", in stop " << c.InStopCount << ", owner " << c.OwningThread << "}";
}

namespace {

// A one-shot signal between test threads.
class TEvent {
 public:
  void Set() {
    std::lock_guard guard(FMutex);
    FSet = true;
    FChanged.notify_all();
  }
  void Wait() {
    std::unique_lock guard(FMutex);
    FChanged.wait(guard, [&] { return FSet; });
  }

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FSet = false;
};

// Waits for a state another thread is about to reach (no time limit: a hang is the failure).
void WaitUntil(const std::function<bool()>& ACondition) {
  while (!ACondition()) std::this_thread::yield();
}

TOWLockCounters Held(std::int32_t ALocks, std::thread::id AOwner, std::int32_t AInStop = 0,
                     std::int32_t AStopLocks = 0) {
  TOWLockCounters c;
  c.CountLocks = ALocks;
  c.OwningThread = AOwner;
  c.InStopCount = AInStop;
  c.CountStopLocks = AStopLocks;
  return c;
}

const TOWLockCounters KIdle{};

// Records the events of one lock.
class TRecordingMonitor final : public IOWLockMonitor {
 public:
  explicit TRecordingMonitor(TOWLock* ALock) : FLock(ALock) {
    FEvents.reserve(1000);  // recording allocates nothing in the tests that count allocations
    OWRegisterLockMonitor(this);
  }
  ~TRecordingMonitor() override { OWUnregisterLockMonitor(this); }
  void LockEvent(TOWLock* ALock, TOWLockEvent AEvent, TOWLockKind AKind) override {
    if (ALock != FLock) return;
    std::lock_guard guard(FMutex);
    FEvents.emplace_back(AEvent, AKind);
  }
  std::vector<std::pair<TOWLockEvent, TOWLockKind>> Events() {
    std::lock_guard guard(FMutex);
    return FEvents;
  }

 private:
  TOWLock* FLock;
  std::mutex FMutex;
  std::vector<std::pair<TOWLockEvent, TOWLockKind>> FEvents;
};

class OWLock : public ::testing::Test {
 protected:
  TRefPtr<TOWLock> FLock = TOWLock::Create();
  const std::thread::id FMain = std::this_thread::get_id();
};

TEST_F(OWLock, AThreadHoldingAWriteSectionTakesFurtherReadAndWriteSectionsAndCountsTheirDepth) {
  TOWLockSectionRef outer = FLock->WriteLock();
  ASSERT_TRUE(outer);
  TOWLockSectionRef read = FLock->ReadLock();
  TOWLockSectionRef inner = FLock->WriteLock();
  ASSERT_TRUE(read && inner);
  EXPECT_EQ(FLock->GetCounters(), Held(3, FMain));

  inner.Reset();
  read.Reset();
  EXPECT_EQ(FLock->GetCounters(), Held(1, FMain));
  outer.Reset();
  EXPECT_EQ(FLock->GetCounters(), KIdle);
}

TEST_F(OWLock, ASectionIsLeftWhenItsLastReferenceGoes) {
  TOWLockSectionRef section = FLock->WriteLock();
  TOWLockSectionRef copy = section;
  section.Reset();
  EXPECT_EQ(FLock->GetCounters(), Held(1, FMain));
  copy.Reset();
  EXPECT_EQ(FLock->GetCounters(), KIdle);
}

TEST_F(OWLock, ReadSectionsExcludeEachOtherAcrossThreads) {
  TOWLockSectionRef mine = FLock->ReadLock();
  std::atomic<bool> released{false};
  bool sawRelease = false;
  TEvent trying;
  std::thread other([&] {
    trying.Set();
    TOWLockSectionRef theirs = FLock->ReadLock();
    sawRelease = theirs && released.load();
  });
  trying.Wait();
  released = true;
  mine.Reset();
  other.join();
  EXPECT_TRUE(sawRelease);
  EXPECT_EQ(FLock->GetCounters(), KIdle);
}

TEST_F(OWLock, AWriteSectionOfAnotherThreadIsRefusedAtOnceWhileAStopIsHeldAndItsReleaseLeavesTheStopAlone) {
  TOWLockSectionRef stop = FLock->StopLock();
  ASSERT_TRUE(stop);
  const TOWLockCounters held = FLock->GetCounters();
  EXPECT_EQ(held, Held(1, FMain, 1));

  TOWLockCounters afterRefusal, afterRelease;
  bool granted = true;
  std::thread other([&] {
    TOWLockSectionRef refused = FLock->WriteLock();
    granted = static_cast<bool>(refused);
    afterRefusal = FLock->GetCounters();
    refused.Reset();
    afterRelease = FLock->GetCounters();
  });
  other.join();
  EXPECT_FALSE(granted);
  EXPECT_EQ(afterRefusal, held);
  EXPECT_EQ(afterRelease, held);

  stop.Reset();
  EXPECT_EQ(FLock->GetCounters(), KIdle);
}

TEST_F(OWLock, APendingStopRefusesOtherThreadsButNotTheOwnersNestedSections) {
  TEvent holding, nested, release;
  bool nestedGranted = false;
  std::thread owner([&] {
    TOWLockSectionRef section = FLock->WriteLock();
    holding.Set();
    nested.Wait();
    nestedGranted = static_cast<bool>(FLock->WriteLock());
    release.Wait();
  });
  holding.Wait();
  std::thread stopper([&] {
    TOWLockSectionRef stop = FLock->StopLock();
    EXPECT_TRUE(stop);
  });
  WaitUntil([&] { return FLock->GetCounters().InStopCount == 1; });

  EXPECT_FALSE(FLock->ReadLock());
  EXPECT_FALSE(FLock->WriteLock());
  nested.Set();
  release.Set();
  owner.join();
  stopper.join();
  EXPECT_TRUE(nestedGranted);
  EXPECT_EQ(FLock->GetCounters(), KIdle);
}

TEST_F(OWLock, AWaiterFromBeforeAStopIsRefusedWhenTheStopGivesTheMutexUpForADelivery) {
  // The waiter starts while the lock is merely held, so it is already waiting for the mutex when
  // the stop begins; the stop's unlock-all then frees the mutex under it.
  TOWLockSectionRef held = FLock->WriteLock();
  std::atomic<int> outcome{0};  // 1 granted, 2 refused
  std::atomic<bool> stopPending{false};
  std::atomic<bool> grantedDuringStop{false};
  std::thread waiter([&] {
    TOWLockSectionRef section = FLock->WriteLock();
    if (section && stopPending) grantedDuringStop = true;
    outcome = section ? 1 : 2;
  });
  // Long enough for its attempts to reach the longest waits on the mutex.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  TOWLockSectionRef stop = FLock->StopLock();
  stopPending = true;
  TOWLockSectionRef delivery = FLock->UnlockAll();
  WaitUntil([&] { return outcome != 0; });
  EXPECT_FALSE(grantedDuringStop);
  EXPECT_EQ(outcome, 2);
  delivery.Reset();
  stopPending = false;
  stop.Reset();
  held.Reset();
  waiter.join();
  EXPECT_EQ(FLock->GetCounters(), KIdle);
}

TEST_F(OWLock, AStopSectionWaitsForTheHolderInsteadOfBeingRefused) {
  TOWLockSectionRef first = FLock->StopLock();
  std::atomic<bool> released{false};
  bool sawRelease = false;
  std::thread other([&] {
    TOWLockSectionRef second = FLock->StopLock();
    sawRelease = second && released.load();
  });
  WaitUntil([&] { return FLock->GetCounters().InStopCount == 2; });
  released = true;
  first.Reset();
  other.join();
  EXPECT_TRUE(sawRelease);
  EXPECT_EQ(FLock->GetCounters(), KIdle);
}

TEST_F(OWLock, AStopInsideTheOwnersWriteSectionNestsAndKeepsTheStopCountUntilLeft) {
  TOWLockSectionRef write = FLock->WriteLock();
  TOWLockSectionRef stop = FLock->StopLock();
  EXPECT_EQ(FLock->GetCounters(), Held(2, FMain, 1));
  TOWLockSectionRef nested = FLock->WriteLock();
  EXPECT_TRUE(nested);
  nested.Reset();
  stop.Reset();
  EXPECT_EQ(FLock->GetCounters(), Held(1, FMain));
  write.Reset();
  EXPECT_EQ(FLock->GetCounters(), KIdle);
}

TEST_F(OWLock, UnlockAllGivesUpEveryNestedHoldAndTakesThemBackWhenLeft) {
  TOWLockSectionRef a = FLock->WriteLock();
  TOWLockSectionRef b = FLock->ReadLock();
  TOWLockSectionRef c = FLock->WriteLock();
  TOWLockSectionRef unlock = FLock->UnlockAll();
  EXPECT_EQ(FLock->GetCounters(), KIdle);

  // Another thread gets the lock meanwhile.
  TOWLockCounters seenByOther;
  std::thread other([&] {
    TOWLockSectionRef section = FLock->WriteLock();
    seenByOther = FLock->GetCounters();
  });
  other.join();
  EXPECT_EQ(seenByOther.CountLocks, 1);
  EXPECT_NE(seenByOther.OwningThread, FMain);

  unlock.Reset();
  EXPECT_EQ(FLock->GetCounters(), Held(3, FMain));
  c.Reset();
  b.Reset();
  a.Reset();
  EXPECT_EQ(FLock->GetCounters(), KIdle);
}

TEST_F(OWLock, UnlockAllDoesNothingWhileAnotherThreadOwnsTheLock) {
  TEvent holding, done;
  std::thread owner([&] {
    TOWLockSectionRef section = FLock->WriteLock();
    holding.Set();
    done.Wait();
  });
  holding.Wait();
  const TOWLockCounters before = FLock->GetCounters();
  TOWLockSectionRef unlock = FLock->UnlockAll();
  EXPECT_EQ(FLock->GetCounters(), before);
  unlock.Reset();
  EXPECT_EQ(FLock->GetCounters(), before);
  done.Set();
  owner.join();
  EXPECT_EQ(FLock->GetCounters(), KIdle);
}

TEST_F(OWLock, LeavingUnlockAllWaitsUntilTheLockIsFreeAgain) {
  TEvent unlocked, retake;
  TOWLockCounters afterRetake;
  std::atomic<bool> released{false};
  bool sawRelease = false;
  std::thread worker([&] {
    TOWLockSectionRef section = FLock->WriteLock();
    TOWLockSectionRef unlock = FLock->UnlockAll();
    unlocked.Set();
    retake.Wait();
    unlock.Reset();
    sawRelease = released.load();
    afterRetake = FLock->GetCounters();
  });
  unlocked.Wait();
  TOWLockSectionRef mine = FLock->WriteLock();
  ASSERT_TRUE(mine);
  retake.Set();
  released = true;
  mine.Reset();
  worker.join();
  EXPECT_TRUE(sawRelease);
  EXPECT_EQ(afterRetake.CountLocks, 1);
  EXPECT_NE(afterRetake.OwningThread, FMain);
  EXPECT_EQ(FLock->GetCounters(), KIdle);
}

// A worker gives up its hold (unlock-all), a stop is taken meanwhile, so the worker cannot take
// its hold back: it stays counted as a stop lock of that thread until the worker leaves it.
// Whichever of the stop and the worker's section ends first, the lock ends free.
class OWLockUnlockAllDuringStop : public OWLock, public ::testing::WithParamInterface<bool> {};

TEST_P(OWLockUnlockAllDuringStop, ARetakeRefusedByAStopIsCountedForItsThreadAndTheLockEndsFree) {
  const bool stopEndsFirst = GetParam();
  TEvent unlocked, stopHeld, retakeRefused, leaveWorker, workerLeft;
  TOWLockCounters afterRefusedRetake;
  std::thread worker([&] {
    TOWLockSectionRef section = FLock->WriteLock();
    TOWLockSectionRef unlock = FLock->UnlockAll();
    unlocked.Set();
    stopHeld.Wait();
    unlock.Reset();  // refused: a stop is held
    afterRefusedRetake = FLock->GetCounters();
    EXPECT_FALSE(FLock->WriteLock());
    retakeRefused.Set();
    leaveWorker.Wait();
    section.Reset();
    workerLeft.Set();
  });
  unlocked.Wait();
  TOWLockSectionRef stop = FLock->StopLock();
  stopHeld.Set();
  retakeRefused.Wait();

  if (stopEndsFirst) {
    stop.Reset();
    EXPECT_EQ(FLock->GetCounters().CountLocks, 0);
    EXPECT_EQ(FLock->GetCounters().OwningThread, std::thread::id());
    leaveWorker.Set();
  } else {
    leaveWorker.Set();
    workerLeft.Wait();
    EXPECT_EQ(FLock->GetCounters(), Held(1, FMain, 1));
    stop.Reset();
  }
  worker.join();
  EXPECT_EQ(afterRefusedRetake, Held(1, FMain, 1, 1));
  EXPECT_EQ(FLock->GetCounters(), KIdle);
  // The lock is usable by anyone afterwards.
  std::thread later([&] { EXPECT_TRUE(FLock->WriteLock()); });
  later.join();
}

INSTANTIATE_TEST_SUITE_P(EitherOrder, OWLockUnlockAllDuringStop, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& AInfo) { return AInfo.param ? "StopEndsFirst" : "WorkerEndsFirst"; });

TEST_F(OWLock, UnlockAllLockInOrderTakesTheFirstLockBeforeTakingItsOwnBack) {
  TRefPtr<TOWLock> first = TOWLock::Create();
  TEvent firstHeld, unlocked, releaseFirst;
  TOWLockCounters firstDuringRetake, ownAfterRetake, firstAfterRetake;
  std::thread holder([&] {
    TOWLockSectionRef section = first->WriteLock();
    firstHeld.Set();
    releaseFirst.Wait();
  });
  firstHeld.Wait();
  std::thread worker([&] {
    TOWLockSectionRef section = FLock->WriteLock();
    TOWLockSectionRef unlock = FLock->UnlockAllLockInOrder(first.Get());
    unlocked.Set();
    unlock.Reset();  // waits for `first`, then takes FLock back
    ownAfterRetake = FLock->GetCounters();
    firstAfterRetake = first->GetCounters();
  });
  unlocked.Wait();
  // The worker is waiting for the first lock and has not taken its own back: it is free.
  {
    TOWLockSectionRef mine = FLock->WriteLock();
    EXPECT_EQ(FLock->GetCounters(), Held(1, FMain));
  }
  releaseFirst.Set();
  holder.join();
  worker.join();
  EXPECT_EQ(ownAfterRetake.CountLocks, 1);
  EXPECT_NE(ownAfterRetake.OwningThread, FMain);
  EXPECT_EQ(firstAfterRetake, KIdle);
  EXPECT_EQ(FLock->GetCounters(), KIdle);
}

TEST_F(OWLock, TwentyFailedAttemptsGiveUpTheCallersHoldsOnTheSlaveLockUntilTheSectionEnds) {
  TRefPtr<TOWLock> owner = FLock;         // the component's lock
  TRefPtr<TOWLock> pin = TOWLock::Create();  // a pin's lock, naming the owner's as slave
  TRecordingMonitor monitor(owner.Get());
  TEvent pinHeld;
  TOWLockCounters ownerSeenByOther;
  TOWLockSectionRef o1 = owner->WriteLock();
  TOWLockSectionRef o2 = owner->ReadLock();
  std::thread other([&] {
    TOWLockSectionRef p = pin->WriteLock();
    pinHeld.Set();
    TOWLockSectionRef o = owner->WriteLock();  // waits until the main thread lets go
    ownerSeenByOther = owner->GetCounters();
  });
  pinHeld.Wait();
  const std::size_t heapBefore = test::HeapAllocationsOfThisThread();
  TOWLockSectionRef p = pin->WriteLock(owner.Get());
  ASSERT_TRUE(p);
  other.join();
  EXPECT_EQ(ownerSeenByOther.CountLocks, 1);
  EXPECT_EQ(owner->GetCounters(), KIdle);  // given up while the pin section lives
  EXPECT_EQ(pin->GetCounters(), Held(1, FMain));

  p.Reset();
  EXPECT_EQ(test::HeapAllocationsOfThisThread(), heapBefore);
  EXPECT_EQ(owner->GetCounters(), Held(2, FMain));
  EXPECT_EQ(pin->GetCounters(), KIdle);
  o2.Reset();
  o1.Reset();
  EXPECT_EQ(owner->GetCounters(), KIdle);

  int unlockAlls = 0;
  for (const auto& [event, kind] : monitor.Events())
    if (event == TOWLockEvent::BeforeAcquire && kind == TOWLockKind::UnlockAll) ++unlockAlls;
  EXPECT_EQ(unlockAlls, 1);
}

TEST_F(OWLock, MonitorsSeeTheEventsOfGrantedAndRefusedSections) {
  TRecordingMonitor monitor(FLock.Get());
  { TOWLockSectionRef w = FLock->WriteLock(); }
  TOWLockSectionRef stop = FLock->StopLock();
  std::thread other([&] { EXPECT_FALSE(FLock->ReadLock()); });
  other.join();
  stop.Reset();
  using E = TOWLockEvent;
  using K = TOWLockKind;
  const std::vector<std::pair<E, K>> expected{
      {E::BeforeAcquire, K::Write}, {E::AfterAcquire, K::Write}, {E::BeforeRelease, K::Write},
      {E::AfterRelease, K::Write},  {E::BeforeAcquire, K::Stop}, {E::AfterAcquire, K::Stop},
      {E::BeforeAcquire, K::Read},  {E::Refused, K::Read},       {E::BeforeRelease, K::Stop},
      {E::AfterRelease, K::Stop}};
  EXPECT_EQ(monitor.Events(), expected);
}

TEST(OWLockHeap, TakingAndLeavingSectionsOfEveryKindAllocatesNothing) {
  TRefPtr<TOWLock> lock = TOWLock::Create();
  TRefPtr<TOWLock> first = TOWLock::Create();
  const std::size_t before = test::HeapAllocationsOfThisThread();
  for (int i = 0; i < 50; ++i) {
    TOWLockSectionRef write = lock->WriteLock();
    TOWLockSectionRef read = lock->ReadLock();
    TOWLockSectionRef copy = read;
    TOWLockSectionRef stop = lock->StopLock();
    { TOWLockSectionRef unlock = lock->UnlockAll(); }
    { TOWLockSectionRef unlock = lock->UnlockAllLockInOrder(first.Get()); }
  }
  EXPECT_EQ(test::HeapAllocationsOfThisThread() - before, 0u);

  TOWLockSectionRef stop = lock->StopLock();
  std::size_t refusedAllocations = 1;
  std::thread other([&] {
    const std::size_t otherBefore = test::HeapAllocationsOfThisThread();
    for (int i = 0; i < 50; ++i) {
      TOWLockSectionRef refused = lock->WriteLock();
    }
    refusedAllocations = test::HeapAllocationsOfThisThread() - otherBefore;
  });
  other.join();
  EXPECT_EQ(refusedAllocations, 0u);
}

TEST(OWLockInstance, WrappersShareALockWhenTheirInstancesAreEqual) {
  TRefPtr<TOWLock> lock = TOWLock::Create();
  IOWLock* asInterface = lock.Get();
  EXPECT_EQ(asInterface->Instance(), lock.Get());
  TRefPtr<TOWLock> other = TOWLock::Create();
  EXPECT_NE(other->Instance(), lock->Instance());
}

TEST(OWLockLifetime, ASectionKeepsItsLockAliveAfterTheLastOtherReference) {
  TRefPtr<TOWLock> lock = TOWLock::Create();
  TOWLockSectionRef section = lock->WriteLock();
  TOWLock* raw = lock.Get();
  lock.Reset();
  EXPECT_EQ(raw->GetCounters().CountLocks, 1);
  section.Reset();  // leaves and frees the lock (the sanitizer builds check the order)
}

TEST(OWLockPool, MoreLiveSectionsThanThePoolHoldsAreServedAndRecycled) {
  TRefPtr<TOWLock> lock = TOWLock::Create();
  for (int round = 0; round < 2; ++round) {
    std::vector<TOWLockSectionRef> sections;
    for (int i = 0; i < 40; ++i) sections.push_back(i % 2 ? lock->ReadLock() : lock->WriteLock());
    EXPECT_EQ(lock->GetCounters().CountLocks, 40);
    while (!sections.empty()) sections.pop_back();
    EXPECT_EQ(lock->GetCounters(), KIdle);
  }
}

// Several threads take read, write, stop and unlock-all sections of a component lock and of a
// pin lock that names it as slave, in random order. Shared data is touched only inside granted
// sections (the sanitizer build reports any overlap); every counter ends at zero.
TEST(OWLockStress, MixedSectionsOfManyThreadsKeepExclusionAndEndWithEveryCounterAtZero) {
  TRefPtr<TOWLock> owner = TOWLock::Create();
  TRefPtr<TOWLock> pin = TOWLock::Create();
  struct TShared {
    std::int64_t A = 0, B = 0;
  } ownerData, pinData;
  std::atomic<std::int64_t> ownerWrites{0}, pinWrites{0}, refusals{0};
  std::atomic<bool> broken{false};

  auto touch = [&](TShared& AData, std::atomic<std::int64_t>& ACount) {
    if (AData.A != AData.B) broken = true;
    ++AData.A;
    std::this_thread::yield();  // let the others run into the held section
    ++AData.B;
    ++ACount;
  };
  auto look = [&](const TShared& AData) {
    if (AData.A != AData.B) broken = true;
  };

  constexpr int KThreads = 6;
  constexpr int KRounds = 1500;
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < KThreads; ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      WaitUntil([&] { return ready.load() == KThreads; });
      std::minstd_rand rng(static_cast<unsigned>(t) * 7919u + 1u);
      for (int round = 0; round < KRounds; ++round) {
        switch (const unsigned op = rng() % 20; op < 3 ? 0 : op < 8 ? 1 : op < 9 ? 3 : op < 13 ? 4 : op < 16 ? 5 : op < 19 ? 6 : 7) {
          case 0: {
            if (TOWLockSectionRef r = owner->ReadLock()) look(ownerData); else ++refusals;
            break;
          }
          case 1: {
            TOWLockSectionRef w = owner->WriteLock();
            if (!w) { ++refusals; break; }
            touch(ownerData, ownerWrites);
            TOWLockSectionRef nested = owner->ReadLock();
            TOWLockSectionRef nested2 = owner->WriteLock();
            if (nested && nested2) touch(ownerData, ownerWrites);
            break;
          }
          case 3: {
            TOWLockSectionRef s = owner->StopLock();
            touch(ownerData, ownerWrites);
            if (TOWLockSectionRef nested = owner->WriteLock()) touch(ownerData, ownerWrites);
            break;
          }
          case 4: {
            // Like a pin delivering an operation: give the component lock up, then take it back.
            // After the unlock-all section the hold may have become a stop count: hands off.
            TOWLockSectionRef w = owner->WriteLock();
            if (!w) { ++refusals; break; }
            touch(ownerData, ownerWrites);
            TOWLockSectionRef nested = owner->ReadLock();
            {
              TOWLockSectionRef unlock = owner->UnlockAll();
              std::this_thread::yield();
              if (TOWLockSectionRef other = owner->WriteLock()) touch(ownerData, ownerWrites);
            }
            break;
          }
          case 5: {
            // Holding the component, take the pin naming the component as slave.
            TOWLockSectionRef o = owner->WriteLock();
            if (!o) { ++refusals; break; }
            touch(ownerData, ownerWrites);
            if (TOWLockSectionRef p = pin->WriteLock(owner.Get())) touch(pinData, pinWrites);
            break;
          }
          case 6: {
            // Holding the pin, take the component (the opposite order).
            TOWLockSectionRef p = pin->WriteLock();
            if (!p) { ++refusals; break; }
            touch(pinData, pinWrites);
            if (TOWLockSectionRef o = owner->WriteLock()) touch(ownerData, ownerWrites);
            break;
          }
          case 7: {
            TOWLockSectionRef s = pin->StopLock();
            touch(pinData, pinWrites);
            break;
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_FALSE(broken);
  EXPECT_EQ(ownerData.A, ownerWrites.load());
  EXPECT_EQ(pinData.A, pinWrites.load());
  EXPECT_GT(ownerWrites.load(), 0);
  EXPECT_GT(pinWrites.load(), 0);
  EXPECT_EQ(owner->GetCounters(), KIdle);
  EXPECT_EQ(pin->GetCounters(), KIdle);
}

}  // namespace
}  // namespace portwise

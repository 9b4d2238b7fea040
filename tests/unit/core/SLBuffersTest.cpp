#include "core/SLBuffers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/sim/SimPlatform.h"

namespace portwise {
namespace {

// The pool is shared by the whole test process; each test works in a size class of its own that
// nothing else uses, and starts it empty.
class SLBufferPool : public ::testing::Test {
 protected:
  TSLSmartBufferManager& Pool = TSLSmartBufferManager::Instance();

  void Drain(std::uint32_t capacity) {
    while (Pool.HasSizeClass(capacity)) Pool.Trim();
  }
};

TEST(SLBlockCapacity, IsTheSmallestPowerOfTwoFromFourUpToTwoToTheThirty) {
  struct {
    std::uint64_t Request;
    std::uint32_t Capacity;
  } cases[] = {{0, 4},        {1, 4},        {4, 4},          {5, 8},          {40, 64},
               {4136, 8192},  {8192, 8192},  {8193, 16384},   {0x40000000, 0x40000000},
               {0x40000001, 0}, {0xFFFFFFFFull, 0}, {0x100000000ull, 0}};
  for (auto& c : cases) EXPECT_EQ(SLBlockCapacity(c.Request), c.Capacity) << c.Request;
}

TEST_F(SLBufferPool, RefusesABlockAboveTheLargestCapacityWithOutOfMemory) {
  std::int64_t heapBefore = Pool.HeapBlocks();
  try {
    TALSmartAudioBuffer block(std::uint64_t{0x40000000} + 1);
    FAIL() << "a short block was served";
  } catch (const ESLOutOfMemory& e) {
    EXPECT_STREQ(e.what(), "Out of memory");
  }
  EXPECT_EQ(Pool.HeapBlocks(), heapBefore);
}

TEST_F(SLBufferPool, HandsOutBlocksOnThirtyTwoByteBoundaries) {
  for (std::uint32_t capacity : {4u, 8u, 64u, 1024u, 65536u}) {
    std::vector<void*> blocks;
    for (int i = 0; i < 5; ++i) {
      void* p = Pool.Allocate(capacity);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 32, 0u) << capacity;
      std::memset(p, 0xA5, capacity);  // the whole capacity is usable
      blocks.push_back(p);
    }
    for (void* p : blocks) Pool.Deallocate(p, capacity);
  }
}

TEST_F(SLBufferPool, GivesNoBlockForZeroBytes) { EXPECT_EQ(Pool.Allocate(0), nullptr); }

TEST_F(SLBufferPool, ReusesTheMostRecentlyFreedBlockOfTheSameCapacity) {
  constexpr std::uint32_t KCap = 1u << 21;
  Drain(KCap);
  void* a = Pool.Allocate(KCap);
  void* b = Pool.Allocate(KCap);
  std::int64_t heap = Pool.HeapBlocks();
  Pool.Deallocate(a, KCap);
  Pool.Deallocate(b, KCap);
  EXPECT_EQ(Pool.Allocate(KCap), b);
  EXPECT_EQ(Pool.Allocate(KCap), a);
  EXPECT_EQ(Pool.HeapBlocks(), heap);
  Pool.Deallocate(a, KCap);
  Pool.Deallocate(b, KCap);
  Drain(KCap);
}

TEST_F(SLBufferPool, SetsTheCountdownToTheFreeBlocksPlusEight) {
  constexpr std::uint32_t KCap = 1u << 22;
  Drain(KCap);
  void* a = Pool.Allocate(KCap);  // free blocks before: 0
  EXPECT_EQ(Pool.Countdown(KCap), 8u);
  void* b = Pool.Allocate(KCap);
  Pool.Deallocate(a, KCap);  // free blocks after: 1
  EXPECT_EQ(Pool.Countdown(KCap), 9u);
  Pool.Deallocate(b, KCap);
  EXPECT_EQ(Pool.Countdown(KCap), 10u);
  void* c = Pool.Allocate(KCap);  // counted before the allocation: 2
  EXPECT_EQ(Pool.Countdown(KCap), 10u);
  EXPECT_EQ(Pool.FreeBlocks(KCap), 1u);
  Pool.Deallocate(c, KCap);
  Drain(KCap);
}

TEST_F(SLBufferPool, TrimsAQuietSizeClassDownAndThenDropsIt) {
  constexpr std::uint32_t KCap = 1u << 23;
  Pool.ReleaseAll();  // the trims below work on every class: start with no spares anywhere
  std::int64_t heapBefore = Pool.HeapBlocks();
  std::vector<void*> blocks;
  for (int i = 0; i < 12; ++i) blocks.push_back(Pool.Allocate(KCap));
  for (void* p : blocks) Pool.Deallocate(p, KCap);
  ASSERT_EQ(Pool.Countdown(KCap), 20u);
  ASSERT_EQ(Pool.FreeBlocks(KCap), 12u);

  // Countdown after each trim, and the spares that remain: never more than the countdown.
  for (std::uint32_t step = 1; step < 20; ++step) {
    Pool.Trim();
    std::uint32_t countdown = 20 - step;
    ASSERT_TRUE(Pool.HasSizeClass(KCap)) << step;
    EXPECT_EQ(Pool.Countdown(KCap), countdown);
    EXPECT_EQ(Pool.FreeBlocks(KCap), std::min<std::size_t>(12, countdown)) << step;
  }
  Pool.Trim();
  EXPECT_FALSE(Pool.HasSizeClass(KCap));
  EXPECT_EQ(Pool.HeapBlocks(), heapBefore);
}

TEST_F(SLBufferPool, KeepsABusySizeClassWithItsSpares) {
  constexpr std::uint32_t KCap = 1u << 24;
  Drain(KCap);
  std::vector<void*> blocks;
  for (int i = 0; i < 16; ++i) blocks.push_back(Pool.Allocate(KCap));
  for (void* p : blocks) Pool.Deallocate(p, KCap);
  // One buffer per trim period resets the countdown each time: nothing is given back.
  for (int tick = 0; tick < 100; ++tick) {
    Pool.Deallocate(Pool.Allocate(KCap), KCap);
    Pool.Trim();
  }
  EXPECT_TRUE(Pool.HasSizeClass(KCap));
  EXPECT_EQ(Pool.FreeBlocks(KCap), 16u);
  // Quiet from now on: the spares go within the countdown.
  for (int tick = 0; tick < 15; ++tick) Pool.Trim();  // countdown 23 -> 8
  EXPECT_EQ(Pool.FreeBlocks(KCap), 8u);
  Drain(KCap);
}

TEST_F(SLBufferPool, HandsNoBlockToTwoThreadsAtOnce) {
  constexpr std::uint32_t KCap = 256;
  std::atomic<bool> bClash{false};
  auto worker = [&](std::uint8_t tag) {
    std::vector<std::uint8_t*> held;
    for (int i = 0; i < 2000; ++i) {
      auto* p = static_cast<std::uint8_t*>(Pool.Allocate(KCap));
      std::memset(p, tag, KCap);
      held.push_back(p);
      if (held.size() == 4 || i % 7 == 0) {
        for (std::uint8_t* q : held) {
          for (std::uint32_t k = 0; k < KCap; ++k)
            if (q[k] != tag) bClash = true;
          Pool.Deallocate(q, KCap);
        }
        held.clear();
      }
    }
    for (std::uint8_t* q : held) Pool.Deallocate(q, KCap);
  };
  std::thread t1(worker, 1), t2(worker, 2), t3(worker, 3);
  for (int i = 0; i < 50; ++i) Pool.Trim();
  t1.join();
  t2.join();
  t3.join();
  EXPECT_FALSE(bClash);
}

TEST_F(SLBufferPool, TrimsOnTheMainThreadTimerEveryTwoHundredMilliseconds) {
  platform::sim::TSimPlatform sim;
  sim.SetVirtualTime(true);
  constexpr std::uint32_t KCap = 1u << 25;
  Drain(KCap);
  std::size_t windowsBefore = sim.HiddenWindowCount();
  {
    TSLSmartBufferTrimTimer timer;
    EXPECT_TRUE(Pool.TrimTimerAttached());
    EXPECT_EQ(sim.HiddenWindowCount(), windowsBefore + 1);
    Pool.Deallocate(Pool.Allocate(KCap), KCap);
    ASSERT_EQ(Pool.Countdown(KCap), 9u);

    sim.AdvanceTicks(199);
    sim.ProcessMessages();
    EXPECT_EQ(Pool.Countdown(KCap), 9u);
    sim.AdvanceTicks(1);
    sim.ProcessMessages();
    EXPECT_EQ(Pool.Countdown(KCap), 8u);
    for (int i = 0; i < 8; ++i) {
      sim.AdvanceTicks(200);
      sim.ProcessMessages();
    }
    EXPECT_FALSE(Pool.HasSizeClass(KCap));
  }
  // Detached: the platform no longer drives the pool.
  EXPECT_FALSE(Pool.TrimTimerAttached());
  EXPECT_EQ(sim.HiddenWindowCount(), windowsBefore);
  Pool.Deallocate(Pool.Allocate(KCap), KCap);
  sim.AdvanceTicks(1000);
  sim.ProcessMessages();
  EXPECT_EQ(Pool.Countdown(KCap), 9u);
  Drain(KCap);
}

TEST_F(SLBufferPool, AcceptsOneTrimTimerAtATime) {
  platform::sim::TSimPlatform sim;
  TSLSmartBufferTrimTimer timer;
  EXPECT_THROW(TSLSmartBufferTrimTimer second, std::logic_error);
  EXPECT_TRUE(Pool.TrimTimerAttached());
}

TEST_F(SLBufferPool, AttachesTheTrimTimerToEachNewPlatformInTurn) {
  for (int round = 0; round < 2; ++round) {
    platform::sim::TSimPlatform sim;
    sim.SetVirtualTime(true);
    constexpr std::uint32_t KCap = 1u << 26;
    Drain(KCap);
    TSLSmartBufferTrimTimer timer;
    Pool.Deallocate(Pool.Allocate(KCap), KCap);
    sim.AdvanceTicks(200);
    sim.ProcessMessages();
    EXPECT_EQ(Pool.Countdown(KCap), 8u) << round;
    Drain(KCap);
  }
}

// ------------------------------------------------------------------ storage blocks

TEST(SLSmartBuffer, FreesItsMemoryIntoThePoolWhenTheLastTransportGoes) {
  TSLSmartBufferManager& pool = TSLSmartBufferManager::Instance();
  constexpr std::uint32_t KCap = 1u << 20;
  while (pool.HasSizeClass(KCap)) pool.Trim();
  auto* block = new TALSmartAudioBuffer(KCap - 100);
  EXPECT_EQ(block->GetAllocatedSize(), KCap);
  block->AddReference(true);
  block->AddReference(false);
  EXPECT_EQ(block->CountOwners(), 1);
  EXPECT_EQ(block->CountTransports(), 2);
  block->ReleaseReference(false);
  EXPECT_EQ(pool.FreeBlocks(KCap), 0u);
  EXPECT_EQ(block->CountTransports(), 1);
  block->ReleaseReference(true);
  EXPECT_EQ(pool.FreeBlocks(KCap), 1u);
  while (pool.HasSizeClass(KCap)) pool.Trim();
}

TEST(SLSmartBuffer, IgnoresAReleaseWithoutTransportsAndNeverCountsOwnersBelowZero) {
  auto* block = new TALSmartAudioBuffer(64);
  block->ReleaseReference(true);  // nothing to release: the block stays
  EXPECT_EQ(block->CountTransports(), 0);
  block->AddReference(false);
  block->AddReference(false);
  block->ReleaseReference(true);  // an owner release on a block without owners
  EXPECT_EQ(block->CountOwners(), 0);
  EXPECT_EQ(block->CountTransports(), 1);
  block->RemoveOwner();
  EXPECT_EQ(block->CountOwners(), 0);
  block->ReleaseReference(false);
}

TEST(SLSmartBuffer, ClonesHeaderAndTimeStampsButNotTheSequenceNumber) {
  auto* block = new TALSmartAudioBuffer(200);
  block->AddReference(true);
  for (std::uint32_t i = 0; i < 200; ++i) block->GetDataPtr()[i] = static_cast<std::uint8_t>(i);
  block->SetTimeStamp(1000, 2000);
  block->SetBufferNumber(77);
  TALSmartAudioBuffer* clone = block->Clone(40);
  clone->AddReference(true);
  EXPECT_EQ(clone->GetAllocatedSize(), block->GetAllocatedSize());
  EXPECT_EQ(std::memcmp(clone->GetDataPtr(), block->GetDataPtr(), 40), 0);
  TMLTimeStampValue stamp = clone->GetTimeStamp();
  EXPECT_TRUE(stamp.bAvailable);
  EXPECT_EQ(stamp.Begin, 1000);
  EXPECT_EQ(stamp.End, 2000);
  EXPECT_FALSE(clone->GetBufferNumberAvailable());
  EXPECT_EQ(clone->CountOwners(), 1);
  clone->ReleaseReference(true);
  block->ReleaseReference(true);
}

TEST(SLSmartBuffer, CountsReferencesFromManyThreadsExactly) {
  auto* block = new TALSmartAudioBuffer(64);
  block->AddReference(true);  // kept by the test
  auto worker = [block] {
    for (int i = 0; i < 5000; ++i) {
      block->AddReference(i % 2 == 0);
      block->ReleaseReference(i % 2 == 0);
    }
  };
  std::thread a(worker), b(worker), c(worker);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(block->CountTransports(), 1);
  EXPECT_EQ(block->CountOwners(), 1);
  block->ReleaseReference(true);
}

}  // namespace
}  // namespace portwise

#include "gen/SLInterfaceQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace portwise {
namespace {

// A reference-counted item that tells how many references it has and when it is gone.
class TItem final : public ISLUnknown {
 public:
  TItem(int AValue, std::atomic<int>& ALive) : Value(AValue), FLive(ALive) { ++FLive; }
  void AddRef() noexcept override { FRefs.Increment(); }
  void Release() noexcept override {
    if (FRefs.Decrement()) delete this;
  }
  std::int32_t Refs() const { return FRefs.Value(); }
  const int Value;

 private:
  ~TItem() override { --FLive; }
  TSLRefCount FRefs;
  std::atomic<int>& FLive;
};

int ValueOf(const TRefPtr<ISLUnknown>& p) { return static_cast<TItem*>(p.Get())->Value; }

TEST(InterfaceQueueTest, PopsInPushOrderAndAnEmptyQueueGivesAnEmptyReference) {
  std::atomic<int> live{0};
  TRefPtr<ISLInterfaceQueue> q = TSLInterfaceQueue::Create();
  EXPECT_TRUE(q->IsEmpty());
  for (int i = 0; i < 3; ++i) q->Push(TRefPtr<ISLUnknown>(new TItem(i, live)));
  EXPECT_FALSE(q->IsEmpty());
  TRefPtr<ISLUnknown> item;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(q->Pop(item));
    EXPECT_EQ(ValueOf(item), i);
  }
  EXPECT_TRUE(q->IsEmpty());
  EXPECT_FALSE(q->Pop(item));
  EXPECT_FALSE(item);
  EXPECT_EQ(live.load(), 0);
  q->Push(TRefPtr<ISLUnknown>(new TItem(9, live)));  // usable again after running dry
  ASSERT_TRUE(q->Pop(item));
  EXPECT_EQ(ValueOf(item), 9);
}

TEST(InterfaceQueueTest, HoldsOneReferencePerQueuedItemAndReleasesThemOnClearAndAtTheEnd) {
  std::atomic<int> live{0};
  TRefPtr<ISLUnknown> kept(new TItem(1, live));
  {
    TRefPtr<ISLInterfaceQueue> q = TSLInterfaceQueue::Create();
    q->Push(kept);
    q->Push(kept);
    EXPECT_EQ(static_cast<TItem*>(kept.Get())->Refs(), 3);
    q->Clear();
    EXPECT_TRUE(q->IsEmpty());
    EXPECT_EQ(static_cast<TItem*>(kept.Get())->Refs(), 1);
    q->Push(kept);
    q->Push(TRefPtr<ISLUnknown>(new TItem(2, live)));
    EXPECT_EQ(live.load(), 2);
  }
  EXPECT_EQ(static_cast<TItem*>(kept.Get())->Refs(), 1);
  EXPECT_EQ(live.load(), 1);
}

TEST(InterfaceQueueTest, OnePusherAndOnePopperLoseAndReorderNothing) {
  std::atomic<int> live{0};
  TRefPtr<ISLInterfaceQueue> q = TSLInterfaceQueue::Create();
  constexpr int kItems = 20000;
  std::thread pusher([&] {
    for (int i = 0; i < kItems; ++i) q->Push(TRefPtr<ISLUnknown>(new TItem(i, live)));
  });
  int expected = 0;
  TRefPtr<ISLUnknown> item;
  for (long spins = 0; expected < kItems && spins < 100000000; ++spins) {
    if (!q->Pop(item)) continue;
    ASSERT_EQ(ValueOf(item), expected);
    ++expected;
  }
  pusher.join();
  item.Reset();
  EXPECT_EQ(expected, kItems);
  EXPECT_EQ(live.load(), 0);
}

}  // namespace
}  // namespace portwise

// The process-wide callback slots: the lowest free slot binds, 101 of them, and each slot's entry
// points reach its own target only while it is bound.
#include <gtest/gtest.h>

#include <vector>

#include "asio/ALASIOCallbackEntries.h"
#include "AsioTestSupport.h"

namespace portwise {
namespace {

using asiotest::FreeSlots;
using asiotest::TRecordingTarget;

TEST(ALASIOCallbackEntries, TheLowestFreeSlotBindsAndAFreedOneIsTakenFirst) {
  TRecordingTarget a, b, c, d;
  TASIOCallbacks* ca = nullptr;
  TASIOCallbacks* cb = nullptr;
  TASIOCallbacks* cc = nullptr;
  TASIOCallbacks* cd = nullptr;
  ASSERT_EQ(ALASIOCallbackEntries::Bind(&a, &ca), 0);
  ASSERT_EQ(ALASIOCallbackEntries::Bind(&b, &cb), 1);
  ASSERT_EQ(ALASIOCallbackEntries::Bind(&c, &cc), 2);
  ALASIOCallbackEntries::Unbind(1);
  EXPECT_EQ(ALASIOCallbackEntries::Bind(&d, &cd), 1);
  EXPECT_EQ(cd, cb);  // a slot's record never changes
  EXPECT_NE(ca, cb);
  for (int i : {0, 1, 2}) ALASIOCallbackEntries::Unbind(i);
}

TEST(ALASIOCallbackEntries, HundredAndOneSlotsThenNoneAndNoRecord) {
  EXPECT_EQ(ALASIOCallbackEntries::kSlotCount, 101);
  TRecordingTarget target;
  std::vector<int> bound;
  TASIOCallbacks* callbacks = nullptr;
  for (int i = 0; i < 101; ++i) {
    bound.push_back(ALASIOCallbackEntries::Bind(&target, &callbacks));
    ASSERT_EQ(bound.back(), i);
    ASSERT_NE(callbacks, nullptr);
  }
  EXPECT_EQ(ALASIOCallbackEntries::Bind(&target, &callbacks), -1);
  EXPECT_EQ(callbacks, nullptr);
  for (int i : bound) ALASIOCallbackEntries::Unbind(i);
  EXPECT_EQ(FreeSlots(), 101);
}

TEST(ALASIOCallbackEntries, EntryPointsReachTheirOwnTargetOnlyWhileBound) {
  TRecordingTarget first, second;
  TASIOCallbacks* r1 = nullptr;
  TASIOCallbacks* r2 = nullptr;
  const int s1 = ALASIOCallbackEntries::Bind(&first, &r1);
  const int s2 = ALASIOCallbackEntries::Bind(&second, &r2);
  ASSERT_GE(s1, 0);
  ASSERT_GE(s2, 0);
  TASIOTime time{};
  r2->bufferSwitch(1, 0);
  r2->sampleRateDidChange(48000);
  EXPECT_EQ(r2->asioMessage(5, 3, nullptr, nullptr), 77);
  EXPECT_EQ(r2->bufferSwitchTimeInfo(&time, 0, 1), &time);
  EXPECT_EQ(second.Events, "switch 1 0;rate 48000;message 5 3;timeinfo 0;");
  EXPECT_EQ(first.Events, "");

  ALASIOCallbackEntries::Unbind(s2);
  r2->bufferSwitch(0, 1);
  EXPECT_EQ(r2->asioMessage(2, 0, nullptr, nullptr), 0);
  EXPECT_EQ(r2->bufferSwitchTimeInfo(&time, 0, 1), nullptr);
  EXPECT_EQ(second.Events, "switch 1 0;rate 48000;message 5 3;timeinfo 0;");
  ALASIOCallbackEntries::Unbind(s1);
}

}  // namespace
}  // namespace portwise

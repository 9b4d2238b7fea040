#include "asio/ALASIOCallbackEntries.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace portwise {
namespace {

using namespace std::chrono_literals;
namespace Entries = ALASIOCallbackEntries;

// Records every call with its arguments; optionally runs a hook inside the buffer switch.
class TRecordingTarget : public IALASIOCallbackTarget {
 public:
  virtual ~TRecordingTarget() = default;

  void ASIOBufferSwitch(std::int32_t index, TASIOBool directProcess) override {
    ++Switches;
    LastIndex = index;
    LastDirect = directProcess;
    if (OnSwitch) OnSwitch();
  }
  void ASIOSampleRateDidChange(TASIOSampleRate rate) override { LastRate = rate; }
  std::int32_t ASIOMessage(std::int32_t selector, std::int32_t value, void* message, double* opt) override {
    LastSelector = selector;
    LastMessage = message;
    LastOpt = opt;
    return value * 10;
  }
  TASIOTime* ASIOBufferSwitchTimeInfo(TASIOTime* params, std::int32_t index, TASIOBool directProcess) override {
    LastTimeInfo = params;
    LastIndex = index;
    LastDirect = directProcess;
    return params;
  }

  std::atomic<int> Switches{0};
  std::int32_t LastIndex = -1, LastDirect = -1, LastSelector = 0;
  double LastRate = 0;
  void* LastMessage = nullptr;
  double* LastOpt = nullptr;
  TASIOTime* LastTimeInfo = nullptr;
  std::function<void()> OnSwitch;
};

// The table is one per process: every test gives back what it bound.
class ALASIOCallbackEntriesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int index : bound) Entries::Unbind(index);
  }
  int Bind(IALASIOCallbackTarget* target, TASIOCallbacks** callbacks = nullptr) {
    TASIOCallbacks* ignored = nullptr;
    const int index = Entries::Bind(target, callbacks ? callbacks : &ignored);
    if (index >= 0) bound.insert(index);
    return index;
  }
  void Unbind(int index) {
    Entries::Unbind(index);
    bound.erase(index);
  }
  std::set<int> bound;
};

TEST_F(ALASIOCallbackEntriesTest, SlotsBindFromZeroAndAGapIsFilledFirst) {
  TRecordingTarget a, b, c, d;
  EXPECT_EQ(Bind(&a), 0);
  EXPECT_EQ(Bind(&b), 1);
  EXPECT_EQ(Bind(&c), 2);
  Unbind(1);
  EXPECT_EQ(Bind(&d), 1);
  EXPECT_EQ(Bind(&b), 3);
}

TEST_F(ALASIOCallbackEntriesTest, AllHundredAndOneSlotsBindAndTheNextBindingFails) {
  std::vector<TRecordingTarget> targets(Entries::kSlotCount + 1);
  std::set<TASIOCallbacks*> records;
  for (int i = 0; i < Entries::kSlotCount; ++i) {
    TASIOCallbacks* callbacks = nullptr;
    ASSERT_EQ(Bind(&targets[static_cast<std::size_t>(i)], &callbacks), i);
    ASSERT_NE(callbacks, nullptr);
    EXPECT_EQ(callbacks, Entries::Callbacks(i));
    records.insert(callbacks);
  }
  EXPECT_EQ(records.size(), static_cast<std::size_t>(Entries::kSlotCount));

  TASIOCallbacks* none = reinterpret_cast<TASIOCallbacks*>(&records);
  EXPECT_EQ(Entries::Bind(&targets.back(), &none), -1);
  EXPECT_EQ(none, nullptr);

  Unbind(57);
  TASIOCallbacks* again = nullptr;
  EXPECT_EQ(Bind(&targets.back(), &again), 57);
  EXPECT_EQ(again, Entries::Callbacks(57));
}

TEST_F(ALASIOCallbackEntriesTest, EachSlotsEntryPointsReachItsOwnTargetWithTheArguments) {
  TRecordingTarget targets[3];
  TASIOCallbacks* records[3];
  for (int i = 0; i < 3; ++i) ASSERT_GE(Bind(&targets[i], &records[i]), 0);

  int message = 0;
  double opt = 0;
  TASIOTime time{};
  records[1]->bufferSwitch(1, 1);
  records[1]->sampleRateDidChange(48000.0);
  EXPECT_EQ(records[1]->asioMessage(kAsioEngineVersion, 7, &message, &opt), 70);
  EXPECT_EQ(records[2]->bufferSwitchTimeInfo(&time, 0, 0), &time);

  EXPECT_EQ(targets[1].Switches.load(), 1);
  EXPECT_EQ(targets[1].LastRate, 48000.0);
  EXPECT_EQ(targets[1].LastSelector, kAsioEngineVersion);
  EXPECT_EQ(targets[1].LastMessage, &message);
  EXPECT_EQ(targets[1].LastOpt, &opt);
  EXPECT_EQ(targets[1].LastIndex, 1);
  EXPECT_EQ(targets[1].LastDirect, 1);
  EXPECT_EQ(targets[2].LastTimeInfo, &time);
  EXPECT_EQ(targets[2].LastIndex, 0);
  EXPECT_EQ(targets[2].LastDirect, 0);
  EXPECT_EQ(targets[0].Switches.load(), 0);
  EXPECT_EQ(targets[0].LastSelector, 0);
  EXPECT_EQ(targets[0].LastTimeInfo, nullptr);
}

TEST_F(ALASIOCallbackEntriesTest, EntryPointsOfAFreeSlotDoNothingAndAnswerZeroOrNull) {
  TRecordingTarget target;
  TASIOCallbacks* callbacks = nullptr;
  const int index = Bind(&target, &callbacks);
  ASSERT_GE(index, 0);
  Unbind(index);

  TASIOTime time{};
  callbacks->bufferSwitch(0, 1);
  callbacks->sampleRateDidChange(44100.0);
  EXPECT_EQ(callbacks->asioMessage(kAsioSelectorSupported, 2, nullptr, nullptr), 0);
  EXPECT_EQ(callbacks->bufferSwitchTimeInfo(&time, 0, 1), nullptr);
  EXPECT_EQ(target.Switches.load(), 0);
  EXPECT_EQ(target.LastRate, 0.0);
  EXPECT_EQ(target.LastTimeInfo, nullptr);

  TASIOCallbacks* last = Entries::Callbacks(Entries::kSlotCount - 1);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->asioMessage(kAsioEngineVersion, 0, nullptr, nullptr), 0);
  EXPECT_EQ(last->bufferSwitchTimeInfo(&time, 1, 0), nullptr);
  EXPECT_EQ(Entries::Callbacks(Entries::kSlotCount), nullptr);
  EXPECT_EQ(Entries::Callbacks(-1), nullptr);
}

TEST_F(ALASIOCallbackEntriesTest, UnbindWaitsForAHandlerStillRunningInTheSlot) {
  TRecordingTarget target;
  std::mutex m;
  std::condition_variable cv;
  bool bRelease = false;
  std::atomic<bool> bEntered{false};
  target.OnSwitch = [&] {
    bEntered = true;
    std::unique_lock lk(m);
    cv.wait_for(lk, 10s, [&] { return bRelease; });
  };
  TASIOCallbacks* callbacks = nullptr;
  const int index = Bind(&target, &callbacks);
  ASSERT_GE(index, 0);

  std::thread driver([&] { callbacks->bufferSwitch(0, 1); });
  for (int i = 0; i < 5000 && !bEntered; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(bEntered);

  auto unbinding = std::async(std::launch::async, [&] { Unbind(index); });
  EXPECT_EQ(unbinding.wait_for(100ms), std::future_status::timeout) << "returned while the handler ran";
  callbacks->bufferSwitch(1, 1);  // arrives after the unbinding began: not delivered
  {
    std::lock_guard g(m);
    bRelease = true;
  }
  cv.notify_all();
  EXPECT_EQ(unbinding.wait_for(10s), std::future_status::ready);
  driver.join();
  EXPECT_EQ(target.Switches.load(), 1);
}

TEST_F(ALASIOCallbackEntriesTest, UnbindFromInsideAHandlerOfItsOwnSlotDoesNotWaitForItself) {
  TRecordingTarget target;
  TASIOCallbacks* callbacks = nullptr;
  const int index = Bind(&target, &callbacks);
  ASSERT_GE(index, 0);
  target.OnSwitch = [&] { Entries::Unbind(index); };
  auto call = std::async(std::launch::async, [&] { callbacks->bufferSwitch(0, 0); });
  ASSERT_EQ(call.wait_for(10s), std::future_status::ready);
  bound.erase(index);
  TRecordingTarget next;
  EXPECT_EQ(Bind(&next), index);
}

TEST_F(ALASIOCallbackEntriesTest, ATargetIsNeverCalledOnceItsUnbindHasReturned) {
  // A driver thread calls the slot's entry points without pause while the owner binds a fresh
  // target, unbinds it and retires it, over and over. A retired target must see no call; retired
  // targets are kept alive so that a late call is counted rather than undefined.
  struct TCheckedTarget : TRecordingTarget {
    std::atomic<bool> bRetired{false};
    std::atomic<int>* Violations = nullptr;
    void ASIOBufferSwitch(std::int32_t, TASIOBool) override {
      // Still looking at the target a little after the call began: Unbind must wait for this.
      for (int i = 0; i < 200; ++i)
        if (bRetired) {
          ++*Violations;
          return;
        }
    }
  };
  std::atomic<int> violations{0};
  std::atomic<bool> bStop{false};
  std::atomic<TASIOCallbacks*> record{Entries::Callbacks(0)};
  TRecordingTarget placeholder;
  const int first = Bind(&placeholder);
  ASSERT_GE(first, 0);
  record = Entries::Callbacks(first);
  Unbind(first);

  std::atomic<long> calls{0};
  std::thread driver([&] {
    while (!bStop) {
      record.load()->bufferSwitch(0, 1);
      ++calls;
    }
  });
  for (int i = 0; i < 5000 && calls.load() == 0; ++i) std::this_thread::sleep_for(1ms);
  std::vector<std::unique_ptr<TCheckedTarget>> retired;
  const long before = calls.load();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (int round = 0; round < 500 || (calls.load() - before < 1000 && std::chrono::steady_clock::now() < deadline);
       ++round) {
    auto target = std::make_unique<TCheckedTarget>();
    target->Violations = &violations;
    const int index = Bind(target.get());
    if (index != first) {
      ADD_FAILURE() << "bound slot " << index << " instead of " << first;
      Unbind(index);
      break;
    }
    std::this_thread::yield();
    Unbind(index);
    target->bRetired = true;
    retired.push_back(std::move(target));
  }
  bStop = true;
  driver.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_GE(calls.load() - before, 1000);
}

}  // namespace
}  // namespace portwise

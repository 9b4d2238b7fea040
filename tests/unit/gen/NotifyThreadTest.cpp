#include "gen/SLNotifyThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/sim/SimPlatform.h"

namespace portwise {
namespace {

using platform::sim::TSimPlatform;
using namespace std::chrono_literals;

template <class P>
bool Eventually(P pred) {
  for (int i = 0; i < 5000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return pred();
}

// An operation that can be held inside, so wake-ups pile up behind it.
struct TGate {
  std::mutex M;
  std::condition_variable C;
  bool bOpen = true;
  std::atomic<int> Entered{0}, Done{0};
  void Pass() {
    ++Entered;
    std::unique_lock lk(M);
    C.wait_for(lk, 10s, [&] { return bOpen; });
    ++Done;
  }
  void Close() {
    std::lock_guard g(M);
    bOpen = false;
  }
  void Open() {
    {
      std::lock_guard g(M);
      bOpen = true;
    }
    C.notify_all();
  }
};

class TOwner : public TLPComponent {
 public:
  using TLPComponent::TLPComponent;
};

class NotifyThreadTest : public ::testing::Test {
 protected:
  TSimPlatform sim;
  TGate gate;
};

TEST_F(NotifyThreadTest, RunsTheOperationOncePerNotifyWithItselfAsSender) {
  std::atomic<int> runs{0};
  std::atomic<TObject*> sender{nullptr};
  std::atomic<std::thread::id> where{};
  TOwner owner(nullptr);
  owner.SetName("ASIO1");
  TSLNotifyThread thread(&owner, [&](TObject* s) {
    sender = s;
    where = std::this_thread::get_id();
    ++runs;
  });
  EXPECT_EQ(thread.Name(), "ASIO1.TSLNotifyThread");
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(runs.load(), 0) << "ran without a notification";
  for (int i = 0; i < 3; ++i) thread.Notify();
  ASSERT_TRUE(Eventually([&] { return runs.load() == 3; }));
  EXPECT_EQ(sender.load(), &thread);
  EXPECT_EQ(sim.ThreadName(where.load()), "ASIO1.TSLNotifyThread");
  EXPECT_EQ(sim.ThreadPriority(where.load()), platform::EThreadPriority::Highest);
}

TEST_F(NotifyThreadTest, AnUnnamedOwnerLendsItsClassName) {
  TOwner owner(nullptr);
  TSLNotifyThread thread(&owner, nullptr);
  EXPECT_EQ(thread.Name(), "TOwner.TSLNotifyThread");
}

TEST_F(NotifyThreadTest, WakeUpsDuringARunAreKeptUpToTwoThousand) {
  gate.Close();
  TSLNotifyThread thread(nullptr, [&](TObject*) { gate.Pass(); });
  thread.Notify();
  ASSERT_TRUE(Eventually([&] { return gate.Entered.load() == 1; }));
  for (int i = 0; i < 2500; ++i) thread.Notify();
  EXPECT_EQ(thread.PendingNotifications(), 2000);
  gate.Open();
  ASSERT_TRUE(Eventually([&] { return gate.Done.load() == 2001; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(gate.Done.load(), 2001);
}

TEST_F(NotifyThreadTest, TerminateLetsTheRunningOperationFinishAndDropsPendingWakeUps) {
  gate.Close();
  TSLNotifyThread thread(nullptr, [&](TObject*) { gate.Pass(); });
  thread.Notify();
  ASSERT_TRUE(Eventually([&] { return gate.Entered.load() == 1; }));
  for (int i = 0; i < 2000; ++i) thread.Notify();  // the semaphore is full: Terminate's count is lost
  auto terminating = std::async(std::launch::async, [&] { thread.Terminate(); });
  EXPECT_EQ(terminating.wait_for(50ms), std::future_status::timeout) << "did not wait for the thread";
  gate.Open();
  ASSERT_EQ(terminating.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(thread.GetTerminated());
  EXPECT_EQ(gate.Done.load(), 1);
  thread.Notify();  // harmless after the end
  thread.Terminate();
}

TEST_F(NotifyThreadTest, TerminateFromInsideTheOperationReturnsAndTheThreadEnds) {
  std::unique_ptr<TSLNotifyThread> thread;
  std::atomic<int> runs{0};
  std::promise<void> returned;
  thread = std::make_unique<TSLNotifyThread>(nullptr, [&](TObject* s) {
    ++runs;
    static_cast<TSLNotifyThread*>(s)->Terminate();
    returned.set_value();
  });
  thread->Notify();
  thread->Notify();
  ASSERT_EQ(returned.get_future().wait_for(10s), std::future_status::ready);
  auto destroying = std::async(std::launch::async, [&] { thread.reset(); });
  ASSERT_EQ(destroying.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(runs.load(), 1);
}

TEST_F(NotifyThreadTest, ItsOwnOperationMayDestroyIt) {
  std::promise<void> destroyed;
  TSLNotifyThread* raw = nullptr;
  raw = new TSLNotifyThread(nullptr, [&](TObject*) {
    delete raw;
    destroyed.set_value();
  });
  raw->Notify();
  EXPECT_EQ(destroyed.get_future().wait_for(10s), std::future_status::ready);
}

}  // namespace
}  // namespace portwise

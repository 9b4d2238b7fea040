// Hidden windows, posted messages, window timers, waiting and the message loop.
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/win32/SeamWorld.h"

namespace portwise::test {
namespace {

using platform::THiddenWindow;

constexpr std::uint32_t kMsg = platform::WM_APP_MSG + 7;

struct TReceived {
  std::uint32_t Msg;
  std::uintptr_t WParam;
  std::intptr_t LParam;
  bool bOnMain;
  friend bool operator==(const TReceived&, const TReceived&) = default;
};

class MessagesContract : public TSeamTest {
 protected:
  THiddenWindow Recording() {
    return Msgs().CreateHiddenWindow([this](std::uint32_t m, std::uintptr_t w, std::intptr_t l) {
      Got.push_back({m, w, l, Msgs().IsMainThread()});
      return true;
    });
  }
  std::vector<TReceived> Got;
};

TEST_P(MessagesContract, PostedMessagesArriveInOrderOnTheMainThread) {
  THiddenWindow w = Recording();
  ASSERT_NE(w, 0u);
  for (std::uintptr_t i = 0; i < 5; ++i) ASSERT_TRUE(Msgs().PostMessage(w, kMsg, i, -static_cast<std::intptr_t>(i)));
  EXPECT_TRUE(Got.empty()) << "posting must not deliver";
  Msgs().ProcessMessages();
  std::vector<TReceived> want;
  for (std::uintptr_t i = 0; i < 5; ++i) want.push_back({kMsg, i, -static_cast<std::intptr_t>(i), true});
  EXPECT_EQ(Got, want);
  Msgs().DestroyHiddenWindow(w);
}

TEST_P(MessagesContract, MessagesPostedFromAnotherThreadArriveInTheirOrderOnTheMainThread) {
  THiddenWindow w = Recording();
  std::atomic<bool> bWorkerIsMain{true};
  std::thread worker([&] {
    bWorkerIsMain = Msgs().IsMainThread();
    for (std::uintptr_t i = 0; i < 200; ++i) Msgs().PostMessage(w, kMsg, i, 0);
  });
  worker.join();
  EXPECT_FALSE(bWorkerIsMain);
  ASSERT_TRUE(PumpUntil([&] { return Got.size() >= 200; }));
  for (std::uintptr_t i = 0; i < 200; ++i) {
    EXPECT_EQ(Got[i].WParam, i);
    EXPECT_TRUE(Got[i].bOnMain);
  }
  Msgs().DestroyHiddenWindow(w);
}

TEST_P(MessagesContract, ADestroyedWindowGetsNeitherItsPendingMessagesNorNewOnes) {
  THiddenWindow gone = Recording();
  THiddenWindow kept = Recording();
  Msgs().PostMessage(gone, kMsg, 1, 0);
  Msgs().PostMessage(kept, kMsg, 2, 0);
  Msgs().DestroyHiddenWindow(gone);
  EXPECT_FALSE(Msgs().PostMessage(gone, kMsg, 3, 0));
  EXPECT_FALSE(Msgs().SetTimer(gone, 1, 10));
  Msgs().ProcessMessages();
  ASSERT_EQ(Got.size(), 1u);
  EXPECT_EQ(Got[0].WParam, 2u);
  Msgs().DestroyHiddenWindow(kept);
}

TEST_P(MessagesContract, AHandlerMayDestroyItsOwnWindowAndTheRestOfItsMessagesAreDropped) {
  int calls = 0;
  THiddenWindow w = 0;
  w = Msgs().CreateHiddenWindow([&](std::uint32_t, std::uintptr_t, std::intptr_t) {
    ++calls;
    Msgs().DestroyHiddenWindow(w);
    return true;
  });
  for (int i = 0; i < 3; ++i) Msgs().PostMessage(w, kMsg, 0, 0);
  Msgs().ProcessMessages();
  Msgs().ProcessMessages();
  EXPECT_EQ(calls, 1);
}

TEST_P(MessagesContract, PostingToNoWindowFails) {
  EXPECT_FALSE(Msgs().PostMessage(0, kMsg, 0, 0));
  Msgs().ProcessMessages();  // and nothing lands in the thread's own queue
}

TEST_P(MessagesContract, HiddenWindowsAndMessageProcessingAreRefusedOffTheMainThread) {
  bool bCreateRefused = false, bProcessRefused = false;
  std::thread other([&] {
    try {
      Msgs().CreateHiddenWindow([](std::uint32_t, std::uintptr_t, std::intptr_t) { return true; });
    } catch (const std::logic_error&) {
      bCreateRefused = true;
    }
    try {
      Msgs().ProcessMessages();
    } catch (const std::logic_error&) {
      bProcessRefused = true;
    }
  });
  other.join();
  EXPECT_TRUE(bCreateRefused);
  EXPECT_TRUE(bProcessRefused);
}

TEST_P(MessagesContract, ATimerFiresRepeatedlyWithItsIdUntilKilled) {
  THiddenWindow w = Recording();
  ASSERT_TRUE(Msgs().SetTimer(w, 42, 10));
  ASSERT_TRUE(PumpUntil([&] { return Got.size() >= 3; }));
  for (const TReceived& r : Got) {
    EXPECT_EQ(r.Msg, platform::WM_TIMER_MSG);
    EXPECT_EQ(r.WParam, 42u);
    EXPECT_TRUE(r.bOnMain);
  }
  Msgs().KillTimer(w, 42);
  Msgs().ProcessMessages();  // a tick that was already due may still come
  Got.clear();
  PumpFor(150);
  EXPECT_TRUE(Got.empty()) << Got.size() << " ticks after the timer was killed";
  Msgs().DestroyHiddenWindow(w);
}

TEST_P(MessagesContract, TwoTimersOfOneWindowKeepTheirIdsAndATimerStopsWithItsWindow) {
  THiddenWindow w = Recording();
  ASSERT_TRUE(Msgs().SetTimer(w, 1, 10));
  ASSERT_TRUE(Msgs().SetTimer(w, 2, 15));
  auto seen = [&](std::uintptr_t id) {
    for (const TReceived& r : Got)
      if (r.Msg == platform::WM_TIMER_MSG && r.WParam == id) return true;
    return false;
  };
  ASSERT_TRUE(PumpUntil([&] { return seen(1) && seen(2); }));
  Msgs().DestroyHiddenWindow(w);
  Got.clear();
  PumpFor(100);
  EXPECT_TRUE(Got.empty());
}

TEST_P(MessagesContract, WaitMessageReturnsWhenAnotherThreadPosts) {
  THiddenWindow w = Recording();
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Msgs().PostMessage(w, kMsg, 9, 0);
  });
  // Without a wake-up on the post this would wait for ever.
  Msgs().WaitMessage(0xFFFFFFFF);
  poster.join();
  EXPECT_TRUE(Got.empty()) << "waiting must not dispatch";
  Msgs().ProcessMessages();
  ASSERT_EQ(Got.size(), 1u);
  EXPECT_EQ(Got[0].WParam, 9u);
  Msgs().DestroyHiddenWindow(w);
}

TEST_P(MessagesContract, WaitMessageReturnsAtOnceWhenAMessageIsAlreadyPending) {
  THiddenWindow w = Recording();
  Msgs().PostMessage(w, kMsg, 1, 0);
  Msgs().WaitMessage(0xFFFFFFFF);
  Msgs().ProcessMessages();
  EXPECT_EQ(Got.size(), 1u);
  Msgs().DestroyHiddenWindow(w);
}

TEST_P(MessagesContract, WaitMessageWithNothingToComeReturnsAfterItsTimeoutWithNothingPending) {
  THiddenWindow w = Recording();
  Msgs().ProcessMessages();
  Msgs().WaitMessage(30);
  Msgs().ProcessMessages();
  EXPECT_TRUE(Got.empty());
  Msgs().DestroyHiddenWindow(w);
}

TEST_P(MessagesContract, TheMessageLoopDeliversUntilAHandlerAsksToQuit) {
  THiddenWindow w = 0;
  int delivered = 0;
  w = Msgs().CreateHiddenWindow([&](std::uint32_t, std::uintptr_t wp, std::intptr_t) {
    ++delivered;
    if (wp == 3) Msgs().PostQuit();
    else Msgs().PostMessage(w, kMsg, wp + 1, 0);
    return true;
  });
  Msgs().PostMessage(w, kMsg, 0, 0);
  Msgs().RunMessageLoop();
  EXPECT_EQ(delivered, 4);
  Msgs().DestroyHiddenWindow(w);
}

TEST_P(MessagesContract, AQuitSeenByNestedMessageProcessingStillEndsTheLoop) {
  THiddenWindow w = Msgs().CreateHiddenWindow([&](std::uint32_t, std::uintptr_t, std::intptr_t) {
    Msgs().PostQuit();
    Msgs().ProcessMessages();  // as a wait loop inside a handler would
    Msgs().ProcessMessages();
    return true;
  });
  Msgs().PostMessage(w, kMsg, 0, 0);
  Msgs().RunMessageLoop();  // returns only if the quit survived the nested processing
  Msgs().DestroyHiddenWindow(w);
}

TEST_P(MessagesContract, AQuitPostedFromAnotherThreadEndsTheLoop) {
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Msgs().PostQuit();
  });
  Msgs().RunMessageLoop();
  other.join();
}

PORTWISE_BOTH_WORLDS(MessagesContract);

}  // namespace
}  // namespace portwise::test

// The whole program against the simulated machine, command after command, many times over: every
// run ends as the first one did (no thread, descriptor, device object or memory left growing) and
// none of them hangs. PW_SOAK_COUNT sets the number of rounds (200 unless told).
//
// The clock is virtual, so that a round takes milliseconds: the one-second tones run their whole
// sequence (stream start, buffers, stop, play-out wait, release) but hold only the audio the
// devices take in that time. Whole-second audio is checked by the tone tests of each kind. The
// ASIO driver calls back in real time, so its test and tone run on the real clock, one round in twenty.
#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/uMultimedia.h"
#include "app/uRes.h"
#include "platform/sim/SimAsio.h"
#include "platform/sim/SimDShow.h"
#include "tests/unit/app/ShellWorld.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PW_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PW_SOAK_SANITIZED 1
#endif
#endif

namespace portwise::app {
namespace {

int SoakCount() {
  const char* v = std::getenv("PW_SOAK_COUNT");
  const int n = v ? std::atoi(v) : 200;
  return n > 0 ? n : 200;
}

std::size_t EntriesIn(const char* ADir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(ADir)) ++n;
  return n;
}

// Ends the process with a message when the run outlives its bound: a hang fails, it does not wait
// for the test runner's timeout.
class TWatchdog {
 public:
  explicit TWatchdog(std::chrono::seconds ABound)
      : FThread([this, ABound] {
          std::unique_lock lk(FMutex);
          if (!FDone.wait_for(lk, ABound, [this] { return FStop; })) {
            std::fprintf(stderr, "soak: still running after %lld s: hung\n", static_cast<long long>(ABound.count()));
            std::abort();
          }
        }) {}
  ~TWatchdog() {
    {
      std::lock_guard g(FMutex);
      FStop = true;
    }
    FDone.notify_all();
    FThread.join();
  }

 private:
  std::mutex FMutex;
  std::condition_variable FDone;
  bool FStop = false;
  std::thread FThread;
};

struct TUsage {
  std::size_t Threads = 0, Descriptors = 0, HeapBytes = 0;
  int DeviceObjects = 0;
};

class ShellSoakTest : public TShellWorld {
 protected:
  ShellSoakTest() {
    Sim.SetVirtualTime(true);
    Sim.SimWave().AddOutputDevice("Speakers");
    Sim.SimWave().AddInputDevice("Microphone");
    DS.AddAudioRenderer("Speakers");
    DS.AddAudioCapture("Microphone");
    Dual.SetInputs({{"Mic 1", ASIOSTInt32LSB, 0}, {"Mic 2", ASIOSTInt32LSB, 0}});
    Dual.SetOutputs({{"Main L", ASIOSTInt32LSB, 0}, {"Main R", ASIOSTInt32LSB, 0}});
    Dual.SetFirstSwitchInStart(true);  // a callback inside start: the test sees one at once
    Dual.Install(Sim);
    ShowForm();
  }
  ~ShellSoakTest() override { CloseForm(); }

  TUsage Usage() {
    TUsage u;
    u.Threads = EntriesIn("/proc/self/task");
    u.Descriptors = EntriesIn("/proc/self/fd");
#ifndef PW_SOAK_SANITIZED
    malloc_trim(0);
    u.HeapBytes = mallinfo2().uordblks;
#endif
    u.DeviceObjects = static_cast<int>(DS.LiveObjects() + Sim.SimWave().OpenDevices()) + Dual.LiveObjects();
    return u;
  }
  int RowOf(const std::string& type, const std::string& inOut) {
    const TRows rows = Rows();
    for (std::size_t i = 0; i < rows.size(); ++i)
      if (rows[i][2] == type && rows[i][4] == inOut) return static_cast<int>(i);
    return -1;
  }
  // The log of the round, taken out of the window; every line must be one of success or news.
  void ExpectNoRedLine(int ARound) {
    for (const auto& line : Window->TakeLines(TfmMain::reLog))
      ASSERT_NE(line.Color, R) << "round " << ARound << ": " << line.Text;
  }
  // What the simulated machine recorded of the round is the test's, not the program's: dropped.
  void ForgetRound() {
    Sim.SimWave().ForgetHistory();
    DS.ForgetHistory();
    Sim.SimCom().ForgetCreateCalls();
    Dual.ClearCalls();
    Dual.ClearRecorded();
  }
  void Round(int ARound) {
    Form->btnGetDevicesClick();
    ASSERT_EQ(Rows().size(), 8u) << "round " << ARound;
    for (const auto& [type, inOut] : std::vector<std::pair<std::string, std::string>>{
             {"MME", "Out"}, {"MME", "In"}, {"DS", "Out"}, {"DS", "In"}}) {
      const int row = RowOf(type, inOut);
      DoubleClick(row);
      ASSERT_EQ(Rows()[row][5], "OK") << "round " << ARound << ", " << type << " " << inOut;
    }
    // The tone alternates between the two outputs that follow the virtual clock.
    Tone(ARound % 2 ? "DS" : "MME");
    // The driver calls back in real time: its rounds run on the real clock, one in twenty.
    if (ARound % 20 == 0) {
      Sim.SetVirtualTime(false);
      const int row = RowOf("ASIO", "Out");
      DoubleClick(row);
      ASSERT_EQ(Rows()[row][5], "OK") << "round " << ARound << ", ASIO";
      Tone("ASIO");
      Sim.SetVirtualTime(true);
    }
    ExpectNoRedLine(ARound);
    ForgetRound();
    ASSERT_EQ(DSAudioIn, nullptr);
    ASSERT_EQ(DSAudioOut, nullptr);
    ASSERT_EQ(AudioIn, nullptr);
    ASSERT_EQ(AudioOut, nullptr);
    ASSERT_EQ(ASIOAudioDevice, nullptr);
  }
  void Tone(const std::string& AType) {
    Window->UserSelect(TfmMain::lstDevices, RowOf(AType, "Out"));
    Pump();
    Form->btnGenClick();
    ASSERT_FALSE(Form->ALSignalGen1->GetEnabled()) << AType;
  }

  platform::sim::TSimDShow DS{Sim};
  platform::sim::TSimAsio Dual{"Dual"};
};

TEST_F(ShellSoakTest, AnalysesInterfaceTestsAndTonesRoundAfterRoundLeaveNothingBehind) {
  const int rounds = SoakCount();
  TWatchdog watchdog(std::chrono::seconds(600));
  // The first rounds make what is made once (pools, the generator's clock, lazily built tables).
  const int warmUp = rounds / 10 + 1;
  for (int i = 0; i < warmUp; ++i) {
    Round(i);
    if (HasFatalFailure()) return;
  }
  const TUsage before = Usage();
  for (int i = warmUp; i < rounds + warmUp; ++i) {
    Round(i);
    if (HasFatalFailure()) return;
  }
  const TUsage after = Usage();
  EXPECT_EQ(after.Threads, before.Threads);
  EXPECT_EQ(after.Descriptors, before.Descriptors);
  EXPECT_EQ(after.DeviceObjects, 0);
  // A leak of even one small block per round would show.
  EXPECT_LE(after.HeapBytes, before.HeapBytes + 64 * 1024)
      << "heap in use grew from " << before.HeapBytes << " to " << after.HeapBytes << " bytes over " << rounds
      << " rounds";
  std::printf("soak: %d rounds (+%d warm-up), threads %zu, descriptors %zu, heap in use %zu -> %zu bytes\n", rounds,
              warmUp, after.Threads, after.Descriptors, before.HeapBytes, after.HeapBytes);
}

}  // namespace
}  // namespace portwise::app

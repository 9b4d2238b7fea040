#pragma once
// The contract of the waveform-audio seam (platform/Wave.h), written once and run against every
// implementation: the simulation natively, winmm under Wine. A world type gives the service and
// the devices to use:
//
//   struct TWorld {
//     platform::IWaveAudio& Wave();
//     std::uint32_t OutputDevice();  // an output and an input that can be opened with 44.1 kHz
//     std::uint32_t InputDevice();   // 16-bit stereo
//   };
//
// and a test file instantiates the suite: INSTANTIATE_TYPED_TEST_SUITE_P(Name, WaveContract, TWorld).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Wave.h"

namespace portwise::test::wave {

using namespace std::chrono_literals;
namespace pl = portwise::platform;

constexpr std::uint32_t kMapperFlags = 0x30002;  // CALLBACK_FUNCTION | WAVE_ALLOWSYNC
constexpr std::uint32_t kDeviceFlags = 0x30006;  // ... | WAVE_MAPPED
// A guard against hanging, not a measure of speed.
constexpr auto kPatience = 10s;

inline pl::TWaveFormatExtensible StereoFormat(std::uint32_t rate = 44100) {
  pl::TWaveFormatExtensible f;
  f.wFormatTag = 0xFFFE;
  f.nChannels = 2;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = 16;
  f.nBlockAlign = 4;
  f.nAvgBytesPerSec = 4 * rate;
  f.cbSize = 22;
  f.wValidBitsPerSample = 16;
  f.dwChannelMask = 3;
  f.SubFormat = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  return f;
}

// Blocks of `ms` milliseconds of the stereo format, each filled with its own byte pattern.
class TBlocks {
 public:
  TBlocks(std::size_t count, unsigned ms) : FData(count), FHeaders(count) {
    const std::uint32_t bytes = StereoFormat().nAvgBytesPerSec / 1000 * ms;
    for (std::size_t i = 0; i < count; ++i) {
      FData[i].resize(bytes);
      for (std::uint32_t b = 0; b < bytes; ++b) FData[i][b] = static_cast<char>(i * 31 + b);
      FHeaders[i].lpData = FData[i].data();
      FHeaders[i].dwBufferLength = bytes;
      FHeaders[i].dwUser = i;
    }
  }
  pl::TWaveHdr* operator[](std::size_t i) { return &FHeaders[i]; }
  std::size_t Size() const { return FHeaders.size(); }
  const std::vector<char>& Data(std::size_t i) const { return FData[i]; }
  std::vector<pl::TWaveHdr*> All() {
    std::vector<pl::TWaveHdr*> all;
    for (auto& h : FHeaders) all.push_back(&h);
    return all;
  }

 private:
  std::vector<std::vector<char>> FData;
  std::vector<pl::TWaveHdr> FHeaders;
};

// What the callbacks said, in order. The callbacks only take a short lock, as the contract allows.
class TCallbackLog {
 public:
  struct TEvent {
    std::uint32_t Msg = 0;
    pl::TWaveHdr* Header = nullptr;
    std::thread::id Thread;
    std::uint32_t Flags = 0;          // the header's flags as the callback saw them
    std::uint32_t BytesRecorded = 0;
  };

  static void OutProc(pl::THWaveOut, std::uint32_t msg, std::uintptr_t instance, pl::TWaveHdr* header) {
    reinterpret_cast<TCallbackLog*>(instance)->Push(msg, header);
  }
  static void InProc(pl::THWaveIn, std::uint32_t msg, std::uintptr_t instance, pl::TWaveHdr* header) {
    reinterpret_cast<TCallbackLog*>(instance)->Push(msg, header);
  }
  std::uintptr_t Instance() { return reinterpret_cast<std::uintptr_t>(this); }

  // Callbacks that linger a little, so that two running at once would be seen.
  void SetLinger(bool b) { FLinger = b; }

  std::size_t Count(std::uint32_t msg) {
    std::lock_guard g(FMutex);
    std::size_t n = 0;
    for (const TEvent& e : FEvents) n += e.Msg == msg;
    return n;
  }
  bool WaitFor(std::uint32_t msg, std::size_t count) {
    std::unique_lock lk(FMutex);
    return FChanged.wait_for(lk, kPatience, [&] {
      std::size_t n = 0;
      for (const TEvent& e : FEvents) n += e.Msg == msg;
      return n >= count;
    });
  }
  std::vector<TEvent> Events(std::uint32_t msg) {
    std::lock_guard g(FMutex);
    std::vector<TEvent> out;
    for (const TEvent& e : FEvents)
      if (e.Msg == msg) out.push_back(e);
    return out;
  }
  std::vector<pl::TWaveHdr*> Headers(std::uint32_t msg) {
    std::vector<pl::TWaveHdr*> out;
    for (const TEvent& e : Events(msg)) out.push_back(e.Header);
    return out;
  }
  std::size_t Total() {
    std::lock_guard g(FMutex);
    return FEvents.size();
  }
  bool Overlapped() const { return FOverlap.load(); }

 private:
  void Push(std::uint32_t msg, pl::TWaveHdr* header) {
    if (FInside.fetch_add(1) != 0) FOverlap = true;
    if (FLinger) std::this_thread::sleep_for(1ms);
    {
      std::lock_guard g(FMutex);
      FEvents.push_back({msg, header, std::this_thread::get_id(), header ? header->dwFlags : 0,
                         header ? header->dwBytesRecorded : 0});
    }
    FInside.fetch_sub(1);
    FChanged.notify_all();
  }

  std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<TEvent> FEvents;
  std::atomic<int> FInside{0};
  std::atomic<bool> FOverlap{false};
  std::atomic<bool> FLinger{false};
};

template <class TWorld>
class WaveContract : public ::testing::Test {
 protected:
  pl::IWaveAudio& W() { return FWorld.Wave(); }
  std::uint32_t OutId() { return FWorld.OutputDevice(); }
  std::uint32_t InId() { return FWorld.InputDevice(); }

  pl::THWaveOut OpenOut(TCallbackLog& log, std::uint32_t id, std::uint32_t flags = kDeviceFlags) {
    pl::TWaveFormatExtensible f = StereoFormat();
    pl::THWaveOut h{};
    EXPECT_EQ(pl::MMSYSERR_NOERROR, W().waveOutOpen(&h, id, &f, &TCallbackLog::OutProc, log.Instance(), flags));
    return h;
  }
  pl::THWaveIn OpenIn(TCallbackLog& log, std::uint32_t id, std::uint32_t flags = kDeviceFlags) {
    pl::TWaveFormatExtensible f = StereoFormat();
    pl::THWaveIn h{};
    EXPECT_EQ(pl::MMSYSERR_NOERROR, W().waveInOpen(&h, id, &f, &TCallbackLog::InProc, log.Instance(), flags));
    return h;
  }
  void PrepareAll(pl::THWaveOut h, TBlocks& b) {
    for (std::size_t i = 0; i < b.Size(); ++i) ASSERT_EQ(pl::MMSYSERR_NOERROR, W().waveOutPrepareHeader(h, b[i]));
  }
  void PrepareAll(pl::THWaveIn h, TBlocks& b) {
    for (std::size_t i = 0; i < b.Size(); ++i) ASSERT_EQ(pl::MMSYSERR_NOERROR, W().waveInPrepareHeader(h, b[i]));
  }
  void WriteAll(pl::THWaveOut h, TBlocks& b) {
    for (std::size_t i = 0; i < b.Size(); ++i) ASSERT_EQ(pl::MMSYSERR_NOERROR, W().waveOutWrite(h, b[i]));
  }
  void AddAll(pl::THWaveIn h, TBlocks& b) {
    for (std::size_t i = 0; i < b.Size(); ++i) ASSERT_EQ(pl::MMSYSERR_NOERROR, W().waveInAddBuffer(h, b[i]));
  }
  // Reset, unprepare and close: what every well-behaved user does at the end.
  void Finish(pl::THWaveOut h, TBlocks& b) {
    EXPECT_EQ(pl::MMSYSERR_NOERROR, W().waveOutReset(h));
    for (std::size_t i = 0; i < b.Size(); ++i) EXPECT_EQ(pl::MMSYSERR_NOERROR, W().waveOutUnprepareHeader(h, b[i]));
    EXPECT_EQ(pl::MMSYSERR_NOERROR, W().waveOutClose(h));
  }
  void Finish(pl::THWaveIn h, TBlocks& b) {
    EXPECT_EQ(pl::MMSYSERR_NOERROR, W().waveInReset(h));
    for (std::size_t i = 0; i < b.Size(); ++i) EXPECT_EQ(pl::MMSYSERR_NOERROR, W().waveInUnprepareHeader(h, b[i]));
    EXPECT_EQ(pl::MMSYSERR_NOERROR, W().waveInClose(h));
  }

 private:
  TWorld FWorld;
};

TYPED_TEST_SUITE_P(WaveContract);

// ---------------------------------------------------------------- devices and open

TYPED_TEST_P(WaveContract, DevicesAreNumberedFromZeroAndCapabilitiesEndAtTheCount) {
  const std::uint32_t outs = this->W().waveOutGetNumDevs();
  const std::uint32_t ins = this->W().waveInGetNumDevs();
  ASSERT_GT(outs, this->OutId());
  ASSERT_GT(ins, this->InId());
  for (std::uint32_t id = 0; id < outs; ++id) {
    pl::TWaveDevCaps caps;
    EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutGetDevCapsW(id, caps)) << id;
    EXPECT_FALSE(caps.szPname.empty()) << id;
  }
  for (std::uint32_t id = 0; id < ins; ++id) {
    pl::TWaveDevCaps caps;
    EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInGetDevCapsW(id, caps)) << id;
    EXPECT_FALSE(caps.szPname.empty()) << id;
  }
  for (std::uint32_t past : {0u, 1u, 7u}) {
    pl::TWaveDevCaps caps;
    EXPECT_EQ(pl::MMSYSERR_BADDEVICEID, this->W().waveOutGetDevCapsW(outs + past, caps));
    EXPECT_EQ(pl::MMSYSERR_BADDEVICEID, this->W().waveInGetDevCapsW(ins + past, caps));
  }
}

TYPED_TEST_P(WaveContract, RefusedOpensMakeNoCallbackInEitherDirection) {
  struct TCase {
    const char* What;
    bool bBadId;
    bool bNullFormat;
    std::uint16_t Tag;
    std::uint32_t Flags;
    pl::TMMResult Expected;
  };
  const TCase cases[] = {
      {"device past the count", true, false, 0xFFFE, kDeviceFlags, pl::MMSYSERR_BADDEVICEID},
      {"unknown format tag", false, false, 0x1234, kDeviceFlags, pl::WAVERR_BADFORMAT},
      {"no format", false, true, 0xFFFE, kDeviceFlags, pl::MMSYSERR_INVALPARAM},
      {"window callback", false, false, 0xFFFE, 0x10006, pl::MMSYSERR_INVALFLAG},
      {"event callback", false, false, 0xFFFE, 0x50006, pl::MMSYSERR_INVALFLAG},
  };
  for (const TCase& c : cases) {
    TCallbackLog log;
    pl::TWaveFormatExtensible f = StereoFormat();
    f.wFormatTag = c.Tag;
    const pl::TWaveFormatExtensible* pf = c.bNullFormat ? nullptr : &f;
    pl::THWaveOut ho{};
    pl::THWaveIn hi{};
    EXPECT_EQ(c.Expected, this->W().waveOutOpen(&ho, c.bBadId ? this->W().waveOutGetNumDevs() + 3 : this->OutId(),
                                                pf, &TCallbackLog::OutProc, log.Instance(), c.Flags))
        << c.What;
    EXPECT_EQ(c.Expected, this->W().waveInOpen(&hi, c.bBadId ? this->W().waveInGetNumDevs() + 3 : this->InId(), pf,
                                               &TCallbackLog::InProc, log.Instance(), c.Flags))
        << c.What;
    EXPECT_EQ(0u, log.Total()) << c.What;
  }
}

TYPED_TEST_P(WaveContract, AFormatQueryAnswersWithoutOpening) {
  TCallbackLog log;
  pl::TWaveFormatExtensible good = StereoFormat();
  pl::TWaveFormatExtensible bad = StereoFormat();
  bad.wFormatTag = 0x1234;
  const std::uint32_t query = kDeviceFlags | pl::WAVE_FORMAT_QUERY;
  EXPECT_EQ(pl::MMSYSERR_NOERROR,
            this->W().waveOutOpen(nullptr, this->OutId(), &good, &TCallbackLog::OutProc, log.Instance(), query));
  EXPECT_EQ(pl::WAVERR_BADFORMAT,
            this->W().waveOutOpen(nullptr, this->OutId(), &bad, &TCallbackLog::OutProc, log.Instance(), query));
  EXPECT_EQ(pl::MMSYSERR_NOERROR,
            this->W().waveInOpen(nullptr, this->InId(), &good, &TCallbackLog::InProc, log.Instance(), query));
  EXPECT_EQ(0u, log.Total());
}

TYPED_TEST_P(WaveContract, OpenAndCloseCallBackOnceEachBeforeTheyReturn) {
  struct TCase {
    bool bMapper;
    std::uint32_t Flags;
  };
  for (TCase c : {TCase{true, kMapperFlags}, TCase{false, kDeviceFlags}}) {
    SCOPED_TRACE(c.bMapper ? "mapper" : "device");
    TCallbackLog log;
    pl::THWaveOut ho = this->OpenOut(log, c.bMapper ? pl::WAVE_MAPPER : this->OutId(), c.Flags);
    ASSERT_NE(pl::THWaveOut{}, ho);
    EXPECT_EQ(1u, log.Count(pl::WOM_OPEN));
    EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutClose(ho));
    EXPECT_EQ(1u, log.Count(pl::WOM_CLOSE));
    EXPECT_EQ(pl::MMSYSERR_INVALHANDLE, this->W().waveOutClose(ho));

    pl::THWaveIn hi = this->OpenIn(log, c.bMapper ? pl::WAVE_MAPPER : this->InId(), c.Flags);
    ASSERT_NE(pl::THWaveIn{}, hi);
    EXPECT_EQ(1u, log.Count(pl::WIM_OPEN));
    EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInClose(hi));
    EXPECT_EQ(1u, log.Count(pl::WIM_CLOSE));
    EXPECT_EQ(pl::MMSYSERR_INVALHANDLE, this->W().waveInClose(hi));
    EXPECT_EQ(4u, log.Total());
  }
}

// ---------------------------------------------------------------- headers

TYPED_TEST_P(WaveContract, HeadersMustBePreparedAndStayTheDevicesWhileQueued) {
  TCallbackLog log;
  pl::THWaveOut h = this->OpenOut(log, this->OutId());
  TBlocks b(1, 20);
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutPause(h));  // keeps the block queued
  EXPECT_EQ(pl::WAVERR_UNPREPARED, this->W().waveOutWrite(h, b[0]));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutUnprepareHeader(h, b[0]));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutPrepareHeader(h, b[0]));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutPrepareHeader(h, b[0]));
  EXPECT_EQ(pl::WHDR_PREPARED, b[0]->dwFlags & (pl::WHDR_PREPARED | pl::WHDR_DONE | pl::WHDR_INQUEUE));
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutWrite(h, b[0]));
  EXPECT_EQ(pl::WHDR_PREPARED | pl::WHDR_INQUEUE, b[0]->dwFlags & (pl::WHDR_PREPARED | pl::WHDR_DONE | pl::WHDR_INQUEUE));
  EXPECT_EQ(pl::WAVERR_STILLPLAYING, this->W().waveOutUnprepareHeader(h, b[0]));
  EXPECT_TRUE(b[0]->dwFlags & pl::WHDR_INQUEUE);
  EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutReset(h));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutUnprepareHeader(h, b[0]));
  EXPECT_EQ(0u, b[0]->dwFlags & pl::WHDR_PREPARED);
  EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutClose(h));

  pl::THWaveIn hi = this->OpenIn(log, this->InId());
  TBlocks in(1, 20);
  EXPECT_EQ(pl::WAVERR_UNPREPARED, this->W().waveInAddBuffer(hi, in[0]));
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInPrepareHeader(hi, in[0]));
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInAddBuffer(hi, in[0]));  // not started: stays queued
  EXPECT_EQ(pl::WAVERR_STILLPLAYING, this->W().waveInUnprepareHeader(hi, in[0]));
  this->Finish(hi, in);
}

// ---------------------------------------------------------------- output

TYPED_TEST_P(WaveContract, BlocksComeBackInWriteOrderFromADriverThread) {
  TCallbackLog log;
  log.SetLinger(true);
  pl::THWaveOut h = this->OpenOut(log, this->OutId());
  TBlocks b(8, 20);
  this->PrepareAll(h, b);
  this->WriteAll(h, b);
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, b.Size()));
  EXPECT_EQ(b.All(), log.Headers(pl::WOM_DONE));
  for (const auto& e : log.Events(pl::WOM_DONE)) {
    EXPECT_EQ(pl::WHDR_DONE | pl::WHDR_PREPARED, e.Flags & (pl::WHDR_DONE | pl::WHDR_PREPARED | pl::WHDR_INQUEUE));
    EXPECT_NE(std::this_thread::get_id(), e.Thread);
  }
  EXPECT_FALSE(log.Overlapped());
  this->Finish(h, b);
  EXPECT_EQ(b.Size(), log.Count(pl::WOM_DONE));  // the reset had nothing left to return
}

TYPED_TEST_P(WaveContract, APauseBeforeTheFirstWriteHoldsEveryBlockUntilRestart) {
  TCallbackLog log;
  pl::THWaveOut h = this->OpenOut(log, this->OutId());
  TBlocks b(3, 20);
  this->PrepareAll(h, b);
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutPause(h));
  this->WriteAll(h, b);
  std::this_thread::sleep_for(300ms);  // five times the audio queued
  EXPECT_EQ(0u, log.Count(pl::WOM_DONE));
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutRestart(h));
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, b.Size()));
  EXPECT_EQ(b.All(), log.Headers(pl::WOM_DONE));
  this->Finish(h, b);
}

TYPED_TEST_P(WaveContract, APauseInMidStreamHoldsPlaybackAndRestartResumesIt) {
  TCallbackLog log;
  pl::THWaveOut h = this->OpenOut(log, this->OutId());
  TBlocks b(10, 30);
  this->PrepareAll(h, b);
  this->WriteAll(h, b);
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, 1));
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutPause(h));
  std::size_t doneAtPause = 0;
  for (std::size_t i = 0; i < b.Size(); ++i) doneAtPause += (b[i]->dwFlags & pl::WHDR_DONE) != 0;
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, doneAtPause));  // callbacks already under way
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(doneAtPause, log.Count(pl::WOM_DONE));
  ASSERT_LT(doneAtPause, b.Size());
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutRestart(h));
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, b.Size()));
  EXPECT_EQ(b.All(), log.Headers(pl::WOM_DONE));
  this->Finish(h, b);
}

TYPED_TEST_P(WaveContract, ResetReturnsEveryQueuedBlockBeforeItReturns) {
  for (bool bPaused : {false, true}) {
    SCOPED_TRACE(bPaused ? "paused" : "playing");
    TCallbackLog log;
    pl::THWaveOut h = this->OpenOut(log, this->OutId());
    TBlocks b(10, 100);
    this->PrepareAll(h, b);
    if (bPaused) {
      ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutPause(h));
    }
    this->WriteAll(h, b);
    ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutReset(h));
    EXPECT_EQ(b.All(), log.Headers(pl::WOM_DONE));
    for (std::size_t i = 0; i < b.Size(); ++i)
      EXPECT_EQ(pl::WHDR_DONE | pl::WHDR_PREPARED, b[i]->dwFlags & (pl::WHDR_DONE | pl::WHDR_PREPARED | pl::WHDR_INQUEUE));
    for (std::size_t i = 0; i < b.Size(); ++i) EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutUnprepareHeader(h, b[i]));
    EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutClose(h));
    EXPECT_EQ(1u, log.Count(pl::WOM_CLOSE));
  }
}

TYPED_TEST_P(WaveContract, ADeviceThatWasResetPlaysWhatIsWrittenNext) {
  TCallbackLog log;
  pl::THWaveOut h = this->OpenOut(log, this->OutId());
  TBlocks first(4, 50), next(2, 20);
  this->PrepareAll(h, first);
  this->PrepareAll(h, next);
  this->WriteAll(h, first);
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutReset(h));
  this->WriteAll(h, next);
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, first.Size() + next.Size()));
  std::vector<pl::TWaveHdr*> expected = first.All();
  for (auto* hdr : next.All()) expected.push_back(hdr);
  EXPECT_EQ(expected, log.Headers(pl::WOM_DONE));
  for (std::size_t i = 0; i < next.Size(); ++i) EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutUnprepareHeader(h, next[i]));
  this->Finish(h, first);
}

TYPED_TEST_P(WaveContract, CallbacksOfADeviceNeverOverlapWhenAResetRacesCompletions) {
  TCallbackLog log;
  log.SetLinger(true);
  pl::THWaveOut h = this->OpenOut(log, this->OutId());
  TBlocks b(20, 10);
  this->PrepareAll(h, b);
  this->WriteAll(h, b);
  ASSERT_TRUE(log.WaitFor(pl::WOM_DONE, 3));
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveOutReset(h));
  EXPECT_EQ(b.All(), log.Headers(pl::WOM_DONE));
  EXPECT_FALSE(log.Overlapped());
  this->Finish(h, b);
}

// ---------------------------------------------------------------- input

TYPED_TEST_P(WaveContract, InputBuffersFillOnlyOnceStartedAndComeBackFullInOrder) {
  TCallbackLog log;
  pl::THWaveIn h = this->OpenIn(log, this->InId());
  TBlocks b(4, 50);
  this->PrepareAll(h, b);
  this->AddAll(h, b);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(0u, log.Count(pl::WIM_DATA));
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInStart(h));
  ASSERT_TRUE(log.WaitFor(pl::WIM_DATA, b.Size()));
  EXPECT_EQ(b.All(), log.Headers(pl::WIM_DATA));
  for (const auto& e : log.Events(pl::WIM_DATA)) {
    EXPECT_EQ(e.Header->dwBufferLength, e.BytesRecorded);
    EXPECT_EQ(pl::WHDR_DONE | pl::WHDR_PREPARED, e.Flags & (pl::WHDR_DONE | pl::WHDR_PREPARED | pl::WHDR_INQUEUE));
    EXPECT_NE(std::this_thread::get_id(), e.Thread);
  }
  this->Finish(h, b);
  EXPECT_EQ(1u, log.Count(pl::WIM_CLOSE));
}

TYPED_TEST_P(WaveContract, StopReturnsOnlyTheBufferBeingFilledAndResetTheRest) {
  TCallbackLog log;
  pl::THWaveIn h = this->OpenIn(log, this->InId());
  TBlocks b(4, 200);
  const std::uint32_t align = StereoFormat().nBlockAlign;
  this->PrepareAll(h, b);
  this->AddAll(h, b);
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInStart(h));
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInStop(h));
  const std::size_t back = log.Count(pl::WIM_DATA);
  ASSERT_LT(back, b.Size());
  for (std::size_t i = 0; i < b.Size(); ++i) EXPECT_EQ(i < back, (b[i]->dwFlags & pl::WHDR_DONE) != 0) << i;
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(back, log.Count(pl::WIM_DATA));  // stopped: nothing fills

  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInStart(h));
  ASSERT_TRUE(log.WaitFor(pl::WIM_DATA, back + 1));
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInReset(h));
  EXPECT_EQ(b.All(), log.Headers(pl::WIM_DATA));
  const auto events = log.Events(pl::WIM_DATA);
  ASSERT_EQ(b.Size(), events.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_LE(events[i].BytesRecorded, b[i]->dwBufferLength) << i;
    EXPECT_EQ(0u, events[i].BytesRecorded % align) << i;
    if (i == back) {
      EXPECT_EQ(b[i]->dwBufferLength, events[i].BytesRecorded);  // filled after the restart
    }
  }
  for (std::size_t i = 0; i < b.Size(); ++i) EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInUnprepareHeader(h, b[i]));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInClose(h));
}

TYPED_TEST_P(WaveContract, ResetOfAnInputNeverStartedReturnsEveryBufferEmpty) {
  TCallbackLog log;
  pl::THWaveIn h = this->OpenIn(log, this->InId());
  TBlocks b(3, 50);
  this->PrepareAll(h, b);
  this->AddAll(h, b);
  ASSERT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInReset(h));
  EXPECT_EQ(b.All(), log.Headers(pl::WIM_DATA));
  for (const auto& e : log.Events(pl::WIM_DATA)) {
    EXPECT_EQ(0u, e.BytesRecorded);
    EXPECT_TRUE(e.Flags & pl::WHDR_DONE);
  }
  for (std::size_t i = 0; i < b.Size(); ++i) EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInUnprepareHeader(h, b[i]));
  EXPECT_EQ(pl::MMSYSERR_NOERROR, this->W().waveInClose(h));
}

REGISTER_TYPED_TEST_SUITE_P(WaveContract, DevicesAreNumberedFromZeroAndCapabilitiesEndAtTheCount,
                            RefusedOpensMakeNoCallbackInEitherDirection, AFormatQueryAnswersWithoutOpening,
                            OpenAndCloseCallBackOnceEachBeforeTheyReturn,
                            HeadersMustBePreparedAndStayTheDevicesWhileQueued,
                            BlocksComeBackInWriteOrderFromADriverThread,
                            APauseBeforeTheFirstWriteHoldsEveryBlockUntilRestart,
                            APauseInMidStreamHoldsPlaybackAndRestartResumesIt,
                            ResetReturnsEveryQueuedBlockBeforeItReturns,
                            ADeviceThatWasResetPlaysWhatIsWrittenNext,
                            CallbacksOfADeviceNeverOverlapWhenAResetRacesCompletions,
                            InputBuffersFillOnlyOnceStartedAndComeBackFullInOrder,
                            StopReturnsOnlyTheBufferBeingFilledAndResetTheRest,
                            ResetOfAnInputNeverStartedReturnsEveryBufferEmpty);

}  // namespace portwise::test::wave

#include "platform/sim/SimWave.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <numbers>
#include <thread>

namespace portwise::platform::sim {
namespace {

using TClock = std::chrono::steady_clock;

constexpr std::uint16_t kTagPcm = 1;
constexpr std::uint16_t kTagFloat = 3;
constexpr std::uint16_t kTagExtensible = 0xFFFE;
constexpr TWaveGuid kSubtypePcm{0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr TWaveGuid kSubtypeFloat{0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr unsigned kMaxNameUnits = 31;  // szPname holds 32 UTF-16 units with the NUL

// Set while a callback of any simulated device runs on this thread.
thread_local bool tlsInCallback = false;

bool FormatSupported(const TWaveFormatExtensible& f) {
  bool bPcm = f.wFormatTag == kTagPcm || f.wFormatTag == kTagFloat ||
              (f.wFormatTag == kTagExtensible && f.cbSize >= 22 &&
               (f.SubFormat == kSubtypePcm || f.SubFormat == kSubtypeFloat));
  if (!bPcm || f.nChannels == 0 || f.nSamplesPerSec == 0) return false;
  if (f.wBitsPerSample == 0 || f.wBitsPerSample % 8 != 0 || f.wBitsPerSample > 32) return false;
  if (f.nBlockAlign != f.nChannels * (f.wBitsPerSample / 8)) return false;
  if (f.nAvgBytesPerSec != std::uint32_t{f.nBlockAlign} * f.nSamplesPerSec) return false;
  if (f.wFormatTag == kTagExtensible && f.wValidBitsPerSample > f.wBitsPerSample) return false;
  return true;
}

// What a driver can report: at most 31 UTF-16 units of the name.
std::string DriverName(const std::string& name) {
  std::size_t i = 0;
  unsigned units = 0;
  while (i < name.size()) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
    unsigned need = len == 4 ? 2 : 1;
    if (units + need > kMaxNameUnits) break;
    units += need;
    i += len;
  }
  return name.substr(0, std::min(i, name.size()));
}

void WriteSample(std::uint8_t* p, unsigned width, std::int64_t v) {
  if (width == 1) {
    p[0] = static_cast<std::uint8_t>(v + 128);
    return;
  }
  auto u = static_cast<std::uint64_t>(v);
  for (unsigned b = 0; b < width; ++b) p[b] = static_cast<std::uint8_t>(u >> (8 * b));
}

template <class F>
TSimWave::TSignal PerFrame(F value) {
  return [value](std::uint8_t* data, std::uint32_t bytes, std::uint64_t streamByte, const TWaveFormatExtensible& f) {
    const unsigned width = f.wBitsPerSample / 8u;
    const unsigned align = f.nBlockAlign;
    if (width == 0 || align == 0) return;
    for (std::uint32_t off = 0; off + align <= bytes; off += align) {
      std::int64_t v = value((streamByte + off) / align, f);
      for (unsigned ch = 0; ch < f.nChannels; ++ch) WriteSample(data + off + ch * width, width, v);
    }
  };
}

std::uint64_t AlignDown(std::uint64_t v, std::uint32_t align) { return align ? v - v % align : v; }

}  // namespace

struct TSimWave::TDevice {
  std::string Name;
  TMMResult CapsResult = MMSYSERR_NOERROR;
  std::uint16_t CapsChannels = 2;
  TMMResult OpenResult = MMSYSERR_NOERROR;
  bool bExclusive = false;
  EWavePace Pace = EWavePace::RealTime;
  unsigned Credit = 0;
  TSignal Signal;
  std::vector<std::uint8_t> Played;
  unsigned Underruns = 0;
  unsigned OpenCount = 0;
};

// One open device. Guarded by the simulation's mutex, except what open fixes for its lifetime.
struct TSimWave::TStream {
  bool bInput = false;
  std::uintptr_t Handle = 0;
  std::uint32_t DeviceId = 0;
  TWaveFormatExtensible Format;
  TWaveOutProc OutProc = nullptr;
  TWaveInProc InProc = nullptr;
  std::uintptr_t Instance = 0;

  std::deque<TWaveHdr*> Queue;
  std::condition_variable Wake;
  std::thread Thread;
  bool bClosing = false;
  bool bCallbackBusy = false;  // a callback of this device is being delivered

  // The device position in stream bytes advances at nAvgBytesPerSec while running (output: not
  // paused; input: started).
  bool bRunning = false;
  std::uint64_t FrozenPos = 0;  // the position when it last started or stopped running
  TClock::time_point RunSince;
  std::uint64_t Cursor = 0;     // end of what was played (recorded) so far
  bool bContiguous = false;     // the next block follows on at Cursor, without a gap
  bool bStarved = false;        // an output ran dry while running
  bool bHeadActive = false;     // the front block has started; it began at HeadBase
  std::uint64_t HeadBase = 0;
  TClock::time_point QueuedAt;  // when the front block became playable, after a gap

  std::uint64_t PosAt(TClock::time_point t) const {
    if (!bRunning) return FrozenPos;
    double secs = std::max(0.0, std::chrono::duration<double>(t - RunSince).count());
    return FrozenPos + static_cast<std::uint64_t>(secs * Format.nAvgBytesPerSec);
  }
  TClock::time_point TimeOf(std::uint64_t pos) const {
    double secs = pos > FrozenPos ? static_cast<double>(pos - FrozenPos) / Format.nAvgBytesPerSec : 0.0;
    return RunSince + std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(secs));
  }
  void Run(TClock::time_point now) {
    if (bRunning) return;
    RunSince = QueuedAt = now;
    bRunning = true;
  }
  void Halt(TClock::time_point now) {
    if (!bRunning) return;
    FrozenPos = PosAt(now);
    bRunning = false;
  }
};

TSimWave::TSignal TSimWave::FrameCounter() {
  return PerFrame([](std::uint64_t frame, const TWaveFormatExtensible&) { return static_cast<std::int64_t>(frame); });
}

TSimWave::TSignal TSimWave::Sine(double hz, double amplitude) {
  return PerFrame([hz, amplitude](std::uint64_t frame, const TWaveFormatExtensible& f) {
    double phase = 2.0 * std::numbers::pi * hz * static_cast<double>(frame) / f.nSamplesPerSec;
    return static_cast<std::int64_t>(std::lround(amplitude * std::sin(phase)));
  });
}

TSimWave::TSimWave() = default;

TSimWave::~TSimWave() {
  std::vector<std::shared_ptr<TStream>> open;
  {
    std::lock_guard g(FMutex);
    for (auto& [h, s] : FStreams) {
      s->bClosing = true;
      s->Wake.notify_all();
      open.push_back(s);
    }
    FStreams.clear();
  }
  for (auto& s : open)
    if (s->Thread.joinable()) s->Thread.join();
}

// ---------------------------------------------------------------- scripting

std::uint32_t TSimWave::AddOutputDevice(const std::string& name) {
  std::lock_guard g(FMutex);
  FOutputs.push_back(TDevice{});
  FOutputs.back().Name = name;
  return static_cast<std::uint32_t>(FOutputs.size() - 1);
}

std::uint32_t TSimWave::AddInputDevice(const std::string& name) {
  std::lock_guard g(FMutex);
  FInputs.push_back(TDevice{});
  FInputs.back().Name = name;
  return static_cast<std::uint32_t>(FInputs.size() - 1);
}

void TSimWave::FailOutputCaps(std::uint32_t id, TMMResult result) {
  std::lock_guard g(FMutex);
  FOutputs.at(id).CapsResult = result;
}

void TSimWave::FailInputCaps(std::uint32_t id, TMMResult result) {
  std::lock_guard g(FMutex);
  FInputs.at(id).CapsResult = result;
}

void TSimWave::SetOutputCapsChannels(std::uint32_t id, std::uint16_t channels) {
  std::lock_guard g(FMutex);
  FOutputs.at(id).CapsChannels = channels;
}

void TSimWave::SetInputCapsChannels(std::uint32_t id, std::uint16_t channels) {
  std::lock_guard g(FMutex);
  FInputs.at(id).CapsChannels = channels;
}

void TSimWave::SetOutputOpenResult(std::uint32_t id, TMMResult result) {
  std::lock_guard g(FMutex);
  if (id == WAVE_MAPPER) FMapperOpenResult[0] = result;
  else FOutputs.at(id).OpenResult = result;
}

void TSimWave::SetInputOpenResult(std::uint32_t id, TMMResult result) {
  std::lock_guard g(FMutex);
  if (id == WAVE_MAPPER) FMapperOpenResult[1] = result;
  else FInputs.at(id).OpenResult = result;
}

void TSimWave::SetOutputExclusive(std::uint32_t id, bool bExclusive) {
  std::lock_guard g(FMutex);
  FOutputs.at(id).bExclusive = bExclusive;
}

void TSimWave::SetInputExclusive(std::uint32_t id, bool bExclusive) {
  std::lock_guard g(FMutex);
  FInputs.at(id).bExclusive = bExclusive;
}

void TSimWave::FailNextCall(const std::string& function, TMMResult result, unsigned count, unsigned after) {
  std::lock_guard g(FMutex);
  FFailNext[function] = {result, count, after};
}

void TSimWave::SetOutputPace(std::uint32_t id, EWavePace pace) {
  std::lock_guard g(FMutex);
  FOutputs.at(id).Pace = pace;
  ReleaseLocked(false, id, 0);
}

void TSimWave::SetInputPace(std::uint32_t id, EWavePace pace) {
  std::lock_guard g(FMutex);
  FInputs.at(id).Pace = pace;
  ReleaseLocked(true, id, 0);
}

void TSimWave::ReleaseOutputBlocks(std::uint32_t id, unsigned count) {
  std::lock_guard g(FMutex);
  ReleaseLocked(false, id, count);
}

void TSimWave::ReleaseInputBlocks(std::uint32_t id, unsigned count) {
  std::lock_guard g(FMutex);
  ReleaseLocked(true, id, count);
}

void TSimWave::ReleaseLocked(bool bInput, std::uint32_t id, unsigned count) {
  DevicesLocked(bInput).at(id).Credit += count;
  for (auto& [h, s] : FStreams)
    if (s->bInput == bInput && s->DeviceId == id) s->Wake.notify_all();
}

void TSimWave::SetInputSignal(std::uint32_t id, TSignal signal) {
  std::lock_guard g(FMutex);
  FInputs.at(id).Signal = std::move(signal);
}

// ---------------------------------------------------------------- reading back

std::vector<TSimWave::TOpenRecord> TSimWave::Opens() const {
  std::lock_guard g(FMutex);
  return FOpens;
}

std::vector<TSimWave::TCall> TSimWave::Calls() const {
  std::lock_guard g(FMutex);
  return FCalls;
}

std::vector<std::string> TSimWave::CallNames() const {
  std::lock_guard g(FMutex);
  std::vector<std::string> names;
  for (const TCall& c : FCalls) names.push_back(c.Function);
  return names;
}

void TSimWave::ForgetHistory() {
  std::lock_guard g(FMutex);
  FOpens.clear();
  FCalls.clear();
  FViolations.clear();
  for (auto& dev : FOutputs) std::vector<std::uint8_t>().swap(dev.Played);
}

std::vector<std::uint8_t> TSimWave::PlayedBytes(std::uint32_t outputId) const {
  std::lock_guard g(FMutex);
  return FOutputs.at(outputId).Played;
}

unsigned TSimWave::Underruns(std::uint32_t outputId) const {
  std::lock_guard g(FMutex);
  return FOutputs.at(outputId).Underruns;
}

std::vector<std::string> TSimWave::CallbackViolations() const {
  std::lock_guard g(FMutex);
  return FViolations;
}

std::size_t TSimWave::OpenDevices() const {
  std::lock_guard g(FMutex);
  return FStreams.size();
}

std::size_t TSimWave::RunningDeviceThreads() const {
  std::lock_guard g(FMutex);
  return FThreads;
}

// ---------------------------------------------------------------- common paths

bool TSimWave::RefuseLocked(const char* function, TMMResult& result) {
  if (tlsInCallback) {
    FViolations.emplace_back(function);
    result = RecordLocked(function, MMSYSERR_ERROR);
    return true;
  }
  auto it = FFailNext.find(function);
  if (it != FFailNext.end() && it->second.Count > 0) {
    if (it->second.After > 0) {
      --it->second.After;
      return false;
    }
    --it->second.Count;
    result = RecordLocked(function, it->second.Result);
    return true;
  }
  return false;
}

TMMResult TSimWave::RecordLocked(const char* function, TMMResult result) {
  FCalls.push_back({function, result});
  return result;
}

std::shared_ptr<TSimWave::TStream> TSimWave::FindLocked(bool bInput, std::uintptr_t handle) {
  auto it = FStreams.find(handle);
  if (it == FStreams.end() || it->second->bInput != bInput) return nullptr;
  return it->second;
}

void TSimWave::TakeCallbackPathLocked(std::unique_lock<std::mutex>& lock, TStream& s) {
  s.Wake.wait(lock, [&] { return !s.bCallbackBusy; });
  s.bCallbackBusy = true;
}

void TSimWave::Deliver(TStream& s, std::uint32_t msg, TWaveHdr* header) {
  tlsInCallback = true;
  if (s.bInput) {
    if (s.InProc) s.InProc(static_cast<THWaveIn>(s.Handle), msg, s.Instance, header);
  } else if (s.OutProc) {
    s.OutProc(static_cast<THWaveOut>(s.Handle), msg, s.Instance, header);
  }
  tlsInCallback = false;
}

// Delivers on the calling thread, which holds the callback path; gives the path back.
void TSimWave::DeliverAll(std::unique_lock<std::mutex>& lock, TStream& s, const std::vector<TWaveHdr*>& headers) {
  lock.unlock();
  for (TWaveHdr* h : headers) Deliver(s, s.bInput ? WIM_DATA : WOM_DONE, h);
  lock.lock();
  s.bCallbackBusy = false;
  s.Wake.notify_all();
}

// The front block is done: `recorded` bytes of it were played (or recorded) from HeadBase on.
void TSimWave::CompleteHeadLocked(TStream& s, std::uint32_t recorded) {
  TDevice& dev = DevicesLocked(s.bInput)[s.DeviceId];
  TWaveHdr* h = s.Queue.front();
  s.Queue.pop_front();
  if (s.bInput) {
    auto* data = reinterpret_cast<std::uint8_t*>(h->lpData);
    if (dev.Signal) dev.Signal(data, recorded, s.HeadBase, s.Format);
    else std::memset(data, s.Format.wBitsPerSample == 8 ? 0x80 : 0, recorded);
    h->dwBytesRecorded = recorded;
  } else {
    dev.Played.insert(dev.Played.end(), h->lpData, h->lpData + recorded);
  }
  s.Cursor = s.HeadBase + recorded;
  s.bHeadActive = false;
  s.bContiguous = !s.Queue.empty();
  if (!s.bContiguous && s.bRunning && !s.bInput) s.bStarved = true;
  h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
}

void TSimWave::DeviceThread(std::shared_ptr<TStream> stream) {
  TStream& s = *stream;
  std::unique_lock lock(FMutex);
  while (!s.bClosing) {
    if (s.bCallbackBusy || s.Queue.empty() || !s.bRunning) {
      s.Wake.wait(lock);
      continue;
    }
    TDevice& dev = DevicesLocked(s.bInput)[s.DeviceId];
    TWaveHdr* head = s.Queue.front();
    if (dev.Pace == EWavePace::Manual) {
      if (dev.Credit == 0) {
        s.Wake.wait(lock);
        continue;
      }
      --dev.Credit;
      s.HeadBase = s.Cursor;
      s.bHeadActive = true;
      CompleteHeadLocked(s, head->dwBufferLength);
      s.FrozenPos = s.Cursor;
      s.RunSince = TClock::now();
    } else {
      auto now = TClock::now();
      if (!s.bHeadActive) {
        // After a gap (nothing queued while running) the block starts now: an output played
        // silence meanwhile, an input lost what it heard.
        std::uint64_t pos = AlignDown(s.PosAt(s.QueuedAt), s.Format.nBlockAlign);
        s.HeadBase = s.bContiguous ? s.Cursor : std::max(s.Cursor, pos);
        if (!s.bContiguous && s.bStarved && pos > s.Cursor) ++dev.Underruns;
        s.bStarved = false;
        s.bContiguous = true;
        s.bHeadActive = true;
      }
      auto due = s.TimeOf(s.HeadBase + head->dwBufferLength);
      if (now < due) {
        s.Wake.wait_until(lock, due);
        continue;
      }
      CompleteHeadLocked(s, head->dwBufferLength);
    }
    s.bCallbackBusy = true;
    lock.unlock();
    Deliver(s, s.bInput ? WIM_DATA : WOM_DONE, head);
    lock.lock();
    s.bCallbackBusy = false;
    s.Wake.notify_all();
  }
  --FThreads;
}

// ---------------------------------------------------------------- the calls, both directions

TMMResult TSimWave::CapsImpl(bool bInput, const char* function, std::uint32_t id, TWaveDevCaps& caps) {
  std::lock_guard g(FMutex);
  TMMResult r;
  if (RefuseLocked(function, r)) return r;
  TDevices& devs = DevicesLocked(bInput);
  if (id == WAVE_MAPPER && !devs.empty()) {
    caps.szPname = "Microsoft Sound Mapper";
    caps.wChannels = devs[0].CapsChannels;
    return RecordLocked(function, MMSYSERR_NOERROR);
  }
  if (id >= devs.size()) return RecordLocked(function, MMSYSERR_BADDEVICEID);
  if (devs[id].CapsResult != MMSYSERR_NOERROR) return RecordLocked(function, devs[id].CapsResult);
  caps.szPname = DriverName(devs[id].Name);
  caps.wChannels = devs[id].CapsChannels;
  return RecordLocked(function, MMSYSERR_NOERROR);
}

TMMResult TSimWave::OpenImpl(bool bInput, const char* function, std::uintptr_t* handle, std::uint32_t id,
                             const TWaveFormatExtensible* pwfx, TWaveOutProc outProc, TWaveInProc inProc,
                             std::uintptr_t instance, std::uint32_t flags) {
  std::unique_lock lock(FMutex);
  TMMResult r;
  if (RefuseLocked(function, r)) return r;
  TDevices& devs = DevicesLocked(bInput);
  TOpenRecord rec;
  rec.bInput = bInput;
  rec.RequestedId = id;
  rec.DeviceId = id == WAVE_MAPPER ? 0 : id;
  rec.Flags = flags;
  if (pwfx) rec.Format = *pwfx;
  auto finish = [&](TMMResult result) {
    rec.Result = result;
    FOpens.push_back(rec);
    return RecordLocked(function, result);
  };

  const std::uint32_t callbackType = flags & CALLBACK_TYPEMASK;
  if (callbackType != CALLBACK_FUNCTION && callbackType != CALLBACK_NULL) return finish(MMSYSERR_INVALFLAG);
  if (rec.DeviceId >= devs.size()) return finish(MMSYSERR_BADDEVICEID);
  if (!pwfx) return finish(MMSYSERR_INVALPARAM);
  if (!FormatSupported(*pwfx)) return finish(WAVERR_BADFORMAT);
  TDevice& dev = devs[rec.DeviceId];
  TMMResult scripted = id == WAVE_MAPPER ? FMapperOpenResult[bInput ? 1 : 0] : dev.OpenResult;
  if (scripted != MMSYSERR_NOERROR) return finish(scripted);
  if (dev.bExclusive && dev.OpenCount > 0) return finish(MMSYSERR_ALLOCATED);
  if (flags & WAVE_FORMAT_QUERY) return finish(MMSYSERR_NOERROR);
  if (!handle) return finish(MMSYSERR_INVALPARAM);

  auto s = std::make_shared<TStream>();
  s->bInput = bInput;
  s->Handle = FNextHandle++;
  s->DeviceId = rec.DeviceId;
  s->Format = *pwfx;
  if (callbackType == CALLBACK_FUNCTION) {
    s->OutProc = outProc;
    s->InProc = inProc;
  }
  s->Instance = instance;
  s->RunSince = TClock::now();
  s->bRunning = !bInput;     // an output plays what it gets; an input waits for its start
  s->bCallbackBusy = true;   // WOM_OPEN / WIM_OPEN goes first, from here
  FStreams[s->Handle] = s;
  ++dev.OpenCount;
  ++FThreads;
  s->Thread = std::thread(&TSimWave::DeviceThread, this, s);
  *handle = s->Handle;
  finish(MMSYSERR_NOERROR);
  lock.unlock();
  Deliver(*s, bInput ? WIM_OPEN : WOM_OPEN, nullptr);
  lock.lock();
  s->bCallbackBusy = false;
  s->Wake.notify_all();
  return MMSYSERR_NOERROR;
}

TMMResult TSimWave::CloseImpl(bool bInput, const char* function, std::uintptr_t handle) {
  std::unique_lock lock(FMutex);
  TMMResult r;
  if (RefuseLocked(function, r)) return r;
  auto s = FindLocked(bInput, handle);
  if (!s) return RecordLocked(function, MMSYSERR_INVALHANDLE);
  TakeCallbackPathLocked(lock, *s);
  if (!s->Queue.empty()) {
    s->bCallbackBusy = false;
    s->Wake.notify_all();
    return RecordLocked(function, WAVERR_STILLPLAYING);
  }
  FStreams.erase(handle);
  s->bClosing = true;
  s->Wake.notify_all();
  --DevicesLocked(bInput)[s->DeviceId].OpenCount;
  RecordLocked(function, MMSYSERR_NOERROR);
  lock.unlock();
  if (s->Thread.joinable()) s->Thread.join();
  Deliver(*s, bInput ? WIM_CLOSE : WOM_CLOSE, nullptr);
  return MMSYSERR_NOERROR;
}

TMMResult TSimWave::PrepareImpl(bool bInput, const char* function, std::uintptr_t handle, TWaveHdr* pwh,
                                bool bPrepare) {
  std::lock_guard g(FMutex);
  TMMResult r;
  if (RefuseLocked(function, r)) return r;
  if (!FindLocked(bInput, handle)) return RecordLocked(function, MMSYSERR_INVALHANDLE);
  if (!pwh) return RecordLocked(function, MMSYSERR_INVALPARAM);
  if (bPrepare) {
    pwh->dwFlags |= WHDR_PREPARED;
  } else {
    if (pwh->dwFlags & WHDR_INQUEUE) return RecordLocked(function, WAVERR_STILLPLAYING);
    pwh->dwFlags &= ~WHDR_PREPARED;
  }
  return RecordLocked(function, MMSYSERR_NOERROR);
}

TMMResult TSimWave::QueueImpl(bool bInput, const char* function, std::uintptr_t handle, TWaveHdr* pwh) {
  std::lock_guard g(FMutex);
  TMMResult r;
  if (RefuseLocked(function, r)) return r;
  auto s = FindLocked(bInput, handle);
  if (!s) return RecordLocked(function, MMSYSERR_INVALHANDLE);
  if (!pwh) return RecordLocked(function, MMSYSERR_INVALPARAM);
  if (!(pwh->dwFlags & WHDR_PREPARED)) return RecordLocked(function, WAVERR_UNPREPARED);
  if (pwh->dwFlags & WHDR_INQUEUE) return RecordLocked(function, WAVERR_STILLPLAYING);
  pwh->dwFlags = (pwh->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  if (bInput) pwh->dwBytesRecorded = 0;
  if (s->Queue.empty()) s->QueuedAt = TClock::now();
  s->Queue.push_back(pwh);
  s->Wake.notify_all();
  return RecordLocked(function, MMSYSERR_NOERROR);
}

// Output: restart (bRun) / pause. Input: start (bRun) / stop.
TMMResult TSimWave::RunImpl(bool bInput, const char* function, std::uintptr_t handle, bool bRun) {
  std::unique_lock lock(FMutex);
  TMMResult r;
  if (RefuseLocked(function, r)) return r;
  auto s = FindLocked(bInput, handle);
  if (!s) return RecordLocked(function, MMSYSERR_INVALHANDLE);
  auto now = TClock::now();
  RecordLocked(function, MMSYSERR_NOERROR);
  if (bRun) {
    s->Run(now);
    s->Wake.notify_all();
    return MMSYSERR_NOERROR;
  }
  if (!bInput) {
    s->Halt(now);
    s->Wake.notify_all();
    return MMSYSERR_NOERROR;
  }
  // Input stop: the buffer being filled comes back with what it holds; the others stay queued.
  TakeCallbackPathLocked(lock, *s);
  const bool bManual = DevicesLocked(true)[s->DeviceId].Pace == EWavePace::Manual;
  std::uint64_t pos = AlignDown(s->PosAt(now), s->Format.nBlockAlign);
  s->Halt(now);
  std::vector<TWaveHdr*> back;
  if (s->bHeadActive && !bManual && pos > s->HeadBase) {
    TWaveHdr* head = s->Queue.front();
    auto recorded = static_cast<std::uint32_t>(std::min<std::uint64_t>(head->dwBufferLength, pos - s->HeadBase));
    CompleteHeadLocked(*s, recorded);
    s->FrozenPos = s->Cursor;
    s->bContiguous = true;
    back.push_back(head);
  }
  DeliverAll(lock, *s, back);
  return MMSYSERR_NOERROR;
}

TMMResult TSimWave::ResetImpl(bool bInput, const char* function, std::uintptr_t handle) {
  std::unique_lock lock(FMutex);
  TMMResult r;
  if (RefuseLocked(function, r)) return r;
  auto s = FindLocked(bInput, handle);
  if (!s) return RecordLocked(function, MMSYSERR_INVALHANDLE);
  TakeCallbackPathLocked(lock, *s);
  auto now = TClock::now();
  const bool bManual = DevicesLocked(bInput)[s->DeviceId].Pace == EWavePace::Manual;
  std::vector<TWaveHdr*> back;
  if (bInput && s->bHeadActive && !bManual) {
    std::uint64_t pos = AlignDown(s->PosAt(now), s->Format.nBlockAlign);
    TWaveHdr* head = s->Queue.front();
    auto recorded = static_cast<std::uint32_t>(
        pos > s->HeadBase ? std::min<std::uint64_t>(head->dwBufferLength, pos - s->HeadBase) : 0);
    CompleteHeadLocked(*s, recorded);
    back.push_back(head);
  }
  for (TWaveHdr* h : s->Queue) {
    h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    if (bInput) h->dwBytesRecorded = 0;
    back.push_back(h);
  }
  s->Queue.clear();
  // Position back to zero; an output plays again (a reset ends a pause), an input is stopped.
  s->bRunning = false;
  s->FrozenPos = s->Cursor = s->HeadBase = 0;
  s->bHeadActive = s->bContiguous = s->bStarved = false;
  if (!bInput) s->Run(now);
  RecordLocked(function, MMSYSERR_NOERROR);
  DeliverAll(lock, *s, back);
  return MMSYSERR_NOERROR;
}

// ---------------------------------------------------------------- IWaveAudio

std::uint32_t TSimWave::waveOutGetNumDevs() {
  std::lock_guard g(FMutex);
  TMMResult r;
  if (RefuseLocked("waveOutGetNumDevs", r)) return 0;
  RecordLocked("waveOutGetNumDevs", MMSYSERR_NOERROR);
  return static_cast<std::uint32_t>(FOutputs.size());
}

std::uint32_t TSimWave::waveInGetNumDevs() {
  std::lock_guard g(FMutex);
  TMMResult r;
  if (RefuseLocked("waveInGetNumDevs", r)) return 0;
  RecordLocked("waveInGetNumDevs", MMSYSERR_NOERROR);
  return static_cast<std::uint32_t>(FInputs.size());
}

TMMResult TSimWave::waveOutGetDevCapsW(std::uint32_t uDeviceID, TWaveDevCaps& caps) {
  return CapsImpl(false, "waveOutGetDevCapsW", uDeviceID, caps);
}
TMMResult TSimWave::waveInGetDevCapsW(std::uint32_t uDeviceID, TWaveDevCaps& caps) {
  return CapsImpl(true, "waveInGetDevCapsW", uDeviceID, caps);
}

TMMResult TSimWave::waveOutOpen(THWaveOut* phwo, std::uint32_t uDeviceID, const TWaveFormatExtensible* pwfx,
                                TWaveOutProc callback, std::uintptr_t dwInstance, std::uint32_t fdwOpen) {
  std::uintptr_t h = 0;
  TMMResult r = OpenImpl(false, "waveOutOpen", phwo ? &h : nullptr, uDeviceID, pwfx, callback, nullptr,
                         dwInstance, fdwOpen);
  if (r == MMSYSERR_NOERROR && phwo && h) *phwo = static_cast<THWaveOut>(h);
  return r;
}

TMMResult TSimWave::waveInOpen(THWaveIn* phwi, std::uint32_t uDeviceID, const TWaveFormatExtensible* pwfx,
                               TWaveInProc callback, std::uintptr_t dwInstance, std::uint32_t fdwOpen) {
  std::uintptr_t h = 0;
  TMMResult r = OpenImpl(true, "waveInOpen", phwi ? &h : nullptr, uDeviceID, pwfx, nullptr, callback,
                         dwInstance, fdwOpen);
  if (r == MMSYSERR_NOERROR && phwi && h) *phwi = static_cast<THWaveIn>(h);
  return r;
}

TMMResult TSimWave::waveOutClose(THWaveOut hwo) { return CloseImpl(false, "waveOutClose", static_cast<std::uintptr_t>(hwo)); }
TMMResult TSimWave::waveInClose(THWaveIn hwi) { return CloseImpl(true, "waveInClose", static_cast<std::uintptr_t>(hwi)); }

TMMResult TSimWave::waveOutPrepareHeader(THWaveOut hwo, TWaveHdr* pwh) {
  return PrepareImpl(false, "waveOutPrepareHeader", static_cast<std::uintptr_t>(hwo), pwh, true);
}
TMMResult TSimWave::waveOutUnprepareHeader(THWaveOut hwo, TWaveHdr* pwh) {
  return PrepareImpl(false, "waveOutUnprepareHeader", static_cast<std::uintptr_t>(hwo), pwh, false);
}
TMMResult TSimWave::waveInPrepareHeader(THWaveIn hwi, TWaveHdr* pwh) {
  return PrepareImpl(true, "waveInPrepareHeader", static_cast<std::uintptr_t>(hwi), pwh, true);
}
TMMResult TSimWave::waveInUnprepareHeader(THWaveIn hwi, TWaveHdr* pwh) {
  return PrepareImpl(true, "waveInUnprepareHeader", static_cast<std::uintptr_t>(hwi), pwh, false);
}

TMMResult TSimWave::waveOutWrite(THWaveOut hwo, TWaveHdr* pwh) {
  return QueueImpl(false, "waveOutWrite", static_cast<std::uintptr_t>(hwo), pwh);
}
TMMResult TSimWave::waveInAddBuffer(THWaveIn hwi, TWaveHdr* pwh) {
  return QueueImpl(true, "waveInAddBuffer", static_cast<std::uintptr_t>(hwi), pwh);
}

TMMResult TSimWave::waveOutPause(THWaveOut hwo) { return RunImpl(false, "waveOutPause", static_cast<std::uintptr_t>(hwo), false); }
TMMResult TSimWave::waveOutRestart(THWaveOut hwo) { return RunImpl(false, "waveOutRestart", static_cast<std::uintptr_t>(hwo), true); }
TMMResult TSimWave::waveInStart(THWaveIn hwi) { return RunImpl(true, "waveInStart", static_cast<std::uintptr_t>(hwi), true); }
TMMResult TSimWave::waveInStop(THWaveIn hwi) { return RunImpl(true, "waveInStop", static_cast<std::uintptr_t>(hwi), false); }

TMMResult TSimWave::waveOutReset(THWaveOut hwo) { return ResetImpl(false, "waveOutReset", static_cast<std::uintptr_t>(hwo)); }
TMMResult TSimWave::waveInReset(THWaveIn hwi) { return ResetImpl(true, "waveInReset", static_cast<std::uintptr_t>(hwi)); }

}  // namespace portwise::platform::sim

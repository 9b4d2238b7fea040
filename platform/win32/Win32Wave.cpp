#include "platform/win32/Win32Wave.h"

#include <cstddef>
#include <cwchar>
#include <memory>

namespace {

namespace seam = portwise::platform;

// The seam's values, taken before <mmsystem.h> turns the same names into macros.
constexpr std::uint32_t kSeamValues[] = {
    seam::MMSYSERR_NOERROR, seam::MMSYSERR_ERROR, seam::MMSYSERR_BADDEVICEID, seam::MMSYSERR_NOTENABLED,
    seam::MMSYSERR_ALLOCATED, seam::MMSYSERR_INVALHANDLE, seam::MMSYSERR_NODRIVER, seam::MMSYSERR_NOMEM,
    seam::MMSYSERR_NOTSUPPORTED, seam::MMSYSERR_INVALFLAG, seam::MMSYSERR_INVALPARAM, seam::MMSYSERR_HANDLEBUSY,
    seam::CALLBACK_TYPEMASK, seam::CALLBACK_NULL, seam::CALLBACK_WINDOW, seam::CALLBACK_THREAD,
    seam::CALLBACK_FUNCTION, seam::CALLBACK_EVENT, seam::WAVERR_BADFORMAT, seam::WAVERR_STILLPLAYING,
    seam::WAVERR_UNPREPARED, seam::WAVERR_SYNC, seam::WAVE_MAPPER, seam::WAVE_FORMAT_QUERY,
    seam::WAVE_ALLOWSYNC, seam::WAVE_MAPPED, seam::WAVE_FORMAT_DIRECT, seam::WOM_OPEN,
    seam::WOM_CLOSE, seam::WOM_DONE, seam::WIM_OPEN, seam::WIM_CLOSE,
    seam::WIM_DATA, seam::WHDR_DONE, seam::WHDR_PREPARED, seam::WHDR_BEGINLOOP,
    seam::WHDR_ENDLOOP, seam::WHDR_INQUEUE,
};

}  // namespace

#include "platform/win32/Win32Internal.h"  // <windows.h> before <mmsystem.h>

#include <mmsystem.h>
#include <mmreg.h>

namespace {

constexpr std::uint32_t kWinmmValues[] = {
    MMSYSERR_NOERROR, MMSYSERR_ERROR, MMSYSERR_BADDEVICEID, MMSYSERR_NOTENABLED,
    MMSYSERR_ALLOCATED, MMSYSERR_INVALHANDLE, MMSYSERR_NODRIVER, MMSYSERR_NOMEM,
    MMSYSERR_NOTSUPPORTED, MMSYSERR_INVALFLAG, MMSYSERR_INVALPARAM, MMSYSERR_HANDLEBUSY,
    CALLBACK_TYPEMASK, CALLBACK_NULL, CALLBACK_WINDOW, CALLBACK_THREAD,
    CALLBACK_FUNCTION, CALLBACK_EVENT, WAVERR_BADFORMAT, WAVERR_STILLPLAYING,
    WAVERR_UNPREPARED, WAVERR_SYNC, WAVE_MAPPER, WAVE_FORMAT_QUERY,
    WAVE_ALLOWSYNC, WAVE_MAPPED, WAVE_FORMAT_DIRECT, WOM_OPEN,
    WOM_CLOSE, WOM_DONE, WIM_OPEN, WIM_CLOSE,
    WIM_DATA, WHDR_DONE, WHDR_PREPARED, WHDR_BEGINLOOP,
    WHDR_ENDLOOP, WHDR_INQUEUE,
};
static_assert(sizeof(kSeamValues) == sizeof(kWinmmValues));

constexpr int FirstDifference() {
  for (std::size_t i = 0; i < std::size(kSeamValues); ++i)
    if (kSeamValues[i] != kWinmmValues[i]) return static_cast<int>(i);
  return -1;
}
static_assert(FirstDifference() == -1, "a winmm constant of the seam has the wrong value");

using portwise::platform::TWaveFormatExtensible;
using portwise::platform::TWaveHdr;

// Headers and formats pass to winmm as they are.
static_assert(sizeof(TWaveHdr) == sizeof(WAVEHDR));
static_assert(offsetof(TWaveHdr, lpData) == offsetof(WAVEHDR, lpData));
static_assert(offsetof(TWaveHdr, dwBufferLength) == offsetof(WAVEHDR, dwBufferLength));
static_assert(offsetof(TWaveHdr, dwBytesRecorded) == offsetof(WAVEHDR, dwBytesRecorded));
static_assert(offsetof(TWaveHdr, dwUser) == offsetof(WAVEHDR, dwUser));
static_assert(offsetof(TWaveHdr, dwFlags) == offsetof(WAVEHDR, dwFlags));
static_assert(offsetof(TWaveHdr, dwLoops) == offsetof(WAVEHDR, dwLoops));
static_assert(offsetof(TWaveHdr, lpNext) == offsetof(WAVEHDR, lpNext));
static_assert(offsetof(TWaveHdr, reserved) == offsetof(WAVEHDR, reserved));
static_assert(sizeof(TWaveHdr::dwFlags) == sizeof(WAVEHDR::dwFlags));
static_assert(sizeof(TWaveHdr::dwUser) == sizeof(WAVEHDR::dwUser));

static_assert(sizeof(TWaveFormatExtensible) == sizeof(WAVEFORMATEXTENSIBLE));
static_assert(offsetof(TWaveFormatExtensible, nChannels) == offsetof(WAVEFORMATEXTENSIBLE, Format.nChannels));
static_assert(offsetof(TWaveFormatExtensible, nSamplesPerSec) == offsetof(WAVEFORMATEXTENSIBLE, Format.nSamplesPerSec));
static_assert(offsetof(TWaveFormatExtensible, nAvgBytesPerSec) == offsetof(WAVEFORMATEXTENSIBLE, Format.nAvgBytesPerSec));
static_assert(offsetof(TWaveFormatExtensible, nBlockAlign) == offsetof(WAVEFORMATEXTENSIBLE, Format.nBlockAlign));
static_assert(offsetof(TWaveFormatExtensible, wBitsPerSample) == offsetof(WAVEFORMATEXTENSIBLE, Format.wBitsPerSample));
static_assert(offsetof(TWaveFormatExtensible, cbSize) == offsetof(WAVEFORMATEXTENSIBLE, Format.cbSize));
static_assert(offsetof(TWaveFormatExtensible, wValidBitsPerSample) ==
              offsetof(WAVEFORMATEXTENSIBLE, Samples.wValidBitsPerSample));
static_assert(offsetof(TWaveFormatExtensible, dwChannelMask) == offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask));
static_assert(offsetof(TWaveFormatExtensible, SubFormat) == offsetof(WAVEFORMATEXTENSIBLE, SubFormat));

}  // namespace

namespace portwise::platform::win32 {
namespace {

HWAVEOUT Out(THWaveOut h) { return reinterpret_cast<HWAVEOUT>(static_cast<std::uintptr_t>(h)); }
HWAVEIN In(THWaveIn h) { return reinterpret_cast<HWAVEIN>(static_cast<std::uintptr_t>(h)); }
WAVEHDR* Hdr(TWaveHdr* h) { return reinterpret_cast<WAVEHDR*>(h); }
const WAVEFORMATEX* Fmt(const TWaveFormatExtensible* f) { return reinterpret_cast<const WAVEFORMATEX*>(f); }

void CALLBACK OutProc(HWAVEOUT hwo, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
  auto* box = reinterpret_cast<const TWin32Wave::TCallbackBox*>(instance);
  box->OutProc(static_cast<THWaveOut>(reinterpret_cast<std::uintptr_t>(hwo)), msg, box->Instance,
               msg == WOM_DONE ? reinterpret_cast<TWaveHdr*>(param1) : nullptr);
}

void CALLBACK InProc(HWAVEIN hwi, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
  auto* box = reinterpret_cast<const TWin32Wave::TCallbackBox*>(instance);
  box->InProc(static_cast<THWaveIn>(reinterpret_cast<std::uintptr_t>(hwi)), msg, box->Instance,
              msg == WIM_DATA ? reinterpret_cast<TWaveHdr*>(param1) : nullptr);
}

// szPname up to its first NUL, at most the whole array.
std::string DeviceName(const WCHAR (&name)[MAXPNAMELEN]) {
  return ToUtf8(name, static_cast<int>(wcsnlen(name, MAXPNAMELEN)));
}

// True, with the result, for what winmm would misread: a callback of another type than a function
// (ours is no window, thread or event), a null format or handle pointer.
bool Refused(const TWaveFormatExtensible* pwfx, bool bHandle, std::uint32_t flags, TMMResult& result) {
  const std::uint32_t type = flags & CALLBACK_TYPEMASK;
  if (type != CALLBACK_FUNCTION && type != CALLBACK_NULL) result = MMSYSERR_INVALFLAG;
  else if (!pwfx || (!bHandle && !(flags & WAVE_FORMAT_QUERY))) result = MMSYSERR_INVALPARAM;
  else return false;
  return true;
}

// The box to hand winmm, when the caller wants callbacks; the flags say so.
std::unique_ptr<TWin32Wave::TCallbackBox> MakeBox(bool bWanted, std::uint32_t& flags) {
  flags &= ~static_cast<std::uint32_t>(CALLBACK_TYPEMASK);
  if (!bWanted) return nullptr;
  flags |= CALLBACK_FUNCTION;
  return std::make_unique<TWin32Wave::TCallbackBox>();
}

}  // namespace

// Boxes of devices still open stay: winmm may still call through them.
TWin32Wave::~TWin32Wave() = default;

void TWin32Wave::Keep(std::uintptr_t handle, TCallbackBox* box) {
  std::lock_guard g(FMutex);
  FBoxes[handle] = box;
}

void TWin32Wave::Forget(std::uintptr_t handle) {
  TCallbackBox* box = nullptr;
  {
    std::lock_guard g(FMutex);
    auto it = FBoxes.find(handle);
    if (it == FBoxes.end()) return;
    box = it->second;
    FBoxes.erase(it);
  }
  delete box;
}

// ---------------------------------------------------------------- output

std::uint32_t TWin32Wave::waveOutGetNumDevs() { return ::waveOutGetNumDevs(); }

TMMResult TWin32Wave::waveOutGetDevCapsW(std::uint32_t uDeviceID, TWaveDevCaps& caps) {
  WAVEOUTCAPSW c{};
  MMRESULT r = ::waveOutGetDevCapsW(uDeviceID, &c, sizeof(c));
  if (r == MMSYSERR_NOERROR) {
    caps.szPname = DeviceName(c.szPname);
    caps.wChannels = c.wChannels;
  }
  return r;
}

TMMResult TWin32Wave::waveOutOpen(THWaveOut* phwo, std::uint32_t uDeviceID, const TWaveFormatExtensible* pwfx,
                                  TWaveOutProc callback, std::uintptr_t dwInstance, std::uint32_t fdwOpen) {
  TMMResult refused;
  if (Refused(pwfx, phwo != nullptr, fdwOpen, refused)) return refused;
  const bool bQuery = (fdwOpen & WAVE_FORMAT_QUERY) != 0;
  auto box = MakeBox(callback && !bQuery && (fdwOpen & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION, fdwOpen);
  if (box) {
    box->OutProc = callback;
    box->Instance = dwInstance;
  }
  HWAVEOUT h = nullptr;
  MMRESULT r = ::waveOutOpen(bQuery ? nullptr : &h, uDeviceID, Fmt(pwfx),
                             box ? reinterpret_cast<DWORD_PTR>(&OutProc) : 0, reinterpret_cast<DWORD_PTR>(box.get()),
                             fdwOpen);
  if (r != MMSYSERR_NOERROR || bQuery) return r;
  *phwo = static_cast<THWaveOut>(reinterpret_cast<std::uintptr_t>(h));
  if (box) Keep(reinterpret_cast<std::uintptr_t>(h), box.release());
  return r;
}

TMMResult TWin32Wave::waveOutClose(THWaveOut hwo) {
  MMRESULT r = ::waveOutClose(Out(hwo));
  // WOM_CLOSE came before waveOutClose returned: nothing calls through the box any more.
  if (r == MMSYSERR_NOERROR) Forget(static_cast<std::uintptr_t>(hwo));
  return r;
}

TMMResult TWin32Wave::waveOutPrepareHeader(THWaveOut hwo, TWaveHdr* pwh) {
  return ::waveOutPrepareHeader(Out(hwo), Hdr(pwh), sizeof(WAVEHDR));
}
TMMResult TWin32Wave::waveOutUnprepareHeader(THWaveOut hwo, TWaveHdr* pwh) {
  return ::waveOutUnprepareHeader(Out(hwo), Hdr(pwh), sizeof(WAVEHDR));
}
TMMResult TWin32Wave::waveOutWrite(THWaveOut hwo, TWaveHdr* pwh) {
  return ::waveOutWrite(Out(hwo), Hdr(pwh), sizeof(WAVEHDR));
}
TMMResult TWin32Wave::waveOutPause(THWaveOut hwo) { return ::waveOutPause(Out(hwo)); }
TMMResult TWin32Wave::waveOutRestart(THWaveOut hwo) { return ::waveOutRestart(Out(hwo)); }
TMMResult TWin32Wave::waveOutReset(THWaveOut hwo) { return ::waveOutReset(Out(hwo)); }

// ---------------------------------------------------------------- input

std::uint32_t TWin32Wave::waveInGetNumDevs() { return ::waveInGetNumDevs(); }

TMMResult TWin32Wave::waveInGetDevCapsW(std::uint32_t uDeviceID, TWaveDevCaps& caps) {
  WAVEINCAPSW c{};
  MMRESULT r = ::waveInGetDevCapsW(uDeviceID, &c, sizeof(c));
  if (r == MMSYSERR_NOERROR) {
    caps.szPname = DeviceName(c.szPname);
    caps.wChannels = c.wChannels;
  }
  return r;
}

TMMResult TWin32Wave::waveInOpen(THWaveIn* phwi, std::uint32_t uDeviceID, const TWaveFormatExtensible* pwfx,
                                 TWaveInProc callback, std::uintptr_t dwInstance, std::uint32_t fdwOpen) {
  TMMResult refused;
  if (Refused(pwfx, phwi != nullptr, fdwOpen, refused)) return refused;
  const bool bQuery = (fdwOpen & WAVE_FORMAT_QUERY) != 0;
  auto box = MakeBox(callback && !bQuery && (fdwOpen & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION, fdwOpen);
  if (box) {
    box->InProc = callback;
    box->Instance = dwInstance;
  }
  HWAVEIN h = nullptr;
  MMRESULT r = ::waveInOpen(bQuery ? nullptr : &h, uDeviceID, Fmt(pwfx),
                            box ? reinterpret_cast<DWORD_PTR>(&InProc) : 0, reinterpret_cast<DWORD_PTR>(box.get()),
                            fdwOpen);
  if (r != MMSYSERR_NOERROR || bQuery) return r;
  *phwi = static_cast<THWaveIn>(reinterpret_cast<std::uintptr_t>(h));
  if (box) Keep(reinterpret_cast<std::uintptr_t>(h), box.release());
  return r;
}

TMMResult TWin32Wave::waveInClose(THWaveIn hwi) {
  MMRESULT r = ::waveInClose(In(hwi));
  if (r == MMSYSERR_NOERROR) Forget(static_cast<std::uintptr_t>(hwi));
  return r;
}

TMMResult TWin32Wave::waveInPrepareHeader(THWaveIn hwi, TWaveHdr* pwh) {
  return ::waveInPrepareHeader(In(hwi), Hdr(pwh), sizeof(WAVEHDR));
}
TMMResult TWin32Wave::waveInUnprepareHeader(THWaveIn hwi, TWaveHdr* pwh) {
  return ::waveInUnprepareHeader(In(hwi), Hdr(pwh), sizeof(WAVEHDR));
}
TMMResult TWin32Wave::waveInAddBuffer(THWaveIn hwi, TWaveHdr* pwh) {
  return ::waveInAddBuffer(In(hwi), Hdr(pwh), sizeof(WAVEHDR));
}
TMMResult TWin32Wave::waveInStart(THWaveIn hwi) { return ::waveInStart(In(hwi)); }
TMMResult TWin32Wave::waveInStop(THWaveIn hwi) { return ::waveInStop(In(hwi)); }
TMMResult TWin32Wave::waveInReset(THWaveIn hwi) { return ::waveInReset(In(hwi)); }

}  // namespace portwise::platform::win32

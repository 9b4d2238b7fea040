#pragma once
// Seam: Windows waveform audio, the waveOut... and waveIn... functions of winmm. Only the MME
// components call it. The calls keep winmm's names, arguments and result codes; what differs:
// handles are opaque, names come back as UTF-8, the header size is the implementation's business
// (32 bytes on 32-bit Windows, 48 on 64-bit), and callbacks are plain functions.
//
// Contract (checked against both implementations by the wave contract tests):
// - Devices are numbered 0 .. count-1 in system order; WAVE_MAPPER opens the default device.
//   Capabilities of a number at or past the count fail with MMSYSERR_BADDEVICEID. A name is read
//   up to its first NUL, from at most 32 UTF-16 units (Windows fills 31 and a NUL).
// - Open takes the 40-byte WAVEFORMATEXTENSIBLE record and winmm's flags: CALLBACK_FUNCTION or
//   CALLBACK_NULL (any other callback type fails with MMSYSERR_INVALFLAG), WAVE_ALLOWSYNC,
//   WAVE_MAPPED (the mapper converts for the given device), WAVE_FORMAT_DIRECT, WAVE_FORMAT_QUERY
//   (only checks the format: no handle, no callback). A format the device cannot take fails with
//   WAVERR_BADFORMAT, a null one with MMSYSERR_INVALPARAM. A failed open gives no handle and makes
//   no callback. WOM_OPEN / WIM_OPEN is delivered once before open returns, WOM_CLOSE / WIM_CLOSE
//   once before close returns.
// - Headers: prepare before write / add (else WAVERR_UNPREPARED). Write and add set WHDR_INQUEUE and
//   clear WHDR_DONE; from then on the header, its flags included, belongs to the device until it
//   comes back: WHDR_INQUEUE cleared, WHDR_DONE set, then WOM_DONE / WIM_DATA with the header.
//   Unpreparing a queued header fails with WAVERR_STILLPLAYING and leaves it queued; unpreparing an
//   unprepared one, or preparing twice, succeeds.
// - Output: blocks are played at the format's rate and come back in write order. Pause holds
//   playback: once waveOutPause has returned no block completes until waveOutRestart, also when the
//   pause came before the first write. Whether a reset ends a pause is not part of the contract
//   (Wine: it does): pause again after a reset when needed.
// - Reset returns every queued block or buffer, in order, marked WHDR_DONE and called back, before
//   it returns. Close succeeds once nothing is queued. Closing with blocks queued is the caller's
//   fault: Windows (and the simulation) refuse it with WAVERR_STILLPLAYING; Wine 8 closes and never
//   returns them.
// - Input: added buffers fill only while started, in order; a full buffer comes back with
//   dwBytesRecorded = dwBufferLength. Stop returns the buffer being filled when it holds data (with
//   its count, before stop returns) and leaves the others queued; a new start fills them. Counts are
//   whole frames.
// - Threads: callbacks come from a thread of the driver (those that reset, stop, open and close
//   produce may come on the calling thread, before the call returns), one at a time per device and
//   in order. A callback may only queue work (a short lock, a post, a semaphore): calling a wave
//   function from it deadlocks on Windows; the simulation refuses it with MMSYSERR_ERROR and
//   records it.
//
// <mmsystem.h> defines the winmm constants below as macros of the same values; a file that includes
// it before this header sees only the macros.
#include <cstdint>
#include <string>
#include <type_traits>

namespace portwise::platform {

using TMMResult = std::uint32_t;

// Opaque device handles; 0 is "none".
enum class THWaveOut : std::uintptr_t {};
enum class THWaveIn : std::uintptr_t {};

#ifndef MMSYSERR_NOERROR
constexpr TMMResult MMSYSERR_NOERROR = 0;
constexpr TMMResult MMSYSERR_ERROR = 1;
constexpr TMMResult MMSYSERR_BADDEVICEID = 2;
constexpr TMMResult MMSYSERR_NOTENABLED = 3;
constexpr TMMResult MMSYSERR_ALLOCATED = 4;
constexpr TMMResult MMSYSERR_INVALHANDLE = 5;
constexpr TMMResult MMSYSERR_NODRIVER = 6;
constexpr TMMResult MMSYSERR_NOMEM = 7;
constexpr TMMResult MMSYSERR_NOTSUPPORTED = 8;
constexpr TMMResult MMSYSERR_INVALFLAG = 10;
constexpr TMMResult MMSYSERR_INVALPARAM = 11;
constexpr TMMResult MMSYSERR_HANDLEBUSY = 12;

constexpr std::uint32_t CALLBACK_TYPEMASK = 0x00070000;
constexpr std::uint32_t CALLBACK_NULL = 0x00000000;
constexpr std::uint32_t CALLBACK_WINDOW = 0x00010000;
constexpr std::uint32_t CALLBACK_THREAD = 0x00020000;
constexpr std::uint32_t CALLBACK_FUNCTION = 0x00030000;
constexpr std::uint32_t CALLBACK_EVENT = 0x00050000;
#endif

#ifndef WHDR_DONE
constexpr TMMResult WAVERR_BADFORMAT = 32;
constexpr TMMResult WAVERR_STILLPLAYING = 33;
constexpr TMMResult WAVERR_UNPREPARED = 34;
constexpr TMMResult WAVERR_SYNC = 35;

constexpr std::uint32_t WAVE_MAPPER = 0xFFFFFFFF;

// Open flags.
constexpr std::uint32_t WAVE_FORMAT_QUERY = 0x0001;
constexpr std::uint32_t WAVE_ALLOWSYNC = 0x0002;
constexpr std::uint32_t WAVE_MAPPED = 0x0004;
constexpr std::uint32_t WAVE_FORMAT_DIRECT = 0x0008;

// Callback messages.
constexpr std::uint32_t WOM_OPEN = 0x3BB;
constexpr std::uint32_t WOM_CLOSE = 0x3BC;
constexpr std::uint32_t WOM_DONE = 0x3BD;
constexpr std::uint32_t WIM_OPEN = 0x3BE;
constexpr std::uint32_t WIM_CLOSE = 0x3BF;
constexpr std::uint32_t WIM_DATA = 0x3C0;

// Header flags.
constexpr std::uint32_t WHDR_DONE = 0x01;
constexpr std::uint32_t WHDR_PREPARED = 0x02;
constexpr std::uint32_t WHDR_BEGINLOOP = 0x04;
constexpr std::uint32_t WHDR_ENDLOOP = 0x08;
constexpr std::uint32_t WHDR_INQUEUE = 0x10;
#endif

// WAVEHDR, field for field: on Windows a pointer to it is handed to winmm unchanged.
struct TWaveHdr {
  char* lpData = nullptr;
  std::uint32_t dwBufferLength = 0;
  std::uint32_t dwBytesRecorded = 0;
  std::uintptr_t dwUser = 0;
  std::uint32_t dwFlags = 0;
  std::uint32_t dwLoops = 0;
  TWaveHdr* lpNext = nullptr;  // the driver's
  std::uintptr_t reserved = 0; // the driver's
};
static_assert(std::is_standard_layout_v<TWaveHdr>);

struct TWaveGuid {
  std::uint32_t Data1 = 0;
  std::uint16_t Data2 = 0, Data3 = 0;
  std::uint8_t Data4[8] = {};
  friend bool operator==(const TWaveGuid&, const TWaveGuid&) = default;
};

// WAVEFORMATEXTENSIBLE, flattened: the same 40 bytes as the format record the components carry.
struct TWaveFormatExtensible {
  std::uint16_t wFormatTag = 0;
  std::uint16_t nChannels = 0;
  std::uint32_t nSamplesPerSec = 0;
  std::uint32_t nAvgBytesPerSec = 0;
  std::uint16_t nBlockAlign = 0;
  std::uint16_t wBitsPerSample = 0;
  std::uint16_t cbSize = 0;
  std::uint16_t wValidBitsPerSample = 0;
  std::uint32_t dwChannelMask = 0;
  TWaveGuid SubFormat;
  friend bool operator==(const TWaveFormatExtensible&, const TWaveFormatExtensible&) = default;
};
static_assert(sizeof(TWaveFormatExtensible) == 40);
static_assert(std::is_trivially_copyable_v<TWaveFormatExtensible>);

// The part of WAVEOUTCAPSW / WAVEINCAPSW that the components read.
struct TWaveDevCaps {
  std::string szPname;  // UTF-8
  std::uint16_t wChannels = 0;  // as the driver says: nothing keeps it from being 0 or absurd
};

// Called with WOM_OPEN, WOM_DONE (header = the block) and WOM_CLOSE (header null); see Threads above.
using TWaveOutProc = void (*)(THWaveOut hwo, std::uint32_t uMsg, std::uintptr_t dwInstance, TWaveHdr* header);
// Called with WIM_OPEN, WIM_DATA (header = the buffer) and WIM_CLOSE (header null).
using TWaveInProc = void (*)(THWaveIn hwi, std::uint32_t uMsg, std::uintptr_t dwInstance, TWaveHdr* header);

class IWaveAudio {
 public:
  virtual ~IWaveAudio() = default;

  virtual std::uint32_t waveOutGetNumDevs() = 0;
  virtual TMMResult waveOutGetDevCapsW(std::uint32_t uDeviceID, TWaveDevCaps& caps) = 0;
  // phwo may be null with WAVE_FORMAT_QUERY.
  virtual TMMResult waveOutOpen(THWaveOut* phwo, std::uint32_t uDeviceID, const TWaveFormatExtensible* pwfx,
                                TWaveOutProc callback, std::uintptr_t dwInstance, std::uint32_t fdwOpen) = 0;
  virtual TMMResult waveOutClose(THWaveOut hwo) = 0;
  virtual TMMResult waveOutPrepareHeader(THWaveOut hwo, TWaveHdr* pwh) = 0;
  virtual TMMResult waveOutUnprepareHeader(THWaveOut hwo, TWaveHdr* pwh) = 0;
  virtual TMMResult waveOutWrite(THWaveOut hwo, TWaveHdr* pwh) = 0;
  virtual TMMResult waveOutPause(THWaveOut hwo) = 0;
  virtual TMMResult waveOutRestart(THWaveOut hwo) = 0;
  virtual TMMResult waveOutReset(THWaveOut hwo) = 0;

  virtual std::uint32_t waveInGetNumDevs() = 0;
  virtual TMMResult waveInGetDevCapsW(std::uint32_t uDeviceID, TWaveDevCaps& caps) = 0;
  virtual TMMResult waveInOpen(THWaveIn* phwi, std::uint32_t uDeviceID, const TWaveFormatExtensible* pwfx,
                               TWaveInProc callback, std::uintptr_t dwInstance, std::uint32_t fdwOpen) = 0;
  virtual TMMResult waveInClose(THWaveIn hwi) = 0;
  virtual TMMResult waveInPrepareHeader(THWaveIn hwi, TWaveHdr* pwh) = 0;
  virtual TMMResult waveInUnprepareHeader(THWaveIn hwi, TWaveHdr* pwh) = 0;
  virtual TMMResult waveInAddBuffer(THWaveIn hwi, TWaveHdr* pwh) = 0;
  virtual TMMResult waveInStart(THWaveIn hwi) = 0;
  virtual TMMResult waveInStop(THWaveIn hwi) = 0;
  virtual TMMResult waveInReset(THWaveIn hwi) = 0;
};

}  // namespace portwise::platform

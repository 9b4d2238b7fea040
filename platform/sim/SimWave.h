#pragma once
// The simulated waveform-audio service. A test scripts the devices (names, failing calls, pace,
// the signal an input records) and reads back what the program asked of it: the formats and flags
// opened, the PCM that reached each output, every call in order.
//
// Each open device has a thread of its own that plays (or records) the queued blocks: in real time
// at the format's nAvgBytesPerSec, or, at manual pace, exactly when the test releases blocks. It
// marks a block done and calls back from that thread, in order. Open, close, stop and reset call
// back on the calling thread before they return, as Wine does. A device thread ends with its close
// (or with the simulation). Where Windows and Wine differ: closing with blocks queued fails with
// WAVERR_STILLPLAYING, as on Windows; a reset ends a pause, as on Wine (Windows does not say).
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Wave.h"

namespace portwise::platform::sim {

enum class EWavePace { RealTime, Manual };

class TSimWave final : public IWaveAudio {
 public:
  // Writes `bytes` of recorded audio for the stream bytes [streamByte, streamByte + bytes);
  // `streamByte` and `bytes` are whole frames of `format`. Runs with the simulation locked: it
  // must not call the simulation.
  using TSignal = std::function<void(std::uint8_t* data, std::uint32_t bytes, std::uint64_t streamByte,
                                     const TWaveFormatExtensible& format)>;
  // Every sample of frame n holds n (in the container's width, little-endian; 8-bit offset by 128).
  static TSignal FrameCounter();
  // Every channel of frame n holds round(amplitude * sin(2 pi hz n / rate)).
  static TSignal Sine(double hz, double amplitude);

  struct TOpenRecord {
    bool bInput = false;
    std::uint32_t RequestedId = 0;  // as passed: a number or WAVE_MAPPER
    std::uint32_t DeviceId = 0;     // the device it reached (the mapper's is 0)
    TWaveFormatExtensible Format;   // zero when the format pointer was null
    std::uint32_t Flags = 0;
    TMMResult Result = 0;
  };
  struct TCall {
    std::string Function;  // the seam's name: "waveOutWrite", ...
    TMMResult Result = 0;
  };

  TSimWave();
  ~TSimWave() override;  // ends the threads of devices still open, without callbacks
  TSimWave(const TSimWave&) = delete;
  TSimWave& operator=(const TSimWave&) = delete;

  // --- scripting: devices are numbered in the order they are added ---
  std::uint32_t AddOutputDevice(const std::string& name);
  std::uint32_t AddInputDevice(const std::string& name);
  // The capabilities call for this identifier fails with `result` (0 makes it succeed again).
  void FailOutputCaps(std::uint32_t id, TMMResult result);
  void FailInputCaps(std::uint32_t id, TMMResult result);
  // Every open of this identifier (or of WAVE_MAPPER) fails with `result` until set back to 0.
  void SetOutputOpenResult(std::uint32_t id, TMMResult result);
  void SetInputOpenResult(std::uint32_t id, TMMResult result);
  // An exclusive device refuses a second open with MMSYSERR_ALLOCATED while it is open.
  void SetOutputExclusive(std::uint32_t id, bool bExclusive);
  void SetInputExclusive(std::uint32_t id, bool bExclusive);
  // After `after` more calls of `function` (a seam name) that work, the next `count` fail with
  // `result` and do nothing else.
  void FailNextCall(const std::string& function, TMMResult result, unsigned count = 1, unsigned after = 0);
  // The capabilities report this many channels (default 2), true or not.
  void SetOutputCapsChannels(std::uint32_t id, std::uint16_t channels);
  void SetInputCapsChannels(std::uint32_t id, std::uint16_t channels);
  // Applies to the device's streams from now on (default RealTime).
  void SetOutputPace(std::uint32_t id, EWavePace pace);
  void SetInputPace(std::uint32_t id, EWavePace pace);
  // Manual pace: the device plays (fills) `count` more blocks as soon as they are queued and it
  // runs. Unused releases carry over.
  void ReleaseOutputBlocks(std::uint32_t id, unsigned count);
  void ReleaseInputBlocks(std::uint32_t id, unsigned count);
  // Silence when none is set.
  void SetInputSignal(std::uint32_t id, TSignal signal);

  // --- reading back ---
  std::vector<TOpenRecord> Opens() const;
  std::vector<TCall> Calls() const;
  std::vector<std::string> CallNames() const;
  // The PCM of every block this output finished playing, in order, across opens (a block cut by a
  // reset is not in it).
  std::vector<std::uint8_t> PlayedBytes(std::uint32_t outputId) const;
  // Times an output ran dry while playing and later got more to play.
  unsigned Underruns(std::uint32_t outputId) const;
  // Wave functions a callback called (refused with MMSYSERR_ERROR).
  std::vector<std::string> CallbackViolations() const;
  std::size_t OpenDevices() const;
  // Drops what was recorded so far (opens, calls, played audio, violations), for long runs.
  void ForgetHistory();
  std::size_t RunningDeviceThreads() const;

  // --- IWaveAudio ---
  std::uint32_t waveOutGetNumDevs() override;
  TMMResult waveOutGetDevCapsW(std::uint32_t uDeviceID, TWaveDevCaps& caps) override;
  TMMResult waveOutOpen(THWaveOut* phwo, std::uint32_t uDeviceID, const TWaveFormatExtensible* pwfx,
                        TWaveOutProc callback, std::uintptr_t dwInstance, std::uint32_t fdwOpen) override;
  TMMResult waveOutClose(THWaveOut hwo) override;
  TMMResult waveOutPrepareHeader(THWaveOut hwo, TWaveHdr* pwh) override;
  TMMResult waveOutUnprepareHeader(THWaveOut hwo, TWaveHdr* pwh) override;
  TMMResult waveOutWrite(THWaveOut hwo, TWaveHdr* pwh) override;
  TMMResult waveOutPause(THWaveOut hwo) override;
  TMMResult waveOutRestart(THWaveOut hwo) override;
  TMMResult waveOutReset(THWaveOut hwo) override;

  std::uint32_t waveInGetNumDevs() override;
  TMMResult waveInGetDevCapsW(std::uint32_t uDeviceID, TWaveDevCaps& caps) override;
  TMMResult waveInOpen(THWaveIn* phwi, std::uint32_t uDeviceID, const TWaveFormatExtensible* pwfx,
                       TWaveInProc callback, std::uintptr_t dwInstance, std::uint32_t fdwOpen) override;
  TMMResult waveInClose(THWaveIn hwi) override;
  TMMResult waveInPrepareHeader(THWaveIn hwi, TWaveHdr* pwh) override;
  TMMResult waveInUnprepareHeader(THWaveIn hwi, TWaveHdr* pwh) override;
  TMMResult waveInAddBuffer(THWaveIn hwi, TWaveHdr* pwh) override;
  TMMResult waveInStart(THWaveIn hwi) override;
  TMMResult waveInStop(THWaveIn hwi) override;
  TMMResult waveInReset(THWaveIn hwi) override;

 private:
  struct TDevice;
  struct TStream;
  using TDevices = std::vector<TDevice>;

  TDevices& DevicesLocked(bool bInput) { return bInput ? FInputs : FOutputs; }
  bool RefuseLocked(const char* function, TMMResult& result);  // callback violations, scripted failures
  TMMResult RecordLocked(const char* function, TMMResult result);
  TMMResult CapsImpl(bool bInput, const char* function, std::uint32_t id, TWaveDevCaps& caps);
  TMMResult OpenImpl(bool bInput, const char* function, std::uintptr_t* handle, std::uint32_t id,
                     const TWaveFormatExtensible* pwfx, TWaveOutProc outProc, TWaveInProc inProc,
                     std::uintptr_t instance, std::uint32_t flags);
  TMMResult CloseImpl(bool bInput, const char* function, std::uintptr_t handle);
  TMMResult PrepareImpl(bool bInput, const char* function, std::uintptr_t handle, TWaveHdr* pwh, bool bPrepare);
  TMMResult QueueImpl(bool bInput, const char* function, std::uintptr_t handle, TWaveHdr* pwh);
  TMMResult RunImpl(bool bInput, const char* function, std::uintptr_t handle, bool bRun);
  TMMResult ResetImpl(bool bInput, const char* function, std::uintptr_t handle);
  std::shared_ptr<TStream> FindLocked(bool bInput, std::uintptr_t handle);

  void DeviceThread(std::shared_ptr<TStream> stream);
  // Waits until the device thread is out of its callback, then owns the callback path.
  void TakeCallbackPathLocked(std::unique_lock<std::mutex>& lock, TStream& s);
  void Deliver(TStream& s, std::uint32_t msg, TWaveHdr* header);
  void DeliverAll(std::unique_lock<std::mutex>& lock, TStream& s, const std::vector<TWaveHdr*>& headers);
  void CompleteHeadLocked(TStream& s, std::uint32_t recorded);
  void ReleaseLocked(bool bInput, std::uint32_t id, unsigned count);

  mutable std::mutex FMutex;
  TDevices FOutputs, FInputs;
  TMMResult FMapperOpenResult[2] = {0, 0};  // [output, input]
  struct TFailure {
    TMMResult Result = 0;
    unsigned Count = 0;
    unsigned After = 0;  // calls still to let through first
  };
  std::map<std::string, TFailure> FFailNext;
  std::map<std::uintptr_t, std::shared_ptr<TStream>> FStreams;
  std::uintptr_t FNextHandle = 0x5100;
  std::vector<TOpenRecord> FOpens;
  std::vector<TCall> FCalls;
  std::vector<std::string> FViolations;
  std::size_t FThreads = 0;
};

}  // namespace portwise::platform::sim

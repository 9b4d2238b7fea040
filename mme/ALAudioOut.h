#pragma once
// The waveform-audio output, and what the MME components share: the wave thread that turns the
// driver's callbacks into work on a thread of ours, the device state shared with that thread and
// the record of one buffer at the device.
//
// The output opens its device when a stream starts, with the stream's own format, starts it
// paused and lets it run once enough audio is queued (the prefill). Every buffer it receives is
// copied once into storage of its own, which the device reads until it gives the block back.
//
// Threads. The main thread sets properties, starts and stops streams and frees the output; the
// producer's thread delivers buffers (and starts the device at the end of the prefill); the wave
// thread completes blocks, asks the source for more when the output is the stream's pump and
// processes the operation queue; the driver's thread only queues a record for the wave thread.
// Locks, in the order they nest: the component's lock (a stop section in close and destruction),
// the params section, the wave thread's queue section. The params section is never held across
// a call into another component. Reopening for a new stream is never done on the wave thread.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/ALAudioBuffer.h"
#include "core/ALAudioFormat.h"
#include "core/LPComponent.h"
#include "core/OWOperations.h"
#include "core/OWPins.h"
#include "gen/SLClockGen.h"
#include "gen/SLSemaphore.h"
#include "mme/ALAudioDevices.h"
#include "platform/Wave.h"

namespace portwise {

inline constexpr const char* KALCantOpenAudioDevice = "Can't open audio device.";
inline constexpr const char* KALCantPauseAudioDevice = "Can't pause audio device.";
inline constexpr const char* KALCantRestartAudioDevice = "Can't restart audio device.";

// Flags of every open: a callback function, synchronous drivers allowed, and WAVE_MAPPED for a
// device chosen by number.
inline constexpr std::uint32_t ALWaveOpenMapperFlags = 0x30002;
inline constexpr std::uint32_t ALWaveOpenDeviceFlags = 0x30006;
inline std::uint32_t ALWaveOpenFlags(std::uint32_t ADeviceID) {
  return ADeviceID == ALWaveMapperID ? ALWaveOpenMapperFlags : ALWaveOpenDeviceFlags;
}

// The 40-byte record as the seam takes it (the same bytes).
platform::TWaveFormatExtensible ALToWaveFormat(const TALWaveFormatExtensible& AFormat);

// ------------------------------------------------------------------ wave thread

// Runs the device's messages on a thread of its own, at highest priority. The driver callback
// only queues a small record and wakes the thread (PushRecord), so nothing of ours runs on the
// driver's thread.
class TALWaveThread final : public TLPThread {
 public:
  // (message, device handle, header)
  using TALWaveProcessMessage = std::function<void(std::uint32_t uMsg, std::uintptr_t hwo, platform::TWaveHdr* AWaveHdr)>;

  TALWaveThread(const std::string& AName, TALWaveProcessMessage AOnProcess);
  // Terminates (when not done yet) and discards what is still queued.
  ~TALWaveThread() override;

  // Any thread, the driver's included; ignored once terminated.
  void PushRecord(std::uint32_t uMsg, std::uintptr_t hwo, platform::TWaveHdr* AWaveHdr);
  // Ends the thread: it stops before the next record and this waits for it.
  void Terminate();
  // Drops every queued record.
  void ClearRecords();
  bool Terminated() const noexcept { return FTerminated.load(); }
  // Records queued and not yet taken, for diagnostics and tests.
  std::size_t PendingRecords();

  static constexpr std::int64_t KMaxPending = 2000;

 private:
  struct TALWaveItemNode {
    TALWaveItemNode* Next = nullptr;
    std::uintptr_t Hwo = 0;
    std::uint32_t Msg = 0;
    platform::TWaveHdr* WaveHdr = nullptr;
  };

  void Execute();
  TALWaveItemNode* NewNodeLocked();
  void FreeNodeLocked(TALWaveItemNode* ANode);
  void FreeAllLocked();

  TALWaveProcessMessage FOnProcess;
  TSLSemaphore FSemaphore{KMaxPending};
  std::atomic<bool> FTerminated{false};
  std::mutex FSection;  // guards the queue and the spare nodes
  TALWaveItemNode* FFirstNode = nullptr;
  TALWaveItemNode* FLastNode = nullptr;
  TALWaveItemNode* FSpareNodes = nullptr;  // recycled, so a steady stream allocates nothing
  std::size_t FPending = 0;
};

// ------------------------------------------------------------------ shared device state

class TALWaveBuffer;
class IALAudioParams;

// The state a device component shares with its wave thread: whether the device is open, whether
// the component drives the stream, the buffers at the device in submission order. The accessors
// take no lock: callers hold Lock wherever the state must not change under them.
class IALAudioParams : public ISLUnknown {
 public:
  virtual bool GetIsOpen() = 0;
  virtual void SetIsOpen(bool AValue) = 0;
  virtual bool GetIsPump() = 0;
  virtual void SetIsPump(bool AValue) = 0;
  virtual std::vector<std::unique_ptr<TALWaveBuffer>>& GetList() = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
};

class TALAudioParams final : public IALAudioParams {
 public:
  static TRefPtr<IALAudioParams> Create() { return TRefPtr<IALAudioParams>(new TALAudioParams()); }

  void AddRef() noexcept override { FRefCount.Increment(); }
  void Release() noexcept override {
    if (FRefCount.Decrement()) delete this;
  }
  bool GetIsOpen() override { return FIsOpen.load(); }
  void SetIsOpen(bool AValue) override { FIsOpen.store(AValue); }
  bool GetIsPump() override { return FIsPump.load(); }
  void SetIsPump(bool AValue) override { FIsPump.store(AValue); }
  std::vector<std::unique_ptr<TALWaveBuffer>>& GetList() override { return FBufferList; }
  void Lock() override { FSection.lock(); }
  void Unlock() override { FSection.unlock(); }

 private:
  TALAudioParams() = default;
  ~TALAudioParams() override;

  TSLRefCount FRefCount;
  std::atomic<bool> FIsOpen{false};
  std::atomic<bool> FIsPump{false};
  std::vector<std::unique_ptr<TALWaveBuffer>> FBufferList;
  std::recursive_mutex FSection;
};

// The params section for a scope; Leave and Enter for the stretches in between.
class TALParamsSection {
 public:
  explicit TALParamsSection(IALAudioParams& AParams) : FParams(AParams) { Enter(); }
  ~TALParamsSection() { Leave(); }
  TALParamsSection(const TALParamsSection&) = delete;
  TALParamsSection& operator=(const TALParamsSection&) = delete;
  void Enter() {
    if (!FHeld) FParams.Lock();
    FHeld = true;
  }
  void Leave() {
    if (FHeld) FParams.Unlock();
    FHeld = false;
  }

 private:
  IALAudioParams& FParams;
  bool FHeld = false;
};

// One buffer at a device. The header points into Data's samples, which Data keeps alive until
// the device has given the block back.
class TALWaveBuffer {
 public:
  platform::THWaveOut HOut{};
  platform::THWaveIn HIn{};
  platform::TWaveHdr WaveHdr{};
  PALAudioBuffer Data;
  TRefPtr<IALAudioParams> Params;  // the input's records keep the shared state alive
};

// ------------------------------------------------------------------ operation queue

// Operations received and not yet processed. Every access takes the component's lock and does
// nothing when it is refused (the component is stopping).
class TSLOperationList {
 public:
  explicit TSLOperationList(ILPLock* ALock) : FLock(ALock) {}

  // Appends; with ASingleItem only the newest entry is kept.
  void Push(IOWNotifyOperation* AOperation, bool ASingleItem);
  // Puts the operation in front: it is processed next.
  void PushBack(IOWNotifyOperation* AOperation);
  // The front entry, or empty.
  TRefPtr<IOWNotifyOperation> Pop();
  void Clear();
  std::size_t Count();

 private:
  ILPLock* FLock;
  std::deque<TRefPtr<IOWNotifyOperation>> FList;
};

// ------------------------------------------------------------------ pumping settings

// Whether an output offers to pump its stream, and with which priority.
class TLPMasterPumping : public TLPPersistent {
 public:
  TLPMasterPumping(TPersistent* AOwner, IOWLock* AOwnerLock) : TLPPersistent(AOwner, AOwnerLock) {}

  bool GetEnabled() const;
  void SetEnabled(bool AValue);
  std::int32_t GetPriority() const;
  void SetPriority(std::int32_t AValue);

  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  bool FEnabled = false;
  std::int32_t FPriority = 0;
};

// ------------------------------------------------------------------ output base

// What every output component shares: the input pin, the enable and clock pins, Enabled, the
// pumping settings and the format of the current stream.
class TALBasicAudioOut : public TLPComponent {
 public:
  explicit TALBasicAudioOut(TComponent* AOwner);
  ~TALBasicAudioOut() override;

  TALOWAudioSinkPin& GetInputPin() noexcept { return FInputPin; }
  TOWBoolStatePin& GetEnablePin() noexcept { return FEnablePin; }
  TOWClockSourcePin& GetClockOutputPin() noexcept { return FClockOutputPin; }

  bool GetEnabled() const;
  void SetEnabled(bool AValue);
  TLPMasterPumping& GetMasterPumping() noexcept { return FMasterPumping; }
  const TLPMasterPumping& GetMasterPumping() const noexcept { return FMasterPumping; }
  void SetMasterPumping(const TLPMasterPumping& AValue) { FMasterPumping.Assign(AValue); }

  // The format of the current stream, when there is one.
  bool GetStreamFormat(TALWaveFormatExtensible& AFormat) const;

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  // What arrives on the input pin, on the delivering thread.
  virtual TOWNotifyResult InputPinOperation(IOWNotifyOperation* AOperation) = 0;
  // Runs after Enabled changed, with the lock held.
  virtual void EnabledChanged() {}
  // Drops every connection of the three pins (destructors call it first).
  void DisconnectPins();

  TALOWAudioSinkPin FInputPin;
  TOWBoolStatePin FEnablePin;
  TOWClockSourcePin FClockOutputPin;
  bool FEnabled = true;
  TLPMasterPumping FMasterPumping;
  std::unique_ptr<TALWaveFormatExtensible> FWaveFormat;
};

// ------------------------------------------------------------------ MME output

class TALAudioOut : public TALBasicAudioOut {
 public:
  explicit TALAudioOut(TComponent* AOwner);
  // Resets the device at once (queued audio is cut), releases every buffer and closes it.
  ~TALAudioOut() override;

  std::uint32_t GetPrefillInterval() const;
  void SetPrefillInterval(std::uint32_t AValue);
  TALAudioOutDevice& GetDevice() noexcept { return FDevice; }
  const TALAudioOutDevice& GetDevice() const noexcept { return FDevice; }
  void SetDevice(const TALAudioOutDevice& AValue) { FDevice.Assign(AValue); }

  TSLErrorEvent GetOnError() const;
  void SetOnError(TSLErrorEvent AValue);
  TSLWarningEvent GetOnWarning() const;
  void SetOnWarning(TSLWarningEvent AValue);
  TNotifyEvent GetOnQueueEmpty() const;
  // Raised on the main thread each time the device has given back its last buffer.
  void SetOnQueueEmpty(TNotifyEvent AValue);

  // Opens the device (not paused) for the known stream format, when not open yet; true when it
  // did.
  bool Open();
  // Closes the device; the output no longer drives the stream.
  void Close();
  // Drops the queued operations; an open device is reset and paused, and the prefill starts anew.
  void Flush();

  // State, for diagnostics and tests.
  bool IsOpen();
  bool IsPump();
  std::size_t BuffersAtDevice();
  std::size_t QueuedOperations() { return FBufferQueue.Count(); }

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  TOWNotifyResult InputPinOperation(IOWNotifyOperation* AOperation) override;
  void EnabledChanged() override;

 private:
  // A section of the component's lock, taken back after every delivery: a delivery gives the
  // lock up, and a stop that began meanwhile keeps it from coming back. False: stop working.
  using THold = TOWLockSectionRef;
  bool Relock(THold& AHold);
  // Asks the source for one buffer, then takes the lock back.
  bool PumpUpstream(THold& AHold);

  bool ProcessQueue(THold& AHold);
  void ProcessQueueNotified();
  // Handles one operation; false ends the processing (AStopProcessing) or the lock was lost.
  bool ProcessOperation(IOWNotifyOperation* AOperation, bool& AStopProcessing, THold& AHold);
  bool OpenForStream(TALWaveFormatExtensible AFormat, bool APause);
  bool SubmitBuffer(const PALAudioBuffer& ABuffer, THold& AHold);
  bool Resume(THold& AHold);
  void Pause();
  void ClaimPump(TOWPumpRequestOperation& ARequest);
  void CloseDevice(bool AClearPump);
  // The device, its buffers and the wave thread go whatever the platform says (destruction).
  // The close's result: a device that refused to close keeps its handle, buffers and thread.
  platform::TMMResult ReleaseDevice();
  void WaveMessage(std::uint32_t uMsg, platform::TWaveHdr* AWaveHdr);
  void BufferDone(platform::TWaveHdr* AWaveHdr);
  void QueueEmptyNotified();
  bool OnWaveThread();
  void ReportError(const char* AErrorText, platform::TMMResult AResult);
  void ReportWarning(const std::string& AErrorText, std::int32_t AErrorCode);

  static void WaveOutProc(platform::THWaveOut hwo, std::uint32_t uMsg, std::uintptr_t dwInstance,
                          platform::TWaveHdr* header);

  platform::THWaveOut HOut{};
  std::uint32_t FPrefillInterval = 300;
  TRefPtr<IALAudioParams> FParams;
  TALAudioOutDevice FDevice;
  std::unique_ptr<TALWaveThread> FWaveThread;
  std::unique_ptr<TSLMainThreadNotify> FProcessNotify;
  std::unique_ptr<TSLMainThreadNotify> FMainThreadQueueEmpty;
  TSLOperationList FBufferQueue;
  bool FStopped = false;
  bool FResumed = false;
  std::atomic<bool> FPaused{false};  // read by the wave thread
  bool FStartResumed = false;
  std::int64_t FStartInterval = 0;
  std::int32_t FStopping = 0;
  std::atomic<std::int32_t> FMissedPumps{0};
  mutable std::mutex FOnQueueEmptySection;
  TSLErrorEvent FOnError;
  TSLWarningEvent FOnWarning;
  TNotifyEvent FOnQueueEmpty;  // guarded by FOnQueueEmptySection
};

}  // namespace portwise

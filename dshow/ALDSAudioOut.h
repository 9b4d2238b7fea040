#pragma once
// The DirectShow output. It plays the stream that arrives on its input pin through the renderer
// of the selected device: a filter graph of its own push source filter, into which it feeds the
// buffers with consecutive time stamps, and the renderer, connected by the capture graph builder.
// Incoming buffers are queued; the graph stays stopped until more than PrefillInterval ms are
// queued, then a player thread moves the queue into the source filter, paced by the renderer
// (the filter has a single sample). When the stream ends, what was queued is played out: the
// output delivers end-of-stream and, once the renderer has played it (its completion event and
// the stream clock agree), stops the graph and raises OnQueueEmpty on the main thread.
//
// Threads. The main thread constructs, sets properties, opens, closes, handles graph events and
// the posted end of a stream, and destroys. The producer's thread delivers operations (and runs
// the graph at the end of the prefill). The player thread feeds the source filter with the lock
// given up, so the renderer may keep it waiting without holding anybody else. The clock thread
// runs once per buffer period when the output paces its source (MasterPumping or a connected
// ClockOutputPin). Every wait of these threads ends when the output stops: a stop stops the graph,
// which releases a delivery, and refuses the threads the lock.
//
// Locks: the component's lock guards all state; closing, stopping and destruction take its stop
// section, so worker threads give up at once. Calls that give the lock up (the graph's Run, a
// delivery, a pin notification) are followed by taking it again afresh: a stop that began
// meanwhile makes that fail, and the caller then gives up. The buffer queue has a mutex of its
// own, never held across a call.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/ALAudioBuffer.h"
#include "core/ALAudioFormat.h"
#include "core/LPComponent.h"
#include "core/OWOperations.h"
#include "core/OWPins.h"
#include "dshow/DSAudioSourceFilter.h"
#include "dshow/DSDevices.h"
#include "dshow/DSGraph.h"
#include "gen/SLClockGen.h"
#include "mme/ALAudioOut.h"
#include "platform/ComServices.h"

namespace portwise {

inline constexpr const char* KDSCantCreateAudioRenderFilter = "Can't create audio render filter.";
inline constexpr const char* KDSCantAddAudioRenderFilter = "Can't add audio render filter.";
inline constexpr const char* KDSCantSetAudioSourceFilter = "Can't set audio source filter.";
inline constexpr const char* KDSCantRenderAudioOutput = "Can't render audio output.";
inline constexpr const char* KDSCantObtainMediaFilter = "Can't obtain IMediaFilter.";
inline constexpr const char* KDSCantStartRender = "Can't start render.";
inline constexpr const char* KDSCantObtainReferenceClock = "Can't obtain the reggerence clock.";

// What Open builds the graph with before any stream has been announced.
inline constexpr TALWaveFormatExtensible KDSDefaultOutFormat{
    ALWaveFormatExtensibleTag, 2, 11025, 44100, 4, 16, ALWaveFormatExtensibleCbSize, 16, 3, ALSubFormatPCM};

class TALDSAudioOut;

// The thread that feeds the source filter. It waits for a wake-up (bounded, the owner says how
// long) and runs the owner's step; PauseIt keeps it parked between steps until ResumeIt.
class TALPlayerThread final : public TLPThread {
 public:
  TALPlayerThread(TALDSAudioOut& AOwner, const std::string& AName);
  // Terminates and waits for the thread.
  ~TALPlayerThread() override;

  void WakeUp();
  void PauseIt();
  void ResumeIt();

 private:
  void Execute();

  TALDSAudioOut& FOwner;
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FWake = false;
  bool FInProcessing = true;
  bool FTerminated = false;
};

// A thread the reference clock wakes: the clock releases its semaphore once per advised period
// and the thread runs its callback once per release.
class TDSClockThread final : public TLPThread {
 public:
  TDSClockThread(const std::string& AName, std::function<void()> AOnClock);
  ~TDSClockThread() override;

  platform::TClockSemaphore Semaphore() const noexcept { return FSemaphore; }

 private:
  std::function<void()> FOnClock;
  platform::TClockSemaphore FSemaphore;
  std::atomic<bool> FTerminated{false};
};

class TALDSAudioOut : public TALBasicAudioOut {
 public:
  explicit TALDSAudioOut(TComponent* AOwner);
  // Stops the stream at once (queued audio is cut) and tears the graph down.
  ~TALDSAudioOut() override;

  std::uint32_t GetPrefillInterval() const;
  void SetPrefillInterval(std::uint32_t AValue);
  TDSAudioOutputDevice& GetAudioOutputDevice() noexcept { return *FAudioOutputDevice; }
  const TDSAudioOutputDevice& GetAudioOutputDevice() const noexcept { return *FAudioOutputDevice; }
  void SetAudioOutputDevice(const TDSAudioOutputDevice& AValue) { FAudioOutputDevice->Assign(AValue); }
  TDSGraph& GetGraph() noexcept { return *FGraph; }
  const TDSGraph& GetGraph() const noexcept { return *FGraph; }
  void SetGraph(const TDSGraph& AValue) { FGraph->Assign(AValue); }

  // The renderer's volume in hundredths of a decibel, -10000 .. 0 (0 without a renderer).
  std::int32_t GetVolume();
  void SetVolume(std::int32_t AValue);
  // -10000 (left) .. 10000 (right), 0 without a renderer.
  std::int32_t GetBalance();
  void SetBalance(std::int32_t AValue);

  bool GetOpened() const;
  void SetOpened(bool AValue);
  // Builds the graph (stopped) for the current stream format, or 11025 Hz stereo 16-bit before
  // any stream. A failure raises ESLException (unless Graph.OnError handles it) and leaves the
  // output closed. Nothing when already open.
  void Open();
  // Delivers end-of-stream and tears the graph down.
  void Close();
  // Drops the queued operations and buffers and flushes the renderer.
  void Flush();

  TNotifyEvent GetOnQueueEmpty() const;
  // Raised on the main thread once a stream that ended has been played out: everything queued
  // before its stop has been played by the renderer. The graph is stopped by then.
  void SetOnQueueEmpty(TNotifyEvent AValue);

  // State, for diagnostics and tests.
  bool IsStreaming();  // a stream is in progress
  bool IsPlaying();    // the graph runs for it
  bool IsPump();
  std::size_t QueuedBuffers();
  std::size_t QueuedOperations() { return FOperationQueue.Count(); }
  REFERENCE_TIME CurrentAudioTime();
  TDSAudioSourceFilter* SourceFilter();

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  TOWNotifyResult InputPinOperation(IOWNotifyOperation* AOperation) override;
  void EnabledChanged() override;

 private:
  friend class TALPlayerThread;
  using THold = TOWLockSectionRef;

  // Takes the lock afresh after a call that gave it up; false when a stop refused it.
  bool Relock(THold& AHold);

  void Enable(THold& AHold);
  void Disable();
  // First stage of Open: the graph, its builder and the renderer. Its errors are caught: the
  // graph is torn down and the error handed back.
  std::exception_ptr BuildRenderer();
  // Second stage: the source filter with the stream format, rendered. Errors raise.
  bool BuildSource();
  void TearDown();
  void UnbuildGraph();
  void ReopenForStream(THold& AHold);
  bool ProcessNextOperation(THold& AHold);
  bool QueueBuffer(const PALAudioBuffer& ABuffer, THold& AHold);
  bool StartRender(THold& AHold);
  bool ResumeRender(THold& AHold);
  void PauseRender();
  void StopStream(bool AClearPump);
  bool PumpStep(THold& AHold);
  bool PumpOnce(THold& AHold);
  void ClaimPump(TOWPumpRequestOperation& ARequest);
  void ResetPlayOut();

  // --- the player thread's side
  std::chrono::milliseconds PlayerWaitTime();
  void PlayerStep(bool ATimedOut);
  void Drain();
  bool SendBuffer(const PALAudioBuffer& ABuffer);
  void CheckPlayOut();

  // --- other threads
  void ClockTick();
  void GraphNotify(std::int32_t AEventCode);
  void StreamPlayedOut();

  bool FIsPump = false;
  std::unique_ptr<TDSAudioOutputDevice> FAudioOutputDevice;
  std::uint32_t FPrefillInterval = 300;
  std::int64_t FStartInterval = 0;
  bool FIsOpen = false;
  std::unique_ptr<TDSGraph> FGraph;
  bool FGraphBuilt = false;
  TRefPtr<IReferenceClock> FReferenceClock;
  TRefPtr<IMediaFilter> FMediaFilter;
  TRefPtr<IBaseFilter> FAudioSourceFilter;
  TDSAudioSourceFilter* FAudioSourceObject = nullptr;  // kept alive by FAudioSourceFilter
  DWORD_PTR FAdviseCookie = 0;
  bool FAdvised = false;
  TRefPtr<IMoniker> FMAudio;
  TRefPtr<IBaseFilter> FAudioRenderFilter;
  TRefPtr<IBasicAudio> FBasicAudio;
  bool FOpened = false;
  REFERENCE_TIME FCurrentAudioTime = 0;
  std::unique_ptr<TDSClockThread> FClockThread;
  bool FInPrefill = false;
  std::int64_t FOldAdviseFreq = -1;
  std::mutex FListCriticalSection;
  std::deque<PALAudioBuffer> FBufferQueue;  // guarded by FListCriticalSection
  TSLOperationList FOperationQueue;
  std::unique_ptr<TALPlayerThread> FPlayerThread;
  bool FResumed = false;
  bool FIntPaused = false;
  bool FPaused = false;
  bool FStopped = false;
  bool FStartResumed = false;
  std::atomic<bool> FInSending{false};
  std::unique_ptr<TSLMainThreadNotify> FMainThreadNotify;
  std::int32_t FCountBuffers = 0;
  // One pump at a time: a delivery gives our lock up, and two pumps under way at once could
  // deliver their buffers out of order. A step asked for meanwhile is owed to the pumping thread.
  std::atomic<std::thread::id> FPumpingThread{};
  std::int32_t FPumpsOwed = 0;

  // Playing out the end of a stream.
  bool FEndOfStreamSent = false;
  REFERENCE_TIME FPlayOutEnd = 0;  // stream time at which the last buffer ends
  std::atomic<bool> FCompleteSeen{false};
  bool FPlayedOutPosted = false;
  mutable std::mutex FOnQueueEmptySection;
  TNotifyEvent FOnQueueEmpty;  // guarded by FOnQueueEmptySection
};

}  // namespace portwise

#pragma once
// The ASIO device: one component for both directions of one driver. It opens the driver its
// Device selector names, reads the driver's channels, buffer sizes, sample rate and latencies,
// starts and stops the stream and reports every driver failure through OnError / OnWarning with
// the step's text, " - " and the text of the driver's result code. Each input channel item owns a
// source pin (listed in OutputPins) that delivers what the driver records; each output channel
// item owns a sink pin (listed in InputPins) that takes what it plays. Item k of a channel
// collection stands for driver channel k of that direction.
//
// States: closed (no driver), open (driver held), running (driver started). Any failed driver
// call that is an error releases the driver first, so the device is closed again afterwards and
// the next Open creates a new driver object.
//
// Threads. The main thread configures, opens, starts, stops and closes; a pin delivery may start
// the device from another thread. The driver calls back on its own threads through a callback
// slot bound at Start and given back when the driver goes. A buffer switch does no audio work: it
// hands the half to the device's worker thread and waits until the worker has converted every
// buffer of the cycle (recorded halves become audio buffers for the input items, queued audio of
// the output items becomes driver samples); the worker then refills the output queues, pulling
// from the sources when the device pumps them. Each input item delivers its buffers on a thread of
// its own, so a slow receiver never holds up the driver.
//
// Locks: the one component lock, shared by every sub-object (write sections for Open, Start, the
// worker's cycle, the sink pins' handlers and the setters, read sections for the queries, stop
// sections for Stop, Close and destruction, so that every other thread's attempt is refused at
// once while the device stops). The driver's threads never take it: the hand-over has a mutex of
// its own (FDataSection). A buffer switch waits for the worker only while the device streams: one
// that comes while the driver starts, after the device began to stop, or after it stopped returns
// at once; one that waits is released when the device stops or the worker is refused. Driver
// calls made while the device may stream are made without the component lock, so no driver that
// serialises its calls with its callbacks can deadlock with the worker. COM is entered by the
// constructor and left by the destructor, so a device is created and destroyed on one thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "asio/ALASIOAudioQueue.h"
#include "asio/ALASIOCallbackEntries.h"
#include "asio/ALASIODevice.h"
#include "asio/ASIOInterface.h"
#include "core/ALAudioFormat.h"
#include "core/LPComponent.h"
#include "core/OWPinList.h"
#include "core/OWPins.h"
#include "gen/SLClockGen.h"
#include "gen/SLInterfaceQueue.h"
#include "gen/SLNotifyThread.h"
#include "mme/ALAudioOut.h"

namespace portwise {

// Step texts of the reports.
inline constexpr const char* KASIOCantInitDriver = "Can't init driver";
inline constexpr const char* KASIOCantSetSampleRate = "Can't set sample rate";
inline constexpr const char* KASIOCantGetSampleRate = "Can't get sample rate";
inline constexpr const char* KASIOCantGetChannels = "Can't get channels";
inline constexpr const char* KASIOCantGetBufferSize = "Can't get buffer size";
inline constexpr const char* KASIOCantGetInputChannelInfo = "Can't get inpit channel %d info";
inline constexpr const char* KASIOCantGetOutputChannelInfo = "Can't get outpit channel %d info";
inline constexpr const char* KASIOCantGetLatencies = "Can't get latencies";
inline constexpr const char* KASIOCantSetClockSource = "Can't release callback";
inline constexpr const char* KASIOCantCreateBuffers = "Can't create buffers";
inline constexpr const char* KASIOCantStart = "Can't start";
inline constexpr const char* KASIOCantStop = "Can't stop";
inline constexpr const char* KASIOCantDisposeBuffers = "Can't dispose buffers";

// More channels than this in one direction is not a driver's answer to be believed.
inline constexpr std::int32_t KASIOMaxChannels = 1024;
// Records offered to getClockSources.
inline constexpr std::int32_t KASIOClockSourceCapacity = 151;

class TALASIOAudioDevice;

// ------------------------------------------------------------------ settings

// A setting the driver has a current value of; UseCurrent leaves the driver's own alone.
class TALASIOOptionalProperty : public TLPPersistent {
 public:
  TALASIOOptionalProperty(TALASIOAudioDevice* AOwner, IOWLock* AOwnerLock);

  bool GetUseCurrent() const { return FUseCurrent.load(); }
  void SetUseCurrent(bool AValue) { FUseCurrent.store(AValue); }

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  TALASIOAudioDevice* FOwner;

 private:
  std::atomic<bool> FUseCurrent{true};
};

// Applied at the next Open (a new Rate on an open device needs a Close first).
class TALASIOSampleRate : public TALASIOOptionalProperty {
 public:
  using TALASIOOptionalProperty::TALASIOOptionalProperty;

  double GetRate() const;
  // 0 or below is stored as 44100.
  void SetRate(double AValue);
  // The driver's rate as read at Open (opening when needed); 0 when it cannot be opened.
  double GetRunningSampleRate() const;

  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  double FRate = 44100;
};

// The half-buffer size: the driver's preferred one, or Size fitted into the driver's range.
class TALASIOBufferSize : public TLPPersistent {
 public:
  TALASIOBufferSize(TALASIOAudioDevice* AOwner, IOWLock* AOwnerLock);

  bool GetUsePreferred() const { return FUsePreferred.load(); }
  void SetUsePreferred(bool AValue) { FUsePreferred.store(AValue); }
  std::uint32_t GetSize() const;
  void SetSize(std::uint32_t AValue);
  // What the driver reported at the last Open (0 before).
  std::int32_t GetMin() const;
  std::int32_t GetMax() const;
  std::int32_t GetPreferred() const;
  std::int32_t GetGranularity() const;
  // Frames per half-buffer of the last Start.
  std::int32_t GetRunningSize() const;

  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  friend class TALASIOAudioDevice;
  TALASIOAudioDevice* FOwner;
  std::atomic<bool> FUsePreferred{true};
  std::uint32_t FSize = 0;
  std::int32_t FMin = 0, FMax = 0, FPreferred = 0, FGranularity = 0;
};

class TALASIOAvailableClockSources {
 public:
  explicit TALASIOAvailableClockSources(TALASIOAudioDevice* AOwner) : FOwner(AOwner) {}
  // Opens the device (an exception there passes on); the driver's count of clock sources, 0 when
  // the device cannot be opened or the call fails.
  std::int32_t GetCount() const;

 private:
  TALASIOAudioDevice* FOwner;
};

class TALASIOClockSource : public TALASIOOptionalProperty {
 public:
  TALASIOClockSource(TALASIOAudioDevice* AOwner, IOWLock* AOwnerLock);

  std::uint32_t GetActieveIndex() const;
  // A new index goes to an open driver at once unless UseCurrent (the result is not looked at);
  // otherwise it is applied at the next Start.
  void SetActieveIndex(std::uint32_t AValue);
  TALASIOAvailableClockSources& GetSources();

  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  std::uint32_t FActieveIndex = 0;
  TALASIOAvailableClockSources FSources;
};

// ------------------------------------------------------------------ channels

class TALASIOChannelItem : public TLPCollectionItem {
 public:
  explicit TALASIOChannelItem(TLPCollection* ACollection);

  // Read at each Start.
  bool GetEnabled() const { return FEnabled.load(); }
  void SetEnabled(bool AValue) { FEnabled.store(AValue); }
  // The channel is part of the running stream: set by Start for enabled items, cleared by Stop
  // and whenever the driver goes.
  bool GetRunning() const noexcept { return FRunning.load(); }
  TALASIOAudioDevice* GetDevice() const noexcept { return FDevice; }

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  friend class TALASIOAudioDevice;
  TALASIOAudioDevice* FDevice;
  std::atomic<bool> FEnabled{true};
  std::atomic<bool> FRunning{false};
};

// A driver input channel: what it records leaves on OutputPin. The worker queues one buffer per
// half-buffer; the item's delivery thread submits them in order.
class TALASIOInputChannelItem : public TALASIOChannelItem {
 public:
  explicit TALASIOInputChannelItem(TLPCollection* ACollection);
  // Ends the delivery thread first, then takes the pin away.
  ~TALASIOInputChannelItem() override;

  TALOWAudioSourcePin& GetOutputPin() noexcept { return FOutputPin; }

 private:
  friend class TALASIOAudioDevice;
  // Operations coming back from the receivers: none is used.
  TOWNotifyResult OutputPinOperation(IOWNotifyOperation* AOperation);
  // On the worker's thread, under the device lock: one recorded buffer to deliver.
  void QueueBuffer(const PALAudioBuffer& ABuffer);
  // One wake-up of the delivery thread.
  void Deliver();
  // The stream ends: waits for a delivery under way and drops what was not delivered, so that
  // nothing follows the stream's stop on the pin.
  void ClearQueue();

  TALOWAudioSourcePin FOutputPin;
  TRefPtr<ISLInterfaceQueue> FAudioBufferQueue;
  // A delivery against the end of the stream; a receiver may end it from inside the delivery.
  std::recursive_mutex FDeliverySection;
  std::unique_ptr<TSLNotifyThread> FAudioDataThread;
};

// A driver output channel: what arrives on InputPin is played. Buffers of any size, width and
// channel count are queued by reference; each cycle takes one half-buffer of their front-left
// channel. A source that paces itself is played once a half-buffer and one of its buffers are
// queued (again after the queue ran dry), so that its clock's jitter does not break the sound; a
// source this device pumps is played as soon as a half-buffer is there. When the source ends its
// stream, what is queued is played out before the device stops.
class TALASIOOutputChannelItem : public TALASIOChannelItem {
 public:
  explicit TALASIOOutputChannelItem(TLPCollection* ACollection);
  ~TALASIOOutputChannelItem() override;

  TALOWAudioSinkPin& GetInputPin() noexcept { return FInputPin; }
  // The item is the pumping master of its source.
  bool GetIsPump() const;
  // Frames queued and not yet played.
  std::uint32_t GetQueuedFrames() const;

 private:
  friend class TALASIOAudioDevice;
  // Stream operations from the source, under the device lock.
  TOWNotifyResult InputPinOperation(IOWNotifyOperation* AOperation);
  void ClaimPump(TOWPumpRequestOperation& ARequest);
  // Asks the source for one buffer when this item pumps it. The device lock is given up meanwhile.
  void PumpStep();
  // One output half of ACount frames (worker, under the device lock). True when the source's
  // ended stream has now been played out.
  bool Play(TASIOSampleType AType, void* AHalf, std::uint32_t ACount, std::uint32_t ARate);

  TALOWAudioSinkPin FInputPin;
  // Guarded by the device lock.
  TALASIOAudioQueue FBufferQueue;
  bool FIsPump = false;
  std::uint32_t FLastBufferSize = 0;
  bool FPrimed = false;       // the queue is being played
  bool FStreamEnded = false;  // the source ended its stream; the queue is played out
};

class TALASIOChannels : public TLPCollection {
 public:
  TALASIOChannels(TALASIOAudioDevice* AOwner, IOWLock* AOwnerLock);
  TALASIOAudioDevice* GetDevice() const noexcept { return FOwner; }

 protected:
  TALASIOAudioDevice* FOwner;
};

template <class TItem>
class TALASIOChannelsOf : public TALASIOChannels {
 public:
  using TALASIOChannels::TALASIOChannels;
  TItem* Add() { return static_cast<TItem*>(TLPCollection::Add()); }
  TItem* GetItem(std::int32_t AIndex) const { return static_cast<TItem*>(TLPCollection::GetItem(AIndex)); }

 protected:
  std::unique_ptr<TLPCollectionItem> CreateItem() override { return std::make_unique<TItem>(this); }
};

class TALASIOInputChannels final : public TALASIOChannelsOf<TALASIOInputChannelItem> {
 public:
  using TALASIOChannelsOf::TALASIOChannelsOf;
};

class TALASIOOutputChannels final : public TALASIOChannelsOf<TALASIOOutputChannelItem> {
 public:
  using TALASIOChannelsOf::TALASIOChannelsOf;
};

// One driver channel as the driver describes it.
class TALASIOAvailableChannel {
 public:
  TALASIOAvailableChannel(std::string AName, bool AIsActive, std::int32_t AChannelGroup)
      : FName(std::move(AName)), FIsActive(AIsActive), FChannelGroup(AChannelGroup) {}

  const std::string& GetName() const noexcept { return FName; }
  bool GetIsActive() const noexcept { return FIsActive; }
  std::int32_t GetChannelGroup() const noexcept { return FChannelGroup; }

 private:
  std::string FName;
  bool FIsActive;
  std::int32_t FChannelGroup;
};

// The driver's channels of one direction, read from the records of the last Open.
class TALASIOAvailableChannels {
 public:
  TALASIOAvailableChannels(TALASIOAudioDevice* AOwner, bool AInputs) : FOwner(AOwner), FInputs(AInputs) {}
  TALASIOAvailableChannels(const TALASIOAvailableChannels&) = delete;
  TALASIOAvailableChannels& operator=(const TALASIOAvailableChannels&) = delete;

  // Opens the device; 0 when it cannot be opened (an exception there is caught and the driver
  // released).
  std::int32_t GetCount();
  // Opens the device (exceptions pass on) and gives the channel, owned by this list until the
  // next Open; EListError "Indice de liste hors limites (%d)" outside 0 .. Count - 1.
  TALASIOAvailableChannel* GetItems(std::int32_t AIndex);

 private:
  friend class TALASIOAudioDevice;
  TALASIOAudioDevice* FOwner;
  bool FInputs;
  std::vector<std::unique_ptr<TALASIOAvailableChannel>> FList;  // under the device lock
};

using TOWAudioSinkPinList = TOWPinListOf<TALOWAudioSinkPin>;
using TOWAudioSourcePinList = TOWPinListOf<TALOWAudioSourcePin>;

// ------------------------------------------------------------------ the device

class TALASIOAudioDevice : public TLPComponent, public IALASIOCallbackTarget {
 public:
  explicit TALASIOAudioDevice(TComponent* AOwner);
  // Closes (stop, slot, driver), frees the sub-objects and leaves COM.
  ~TALASIOAudioDevice() override;

  // Creates, initialises and reads the driver; true when a driver is held afterwards. Nothing is
  // done on an open device.
  bool Open();
  // Stops, gives back the callback slot and releases the driver.
  void Close();
  // Opens when needed, announces the stream on the enabled input items' pins, creates the
  // driver buffers and starts the driver. False only when the driver could not be opened.
  bool Start();
  // Stops the driver, ends the stream on the pins and disposes of the driver buffers.
  void Stop();
  // Opens when needed and shows the driver's panel; no report either way.
  bool ShowDialog();
  // Opens when needed; true when the driver accepts the rate. No report either way.
  bool CanSampleRate(double ARate);

  // --- published ---
  bool GetEnabled() const;
  void SetEnabled(bool AValue);
  TALASIOBufferSize& GetBufferSize() noexcept { return FBufferSize; }
  const TALASIOBufferSize& GetBufferSize() const noexcept { return FBufferSize; }
  void SetBufferSize(const TALASIOBufferSize& AValue) { FBufferSize.Assign(AValue); }
  TLPMasterPumping& GetMasterPumping() noexcept { return FMasterPumping; }
  const TLPMasterPumping& GetMasterPumping() const noexcept { return FMasterPumping; }
  void SetMasterPumping(const TLPMasterPumping& AValue) { FMasterPumping.Assign(AValue); }
  TALASIODevice& GetDevice() noexcept { return FDevice; }
  const TALASIODevice& GetDevice() const noexcept { return FDevice; }
  void SetDevice(const TALASIODevice& AValue) { FDevice.Assign(AValue); }
  TALASIOSampleRate& GetSampleRate() noexcept { return FSampleRate; }
  const TALASIOSampleRate& GetSampleRate() const noexcept { return FSampleRate; }
  void SetSampleRate(const TALASIOSampleRate& AValue) { FSampleRate.Assign(AValue); }
  TALASIOInputChannels& GetInputChannels() noexcept { return FInputChannels; }
  const TALASIOInputChannels& GetInputChannels() const noexcept { return FInputChannels; }
  void SetInputChannels(const TALASIOInputChannels& AValue) { FInputChannels.Assign(AValue); }
  TALASIOOutputChannels& GetOutputChannels() noexcept { return FOutputChannels; }
  const TALASIOOutputChannels& GetOutputChannels() const noexcept { return FOutputChannels; }
  void SetOutputChannels(const TALASIOOutputChannels& AValue) { FOutputChannels.Assign(AValue); }
  TALASIOClockSource& GetClockSource() noexcept { return FClockSource; }
  const TALASIOClockSource& GetClockSource() const noexcept { return FClockSource; }
  void SetClockSource(const TALASIOClockSource& AValue) { FClockSource.Assign(AValue); }

  TSLErrorEvent GetOnError() const;
  void SetOnError(TSLErrorEvent AValue);
  TSLWarningEvent GetOnWarning() const;
  void SetOnWarning(TSLWarningEvent AValue);
  // Run on the driver's thread: handlers must be safe there.
  TNotifyEvent GetOnResyncRequest() const;
  void SetOnResyncRequest(TNotifyEvent AValue);
  TNotifyEvent GetOnLatenciesChanged() const;
  void SetOnLatenciesChanged(TNotifyEvent AValue);

  TOWAudioSinkPinList& GetInputPins() noexcept { return FInputPins; }
  TOWAudioSourcePinList& GetOutputPins() noexcept { return FOutputPins; }
  TOWBoolStatePin& GetEnablePin() noexcept { return FEnablePin; }

  // --- public ---
  bool GetOpened() const;
  void SetOpened(bool AValue);
  // The queries open the device when needed.
  std::string GetDriverName();
  std::string GetErrorMessage();
  std::int32_t GetDriverVersion();
  std::int32_t GetInputLatency();
  std::int32_t GetOutputLatency();
  bool GetUsesPostOutput();
  TALASIOAvailableChannels& GetAvailableInputChannels() noexcept { return FAvailableInputChannels; }
  TALASIOAvailableChannels& GetAvailableOutputChannels() noexcept { return FAvailableOutputChannels; }

  // State, for diagnostics and tests.
  bool IsRunning() const;
  std::int32_t GetCallbackIndex() const;
  std::int32_t GetIntRunningSampleRate() const;
  // Buffer switches the worker has converted since the last Start; safe from any thread.
  std::uint64_t GetBufferSwitches() const;
  // The time information of the last buffer switch handed to the worker.
  TASIOTime GetSyncTimeInfo() const;

  PORTWISE_PUBLISHED_PROPERTIES()

  // --- the driver's callbacks, on its threads ---
  void ASIOBufferSwitch(std::int32_t index, TASIOBool directProcess) override;
  void ASIOSampleRateDidChange(TASIOSampleRate rate) override;
  std::int32_t ASIOMessage(std::int32_t selector, std::int32_t value, void* message, double* opt) override;
  TASIOTime* ASIOBufferSwitchTimeInfo(TASIOTime* params, std::int32_t index, TASIOBool directProcess) override;

 protected:
  // Created by code: ends construction disabled. Loaded enabled: starts.
  void InitializeComponent(bool ACreatedAtRunTime) override;

 private:
  friend class TALASIOSampleRate;
  friend class TALASIOBufferSize;
  friend class TALASIOClockSource;
  friend class TALASIOAvailableClockSources;
  friend class TALASIOAvailableChannels;
  friend class TALASIOInputChannelItem;
  friend class TALASIOOutputChannelItem;

  // Enters COM for the constructing thread, leaves it when the device goes.
  class TComApartment {
   public:
    TComApartment();
    ~TComApartment();
    TComApartment(const TComApartment&) = delete;
    TComApartment& operator=(const TComApartment&) = delete;

   private:
    bool FEntered = false;
  };

  // With the lock held. The driver goes (its callback slot first); the device is closed and
  // stopped, and no channel item runs.
  void ReleaseDriver() noexcept;
  // Every input stream announced at Start ends with a stop, whichever way the device stops.
  void EndInputStreams();
  // Releases the driver, then reports "<AStepText> - <code text>" with ACode.
  void Fail(const std::string& AStepText, TASIOError ACode);
  void Warn(const std::string& AStepText, TASIOError ACode);
  // Reads the records of every driver channel (Open: errors; after createBuffers: warnings).
  // False after a handled error.
  bool ReadChannelInfos(bool AAsWarnings);
  std::int32_t HalfBufferSize() const;
  TALWaveFormatExtensible ChannelFormat(std::int32_t AInputChannel) const;
  // Open for the queries that turn a failure into "cannot be opened".
  bool OpenCatching();
  // The driver, read under the lock, for the calls made outside it.
  TASIORef HeldDriver() const;
  // Opens when needed; the driver for a call made outside the lock (empty: cannot be opened).
  TASIORef OpenedDriver();
  std::int32_t ReadLatency(bool AInput);

  // --- the buffer exchange ---
  enum class EStreamState : std::uint8_t {
    Idle,       // no switch is waited for or touches a buffer
    Streaming,  // switches are handed to the worker
    Stopping,   // the driver is being stopped: switches write silence and return
  };
  struct TStreamOutput {
    TASIOSampleType Type;
    void* Halves[2];
  };
  // The hand-over of one buffer switch, on the driver's thread.
  void HandOver(const TASIOTime* AParams, std::int32_t AIndex, TASIOBool ADirectProcess);
  // Silence in the output halves of AIndex unless Idle; with FDataSection held.
  void SilenceOutputsLocked(std::int32_t AIndex);
  // With the lock held: switches are handed over from now on.
  void BeginStreaming();
  // With the lock held: switches waiting are released (and write silence while the driver is
  // being stopped); returns once no switch is in the hand-over.
  void SetStreamState(EStreamState AState);
  // The worker's cycle: the buffers of the half handed over, then the refill.
  void WorkerCycle();
  void ExchangeBuffers(std::int32_t AIndex);
  void RefillOutputs();
  // A source ended its stream at this item.
  void OutputStreamEnded(TALASIOOutputChannelItem* AItem);

  TComApartment FComApartment;
  TOWLockSectionRef FDestroySection;  // held from the start of destruction to its end
  bool FEnabled = true;

  // The hand-over between the driver's threads and the worker, under FDataSection.
  mutable std::mutex FDataSection;
  std::condition_variable FProcessedEvent;
  EStreamState FStreamState = EStreamState::Idle;
  bool FInHandOver = false;         // a switch holds the hand-over (the others wait)
  std::uint64_t FRequested = 0;     // switches handed over
  std::uint64_t FProcessed = 0;     // switches answered by the worker
  std::uint64_t FConverted = 0;     // the last switch whose buffers the worker converted
  std::int32_t FSyncDoubleBufferIndex = 0;
  TASIOTime FSyncTimeInfo{};
  bool FSyncDirectProcess = false;
  IASIO* FStreamDriver = nullptr;   // kept alive by FAsio while the slot is bound
  bool FStreamPostOutput = false;
  std::int32_t FStreamFrames = 0;
  std::vector<TStreamOutput> FStreamOutputs;
  std::atomic<std::uint64_t> FBufferSwitches{0};

  TALASIODevice FDevice;
  TLPMasterPumping FMasterPumping;
  TALASIOSampleRate FSampleRate;
  TALASIOAvailableChannels FAvailableInputChannels;
  TALASIOAvailableChannels FAvailableOutputChannels;
  TOWAudioSinkPinList FInputPins;
  TOWAudioSourcePinList FOutputPins;
  TOWBoolStatePin FEnablePin;
  TALASIOInputChannels FInputChannels;
  TALASIOOutputChannels FOutputChannels;
  TALASIOClockSource FClockSource;
  TALASIOBufferSize FBufferSize;
  std::unique_ptr<TSLMainThreadNotify> FMainThreadNotify;
  // The worker: created last, ended by the destructor once the driver has gone.
  std::unique_ptr<TSLNotifyThread> FNotifyThread;

  // Guarded by the component lock.
  TASIORef FAsio;
  std::atomic<bool> FRunning{false};  // read without the lock by IsRunning
  bool FInStarting = false;
  bool FInStop = false;
  std::string FDriverName;
  std::int32_t FDriverVersion = 0;
  std::int32_t FNumInputChannels = 0;
  std::int32_t FNumOutputChannels = 0;
  std::int32_t FNumInputBuffers = 0;
  std::int32_t FNumOutputBuffers = 0;
  std::int32_t FRunningBufferSize = 0;
  std::int32_t FInputLatency = 0;
  std::int32_t FOutputLatency = 0;
  double FRunningSampleRate = 0;
  std::int32_t FIntRunningSampleRate = 0;
  std::vector<TASIOChannelInfo> FChannelInfo;
  std::vector<TASIOBufferInfo> FBuffersInfo;
  std::int32_t FCallbackIndex = -1;
  TASIOCallbacks* FCallbacks = nullptr;
  bool FPostOutput = false;
  TSLErrorEvent FOnError;
  TSLWarningEvent FOnWarning;

  // The events the driver's threads call, under a mutex of their own.
  mutable std::mutex FDriverEventsSection;
  TNotifyEvent FOnResyncRequest;
  TNotifyEvent FOnLatenciesChanged;
};

}  // namespace portwise

#pragma once
// The DirectShow input. It captures from the selected audio capture device through a graph of the
// device's capture filter followed by the system sample grabber, and publishes the capture on its
// output pin: a start of stream with the format the graph agreed on, one audio buffer per captured
// sample, then a stop. The grabber's callback, on the capture's streaming thread, only copies each
// sample into a queue and wakes the notify thread, which turns queued samples into buffers.
//
// Created by code it starts disabled; Enabled := true (or Start) opens the device and captures,
// Enabled := false (or Stop) stops. A device that cannot capture (no filter, a format it refuses,
// a capture filter without pins as Wine 8 has) makes the start raise ESLException with the failure
// found while the graph was built, and capture stays off.
//
// Threads. The main thread constructs, sets properties, starts, stops, handles graph events and
// destroys; the capture's streaming thread runs OnSample, which takes no lock of the component; the
// notify thread takes the component's lock to build and send buffers. Stopping and destruction
// stop the graph first (no sample arrives afterwards) and take the stop section, so the notify
// thread gives up at once.
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/ALAudioFormat.h"
#include "core/LPComponent.h"
#include "core/OWOperations.h"
#include "core/OWPins.h"
#include "dshow/DSDevices.h"
#include "dshow/DSGraph.h"
#include "gen/SLNotifyThread.h"

namespace portwise {

inline constexpr const char* KDSCantFindAudioCaptureDevice = "Can't find audio capture device.";
inline constexpr const char* KDSCantCreateAudioCaptureFilter = "Can't create audio capture filter.";
inline constexpr const char* KDSCantAddAudioCaptureFilter = "Can't add audio capture filter.";
inline constexpr const char* KDSCantSetAudioSampleGrabber = "Can't set audio sample grabber.";
inline constexpr const char* KDSCantSetAudioSampleGrabberFormat = "Can't set audio sample grabber format.";
inline constexpr const char* KDSCantSetDesiredAudioFormat = "Can't set desired audio format.";
inline constexpr const char* KDSCantStartCapture = "Can't start capture.";
inline constexpr const char* KDSCantStopCapture = "Can't stop capture.";

// The name the sample grabber has in the graph.
inline constexpr const char* KDSAudioGrabberName = "VLDS_AudioGrabber";

// One captured sample in the queue: this header, then the sample's bytes, in one allocation.
struct TVLDSBufferQueueNodeHeader {
  TVLDSBufferQueueNodeHeader* NextNode;
  void* MemHandle;
  std::int32_t BufferSize;
  std::int64_t TimeStart;
  std::int64_t TimeEnd;

  std::uint8_t* Data() noexcept { return reinterpret_cast<std::uint8_t*>(this + 1); }
};

// First-in first-out queue of captured samples, filled by the streaming thread and emptied by the
// notify thread.
class TMLDSBufferQueue {
 public:
  struct TPiece {
    const void* Data;
    std::int32_t Length;
  };

  TMLDSBufferQueue() = default;
  TMLDSBufferQueue(const TMLDSBufferQueue&) = delete;
  TMLDSBufferQueue& operator=(const TMLDSBufferQueue&) = delete;
  ~TMLDSBufferQueue() { Clear(); }

  void Add(std::int64_t TimeStart, std::int64_t TimeEnd, const void* pBuffer, std::int32_t BufferLen);
  // The pieces' bytes one after the other, as one block.
  void AddMulti(std::int64_t TimeStart, std::int64_t TimeEnd, const std::vector<TPiece>& APieces);
  // The first block, taken out of the queue (the caller destroys it), or null.
  TVLDSBufferQueueNodeHeader* Get();
  static void DestroyBlock(TVLDSBufferQueueNodeHeader* ABlock);
  bool HasData() const noexcept { return FCount.load() > 0; }
  std::size_t Count() const noexcept { return FCount.load(); }
  void Clear();

 private:
  void Append(TVLDSBufferQueueNodeHeader* ABlock);
  static TVLDSBufferQueueNodeHeader* NewBlock(std::int64_t TimeStart, std::int64_t TimeEnd, std::int32_t ABytes);

  std::mutex FSection;
  TVLDSBufferQueueNodeHeader* FFirstNode = nullptr;
  TVLDSBufferQueueNodeHeader* FLastNode = nullptr;
  std::atomic<std::size_t> FCount{0};
};

// (sample time in seconds, the sample)
using TDSBufferNotifyEvent = std::function<void(double SampleTime, IMediaSample* ASample)>;

// The grabber's callback. Not reference counted: its owner frees it once the graph is gone.
class TDSSampleGrabberCB final : public ISampleGrabberCB {
 public:
  explicit TDSSampleGrabberCB(TDSBufferNotifyEvent AOnBuffer) : FOnBuffer(std::move(AOnBuffer)) {}
  virtual ~TDSSampleGrabberCB() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE SampleCB(double SampleTime, IMediaSample* pSample) override;
  HRESULT STDMETHODCALLTYPE BufferCB(double SampleTime, BYTE* pBuffer, LONG BufferLen) override;

 private:
  TDSBufferNotifyEvent FOnBuffer;
};

// One capture capability of the device.
struct TALAudioModeFormat {
  TALWaveFormatExtensible FFormat{};
  std::int32_t FMinChannels = 0, FMaxChannels = 0, FChannelGranularity = 0;
  std::int32_t FMinBitsPerSample = 0, FMaxBitsPerSample = 0, FBitsPerSampleGranularity = 0;
  std::int32_t FMinSamplesPerSec = 0, FMaxSamplesPerSec = 0, FSamplesPerSecGranularity = 0;

  const TALWaveFormatExtensible& GetFormat() const noexcept { return FFormat; }
};

// The capture capabilities read from the capture pin while the graph is built.
class TALAudioModes {
 public:
  std::int32_t GetCount() const { return static_cast<std::int32_t>(FList.size()); }
  const TALAudioModeFormat& GetItem(std::int32_t AIndex) const { return FList.at(static_cast<std::size_t>(AIndex)); }
  void Clear() { FList.clear(); }
  void Fill(IAMStreamConfig* AConfig);

 private:
  std::vector<TALAudioModeFormat> FList;
};

class TALDSAudioIn : public TLPComponent {
 public:
  explicit TALDSAudioIn(TComponent* AOwner);
  // Stops the graph, sends the stop downstream when capturing, and tears everything down.
  ~TALDSAudioIn() override;

  TALOWAudioSourcePin& GetOutputPin() noexcept { return FOutputPin; }
  TOWBoolStatePin& GetEnablePin() noexcept { return FEnablePin; }
  TDSGraph& GetGraph() noexcept { return *FGraph; }
  const TDSGraph& GetGraph() const noexcept { return *FGraph; }
  void SetGraph(const TDSGraph& AValue) { FGraph->Assign(AValue); }
  TDSAudioCaptureDevice& GetAudioCaptureDevice() noexcept { return *FAudioCaptureDevice; }
  const TDSAudioCaptureDevice& GetAudioCaptureDevice() const noexcept { return *FAudioCaptureDevice; }
  void SetAudioCaptureDevice(const TDSAudioCaptureDevice& AValue) { FAudioCaptureDevice->Assign(AValue); }
  // The requested format; a change while not capturing closes the graph, so the next start
  // builds it for the new format.
  TALAudioFormat& GetAudioFormat() noexcept { return *FAudioFormat; }
  const TALAudioFormat& GetAudioFormat() const noexcept { return *FAudioFormat; }
  void SetAudioFormat(const TALAudioFormat& AValue) { FAudioFormat->Assign(AValue); }
  const TALAudioModes& GetAudioModes() const noexcept { return FAudioModes; }

  bool GetEnabled() const;
  // True starts capturing, false stops (each only when it changes something).
  void SetEnabled(bool AValue);
  bool GetOpened() const;
  void SetOpened(bool AValue);
  // The format the capture runs with; 40 zero bytes when closed.
  TALWaveFormatExtensible GetRunningAudioFormat();

  // Builds the graph (stopped). Only "Can't find audio capture device." and graph creation
  // failures raise; other failures leave the component closed (the start reports them).
  void Open();
  void Close();
  void Start();
  void Stop();

  // State, for diagnostics and tests.
  bool IsRunning() const;
  std::size_t QueuedSamples() const { return FAudioBufferQueue.Count(); }

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  // Loaded enabled: captures once loading has finished.
  void InitializeComponent(bool ACreatedAtRunTime) override;

 private:
  using THold = TOWLockSectionRef;
  bool Relock(THold& AHold);

  void StartCapture();
  void StopCapture();
  void AbortCapture();
  void BuildCaptureFilter();
  bool CompleteGraph();
  bool BuildGrabberChain();
  bool FindOrAddGrabber(TRefPtr<IBaseFilter>& AGrabber);
  void EnsureGrabber();
  bool AnnounceFormat(THold& AHold);
  bool RunCapture(THold& AHold);
  bool ReadConnectedFormat(TALWaveFormatExtensible& AFormat);
  void UnbuildCapture();
  void DiscardGraph();
  void TearDownCapture();
  void ReleaseGrabber();
  TOWNotifyResult OutputPinOperation(IOWNotifyOperation* AOperation);
  void FormatChanged();
  void GraphNotify(std::int32_t AEventCode);
  // The grabber's callback, on the capture's streaming thread.
  void OnSample(double ASampleTime, IMediaSample* ASample);
  // The notify thread's work: up to 11 queued samples become buffers on the output pin.
  void DeliverBlocks();

  TALOWAudioSourcePin FOutputPin;
  TOWBoolStatePin FEnablePin;
  std::unique_ptr<TDSGraph> FGraph;
  TRefPtr<IBaseFilter> FAudioCapFilter;
  TRefPtr<IAMBufferNegotiation> FBufferNegotiation;
  TRefPtr<ISampleGrabber> FAudioSampleGrabber;
  TRefPtr<IMoniker> FMAudio;
  std::unique_ptr<TDSSampleGrabberCB> FAudioGrabberCB;
  bool FOpened = false;
  bool FEnabled = false;
  bool FRunning = false;
  bool FGraphBuilt = false;
  TALWaveFormatExtensible FWaveFormat{};
  bool FDesignTimeEnabled = true;
  std::unique_ptr<TDSAudioCaptureDevice> FAudioCaptureDevice;
  TMLDSBufferQueue FAudioBufferQueue;
  std::unique_ptr<TALAudioFormat> FAudioFormat;
  std::unique_ptr<TSLNotifyThread> FPlayerThread;  // the notify thread
  TALAudioModes FAudioModes;
  // What a failed open swallowed, for the start to raise.
  std::exception_ptr FOpenFailure;
};

}  // namespace portwise

#pragma once
// The waveform-audio input. It opens its device with the format of its own AudioFormat, announces
// the stream downstream with that format, keeps 40 capture buffers queued at the device and
// replaces each one as soon as the device gives it back filled; every filled buffer is sent on
// OutputPin whole (BufferSize frames).
//
// Pacing: the input asks downstream to pump the stream from its hardware; with nobody claiming
// it more strongly it is the pump and captures. Created by code it starts disabled.
//
// Threads. The main thread enables, starts and stops; the wave thread (one per input, for its
// whole life) completes buffers, sends them downstream with the params section held, so the
// receivers run on the wave thread, and queues the replacements; the driver's thread only queues
// a record for the wave thread. Locks, in the order they nest: the component's lock (a stop
// section in Stop and destruction), the params section, the wave thread's queue section.
#include <cstdint>
#include <memory>
#include <string>

#include "core/ALAudioBuffer.h"
#include "core/ALAudioFormat.h"
#include "core/LPComponent.h"
#include "core/OWOperations.h"
#include "core/OWPins.h"
#include "mme/ALAudioDevices.h"
#include "mme/ALAudioOut.h"
#include "platform/Wave.h"

namespace portwise {

inline constexpr const char* KALCantStartAudioDevice = "Can't start audio device.";

class TALAudioIn : public TLPComponent {
 public:
  // Buffers kept at the device while capturing.
  static constexpr std::size_t KCaptureBuffers = 40;

  explicit TALAudioIn(TComponent* AOwner);
  // Stops capturing (the device is reset and closed, every buffer freed) and ends the wave thread.
  ~TALAudioIn() override;

  TALOWAudioSourcePin& GetOutputPin() noexcept { return FOutputPin; }
  TOWBoolStatePin& GetEnablePin() noexcept { return FEnablePin; }

  bool GetEnabled() const;
  // True starts capturing, false stops; an error while starting leaves Enabled as it was.
  void SetEnabled(bool AValue);
  std::int32_t GetPumpPriority() const;
  void SetPumpPriority(std::int32_t AValue);
  // Read at each start; changes while capturing take effect at the next one.
  TALAudioFormat& GetAudioFormat() noexcept { return FAudioFormat; }
  const TALAudioFormat& GetAudioFormat() const noexcept { return FAudioFormat; }
  void SetAudioFormat(const TALAudioFormat& AValue) { FAudioFormat.Assign(AValue); }
  TALAudioCaptureDevice& GetDevice() noexcept { return FDevice; }
  const TALAudioCaptureDevice& GetDevice() const noexcept { return FDevice; }
  void SetDevice(const TALAudioCaptureDevice& AValue) { FDevice.Assign(AValue); }

  TSLErrorEvent GetOnError() const;
  void SetOnError(TSLErrorEvent AValue);
  TSLWarningEvent GetOnWarning() const;
  void SetOnWarning(TSLWarningEvent AValue);

  // Starts capturing when not enabled.
  void Start();
  // When enabled: resets and closes the device, frees the buffers, sends an end-stop downstream
  // and leaves Enabled false.
  void Stop();

  // State, for diagnostics and tests.
  bool IsOpen();
  bool IsPump();
  std::size_t BuffersAtDevice();
  // The rate the pump request came back with (buffers per second).
  double GetPumpFrameRate() const;

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  // Created by code: ends construction disabled. Loaded enabled: starts capturing.
  void InitializeComponent(bool ACreatedAtRunTime) override;

 private:
  // What each capture buffer is made of, fixed at the start of a capture: the wave thread makes
  // buffers without reading the format (that would take the component's lock under the params
  // section, against the lock order).
  struct TCaptureFormat {
    std::uint32_t SampleRate = 0;
    std::uint32_t Bits = 0;
    std::uint32_t Channels = 0;
    std::uint32_t BufferSize = 0;
    TALSpeakers ChannelMask{};
  };

  void StartCapture();
  // Announces the stream, opens the device and starts it; false after a handled error.
  bool OpenAndStart(const TALWaveFormatExtensible& AFormat);
  bool OpenDevice(const TALWaveFormatExtensible& AFormat);
  bool StartDevice();
  void QueueBuffer();
  // The device reset, its buffers freed and closed; false when it was not open or a reset failed
  // (reported).
  bool CloseDevice();
  // Whatever is still open goes, without reports (destruction, or a reopen after a failed start).
  void ReleaseDevice() noexcept;
  TOWNotifyResult OutputPinOperation(IOWNotifyOperation* AOperation);
  void WaveMessage(std::uint32_t uMsg, platform::TWaveHdr* AWaveHdr);
  void BufferDone(platform::TWaveHdr* AWaveHdr);
  void ReportError(const char* AErrorText, platform::TMMResult AResult);
  void ReportWarning(const std::string& AErrorText, std::int32_t AErrorCode);

  static void WaveInProc(platform::THWaveIn hwi, std::uint32_t uMsg, std::uintptr_t dwInstance,
                         platform::TWaveHdr* header);

  TOWLockSectionRef FDestroySection;  // held from the start of destruction to its end
  TALOWAudioSourcePin FOutputPin;
  TOWBoolStatePin FEnablePin;
  platform::THWaveIn HIn{};  // written under the params section
  bool FEnabled = true;
  std::int32_t FPumpPriority = 0;
  double FPumpFrameRate = 0;
  TALAudioFormat FAudioFormat;
  TALAudioCaptureDevice FDevice;
  TRefPtr<IALAudioParams> FParams;
  TCaptureFormat FCaptureFormat;  // guarded by the params section
  TSLErrorEvent FOnError;
  TSLWarningEvent FOnWarning;
  std::unique_ptr<TALWaveThread> FWaveThread;
};

}  // namespace portwise

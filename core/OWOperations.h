#pragma once
// Stream operations: the objects that travel through pin connections (core/OWPins.h). A stream is
// a start operation carrying the wave format, buffer operations carrying audio buffers, then a
// stop operation; pump operations negotiate and drive who paces the stream.
//
// Every operation takes a distinct identifier from one process-wide counter, in increasing order;
// a receiver that gets one request by two paths can tell that it is the same request.
#include <cstdint>

#include "core/ALAudioFormat.h"
#include "core/ALAudioBuffer.h"
#include "core/SLBuffers.h"
#include "core/SLInterfaces.h"
#include "core/SLTypes.h"

namespace portwise {

class TOWNotifyOperation;

class IOWNotifyOperation : public virtual ISLUnknown {
 public:
  static constexpr TALGuid IID = SLGuid("{AC2714E1-1E70-4C60-ABBB-EA27737CEE74}");
  virtual TOWNotifyOperation* GetOperation() noexcept = 0;
};

// Operations are made once per buffer: their memory comes from the buffer pool.
class TOWNotifyOperation : public TSLPooledObject, public IOWNotifyOperation {
 public:
  TOWNotifyOperation();
  void AddRef() noexcept override { FRefCount.Increment(); }
  void Release() noexcept override {
    if (FRefCount.Decrement()) delete this;
  }
  TOWNotifyOperation* GetOperation() noexcept override { return this; }

  std::uint32_t GetOperationID() const noexcept { return FOperationID; }

 protected:
  ~TOWNotifyOperation() override = default;

 private:
  TSLRefCount FRefCount;
  const std::uint32_t FOperationID;
};

// The operation behind an interface reference as a given class, or nullptr.
template <class T>
T* OWOperationAs(IOWNotifyOperation* AOperation) {
  return AOperation ? dynamic_cast<T*>(AOperation->GetOperation()) : nullptr;
}

class TOWStartOperation : public TOWNotifyOperation {};

class TOWStartRateOperation : public TOWStartOperation {
 public:
  float Rate = 0;
};

class TOWStartSampleRateOperation : public TOWStartRateOperation {
 public:
  double SampleRate = 0;
};

// WAVEFORMATEX: the 18-byte record without the extensible part.
#pragma pack(push, 1)
struct TOWWaveFormatEx {
  std::uint16_t wFormatTag;
  std::uint16_t nChannels;
  std::uint32_t nSamplesPerSec;
  std::uint32_t nAvgBytesPerSec;
  std::uint16_t nBlockAlign;
  std::uint16_t wBitsPerSample;
  std::uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(TOWWaveFormatEx) == 18);

class TOWStartWaveOperation : public TOWStartSampleRateOperation {
 public:
  // Without a record: 2 channels, 11024 Hz, 16 bits, block align 4, 44096 bytes/s, mask 3.
  TOWStartWaveOperation();
  TOWStartWaveOperation(const TALWaveFormatExtensible& AWaveFormat, bool APaused);
  // From a plain record: its first 16 bytes, made extensible (valid bits = container, one mask
  // bit per channel, PCM); SampleRate is ABufferRate. A null record gives the defaults above.
  static TRefPtr<TOWStartWaveOperation> CreateWave(double ABufferRate, const TOWWaveFormatEx* AWaveFormat, bool APaused);

  TALWaveFormatExtensible WaveFormat{};
  bool Paused = false;
};

class TOWStopOperation : public TOWNotifyOperation {};
// A stop sent by a producer that ended the stream itself; a stop everywhere.
class TOWEndStopOperation : public TOWStopOperation {};
class TOWFileEndNoStopOperation : public TOWNotifyOperation {};

class TOWClockOperation : public TOWNotifyOperation {};
class TOWSuppliedOperation : public TOWClockOperation {};

class TOWSuppliedBufferOperation : public TOWSuppliedOperation {
 public:
  explicit TOWSuppliedBufferOperation(TRefPtr<ISLData> ABuffer) : Buffer(std::move(ABuffer)) {}
  TRefPtr<ISLData> Buffer;
};

class TOWSuppliedBoolOperation : public TOWSuppliedOperation {
 public:
  explicit TOWSuppliedBoolOperation(bool AValue) : Value(AValue) {}
  bool Value;
};

enum TOWPumpType : std::uint8_t { ptNone, ptSlave, ptMaster, ptHardware };

// Delivered downstream; a sink that drives the stream from hardware writes itself into it.
class TOWPumpRequestOperation : public TOWNotifyOperation {
 public:
  TOWPumpRequestOperation(TObject* APump, TOWPumpType APumpType, std::int32_t APumpPriority, float ADesiredRate)
      : Pump(APump), PumpType(APumpType), PumpPriority(APumpPriority), DesiredRate(ADesiredRate) {}
  TObject* Pump;
  TOWPumpType PumpType;
  std::int32_t PumpPriority;
  float DesiredRate;  // buffers per second
};

class TOWStartPumpOperation : public TOWNotifyOperation {
 public:
  explicit TOWStartPumpOperation(TObject* APump) : Pump(APump) {}
  TObject* Pump;
};

// Sent upstream by the pump: one buffer, please.
class TOWMasterPumpOperation : public TOWNotifyOperation {
 public:
  explicit TOWMasterPumpOperation(TObject* APump) : Pump(APump) {}
  TObject* Pump;
};

class TOWClockNeededOperation : public TOWNotifyOperation {
 public:
  explicit TOWClockNeededOperation(bool AEnabled) : Enabled(AEnabled) {}
  bool Enabled;
};

class TOWIgnoreStreamOperation : public TOWNotifyOperation {};

}  // namespace portwise

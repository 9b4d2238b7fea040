#pragma once
// Audio buffers: reference-counted views on pooled storage blocks (core/SLBuffers.h). A block
// holds the 40-byte wave format header followed by interleaved PCM frames; several views may
// share one block, and writing through a shared view first copies it (copy on write), so a
// consumer never sees a producer's later writes.
//
// Threads: a view is used by one thread at a time; the block's counters and stamps are guarded by
// the block. The samples are not locked: a writer makes the block unique first, and a reader of
// a shared block relies on nobody writing it.
#include <cstdint>
#include <string>
#include <vector>

#include "core/ALAudioFormat.h"
#include "core/SLBuffers.h"
#include "core/SLInterfaces.h"
#include "core/SLTypes.h"

namespace portwise {

// A per-sample accessor was given a channel or frame outside the buffer.
class ESLRangeError : public EPortwiseError {
 public:
  explicit ESLRangeError(const std::string& AMessage) : EPortwiseError(AMessage) {}
};

class TSLGenericBuffer;
class TALAudioBuffer;

// Generic data carried by a buffer operation. Custom data objects may be attached to it; they
// travel with every buffer made from it.
class ISLData : public virtual ISLUnknown {
 public:
  virtual std::vector<TRefPtr<ISLUnknown>> GetCustomData() = 0;
  virtual void AddCustomData(const TRefPtr<ISLUnknown>& AData) = 0;
  // The buffer layer behind the data, when there is one.
  virtual TSLGenericBuffer* GetGenericBuffer() noexcept = 0;
};

// Sequence number and time stamps live in the storage block: every view of a block sees them.
class TSLSequenceStamp {
 public:
  explicit TSLSequenceStamp(TSLGenericBuffer& AOwner) : FOwner(AOwner) {}
  // Bound to its owner for good: a copy would still act on the buffer it was copied from.
  TSLSequenceStamp(const TSLSequenceStamp&) = delete;
  TSLSequenceStamp& operator=(const TSLSequenceStamp&) = delete;
  bool GetAvailable() const;
  std::int64_t GetBufferNumber() const;
  void SetBufferNumber(std::int64_t AValue);
  void Clear();

 private:
  TSLGenericBuffer& FOwner;
};

class TMLTimeStamp {
 public:
  explicit TMLTimeStamp(TSLGenericBuffer& AOwner) : FOwner(AOwner) {}
  TMLTimeStamp(const TMLTimeStamp&) = delete;
  TMLTimeStamp& operator=(const TMLTimeStamp&) = delete;
  bool GetAvailable() const;
  void SetAvailable(bool AValue);
  std::int64_t GetBegin() const;
  std::int64_t GetEnd() const;
  void SetTimes(std::int64_t ABegin, std::int64_t AEnd);

 private:
  TSLGenericBuffer& FOwner;
};

// What audio buffers are handed around as.
class IALAudioBuffer : public virtual ISLData {
 public:
  static constexpr TALGuid IID = SLGuid("{49372BB8-FFDD-437C-A9D3-BA5DFB8A3B97}");

  virtual TALAudioBuffer& GetAudioBuffer() noexcept = 0;

  virtual std::uint32_t GetByteSize() = 0;  // sample bytes
  virtual std::uint32_t GetSize() = 0;      // frames
  virtual std::uint32_t GetChannels() = 0;
  virtual std::uint32_t GetBitsPerSample() = 0;  // valid bits
  virtual std::uint32_t GetSampleBitWidth() = 0; // container bits
  virtual std::uint32_t GetSampleRate() = 0;
  virtual std::uint32_t GetBlockAlign() = 0;
  virtual TALSpeakers GetChannelMask() = 0;
  virtual TALWaveFormatExtensible GetWaveFormat() = 0;

  virtual const std::uint8_t* GetReadPointer() = 0;
  virtual std::uint8_t* GetWritePointer() = 0;   // unique, samples not kept
  virtual std::uint8_t* GetModifyPointer() = 0;  // unique, samples kept

  virtual std::int32_t GetSample(std::uint32_t AIndex, std::uint32_t AChannel) = 0;
  virtual void SetSample(std::uint32_t AIndex, std::uint32_t AChannel, std::int32_t AValue) = 0;

  virtual bool MakeUnique(bool APreserveData) = 0;
  virtual void Unique() = 0;
  virtual void RemoveOwnerShip() = 0;
  virtual void Resize(std::uint32_t ASize, bool APreserveData) = 0;
  virtual void CopyTo(std::uint32_t ASourceIndex, ISLData* ATarget, std::uint32_t ATargetIndex,
                      std::uint32_t ACount) = 0;

  virtual TSLSequenceStamp& GetSequenceStamp() = 0;
  virtual TMLTimeStamp& GetTimeStamp() = 0;
};

// ------------------------------------------------------------------ view layers

class TSLData : public TSLPooledObject, public virtual ISLData {
 public:
  void AddRef() noexcept override { FRefCount.Increment(); }
  void Release() noexcept override {
    if (FRefCount.Decrement()) delete this;
  }
  std::int32_t RefCount() const noexcept { return FRefCount.Value(); }

  std::vector<TRefPtr<ISLUnknown>> GetCustomData() override { return FCustom; }
  void AddCustomData(const TRefPtr<ISLUnknown>& AData) override;
  TSLGenericBuffer* GetGenericBuffer() noexcept override { return nullptr; }

 protected:
  TSLData() = default;
  explicit TSLData(ISLData* ASource);
  ~TSLData() override = default;

  std::vector<TRefPtr<ISLUnknown>> FCustom;

 private:
  TSLRefCount FRefCount;
};

// Bytes of a storage block. A view with no header knowledge sees everything after the 40-byte
// header as data, one byte per frame.
class TSLGenericBuffer : public TSLData {
 public:
  static constexpr std::uint32_t KHeaderSize = 40;

  TSLGenericBuffer* GetGenericBuffer() noexcept override { return this; }

  // Operations of the buffer layer, in the order the layers override them.
  virtual TRefPtr<TSLGenericBuffer> MakeCopy();
  virtual TRefPtr<ISLData> MakeInterfaceCopy();
  virtual void CopyTo(std::uint32_t ASourceIndex, ISLData* ATarget, std::uint32_t ATargetIndex,
                      std::uint32_t ACount);
  virtual void Assign(TSLGenericBuffer& ASource);
  virtual bool IsEqual(TSLGenericBuffer& AOther);
  virtual void Unique();
  virtual bool MakeUnique(bool APreserveData);
  virtual std::uint32_t GetByteSize();
  virtual std::uint32_t GetSize();
  virtual void RefreshFields();
  virtual const std::uint8_t* ByteRead();
  virtual std::uint8_t* ByteWrite();
  virtual std::uint8_t* ByteModify();
  virtual void AttachData(TSLSmartBuffer* AContainer, bool AOwner);
  virtual void RemoveOwnerShip();
  virtual void Resize(std::uint32_t ASize, bool APreserveData);
  virtual TSLSmartBuffer* AllocateData(std::uint64_t ABytes);
  virtual std::uint32_t GetByteSizeNoHeader();

  // Bytes per frame: 1 here, the block align for audio.
  virtual std::uint32_t GetFrameStep() { return 1; }

  TSLSequenceStamp& GetSequenceStamp() { return FSequenceStamp; }
  TSLSmartBuffer* GetDataContainer() const noexcept { return pDataContainer; }
  bool GetOwnsData() const noexcept { return FOwnsData; }
  std::uint32_t GetCharSize() const noexcept { return FCharSize; }

 protected:
  TSLGenericBuffer();
  // Shares ASource's block and byte size, as one more owner.
  explicit TSLGenericBuffer(TSLGenericBuffer& ASource);
  ~TSLGenericBuffer() override;

  // Start of the block's memory, or nullptr.
  std::uint8_t* BlockStart() const noexcept;
  std::uint32_t BlockCapacity() const noexcept;
  // Header length: where the samples start.
  virtual std::uint32_t DataOffset() { return KHeaderSize; }

  TSLSequenceStamp FSequenceStamp;
  std::uint8_t* FDataPtr = nullptr;
  std::uint32_t FCharSize = 0;
  TSLSmartBuffer* pDataContainer = nullptr;
  bool FOwnsData = false;

  friend class TSLSequenceStamp;
  friend class TMLTimeStamp;
};

class TMLMediaBuffer : public TSLGenericBuffer {
 public:
  TMLTimeStamp& GetTimeStamp() { return FTimeStamp; }

 protected:
  TMLMediaBuffer() : FTimeStamp(*this) {}
  explicit TMLMediaBuffer(TSLGenericBuffer& ASource) : TSLGenericBuffer(ASource), FTimeStamp(*this) {}

  TMLTimeStamp FTimeStamp;
};

class TALAudioBuffer final : public TMLMediaBuffer, public IALAudioBuffer {
 public:
  using PALAudioBuffer = TRefPtr<TALAudioBuffer>;

  // Constructors. Sizes count frames; the container of b bits is b rounded up to a multiple of 8.
  static PALAudioBuffer Create();
  static PALAudioBuffer CreateSize(std::uint32_t ARate, std::uint32_t ABitsPerSample, std::uint32_t AChannels,
                                   std::uint32_t ASize);
  // The mask is trimmed to its first AChannels set bits among positions 0..16; an empty mask
  // gives the default one.
  static PALAudioBuffer CreateSizeEx(std::uint32_t ARate, std::uint32_t ABitsPerSample, std::uint32_t AChannels,
                                     std::uint32_t ASize, TALSpeakers ASpeakerMask);
  // Copies GetByteSize bytes from AData into the samples.
  static PALAudioBuffer CreateData(const void* AData, std::uint32_t ARate, std::uint32_t ABitsPerSample,
                                   std::uint32_t AChannels, std::uint32_t ASize);
  // As CreateData, with the mask stored unchanged.
  static PALAudioBuffer CreateDataEx(const void* AData, std::uint32_t ARate, std::uint32_t ABitsPerSample,
                                     std::uint32_t AChannels, std::uint32_t ASize, TALSpeakers ASpeakerMask);
  static PALAudioBuffer CreateWaveFormat(const TALWaveFormatExtensible& AWaveFormat, std::uint32_t ASize);
  // Share Other's block, byte size and custom data.
  static PALAudioBuffer CreateEx(TALAudioBuffer& AOther);
  static PALAudioBuffer CreateCopy(IALAudioBuffer* AOther);
  // How a receiver turns the generic data of a buffer operation back into an audio buffer; empty
  // when the data has no storage block.
  static PALAudioBuffer CreateUniversal(ISLData* AOther);

  // ISLUnknown / ISLData, once for both interface paths.
  void AddRef() noexcept override { TSLData::AddRef(); }
  void Release() noexcept override { TSLData::Release(); }
  std::vector<TRefPtr<ISLUnknown>> GetCustomData() override { return TSLData::GetCustomData(); }
  void AddCustomData(const TRefPtr<ISLUnknown>& AData) override { TSLData::AddCustomData(AData); }
  TSLGenericBuffer* GetGenericBuffer() noexcept override { return this; }

  // IALAudioBuffer
  TALAudioBuffer& GetAudioBuffer() noexcept override { return *this; }
  std::uint32_t GetByteSize() override { return TSLGenericBuffer::GetByteSize(); }
  std::uint32_t GetSize() override;
  std::uint32_t GetChannels() override { return FChannels; }
  std::uint32_t GetBitsPerSample() override { return FBitsPerSample; }
  std::uint32_t GetSampleBitWidth() override { return FSampleBitWidth; }
  std::uint32_t GetSampleRate() override;
  std::uint32_t GetBlockAlign() override { return FDataStep; }
  TALSpeakers GetChannelMask() override { return FChannelMask; }
  TALWaveFormatExtensible GetWaveFormat() override;
  const std::uint8_t* GetReadPointer() override { return ByteRead(); }
  std::uint8_t* GetWritePointer() override { return ByteWrite(); }
  std::uint8_t* GetModifyPointer() override { return ByteModify(); }
  // 8 bits: the raw byte; 16: signed; 24: the three bytes without sign extension; 32: signed.
  std::int32_t GetSample(std::uint32_t AIndex, std::uint32_t AChannel) override;
  void SetSample(std::uint32_t AIndex, std::uint32_t AChannel, std::int32_t AValue) override;
  bool MakeUnique(bool APreserveData) override { return TSLGenericBuffer::MakeUnique(APreserveData); }
  void Unique() override { TSLGenericBuffer::Unique(); }
  void RemoveOwnerShip() override { TSLGenericBuffer::RemoveOwnerShip(); }
  void Resize(std::uint32_t ASize, bool APreserveData) override { TSLGenericBuffer::Resize(ASize, APreserveData); }
  // Frame copy into another buffer, channels paired by speaker position, widths converted. Frames
  // copied onto frames of the same block are read as they were before the copy.
  void CopyTo(std::uint32_t ASourceIndex, ISLData* ATarget, std::uint32_t ATargetIndex,
              std::uint32_t ACount) override;
  TSLSequenceStamp& GetSequenceStamp() override { return FSequenceStamp; }
  TMLTimeStamp& GetTimeStamp() override { return FTimeStamp; }

  // Buffer layer
  TRefPtr<TSLGenericBuffer> MakeCopy() override;
  TRefPtr<ISLData> MakeInterfaceCopy() override;
  void RefreshFields() override;
  std::uint32_t GetFrameStep() override { return FDataStep; }

  // The header inside the block (live: copy it to keep it).
  const TALWaveFormatExtensible* GetWaveFormatPtr() const noexcept { return FWaveFormat; }

 protected:
  std::uint32_t DataOffset() override { return FDataOffset; }

 private:
  TALAudioBuffer() = default;
  explicit TALAudioBuffer(TSLGenericBuffer& ASource);
  // Made from another audio buffer: shares its block as any view does (a member-wise copy would
  // leave the time stamp view acting on the other buffer).
  explicit TALAudioBuffer(TALAudioBuffer& ASource) : TALAudioBuffer(static_cast<TSLGenericBuffer&>(ASource)) {}
  ~TALAudioBuffer() override = default;

  static PALAudioBuffer MakeStorage(std::uint32_t ARate, std::uint32_t ABitsPerSample, std::uint32_t AChannels,
                                    std::uint32_t ASize, std::uint32_t AMask);
  std::uint8_t* SamplePointer(std::uint32_t AIndex, std::uint32_t AChannel, bool AForWrite);

  std::uint32_t FChannels = 0;
  std::uint32_t FBitsPerSample = 0;
  TALSpeakers FChannelMask{};
  std::uint32_t FSampleBitWidth = 0;
  std::uint32_t FDataStep = 0;
  std::uint32_t FDataOffset = TSLGenericBuffer::KHeaderSize;
  const TALWaveFormatExtensible* FWaveFormat = nullptr;
};

using PALAudioBuffer = TRefPtr<TALAudioBuffer>;

// The speaker pairing of the frame copy, in the order of the walk over speaker positions 0..17:
// each entry pairs a source channel with a target channel, or marks a target channel for zero
// filling. Only channels below the channel counts take part; a target speaker whose source
// channel lies beyond the source's channel count is zero filled.
struct TALChannelPairs {
  static constexpr std::uint32_t KPositions = 18;
  struct TEntry {
    std::uint32_t Source = 0;
    std::uint32_t Target = 0;
    bool bZeroFill = false;
  };
  std::uint32_t Count = 0;
  TEntry Entries[KPositions];
};
TALChannelPairs ALPairChannels(std::uint32_t ASourceMask, std::uint32_t ASourceChannels, std::uint32_t ATargetMask,
                               std::uint32_t ATargetChannels);

}  // namespace portwise

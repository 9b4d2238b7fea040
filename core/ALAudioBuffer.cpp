#include "core/ALAudioBuffer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/ALSampleConvert.h"

namespace portwise {

namespace {

static_assert(sizeof(TALWaveFormatExtensible) == TSLGenericBuffer::KHeaderSize);

// The header is read and written at its byte offsets: the block is plain memory.
namespace hdr {
constexpr std::uint32_t FormatTag = 0, Channels = 2, SamplesPerSec = 4, AvgBytesPerSec = 8, BlockAlign = 12,
                        BitsPerSample = 14, CbSize = 16, ValidBits = 18, ChannelMask = 20, SubFormat = 24;
}  // namespace hdr

constexpr std::uint8_t KPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                            0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::uint16_t Get16(const std::uint8_t* p, std::uint32_t at) {
  std::uint16_t v;
  std::memcpy(&v, p + at, 2);
  return v;
}
std::uint32_t Get32(const std::uint8_t* p, std::uint32_t at) {
  std::uint32_t v;
  std::memcpy(&v, p + at, 4);
  return v;
}
void Put16(std::uint8_t* p, std::uint32_t at, std::uint32_t v) {
  std::uint16_t w = static_cast<std::uint16_t>(v);
  std::memcpy(p + at, &w, 2);
}
void Put32(std::uint8_t* p, std::uint32_t at, std::uint32_t v) { std::memcpy(p + at, &v, 4); }

std::uint32_t Container(std::uint32_t bits) { return (bits + 7) / 8 * 8; }

std::uint32_t DefaultMask(std::uint32_t channels) {
  return channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1;
}

// The first `channels` set bits among positions 0..16; a mask with fewer set bits there stays.
std::uint32_t TrimMask(std::uint32_t mask, std::uint32_t channels) {
  if (mask == 0) return DefaultMask(channels);
  std::uint32_t count = 0;
  for (std::uint32_t pos = 0; pos <= 16; ++pos) {
    if (mask & (1u << pos)) {
      if (++count == channels) return mask & ((2u << pos) - 1);
    }
  }
  return mask;
}

void WriteHeader(std::uint8_t* p, std::uint32_t rate, std::uint32_t validBits, std::uint32_t channels,
                 std::uint32_t mask) {
  const std::uint32_t container = Container(validBits);
  const std::uint32_t blockAlign = static_cast<std::uint16_t>(channels * container / 8);
  Put16(p, hdr::FormatTag, 0xFFFE);
  Put16(p, hdr::Channels, channels);
  Put32(p, hdr::SamplesPerSec, rate);
  Put32(p, hdr::AvgBytesPerSec, rate * blockAlign);
  Put16(p, hdr::BlockAlign, blockAlign);
  Put16(p, hdr::BitsPerSample, container);
  Put16(p, hdr::CbSize, 22);
  Put16(p, hdr::ValidBits, validBits);
  Put32(p, hdr::ChannelMask, mask);
  std::memcpy(p + hdr::SubFormat, KPcmSubFormat, sizeof KPcmSubFormat);
}

std::string RangeText(const char* what, std::uint32_t value) {
  return std::string(what) + " out of range = " + std::to_string(value);
}

std::uint32_t SpeakerBits(TALSpeakers s) { return s.Mask(); }

}  // namespace

// ------------------------------------------------------------------ stamps

bool TSLSequenceStamp::GetAvailable() const {
  TSLSmartBuffer* b = FOwner.pDataContainer;
  return b && b->GetBufferNumberAvailable();
}
std::int64_t TSLSequenceStamp::GetBufferNumber() const {
  TSLSmartBuffer* b = FOwner.pDataContainer;
  return b ? b->GetBufferNumber() : 0;
}
void TSLSequenceStamp::SetBufferNumber(std::int64_t AValue) {
  if (TSLSmartBuffer* b = FOwner.pDataContainer) b->SetBufferNumber(AValue);
}
void TSLSequenceStamp::Clear() {
  if (TSLSmartBuffer* b = FOwner.pDataContainer) b->ClearBufferNumber();
}

namespace {
TMLSmartMediaBuffer* MediaBlock(TSLGenericBuffer& owner) {
  return dynamic_cast<TMLSmartMediaBuffer*>(owner.GetDataContainer());
}
}  // namespace

bool TMLTimeStamp::GetAvailable() const {
  TMLSmartMediaBuffer* b = MediaBlock(FOwner);
  return b && b->GetTimeStamp().bAvailable;
}
void TMLTimeStamp::SetAvailable(bool AValue) {
  if (TMLSmartMediaBuffer* b = MediaBlock(FOwner)) b->SetTimeStampAvailable(AValue);
}
std::int64_t TMLTimeStamp::GetBegin() const {
  TMLSmartMediaBuffer* b = MediaBlock(FOwner);
  return b ? b->GetTimeStamp().Begin : 0;
}
std::int64_t TMLTimeStamp::GetEnd() const {
  TMLSmartMediaBuffer* b = MediaBlock(FOwner);
  return b ? b->GetTimeStamp().End : 0;
}
void TMLTimeStamp::SetTimes(std::int64_t ABegin, std::int64_t AEnd) {
  if (TMLSmartMediaBuffer* b = MediaBlock(FOwner)) b->SetTimeStamp(ABegin, AEnd);
}

// ------------------------------------------------------------------ TSLData

TSLData::TSLData(ISLData* ASource) {
  if (ASource) FCustom = ASource->GetCustomData();
}

void TSLData::AddCustomData(const TRefPtr<ISLUnknown>& AData) {
  if (AData) FCustom.push_back(AData);
}

// ------------------------------------------------------------------ TSLGenericBuffer

TSLGenericBuffer::TSLGenericBuffer() : FSequenceStamp(*this) {}

TSLGenericBuffer::TSLGenericBuffer(TSLGenericBuffer& ASource) : TSLData(&ASource), FSequenceStamp(*this) {
  if (ASource.pDataContainer) {
    ASource.pDataContainer->AddReference(true);
    pDataContainer = ASource.pDataContainer;
    FOwnsData = true;
  }
  FCharSize = ASource.FCharSize;
  TSLGenericBuffer::RefreshFields();
}

TSLGenericBuffer::~TSLGenericBuffer() {
  if (pDataContainer) pDataContainer->ReleaseReference(FOwnsData);
}

std::uint8_t* TSLGenericBuffer::BlockStart() const noexcept {
  return pDataContainer ? pDataContainer->GetDataPtr() : nullptr;
}

std::uint32_t TSLGenericBuffer::BlockCapacity() const noexcept {
  return pDataContainer ? pDataContainer->GetAllocatedSize() : 0;
}

TRefPtr<TSLGenericBuffer> TSLGenericBuffer::MakeCopy() { return TRefPtr<TSLGenericBuffer>(new TSLGenericBuffer(*this)); }

TRefPtr<ISLData> TSLGenericBuffer::MakeInterfaceCopy() { return TRefPtr<ISLData>(MakeCopy().Get()); }

void TSLGenericBuffer::CopyTo(std::uint32_t ASourceIndex, ISLData* ATarget, std::uint32_t ATargetIndex,
                              std::uint32_t ACount) {
  TSLGenericBuffer* target = ATarget ? ATarget->GetGenericBuffer() : nullptr;
  if (!target) return;
  const std::uint64_t step = GetFrameStep();
  const std::uint64_t from = ASourceIndex * step, to = ATargetIndex * step;
  const std::uint64_t have = GetByteSize(), room = target->GetByteSize();
  if (from >= have || to >= room) return;
  const std::uint64_t bytes = std::min({ACount * step, have - from, room - to});
  std::uint8_t* dst = target->ByteModify();  // first: it may move the target to a block of its own
  const std::uint8_t* src = ByteRead();
  std::memmove(dst + to, src + from, static_cast<std::size_t>(bytes));
}

void TSLGenericBuffer::Assign(TSLGenericBuffer& ASource) {
  if (&ASource == this) return;
  if (ASource.pDataContainer) ASource.pDataContainer->AddReference(true);
  if (pDataContainer) pDataContainer->ReleaseReference(FOwnsData);
  pDataContainer = ASource.pDataContainer;
  FOwnsData = pDataContainer != nullptr;
  FCharSize = ASource.FCharSize;
  FCustom = ASource.FCustom;
  RefreshFields();
}

bool TSLGenericBuffer::IsEqual(TSLGenericBuffer& AOther) {
  if (FCharSize != AOther.FCharSize) return false;
  if (pDataContainer == AOther.pDataContainer) return true;
  const std::uint8_t* a = BlockStart();
  const std::uint8_t* b = AOther.BlockStart();
  if (!a || !b) return false;
  return std::memcmp(a, b, FCharSize) == 0;
}

void TSLGenericBuffer::Unique() { MakeUnique(true); }

bool TSLGenericBuffer::MakeUnique(bool APreserveData) {
  if (!pDataContainer || pDataContainer->CountOwners() < 2) return false;
  TSLSmartBuffer* clone = pDataContainer->Clone(APreserveData ? std::max(FCharSize, KHeaderSize) : KHeaderSize);
  if (!clone) return false;
  clone->AddReference(FOwnsData);
  pDataContainer->ReleaseReference(FOwnsData);
  pDataContainer = clone;
  RefreshFields();
  return true;
}

std::uint32_t TSLGenericBuffer::GetByteSize() { return GetByteSizeNoHeader(); }

std::uint32_t TSLGenericBuffer::GetSize() {
  std::uint32_t bytes = GetByteSize();
  std::uint32_t step = GetFrameStep();
  return bytes == 0 || step == 0 ? 0 : bytes / step;
}

void TSLGenericBuffer::RefreshFields() {
  std::uint8_t* start = BlockStart();
  FDataPtr = start ? start + std::min(DataOffset(), BlockCapacity()) : nullptr;
}

const std::uint8_t* TSLGenericBuffer::ByteRead() { return FDataPtr; }

std::uint8_t* TSLGenericBuffer::ByteWrite() {
  MakeUnique(false);
  return FDataPtr;
}

std::uint8_t* TSLGenericBuffer::ByteModify() {
  MakeUnique(true);
  return FDataPtr;
}

void TSLGenericBuffer::AttachData(TSLSmartBuffer* AContainer, bool AOwner) {
  if (AContainer) AContainer->AddReference(AOwner);
  if (pDataContainer) pDataContainer->ReleaseReference(FOwnsData);
  pDataContainer = AContainer;
  FOwnsData = AContainer && AOwner;
  RefreshFields();
}

void TSLGenericBuffer::RemoveOwnerShip() {
  if (!FOwnsData || !pDataContainer) return;
  pDataContainer->RemoveOwner();
  FOwnsData = false;
}

void TSLGenericBuffer::Resize(std::uint32_t ASize, bool APreserveData) {
  if (ASize == 0) return;
  const std::uint64_t bytes = std::uint64_t{ASize} * GetFrameStep() + DataOffset();
  if (GetSize() >= ASize) {
    FCharSize = static_cast<std::uint32_t>(bytes);
    return;
  }
  if (pDataContainer && FOwnsData && pDataContainer->CountOwners() == 1 && BlockCapacity() >= bytes) {
    FCharSize = static_cast<std::uint32_t>(bytes);
    return;
  }
  TSLSmartBuffer* block = AllocateData(bytes);  // raises before anything changed
  if (std::uint8_t* old = BlockStart()) {
    const std::uint32_t copy = APreserveData ? std::min(BlockCapacity(), block->GetAllocatedSize()) : KHeaderSize;
    std::memcpy(block->GetDataPtr(), old, copy);
  }
  block->AddReference(true);
  if (pDataContainer) pDataContainer->ReleaseReference(FOwnsData);
  pDataContainer = block;
  FOwnsData = true;
  FCharSize = static_cast<std::uint32_t>(bytes);
  RefreshFields();
}

TSLSmartBuffer* TSLGenericBuffer::AllocateData(std::uint64_t ABytes) { return new TALSmartAudioBuffer(ABytes); }

std::uint32_t TSLGenericBuffer::GetByteSizeNoHeader() {
  std::uint32_t offset = DataOffset();
  return FCharSize > offset ? FCharSize - offset : 0;
}

// ------------------------------------------------------------------ TALAudioBuffer

TALAudioBuffer::TALAudioBuffer(TSLGenericBuffer& ASource) : TMLMediaBuffer(ASource) { RefreshFields(); }

PALAudioBuffer TALAudioBuffer::MakeStorage(std::uint32_t ARate, std::uint32_t ABitsPerSample,
                                           std::uint32_t AChannels, std::uint32_t ASize, std::uint32_t AMask) {
  const std::uint64_t bytes =
      std::uint64_t{ASize} * (Container(ABitsPerSample) / 8) * AChannels + KHeaderSize;
  PALAudioBuffer buffer(new TALAudioBuffer());
  TSLSmartBuffer* block = buffer->AllocateData(bytes);
  WriteHeader(block->GetDataPtr(), ARate, ABitsPerSample, AChannels, AMask);
  buffer->AttachData(block, true);
  buffer->FCharSize = static_cast<std::uint32_t>(bytes);
  return buffer;
}

PALAudioBuffer TALAudioBuffer::Create() { return MakeStorage(11025, 8, 1, 0, 1); }

PALAudioBuffer TALAudioBuffer::CreateSize(std::uint32_t ARate, std::uint32_t ABitsPerSample, std::uint32_t AChannels,
                                          std::uint32_t ASize) {
  return MakeStorage(ARate, ABitsPerSample, AChannels, ASize, DefaultMask(AChannels));
}

PALAudioBuffer TALAudioBuffer::CreateSizeEx(std::uint32_t ARate, std::uint32_t ABitsPerSample,
                                            std::uint32_t AChannels, std::uint32_t ASize, TALSpeakers ASpeakerMask) {
  return MakeStorage(ARate, ABitsPerSample, AChannels, ASize, TrimMask(SpeakerBits(ASpeakerMask), AChannels));
}

PALAudioBuffer TALAudioBuffer::CreateData(const void* AData, std::uint32_t ARate, std::uint32_t ABitsPerSample,
                                          std::uint32_t AChannels, std::uint32_t ASize) {
  PALAudioBuffer buffer = CreateSize(ARate, ABitsPerSample, AChannels, ASize);
  if (AData) std::memcpy(buffer->FDataPtr, AData, buffer->GetByteSize());
  return buffer;
}

PALAudioBuffer TALAudioBuffer::CreateDataEx(const void* AData, std::uint32_t ARate, std::uint32_t ABitsPerSample,
                                            std::uint32_t AChannels, std::uint32_t ASize, TALSpeakers ASpeakerMask) {
  PALAudioBuffer buffer = MakeStorage(ARate, ABitsPerSample, AChannels, ASize, SpeakerBits(ASpeakerMask));
  if (AData) std::memcpy(buffer->FDataPtr, AData, buffer->GetByteSize());
  return buffer;
}

PALAudioBuffer TALAudioBuffer::CreateWaveFormat(const TALWaveFormatExtensible& AWaveFormat, std::uint32_t ASize) {
  std::uint8_t raw[KHeaderSize];
  std::memcpy(raw, &AWaveFormat, KHeaderSize);
  return MakeStorage(Get32(raw, hdr::SamplesPerSec), Get16(raw, hdr::ValidBits), Get16(raw, hdr::Channels), ASize,
                     TrimMask(Get32(raw, hdr::ChannelMask), Get16(raw, hdr::Channels)));
}

PALAudioBuffer TALAudioBuffer::CreateEx(TALAudioBuffer& AOther) { return PALAudioBuffer(new TALAudioBuffer(AOther)); }

PALAudioBuffer TALAudioBuffer::CreateCopy(IALAudioBuffer* AOther) {
  if (!AOther) return nullptr;
  return PALAudioBuffer(new TALAudioBuffer(AOther->GetAudioBuffer()));
}

PALAudioBuffer TALAudioBuffer::CreateUniversal(ISLData* AOther) {
  TSLGenericBuffer* source = AOther ? AOther->GetGenericBuffer() : nullptr;
  if (!source || !source->GetDataContainer()) return nullptr;
  return PALAudioBuffer(new TALAudioBuffer(*source));
}

TRefPtr<TSLGenericBuffer> TALAudioBuffer::MakeCopy() { return TRefPtr<TSLGenericBuffer>(new TALAudioBuffer(*this)); }

TRefPtr<ISLData> TALAudioBuffer::MakeInterfaceCopy() {
  return TRefPtr<ISLData>(static_cast<ISLData*>(new TALAudioBuffer(*this)));
}

void TALAudioBuffer::RefreshFields() {
  const std::uint8_t* p = BlockStart();
  if (!p || BlockCapacity() < KHeaderSize) {
    FChannels = FBitsPerSample = FSampleBitWidth = FDataStep = 0;
    FChannelMask = TALSpeakers{};
    FDataOffset = KHeaderSize;
    FWaveFormat = nullptr;
    TSLGenericBuffer::RefreshFields();
    return;
  }
  FWaveFormat = reinterpret_cast<const TALWaveFormatExtensible*>(p);
  FChannels = Get16(p, hdr::Channels);
  FBitsPerSample = Get16(p, hdr::ValidBits);
  FChannelMask = TALSpeakers::FromMask(Get32(p, hdr::ChannelMask));
  FSampleBitWidth = Get16(p, hdr::BitsPerSample);
  FDataStep = Get16(p, hdr::BlockAlign);
  FDataOffset = std::min<std::uint32_t>(Get16(p, hdr::CbSize) + 18u, BlockCapacity());
  TSLGenericBuffer::RefreshFields();
}

std::uint32_t TALAudioBuffer::GetSize() { return TSLGenericBuffer::GetSize(); }

std::uint32_t TALAudioBuffer::GetSampleRate() {
  const std::uint8_t* p = BlockStart();
  return p && BlockCapacity() >= KHeaderSize ? Get32(p, hdr::SamplesPerSec) : 0;
}

TALWaveFormatExtensible TALAudioBuffer::GetWaveFormat() {
  TALWaveFormatExtensible record{};
  if (FWaveFormat) std::memcpy(&record, FWaveFormat, KHeaderSize);
  return record;
}

std::uint8_t* TALAudioBuffer::SamplePointer(std::uint32_t AIndex, std::uint32_t AChannel, bool AForWrite) {
  const std::uint32_t width = FSampleBitWidth / 8;
  if (AChannel >= FChannels || std::uint64_t{AChannel + 1} * width > FDataStep)
    throw ESLRangeError(RangeText("Channel", AChannel));
  if (AIndex >= GetSize()) throw ESLRangeError(RangeText("Index", AIndex));
  std::uint8_t* base = AForWrite ? ByteModify() : FDataPtr;
  return base + std::size_t{AIndex} * FDataStep + std::size_t{AChannel} * width;
}

std::int32_t TALAudioBuffer::GetSample(std::uint32_t AIndex, std::uint32_t AChannel) {
  const std::uint8_t* p = SamplePointer(AIndex, AChannel, false);
  switch (FSampleBitWidth) {
    case 8: return p[0];
    case 16: return ALLoadSample(p, 2);
    case 24: return static_cast<std::int32_t>(p[0] | (p[1] << 8) | (p[2] << 16));
    case 32: return ALLoadSample(p, 4);
    default: return 0;
  }
}

void TALAudioBuffer::SetSample(std::uint32_t AIndex, std::uint32_t AChannel, std::int32_t AValue) {
  std::uint8_t* p = SamplePointer(AIndex, AChannel, true);
  if (FSampleBitWidth >= 8 && FSampleBitWidth <= 32) ALStoreSample(p, FSampleBitWidth / 8, AValue);
}

TALChannelPairs ALPairChannels(std::uint32_t ASourceMask, std::uint32_t ASourceChannels, std::uint32_t ATargetMask,
                               std::uint32_t ATargetChannels) {
  TALChannelPairs pairs;
  std::uint32_t s = 0, t = 0, paired = 0;
  for (std::uint32_t pos = 0; pos < TALChannelPairs::KPositions; ++pos) {
    if (paired >= ASourceChannels && paired >= ATargetChannels) break;
    const bool inSource = (ASourceMask >> pos) & 1u;
    const bool inTarget = (ATargetMask >> pos) & 1u;
    // A mask may name more speakers than the buffer has channels: those take part in nothing.
    if (inSource && inTarget) {
      if (s < ASourceChannels && t < ATargetChannels) {
        pairs.Entries[pairs.Count++] = {s, t, false};
        ++paired;
      } else if (t < ATargetChannels) {
        pairs.Entries[pairs.Count++] = {0, t, true};  // its source channel does not exist
      }
    } else if (inTarget) {
      if (t < ATargetChannels) pairs.Entries[pairs.Count++] = {0, t, true};
    }
    if (inSource) ++s;
    if (inTarget) ++t;
  }
  return pairs;
}

void TALAudioBuffer::CopyTo(std::uint32_t ASourceIndex, ISLData* ATarget, std::uint32_t ATargetIndex,
                            std::uint32_t ACount) {
  TSLGenericBuffer* generic = ATarget ? ATarget->GetGenericBuffer() : nullptr;
  auto* target = dynamic_cast<TALAudioBuffer*>(generic);
  if (!target) {
    TSLGenericBuffer::CopyTo(ASourceIndex, ATarget, ATargetIndex, ACount);
    return;
  }
  const std::uint32_t sourceFrames = GetSize(), targetFrames = target->GetSize();
  if (ASourceIndex >= sourceFrames || ATargetIndex >= targetFrames) return;
  const std::uint32_t n = std::min({ACount, sourceFrames - ASourceIndex, targetFrames - ATargetIndex});
  if (n == 0) return;

  const TALChannelPairs pairs =
      ALPairChannels(SpeakerBits(FChannelMask), FChannels, SpeakerBits(target->FChannelMask), target->FChannels);
  const std::uint32_t sw = FSampleBitWidth / 8, tw = target->FSampleBitWidth / 8;
  std::uint8_t* dst = target->ByteModify() + std::size_t{ATargetIndex} * target->FDataStep;
  const std::uint8_t* src = ByteRead() + std::size_t{ASourceIndex} * FDataStep;

  // Frames copied onto frames of the same block (a buffer into itself, or two views of one block)
  // are read as they were before the copy, as between two buffers: the walk below would otherwise
  // read samples it has already overwritten.
  std::vector<std::uint8_t> staged;
  const std::size_t srcBytes = std::size_t{n} * FDataStep, dstBytes = std::size_t{n} * target->FDataStep;
  const auto s0 = reinterpret_cast<std::uintptr_t>(src), d0 = reinterpret_cast<std::uintptr_t>(dst);
  if (!(s0 + srcBytes <= d0 || d0 + dstBytes <= s0)) {
    staged.assign(src, src + srcBytes);
    src = staged.data();
  }

  // The same channels in the same places on both sides, packed frames: one pass over the
  // interleaved samples gives what a pass per channel gives.
  bool bSameLayout = pairs.Count == FChannels && FChannels == target->FChannels && sw >= 1 && sw <= 4 && tw >= 1 &&
                     tw <= 4 && FDataStep == FChannels * sw && target->FDataStep == target->FChannels * tw;
  for (std::uint32_t i = 0; bSameLayout && i < pairs.Count; ++i)
    bSameLayout = !pairs.Entries[i].bZeroFill && pairs.Entries[i].Source == i && pairs.Entries[i].Target == i;
  if (bSameLayout) {
    ALCopyChannel(src, sw, sw, dst, tw, tw, n * FChannels);
    return;
  }

  for (std::uint32_t i = 0; i < pairs.Count; ++i) {
    const auto& e = pairs.Entries[i];
    if (e.bZeroFill && std::uint64_t{e.Target + 1} * tw <= target->FDataStep)
      ALZeroChannel(dst + std::size_t{e.Target} * tw, target->FDataStep, tw, n);
  }
  for (std::uint32_t i = 0; i < pairs.Count; ++i) {
    const auto& e = pairs.Entries[i];
    if (e.bZeroFill) continue;
    if (std::uint64_t{e.Source + 1} * sw > FDataStep || std::uint64_t{e.Target + 1} * tw > target->FDataStep) continue;
    ALCopyChannel(src + std::size_t{e.Source} * sw, FDataStep, sw, dst + std::size_t{e.Target} * tw,
                  target->FDataStep, tw, n);
  }
}

}  // namespace portwise

#pragma once
// The audio format: a sub-object with published properties, and the 40-byte wave format record it
// keeps consistent with them (the record travels with streams and buffers).
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "core/LPComponent.h"

namespace portwise {

struct TALGuid {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
  friend bool operator==(const TALGuid&, const TALGuid&) = default;
};
static_assert(sizeof(TALGuid) == 16);

// {00000001-0000-0010-8000-00aa00389b71}
inline constexpr TALGuid ALSubFormatPCM{0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr std::uint16_t ALWaveFormatExtensibleTag = 0xFFFE;
inline constexpr std::uint16_t ALWaveFormatExtensibleCbSize = 22;

// The layout of WAVEFORMATEXTENSIBLE, little-endian. Its natural layout has no padding, so it is
// the packed record without a packing pragma (fields stay addressable for the property setters).
struct TALWaveFormatExtensible {
  std::uint16_t wFormatTag;
  std::uint16_t nChannels;
  std::uint32_t nSamplesPerSec;
  std::uint32_t nAvgBytesPerSec;
  std::uint16_t nBlockAlign;
  std::uint16_t wBitsPerSample;
  std::uint16_t cbSize;
  std::uint16_t wValidBitsPerSample;
  std::uint32_t dwChannelMask;
  TALGuid SubFormat;
};
using PALWaveFormatExtensible = TALWaveFormatExtensible*;

static_assert(sizeof(TALWaveFormatExtensible) == 40);
static_assert(std::is_standard_layout_v<TALWaveFormatExtensible> && std::is_trivially_copyable_v<TALWaveFormatExtensible>);
static_assert(offsetof(TALWaveFormatExtensible, wFormatTag) == 0);
static_assert(offsetof(TALWaveFormatExtensible, nChannels) == 2);
static_assert(offsetof(TALWaveFormatExtensible, nSamplesPerSec) == 4);
static_assert(offsetof(TALWaveFormatExtensible, nAvgBytesPerSec) == 8);
static_assert(offsetof(TALWaveFormatExtensible, nBlockAlign) == 12);
static_assert(offsetof(TALWaveFormatExtensible, wBitsPerSample) == 14);
static_assert(offsetof(TALWaveFormatExtensible, cbSize) == 16);
static_assert(offsetof(TALWaveFormatExtensible, wValidBitsPerSample) == 18);
static_assert(offsetof(TALWaveFormatExtensible, dwChannelMask) == 20);
static_assert(offsetof(TALWaveFormatExtensible, SubFormat) == 24);

// Speaker positions; the ordinal is the bit number in dwChannelMask.
enum TALSpeaker : std::uint8_t {
  spFrontLeft, spFrontRight, spFrontCenter, spSubwoofer, spBackLeft, spBackRight,
  spFrontLeftOfCenter, spFrontRightOfCenter, spBackCenter, spSideLeft, spSideRight, spTopCenter,
  spTopFrontLeft, spTopFrontCenter, spTopFrontRight, spTopBackLeft, spTopBackCenter, spTopBackRight
};
inline constexpr int ALSpeakerCount = 18;

// A set of speakers held as the 32-bit mask itself (copied bit for bit into dwChannelMask).
class TALSpeakers {
 public:
  constexpr TALSpeakers() noexcept = default;
  constexpr TALSpeakers(std::initializer_list<TALSpeaker> ASpeakers) noexcept {
    for (TALSpeaker s : ASpeakers) Include(s);
  }
  static constexpr TALSpeakers FromMask(std::uint32_t AMask) noexcept {
    TALSpeakers r;
    r.FMask = AMask;
    return r;
  }

  constexpr std::uint32_t Mask() const noexcept { return FMask; }
  constexpr bool Empty() const noexcept { return FMask == 0; }
  constexpr bool Contains(TALSpeaker ASpeaker) const noexcept { return (FMask >> ASpeaker) & 1u; }
  constexpr TALSpeakers& Include(TALSpeaker ASpeaker) noexcept {
    FMask |= 1u << ASpeaker;
    return *this;
  }
  constexpr TALSpeakers& Exclude(TALSpeaker ASpeaker) noexcept {
    FMask &= ~(1u << ASpeaker);
    return *this;
  }
  friend constexpr bool operator==(TALSpeakers, TALSpeakers) noexcept = default;

 private:
  std::uint32_t FMask = 0;
};

// Channels, Bits, SampleRate, ChannelMask; every effective write recomputes the record and calls
// the owner's handler (Sender = this format), with the owner's lock held.
class TALAudioFormatBasic : public TLPPersistentNotify {
 public:
  // The defaults are set through the setters, so AOnChange is already called from here.
  TALAudioFormatBasic(TPersistent* AOwner, TNotifyEvent AOnChange, IOWLock* AOwnerLock);

  std::uint32_t GetChannels() const;
  void SetChannels(std::uint32_t AValue);  // 1 .. 32
  std::uint32_t GetBits() const;
  void SetBits(std::uint32_t AValue);      // valid bits, 1 .. 32
  std::uint32_t GetSampleRate() const;
  void SetSampleRate(std::uint32_t AValue);
  TALSpeakers GetChannelMask() const;
  void SetChannelMask(TALSpeakers AValue);

  // The object's own record, read under the lock; the lock is not held after the return, so copy
  // the 40 bytes to keep a stable value.
  const TALWaveFormatExtensible* GetWaveFormat() const;

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  TALWaveFormatExtensible FWaveFormat{};

 private:
  void UpdateWaveFormat();
};

class TALAudioFormat : public TALAudioFormatBasic {
 public:
  TALAudioFormat(TPersistent* AOwner, TNotifyEvent AOnChange, IOWLock* AOwnerLock);

  // Sample frames per buffer; not part of the record.
  std::uint32_t GetBufferSize() const;
  void SetBufferSize(std::uint32_t AValue);  // at least 1

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  std::uint32_t FBufferSize;
};

// 44100/22050/11025/8000 Hz, 8 or 16 bit containers, stereo with mask 3 or mono with mask 1 or 3.
bool IsStandardWaveFormat(const TALWaveFormatExtensible& AWaveFormat);
// Same channel count, rate, block align and mask (nothing else compared).
bool SameWaveFormat(const TALWaveFormatExtensible& A, const TALWaveFormatExtensible& B);

}  // namespace portwise

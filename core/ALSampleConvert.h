#pragma once
// Sample width conversions and the strided channel copy behind the audio buffers' frame copy.
//
// Samples are little-endian: 8-bit unsigned, 16, 24 and 32-bit signed. Conversions between the
// signed widths scale by the ratio of the positive full scales (x * max_to / max_from, 64-bit
// product, truncated toward zero); 8 <-> 24 use the offset 127: (x - 127) * 8388607 / 127 and
// x * 127 / 8388607 + 127. Results are clamped to the target's range, so the most negative
// value of a narrower width (which has no positive twin) cannot wrap to a full-scale positive.
//
// 8 <-> 16 and 8 <-> 32 map the full ranges linearly onto each other: the 8-bit code u and the
// signed code s stand for the same fraction of the range, u / 255 = (s - min) / (max - min).
// Upwards this is exact (s = u * 257 - 32768, s = u * 16843009 - 2^31); downwards it rounds to
// the nearest code ((s + 32768 + 128) / 257, (s + 2^31 + 8421504) / 16843009), so 8 -> 16 -> 8
// and 8 -> 32 -> 8 give the original back.
//
// Every conversion has a plain reference version (ALReference...) that works one sample at a
// time; the fast kernels must agree with it bit for bit.
#include <cstdint>

namespace portwise {

// One sample of `bytes` (1..4) width, as its signed value (8-bit: 0..255, 24-bit sign-extended).
std::int32_t ALLoadSample(const std::uint8_t* p, std::uint32_t bytes);
void ALStoreSample(std::uint8_t* p, std::uint32_t bytes, std::int32_t value);

// The value of a sample of `fromBytes` width in a sample of `toBytes` width (both 1..4).
std::int32_t ALConvertSample(std::int32_t x, std::uint32_t fromBytes, std::uint32_t toBytes);
std::int32_t ALReferenceConvertSample(std::int32_t x, std::uint32_t fromBytes, std::uint32_t toBytes);

// Copies n samples of one channel: read every `srcStride` bytes from `src` in `srcBytes` width,
// written every `dstStride` bytes to `dst` in `dstBytes` width, converting when the widths
// differ. The fast kernel and its reference.
void ALCopyChannel(const std::uint8_t* src, std::uint32_t srcStride, std::uint32_t srcBytes,
                   std::uint8_t* dst, std::uint32_t dstStride, std::uint32_t dstBytes, std::uint32_t n);
void ALReferenceCopyChannel(const std::uint8_t* src, std::uint32_t srcStride, std::uint32_t srcBytes,
                            std::uint8_t* dst, std::uint32_t dstStride, std::uint32_t dstBytes,
                            std::uint32_t n);

// The same n 16-bit samples into each of `channels` channels of interleaved frames `step` bytes
// apart, samples of `bytes` width: ALCopyChannel from src into every channel.
void ALSpreadChannels16(const std::int16_t* src, std::uint32_t n, std::uint8_t* dst, std::uint32_t step,
                        std::uint32_t channels, std::uint32_t bytes);

// Writes n zero samples of `bytes` width every `stride` bytes.
void ALZeroChannel(std::uint8_t* dst, std::uint32_t stride, std::uint32_t bytes, std::uint32_t n);

}  // namespace portwise

#pragma once
// Sample conversions between a driver's half-buffers and the audio buffers that carry one channel.
//
// Each driver sample type maps to one buffer width: 16 bits for the 16-bit types, 24 for the
// 24-bit ones, 32 for everything else in the table (32-bit integers with any alignment, both float
// types). Integer samples are copied, byte-reversed for the big-endian (MSB) types. Float samples
// are scaled: 32-bit floats by 2147483648.0 in single precision, 64-bit floats by 2147483647.0 in
// double precision, in both directions; towards the buffer the scaled value is rounded to nearest
// (ties to even) and saturated, so +1.0 gives 2147483647 and -1.0 gives -2147483648. A NaN gives 0.
// The aligned 32-bit types (LSB16 .. LSB24, MSB16 .. MSB24) are carried as plain 32-bit samples.
// Types outside the table have no conversion: nothing is read or written for them.
//
// The driver's input half-buffer is only read, never written: some drivers hand the same memory to
// more than one channel or keep reading it themselves.
//
// Every block conversion has a plain reference version (ALASIOReference...) that works one sample
// at a time from the definitions above; the block versions must agree with it bit for bit.
#include <cstdint>

#include "core/ALAudioBuffer.h"
#include "platform/AsioDriver.h"

namespace portwise {

// Bits per sample of the audio buffers for a channel of this type: 16, 24 or 32; 0 when the type
// has no conversion.
std::uint32_t ALASIOBufferBits(TASIOSampleType AType);
// The width a channel's stream is announced with: the buffer width, or 8 for a type without one.
std::uint32_t ALASIOStreamBits(TASIOSampleType AType);
// Bytes of one sample in the driver's buffers; 0 when the type has no conversion.
std::uint32_t ALASIODriverSampleBytes(TASIOSampleType AType);

// ACount driver samples at ASource become ACount buffer samples at ATarget. False, with nothing
// written, for a type without a conversion. The two areas must not overlap.
bool ALASIOConvertInput(TASIOSampleType AType, const void* ASource, void* ATarget, std::uint32_t ACount);
// ACount buffer samples at ASource become ACount driver samples at ATarget.
bool ALASIOConvertOutput(TASIOSampleType AType, const void* ASource, void* ATarget, std::uint32_t ACount);
// ACount driver samples of silence (zero bytes, or 0.0 in the float types).
bool ALASIOSilence(TASIOSampleType AType, void* ATarget, std::uint32_t ACount);

bool ALASIOReferenceConvertInput(TASIOSampleType AType, const void* ASource, void* ATarget, std::uint32_t ACount);
bool ALASIOReferenceConvertOutput(TASIOSampleType AType, const void* ASource, void* ATarget,
                                  std::uint32_t ACount);

// The block kernels behind the conversions. Source and target may be the same memory (in place)
// when the two sample sizes are equal; otherwise they must not overlap. Unaligned memory is fine.
void ALSwapBytes16(const void* ASource, void* ATarget, std::uint32_t ACount);
void ALSwapBytes24(const void* ASource, void* ATarget, std::uint32_t ACount);
void ALSwapBytes32(const void* ASource, void* ATarget, std::uint32_t ACount);
void ALSwapBytes64(const void* ASource, void* ATarget, std::uint32_t ACount);
// x * 2147483648.0f, rounded to nearest even, saturated; NaN gives 0.
void ALFloat32ToInt32(const void* ASource, void* ATarget, std::uint32_t ACount);
// x * 2147483647.0, rounded to nearest even, saturated; NaN gives 0.
void ALFloat64ToInt32(const void* ASource, void* ATarget, std::uint32_t ACount);
// float(x) / 2147483648.0f.
void ALInt32ToFloat32(const void* ASource, void* ATarget, std::uint32_t ACount);
// double(x) / 2147483647.0.
void ALInt32ToFloat64(const void* ASource, void* ATarget, std::uint32_t ACount);

// Chooses between the widest kernels this processor runs (AVX2 on 64-bit x86) and the baseline
// ones; the widest are chosen at start-up. Returns whether the wide ones are now in use. For
// tests that hold both sets against the reference.
bool ALASIOUseWideKernels(bool AWide);

// One sample of each float rule, as the reference conversions apply it.
std::int32_t ALReferenceFloat32ToInt32(float AValue);
std::int32_t ALReferenceFloat64ToInt32(double AValue);

// The audio buffer made of one input half-buffer: 1 channel (front left), ACount frames, ARate, the
// type's width. Empty for a type without a conversion.
PALAudioBuffer ALASIOInputBuffer(TASIOSampleType AType, const void* AHalf, std::uint32_t ACount,
                                 std::uint32_t ARate);
// Writes ABuffer's samples (1 channel of the type's width, at least ACount frames) into the output
// half-buffer, or silence when ABuffer is null. False, with nothing written, for a type without a
// conversion.
bool ALASIOOutputBuffer(TASIOSampleType AType, IALAudioBuffer* ABuffer, void* AHalf, std::uint32_t ACount);

}  // namespace portwise

#include "asio/ALASIOConvert.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSSE3__)
#include <tmmintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace portwise {

static_assert(std::endian::native == std::endian::little, "the buffers hold little-endian samples");

namespace {

constexpr std::int32_t KMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t KMax32 = std::numeric_limits<std::int32_t>::max();
constexpr float KScale32f = 2147483648.0f;
constexpr double KScale64f = 2147483647.0;

enum class TKind { None, Copy, Swap, Float32, Float64 };

struct TTypeInfo {
  TKind Kind;
  std::uint32_t DriverBytes;
  std::uint32_t BufferBits;
  bool bMsb;
};

TTypeInfo Info(TASIOSampleType AType) {
  switch (AType) {
    case ASIOSTInt16LSB: return {TKind::Copy, 2, 16, false};
    case ASIOSTInt24LSB: return {TKind::Copy, 3, 24, false};
    case ASIOSTInt32LSB:
    case ASIOSTInt32LSB16:
    case ASIOSTInt32LSB18:
    case ASIOSTInt32LSB20:
    case ASIOSTInt32LSB24: return {TKind::Copy, 4, 32, false};
    case ASIOSTInt16MSB: return {TKind::Swap, 2, 16, true};
    case ASIOSTInt24MSB: return {TKind::Swap, 3, 24, true};
    case ASIOSTInt32MSB:
    case ASIOSTInt32MSB16:
    case ASIOSTInt32MSB18:
    case ASIOSTInt32MSB20:
    case ASIOSTInt32MSB24: return {TKind::Swap, 4, 32, true};
    case ASIOSTFloat32LSB: return {TKind::Float32, 4, 32, false};
    case ASIOSTFloat32MSB: return {TKind::Float32, 4, 32, true};
    case ASIOSTFloat64LSB: return {TKind::Float64, 8, 32, false};
    case ASIOSTFloat64MSB: return {TKind::Float64, 8, 32, true};
    default: return {TKind::None, 0, 0, false};
  }
}

template <class T>
inline T LoadAt(const std::uint8_t* p, std::uint32_t i) {
  T v;
  std::memcpy(&v, p + std::size_t{i} * sizeof(T), sizeof(T));
  return v;
}

template <class T>
inline void StoreAt(std::uint8_t* p, std::uint32_t i, T v) {
  std::memcpy(p + std::size_t{i} * sizeof(T), &v, sizeof(T));
}

// The scalar rules of the block kernels (their tails, and the whole block without SSE2). The
// rounding is the processor's default, to nearest with ties to even.
inline std::int32_t Float32ToInt32One(float x) {
  const float v = x * KScale32f;
  if (v != v) return 0;
  if (v >= KScale32f) return KMax32;
  if (v < -KScale32f) return KMin32;
  return static_cast<std::int32_t>(std::nearbyint(v));
}

inline std::int32_t Float64ToInt32One(double x) {
  const double v = x * KScale64f;
  if (v != v) return 0;
  if (v >= 2147483647.5) return KMax32;
  if (v <= -2147483648.5) return KMin32;
  return static_cast<std::int32_t>(std::nearbyint(v));
}

#if defined(__SSE2__)
// The two bytes of every 16-bit word exchanged; wider swaps then reorder the words.
inline __m128i SwapInWords(__m128i v) { return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)); }
#endif

const std::uint8_t* Bytes(const void* p) { return static_cast<const std::uint8_t*>(p); }
std::uint8_t* Bytes(void* p) { return static_cast<std::uint8_t*>(p); }

}  // namespace

// ------------------------------------------------------------------------------ type table

std::uint32_t ALASIOBufferBits(TASIOSampleType AType) { return Info(AType).BufferBits; }

std::uint32_t ALASIOStreamBits(TASIOSampleType AType) {
  const std::uint32_t bits = Info(AType).BufferBits;
  return bits ? bits : 8;
}

std::uint32_t ALASIODriverSampleBytes(TASIOSampleType AType) { return Info(AType).DriverBytes; }

// ------------------------------------------------------------------------------ block kernels

void ALSwapBytes16(const void* ASource, void* ATarget, std::uint32_t ACount) {
  const std::uint8_t* src = Bytes(ASource);
  std::uint8_t* dst = Bytes(ATarget);
  std::uint32_t i = 0;
#if defined(__SSSE3__)
  const __m128i order = _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
  for (; i + 8 <= ACount; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * std::size_t{i}));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * std::size_t{i}), _mm_shuffle_epi8(v, order));
  }
#elif defined(__SSE2__)
  for (; i + 8 <= ACount; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * std::size_t{i}));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * std::size_t{i}), SwapInWords(v));
  }
#endif
  for (; i < ACount; ++i) StoreAt<std::uint16_t>(dst, i, __builtin_bswap16(LoadAt<std::uint16_t>(src, i)));
}

void ALSwapBytes24(const void* ASource, void* ATarget, std::uint32_t ACount) {
  const std::uint8_t* src = Bytes(ASource);
  std::uint8_t* dst = Bytes(ATarget);
  std::size_t i = 0;
#if defined(__SSSE3__)
  // Four samples (12 bytes) at a time; the load reads 4 bytes further, so the last two samples
  // go one by one. Exactly 12 bytes are written: in place, the next group is still unread.
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, -1, -1, -1, -1);
  for (; i + 12 + 4 <= std::size_t{ACount} * 3; i += 12) {
    const __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)), order);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i), v);
    const auto tail = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(v, 8)));
    std::memcpy(dst + i + 8, &tail, 4);
  }
#endif
  for (; i < std::size_t{ACount} * 3; i += 3) {
    const std::uint8_t a = src[i], b = src[i + 1], c = src[i + 2];
    dst[i] = c;
    dst[i + 1] = b;
    dst[i + 2] = a;
  }
}

void ALSwapBytes32(const void* ASource, void* ATarget, std::uint32_t ACount) {
  const std::uint8_t* src = Bytes(ASource);
  std::uint8_t* dst = Bytes(ATarget);
  std::uint32_t i = 0;
#if defined(__SSSE3__)
  const __m128i order = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  for (; i + 4 <= ACount; i += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * std::size_t{i}));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * std::size_t{i}), _mm_shuffle_epi8(v, order));
  }
#elif defined(__SSE2__)
  for (; i + 4 <= ACount; i += 4) {
    __m128i v = SwapInWords(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * std::size_t{i})));
    v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * std::size_t{i}), v);
  }
#endif
  for (; i < ACount; ++i) StoreAt<std::uint32_t>(dst, i, __builtin_bswap32(LoadAt<std::uint32_t>(src, i)));
}

void ALSwapBytes64(const void* ASource, void* ATarget, std::uint32_t ACount) {
  const std::uint8_t* src = Bytes(ASource);
  std::uint8_t* dst = Bytes(ATarget);
  std::uint32_t i = 0;
#if defined(__SSSE3__)
  const __m128i order = _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
  for (; i + 2 <= ACount; i += 2) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 8 * std::size_t{i}));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * std::size_t{i}), _mm_shuffle_epi8(v, order));
  }
#elif defined(__SSE2__)
  for (; i + 2 <= ACount; i += 2) {
    __m128i v = SwapInWords(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 8 * std::size_t{i})));
    v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(0, 1, 2, 3)), _MM_SHUFFLE(0, 1, 2, 3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * std::size_t{i}), v);
  }
#endif
  for (; i < ACount; ++i) StoreAt<std::uint64_t>(dst, i, __builtin_bswap64(LoadAt<std::uint64_t>(src, i)));
}

void ALFloat32ToInt32(const void* ASource, void* ATarget, std::uint32_t ACount) {
  const std::uint8_t* src = Bytes(ASource);
  std::uint8_t* dst = Bytes(ATarget);
  std::uint32_t i = 0;
#if defined(__SSE2__)
  // The conversion instruction answers 0x80000000 for anything out of range and for NaN: that is
  // already right below the range; above it, flipping every bit gives 0x7FFFFFFF; NaN is masked.
  const __m128 scale = _mm_set1_ps(KScale32f);
  for (; i + 4 <= ACount; i += 4) {
    const __m128 v = _mm_mul_ps(_mm_loadu_ps(reinterpret_cast<const float*>(src + 4 * std::size_t{i})), scale);
    __m128i r = _mm_cvtps_epi32(v);
    r = _mm_xor_si128(r, _mm_castps_si128(_mm_cmpge_ps(v, scale)));
    r = _mm_and_si128(r, _mm_castps_si128(_mm_cmpord_ps(v, v)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * std::size_t{i}), r);
  }
#endif
  for (; i < ACount; ++i) StoreAt<std::int32_t>(dst, i, Float32ToInt32One(LoadAt<float>(src, i)));
}

void ALFloat64ToInt32(const void* ASource, void* ATarget, std::uint32_t ACount) {
  const std::uint8_t* src = Bytes(ASource);
  std::uint8_t* dst = Bytes(ATarget);
  std::uint32_t i = 0;
#if defined(__SSE2__)
  const __m128d scale = _mm_set1_pd(KScale64f);
  const __m128d limit = _mm_set1_pd(2147483647.5);
  // The low 32 bits of each 64-bit lane mask, in the two low 32-bit lanes.
  auto narrow = [](__m128d mask) { return _mm_shuffle_epi32(_mm_castpd_si128(mask), _MM_SHUFFLE(3, 3, 2, 0)); };
  auto two = [&](const std::uint8_t* p) {
    const __m128d v = _mm_mul_pd(_mm_loadu_pd(reinterpret_cast<const double*>(p)), scale);
    __m128i r = _mm_cvtpd_epi32(v);
    r = _mm_xor_si128(r, narrow(_mm_cmpge_pd(v, limit)));
    return _mm_and_si128(r, narrow(_mm_cmpord_pd(v, v)));
  };
  for (; i + 4 <= ACount; i += 4) {
    const std::uint8_t* p = src + 8 * std::size_t{i};
    const __m128i r = _mm_unpacklo_epi64(two(p), two(p + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * std::size_t{i}), r);
  }
#endif
  for (; i < ACount; ++i) StoreAt<std::int32_t>(dst, i, Float64ToInt32One(LoadAt<double>(src, i)));
}

void ALInt32ToFloat32(const void* ASource, void* ATarget, std::uint32_t ACount) {
  const std::uint8_t* src = Bytes(ASource);
  std::uint8_t* dst = Bytes(ATarget);
  // Dividing by a power of two is exact: the loop vectorises as a conversion and a multiply.
  for (std::uint32_t i = 0; i < ACount; ++i)
    StoreAt<float>(dst, i, static_cast<float>(LoadAt<std::int32_t>(src, i)) * (1.0f / KScale32f));
}

void ALInt32ToFloat64(const void* ASource, void* ATarget, std::uint32_t ACount) {
  const std::uint8_t* src = Bytes(ASource);
  std::uint8_t* dst = Bytes(ATarget);
  // A true division: the reciprocal of 2147483647 is not exact.
  for (std::uint32_t i = 0; i < ACount; ++i)
    StoreAt<double>(dst, i, static_cast<double>(LoadAt<std::int32_t>(src, i)) / KScale64f);
}

// ------------------------------------------------------------------------------ conversions

bool ALASIOConvertInput(TASIOSampleType AType, const void* ASource, void* ATarget, std::uint32_t ACount) {
  const TTypeInfo info = Info(AType);
  switch (info.Kind) {
    case TKind::None: return false;
    case TKind::Copy: std::memcpy(ATarget, ASource, std::size_t{ACount} * info.DriverBytes); break;
    case TKind::Swap:
      if (info.DriverBytes == 2) ALSwapBytes16(ASource, ATarget, ACount);
      else if (info.DriverBytes == 3) ALSwapBytes24(ASource, ATarget, ACount);
      else ALSwapBytes32(ASource, ATarget, ACount);
      break;
    case TKind::Float32:
      if (info.bMsb) {
        // Same size on both sides: reverse into the target, then convert there.
        ALSwapBytes32(ASource, ATarget, ACount);
        ALFloat32ToInt32(ATarget, ATarget, ACount);
      } else {
        ALFloat32ToInt32(ASource, ATarget, ACount);
      }
      break;
    case TKind::Float64:
      if (info.bMsb) {
        // The target is half the size: reverse through a small block on the stack.
        constexpr std::uint32_t KBlock = 256;
        std::uint8_t block[KBlock * 8];
        for (std::uint32_t done = 0; done < ACount; done += KBlock) {
          const std::uint32_t n = ACount - done < KBlock ? ACount - done : KBlock;
          ALSwapBytes64(Bytes(ASource) + 8 * std::size_t{done}, block, n);
          ALFloat64ToInt32(block, Bytes(ATarget) + 4 * std::size_t{done}, n);
        }
      } else {
        ALFloat64ToInt32(ASource, ATarget, ACount);
      }
      break;
  }
  return true;
}

bool ALASIOConvertOutput(TASIOSampleType AType, const void* ASource, void* ATarget, std::uint32_t ACount) {
  const TTypeInfo info = Info(AType);
  switch (info.Kind) {
    case TKind::None: return false;
    case TKind::Copy: std::memcpy(ATarget, ASource, std::size_t{ACount} * info.DriverBytes); break;
    case TKind::Swap:
      if (info.DriverBytes == 2) ALSwapBytes16(ASource, ATarget, ACount);
      else if (info.DriverBytes == 3) ALSwapBytes24(ASource, ATarget, ACount);
      else ALSwapBytes32(ASource, ATarget, ACount);
      break;
    case TKind::Float32:
      ALInt32ToFloat32(ASource, ATarget, ACount);
      if (info.bMsb) ALSwapBytes32(ATarget, ATarget, ACount);
      break;
    case TKind::Float64:
      ALInt32ToFloat64(ASource, ATarget, ACount);
      if (info.bMsb) ALSwapBytes64(ATarget, ATarget, ACount);
      break;
  }
  return true;
}

bool ALASIOSilence(TASIOSampleType AType, void* ATarget, std::uint32_t ACount) {
  const TTypeInfo info = Info(AType);
  if (info.Kind == TKind::None) return false;
  // 0.0 is all zero bits in both float formats, in either byte order.
  std::memset(ATarget, 0, std::size_t{ACount} * info.DriverBytes);
  return true;
}

// ------------------------------------------------------------------------------ references

std::int32_t ALReferenceFloat32ToInt32(float AValue) {
  const float scaled = AValue * 2147483648.0f;  // single precision, as the rule says
  const double v = scaled;
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return KMax32;
  if (v <= -2147483648.0) return KMin32;
  double whole = std::floor(v);
  const double fraction = v - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  return static_cast<std::int32_t>(whole);
}

std::int32_t ALReferenceFloat64ToInt32(double AValue) {
  const double v = AValue * 2147483647.0;
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return KMax32;
  if (v <= -2147483648.0) return KMin32;
  double whole = std::floor(v);
  const double fraction = v - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  return static_cast<std::int32_t>(whole);
}

namespace {

// A driver sample of `bytes` bytes as an unsigned value, in the type's byte order.
std::uint64_t ReadDriver(const std::uint8_t* p, std::uint32_t bytes, bool msb) {
  std::uint64_t v = 0;
  for (std::uint32_t k = 0; k < bytes; ++k) {
    const std::uint32_t significance = msb ? bytes - 1 - k : k;
    v |= std::uint64_t{p[k]} << (8 * significance);
  }
  return v;
}

void WriteDriver(std::uint8_t* p, std::uint32_t bytes, bool msb, std::uint64_t v) {
  for (std::uint32_t k = 0; k < bytes; ++k) {
    const std::uint32_t significance = msb ? bytes - 1 - k : k;
    p[k] = static_cast<std::uint8_t>(v >> (8 * significance));
  }
}

// Buffer samples are little-endian, `bytes` wide.
std::uint32_t ReadBuffer(const std::uint8_t* p, std::uint32_t bytes) {
  return static_cast<std::uint32_t>(ReadDriver(p, bytes, false));
}

void WriteBuffer(std::uint8_t* p, std::uint32_t bytes, std::uint32_t v) { WriteDriver(p, bytes, false, v); }

}  // namespace

bool ALASIOReferenceConvertInput(TASIOSampleType AType, const void* ASource, void* ATarget,
                                 std::uint32_t ACount) {
  const TTypeInfo info = Info(AType);
  if (info.Kind == TKind::None) return false;
  const std::uint32_t outBytes = info.BufferBits / 8;
  for (std::uint32_t i = 0; i < ACount; ++i) {
    const std::uint64_t raw = ReadDriver(Bytes(ASource) + std::size_t{i} * info.DriverBytes, info.DriverBytes, info.bMsb);
    std::uint32_t out = 0;
    switch (info.Kind) {
      case TKind::Float32:
        out = static_cast<std::uint32_t>(ALReferenceFloat32ToInt32(std::bit_cast<float>(static_cast<std::uint32_t>(raw))));
        break;
      case TKind::Float64:
        out = static_cast<std::uint32_t>(ALReferenceFloat64ToInt32(std::bit_cast<double>(raw)));
        break;
      default: out = static_cast<std::uint32_t>(raw); break;
    }
    WriteBuffer(Bytes(ATarget) + std::size_t{i} * outBytes, outBytes, out);
  }
  return true;
}

bool ALASIOReferenceConvertOutput(TASIOSampleType AType, const void* ASource, void* ATarget,
                                  std::uint32_t ACount) {
  const TTypeInfo info = Info(AType);
  if (info.Kind == TKind::None) return false;
  const std::uint32_t inBytes = info.BufferBits / 8;
  for (std::uint32_t i = 0; i < ACount; ++i) {
    const std::uint32_t x = ReadBuffer(Bytes(ASource) + std::size_t{i} * inBytes, inBytes);
    std::uint64_t raw = x;
    if (info.Kind == TKind::Float32)
      raw = std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<std::int32_t>(x)) / 2147483648.0f);
    else if (info.Kind == TKind::Float64)
      raw = std::bit_cast<std::uint64_t>(static_cast<double>(static_cast<std::int32_t>(x)) / 2147483647.0);
    WriteDriver(Bytes(ATarget) + std::size_t{i} * info.DriverBytes, info.DriverBytes, info.bMsb, raw);
  }
  return true;
}

// ------------------------------------------------------------------------------ buffers

PALAudioBuffer ALASIOInputBuffer(TASIOSampleType AType, const void* AHalf, std::uint32_t ACount,
                                 std::uint32_t ARate) {
  const TTypeInfo info = Info(AType);
  if (info.Kind == TKind::None) return {};
  if (info.Kind == TKind::Copy) return TALAudioBuffer::CreateData(AHalf, ARate, info.BufferBits, 1, ACount);
  PALAudioBuffer buffer = TALAudioBuffer::CreateSize(ARate, info.BufferBits, 1, ACount);
  ALASIOConvertInput(AType, AHalf, buffer->GetWritePointer(), ACount);
  return buffer;
}

bool ALASIOOutputBuffer(TASIOSampleType AType, IALAudioBuffer* ABuffer, void* AHalf, std::uint32_t ACount) {
  const TTypeInfo info = Info(AType);
  if (info.Kind == TKind::None) return false;
  // Only a buffer of the exact shape is played; anything else would read past it.
  if (ABuffer && ABuffer->GetChannels() == 1 && ABuffer->GetSampleBitWidth() == info.BufferBits &&
      ABuffer->GetSize() >= ACount)
    return ALASIOConvertOutput(AType, ABuffer->GetReadPointer(), AHalf, ACount);
  return ALASIOSilence(AType, AHalf, ACount);
}

}  // namespace portwise

#include "core/ALSampleConvert.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>

#if defined(__SSE4_1__)
#include <smmintrin.h>
#elif defined(__SSSE3__)
#include <tmmintrin.h>
#endif

namespace portwise {

namespace {

constexpr std::int64_t KMax8Offset = 127;
constexpr std::int64_t KMax16 = 32767;
constexpr std::int64_t KMax24 = 8388607;
constexpr std::int64_t KMax32 = 2147483647;

constexpr std::int64_t MinOf(std::uint32_t bytes) {
  return bytes == 1 ? 0 : bytes == 2 ? -32768 : bytes == 3 ? -8388608 : -2147483647 - 1;
}
constexpr std::int64_t MaxOf(std::uint32_t bytes) {
  return bytes == 1 ? 255 : bytes == 2 ? KMax16 : bytes == 3 ? KMax24 : KMax32;
}

template <std::uint32_t Bytes>
inline std::int32_t Load(const std::uint8_t* p) {
  if constexpr (Bytes == 1) {
    return p[0];
  } else if constexpr (Bytes == 2) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
  } else if constexpr (Bytes == 3) {
    std::uint32_t u = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                      (static_cast<std::uint32_t>(p[2]) << 16);
    return static_cast<std::int32_t>(u << 8) >> 8;
  } else {
    std::uint32_t u = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                      (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    return static_cast<std::int32_t>(u);
  }
}

template <std::uint32_t Bytes>
inline void Store(std::uint8_t* p, std::int32_t value) {
  std::uint32_t u = static_cast<std::uint32_t>(value);
  p[0] = static_cast<std::uint8_t>(u);
  if constexpr (Bytes >= 2) p[1] = static_cast<std::uint8_t>(u >> 8);
  if constexpr (Bytes >= 3) p[2] = static_cast<std::uint8_t>(u >> 16);
  if constexpr (Bytes >= 4) p[3] = static_cast<std::uint8_t>(u >> 24);
}

template <std::uint32_t To>
constexpr std::int32_t Clamp(std::int64_t v) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, MinOf(To), MaxOf(To)));
}

// The kernels' per-sample rule, resolved at compile time for each pair of widths.
template <std::uint32_t From, std::uint32_t To>
constexpr std::int32_t Convert(std::int32_t x) {
  const std::int64_t v = x;
  if constexpr (From == To) {
    return x;
  } else if constexpr (From == 1 && To == 2) {
    return Clamp<2>(v * 257 - 32768);
  } else if constexpr (From == 1 && To == 3) {
    return Clamp<3>((v - KMax8Offset) * KMax24 / KMax8Offset);
  } else if constexpr (From == 1 && To == 4) {
    return Clamp<4>(v * 16843009 - 2147483648LL);
  } else if constexpr (To == 1 && From == 2) {
    return Clamp<1>((v + 32768 + 128) / 257);
  } else if constexpr (To == 1 && From == 3) {
    return Clamp<1>(v * KMax8Offset / KMax24 + KMax8Offset);
  } else if constexpr (To == 1 && From == 4) {
    return Clamp<1>((v + 2147483648LL + 8421504) / 16843009);
  } else {
    return Clamp<To>(v * MaxOf(To) / MaxOf(From));
  }
}

// 16-bit sources widen without 64-bit arithmetic (the same values as Convert, which the tests
// check over every 16-bit input): x * (2^31 - 1) / (2^15 - 1) = 65538 x + x / 32767 and
// x * (2^23 - 1) / (2^15 - 1) = 256 x + 255 x / 32767, truncated, then clamped.
inline std::int32_t Widen16To32(std::int32_t x) {
  if (x == -32768) return std::numeric_limits<std::int32_t>::min();
  const auto wide = static_cast<std::int32_t>(static_cast<std::uint32_t>(x) * 65538u);
  return wide + (x == 32767) - (x == -32767);
}
inline std::int32_t Widen16To24(std::int32_t x) {
  // t / 32767 = q0 + (q0 + t mod 32768) / 32767 with q0 = t >> 15 <= 255, so one carry at most.
  const std::int32_t a = x < 0 ? -x : x;
  const std::int32_t t = 255 * a;
  const std::int32_t q0 = t >> 15;
  const std::int32_t q = q0 + (((t & 32767) + q0) >= 32767);
  const std::int32_t r = x * 256 + (x < 0 ? -q : q);
  return r < -8388608 ? -8388608 : r;
}
// x * (2^15 - 1) / (2^23 - 1) truncated: with a = |x|, q0 = a >> 8 and the remainder a & 255 the
// quotient is q0 or q0 - 1, decided in 32 bits: q0 * 255 > (a & 255) * 32767 means q0 - 1.
inline std::int32_t Narrow24To16(std::int32_t x) {
  const std::int32_t a = x < 0 ? -x : x;
  const std::int32_t q0 = a >> 8;
  const std::int32_t q = q0 - (q0 * 255 > (a & 255) * 32767);
  return x < 0 ? -q : q;
}

template <std::uint32_t From, std::uint32_t To>
inline std::int32_t FastConvert(std::int32_t x) {
  if constexpr (From == 2 && To == 4) return Widen16To32(x);
  else if constexpr (From == 2 && To == 3) return Widen16To24(x);
  else if constexpr (From == 3 && To == 2) return Narrow24To16(x);
  else return Convert<From, To>(x);
}

// Whole samples through native integers where the host is little-endian, as the samples are.
template <std::uint32_t Bytes>
inline std::int32_t LoadFast(const std::uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little && Bytes == 2) {
    std::int16_t v;
    std::memcpy(&v, p, 2);
    return v;
  } else if constexpr (std::endian::native == std::endian::little && Bytes == 4) {
    std::int32_t v;
    std::memcpy(&v, p, 4);
    return v;
  } else {
    return Load<Bytes>(p);
  }
}

template <std::uint32_t Bytes>
inline void StoreFast(std::uint8_t* p, std::int32_t value) {
  if constexpr (std::endian::native == std::endian::little && Bytes == 2) {
    const auto v = static_cast<std::int16_t>(value);
    std::memcpy(p, &v, 2);
  } else if constexpr (std::endian::native == std::endian::little && Bytes == 4) {
    std::memcpy(p, &value, 4);
  } else {
    Store<Bytes>(p, value);
  }
}

#if defined(__SSSE3__)
// Four packed 24-bit samples (12 bytes; 16 must be readable) as sign-extended 32-bit lanes.
inline __m128i Load24x4(const std::uint8_t* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return _mm_srai_epi32(_mm_shuffle_epi8(v, _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11)), 8);
}
// Four 32-bit lanes as packed 24-bit samples: 12 bytes, plus 4 scratch bytes that the next
// group overwrites (16 must be writable).
inline void Store24x4(std::uint8_t* p, __m128i v) {
  v = _mm_shuffle_epi8(v, _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
#endif

#if defined(__SSSE3__)
// Widen16To24 on eight 16-bit lanes, as the two 32-bit halves of the results (four lanes each).
// y = 256 x + sign(x) q with q = 255 |x| / 32767 truncated, which for |x| <= 32767 is
// (|x| * 65282 >> 16) >> 7 (checked over every value by the tests); then y is split into its high
// 16 bits, x or x - 1 when the correction borrows, and its low byte. -32768 saturates to -2^23,
// the high half staying at -32768 and the low byte 0.
inline void Widen16To24x8(__m128i x, __m128i& lo4, __m128i& hi4) {
  const __m128i a = _mm_abs_epi16(x);
  const __m128i q = _mm_srli_epi16(_mm_mulhi_epu16(a, _mm_set1_epi16(static_cast<short>(65282 - 65536))), 7);
  const __m128i sq = _mm_sign_epi16(q, x);
  const __m128i high = _mm_adds_epi16(x, _mm_srai_epi16(sq, 15));
  const __m128i low = _mm_andnot_si128(_mm_cmpeq_epi16(x, _mm_set1_epi16(-32768)), _mm_and_si128(sq, _mm_set1_epi16(255)));
  lo4 = _mm_unpacklo_epi16(low, high);  // the low byte, a zero byte, then the high 16 bits
  hi4 = _mm_unpackhi_epi16(low, high);
}
// Four such lanes as packed 24-bit samples (bytes 0, 2 and 3 of each), with 4 scratch bytes as
// Store24x4.
inline void StoreSplit24x4(std::uint8_t* p, __m128i v) {
  v = _mm_shuffle_epi8(v, _mm_setr_epi8(0, 2, 3, 4, 6, 7, 8, 10, 11, 12, 14, 15, -1, -1, -1, -1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
#endif

#if defined(__SSE4_1__)
// Narrow24To16 on four lanes. |x| is first limited to 2^23 - 1, which gives the same quotient
// (32767) for -2^23 and keeps q0 within 15 bits; then each lane holds the 16-bit pair
// (|x| & 255, q0) and one multiply-add gives (|x| & 255) * 32767 - q0 * 255, negative exactly when
// the quotient is q0 - 1.
inline __m128i Narrow24To16x4(__m128i x) {
  const __m128i a = _mm_min_epu32(_mm_abs_epi32(x), _mm_set1_epi32(8388607));
  const __m128i pairs = _mm_shuffle_epi8(a, _mm_setr_epi8(0, -1, 1, 2, 4, -1, 5, 6, 8, -1, 9, 10, 12, -1, 13, 14));
  const __m128i below = _mm_srai_epi32(_mm_madd_epi16(pairs, _mm_setr_epi16(32767, -255, 32767, -255, 32767, -255, 32767, -255)), 31);
  return _mm_sign_epi32(_mm_add_epi32(_mm_srli_epi32(a, 8), below), x);
}
#endif

// Packed runs a block at a time through 32-bit lanes, so that loading, converting and storing
// each vectorise; 24-bit samples move four at a time. The last samples go one by one (a 24-bit
// group reads or writes 4 bytes beyond its 12).
template <std::uint32_t From, std::uint32_t To>
void CopyPacked(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t n) {
  constexpr std::uint32_t kBlock = 64;
  alignas(16) std::int32_t v[kBlock];
  std::uint32_t i = 0;
#if defined(__SSE4_1__) && defined(__SSSE3__)
  // The 16 <-> 24-bit pairs in registers, eight samples at a time.
  if constexpr (From == 2 && To == 3) {
    for (; i + 10 <= n; i += 8) {
      __m128i lo4, hi4;
      Widen16To24x8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + std::size_t{i} * 2)), lo4, hi4);
      StoreSplit24x4(dst + std::size_t{i} * 3, lo4);
      StoreSplit24x4(dst + std::size_t{i} * 3 + 12, hi4);
    }
  } else if constexpr (From == 3 && To == 2) {
    for (; i + 10 <= n; i += 8) {
      const __m128i lo = Narrow24To16x4(Load24x4(src + std::size_t{i} * 3));
      const __m128i hi = Narrow24To16x4(Load24x4(src + std::size_t{i} * 3 + 12));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + std::size_t{i} * 2), _mm_packs_epi32(lo, hi));
    }
  }
#endif
  for (; i + kBlock + 2 <= n; i += kBlock) {
    const std::uint8_t* s = src + std::size_t{i} * From;
    std::uint8_t* d = dst + std::size_t{i} * To;
#if defined(__SSSE3__)
    if constexpr (From == 3) {
      for (std::uint32_t j = 0; j < kBlock; j += 4)
        _mm_store_si128(reinterpret_cast<__m128i*>(v + j), Load24x4(s + std::size_t{j} * 3));
    } else
#endif
    {
      for (std::uint32_t j = 0; j < kBlock; ++j) v[j] = LoadFast<From>(s + std::size_t{j} * From);
    }
    for (std::uint32_t j = 0; j < kBlock; ++j) v[j] = FastConvert<From, To>(v[j]);
#if defined(__SSSE3__)
    if constexpr (To == 3) {
      for (std::uint32_t j = 0; j < kBlock; j += 4)
        Store24x4(d + std::size_t{j} * 3, _mm_load_si128(reinterpret_cast<const __m128i*>(v + j)));
    } else
#endif
    {
      for (std::uint32_t j = 0; j < kBlock; ++j) StoreFast<To>(d + std::size_t{j} * To, v[j]);
    }
  }
  for (; i < n; ++i) StoreFast<To>(dst + std::size_t{i} * To, FastConvert<From, To>(LoadFast<From>(src + std::size_t{i} * From)));
}

// Sample by sample in order: what the contract means when the two areas overlap.
template <std::uint32_t From, std::uint32_t To>
void CopyOrdered(const std::uint8_t* src, std::uint32_t srcStride, std::uint8_t* dst, std::uint32_t dstStride,
                 std::uint32_t n) {
  for (std::uint32_t i = 0; i < n; ++i, src += srcStride, dst += dstStride) {
    if constexpr (From == To) {
      std::memmove(dst, src, From);
    } else {
      Store<To>(dst, Convert<From, To>(Load<From>(src)));
    }
  }
}

template <std::uint32_t From, std::uint32_t To>
void CopyKernel(const std::uint8_t* src, std::uint32_t srcStride, std::uint8_t* dst, std::uint32_t dstStride,
                std::uint32_t n) {
  if (n == 0) return;
  const auto s0 = reinterpret_cast<std::uintptr_t>(src), d0 = reinterpret_cast<std::uintptr_t>(dst);
  const std::uintptr_t s1 = s0 + std::uintptr_t{n - 1} * srcStride + From;
  const std::uintptr_t d1 = d0 + std::uintptr_t{n - 1} * dstStride + To;
  if (s0 < d1 && d0 < s1) {
    CopyOrdered<From, To>(src, srcStride, dst, dstStride, n);
    return;
  }
  if (srcStride == From && dstStride == To) {
    if constexpr (From == To) {
      std::memcpy(dst, src, std::size_t{n} * From);
    } else {
      CopyPacked<From, To>(src, dst, n);
    }
    return;
  }
  if constexpr (From == To && From == 2) {
    if (srcStride == 4 && dstStride == 2 && std::endian::native == std::endian::little) {
      // One channel out of 16-bit stereo frames: the low half of each 32-bit frame.
      for (std::uint32_t i = 0; i < n; ++i) {
        std::uint32_t frame;
        std::memcpy(&frame, src + std::size_t{i} * 4, 4);
        const auto sample = static_cast<std::uint16_t>(frame);
        std::memcpy(dst + std::size_t{i} * 2, &sample, 2);
      }
      return;
    }
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint8_t* s = src + std::size_t{i} * srcStride;
    std::uint8_t* d = dst + std::size_t{i} * dstStride;
    if constexpr (From == To) StoreFast<To>(d, LoadFast<From>(s));
    else StoreFast<To>(d, FastConvert<From, To>(LoadFast<From>(s)));
  }
}

using TCopyKernel = void (*)(const std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t, std::uint32_t);
using TConvertFn = std::int32_t (*)(std::int32_t);

template <std::uint32_t From>
constexpr TCopyKernel KernelsFrom[4] = {CopyKernel<From, 1>, CopyKernel<From, 2>, CopyKernel<From, 3>,
                                        CopyKernel<From, 4>};
constexpr const TCopyKernel* KKernels[4] = {KernelsFrom<1>, KernelsFrom<2>, KernelsFrom<3>, KernelsFrom<4>};

template <std::uint32_t From>
constexpr TConvertFn ConvertsFrom[4] = {Convert<From, 1>, Convert<From, 2>, Convert<From, 3>, Convert<From, 4>};
constexpr const TConvertFn* KConverts[4] = {ConvertsFrom<1>, ConvertsFrom<2>, ConvertsFrom<3>, ConvertsFrom<4>};

bool ValidWidth(std::uint32_t bytes) { return bytes >= 1 && bytes <= 4; }

}  // namespace

std::int32_t ALLoadSample(const std::uint8_t* p, std::uint32_t bytes) {
  switch (bytes) {
    case 1: return Load<1>(p);
    case 2: return Load<2>(p);
    case 3: return Load<3>(p);
    case 4: return Load<4>(p);
    default: return 0;
  }
}

void ALStoreSample(std::uint8_t* p, std::uint32_t bytes, std::int32_t value) {
  switch (bytes) {
    case 1: Store<1>(p, value); break;
    case 2: Store<2>(p, value); break;
    case 3: Store<3>(p, value); break;
    case 4: Store<4>(p, value); break;
    default: break;
  }
}

std::int32_t ALConvertSample(std::int32_t x, std::uint32_t fromBytes, std::uint32_t toBytes) {
  if (!ValidWidth(fromBytes) || !ValidWidth(toBytes)) return 0;
  return KConverts[fromBytes - 1][toBytes - 1](x);
}

void ALCopyChannel(const std::uint8_t* src, std::uint32_t srcStride, std::uint32_t srcBytes, std::uint8_t* dst,
                   std::uint32_t dstStride, std::uint32_t dstBytes, std::uint32_t n) {
  if (srcBytes == dstBytes && !ValidWidth(srcBytes)) {
    // Containers wider than 32 bits only travel unchanged.
    for (std::uint32_t i = 0; i < n; ++i, src += srcStride, dst += dstStride) std::memmove(dst, src, srcBytes);
    return;
  }
  if (!ValidWidth(srcBytes) || !ValidWidth(dstBytes)) return;
  KKernels[srcBytes - 1][dstBytes - 1](src, srcStride, dst, dstStride, n);
}

void ALSpreadChannels16(const std::int16_t* src, std::uint32_t n, std::uint8_t* dst, std::uint32_t step,
                        std::uint32_t channels, std::uint32_t bytes) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(src);
  const auto s0 = reinterpret_cast<std::uintptr_t>(s), d0 = reinterpret_cast<std::uintptr_t>(dst);
  const bool apart = n == 0 || s0 + std::uintptr_t{n} * 2 <= d0 || d0 + std::uintptr_t{n} * step <= s0;
  if (std::endian::native == std::endian::little && apart && bytes == 2 && channels == 2 && step == 4) {
    // Packed 16-bit stereo: both samples of a frame in one store.
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint32_t v = static_cast<std::uint16_t>(src[i]) * 0x10001u;
      std::memcpy(dst + std::size_t{i} * 4, &v, 4);
    }
    return;
  }
  for (std::uint32_t c = 0; c < channels; ++c)
    ALCopyChannel(s, 2, 2, dst + std::size_t{c} * bytes, step, bytes, n);
}

void ALZeroChannel(std::uint8_t* dst, std::uint32_t stride, std::uint32_t bytes, std::uint32_t n) {
  for (std::uint32_t i = 0; i < n; ++i, dst += stride) std::memset(dst, 0, bytes);
}

// ------------------------------------------------------------------ reference versions
// Written straight from the rules, one sample at a time, no tables or templates.

std::int32_t ALReferenceConvertSample(std::int32_t x, std::uint32_t fromBytes, std::uint32_t toBytes) {
  if (!ValidWidth(fromBytes) || !ValidWidth(toBytes)) return 0;
  if (fromBytes == toBytes) return x;
  const std::int64_t v = x;
  std::int64_t r = 0;
  const std::uint32_t from = fromBytes * 8, to = toBytes * 8;
  if (from == 8) {
    // u / 255 of the target's range, or the offset-127 rule for 24 bits.
    if (to == 24) {
      r = (v - 127) * 8388607 / 127;
    } else {
      const std::int64_t span = MaxOf(toBytes) - MinOf(toBytes);  // 255 * k exactly
      r = MinOf(toBytes) + v * (span / 255);
    }
  } else if (to == 8) {
    if (from == 24) {
      r = v * 127 / 8388607 + 127;
    } else {
      const std::int64_t step = (MaxOf(fromBytes) - MinOf(fromBytes)) / 255;
      r = (v - MinOf(fromBytes) + step / 2) / step;
    }
  } else {
    r = v * MaxOf(toBytes) / MaxOf(fromBytes);
  }
  if (r < MinOf(toBytes)) r = MinOf(toBytes);
  if (r > MaxOf(toBytes)) r = MaxOf(toBytes);
  return static_cast<std::int32_t>(r);
}

namespace {

std::int32_t ReferenceLoad(const std::uint8_t* p, std::uint32_t bytes) {
  std::int64_t v = 0;
  for (std::uint32_t b = 0; b < bytes; ++b) v |= static_cast<std::int64_t>(p[b]) << (8 * b);
  // Signed widths: values at or above half the range are negative.
  if (bytes > 1 && v >= (std::int64_t{1} << (8 * bytes - 1))) v -= std::int64_t{1} << (8 * bytes);
  return static_cast<std::int32_t>(v);
}

void ReferenceStore(std::uint8_t* p, std::uint32_t bytes, std::int32_t value) {
  std::uint32_t u = static_cast<std::uint32_t>(value);
  for (std::uint32_t b = 0; b < bytes; ++b) p[b] = static_cast<std::uint8_t>(u >> (8 * b));
}

}  // namespace

void ALReferenceCopyChannel(const std::uint8_t* src, std::uint32_t srcStride, std::uint32_t srcBytes,
                            std::uint8_t* dst, std::uint32_t dstStride, std::uint32_t dstBytes,
                            std::uint32_t n) {
  for (std::uint32_t i = 0; i < n; ++i) {
    std::int32_t x = ReferenceLoad(src + static_cast<std::size_t>(i) * srcStride, srcBytes);
    ReferenceStore(dst + static_cast<std::size_t>(i) * dstStride, dstBytes,
                   ALReferenceConvertSample(x, srcBytes, dstBytes));
  }
}

}  // namespace portwise

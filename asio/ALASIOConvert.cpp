#include "asio/ALASIOConvert.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

// 64-bit x86 builds also carry AVX2 versions of the kernels, chosen at run time on processors that
// have it: the baseline stays x86-64-v2.
#if defined(__x86_64__) && defined(__GNUC__)
#define PW_WIDE_KERNELS 1
#define PW_AVX2 __attribute__((target("avx2")))
#else
#define PW_WIDE_KERNELS 0
#endif

namespace portwise {

static_assert(std::endian::native == std::endian::little, "the buffers hold little-endian samples");

namespace {

constexpr std::int32_t KMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t KMax32 = std::numeric_limits<std::int32_t>::max();
constexpr float KScale32f = 2147483648.0f;
constexpr double KScale64f = 2147483647.0;

using TKernel = void (*)(const std::uint8_t*, std::uint8_t*, std::uint32_t);

// The kernels of one instruction set level, by what they do. "Swapped" ones read or write the
// driver's side big-endian.
enum TSlot : std::uint8_t {
  KSwap16,
  KSwap24,
  KSwap32,
  KSwap64,
  KF32In,
  KF32InSwapped,
  KF64In,
  KF64InSwapped,
  KF32Out,
  KF32OutSwapped,
  KF64Out,
  KF64OutSwapped,
  KSlots
};

enum class TKind : std::uint8_t { None, Copy, Convert };

struct TTypeInfo {
  TKind Kind;
  std::uint8_t DriverBytes;
  std::uint8_t BufferBits;
  TSlot In, Out;
};

// Indexed by the type code; codes past the end have no conversion.
constexpr TTypeInfo KNone{TKind::None, 0, 0, KSlots, KSlots};
constexpr TTypeInfo KTypes[] = {
    /* 0 Int16MSB */ {TKind::Convert, 2, 16, KSwap16, KSwap16},
    /* 1 Int24MSB */ {TKind::Convert, 3, 24, KSwap24, KSwap24},
    /* 2 Int32MSB */ {TKind::Convert, 4, 32, KSwap32, KSwap32},
    /* 3 Float32MSB */ {TKind::Convert, 4, 32, KF32InSwapped, KF32OutSwapped},
    /* 4 Float64MSB */ {TKind::Convert, 8, 32, KF64InSwapped, KF64OutSwapped},
    KNone, KNone, KNone,
    /* 8 Int32MSB16 */ {TKind::Convert, 4, 32, KSwap32, KSwap32},
    /* 9 Int32MSB18 */ {TKind::Convert, 4, 32, KSwap32, KSwap32},
    /* 10 Int32MSB20 */ {TKind::Convert, 4, 32, KSwap32, KSwap32},
    /* 11 Int32MSB24 */ {TKind::Convert, 4, 32, KSwap32, KSwap32},
    KNone, KNone, KNone, KNone,
    /* 16 Int16LSB */ {TKind::Copy, 2, 16, KSlots, KSlots},
    /* 17 Int24LSB */ {TKind::Copy, 3, 24, KSlots, KSlots},
    /* 18 Int32LSB */ {TKind::Copy, 4, 32, KSlots, KSlots},
    /* 19 Float32LSB */ {TKind::Convert, 4, 32, KF32In, KF32Out},
    /* 20 Float64LSB */ {TKind::Convert, 8, 32, KF64In, KF64Out},
    KNone, KNone, KNone,
    /* 24 Int32LSB16 */ {TKind::Copy, 4, 32, KSlots, KSlots},
    /* 25 Int32LSB18 */ {TKind::Copy, 4, 32, KSlots, KSlots},
    /* 26 Int32LSB20 */ {TKind::Copy, 4, 32, KSlots, KSlots},
    /* 27 Int32LSB24 */ {TKind::Copy, 4, 32, KSlots, KSlots},
};

inline const TTypeInfo& Info(TASIOSampleType AType) {
  const auto code = static_cast<std::uint64_t>(static_cast<std::int64_t>(AType));
  return code < std::size(KTypes) ? KTypes[code] : KNone;
}

template <class T>
inline T LoadAt(const std::uint8_t* p, std::size_t i) {
  T v;
  std::memcpy(&v, p + i * sizeof(T), sizeof(T));
  return v;
}

template <class T>
inline void StoreAt(std::uint8_t* p, std::size_t i, T v) {
  std::memcpy(p + i * sizeof(T), &v, sizeof(T));
}

inline std::uint16_t Reverse(std::uint16_t v) { return __builtin_bswap16(v); }
inline std::uint32_t Reverse(std::uint32_t v) { return __builtin_bswap32(v); }
inline std::uint64_t Reverse(std::uint64_t v) { return __builtin_bswap64(v); }

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

// One sample of each kernel, for the tails.
template <TSlot S>
inline void One(const std::uint8_t* src, std::uint8_t* dst, std::size_t i) {
  constexpr bool swapped = S == KF32InSwapped || S == KF64InSwapped || S == KF32OutSwapped || S == KF64OutSwapped;
  auto order = [](auto v) { return swapped ? Reverse(v) : v; };
  if constexpr (S == KSwap16) StoreAt(dst, i, Reverse(LoadAt<std::uint16_t>(src, i)));
  else if constexpr (S == KSwap32) StoreAt(dst, i, Reverse(LoadAt<std::uint32_t>(src, i)));
  else if constexpr (S == KSwap64) StoreAt(dst, i, Reverse(LoadAt<std::uint64_t>(src, i)));
  else if constexpr (S == KF32In || S == KF32InSwapped)
    StoreAt(dst, i, Float32ToInt32One(std::bit_cast<float>(order(LoadAt<std::uint32_t>(src, i)))));
  else if constexpr (S == KF64In || S == KF64InSwapped)
    StoreAt(dst, i, Float64ToInt32One(std::bit_cast<double>(order(LoadAt<std::uint64_t>(src, i)))));
  else if constexpr (S == KF32Out || S == KF32OutSwapped)
    StoreAt(dst, i, order(std::bit_cast<std::uint32_t>(static_cast<float>(LoadAt<std::int32_t>(src, i)) * (1.0f / KScale32f))));
  else if constexpr (S == KF64Out || S == KF64OutSwapped)
    StoreAt(dst, i, order(std::bit_cast<std::uint64_t>(static_cast<double>(LoadAt<std::int32_t>(src, i)) / KScale64f)));
}

template <TSlot S>
void Scalar(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t n) {
  for (std::size_t i = 0; i < n; ++i) One<S>(src, dst, i);
}

// Bytes per sample each kernel reads and writes.
template <TSlot S>
constexpr std::size_t KInBytes = S == KSwap16 ? 2 : (S == KSwap64 || S == KF64In || S == KF64InSwapped) ? 8 : 4;
template <TSlot S>
constexpr std::size_t KOutBytes = S == KSwap16 ? 2 : (S == KSwap64 || S == KF64Out || S == KF64OutSwapped) ? 8 : 4;

#if defined(__SSE2__)
// ------------------------------------------------------------------------------ 128-bit kernels

inline __m128i Load128(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void Store128(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// The bytes of every W-byte sample reversed.
template <int W>
inline __m128i Reverse128(__m128i v) {
#if defined(__SSSE3__)
  if constexpr (W == 2) return _mm_shuffle_epi8(v, _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
  else if constexpr (W == 4) return _mm_shuffle_epi8(v, _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12));
  else return _mm_shuffle_epi8(v, _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8));
#else
  v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
  if constexpr (W == 4) v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
  if constexpr (W == 8) v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(0, 1, 2, 3)), _MM_SHUFFLE(0, 1, 2, 3));
  return v;
#endif
}

// The conversion instruction answers 0x80000000 for anything out of range and for NaN: that is
// already right below the range; above it, flipping every bit gives 0x7FFFFFFF; NaN is masked.
inline __m128i F32ToI32x4(__m128i bits) {
  const __m128 scale = _mm_set1_ps(KScale32f);
  const __m128 v = _mm_mul_ps(_mm_castsi128_ps(bits), scale);
  __m128i r = _mm_cvtps_epi32(v);
  r = _mm_xor_si128(r, _mm_castps_si128(_mm_cmpge_ps(v, scale)));
  return _mm_and_si128(r, _mm_castps_si128(_mm_cmpord_ps(v, v)));
}

// Two doubles to two int32 in the low lanes. Clamping to the int32 range before rounding gives
// the saturated results (every value beyond rounds to the limit anyway); NaN is zeroed first.
inline __m128i F64ToI32x2(__m128i bits) {
  __m128d v = _mm_mul_pd(_mm_castsi128_pd(bits), _mm_set1_pd(KScale64f));
  v = _mm_and_pd(v, _mm_cmpord_pd(v, v));
  v = _mm_max_pd(_mm_min_pd(v, _mm_set1_pd(2147483647.0)), _mm_set1_pd(-2147483648.0));
  return _mm_cvtpd_epi32(v);
}

// One 16-byte step of the input, or of the output side, of each kernel.
template <TSlot S>
inline void Step128(const std::uint8_t* src, std::uint8_t* dst) {
  if constexpr (S == KSwap16) Store128(dst, Reverse128<2>(Load128(src)));
  else if constexpr (S == KSwap32) Store128(dst, Reverse128<4>(Load128(src)));
  else if constexpr (S == KSwap64) Store128(dst, Reverse128<8>(Load128(src)));
  else if constexpr (S == KF32In) Store128(dst, F32ToI32x4(Load128(src)));
  else if constexpr (S == KF32InSwapped) Store128(dst, F32ToI32x4(Reverse128<4>(Load128(src))));
  else if constexpr (S == KF64In || S == KF64InSwapped) {
    __m128i a = Load128(src), b = Load128(src + 16);
    if constexpr (S == KF64InSwapped) a = Reverse128<8>(a), b = Reverse128<8>(b);
    Store128(dst, _mm_unpacklo_epi64(F64ToI32x2(a), F64ToI32x2(b)));
  } else if constexpr (S == KF32Out || S == KF32OutSwapped) {
    // Dividing by a power of two is exact: a multiply.
    const __m128 f = _mm_mul_ps(_mm_cvtepi32_ps(Load128(src)), _mm_set1_ps(1.0f / KScale32f));
    const __m128i r = _mm_castps_si128(f);
    Store128(dst, S == KF32OutSwapped ? Reverse128<4>(r) : r);
  } else if constexpr (S == KF64Out || S == KF64OutSwapped) {
    // A true division: the reciprocal of 2147483647 is not exact.
    const __m128i x = Load128(src);
    const __m128d scale = _mm_set1_pd(KScale64f);
    __m128i a = _mm_castpd_si128(_mm_div_pd(_mm_cvtepi32_pd(x), scale));
    __m128i b = _mm_castpd_si128(_mm_div_pd(_mm_cvtepi32_pd(_mm_srli_si128(x, 8)), scale));
    if constexpr (S == KF64OutSwapped) a = Reverse128<8>(a), b = Reverse128<8>(b);
    Store128(dst, a);
    Store128(dst + 16, b);
  }
}

// Samples per step: 16 bytes of the narrower side.
template <TSlot S>
constexpr std::size_t KPerStep128 = 16 / (KInBytes<S> < KOutBytes<S> ? KInBytes<S> : KOutBytes<S>);

// Steps in pairs, then single steps, then samples. A step reads all it needs before it writes,
// and writes only what it read: in place works when both sides have the same width.
template <TSlot S>
void Base(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t n) {
  constexpr std::size_t k = KPerStep128<S>, in = k * KInBytes<S>, out = k * KOutBytes<S>;
  std::size_t i = 0;
  for (; i + 2 * k <= n; i += 2 * k) {
    Step128<S>(src + i * KInBytes<S>, dst + i * KOutBytes<S>);
    Step128<S>(src + i * KInBytes<S> + in, dst + i * KOutBytes<S> + out);
  }
  if (i + k <= n) {
    Step128<S>(src + i * KInBytes<S>, dst + i * KOutBytes<S>);
    i += k;
  }
  for (; i < n; ++i) One<S>(src, dst, i);
}

#else
template <TSlot S>
void Base(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t n) {
  Scalar<S>(src, dst, n);
}
#endif

void Swap24(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t ACount) {
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

struct TKernels {
  TKernel K[KSlots];
};

constexpr TKernels KBaseKernels = {{Base<KSwap16>, Swap24, Base<KSwap32>, Base<KSwap64>, Base<KF32In>,
                                    Base<KF32InSwapped>, Base<KF64In>, Base<KF64InSwapped>, Base<KF32Out>,
                                    Base<KF32OutSwapped>, Base<KF64Out>, Base<KF64OutSwapped>}};

#if PW_WIDE_KERNELS
// ------------------------------------------------------------------------------ 256-bit kernels

PW_AVX2 inline __m256i Load256(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
PW_AVX2 inline void Store256(std::uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

template <int W>
PW_AVX2 inline __m256i Reverse256(__m256i v) {
  if constexpr (W == 2)
    return _mm256_shuffle_epi8(v, _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1, 0, 3, 2, 5,
                                                   4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
  else if constexpr (W == 4)
    return _mm256_shuffle_epi8(v, _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0, 7,
                                                   6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12));
  else
    return _mm256_shuffle_epi8(v, _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3,
                                                   2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8));
}

PW_AVX2 inline __m256i F32ToI32x8(__m256i bits) {
  const __m256 scale = _mm256_set1_ps(KScale32f);
  const __m256 v = _mm256_mul_ps(_mm256_castsi256_ps(bits), scale);
  __m256i r = _mm256_cvtps_epi32(v);
  r = _mm256_xor_si256(r, _mm256_castps_si256(_mm256_cmp_ps(v, scale, _CMP_GE_OQ)));
  return _mm256_and_si256(r, _mm256_castps_si256(_mm256_cmp_ps(v, v, _CMP_ORD_Q)));
}

PW_AVX2 inline __m128i F64ToI32x4(__m256i bits) {
  __m256d v = _mm256_mul_pd(_mm256_castsi256_pd(bits), _mm256_set1_pd(KScale64f));
  v = _mm256_and_pd(v, _mm256_cmp_pd(v, v, _CMP_ORD_Q));
  v = _mm256_max_pd(_mm256_min_pd(v, _mm256_set1_pd(2147483647.0)), _mm256_set1_pd(-2147483648.0));
  return _mm256_cvtpd_epi32(v);
}

template <TSlot S>
PW_AVX2 inline void Step256(const std::uint8_t* src, std::uint8_t* dst) {
  if constexpr (S == KSwap16) Store256(dst, Reverse256<2>(Load256(src)));
  else if constexpr (S == KSwap32) Store256(dst, Reverse256<4>(Load256(src)));
  else if constexpr (S == KSwap64) Store256(dst, Reverse256<8>(Load256(src)));
  else if constexpr (S == KF32In) Store256(dst, F32ToI32x8(Load256(src)));
  else if constexpr (S == KF32InSwapped) Store256(dst, F32ToI32x8(Reverse256<4>(Load256(src))));
  else if constexpr (S == KF64In || S == KF64InSwapped) {
    __m256i a = Load256(src), b = Load256(src + 32);
    if constexpr (S == KF64InSwapped) a = Reverse256<8>(a), b = Reverse256<8>(b);
    Store256(dst, _mm256_set_m128i(F64ToI32x4(b), F64ToI32x4(a)));
  } else if constexpr (S == KF32Out || S == KF32OutSwapped) {
    const __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(Load256(src)), _mm256_set1_ps(1.0f / KScale32f));
    const __m256i r = _mm256_castps_si256(f);
    Store256(dst, S == KF32OutSwapped ? Reverse256<4>(r) : r);
  } else if constexpr (S == KF64Out || S == KF64OutSwapped) {
    const __m256i x = Load256(src);
    const __m256d scale = _mm256_set1_pd(KScale64f);
    __m256i a = _mm256_castpd_si256(_mm256_div_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(x)), scale));
    __m256i b = _mm256_castpd_si256(_mm256_div_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(x, 1)), scale));
    if constexpr (S == KF64OutSwapped) a = Reverse256<8>(a), b = Reverse256<8>(b);
    Store256(dst, a);
    Store256(dst + 32, b);
  }
}

template <TSlot S>
constexpr std::size_t KPerStep256 = 2 * KPerStep128<S>;

// As Base, 32 bytes of the narrower side per step; what is left goes through Base.
template <TSlot S>
PW_AVX2 void Wide(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t n) {
  constexpr std::size_t k = KPerStep256<S>, in = k * KInBytes<S>, out = k * KOutBytes<S>;
  std::size_t i = 0;
  for (; i + 2 * k <= n; i += 2 * k) {
    Step256<S>(src + i * KInBytes<S>, dst + i * KOutBytes<S>);
    Step256<S>(src + i * KInBytes<S> + in, dst + i * KOutBytes<S> + out);
  }
  if (i + k <= n) {
    Step256<S>(src + i * KInBytes<S>, dst + i * KOutBytes<S>);
    i += k;
  }
  if (i < n) Base<S>(src + i * KInBytes<S>, dst + i * KOutBytes<S>, static_cast<std::uint32_t>(n - i));
}

// Eight 24-bit samples (24 bytes) per step: the two groups of four go to a 128-bit lane each,
// are reversed there and gathered back. The 32-byte store puts bytes 24..31 back as they were
// read: in place they are still unread, out of place the next step writes them.
PW_AVX2 void Swap24Wide(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t n) {
  const __m256i spread = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
  const __m256i order = _mm256_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 12, 13, 14, 15, 2, 1, 0, 5, 4, 3, 8, 7,
                                         6, 11, 10, 9, 12, 13, 14, 15);
  const __m256i gather = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 6, 7);
  std::size_t i = 0;
  for (; i + 11 <= n; i += 8) {
    const __m256i v = Load256(src + 3 * i);
    const __m256i r = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(v, spread), order);
    Store256(dst + 3 * i, _mm256_blend_epi32(_mm256_permutevar8x32_epi32(r, gather), v, 0xC0));
  }
  if (i < n) Swap24(src + 3 * i, dst + 3 * i, static_cast<std::uint32_t>(n - i));
}

constexpr TKernels KWideKernels = {{Wide<KSwap16>, Swap24Wide, Wide<KSwap32>, Wide<KSwap64>, Wide<KF32In>,
                                    Wide<KF32InSwapped>, Wide<KF64In>, Wide<KF64InSwapped>, Wide<KF32Out>,
                                    Wide<KF32OutSwapped>, Wide<KF64Out>, Wide<KF64OutSwapped>}};

bool HasWideKernels() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#else
constexpr TKernels KWideKernels = KBaseKernels;
bool HasWideKernels() { return false; }
#endif

// The baseline until the processor has been asked (a conversion made during start-up is still
// right, only slower).
std::atomic<const TKernels*> GKernels{&KBaseKernels};
const bool GWideSelected = [] {
  const bool wide = HasWideKernels();
  if (wide) GKernels.store(&KWideKernels, std::memory_order_relaxed);
  return wide;
}();

inline const TKernels& Kernels() { return *GKernels.load(std::memory_order_relaxed); }

inline void Run(TSlot ASlot, const void* ASource, void* ATarget, std::uint32_t ACount) {
  Kernels().K[ASlot](static_cast<const std::uint8_t*>(ASource), static_cast<std::uint8_t*>(ATarget), ACount);
}

const std::uint8_t* Bytes(const void* p) { return static_cast<const std::uint8_t*>(p); }
std::uint8_t* Bytes(void* p) { return static_cast<std::uint8_t*>(p); }

// A half-buffer of a few hundred bytes is copied or byte-reversed here (W = 1 copies): for it, the
// call into the library's copy or through the kernel table costs about as much as the work. The
// areas are apart, so the last 32 bytes may be done again, overlapping.
template <int W>
inline bool SmallHalf(const void* ASource, void* ATarget, std::size_t ABytes) {
#if defined(__SSE2__) && (defined(__SSSE3__) || W == 1)
  if (ABytes < 32 || ABytes > 512) return false;
  const std::uint8_t* src = Bytes(ASource);
  std::uint8_t* dst = Bytes(ATarget);
  auto order = [](__m128i v) {
    if constexpr (W == 1) return v;
    else return Reverse128<W>(v);
  };
  for (std::size_t i = 0; i + 32 < ABytes; i += 32) {
    const __m128i a = Load128(src + i), b = Load128(src + i + 16);
    Store128(dst + i, order(a));
    Store128(dst + i + 16, order(b));
  }
  const __m128i a = Load128(src + ABytes - 32), b = Load128(src + ABytes - 16);
  Store128(dst + ABytes - 32, order(a));
  Store128(dst + ABytes - 16, order(b));
  return true;
#else
  (void)ASource, (void)ATarget, (void)ABytes;
  return false;
#endif
}

inline void CopyBytes(const void* ASource, void* ATarget, std::size_t ABytes) {
  if (!SmallHalf<1>(ASource, ATarget, ABytes)) std::memcpy(ATarget, ASource, ABytes);
}

inline void RunHalf(TSlot ASlot, const void* ASource, void* ATarget, std::uint32_t ACount) {
  if (ASlot == KSwap16 && SmallHalf<2>(ASource, ATarget, std::size_t{ACount} * 2)) return;
  if (ASlot == KSwap32 && SmallHalf<4>(ASource, ATarget, std::size_t{ACount} * 4)) return;
  Run(ASlot, ASource, ATarget, ACount);
}

}  // namespace

bool ALASIOUseWideKernels(bool AWide) {
  const bool wide = AWide && HasWideKernels();
  GKernels.store(wide ? &KWideKernels : &KBaseKernels, std::memory_order_relaxed);
  return wide;
}

// ------------------------------------------------------------------------------ type table

std::uint32_t ALASIOBufferBits(TASIOSampleType AType) { return Info(AType).BufferBits; }

std::uint32_t ALASIOStreamBits(TASIOSampleType AType) {
  const std::uint32_t bits = Info(AType).BufferBits;
  return bits ? bits : 8;
}

std::uint32_t ALASIODriverSampleBytes(TASIOSampleType AType) { return Info(AType).DriverBytes; }

// ------------------------------------------------------------------------------ block kernels

void ALSwapBytes16(const void* ASource, void* ATarget, std::uint32_t ACount) { Run(KSwap16, ASource, ATarget, ACount); }
void ALSwapBytes24(const void* ASource, void* ATarget, std::uint32_t ACount) { Run(KSwap24, ASource, ATarget, ACount); }
void ALSwapBytes32(const void* ASource, void* ATarget, std::uint32_t ACount) { Run(KSwap32, ASource, ATarget, ACount); }
void ALSwapBytes64(const void* ASource, void* ATarget, std::uint32_t ACount) { Run(KSwap64, ASource, ATarget, ACount); }
void ALFloat32ToInt32(const void* ASource, void* ATarget, std::uint32_t ACount) { Run(KF32In, ASource, ATarget, ACount); }
void ALFloat64ToInt32(const void* ASource, void* ATarget, std::uint32_t ACount) { Run(KF64In, ASource, ATarget, ACount); }
void ALInt32ToFloat32(const void* ASource, void* ATarget, std::uint32_t ACount) { Run(KF32Out, ASource, ATarget, ACount); }
void ALInt32ToFloat64(const void* ASource, void* ATarget, std::uint32_t ACount) { Run(KF64Out, ASource, ATarget, ACount); }

// ------------------------------------------------------------------------------ conversions

bool ALASIOConvertInput(TASIOSampleType AType, const void* ASource, void* ATarget, std::uint32_t ACount) {
  const TTypeInfo& info = Info(AType);
  if (info.Kind == TKind::Copy) CopyBytes(ASource, ATarget, std::size_t{ACount} * info.DriverBytes);
  else if (info.Kind == TKind::Convert) RunHalf(info.In, ASource, ATarget, ACount);
  return info.Kind != TKind::None;
}

bool ALASIOConvertOutput(TASIOSampleType AType, const void* ASource, void* ATarget, std::uint32_t ACount) {
  const TTypeInfo& info = Info(AType);
  if (info.Kind == TKind::Copy) CopyBytes(ASource, ATarget, std::size_t{ACount} * info.DriverBytes);
  else if (info.Kind == TKind::Convert) RunHalf(info.Out, ASource, ATarget, ACount);
  return info.Kind != TKind::None;
}

bool ALASIOSilence(TASIOSampleType AType, void* ATarget, std::uint32_t ACount) {
  const TTypeInfo& info = Info(AType);
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

enum class TRule { Integer, Float32, Float64 };

struct TReferenceInfo {
  bool bConverted;
  TRule Rule;
  std::uint32_t DriverBytes, BufferBits;
  bool bMsb;
};

// The type codes one by one, as the conversion rules name them.
TReferenceInfo ReferenceInfo(TASIOSampleType AType) {
  switch (AType) {
    case ASIOSTInt16LSB: return {true, TRule::Integer, 2, 16, false};
    case ASIOSTInt24LSB: return {true, TRule::Integer, 3, 24, false};
    case ASIOSTInt32LSB:
    case ASIOSTInt32LSB16:
    case ASIOSTInt32LSB18:
    case ASIOSTInt32LSB20:
    case ASIOSTInt32LSB24: return {true, TRule::Integer, 4, 32, false};
    case ASIOSTInt16MSB: return {true, TRule::Integer, 2, 16, true};
    case ASIOSTInt24MSB: return {true, TRule::Integer, 3, 24, true};
    case ASIOSTInt32MSB:
    case ASIOSTInt32MSB16:
    case ASIOSTInt32MSB18:
    case ASIOSTInt32MSB20:
    case ASIOSTInt32MSB24: return {true, TRule::Integer, 4, 32, true};
    case ASIOSTFloat32LSB: return {true, TRule::Float32, 4, 32, false};
    case ASIOSTFloat32MSB: return {true, TRule::Float32, 4, 32, true};
    case ASIOSTFloat64LSB: return {true, TRule::Float64, 8, 32, false};
    case ASIOSTFloat64MSB: return {true, TRule::Float64, 8, 32, true};
    default: return {false, TRule::Integer, 0, 0, false};
  }
}

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
  const TReferenceInfo info = ReferenceInfo(AType);
  if (!info.bConverted) return false;
  const std::uint32_t outBytes = info.BufferBits / 8;
  for (std::uint32_t i = 0; i < ACount; ++i) {
    const std::uint64_t raw = ReadDriver(Bytes(ASource) + std::size_t{i} * info.DriverBytes, info.DriverBytes, info.bMsb);
    std::uint32_t out = 0;
    switch (info.Rule) {
      case TRule::Float32:
        out = static_cast<std::uint32_t>(ALReferenceFloat32ToInt32(std::bit_cast<float>(static_cast<std::uint32_t>(raw))));
        break;
      case TRule::Float64:
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
  const TReferenceInfo info = ReferenceInfo(AType);
  if (!info.bConverted) return false;
  const std::uint32_t inBytes = info.BufferBits / 8;
  for (std::uint32_t i = 0; i < ACount; ++i) {
    const std::uint32_t x = ReadBuffer(Bytes(ASource) + std::size_t{i} * inBytes, inBytes);
    std::uint64_t raw = x;
    if (info.Rule == TRule::Float32)
      raw = std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<std::int32_t>(x)) / 2147483648.0f);
    else if (info.Rule == TRule::Float64)
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

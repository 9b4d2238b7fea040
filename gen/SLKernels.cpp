#include "gen/SLKernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace portwise {

namespace {

constexpr double kPi = kSLTwoPi / 2;

// Truncated toward zero; saturated first so a drifting value can never wrap.
Ipp16s Trunc16(double x) {
  if (!(x > -32768.0)) return x != x ? 0 : -32768;
  if (x >= 32767.0) return 32767;
  return static_cast<Ipp16s>(static_cast<int>(x));
}

// Rounded half away from zero, saturated.
Ipp16s Round16(double x) {
  if (x != x) return 0;
  return static_cast<Ipp16s>(std::clamp(std::round(x), -32768.0, 32767.0));
}

// The comparisons are written so that a NaN fails them.
bool InRange(double x, double lo, double hiExclusive) { return x >= lo && x < hiExclusive; }

float NextPhase(float phase, float rFreq, int len) {
  const double p = static_cast<double>(phase) + kSLTwoPi * static_cast<double>(rFreq) * len;
  const auto wrapped = static_cast<float>(p - kSLTwoPi * std::floor(p / kSLTwoPi));
  return InRange(wrapped, 0.0, kSLTwoPi) ? wrapped : 0.0f;
}

IppStatus CheckTone(const Ipp16s* pDst, int len, Ipp16s magn, float rFreq, const float* pPhase) {
  if (!pPhase) return ippStsNullPtrErr;
  if (magn < 1) return ippStsToneMagnErr;
  if (!InRange(rFreq, 0.0, 0.5)) return ippStsToneFreqErr;
  if (!InRange(*pPhase, 0.0, kSLTwoPi)) return ippStsTonePhaseErr;
  if (!pDst) return ippStsNullPtrErr;
  if (len < 1) return ippStsSizeErr;
  return ippStsNoErr;
}

IppStatus CheckTriangle(const Ipp16s* pDst, int len, Ipp16s magn, float rFreq, float asym,
                        const float* pPhase) {
  if (!pPhase) return ippStsNullPtrErr;
  if (magn < 1) return ippStsTrnglMagnErr;
  if (!InRange(rFreq, 0.0, 0.5)) return ippStsTrnglFreqErr;
  if (!InRange(asym, -kPi, kPi)) return ippStsTrnglAsymErr;
  if (!InRange(*pPhase, 0.0, kSLTwoPi)) return ippStsTrnglPhaseErr;
  if (!pDst) return ippStsNullPtrErr;
  if (len < 1) return ippStsSizeErr;
  return ippStsNoErr;
}

// One period of the triangle: falls over [0, t), rises over [t, 2*pi).
struct TTriangleShape {
  double Magn, Fall, Rise;  // Fall = t, Rise = 2*pi - t = pi - asym

  TTriangleShape(Ipp16s magn, float asym)
      : Magn(magn), Fall(kPi + static_cast<double>(asym)), Rise(kPi - static_cast<double>(asym)) {}

  bool Falling(double x) const { return x < Fall; }
  double Value(double x) const {
    return Falling(x) ? Magn * (1 - 2 * x / Fall) : Magn * (-1 + 2 * (x - Fall) / Rise);
  }
};

}  // namespace

IppStatus ippsTone_Direct_16s(Ipp16s* pDst, int len, Ipp16s magn, float rFreq, float* pPhase,
                              IppHintAlgorithm) {
  if (const IppStatus st = CheckTone(pDst, len, magn, rFreq, pPhase); st != ippStsNoErr) return st;
  // Sixteen interleaved recurrences, cos(a + 16w) = 2 cos(16w) cos(a) - cos(a - 16w), one per lane
  // of consecutive samples: no serial chain. They start afresh from a cosine every 1024 samples,
  // which keeps their error far below the guard. A sample whose value lies within the guard of an
  // integer boundary is computed from its own cosine instead, the way the direct formula does,
  // so every sample equals the direct formula's.
  constexpr int kLanes = 16;
  constexpr int kReseed = 1024;
  constexpr double kGuard = 1.0 / 65536;
  const double m = magn;
  const double phase = *pPhase;
  const double w = kSLTwoPi * static_cast<double>(rFreq);
  const double c1 = std::cos(w), s1 = std::sin(w);
  const double cL = 2 * std::cos(kLanes * w);
  auto direct = [&](int k) { return Trunc16(m * std::cos(phase + w * k)); };

  alignas(64) double prev[kLanes], cur[kLanes];
  alignas(64) std::int32_t lo[kLanes], hi[kLanes];
  for (int k0 = 0; k0 < len; k0 += kReseed) {
    const int end = len - k0 < kReseed ? len : k0 + kReseed;
    // Two rows of seeds, samples k0 .. k0 + 31, from one phasor turned by w.
    double re = std::cos(phase + w * k0), im = std::sin(phase + w * k0);
    for (int j = 0; j < 2 * kLanes; ++j) {
      (j < kLanes ? prev[j] : cur[j - kLanes]) = m * re;
      const double r = re * c1 - im * s1;
      im = re * s1 + im * c1;
      re = r;
    }
    int k = k0;
#if defined(__SSE2__)
    {
      // The same steps on pairs of lanes, kept in registers.
      constexpr int kPairs = kLanes / 2;
      __m128d p[kPairs], c[kPairs];
      for (int q = 0; q < kPairs; ++q) {
        p[q] = _mm_load_pd(prev + 2 * q);
        c[q] = _mm_load_pd(cur + 2 * q);
      }
      const __m128d guard = _mm_set1_pd(kGuard), cLv = _mm_set1_pd(cL);
      for (; k + kLanes <= end; k += kLanes) {
        __m128i differ = _mm_setzero_si128();
        __m128i four[kPairs / 2];
        for (int q = 0; q < kPairs; q += 2) {
          const __m128i loA = _mm_cvttpd_epi32(_mm_sub_pd(p[q], guard));
          const __m128i hiA = _mm_cvttpd_epi32(_mm_add_pd(p[q], guard));
          const __m128i loB = _mm_cvttpd_epi32(_mm_sub_pd(p[q + 1], guard));
          const __m128i hiB = _mm_cvttpd_epi32(_mm_add_pd(p[q + 1], guard));
          differ = _mm_or_si128(differ, _mm_or_si128(_mm_xor_si128(loA, hiA), _mm_xor_si128(loB, hiB)));
          four[q / 2] = _mm_unpacklo_epi64(loA, loB);
        }
        for (int h = 0; h < kPairs / 4; ++h)
          _mm_storeu_si128(reinterpret_cast<__m128i*>(pDst + k + 8 * h), _mm_packs_epi32(four[2 * h], four[2 * h + 1]));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(differ, _mm_setzero_si128())) != 0xFFFF) {
          for (int q = 0; q < kPairs; ++q) _mm_store_pd(prev + 2 * q, p[q]);
          for (int j = 0; j < kLanes; ++j)
            if (static_cast<std::int32_t>(prev[j] - kGuard) != static_cast<std::int32_t>(prev[j] + kGuard))
              pDst[k + j] = direct(k + j);
        }
        for (int q = 0; q < kPairs; ++q) {
          const __m128d next = _mm_sub_pd(_mm_mul_pd(cLv, c[q]), p[q]);
          p[q] = c[q];
          c[q] = next;
        }
      }
      for (int q = 0; q < kPairs; ++q) {
        _mm_store_pd(prev + 2 * q, p[q]);
        _mm_store_pd(cur + 2 * q, c[q]);
      }
    }
#endif
    for (; k < end; k += kLanes) {
      std::int32_t differ = 0;
      for (int j = 0; j < kLanes; ++j) {
        lo[j] = static_cast<std::int32_t>(prev[j] - kGuard);
        hi[j] = static_cast<std::int32_t>(prev[j] + kGuard);
        differ |= lo[j] ^ hi[j];
      }
      const int n = end - k < kLanes ? end - k : kLanes;
      for (int j = 0; j < n; ++j) pDst[k + j] = static_cast<Ipp16s>(lo[j]);
      if (differ != 0)
        for (int j = 0; j < n; ++j)
          if (lo[j] != hi[j]) pDst[k + j] = direct(k + j);
      for (int j = 0; j < kLanes; ++j) {
        const double next = cL * cur[j] - prev[j];
        prev[j] = cur[j];
        cur[j] = next;
      }
    }
  }
  *pPhase = NextPhase(*pPhase, rFreq, len);
  return ippStsNoErr;
}

IppStatus ippsTriangle_Direct_16s(Ipp16s* pDst, int len, Ipp16s magn, float rFreq, float asym,
                                  float* pPhase) {
  if (const IppStatus st = CheckTriangle(pDst, len, magn, rFreq, asym, pPhase); st != ippStsNoErr)
    return st;
  const TTriangleShape shape(magn, asym);
  const double m = shape.Magn;
  const double w = kSLTwoPi * static_cast<double>(rFreq);
  const double fallStep = 2 * m * w / shape.Fall;
  const double riseStep = 2 * m * w / shape.Rise;
  // The same phase excess measured on the other slope: value units scale by the slopes' ratio.
  const double fallToRise = shape.Fall / shape.Rise;
  const double riseToFall = shape.Rise / shape.Fall;

  bool falling = shape.Falling(*pPhase);
  double v = shape.Value(*pPhase);
  for (int k = 0; k < len; ++k) {
    pDst[k] = Trunc16(v);
    v += falling ? -fallStep : riseStep;
    // A step longer than the other slope (extreme asymmetry) folds more than once; a step is
    // under half a period, so three folds always suffice, and the bound keeps it so.
    for (int fold = 0; fold < 4; ++fold) {
      if (falling && v < -m) {
        v = -m + (-m - v) * fallToRise;
        falling = false;
      } else if (!falling && v > m) {
        v = m - (v - m) * riseToFall;
        falling = true;
      } else {
        break;
      }
    }
    v = std::clamp(v, -m, m);
  }
  *pPhase = NextPhase(*pPhase, rFreq, len);
  return ippStsNoErr;
}

IppStatus ippsThreshold_LTValGTVal_16s_I(Ipp16s* pSrcDst, int len, Ipp16s levelLT, Ipp16s valueLT,
                                         Ipp16s levelGT, Ipp16s valueGT) {
  if (!pSrcDst) return ippStsNullPtrErr;
  if (len <= 0) return ippStsSizeErr;
  if (levelGT < levelLT) return ippStsThresholdErr;
  for (int k = 0; k < len; ++k) {
    if (pSrcDst[k] < levelLT)
      pSrcDst[k] = valueLT;
    else if (pSrcDst[k] > levelGT)
      pSrcDst[k] = valueGT;
  }
  return ippStsNoErr;
}

IppStatus ippsVectorRamp_16s(Ipp16s* pDst, int len, float offset, float slope) {
  if (!pDst) return ippStsNullPtrErr;
  if (len <= 0) return ippStsSizeErr;
  // Computed per index in double, so long ramps do not accumulate rounding.
  for (int k = 0; k < len; ++k)
    pDst[k] = Round16(static_cast<double>(offset) + static_cast<double>(slope) * k);
  return ippStsNoErr;
}

IppStatus GenerateRamp(Ipp16s* pDst, int len, float& phase, double rFreq, double magn,
                       Ipp32s samplesPerCycle, double& rampError) {
  if (!pDst) return ippStsNullPtrErr;
  if (len < 1) return ippStsSizeErr;
  if (samplesPerCycle < 1 || !(rFreq > 0) || !std::isfinite(1 / rFreq) || !std::isfinite(magn)) {
    std::fill(pDst, pDst + len, Ipp16s{0});
    return ippStsBadArgErr;
  }
  const std::int64_t p = samplesPerCycle;
  const std::int64_t n = len;
  const double slope = 2 * magn / static_cast<double>(p);
  const Ipp16s peak = Trunc16(std::floor(magn));

  // Position reached in the current cycle, rounded half to even; a phase from elsewhere (a
  // property, another waveform) is taken modulo the cycle so that it cannot point outside it.
  double pos = static_cast<double>(phase) / (2 * kSLGeneratorPi * rFreq);
  if (!std::isfinite(pos)) pos = 0;
  const double cycle = static_cast<double>(p + 1);
  pos -= cycle * std::floor(pos / cycle);
  std::int64_t e = static_cast<std::int64_t>(std::nearbyint(pos));
  if (e < 0 || e > p) e = 0;  // rounded up to the next cycle's start (or lost to rounding)

  std::int64_t m = p - e;
  const bool whole = m + 1 > n;  // the block ends inside the current cycle
  if (whole) m = n - 1;
  rampError += static_cast<double>(p) - 1 / rFreq;

  Ipp16s* v = pDst;
  std::int64_t written = 0;
  if (e > 0 || whole) {
    std::int64_t j = 0;
    // The shift may neither leave samples of the block unwritten, nor run past its end, nor start
    // the segment before its cycle; whatever cannot be applied now waits in rampError.
    if (std::fabs(rampError) >= 1 && !whole) {
      j = static_cast<std::int64_t>(std::clamp(std::trunc(rampError), static_cast<double>(-m),
                                               static_cast<double>(std::min(e, n - 1 - m))));
      rampError -= static_cast<double>(j);
    }
    m += j;
    ippsVectorRamp_16s(v, static_cast<int>(m + 1),
                       static_cast<float>(static_cast<double>(e - j) * slope - magn),
                       static_cast<float>(slope));
    if (!whole) v[m] = peak;
    written = m + 1;
    v += m + 1;
  }
  for (std::int64_t c = (n - written) / (p + 1); c > 0; --c) {
    ippsVectorRamp_16s(v, static_cast<int>(p + 1), static_cast<float>(-magn),
                       static_cast<float>(slope));
    v[p] = peak;
    v += p + 1;
    written += p + 1;
  }
  std::int64_t rest;
  if (whole) {
    rest = e + n;
  } else {
    rest = n - written;
    if (rest > 0)
      ippsVectorRamp_16s(v, static_cast<int>(rest), static_cast<float>(-magn),
                         static_cast<float>(slope));
  }
  phase = static_cast<float>(2 * kSLGeneratorPi * static_cast<double>(rest) /
                             static_cast<double>(p));
  return ippStsNoErr;
}

namespace reference {

IppStatus ippsTone_Direct_16s(Ipp16s* pDst, int len, Ipp16s magn, float rFreq, float* pPhase,
                              IppHintAlgorithm) {
  if (const IppStatus st = CheckTone(pDst, len, magn, rFreq, pPhase); st != ippStsNoErr) return st;
  const double w = kSLTwoPi * static_cast<double>(rFreq);
  for (int k = 0; k < len; ++k)
    pDst[k] = Trunc16(magn * std::cos(static_cast<double>(*pPhase) + w * k));
  *pPhase = NextPhase(*pPhase, rFreq, len);
  return ippStsNoErr;
}

IppStatus ippsTriangle_Direct_16s(Ipp16s* pDst, int len, Ipp16s magn, float rFreq, float asym,
                                  float* pPhase) {
  if (const IppStatus st = CheckTriangle(pDst, len, magn, rFreq, asym, pPhase); st != ippStsNoErr)
    return st;
  const TTriangleShape shape(magn, asym);
  const double w = kSLTwoPi * static_cast<double>(rFreq);
  for (int k = 0; k < len; ++k) {
    double x = static_cast<double>(*pPhase) + w * k;
    x -= kSLTwoPi * std::floor(x / kSLTwoPi);
    pDst[k] = Trunc16(shape.Value(x));
  }
  *pPhase = NextPhase(*pPhase, rFreq, len);
  return ippStsNoErr;
}

}  // namespace reference

}  // namespace portwise

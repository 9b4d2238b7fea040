#pragma once
// Built-in numeric kernels of the audio path. They keep the names, argument lists and status
// codes of the vendor signal-processing routines of the same names, so either can sit behind the
// kernel entry points; these are the versions used when the vendor library is absent.
//
// Every routine returns ippStsNoErr (0) or a negative status and, on error, writes nothing and
// leaves its in/out arguments unchanged (GenerateRamp excepted, see there). "Truncated" means
// rounded toward zero; 16-bit results are saturated to -32768..32767 before they are stored.
//
// Phases are radians in 0 <= phase < 2*pi, carried in single precision between calls; the next
// phase is P - 2*pi*floor(P / 2*pi) with P = phase + 2*pi*rFreq*len, and 0 when rounding to single
// precision puts it outside the range, so successive calls continue the wave without a jump.
//
// The tone and the triangle also have plain reference versions (namespace reference) that
// compute every sample directly from its phase; the fast tone equals its reference sample for
// sample, the fast triangle stays within one step of its own.
#include <cstdint>

namespace portwise {

using Ipp8u = std::uint8_t;
using Ipp16s = std::int16_t;
using Ipp32s = std::int32_t;
using Ipp32f = float;
using Ipp64f = double;

enum IppStatus : std::int32_t {
  ippStsNoErr = 0,
  ippStsBadArgErr = -5,
  ippStsSizeErr = -6,
  ippStsNullPtrErr = -8,
  ippStsThresholdErr = -18,
  ippStsTrnglAsymErr = -40,
  ippStsTrnglPhaseErr = -41,
  ippStsTrnglFreqErr = -42,
  ippStsTrnglMagnErr = -43,
  ippStsTonePhaseErr = -44,
  ippStsToneFreqErr = -45,
  ippStsToneMagnErr = -46,
};

enum IppHintAlgorithm : std::int32_t { ippAlgHintNone, ippAlgHintFast, ippAlgHintAccurate };

// 2*pi as the kernels use it, at full precision.
inline constexpr double kSLTwoPi = 6.283185307179586;
// The generator's own pi (asymmetry bounds, sawtooth phase): its single-precision value lies just
// below pi, so the bounds pass the triangle's asymmetry check.
inline constexpr double kSLGeneratorPi = 3.141592621;

// pDst[k] = trunc(magn * cos(*pPhase + 2*pi*rFreq*k)), k < len; *pPhase advances.
// Checked in this order: pPhase null (ippStsNullPtrErr); magn < 1 (ippStsToneMagnErr); rFreq
// outside 0 <= rFreq < 0.5 (ippStsToneFreqErr); *pPhase outside 0 <= phase < 2*pi
// (ippStsTonePhaseErr); pDst null (ippStsNullPtrErr); len < 1 (ippStsSizeErr). The hint is ignored.
// Every sample equals the direct formula's (computed in double precision as the reference does).
IppStatus ippsTone_Direct_16s(Ipp16s* pDst, int len, Ipp16s magn, float rFreq, float* pPhase,
                              IppHintAlgorithm hint = ippAlgHintNone);

// A triangle of peak magn: with t = pi + asym it falls from +magn at phase 0 to -magn at phase t
// and rises back to +magn at 2*pi; pDst[k] = trunc(value(*pPhase + 2*pi*rFreq*k)).
// Checked in this order: pPhase null; magn < 1 (ippStsTrnglMagnErr); rFreq outside 0..0.5
// (ippStsTrnglFreqErr); asym outside -pi <= asym < pi (ippStsTrnglAsymErr); *pPhase outside
// 0..2*pi (ippStsTrnglPhaseErr); pDst null; len < 1 (ippStsSizeErr).
// Built by adding the per-sample step of the current slope; an overshoot past a peak is folded
// onto the other slope.
IppStatus ippsTriangle_Direct_16s(Ipp16s* pDst, int len, Ipp16s magn, float rFreq, float asym,
                                  float* pPhase);

// In place: x < levelLT becomes valueLT, x > levelGT becomes valueGT, others stay.
// Errors: pSrcDst null; len <= 0 (ippStsSizeErr); levelGT < levelLT (ippStsThresholdErr).
IppStatus ippsThreshold_LTValGTVal_16s_I(Ipp16s* pSrcDst, int len, Ipp16s levelLT, Ipp16s valueLT,
                                         Ipp16s levelGT, Ipp16s valueGT);

// pDst[k] = offset + slope*k rounded half away from zero, saturated.
// Errors: pDst null; len <= 0 (ippStsSizeErr).
IppStatus ippsVectorRamp_16s(Ipp16s* pDst, int len, float offset, float slope);

// The generator's sawtooth: cycles of samplesPerCycle + 1 samples, samplesPerCycle ramp steps
// from -magn (magn is +-amplitude) and then the peak floor(magn). rFreq is cycles per sample,
// samplesPerCycle the rounded 1 / rFreq. The position in the cycle is read from phase, which
// is left at 2 * kSLGeneratorPi * (samples of the unfinished cycle) / samplesPerCycle; rampError accumulates
// samplesPerCycle - 1/rFreq per block and, once a whole sample, lengthens or shortens the first
// finished cycle of a block by whole samples.
// A phase outside the cycle is taken modulo the cycle. The shift is never applied to a block that
// lies wholly inside one cycle, nor beyond the block's ends or its cycle's start; what is not
// applied stays in rampError. Errors: pDst null; len < 1 (ippStsSizeErr); samplesPerCycle < 1 or rFreq not a
// positive finite number (ippStsBadArgErr: the block is filled with silence, nothing else changes).
IppStatus GenerateRamp(Ipp16s* pDst, int len, float& phase, double rFreq, double magn,
                       Ipp32s samplesPerCycle, double& rampError);

namespace reference {

// Same contracts as the fast kernels; every sample computed from its own phase.
IppStatus ippsTone_Direct_16s(Ipp16s* pDst, int len, Ipp16s magn, float rFreq, float* pPhase,
                              IppHintAlgorithm hint = ippAlgHintNone);
IppStatus ippsTriangle_Direct_16s(Ipp16s* pDst, int len, Ipp16s magn, float rFreq, float asym,
                                  float* pPhase);

}  // namespace reference

}  // namespace portwise

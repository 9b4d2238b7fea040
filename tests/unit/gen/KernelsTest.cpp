#include "gen/SLKernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace portwise {
namespace {

constexpr float kBelowTwoPi = 6.283185f;  // the largest single below 2*pi
constexpr Ipp16s kUntouched = 12345;

using ToneFn = IppStatus (*)(Ipp16s*, int, Ipp16s, float, float*, IppHintAlgorithm);
using TriangleFn = IppStatus (*)(Ipp16s*, int, Ipp16s, float, float, float*);

struct TMismatch {
  int MaxDiff = 0;
  int Count = 0;
};

TMismatch Compare(const std::vector<Ipp16s>& a, const std::vector<Ipp16s>& b) {
  TMismatch r;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const int d = std::abs(a[i] - b[i]);
    r.MaxDiff = std::max(r.MaxDiff, d);
    r.Count += d != 0;
  }
  return r;
}

// ---------------------------------------------------------------------------------------------
// Argument checks, shared by the fast and the reference versions.

struct TToneArgs {
  const char* Name;
  bool bNullPhase, bNullDst;
  int Len;
  Ipp16s Magn;
  float RFreq, Phase;
  IppStatus Expected;
};

class ToneArguments : public ::testing::TestWithParam<ToneFn> {};

TEST_P(ToneArguments, AreCheckedInOrderAndAFailureWritesNothingAndKeepsThePhase) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const TToneArgs cases[] = {
      {"missing phase before everything", true, true, 0, 0, 0.7f, 9.0f, ippStsNullPtrErr},
      {"magnitude 0 before frequency", false, true, 0, 0, 0.7f, 9.0f, ippStsToneMagnErr},
      {"negative magnitude", false, false, 8, -5, 0.1f, 0.0f, ippStsToneMagnErr},
      {"negative frequency before phase", false, true, 0, 100, -0.01f, 9.0f, ippStsToneFreqErr},
      {"frequency of one half", false, false, 8, 100, 0.5f, 0.0f, ippStsToneFreqErr},
      {"frequency not a number", false, false, 8, 100, nan, 0.0f, ippStsToneFreqErr},
      {"negative phase before buffer", false, true, 0, 100, 0.1f, -0.1f, ippStsTonePhaseErr},
      {"phase 2 pi", false, false, 8, 100, 0.1f, static_cast<float>(kSLTwoPi), ippStsTonePhaseErr},
      {"phase not a number", false, false, 8, 100, 0.1f, nan, ippStsTonePhaseErr},
      {"missing buffer before length", false, true, 0, 100, 0.1f, 0.0f, ippStsNullPtrErr},
      {"length 0", false, false, 0, 100, 0.1f, 0.0f, ippStsSizeErr},
      {"negative length", false, false, -3, 100, 0.1f, 0.0f, ippStsSizeErr},
      {"smallest magnitude, frequency 0, last phase", false, false, 8, 1, 0.0f, kBelowTwoPi,
       ippStsNoErr},
      {"frequency just below one half", false, false, 8, 100, 0.4999f, 0.0f, ippStsNoErr},
  };
  for (const TToneArgs& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<Ipp16s> dst(8, kUntouched);
    float phase = c.Phase;
    const IppStatus st = GetParam()(c.bNullDst ? nullptr : dst.data(), c.Len, c.Magn, c.RFreq,
                                    c.bNullPhase ? nullptr : &phase, ippAlgHintNone);
    EXPECT_EQ(st, c.Expected);
    if (st != ippStsNoErr) {
      EXPECT_EQ(dst, std::vector<Ipp16s>(8, kUntouched));
      EXPECT_TRUE(phase == c.Phase || (std::isnan(phase) && std::isnan(c.Phase)));
    } else {
      EXPECT_EQ(std::count(dst.begin(), dst.end(), kUntouched), 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(FastAndReference, ToneArguments,
                         ::testing::Values(&ippsTone_Direct_16s, &reference::ippsTone_Direct_16s));

struct TTriangleArgs {
  const char* Name;
  bool bNullPhase, bNullDst;
  int Len;
  Ipp16s Magn;
  float RFreq, Asym, Phase;
  IppStatus Expected;
};

class TriangleArguments : public ::testing::TestWithParam<TriangleFn> {};

TEST_P(TriangleArguments, AreCheckedInOrderAndAFailureWritesNothingAndKeepsThePhase) {
  const float pi = static_cast<float>(kSLTwoPi / 2);  // rounds above pi
  const float genPi = static_cast<float>(kSLGeneratorPi);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const TTriangleArgs cases[] = {
      {"missing phase first", true, true, 0, 0, 0.7f, 9.0f, 9.0f, ippStsNullPtrErr},
      {"magnitude 0 before frequency", false, true, 0, 0, 0.7f, 9.0f, 9.0f, ippStsTrnglMagnErr},
      {"frequency before asymmetry", false, true, 0, 100, 0.5f, 9.0f, 9.0f, ippStsTrnglFreqErr},
      {"negative frequency", false, false, 8, 100, -0.1f, 0.0f, 0.0f, ippStsTrnglFreqErr},
      {"asymmetry pi before phase", false, true, 0, 100, 0.1f, pi, 9.0f, ippStsTrnglAsymErr},
      {"asymmetry below -pi", false, false, 8, 100, 0.1f, -pi, 0.0f, ippStsTrnglAsymErr},
      {"asymmetry not a number", false, false, 8, 100, 0.1f, nan, 0.0f, ippStsTrnglAsymErr},
      {"phase before buffer", false, true, 0, 100, 0.1f, 0.0f, -0.5f, ippStsTrnglPhaseErr},
      {"phase 2 pi", false, false, 8, 100, 0.1f, 0.0f, static_cast<float>(kSLTwoPi),
       ippStsTrnglPhaseErr},
      {"missing buffer before length", false, true, 0, 100, 0.1f, 0.0f, 0.0f, ippStsNullPtrErr},
      {"length 0", false, false, 0, 100, 0.1f, 0.0f, 0.0f, ippStsSizeErr},
      {"the generator's asymmetry bounds", false, false, 8, 100, 0.1f, genPi, 1.0f, ippStsNoErr},
      {"the generator's lower bound", false, false, 8, 100, 0.1f, -genPi, kBelowTwoPi, ippStsNoErr},
  };
  for (const TTriangleArgs& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<Ipp16s> dst(8, kUntouched);
    float phase = c.Phase;
    const IppStatus st = GetParam()(c.bNullDst ? nullptr : dst.data(), c.Len, c.Magn, c.RFreq,
                                    c.Asym, c.bNullPhase ? nullptr : &phase);
    EXPECT_EQ(st, c.Expected);
    if (st != ippStsNoErr) {
      EXPECT_EQ(dst, std::vector<Ipp16s>(8, kUntouched));
      EXPECT_EQ(phase, c.Phase);
    } else {
      EXPECT_EQ(std::count(dst.begin(), dst.end(), kUntouched), 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(FastAndReference, TriangleArguments,
                         ::testing::Values(&ippsTriangle_Direct_16s,
                                           &reference::ippsTriangle_Direct_16s));

// ---------------------------------------------------------------------------------------------
// Tone

struct TWave {
  Ipp16s Magn;
  float RFreq, Phase;
};

const TWave kTones[] = {
    {16383, 1000.0f / 44100.0f, 0.0f}, {32767, 1000.0f / 44100.0f, 1.0f},
    {32767, 0.0001f, 0.3f},            {32767, 0.4999f, 2.0f},
    {20000, 0.25f, kBelowTwoPi},       {1, 0.01f, 0.0f},
    {32767, 1.0f / 3, 3.0f},           {12345, 0.123456f, 5.5f},
};

TEST(ToneKernel, EverySampleEqualsTheDirectCosineOverLongAndShortRuns) {
  // Long runs cross the points where the fast kernel starts afresh; short ones end mid-lane.
  for (int len : {(1 << 18) + 5, 4097, 13, 8, 7, 1}) {
    for (const TWave& w : kTones) {
      SCOPED_TRACE(::testing::Message() << "len " << len << " magn " << w.Magn << " rfreq " << w.RFreq);
      std::vector<Ipp16s> fast(static_cast<std::size_t>(len)), direct(static_cast<std::size_t>(len));
      float pf = w.Phase, pd = w.Phase;
      ASSERT_EQ(ippsTone_Direct_16s(fast.data(), len, w.Magn, w.RFreq, &pf), ippStsNoErr);
      ASSERT_EQ(reference::ippsTone_Direct_16s(direct.data(), len, w.Magn, w.RFreq, &pd), ippStsNoErr);
      const TMismatch m = Compare(fast, direct);
      EXPECT_EQ(m.Count, 0) << "largest difference " << m.MaxDiff;
      EXPECT_EQ(pf, pd);
    }
  }
}

TEST(ToneKernel, AThousandHertzToneAtHalfScaleStartsAtItsPeakAndNeverExceedsIt) {
  std::vector<Ipp16s> dst(1024);
  float phase = 0;
  ASSERT_EQ(ippsTone_Direct_16s(dst.data(), 1024, 16383, 1000.0f / 44100.0f, &phase), ippStsNoErr);
  EXPECT_EQ(dst[0], 16383);
  EXPECT_EQ(*std::max_element(dst.begin(), dst.end()), 16383);
  EXPECT_GE(*std::min_element(dst.begin(), dst.end()), -16383);
}

TEST(ToneKernel, SamplesAreTruncatedTowardZero) {
  // Magnitude 3 at cos = +-0.5 gives +-1.5: truncation keeps +-1 where rounding or floor would not.
  struct {
    float Phase;
    Ipp16s Expected;
  } const cases[] = {{1.0471976f, 1}, {2.0943952f, -1}, {0.0f, 3}, {3.1415925f, -2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Phase);
    for (ToneFn fn : {&ippsTone_Direct_16s, &reference::ippsTone_Direct_16s}) {
      std::vector<Ipp16s> dst(5);
      float phase = c.Phase;
      ASSERT_EQ(fn(dst.data(), 5, 3, 0.0f, &phase, ippAlgHintNone), ippStsNoErr);
      EXPECT_EQ(dst, std::vector<Ipp16s>(5, c.Expected));  // frequency 0: a constant
      EXPECT_EQ(phase, c.Phase);
    }
  }
}

TEST(ToneKernel, ThePhaseAdvancesByTheBlockAndWrapsIntoOneTurn) {
  struct {
    float Phase, RFreq;
    int Len;
    double Expected;
  } const cases[] = {
      {1.0f, 0.25f, 4, 1.0},                          // one whole turn
      {4.0f, 0.25f, 2, 4.0 + kSLTwoPi / 2 - kSLTwoPi},  // past 2 pi
      {0.0f, 0.1f, 3, 0.3 * kSLTwoPi},                // within the turn
      {0.0f, 1000.0f / 44100.0f, 1024, std::fmod(kSLTwoPi * (1000.0f / 44100.0f) * 1024, kSLTwoPi)},
      {kBelowTwoPi, 4.3e-8f, 1, 0.0},  // lands so close to 2 pi that single precision rounds onto it
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.Phase << " + " << c.RFreq << " x " << c.Len);
    std::vector<Ipp16s> dst(static_cast<std::size_t>(c.Len));
    float phase = c.Phase;
    ASSERT_EQ(ippsTone_Direct_16s(dst.data(), c.Len, 100, c.RFreq, &phase), ippStsNoErr);
    EXPECT_NEAR(phase, c.Expected, 2e-6);
    EXPECT_GE(phase, 0.0f);
    EXPECT_LT(phase, kSLTwoPi);
  }
}

TEST(ToneKernel, ConsecutiveBlocksJoinWithoutAJump) {
  constexpr int kBlock = 1024, kBlocks = 64;
  const float rFreq = 1000.0f / 44100.0f;
  std::vector<Ipp16s> blocks(kBlock * kBlocks), whole(kBlock * kBlocks);
  float phase = 0;
  for (int b = 0; b < kBlocks; ++b) {
    ASSERT_EQ(ippsTone_Direct_16s(blocks.data() + b * kBlock, kBlock, 16383, rFreq, &phase),
              ippStsNoErr);
    ASSERT_GE(phase, 0.0f);
    ASSERT_LT(phase, kSLTwoPi);
  }
  // The direct formula over the whole run, unbroken: the carried single-precision phase may
  // drift it by a step, no more.
  float start = 0;
  ASSERT_EQ(reference::ippsTone_Direct_16s(whole.data(), kBlock * kBlocks, 16383, rFreq, &start),
            ippStsNoErr);
  EXPECT_LE(Compare(blocks, whole).MaxDiff, 1);
}

// ---------------------------------------------------------------------------------------------
// Triangle

TEST(TriangleKernel, StepsStayWithinOneStepOfTheDirectFormulaOverLongRuns) {
  constexpr int kLen = 1 << 17;
  const float asyms[] = {0.0f, 1.0f, -1.0f, 2.5f, -2.5f};
  for (const TWave& w : kTones) {
    for (float asym : asyms) {
      SCOPED_TRACE(::testing::Message() << "magn " << w.Magn << " rfreq " << w.RFreq << " asym "
                                        << asym << " phase " << w.Phase);
      std::vector<Ipp16s> fast(kLen), direct(kLen);
      float pf = w.Phase, pd = w.Phase;
      ASSERT_EQ(ippsTriangle_Direct_16s(fast.data(), kLen, w.Magn, w.RFreq, asym, &pf),
                ippStsNoErr);
      ASSERT_EQ(reference::ippsTriangle_Direct_16s(direct.data(), kLen, w.Magn, w.RFreq, asym, &pd),
                ippStsNoErr);
      const TMismatch m = Compare(fast, direct);
      EXPECT_LE(m.MaxDiff, 1);
      EXPECT_LT(m.Count, kLen / 100);
      EXPECT_EQ(pf, pd);
    }
  }
}

TEST(TriangleKernel, FallsUntilPiPlusAsymmetryThenRisesBackToThePeak) {
  // 100 samples per period: the low point sits at sample 50 * (1 + asym / pi).
  struct {
    float Asym;
    int Low;
  } const cases[] = {{0.0f, 50}, {static_cast<float>(kSLTwoPi / 4), 75}, {-1.5707964f, 25}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Asym);
    for (TriangleFn fn : {&ippsTriangle_Direct_16s, &reference::ippsTriangle_Direct_16s}) {
      std::vector<Ipp16s> dst(201);
      float phase = 0;
      ASSERT_EQ(fn(dst.data(), 201, 1000, 0.01f, c.Asym, &phase), ippStsNoErr);
      EXPECT_EQ(dst[0], 1000);
      EXPECT_NEAR(dst[static_cast<std::size_t>(c.Low)], -1000, 1);
      EXPECT_NEAR(dst[10], 1000 * (1 - 20.0 / c.Low), 1);
      EXPECT_NEAR(dst[100], 1000, 1);
      EXPECT_NEAR(dst[200], 1000, 1);
      for (int k = 1; k < 200; ++k) {
        const int slope = dst[static_cast<std::size_t>(k + 1)] - dst[static_cast<std::size_t>(k)];
        if (k % 100 < c.Low - 1) {
          EXPECT_LT(slope, 0) << k;
        } else if (k % 100 > c.Low && k % 100 < 99) {
          EXPECT_GT(slope, 0) << k;
        }
      }
    }
  }
}

TEST(TriangleKernel, StepsLongerThanASlopeFoldBackInsideThePeaks) {
  // At the generator's asymmetry bounds one slope is far shorter than a sample step.
  const float genPi = static_cast<float>(kSLGeneratorPi);
  for (float asym : {genPi, -genPi, 3.0f, -3.0f}) {
    for (float rFreq : {0.3f, 0.4999f, 0.0123f}) {
      SCOPED_TRACE(::testing::Message() << "asym " << asym << " rfreq " << rFreq);
      constexpr int kLen = 1 << 14;
      std::vector<Ipp16s> fast(kLen), direct(kLen);
      float pf = 0.5f, pd = 0.5f;
      ASSERT_EQ(ippsTriangle_Direct_16s(fast.data(), kLen, 30000, rFreq, asym, &pf), ippStsNoErr);
      ASSERT_EQ(reference::ippsTriangle_Direct_16s(direct.data(), kLen, 30000, rFreq, asym, &pd),
                ippStsNoErr);
      EXPECT_LE(*std::max_element(fast.begin(), fast.end()), 30000);
      EXPECT_GE(*std::min_element(fast.begin(), fast.end()), -30000);
      EXPECT_LE(Compare(fast, direct).MaxDiff, 1);
    }
  }
}

TEST(TriangleKernel, ConsecutiveBlocksJoinWithoutAJump) {
  constexpr int kBlock = 1000, kBlocks = 50;
  std::vector<Ipp16s> blocks(kBlock * kBlocks), whole(kBlock * kBlocks);
  float phase = 1.0f;
  for (int b = 0; b < kBlocks; ++b)
    ASSERT_EQ(ippsTriangle_Direct_16s(blocks.data() + b * kBlock, kBlock, 20000, 0.0137f, 0.7f,
                                      &phase),
              ippStsNoErr);
  float start = 1.0f;
  ASSERT_EQ(reference::ippsTriangle_Direct_16s(whole.data(), kBlock * kBlocks, 20000, 0.0137f,
                                               0.7f, &start),
            ippStsNoErr);
  EXPECT_LE(Compare(blocks, whole).MaxDiff, 1);
}

// ---------------------------------------------------------------------------------------------
// Threshold and ramp

TEST(ThresholdKernel, ReplacesSamplesBelowAndAboveTheirLevelsAndKeepsTheRest) {
  const std::vector<Ipp16s> src = {-32768, -6, -5, -1, 0, 1, 5, 6, 32767};
  struct {
    const char* Name;
    Ipp16s LevelLT, ValueLT, LevelGT, ValueGT;
    std::vector<Ipp16s> Expected;
  } const cases[] = {
      {"one level: a square", 0, -1000, 0, 1000,
       {-1000, -1000, -1000, -1000, 0, 1000, 1000, 1000, 1000}},
      {"a band kept between the levels", -5, -7, 5, 7, {-7, -7, -5, -1, 0, 1, 5, 7, 7}},
      {"levels at the ends of the range", -32768, 0, 32767, 0, src},
      {"values inverted", -1, 32767, 1, -32768, {32767, 32767, 32767, -1, 0, 1, -32768, -32768, -32768}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<Ipp16s> v = src;
    ASSERT_EQ(ippsThreshold_LTValGTVal_16s_I(v.data(), static_cast<int>(v.size()), c.LevelLT,
                                             c.ValueLT, c.LevelGT, c.ValueGT),
              ippStsNoErr);
    EXPECT_EQ(v, c.Expected);
  }
}

TEST(ThresholdKernel, RejectsMissingBufferBadLengthAndCrossedLevelsInThatOrder) {
  std::vector<Ipp16s> v = {-5, 0, 5};
  EXPECT_EQ(ippsThreshold_LTValGTVal_16s_I(nullptr, 0, 1, 0, 0, 0), ippStsNullPtrErr);
  EXPECT_EQ(ippsThreshold_LTValGTVal_16s_I(v.data(), 0, 1, 0, 0, 0), ippStsSizeErr);
  EXPECT_EQ(ippsThreshold_LTValGTVal_16s_I(v.data(), -1, 0, 0, 0, 0), ippStsSizeErr);
  EXPECT_EQ(ippsThreshold_LTValGTVal_16s_I(v.data(), 3, 1, 99, 0, 99), ippStsThresholdErr);
  EXPECT_EQ(v, (std::vector<Ipp16s>{-5, 0, 5}));
}

TEST(VectorRampKernel, RoundsHalfAwayFromZeroAndSaturates) {
  struct {
    const char* Name;
    float Offset, Slope;
    std::vector<Ipp16s> Expected;
  } const cases[] = {
      {"halves upward", 0.5f, 1.0f, {1, 2, 3, 4}},
      {"halves downward", -0.5f, -1.0f, {-1, -2, -3, -4}},
      {"below a half", 0.25f, 0.25f, {0, 1, 1, 1}},
      {"saturated above", 32000.0f, 500.0f, {32000, 32500, 32767, 32767}},
      {"saturated below", -32000.0f, -500.0f, {-32000, -32500, -32768, -32768}},
      {"flat", -7.0f, 0.0f, {-7, -7, -7, -7}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<Ipp16s> v(4, kUntouched);
    ASSERT_EQ(ippsVectorRamp_16s(v.data(), 4, c.Offset, c.Slope), ippStsNoErr);
    EXPECT_EQ(v, c.Expected);
  }
}

TEST(VectorRampKernel, LongRampsReachTheirEndWithoutDrift) {
  // A slope with no exact single-precision value, summed 30000 times, would drift by steps.
  constexpr int kLen = 30001;
  std::vector<Ipp16s> v(kLen);
  ASSERT_EQ(ippsVectorRamp_16s(v.data(), kLen, -1000.0f, 0.1f), ippStsNoErr);
  EXPECT_EQ(v.front(), -1000);
  EXPECT_EQ(v[12345], 235);
  EXPECT_EQ(v[20000], 1000);
  EXPECT_EQ(v.back(), 2000);
}

TEST(VectorRampKernel, RejectsMissingBufferThenBadLength) {
  Ipp16s v[2] = {kUntouched, kUntouched};
  EXPECT_EQ(ippsVectorRamp_16s(nullptr, 0, 0, 1), ippStsNullPtrErr);
  EXPECT_EQ(ippsVectorRamp_16s(v, 0, 0, 1), ippStsSizeErr);
  EXPECT_EQ(ippsVectorRamp_16s(v, -2, 0, 1), ippStsSizeErr);
  EXPECT_EQ(v[0], kUntouched);
}

// ---------------------------------------------------------------------------------------------
// Sawtooth

// The generator's state between blocks.
struct TRampRun {
  double RFreq, Magn;
  Ipp32s SamplesPerCycle;
  float Phase = 0;
  double RampError = 0;

  TRampRun(double rFreq, double magn)
      : RFreq(rFreq), Magn(magn),
        SamplesPerCycle(static_cast<Ipp32s>(std::nearbyint(1 / rFreq))) {}

  // Generates `blocks` blocks of `len`, each into a buffer with guard samples on both sides, and
  // returns the concatenated blocks; fails the test when a block is not filled or overruns.
  std::vector<Ipp16s> Blocks(int len, int blocks) {
    constexpr std::ptrdiff_t kGuard = 2048;
    std::vector<Ipp16s> out;
    for (int b = 0; b < blocks; ++b) {
      std::vector<Ipp16s> buf(static_cast<std::size_t>(len + 2 * kGuard), kUntouched);
      const auto first = buf.begin() + kGuard, last = first + len;
      EXPECT_EQ(GenerateRamp(&*first, len, Phase, RFreq, Magn, SamplesPerCycle, RampError),
                ippStsNoErr);
      EXPECT_EQ(std::count(first, last, kUntouched), 0) << "block " << b;
      EXPECT_EQ(std::count(buf.begin(), first, kUntouched), kGuard) << "block " << b;
      EXPECT_EQ(std::count(last, buf.end(), kUntouched), kGuard) << "block " << b;
      out.insert(out.end(), first, last);
    }
    return out;
  }
};

// Sample i of an unbroken sawtooth of P + 1 samples a cycle starting at -A.
Ipp16s SawSample(std::int64_t i, int p, double a) {
  const std::int64_t pos = i % (p + 1);
  if (pos == p) return static_cast<Ipp16s>(std::floor(a));
  return static_cast<Ipp16s>(std::round(-a + static_cast<double>(pos) * 2 * a / p));
}

TEST(RampKernel, ASawtoothWithAWholePeriodRepeatsEveryPPlusOneSamplesAcrossBlocksOfAnySize) {
  // 4410 Hz at 44100 Hz: P = 10, cycles of 11 samples; 30 Hz: P = 1470, longer than a block.
  struct {
    double Frequency;
    int P;
  } const rates[] = {{4410, 10}, {30, 1470}};
  for (const auto& rate : rates) {
    for (double a : {16383.0, -16383.0, 1000.0}) {
      for (int len : {1024, 7, 11, 1, 23}) {
        SCOPED_TRACE(::testing::Message() << rate.Frequency << " Hz, amplitude " << a << ", block "
                                          << len);
        TRampRun run(rate.Frequency / 44100.0, a);
        ASSERT_EQ(run.SamplesPerCycle, rate.P);
        const std::vector<Ipp16s> out = run.Blocks(len, (4 * rate.P + 40) / len + 3);
        for (std::size_t i = 0; i < out.size(); ++i)
          ASSERT_NEAR(out[i], SawSample(static_cast<std::int64_t>(i), rate.P, a), 1)
              << "sample " << i;
        EXPECT_LT(std::fabs(run.RampError), 1e-6);
      }
    }
  }
}

TEST(RampKernel, APhaseOutsideTheCycleIsTakenModuloTheCycle) {
  // At r = 0.1 a phase of 2 pi~ * 0.3 is position 3 of the 11-sample cycle; 11 positions more or
  // less is the same place.
  auto block = [](double turns) {
    float phase = static_cast<float>(2 * kSLGeneratorPi * turns);
    double error = 0;
    std::vector<Ipp16s> v(30);
    EXPECT_EQ(GenerateRamp(v.data(), 30, phase, 0.1, 1000, 10, error), ippStsNoErr);
    return v;
  };
  const std::vector<Ipp16s> inCycle = block(0.3);
  EXPECT_NEAR(inCycle[0], SawSample(3, 10, 1000), 1);
  EXPECT_EQ(block(1.4), inCycle);
  EXPECT_EQ(block(-0.8), inCycle);
  EXPECT_EQ(block(-1.9), inCycle);
}

TEST(RampKernel, AnInexactPeriodShortensOrLengthensCyclesByWholeSamples) {
  // 1/r = 10.4 rounds to P = 10: cycles of 11 samples, now and then one of 10; 1/r = 9.6 rounds
  // to 10 as well, and then a cycle of 12 now and then.
  struct {
    double Period;
    int Usual, Corrected;
  } const cases[] = {{10.4, 11, 10}, {9.6, 11, 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Period);
    TRampRun run(1 / c.Period, 1000);
    const std::vector<Ipp16s> out = run.Blocks(37, 200);
    std::vector<std::size_t> peaks;
    for (std::size_t i = 0; i < out.size(); ++i) {
      ASSERT_GE(out[i], -1000);
      ASSERT_LE(out[i], 1000);
      if (out[i] == 1000) peaks.push_back(i);
    }
    int usual = 0, corrected = 0;
    for (std::size_t k = 1; k < peaks.size(); ++k) {
      const std::size_t d = peaks[k] - peaks[k - 1];
      ASSERT_TRUE(d == static_cast<std::size_t>(c.Usual) ||
                  d == static_cast<std::size_t>(c.Corrected))
          << "peaks " << peaks[k - 1] << " and " << peaks[k];
      usual += d == static_cast<std::size_t>(c.Usual);
      corrected += d == static_cast<std::size_t>(c.Corrected);
    }
    EXPECT_GT(corrected, 0);
    EXPECT_GT(usual, corrected);
    EXPECT_LT(std::fabs(run.RampError), 2.0);
  }
}

TEST(RampKernel, NeverLeavesABlockPartlyWrittenOrWritesPastItsEnd) {
  // Accumulated errors and phases that point the first segment outside the block.
  const double errors[] = {-50.0, -1.5, 0.0, 1.5, 50.0, 1e9};
  const float phases[] = {0.0f, 0.3f, 3.0f, 6.2f, 100.0f, -1.0f};
  for (double period : {10.6, 21.3, 1500.4}) {
    for (int len : {4, 16, 64, 1024}) {
      for (double error : errors) {
        for (float phase : phases) {
          SCOPED_TRACE(::testing::Message() << "period " << period << " block " << len
                                            << " error " << error << " phase " << phase);
          TRampRun run(1 / period, -1000);
          run.RampError = error;
          run.Phase = phase;
          const std::vector<Ipp16s> out = run.Blocks(len, 5);
          EXPECT_LE(*std::max_element(out.begin(), out.end()), 1000);
          EXPECT_GE(*std::min_element(out.begin(), out.end()), -1000);
          EXPECT_TRUE(std::isfinite(run.Phase));
        }
      }
    }
  }
}

TEST(RampKernel, ACycleOfNoSamplesGivesSilence) {
  struct {
    const char* Name;
    double RFreq;
    Ipp32s P;
  } const cases[] = {
      {"frequency 0", 0.0, 10},
      {"negative frequency", -0.1, 10},
      {"no samples per cycle", 0.9, 0},
      {"frequency not a number", std::numeric_limits<double>::quiet_NaN(), 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<Ipp16s> v(16, kUntouched);
    float phase = 1.0f;
    double error = 0.25;
    EXPECT_EQ(GenerateRamp(v.data(), 16, phase, c.RFreq, 1000, c.P, error), ippStsBadArgErr);
    EXPECT_EQ(v, std::vector<Ipp16s>(16, 0));
    EXPECT_EQ(phase, 1.0f);
    EXPECT_EQ(error, 0.25);
  }
  float phase = 0;
  double error = 0;
  Ipp16s v[1] = {kUntouched};
  EXPECT_EQ(GenerateRamp(nullptr, 16, phase, 0.1, 1000, 10, error), ippStsNullPtrErr);
  EXPECT_EQ(GenerateRamp(v, 0, phase, 0.1, 1000, 10, error), ippStsSizeErr);
  EXPECT_EQ(v[0], kUntouched);
}

}  // namespace
}  // namespace portwise

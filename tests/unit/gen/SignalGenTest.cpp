#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/ALSampleConvert.h"
#include "gen/ALSignalGen.h"
#include "gen/SLKernels.h"
#include "platform/sim/SimPlatform.h"
#include "tests/unit/gen/GenTestSink.h"

namespace portwise {
namespace {

using platform::sim::TSimPlatform;
using testing::TTestSink;

constexpr double kTwoPi = 6.283185307179586;

// The window's generator (44100 Hz, stereo, 16 bits, 1024 frames, 1000 Hz, amplitude 16383),
// pulled buffer by buffer by a sink that claimed the stream, so nothing depends on a clock.
class SignalGenTest : public ::testing::Test {
 protected:
  SignalGenTest() {
    sim.SetMediaTimerManual(true);
    gen = CreateComponent<TALSignalGen>(nullptr);
    gen->SetName("ALSignalGen1");
    gen->GetAudioFormat().SetSampleRate(44100);
    gen->SetAmplitude(16383);
    gen->SetFrequency(1000.0);
    sink.bClaim = true;
    EXPECT_TRUE(gen->GetOutputPin().Connect(&sink.Pin));
  }

  // Starts the generator and pulls `buffers` buffers; channel 0 of all of them.
  std::vector<std::int16_t> Run(int buffers) {
    gen->SetEnabled(true);
    for (int i = 0; i < buffers; ++i) sink.Pull();
    return sink.Samples(0);
  }

  TSimPlatform sim;
  TTestSink sink;
  std::unique_ptr<TALSignalGen> gen;
};

// A generator made by code at 44100 Hz with the given waveform, pulled ABuffers times by a sink
// that claimed the stream: what the sink received.
std::vector<PALAudioBuffer> PullSignal(TALSignalType AType, double AFrequency, std::int32_t AAmplitude, int ABuffers) {
  TTestSink s;
  s.bClaim = true;
  auto g = CreateComponent<TALSignalGen>(nullptr);
  g->GetAudioFormat().SetSampleRate(44100);
  g->SetSignalType(AType);
  g->SetFrequency(AFrequency);
  g->SetAmplitude(AAmplitude);
  g->GetOutputPin().Connect(&s.Pin);
  g->SetEnabled(true);
  for (int i = 0; i < ABuffers; ++i) s.Pull();
  return s.Buffers();
}

std::vector<std::int16_t> Channel0(const std::vector<PALAudioBuffer>& ABuffers) {
  return testing::ChannelSamples(ABuffers, 0);
}

TEST_F(SignalGenTest, TheWindowsToneStartsAtItsPeakOnBothChannelsAndNeverExceedsIt) {
  Run(3);
  const std::vector<PALAudioBuffer> buffers = sink.Buffers();
  ASSERT_EQ(buffers.size(), 3u);
  for (const PALAudioBuffer& b : buffers) {
    EXPECT_EQ(b->GetSize(), 1024u);
    EXPECT_EQ(b->GetChannels(), 2u);
    EXPECT_EQ(b->GetBitsPerSample(), 16u);
    EXPECT_EQ(b->GetSampleRate(), 44100u);
    EXPECT_FALSE(b->GetTimeStamp().GetAvailable());
  }
  EXPECT_EQ(buffers[0]->GetSample(0, 0), 16383);
  EXPECT_EQ(buffers[0]->GetSample(0, 1), 16383);
  const std::vector<std::int16_t> left = sink.Samples(0), right = sink.Samples(1);
  EXPECT_EQ(left, right);
  const auto [lo, hi] = std::minmax_element(left.begin(), left.end());
  EXPECT_EQ(*hi, 16383);
  EXPECT_GE(*lo, -16383);
  EXPECT_LT(*lo, -16300);  // it does swing through the whole range
}

TEST_F(SignalGenTest, ConsecutiveToneBuffersContinueTheWaveWithoutAJump) {
  const std::vector<std::int16_t> s = Run(4);
  ASSERT_EQ(s.size(), 4u * 1024u);
  // Every sample, buffer boundaries included, is the truncated cosine of its own index (at the
  // single-precision relative frequency the kernel is given).
  const double r = static_cast<float>(1000.0 / 44100.0);
  for (std::size_t k = 0; k < s.size(); ++k) {
    const double exact = 16383 * std::cos(kTwoPi * r * static_cast<double>(k));
    ASSERT_NEAR(s[k], exact, 1.1) << "sample " << k;
  }
}

TEST_F(SignalGenTest, AStartBeginsAgainAtPhaseAndChangingPhaseMovesTheRunningPhaseAtOnce) {
  Run(2);
  EXPECT_NE(gen->GetCurrentPhase(), 0.0f);
  gen->SetPhase(1.5f);
  EXPECT_EQ(gen->GetCurrentPhase(), 1.5f);
  gen->SetEnabled(false);
  gen->SetEnabled(true);
  EXPECT_EQ(gen->GetCurrentPhase(), 1.5f);
  sink.Pull();
  const std::vector<PALAudioBuffer> buffers = sink.Buffers();
  ASSERT_EQ(buffers.size(), 3u);
  EXPECT_EQ(buffers[2]->GetSample(0, 0), static_cast<std::int32_t>(16383 * std::cos(1.5)));
}

struct TClampCase {
  const char* Name;
  std::function<void(TALSignalGen&)> Set;
  std::function<double(TALSignalGen&)> Get;
  double Expected;
};

TEST_F(SignalGenTest, PropertySettersClampTheirValues) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  auto amplitude = [](TALSignalGen& g) { return static_cast<double>(g.GetAmplitude()); };
  auto frequency = [](TALSignalGen& g) { return g.GetFrequency(); };
  auto asymmetry = [](TALSignalGen& g) { return g.GetAsymmetry(); };
  const TClampCase cases[] = {
      {"Amplitude 40000", [](TALSignalGen& g) { g.SetAmplitude(40000); }, amplitude, 32767},
      {"Amplitude -5", [](TALSignalGen& g) { g.SetAmplitude(-5); }, amplitude, 0},
      {"Amplitude 32767", [](TALSignalGen& g) { g.SetAmplitude(32767); }, amplitude, 32767},
      {"Amplitude 1", [](TALSignalGen& g) { g.SetAmplitude(1); }, amplitude, 1},
      {"Frequency -1", [](TALSignalGen& g) { g.SetFrequency(-1); }, frequency, 0},
      {"Frequency NaN", [nan](TALSignalGen& g) { g.SetFrequency(nan); }, frequency, 0},
      {"Frequency -inf", [inf](TALSignalGen& g) { g.SetFrequency(-inf); }, frequency, 0},
      {"Frequency 0", [](TALSignalGen& g) { g.SetFrequency(0); }, frequency, 0},
      {"Frequency 1234.5", [](TALSignalGen& g) { g.SetFrequency(1234.5); }, frequency, 1234.5},
      {"Asymmetry 10", [](TALSignalGen& g) { g.SetAsymmetry(10); }, asymmetry, 3.141592621},
      {"Asymmetry -10", [](TALSignalGen& g) { g.SetAsymmetry(-10); }, asymmetry, -3.141592621},
      {"Asymmetry 3.1415927", [](TALSignalGen& g) { g.SetAsymmetry(3.1415927); }, asymmetry, 3.141592621},
      {"Asymmetry NaN", [nan](TALSignalGen& g) { g.SetAsymmetry(nan); }, asymmetry, 0},
      {"Asymmetry 0.5", [](TALSignalGen& g) { g.SetAsymmetry(0.5); }, asymmetry, 0.5},
  };
  for (const TClampCase& c : cases) {
    auto g = CreateComponent<TALSignalGen>(nullptr);
    g->SetAsymmetry(0.25);  // a value none of the cases expects
    c.Set(*g);
    EXPECT_EQ(c.Get(*g), c.Expected) << c.Name;
  }
}

TEST_F(SignalGenTest, ANewGeneratorHasTheDocumentedDefaults) {
  auto g = CreateComponent<TALSignalGen>(nullptr);
  EXPECT_FALSE(g->GetEnabled());  // created by code: disabled
  EXPECT_EQ(g->GetPumpPriority(), 0);
  EXPECT_EQ(g->GetClockSource(), csInternal);
  EXPECT_EQ(g->GetSignalType(), atTone);
  EXPECT_EQ(g->GetPhase(), 0.0f);
  EXPECT_EQ(g->GetAmplitude(), 20000);
  EXPECT_EQ(g->GetFrequency(), 500.0);
  EXPECT_EQ(g->GetAsymmetry(), 0.0);
  EXPECT_EQ(g->GetAudioFormat().GetSampleRate(), 11025u);
  EXPECT_EQ(g->GetAudioFormat().GetChannels(), 2u);
  EXPECT_EQ(g->GetAudioFormat().GetBits(), 16u);
  EXPECT_EQ(g->GetAudioFormat().GetChannelMask().Mask(), 3u);
  EXPECT_EQ(g->GetAudioFormat().GetBufferSize(), 1024u);
  EXPECT_FALSE(g->IsRunning());
}

TEST_F(SignalGenTest, AssignCopiesThePublishedPropertiesByName) {
  auto source = CreateComponent<TALSignalGen>(nullptr);
  source->SetName("Source");
  source->SetSignalType(atSawToothDown);
  source->SetPhase(0.75f);
  source->SetAmplitude(1234);
  source->SetFrequency(321.0);
  source->SetAsymmetry(-1.0);
  source->SetPumpPriority(7);
  source->GetAudioFormat().SetSampleRate(48000);
  source->GetAudioFormat().SetBufferSize(480);
  auto copy = CreateComponent<TALSignalGen>(nullptr);
  copy->SetName("Copy");
  copy->Assign(*source);
  EXPECT_EQ(copy->GetName(), "Copy");
  EXPECT_EQ(copy->GetSignalType(), atSawToothDown);
  EXPECT_EQ(copy->GetPhase(), 0.75f);
  EXPECT_EQ(copy->GetAmplitude(), 1234);
  EXPECT_EQ(copy->GetFrequency(), 321.0);
  EXPECT_EQ(copy->GetAsymmetry(), -1.0);
  EXPECT_EQ(copy->GetPumpPriority(), 7);
  EXPECT_EQ(copy->GetAudioFormat().GetSampleRate(), 48000u);
  EXPECT_EQ(copy->GetAudioFormat().GetBufferSize(), 480u);
  EXPECT_FALSE(copy->IsRunning());
}

struct TSilenceCase {
  const char* Name;
  TALSignalType Type;
  double Frequency;
  std::int32_t Amplitude;
};

TEST_F(SignalGenTest, OutOfRangeParametersGiveSilentBuffersOfTheNormalSize) {
  const TSilenceCase cases[] = {
      {"tone 30000 Hz", atTone, 30000, 16383},
      {"tone 22050 Hz", atTone, 22050, 16383},
      {"triangle 30000 Hz", atTriangle, 30000, 16383},
      {"tone amplitude -5", atTone, 1000, -5},
      {"triangle amplitude 0", atTriangle, 1000, 0},
      {"tone 0 Hz", atTone, 0, 16383},
      {"triangle 0 Hz", atTriangle, 0, 16383},
      {"square 0 Hz", atSquare, 0, 16383},
      {"rising sawtooth 0 Hz", atSawToothUp, 0, 16383},
      {"falling sawtooth 0 Hz", atSawToothDown, 0, 16383},
  };
  for (const TSilenceCase& c : cases) {
    const std::vector<PALAudioBuffer> buffers = PullSignal(c.Type, c.Frequency, c.Amplitude, 2);
    ASSERT_EQ(buffers.size(), 2u) << c.Name;
    for (const PALAudioBuffer& b : buffers) EXPECT_EQ(b->GetSize(), 1024u) << c.Name;
    const std::vector<std::int16_t> samples = Channel0(buffers);
    EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](std::int16_t v) { return v == 0; })) << c.Name;
  }
}

TEST_F(SignalGenTest, ASquareWaveHoldsPlusAndMinusTheAmplitudeWithHalfTheTimeEach) {
  gen->SetSignalType(atSquare);
  gen->SetAmplitude(1000);
  const std::vector<std::int16_t> s = Run(4);
  int high = 0, low = 0;
  for (std::int16_t v : s) {
    ASSERT_TRUE(v == 1000 || v == -1000 || v == 0) << v;  // 0: exactly on the switching level
    high += v == 1000;
    low += v == -1000;
  }
  EXPECT_EQ(s[0], 1000);
  EXPECT_NEAR(static_cast<double>(high) / (high + low), 0.5, 0.02);
  // 1000 Hz: about 2 * 1000 * 4096 / 44100 switches.
  int switches = 0;
  for (std::size_t k = 1; k < s.size(); ++k) switches += (s[k] > 0) != (s[k - 1] > 0);
  EXPECT_NEAR(switches, 2 * 1000.0 * 4096 / 44100, 2);
}

TEST_F(SignalGenTest, AsymmetryMovesTheSquaresSwitchingLevel) {
  gen->SetSignalType(atSquare);
  gen->SetAmplitude(1000);
  gen->SetAsymmetry(0.5);  // level 16384 of the +-32767 triangle: a quarter of the time above
  const std::vector<std::int16_t> s = Run(4);
  const auto high = std::count(s.begin(), s.end(), std::int16_t{1000});
  const auto low = std::count(s.begin(), s.end(), std::int16_t{-1000});
  EXPECT_EQ(high + low, static_cast<long>(s.size()));
  EXPECT_NEAR(static_cast<double>(high) / static_cast<double>(s.size()), 0.25, 0.02);
}

TEST_F(SignalGenTest, ASawtoothAt4410HzRepeatsEveryElevenSamples) {
  for (TALSignalType type : {atSawToothUp, atSawToothDown}) {
    const std::vector<std::int16_t> v = Channel0(PullSignal(type, 4410, 16383, 3));
    ASSERT_EQ(v.size(), 3u * 1024u);
    for (std::size_t k = 0; k + 11 < v.size(); ++k) ASSERT_EQ(v[k + 11], v[k]) << "sample " << k;
    // One cycle: ten ramp steps from one extreme, then the other extreme.
    const int sign = type == atSawToothUp ? 1 : -1;
    EXPECT_EQ(v[0], -sign * 16383);
    EXPECT_EQ(v[10], sign * 16383);
    for (int k = 1; k <= 10; ++k) EXPECT_GT(sign * (v[k] - v[k - 1]), 0) << "sample " << k;
  }
}

TEST_F(SignalGenTest, EveryWaveformStaysWithinTheAmplitude) {
  for (TALSignalType type : {atTone, atTriangle, atSquare, atSawToothUp, atSawToothDown}) {
    const std::vector<std::int16_t> v = Channel0(PullSignal(type, 997, 12000, 3));
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    EXPECT_LE(*hi, 12000) << type;
    EXPECT_GE(*lo, -12000) << type;
    EXPECT_GT(*hi, 11000) << type;
    EXPECT_LT(*lo, -11000) << type;
  }
}

TEST_F(SignalGenTest, ARateAnnouncedDownstreamSetsTheRateTheWaveIsComputedFor) {
  gen->SetEnabled(true);
  TRefPtr<TOWStartSampleRateOperation> announce(new TOWStartSampleRateOperation());
  announce->SampleRate = 22050;
  sink.Send(announce.Get());
  sink.Pull();
  const std::vector<PALAudioBuffer> buffers = sink.Buffers();
  ASSERT_EQ(buffers.size(), 1u);
  EXPECT_EQ(buffers[0]->GetSampleRate(), 44100u);  // the format stays
  EXPECT_EQ(gen->GetAudioFormat().GetSampleRate(), 44100u);
  const double r = static_cast<float>(1000.0 / 22050.0);
  for (std::uint32_t k = 0; k < 1024; ++k)
    ASSERT_NEAR(buffers[0]->GetSample(k, 0), 16383 * std::cos(kTwoPi * r * k), 1.1) << k;
}

TEST_F(SignalGenTest, FrequencyIsSharedThroughTheFrequencyPin) {
  TRefPtr<TOWLock> lock = TOWLock::Create();
  float received = -1;
  TObject owner;
  TOWFloatStatePin other(&owner, lock.Get(), [&](TOWPin*, float AValue, bool) { received = AValue; });
  ASSERT_TRUE(other.Connect(&gen->GetFrequencyPin()));
  EXPECT_EQ(other.GetValue(), 1000.0f);  // a joining pin takes the value of the group
  gen->SetFrequency(440.0);
  EXPECT_EQ(received, 440.0f);
  other.SetValue(2500.0f);
  EXPECT_EQ(gen->GetFrequency(), 2500.0);
}

// A generator whose waveform is a fixed pattern, to see how the scratch block reaches every
// channel at every sample width.
class TPatternGen : public TALCommonGen {
 public:
  using TALCommonGen::TALCommonGen;
  ~TPatternGen() override { ShutDown(); }
  std::vector<std::int16_t> Pattern;

 protected:
  void GenerateBuffer(TALAudioBuffer& ABuffer, bool&, bool&) override {
    FIntVarBuffer.assign(ABuffer.GetSize(), 0);
    for (std::size_t i = 0; i < FIntVarBuffer.size(); ++i) FIntVarBuffer[i] = Pattern[i % Pattern.size()];
    WriteChannels(FIntVarBuffer, ABuffer);
  }
};

struct TWidthCase {
  std::uint32_t Bits;
  std::vector<std::int32_t> Expected;  // for the pattern below
};

TEST(WriteChannelsTest, EveryChannelGetsTheSamplesScaledAndSaturatedToTheBufferWidth) {
  TSimPlatform sim;
  const std::vector<std::int16_t> pattern = {-32768, -32767, -1, 0, 1, 16384, 32767};
  const TWidthCase cases[] = {
      {8, {0, 0, 127, 128, 128, 191, 255}},
      {16, {-32768, -32767, -1, 0, 1, 16384, 32767}},
      {24, {-8388608, -8388607, -256, 0, 256, 4194431, 8388607}},
      {32, {std::numeric_limits<std::int32_t>::min(), -2147483647, -65538, 0, 65538, 1073774592, 2147483647}},
  };
  for (const TWidthCase& c : cases) {
    TTestSink s;
    s.bClaim = true;
    auto g = CreateComponent<TPatternGen>(nullptr);
    g->Pattern = pattern;
    g->GetAudioFormat().SetChannels(3);
    g->GetAudioFormat().SetBits(c.Bits);
    g->GetAudioFormat().SetBufferSize(16);
    g->GetOutputPin().Connect(&s.Pin);
    g->SetEnabled(true);
    s.Pull();
    const std::vector<PALAudioBuffer> buffers = s.Buffers();
    ASSERT_EQ(buffers.size(), 1u) << c.Bits;
    TALAudioBuffer& b = *buffers[0];
    ASSERT_EQ(b.GetChannels(), 3u);
    ASSERT_EQ(b.GetSampleBitWidth(), c.Bits);
    const std::uint32_t bytes = c.Bits / 8;
    const std::uint8_t* data = b.GetReadPointer();
    for (std::uint32_t i = 0; i < b.GetSize(); ++i)
      for (std::uint32_t ch = 0; ch < 3; ++ch)
        ASSERT_EQ(ALLoadSample(data + i * b.GetBlockAlign() + ch * bytes, bytes), c.Expected[i % pattern.size()])
            << c.Bits << " bits, frame " << i << ", channel " << ch;
  }
}

}  // namespace
}  // namespace portwise

#include "asio/ALASIOConvert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace portwise {
namespace {

constexpr std::int32_t KMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t KMax = std::numeric_limits<std::int32_t>::max();

const TASIOSampleType KConvertedTypes[] = {0, 1, 2, 3, 4, 8, 9, 10, 11, 16, 17, 18, 19, 20, 24, 25, 26, 27};
const TASIOSampleType KUnconvertedTypes[] = {-1, 5, 6, 7, 12, 13, 14, 15, 21, 22, 23, 28, 31, 32, 1000};

bool IsMsb(TASIOSampleType t) { return t < 16; }

// Both implementations of each direction, so every table runs against the block kernels and the
// per-sample reference alike.
struct TImpl {
  const char* Name;
  bool (*Input)(TASIOSampleType, const void*, void*, std::uint32_t);
  bool (*Output)(TASIOSampleType, const void*, void*, std::uint32_t);
};
const TImpl KImpls[] = {{"block", &ALASIOConvertInput, &ALASIOConvertOutput},
                        {"reference", &ALASIOReferenceConvertInput, &ALASIOReferenceConvertOutput}};

// Runs `check` with the baseline kernels and, where the processor has them, the wide ones; the
// wide ones stay chosen afterwards, as at start-up.
template <class Check>
void ForEachKernelSet(Check check) {
  ALASIOUseWideKernels(false);
  check("baseline kernels");
  if (ALASIOUseWideKernels(true)) check("wide kernels");
}

template <class T>
std::vector<std::uint8_t> DriverBytes(const std::vector<T>& values, bool msb) {
  std::vector<std::uint8_t> bytes(values.size() * sizeof(T));
  std::memcpy(bytes.data(), values.data(), bytes.size());
  if (msb)
    for (std::size_t i = 0; i < bytes.size(); i += sizeof(T)) std::reverse(bytes.begin() + i, bytes.begin() + i + sizeof(T));
  return bytes;
}

std::vector<std::int32_t> AsInt32(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::int32_t> v(bytes.size() / 4);
  std::memcpy(v.data(), bytes.data(), v.size() * 4);
  return v;
}

// Runs one direction over `count` samples placed one byte past an aligned start, with a canary
// after the last output byte.
std::vector<std::uint8_t> Convert(bool (*fn)(TASIOSampleType, const void*, void*, std::uint32_t), TASIOSampleType type,
                              const std::vector<std::uint8_t>& in, std::uint32_t count, std::uint32_t outBytes) {
  std::vector<std::uint8_t> src(in.size() + 1), dst(std::size_t{count} * outBytes + 2, 0xA5);
  std::memcpy(src.data() + 1, in.data(), in.size());
  EXPECT_TRUE(fn(type, src.data() + 1, dst.data() + 1, count));
  EXPECT_EQ(dst.front(), 0xA5);
  EXPECT_EQ(dst.back(), 0xA5) << "written past the last sample";
  return {dst.begin() + 1, dst.end() - 1};
}

struct TFloatCase {
  double Value;
  std::int32_t Expected;
};

// Repeated past a vector width, so the wide loop and the tail both see every case.
template <class T>
void ExpectFloatInput(TASIOSampleType lsb, TASIOSampleType msb, const std::vector<TFloatCase>& cases) {
  std::vector<T> values;
  std::vector<std::int32_t> expected;
  for (int rep = 0; rep < 3; ++rep)
    for (const auto& c : cases) {
      values.push_back(static_cast<T>(c.Value));
      expected.push_back(c.Expected);
    }
  const auto n = static_cast<std::uint32_t>(values.size());
  ForEachKernelSet([&](const char* set) {
    for (const TImpl& impl : KImpls)
      for (TASIOSampleType type : {lsb, msb}) {
        const auto out = AsInt32(Convert(impl.Input, type, DriverBytes(values, type == msb), n, 4));
        for (std::size_t i = 0; i < cases.size(); ++i)
          EXPECT_EQ(out[i], expected[i]) << impl.Name << ", " << set << ", type " << type << " value " << values[i];
        EXPECT_EQ(out, expected) << impl.Name << ", " << set << ", type " << type;
      }
  });
}

TEST(ALASIOConvertTest, Float32InputScalesBy2Pow31RoundsToEvenAndSaturates) {
  const double ulp = std::ldexp(1.0, -31);  // one step of the 32-bit result
  ExpectFloatInput<float>(ASIOSTFloat32LSB, ASIOSTFloat32MSB,
                          {{0.5, 1073741824},
                           {-0.5, -1073741824},
                           {-1.0, KMin},
                           {1.0, KMax},
                           {0.0, 0},
                           {0.5 * ulp, 0},
                           {1.5 * ulp, 2},
                           {2.5 * ulp, 2},
                           {-2.5 * ulp, -2},
                           {3.5 * ulp, 4},
                           {0.7 * ulp, 1},
                           {2.0, KMax},
                           {-2.0, KMin},
                           {1e30, KMax},
                           {-1e30, KMin},
                           {HUGE_VAL, KMax},
                           {-HUGE_VAL, KMin},
                           {std::nan(""), 0}});
}

TEST(ALASIOConvertTest, Float64InputScalesBy2Pow31Minus1RoundsToEvenAndSaturates) {
  ExpectFloatInput<double>(ASIOSTFloat64LSB, ASIOSTFloat64MSB,
                           {{1.0, KMax},
                            {-1.0, -KMax},
                            {0.5, 1073741824},    // 1073741823.5: ties to the even neighbour
                            {-0.5, -1073741824},
                            {0.25, 536870912},    // 536870911.75
                            {0.0, 0},
                            {1.0 + 1e-9, KMax},
                            {-1.0 - 1e-9, KMin},  // -2147483649.1
                            {1e300, KMax},
                            {-1e300, KMin},
                            {HUGE_VAL, KMax},
                            {-HUGE_VAL, KMin},
                            {std::nan(""), 0}});
}

TEST(ALASIOConvertTest, FloatOutputDividesByTheSameScaleFactors) {
  const std::vector<std::int32_t> in = {1073741824, KMin, KMax, 0, -1073741824, 1, 3};
  const auto n = static_cast<std::uint32_t>(in.size());
  const std::vector<float> want32 = {0.5f, -1.0f, 1.0f, 0.0f, -0.5f, std::ldexp(1.0f, -31), 3 * std::ldexp(1.0f, -31)};
  const std::vector<double> want64 = {1073741824 / 2147483647.0, -2147483648.0 / 2147483647.0, 1.0, 0.0,
                                      -1073741824 / 2147483647.0, 1 / 2147483647.0, 3 / 2147483647.0};
  std::vector<std::uint8_t> bytes(in.size() * 4);
  std::memcpy(bytes.data(), in.data(), bytes.size());
  for (const TImpl& impl : KImpls) {
    EXPECT_EQ(Convert(impl.Output, ASIOSTFloat32LSB, bytes, n, 4), DriverBytes(want32, false)) << impl.Name;
    EXPECT_EQ(Convert(impl.Output, ASIOSTFloat32MSB, bytes, n, 4), DriverBytes(want32, true)) << impl.Name;
    EXPECT_EQ(Convert(impl.Output, ASIOSTFloat64LSB, bytes, n, 8), DriverBytes(want64, false)) << impl.Name;
    EXPECT_EQ(Convert(impl.Output, ASIOSTFloat64MSB, bytes, n, 8), DriverBytes(want64, true)) << impl.Name;
  }
  EXPECT_EQ(want64[2], 1.0);
}

TEST(ALASIOConvertTest, IntegerTypesAreCopiedOrByteReversedBothWays) {
  struct TCase {
    TASIOSampleType Type;
    std::vector<std::uint8_t> Driver;  // two samples as the driver holds them
    std::vector<std::uint8_t> Buffer;  // the same two samples, little-endian
  };
  const std::vector<std::uint8_t> b2 = {0x34, 0x12, 0x00, 0x80};
  const std::vector<std::uint8_t> b3 = {0x56, 0x34, 0x12, 0x01, 0x00, 0x80};
  const std::vector<std::uint8_t> b4 = {0x78, 0x56, 0x34, 0x12, 0x01, 0x00, 0x00, 0x80};
  const std::vector<std::uint8_t> m2 = {0x12, 0x34, 0x80, 0x00};
  const std::vector<std::uint8_t> m3 = {0x12, 0x34, 0x56, 0x80, 0x00, 0x01};
  const std::vector<std::uint8_t> m4 = {0x12, 0x34, 0x56, 0x78, 0x80, 0x00, 0x00, 0x01};
  const TCase cases[] = {{ASIOSTInt16LSB, b2, b2},   {ASIOSTInt24LSB, b3, b3},   {ASIOSTInt32LSB, b4, b4},
                         {ASIOSTInt32LSB16, b4, b4}, {ASIOSTInt32LSB18, b4, b4}, {ASIOSTInt32LSB20, b4, b4},
                         {ASIOSTInt32LSB24, b4, b4}, {ASIOSTInt16MSB, m2, b2},   {ASIOSTInt24MSB, m3, b3},
                         {ASIOSTInt32MSB, m4, b4},   {ASIOSTInt32MSB16, m4, b4}, {ASIOSTInt32MSB18, m4, b4},
                         {ASIOSTInt32MSB20, m4, b4}, {ASIOSTInt32MSB24, m4, b4}};
  for (const TImpl& impl : KImpls)
    for (const TCase& c : cases) {
      const std::uint32_t bytes = static_cast<std::uint32_t>(c.Driver.size() / 2);
      EXPECT_EQ(Convert(impl.Input, c.Type, c.Driver, 2, bytes), c.Buffer) << impl.Name << " in " << c.Type;
      EXPECT_EQ(Convert(impl.Output, c.Type, c.Buffer, 2, bytes), c.Driver) << impl.Name << " out " << c.Type;
    }
}

TEST(ALASIOConvertTest, BlockConversionsMatchTheReferenceBitForBit) {
  ForEachKernelSet([](const char* set) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_real_distribution<double> unit(-1.25, 1.25);
    for (TASIOSampleType type : KConvertedTypes) {
      const std::uint32_t driverBytes = ALASIODriverSampleBytes(type), bufferBytes = ALASIOBufferBits(type) / 8;
      for (std::uint32_t count : {1u, 3u, 4u, 5u, 8u, 15u, 24u, 33u, 1027u}) {
        for (int pass = 0; pass < 2; ++pass) {
          // Pass 0: arbitrary bytes (NaNs, infinities, denormals, huge values); pass 1: plausible audio.
          std::vector<std::uint8_t> in(std::size_t{count} * driverBytes);
          for (auto& b : in) b = static_cast<std::uint8_t>(byte(rng));
          if (pass == 1 && (type == 3 || type == 19 || type == 4 || type == 20))
            for (std::uint32_t i = 0; i < count; ++i) {
              std::uint8_t* p = in.data() + std::size_t{i} * driverBytes;
              if (driverBytes == 4) {
                const auto f = static_cast<float>(unit(rng));
                std::memcpy(p, &f, 4);
              } else {
                const double d = unit(rng);
                std::memcpy(p, &d, 8);
              }
              if (IsMsb(type)) std::reverse(p, p + driverBytes);
            }
          EXPECT_EQ(Convert(&ALASIOConvertInput, type, in, count, bufferBytes),
                    Convert(&ALASIOReferenceConvertInput, type, in, count, bufferBytes))
              << set << ", input, type " << type << ", " << count << " samples, pass " << pass;

          std::vector<std::uint8_t> out(std::size_t{count} * bufferBytes);
          for (auto& b : out) b = static_cast<std::uint8_t>(byte(rng));
          EXPECT_EQ(Convert(&ALASIOConvertOutput, type, out, count, driverBytes),
                    Convert(&ALASIOReferenceConvertOutput, type, out, count, driverBytes))
              << set << ", output, type " << type << ", " << count << " samples";
        }
      }
    }
  });
}

// The float inputs around every place where the rule changes (the limits, the last values that
// still round inside, ties, zeros, denormals, infinities, NaNs of both signs) in every lane of a
// vector: each kernel set against the reference.
TEST(ALASIOConvertTest, FloatInputAgreesWithTheReferenceAroundTheLimits) {
  std::vector<double> doubles;
  for (double limit : {2147483647.5, 2147483647.0, 2147483646.5, -2147483648.5, -2147483648.0, -2147483647.5,
                       1073741823.5, -1073741823.5, 0.5, -0.5}) {
    double x = limit / 2147483647.0;
    for (int k = 0; k < 3; ++k) x = std::nextafter(x, -HUGE_VAL);
    for (int k = 0; k < 7; ++k, x = std::nextafter(x, HUGE_VAL)) doubles.push_back(x);
  }
  std::vector<float> floats;
  for (float x : {1.0f, -1.0f, 0.5f, std::ldexp(1.5f, -31), std::ldexp(-2.5f, -31)})
  {
    float y = std::nextafter(std::nextafter(x, -2.0f), -2.0f);
    for (int k = 0; k < 5; ++k, y = std::nextafter(y, 2.0f)) floats.push_back(y);
  }
  const double specials[] = {0.0, -0.0, 1e-310, -1e-310, HUGE_VAL, -HUGE_VAL, std::nan(""), -std::nan("")};
  for (double d : specials) {
    doubles.push_back(d);
    floats.push_back(static_cast<float>(d));
  }
  floats.push_back(std::numeric_limits<float>::denorm_min());
  // Each value at every offset of the widest vector.
  auto spread = [](auto values) {
    decltype(values) all;
    for (std::size_t shift = 0; shift < 9; ++shift) {
      all.insert(all.end(), shift, 0);
      all.insert(all.end(), values.begin(), values.end());
    }
    return all;
  };
  doubles = spread(doubles);
  floats = spread(floats);
  ForEachKernelSet([&](const char* set) {
    for (TASIOSampleType type : {ASIOSTFloat32LSB, ASIOSTFloat32MSB, ASIOSTFloat64LSB, ASIOSTFloat64MSB}) {
      const bool wide = type == ASIOSTFloat64LSB || type == ASIOSTFloat64MSB;
      const auto in = wide ? DriverBytes(doubles, IsMsb(type)) : DriverBytes(floats, IsMsb(type));
      const auto n = static_cast<std::uint32_t>(wide ? doubles.size() : floats.size());
      const auto got = AsInt32(Convert(&ALASIOConvertInput, type, in, n, 4));
      for (std::uint32_t i = 0; i < n; ++i) {
        const std::int32_t want = wide ? ALReferenceFloat64ToInt32(doubles[i]) : ALReferenceFloat32ToInt32(floats[i]);
        ASSERT_EQ(got[i], want) << set << ", type " << type << ", sample " << i << " = "
                                << (wide ? doubles[i] : floats[i]);
      }
    }
  });
}

TEST(ALASIOConvertTest, ReferenceFloatRulesRoundHalfwayCasesToEven) {
  // Values whose scaled form lies exactly between two integers, away from zero and near the limits.
  for (std::int64_t k : {0LL, 1LL, 2LL, 1000001LL, -7LL, -8LL}) {
    const double half = static_cast<double>(k) + 0.5;
    const std::int64_t even = (k % 2 == 0) ? k : k + 1;
    EXPECT_EQ(ALReferenceFloat32ToInt32(static_cast<float>(std::ldexp(half, -31))), even) << half;
  }
  EXPECT_EQ(ALReferenceFloat32ToInt32(std::nextafter(1.0f, 0.0f)), 2147483520);
  EXPECT_EQ(ALReferenceFloat64ToInt32(-2147483648.0 / 2147483647.0), KMin);
}

TEST(ALASIOConvertTest, InputLeavesTheDriverHalfBufferUnchanged) {
  for (TASIOSampleType type : KConvertedTypes) {
    const std::uint32_t n = 13;
    std::vector<std::uint8_t> half(std::size_t{n} * ALASIODriverSampleBytes(type));
    for (std::size_t i = 0; i < half.size(); ++i) half[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const auto before = half;
    std::vector<std::uint8_t> buffer(std::size_t{n} * 4);
    ASSERT_TRUE(ALASIOConvertInput(type, half.data(), buffer.data(), n));
    EXPECT_EQ(half, before) << "type " << type;
  }
}

TEST(ALASIOConvertTest, TypesWithoutConversionAreNeitherReadNorWritten) {
  for (TASIOSampleType type : KUnconvertedTypes) {
    std::vector<std::uint8_t> target(64, 0x5A);
    EXPECT_FALSE(ALASIOConvertInput(type, nullptr, target.data(), 8)) << type;
    EXPECT_FALSE(ALASIOConvertOutput(type, nullptr, target.data(), 8)) << type;
    EXPECT_FALSE(ALASIOReferenceConvertInput(type, nullptr, target.data(), 8)) << type;
    EXPECT_FALSE(ALASIOReferenceConvertOutput(type, nullptr, target.data(), 8)) << type;
    EXPECT_FALSE(ALASIOSilence(type, target.data(), 8)) << type;
    EXPECT_FALSE(ALASIOOutputBuffer(type, nullptr, target.data(), 8)) << type;
    EXPECT_EQ(target, std::vector<std::uint8_t>(64, 0x5A)) << type;
    EXPECT_FALSE(ALASIOInputBuffer(type, target.data(), 8, 44100)) << type;
    EXPECT_EQ(ALASIOBufferBits(type), 0u);
    EXPECT_EQ(ALASIOStreamBits(type), 8u);
  }
}

TEST(ALASIOConvertTest, WidthsFollowTheSampleType) {
  struct TCase {
    TASIOSampleType Type;
    std::uint32_t DriverBytes, BufferBits;
  };
  const TCase cases[] = {{0, 2, 16},  {1, 3, 24},  {2, 4, 32},  {3, 4, 32},  {4, 8, 32},  {8, 4, 32},
                         {11, 4, 32}, {16, 2, 16}, {17, 3, 24}, {18, 4, 32}, {19, 4, 32}, {20, 8, 32},
                         {24, 4, 32}, {27, 4, 32}};
  for (const TCase& c : cases) {
    EXPECT_EQ(ALASIODriverSampleBytes(c.Type), c.DriverBytes) << c.Type;
    EXPECT_EQ(ALASIOBufferBits(c.Type), c.BufferBits) << c.Type;
    EXPECT_EQ(ALASIOStreamBits(c.Type), c.BufferBits) << c.Type;
  }
}

TEST(ALASIOConvertTest, SilenceIsZeroBytesOfTheDriverWidth) {
  for (TASIOSampleType type : KConvertedTypes) {
    const std::uint32_t n = 5, bytes = ALASIODriverSampleBytes(type);
    std::vector<std::uint8_t> half(n * bytes + 1, 0xEE);
    ASSERT_TRUE(ALASIOOutputBuffer(type, nullptr, half.data(), n));
    EXPECT_EQ(std::vector<std::uint8_t>(half.begin(), half.end() - 1), std::vector<std::uint8_t>(n * bytes, 0))
        << type;
    EXPECT_EQ(half.back(), 0xEE) << type;
  }
}

TEST(ALASIOConvertTest, InputBufferIsOneFrontLeftChannelOfTheTypeWidth) {
  const std::vector<float> half = {0.5f, -1.0f, 1.0f, 0.25f};
  PALAudioBuffer b = ALASIOInputBuffer(ASIOSTFloat32LSB, half.data(), 4, 48000);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->GetChannels(), 1u);
  EXPECT_EQ(b->GetSize(), 4u);
  EXPECT_EQ(b->GetSampleRate(), 48000u);
  EXPECT_EQ(b->GetBitsPerSample(), 32u);
  EXPECT_EQ(b->GetChannelMask().Mask(), 1u);
  EXPECT_EQ(b->GetSample(0, 0), 1073741824);
  EXPECT_EQ(b->GetSample(1, 0), KMin);
  EXPECT_EQ(b->GetSample(2, 0), KMax);
  EXPECT_EQ(b->GetSample(3, 0), 536870912);

  const std::uint8_t msb24[] = {0x12, 0x34, 0x56, 0xFF, 0xFF, 0xFE};
  PALAudioBuffer c = ALASIOInputBuffer(ASIOSTInt24MSB, msb24, 2, 44100);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->GetBitsPerSample(), 24u);
  EXPECT_EQ(c->GetByteSize(), 6u);
  const std::uint8_t* p = c->GetReadPointer();
  EXPECT_EQ(std::vector<std::uint8_t>(p, p + 6), (std::vector<std::uint8_t>{0x56, 0x34, 0x12, 0xFE, 0xFF, 0xFF}));
}

TEST(ALASIOConvertTest, OutputOfABufferOfTheWrongShapeIsSilence) {
  std::vector<std::uint8_t> half(8 * 4, 0x77);
  PALAudioBuffer stereo = TALAudioBuffer::CreateSize(44100, 32, 2, 8);
  PALAudioBuffer narrow = TALAudioBuffer::CreateSize(44100, 16, 1, 8);
  PALAudioBuffer shortOne = TALAudioBuffer::CreateSize(44100, 32, 1, 7);
  for (IALAudioBuffer* b : {static_cast<IALAudioBuffer*>(stereo.Get()), static_cast<IALAudioBuffer*>(narrow.Get()),
                            static_cast<IALAudioBuffer*>(shortOne.Get())}) {
    std::fill(half.begin(), half.end(), 0x77);
    EXPECT_TRUE(ALASIOOutputBuffer(ASIOSTInt32LSB, b, half.data(), 8));
    EXPECT_EQ(half, std::vector<std::uint8_t>(8 * 4, 0));
  }
  PALAudioBuffer good = TALAudioBuffer::CreateSize(44100, 32, 1, 8);
  for (std::uint32_t i = 0; i < 8; ++i) good->SetSample(i, 0, static_cast<std::int32_t>(i) << 28);
  EXPECT_TRUE(ALASIOOutputBuffer(ASIOSTFloat32LSB, good.Get(), half.data(), 8));
  float f[8];
  std::memcpy(f, half.data(), sizeof f);
  EXPECT_EQ(f[2], 0.25f);
  EXPECT_EQ(f[7], 7 * 0.125f);
}

}  // namespace
}  // namespace portwise

namespace portwise {
namespace {

// Every byte-reversal kernel, out of place and in place, against reversing each sample's bytes.
TEST(ALASIOConvertTest, ByteReversalKernelsReverseEverySampleInPlaceOrNot) {
  using TSwap = void (*)(const void*, void*, std::uint32_t);
  const std::pair<TSwap, std::uint32_t> kernels[] = {
      {&ALSwapBytes16, 2}, {&ALSwapBytes24, 3}, {&ALSwapBytes32, 4}, {&ALSwapBytes64, 8}};
  ForEachKernelSet([&](const char* set) {
    for (const auto& [swap, width] : kernels) {
      for (std::uint32_t count : {1u, 5u, 6u, 7u, 17u, 40u, 1027u}) {
        std::vector<std::uint8_t> in(std::size_t{count} * width);
        for (std::size_t k = 0; k < in.size(); ++k) in[k] = static_cast<std::uint8_t>(k * 131 + 7);
        std::vector<std::uint8_t> want(in.size());
        for (std::size_t s = 0; s < count; ++s)
          for (std::uint32_t b = 0; b < width; ++b) want[s * width + b] = in[s * width + width - 1 - b];
        std::vector<std::uint8_t> out(in.size() + 1, 0x5A);
        swap(in.data(), out.data(), count);
        EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.end() - 1), want) << set << ", " << width << " bytes, " << count;
        EXPECT_EQ(out.back(), 0x5A) << set << ", written beyond the end: " << width << " bytes, " << count;
        std::vector<std::uint8_t> same = in;
        swap(same.data(), same.data(), count);
        EXPECT_EQ(same, want) << set << ", in place, " << width << " bytes, " << count;
      }
    }
  });
}

}  // namespace
}  // namespace portwise

#include "core/ALAudioBuffer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "core/ALSampleConvert.h"
#include "tests/unit/core/HeapCount.h"

// Heap allocations made by the current thread, counted by replacing the global allocation
// functions of this test program.
namespace {
thread_local std::size_t GHeapAllocations = 0;

void* CountedAlloc(std::size_t n) {
  ++GHeapAllocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return CountedAlloc(n); }
void* operator new[](std::size_t n) { return CountedAlloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  ++GHeapAllocations;
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  ++GHeapAllocations;
  return std::malloc(n ? n : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace portwise::test {
std::size_t HeapAllocationsOfThisThread() { return GHeapAllocations; }
}  // namespace portwise::test

namespace portwise {
namespace {

constexpr std::int32_t KInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t KInt32Max = std::numeric_limits<std::int32_t>::max();

std::string RangeErrorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const ESLRangeError& e) {
    return e.what();
  }
  return "(no range error)";
}

// Fills every sample of a 16-bit buffer with frame * 16 + channel + 1.
void FillPattern16(TALAudioBuffer& b) {
  for (std::uint32_t f = 0; f < b.GetSize(); ++f)
    for (std::uint32_t c = 0; c < b.GetChannels(); ++c)
      b.SetSample(f, c, static_cast<std::int32_t>(f * 16 + c + 1));
}

// ------------------------------------------------------------------ construction and queries

TEST(ALAudioBufferCreate, SizesAStereoSixteenBitBufferOfTenTwentyFourFrames) {
  PALAudioBuffer b = TALAudioBuffer::CreateSize(44100, 16, 2, 1024);
  EXPECT_EQ(b->GetByteSize(), 4096u);
  EXPECT_EQ(b->GetCharSize(), 4136u);
  EXPECT_EQ(b->GetDataContainer()->GetAllocatedSize(), 8192u);
  EXPECT_EQ(b->GetSize(), 1024u);
  EXPECT_EQ(b->GetChannelMask().Mask(), 3u);
  EXPECT_EQ(b->GetReadPointer(), b->GetDataContainer()->GetDataPtr() + 40);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b->GetDataContainer()->GetDataPtr()) % 32, 0u);

  TALWaveFormatExtensible w = b->GetWaveFormat();
  EXPECT_EQ(w.wFormatTag, 0xFFFE);
  EXPECT_EQ(w.nChannels, 2);
  EXPECT_EQ(w.nSamplesPerSec, 44100u);
  EXPECT_EQ(w.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(w.nBlockAlign, 4);
  EXPECT_EQ(w.wBitsPerSample, 16);
  EXPECT_EQ(w.cbSize, 22);
  EXPECT_EQ(w.wValidBitsPerSample, 16);
  EXPECT_EQ(w.dwChannelMask, 3u);
  EXPECT_TRUE(w.SubFormat == ALSubFormatPCM);
  EXPECT_EQ(std::memcmp(b->GetWaveFormatPtr(), b->GetDataContainer()->GetDataPtr(), 40), 0);
}

TEST(ALAudioBufferCreate, MakesAnEmptyMonoEightBitBufferByDefault) {
  PALAudioBuffer b = TALAudioBuffer::Create();
  TALWaveFormatExtensible w = b->GetWaveFormat();
  EXPECT_EQ(w.nChannels, 1);
  EXPECT_EQ(w.nSamplesPerSec, 11025u);
  EXPECT_EQ(w.wBitsPerSample, 8);
  EXPECT_EQ(w.nBlockAlign, 1);
  EXPECT_EQ(w.nAvgBytesPerSec, 11025u);
  EXPECT_EQ(w.dwChannelMask, 1u);
  EXPECT_EQ(b->GetCharSize(), 40u);
  EXPECT_EQ(b->GetByteSize(), 0u);
  EXPECT_EQ(b->GetSize(), 0u);
}

TEST(ALAudioBufferCreate, RoundsTheContainerUpToWholeBytes) {
  struct {
    std::uint32_t Bits, Channels, Container, BlockAlign;
  } cases[] = {{12, 2, 16, 4}, {24, 2, 24, 6}, {24, 5, 24, 15}, {1, 1, 8, 1}, {20, 3, 24, 9}, {32, 2, 32, 8}};
  for (auto& c : cases) {
    PALAudioBuffer b = TALAudioBuffer::CreateSize(48000, c.Bits, c.Channels, 10);
    EXPECT_EQ(b->GetSampleBitWidth(), c.Container) << c.Bits;
    EXPECT_EQ(b->GetBitsPerSample(), c.Bits);
    EXPECT_EQ(b->GetBlockAlign(), c.BlockAlign) << c.Bits;
    EXPECT_EQ(b->GetByteSize(), 10 * c.BlockAlign);
    EXPECT_EQ(b->GetSize(), 10u);
    EXPECT_EQ(b->GetWaveFormat().nAvgBytesPerSec, 48000 * c.BlockAlign);
  }
}

TEST(ALAudioBufferCreate, TrimsASpeakerMaskToItsFirstChannelsAmongTheLowSeventeenPositions) {
  struct {
    std::uint32_t Mask, Channels, Expected;
  } cases[] = {
      {0x3F, 2, 0x3},          {0x3F, 8, 0x3F},       {0, 2, 0x3},       {0, 6, 0x3F},
      {0x34, 2, 0x14},         {0x10003, 1, 0x1},     {0x60001, 2, 0x60001},  // fewer set bits below 17
      {0x1FFFF, 17, 0x1FFFF},  {0x3FFFF, 17, 0x1FFFF}, {0, 32, 0xFFFFFFFF},
  };
  for (auto& c : cases) {
    PALAudioBuffer b = TALAudioBuffer::CreateSizeEx(44100, 16, c.Channels, 4, TALSpeakers::FromMask(c.Mask));
    EXPECT_EQ(b->GetChannelMask().Mask(), c.Expected) << std::hex << c.Mask << " / " << std::dec << c.Channels;
    EXPECT_EQ(b->GetWaveFormat().dwChannelMask, c.Expected);
  }
}

TEST(ALAudioBufferCreate, CopiesTheGivenSamplesAndKeepsAnExplicitMaskWhole) {
  std::vector<std::int16_t> samples = {1, -2, 3, -4, 5, -6};
  PALAudioBuffer plain = TALAudioBuffer::CreateData(samples.data(), 22050, 16, 2, 3);
  EXPECT_EQ(std::memcmp(plain->GetReadPointer(), samples.data(), 12), 0);
  EXPECT_EQ(plain->GetChannelMask().Mask(), 3u);
  EXPECT_EQ(plain->GetSample(2, 1), -6);

  PALAudioBuffer ex = TALAudioBuffer::CreateDataEx(samples.data(), 22050, 16, 2, 3, TALSpeakers::FromMask(0x3F));
  EXPECT_EQ(ex->GetChannelMask().Mask(), 0x3Fu);
  EXPECT_EQ(std::memcmp(ex->GetReadPointer(), samples.data(), 12), 0);
}

TEST(ALAudioBufferCreate, BuildsFromAWaveFormatRecord) {
  PALAudioBuffer model = TALAudioBuffer::CreateSizeEx(96000, 20, 3, 1, TALSpeakers::FromMask(0x0B));
  PALAudioBuffer b = TALAudioBuffer::CreateWaveFormat(model->GetWaveFormat(), 100);
  EXPECT_EQ(b->GetSampleRate(), 96000u);
  EXPECT_EQ(b->GetBitsPerSample(), 20u);
  EXPECT_EQ(b->GetSampleBitWidth(), 24u);
  EXPECT_EQ(b->GetChannels(), 3u);
  EXPECT_EQ(b->GetChannelMask().Mask(), 0x0Bu);
  EXPECT_EQ(b->GetSize(), 100u);
}

TEST(ALAudioBufferCreate, RefusesMoreThanTwoToTheThirtyBytesWithOutOfMemory) {
  TSLSmartBufferManager& pool = TSLSmartBufferManager::Instance();
  std::int64_t heap = pool.HeapBlocks();
  // 2^23 frames of 32 channels of 32 bits: 2^30 sample bytes plus the header.
  try {
    TALAudioBuffer::CreateSize(44100, 32, 32, 1u << 23);
    FAIL() << "a short block was served";
  } catch (const ESLOutOfMemory& e) {
    EXPECT_STREQ(e.what(), "Out of memory");
  }
  EXPECT_EQ(pool.HeapBlocks(), heap);
}

TEST(ALAudioBufferCreate, SharesTheStorageOfTheBufferItIsMadeFrom) {
  PALAudioBuffer a = TALAudioBuffer::CreateSize(44100, 16, 2, 64);
  a->AddCustomData(TRefPtr<ISLUnknown>(TALAudioBuffer::Create().Get()));
  TRefPtr<ISLData> data(a.Get());
  std::vector<PALAudioBuffer> views = {TALAudioBuffer::CreateEx(*a), TALAudioBuffer::CreateCopy(a.Get()),
                                       TALAudioBuffer::CreateUniversal(data.Get())};
  TSLSmartBuffer* block = a->GetDataContainer();
  EXPECT_EQ(block->CountOwners(), 4);
  EXPECT_EQ(block->CountTransports(), 4);
  for (auto& v : views) {
    EXPECT_EQ(v->GetDataContainer(), block);
    EXPECT_EQ(v->GetCharSize(), a->GetCharSize());
    EXPECT_EQ(v->GetReadPointer(), a->GetReadPointer());
    EXPECT_EQ(v->GetSize(), 64u);
    EXPECT_EQ(v->GetCustomData().size(), 1u);
  }
  views.clear();
  EXPECT_EQ(block->CountOwners(), 1);
  EXPECT_EQ(block->CountTransports(), 1);
  EXPECT_FALSE(TALAudioBuffer::CreateUniversal(nullptr));
  EXPECT_FALSE(TALAudioBuffer::CreateCopy(nullptr));
}

// A view made from another has stamps of its own block: once it has a block of its own, its time
// stamp and sequence number are no longer the other view's, and they outlive the other view.
TEST(ALAudioBufferCreate, AViewMadeFromAnotherStampsItsOwnBlock) {
  const std::function<PALAudioBuffer(TALAudioBuffer&)> makers[] = {
      [](TALAudioBuffer& a) { return TALAudioBuffer::CreateEx(a); },
      [](TALAudioBuffer& a) { return TALAudioBuffer::CreateCopy(&a); },
      [](TALAudioBuffer& a) { return PALAudioBuffer(dynamic_cast<TALAudioBuffer*>(a.MakeCopy().Get())); },
  };
  for (std::size_t k = 0; k < std::size(makers); ++k) {
    PALAudioBuffer a = TALAudioBuffer::CreateSize(44100, 16, 2, 64);
    PALAudioBuffer b = makers[k](*a);
    ASSERT_TRUE(b->MakeUnique(true));
    b->GetTimeStamp().SetTimes(5, 9);
    b->GetSequenceStamp().SetBufferNumber(3);
    EXPECT_FALSE(a->GetTimeStamp().GetAvailable()) << "maker " << k;
    EXPECT_FALSE(a->GetSequenceStamp().GetAvailable()) << "maker " << k;
    a.Reset();
    EXPECT_TRUE(b->GetTimeStamp().GetAvailable()) << "maker " << k;
    EXPECT_EQ(b->GetTimeStamp().GetEnd(), 9) << "maker " << k;
    EXPECT_EQ(b->GetSequenceStamp().GetBufferNumber(), 3) << "maker " << k;
  }
}

// ------------------------------------------------------------------ copy on write

class ALAudioBufferTwoViews : public ::testing::Test {
 protected:
  void SetUp() override {
    First = TALAudioBuffer::CreateSize(44100, 16, 2, 256);
    FillPattern16(*First);
    First->GetSequenceStamp().SetBufferNumber(42);
    First->GetTimeStamp().SetTimes(100, 200);
    Second = TALAudioBuffer::CreateEx(*First);
  }
  PALAudioBuffer First, Second;
};

TEST_F(ALAudioBufferTwoViews, SeeOneSequenceNumberAndTimeStampWhileTheyShare) {
  EXPECT_EQ(Second->GetSequenceStamp().GetBufferNumber(), 42);
  Second->GetTimeStamp().SetAvailable(false);
  EXPECT_FALSE(First->GetTimeStamp().GetAvailable());
  EXPECT_EQ(First->GetTimeStamp().GetBegin(), 100);
}

TEST_F(ALAudioBufferTwoViews, WritingThroughTheSecondLeavesTheFirstUnchanged) {
  TSLSmartBuffer* shared = First->GetDataContainer();
  std::uint8_t* w = Second->GetWritePointer();
  EXPECT_NE(Second->GetDataContainer(), shared);
  EXPECT_EQ(First->GetDataContainer(), shared);
  EXPECT_EQ(shared->CountOwners(), 1);
  std::memset(w, 0x7F, Second->GetByteSize());
  for (std::uint32_t f = 0; f < First->GetSize(); ++f) ASSERT_EQ(First->GetSample(f, 1), std::int32_t(f * 16 + 2));
  // The new block keeps the header (and so the format) and the time stamps, not the sequence number.
  EXPECT_EQ(Second->GetSize(), 256u);
  EXPECT_EQ(Second->GetChannels(), 2u);
  EXPECT_EQ(Second->GetTimeStamp().GetEnd(), 200);
  EXPECT_FALSE(Second->GetSequenceStamp().GetAvailable());
}

TEST_F(ALAudioBufferTwoViews, ModifyingThroughTheSecondKeepsItsSamples) {
  Second->SetSample(3, 0, -1234);
  EXPECT_NE(Second->GetDataContainer(), First->GetDataContainer());
  EXPECT_EQ(Second->GetSample(3, 0), -1234);
  EXPECT_EQ(Second->GetSample(4, 0), 4 * 16 + 1);
  EXPECT_EQ(First->GetSample(3, 0), 3 * 16 + 1);
}

TEST_F(ALAudioBufferTwoViews, WriteInPlaceOnceTheFirstGaveUpOwnerShip) {
  First->RemoveOwnerShip();
  TSLSmartBuffer* shared = First->GetDataContainer();
  EXPECT_EQ(shared->CountOwners(), 1);
  EXPECT_EQ(shared->CountTransports(), 2);
  EXPECT_FALSE(Second->MakeUnique(true));
  Second->SetSample(0, 0, 999);
  EXPECT_EQ(Second->GetDataContainer(), shared);
  EXPECT_EQ(First->GetSample(0, 0), 999);  // the reader keeps reading the block
  // Releasing the non-owner leaves the owner count alone.
  First.Reset();
  EXPECT_EQ(shared->CountOwners(), 1);
  EXPECT_EQ(shared->CountTransports(), 1);
}

TEST_F(ALAudioBufferTwoViews, MakeUniqueReportsWhetherItCopied) {
  EXPECT_TRUE(First->MakeUnique(true));
  EXPECT_FALSE(First->MakeUnique(true));
  EXPECT_FALSE(Second->MakeUnique(true));
  EXPECT_EQ(First->GetSample(10, 1), 10 * 16 + 2);
  EXPECT_EQ(First->GetDataContainer()->CountTransports(), 1);
  EXPECT_EQ(Second->GetDataContainer()->CountTransports(), 1);
}

// ------------------------------------------------------------------ resize

TEST(ALAudioBufferResize, ShrinksWithoutReallocating) {
  PALAudioBuffer b = TALAudioBuffer::CreateSize(44100, 16, 2, 1024);
  PALAudioBuffer other = TALAudioBuffer::CreateEx(*b);  // shared: still no copy when shrinking
  TSLSmartBuffer* block = b->GetDataContainer();
  b->Resize(100, false);
  EXPECT_EQ(b->GetDataContainer(), block);
  EXPECT_EQ(b->GetSize(), 100u);
  EXPECT_EQ(b->GetCharSize(), 440u);
  EXPECT_EQ(other->GetSize(), 1024u);
  b->Resize(0, false);
  EXPECT_EQ(b->GetSize(), 100u);
}

TEST(ALAudioBufferResize, GrowsInPlaceForTheSingleOwnerWithinTheCapacity) {
  PALAudioBuffer b = TALAudioBuffer::CreateSize(44100, 16, 2, 1024);
  FillPattern16(*b);
  TSLSmartBuffer* block = b->GetDataContainer();
  b->Resize(2038, false);  // 2038 * 4 + 40 = 8192
  EXPECT_EQ(b->GetDataContainer(), block);
  EXPECT_EQ(b->GetSize(), 2038u);
  EXPECT_EQ(b->GetSample(1023, 1), 1023 * 16 + 2);
}

TEST(ALAudioBufferResize, ReallocatesBeyondTheCapacityKeepingSamplesWhenAsked) {
  PALAudioBuffer b = TALAudioBuffer::CreateSize(44100, 16, 2, 1024);
  FillPattern16(*b);
  b->GetTimeStamp().SetTimes(5, 6);
  TSLSmartBuffer* block = b->GetDataContainer();
  b->Resize(2039, true);
  EXPECT_NE(b->GetDataContainer(), block);
  EXPECT_EQ(b->GetDataContainer()->GetAllocatedSize(), 16384u);
  EXPECT_EQ(b->GetSize(), 2039u);
  EXPECT_EQ(b->GetChannels(), 2u);
  EXPECT_EQ(b->GetSample(1023, 1), 1023 * 16 + 2);
  EXPECT_EQ(b->GetDataContainer()->CountOwners(), 1);
}

TEST(ALAudioBufferResize, GivesASharedBufferABlockOfItsOwnWhenGrowing) {
  PALAudioBuffer a = TALAudioBuffer::CreateSize(44100, 16, 2, 16);
  FillPattern16(*a);
  PALAudioBuffer b = TALAudioBuffer::CreateEx(*a);
  b->Resize(20, true);  // fits the capacity, but the block is shared
  EXPECT_NE(b->GetDataContainer(), a->GetDataContainer());
  EXPECT_EQ(b->GetSample(15, 0), 15 * 16 + 1);
  b->SetSample(15, 0, -7);
  EXPECT_EQ(a->GetSample(15, 0), 15 * 16 + 1);
  EXPECT_EQ(a->GetSize(), 16u);
  EXPECT_EQ(a->GetDataContainer()->CountOwners(), 1);
}

// ------------------------------------------------------------------ per-sample access

TEST(ALAudioBufferSamples, ReportsTheOffendingChannelOrIndex) {
  PALAudioBuffer b = TALAudioBuffer::CreateSize(44100, 16, 2, 1024);
  EXPECT_EQ(RangeErrorText([&] { b->GetSample(1024, 0); }), "Index out of range = 1024");
  EXPECT_EQ(RangeErrorText([&] { b->GetSample(0, 2); }), "Channel out of range = 2");
  EXPECT_EQ(RangeErrorText([&] { b->SetSample(5000, 1, 0); }), "Index out of range = 5000");
  EXPECT_EQ(RangeErrorText([&] { b->SetSample(0, 7, 0); }), "Channel out of range = 7");
  EXPECT_EQ(RangeErrorText([&] { TALAudioBuffer::Create()->GetSample(0, 0); }), "Index out of range = 0");
}

TEST(ALAudioBufferSamples, LeavesASharedBufferAloneOnARefusedWrite) {
  PALAudioBuffer a = TALAudioBuffer::CreateSize(44100, 16, 2, 4);
  PALAudioBuffer b = TALAudioBuffer::CreateEx(*a);
  EXPECT_THROW(b->SetSample(4, 0, 1), ESLRangeError);
  EXPECT_EQ(b->GetDataContainer(), a->GetDataContainer());
}

TEST(ALAudioBufferSamples, ReadsEachWidthAsItsDocumentedValue) {
  struct {
    std::uint32_t Bits;
    std::int32_t Written, Read;
  } cases[] = {
      {8, 200, 200},        {8, -1, 255},             {16, -5, -5},           {16, 40000, 40000 - 65536},
      {24, -1, 0xFFFFFF},   {24, 0x123456, 0x123456}, {24, -8388608, 0x800000}, {32, KInt32Min, KInt32Min},
      {32, 123456789, 123456789},
  };
  for (auto& c : cases) {
    PALAudioBuffer b = TALAudioBuffer::CreateSize(44100, c.Bits, 3, 2);
    std::memset(b->GetWritePointer(), 0, b->GetByteSize());
    b->SetSample(1, 2, c.Written);
    EXPECT_EQ(b->GetSample(1, 2), c.Read) << c.Bits << " bits, written " << c.Written;
    EXPECT_EQ(b->GetSample(1, 1), 0);
    EXPECT_EQ(b->GetSample(0, 2), 0);
  }
}

// ------------------------------------------------------------------ frame copy

PALAudioBuffer Buffer16(std::uint32_t channels, std::uint32_t mask, std::uint32_t frames) {
  return TALAudioBuffer::CreateDataEx(nullptr, 44100, 16, channels, frames, TALSpeakers::FromMask(mask));
}

TEST(ALAudioBufferFrameCopy, PairsChannelsBySpeakerPosition) {
  // For every target channel: the source channel it receives, 0 for zero filling (written as
  // -1 below), or 'untouched' (the 0x5555 pre-fill stays).
  constexpr std::int32_t Z = -1, U = -2;
  struct {
    const char* Name;
    std::uint32_t SourceChannels, SourceMask, TargetChannels, TargetMask;
    std::vector<std::int32_t> Expected;
  } cases[] = {
      {"stereo to front left", 2, 0x3, 1, 0x1, {0}},
      {"stereo to front right only", 2, 0x3, 1, 0x2, {1}},
      {"stereo into 3.0", 2, 0x3, 3, 0x7, {0, 1, Z}},
      {"hole in the source mask", 2, 0x5, 3, 0x7, {0, Z, 1}},
      {"hole in the target mask", 3, 0x7, 2, 0x5, {0, 2}},
      {"source speaker missing in the target", 3, 0x7, 2, 0x6, {1, 2}},
      {"extra source channel beyond its mask", 3, 0x3, 2, 0x3, {0, 1}},
      {"extra target channel beyond its mask", 2, 0x3, 3, 0x3, {0, 1, U}},
      {"target mask names more speakers than channels", 2, 0x3, 1, 0x3, {0}},
      {"source mask names more speakers than channels", 1, 0x3, 2, 0x3, {0, Z}},
      {"no common speaker", 1, 0x4, 2, 0x3, {Z, Z}},
      {"5.1 into stereo", 6, 0x3F, 2, 0x3, {0, 1}},
      {"side speakers", 4, 0x603, 4, 0x630, {Z, Z, 2, 3}},
  };
  for (auto& c : cases) {
    PALAudioBuffer src = Buffer16(c.SourceChannels, c.SourceMask, 8);
    PALAudioBuffer dst = Buffer16(c.TargetChannels, c.TargetMask, 8);
    ASSERT_EQ(dst->GetChannelMask().Mask(), c.TargetMask);
    for (std::uint32_t f = 0; f < 8; ++f) {
      for (std::uint32_t ch = 0; ch < c.SourceChannels; ++ch) src->SetSample(f, ch, std::int32_t(100 * ch + f + 1));
      for (std::uint32_t ch = 0; ch < c.TargetChannels; ++ch) dst->SetSample(f, ch, 0x5555);
    }
    src->CopyTo(0, dst.Get(), 0, 8);
    for (std::uint32_t ch = 0; ch < c.TargetChannels; ++ch) {
      for (std::uint32_t f = 0; f < 8; ++f) {
        std::int32_t want = c.Expected[ch] == Z ? 0 : c.Expected[ch] == U ? 0x5555 : 100 * c.Expected[ch] + f + 1;
        ASSERT_EQ(dst->GetSample(f, ch), want) << c.Name << ": channel " << ch << " frame " << f;
      }
    }
  }
}

TEST(ALAudioBufferFrameCopy, CopiesFromAndToTheGivenFramesAndStopsAtTheBufferEnds) {
  PALAudioBuffer src = Buffer16(1, 1, 10);
  PALAudioBuffer dst = Buffer16(1, 1, 10);
  for (std::uint32_t f = 0; f < 10; ++f) {
    src->SetSample(f, 0, std::int32_t(f + 1));
    dst->SetSample(f, 0, -1);
  }
  src->CopyTo(2, dst.Get(), 5, 3);
  std::vector<std::int32_t> got;
  for (std::uint32_t f = 0; f < 10; ++f) got.push_back(dst->GetSample(f, 0));
  EXPECT_EQ(got, (std::vector<std::int32_t>{-1, -1, -1, -1, -1, 3, 4, 5, -1, -1}));

  src->CopyTo(6, dst.Get(), 0, 100);  // four source frames left
  got.clear();
  for (std::uint32_t f = 0; f < 10; ++f) got.push_back(dst->GetSample(f, 0));
  EXPECT_EQ(got, (std::vector<std::int32_t>{7, 8, 9, 10, -1, 3, 4, 5, -1, -1}));

  src->CopyTo(0, dst.Get(), 8, 100);  // two target frames left
  EXPECT_EQ(dst->GetSample(8, 0), 1);
  EXPECT_EQ(dst->GetSample(9, 0), 2);
  src->CopyTo(10, dst.Get(), 0, 1);  // past the end: nothing
  EXPECT_EQ(dst->GetSample(0, 0), 7);
}

// A copy whose frames overlap in one block: the target frames receive the source frames as they
// were before the copy, whichever way the ranges overlap, into the buffer itself or into another
// view of its block that writes in place.
TEST(ALAudioBufferFrameCopy, CopiesOverlappingFramesOfOneBlockAsTheyWereBefore) {
  struct TCase {
    std::uint32_t Channels, From, To, Count;
    bool bOtherView;
  } const cases[] = {{1, 0, 3, 10, false}, {2, 0, 1, 12, false}, {1, 5, 2, 10, false},
                     {2, 4, 0, 9, false},  {1, 0, 4, 8, true},   {2, 6, 1, 10, true}};
  for (const TCase& c : cases) {
    PALAudioBuffer buffer = Buffer16(c.Channels, c.Channels == 1 ? 0x1 : 0x3, 16);
    FillPattern16(*buffer);
    PALAudioBuffer target = buffer;
    if (c.bOtherView) {
      target = TALAudioBuffer::CreateEx(*buffer);
      buffer->RemoveOwnerShip();  // the target is the single owner: it writes the shared block
    }
    std::vector<std::int32_t> before;
    for (std::uint32_t f = 0; f < 16; ++f)
      for (std::uint32_t ch = 0; ch < c.Channels; ++ch) before.push_back(buffer->GetSample(f, ch));
    std::vector<std::int32_t> want = before;
    for (std::uint32_t i = 0; i < c.Count; ++i)
      for (std::uint32_t ch = 0; ch < c.Channels; ++ch)
        want[(c.To + i) * c.Channels + ch] = before[(c.From + i) * c.Channels + ch];

    buffer->CopyTo(c.From, target.Get(), c.To, c.Count);
    ASSERT_EQ(target->GetReadPointer(), buffer->GetReadPointer());  // still one block
    std::vector<std::int32_t> got;
    for (std::uint32_t f = 0; f < 16; ++f)
      for (std::uint32_t ch = 0; ch < c.Channels; ++ch) got.push_back(target->GetSample(f, ch));
    EXPECT_EQ(got, want) << c.Channels << " channels, " << c.Count << " frames " << c.From << " -> " << c.To
                         << (c.bOtherView ? " through another view" : "");
  }
}

TEST(ALAudioBufferFrameCopy, ZeroFillsAnEightBitTargetWithZero) {
  PALAudioBuffer src = Buffer16(1, 0x1, 4);
  PALAudioBuffer dst = TALAudioBuffer::CreateDataEx(nullptr, 44100, 8, 2, 4, TALSpeakers::FromMask(0x3));
  for (std::uint32_t f = 0; f < 4; ++f) {
    src->SetSample(f, 0, 32767);
    dst->SetSample(f, 1, 0x80);
  }
  src->CopyTo(0, dst.Get(), 0, 4);
  for (std::uint32_t f = 0; f < 4; ++f) {
    EXPECT_EQ(dst->GetSample(f, 0), 255);
    EXPECT_EQ(dst->GetSample(f, 1), 0);
  }
}

TEST(ALAudioBufferFrameCopy, WritesIntoATargetSharedWithAnotherViewOnlyAfterCopyingIt) {
  PALAudioBuffer src = Buffer16(1, 1, 4);
  PALAudioBuffer dst = Buffer16(1, 1, 4);
  std::memset(dst->GetWritePointer(), 0, dst->GetByteSize());
  PALAudioBuffer keeper = TALAudioBuffer::CreateEx(*dst);
  src->SetSample(0, 0, 77);
  src->CopyTo(0, dst.Get(), 0, 4);
  EXPECT_EQ(dst->GetSample(0, 0), 77);
  EXPECT_EQ(keeper->GetSample(0, 0), 0);
}

// One sample converted by the frame copy between two one-channel buffers.
std::int32_t CopyOne(std::uint32_t fromBits, std::int32_t x, std::uint32_t toBits) {
  PALAudioBuffer src = TALAudioBuffer::CreateSize(44100, fromBits, 1, 1);
  PALAudioBuffer dst = TALAudioBuffer::CreateSize(44100, toBits, 1, 1);
  ALStoreSample(src->GetModifyPointer(), fromBits / 8, x);
  src->CopyTo(0, dst.Get(), 0, 1);
  return ALLoadSample(dst->GetReadPointer(), toBits / 8);
}

TEST(ALAudioBufferFrameCopy, ConvertsEveryWidthPairWithSaturationAtTheEdges) {
  struct {
    std::uint32_t From;
    std::int32_t X;
    std::uint32_t To;
    std::int32_t Y;
  } cases[] = {
      // x * 8388607 div 32767; -32768 would give -8388863
      {16, 32767, 24, 8388607}, {16, -32768, 24, -8388608}, {16, 1, 24, 256}, {16, -1, 24, -256}, {16, 0, 24, 0},
      // x * 2147483647 div 32767; -32768 would give -2147549183
      {16, 32767, 32, KInt32Max}, {16, -32768, 32, KInt32Min}, {16, 1, 32, 65538}, {16, -1, 32, -65538},
      // x * 32767 div 8388607
      {24, 8388607, 16, 32767}, {24, -8388608, 16, -32767}, {24, 256, 16, 0}, {24, 257, 16, 1}, {24, -257, 16, -1},
      // x * 2147483647 div 8388607; -8388608 would give -2147483903
      {24, 8388607, 32, KInt32Max}, {24, -8388608, 32, KInt32Min}, {24, 1, 32, 256}, {24, -8388607, 32, -KInt32Max},
      // x * 32767 div 2147483647
      {32, KInt32Max, 16, 32767}, {32, KInt32Min, 16, -32767}, {32, 65538, 16, 0}, {32, 65539, 16, 1},
      // x * 8388607 div 2147483647
      {32, KInt32Max, 24, 8388607}, {32, KInt32Min, 24, -8388607}, {32, 256, 24, 0}, {32, 257, 24, 1},
      // (x - 127) * 8388607 div 127; 255 would give 8454659
      {8, 255, 24, 8388607}, {8, 254, 24, 8388607}, {8, 127, 24, 0}, {8, 128, 24, 66052}, {8, 0, 24, -8388607},
      // x * 127 div 8388607 + 127
      {24, 8388607, 8, 254}, {24, -8388608, 8, 0}, {24, 0, 8, 127}, {24, -1, 8, 127}, {24, 66052, 8, 127}, {24, 66053, 8, 128},
      // u / 255 of the full range, both ways
      {8, 0, 16, -32768}, {8, 255, 16, 32767}, {8, 128, 16, 128}, {8, 127, 16, -129},
      {16, -32768, 8, 0}, {16, 32767, 8, 255}, {16, 0, 8, 128}, {16, -129, 8, 127}, {16, 128, 8, 128},
      {8, 0, 32, KInt32Min}, {8, 255, 32, KInt32Max}, {8, 128, 32, 8421504},
      {32, KInt32Min, 8, 0}, {32, KInt32Max, 8, 255}, {32, 0, 8, 128}, {32, 8421504, 8, 128},
      // equal widths travel unchanged
      {16, -32768, 16, -32768}, {24, -8388608, 24, -8388608}, {32, KInt32Min, 32, KInt32Min}, {8, 255, 8, 255},
  };
  for (auto& c : cases) {
    EXPECT_EQ(CopyOne(c.From, c.X, c.To), c.Y) << c.From << " -> " << c.To << " of " << c.X;
    EXPECT_EQ(ALConvertSample(c.X, c.From / 8, c.To / 8), c.Y) << c.From << " -> " << c.To << " of " << c.X;
    EXPECT_EQ(ALReferenceConvertSample(c.X, c.From / 8, c.To / 8), c.Y) << c.From << " -> " << c.To << " of " << c.X;
  }
}

TEST(ALSampleConvert, GivesEveryEightBitCodeBackAfterAWideningRoundTrip) {
  for (std::int32_t u = 0; u < 256; ++u) {
    for (std::uint32_t wide : {2u, 4u}) {
      std::int32_t y = ALConvertSample(u, 1, wide);
      ASSERT_EQ(ALConvertSample(y, wide, 1), u) << wide;
    }
  }
}

TEST(ALSampleConvert, EightBitMappingIsMonotonicOverTheWholeSignedRange) {
  std::int32_t previous = 0;
  for (std::int32_t x = -32768; x <= 32767; ++x) {
    std::int32_t u = ALConvertSample(x, 2, 1);
    ASSERT_GE(u, previous);
    ASSERT_LE(u, 255);
    previous = u;
  }
}

// Fast kernels against the plain reference, every width pair, packed and interleaved strides:
// edge values, every 16-bit value, random samples.
TEST(ALSampleConvert, FastKernelsAgreeWithTheReferenceForEveryWidthPair) {
  std::mt19937 rng(20240611);
  for (bool packed : {true, false}) {
    for (std::uint32_t from = 1; from <= 4; ++from) {
      for (std::uint32_t to = 1; to <= 4; ++to) {
        constexpr std::uint32_t KFrames = 70000;
        const std::uint32_t srcStride = packed ? from : from * 3, dstStride = packed ? to : to * 2;
        std::vector<std::uint8_t> src(KFrames * srcStride);
        for (auto& byte : src) byte = static_cast<std::uint8_t>(rng());
        const std::int64_t lo = from == 1 ? 0 : -(std::int64_t{1} << (8 * from - 1));
        const std::int64_t hi = from == 1 ? 255 : (std::int64_t{1} << (8 * from - 1)) - 1;
        std::uint32_t i = 0;
        if (from <= 2) {
          for (std::int64_t x = lo; x <= hi; ++x)
            ALStoreSample(&src[std::size_t{i++} * srcStride], from, static_cast<std::int32_t>(x));
        } else {
          // The extremes and their neighbours, and the values around each 16-bit step.
          const std::int64_t edges[] = {lo, lo + 1, lo + 2, -257, -256, -255, -1, 0, 1, 127, 128, 255, 256, hi - 1, hi};
          for (std::int64_t e : edges) ALStoreSample(&src[std::size_t{i++} * srcStride], from, static_cast<std::int32_t>(e));
        }
        std::vector<std::uint8_t> fast(KFrames * dstStride, 0xEE), reference(KFrames * dstStride, 0xEE);
        ALCopyChannel(src.data(), srcStride, from, fast.data(), dstStride, to, KFrames);
        ALReferenceCopyChannel(src.data(), srcStride, from, reference.data(), dstStride, to, KFrames);
        ASSERT_EQ(fast, reference) << from * 8 << " -> " << to * 8 << (packed ? " packed" : " interleaved");
        for (std::uint32_t k = 0; k < KFrames; k += 7) {
          std::int32_t x = ALLoadSample(&src[std::size_t{k} * srcStride], from);
          ASSERT_EQ(ALConvertSample(x, from, to), ALReferenceConvertSample(x, from, to));
        }
      }
    }
  }
}

// Every 24-bit value through the packed kernels to each other width.
TEST(ALSampleConvert, EveryTwentyFourBitValueConvertsAsTheReferenceDoes) {
  constexpr std::uint32_t KChunk = 4096;
  std::vector<std::uint8_t> src(KChunk * 3), fast(KChunk * 4), reference(KChunk * 4);
  for (std::uint32_t to : {1u, 2u, 4u}) {
    for (std::int32_t base = -8388608; base < 8388608; base += KChunk) {
      for (std::uint32_t k = 0; k < KChunk; ++k) ALStoreSample(&src[k * 3], 3, base + static_cast<std::int32_t>(k));
      ALCopyChannel(src.data(), 3, 3, fast.data(), to, to, KChunk);
      ALReferenceCopyChannel(src.data(), 3, 3, reference.data(), to, to, KChunk);
      ASSERT_EQ(fast, reference) << "24 -> " << to * 8 << " from " << base;
    }
  }
}

// A copy within one memory area goes sample by sample in order, as the reference does, whichever
// way the areas overlap.
TEST(ALSampleConvert, OverlappingCopiesGiveWhatTheReferenceGives) {
  struct TCase {
    std::uint32_t From, To;
    std::ptrdiff_t Shift;  // target start minus source start, in bytes
  } const cases[] = {{2, 2, 2}, {2, 2, -2}, {2, 4, 2}, {4, 2, -4}, {3, 3, 3}, {2, 3, 1}, {4, 4, 4}};
  std::mt19937 rng(99);
  for (const TCase& c : cases) {
    constexpr std::uint32_t KSamples = 100;
    std::vector<std::uint8_t> area(KSamples * 4 + 64);
    for (auto& byte : area) byte = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> want = area;
    const std::size_t srcAt = 32, dstAt = static_cast<std::size_t>(32 + c.Shift);
    ALCopyChannel(area.data() + srcAt, c.From, c.From, area.data() + dstAt, c.To, c.To, KSamples);
    ALReferenceCopyChannel(want.data() + srcAt, c.From, c.From, want.data() + dstAt, c.To, c.To, KSamples);
    EXPECT_EQ(area, want) << c.From * 8 << " -> " << c.To * 8 << " shifted " << c.Shift;
  }
}

TEST(ALAudioBufferFrameCopy, AgreesWithTheReferenceKernelOnMultichannelBuffers) {
  std::mt19937 rng(7);
  for (std::uint32_t fromBits : {8u, 16u, 24u, 32u}) {
    for (std::uint32_t toBits : {8u, 16u, 24u, 32u}) {
      PALAudioBuffer src = TALAudioBuffer::CreateSize(48000, fromBits, 2, 300);
      PALAudioBuffer dst = TALAudioBuffer::CreateSize(48000, toBits, 2, 300);
      std::uint8_t* p = src->GetModifyPointer();
      for (std::uint32_t k = 0; k < src->GetByteSize(); ++k) p[k] = static_cast<std::uint8_t>(rng());
      src->CopyTo(0, dst.Get(), 0, 300);
      std::vector<std::uint8_t> want(dst->GetByteSize());
      for (std::uint32_t ch = 0; ch < 2; ++ch)
        ALReferenceCopyChannel(src->GetReadPointer() + ch * fromBits / 8, src->GetBlockAlign(), fromBits / 8,
                               want.data() + ch * toBits / 8, dst->GetBlockAlign(), toBits / 8, 300);
      ASSERT_EQ(std::memcmp(dst->GetReadPointer(), want.data(), want.size()), 0) << fromBits << " -> " << toBits;
    }
  }
}

// ------------------------------------------------------------------ pool reuse

TEST(ALAudioBufferPool, MakesNoHeapAllocationPerBufferOnceWarm) {
  auto oneBuffer = [] {
    PALAudioBuffer b = TALAudioBuffer::CreateSizeEx(44100, 16, 2, 1024, TALSpeakers::FromMask(3));
    std::memset(b->GetWritePointer(), 1, b->GetByteSize());
    b->GetTimeStamp().SetAvailable(false);
    TRefPtr<ISLData> carried(b.Get());
    PALAudioBuffer received = TALAudioBuffer::CreateUniversal(carried.Get());
    received->Unique();  // copies once, into a block of the same class
    received->SetSample(0, 0, 5);
    PALAudioBuffer mono = TALAudioBuffer::CreateSize(44100, 32, 1, 256);
    received->CopyTo(0, mono.Get(), 0, 256);
  };
  {
    std::size_t probe = GHeapAllocations;
    std::vector<int> counted(10);
    ASSERT_GT(GHeapAllocations, probe) << "the allocation counter is not in use";
  }
  for (int i = 0; i < 4; ++i) oneBuffer();
  std::size_t before = GHeapAllocations;
  for (int i = 0; i < 1000; ++i) oneBuffer();
  EXPECT_EQ(GHeapAllocations - before, 0u);
}

}  // namespace
}  // namespace portwise

#include "core/ALAudioFormat.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace portwise {
namespace {

// An owner as components have it: a lock, a change handler, a format built from both.
class ALAudioFormatTest : public ::testing::Test {
 protected:
  struct TChange {
    TObject* Sender;
    bool LockHeld;
  };

  TRefPtr<TLPLock> FOwnerLock = TLPLock::Create({});
  std::vector<TChange> FChanges;
  TALAudioFormat FFormat{nullptr, [this](TObject* ASender) { OnChange(ASender); }, FOwnerLock.Get()};

  void OnChange(TObject* ASender) {
    const TOWLockCounters c = FOwnerLock->Instance()->GetCounters();
    FChanges.push_back({ASender, c.CountLocks > 0 && c.OwningThread == std::this_thread::get_id()});
  }
  TALWaveFormatExtensible Record() const { return *FFormat.GetWaveFormat(); }
  void SetUp() override { FChanges.clear(); }
};

TEST_F(ALAudioFormatTest, ANewFormatHoldsTheDefaultRecordAndBufferSize) {
  const TALWaveFormatExtensible r = Record();
  EXPECT_EQ(r.wFormatTag, 0xFFFE);
  EXPECT_EQ(r.nChannels, 2);
  EXPECT_EQ(r.nSamplesPerSec, 11025u);
  EXPECT_EQ(r.nAvgBytesPerSec, 44100u);
  EXPECT_EQ(r.nBlockAlign, 4);
  EXPECT_EQ(r.wBitsPerSample, 16);
  EXPECT_EQ(r.cbSize, 22);
  EXPECT_EQ(r.wValidBitsPerSample, 16);
  EXPECT_EQ(r.dwChannelMask, 3u);
  EXPECT_EQ(r.SubFormat, ALSubFormatPCM);
  EXPECT_EQ(FFormat.GetBufferSize(), 1024u);
  EXPECT_EQ(FFormat.GetChannelMask(), (TALSpeakers{spFrontLeft, spFrontRight}));
}

TEST(ALAudioFormatRecord, IsLaidOutByteForByteAsTheWindowsRecord) {
  TRefPtr<TLPLock> lock = TLPLock::Create({});
  TALAudioFormat format(nullptr, {}, lock.Get());
  format.SetSampleRate(44100);
  format.SetChannelMask(TALSpeakers::FromMask(0x80000003u));
  unsigned char bytes[40];
  std::memcpy(bytes, format.GetWaveFormat(), sizeof bytes);
  const unsigned char expected[40] = {0xFE, 0xFF, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10, 0xB1, 0x02, 0x00,
                                      0x04, 0x00, 0x10, 0x00, 0x16, 0x00, 0x10, 0x00, 0x03, 0x00, 0x00, 0x80,
                                      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA,
                                      0x00, 0x38, 0x9B, 0x71};
  EXPECT_EQ(std::memcmp(bytes, expected, sizeof bytes), 0);
}

TEST(ALAudioFormatConstruction, SetsTheDefaultsThroughTheSettersSoTheOwnerHearsEachOfThem) {
  TRefPtr<TLPLock> lock = TLPLock::Create({});
  int changes = 0;
  TObject* sender = nullptr;
  TALAudioFormat format(nullptr, [&](TObject* ASender) {
    ++changes;
    sender = ASender;
  }, lock.Get());
  EXPECT_EQ(changes, 4);  // channels, bits, rate, mask; the buffer size is stored directly
  EXPECT_EQ(sender, &format);
}

struct TChannelBitsCase {
  std::uint32_t Input;
  std::uint16_t Stored;
};

class ALAudioFormatClamp : public ALAudioFormatTest, public ::testing::WithParamInterface<TChannelBitsCase> {};

TEST_P(ALAudioFormatClamp, ChannelsAndBitsAreClampedTo1Through32AsSixteenBitValues) {
  FFormat.SetChannels(GetParam().Input);
  FFormat.SetBits(GetParam().Input);
  EXPECT_EQ(Record().nChannels, GetParam().Stored);
  EXPECT_EQ(Record().wValidBitsPerSample, GetParam().Stored);
  EXPECT_EQ(FFormat.GetChannels(), GetParam().Stored);
  EXPECT_EQ(FFormat.GetBits(), GetParam().Stored);
}

INSTANTIATE_TEST_SUITE_P(Values, ALAudioFormatClamp,
                         ::testing::Values(TChannelBitsCase{0, 1}, TChannelBitsCase{1, 1}, TChannelBitsCase{5, 5},
                                           TChannelBitsCase{32, 32}, TChannelBitsCase{40, 32},
                                           TChannelBitsCase{0x10000, 1},       // truncates to 0
                                           TChannelBitsCase{0x10005, 5},       // truncates to 5
                                           TChannelBitsCase{0xFFFFFFFF, 32}));  // truncates to 0xFFFF

struct TContainerCase {
  std::uint32_t Bits, Channels, Rate;
  std::uint16_t Container, BlockAlign;
  std::uint32_t BytesPerSecond;
};

class ALAudioFormatContainer : public ALAudioFormatTest, public ::testing::WithParamInterface<TContainerCase> {};

TEST_P(ALAudioFormatContainer, TheRecordFollowsBitsChannelsAndRate) {
  const TContainerCase& c = GetParam();
  FFormat.SetChannels(c.Channels);
  FFormat.SetSampleRate(c.Rate);
  FFormat.SetBits(c.Bits);
  const TALWaveFormatExtensible r = Record();
  EXPECT_EQ(r.wValidBitsPerSample, c.Bits);
  EXPECT_EQ(r.wBitsPerSample, c.Container);
  EXPECT_EQ(r.nBlockAlign, c.BlockAlign);
  EXPECT_EQ(r.nAvgBytesPerSec, c.BytesPerSecond);
  EXPECT_EQ(r.wFormatTag, 0xFFFE);
  EXPECT_EQ(r.cbSize, 22);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ALAudioFormatContainer,
    ::testing::Values(TContainerCase{1, 2, 44100, 8, 2, 88200}, TContainerCase{8, 1, 8000, 8, 1, 8000},
                      TContainerCase{12, 2, 44100, 16, 4, 176400}, TContainerCase{16, 2, 44100, 16, 4, 176400},
                      TContainerCase{20, 2, 48000, 24, 6, 288000}, TContainerCase{24, 2, 44100, 24, 6, 264600},
                      TContainerCase{24, 6, 44100, 24, 18, 793800}, TContainerCase{32, 32, 192000, 32, 128, 24576000},
                      TContainerCase{16, 2, 0, 16, 4, 0},
                      // computed in 32 bits
                      TContainerCase{16, 2, 0xFFFFFFFF, 16, 4, 0xFFFFFFFC}));

TEST_F(ALAudioFormatTest, BitsOfZeroGiveOneValidBitInAnEightBitContainer) {
  FFormat.SetBits(0);
  EXPECT_EQ(Record().wValidBitsPerSample, 1);
  EXPECT_EQ(Record().wBitsPerSample, 8);
  EXPECT_EQ(Record().nBlockAlign, 2);
}

TEST_F(ALAudioFormatTest, EveryEffectiveChangeCallsTheOwnersHandlerWithTheFormatUnderTheLock) {
  FFormat.SetChannels(1);
  FFormat.SetBits(24);
  FFormat.SetSampleRate(44100);
  FFormat.SetChannelMask(TALSpeakers{spFrontCenter});
  FFormat.SetBufferSize(256);
  ASSERT_EQ(FChanges.size(), 5u);
  for (const TChange& change : FChanges) {
    EXPECT_EQ(change.Sender, &FFormat);
    EXPECT_TRUE(change.LockHeld);
  }
}

TEST_F(ALAudioFormatTest, WritingTheStoredValueCallsNoHandlerAndRecomputesNothing) {
  TALWaveFormatExtensible* live = const_cast<TALWaveFormatExtensible*>(FFormat.GetWaveFormat());
  live->nAvgBytesPerSec = 1;  // a recompute would repair this
  FFormat.SetChannels(2);
  FFormat.SetBits(16);
  FFormat.SetSampleRate(11025);
  FFormat.SetChannelMask(TALSpeakers::FromMask(3));
  FFormat.SetBufferSize(1024);
  FFormat.SetChannels(0x10002);  // truncated to the stored 2
  EXPECT_TRUE(FChanges.empty());
  EXPECT_EQ(Record().nAvgBytesPerSec, 1u);
}

TEST_F(ALAudioFormatTest, BufferSizeBelowOneBecomesOneAndLeavesTheRecordAlone) {
  const TALWaveFormatExtensible before = Record();
  FFormat.SetBufferSize(0);
  EXPECT_EQ(FFormat.GetBufferSize(), 1u);
  EXPECT_EQ(FChanges.size(), 1u);
  FFormat.SetBufferSize(4096);
  EXPECT_EQ(FFormat.GetBufferSize(), 4096u);
  EXPECT_EQ(FChanges.size(), 2u);
  const TALWaveFormatExtensible after = Record();
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

TEST_F(ALAudioFormatTest, ChannelsAndChannelMaskNeverAdjustEachOther) {
  FFormat.SetChannels(1);
  EXPECT_EQ(Record().dwChannelMask, 3u);
  EXPECT_EQ(Record().nBlockAlign, 2);
  FFormat.SetChannelMask(TALSpeakers::FromMask(0x3F));
  EXPECT_EQ(Record().nChannels, 1);
  EXPECT_EQ(Record().dwChannelMask, 0x3Fu);
  FFormat.SetChannelMask(TALSpeakers{});
  EXPECT_EQ(Record().dwChannelMask, 0u);
  EXPECT_EQ(Record().nChannels, 1);
}

TEST_F(ALAudioFormatTest, TheWaveFormatPointerShowsTheLiveRecord) {
  const TALWaveFormatExtensible* record = FFormat.GetWaveFormat();
  FFormat.SetSampleRate(48000);
  EXPECT_EQ(record, FFormat.GetWaveFormat());
  EXPECT_EQ(record->nSamplesPerSec, 48000u);
  EXPECT_EQ(record->nAvgBytesPerSec, 192000u);
}

TEST_F(ALAudioFormatTest, AssignCopiesEveryPropertyThroughTheSettersEachChangeNotifiedOnce) {
  TRefPtr<TLPLock> otherLock = TLPLock::Create({});
  TALAudioFormat source(nullptr, {}, otherLock.Get());
  source.SetChannels(1);
  source.SetSampleRate(44100);
  source.SetBufferSize(512);  // Bits and ChannelMask stay equal

  FFormat.Assign(source);
  EXPECT_EQ(FChanges.size(), 3u);
  EXPECT_EQ(FFormat.GetChannels(), 1u);
  EXPECT_EQ(FFormat.GetSampleRate(), 44100u);
  EXPECT_EQ(FFormat.GetBufferSize(), 512u);
  EXPECT_EQ(Record().nAvgBytesPerSec, 88200u);
  EXPECT_EQ(std::memcmp(FFormat.GetWaveFormat(), source.GetWaveFormat(), 40), 0);
}

TEST_F(ALAudioFormatTest, AssignFromABasicFormatLeavesTheBufferSizeAlone) {
  TRefPtr<TLPLock> otherLock = TLPLock::Create({});
  TALAudioFormatBasic source(nullptr, {}, otherLock.Get());
  source.SetBits(8);
  FFormat.SetBufferSize(300);
  FChanges.clear();
  FFormat.Assign(source);
  EXPECT_EQ(FFormat.GetBits(), 8u);
  EXPECT_EQ(FFormat.GetBufferSize(), 300u);
  EXPECT_EQ(FChanges.size(), 1u);
}

TEST_F(ALAudioFormatTest, TheFormatSharesItsOwnersLock) {
  EXPECT_EQ(FFormat.GetLock()->Instance(), FOwnerLock->Instance());
}

// --- record functions ---------------------------------------------------------------------------

TALWaveFormatExtensible MakeRecord(std::uint16_t AChannels, std::uint32_t ARate, std::uint16_t ABits,
                                   std::uint32_t AMask) {
  TALWaveFormatExtensible r{};
  r.wFormatTag = 0xFFFE;
  r.nChannels = AChannels;
  r.nSamplesPerSec = ARate;
  r.wBitsPerSample = ABits;
  r.wValidBitsPerSample = ABits;
  r.nBlockAlign = static_cast<std::uint16_t>(ABits / 8 * AChannels);
  r.nAvgBytesPerSec = r.nBlockAlign * ARate;
  r.cbSize = 22;
  r.dwChannelMask = AMask;
  r.SubFormat = ALSubFormatPCM;
  return r;
}

struct TStandardCase {
  std::uint16_t Channels;
  std::uint32_t Rate;
  std::uint16_t Bits;
  std::uint32_t Mask;
  bool Standard;
};

class ALStandardWaveFormat : public ::testing::TestWithParam<TStandardCase> {};

TEST_P(ALStandardWaveFormat, AcceptsOnlyTheClassicRatesDepthsAndLayouts) {
  const TStandardCase& c = GetParam();
  EXPECT_EQ(IsStandardWaveFormat(MakeRecord(c.Channels, c.Rate, c.Bits, c.Mask)), c.Standard);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ALStandardWaveFormat,
    ::testing::Values(TStandardCase{2, 44100, 16, 3, true}, TStandardCase{2, 22050, 8, 3, true},
                      TStandardCase{2, 11025, 16, 3, true}, TStandardCase{2, 8000, 8, 3, true},
                      TStandardCase{1, 44100, 16, 1, true}, TStandardCase{1, 44100, 16, 3, true},
                      TStandardCase{1, 44100, 16, 4, false}, TStandardCase{1, 44100, 16, 0, false},
                      TStandardCase{2, 44100, 16, 1, false}, TStandardCase{2, 44100, 16, 7, false},
                      TStandardCase{2, 44100, 24, 3, false}, TStandardCase{2, 44100, 32, 3, false},
                      TStandardCase{2, 48000, 16, 3, false}, TStandardCase{2, 44101, 16, 3, false},
                      TStandardCase{3, 44100, 16, 7, false}, TStandardCase{6, 44100, 16, 0x3F, false}));

TEST(ALStandardWaveFormatRecord, JudgesTheContainerNotTheValidBits) {
  TALWaveFormatExtensible r = MakeRecord(2, 44100, 16, 3);
  r.wValidBitsPerSample = 12;
  EXPECT_TRUE(IsStandardWaveFormat(r));
  r = MakeRecord(2, 44100, 24, 3);
  r.wValidBitsPerSample = 16;
  EXPECT_FALSE(IsStandardWaveFormat(r));
}

struct TSameCase {
  const char* Field;
  void (*Change)(TALWaveFormatExtensible&);
  bool Same;
};

class ALSameWaveFormat : public ::testing::TestWithParam<TSameCase> {};

TEST_P(ALSameWaveFormat, ComparesChannelsRateBlockAlignAndMaskOnly) {
  const TALWaveFormatExtensible a = MakeRecord(2, 44100, 16, 3);
  TALWaveFormatExtensible b = a;
  GetParam().Change(b);
  EXPECT_EQ(SameWaveFormat(a, b), GetParam().Same);
  EXPECT_EQ(SameWaveFormat(b, a), GetParam().Same);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ALSameWaveFormat,
    ::testing::Values(TSameCase{"nothing", [](TALWaveFormatExtensible&) {}, true},
                      TSameCase{"valid bits", [](TALWaveFormatExtensible& r) { r.wValidBitsPerSample = 12; }, true},
                      TSameCase{"container", [](TALWaveFormatExtensible& r) { r.wBitsPerSample = 24; }, true},
                      TSameCase{"tag", [](TALWaveFormatExtensible& r) { r.wFormatTag = 1; }, true},
                      TSameCase{"bytes per second", [](TALWaveFormatExtensible& r) { r.nAvgBytesPerSec = 7; }, true},
                      TSameCase{"sub-format", [](TALWaveFormatExtensible& r) { r.SubFormat.Data1 = 3; }, true},
                      TSameCase{"channels", [](TALWaveFormatExtensible& r) { r.nChannels = 1; }, false},
                      TSameCase{"rate", [](TALWaveFormatExtensible& r) { r.nSamplesPerSec = 48000; }, false},
                      TSameCase{"block align", [](TALWaveFormatExtensible& r) { r.nBlockAlign = 6; }, false},
                      TSameCase{"mask", [](TALWaveFormatExtensible& r) { r.dwChannelMask = 1; }, false}),
    [](const ::testing::TestParamInfo<TSameCase>& AInfo) {
      std::string name;
      for (const char* p = AInfo.param.Field; *p; ++p)
        if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
      return name;
    });

TEST(ALSpeakers, AreTheMaskBitsOfTheirPositions) {
  TALSpeakers s{spFrontLeft, spSubwoofer, spTopBackRight};
  EXPECT_EQ(s.Mask(), (1u << 0) | (1u << 3) | (1u << 17));
  EXPECT_TRUE(s.Contains(spSubwoofer));
  EXPECT_FALSE(s.Contains(spFrontRight));
  s.Exclude(spSubwoofer).Include(spSideRight);
  EXPECT_EQ(s.Mask(), (1u << 0) | (1u << 10) | (1u << 17));
  EXPECT_EQ(TALSpeakers::FromMask(0xFFFFFFFFu).Mask(), 0xFFFFFFFFu);
  EXPECT_TRUE(TALSpeakers{}.Empty());
}

}  // namespace
}  // namespace portwise

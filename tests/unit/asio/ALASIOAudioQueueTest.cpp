#include "asio/ALASIOAudioQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "asio/ALASIOConvert.h"
#include "core/ALSampleConvert.h"
#include "gen/SLNotifyThread.h"
#include "platform/sim/SimPlatform.h"

namespace portwise {
namespace {

using namespace std::chrono_literals;

template <class P>
bool Eventually(P pred) {
  for (int i = 0; i < 5000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return pred();
}

// Mono 32-bit frames numbered on from `first`, so every frame says where it came from.
PALAudioBuffer Numbered(std::uint32_t frames, std::int32_t first) {
  PALAudioBuffer b = TALAudioBuffer::CreateSize(44100, 32, 1, frames);
  for (std::uint32_t i = 0; i < frames; ++i) b->SetSample(i, 0, first + static_cast<std::int32_t>(i));
  return b;
}

std::vector<std::int32_t> Samples(IALAudioBuffer& b) {
  std::vector<std::int32_t> v(b.GetSize());
  for (std::uint32_t i = 0; i < v.size(); ++i) v[i] = b.GetSample(i, 0);
  return v;
}

std::vector<std::int32_t> Range(std::int32_t first, std::int32_t count) {
  std::vector<std::int32_t> v(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) v[static_cast<std::size_t>(i)] = first + i;
  return v;
}

class ALASIOAudioQueueTest : public ::testing::Test {
 protected:
  TALASIOAudioQueue queue;
};

TEST_F(ALASIOAudioQueueTest, APopAcrossBuffersLeavesTheRestOfTheLastOne) {
  queue.Push(Numbered(100, 0));
  queue.Push(Numbered(100, 100));
  queue.Push(Numbered(100, 200));
  PALAudioBuffer target = TALAudioBuffer::CreateSize(44100, 32, 1, 256);
  ASSERT_TRUE(queue.Pop(target.Get()));
  EXPECT_EQ(Samples(*target), Range(0, 256));
  EXPECT_EQ(queue.GetCollectedSamples(), 44u);
  EXPECT_EQ(queue.GetExtractOffset(), 56u);
  EXPECT_EQ(queue.GetBufferCount(), 1u);

  PALAudioBuffer rest = TALAudioBuffer::CreateSize(44100, 32, 1, 44);
  ASSERT_TRUE(queue.Pop(rest.Get()));
  EXPECT_EQ(Samples(*rest), Range(256, 44));
  EXPECT_EQ(queue.GetBufferCount(), 0u);
  EXPECT_EQ(queue.GetExtractOffset(), 0u);
}

TEST_F(ALASIOAudioQueueTest, ABufferUsedUpExactlyIsReleasedAtOnce) {
  PALAudioBuffer only = Numbered(256, 7);
  queue.Push(only);
  EXPECT_EQ(only->RefCount(), 2);
  PALAudioBuffer target = TALAudioBuffer::CreateSize(44100, 32, 1, 256);
  ASSERT_TRUE(queue.Pop(target.Get()));
  EXPECT_EQ(Samples(*target), Range(7, 256));
  EXPECT_EQ(queue.GetCollectedSamples(), 0u);
  EXPECT_EQ(queue.GetBufferCount(), 0u);
  EXPECT_EQ(only->RefCount(), 1);
}

TEST_F(ALASIOAudioQueueTest, APopLongerThanTheQueueChangesNothing) {
  queue.Push(Numbered(200, 0));
  queue.Push(Numbered(55, 200));
  PALAudioBuffer first = TALAudioBuffer::CreateSize(44100, 32, 1, 10);
  ASSERT_TRUE(queue.Pop(first.Get()));  // the offset is not 0 either
  PALAudioBuffer target = Numbered(256, -1000);
  EXPECT_FALSE(queue.Pop(target.Get()));
  EXPECT_EQ(Samples(*target), Range(-1000, 256));
  EXPECT_EQ(queue.GetCollectedSamples(), 245u);
  EXPECT_EQ(queue.GetExtractOffset(), 10u);
  EXPECT_EQ(queue.GetBufferCount(), 2u);
}

TEST_F(ALASIOAudioQueueTest, FramesComeOutInOrderWhateverTheBufferSizes) {
  // The count of queued frames always equals the frames of the queued buffers less the offset.
  const std::uint32_t sizes[] = {1, 7, 300, 50, 64, 63, 65, 1, 1, 1000, 2, 128};
  std::int32_t pushed = 0, popped = 0;
  std::uint32_t queuedFrames = 0;
  std::vector<PALAudioBuffer> held;
  for (std::uint32_t size : sizes) {
    held.push_back(Numbered(size, pushed));
    queue.Push(held.back());
    pushed += static_cast<std::int32_t>(size);
    queuedFrames += size;
    PALAudioBuffer target = TALAudioBuffer::CreateSize(44100, 32, 1, 64);
    while (queue.Pop(target.Get())) {
      EXPECT_EQ(Samples(*target), Range(popped, 64));
      popped += 64;
    }
    std::uint32_t inBuffers = 0;
    for (const auto& b : held)
      if (b->RefCount() > 1) inBuffers += b->GetSize();
    EXPECT_EQ(queue.GetCollectedSamples(), inBuffers - queue.GetExtractOffset());
    EXPECT_EQ(queue.GetCollectedSamples(), static_cast<std::uint32_t>(pushed - popped));
  }
}

TEST_F(ALASIOAudioQueueTest, PopTakesTheFrontLeftChannelInTheTargetWidth) {
  PALAudioBuffer stereo = TALAudioBuffer::CreateSize(44100, 16, 2, 4);
  const std::int16_t left[] = {16384, -32768, 32767, -1};
  for (std::uint32_t i = 0; i < 4; ++i) {
    stereo->SetSample(i, 0, left[i]);
    stereo->SetSample(i, 1, 1234);
  }
  queue.Push(stereo);
  PALAudioBuffer target = TALAudioBuffer::CreateSize(48000, 32, 1, 4);
  ASSERT_TRUE(queue.Pop(target.Get()));
  for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(target->GetSample(i, 0), ALReferenceConvertSample(left[i], 2, 4));
}

TEST_F(ALASIOAudioQueueTest, ClearReleasesEveryBufferAndForgetsTheOffset) {
  PALAudioBuffer a = Numbered(100, 0), b = Numbered(100, 100);
  queue.Push(a);
  queue.Push(b);
  PALAudioBuffer target = TALAudioBuffer::CreateSize(44100, 32, 1, 30);
  ASSERT_TRUE(queue.Pop(target.Get()));
  queue.Clear();
  EXPECT_EQ(queue.GetCollectedSamples(), 0u);
  EXPECT_EQ(queue.GetExtractOffset(), 0u);
  EXPECT_EQ(a->RefCount(), 1);
  EXPECT_EQ(b->RefCount(), 1);
  queue.Push(Numbered(30, 500));
  ASSERT_TRUE(queue.Pop(target.Get()));
  EXPECT_EQ(Samples(*target), Range(500, 30));
}

TEST_F(ALASIOAudioQueueTest, PushesThatWouldWrapTheFrameCountAreDropped) {
  queue.Push(nullptr);
  EXPECT_EQ(queue.GetBufferCount(), 0u);
  // A buffer whose header claims an enormous size is not needed: the count is checked against the
  // size a buffer reports, so fill the count up with real buffers of the largest practical size.
  PALAudioBuffer big = TALAudioBuffer::CreateSize(44100, 8, 1, 1u << 20);
  for (int i = 0; i < 4095; ++i) queue.Push(big);
  EXPECT_EQ(queue.GetCollectedSamples(), 4095u << 20);
  queue.Push(big);  // 4096 << 20 = 2^32: one frame too many
  EXPECT_EQ(queue.GetCollectedSamples(), 4095u << 20);
  EXPECT_EQ(queue.GetBufferCount(), 4095u);
  queue.Push(Numbered(5, 0));
  EXPECT_EQ(queue.GetCollectedSamples(), (4095u << 20) + 5);
}

// ------------------------------------------------------------------ output half-buffers

TEST_F(ALASIOAudioQueueTest, AnOutputPlaysSilenceUntilAWholeHalfBufferIsQueued) {
  const std::uint32_t n = 64;
  std::vector<std::uint8_t> half(2 * n, 0xCC);
  EXPECT_FALSE(ALASIOPlayQueue(ASIOSTInt16LSB, queue, half.data(), n, 44100));
  EXPECT_EQ(half, std::vector<std::uint8_t>(2 * n, 0));

  PALAudioBuffer part = TALAudioBuffer::CreateSize(44100, 16, 1, 40);
  for (std::uint32_t i = 0; i < 40; ++i) part->SetSample(i, 0, static_cast<std::int32_t>(i + 1));
  queue.Push(part);
  std::fill(half.begin(), half.end(), 0xCC);
  EXPECT_FALSE(ALASIOPlayQueue(ASIOSTInt16LSB, queue, half.data(), n, 44100));
  EXPECT_EQ(half, std::vector<std::uint8_t>(2 * n, 0));
  EXPECT_EQ(queue.GetCollectedSamples(), 40u);

  PALAudioBuffer more = TALAudioBuffer::CreateSize(44100, 16, 1, 40);
  for (std::uint32_t i = 0; i < 40; ++i) more->SetSample(i, 0, static_cast<std::int32_t>(i + 41));
  queue.Push(more);
  EXPECT_TRUE(ALASIOPlayQueue(ASIOSTInt16LSB, queue, half.data(), n, 44100));
  std::vector<std::int16_t> played(n);
  std::memcpy(played.data(), half.data(), 2 * n);
  for (std::uint32_t i = 0; i < n; ++i) EXPECT_EQ(played[i], static_cast<std::int16_t>(i + 1));
  EXPECT_EQ(queue.GetCollectedSamples(), 16u);
}

TEST_F(ALASIOAudioQueueTest, AnOutputOfATypeWithoutConversionTakesNothing) {
  queue.Push(Numbered(64, 0));
  std::vector<std::uint8_t> half(256, 0xCC);
  EXPECT_FALSE(ALASIOPlayQueue(21, queue, half.data(), 64, 44100));
  EXPECT_EQ(half, std::vector<std::uint8_t>(256, 0xCC));
  EXPECT_EQ(queue.GetCollectedSamples(), 64u);
}

TEST_F(ALASIOAudioQueueTest, AFloatOutputGetsTheQueuedFramesConverted) {
  queue.Push(Numbered(3, 1073741824 - 1));
  std::vector<float> half(3, -9.0f);
  EXPECT_TRUE(ALASIOPlayQueue(ASIOSTFloat32LSB, queue, half.data(), 3, 44100));
  EXPECT_EQ(half[1], 0.5f);
}

TEST(ALASIORefillTest, AsksForEnoughBuffersToCoverAHalfBufferAndAtLeastOne) {
  struct TCase {
    std::uint32_t N, Last, Expected;
  };
  for (const TCase& c : {TCase{256, 0, 1}, TCase{256, 1024, 1}, TCase{1024, 256, 4}, TCase{1000, 300, 3},
                         TCase{256, 256, 1}, TCase{4096, 1, 4096}})
    EXPECT_EQ(ALASIORefillCount(c.N, c.Last), c.Expected) << c.N << " / " << c.Last;
}

// ------------------------------------------------------------------ input delivery

TEST(ALASIODeliveryTest, AWakeUpSubmitsAtMostTwentyOneBuffersInOrder) {
  TRefPtr<ISLInterfaceQueue> q = TSLInterfaceQueue::Create();
  for (int i = 0; i < 30; ++i) q->Push(TRefPtr<ISLUnknown>(Numbered(1, i)));
  std::vector<std::int32_t> submitted;
  auto submit = [&](IALAudioBuffer* b) { submitted.push_back(b->GetSample(0, 0)); };
  EXPECT_EQ(ALASIODeliverQueued(*q, submit), 21);
  EXPECT_EQ(submitted, Range(0, 21));
  EXPECT_EQ(ALASIODeliverQueued(*q, submit), 9);
  EXPECT_EQ(submitted, Range(0, 30));
  EXPECT_EQ(ALASIODeliverQueued(*q, submit), 0);
  EXPECT_TRUE(q->IsEmpty());
}

TEST(ALASIODeliveryTest, ABacklogIsWorkedOffOneBatchPerWakeUpOfTheDeliveryThread) {
  platform::sim::TSimPlatform sim;
  TRefPtr<ISLInterfaceQueue> q = TSLInterfaceQueue::Create();
  std::atomic<int> submitted{0}, wakeUps{0};
  TSLNotifyThread thread(nullptr, [&](TObject*) {
    ALASIODeliverQueued(*q, [&](IALAudioBuffer*) { ++submitted; });
    ++wakeUps;
  });
  for (int i = 0; i < 30; ++i) q->Push(TRefPtr<ISLUnknown>(Numbered(1, i)));
  thread.Notify();
  ASSERT_TRUE(Eventually([&] { return wakeUps.load() == 1; }));
  EXPECT_EQ(submitted.load(), 21);
  EXPECT_FALSE(q->IsEmpty());
  thread.Notify();
  ASSERT_TRUE(Eventually([&] { return wakeUps.load() == 2; }));
  EXPECT_EQ(submitted.load(), 30);
  thread.Notify();
  ASSERT_TRUE(Eventually([&] { return wakeUps.load() == 3; }));
  EXPECT_EQ(submitted.load(), 30);
}

}  // namespace
}  // namespace portwise

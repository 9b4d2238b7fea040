#pragma once
// The channel queues between the pins and the driver's half-buffers, and the small steps of the
// buffer exchange that work on them.
//
// Output channel: TALASIOAudioQueue collects the buffers that reach the channel's sink pin, by
// reference, whatever their size, width and channel count; each cycle takes exactly one half-buffer
// of frames out of it, across buffer boundaries, into a buffer of the driver's width (the frame
// copy keeps the front-left channel). It has no lock: it is used under the device's lock.
//
// Input channel: the cycle pushes one buffer per half-buffer into an ISLInterfaceQueue and wakes
// the channel's delivery thread, which submits up to KALASIODeliveryBatch of them per wake-up.
#include <cstdint>
#include <deque>
#include <functional>

#include "core/ALAudioBuffer.h"
#include "gen/SLInterfaceQueue.h"
#include "platform/AsioDriver.h"

namespace portwise {

class TALASIOAudioQueue {
 public:
  TALASIOAudioQueue() = default;
  TALASIOAudioQueue(const TALASIOAudioQueue&) = delete;
  TALASIOAudioQueue& operator=(const TALASIOAudioQueue&) = delete;

  // Queues the buffer by reference. An empty reference, or one that would take the count of queued
  // frames past 2^32 - 1, is dropped.
  void Push(const TRefPtr<IALAudioBuffer>& AValue);
  // Fills the whole target (all GetSize frames) with the oldest queued frames and true; false, with
  // nothing changed, when fewer are queued. Buffers used up are released at once.
  bool Pop(IALAudioBuffer* ATargetBuffer);
  void Clear();

  // Frames queued and not yet taken.
  std::uint32_t GetCollectedSamples() const noexcept { return FCollectedSamples; }
  // Frames of the oldest queued buffer already taken.
  std::uint32_t GetExtractOffset() const noexcept { return FExtractOffset; }
  std::size_t GetBufferCount() const noexcept { return FList.size(); }

 private:
  std::deque<TRefPtr<IALAudioBuffer>> FList;
  std::uint32_t FCollectedSamples = 0;
  std::uint32_t FExtractOffset = 0;
};

// One output half-buffer of ACount frames: when the queue holds ACount frames they are popped into
// a new 1-channel buffer of the type's width and ARate and converted into AHalf; otherwise AHalf
// gets silence and the queue keeps its frames. For a type without a conversion nothing is popped or
// written. True when queued audio was played.
bool ALASIOPlayQueue(TASIOSampleType AType, TALASIOAudioQueue& AQueue, void* AHalf, std::uint32_t ACount,
                     std::uint32_t ARate);

// How many buffers a pumping output asks its source for after a cycle of ACount frames, at most:
// ACount div the size of the last buffer received, and at least 1 (also while none was received).
std::uint32_t ALASIORefillCount(std::uint32_t ACount, std::uint32_t ALastBufferSize);

// Buffers a delivery thread submits per wake-up, at most.
inline constexpr int KALASIODeliveryBatch = 21;

// One wake-up of an input channel's delivery thread: pops up to KALASIODeliveryBatch buffers and
// hands each to ASubmit (which passes it to the channel's source pin); stops at the first empty
// pop. Items that are not audio buffers are dropped. Returns the number submitted.
int ALASIODeliverQueued(ISLInterfaceQueue& AQueue, const std::function<void(IALAudioBuffer*)>& ASubmit);

}  // namespace portwise

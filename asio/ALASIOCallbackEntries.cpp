#include "asio/ALASIOCallbackEntries.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <utility>

namespace portwise::ALASIOCallbackEntries {

namespace {

// The target of each slot; empty when the slot is free.
std::array<std::atomic<IALASIOCallbackTarget*>, kSlotCount> GTargets{};

// The entry points of slot N: forward to the bound target, or do nothing when the slot is free.
template <std::size_t N>
struct TSlot {
  static void PW_ASIO_CALLBACK BufferSwitch(std::int32_t index, TASIOBool directProcess) {
    if (IALASIOCallbackTarget* t = GTargets[N].load(std::memory_order_acquire)) t->ASIOBufferSwitch(index, directProcess);
  }
  static void PW_ASIO_CALLBACK SampleRateDidChange(TASIOSampleRate rate) {
    if (IALASIOCallbackTarget* t = GTargets[N].load(std::memory_order_acquire)) t->ASIOSampleRateDidChange(rate);
  }
  static std::int32_t PW_ASIO_CALLBACK Message(std::int32_t selector, std::int32_t value, void* message, double* opt) {
    IALASIOCallbackTarget* t = GTargets[N].load(std::memory_order_acquire);
    return t ? t->ASIOMessage(selector, value, message, opt) : 0;
  }
  static TASIOTime* PW_ASIO_CALLBACK BufferSwitchTimeInfo(TASIOTime* params, std::int32_t index,
                                                          TASIOBool directProcess) {
    IALASIOCallbackTarget* t = GTargets[N].load(std::memory_order_acquire);
    return t ? t->ASIOBufferSwitchTimeInfo(params, index, directProcess) : nullptr;
  }
};

template <std::size_t... N>
constexpr std::array<TASIOCallbacks, kSlotCount> MakeRecords(std::index_sequence<N...>) {
  return {{{&TSlot<N>::BufferSwitch, &TSlot<N>::SampleRateDidChange, &TSlot<N>::Message,
            &TSlot<N>::BufferSwitchTimeInfo}...}};
}

// Filled before the program runs and never changed: a driver may keep the address.
std::array<TASIOCallbacks, kSlotCount> GRecords = MakeRecords(std::make_index_sequence<kSlotCount>{});

}  // namespace

int Bind(IALASIOCallbackTarget* target, TASIOCallbacks** callbacks) {
  if (callbacks) *callbacks = nullptr;
  if (!target) return -1;
  for (int i = 0; i < kSlotCount; ++i) {
    IALASIOCallbackTarget* expected = nullptr;
    if (GTargets[i].compare_exchange_strong(expected, target, std::memory_order_acq_rel)) {
      if (callbacks) *callbacks = &GRecords[i];
      return i;
    }
  }
  return -1;
}

void Unbind(int index) {
  if (index < 0 || index >= kSlotCount) return;
  GTargets[index].store(nullptr, std::memory_order_release);
}

}  // namespace portwise::ALASIOCallbackEntries

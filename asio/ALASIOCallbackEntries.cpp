#include "asio/ALASIOCallbackEntries.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <utility>

namespace portwise::ALASIOCallbackEntries {

namespace {

// A slot is taken from Bind until its Unbind has finished waiting; its target is cleared first, so
// entries arriving meanwhile find nothing to call. Active counts the entries in progress: an entry
// counts itself before it reads the target and Unbind clears the target before it reads the count
// (both sequentially consistent), so either the entry sees no target or Unbind sees the entry.
struct TSlot {
  std::atomic<IALASIOCallbackTarget*> Target{nullptr};
  std::atomic<std::int32_t> Active{0};
  bool bTaken = false;  // guarded by gTableSection
};

std::array<TSlot, kSlotCount> gSlots;
std::mutex gTableSection;

// How deep the current thread is inside each slot's entries: Unbind called from a handler does
// not wait for itself.
thread_local std::array<std::uint8_t, kSlotCount> tInside{};

class TEntryScope {
 public:
  explicit TEntryScope(std::size_t ASlot) : FSlot(gSlots[ASlot]), FIndex(ASlot) {
    FSlot.Active.fetch_add(1);
    ++tInside[FIndex];
    FTarget = FSlot.Target.load();
  }
  ~TEntryScope() {
    --tInside[FIndex];
    FSlot.Active.fetch_sub(1);
    FSlot.Active.notify_all();
  }
  TEntryScope(const TEntryScope&) = delete;
  TEntryScope& operator=(const TEntryScope&) = delete;

  IALASIOCallbackTarget* Target() const noexcept { return FTarget; }

 private:
  TSlot& FSlot;
  std::size_t FIndex;
  IALASIOCallbackTarget* FTarget;
};

// The four entry points of slot S. Nothing may unwind into the driver: a handler's exception ends
// at the entry point.
template <std::size_t S>
struct TEntries {
  static void PW_ASIO_CALLBACK BufferSwitch(std::int32_t index, TASIOBool directProcess) {
    try {
      TEntryScope scope(S);
      if (IALASIOCallbackTarget* target = scope.Target()) target->ASIOBufferSwitch(index, directProcess);
    } catch (...) {
    }
  }

  static void PW_ASIO_CALLBACK SampleRateDidChange(TASIOSampleRate rate) {
    try {
      TEntryScope scope(S);
      if (IALASIOCallbackTarget* target = scope.Target()) target->ASIOSampleRateDidChange(rate);
    } catch (...) {
    }
  }

  static std::int32_t PW_ASIO_CALLBACK Message(std::int32_t selector, std::int32_t value, void* message,
                                               double* opt) {
    try {
      TEntryScope scope(S);
      if (IALASIOCallbackTarget* target = scope.Target()) return target->ASIOMessage(selector, value, message, opt);
    } catch (...) {
    }
    return 0;
  }

  static TASIOTime* PW_ASIO_CALLBACK BufferSwitchTimeInfo(TASIOTime* params, std::int32_t index,
                                                          TASIOBool directProcess) {
    try {
      TEntryScope scope(S);
      if (IALASIOCallbackTarget* target = scope.Target())
        return target->ASIOBufferSwitchTimeInfo(params, index, directProcess);
    } catch (...) {
    }
    return nullptr;
  }
};

template <std::size_t... S>
constexpr std::array<TASIOCallbacks, sizeof...(S)> MakeRecords(std::index_sequence<S...>) {
  return {{TASIOCallbacks{&TEntries<S>::BufferSwitch, &TEntries<S>::SampleRateDidChange, &TEntries<S>::Message,
                          &TEntries<S>::BufferSwitchTimeInfo}...}};
}

// Filled before any code runs and never changed; drivers keep pointers into it.
constinit std::array<TASIOCallbacks, kSlotCount> gRecords = MakeRecords(std::make_index_sequence<kSlotCount>{});

}  // namespace

int Bind(IALASIOCallbackTarget* target, TASIOCallbacks** callbacks) {
  if (callbacks) *callbacks = nullptr;
  if (!target) return -1;
  std::lock_guard section(gTableSection);
  for (int i = 0; i < kSlotCount; ++i) {
    TSlot& slot = gSlots[static_cast<std::size_t>(i)];
    if (slot.bTaken) continue;
    slot.bTaken = true;
    slot.Target.store(target);
    if (callbacks) *callbacks = &gRecords[static_cast<std::size_t>(i)];
    return i;
  }
  return -1;
}

void Unbind(int index) {
  if (index < 0 || index >= kSlotCount) return;
  const auto i = static_cast<std::size_t>(index);
  TSlot& slot = gSlots[i];
  {
    std::lock_guard section(gTableSection);
    if (!slot.bTaken || !slot.Target.load()) return;  // free, or another Unbind is under way
    slot.Target.store(nullptr);
  }
  // Entries that read the target before it was cleared may still be inside it.
  const std::int32_t own = tInside[i];
  for (std::int32_t active = slot.Active.load(); active > own; active = slot.Active.load()) slot.Active.wait(active);
  std::lock_guard section(gTableSection);
  slot.bTaken = false;
}

TASIOCallbacks* Callbacks(int index) {
  if (index < 0 || index >= kSlotCount) return nullptr;
  return &gRecords[static_cast<std::size_t>(index)];
}

}  // namespace portwise::ALASIOCallbackEntries

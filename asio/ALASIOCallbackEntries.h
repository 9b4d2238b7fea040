#pragma once
// The process-wide table of driver callback slots. A driver calls back through four plain
// functions without a context argument, so each slot is a prebuilt set of entry points and a
// device binds a slot to itself while it has driver buffers. Binding and unbinding happen on the
// thread that starts and closes devices; the entry points run on the driver's threads.
#include <cstdint>

#include "platform/AsioDriver.h"

namespace portwise {

// What a bound slot forwards the driver's callbacks to.
class IALASIOCallbackTarget {
 public:
  virtual void ASIOBufferSwitch(std::int32_t index, TASIOBool directProcess) = 0;
  virtual void ASIOSampleRateDidChange(TASIOSampleRate rate) = 0;
  virtual std::int32_t ASIOMessage(std::int32_t selector, std::int32_t value, void* message, double* opt) = 0;
  virtual TASIOTime* ASIOBufferSwitchTimeInfo(TASIOTime* params, std::int32_t index, TASIOBool directProcess) = 0;

 protected:
  ~IALASIOCallbackTarget() = default;
};

namespace ALASIOCallbackEntries {

constexpr int kSlotCount = 101;

// Binds the first free slot (lowest index) to target and gives its callback record; -1 and
// *callbacks = nullptr when all are taken.
int Bind(IALASIOCallbackTarget* target, TASIOCallbacks** callbacks);
// Frees the slot; its entry points do nothing from then on. Out-of-range indices are ignored.
void Unbind(int index);

}  // namespace ALASIOCallbackEntries

}  // namespace portwise

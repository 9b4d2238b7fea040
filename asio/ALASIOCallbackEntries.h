#pragma once
// The process-wide table of driver callback slots. A driver calls back through four plain functions
// that carry no context, so each slot is a prebuilt set of four entry points (generated, one
// instantiation per slot) with its own callback record; a device binds a free slot to itself before
// it creates the driver's buffers and hands the slot's record to the driver.
//
// Rules for users:
// - Bind and Unbind are meant for the thread that starts and closes devices; they are safe from any
//   thread, and the entry points may run on any thread at any time.
// - An entry point of a bound slot calls the target; of a free slot it does nothing and returns 0
//   (asioMessage) or null (bufferSwitchTimeInfo).
// - Unbind returns only once no entry point of that slot is still inside the target, so the target
//   may be destroyed right after it. It therefore must not be called while holding anything a
//   running handler of that slot waits for (for example while a buffer switch is blocked waiting for
//   the caller): release such handlers first, then unbind. Called from inside a handler of the same
//   slot it does not wait for that handler itself.
#include <cstdint>

#include "platform/AsioDriver.h"

namespace portwise {

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

// Binds the first free slot (lowest index) to the target and returns its index, with the slot's
// callback record in *callbacks. -1 and *callbacks = nullptr when every slot is taken or the target
// is null.
int Bind(IALASIOCallbackTarget* target, TASIOCallbacks** callbacks);
// Frees the slot; an index that is out of range or not bound is ignored. See the rules above.
void Unbind(int index);

// The callback record of a slot (fixed for the life of the process), or null for a bad index.
TASIOCallbacks* Callbacks(int index);

}  // namespace ALASIOCallbackEntries

}  // namespace portwise

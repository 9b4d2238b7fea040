#pragma once
// Seam: the periodic multimedia timer (timeSetEvent / timeKillEvent).
//
// Contract. The callback runs on the timer's own thread, once per period, never concurrently with
// itself. Stop returns only after any running callback has returned, and must not be called from
// inside the callback.
#include <cstdint>

namespace portwise::platform {

using TMediaTimerId = std::uint32_t;  // 0 = failure
using TMediaTimerCallback = void (*)(void* context);

class IMediaTimer {
 public:
  virtual ~IMediaTimer() = default;
  virtual TMediaTimerId StartPeriodic(std::uint32_t periodMs, TMediaTimerCallback callback, void* context) = 0;
  virtual void Stop(TMediaTimerId id) = 0;
};

}  // namespace portwise::platform

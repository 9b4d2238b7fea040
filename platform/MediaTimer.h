#pragma once
// Seam: the multimedia timer (timeSetEvent / timeKillEvent).
//
// Contract. Time is counted in periods from the start. The callback runs on the timer's own
// thread at a period boundary, never concurrently with itself. It is told how many periods have
// passed since its previous call (since the start, for the first one; more than it asked for when
// the timer ran late, so a count kept from these never drifts) and returns how many periods to
// wait before its next call (0 counts as 1): a user with nothing due soon lets the timer sleep.
// Wake (any thread, the callback's included) brings the next call forward to the next boundary.
// Stop returns only after any running callback has returned, and must not be called from inside
// the callback.
#include <cstdint>

namespace portwise::platform {

using TMediaTimerId = std::uint32_t;  // 0 = failure
using TMediaTimerCallback = std::uint32_t (*)(void* context, std::uint32_t periods);

class IMediaTimer {
 public:
  virtual ~IMediaTimer() = default;
  virtual TMediaTimerId StartPeriodic(std::uint32_t periodMs, TMediaTimerCallback callback, void* context) = 0;
  virtual void Wake(TMediaTimerId id) = 0;
  // Periods passed since the callback's last call (since the start before the first); 0 for an
  // unknown timer.
  virtual std::uint32_t PeriodsSinceCall(TMediaTimerId id) = 0;
  virtual void Stop(TMediaTimerId id) = 0;
};

}  // namespace portwise::platform

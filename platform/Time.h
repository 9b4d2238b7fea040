#pragma once
// Seam: the 32-bit millisecond tick counter, local time and the user's long time format.
#include <cstdint>
#include <string>

namespace portwise::platform {

struct TLocalTime {
  std::uint16_t Year = 0, Month = 0, Day = 0;
  std::uint16_t Hour = 0, Minute = 0, Second = 0, Milliseconds = 0;
};

// What the user's locale says about its long time format.
struct TTimeFormat {
  bool b24Hour = true;           // false: 12-hour clock with designators
  bool bLeadingZero = true;      // hours shown with two digits
  bool bDesignatorFirst = false; // AM/PM before the hour (else after the seconds)
  std::string AMDesignator = "AM";
  std::string PMDesignator = "PM";
};

class ITime {
 public:
  virtual ~ITime() = default;
  // Milliseconds since an arbitrary start; wraps at 2^32. Any thread.
  virtual std::uint32_t GetTickCount() = 0;
  // Blocks the calling thread; the simulation's virtual time just moves on.
  virtual void Sleep(std::uint32_t ms) = 0;
  virtual TLocalTime GetLocalTime() = 0;
  virtual TTimeFormat GetTimeFormat() = 0;
};

}  // namespace portwise::platform

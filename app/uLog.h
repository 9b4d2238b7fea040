#pragma once
// The activity log: one time-stamped, coloured line per step, written to the main window's log
// pane. Main thread only: each line also processes pending messages, so the pane paints at once
// (and any window handler may run inside a call).
#include <string>

#include "platform/Time.h"
#include "platform/Window.h"

namespace portwise::app {

inline constexpr platform::TColorRef clLogInfo = 0;          // black
inline constexpr platform::TColorRef clLogSuccess = 0x8000;  // green
inline constexpr platform::TColorRef clLogError = 255;       // red
inline constexpr platform::TColorRef clLogWarning = 0x80FF;  // orange

// The local time in the user's long time format ("14:03:27", "2:03:27 PM", "PM 02:03:27", ...).
std::string FormatLogTime(const platform::TLocalTime& time, const platform::TTimeFormat& format);

void Log_Write(const std::string& Text, platform::TColorRef Color);
void Log_Info(const std::string& Text);
void Log_Success(const std::string& Text);
void Log_Error(const std::string& Text);
void Log_Warning(const std::string& Text);

}  // namespace portwise::app

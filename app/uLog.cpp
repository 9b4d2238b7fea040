#include "app/uLog.h"

#include <cstdio>

#include "app/frmMain.h"
#include "platform/Platform.h"

namespace portwise::app {

std::string FormatLogTime(const platform::TLocalTime& time, const platform::TTimeFormat& format) {
  unsigned hour = time.Hour;
  std::string designator;
  if (!format.b24Hour) {
    designator = hour < 12 ? format.AMDesignator : format.PMDesignator;
    hour %= 12;
    if (hour == 0) hour = 12;
  }
  char clock[16];
  std::snprintf(clock, sizeof clock, format.bLeadingZero ? "%02u:%02u:%02u" : "%u:%02u:%02u", hour,
                static_cast<unsigned>(time.Minute), static_cast<unsigned>(time.Second));
  if (format.b24Hour || designator.empty()) return clock;
  return format.bDesignatorFirst ? designator + " " + clock : std::string(clock) + " " + designator;
}

void Log_Write(const std::string& Text, platform::TColorRef Color) {
  if (!fmMain) return;
  platform::IPlatform& p = platform::Current();
  platform::IWindow& window = fmMain->Window();
  const std::string stamp = FormatLogTime(p.Time().GetLocalTime(), p.Time().GetTimeFormat());
  window.RichAppendLine(TfmMain::reLog, stamp + ": " + Text, Color);
  try {
    window.TrySetFocus(TfmMain::reLog);  // fails while minimised: harmless
  } catch (...) {
  }
  p.Messages().ProcessMessages();
}

void Log_Info(const std::string& Text) { Log_Write(Text, clLogInfo); }
void Log_Success(const std::string& Text) { Log_Write(Text, clLogSuccess); }
void Log_Error(const std::string& Text) { Log_Write(Text, clLogError); }
void Log_Warning(const std::string& Text) { Log_Write(Text, clLogWarning); }

}  // namespace portwise::app

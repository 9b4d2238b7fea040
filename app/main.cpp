// The composition root: the real Windows platform, installed for the whole run.
#include <exception>
#include <string>

#include "app/Application.h"
#include "platform/Platform.h"
#include "platform/win32/Win32Platform.h"

int main() {
  try {
    auto platform = portwise::platform::win32::CreatePlatform();
    portwise::platform::TPlatformScope scope(*platform);
    return portwise::app::RunApplication();
  } catch (const std::exception& e) {
    portwise::platform::win32::ReportFatalError(std::string("Portwise: ") + e.what());
    return 1;
  }
}

#include "app/Application.h"

#include <memory>

#include "app/frmMain.h"
#include "core/SLBuffers.h"
#include "platform/Platform.h"

namespace portwise::app {

int RunApplication() {
  platform::IPlatform& p = platform::Current();
  // The platform object is the initialised application; the main window is the top-level window
  // and so owns the task-bar button.
  // Quiet buffer sizes give their spare blocks back on the main thread, for the whole run.
  TSLSmartBufferTrimTimer trimTimer;
  bStarting = true;
  auto form = std::make_unique<TfmMain>();
  form->Show();
  form->Main_GetDevices();
  bStarting = false;
  p.Messages().RunMessageLoop();
  return 0;
}

}  // namespace portwise::app

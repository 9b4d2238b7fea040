#include "app/Application.h"

#include <memory>

#include "app/frmMain.h"
#include "platform/Platform.h"

namespace portwise::app {

int RunApplication() {
  platform::IPlatform& p = platform::Current();
  // The platform object is the initialised application; the main window is the top-level window
  // and so owns the task-bar button.
  bStarting = true;
  auto form = std::make_unique<TfmMain>();
  form->Show();
  form->Main_GetDevices();
  bStarting = false;
  p.Messages().RunMessageLoop();
  return 0;
}

}  // namespace portwise::app

#pragma once
// The real Windows platform. This header does not include <windows.h>: the composition root and
// the tests create the platform through the factory and talk to it through the seam.
//
// Finding the main window's controls from another process (the end-to-end harness does): the
// top-level window has the window class kMainWindowClass and the layout's caption. Every control
// is a descendant with control ID kControlIdBase + its index in TFormLayout::Controls, a child of
// the window of its layout parent (GetDlgItem(parent, id)). Buttons and labels carry their caption
// as window text; panels, list views and splitters carry their layout name; a rich edit's text is
// its content.
#include <memory>
#include <string>

#include "platform/Platform.h"

namespace portwise::platform::win32 {

inline constexpr int kControlIdBase = 100;
inline constexpr const char* kMainWindowClass = "PortwiseMainWindow";

// Call on the thread that is to be the main thread: it owns the message queue, the hidden windows
// and the main window.
std::unique_ptr<IPlatform> CreatePlatform();

// Last resort for the composition root: a message box with the text, for failures that leave no
// window to log into.
void ReportFatalError(const std::string& text);

}  // namespace portwise::platform::win32

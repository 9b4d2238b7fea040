#pragma once
// Shared by the files of the Windows platform only.
#include <windows.h>
// The seam has methods of these names; the A/W macros would rename them.
#undef PostMessage
#undef GetTimeFormat

#include <memory>
#include <string>

#include "platform/Window.h"

namespace portwise::platform::win32 {

std::wstring ToWide(const std::string& utf8);
std::string ToUtf8(const wchar_t* text, int length = -1);
inline std::string ToUtf8(const std::wstring& text) { return ToUtf8(text.c_str(), static_cast<int>(text.size())); }

// Makes the process per-monitor DPI aware where the system allows it (the manifest asks for the
// same; whichever comes first wins, the other call fails harmlessly).
void EnableDpiAwareness();
// The DPI the window is shown at (96 when the system cannot say per window).
UINT DpiForWindow(HWND wnd);

std::unique_ptr<IWindow> CreateMainWindow(const TFormLayout& layout, IWindowEvents& events);

}  // namespace portwise::platform::win32

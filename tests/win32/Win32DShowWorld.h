#pragma once
// The real Windows world of the DirectShow contracts: the Windows platform installed, COM on the
// test thread, and whether this is Wine (where Wine 8 and Windows differ).
#include <windows.h>

#include <memory>

#include "platform/ComServices.h"
#include "platform/win32/Win32Platform.h"

namespace portwise::test {

inline bool RunningOnWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

struct TWin32DShowWorld {
  TWin32DShowWorld() : Scope(*P) { P->Com().CoInitialize(); }
  ~TWin32DShowWorld() { P->Com().CoUninitialize(); }
  platform::IPlatform& Platform() { return *P; }
  bool Wine() { return RunningOnWine(); }

  std::unique_ptr<platform::IPlatform> P{platform::win32::CreatePlatform()};
  platform::TPlatformScope Scope;
};

}  // namespace portwise::test

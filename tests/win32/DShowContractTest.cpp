// The DirectShow contract on the system's own DirectShow (under Wine: Wine's, with the audio
// server the test run starts).
#include <windows.h>

#include "platform/win32/Win32Platform.h"
#include "tests/unit/platform/DShowContract.h"

namespace portwise::test::dshow {
namespace {

bool RunningOnWine() {
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

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, DShowContract, TWin32DShowWorld);

}  // namespace
}  // namespace portwise::test::dshow

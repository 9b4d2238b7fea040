// The DirectShow output and input with the system's DirectShow (under Wine: its DirectSound
// renderer, and its capture filter that has no pins).
#include "tests/unit/dshow/DSComponentsContract.h"
#include "tests/win32/Win32DShowWorld.h"

namespace portwise::test::dscomponents {
namespace {

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, DSComponentsContract, TWin32DShowWorld);

}  // namespace
}  // namespace portwise::test::dscomponents

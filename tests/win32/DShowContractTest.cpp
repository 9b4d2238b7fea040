// The DirectShow contract on the system's own DirectShow (under Wine: Wine's, with the audio
// server the test run starts).
#include "tests/unit/platform/DShowContract.h"
#include "tests/win32/Win32DShowWorld.h"

namespace portwise::test::dshow {
namespace {

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, DShowContract, TWin32DShowWorld);

}  // namespace
}  // namespace portwise::test::dshow

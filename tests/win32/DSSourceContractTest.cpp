// The backend's contract with the system's DirectShow: the device list and the push source filter
// playing through the system's audio renderer (under Wine: its DirectSound renderer).
#include "tests/unit/dshow/DSSourceContract.h"
#include "tests/win32/Win32DShowWorld.h"

namespace portwise::test::dssource {
namespace {

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, DSSourceContract, TWin32DShowWorld);

}  // namespace
}  // namespace portwise::test::dssource

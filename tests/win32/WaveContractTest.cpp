// The wave contract on real winmm (under Wine: its PulseAudio driver, with the audio server the
// test run starts).
#include "platform/win32/Win32Wave.h"
#include "tests/unit/platform/WaveContract.h"

namespace portwise::test::wave {
namespace {

struct TWinmmWorld {
  platform::IWaveAudio& Wave() { return Winmm; }
  std::uint32_t OutputDevice() { return 0; }
  std::uint32_t InputDevice() { return 0; }
  platform::win32::TWin32Wave Winmm;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Winmm, WaveContract, TWinmmWorld);

}  // namespace
}  // namespace portwise::test::wave

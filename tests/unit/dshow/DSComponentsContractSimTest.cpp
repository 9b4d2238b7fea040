// The DirectShow components' contract with the system's DirectShow, on the simulation: renderers
// that bring no allocator of their own (as Wine's DirectSound renderer) and a capture device.
#include "platform/sim/SimDShow.h"
#include "platform/sim/SimPlatform.h"
#include "tests/unit/dshow/DSComponentsContract.h"

namespace portwise::test::dscomponents {
namespace {

struct TSimWorld {
  TSimWorld() : DS(Sim) {
    DS.AddAudioRenderer("Default DirectSound Device");
    DS.AddAudioRenderer("DirectSound: Null Output");
    DS.AddAudioCapture("Monitor of Null Output");
    DS.SetRendererAllocator(false);
    Sim.Com().CoInitialize();
  }
  ~TSimWorld() { Sim.Com().CoUninitialize(); }
  bool Wine() { return false; }
  platform::sim::TSimPlatform Sim;
  platform::sim::TSimDShow DS;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, DSComponentsContract, TSimWorld);

}  // namespace
}  // namespace portwise::test::dscomponents

// The backend's contract with the system's DirectShow, on the simulation.
#include "platform/sim/SimDShow.h"
#include "platform/sim/SimPlatform.h"
#include "tests/unit/dshow/DSSourceContract.h"

namespace portwise::test::dssource {
namespace {

struct TSimWorld {
  TSimWorld() : DS(Sim) {
    DS.AddAudioRenderer("Default DirectSound Device");
    DS.AddAudioRenderer("DirectSound: Null Output");
    DS.SetRendererAllocator(false);  // as Wine's, so the filter brings its own
    Sim.Com().CoInitialize();
  }
  ~TSimWorld() { Sim.Com().CoUninitialize(); }
  platform::IPlatform& Platform() { return Sim; }
  bool Wine() { return false; }
  platform::sim::TSimPlatform Sim;
  platform::sim::TSimDShow DS;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, DSSourceContract, TSimWorld);

}  // namespace
}  // namespace portwise::test::dssource

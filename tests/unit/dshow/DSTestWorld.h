#pragma once
// A simulated world for the DirectShow backend's tests: the platform, its DirectShow system
// objects, COM on the test (main) thread and a component that owns what the test builds.
#include <gtest/gtest.h>

#include <string>

#include "core/LPComponent.h"
#include "platform/sim/SimDShow.h"
#include "platform/sim/SimPlatform.h"

namespace portwise::test {

// Stands for the DirectShow output or input that owns a selector or a graph wrapper.
class TDSTestOwner final : public TLPComponent {
 public:
  TDSTestOwner() : TLPComponent(nullptr) { SetName("DSOwner1"); }
};

class TDSWorldTest : public ::testing::Test {
 protected:
  TDSWorldTest() : DS(Sim) { Sim.Com().CoInitialize(); }
  ~TDSWorldTest() override { Sim.Com().CoUninitialize(); }

  platform::sim::TSimPlatform Sim;
  platform::sim::TSimDShow DS;
  TDSTestOwner Owner;
};

}  // namespace portwise::test

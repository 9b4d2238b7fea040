#include <gtest/gtest.h>

#include <vector>

#include "app/frmMain.h"
#include "gen/SLClockGen.h"
#include "platform/sim/SimPlatform.h"
#include "tests/unit/gen/GenTestSink.h"

namespace portwise::app {
namespace {

using platform::sim::TSimPlatform;
using portwise::testing::Eventually;
using portwise::testing::TTestSink;

TEST(WindowGeneratorTest, TheWindowsGeneratorRunsOnItsOwnClockFromStartUpAndProducesTheTone) {
  TSimPlatform sim;
  sim.SetMediaTimerManual(true);
  TTestSink sink;
  {
    TfmMain form;
    ASSERT_TRUE(form.ALSignalGen1);
    TALSignalGen& gen = *form.ALSignalGen1;
    EXPECT_EQ(gen.GetName(), "ALSignalGen1");
    EXPECT_EQ(gen.GetOwner(), &form);
    EXPECT_EQ(gen.GetAudioFormat().GetSampleRate(), 44100u);
    EXPECT_EQ(gen.GetAudioFormat().GetChannels(), 2u);
    EXPECT_EQ(gen.GetAudioFormat().GetBits(), 16u);
    EXPECT_EQ(gen.GetAudioFormat().GetBufferSize(), 1024u);
    EXPECT_EQ(gen.GetAmplitude(), 16383);
    EXPECT_EQ(gen.GetFrequency(), 1000.0);
    EXPECT_EQ(gen.GetSignalType(), atTone);
    EXPECT_TRUE(gen.GetEnabled());
    EXPECT_TRUE(gen.IsRunning());
    EXPECT_TRUE(gen.IsPump());
    EXPECT_TRUE(gen.HasOwnClock());

    // A sink joining now learns the running stream's format and then gets its buffers.
    ASSERT_TRUE(gen.GetOutputPin().Connect(&sink.Pin));
    EXPECT_EQ(sink.Events(), "S");
    EXPECT_EQ(sink.LastFormat().nSamplesPerSec, 44100u);
    sim.TickMediaTimer(24);
    ASSERT_TRUE(Eventually([&] { return sink.BufferCount() == 1; }));
    sim.TickMediaTimer(23);
    ASSERT_TRUE(Eventually([&] { return sink.BufferCount() == 2; }));
    const std::vector<PALAudioBuffer> buffers = sink.Buffers();
    EXPECT_EQ(buffers[0]->GetSize(), 1024u);
    EXPECT_EQ(buffers[0]->GetSample(0, 0), 16383);
    EXPECT_EQ(buffers[0]->GetSample(0, 1), 16383);
    EXPECT_EQ(sim.ThreadName(sink.LastBufferThread()), "ALSignalGen1.TSLClockGen");
  }
  // Closing the window ends the generator's stream and its clock.
  EXPECT_EQ(sink.Events().substr(0, 4), "SBBX");
  EXPECT_EQ(TSLClockGen::LiveCount(), 0);
}

}  // namespace
}  // namespace portwise::app

// The shell's commands on ASIO rows, against simulated drivers: the analysis lists each driver's
// channels or its failure row, a double-click tests the driver, the tone refuses a channel the
// driver does not have, the panel button keeps its device.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "app/uLog.h"
#include "app/uMultimedia.h"
#include "app/uRes.h"
#include "platform/sim/SimAsio.h"
#include "platform/sim/SimPlatform.h"
#include "tests/unit/app/ShellWorld.h"

namespace portwise::app {
namespace {

using platform::sim::EAsioCall;
using platform::sim::TSimAsio;
using platform::sim::TSimAsioChannel;

class ShellASIOTest : public TShellWorld {
 protected:
  ShellASIOTest() {
    Sim.SetVirtualTime(true);
    Dual.SetInputs({{"Mic 1", ASIOSTInt32LSB, 0}, {"Mic 2", ASIOSTInt32LSB, 0}});
    Dual.SetOutputs({{"Main L", ASIOSTInt32LSB, 0}, {"Main R", ASIOSTInt32LSB, 0}});
    Dual.Install(Sim);
    Empty.SetInputs({});
    Empty.SetOutputs({});
    Empty.Install(Sim);
    Broken.SetResult(EAsioCall::start, ASE_InvalidMode);
    Broken.Install(Sim);
    Sim.SimRegistry().AddKey("Software\\ASIO\\Ghost");  // a key without "clsid"
    ShowForm();
  }
  ~ShellASIOTest() override { CloseForm(); }

  int RowOf(const std::string& driver, const std::string& connexion) {
    const TRows rows = Rows();
    for (std::size_t i = 0; i < rows.size(); ++i)
      if (rows[i][0] == driver && rows[i][1] == connexion) return static_cast<int>(i);
    return -1;
  }

  TSimAsio Broken{"Broken"}, Dual{"Dual"}, Empty{"Empty"};
};

TEST_F(ShellASIOTest, TheAnalysisGivesEachDriverItsChannelRowsOrOneFailureRowWithItsLogLines) {
  Form->btnGetDevicesClick();
  const TRows expected{
      {"Broken", "-", "ASIO", "-1", "?", "-"},
      {"Dual", "Mic 1", "ASIO", "0", "In", "-"},
      {"Dual", "Mic 2", "ASIO", "1", "In", "-"},
      {"Dual", "Main L", "ASIO", "0", "Out", "-"},
      {"Dual", "Main R", "ASIO", "1", "Out", "-"},
      {"Empty", "-", "ASIO", "-1", "?", "-"},
      {"Ghost", "-", "ASIO", "-1", "?", "-"},
  };
  EXPECT_EQ(Rows(), expected);
  const TLines expectedLog{
      {KLogSearchStart, I},
      {"[ASIO] Broken -> Can't start - Hardware is in a bad mode or used in a bad mode", R},
      {"[ASIO] Broken -> Démarrage interface impossible.", R},
      {"[ASIO] Dual -> Démarrage interface : OK.", G},
      {"[ASIO] Dual -> Arrêt interface : OK.", G},
      {"[ASIO] Empty -> Démarrage interface : OK.", G},
      {"[ASIO] Empty -> Arrêt interface : OK.", G},
      // A driver that cannot even be created did not start.
      {"[ASIO] Ghost -> Démarrage interface impossible.", R},
      {KLogSearchEnd, I},
  };
  EXPECT_EQ(Log(), expectedLog);
  EXPECT_EQ(ASIOAudioDevice, nullptr);
  EXPECT_EQ(Dual.LiveObjects() + Empty.LiveObjects() + Broken.LiveObjects(), 0);
  EXPECT_FALSE(bBusy);
}

TEST_F(ShellASIOTest, AnInterfaceTestSaysOKOnlyForADriverThatStreamsAndMarksItsOwnRow) {
  TSimAsio silent("Silent");
  silent.SetInputs({{"In 1", ASIOSTInt32LSB, 0}});
  silent.SetOutputs({{"Out 1", ASIOSTInt32LSB, 0}});
  silent.SetCallbacks(false);  // starts, but never calls back
  silent.Install(Sim);
  Form->btnGetDevicesClick();
  Sim.SetVirtualTime(false);  // the drivers call back in real time
  struct TCase {
    const char* Driver;
    const char* Connexion;
    const char* Cell;
    TLines Lines;
  };
  const TCase cases[] = {
      {"Dual", "Main R", "OK",
       {{"[ASIO] Dual -> Test interface...", I},
        {"[ASIO] Dual -> Démarrage interface : OK.", G},
        {"[ASIO] Dual -> Arrêt interface : OK.", G},
        {"[ASIO] Dual -> Fin de test", I}}},
      {"Broken", "-", "Err.",
       {{"[ASIO] Broken -> Test interface...", I},
        {"[ASIO] Broken -> Can't start - Hardware is in a bad mode or used in a bad mode", R},
        {"[ASIO] Broken -> Ouverture interface impossible.", R},
        {"[ASIO] Broken -> Fin de test", I}}},
      {"Silent", "In 1", "Err.",
       {{"[ASIO] Silent -> Test interface...", I},
        {"[ASIO] Silent -> Démarrage interface : OK.", G},
        {"[ASIO] Silent -> Aucun rappel du pilote pendant le test.", R},
        {"[ASIO] Silent -> Arrêt interface : OK.", G},
        {"[ASIO] Silent -> Fin de test", I}}},
      {"Ghost", "-", "Err.",
       {{"[ASIO] Ghost -> Test interface...", I},
        {"[ASIO] Ghost -> Ouverture interface impossible.", R},
        {"[ASIO] Ghost -> Fin de test", I}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Driver);
    const std::size_t from = LogSize();
    const int row = RowOf(c.Driver, c.Connexion);
    DoubleClick(row);
    EXPECT_EQ(Rows()[row][5], c.Cell);
    EXPECT_EQ(Log(from), c.Lines);
    EXPECT_EQ(ASIOAudioDevice, nullptr);
  }
  // Only the tested rows changed.
  EXPECT_EQ(Rows()[RowOf("Dual", "Main L")][5], "-");
  EXPECT_EQ(Dual.LiveObjects() + Broken.LiveObjects(), 0);
}

TEST_F(ShellASIOTest, TheDriverTestedRunsForHalfASecondAfterItsChannelItemsAreAdded) {
  Form->btnGetDevicesClick();
  Dual.ClearCalls();
  const std::uint32_t t0 = Sim.GetTickCount();
  DoubleClick(RowOf("Dual", "Mic 1"));
  // enable 100 + four channels 400 + start 100 + 500 + stop 100
  EXPECT_GE(Sim.GetTickCount() - t0, 1200u);
  const auto create = Dual.LastCreateRequest();
  EXPECT_EQ(create.Infos.size(), 0u) << "the first start has no channel items yet";
  EXPECT_EQ(Dual.CountCalls(EAsioCall::start), 1u);
  EXPECT_EQ(Dual.CountCalls(EAsioCall::stop), 1u);
}

TEST_F(ShellASIOTest, AToneOnAChannelTheDriverDoesNotHaveIsRefusedAndReleasesTheDriver) {
  TSimAsio narrow("Narrow");
  narrow.SetInputs({{"In 1", ASIOSTInt32LSB, 0}, {"In 2", ASIOSTInt32LSB, 0}, {"In 3", ASIOSTInt32LSB, 0}});
  narrow.SetOutputs({{"Out 1", ASIOSTInt32LSB, 0}});
  narrow.Install(Sim);
  Form->btnGetDevicesClick();
  const std::size_t from = LogSize();
  Window->UserSelect(TfmMain::lstDevices, RowOf("Narrow", "In 3"));
  Pump();
  Form->btnGenClick();
  EXPECT_EQ(Log(from), (TLines{{"[ASIO] Narrow -> Pas de canal de sortie 2 : signal de test impossible.", R}}));
  EXPECT_EQ(narrow.CountCalls(EAsioCall::start), 1u) << "only the analysis started it";
  EXPECT_EQ(narrow.LiveObjects(), 0);
  EXPECT_EQ(ASIOAudioDevice, nullptr);
}

TEST_F(ShellASIOTest, AToneOnAnInputRowPlaysOnTheOutputOfTheSameIndexAndSwitchesTheGeneratorBack) {
  Form->btnGetDevicesClick();
  const std::size_t from = LogSize();
  Window->UserSelect(TfmMain::lstDevices, RowOf("Dual", "Mic 2"));
  Pump();
  Form->btnGenClick();
  EXPECT_EQ(Log(from), (TLines{{"[ASIO] Dual -> Démarrage générateur audio", I},
                               {"[ASIO] Dual -> Arrêt générateur audio", I}}));
  const auto create = Dual.LastCreateRequest();
  ASSERT_EQ(create.Infos.size(), 4u);  // every channel has its item
  EXPECT_FALSE(Form->ALSignalGen1->GetEnabled());
  EXPECT_EQ(Dual.LiveObjects(), 0);
  EXPECT_EQ(ASIOAudioDevice, nullptr);
}

TEST_F(ShellASIOTest, EachPanelPressKeepsItsDeviceUntilTheWindowGoes) {
  Form->btnGetDevicesClick();
  Window->UserSelect(TfmMain::lstDevices, RowOf("Dual", "Main L"));
  Pump();
  EXPECT_TRUE(Window->GetEnabled(TfmMain::btnASIO));
  Form->btnASIOClick();
  TALASIOAudioDevice* first = ASIOAudioDevice;
  Form->btnASIOClick();
  EXPECT_NE(ASIOAudioDevice, first);
  EXPECT_EQ(Dual.CountCalls(EAsioCall::controlPanel), 2u);
  EXPECT_EQ(Dual.LiveObjects(), 2);
  CloseForm();
  EXPECT_EQ(Dual.LiveObjects(), 0);
  EXPECT_EQ(ASIOAudioDevice, nullptr);
}

TEST_F(ShellASIOTest, AnErrorReportedWithTheSlotEmptyNamesNoDriver) {
  const std::size_t from = LogSize();
  bool handled = false;
  Form->ALASIOAudioDevice1Error(nullptr, "Can't stop - Unknown", 1, handled);
  Form->ALASIOAudioDevice1Warning(nullptr, "Can't get latencies - Unknown", 1);
  EXPECT_EQ(Log(from), (TLines{{"[ASIO] AudioDevice? -> Can't stop - Unknown", R},
                               {"[ASIO] AudioDevice? -> Can't get latencies - Unknown", clLogWarning}}));
  EXPECT_FALSE(handled);
}

}  // namespace
}  // namespace portwise::app

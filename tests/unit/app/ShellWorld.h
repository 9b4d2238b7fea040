#pragma once
// What the shell's command tests share: the simulated machine, the main window on it, and the
// table and log read back as a user sees them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/frmMain.h"
#include "app/uLog.h"
#include "platform/sim/SimPlatform.h"

namespace portwise::app {

using TRows = std::vector<std::vector<std::string>>;
using TLines = std::vector<std::pair<std::string, platform::TColorRef>>;

inline const platform::TColorRef I = clLogInfo, G = clLogSuccess, R = clLogError;

class TShellWorld : public ::testing::Test {
 protected:
  ~TShellWorld() override {
    bStarting = false;
    bBusy = false;
  }
  // The window is made once the test has scripted its machine, and goes before the simulated
  // services the test added (its destructor calls CloseForm) with the components it still owns.
  void ShowForm() {
    Form = std::make_unique<TfmMain>();
    Form->Show();
    Window = Sim.MainWindow();
  }
  void CloseForm() { Form.reset(); }

  void Pump() { Sim.ProcessMessages(); }
  TRows Rows() { return Window->Rows(TfmMain::lstDevices); }
  std::size_t LogSize() { return Window->Lines(TfmMain::reLog).size(); }
  // The log lines from position `from` on, without their time stamps.
  TLines Log(std::size_t from = 0) {
    TLines out;
    const auto lines = Window->Lines(TfmMain::reLog);
    for (std::size_t i = from; i < lines.size(); ++i) {
      const std::string& t = lines[i].Text;
      out.emplace_back(t.substr(t.find(": ") + 2), lines[i].Color);
    }
    return out;
  }
  void DoubleClick(int row) {
    Window->UserSelect(TfmMain::lstDevices, row);
    Window->UserDblClick(TfmMain::lstDevices);
    Pump();
  }

  platform::sim::TSimPlatform Sim;
  std::unique_ptr<TfmMain> Form;
  platform::sim::TSimWindow* Window = nullptr;
};

}  // namespace portwise::app

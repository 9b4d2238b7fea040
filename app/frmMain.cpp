#include "app/frmMain.h"

#include <exception>

#include "app/uLog.h"
#include "app/uMultimedia.h"
#include "platform/Platform.h"

namespace portwise::app {

bool bStarting = false;
bool bBusy = false;
TfmMain* fmMain = nullptr;

platform::TFormLayout TfmMain::Layout() {
  using platform::EAlign;
  using platform::EControlKind;
  platform::TFormLayout f;
  f.Caption = "Portwise";
  f.ClientWidth = 625;
  f.ClientHeight = 497;
  f.bSystemMenu = true;
  f.bMinimizeBox = true;
  f.bMaximizeBox = false;
  f.FontName = "Tahoma";
  f.FontHeight = -11;

  auto add = [&f](EControlKind kind, const char* name, const char* parent, EAlign align, int left, int top,
                  int width, int height, const char* caption) -> platform::TControlLayout& {
    platform::TControlLayout c;
    c.Kind = kind;
    c.Name = name;
    c.Parent = parent;
    c.Align = align;
    c.Left = left;
    c.Top = top;
    c.Width = width;
    c.Height = height;
    c.Caption = caption;
    f.Controls.push_back(c);
    return f.Controls.back();
  };

  add(EControlKind::Panel, Panel1, "", EAlign::Top, 0, 0, 0, 41, "").bLoweredBevel = true;
  add(EControlKind::Button, btnGetDevices, Panel1, EAlign::None, 16, 8, 65, 25, "Analyser");
  add(EControlKind::Button, btnGen, Panel1, EAlign::None, 87, 8, 146, 25, "1000 Hz / -6 dBFS (1 sec)");
  add(EControlKind::Button, btnASIO, Panel1, EAlign::None, 239, 8, 90, 25, "Panneau ASIO").bEnabled = false;
  platform::TControlLayout& list = add(EControlKind::ListView, lstDevices, "", EAlign::Top, 0, 0, 0, 312, "");
  list.bGridLines = true;
  list.bReadOnly = true;
  list.Columns = {{"Interface", 200}, {"Connexion", 200}, {"Type", 50}, {"Index", 50}, {"In/out", 50}, {"Test", 50}};
  add(EControlKind::Splitter, Splitter1, "", EAlign::Top, 0, 0, 0, 3, "");
  add(EControlKind::Panel, Panel2, "", EAlign::Top, 0, 0, 0, 23, "").bLoweredBevel = true;
  add(EControlKind::Label, Label5, Panel2, EAlign::None, 8, 4, 0, 0, "Dernières actions").bBold = true;
  add(EControlKind::RichEdit, reLog, "", EAlign::Client, 0, 0, 0, 0, "").bScrollBars = true;
  return f;
}

TfmMain::TfmMain() : TComponent(nullptr) {
  SetName("fmMain");
  FWindow = platform::Current().Windowing().CreateMainWindow(Layout(), *this);
  ALSignalGen1 = LoadComponent<TALSignalGen>(
      [](TALSignalGen& g) {
        g.SetName("ALSignalGen1");
        g.GetAudioFormat().SetSampleRate(44100);
        g.SetAmplitude(16383);
        g.SetFrequency(1000.0);
        g.SetAsymmetry(0);
        g.SetPhase(0);
      },
      this);
  fmMain = this;
}

TfmMain::~TfmMain() {
  // The generator goes first: its clock and stream end while everything else still exists.
  ALSignalGen1.reset();
  // Then the components left behind (the ASIO panel's device), newest first.
  ForgetSlots();
  while (!FOwned.empty()) {
    std::unique_ptr<TComponent> last = std::move(FOwned.back());
    FOwned.pop_back();
    last.reset();
  }
  if (fmMain == this) fmMain = nullptr;
}

void TfmMain::DestroyOwned(TComponent* AComponent) {
  for (auto it = FOwned.begin(); it != FOwned.end(); ++it) {
    if (it->get() != AComponent) continue;
    // Out of the list first: a destructor that pumps messages may reach the list again.
    std::unique_ptr<TComponent> doomed = std::move(*it);
    FOwned.erase(it);
    doomed.reset();
    return;
  }
}

void TfmMain::Show() { FWindow->Show(); }

void TfmMain::AddDeviceRow(const std::string& Interface, const std::string& Connexion, const std::string& Type,
                           const std::string& Index, const std::string& InOut, const std::string& Test) {
  FWindow->ListAddItem(lstDevices, {Interface, Connexion, Type, Index, InOut, Test});
}

void TfmMain::Main_GetDevices() {
  platform::Current().Messages().ProcessMessages();
  btnGetDevicesClick();
}

template <class F>
void TfmMain::RunOperation(F&& operation) {
  if (FOperationRunning) return;
  struct TGuard {
    bool& b;
    ~TGuard() { b = false; }
  } guard{FOperationRunning};
  FOperationRunning = true;
  // Nothing may unwind into the platform's message dispatch: an escaping failure is reported
  // in the log and ends the command.
  try {
    operation();
  } catch (const std::exception& e) {
    Log_Error(e.what());
  } catch (...) {
    Log_Error("Exception");
  }
}

void TfmMain::btnGetDevicesClick() {
  RunOperation([this] { AnalyseDevices(); });
}

void TfmMain::btnGenClick() {
  RunOperation([this] { PlayTestTone(); });
}

void TfmMain::btnASIOClick() {
  RunOperation([this] { ShowASIOPanel(); });
}

void TfmMain::lstDevicesClick() {
  if (TableEventsBlocked() || !FWindow->ListHasSelection(lstDevices)) return;
  UpdateASIOButton();
}

void TfmMain::lstDevicesSelectItem() { lstDevicesClick(); }

void TfmMain::lstDevicesDblClick() {
  if (TableEventsBlocked() || !FWindow->ListHasSelection(lstDevices)) return;
  const int item = FWindow->ListItemIndex(lstDevices);
  RunOperation([this, item] { TestInterface(item); });
}

void TfmMain::OnClick(const std::string& control) {
  if (control == btnGetDevices) btnGetDevicesClick();
  else if (control == btnGen) btnGenClick();
  else if (control == btnASIO) btnASIOClick();
  else if (control == lstDevices) lstDevicesClick();
}

void TfmMain::OnDblClick(const std::string& control) {
  if (control == lstDevices) lstDevicesDblClick();
}

void TfmMain::OnSelectItem(const std::string& control, int /*item*/, bool /*bSelected*/) {
  if (control == lstDevices) lstDevicesSelectItem();
}

void TfmMain::OnClose() { platform::Current().Messages().PostQuit(); }

void Delay_ms(std::int32_t ms, bool bAppProcMsg) {
  platform::IPlatform& p = platform::Current();
  const std::uint32_t start = p.Time().GetTickCount();
  for (;;) {
    const std::uint32_t elapsed = p.Time().GetTickCount() - start;
    if (bAppProcMsg) p.Messages().ProcessMessages();
    const std::int64_t left = static_cast<std::int64_t>(ms) - static_cast<std::int64_t>(elapsed);
    if (left <= 0) return;
    // Sleep instead of spinning: a pending message or the deadline ends the wait.
    const auto wait = static_cast<std::uint32_t>(left);
    if (bAppProcMsg) p.Messages().WaitMessage(wait);
    else p.Time().Sleep(wait);
  }
}

}  // namespace portwise::app

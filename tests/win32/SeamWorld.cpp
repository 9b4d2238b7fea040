#include "tests/win32/SeamWorld.h"

#include <chrono>

namespace portwise::test {

bool TSeamTest::PumpUntil(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    Msgs().ProcessMessages();
    if (done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    Msgs().WaitMessage(20);
  }
}

void TSeamTest::PumpFor(unsigned ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    Msgs().ProcessMessages();
    Msgs().WaitMessage(10);
  }
  Msgs().ProcessMessages();
}

platform::TFormLayout SmallLayout() {
  using namespace platform;
  TFormLayout f;
  f.Caption = "Portwise contract";
  f.ClientWidth = 420;
  f.ClientHeight = 300;
  auto add = [&](EControlKind kind, const char* name, const char* parent, EAlign align) -> TControlLayout& {
    TControlLayout c;
    c.Kind = kind;
    c.Name = name;
    c.Parent = parent;
    c.Align = align;
    f.Controls.push_back(c);
    return f.Controls.back();
  };
  TControlLayout& top = add(EControlKind::Panel, "pnlTop", "", EAlign::Top);
  top.Height = 41;
  top.bLoweredBevel = true;
  TControlLayout& go = add(EControlKind::Button, "btnGo", "pnlTop", EAlign::None);
  go.Left = 16, go.Top = 8, go.Width = 65, go.Height = 25, go.Caption = "Analyser";
  TControlLayout& off = add(EControlKind::Button, "btnOff", "pnlTop", EAlign::None);
  off.Left = 87, off.Top = 8, off.Width = 120, off.Height = 25, off.Caption = "Désactivé", off.bEnabled = false;
  TControlLayout& list = add(EControlKind::ListView, "lstRows", "", EAlign::Top);
  list.Height = 150;
  list.bGridLines = true;
  list.bReadOnly = true;
  list.Columns = {{"Interface", 150}, {"Connexion", 120}, {"Test", 50}};
  add(EControlKind::Splitter, "splMid", "", EAlign::Top).Height = 3;
  TControlLayout& mid = add(EControlKind::Panel, "pnlMid", "", EAlign::Top);
  mid.Height = 23;
  mid.bLoweredBevel = true;
  TControlLayout& label = add(EControlKind::Label, "lblLog", "pnlMid", EAlign::None);
  label.Left = 8, label.Top = 4, label.Caption = "Dernières actions", label.bBold = true;
  add(EControlKind::RichEdit, "reLog", "", EAlign::Client).bScrollBars = true;
  return f;
}

}  // namespace portwise::test

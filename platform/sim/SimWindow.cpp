#include <stdexcept>

#include "platform/sim/SimPlatform.h"

namespace portwise::platform::sim {

TSimWindow::TSimWindow(TSimPlatform& platform, const TFormLayout& layout, IWindowEvents& events)
    : FPlatform(platform), FLayout(layout), FEvents(events), FAlive(std::make_shared<bool>(true)) {
  for (const TControlLayout& c : FLayout.Controls) {
    FEnabled[c.Name] = c.bEnabled;
    if (c.Kind == EControlKind::ListView) {
      FLists[c.Name];
      FItemIndex[c.Name] = -1;
    }
    if (c.Kind == EControlKind::RichEdit) FRich[c.Name];
  }
}

TSimWindow::~TSimWindow() {
  *FAlive = false;
  FPlatform.WindowDestroyed(this);
}

const TControlLayout* TSimWindow::Find(const std::string& name) const {
  for (const TControlLayout& c : FLayout.Controls)
    if (c.Name == name) return &c;
  return nullptr;
}

void TSimWindow::Close() { FClosed = true; }

void TSimWindow::SetEnabled(const std::string& control, bool bEnabled) {
  if (!Find(control)) throw std::invalid_argument("no control " + control);
  FEnabled[control] = bEnabled;
}

bool TSimWindow::GetEnabled(const std::string& control) {
  if (!Find(control)) throw std::invalid_argument("no control " + control);
  return FEnabled[control];
}

void TSimWindow::ListClear(const std::string& list) {
  FLists.at(list).clear();
  FItemIndex[list] = -1;
}

int TSimWindow::ListAddItem(const std::string& list, const std::vector<std::string>& cells) {
  auto& rows = FLists.at(list);
  rows.push_back(cells);
  return static_cast<int>(rows.size()) - 1;
}

int TSimWindow::ListCount(const std::string& list) { return static_cast<int>(FLists.at(list).size()); }

std::string TSimWindow::ListGetCell(const std::string& list, int item, int column) {
  auto& rows = FLists.at(list);
  if (item < 0 || item >= static_cast<int>(rows.size())) return {};
  auto& row = rows[static_cast<std::size_t>(item)];
  if (column < 0 || column >= static_cast<int>(row.size())) return {};
  return row[static_cast<std::size_t>(column)];
}

void TSimWindow::ListSetCell(const std::string& list, int item, int column, const std::string& text) {
  auto& rows = FLists.at(list);
  if (item < 0 || item >= static_cast<int>(rows.size()) || column < 0) return;
  auto& row = rows[static_cast<std::size_t>(item)];
  if (column >= static_cast<int>(row.size())) row.resize(static_cast<std::size_t>(column) + 1);
  row[static_cast<std::size_t>(column)] = text;
}

int TSimWindow::ListItemIndex(const std::string& list) { return FItemIndex.at(list); }

bool TSimWindow::ListHasSelection(const std::string& list) { return FItemIndex.at(list) >= 0; }

void TSimWindow::RichAppendLine(const std::string& edit, const std::string& text, TColorRef color) {
  FRich.at(edit).push_back({text, color});
}

bool TSimWindow::TrySetFocus(const std::string& control) {
  if (!FVisible || FMinimized || !FEnabled[control]) return false;
  FFocus = control;
  return true;
}

std::vector<TSimWindow::TLine> TSimWindow::Lines(const std::string& edit) { return FRich.at(edit); }

std::vector<TSimWindow::TLine> TSimWindow::TakeLines(const std::string& edit) {
  std::vector<TLine> lines;
  lines.swap(FRich.at(edit));
  return lines;
}

std::vector<std::vector<std::string>> TSimWindow::Rows(const std::string& list) { return FLists.at(list); }

void TSimWindow::UserClick(const std::string& control) {
  std::weak_ptr<bool> alive = FAlive;
  FPlatform.PostInput([this, alive, control] {
    if (alive.expired() || !FEnabled[control]) return;  // a disabled button takes no click
    FEvents.OnClick(control);
  });
}

void TSimWindow::UserSelect(const std::string& list, int item) {
  std::weak_ptr<bool> alive = FAlive;
  FPlatform.PostInput([this, alive, list, item] {
    if (alive.expired()) return;
    int count = static_cast<int>(FLists.at(list).size());
    int previous = FItemIndex[list];
    FItemIndex[list] = (item >= 0 && item < count) ? item : -1;
    if (previous >= 0 && previous != FItemIndex[list]) FEvents.OnSelectItem(list, previous, false);
    if (FItemIndex[list] >= 0) FEvents.OnSelectItem(list, FItemIndex[list], true);
    FEvents.OnClick(list);
  });
}

void TSimWindow::UserDblClick(const std::string& list) {
  std::weak_ptr<bool> alive = FAlive;
  FPlatform.PostInput([this, alive, list] {
    if (alive.expired()) return;
    FEvents.OnDblClick(list);
  });
}

void TSimWindow::UserClose() {
  std::weak_ptr<bool> alive = FAlive;
  FPlatform.PostInput([this, alive] {
    if (alive.expired()) return;
    FEvents.OnClose();
  });
}

}  // namespace portwise::platform::sim

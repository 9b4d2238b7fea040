#pragma once
// Seam: the program's one top-level window, built from a declarative layout.
//
// Contract. The shell describes the window (TFormLayout) and talks to its controls by name; the
// platform builds it (a real Win32 window, or a headless one in the simulation) and reports the
// user's actions through IWindowEvents, always on the main thread, from message processing.
// Coordinates are client pixels at 96 DPI.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace portwise::platform {

enum class EControlKind { Panel, Button, ListView, Splitter, Label, RichEdit };
enum class EAlign { None, Top, Client };

struct TListColumn {
  std::string Title;
  int Width = 50;
};

struct TControlLayout {
  EControlKind Kind = EControlKind::Panel;
  std::string Name;
  std::string Parent;  // empty: the form itself
  EAlign Align = EAlign::None;
  int Left = 0, Top = 0, Width = 0, Height = 0;  // Top/Client aligned controls ignore what alignment sets
  std::string Caption;
  bool bEnabled = true;
  bool bBold = false;
  bool bLoweredBevel = false;            // panels
  bool bGridLines = false, bReadOnly = false;  // list views
  bool bScrollBars = false;              // rich edit: both scroll bars
  std::vector<TListColumn> Columns;      // list views
};

struct TFormLayout {
  std::string Caption;
  int ClientWidth = 0, ClientHeight = 0;
  bool bSystemMenu = true, bMinimizeBox = true, bMaximizeBox = false;
  std::string FontName = "Tahoma";
  int FontHeight = -11;
  std::vector<TControlLayout> Controls;  // in creation order, top to bottom
};

class IWindowEvents {
 public:
  virtual ~IWindowEvents() = default;
  virtual void OnClick(const std::string& control) = 0;        // buttons, list view
  virtual void OnDblClick(const std::string& control) = 0;     // list view
  virtual void OnSelectItem(const std::string& control, int item, bool bSelected) = 0;
  virtual void OnClose() = 0;
};

// 0x00BBGGRR, as Windows stores colours.
using TColorRef = std::uint32_t;

class IWindow {
 public:
  virtual ~IWindow() = default;
  virtual void Show() = 0;
  virtual bool IsMinimized() = 0;
  virtual void Close() = 0;

  virtual void SetEnabled(const std::string& control, bool bEnabled) = 0;
  virtual bool GetEnabled(const std::string& control) = 0;

  // Report-style list view. Column 0 is the item caption, 1.. its sub-items.
  virtual void ListClear(const std::string& list) = 0;
  virtual int ListAddItem(const std::string& list, const std::vector<std::string>& cells) = 0;
  virtual int ListCount(const std::string& list) = 0;
  virtual std::string ListGetCell(const std::string& list, int item, int column) = 0;
  virtual void ListSetCell(const std::string& list, int item, int column, const std::string& text) = 0;
  // The list's current item (focused/selected), -1 when there is none.
  virtual int ListItemIndex(const std::string& list) = 0;
  virtual bool ListHasSelection(const std::string& list) = 0;

  // Rich edit: caret to the end, selection colour, then the line appended as the last line.
  virtual void RichAppendLine(const std::string& edit, const std::string& text, TColorRef color) = 0;
  // False (and nothing raised) when the control cannot take the focus now.
  virtual bool TrySetFocus(const std::string& control) = 0;
};

class IWindowing {
 public:
  virtual ~IWindowing() = default;
  // Main thread. `events` must outlive the window.
  virtual std::unique_ptr<IWindow> CreateMainWindow(const TFormLayout& layout, IWindowEvents& events) = 0;
};

}  // namespace portwise::platform

namespace portwise::platform {

struct TRect {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  friend bool operator==(const TRect&, const TRect&) = default;
};

// Where each control ends up once alignment is applied (top-aligned controls stack in order and
// take the parent's width; a client-aligned one takes what is left). Both platforms place the
// controls with this, so the simulation's geometry is the real window's.
struct TPlacedControl {
  std::string Name;
  TRect Bounds;  // relative to the parent's client area
};
std::vector<TPlacedControl> PlaceControls(const TFormLayout& layout);

}  // namespace portwise::platform

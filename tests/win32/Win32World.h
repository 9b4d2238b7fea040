#pragma once
// The real Windows world, with what the tests of the Windows window need besides the contract:
// the window's handles, found as another process would find them, and raw input.
// <windows.h>, without the macros that would rename methods of the seam.
#include "platform/Com.h"

#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tests/win32/SeamWorld.h"

namespace portwise::test {

// What a line's colour reads back as when it has none of its own.
inline constexpr platform::TColorRef kMixed = 0xFFFFFFFF;  // differs within the line
inline constexpr platform::TColorRef kAuto = 0xFF000000;   // the system's text colour

std::wstring Wide(const std::string& s);
std::string Narrow(const std::wstring& w);
std::string WindowText(HWND w);
RECT RectInParent(HWND w);  // in the parent's client coordinates

class TWin32World final : public TSeamWorld {
 public:
  TWin32World();
  ~TWin32World() override;

  platform::IPlatform& Platform() override { return *FPlatform; }
  platform::EThreadPriority CurrentThreadPriority() override;
  std::optional<std::string> CurrentThreadName() override;

  std::unique_ptr<platform::IWindow> OpenWindow(const platform::TFormLayout& layout,
                                                platform::IWindowEvents& events) override;
  bool WindowOpen() override { return FMain && IsWindow(FMain); }
  void Minimize() override;
  std::vector<TSeenLine> RichLines(const std::string& edit) override;
  std::vector<std::vector<std::string>> Rows(const std::string& list) override;

  void UserClick(const std::string& control) override;
  void UserClickRow(const std::string& list, int item) override;
  void UserDblClickRow(const std::string& list, int item) override;
  void UserClose() override;

  void SetRegString(const std::string& path, const std::string& name, const std::string& value) override;
  void SetRegDword(const std::string& path, const std::string& name, std::uint32_t value) override;
  void DeleteRegTree(const std::string& path) override;
  void AddClass(const CLSID& clsid, IUnknown* object) override;
  void RemoveClasses() override;

  HWND Main() const { return FMain; }
  HWND Control(const std::string& name) const;
  void ClickAt(POINT screen, int clicks);
  // Presses the left button on the control's centre, moves by dy and lets go.
  void DragBy(HWND control, int dy);

 private:
  POINT RowPoint(const std::string& list, int item);

  std::unique_ptr<platform::IPlatform> FPlatform;
  platform::TPlatformScope FScope;
  platform::TFormLayout FLayout;
  HWND FMain = nullptr;
  std::vector<DWORD> FClassCookies;
};

}  // namespace portwise::test

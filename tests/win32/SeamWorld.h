#pragma once
// The contract tests of the platform seam run against two worlds: the real Windows services and
// the simulation. A world gives the platform and, for what the seam itself cannot tell, reads
// back what the system or a person would see and acts as the user.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ComServices.h"
#include "platform/Platform.h"

namespace portwise::test {

struct TSeenLine {
  std::string Text;
  platform::TColorRef Color = 0;
  friend bool operator==(const TSeenLine&, const TSeenLine&) = default;
};

class TSeamWorld {
 public:
  virtual ~TSeamWorld() = default;
  virtual platform::IPlatform& Platform() = 0;

  // The calling thread, as the system sees it.
  virtual platform::EThreadPriority CurrentThreadPriority() = 0;
  // Empty when the system cannot tell.
  virtual std::optional<std::string> CurrentThreadName() = 0;

  // The main window; the world remembers it for what follows.
  virtual std::unique_ptr<platform::IWindow> OpenWindow(const platform::TFormLayout& layout,
                                                        platform::IWindowEvents& events) = 0;
  virtual bool WindowOpen() = 0;
  virtual void Minimize() = 0;
  virtual std::vector<TSeenLine> RichLines(const std::string& edit) = 0;
  virtual std::vector<std::vector<std::string>> Rows(const std::string& list) = 0;

  // Acting as the user: the input is queued; message processing delivers it.
  virtual void UserClick(const std::string& control) = 0;
  virtual void UserClickRow(const std::string& list, int item) = 0;
  virtual void UserDblClickRow(const std::string& list, int item) = 0;
  virtual void UserClose() = 0;

  // The machine as an installer would set it up: HKEY_LOCAL_MACHINE (paths as the seam takes
  // them) and COM classes creatable in-process. Whatever a world adds it removes again.
  virtual void SetRegString(const std::string& path, const std::string& name, const std::string& value) = 0;
  virtual void SetRegDword(const std::string& path, const std::string& name, std::uint32_t value) = 0;
  virtual void DeleteRegTree(const std::string& path) = 0;
  // The class answers with `object` (asked for any interface it has). COM must be initialised on
  // the calling thread, and stay so until RemoveClasses.
  virtual void AddClass(const CLSID& clsid, IUnknown* object) = 0;
  virtual void RemoveClasses() = 0;
};

struct TWorldKind {
  const char* Name;
  std::unique_ptr<TSeamWorld> (*Make)();
};
std::unique_ptr<TSeamWorld> MakeWin32World();
std::unique_ptr<TSeamWorld> MakeSimWorld();
inline const TWorldKind kWin32World{"Win32", MakeWin32World};
inline const TWorldKind kSimWorld{"Sim", MakeSimWorld};

// One fixture for every contract test: a fresh world per test.
class TSeamTest : public ::testing::TestWithParam<TWorldKind> {
 protected:
  void SetUp() override { FWorld = GetParam().Make(); }
  void TearDown() override { FWorld.reset(); }
  TSeamWorld& World() { return *FWorld; }
  platform::IPlatform& P() { return FWorld->Platform(); }
  platform::IMessages& Msgs() { return FWorld->Platform().Messages(); }

  // Processes messages until `done` holds; false if it still does not after a generous while (a
  // guard against hanging, not a measure of speed).
  bool PumpUntil(const std::function<bool()>& done);
  // Processes messages for about `ms` milliseconds, whatever arrives.
  void PumpFor(unsigned ms);

 private:
  std::unique_ptr<TSeamWorld> FWorld;
};

inline std::string WorldName(const ::testing::TestParamInfo<TWorldKind>& info) { return info.param.Name; }

#define PORTWISE_BOTH_WORLDS(suite) \
  INSTANTIATE_TEST_SUITE_P(Worlds, suite, ::testing::Values(kWin32World, kSimWorld), WorldName)

// A small window in the shape of the program's: a button panel, a report list, a splitter, a
// captioned panel and a log filling the rest.
platform::TFormLayout SmallLayout();

// Records what the window reports, in order.
class TEventLog final : public platform::IWindowEvents {
 public:
  void OnClick(const std::string& c) override { Events.push_back("click " + c); }
  void OnDblClick(const std::string& c) override { Events.push_back("dblclick " + c); }
  void OnSelectItem(const std::string& c, int item, bool sel) override {
    Events.push_back("select " + c + " " + std::to_string(item) + (sel ? " on" : " off"));
  }
  void OnClose() override { Events.push_back("close"); }
  std::vector<std::string> Events;
};

}  // namespace portwise::test

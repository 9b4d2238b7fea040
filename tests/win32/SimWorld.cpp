#include <stdexcept>
#include <thread>

#include "platform/sim/SimPlatform.h"
#include "tests/win32/SeamWorld.h"

namespace portwise::test {
namespace {

using platform::sim::TSimPlatform;
using platform::sim::TSimWindow;

class TSimWorld final : public TSeamWorld {
 public:
  platform::IPlatform& Platform() override { return FSim; }

  platform::EThreadPriority CurrentThreadPriority() override { return FSim.ThreadPriority(std::this_thread::get_id()); }
  std::optional<std::string> CurrentThreadName() override { return FSim.ThreadName(std::this_thread::get_id()); }

  std::unique_ptr<platform::IWindow> OpenWindow(const platform::TFormLayout& layout,
                                                platform::IWindowEvents& events) override {
    return FSim.Windowing().CreateMainWindow(layout, events);
  }
  bool WindowOpen() override { return Window().Closed() == false; }
  void Minimize() override { Window().SetMinimized(true); }
  std::vector<TSeenLine> RichLines(const std::string& edit) override {
    std::vector<TSeenLine> out;
    for (const auto& l : Window().Lines(edit)) out.push_back({l.Text, l.Color});
    return out;
  }
  std::vector<std::vector<std::string>> Rows(const std::string& list) override { return Window().Rows(list); }

  void UserClick(const std::string& control) override { Window().UserClick(control); }
  void UserClickRow(const std::string& list, int item) override { Window().UserSelect(list, item); }
  void UserDblClickRow(const std::string& list, int item) override {
    // The first click of a double-click selects the row.
    Window().UserSelect(list, item);
    Window().UserDblClick(list);
  }
  void UserClose() override { Window().UserClose(); }

  void SetRegString(const std::string& path, const std::string& name, const std::string& value) override {
    FSim.SimRegistry().SetString(path, name, value);
  }
  void SetRegDword(const std::string& path, const std::string& name, std::uint32_t value) override {
    FSim.SimRegistry().SetDword(path, name, value);
  }
  void DeleteRegTree(const std::string& path) override { FSim.SimRegistry().DeleteKey(path); }
  void AddClass(const CLSID& clsid, IUnknown* object) override {
    FSim.SimCom().AddClass(clsid, [object](REFIID iid, void** out) { return object->QueryInterface(iid, out); });
    FClasses.push_back(clsid);
  }
  void RemoveClasses() override {
    for (const CLSID& c : FClasses) FSim.SimCom().RemoveClass(c);
    FClasses.clear();
  }

 private:
  TSimWindow& Window() {
    if (!FSim.MainWindow()) throw std::logic_error("no window open");
    return *FSim.MainWindow();
  }
  TSimPlatform FSim;
  std::vector<CLSID> FClasses;
};

}  // namespace

std::unique_ptr<TSeamWorld> MakeSimWorld() { return std::make_unique<TSimWorld>(); }

}  // namespace portwise::test

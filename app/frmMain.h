#pragma once
// The main window: device table, three command buttons, the activity log, and the guard flags
// that keep table events out while the program is busy.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/LPComponent.h"
#include "gen/ALSignalGen.h"
#include "platform/Window.h"

namespace portwise::app {

// True from just before the window is created until the start-up analysis has finished.
extern bool bStarting;
// True while an analysis run is in progress.
extern bool bBusy;

class TfmMain : public TComponent, public platform::IWindowEvents {
 public:
  static constexpr const char* Panel1 = "Panel1";
  static constexpr const char* btnGetDevices = "btnGetDevices";
  static constexpr const char* btnGen = "btnGen";
  static constexpr const char* btnASIO = "btnASIO";
  static constexpr const char* lstDevices = "lstDevices";
  static constexpr const char* Splitter1 = "Splitter1";
  static constexpr const char* Panel2 = "Panel2";
  static constexpr const char* Label5 = "Label5";
  static constexpr const char* reLog = "reLog";

  // Table cells by sub-item position (column = sub-item + 1; column 0 is the Interface caption).
  static constexpr int siConnexion = 0, siType = 1, siIndex = 2, siInOut = 3, siTest = 4;

  static platform::TFormLayout Layout();

  // Creates the window and its controls on the installed platform; becomes fmMain.
  TfmMain();
  ~TfmMain() override;
  TfmMain(const TfmMain&) = delete;
  TfmMain& operator=(const TfmMain&) = delete;

  platform::IWindow& Window() { return *FWindow; }

  // The test-tone source, owned by the window: loaded enabled, so it runs on its own clock from
  // the moment the window exists, with nothing connected.
  std::unique_ptr<TALSignalGen> ALSignalGen1;
  void Show();

  void AddDeviceRow(const std::string& Interface, const std::string& Connexion, const std::string& Type,
                    const std::string& Index, const std::string& InOut, const std::string& Test);
  // Processes pending messages once, then runs the analysis as the "Analyser" button would.
  void Main_GetDevices();

  void btnGetDevicesClick();
  void btnGenClick();
  void btnASIOClick();
  void lstDevicesClick();
  void lstDevicesSelectItem();
  void lstDevicesDblClick();

  // True while one of the commands (analysis, interface test, tone, ASIO panel) runs: a press in
  // the middle of one, reached through message pumping, is ignored rather than nested.
  bool OperationRunning() const { return FOperationRunning; }

  // Components the shell creates with the window as owner: kept until released or until the
  // window goes (after the generator).
  template <class T>
  T* Own(std::unique_ptr<T> AComponent) {
    T* raw = AComponent.get();
    FOwned.push_back(std::move(AComponent));
    return raw;
  }
  // Destroys a component the window owns; nothing for null or for one it does not own.
  void DestroyOwned(TComponent* AComponent);

  // The ASIO devices' reports as log lines: "[ASIO] driver -> text", red or orange.
  void ALASIOAudioDevice1Error(TObject* Sender, const std::string& ErrorText, std::int32_t ErrorCode, bool& Handled);
  void ALASIOAudioDevice1Warning(TObject* Sender, const std::string& ErrorText, std::int32_t ErrorCode);

 protected:
  // The operations behind the controls.
  virtual void AnalyseDevices();
  virtual void PlayTestTone();
  virtual void ShowASIOPanel();
  virtual void TestInterface(int item);
  virtual void UpdateASIOButton();

  void GetASIODevices();
  void TestASIO(int item);
  void PlayASIOTone(const std::string& ADriver, int AIndex);
  void GetOutputDevices();
  void GetInputDevices();
  template <class T>
  std::string ListMMEDevices(T*& ASlot, void (*ACreate)(), void (*AFree)(), const char* AInOut);
  template <class T, class S>
  void ListDSDevices(T*& ASlot, void (*ACreate)(), void (*AFree)(), S ASelector, const std::string& AIface,
                     const char* AInOut);
  template <class T, class S>
  void PlayOutputTone(T*& ASlot, void (*ACreate)(), void (*AFree)(), S ASelector, const std::string& ADevice,
                      const char* ATag, const char* AFailed, std::uint32_t AEndBound);

 private:
  // platform::IWindowEvents
  void OnClick(const std::string& control) override;
  void OnDblClick(const std::string& control) override;
  void OnSelectItem(const std::string& control, int item, bool bSelected) override;
  void OnClose() override;

  template <class F>
  void RunOperation(F&& operation);
  bool TableEventsBlocked() const { return bStarting || bBusy || FOperationRunning; }

  std::unique_ptr<platform::IWindow> FWindow;
  bool FOperationRunning = false;
  std::vector<std::unique_ptr<TComponent>> FOwned;
};

extern TfmMain* fmMain;

// Waits `ms` milliseconds on the tick counter, processing window messages when bAppProcMsg is set.
// At least one pass is made (even for 0 or negative values) and the wait is right across the
// counter's wrap-around. Between passes it sleeps until the next message or the deadline.
void Delay_ms(std::int32_t ms, bool bAppProcMsg);

}  // namespace portwise::app

// The operations behind the window's controls: the analysis run, the interface test, the test
// tone and the ASIO panel.
#include <charconv>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "app/uLog.h"
#include "app/uMultimedia.h"
#include "app/uRes.h"
#include "platform/Platform.h"

namespace portwise::app {
namespace {

std::string Reason(const std::exception_ptr& AError) {
  try {
    std::rethrow_exception(AError);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Exception";
  }
}

// A clean-up step after a failure: its own failure is logged, and what follows still runs.
void Guarded(const std::string& AWhat, const std::function<void()>& AStep) {
  try {
    AStep();
  } catch (...) {
    Log_Error(FormatRes(KLogCleanupFailed, AWhat, Reason(std::current_exception())));
  }
}

// A decimal integer cell; anything else counts as -1.
int IndexOf(const std::string& ACell) {
  int value = -1;
  const char* end = ACell.data() + ACell.size();
  auto [p, ec] = std::from_chars(ACell.data(), end, value);
  if (ec != std::errc() || p != end || ACell.empty()) return -1;
  return value;
}

// The selected row's cells.
struct TRow {
  std::string Interface, Connexion, Type, Index, InOut;
};

}  // namespace

// ---------------------------------------------------------------- analysis

void TfmMain::AnalyseDevices() {
  bBusy = true;
  Log_Info(KLogSearchStart);
  try {
    FWindow->ListClear(lstDevices);
    GetASIODevices();
    GetOutputDevices();
    GetInputDevices();
    Log_Info(KLogSearchEnd);
  } catch (...) {
    // A run that fails part-way says so and leaves the table's events working.
    Log_Error(Reason(std::current_exception()));
    AudioOut_Free();
    AudioIn_Free();
    DSAudioOut_Free();
    DSAudioIn_Free();
    ASIO_Free();
  }
  bBusy = false;
}

void TfmMain::GetASIODevices() {
  std::vector<std::string> drivers;
  ASIO_Create();
  if (!ASIOAudioDevice) return;
  ASIOAudioDevice->GetDevice().GetDeviceList(drivers);
  for (const std::string& name : drivers) {
    Delay_ms(100, true);
    ASIOAudioDevice->GetDevice().SetDeviceName(name);
    try {
      ASIOAudioDevice->GetInputChannels().Clear();
      ASIOAudioDevice->GetOutputChannels().Clear();
      const bool bStarted = ASIO_StartStop(true);
      TALASIOAvailableChannels& ins = ASIOAudioDevice->GetAvailableInputChannels();
      TALASIOAvailableChannels& outs = ASIOAudioDevice->GetAvailableOutputChannels();
      const std::int32_t nIn = bStarted ? ins.GetCount() : 0;
      const std::int32_t nOut = bStarted ? outs.GetCount() : 0;
      if (nIn > 0 || nOut > 0) {
        for (std::int32_t i = 0; i < nIn; ++i) {
          ASIOAudioDevice->GetInputChannels().Add()->SetEnabled(true);
          AddDeviceRow(name, ins.GetItems(i)->GetName(), rsASIO.Text, std::to_string(i), rsIn.Text, "-");
        }
        for (std::int32_t i = 0; i < nOut; ++i) {
          ASIOAudioDevice->GetOutputChannels().Add()->SetEnabled(true);
          AddDeviceRow(name, outs.GetItems(i)->GetName(), rsASIO.Text, std::to_string(i), rsOut.Text, "-");
        }
      } else {
        AddDeviceRow(name, "-", rsASIO.Text, "-1", rsUnknown.Text, "-");
      }
      ASIO_SetEnabled(false);
      ASIO_StartStop(false);
    } catch (...) {
      AddDeviceRow(name, "-", rsASIO.Text, "-1", rsUnknown.Text, rsUnknown.Text);
    }
  }
  ASIO_Free();
}

void TfmMain::GetOutputDevices() {
  const std::string iface = ListMMEDevices(AudioOut, AudioOut_Create, AudioOut_Free, rsOut.Text);
  ListDSDevices(
      DSAudioOut, DSAudioOut_Create, DSAudioOut_Free,
      [](TALDSAudioOut& c) -> TDSDevice& { return c.GetAudioOutputDevice(); }, iface, rsOut.Text);
}

void TfmMain::GetInputDevices() {
  const std::string iface = ListMMEDevices(AudioIn, AudioIn_Create, AudioIn_Free, rsIn.Text);
  ListDSDevices(
      DSAudioIn, DSAudioIn_Create, DSAudioIn_Free,
      [](TALDSAudioIn& c) -> TDSDevice& { return c.GetAudioCaptureDevice(); }, iface, rsIn.Text);
}

// One row per device of the slot's kind, under the name a new component holds before any device
// is chosen ("Default"); returns that name for the DirectShow rows of the same direction.
template <class T>
std::string TfmMain::ListMMEDevices(T*& ASlot, void (*ACreate)(), void (*AFree)(), const char* AInOut) {
  std::vector<std::string> names;
  std::string iface;
  ACreate();
  try {
    if (ASlot) {
      iface = ASlot->GetDevice().GetDeviceName();
      ASlot->GetDevice().GetDeviceList(names);
    }
  } catch (...) {
    AFree();
    throw;
  }
  for (std::size_t i = 0; i < names.size(); ++i)
    AddDeviceRow(iface, names[i], rsMME.Text, std::to_string(i), AInOut, "-");
  AFree();
  return iface;
}

template <class T, class S>
void TfmMain::ListDSDevices(T*& ASlot, void (*ACreate)(), void (*AFree)(), S ASelector, const std::string& AIface,
                            const char* AInOut) {
  std::vector<std::string> names;
  ACreate();
  try {
    if (ASlot) ASelector(*ASlot).GetDeviceList(&names);
  } catch (...) {
    AFree();
    throw;
  }
  for (std::size_t i = 0; i < names.size(); ++i)
    AddDeviceRow(AIface, names[i], rsDS.Text, std::to_string(i), AInOut, "-");
  AFree();
}

// ---------------------------------------------------------------- interface test

void TfmMain::TestInterface(int item) {
  platform::IWindow& w = *FWindow;
  const std::string type = w.ListGetCell(lstDevices, item, 1 + siType);
  const std::string inOut = w.ListGetCell(lstDevices, item, 1 + siInOut);
  // A row tests its own device: the one its Connexion cell names.
  const std::string device = w.ListGetCell(lstDevices, item, 1 + siConnexion);
  w.ListSetCell(lstDevices, item, 1 + siTest, rsTest.Text);
  auto setTest = [&](const char* AText) { w.ListSetCell(lstDevices, item, 1 + siTest, AText); };

  // The shape every MME and DirectShow test shares: the kind's opening sequence, then the outcome.
  auto run = [&](const TTestTexts& ATexts, const char* ATag, void (*ACreate)(), void (*AFree)(),
                 const std::function<void()>& AOpen, const std::function<void()>& ACleanUp) {
    Log_Info(FormatRes(ATexts.Start, device));
    platform::Current().Messages().ProcessMessages();
    ACreate();
    try {
      AOpen();
      Log_Success(FormatRes(ATexts.Opened, device));
      setTest(rsOK.Text);
    } catch (...) {
      Log_Error(FormatRes(ATexts.Failed, device));
      setTest(rsErr.Text);
      Guarded(std::string(ATag) + " " + device, ACleanUp);
    }
    AFree();
    Log_Info(FormatRes(ATexts.End, device));
  };

  if (type == rsASIO.Text) {
    TestASIO(item);
  } else if (type == rsDS.Text && inOut == rsIn.Text) {
    run(
        KTestDSIn, "[DS In]", DSAudioIn_Create, DSAudioIn_Free,
        [&] {
          if (!DSAudioIn) throw std::runtime_error("no DirectShow input");
          // Choosing the row's device stops the capture the factory started on the default one.
          DSAudioIn->GetAudioCaptureDevice().SetDeviceName(device);
          DSAudioIn->SetEnabled(true);
          DSAudioIn->Start();
          DSAudioIn->SetEnabled(false);
        },
        [&] {
          if (!DSAudioIn) return;
          DSAudioIn->SetEnabled(false);
          DSAudioIn->Stop();
        });
  } else if (type == rsDS.Text && inOut == rsOut.Text) {
    run(
        KTestDSOut, "[DS Out]", DSAudioOut_Create, DSAudioOut_Free,
        [&] {
          if (!DSAudioOut) throw std::runtime_error("no DirectShow output");
          DSAudioOut->GetAudioOutputDevice().SetDeviceName(device);
          DSAudioOut->SetEnabled(true);
          DSAudioOut->Open();
          DSAudioOut->Close();
          DSAudioOut->SetEnabled(false);
        },
        [&] {
          if (DSAudioOut) DSAudioOut->SetEnabled(false);
        });
  } else if (type == rsMME.Text && inOut == rsIn.Text) {
    run(
        KTestMMEIn, "[MME In]", AudioIn_Create, AudioIn_Free,
        [&] {
          if (!AudioIn) throw std::runtime_error("no MME input");
          // The factory captures from the default device already: the row's own is opened anew.
          AudioIn->SetEnabled(false);
          AudioIn->GetDevice().SetDeviceName(device);
          AudioIn->SetEnabled(true);
          AudioIn->Start();
          AudioIn->SetEnabled(false);
          AudioIn->Stop();
        },
        [&] {
          if (!AudioIn) return;
          AudioIn->SetEnabled(false);
          AudioIn->Stop();
        });
  } else if (type == rsMME.Text && inOut == rsOut.Text) {
    run(
        KTestMMEOut, "[MME Out]", AudioOut_Create, AudioOut_Free,
        [&] {
          if (!AudioOut) throw std::runtime_error("no MME output");
          AudioOut->SetEnabled(false);
          AudioOut->GetDevice().SetDeviceName(device);
          // The device is really opened, for the format the tone plays in; the release closes it.
          TFormatAnnouncer announcer;
          announcer.Announce(AudioOut->GetInputPin());
          AudioOut->SetEnabled(true);
          if (!AudioOut->IsOpen()) throw std::runtime_error("MME output not opened");
          AudioOut->SetEnabled(false);
        },
        [&] {
          if (AudioOut) AudioOut->SetEnabled(false);
        });
  }
}

void TfmMain::TestASIO(int item) {
  platform::IWindow& w = *FWindow;
  const std::string driver = w.ListGetCell(lstDevices, item, 0);
  auto setTest = [&](const char* AText) { w.ListSetCell(lstDevices, item, 1 + siTest, AText); };
  Log_Info(FormatRes(KLogASIOTest, driver));
  ASIO_Create();
  platform::Current().Messages().ProcessMessages();
  try {
    if (!ASIOAudioDevice) throw std::runtime_error("no ASIO device");
    ASIO_SetDriverName(driver);
    if (ASIO_SetEnabled(true)) {
      ASIO_SetupChannels(true, true);
      ASIO_StartStop(true);
      Delay_ms(500, true);
      // A driver that starts but never calls back cannot be used: that is no success.
      const bool bCalledBack = ASIOAudioDevice->GetBufferSwitches() > 0;
      if (!bCalledBack) Log_Error(FormatRes(KLogASIONoCallback, ASIO_GetDriverName()));
      ASIO_StartStop(false);
      ASIO_SetEnabled(false);
      setTest(bCalledBack ? rsOK.Text : rsErr.Text);
    } else {
      Log_Error(FormatRes(KLogASIOCantOpen, ASIO_GetDriverName()));
      Guarded("[ASIO] " + driver, [] { ASIOAudioDevice->SetEnabled(false); });
      setTest(rsErr.Text);
    }
  } catch (...) {
    // Whatever went wrong is shown: the row does not keep "Test..." as if nothing had happened.
    Log_Error(FormatRes(KLogASIOFailed, driver, Reason(std::current_exception())));
    setTest(rsErr.Text);
  }
  ASIO_Free();
  Log_Info(FormatRes(KLogASIOTestEnd, driver));
}

// ---------------------------------------------------------------- test tone

void TfmMain::PlayTestTone() {
  platform::IWindow& w = *FWindow;
  if (!w.ListHasSelection(lstDevices)) return;
  const int item = w.ListItemIndex(lstDevices);
  TRow row{w.ListGetCell(lstDevices, item, 0), w.ListGetCell(lstDevices, item, 1 + siConnexion),
           w.ListGetCell(lstDevices, item, 1 + siType), w.ListGetCell(lstDevices, item, 1 + siIndex),
           w.ListGetCell(lstDevices, item, 1 + siInOut)};
  const int index = IndexOf(row.Index);
  if (index < 0) return;

  if (row.Type == rsASIO.Text) {
    PlayASIOTone(row.Interface, index);
  } else if (row.Type == rsMME.Text && row.InOut == rsOut.Text) {
    PlayOutputTone(
        AudioOut, AudioOut_Create, AudioOut_Free, [](TALAudioOut& c) -> auto& { return c.GetDevice(); },
        row.Connexion, "[MME Out]", KLogMMEToneFailed, 1000);
  } else if (row.Type == rsDS.Text && row.InOut == rsOut.Text) {
    // The renderer's own buffering comes on top of the prefill before the end is heard.
    PlayOutputTone(
        DSAudioOut, DSAudioOut_Create, DSAudioOut_Free,
        [](TALDSAudioOut& c) -> auto& { return c.GetAudioOutputDevice(); }, row.Connexion, "[DS Out]",
        KLogDSToneFailed, 3000);
  }
}

// The generator for one second on the output of the slot's kind, on the device named ADevice. The
// second is heard whole: the output plays out what it holds (its prefill) before it is released,
// waiting at most the prefill and AEndBound ms for it, and the audio server gets a moment to pass
// the end on. A failure part-way switches the generator off, releases the output and says so.
template <class T, class S>
void TfmMain::PlayOutputTone(T*& ASlot, void (*ACreate)(), void (*AFree)(), S ASelector, const std::string& ADevice,
                             const char* ATag, const char* AFailed, std::uint32_t AEndBound) {
  TALSignalGen& gen = *ALSignalGen1;
  bool bDrained = false;
  ACreate();
  try {
    if (!ASlot) throw std::runtime_error(std::string("no output ") + ATag);
    T& out = *ASlot;
    out.SetEnabled(false);
    ASelector(out).SetDeviceName(ADevice);
    gen.GetOutputPin().Connect(&out.GetInputPin());
    out.SetEnabled(true);
    out.SetOnQueueEmpty([&bDrained](TObject*) { bDrained = true; });
    gen.SetEnabled(true);
    Delay_ms(1000, true);
    gen.SetEnabled(false);
    bDrained = false;
    const std::uint32_t bound = out.GetPrefillInterval() + AEndBound;
    for (std::uint32_t waited = 0; !bDrained && waited < bound; waited += 10) Delay_ms(10, true);
    Delay_ms(200, true);
    out.SetOnQueueEmpty(nullptr);
    out.SetEnabled(false);
  } catch (...) {
    const std::string reason = Reason(std::current_exception());
    Guarded(std::string(ATag) + " " + ADevice, [&] { gen.SetEnabled(false); });
    Log_Error(FormatRes(AFailed, ADevice, reason));
  }
  AFree();
}

void TfmMain::PlayASIOTone(const std::string& ADriver, int AIndex) {
  TALSignalGen& gen = *ALSignalGen1;
  ASIO_Create();
  try {
    if (!ASIOAudioDevice) throw std::runtime_error("no ASIO device");
    ASIO_SetDriverName(ADriver);
    Delay_ms(100, true);
    ASIO_SetupChannels(true, true);
    // The row's index may be an input's: a driver with fewer outputs cannot play it.
    if (AIndex >= ASIOAudioDevice->GetOutputChannels().GetCount()) {
      Log_Error(FormatRes(KLogASIONoOutput, ASIO_GetDriverName(), std::to_string(AIndex)));
      ASIO_Free();
      return;
    }
    ASIO_SetEnabled(true);
    ASIO_ConnectOutputChannel(AIndex);
    ASIO_SwitchGenerator(true);
    Delay_ms(1000, true);
    ASIO_SwitchGenerator(false);
    ASIO_SetEnabled(false);
  } catch (...) {
    const std::string reason = Reason(std::current_exception());
    Guarded("[ASIO] " + ADriver, [&] { gen.SetEnabled(false); });
    Log_Error(FormatRes(KLogASIOFailed, ADriver, reason));
  }
  ASIO_Free();
}

// ---------------------------------------------------------------- ASIO panel

void TfmMain::ShowASIOPanel() {
  platform::IWindow& w = *FWindow;
  if (!w.ListHasSelection(lstDevices)) return;
  const std::string driver = w.ListGetCell(lstDevices, w.ListItemIndex(lstDevices), 0);
  // The device stays in its slot with the driver open, so that its panel can stay on screen; the
  // window destroys it at exit.
  ASIO_Create();
  ASIO_SetDriverName(driver);
  ASIO_ShowPanel();
}

void TfmMain::ALASIOAudioDevice1Error(TObject*, const std::string& ErrorText, std::int32_t, bool&) {
  const std::string name = ASIOAudioDevice ? ASIO_GetDriverName() : KLogASIODeviceUnknown;
  Log_Error("[ASIO] " + name + " -> " + ErrorText);
}

void TfmMain::ALASIOAudioDevice1Warning(TObject*, const std::string& ErrorText, std::int32_t) {
  const std::string name = ASIOAudioDevice ? ASIO_GetDriverName() : KLogASIODeviceUnknown;
  Log_Warning("[ASIO] " + name + " -> " + ErrorText);
}

void TfmMain::UpdateASIOButton() {
  platform::IWindow& w = *FWindow;
  if (w.ListCount(lstDevices) > 0 && w.ListHasSelection(lstDevices)) {
    const int item = w.ListItemIndex(lstDevices);
    w.SetEnabled(btnASIO, w.ListGetCell(lstDevices, item, 1 + siType) == rsASIO.Text);
  }
  platform::Current().Messages().ProcessMessages();
}

}  // namespace portwise::app

#include "app/uMultimedia.h"

#include <utility>

#include "app/frmMain.h"
#include "app/uLog.h"
#include "app/uRes.h"

namespace portwise::app {

TALAudioIn* AudioIn = nullptr;
TALAudioOut* AudioOut = nullptr;
TALDSAudioIn* DSAudioIn = nullptr;
TALDSAudioOut* DSAudioOut = nullptr;
TALASIOAudioDevice* ASIOAudioDevice = nullptr;

namespace {

// The shell's capture and stream format.
void SetShellFormat(TALAudioFormat& AFormat) {
  AFormat.SetBits(16);
  AFormat.SetBufferSize(1024);
  AFormat.SetChannels(2);
  AFormat.SetSampleRate(44100);
}

// Creates a component owned by the main window into its slot, then configures it; a failure
// part-way is discarded and leaves the slot holding the component as far as it got.
template <class T, class F>
void CreateInto(T*& ASlot, F&& AConfigure) {
  try {
    ASlot = fmMain->Own(CreateComponent<T>(fmMain));
    std::forward<F>(AConfigure)(*ASlot);
  } catch (...) {
  }
}

template <class T>
void FreeSlot(T*& ASlot) {
  T* component = std::exchange(ASlot, nullptr);
  try {
    if (fmMain) fmMain->DestroyOwned(component);
  } catch (...) {
  }
}

}  // namespace

void AudioIn_Create() {
  CreateInto(AudioIn, [](TALAudioIn& c) {
    SetShellFormat(c.GetAudioFormat());
    c.SetEnabled(true);
  });
}

void AudioIn_Free() { FreeSlot(AudioIn); }

void AudioOut_Create() {
  // No format: the output takes the one of the stream it receives.
  CreateInto(AudioOut, [](TALAudioOut& c) { c.SetEnabled(true); });
}

void AudioOut_Free() { FreeSlot(AudioOut); }

void DSAudioIn_Create() {
  // Enabling a capture created by code starts it on the default device, in the shell's format.
  CreateInto(DSAudioIn, [](TALDSAudioIn& c) {
    SetShellFormat(c.GetAudioFormat());
    c.SetEnabled(true);
  });
}

void DSAudioIn_Free() { FreeSlot(DSAudioIn); }

void DSAudioOut_Create() {
  CreateInto(DSAudioOut, [](TALDSAudioOut&) {});
}

void DSAudioOut_Free() { FreeSlot(DSAudioOut); }

void ASIO_Create() {
  CreateInto(ASIOAudioDevice, [](TALASIOAudioDevice& c) {
    c.GetSampleRate().SetRate(44100);
    c.GetSampleRate().SetUseCurrent(true);  // the driver keeps its own rate
    TfmMain* form = fmMain;
    c.SetOnError([form](TObject* Sender, const std::string& Text, std::int32_t Code, bool& Handled) {
      form->ALASIOAudioDevice1Error(Sender, Text, Code, Handled);
    });
    c.SetOnWarning([form](TObject* Sender, const std::string& Text, std::int32_t Code) {
      form->ALASIOAudioDevice1Warning(Sender, Text, Code);
    });
  });
}

void ASIO_Free() { FreeSlot(ASIOAudioDevice); }

void ForgetSlots() {
  AudioIn = nullptr;
  AudioOut = nullptr;
  DSAudioIn = nullptr;
  DSAudioOut = nullptr;
  ASIOAudioDevice = nullptr;
}

std::string ASIO_GetDriverName() {
  if (!ASIOAudioDevice) return {};
  try {
    return ASIOAudioDevice->GetDevice().GetDeviceName();
  } catch (...) {
    return {};
  }
}

void ASIO_SetDriverName(const std::string& Name) {
  if (!ASIOAudioDevice) return;
  try {
    ASIOAudioDevice->GetDevice().SetDeviceName(Name);
  } catch (...) {
  }
}

bool ASIO_SetEnabled(bool Value) {
  if (!ASIOAudioDevice) return false;
  try {
    if (!Value && !ASIOAudioDevice->GetEnabled()) return false;
    ASIOAudioDevice->SetEnabled(Value);
    // A driver that cannot even be created leaves the device disabled without raising.
    const bool bStarted = !Value || ASIOAudioDevice->GetEnabled();
    Delay_ms(100, true);
    return bStarted;
  } catch (...) {
    return false;
  }
}

bool ASIO_StartStop(bool Value) {
  if (!ASIOAudioDevice) return false;
  try {
    if (!Value && !ASIOAudioDevice->GetOpened()) return false;
    bool bOk = true;
    if (Value) bOk = ASIOAudioDevice->Start();  // false: no driver object could be created
    else ASIOAudioDevice->Stop();
    Delay_ms(100, true);
    if (bOk) {
      Log_Success(FormatRes(Value ? KLogASIOStarted : KLogASIOStopped, ASIO_GetDriverName()));
      return true;
    }
  } catch (...) {
  }
  Log_Error(FormatRes(Value ? KLogASIOCantStart : KLogASIOCantStop, ASIO_GetDriverName()));
  return false;
}

void ASIO_ShowPanel() {
  if (!ASIOAudioDevice) return;
  try {
    ASIOAudioDevice->ShowDialog();
  } catch (...) {
  }
}

void ASIO_SetupChannels(bool Inputs, bool Outputs) {
  if (!ASIOAudioDevice) return;
  auto setUp = [](auto& AItems, TALASIOAvailableChannels& AAvailable) {
    AItems.Clear();
    const std::int32_t n = AAvailable.GetCount();
    for (std::int32_t i = 0; i < n; ++i) {
      AItems.Add();
      Delay_ms(100, true);
    }
  };
  try {
    if (Inputs) setUp(ASIOAudioDevice->GetInputChannels(), ASIOAudioDevice->GetAvailableInputChannels());
    if (Outputs) setUp(ASIOAudioDevice->GetOutputChannels(), ASIOAudioDevice->GetAvailableOutputChannels());
  } catch (...) {
  }
}

void ASIO_ConnectOutputChannel(int Index) {
  if (!ASIOAudioDevice) throw EListError("Indice de liste hors limites (" + std::to_string(Index) + ")");
  TALOWAudioSinkPin* pin = ASIOAudioDevice->GetInputPins().GetItem(Index);
  fmMain->ALSignalGen1->GetOutputPin().Connect(pin);
  Delay_ms(100, true);
}

void ASIO_SwitchGenerator(bool Value) {
  Log_Info(FormatRes(Value ? KLogASIOGenOn : KLogASIOGenOff, ASIO_GetDriverName()));
  fmMain->ALSignalGen1->SetEnabled(Value);
}

TFormatAnnouncer::TFormatAnnouncer() : FLock(TOWLock::Create()), FPin(this, FLock.Get(), nullptr) {}

TFormatAnnouncer::~TFormatAnnouncer() { FPin.Disconnect(); }

void TFormatAnnouncer::Announce(TALOWAudioSinkPin& ASink) {
  TALAudioFormat format(nullptr, nullptr, FLock.Get());
  SetShellFormat(format);
  FPin.Connect(&ASink);
  TRefPtr<TOWStartWaveOperation> start(new TOWStartWaveOperation(*format.GetWaveFormat(), true));
  FPin.Notify(start.Get());
}

}  // namespace portwise::app

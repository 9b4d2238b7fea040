#include "app/uMultimedia.h"

#include <utility>

#include "app/frmMain.h"

namespace portwise::app {

TALAudioIn* AudioIn = nullptr;
TALAudioOut* AudioOut = nullptr;

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

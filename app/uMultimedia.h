#pragma once
// The device components of the shell: one slot per kind, a factory that creates and configures
// the slot's component with the main window as owner, and a release that destroys it. Every
// operation pairs a factory with its release; a factory replaces its slot without releasing the
// previous component (the window destroys it at exit). Factories and releases never raise.
#include "mme/ALAudioIn.h"
#include "mme/ALAudioOut.h"

namespace portwise::app {

extern TALAudioIn* AudioIn;
extern TALAudioOut* AudioOut;

void AudioIn_Create();
void AudioIn_Free();
void AudioOut_Create();
void AudioOut_Free();

// Tells an output the shell's stream format (44100 Hz, 16 bits, 2 channels) as a stream start
// would, without any audio: enabling the output then opens its device for that format. The
// connection ends with this object.
class TFormatAnnouncer : public TObject {
 public:
  TFormatAnnouncer();
  ~TFormatAnnouncer() override;
  TFormatAnnouncer(const TFormatAnnouncer&) = delete;
  TFormatAnnouncer& operator=(const TFormatAnnouncer&) = delete;
  void Announce(TALOWAudioSinkPin& ASink);

 private:
  TRefPtr<TOWLock> FLock;
  TALOWAudioSourcePin FPin;
};

}  // namespace portwise::app

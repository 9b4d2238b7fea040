#pragma once
// The device components of the shell: one slot per kind, a factory that creates and configures
// the slot's component with the main window as owner, and a release that destroys it. Every
// operation pairs a factory with its release; a factory replaces its slot without releasing the
// previous component (the window destroys it at exit). Factories and releases never raise.
#include <string>

#include "asio/ALASIOAudioDevice.h"
#include "dshow/ALDSAudioIn.h"
#include "dshow/ALDSAudioOut.h"
#include "mme/ALAudioIn.h"
#include "mme/ALAudioOut.h"

namespace portwise::app {

extern TALAudioIn* AudioIn;
extern TALAudioOut* AudioOut;
extern TALDSAudioIn* DSAudioIn;
extern TALDSAudioOut* DSAudioOut;
extern TALASIOAudioDevice* ASIOAudioDevice;

void AudioIn_Create();
void AudioIn_Free();
void AudioOut_Create();
void AudioOut_Free();
void DSAudioIn_Create();
void DSAudioIn_Free();
void DSAudioOut_Create();
void DSAudioOut_Free();
void ASIO_Create();
void ASIO_Free();
// Empties every slot without destroying anything: the window calls it as it destroys the
// components it owns.
void ForgetSlots();

// The ASIO device of the slot, with its failures turned into results and log lines. "%s" of the
// lines is the driver name the device has selected.
std::string ASIO_GetDriverName();
void ASIO_SetDriverName(const std::string& Name);
// False when the slot is empty, when disabling a disabled device, when setting it raised, and when
// enabling found no driver to start.
bool ASIO_SetEnabled(bool Value);
// Start or Stop with the green line; the red one and false when it raised or (starting) no driver
// could be created. Stopping a device that was never opened is false without a line.
bool ASIO_StartStop(bool Value);
void ASIO_ShowPanel();
// One channel item per available input (output) channel, 100 ms after each.
void ASIO_SetupChannels(bool Inputs, bool Outputs);
// Connects the generator to output channel Index; raises EListError without such a channel.
void ASIO_ConnectOutputChannel(int Index);
void ASIO_SwitchGenerator(bool Value);

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

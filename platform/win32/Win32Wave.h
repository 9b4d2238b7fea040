#pragma once
// The waveform-audio seam over winmm. No <windows.h> here: the platform holds one as a member and
// the contract tests make their own.
#include <map>
#include <mutex>

#include "platform/Wave.h"

namespace portwise::platform::win32 {

class TWin32Wave final : public IWaveAudio {
 public:
  TWin32Wave() = default;
  ~TWin32Wave() override;
  TWin32Wave(const TWin32Wave&) = delete;
  TWin32Wave& operator=(const TWin32Wave&) = delete;

  std::uint32_t waveOutGetNumDevs() override;
  TMMResult waveOutGetDevCapsW(std::uint32_t uDeviceID, TWaveDevCaps& caps) override;
  TMMResult waveOutOpen(THWaveOut* phwo, std::uint32_t uDeviceID, const TWaveFormatExtensible* pwfx,
                        TWaveOutProc callback, std::uintptr_t dwInstance, std::uint32_t fdwOpen) override;
  TMMResult waveOutClose(THWaveOut hwo) override;
  TMMResult waveOutPrepareHeader(THWaveOut hwo, TWaveHdr* pwh) override;
  TMMResult waveOutUnprepareHeader(THWaveOut hwo, TWaveHdr* pwh) override;
  TMMResult waveOutWrite(THWaveOut hwo, TWaveHdr* pwh) override;
  TMMResult waveOutPause(THWaveOut hwo) override;
  TMMResult waveOutRestart(THWaveOut hwo) override;
  TMMResult waveOutReset(THWaveOut hwo) override;

  std::uint32_t waveInGetNumDevs() override;
  TMMResult waveInGetDevCapsW(std::uint32_t uDeviceID, TWaveDevCaps& caps) override;
  TMMResult waveInOpen(THWaveIn* phwi, std::uint32_t uDeviceID, const TWaveFormatExtensible* pwfx,
                       TWaveInProc callback, std::uintptr_t dwInstance, std::uint32_t fdwOpen) override;
  TMMResult waveInClose(THWaveIn hwi) override;
  TMMResult waveInPrepareHeader(THWaveIn hwi, TWaveHdr* pwh) override;
  TMMResult waveInUnprepareHeader(THWaveIn hwi, TWaveHdr* pwh) override;
  TMMResult waveInAddBuffer(THWaveIn hwi, TWaveHdr* pwh) override;
  TMMResult waveInStart(THWaveIn hwi) override;
  TMMResult waveInStop(THWaveIn hwi) override;
  TMMResult waveInReset(THWaveIn hwi) override;

  // What winmm's callback finds through its instance data: the caller's function and instance.
  struct TCallbackBox {
    TWaveOutProc OutProc = nullptr;
    TWaveInProc InProc = nullptr;
    std::uintptr_t Instance = 0;
  };

 private:
  void Keep(std::uintptr_t handle, TCallbackBox* box);
  void Forget(std::uintptr_t handle);

  std::mutex FMutex;
  std::map<std::uintptr_t, TCallbackBox*> FBoxes;  // by open handle; freed when it closes
};

}  // namespace portwise::platform::win32

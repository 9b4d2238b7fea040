#pragma once
// The platform seam: every operating-system service the components use, behind one object.
// `platform/win32` forwards to Windows; `platform/sim` is an in-process simulation that tests
// script. Components reach the services through Current(); a test installs its own world with a
// TPlatformScope (see sim/SimPlatform.h).
#include "platform/MediaTimer.h"
#include "platform/Messages.h"
#include "platform/Threads.h"
#include "platform/Time.h"
#include "platform/Wave.h"
#include "platform/Window.h"

namespace portwise::platform {

class ICom;       // platform/ComServices.h
class IRegistry;  // platform/ComServices.h

class IPlatform {
 public:
  virtual ~IPlatform() = default;
  virtual IMessages& Messages() = 0;
  virtual ITime& Time() = 0;
  virtual IThreads& Threads() = 0;
  virtual IMediaTimer& MediaTimer() = 0;
  virtual IWindowing& Windowing() = 0;
  virtual IWaveAudio& Wave() = 0;
  virtual ICom& Com() = 0;
  virtual IRegistry& Registry() = 0;
};

// The installed platform; fails loudly (std::logic_error) when none is.
IPlatform& Current();
bool HasCurrent();

// Installs a platform for its lifetime and restores the previous one after.
class TPlatformScope {
 public:
  explicit TPlatformScope(IPlatform& platform);
  ~TPlatformScope();
  TPlatformScope(const TPlatformScope&) = delete;
  TPlatformScope& operator=(const TPlatformScope&) = delete;

 private:
  IPlatform* FPrevious;
};

}  // namespace portwise::platform

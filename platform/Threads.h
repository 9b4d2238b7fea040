#pragma once
// Seam: priority and debugger name of the calling thread. Threads themselves are std::thread.
#include <string>

namespace portwise::platform {

enum class EThreadPriority { Idle, Lowest, BelowNormal, Normal, AboveNormal, Highest, TimeCritical };

class IThreads {
 public:
  virtual ~IThreads() = default;
  virtual bool SetCurrentThreadPriority(EThreadPriority priority) = 0;
  // Announces the name to a debugger, where one is attached; otherwise harmless.
  virtual void SetCurrentThreadName(const std::string& name) = 0;
};

}  // namespace portwise::platform

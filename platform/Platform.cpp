#include "platform/Platform.h"

#include <atomic>
#include <stdexcept>

namespace portwise::platform {
namespace {
std::atomic<IPlatform*> GCurrent{nullptr};
}

IPlatform& Current() {
  IPlatform* p = GCurrent.load(std::memory_order_acquire);
  if (!p) throw std::logic_error("no platform installed");
  return *p;
}

bool HasCurrent() { return GCurrent.load(std::memory_order_acquire) != nullptr; }

TPlatformScope::TPlatformScope(IPlatform& platform)
    : FPrevious(GCurrent.exchange(&platform, std::memory_order_acq_rel)) {}

TPlatformScope::~TPlatformScope() { GCurrent.store(FPrevious, std::memory_order_release); }

}  // namespace portwise::platform

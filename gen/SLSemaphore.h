#pragma once
// A counting semaphore with a maximum count: releases beyond the maximum are lost (and say so),
// where std::counting_semaphore would be undefined. Waits can be given up by the owner.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace portwise {

class TSLSemaphore {
 public:
  explicit TSLSemaphore(std::int64_t maximum, std::int64_t initial = 0) : FMax(maximum), FCount(initial) {}

  // False when the count is already at its maximum (the release is lost).
  bool Release() {
    {
      std::lock_guard g(FMutex);
      if (FCount >= FMax) return false;
      ++FCount;
    }
    FCond.notify_one();
    return true;
  }

  void Acquire() {
    std::unique_lock lk(FMutex);
    FCond.wait(lk, [this] { return FCount > 0; });
    --FCount;
  }

  bool TryAcquireFor(std::chrono::milliseconds timeout) {
    std::unique_lock lk(FMutex);
    if (!FCond.wait_for(lk, timeout, [this] { return FCount > 0; })) return false;
    --FCount;
    return true;
  }

  std::int64_t Count() const {
    std::lock_guard g(FMutex);
    return FCount;
  }

 private:
  const std::int64_t FMax;
  std::int64_t FCount;
  mutable std::mutex FMutex;
  std::condition_variable FCond;
};

}  // namespace portwise

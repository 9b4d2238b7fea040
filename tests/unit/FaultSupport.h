#pragma once
// What the fault tests of every layer share: a watchdog that turns a hang into a failure, and a
// count of the process's threads to show that every thread a case started has ended.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "core/SLBuffers.h"

namespace portwise::testsupport {

// Ends the test program, naming the case, when it is still running after ABound. A case that
// hangs cannot be failed from its own thread; this keeps the run from waiting for ctest's limit.
class TWatchdog {
 public:
  explicit TWatchdog(std::string AWhat, std::chrono::seconds ABound = std::chrono::seconds(60))
      : FWhat(std::move(AWhat)), FThread([this, ABound] {
          std::unique_lock lk(FMutex);
          if (!FDone.wait_for(lk, ABound, [this] { return FDisarmed; })) {
            std::fprintf(stderr, "watchdog: \"%s\" still running after %lld s\n", FWhat.c_str(),
                         static_cast<long long>(ABound.count()));
            std::fflush(stderr);
            std::_Exit(124);
          }
        }) {}
  ~TWatchdog() {
    {
      std::lock_guard g(FMutex);
      FDisarmed = true;
    }
    FDone.notify_all();
    FThread.join();
  }
  TWatchdog(const TWatchdog&) = delete;
  TWatchdog& operator=(const TWatchdog&) = delete;

 private:
  std::string FWhat;
  std::mutex FMutex;
  std::condition_variable FDone;
  bool FDisarmed = false;
  std::thread FThread;
};

// The threads of this process, or -1 where the system does not list them.
inline int ProcessThreadCount() {
  std::error_code ec;
  int count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) ++count;
  return ec || count == 0 ? -1 : count;
}

// Storage blocks taken from the buffer pool and not given back to it.
inline long long PoolBlocksInUse() {
  TSLSmartBufferManager& pool = TSLSmartBufferManager::Instance();
  long long free = 0;
  for (int k = 1; k <= 30; ++k) free += static_cast<long long>(pool.FreeBlocks(1u << k));
  return static_cast<long long>(pool.HeapBlocks()) - free;
}

// Under a sanitizer, freed memory waits in its quarantine and shadow memory grows with use:
// resident memory says nothing about leaks there (the leak checker does).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool KResidentMeaningful = false;
#else
inline constexpr bool KResidentMeaningful = true;
#endif

// The resident memory of this process in bytes, or -1 where the system does not tell (or it
// would mean nothing).
inline long long ProcessResidentBytes() {
  if (!KResidentMeaningful) return -1;
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return -1;
  long long pages = 0, resident = 0;
  const bool bRead = std::fscanf(f, "%lld %lld", &pages, &resident) == 2;
  std::fclose(f);
  return bRead ? resident * 4096 : -1;
}

// Waits (bounded) for the thread count to come back to ABefore: threads end a moment after the
// call that stopped them has returned. True where the count is not known.
inline bool ThreadsBackTo(int ABefore) {
  if (ABefore < 0) return true;
  for (int i = 0; i < 5000; ++i) {
    if (ProcessThreadCount() <= ABefore) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return ProcessThreadCount() <= ABefore;
}

}  // namespace portwise::testsupport

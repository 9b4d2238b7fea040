// The component lock against a plain std::mutex: a write section taken and left on a free lock,
// and a nested section taken and left while the thread already holds the lock.
#include <mutex>

#include "bench/BenchSupport.h"
#include "core/OWLock.h"

namespace portwise::bench {
namespace {

constexpr std::size_t kBatch = 4096;

void BM_LockWriteSection(benchmark::State& state) {
  TRefPtr<TOWLock> lock = TOWLock::Create();
  IOWLock* component = lock.Get();  // as components reach it
  std::mutex mutex;
  RunSideBySide(
      state, kBatch,
      [&] {
        TOWLockSectionRef section = component->WriteLock();
        benchmark::DoNotOptimize(section);
      },
      [&] {
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
      });
}
BENCHMARK(BM_LockWriteSection)->Name("lock_uncontended_write_vs_mutex");

void BM_LockReentry(benchmark::State& state) {
  TRefPtr<TOWLock> lock = TOWLock::Create();
  IOWLock* component = lock.Get();
  TOWLockSectionRef outer = component->WriteLock();
  std::mutex mutex;
  RunSideBySide(
      state, kBatch,
      [&] {
        TOWLockSectionRef section = component->WriteLock();
        benchmark::DoNotOptimize(section);
      },
      [&] {
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
      });
}
BENCHMARK(BM_LockReentry)->Name("lock_reentry_vs_mutex");

}  // namespace
}  // namespace portwise::bench

// An 8 KiB block from the buffer pool and back, against malloc and free of the same size.
#include <cstdlib>

#include "bench/BenchSupport.h"
#include "core/SLBuffers.h"

namespace portwise::bench {
namespace {

void BM_Pool8K(benchmark::State& state) {
  TSLSmartBufferManager& pool = TSLSmartBufferManager::Instance();
  constexpr std::uint32_t kBytes = 8192;
  pool.Deallocate(pool.Allocate(kBytes), kBytes);  // warm
  RunSideBySide(
      state, 4096,
      [&] {
        void* p = pool.Allocate(kBytes);
        benchmark::DoNotOptimize(p);
        pool.Deallocate(p, kBytes);
      },
      [&] {
        void* p = std::malloc(kBytes);
        benchmark::DoNotOptimize(p);
        std::free(p);
      });
}
BENCHMARK(BM_Pool8K)->Name("pool_8k_vs_malloc");

}  // namespace
}  // namespace portwise::bench

// Counts the program's heap allocations per thread, so a benchmark can tell how many a hot path
// makes once warm.
#include <cstdlib>
#include <new>

#include "bench/BenchSupport.h"

namespace {
thread_local std::uint64_t GAllocations = 0;

void* Allocate(std::size_t n) {
  ++GAllocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

std::uint64_t portwise::bench::HeapAllocationsOfThisThread() { return GAllocations; }

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  ++GAllocations;
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  ++GAllocations;
  return std::malloc(n ? n : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

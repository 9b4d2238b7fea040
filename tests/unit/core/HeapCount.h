#pragma once
// Heap allocations made so far by the calling thread. The core test program replaces the global
// allocation functions to count them (ALAudioBufferTest.cpp).
#include <cstddef>

namespace portwise::test {
std::size_t HeapAllocationsOfThisThread();
}  // namespace portwise::test

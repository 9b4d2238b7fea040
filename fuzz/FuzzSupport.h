#pragma once
// What the fuzz targets share: a failed property stops the run with a line that names it (the
// input that caused it is written by libFuzzer).
#include <cstdio>
#include <cstdlib>

namespace portwise::fuzz {

inline void Check(bool ACondition, const char* AWhat) {
  if (ACondition) return;
  std::fprintf(stderr, "property failed: %s\n", AWhat);
  std::abort();
}

}  // namespace portwise::fuzz

#define FUZZ_CHECK(condition) ::portwise::fuzz::Check((condition), #condition)

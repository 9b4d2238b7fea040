#pragma once
// Side-by-side measurement: the code under test and its baseline run alternately, in batches, in
// the same process and the same warm caches, and each counter row reports both medians and their
// ratio. A ratio below 1 means the code under test is faster than the baseline.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace portwise::bench {

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// Each benchmark iteration times `batch` calls of the subject and `batch` of the baseline, the
// order swapped every iteration. Counters: ns (subject, per call), base_ns, ratio = ns / base_ns,
// and per_unit_ns = ns / unitsPerCall when the call handles several samples or frames.
template <class Subject, class Baseline>
void RunSideBySide(benchmark::State& state, std::size_t batch, Subject&& subject, Baseline&& baseline,
                   double unitsPerCall = 1) {
  using Clock = std::chrono::steady_clock;
  std::vector<double> s, b;
  bool subjectFirst = true;
  auto timeBatch = [batch](auto& fn) {
    const auto t0 = Clock::now();
    for (std::size_t i = 0; i < batch; ++i) fn();
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / static_cast<double>(batch);
  };
  for (auto _ : state) {
    if (subjectFirst) {
      s.push_back(timeBatch(subject));
      b.push_back(timeBatch(baseline));
    } else {
      b.push_back(timeBatch(baseline));
      s.push_back(timeBatch(subject));
    }
    subjectFirst = !subjectFirst;
  }
  const double ns = Median(s), base = Median(b);
  state.counters["ns"] = ns;
  state.counters["base_ns"] = base;
  state.counters["ratio"] = base > 0 ? ns / base : 0;
  state.counters["per_unit_ns"] = ns / unitsPerCall;
}

// Heap allocations (operator new) made so far by the calling thread; counted by the bench
// program's replacement of the global allocation functions.
std::uint64_t HeapAllocationsOfThisThread();

}  // namespace portwise::bench

#!/usr/bin/env bash
# Builds and runs the benchmark suite (linux preset) and prints the table of bench/README.md.
# Extra arguments go to the benchmark program, e.g. --benchmark_filter=lock.
# Not part of the tests: the figures depend on the machine and its load.
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${BENCH_REPETITIONS:-5}
[[ -d build/linux ]] || cmake --preset linux >&2
cmake --build --preset linux -j2 --target portwise_bench >&2
out=build/linux/bench.json
build/linux/bench/portwise_bench \
  --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$out" --benchmark_out_format=json "$@" >&2
python3 bench/report.py "$out"

#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`, clang) and runs each for a bounded time.
#   scripts/fuzz.sh [seconds per target, default 60]
# Corpora grow in build/fuzz/corpus/<target>; a crash leaves its input in build/fuzz/findings.
# Exits non-zero when a target finds a fault (or does not build).
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(asio_convert_fuzz asio_text_fuzz format_fuzz buffer_fuzz dshow_names_fuzz queue_fuzz)

cmake --preset fuzz >build/configure-fuzz.log 2>&1 || { cat build/configure-fuzz.log; exit 1; }
cmake --build --preset fuzz -j2 --target "${targets[@]}" || exit 1

mkdir -p build/fuzz/findings
failed=0
for t in "${targets[@]}"; do
  mkdir -p "build/fuzz/corpus/$t"
  echo "=== $t: ${seconds} s"
  if ! "build/fuzz/fuzz/$t" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/findings/$t-" "build/fuzz/corpus/$t" 2>"build/fuzz/$t.log"; then
    failed=1
    tail -40 "build/fuzz/$t.log"
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "build/fuzz/$t.log" | sed "s/^/$t /"
done
exit $failed

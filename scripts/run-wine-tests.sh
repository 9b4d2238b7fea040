#!/usr/bin/env bash
# Runs the Windows test executables of a build (32- or 64-bit) under Wine, in a private world with
# an X display and an audio server, so window and waveform-audio tests meet real services. Each
# executable has a time limit (PW_TEST_TIMEOUT seconds, default 600): a hang fails that executable
# with a message and the run goes on.
# Usage: scripts/run-wine-tests.sh BUILD_DIR
# Exit status: 0 all passed, 1 a failure, 77 the machine cannot run these programs (32-bit ones on a
# kernel without 32-bit support): nothing was run.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: run-wine-tests.sh BUILD_DIR}
limit=${PW_TEST_TIMEOUT:-600}
# shellcheck source=scripts/lib/wine-env.sh
source "$root/scripts/lib/wine-env.sh"

mapfile -t exes < <(find "$build/tests" -maxdepth 2 -name '*_tests.exe' 2>/dev/null | sort)
# The build's bitness: from its tests, or from its program when the tests were not built (a
# 32-bit build on a machine that cannot run it builds the program only).
sample=${exes[0]:-$build/app/Portwise.exe}
if [[ -f $sample ]] && pw_exe_is_32bit "$sample" && ! pw_can_run_32bit; then
  echo "SKIP: 32-bit test executables not run: $PW_NO_32BIT_REASON"
  exit 77
fi
if ((${#exes[@]} == 0)); then
  echo "no test executables in $build/tests"
  exit 1
fi

state=$(mktemp -d /tmp/portwise-wine-tests.XXXXXX)
trap 'pw_stop_all; rm -rf "$state"' EXIT
PW_FORCE_XVFB=1
pw_env_init "$state" && pw_start_display && pw_start_audio && pw_prepare_prefix || {
  echo "could not set up the Wine world"
  exit 1
}

status=0
for exe in "${exes[@]}"; do
  name=$(basename "$exe")
  echo "--- $name (under Wine)"
  timeout --kill-after=15 "$limit" env PORTWISE_RUN_TAG="$PW_TAG" "$PW_WINE" "$exe" --gtest_brief=1 2>&1 | tr -d '\r'
  rc=${PIPESTATUS[0]}
  if ((rc == 0)); then
    echo "--- $name: PASS"
  elif ((rc == 124 || rc == 137)); then
    echo "--- $name: FAIL (no end after $limit s: stopped)"
    status=1
  else
    echo "--- $name: FAIL (exit $rc)"
    status=1
  fi
done
exit $status

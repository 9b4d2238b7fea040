#!/usr/bin/env bash
# Runs the Windows test executables of a build (64-bit) under Wine, in a private world with an
# X display and an audio server, so window and waveform-audio tests meet real services.
# Usage: scripts/run-wine-tests.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: run-wine-tests.sh BUILD_DIR}
# shellcheck source=scripts/lib/wine-env.sh
source "$root/scripts/lib/wine-env.sh"

mapfile -t exes < <(find "$build/tests" -maxdepth 2 -name '*_tests.exe' | sort)
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
  if pw_wine "$exe" --gtest_brief=1 2>&1 | tr -d '\r'; then
    echo "--- $name: PASS"
  else
    echo "--- $name: FAIL"
    status=1
  fi
done
exit $status

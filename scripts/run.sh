#!/usr/bin/env bash
# Runs Portwise: the 64-bit Windows build under Wine, with a private PulseAudio server whose null
# sink takes the sound. With a display, Portwise runs until its window is closed (or Ctrl-C).
# Without one, it runs on a private Xvfb: the script waits for the window and the start-up
# analysis, saves a screenshot, says where, and stops.
#
#   scripts/run.sh
# Environment: PORTWISE_SCREENSHOT=FILE (default build/run/portwise.png); PORTWISE_BUILD=DIR runs
# the program of an existing win64 build there instead of building the preset.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
build=${PORTWISE_BUILD:-$root/build/win64}
exe=$build/app/Portwise.exe
probe=$build/tests/e2e/probe/portwise_probe.exe
shot=${PORTWISE_SCREENSHOT:-$root/build/run/portwise.png}

say() { echo "run: $*"; }
die() { echo "run: $*" >&2; exit 1; }

./scripts/install-deps.sh || die "installing the dependencies failed"

if [[ -z ${PORTWISE_BUILD:-} ]]; then
  say "building the win64 preset"
  mkdir -p build
  cmake --preset win64 >build/configure-win64.log 2>&1 || { cat build/configure-win64.log; die "configure failed"; }
  cmake --build --preset win64 -j2 || die "build failed"
fi
[[ -f $exe ]] || die "no $exe"

# shellcheck source=lib/wine-env.sh
source "$root/scripts/lib/wine-env.sh"
headless=
[[ -z ${DISPLAY:-} ]] && headless=1
state=$(mktemp -d "${TMPDIR:-/tmp}/portwise-run.XXXXXX")
pw_env_init "$state" || die "cannot use $state"
trap pw_stop_all EXIT
trap 'exit 130' INT TERM
pw_start_display || die "no display"
pw_start_audio || die "no audio server"
pw_prepare_prefix || die "no Wine prefix"

mkdir -p "$root/build/run"
log=$root/build/run/portwise-wine.log
pw_wine_start "$log" "$exe"
app=$PW_LAST_PID
say "Portwise is process $app (Wine's output: $log)"

if [[ -z $headless ]]; then
  say "close the window (or press Ctrl-C) to end"
  wait "$app"
  say "Portwise ended (exit code $?)"
  exit 0
fi

# No display of our own: wait for the window, let the start-up analysis fill it, take a picture.
pw_wait_portwise "$app" || die "$PW_WAIT_ERROR; see $log"
geometry=
if [[ -f $probe ]]; then
  # Settled: two readings a second apart alike, and no analysis under way.
  pw_wait_settled "$probe" "$state/dump.json" "$root" || true
  geometry=$(/usr/bin/python3 "$root/tests/e2e/check_window.py" crop "$state/dump.json" 2>/dev/null)
else
  sleep 3
fi
mkdir -p "$(dirname "$shot")"
if [[ -n $geometry ]]; then
  import -window root -crop "$geometry" "$shot"
else
  import -window root "$shot"
fi || die "the screenshot failed"
say "screenshot of the window: $shot"
[[ -f $probe ]] && pw_wine "$probe" close Portwise >/dev/null 2>&1
for ((i = 0; i < 50; i++)); do pw_alive "$app" || break; sleep 0.1; done
exit 0

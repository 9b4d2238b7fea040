#!/usr/bin/env bash
# The idle cost of the real program: the win64 build under Wine in the private world of the e2e
# tests (Xvfb, PulseAudio null sink, own prefix), left alone after its start-up analysis. Prints
# the CPU time of Portwise.exe (utime + stime from /proc) over 20 s as a share of one core.
#
#   bench/idle-wine.sh            (needs build/win64: cmake --build --preset win64)
# Environment: PORTWISE_BUILD=DIR (default build/win64), IDLE_SECONDS (default 20).
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
build=${PORTWISE_BUILD:-$root/build/win64}
exe=$build/app/Portwise.exe
probe=$build/tests/e2e/probe/portwise_probe.exe
seconds=${IDLE_SECONDS:-20}

die() { echo "idle-wine: $*" >&2; exit 1; }
[[ -f $exe ]] || die "no $exe (cmake --build --preset win64)"

# shellcheck source=../scripts/lib/wine-env.sh
source "$root/scripts/lib/wine-env.sh"
state=$(mktemp -d "${TMPDIR:-/tmp}/portwise-idle.XXXXXX")
pw_env_init "$state" || die "cannot use $state"
trap pw_stop_all EXIT
trap 'exit 130' INT TERM
PW_FORCE_XVFB=1 pw_start_display || die "no display"
pw_start_audio || die "no audio server"
pw_prepare_prefix || die "no Wine prefix"

pw_wine_start "$state/wine.log" "$exe"
app=$PW_LAST_PID

# The Windows process: the started one, or the one of this run whose command line names the exe.
find_app() {
  local pid
  for pid in $app $(pgrep -f 'Portwise\.exe' 2>/dev/null); do
    [[ -r /proc/$pid/environ ]] || continue
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "PORTWISE_RUN_TAG=$PW_TAG" || continue
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qi 'portwise\.exe' && { echo "$pid"; return 0; }
  done
  return 1
}

pw_wait_portwise "$app" || die "$PW_WAIT_ERROR; see $state/wine.log"
pid=$(find_app) || pid=$app

# Wait for the start-up analysis to finish (the probe reads the window), or give it 5 s.
if [[ -f $probe ]]; then
  pw_wait_settled "$probe" "$state/dump.json" "$root" || true
else
  sleep 5
fi

ticks() {  # utime + stime of the process, in clock ticks
  local stat
  stat=$(cat "/proc/$pid/stat") || return 1
  stat=${stat##*) }
  # shellcheck disable=SC2086
  set -- $stat
  echo $((${12} + ${13}))
}
threads() {  # one line per thread: tid name ticks
  local task stat
  for task in /proc/$pid/task/*; do
    stat=$(cat "$task/stat" 2>/dev/null) || continue
    local name=${stat#*(}
    name=${name%%)*}
    stat=${stat##*) }
    # shellcheck disable=SC2086
    set -- $stat
    echo "${task##*/} ${name// /_} $((${12} + ${13}))"
  done
}
hz=$(getconf CLK_TCK)
t0=$(ticks) || die "process $pid is gone"
threads >"$state/threads0"
w0=$(date +%s.%N)
sleep "$seconds"
t1=$(ticks) || die "process $pid ended while idle"
threads >"$state/threads1"
w1=$(date +%s.%N)
# Where it goes: the threads that used CPU meanwhile.
python3 - "$state/threads0" "$state/threads1" "$hz" <<'PY'
import sys
before = {l.split()[0]: int(l.split()[2]) for l in open(sys.argv[1]) if l.strip()}
after = [l.split() for l in open(sys.argv[2]) if l.strip()]
hz = int(sys.argv[3])
for tid, name, t in sorted(after, key=lambda r: before.get(r[0], 0) - int(r[2])):
    d = int(t) - before.get(tid, 0)
    if d > 0:
        print(f"  thread {tid} {name}: {d / hz:.2f} s")
PY
python3 - "$t0" "$t1" "$w0" "$w1" "$hz" "$pid" <<'PY'
import sys
t0, t1, w0, w1, hz, pid = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5]), sys.argv[6]
cpu = (t1 - t0) / hz
wall = w1 - w0
print(f"idle Portwise.exe (pid {pid}): {cpu:.3f} s CPU in {wall:.1f} s = {100 * cpu / wall:.3f}% of a core (goal < 0.5%)")
PY

#!/usr/bin/env bash
# End-to-end test of a Windows build (64- or 32-bit) under Wine, checked from outside as a person would
# use it: its own PulseAudio null sink (whose monitor is recorded), Xvfb and Wine prefix; Portwise
# is driven with xdotool and read back with the probe (tests/e2e/probe), which needs no hook in
# the program. Screenshots, probe dumps, recordings and logs go to build/e2e-artefacts/<build>/.
#
#   tests/e2e/run-e2e.sh [BUILD_DIR]        (default build/win64)
#
# One "PASS name: ..." / "FAIL name: ..." line per check ("SKIP" for a check with nothing to look
# at yet, not counted), then "N passed, M failed"; exit status 1 on any failure.
#
# Environment:
#   E2E_WINDOW_TIMEOUT=30    seconds for the window to come up
#   E2E_SETTLE_TIMEOUT=60    seconds for the window to settle after an action (analysis runs)
#   E2E_REQUIRE_ROWS=0       1: an empty device table fails instead of skipping the row checks
#   E2E_REQUIRE_ANALYSIS=0   1: a log without the analysis lines fails instead of skipping
#   E2E_TONE_SECONDS=1.0     expected length of the test tone, E2E_TONE_TOL=0.05 seconds either way
#   E2E_DS_TONE=1            0: no test tone on the DirectShow output row
#   E2E_LOAD_TONE=1          0: no tone while two busy processes load both cores
#   E2E_SOAK_TONES=N         tones in a row on each kind of output at the end (default 20 for a
#                            32-bit build, the product, and 0 for a 64-bit one)
#   E2E_LOCALE=24h           24h: the user's time format is HH:mm:ss; system: Wine's own (en-US)
#   E2E_TONE_ATTEMPTS=3      plays of a tone before its failure counts (see tone_check)
#   E2E_PULSE_LATENCY_MSEC=100  the audio server's buffer for every client: with Wine's own 10 ms
#                            it underruns far more often under CPU load (a gap in the sound)
#   E2E_ARTEFACTS=DIR        where the artefacts go; PW_KEEP_STATE=1 keeps the private run folder
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build/win64}
exe=$build/app/Portwise.exe
probe=$build/tests/e2e/probe/portwise_probe.exe
art=${E2E_ARTEFACTS:-$root/build/e2e-artefacts/$(basename "$build")}
PY=/usr/bin/python3  # Debian's, with numpy
check_window=$here/check_window.py
analyse_tone=$here/analyse_tone.py

E2E_WINDOW_TIMEOUT=${E2E_WINDOW_TIMEOUT:-30}
E2E_SETTLE_TIMEOUT=${E2E_SETTLE_TIMEOUT:-60}
E2E_REQUIRE_ROWS=${E2E_REQUIRE_ROWS:-0}
E2E_REQUIRE_ANALYSIS=${E2E_REQUIRE_ANALYSIS:-0}
E2E_TONE_SECONDS=${E2E_TONE_SECONDS:-1.0}
E2E_TONE_TOL=${E2E_TONE_TOL:-0.05}
E2E_DS_TONE=${E2E_DS_TONE:-1}
E2E_LOAD_TONE=${E2E_LOAD_TONE:-1}
E2E_TONE_ATTEMPTS=${E2E_TONE_ATTEMPTS:-3}
E2E_LOCALE=${E2E_LOCALE:-24h}

# shellcheck source=../../scripts/lib/wine-env.sh
source "$root/scripts/lib/wine-env.sh"

# ---- reporting ----------------------------------------------------------------------------------

passed=0
failed=0
failures=()  # repeated at the end, where a log cut short in the middle still shows them
started=$SECONDS
pass() { echo "PASS $1: $2"; passed=$((passed + 1)); }
fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); failures+=("FAIL $1: $2"); }
skip() { echo "SKIP $1: $2"; }
verdict() { if "${@:3}"; then pass "$1" "$2"; else fail "$1" "$2"; fi; }  # verdict NAME DETAIL CMD...

# tally CMD...: run a checker that prints PASS/FAIL/SKIP lines, and count them.
tally() {
  local out line
  out=$("$@" 2>&1)
  while IFS= read -r line; do
    [[ -z $line ]] && continue
    echo "$line"
    case $line in
      PASS\ *) passed=$((passed + 1)) ;;
      FAIL\ *) failed=$((failed + 1)); failures+=("$line") ;;
    esac
  done <<<"$out"
}

finish() {
  trap - EXIT INT TERM
  stop_and_check
  echo
  echo "e2e: $((SECONDS - started)) s; artefacts in $art"
  ((${#failures[@]} == 0)) || printf 'failed: %s\n' "${failures[@]}"
  echo "$passed passed, $failed failed"
  ((failed == 0))
  exit $?
}

# abort NAME REASON: a check whose failure leaves nothing else to test.
abort() {
  fail "$1" "$2"
  if [[ -f $art/portwise-wine.log ]]; then
    echo "--- last lines of $art/portwise-wine.log:"
    tail -n 15 "$art/portwise-wine.log"
  fi
  [[ -n ${DISPLAY:-} ]] && import -window root "$art/failure.png" 2>/dev/null && echo "--- screen: $art/failure.png"
  finish
}

# Everything the run started, stopped by process id; then nothing of it may be left.
stop_and_check() {
  local xvfb=$PW_XVFB_PID pulse=$PW_PULSE_PID left
  [[ -n ${PW_STATE:-} ]] || return 0
  [[ -d $PW_STATE ]] && cp "$PW_STATE"/pulseaudio.log "$PW_STATE"/xvfb.log "$art/" 2>/dev/null
  pw_stop_all
  left=$(pw_wine_pids | tr '\n' ' ')
  for p in $xvfb $pulse; do pw_alive "$p" && left+="$p "; done
  if [[ -z $left ]]; then
    pass "clean shutdown" "Wine, the wineserver, PulseAudio and Xvfb of this run all stopped"
  else
    fail "clean shutdown" "still running: $left"
  fi
}

# ---- the world ----------------------------------------------------------------------------------

rm -rf "$art"
mkdir -p "$art"
echo "e2e: $exe"
if [[ -f $exe ]] && pw_exe_is_32bit "$exe" && ! pw_can_run_32bit; then
  echo "SKIP e2e: the 32-bit build is not run: $PW_NO_32BIT_REASON"
  exit 77
fi

# The tones in a row are for the product, the 32-bit build.
if [[ -z ${E2E_SOAK_TONES:-} ]]; then
  E2E_SOAK_TONES=0
  [[ -f $exe ]] && pw_exe_is_32bit "$exe" && E2E_SOAK_TONES=20
fi

tally "$PY" "$analyse_tone" --self-test
tally "$PY" "$check_window" --self-test

[[ -f $exe ]] || { fail "build" "no $exe (build its preset first)"; echo "$passed passed, $failed failed"; exit 1; }
[[ -f $probe ]] || { fail "build" "no $probe (target portwise_probe)"; echo "$passed passed, $failed failed"; exit 1; }
for tool in Xvfb pulseaudio pactl parec xdotool import sox "$PW_WINE"; do
  command -v "$tool" >/dev/null || { fail "tools" "$tool is not installed"; echo "$passed passed, $failed failed"; exit 1; }
done

state=$(mktemp -d "${TMPDIR:-/tmp}/portwise-e2e.XXXXXX")
pw_env_init "$state" || { fail "setup" "cannot use $state"; exit 1; }
trap finish EXIT
trap 'fail "interrupted" "by a signal"; finish' INT TERM

PW_FORCE_XVFB=1 pw_start_display 2>>"$art/setup.log" || abort "setup" "Xvfb did not start: $(tail -3 "$art/setup.log")"
pw_start_audio 2>>"$art/setup.log" || abort "setup" "PulseAudio did not start: $(tail -3 "$art/setup.log")"
pw_prepare_prefix 2>>"$art/setup.log" || abort "setup" "no Wine prefix: $(tail -3 "$art/setup.log")"
export PULSE_LATENCY_MSEC=${E2E_PULSE_LATENCY_MSEC:-100}
if [[ $E2E_LOCALE == 24h ]]; then
  pw_user_reg 'Control Panel\\International' '"sTimeFormat"="HH:mm:ss"' '"iTime"="1"' '"iTLZero"="1"'
fi
echo "e2e: display $DISPLAY, audio $PULSE_SERVER, prefix $WINEPREFIX ($((SECONDS - started)) s)"

# ---- helpers ------------------------------------------------------------------------------------

app_pid=
app_alive() { pw_alive "$app_pid"; }

# dump NAME [TITLE]: the probe's reading of the window, kept as $art/NAME.json. A reading that
# fails without a reason from the probe is taken once more.
dump() {
  local rc attempt
  for attempt in 1 2; do
    echo "--- dump $1 (attempt $attempt)" >>"$art/probe.log"
    timeout 60 env PORTWISE_RUN_TAG="$PW_TAG" "$PW_WINE" "$probe" dump "${2:-Portwise}" >"$art/$1.json" 2>>"$art/probe.log"
    rc=$?
    ((rc == 0)) && return 0
    dump_error="probe exit $rc: $(head -c 300 "$art/$1.json")"
    echo "--- exit $rc" >>"$art/probe.log"
    [[ -s $art/$1.json ]] && return 1
    echo "NOTE dump $1: the probe ended with exit code $rc and no reading; reading again"
    sleep 1
  done
  return 1
}

# settle NAME: dumps until two dumps a second apart show the same table and log, with no analysis
# run still open; the last one is $art/NAME.json.
settle() {
  local name=$1 deadline=$((SECONDS + E2E_SETTLE_TIMEOUT)) prev= cur
  for (( ; ; )); do
    app_alive || { dump_error="Portwise is not running"; return 1; }
    dump "$name" || return 1
    cur=$("$PY" "$check_window" state "$art/$name.json")
    if [[ $cur == "$prev" && $cur == idle* ]]; then
      tally "$PY" "$check_window" dialogs "$art/$name.json" "$name"
      return 0
    fi
    ((SECONDS >= deadline)) && { dump_error="the window did not settle within $E2E_SETTLE_TIMEOUT s ($cur)"; return 1; }
    prev=$cur
    sleep 1
  done
}

# point NAME WHAT: screen coordinates of WHAT in dump NAME (see check_window.py point).
point() { "$PY" "$check_window" point "$art/$1.json" "$2"; }
click_at() { xdotool mousemove "$1" "$2" click 1; }
double_click_at() { xdotool mousemove "$1" "$2" click --repeat 2 --delay 80 1; }

screenshot() {  # screenshot NAME DUMP: the window as the dump places it
  import -window root -crop "$("$PY" "$check_window" crop "$art/$2.json")" "$art/$1.png" 2>/dev/null &&
    echo "e2e: screenshot $art/$1.png"
}

rec_pid=
rec_name=
rec_start() {  # rec_start NAME: record the null sink's monitor
  local i
  rec_name=$1
  parec -d "$PW_MONITOR" --raw --format=s16le --rate=44100 --channels=2 --latency-msec=20 \
    >"$PW_STATE/$rec_name.raw" 2>>"$art/parec.log" &
  rec_pid=$!
  pw_track "$rec_pid" parec
  # Recording only once the server has the stream, or the start of a sound is lost.
  for ((i = 0; i < 50; i++)); do
    [[ -n $(pactl list short source-outputs 2>/dev/null) ]] && break
    sleep 0.1
  done
  sleep 0.2
}
rec_wait_end() {  # rec_wait_end: until the sound being recorded has ended (at most 15 s)
  "$PY" "$analyse_tone" --wait-end "$PW_STATE/$rec_name.raw" --quiet 0.7 --timeout 15 2>>"$art/parec.log"
}
rec_stop() {  # rec_stop: stop recording; the recording is $art/NAME.wav
  pw_stop_pid "$rec_pid" parec
  sox -t raw -r 44100 -e signed-integer -b 16 -c 2 "$PW_STATE/$rec_name.raw" "$art/$rec_name.wav"
}

# tone_check FILE LABEL ANALYSIS-ARGS... -- PLAY-CMD...: record (FILE.wav) while PLAY-CMD plays,
# then measure. Under CPU load Wine can still underrun and leave a gap in the sound: a play that
# fails (other than by silence) is repeated, up to E2E_TONE_ATTEMPTS plays in all; the failures
# of the earlier plays are shown as NOTE lines (recordings kept as FILE-N.wav), the last counts.
tone_check() {
  local file=$1 label=$2 args=() attempt out
  shift 2
  while [[ $1 != -- ]]; do args+=("$1"); shift; done
  shift
  for ((attempt = 1; ; attempt++)); do
    rec_start "$file"
    "$@"
    rec_stop
    out=$("$PY" "$analyse_tone" "$art/$file.wav" "${args[@]}" --prefix "$label: " 2>&1)
    # Silence throughout is no underrun: nothing to repeat.
    [[ $out == *FAIL* && $out != *"FAIL $label: tone present"* ]] && ((attempt < E2E_TONE_ATTEMPTS)) || break
    grep '^FAIL ' <<<"$out" | sed "s/^FAIL /NOTE (play $attempt, repeated) /"
    mv "$art/$file.wav" "$art/$file-$attempt.wav"
  done
  tally printf '%s\n' "$out"
}

alive_check() {  # alive_check WHAT
  if app_alive; then pass "$1: Portwise still running" "process $app_pid"; else
    abort "$1: Portwise still running" "it has ended"; fi
}

# wait_window TITLE PID SECONDS: until a visible window of that title shows; fails when PID ends.
wait_window() {
  local title=$1 pid=$2 deadline=$((SECONDS + $3)) rx
  rx="^$(sed 's/[][\.*^$+?(){}|/]/\\&/g' <<<"$1")\$"
  wid=
  while [[ -z $wid ]]; do
    if ! pw_alive "$pid"; then
      wait "$pid"
      wait_error="ended (exit code $?) before its window came up"
      return 1
    fi
    ((SECONDS >= deadline)) && { wait_error="no visible window titled \"$title\" within $3 s"; return 1; }
    wid=$(xdotool search --onlyvisible --name "$rx" 2>/dev/null | head -n 1)
    [[ -z $wid ]] && sleep 0.3
  done
  return 0
}

# ---- the probe, on a window of known content ----------------------------------------------------

# Before the probe's readings of Portwise are trusted (an empty table could be a probe that cannot
# read cells), it reads its own fixture, before and after a click and a double-click.
fixture="Portwise probe fixture"
pw_wine_start "$art/fixture-wine.log" "$probe" fixture "$fixture"
fixture_pid=$PW_LAST_PID
wait_window "$fixture" "$fixture_pid" "$E2E_WINDOW_TIMEOUT" || abort "probe fixture" "$wait_error"
dump fixture "$fixture" || abort "probe fixture" "$dump_error"
tally "$PY" "$check_window" fixture "$art/fixture.json"
click_at $(point fixture Ajouter)
double_click_at $(point fixture row:1)
sleep 0.5
dump fixture-clicked "$fixture" || abort "probe fixture" "$dump_error"
tally "$PY" "$check_window" fixture "$art/fixture-clicked.json" clicked
pw_wine "$probe" close "$fixture" >>"$art/probe.log" 2>&1
pw_stop_pid "$fixture_pid" "probe fixture" 50

# The recording chain (Wine's winmm, PulseAudio, the null sink's monitor, parec) on its own: a
# reference tone must come back whole, so that a fault found in Portwise's tone is Portwise's.
play_reference() {
  pw_wine "$probe" tone >>"$art/probe.log" 2>&1 || echo "NOTE the probe could not play the tone (see $art/probe.log)"
  rec_wait_end
}
tone_check reference-tone "reference tone through Wine" --seconds 1.0 --seconds-tol 0.00005 -- play_reference

# ---- the MME components on their own -----------------------------------------------------------

# portwise_mme_tone (tests/e2e/mme_tone) runs the generator, the MME output and the MME input on
# the real platform, without the window. Its report is one "key: value" line per figure.
mme_tone=$build/tests/e2e/mme_tone/portwise_mme_tone.exe
figure() { tr -d '\r' <"$1" | sed -n "s/^$2: //p" | head -n 1; }  # figure REPORT KEY
# within VALUE LOW HIGH: a number between the bounds; near VALUE TARGET TOL: at most TOL away
within() { "$PY" -c 'import sys; v, a, b = map(float, sys.argv[1:]); sys.exit(not a <= v <= b)' "$@" 2>/dev/null; }
near() { "$PY" -c 'import sys; v, t, d = map(float, sys.argv[1:]); sys.exit(not abs(v - t) <= d)' "$@" 2>/dev/null; }
# tone_seconds BUFFERS: how long that many 1024-frame buffers at 44.1 kHz last
tone_seconds() { "$PY" -c 'import sys; print(f"{int(sys.argv[1]) * 1024 / 44100:.5f}")' "$1" 2>/dev/null; }
# Half a buffer (512 frames): a duration this close to the expected one has not a buffer more or less.
half_buffer=0.0116

# run_mme_tone REPORT ARGS...: the program, its report in $art/REPORT.txt (exit code last), then
# until its sound has ended.
run_mme_tone() {
  local report=$art/$1.txt
  shift
  pw_wine "$mme_tone" "$@" >"$report" 2>>"$art/mme-tone-wine.log"
  echo "exit code: $?" >>"$report"
  rec_wait_end
}

if [[ ! -f $mme_tone ]]; then
  fail "build" "no $mme_tone (target portwise_mme_tone): no checks of the MME components alone"
else
  # The main window's generator through an MME output for a second: the recording holds every
  # buffer it produced, no more and no less (a 1 kHz tone hides a lost or repeated buffer from
  # the continuity check when the loss joins in phase, not from the duration).
  tone_check mme-tone "MME output alone" --freq 1000 --freq-tol 1 --peak-dbfs -6.02 --peak-tol 0.1 \
    --json "$art/mme-tone-figures.json" -- run_mme_tone mme-tone play 1000
  r=$art/mme-tone.txt
  n=$(figure "$r" "buffers produced")
  verdict "MME output alone: program" "exit code $(figure "$r" "exit code")" test "$(figure "$r" "exit code")" = 0
  verdict "MME output alone: a second of buffers produced" "$n buffers of 1024 frames" within "${n:-0}" 35 52
  want=$(tone_seconds "${n:-0}")
  got=$("$PY" -c 'import json, sys; print("%.5f" % json.load(open(sys.argv[1])).get("seconds", -1))' "$art/mme-tone-figures.json" 2>/dev/null)
  verdict "MME output alone: every buffer produced is in the recording" \
    "tone of ${got:-?} s; $n buffers last $want s (+- $half_buffer s)" near "${got:--1}" "${want:-0}" "$half_buffer"

  # The MME input on the null sink's monitor while the same tone plays: whole 1024-frame buffers
  # at the device's pace (about 43 a second), more than the 40 first queued, and what it
  # delivers is the tone that was played.
  cap_raw=$PW_STATE/mme-capture.raw
  tone_check mme-capture-played "MME input, the tone played" --freq 1000 --freq-tol 1 --peak-dbfs -6.02 --peak-tol 0.1 \
    -- run_mme_tone mme-capture capture 3000 "Z:${cap_raw//\//\\}"
  r=$art/mme-capture.txt
  verdict "MME input: program" "exit code $(figure "$r" "exit code")" test "$(figure "$r" "exit code")" = 0
  verdict "MME input: device found" "$(figure "$r" "capture device"); inputs $(figure "$r" "input devices")" \
    test "$(figure "$r" "capture device")" = "Monitor of Null Output (listed)"
  sizes=$(figure "$r" "buffer sizes")
  verdict "MME input: 1024-frame buffers only" "$sizes" grep -Eqx '1024 x [0-9]+' <<<"$sizes"
  got=$(figure "$r" "buffers received")
  verdict "MME input: buffers replaced as they come back" "$got buffers in 3 s, 40 queued at first" within "${got:-0}" 41 1000
  rate=$(figure "$r" "arrival rate")
  verdict "MME input: buffers at the device's pace" \
    "$rate buffers/s (least squares over $(figure "$r" "arrival span s") s of arrivals), about 43.07 expected" \
    within "${rate:-0}" 38 48
  if [[ -s $cap_raw ]]; then
    sox -t raw -r 44100 -e signed-integer -b 16 -c 2 "$cap_raw" "$art/mme-capture.wav"
    tally "$PY" "$analyse_tone" "$art/mme-capture.wav" --freq 1000 --freq-tol 1 --peak-dbfs -6.02 --peak-tol 0.1 \
      --seconds "$(tone_seconds "$(figure "$r" "tone buffers produced")")" --seconds-tol "$half_buffer" \
      --prefix "MME input, what it delivered: "
  else
    fail "MME input, what it delivered" "no captured audio ($cap_raw)"
  fi
fi

# ==== the ASIO device on the test ASIO driver ====================================================
# One block for everything ASIO here. The test driver's instances (tests/asio_driver/README.md) are
# registered in this run's prefix before Portwise starts, so that the shell finds them too: two
# healthy ones that stream (2 in, 2 out; 32-bit integers, and 32-bit floats with a fixed half-buffer,
# no outputReady and plain buffer switches without time information), and for the shell's rows one without channels, one whose start fails
# (-997), one whose init fails and a key without "clsid". portwise_asio_tone (tests/e2e/asio_tone)
# plays the main window's tone through the ASIO device on driver output channel 0 and records
# driver input channel 0; the driver's WAV file holds, bit for bit, what the device wrote.
asio_dll=$build/tests/asio_driver/PortwiseTestAsio.dll
asio_tone=$build/tests/e2e/asio_tone/portwise_asio_tone.exe
driver_wav=$here/driver_wav.py
asio_out=$PW_STATE/asio
mkdir -p "$asio_out"
asio_regpath() { local p; p=$(realpath -m "$1"); p="Z:${p//\//\\}"; printf '%s' "${p//\\/\\\\}"; }
tally "$PY" "$driver_wav" --self-test

# asio_play INSTANCE FILE: the tone through the instance; the program's report in $art/FILE.txt
# (exit code last), the driver's file as $art/FILE-driver.wav, its channel 0 in 16 bits as
# $art/FILE.wav with the conversion's figures in $art/FILE-convert.txt.
asio_play() {
  local instance=$1 file=$2
  rm -f "$asio_out/$file.wav" "$art/$file-driver.wav" "$art/$file.wav"
  pw_wine "$asio_tone" "Portwise Test ASIO $instance" 1000 >"$art/$file.txt" 2>>"$art/asio-tone-wine.log"
  echo "exit code: $?" >>"$art/$file.txt"
  cp "$asio_out/$file.wav" "$art/$file-driver.wav" 2>/dev/null
  "$PY" "$driver_wav" "$art/$file-driver.wav" "$art/$file.wav" --channel 0 >"$art/$file-convert.txt" 2>&1
}

# asio_tone_check INSTANCE FILE LABEL HALF OUTPUTREADY: plays (again, up to E2E_TONE_ATTEMPTS plays
# when the sound fails, as tone_check does) and checks the report, the sound and the input.
asio_tone_check() {
  local instance=$1 file=$2 label=$3 half=$4 ready=$5 attempt out r n want got rate f
  r=$art/$file.txt
  for ((attempt = 1; ; attempt++)); do
    asio_play "$instance" "$file"
    n=$(figure "$r" "buffers produced")
    out=$("$PY" "$analyse_tone" "$art/$file.wav" --freq 1000 --freq-tol 1 --peak-dbfs -6.02 --peak-tol 0.1 \
      --seconds "$(tone_seconds "${n:-0}")" --seconds-tol "$E2E_TONE_TOL" --json "$art/$file-figures.json" \
      --prefix "$label: " 2>&1)
    [[ $out == *FAIL* && $out != *"FAIL $label: tone present"* ]] && ((attempt < E2E_TONE_ATTEMPTS)) || break
    grep '^FAIL ' <<<"$out" | sed "s/^FAIL /NOTE (play $attempt, repeated) /"
    for f in .txt .wav -driver.wav -convert.txt; do mv "$art/$file$f" "$art/$file-$attempt$f" 2>/dev/null; done
  done
  verdict "$label: program" "exit code $(figure "$r" "exit code")$(grep -m1 '^error: ' "$r" | tr -d '\r' | sed 's/^/; /')" \
    test "$(figure "$r" "exit code")" = 0
  verdict "$label: driver started" \
    "\"$(figure "$r" driver)\", $(figure "$r" inputs) in, $(figure "$r" outputs) out; tone on output channel $(figure "$r" "output channel")" \
    test "$(figure "$r" started)" = yes
  verdict "$label: half-buffer" "$(figure "$r" half-buffer) frames, $half expected" test "$(figure "$r" half-buffer)" = "$half"
  verdict "$label: outputReady" "used: $(figure "$r" "uses outputReady"), $ready expected" \
    test "$(figure "$r" "uses outputReady")" = "$ready"
  verdict "$label: a second of buffers produced" "$n buffers of 1024 frames" within "${n:-0}" 35 52
  tally printf '%s\n' "$out"
  want=$(tone_seconds "${n:-0}")
  got=$("$PY" -c 'import json, sys; print("%.5f" % json.load(open(sys.argv[1])).get("seconds", -1))' "$art/$file-figures.json" 2>/dev/null)
  verdict "$label: every buffer produced is in the driver's file" \
    "tone of ${got:-?} s; $n buffers last $want s (+- $half_buffer s)" near "${got:--1}" "${want:-0}" "$half_buffer"
  verdict "$label: samples as the device wrote them" \
    "$(figure "$art/$file-convert.txt" format); back to 16 bits within $(figure "$art/$file-convert.txt" rounding)" \
    within "$(figure "$art/$file-convert.txt" rounding)" 0 0.01
  verdict "$label: the other output channel silent" "$(figure "$art/$file-convert.txt" "other channels silent")" \
    test "$(figure "$art/$file-convert.txt" "other channels silent")" = yes
  verdict "$label: the device stopped itself after the tone" "$(figure "$r" "stopped after the tone")" \
    grep -q '^yes' <<<"$(figure "$r" "stopped after the tone")"
  verdict "$label: buffer switches counted" "$(figure "$r" "buffer switches") switches of $half frames" \
    within "$(figure "$r" "buffer switches")" "$((44100 / half))" 100000
  verdict "$label: input buffers of the half-buffer" "$(figure "$r" "input buffer sizes")" \
    grep -Eqx "$half x [0-9]+" <<<"$(figure "$r" "input buffer sizes")"
  rate=$("$PY" -c 'import sys; print(f"{44100 / int(sys.argv[1]):.2f}")' "$half")
  verdict "$label: input buffers at the driver's pace" "$(figure "$r" "input rate") buffers/s, $rate expected" \
    near "$(figure "$r" "input rate")" "$rate" "$("$PY" -c 'import sys; print(float(sys.argv[1]) * 0.1)' "$rate")"
  verdict "$label: input carries the driver's signal" "$(figure "$r" "input bits")-bit buffers, $(figure "$r" "input signal")" \
    test "$(figure "$r" "input signal ok")" = yes
}

if [[ ! -f $asio_dll || ! -f $asio_tone ]]; then
  fail "build" "no $asio_dll or $asio_tone (targets portwise_test_asio, portwise_asio_tone): no ASIO checks"
else
  # A 32-bit build's programs load the 32-bit driver, from the 32-bit registry view.
  if pw_exe_is_32bit "$asio_tone"; then
    asio_view=--dll32 asio_root='Software\Wow6432Node\ASIO'
  else
    asio_view=--dll64 asio_root='Software\ASIO'
  fi
  cat >"$asio_out/instances" <<ASIO_INSTANCES
[Portwise Test ASIO Int32]
"CLSID"="{8A2F0C39-5B1E-4F4B-9C0A-6E2D4A1B7E01}"
"SampleType"=dword:00000012
"WavPath"="$(asio_regpath "$asio_out/asio-int32.wav")"
"ControlPanelCount"="$(asio_regpath "$asio_out/int32-panel.txt")"

[Portwise Test ASIO Float32]
"CLSID"="{8A2F0C39-5B1E-4F4B-9C0A-6E2D4A1B7E02}"
"SampleType"=dword:00000013
"BufferMin"=dword:00000200
"BufferMax"=dword:00000200
"BufferPreferred"=dword:00000200
"BufferGranularity"=dword:00000000
"OutputReady"=dword:00000000
"TimeInfo"=dword:00000000
"WavPath"="$(asio_regpath "$asio_out/asio-float32.wav")"

[Portwise Test ASIO No Channels]
"CLSID"="{8A2F0C39-5B1E-4F4B-9C0A-6E2D4A1B7E03}"
"InputChannels"=dword:00000000
"OutputChannels"=dword:00000000

[Portwise Test ASIO Start Fails]
"CLSID"="{8A2F0C39-5B1E-4F4B-9C0A-6E2D4A1B7E04}"
"Fail_start"=dword:fffffc1b

[Portwise Test ASIO No Init]
"CLSID"="{8A2F0C39-5B1E-4F4B-9C0A-6E2D4A1B7E05}"
"InitFails"=dword:00000001
ASIO_INSTANCES
  if PORTWISE_RUN_TAG=$PW_TAG WINE=$PW_WINE "$root/tests/asio_driver/register.sh" "$asio_view" "$asio_dll" \
       "$asio_out/instances" >>"$art/asio-register.log" 2>&1 &&
     pw_wine reg add "HKLM\\$asio_root\\Portwise Test ASIO No Clsid" /v Description /d "Portwise Test ASIO No Clsid" /f \
       >>"$art/asio-register.log" 2>&1; then
    pass "ASIO test driver registered" "6 keys under HKLM\\$asio_root ($asio_view)"
    asio_tone_check "Int32" asio-int32 "ASIO tone, 32-bit integers" 256 yes
    asio_tone_check "Float32" asio-float32 "ASIO tone, 32-bit floats, fixed half-buffer" 512 no
  else
    fail "ASIO test driver registered" "see $art/asio-register.log"
  fi
fi
# ==== end of the ASIO block =====================================================================

# ---- what the system offers ---------------------------------------------------------------------

# The probe, of the build's own width (so in the same registry view), lists what Portwise should
# find: the waveOut and waveIn names, the DirectShow renderers and capture devices, and each key
# under Software\ASIO with what its driver answers when asked directly (channels, whether it
# starts). Read before Portwise starts; the Int32 driver's file it adds to is removed before use.
devices=$art/devices.json
if pw_wine "$probe" devices >"$devices" 2>>"$art/probe.log" && "$PY" -c 'import json, sys; json.load(open(sys.argv[1]))["asio"]' "$devices" 2>/dev/null; then
  pass "system devices read" "$("$PY" -c '
import json, sys
d = json.load(open(sys.argv[1]))
names, asio, bits = "names", d["asio"], d["pointer_bits"]
lists = ", ".join(f"{k} {len(d[k].get(names, []))}" for k in ("wave_out", "wave_in", "ds_renderers", "ds_capture"))
print(f"{lists}, ASIO keys {len(asio)} ({bits}-bit registry view)")' "$devices")"
else
  fail "system devices read" "the probe gave no device lists: $(head -c 300 "$devices")"
  devices=
fi

# ---- start-up -----------------------------------------------------------------------------------

t0=$(date +%s)
pw_wine_start "$art/portwise-wine.log" "$exe"
app_pid=$PW_LAST_PID

shown=$SECONDS
wait_window Portwise "$app_pid" "$E2E_WINDOW_TIMEOUT" || abort "window" "Portwise.exe $wait_error"
pass "window" "visible window \"Portwise\" (X window $wid) after $((SECONDS - shown)) s"

settle startup || abort "start-up" "$dump_error"
t1=$(date +%s)
screenshot startup startup
tally "$PY" "$check_window" layout "$art/startup.json"
req=()
((E2E_REQUIRE_ANALYSIS)) && req+=(--require-analysis)
tally "$PY" "$check_window" log "$art/startup.json" --t0 "$t0" --t1 "$t1" "${req[@]}"
rreq=()
((E2E_REQUIRE_ROWS)) && rreq+=(--require-rows)
tally "$PY" "$check_window" table "$art/startup.json" "${rreq[@]}"
if [[ -n $devices ]]; then
  tally "$PY" "$check_window" expected "$art/startup.json" "$devices"
  tally "$PY" "$check_window" analysis-log "$art/startup.json" "$devices"
fi

# ---- actions on an unselected table -------------------------------------------------------------

last=startup  # the latest dump: where the controls are now

# A double-click on empty space below the last row, with nothing selected, does nothing.
if xy=$(point "$last" empty); then
  double_click_at $xy
  sleep 0.5
  settle empty-dblclick || abort "double-click on empty space" "$dump_error"
  tally "$PY" "$check_window" unchanged "$art/$last.json" "$art/empty-dblclick.json" "double-click on empty space"
  last=empty-dblclick
  alive_check "double-click on empty space"
else
  skip "double-click on empty space" "the rows fill the table"
fi

# The tone button with no row selected plays nothing.
press_tone() {  # press_tone: press the tone button and wait for the end of the sound
  click_at $(point "$last" "1000 Hz / -6 dBFS (1 sec)")
  rec_wait_end
}
rec_start no-selection-tone
click_at $(point "$last" "1000 Hz / -6 dBFS (1 sec)")
sleep 2.5
rec_stop
tally "$PY" "$analyse_tone" "$art/no-selection-tone.wav" --silence --prefix "tone button without a row: "
settle no-selection-tone || abort "tone button without a row" "$dump_error"
tally "$PY" "$check_window" unchanged "$art/$last.json" "$art/no-selection-tone.json" "tone button without a row"
last=no-selection-tone
alive_check "tone button without a row"

# "Analyser" runs the analysis again: the same rows, the log keeps the lines of both runs.
click_at $(point "$last" Analyser)
sleep 0.5
settle analyse-again || abort "Analyser" "$dump_error"
tally "$PY" "$check_window" analysis "$art/$last.json" "$art/analyse-again.json" "Analyser" "${req[@]}"
last=analyse-again
alive_check "Analyser"

# ---- actions on rows ----------------------------------------------------------------------------
row_of() { "$PY" "$check_window" row "$art/$last.json" "$@"; }          # row_of TYPE INOUT [INTERFACE [CONNEXION]]
cell() { "$PY" "$check_window" cell "$art/$last.json" "$1" "$2"; }        # cell ROW COLUMN
selected_row() { "$PY" "$check_window" selected "$art/$last.json"; }
asio_enabled() { "$PY" "$check_window" enabled "$art/$last.json" "Panneau ASIO"; }
asio_int32="Portwise Test ASIO Int32"

# reveal ROW NAME: scroll the table with the mouse wheel until the row is wholly in view (the
# rows outnumber the table's height); the last reading is $art/NAME-N.json.
reveal() {
  local row=$1 i where
  for ((i = 1; i <= 12; i++)); do
    where=$("$PY" "$check_window" place "$art/$last.json" "$row")
    [[ $where == shown ]] && return 0
    xdotool mousemove $(point "$last" table) click "$([[ $where == below ]] && echo 5 || echo 4)"
    sleep 0.3
    settle "$2-scroll-$i" || abort "$2" "$dump_error"
    last=$2-scroll-$i
  done
  abort "$2" "row $row not brought into view by the mouse wheel"
}

# select_row ROW LABEL ASIO: click the row; it is selected and "Panneau ASIO" is enabled (ASIO=True)
# or not (ASIO=False).
select_row() {
  local row=$1 label=$2 want=$3 name=${2// /-}-selected
  reveal "$row" "${2// /-}"
  click_at $(point "$last" "row:$row")
  sleep 0.3
  settle "$name" || abort "$label" "$dump_error"
  last=$name
  verdict "$label: row selected" "row $row ($(cell "$row" 0) / $(cell "$row" 1))" test "$(selected_row)" = "$row"
  verdict "$label: \"Panneau ASIO\" $([[ $want == True ]] && echo on for an ASIO row || echo off for a non-ASIO row)" \
    "enabled: $(asio_enabled)" test "$(asio_enabled)" = "$want"
}

# test_row LABEL OUTCOME TYPE INOUT [INTERFACE]: double-click the first such row; its Test cell ends
# OUTCOME ("OK" or "Err."), no other row changes, and the log gets the test's lines for that row.
test_row() {
  local label=$1 outcome=$2 row before=$last name=test-${1// /-}
  shift 2
  row=$(row_of "$@")
  if ((row < 0)); then fail "$label" "no row $*"; return; fi
  reveal "$row" "$name"
  before=$last
  double_click_at $(point "$last" "row:$row")
  sleep 1
  settle "$name" || abort "$label" "$dump_error"
  last=$name
  tally "$PY" "$check_window" tested "$art/$before.json" "$art/$name.json" "$row" "$outcome"
  alive_check "$label"
}

# tone_on ROW LABEL: select the row, press the tone button, record and measure what is played.
tone_on() {
  local row=$1 label=$2
  select_row "$row" "$label" False
  tone_check "${label// /-}" "$label" --freq 1000 --peak-dbfs -6.02 --seconds "$E2E_TONE_SECONDS" --seconds-tol "$E2E_TONE_TOL" \
    --json "$art/${label// /-}-figures.json" -- press_tone
  alive_check "$label"
}

# asio_window_tone ROW LABEL: with that ASIO output row selected, press the tone button and measure
# what the test driver was given on the row's channel (its WAV file), bit for bit.
asio_window_tone() {
  local asio_row=$1 label=$2 file=${2// /-} attempt before gen_off n i out f
  # Under CPU load the driver's thread can fall behind the second the generator runs: a failed
  # play is repeated, as tone_check does, up to E2E_TONE_ATTEMPTS plays.
  for ((attempt = 1; ; attempt++)); do
    rm -f "$asio_out/asio-int32.wav"
    # The reading before this play keeps its own name: a repeated play's dumps reuse $file.
    cp "$art/$last.json" "$art/$file-before.json"
    before=$file-before
    gen_off="[ASIO] $asio_int32 -> Arrêt générateur audio"
    n=$("$PY" "$check_window" logged "$art/$last.json" "$gen_off")
    click_at $(point "$last" "1000 Hz / -6 dBFS (1 sec)")
    # The tone is over once the generator's stop is logged; the log is quiet while it plays.
    for ((i = 0; i < 30; i++)); do
      sleep 1
      dump $file || abort "$label" "$dump_error"
      (($("$PY" "$check_window" logged "$art/$file.json" "$gen_off") > n)) && break
    done
    settle $file || abort "$label" "$dump_error"
    last=$file
    cp "$asio_out/asio-int32.wav" "$art/$file-driver.wav" 2>/dev/null
    "$PY" "$driver_wav" "$art/$file-driver.wav" "$art/$file.wav" --channel "$(cell "$asio_row" 3)" \
      >"$art/$file-convert.txt" 2>&1
    out=$("$PY" "$analyse_tone" "$art/$file.wav" --freq 1000 --freq-tol 1 --peak-dbfs -6.02 --peak-tol 0.1 \
      --seconds "$E2E_TONE_SECONDS" --seconds-tol "$E2E_TONE_TOL" --json "$art/$file-figures.json" \
      --prefix "$label: " 2>&1)
    [[ $out == *FAIL* && $out != *"FAIL $label: tone present"* ]] &&
      ((attempt < E2E_TONE_ATTEMPTS)) || break
    grep '^FAIL ' <<<"$out" | sed "s/^FAIL /NOTE (play $attempt, repeated) /"
    for f in .wav -driver.wav -convert.txt; do mv "$art/$file$f" "$art/$file-$attempt$f" 2>/dev/null; done
  done
  tally printf '%s\n' "$out"
  verdict "$label: the other output channel silent" \
    "$(figure "$art/$file-convert.txt" "other channels silent")" \
    test "$(figure "$art/$file-convert.txt" "other channels silent")" = yes
  tally "$PY" "$check_window" toned "$art/$before.json" "$art/$last.json" "$asio_row"
  alive_check "$label"
}

mme_out=$(row_of MME Out)
if ((mme_out < 0)); then
  if ((E2E_REQUIRE_ROWS)); then fail "rows" "no MME output row to act on"; else
    skip "rows" "no MME output row to act on yet: no row selection, test tone or interface test"; fi
else
  # A double-click tests the row's own device (ASIO: the row's driver; MME and DirectShow: the
  # device its Connexion cell names). Under Wine, DirectShow's audio capture filter has no output
  # pin, so capture cannot start and the DirectShow input test fails.
  test_row "ASIO test of a driver that streams" OK ASIO In "$asio_int32"
  test_row "ASIO test of a driver whose start fails" Err. ASIO "?" "Portwise Test ASIO Start Fails"
  test_row "ASIO test of a key without a class" Err. ASIO "?" "Portwise Test ASIO No Clsid"
  test_row "MME output test" OK MME Out
  test_row "MME input test" OK MME In
  test_row "DirectShow output test" OK DS Out
  test_row "DirectShow input test" Err. DS In

  tone_on "$(row_of MME Out)" "MME tone"
  ds_out=$(row_of DS Out)
  if ((ds_out >= 0 && E2E_DS_TONE)); then tone_on "$ds_out" "DirectShow tone"; fi

  # The tone on an ASIO row plays on the row's output channel of its driver: the test driver
  # writes what it was given to its WAV file, which is measured bit for bit, as the ASIO block does.
  asio_row=$(row_of ASIO Out "$asio_int32")
  if ((asio_row < 0)); then
    fail "ASIO tone from the window" "no output row of $asio_int32"
  else
    select_row "$asio_row" "ASIO tone from the window" True
    asio_window_tone "$asio_row" "ASIO tone from the window"

    # "Panneau ASIO" on that row reaches the driver's controlPanel, which counts its calls.
    panel_count=$asio_out/int32-panel.txt
    verdict "\"Panneau ASIO\": no panel before the press" "count file: $(cat "$panel_count" 2>/dev/null || echo absent)" \
      test ! -s "$panel_count"
    click_at $(point "$last" "Panneau ASIO")
    for ((i = 0; i < 20; i++)); do [[ -s $panel_count ]] && break; sleep 0.5; done
    settle asio-panel || abort "\"Panneau ASIO\"" "$dump_error"
    last=asio-panel
    verdict "\"Panneau ASIO\" reaches the driver's control panel" \
      "controlPanel calls: $(tr -d '\r\n' <"$panel_count" 2>/dev/null || echo none)" \
      test "$(tr -d '\r\n' <"$panel_count" 2>/dev/null)" = 1
    alive_check "\"Panneau ASIO\""

    # Back on a non-ASIO row the button is off again.
    select_row "$(row_of MME Out)" "MME row after the panel" False
  fi

  # The tone while two busy processes load both cores: played once, and it must be whole.
  if ((E2E_LOAD_TONE)); then
    busy=()
    for _ in 1 2; do
      (while :; do :; done) &
      busy+=($!)
    done
    E2E_TONE_ATTEMPTS=1 tone_on "$(row_of MME Out)" "MME tone under load"
    kill "${busy[@]}" 2>/dev/null
    wait "${busy[@]}" 2>/dev/null
  fi

  # Tones in a row on each kind of output, every recording checked.
  ds_out=$(row_of DS Out)
  for ((k = 1; k <= E2E_SOAK_TONES; k++)); do
    tone_on "$(row_of MME Out)" "MME tone $k of $E2E_SOAK_TONES in a row"
    ((ds_out >= 0)) && tone_on "$ds_out" "DirectShow tone $k of $E2E_SOAK_TONES in a row"
    if ((asio_row >= 0)); then
      select_row "$asio_row" "ASIO tone $k of $E2E_SOAK_TONES in a row" True
      asio_window_tone "$asio_row" "ASIO tone $k of $E2E_SOAK_TONES in a row"
    fi
  done
fi

# ---- end ----------------------------------------------------------------------------------------

settle final || abort "final reading" "$dump_error"
screenshot final final
tally "$PY" "$check_window" log "$art/final.json" --t0 "$t0" --t1 "$(date +%s)" "${req[@]}"

# Closing the window (what its close box does) ends the program.
pw_wine "$probe" close "Portwise" >>"$art/probe.log" 2>&1
for ((i = 0; i < 100; i++)); do app_alive || break; sleep 0.1; done
if app_alive; then
  fail "closing the window ends Portwise" "still running 10 s after the close"
else
  wait "$app_pid"
  code=$?
  verdict "closing the window ends Portwise" "exit code $code" test "$code" = 0
fi

finish

# shellcheck shell=bash
# A private world for running the Windows build under Wine, shared by scripts/run.sh and
# tests/e2e/run-e2e.sh (source it, do not run it):
#
#   pw_env_init STATE_DIR     the run's own folder: sockets, logs, Wine prefix (removed at the end)
#   pw_start_display          Xvfb on a free display when DISPLAY is unset (or PW_FORCE_XVFB=1)
#   pw_start_audio            PulseAudio with one null sink, on a unix socket only
#   pw_prepare_prefix         the run's Wine prefix, hard-linked from a cached one (made once)
#   pw_can_run_32bit          this machine runs 32-bit Windows programs (32-bit Wine and a kernel
#                             that executes 32-bit code); the reason why not in PW_NO_32BIT_REASON
#   pw_exe_is_32bit EXE       the program is a 32-bit (i386) Windows executable
#   pw_wine ARGS...           wine64 in that prefix, in the foreground
#   pw_wine_start LOG ARGS... wine64 in the background; its process id in PW_LAST_PID
#   pw_track PID NAME         stop this process too (before the audio server)
#   pw_alive PID              the process runs (a zombie does not)
#   pw_stop_all               stop everything started here, by process id; safe to call twice
#
# Everything started here is stopped by its process id. Wine's helpers (services.exe,
# winedevice.exe, explorer.exe, ...) detach from whoever starts them, so every Wine process of the
# run carries PORTWISE_RUN_TAG in its environment and is found again by it. They are stopped while
# the wineserver still runs, and the wineserver after them: the other order leaves them blocked.

PW_WINE_DIR=${PW_WINE_DIR:-/usr/lib/wine}
PW_WINE=$PW_WINE_DIR/wine64
PW_WINE32_LOADER=$PW_WINE_DIR/wine  # the 32-bit loader, from the wine32 package
PW_WINESERVER=$PW_WINE_DIR/wineserver
PW_SINK=portwise_null
PW_MONITOR=$PW_SINK.monitor

pw_log() { echo "[wine-env] $*" >&2; }

pw_env_init() {  # pw_env_init STATE_DIR
  PW_STATE=$1
  mkdir -p "$PW_STATE" || return 1
  PW_STATE=$(cd "$PW_STATE" && pwd)
  PW_TAG=portwise-$$-$RANDOM-$(date +%s)
  PW_TRACKED=()       # "pid:name", stopped in reverse order before the audio server
  PW_XVFB_PID=
  PW_PULSE_PID=
  PW_STOPPED=
  PW_LAST_PID=
  # Clients of the private audio server find it only through these.
  mkdir -p "$PW_STATE/runtime" "$PW_STATE/pulse-home"
  chmod 700 "$PW_STATE/runtime"
  export XDG_RUNTIME_DIR=$PW_STATE/runtime
  export PULSE_SERVER=unix:$PW_STATE/runtime/pulse.sock
  export PULSE_CLIENTCONFIG=$PW_STATE/pulse-client.conf
  printf 'autospawn = no\n' >"$PULSE_CLIENTCONFIG"
  export WINEPREFIX=$PW_STATE/prefix
  export WINEDEBUG=${PW_WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset WINESERVER WINELOADER
}

pw_alive() {  # pw_alive PID
  local stat
  [[ -n $1 ]] && stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [[ ${stat%% *} != Z ]]
}

pw_track() { PW_TRACKED+=("$1:$2"); }

# pw_stop_pid PID NAME [GRACE_TENTHS]: SIGTERM, then SIGKILL after the grace time.
pw_stop_pid() {
  local pid=$1 name=$2 grace=${3:-30} i
  pw_alive "$pid" || { wait "$pid" 2>/dev/null; return 0; }
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < grace; i++)); do
    pw_alive "$pid" || break
    sleep 0.1
  done
  if pw_alive "$pid"; then
    pw_log "$name ($pid) ignored SIGTERM; killing it"
    kill -KILL "$pid" 2>/dev/null
    for ((i = 0; i < 20; i++)); do pw_alive "$pid" || break; sleep 0.1; done
  fi
  wait "$pid" 2>/dev/null
  return 0
}

pw_start_display() {
  if [[ -n ${DISPLAY:-} && -z ${PW_FORCE_XVFB:-} ]]; then
    pw_log "using the display $DISPLAY"
    return 0
  fi
  local file=$PW_STATE/xvfb.display fd i
  : >"$file"
  exec {fd}>"$file"
  # -displayfd: the server picks a free display and writes its number once it accepts clients.
  Xvfb -displayfd "$fd" -screen 0 1280x1024x24 -nolisten tcp -noreset >"$PW_STATE/xvfb.log" 2>&1 &
  PW_XVFB_PID=$!
  exec {fd}>&-
  for ((i = 0; i < 100; i++)); do
    [[ -s $file ]] && break
    pw_alive "$PW_XVFB_PID" || break
    sleep 0.1
  done
  if [[ ! -s $file ]]; then
    pw_log "Xvfb did not start:"; cat "$PW_STATE/xvfb.log" >&2
    return 1
  fi
  export DISPLAY=:$(tr -dc 0-9 <"$file")
  pw_log "Xvfb $PW_XVFB_PID on $DISPLAY"
}

pw_start_audio() {
  local sock=${PULSE_SERVER#unix:} i
  # Only the modules named here: one unix socket, one null sink at 44.1 kHz without rewinds (so
  # that its monitor records what is played bit for bit). No D-Bus, no X11 modules, no exit on idle.
  env -u DISPLAY HOME="$PW_STATE/pulse-home" DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disable-shm=yes \
    --log-target=stderr \
    -L "module-native-protocol-unix socket=$sock auth-anonymous=1" \
    -L "module-null-sink sink_name=$PW_SINK rate=44100 channels=2 norewinds=1" \
    >"$PW_STATE/pulseaudio.log" 2>&1 &
  PW_PULSE_PID=$!
  for ((i = 0; i < 100; i++)); do
    pactl info >/dev/null 2>&1 && break
    pw_alive "$PW_PULSE_PID" || break
    sleep 0.1
  done
  if ! pactl info >/dev/null 2>&1; then
    pw_log "PulseAudio did not start:"; cat "$PW_STATE/pulseaudio.log" >&2
    return 1
  fi
  pactl set-default-sink "$PW_SINK" >/dev/null 2>&1
  pw_log "PulseAudio $PW_PULSE_PID on $PULSE_SERVER, sink $PW_SINK"
}

pw_wine() { env PORTWISE_RUN_TAG="$PW_TAG" "$PW_WINE" "$@"; }

pw_wine_start() {  # pw_wine_start LOG ARGS...
  local log=$1
  shift
  env PORTWISE_RUN_TAG="$PW_TAG" "$PW_WINE" "$@" >"$log" 2>&1 &
  PW_LAST_PID=$!
}

# Process ids of this run's Wine processes: the wineserver last.
pw_wine_pids() {
  local f pid exe servers=()
  for f in $(grep -lzx -- "PORTWISE_RUN_TAG=$PW_TAG" /proc/[0-9]*/environ 2>/dev/null); do
    pid=${f#/proc/}
    pid=${pid%/environ}
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
    [[ $exe == "$PW_WINE_DIR"/* ]] || continue
    pw_alive "$pid" || continue
    if [[ $exe == */wineserver* ]]; then servers+=("$pid"); else echo "$pid"; fi
  done
  ((${#servers[@]})) && printf '%s\n' "${servers[@]}"
  return 0
}

pw_is_wineserver() { [[ $(readlink "/proc/$1/exe" 2>/dev/null) == */wineserver* ]]; }

pw_stop_wine() {
  local round pid procs servers
  for ((round = 0; round < 5; round++)); do
    procs=()
    servers=()
    for pid in $(pw_wine_pids); do
      if pw_is_wineserver "$pid"; then servers+=("$pid"); else procs+=("$pid"); fi
    done
    ((${#procs[@]} + ${#servers[@]})) || return 0
    if ((${#procs[@]})); then
      # Programs and helpers first, all at once, while their wineserver still answers.
      kill -TERM "${procs[@]}" 2>/dev/null
      local i any
      for ((i = 0; i < 50; i++)); do
        any=
        for pid in "${procs[@]}"; do pw_alive "$pid" && any=1; done
        [[ -z $any ]] && break
        sleep 0.1
      done
      for pid in "${procs[@]}"; do
        if pw_alive "$pid"; then
          pw_log "Wine process $pid ($(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)) ignored SIGTERM; killing it"
          kill -KILL "$pid" 2>/dev/null
        fi
      done
      for pid in "${procs[@]}"; do wait "$pid" 2>/dev/null; done
      continue  # a helper may have started another on its way out
    fi
    for pid in "${servers[@]}"; do pw_stop_pid "$pid" wineserver 50; done
  done
  pw_log "Wine processes still running after 5 rounds: $(pw_wine_pids | tr '\n' ' ')"
  return 1
}

pw_can_run_32bit() {
  PW_NO_32BIT_REASON=
  if [[ ! -x $PW_WINE32_LOADER ]]; then
    PW_NO_32BIT_REASON="the 32-bit Wine (package wine32:i386) is not installed"
    return 1
  fi
  local out
  # A kernel without 32-bit support refuses the loader itself ("Exec format error").
  if ! out=$("$PW_WINE32_LOADER" --version 2>&1); then
    PW_NO_32BIT_REASON="this machine's kernel does not run 32-bit programs ($PW_WINE32_LOADER: ${out##*: })"
    return 1
  fi
  return 0
}

pw_exe_is_32bit() {  # the COFF machine field of the PE header: 0x14c is i386
  local pe machine
  pe=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ') || return 1
  [[ -n $pe ]] || return 1
  machine=$(od -An -t x2 -j $((pe + 4)) -N 2 "$1" 2>/dev/null | tr -d ' ')
  [[ $machine == 014c ]]
}

pw_prefix_cache() {
  local version wow=
  version=$("$PW_WINE" --version 2>/dev/null | tr -c 'A-Za-z0-9.\n-' _)
  # A prefix made without the 32-bit Wine cannot run 32-bit programs: it gets a key of its own.
  pw_can_run_32bit && wow=-wow64
  echo "${PORTWISE_WINE_CACHE:-${HOME:-/root}/.cache/portwise}/wineprefix-${version:-unknown}$wow"
}

# The cached prefix is usable when it is complete and, where 32-bit programs can run, was made
# with their half (syswow64). One that lacks it is made again once: the marker written at its
# creation keeps a prefix that still lacks it from being made over and over.
pw_prefix_usable() {  # pw_prefix_usable CACHE
  [[ -f $1/system.reg ]] || return 1
  pw_can_run_32bit || return 0
  [[ -f $1/drive_c/windows/syswow64/kernel32.dll || -f $1/.portwise-made-with-wine32 ]]
}

# The cached prefix: made once with wineboot -i (8-10 s), then only copied (well under a second).
pw_make_prefix_cache() {
  local cache=$1 tmp rc
  tmp=$cache.new.$$
  rm -rf "$tmp"
  pw_log "creating the cached Wine prefix $cache (once)"
  WINEPREFIX=$tmp pw_wine wineboot -i >"$PW_STATE/wineboot.log" 2>&1
  rc=$?
  # The prefix is complete only once its wineserver has written the registry and gone.
  WINEPREFIX=$tmp timeout 60 "$PW_WINESERVER" -w
  WINEPREFIX=$tmp pw_stop_wine
  if ((rc)) || [[ ! -f $tmp/system.reg ]]; then
    pw_log "wineboot failed:"; tail -20 "$PW_STATE/wineboot.log" >&2
    rm -rf "$tmp"
    return 1
  fi
  pw_can_run_32bit && : >"$tmp/.portwise-made-with-wine32"
  rm -rf "$cache"
  mv "$tmp" "$cache"
}

pw_prepare_prefix() {
  local cache lockfd f
  cache=$(pw_prefix_cache)
  mkdir -p "$(dirname "$cache")" || return 1
  exec {lockfd}>"$cache.lock"
  flock -w 120 "$lockfd" || { pw_log "the prefix cache $cache stays locked"; exec {lockfd}>&-; return 1; }
  if ! pw_prefix_usable "$cache"; then
    [[ -f $cache/system.reg ]] && pw_log "the cached prefix $cache cannot run 32-bit programs: making it again"
    pw_make_prefix_cache "$cache" || { exec {lockfd}>&-; return 1; }
  fi
  rm -rf "$WINEPREFIX"
  # Hard links for the big, never written files; own copies of what Wine rewrites.
  if ! cp -al "$cache" "$WINEPREFIX" 2>/dev/null; then
    rm -rf "$WINEPREFIX"
    cp -a "$cache" "$WINEPREFIX" || { exec {lockfd}>&-; return 1; }
  fi
  for f in system.reg user.reg userdef.reg .update-timestamp; do
    [[ -e $cache/$f ]] && cp --remove-destination -p "$cache/$f" "$WINEPREFIX/$f"
  done
  exec {lockfd}>&-
  # No crash dialog: a program that dies must end, not wait for someone to close a window.
  pw_user_reg 'Software\\Wine\\WineDbg' '"ShowCrashDialog"=dword:00000000'
  # Without a window manager nobody draws captions and frames: let Wine draw them.
  [[ -n $PW_XVFB_PID ]] && pw_user_reg 'Software\\Wine\\X11 Driver' '"Decorated"="N"'
  pw_log "Wine prefix $WINEPREFIX"
}

# pw_user_reg KEY VALUE-LINE...: values under HKEY_CURRENT_USER\KEY, written into the run's own
# copy of user.reg before Wine reads it (KEY with doubled backslashes, lines in .reg syntax).
pw_user_reg() {
  local key=$1
  shift
  { printf '\n[%s] %s\n' "$key" "$(date +%s)"; printf '%s\n' "$@"; } >>"$WINEPREFIX/user.reg"
}

pw_stop_all() {
  [[ -n ${PW_STOPPED:-} || -z ${PW_STATE:-} ]] && return 0
  PW_STOPPED=1
  local i entry
  for ((i = ${#PW_TRACKED[@]} - 1; i >= 0; i--)); do
    entry=${PW_TRACKED[i]}
    pw_stop_pid "${entry%%:*}" "${entry#*:}"
  done
  pw_stop_wine
  [[ -n $PW_PULSE_PID ]] && pw_stop_pid "$PW_PULSE_PID" pulseaudio
  [[ -n $PW_XVFB_PID ]] && pw_stop_pid "$PW_XVFB_PID" Xvfb
  if [[ -z ${PW_KEEP_STATE:-} ]]; then
    rm -rf "$PW_STATE"
  else
    pw_log "kept $PW_STATE"
  fi
  return 0
}

# pw_wait_portwise PID: until Portwise's window is visible (30 s at most); false, with
# PW_WAIT_ERROR set, when it does not come up or the process ends first.
pw_wait_portwise() {
  local i
  for ((i = 0; i < 300; i++)); do
    pw_alive "$1" || { PW_WAIT_ERROR="Portwise ended before its window came up"; return 1; }
    xdotool search --onlyvisible --name '^Portwise$' >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  PW_WAIT_ERROR="no Portwise window within 30 s"
  return 1
}

# pw_wait_settled PROBE DUMP ROOT: until two readings of the window a second apart agree and no
# analysis is under way (30 readings at most); the last reading is DUMP.
pw_wait_settled() {
  local probe=$1 dump=$2 root=$3 prev= cur i
  for ((i = 0; i < 30; i++)); do
    pw_wine "$probe" dump Portwise >"$dump" 2>/dev/null || return 1
    cur=$(/usr/bin/python3 "$root/tests/e2e/check_window.py" state "$dump") || return 1
    [[ $cur == "$prev" && $cur == idle* ]] && return 0
    prev=$cur
    sleep 1
  done
}

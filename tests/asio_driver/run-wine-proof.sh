#!/usr/bin/env bash
# Proves the test ASIO driver under Wine (64-bit): registers a few instances of the win64 DLL in a
# private prefix and runs the host program against each of them.
# Usage: tests/asio_driver/run-wine-proof.sh BUILD_DIR     (e.g. build/win64)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: run-wine-proof.sh BUILD_DIR}" && pwd)
# shellcheck source=scripts/lib/wine-env.sh
source "$root/scripts/lib/wine-env.sh"

dll=$build/tests/asio_driver/PortwiseTestAsio.dll
host=$build/tests/asio_driver/portwise_asio_host.exe
for f in "$dll" "$host"; do
  [[ -f $f ]] || { echo "missing $f (build the win64 preset first)"; exit 1; }
done

state=$(mktemp -d /tmp/portwise-asio-proof.XXXXXX)
trap 'pw_stop_all' EXIT
PW_FORCE_XVFB=1
pw_env_init "$state" && pw_start_display && pw_prepare_prefix || {
  echo "could not set up the Wine world"
  exit 1
}

out=$state/out
mkdir -p "$out"
win() { local p; p=$(realpath -m "$1"); printf 'Z:%s' "${p//\//\\}"; }
reg() { local p; p=$(win "$1"); printf '%s' "${p//\\/\\\\}"; }

cat >"$state/instances" <<EOF
[Portwise Test ASIO]
"CLSID"="{8A2F0C39-5B1E-4F4B-9C0A-6E2D4A1B7C01}"
"WavPath"="$(reg "$out/float32.wav")"
"ControlPanelCount"="$(reg "$out/panel.txt")"
"CallLog"="$(reg "$out/calls.txt")"

[Portwise Test ASIO Int24 MSB]
"CLSID"="{8A2F0C39-5B1E-4F4B-9C0A-6E2D4A1B7C02}"
"InputChannels"=dword:00000001
"OutputChannels"=dword:00000003
"SampleType"=dword:00000001
"BufferPreferred"=dword:00000080
"SampleRate"=dword:0000bb80
"OutputReady"=dword:00000000
"TimeInfo"=dword:00000000
"WavPath"="$(reg "$out/int24msb.wav")"

[Portwise Test ASIO Float64 MSB]
"CLSID"="{8A2F0C39-5B1E-4F4B-9C0A-6E2D4A1B7C03}"
"SampleType"=dword:00000004
"BufferMin"=dword:00000200
"BufferMax"=dword:00000200
"BufferPreferred"=dword:00000200
"BufferGranularity"=dword:00000000
"WavPath"="$(reg "$out/float64msb.wav")"

[Portwise Test ASIO Start Fails]
"CLSID"="{8A2F0C39-5B1E-4F4B-9C0A-6E2D4A1B7C04}"
"Fail_start"=dword:fffffc1b

[Portwise Test ASIO No Init]
"CLSID"="{8A2F0C39-5B1E-4F4B-9C0A-6E2D4A1B7C05}"
"InitFails"=dword:00000001
EOF

PORTWISE_RUN_TAG=$PW_TAG WINE=$PW_WINE "$here/register.sh" --dll64 "$dll" "$state/instances" || {
  echo "registration failed"
  exit 1
}

status=0
run() {
  echo "--- portwise_asio_host $*"
  if pw_wine "$host" "$@" 2>&1 | tr -d '\r'; then
    echo "--- PASS"
  else
    echo "--- FAIL"
    status=1
  fi
}
run "Portwise Test ASIO" --inputs 2 --outputs 2 --type 19 --wav "$(win "$out/float32.wav")" \
  --panel-count "$(win "$out/panel.txt")"
run "Portwise Test ASIO Int24 MSB" --inputs 1 --outputs 3 --type 1 --wav "$(win "$out/int24msb.wav")"
run "Portwise Test ASIO Float64 MSB" --type 4 --wav "$(win "$out/float64msb.wav")"
run "Portwise Test ASIO Start Fails" --expect-fail start=-997
run "Portwise Test ASIO No Init" --expect-init-fails
echo "--- driver calls of the first instance:"
tr -d '\r' <"$out/calls.txt" | uniq -c | head -40
exit $status

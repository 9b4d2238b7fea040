#!/usr/bin/env bash
# Registers instances of the test ASIO driver in a Wine prefix (or writes the .reg file only).
#
#   register.sh [-o FILE.reg] [--dll64 PATH] [--dll32 PATH] INSTANCES
#
# INSTANCES describes the instances in .reg value syntax, one section per instance:
#
#   [Portwise Test ASIO]
#   "CLSID"="{8A2F0C39-5B1E-4F4B-9C0A-6E2D4A1B7C01}"
#   "InputChannels"=dword:00000002
#   "WavPath"="Z:\\tmp\\out.wav"
#
# Each section becomes, in the 64-bit view for --dll64 and in the 32-bit view (Wow6432Node) for
# --dll32, the COM class (HKLM\Software\Classes\CLSID\{id}: InprocServer32 = the DLL's Windows path,
# ThreadingModel "Apartment") and the ASIO key HKLM\Software\ASIO\<section> with "CLSID",
# "Description" (the section name unless given) and every other line of the section. Lines starting
# with ';' or '#' are comments.
#
# Without -o the file is imported with "$WINE reg import" into $WINEPREFIX (WINE defaults to
# /usr/lib/wine/wine64; the prefix must exist). The 32-bit view is written through its Wow6432Node
# keys, which 32-bit programs see as their own Software\Classes and Software\ASIO.
set -euo pipefail

out=
dll64=
dll32=
while (($#)); do
  case $1 in
    -o) out=$2; shift 2 ;;
    --dll64) dll64=$2; shift 2 ;;
    --dll32) dll32=$2; shift 2 ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
instances=${1:?usage: register.sh [-o FILE.reg] [--dll64 PATH] [--dll32 PATH] INSTANCES}
[[ -n $dll64 || -n $dll32 ]] || { echo "give --dll64 and/or --dll32" >&2; exit 2; }

# A Linux path as Wine's Z: drive shows it.
winpath() {
  local p
  p=$(realpath -m "$1")
  printf 'Z:%s' "${p//\//\\}"
}
# The same with the backslashes doubled, for a .reg string.
regpath() {
  local p
  p=$(winpath "$1")
  printf '%s' "${p//\\/\\\\}"
}

# emit VIEW_PREFIX DLL: the keys of every instance for one registry view.
emit() {
  local view=$1 dll=$2 line name= clsid= described= body=()
  flush() {
    [[ -n $name ]] || return 0
    [[ -n $clsid ]] || { echo "instance [$name] has no \"CLSID\" line" >&2; exit 1; }
    printf '[HKEY_LOCAL_MACHINE\\Software\\%sClasses\\CLSID\\%s]\n@="%s"\n\n' "$view" "$clsid" "$name"
    printf '[HKEY_LOCAL_MACHINE\\Software\\%sClasses\\CLSID\\%s\\InprocServer32]\n@="%s"\n"ThreadingModel"="Apartment"\n\n' \
      "$view" "$clsid" "$(regpath "$dll")"
    printf '[-HKEY_LOCAL_MACHINE\\Software\\%sASIO\\%s]\n\n' "$view" "$name"
    printf '[HKEY_LOCAL_MACHINE\\Software\\%sASIO\\%s]\n' "$view" "$name"
    [[ -n $described ]] || printf '"Description"="%s"\n' "$name"
    printf '%s\n' "${body[@]}"
    printf '\n'
  }
  while IFS= read -r line || [[ -n $line ]]; do
    line=${line%$'\r'}
    [[ -z ${line//[[:space:]]/} || $line == \;* || $line == \#* ]] && continue
    if [[ $line =~ ^\[(.+)\]$ ]]; then
      flush
      name=${BASH_REMATCH[1]}
      clsid=
      described=
      body=()
      continue
    fi
    [[ -n $name ]] || { echo "value outside a section: $line" >&2; exit 1; }
    if [[ ${line,,} =~ ^\"clsid\"=\"(\{[0-9a-f-]+\})\"$ ]]; then
      clsid=${line#*=\"}
      clsid=${clsid%\"}
    fi
    [[ ${line,,} == \"description\"=* ]] && described=1
    body+=("$line")
  done <"$instances"
  flush
}

reg=$(mktemp /tmp/portwise-asio-reg.XXXXXX)
trap 'rm -f "$reg"' EXIT
{
  printf 'Windows Registry Editor Version 5.00\n\n'
  [[ -n $dll64 ]] && emit "" "$dll64"
  [[ -n $dll32 ]] && emit "Wow6432Node\\" "$dll32"
} >"$reg"

if [[ -n $out ]]; then
  cp "$reg" "$out"
  exit 0
fi
: "${WINEPREFIX:?set WINEPREFIX (or use -o to write the file only)}"
WINE=${WINE:-/usr/lib/wine/wine64}
# Wine programs of a harness run carry its tag, so that the harness can stop them by it.
env ${PORTWISE_RUN_TAG:+PORTWISE_RUN_TAG="$PORTWISE_RUN_TAG"} "$WINE" reg import "$(winpath "$reg")"

#!/usr/bin/env bash
# Installs what building and testing Portwise needs on Debian, as root. Idempotent: asks apt only
# for packages that are missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine64 wine32:i386
  pulseaudio pulseaudio-utils
  xvfb xdotool x11-utils imagemagick
  sox python3 python3-numpy
  procps psmisc
)

sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive

# The 32-bit Wine (the 32-bit program is the product) comes from the i386 architecture; the next
# apt-get update (below, since wine32:i386 is then missing) reads its package lists.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "install-deps: adding the i386 architecture"
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
else
  echo "install-deps: everything is installed"
fi

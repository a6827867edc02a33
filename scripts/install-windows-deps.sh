#!/usr/bin/env bash
# Installs what the Windows build and its tests need, when any is missing:
# the MinGW-w64 cross compiler for 32-bit Windows (posix threads), Wine with
# its 32-bit and 64-bit parts (a 32-bit program then runs as on 64-bit
# Windows, registry views included), and GoogleTest's sources, which the
# Windows build compiles for the target.
set -euo pipefail
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
packages=(cmake ninja-build g++-mingw-w64-i686 wine wine64 wine32:i386 googletest)
update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture (for wine32)"
  $sudo_cmd dpkg --add-architecture i386
  update=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  update=1
fi
if ((update)); then
  $sudo_cmd apt-get update -qq
fi
if ((${#missing[@]})); then
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine. Safe to run again.
set -euo pipefail
# The x86 DLLs are built with the win32 thread model (see cmake/toolchain-i686.cmake), the
# x86 simulator with the posix one.
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-win32 g++-mingw-w64-i686-posix
          mingw-w64-tools wine64 libwine-dev googletest msitools wixl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine. Safe to run again.
set -euo pipefail
# The shipped x86 DLLs are built with the win32 thread model (see cmake/toolchain-i686.cmake),
# the x86 tests and simulator with the posix one. wine32:i386 beside wine64 makes a prefix that
# runs 32-bit programs as 64-bit Windows does: the x86 suite runs there.
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-win32 g++-mingw-w64-i686-posix
          mingw-w64-tools wine64 libwine-dev googletest msitools wixl wine32:i386)
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
# The 32-bit packages need the i386 architecture. A machine that refuses it, or whose kernel
# does not run 32-bit programs, still builds everything; its x86 tests report themselves skipped.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo_cmd dpkg --add-architecture i386 || true
fi
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  $sudo_cmd apt-get update -qq
  if ! DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    # Without wine32 only the x86 tests are lost: install the rest, and say so.
    rest=()
    for p in "${missing[@]}"; do [ "$p" = wine32:i386 ] || rest+=("$p"); done
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${rest[@]}" >/dev/null
    echo "setup: wine32:i386 could not be installed; the x86 tests will be skipped" >&2
  fi
fi

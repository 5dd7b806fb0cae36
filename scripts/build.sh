#!/usr/bin/env bash
# Builds the x64 DLL with its simulator, tests and benchmarks, the shipped x86 DLLs and program,
# the x86 simulator, tests and benchmarks, and both packages.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
jobs=${JOBS:-$(nproc)}
configure() {  # <dir> <toolchain> [cmake args...]
  local dir=$1 toolchain=$2; shift 2
  # A tree configured with another compiler than its toolchain file names now
  # (the x86 one changed thread model) is configured afresh; the rest of the
  # tree (the x64 tree's Wine prefix) stays.
  local want
  want=-$(sed -n 's/^set(THREAD_MODEL \(.*\))$/\1/p' "$root/cmake/$toolchain")
  if [ -f "$dir/build.ninja" ] && ! grep -qs -- "$want\"" "$dir"/CMakeFiles/*/CMakeCXXCompiler.cmake; then
    rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles" "$dir/build.ninja"
  fi
  # Configured again only when new, or when an option given here changed.
  local stamp="$dir/.configured-with" args="$toolchain $*"
  if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$args" ]; then
    cmake -G Ninja -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" "$@" >/dev/null
    echo "$args" >"$stamp"
  fi
}
# Whether this machine runs each architecture's Windows programs (the tests of a
# tree that cannot run are reported as skipped): asked at every build.
runs() { "$root/scripts/$1" --version >/dev/null 2>&1 && echo ON || echo OFF; }
configure "$root/build/x64" toolchain-x86_64.cmake -DOPCHDA_RUNNABLE="$(runs wine64)"
cmake --build "$root/build/x64" -j "$jobs"
# The shipped x86 DLLs and program (win32 thread model: they load on Windows 2000).
configure "$root/build/x86" toolchain-i686.cmake -DOPCHDA_TESTS=OFF
cmake --build "$root/build/x86" -j "$jobs" --target OPCHDAAuto OPCHDAProxy OPCHDAExport SharedRegistrations
# The x86 tests, simulator, examples and benchmarks: the posix thread model, which
# GoogleTest needs, in a tree of its own; its tests load the shipped x86 DLLs and program.
configure "$root/build/x86-tests" toolchain-i686-posix.cmake -DOPCHDA_RUNNABLE="$(runs wine32)" \
  -DOPCHDA_SHIPPED_BIN="$root/build/x86/bin"
cmake --build "$root/build/x86-tests" -j "$jobs"
# The MSI packages of both architectures (wixl, from msitools).
bash "$root/installer/build-msi.sh" x64 "$root/build/x64/bin" "$root/build/x64/OPCHDAAuto-x64.msi" \
  "$root/build/x64/bin" "$root/build/x86/bin" "$root/build/x86-tests/bin"
bash "$root/installer/build-msi.sh" x86 "$root/build/x86/bin" "$root/build/x86/OPCHDAAuto-x86.msi" \
  "$root/build/x86-tests/bin"

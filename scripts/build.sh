#!/usr/bin/env bash
# Builds the x64 DLL with its simulator, tests and benchmarks, the x86 DLL and simulator, and both packages.
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
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -G Ninja -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" "$@" >/dev/null
  fi
}
configure "$root/build/x64" toolchain-x86_64.cmake
cmake --build "$root/build/x64" -j "$jobs"
configure "$root/build/x86" toolchain-i686.cmake -DOPCHDA_TESTS=OFF
cmake --build "$root/build/x86" -j "$jobs" --target OPCHDAAuto OPCHDAProxy OPCHDAExport SharedRegistrations
# The x86 simulated historian, which the x86 package offers, needs the posix thread model: a tree of its own.
configure "$root/build/x86-sim" toolchain-i686-simulator.cmake -DOPCHDA_TESTS=OFF -DOPCHDA_SIMULATOR=ON
cmake --build "$root/build/x86-sim" -j "$jobs" --target HdaSim HdaSimServer OpcServerList
# The MSI packages of both architectures (wixl, from msitools).
bash "$root/installer/build-msi.sh" x64 "$root/build/x64/bin" "$root/build/x64/OPCHDAAuto-x64.msi" \
  "$root/build/x64/bin" "$root/build/x86/bin" "$root/build/x86-sim/bin"
bash "$root/installer/build-msi.sh" x86 "$root/build/x86/bin" "$root/build/x86/OPCHDAAuto-x86.msi" \
  "$root/build/x86-sim/bin"

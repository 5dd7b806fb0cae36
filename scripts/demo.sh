#!/usr/bin/env bash
# Builds the DLL and the simulated historian, registers them in the build
# tree's private Wine prefix, and runs the example scripts against it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
echo "Building (a few minutes the first time)..."
bash "$root/scripts/build.sh" >/dev/null
bash "$root/scripts/prepare-prefix.sh"
source "$root/scripts/wine-env.sh"
wine_start_server
trap wine_stop_server EXIT
status=0
for example in ${DEMO_EXAMPLES:-hello.vbs list_historians.exe server_info.vbs read_history.vbs browse_plant.exe browse_plant.vbs watch_events.exe}; do
  case "$example" in
    *.exe) echo "=== examples/${example%.exe}.cpp"
           out=$(timeout 120 "$WINE" "$bin/$example" </dev/null 2>/dev/null | tr -d '\r') || true ;;
    *)     echo "=== examples/$example"
           out=$(timeout 120 "$WINE" cscript //nologo "$(to_win "$root/examples/$example")" </dev/null 2>/dev/null \
                 | tr -d '\r') || true ;;
  esac
  echo "$out"
  # A script error stops a script silently: its last line tells.
  if [ "$(printf '%s\n' "$out" | tail -n 1)" != "DONE" ]; then
    echo "examples/$example stopped before its end" >&2
    status=1
  fi
done
# The headline figures of the benchmarks (short runs; bench/README.md has the
# full runs and what each figure means).
echo "=== bench (short runs)"
for run in "read_bench.exe 3" "history_bench.exe 20000" "time_bench.exe 20000" "event_bench.exe 100"; do
  timeout 300 "$WINE" "$bin"/$run </dev/null 2>/dev/null | tr -d '\r' | grep '^bench:' \
    || echo "bench/${run%%.exe*}.cpp printed no figures" >&2
done
wine_stop_server
# A 32-bit client (as VB6 or 32-bit Office) on the x86 DLL: the 32-bit cscript of a 64-bit Windows.
if [ "${DEMO_X86:-1}" = 1 ] && "$root/scripts/wine32" --version >/dev/null 2>&1; then
  (
    export OPCHDA_ARCH=x86
    bash "$root/scripts/prepare-prefix.sh"
    source "$root/scripts/wine-env.sh"
    wine_start_server
    trap wine_stop_server EXIT
    echo "=== examples/read_history.vbs, 32-bit cscript on the x86 DLL"
    out=$(timeout 120 "$WINE" cscript //nologo "$(to_win "$root/examples/read_history.vbs")" </dev/null 2>/dev/null \
          | tr -d '\r') || true
    echo "$out"
    [ "$(printf '%s\n' "$out" | tail -n 1)" = "DONE" ] || { echo "the 32-bit client stopped before its end" >&2; exit 1; }
  ) || status=1
fi
exit $status

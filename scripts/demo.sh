#!/usr/bin/env bash
# Builds the DLL and the simulated historian, registers them in the build
# tree's private Wine prefix, and runs the example scripts against it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh" >/dev/null
bash "$root/scripts/prepare-prefix.sh"
source "$root/scripts/wine-env.sh"
wine_start_server
trap wine_stop_server EXIT
status=0
for script in ${DEMO_SCRIPTS:-hello.vbs server_info.vbs read_history.vbs}; do
  [ -f "$root/examples/$script" ] || continue
  echo "=== examples/$script"
  out=$(timeout 120 "$WINE" cscript //nologo "$(to_win "$root/examples/$script")" </dev/null 2>/dev/null | tr -d '\r')
  echo "$out"
  # A script error stops the script silently: its last line tells.
  if [ "$(printf '%s\n' "$out" | tail -n 1)" != "DONE" ]; then
    echo "examples/$script stopped before its end" >&2
    status=1
  fi
done
exit $status

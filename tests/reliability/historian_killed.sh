#!/usr/bin/env bash
# Runs the three historian-killed cases, each in a Wine session of its own
# with a historian started (under Wine 8 only a new session reaches a new
# historian process), and ends with a fresh session and simulator, as the
# test fixture leaves them.
#   bash tests/reliability/historian_killed.sh
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
fresh() {
  wine_stop_server
  wine_start_server
  "$WINE" "$bin/HdaSimServer.exe" -Start </dev/null >/dev/null 2>&1
}
out=$(mktemp)
status=0
for case in between read advise; do
  fresh
  # Output to a file: a historian started inside would hold a pipe open.
  "$WINE" "$bin/historian_killed.exe" "$case" </dev/null >"$out" 2>&1 || status=1
  cat "$out"
done
fresh
rm -f "$out"
[ "$status" -eq 0 ] && echo "ALL PASSED" || echo "SOME FAILED"
exit "$status"

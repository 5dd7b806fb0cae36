#!/usr/bin/env bash
# Builds everything and runs every test under Wine: the x64 suite in the x64 tree's
# private prefix, then the x86 suite in the x86 test tree's (a 64-bit prefix that runs
# the 32-bit programs, as 64-bit Windows does). Arguments go to both ctest runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
status=0
for arch in x64 x86; do
  echo "=== $arch tests"
  (
    export OPCHDA_ARCH=$arch
    source "$root/scripts/wine-env.sh"
    # A tree whose programs this machine cannot run has one test, which reports itself skipped.
    if "$WINE" --version >/dev/null 2>&1; then
      bash "$root/scripts/prepare-prefix.sh"
      wine_start_server
      trap wine_stop_server EXIT
    else
      echo "$arch tests skipped: this machine cannot run $arch Windows programs ($WINE fails; they need wine32:i386 on a kernel that runs 32-bit programs)"
    fi
    ctest --test-dir "$tree" --output-on-failure --output-log "$tree/ctest.log" -j "${JOBS:-2}" "$@"
  ) || status=1
done
# Both runs in one closing line, from ctest's own summaries ("N% tests passed, F tests failed out of T").
summary() { sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' "$1" | tail -n 1; }
read -r failed total < <(summary "$root/build/x64/ctest.log"; true) || true
read -r failed86 total86 < <(summary "$root/build/x86-tests/ctest.log"; true) || true
skipped=$(cat "$root"/build/x64/ctest.log "$root"/build/x86-tests/ctest.log 2>/dev/null | grep -cE '^\s+[0-9]+ - .* \((Skipped|Disabled)\)$') || true
failed=$(( ${failed:-0} + ${failed86:-0} )) total=$(( ${total:-0} + ${total86:-0} ))
echo "tests: $(( total - failed - skipped )) passed, $failed failed, $skipped skipped"
exit $status

#!/usr/bin/env bash
# Builds everything and runs every test under Wine in the build tree's private prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
bash "$root/scripts/prepare-prefix.sh"
source "$root/scripts/wine-env.sh"
wine_start_server
trap wine_stop_server EXIT
ctest --test-dir "$root/build/x64" --output-on-failure -j "${JOBS:-2}" "$@"

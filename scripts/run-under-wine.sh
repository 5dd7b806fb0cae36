#!/bin/sh
# The build's emulator: runs a Windows program under Wine in the given prefix.
# A failing exit status is printed (Wine keeps its low 8 bits), since a
# program that dies before writing anything leaves no other trace in ctest.
prefix=$1
shift
WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} "$(dirname "$0")/wine64" "$@"
status=$?
[ "$status" -eq 0 ] || echo "(exit status $status)" >&2
exit "$status"

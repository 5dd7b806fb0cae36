#!/bin/sh
# The build's emulator: runs a Windows program under Wine in the given prefix,
# through the tree's launcher (scripts/wine64 or scripts/wine32).
# A failing exit status is printed (Wine keeps its low 8 bits), since a
# program that dies before writing anything leaves no other trace in ctest.
launcher=$1 prefix=$2
shift 2
WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} "$launcher" "$@"
status=$?
[ "$status" -eq 0 ] || echo "(exit status $status)" >&2
exit "$status"

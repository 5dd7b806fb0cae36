#!/usr/bin/env bash
# Creates the build tree's private Wine prefix (once) and registers the
# built DLLs, the historian simulator and the server list substitute in it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/wine-env.sh"
# A prefix made before wine32 was installed has no 32-bit half: made anew.
if [ "$OPCHDA_ARCH" = x86 ] && [ -f "$WINEPREFIX/system.reg" ] &&
   [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/cscript.exe" ]; then
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  "$WINE64" wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
fi
wine_start_server
# A crash must end the process at once rather than start the debugger.
"$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d 'no-debugger.exe' /f \
  </dev/null >/dev/null 2>&1
"$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 1 /f </dev/null >/dev/null 2>&1
register() {  # <file> [args]
  local file=$1; shift
  [ -f "$file" ] || return 0
  case "$file" in
    *.dll) "$WINE" regsvr32 /s "$(to_win "$file")" </dev/null >/dev/null 2>&1 ;;
    *.exe) "$WINE" "$file" /RegServer </dev/null >/dev/null 2>&1 ;;
  esac
}
register "$bin/OPCHDAProxy.dll"
for f in "$bin"/*Proxy*.dll "$bin"/*Ps.dll; do [ "$f" = "$bin/OPCHDAProxy.dll" ] || register "$f"; done
register "$bin/OPCHDAAuto.dll"
register "$bin/HdaSim.dll"
register "$bin/OpcServerList.dll"
register "$bin/HdaSimServer.exe"
# The registry is written out when the server exits.
wine_stop_server
wineserver -w >/dev/null 2>&1 || true

#!/usr/bin/env bash
# Installs the x64 package in a Wine prefix of its own, runs a VBScript example against the in-process simulator,
# uninstalls, and checks that nothing of ours is left while the machine's own OPC proxy (planted first) stays.
#   msi_round_trip.sh <package.msi> <bin folder with HdaSim.dll> <example.vbs> <prefix folder>
set -euo pipefail
msi=$1 bin=$2 example=$3 prefix=$(realpath -m "$4")
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
export WINEPREFIX=$prefix
trap wine_stop_server EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A fresh prefix: what the package leaves behind must show against a clean one.
wineserver -k >/dev/null 2>&1 || true
rm -rf "$prefix"
mkdir -p "$prefix"
"$WINE" wineboot -i </dev/null >/dev/null 2>&1
wineserver -w; wine_start_server
"$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d no-debugger.exe /f \
  </dev/null >/dev/null 2>&1
"$WINE" regsvr32 /s "$(to_win "$bin/HdaSim.dll")" </dev/null >/dev/null 2>&1
# The machine's own proxy for IOPCCommon, as the OPC core components register it.
own='HKLM\Software\Classes\Interface\{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}'
"$WINE" reg add "$own" /ve /d IOPCCommon /f </dev/null >/dev/null 2>&1
"$WINE" reg add "$own\\ProxyStubClsid32" /ve /d '{B7F1A2C3-0000-4000-8000-0000000000AA}' /f </dev/null >/dev/null 2>&1

# Registry lines that name anything of ours (keys without their time stamps).
ours='0C67847|OPCHDA\.Automation|OPC HDA Automation|13486D50|1F1217B|F31DFDE|B7F1A2C3'
snapshot() {
  wine_stop_server && { wineserver -w >/dev/null 2>&1 || true; }
  cat "$prefix"/system.reg "$prefix"/user.reg | grep -E -i "$ours" | sed 's/\] [0-9]*$/]/' | sort
  wine_start_server
}
before=$(snapshot)
installed="$prefix/drive_c/Program Files/OPC HDA Automation"
"$WINE" msiexec /i "$(to_win "$msi")" /qn </dev/null >/dev/null 2>&1 || fail "msiexec /i exited with $?"
[ -f "$installed/OPCHDAAuto.dll" ] && [ -f "$installed/OPCHDAProxy.dll" ] || fail "the DLLs are not installed"
[ -f "$installed/OPCHDAExport.exe" ] || fail "the export program is not installed"
out=$("$WINE" cscript //nologo "$(to_win "$example")" </dev/null 2>/dev/null | tr -d '\r')
echo "$out"
[ "$(echo "$out" | tail -n 1)" = DONE ] || fail "the example did not run to its end"
during=$(snapshot)
grep -q -i 'Interface\\\\{1F1217B0-DEE0-11D2-A5E5-000086339399}\\\\ProxyStubClsid32' <<<"$during" ||
  fail "the OPC HDA interfaces have no proxy after install"
grep -q 'B7F1A2C3' <<<"$during" || fail "the machine's own IOPCCommon proxy was replaced"

"$WINE" msiexec /x "$(to_win "$msi")" /qn </dev/null >/dev/null 2>&1 || fail "msiexec /x exited with $?"
after=$(snapshot)
[ ! -e "$installed" ] || fail "left on disk: $(ls -A "$installed")"
if [ "$before" != "$after" ]; then
  diff <(echo "$before") <(echo "$after") || true
  fail "the registry differs from before the install"
fi
echo "MSI round trip: installed, used and removed cleanly"

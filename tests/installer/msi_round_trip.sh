#!/usr/bin/env bash
# The x64 package's round trip in a fresh Wine prefix where nothing else of ours is registered:
#  1. a default install: the DLLs and every proxy, no simulator;
#  2. the Simulator feature added: the C++ examples drive the installed DLL against the installed local server
#     through the proxies (events too), and a script example runs in-process;
#  3. the Simulator feature removed, then the product: nothing of ours is left on disk or in the registry;
#  4. packages built here at 1.0.1 and 1.0.2 (the newer DLL marked): the newer and a rebuild of it replace
#     the older in place, the older is refused over the newer (Wine's msiexec does not migrate feature states);
#  5. a machine with the OPC core components (a proxy, the server list, the category description registered
#     by others): the package installs around them and leaves them in place when it goes.
# The prefix goes when the test passes and stays for a look when it fails.
#   msi_round_trip.sh <package.msi> <bin folder> <example.vbs> <prefix folder>
set -euo pipefail
msi=$1 built=$2 example=$3 prefix=$(realpath -m "$4")
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
export WINEPREFIX=$prefix
work=$prefix.packages
fail() { echo "FAIL: $*"; exit 1; }
trap 'status=$?; wine_stop_server; rm -rf "$work"; [ "$status" != 0 ] || rm -rf "$prefix"' EXIT

# msiexec quietly: msi_run /i|/x <package> [PROPERTY=value...]; its exit code also in $rc.
msi_run() {
  local action=$1 package=$2
  shift 2
  rc=0
  "$WINE" msiexec "$action" "$(to_win "$package")" /qn "$@" </dev/null >/dev/null 2>&1 || rc=$?
  return "$rc"
}
# The registry files, written out when the server stops; <what it prints from them>.
stopped() {
  wine_stop_server
  wineserver -w >/dev/null 2>&1 || true
  "$@"
  wine_start_server
}
# Registry lines that name anything of ours, one per value ("[key] name=value") and one per key, without the
# keys' time stamps.
ours='Zelvar|0C67847|OPCHDA\.Automation|OPC HDA Automation|13486D5|1F1217B|F31DFDE|B7F1A2C3|6B1F5C2|Sim\.Hda|7DE5B060|HdaSim|OpcServerList'
registry_lines() {
  awk '/^\[/ { sub(/\] [0-9]+$/, "]"); key = $0; print key; next } /^[@"]/ { print key " " $0 }' \
    "$prefix"/system.reg "$prefix"/user.reg | grep -E -i "$ours" | sort
}
registry() { stopped registry_lines; }
# "<name> <version>" of each product of ours registered for uninstall.
product_lines() {
  awk -F= '/^\[/ { if (name) print name " " version; name = version = ""; inside = /CurrentVersion\\\\Uninstall\\\\/; next }
           inside && $1 == "\"DisplayName\"" { name = $2 }
           inside && $1 == "\"DisplayVersion\"" { version = $2 }
           END { if (name) print name " " version }' "$prefix/system.reg" | grep 'OPC HDA Automation' || true
}
products() { stopped product_lines; }
# The OPC interfaces whose proxy is ours in a registry() listing, one name a line.
interfaces_file="$root/installer/opc-interfaces.txt"
interface_count() { grep -c -v -E '^(#|$)' "$interfaces_file"; }
proxy_rows() {
  local name iid
  while read -r name iid; do
    [[ -z "$name" || "$name" == \#* ]] && continue
    grep -q -i -F "Interface\\\\$iid\\\\ProxyStubClsid32] @=\"{13486D50-4821-11D2-A494-3CB306C10000}\"" <<<"$1" &&
      echo "$name"
  done <"$interfaces_file"
}
all_proxies_ours() { [ "$(proxy_rows "$1" | wc -l)" = "$(interface_count)" ]; }
# Files of ours: the installation folder and the packages Windows Installer keeps.
disk() { (cd "$prefix/drive_c" && find . \( -ipath '*OPC HDA Automation*' -o -ipath './windows/Installer/*' \) | sort); }
# same <expected> <actual> <message>: fails with the difference.
same() {
  [ "$1" = "$2" ] && return 0
  diff <(echo "$1") <(echo "$2") || true
  fail "$3"
}
# expect_run <regular expression> <program> <args>: its output shown, and matched (its lines joined). To a file,
# not a pipe: the local server COM starts inherits it.
expect_run() {
  local pattern=$1
  shift
  "$WINE" "$@" </dev/null >"$prefix/run.log" 2>&1 || true
  tr -d '\r' <"$prefix/run.log"
  [[ $(tr -d '\r\n' <"$prefix/run.log") =~ $pattern ]] || fail "$* did not print $pattern"
}

wineserver -k >/dev/null 2>&1 || true
rm -rf "$prefix" "$work"
mkdir -p "$prefix" "$work/older" "$work/newer"
"$WINE" wineboot -i </dev/null >/dev/null 2>&1
wineserver -w
wine_start_server
"$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d no-debugger.exe /f \
  </dev/null >/dev/null 2>&1
before=$(registry)
disk_before=$(disk)
installed="$prefix/drive_c/Program Files/OPC HDA Automation"
simulator="$installed/Simulator"

# 1. Default install.
msi_run /i "$msi" || fail "msiexec /i exited with $rc"
for f in OPCHDAAuto.dll OPCHDAProxy.dll OPCHDAExport.exe; do [ -f "$installed/$f" ] || fail "$f is not installed"; done
[ ! -e "$simulator" ] || fail "the simulator is installed by default"
during=$(registry)
all_proxies_ours "$during" || fail "proxies registered for $(proxy_rows "$during" | tr '\n' ' ')only"
! grep -q -i 'Sim\.HdaHistorian' <<<"$during" || fail "the simulator is registered by default"

# 2. The simulator added and used.
msi_run /i "$msi" ADDLOCAL=Simulator || fail "adding the simulator exited with $rc"
for f in HdaSim.dll HdaSimServer.exe OpcServerList.dll; do [ -f "$simulator/$f" ] || fail "$f is not installed"; done
expect_run 'DataChange.*Playback slice.*AsyncCancelComplete.*DONE$' "$(to_win "$built/watch_events.exe")" \
  Sim.HdaHistorian.Local 2
expect_run 'Temperature signals: [1-9].*DONE$' "$(to_win "$built/browse_plant.exe")" Sim.HdaHistorian.Local
! grep -q 'no value' "$prefix/run.log" || fail "browse_plant read no value"
out=$("$WINE" cscript //nologo "$(to_win "$example")" </dev/null 2>/dev/null | tr -d '\r')
[ "$(tail -n 1 <<<"$out")" = DONE ] || fail "the example did not run to its end: $out"

# 3. The simulator removed (the local server has left with the Wine session), then everything.
wine_stop_server && wine_start_server
msi_run /i "$msi" REMOVE=Simulator || fail "removing the simulator exited with $rc"
[ ! -e "$simulator" ] || fail "left on disk after removing the simulator: $(ls -A "$simulator")"
[ -f "$installed/OPCHDAAuto.dll" ] || fail "removing the simulator removed the DLL"
! grep -q -i -E 'Sim\.HdaHistorian|6B1F5C2' <<<"$(registry)" || fail "the simulator stays registered"
msi_run /x "$msi" || fail "msiexec /x exited with $rc"
[ ! -e "$installed" ] || fail "left on disk: $(ls -A "$installed")"
same "$disk_before" "$(disk)" "the files differ from before the install"
same "$before" "$(registry)" "the registry differs from before the install"

# 4. Upgrades and downgrades. Bytes after the last section: Windows loads the DLL as before.
for f in OPCHDAAuto.dll OPCHDAProxy.dll OPCHDAExport.exe HdaSim.dll HdaSimServer.exe OpcServerList.dll; do
  cp "$built/$f" "$work/older/" && cp "$built/$f" "$work/newer/"
done
printf 'newer build' >>"$work/newer/OPCHDAAuto.dll"
for p in "1.0.1 older older" "1.0.2 newer newer" "1.0.2 newer rebuilt"; do
  read -r version folder name <<<"$p"
  MSI_VERSION=$version bash "$root/installer/build-msi.sh" x64 "$work/$folder" "$work/$name.msi" >/dev/null ||
    fail "cannot build $name.msi"
done
expect_newer() {  # <what happened>
  [ "$(products)" = '"OPC HDA Automation (x64)" "1.0.2"' ] || fail "$1: registered products are: $(products)"
  cmp -s "$installed/OPCHDAAuto.dll" "$work/newer/OPCHDAAuto.dll" || fail "$1: the installed DLL is not the newer"
  all_proxies_ours "$(registry)" || fail "$1: the proxies went with the older product"
}
msi_run /i "$work/older.msi" || fail "installing 1.0.1 exited with $rc"
[ "$(products)" = '"OPC HDA Automation (x64)" "1.0.1"' ] || fail "1.0.1 is not registered: $(products)"
msi_run /i "$work/newer.msi" || fail "installing 1.0.2 over 1.0.1 exited with $rc"
expect_newer "1.0.2 over 1.0.1"
msi_run /i "$work/rebuilt.msi" || fail "installing a rebuilt 1.0.2 exited with $rc"
expect_newer "a rebuilt 1.0.2 over 1.0.2"
! msi_run /i "$work/older.msi" || fail "1.0.1 installed over 1.0.2"
expect_newer "1.0.1 refused over 1.0.2"
msi_run /x "$work/rebuilt.msi" || fail "uninstalling exited with $rc"
[ ! -e "$installed" ] || fail "left on disk: $(ls -A "$installed")"
same "$before" "$(registry)" "the registry differs from before the upgrades"

# 5. What the OPC core components registered stays theirs.
theirs='{B7F1A2C3-0000-4000-8000-0000000000AA}'
for planted in "Interface\\{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}|/ve|IOPCCommon" \
  "Interface\\{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}\\ProxyStubClsid32|/ve|$theirs" \
  "CLSID\\{13486D51-4821-11D2-A494-3CB306C10000}|/ve|OpcServerList Class" \
  "CLSID\\{13486D51-4821-11D2-A494-3CB306C10000}\\LocalServer32|/ve|C:\\windows\\system32\\OpcEnum.exe" \
  "Component Categories\\{7DE5B060-E089-11D2-A5E6-000086339399}|/v 409|OPC History Data Access Servers"; do
  IFS='|' read -r key name data <<<"$planted"
  # shellcheck disable=SC2086
  "$WINE" reg add "HKLM\\Software\\Classes\\$key" $name /d "$data" /f </dev/null >/dev/null 2>&1
done
planted=$(registry)
msi_run /i "$msi" ADDLOCAL=ALL || fail "msiexec /i ADDLOCAL=ALL exited with $rc"
[ -f "$simulator/HdaSimServer.exe" ] || fail "ADDLOCAL=ALL did not install the simulator"
[ ! -e "$simulator/OpcServerList.dll" ] || fail "the stand-in server list went over the machine's own"
during=$(registry)
for kept in "ProxyStubClsid32] @=\"$theirs\"" 'OpcEnum.exe' '"409"="OPC History Data Access Servers"'; do
  grep -q -F "$kept" <<<"$during" || fail "the machine's own registration was replaced: $kept"
done
[ "$(proxy_rows "$during" | wc -l)" = $(($(interface_count) - 1)) ] || fail "the other proxies are not all ours"
msi_run /x "$msi" || fail "msiexec /x exited with $rc"
same "$planted" "$(registry)" "the registry differs from the machine's own after uninstall"
echo "MSI round trip: installed, used, upgraded and removed cleanly"

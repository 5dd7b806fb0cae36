#!/usr/bin/env bash
# The x64 package's round trip in a fresh 64-bit Wine prefix (WoW64: 32-bit programs run too), where nothing
# else of ours is registered, in the numbered steps below; clients of both bitnesses create the server object
# after each install and upgrade (Wine's msiexec does not migrate feature states).
#   msi_x64_round_trip.sh <x64 package> <x86 package> <bin> <x86 bin> <x86 simulator bin> <example.vbs> <prefix>
set -euo pipefail
msi=$1 msi86=$2 built=$3 built86=$4 sim86=$5 example=$6
# shellcheck source=msi_session.sh
source "$(dirname "$0")/msi_session.sh" "$7" wine64

# The OPC interfaces whose proxy is ours in one view of a registry() listing, one name a line:
#   proxy_rows <listing> [Wow6432Node\\]
interfaces_file="$root/installer/opc-interfaces.txt"
interface_count() { grep -c -v -E '^(#|$)' "$interfaces_file"; }
proxy_rows() {
  local name iid
  while read -r name iid _; do
    [[ -z "$name" || "$name" == \#* ]] && continue
    grep -q -i -F "[Software\\\\Classes\\\\${2:-}Interface\\\\$iid\\\\ProxyStubClsid32] @=\"{13486D50-4821-11D2-A494-3CB306C10000}\"" <<<"$1" &&
      echo "$name"
  done <"$interfaces_file"
}
# all_proxies_ours <listing> [count less]: in both views.
all_proxies_ours() {
  local view
  for view in '' 'Wow6432Node\\'; do
    [ "$(proxy_rows "$1" "$view" | wc -l)" = $(($(interface_count) - ${2:-0})) ] || return 1
  done
}
x64="$prefix/drive_c/Program Files/OPC HDA Automation"
x86="$prefix/drive_c/Program Files (x86)/OPC HDA Automation"

new_prefix
# 1. A default install: both bitnesses' DLLs and proxies, no simulator.
msi_run /i "$msi" || fail "msiexec /i exited with $rc"
installed "$x64"/{OPCHDAAuto.dll,OPCHDAProxy.dll,OPCHDAExport.exe} "$x86"/{OPCHDAAuto.dll,OPCHDAProxy.dll}
[ ! -e "$x64/Simulator" ] && [ ! -e "$x86/Simulator" ] || fail "the simulator is installed by default"
during=$(registry)
all_proxies_ours "$during" || fail "proxies registered for $(proxy_rows "$during" | tr '\n' ' ')only"
! grep -q -i 'Sim\.HdaHistorian' <<<"$during" || fail "the simulator is registered by default"
client "$wine64" && client "$wine32"

# 2. The Simulator feature added: the C++ examples drive the installed x64 DLL against the installed local
# server through the proxies (events too), a script example runs in process in both bitnesses, and a 32-bit
# script reads through the proxies from the local server.
msi_run /i "$msi" ADDLOCAL=Simulator || fail "adding the simulator exited with $rc"
installed "$x64"/Simulator/{HdaSim.dll,HdaSimServer.exe,OpcServerList.dll} "$x86"/Simulator/{HdaSim.dll,OpcServerList.dll}
expect_run 'DataChange.*Playback slice.*AsyncCancelComplete.*DONE$' "$wine64" "$(to_win "$built/watch_events.exe")" \
  Sim.HdaHistorian.Local 2
expect_run 'Temperature signals: [1-9].*DONE$' "$wine64" "$(to_win "$built/browse_plant.exe")" Sim.HdaHistorian.Local
! grep -q 'no value' "$prefix/run.log" || fail "browse_plant read no value"
for loader in "$wine64" "$wine32"; do
  expect_run 'Server name: Sim.HdaHistorian.*DONE$' "$loader" cscript //nologo "$(to_win "$example")"
done
client "$wine32" Sim.HdaHistorian.Local

# 3. The simulator removed (the local server has left with the Wine session), then everything: nothing of
# ours is left on disk or in the registry.
wine_stop_server && wine_start_server
msi_run /i "$msi" REMOVE=Simulator || fail "removing the simulator exited with $rc"
[ ! -e "$x64/Simulator" ] && [ ! -e "$x86/Simulator" ] || fail "left on disk after removing the simulator"
installed "$x86/OPCHDAAuto.dll"
! grep -q -i -E 'Sim\.HdaHistorian|6B1F5C2|13486D51' <<<"$(registry)" || fail "the simulator stays registered"
client "$wine32"
msi_run /x "$msi" || fail "msiexec /x exited with $rc"
removed "$x64" "$x86"

# 4. The x86 package is for 32-bit Windows (msi_check_package.sh reads its message, which Wine's log leaves out).
! msi_run /i "$msi86" || fail "the x86 package installed on 64-bit Windows"
same "$before" "$(registry)" "the refused x86 package changed the registry"

# 5. Upgrades, with packages built here from the same binaries: an x86 package of an earlier build (one that
# did not refuse) replaced by 1.0.1, then 1.0.2 (the newer DLL marked by bytes after its last section, which
# Windows loads as before) and a rebuild of it in place, the older refused over the newer.
mkdir -p "$work"/{older,newer}/{x86,sim86}
for folder in older newer; do
  cp "$built"/{OPCHDAAuto.dll,OPCHDAProxy.dll,OPCHDAExport.exe,SharedRegistrations.dll} "$work/$folder/"
  cp "$built"/{HdaSim.dll,HdaSimServer.exe,OpcServerList.dll} "$work/$folder/"
  cp "$built86"/{OPCHDAAuto.dll,OPCHDAProxy.dll,OPCHDAExport.exe,SharedRegistrations.dll} "$work/$folder/x86/"
  cp "$sim86"/{HdaSim.dll,HdaSimServer.exe,OpcServerList.dll} "$work/$folder/sim86/"
done
printf 'newer build' >>"$work/newer/OPCHDAAuto.dll"
for p in "1.0.1 older older" "1.0.2 newer newer" "1.0.2 newer rebuilt"; do
  read -r version folder name <<<"$p"
  MSI_VERSION=$version bash "$root/installer/build-msi.sh" x64 "$work/$folder" "$work/$name.msi" "$work/$folder" \
    "$work/$folder/x86" "$work/$folder/sim86" >/dev/null || fail "cannot build $name.msi"
done
MSI_VERSION=1.0.1 bash "$root/installer/build-msi.sh" x86 "$work/older/x86" "$work/earlier-x86.msi" \
  "$work/older/sim86" >/dev/null || fail "cannot build earlier-x86.msi"
msibuild "$work/earlier-x86.msi" -q "DELETE FROM \`LaunchCondition\` WHERE \`Condition\` = 'Installed OR NOT VersionNT64'"
expect_newer() {  # <what happened>
  [ "$(products)" = '"OPC HDA Automation (x64)" "1.0.2"' ] || fail "$1: registered products are: $(products)"
  cmp -s "$x64/OPCHDAAuto.dll" "$work/newer/OPCHDAAuto.dll" || fail "$1: the installed DLL is not the newer"
  all_proxies_ours "$(registry)" || fail "$1: the proxies went with the older product"
  client "$wine64" && client "$wine32"
}
msi_run /i "$work/earlier-x86.msi" || fail "installing an earlier x86 package exited with $rc"
msi_run /i "$work/older.msi" || fail "installing 1.0.1 over the x86 package exited with $rc"
[ "$(products)" = '"OPC HDA Automation (x64)" "1.0.1"' ] || fail "the x86 package was not replaced: $(products)"
client "$wine64" && client "$wine32"
msi_run /i "$work/newer.msi" || fail "installing 1.0.2 over 1.0.1 exited with $rc"
expect_newer "1.0.2 over 1.0.1"
msi_run /i "$work/rebuilt.msi" || fail "installing a rebuilt 1.0.2 exited with $rc"
expect_newer "a rebuilt 1.0.2 over 1.0.2"
! msi_run /i "$work/older.msi" || fail "1.0.1 installed over 1.0.2"
expect_newer "1.0.1 refused over 1.0.2"
msi_run /x "$work/rebuilt.msi" || fail "uninstalling exited with $rc"
removed "$x64" "$x86"

# 6. What the OPC core components registered (a proxy, the proxy class, the server list and the category
# description, in either view) stays theirs: the package installs and upgrades around it.
theirs='{B7F1A2C3-0000-4000-8000-0000000000AA}'
# One value a line: <view>|<key under HKLM\Software\Classes>|<name, as reg add takes it>|<data>.
their_values="64|Interface\\{1F1217B0-DEE0-11D2-A5E5-000086339399}|/ve|IOPCHDA_Server
64|Interface\\{1F1217B0-DEE0-11D2-A5E5-000086339399}\\NumMethods|/ve|10
64|Interface\\{1F1217B0-DEE0-11D2-A5E5-000086339399}\\ProxyStubClsid32|/ve|$theirs
32|Interface\\{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}|/ve|IOPCCommon
32|Interface\\{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}\\NumMethods|/ve|8
32|Interface\\{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}\\ProxyStubClsid32|/ve|$theirs
32|CLSID\\{13486D50-4821-11D2-A494-3CB306C10000}|/ve|PSFactoryBuffer
32|CLSID\\{13486D50-4821-11D2-A494-3CB306C10000}\\InProcServer32|/ve|C:\\Vendor\\opc_ps.dll
32|CLSID\\{13486D50-4821-11D2-A494-3CB306C10000}\\InProcServer32|/v ThreadingModel|Both
64|CLSID\\{13486D51-4821-11D2-A494-3CB306C10000}|/ve|OpcServerList Class
64|CLSID\\{13486D51-4821-11D2-A494-3CB306C10000}\\LocalServer32|/ve|C:\\windows\\system32\\OpcEnum.exe
64|Component Categories\\{7DE5B060-E089-11D2-A5E6-000086339399}|/v 409|OPC History Data Access Servers"
# plant add|delete: writes their values, or deletes their keys.
plant() {
  local view key name data
  while IFS='|' read -r view key name data; do
    if [ "$1" = add ]; then
      # shellcheck disable=SC2086
      "$WINE" reg add "HKLM\\Software\\Classes\\$key" $name /d "$data" /f /reg:$view </dev/null >/dev/null 2>&1 ||
        fail "cannot plant $key"
    else
      "$WINE" reg delete "HKLM\\Software\\Classes\\$(cut -d '\' -f 1-2 <<<"$key")" /f /reg:$view </dev/null >/dev/null 2>&1 || true
    fi
  done <<<"$their_values"
}
plant add
planted=$(registry)
theirs_kept() {  # <what happened>
  local listing
  listing=$(registry)
  for kept in "ProxyStubClsid32] @=\"$theirs\"" 'opc_ps.dll' 'OpcEnum.exe' '"409"="OPC History Data Access Servers"' \
    '@="OpcServerList Class"'; do
    grep -q -F "$kept" <<<"$listing" || fail "$1: the machine's own registration was replaced: $kept"
  done
  [ "$(grep -c -F "ProxyStubClsid32] @=\"$theirs\"" <<<"$listing")" = 2 ] || fail "$1: a foreign proxy was replaced"
  all_proxies_ours "$listing" 1 || fail "$1: the other proxies are not all ours"
  # Our in-process stand-in would go before their server list, which has none; a repair keeps ours where the
  # other product wrote its server list over ours.
  [ "${2:-}" = repaired ] || ! grep -q -F '[Software\\Classes\\CLSID\\{13486D51-4821-11D2-A494-3CB306C10000}\\InprocServer32]' \
    <<<"$listing" || fail "$1: our server list went over theirs"
}
msi_run /i "$work/older.msi" ADDLOCAL=ALL || fail "msiexec /i ADDLOCAL=ALL exited with $rc"
installed "$x64/Simulator/HdaSimServer.exe"
theirs_kept "installed among them"
msi_run /i "$work/newer.msi" ADDLOCAL=ALL || fail "upgrading among them exited with $rc"
theirs_kept "upgraded among them"
msi_run /x "$work/newer.msi" || fail "msiexec /x exited with $rc"
same "$planted" "$(registry)" "the registry differs from the machine's own after uninstall"

# 7. The same written over ours after our install (the OPC core components installed later).
plant delete
same "$before" "$(registry)" "their registrations are not all deleted"
msi_run /i "$work/older.msi" ADDLOCAL=ALL || fail "installing 1.0.1 exited with $rc"
plant add
# A repair as msiexec /fa makes it (Wine's msiexec /f finds no product).
msi_run /i "$work/older.msi" REINSTALL=ALL REINSTALLMODE=vomus || fail "repairing exited with $rc"
theirs_kept "repaired" repaired
client "$wine64" && client "$wine32"
msi_run /i "$work/newer.msi" ADDLOCAL=ALL || fail "upgrading exited with $rc"
theirs_kept "upgraded"
msi_run /x "$work/newer.msi" || fail "uninstalling exited with $rc"
same "$planted" "$(registry)" "the registry differs from what the other product wrote over ours"
echo "MSI round trip: installed, used, upgraded and removed cleanly"

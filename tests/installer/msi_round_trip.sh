#!/usr/bin/env bash
# The x64 package's round trip in a fresh Wine prefix where nothing else of ours is registered:
#  1. a default install: the DLLs and every proxy, no simulator;
#  2. the Simulator feature added: the installed client drives the installed DLL against the installed local
#     server through every proxied interface, and a script example runs against the in-process simulator;
#  3. the Simulator feature removed, then the product: nothing of ours is left on disk or in the registry;
#  4. a machine with the OPC core components (a proxy, the server list, the category description registered
#     by others): the package installs around them and leaves them in place when it goes.
#   msi_round_trip.sh <package.msi> <installed_client.exe> <example.vbs> <prefix folder>
set -euo pipefail
msi=$1 client=$2 example=$3 prefix=$(realpath -m "$4")
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
source "$root/tests/installer/msi_prefix.sh"

fresh_prefix
before=$(registry)
disk_before=$(disk)
installed="$prefix/drive_c/Program Files/OPC HDA Automation"
simulator="$installed/Simulator"

# 1. Default install.
msi_run /i "$msi" || fail "msiexec /i exited with $rc"
[ -f "$installed/OPCHDAAuto.dll" ] && [ -f "$installed/OPCHDAProxy.dll" ] || fail "the DLLs are not installed"
[ -f "$installed/OPCHDAExport.exe" ] || fail "the export program is not installed"
[ ! -e "$simulator" ] || fail "the simulator is installed by default"
during=$(registry)
all_proxies_ours "$during" || fail "proxies registered for $(proxy_rows "$during" | tr '\n' ' ')only"
! grep -q -i 'Sim\.HdaHistorian' <<<"$during" || fail "the simulator is registered by default"

# 2. The simulator added and used.
msi_run /i "$msi" ADDLOCAL=Simulator || fail "adding the simulator exited with $rc"
for f in HdaSim.dll HdaSimServer.exe OpcServerList.dll; do [ -f "$simulator/$f" ] || fail "$f is not installed"; done
# To a file, not a pipe: the local server COM starts inherits the client's output.
"$WINE" "$(to_win "$client")" </dev/null >"$prefix/client.log" 2>&1 || true
tr -d '\r' <"$prefix/client.log"
grep -q '^installed client: all rows passed' "$prefix/client.log" || fail "the installed client failed"
out=$("$WINE" cscript //nologo "$(to_win "$example")" </dev/null 2>/dev/null | tr -d '\r')
echo "$out"
[ "$(tail -n 1 <<<"$out")" = DONE ] || fail "the example did not run to its end"

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

# 4. What the OPC core components registered stays theirs.
theirs='{B7F1A2C3-0000-4000-8000-0000000000AA}'
plant 'Interface\{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}' '' IOPCCommon
plant 'Interface\{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}\ProxyStubClsid32' '' "$theirs"
plant 'CLSID\{13486D51-4821-11D2-A494-3CB306C10000}' '' 'OpcServerList Class'
plant 'CLSID\{13486D51-4821-11D2-A494-3CB306C10000}\LocalServer32' '' 'C:\windows\system32\OpcEnum.exe'
plant 'Component Categories\{7DE5B060-E089-11D2-A5E6-000086339399}' 409 'OPC History Data Access Servers'
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
echo "MSI round trip: installed, used and removed cleanly"

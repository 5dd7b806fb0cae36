#!/usr/bin/env bash
# Upgrades and downgrades of the x64 package in a fresh Wine prefix, with packages built here from the same
# binaries at versions 1.0.1 and 1.0.2 (the newer one's DLL marked, so that its files can be told apart):
# the newer installs over the older in place (one product, the newer files, every proxy still registered), a
# rebuild of the same version replaces it too, and the older is refused over the newer. (Wine's msiexec does
# not migrate feature states, so whether the Simulator feature stays is not checked here.)
#   msi_upgrade.sh <bin folder> <prefix folder>
set -euo pipefail
bin=$1 prefix=$(realpath -m "$2")
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
source "$root/tests/installer/msi_prefix.sh"

work=$prefix.packages
rm -rf "$work" && mkdir -p "$work/older" "$work/newer"
trap 'status=$?; rm -rf "$work"; (exit $status); finish' EXIT
for f in OPCHDAAuto.dll OPCHDAProxy.dll OPCHDAExport.exe HdaSim.dll HdaSimServer.exe OpcServerList.dll; do
  cp "$bin/$f" "$work/older/" && cp "$bin/$f" "$work/newer/"
done
# Bytes after the last section: Windows loads the DLL as before.
printf 'newer build' >>"$work/newer/OPCHDAAuto.dll"
package() {  # <version> <folder> <package>
  MSI_VERSION=$1 bash "$root/installer/build-msi.sh" x64 "$2" "$3" >/dev/null || fail "cannot build $3"
}
package 1.0.1 "$work/older" "$work/older.msi"
package 1.0.2 "$work/newer" "$work/newer.msi"
package 1.0.2 "$work/newer" "$work/rebuilt.msi"

# "<name> <version>" of each product of ours registered for uninstall.
products() {
  wine_stop_server
  wineserver -w >/dev/null 2>&1 || true
  awk -F= '/^\[/ { if (name) print name " " version; name = version = ""; inside = /CurrentVersion\\\\Uninstall\\\\/; next }
           inside && $1 == "\"DisplayName\"" { name = $2 }
           inside && $1 == "\"DisplayVersion\"" { version = $2 }
           END { if (name) print name " " version }' "$prefix/system.reg" | grep 'OPC HDA Automation' || true
  wine_start_server
}
installed="$prefix/drive_c/Program Files/OPC HDA Automation"
expect_newer() {  # <what happened>
  [ "$(products)" = '"OPC HDA Automation (x64)" "1.0.2"' ] || fail "$1: registered products are: $(products)"
  cmp -s "$installed/OPCHDAAuto.dll" "$work/newer/OPCHDAAuto.dll" || fail "$1: the installed DLL is not the newer"
  all_proxies_ours "$(registry)" || fail "$1: the proxies went with the older product"
}

fresh_prefix
before=$(registry)
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
same "$before" "$(registry)" "the registry differs from before the installs"
echo "MSI upgrade: newer replaced older, older refused over newer"

#!/usr/bin/env bash
# Builds the MSI package of one architecture:
#   installer/build-msi.sh x64 <bin folder> <package.msi> <simulator bin> <x86 bin> <x86 simulator bin>
#   installer/build-msi.sh x86 <bin folder> <package.msi> [simulator bin folder]
# The x64 package is the one for 64-bit Windows: it carries the x86 DLLs and the x86 simulator's
# in-process parts too, for 32-bit programs. The x86 package is for 32-bit Windows and refuses 64-bit
# Windows. The simulator's binaries come from the bin folder unless another is named (the x86
# simulator is built in a tree of its own). The version is 1.0.<number of commits>, so that every
# build of a later commit upgrades the one before; MSI_VERSION=a.b.c overrides it.
# wixl writes the package; what wixl 0.101 cannot say is added to its tables with msibuild:
#  - the custom actions (SharedRegistrations.dll, from the bin folder) that write and remove what
#    another product may own as well: the OPC custom interfaces' proxies and the proxy class, the
#    simulator's server list and the OPC HDA category's description. Windows Installer removes its
#    registry rows at uninstall whatever they hold by then, even where the OPC core components or a
#    vendor wrote over them after us; the actions write a registration only where it is absent or
#    ours, and remove it only while it is still ours;
#  - the installation folders, kept in the registry and found again by every later session: the
#    removal compares paths, and Windows Installer forgets a folder given on the command line;
#  - empty keys created on install and removed on uninstall;
#  - upgrades: a rebuild of the same version replaces the installed one, as a later one does; the
#    x64 package replaces an x86 one;
#  - the x86 package's refusal on 64-bit Windows.
set -euo pipefail
arch=$1 bin=$2 out=$3 simbin=${4:-$2}
here=$(cd "$(dirname "$0")" && pwd)
x64_upgrade_code='{9F98D706-A8DC-42A4-A218-4E9FE670B815}'
x86_upgrade_code='{1DF500BA-5A3F-44C3-B155-72F76560712E}'
case "$arch" in
  x64) upgrade_code=$x64_upgrade_code views="64 32"
       x86bin=${5:?the x64 package needs the x86 bin folder} x86simbin=${6:?and the x86 simulator bin folder} ;;
  # 32-bit Windows has one registry view.
  x86) upgrade_code=$x86_upgrade_code views=native x86bin=$bin x86simbin=$simbin ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac

package_version() {
  if [ -n "${MSI_VERSION:-}" ]; then echo "$MSI_VERSION"; return; fi
  local count
  if count=$(git -C "$here" rev-list --count HEAD 2>/dev/null); then
    [ "$(git -C "$here" rev-parse --is-shallow-repository)" = false ] ||
      echo "build-msi.sh: shallow clone, the commit count ($count) understates the version" >&2
    echo "1.0.$count"
  else
    # Without history the package claims no place in the order: any counted build replaces it.
    echo "build-msi.sh: no git history, version 1.0.0 (set MSI_VERSION to choose one)" >&2
    echo 1.0.0
  fi
}
version=$(package_version)
[[ "$version" =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] &&
  (( BASH_REMATCH[1] <= 255 && BASH_REMATCH[2] <= 255 && BASH_REMATCH[3] <= 65535 )) ||
  { echo "build-msi.sh: $version is not an MSI product version (255.255.65535 at most)" >&2; exit 2; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# wixl finds the files named in the package relative to the folder it runs in (and takes no absolute path).
dirs=()
for name in SimDir:$simbin X86Dir:$x86bin X86SimDir:$x86simbin; do
  dirs+=(-D "${name%%:*}=$(realpath --relative-to="$bin" "${name#*:}")")
done
(cd "$bin" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D UpgradeCode="$upgrade_code" "${dirs[@]}" \
  -o "$tmp/package.msi" "$here/OPCHDAAuto.wxs" "$here/Simulator.wxs")

queries=()
sql() { queries+=("$1"); }

# The registrations another product may own, for SharedRegistrations.dll (its source says the format),
# in the registry view of each DLL: registration <view> <key> <subkey> <name> <text> [<subkey> <name>
# <text>]... is one line, its first value the claim.
registration() {
  local IFS='|' view=$1
  [ "$view" = native ] && view=''
  echo "$view|${*:2}"
}
folder() { if [ "$1" = 32 ]; then echo '[INSTALLDIR32]'; else echo '[INSTALLDIR]'; fi; }
proxy_class='{13486D50-4821-11D2-A494-3CB306C10000}'
complete_registrations() {
  local view name iid methods
  for view in $views; do
    registration "$view" "CLSID\\$proxy_class" InProcServer32 '' "$(folder "$view")OPCHDAProxy.dll" \
      '' '' PSFactoryBuffer InProcServer32 ThreadingModel Both
    while read -r name iid methods; do
      [[ -z "$name" || "$name" == \#* ]] && continue
      registration "$view" "Interface\\$iid" ProxyStubClsid32 '' "$proxy_class" '' '' "$name" NumMethods '' "$methods"
    done < "$here/opc-interfaces.txt"
  done
}
simulator_registrations() {
  local view
  for view in $views; do
    registration "$view" 'CLSID\{13486D51-4821-11D2-A494-3CB306C10000}' InprocServer32 '' \
      "$(folder "$view")Simulator\\OpcServerList.dll" '' '' 'OPC server list (stand-in of the simulated historian)' \
      InprocServer32 ThreadingModel Both
  done
  # One key for both views.
  registration "${views%% *}" 'Component Categories\{7DE5B060-E089-11D2-A5E6-000086339399}' '' 409 \
    'OPC History Data Access Servers Version 1.0'
}
# Custom action types: 51 sets a property (a deferred action's CustomActionData is the property of its
# name), 1 calls a function of a DLL in the Binary table; 1024 runs it in the installation script, 256
# in its rollback, 2048 as the system rather than the user.
deferred=$((1 + 1024 + 2048)) rollback=$((1 + 256 + 1024 + 2048))
# shared_registrations <feature> <write at> <remove at> <lines>: the feature's registrations are written
# whenever it ends up installed (a repair, or a change of another feature, writes them again where
# they are ours) and removed when it goes; each step is undone by the opposite one on rollback.
shared_registrations() {
  local feature=$1 write_at=$2 remove_at=$3 data=${4//\'/\'\'}
  local -A when=([ends_installed]="&$feature = 3 OR (!$feature = 3 AND &$feature <> 2)"
                 [comes]="&$feature = 3 AND !$feature <> 3" [goes]="&$feature = 2 AND !$feature = 3")
  local action type function condition at
  while read -r action type function condition at; do
    sql "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('Set$action', 51, '$action', '$data')"
    sql "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('Set$action', 1010)"
    sql "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('$action', $type, 'SharedRegistrations', '$function')"
    sql "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('$action', '${when[$condition]}', $at)"
  done <<LIST
Undo${feature}Write $rollback RemoveSharedRegistrations comes $write_at
Write${feature}Registrations $deferred WriteSharedRegistrations ends_installed $((write_at + 1))
Undo${feature}Removal $rollback WriteSharedRegistrations goes $remove_at
Remove${feature}Registrations $deferred RemoveSharedRegistrations goes $((remove_at + 1))
LIST
}
# After WriteRegistryValues (5000) and RemoveRegistryValues (2600).
shared_registrations Complete 5010 2610 "$(complete_registrations)"
shared_registrations Simulator 5020 2620 "$(simulator_registrations)"

# The installation folders, found again before they are resolved (wixl schedules no AppSearch).
for sequence in InstallExecuteSequence InstallUISequence; do
  sql "INSERT INTO \`$sequence\` (\`Action\`, \`Sequence\`) VALUES ('AppSearch', 50)"
done
folders=INSTALLDIR locator=2  # a raw value, in the 32-bit view
[ "$arch" = x64 ] && folders="INSTALLDIR INSTALLDIR32" locator=18  # in the 64-bit view (16)
for property in $folders; do
  sql "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('remember_$property', 2, 'Software\\Zelvar\\OPC HDA Automation', '$property', '[$property]', 'Automation')"
  sql "INSERT INTO \`RegLocator\` (\`Signature_\`, \`Root\`, \`Key\`, \`Name\`, \`Type\`) VALUES ('$property', 2, 'Software\\Zelvar\\OPC HDA Automation', '$property', $locator)"
  sql "INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('$property', '$property')"
done

# Keys the registration writes empty (a row without name or value): created on
# install, removed on uninstall.
for key in 'CLSID\{0C67847E-BCD7-11d4-9E70-00B0D060205F}\Programmable' \
           'CLSID\{6B1F5C21-3A7D-4E59-9C1B-2D8E4F6A7B01}\Implemented Categories\{7DE5B060-E089-11D2-A5E6-000086339399}' \
           'CLSID\{6B1F5C22-3A7D-4E59-9C1B-2D8E4F6A7B01}\Implemented Categories\{7DE5B060-E089-11D2-A5E6-000086339399}'; do
  sql "UPDATE \`Registry\` SET \`Name\` = '*', \`Value\` = '' WHERE \`Key\` = '$key'"
done
# The same version counts as an upgrade (version maximum inclusive, 512): a
# rebuild replaces the installed product instead of joining it.
# (Attributes belongs to the table's key: the row is replaced.)
sql "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
sql "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
if [ "$arch" = x64 ]; then
  # An x86 package of any version (from 0.0.0 inclusive, 256; feature states migrated, 1), installed on
  # 64-bit Windows before that package refused to be.
  sql "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMin\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$x86_upgrade_code', '0.0.0', 257, 'WIX_UPGRADE_DETECTED')"
else
  sql "INSERT INTO \`LaunchCondition\` (\`Condition\`, \`Description\`) VALUES ('Installed OR NOT VersionNT64', 'This package is for 32-bit Windows. On 64-bit Windows install OPCHDAAuto-x64.msi, which serves 32-bit and 64-bit programs alike.')"
fi
for q in "${queries[@]}"; do msibuild "$tmp/package.msi" -q "$q" >/dev/null || { echo "build-msi.sh: failed: $q" >&2; exit 1; }; done
mv "$tmp/package.msi" "$out"
echo "$out: version $version"

#!/usr/bin/env bash
# Builds the MSI package of one architecture from the binaries in a bin folder:
#   installer/build-msi.sh x64|x86 <bin folder> <package.msi> [simulator bin folder]
# The simulator's binaries come from the bin folder unless another is named (the
# x86 simulator is built in a tree of its own). The version is 1.0.<number of
# commits>, so that every build of a later commit upgrades the one before;
# MSI_VERSION=a.b.c overrides it.
# wixl writes the package; what wixl 0.101 cannot say is added to its tables
# with msibuild:
#  - component conditions on a registry search: each OPC custom interface's proxy
#    row, the proxy class, and the simulator's server list and category
#    description are installed only where the machine has none registered, so
#    that uninstalling never takes away the machine's own OPC components;
#  - empty keys created on install and removed on uninstall;
#  - a rebuild of the same version replaces the installed one, as a later one does.
set -euo pipefail
arch=$1 bin=$2 out=$3 simbin=${4:-$2}
here=$(cd "$(dirname "$0")" && pwd)
case "$arch" in
  x64) locator=18 ;;  # raw value (2) in the 64-bit view (16)
  x86) locator=2 ;;
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
simdir=$(realpath --relative-to="$bin" "$simbin")
(cd "$bin" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D SimDir="$simdir" \
  -o "$tmp/package.msi" "$here/OPCHDAAuto.wxs" "$here/Simulator.wxs")

queries=()
sql() { queries+=("$1"); }
# A registry search: search <property> <root: 0 HKCR, 2 HKLM> <key> [name, empty for the default value].
search() {
  local property=$1 root=$2 key=$3 name=${4:-}
  if [ -n "$name" ]; then
    sql "INSERT INTO \`RegLocator\` (\`Signature_\`, \`Root\`, \`Key\`, \`Name\`, \`Type\`) VALUES ('$property', $root, '$key', '$name', $locator)"
  else
    sql "INSERT INTO \`RegLocator\` (\`Signature_\`, \`Root\`, \`Key\`, \`Type\`) VALUES ('$property', $root, '$key', $locator)"
  fi
  sql "INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('$property', '$property')"
}
# Installs <component> only where the value <name> of <key> is absent, or is ours: the component also
# writes a mark under our own key, so that an upgrade (which searches while the older product is still
# installed) keeps what the older one owned.
owned_key='Software\Zelvar\OPC HDA Automation\Owned'
add_search() {  # <component> <property> <key> [name]
  local component=$1 property=$2 key=$3 name=${4:-}
  search "$property" 0 "$key" "$name"
  search "OWNED_$property" 2 "$owned_key" "$component"
  sql "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('owned_$component', 2, '$owned_key', '$component', '1', '$component')"
  sql "UPDATE \`Component\` SET \`Condition\` = 'NOT $property OR OWNED_$property' WHERE \`Component\` = '$component'"
}
# wixl schedules no AppSearch: without it every search finds nothing.
for sequence in InstallExecuteSequence InstallUISequence; do
  sql "INSERT INTO \`$sequence\` (\`Action\`, \`Sequence\`) VALUES ('AppSearch', 50)"
done
add_search PS_Class FOUND_PS_CLASS 'CLSID\{13486D50-4821-11D2-A494-3CB306C10000}\InProcServer32'
while read -r name iid; do
  [[ -z "$name" || "$name" == \#* ]] && continue
  add_search "PS_$name" "FOUND_PS_${name^^}" "Interface\\$iid\\ProxyStubClsid32"
done < "$here/opc-interfaces.txt"
# Every registered server list class (the OPC core components' OpcEnum) has a description.
add_search SimServerList FOUND_SERVER_LIST 'CLSID\{13486D51-4821-11D2-A494-3CB306C10000}'
add_search SimCategory FOUND_HDA_CATEGORY 'Component Categories\{7DE5B060-E089-11D2-A5E6-000086339399}' 409
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
upgrade_code=$(msiinfo export "$tmp/package.msi" Property | awk -F'\t' '$1 == "UpgradeCode" { print $2 }' | tr -d '\r')
sql "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
sql "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
for q in "${queries[@]}"; do msibuild "$tmp/package.msi" -q "$q" >/dev/null || { echo "build-msi.sh: failed: $q" >&2; exit 1; }; done
mv "$tmp/package.msi" "$out"
echo "$out: version $version"

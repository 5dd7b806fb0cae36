#!/usr/bin/env bash
# Builds the MSI package of one architecture from the DLLs in a bin folder:
#   installer/build-msi.sh x64|x86 <bin folder> <package.msi>
# wixl writes the package; what wixl 0.101 cannot say (component conditions on a
# registry search) is added to its tables with msibuild: each OPC custom
# interface's proxy row, and the proxy class, is installed only where the
# machine has no proxy registered for it, so that uninstalling never takes away
# the machine's own OPC components.
set -euo pipefail
arch=$1 bin=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
version=1.0.0
case "$arch" in
  x64) locator=18 ;;  # raw value (2) in the 64-bit view (16)
  x86) locator=2 ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# wixl finds the files named in the package relative to the folder it runs in.
(cd "$bin" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -o "$tmp/package.msi" "$here/OPCHDAAuto.wxs")

queries=()
add_search() {  # <component> <property> <key>
  local component=$1 property=$2 key=$3
  queries+=("INSERT INTO \`RegLocator\` (\`Signature_\`, \`Root\`, \`Key\`, \`Type\`) VALUES ('$property', 0, '$key', $locator)")
  queries+=("INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('$property', '$property')")
  queries+=("UPDATE \`Component\` SET \`Condition\` = 'NOT $property' WHERE \`Component\` = '$component'")
}
add_search PS_Class FOUND_PS_CLASS 'CLSID\{13486D50-4821-11D2-A494-3CB306C10000}\InProcServer32'
while read -r name iid; do
  [[ -z "$name" || "$name" == \#* ]] && continue
  add_search "PS_$name" "FOUND_PS_${name^^}" "Interface\\$iid\\ProxyStubClsid32"
done < "$here/opc-interfaces.txt"
# An empty key, as the registration script writes it: created on install, removed on uninstall.
queries+=("UPDATE \`Registry\` SET \`Name\` = '*', \`Value\` = '' WHERE \`Key\` = 'CLSID\\{0C67847E-BCD7-11d4-9E70-00B0D060205F}\\Programmable'")
for q in "${queries[@]}"; do msibuild "$tmp/package.msi" -q "$q"; done
mv "$tmp/package.msi" "$out"

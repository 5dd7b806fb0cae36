#!/usr/bin/env bash
# An MSI package checked from its tables and files (this machine cannot install x86): platform, files of that
# architecture, the registration rows, and the conditions that keep the machine's own OPC proxies.
#   msi_check_package.sh <package.msi> x64|x86
set -euo pipefail
msi=$1 arch=$2
fail() { echo "FAIL: $*"; exit 1; }
table() { msiinfo export "$msi" "$1" | tail -n +4 | tr -d "\r"; }

case "$arch" in
  x64) platform='x64;1033' format=pei-x86-64 lib=win64 bit64=1 ;;
  x86) platform='Intel;1033' format=pei-i386 lib=win32 bit64=0 ;;
esac
msiinfo suminfo "$msi" | grep -q "^Template: $platform\$" || fail "platform is not $platform"
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT && (cd "$tmp" && msiextract "$msi" >/dev/null)
for dll in OPCHDAAuto.dll OPCHDAProxy.dll OPCHDAExport.exe; do
  file=$(find "$tmp" -name "$dll" | head -n 1)
  [ -n "$file" ] || fail "$dll is not in the package"
  objdump -f "$file" | grep -q "file format $format" || fail "$dll is not $format"
done
registry=$(table Registry)
has_row() { grep -q -F -- "$1" <<<"$registry" || fail "no registry row for $1"; }
has_row $'CLSID\\{0C67847E-BCD7-11d4-9E70-00B0D060205F}\\InprocServer32\t\t[#OPCHDAAuto.dll]'
has_row $'OPCHDA.Automation\\CLSID\t\t{0C67847E-BCD7-11d4-9E70-00B0D060205F}'
has_row $'TypeLib\\{0C678470-BCD7-11d4-9E70-00B0D060205F}\\1.0\\409\\'"$lib"$'\t\t[#OPCHDAAuto.dll]'
has_row $'CLSID\\{13486D50-4821-11D2-A494-3CB306C10000}\\InProcServer32\t\t[#OPCHDAProxy.dll]'
for iid in 0C678471 0C678472 0C678473 0C678474 0C678475 0C678476 0C678477 0C678478 0C678479; do
  has_row "Interface\\{$iid-BCD7-11D4-9E70-00B0D060205F}\\TypeLib"
done
while read -r name iid; do
  [[ -z "$name" || "$name" == \#* ]] && continue
  has_row "Interface\\$iid\\ProxyStubClsid32"
done < "$(dirname "$0")/../../installer/opc-interfaces.txt"

# Every component in the view of its architecture; every proxy row conditional.
while IFS=$'\t' read -r component id dir attributes condition keypath; do
  [ $(( (attributes & 256) != 0 )) = "$bit64" ] || fail "component $component is not in the $arch view"
  case "$component" in
    PS_*) [[ "$condition" == "NOT FOUND_PS_"* ]] || fail "component $component has no condition" ;;
  esac
done < <(table Component)
[ "$(table RegLocator | wc -l)" = 14 ] || fail "expected 14 registry searches"
echo "$arch package checked"

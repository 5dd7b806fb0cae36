#!/usr/bin/env bash
# An MSI package checked from its tables and files (this machine cannot install x86): platform, files of that
# architecture, the registration rows, every component in a feature, the simulator's feature off by default,
# a product version that upgrades, and the conditions that keep the machine's own OPC registrations.
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
for dll in OPCHDAAuto.dll OPCHDAProxy.dll OPCHDAExport.exe HdaSim.dll HdaSimServer.exe OpcServerList.dll; do
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
# The published IIDs, not the installer's own list: an interface left out of it has no proxy.
for iid in 1F1217B{0..9}-DEE0-11D2-A5E5-000086339399 F31DFDE{1,2}-07B6-11D2-B2D8-0060083BA1FB \
  13486D50-4821-11D2-A494-3CB306C10000; do
  has_row "Interface\\{$iid}\\ProxyStubClsid32"
done

has_row $'Interface\\{6B1F5C20-3A7D-4E59-9C1B-2D8E4F6A7B01}\\ProxyStubClsid32'
has_row $'CLSID\\{6B1F5C22-3A7D-4E59-9C1B-2D8E4F6A7B01}\\LocalServer32\t\t"[#HdaSimServer.exe]"'

# Every component in the view of its architecture and in a feature; what others may own conditional.
features=$(table FeatureComponents)
while IFS=$'\t' read -r component id dir attributes condition keypath; do
  [ $(( (attributes & 256) != 0 )) = "$bit64" ] || fail "component $component is not in the $arch view"
  feature=$(awk -F'\t' -v c="$component" '$2 == c { print $1 }' <<<"$features")
  [ -n "$feature" ] || fail "component $component belongs to no feature"
  case "$component" in
    PS_* | SimServerList | SimCategory)
      [[ "$condition" =~ ^NOT\ (FOUND_[A-Z_]+)\ OR\ OWNED_(FOUND_[A-Z_]+)$ && ${BASH_REMATCH[1]} == "${BASH_REMATCH[2]}" ]] ||
        fail "component $component has no condition" ;;
  esac
  case "$component" in
    Sim*) [ "$feature" = Simulator ] || fail "component $component is not in the Simulator feature" ;;
    *) [ "$feature" = Complete ] || fail "component $component is not in the Complete feature" ;;
  esac
done < <(table Component)
# The searches (another's registration, our mark), run: wixl does not schedule AppSearch on its own.
[ "$(table RegLocator | wc -l)" = 32 ] || fail "expected 32 registry searches"
for sequence in InstallExecuteSequence InstallUISequence; do
  grep -q -P '^AppSearch\t\t50$' <<<"$(table $sequence)" || fail "AppSearch is not in the $sequence"
done

# Complete always, Simulator only when asked for (a level above the default INSTALLLEVEL of 1).
grep -q -P '^Complete\t\t.*\t1\t' <<<"$(table Feature)" || fail "Complete is not installed by default"
grep -q -P '^Simulator\tComplete\t.*\t1000\t' <<<"$(table Feature)" || fail "Simulator is not a child of Complete off by default"
! grep -q '^INSTALLLEVEL' <<<"$(table Property)" || fail "INSTALLLEVEL is set"

# A version that orders builds; the same or a lower version is replaced, a higher one refuses this package.
version=$(table Property | awk -F'\t' '$1 == "ProductVersion" { print $2 }')
[[ "$version" =~ ^1\.0\.[0-9]+$ ]] || fail "product version $version is not 1.0.<build>"
grep -q -P '^\{[-0-9A-F]+\}\t\t'"${version//./\\.}"'\t\t513\t\tWIX_UPGRADE_DETECTED' <<<"$(table Upgrade)" ||
  fail "the same and older versions are not upgraded"
grep -q -P '^NOT WIX_DOWNGRADE_DETECTED\t' <<<"$(table LaunchCondition)" || fail "a downgrade is not refused"
echo "$arch package checked"

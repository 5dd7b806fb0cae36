#!/usr/bin/env bash
# An MSI package checked from its tables and files, for what the round trips do not show: the platform, the
# architecture of every file, values of keys both registry views share written once, a proxy for every
# published OPC interface in each view, the simulator's feature off by default, upgrades of the x86 package,
# and the words of its refusal of 64-bit Windows (Wine's log leaves them out).
#   msi_check_package.sh <package.msi> x64|x86
set -euo pipefail
msi=$(realpath "$1") arch=$2
fail() { echo "FAIL: $*"; exit 1; }
table() { msiinfo export "$msi" "$1" | tail -n +4 | tr -d "\r"; }

# What the package carries, as msiextract lays it out: a 32-bit Program Files folder is "Program Files".
x86=('Program Files/OPC HDA Automation/'{OPCHDAAuto.dll,OPCHDAProxy.dll,Simulator/HdaSim.dll,Simulator/OpcServerList.dll})
case "$arch" in
  x64) platform='x64;1033' bit64=1 views='64 32'
       carried=('OPC HDA Automation/'{OPCHDAAuto.dll,OPCHDAProxy.dll,OPCHDAExport.exe}
                'OPC HDA Automation/Simulator/'{HdaSim.dll,HdaSimServer.exe,OpcServerList.dll} "${x86[@]}") ;;
  x86) platform='Intel;1033' bit64=0 views=''
       carried=("${x86[@]}" 'Program Files/OPC HDA Automation/'{OPCHDAExport.exe,Simulator/HdaSimServer.exe}) ;;
esac
files=$(printf '%s\n' "${carried[@]}" | sort)
msiinfo suminfo "$msi" | grep -q "^Template: $platform\$" || fail "platform is not $platform"
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT && (cd "$tmp" && msiextract "$msi" >/dev/null)
[ "$(cd "$tmp" && find . -type f | sed 's|^\./||' | sort)" = "$files" ] ||
  fail "the package carries $(cd "$tmp" && find . -type f | tr '\n' ' ')"
while read -r file; do
  format=pei-x86-64
  [[ $file == "Program Files/"* ]] && format=pei-i386
  objdump -f "$tmp/$file" | grep -q "file format $format" || fail "$file is not $format"
done <<<"$files"

registry=$(table Registry | cut -f 3-6)
# Both views share every key but CLSID and Interface: a value written there twice goes with either writer.
twice=$(grep -v -E '^(CLSID|Interface)\\' <<<"$registry" | cut -f 1,2 | sort | uniq -d)
[ -z "$twice" ] || fail "written by two components into a key both views share: $twice"

# Every component in the view of its architecture (in the x64 package, those named *32 in the 32-bit one)
# and in a feature.
features=$(table FeatureComponents)
while IFS='|' read -r component _ _ attributes _; do  # a tab would join empty fields
  want=$bit64
  [[ $component == *32 ]] && want=0
  [ $(( (attributes & 256) != 0 )) = "$want" ] || fail "component $component is in the wrong registry view"
  feature=$(awk -F'\t' -v c="$component" '$2 == c { print $1 }' <<<"$features")
  case "$component" in
    Sim*) [ "$feature" = Simulator ] || fail "component $component is not in the Simulator feature" ;;
    *) [ "$feature" = Complete ] || fail "component $component is not in the Complete feature" ;;
  esac
done < <(table Component | tr '\t' '|')
# Complete always, Simulator only when asked for (a level above the default INSTALLLEVEL of 1).
grep -q -P '^Complete\t\t.*\t1\t' <<<"$(table Feature)" || fail "Complete is not installed by default"
grep -q -P '^Simulator\tComplete\t.*\t1000\t' <<<"$(table Feature)" || fail "Simulator is not a child of Complete off by default"
! grep -q '^INSTALLLEVEL' <<<"$(table Property)" || fail "INSTALLLEVEL is set"

# The registrations other products may own, in the lines of a feature's custom actions (a record of the table
# ends in a tab and a line break, a line of a field in a line break): a proxy for each published IID (not
# the installer's own list: an interface left out of it has no proxy) in each view, the category once.
data_of() {
  awk -F'\t' -v RS='\t\n' -v f="Write$1Registrations" '$1 == "Set" f { print $4 }' <<<"$(table CustomAction)"
}
complete=$(data_of Complete) simulator=$(data_of Simulator)
for view in ${views:--}; do
  view=${view#-} folder=INSTALLDIR
  [ "$view" = 32 ] && folder=INSTALLDIR32
  grep -q -x -F "$view|CLSID\\{13486D50-4821-11D2-A494-3CB306C10000}|InProcServer32||[$folder]OPCHDAProxy.dll|||PSFactoryBuffer|InProcServer32|ThreadingModel|Both" <<<"$complete" ||
    fail "no proxy class in the view '$view'"
  for iid in 1F1217B{0..9}-DEE0-11D2-A5E5-000086339399 F31DFDE{1,2}-07B6-11D2-B2D8-0060083BA1FB \
    13486D50-4821-11D2-A494-3CB306C10000; do
    grep -q -E "^$view\|Interface\\\\\{$iid\}\|ProxyStubClsid32\|\|\{13486D50-4821-11D2-A494-3CB306C10000\}\|\|\|IOPC[A-Za-z_]+\|NumMethods\|\|[0-9]+$" <<<"$complete" ||
      fail "no proxy for {$iid} in the view '$view'"
  done
  grep -q -F "$view|CLSID\\{13486D51-4821-11D2-A494-3CB306C10000}|InprocServer32||[$folder]Simulator\\OpcServerList.dll|" <<<"$simulator" ||
    fail "no server list in the view '$view'"
done
[ "$(grep -c 'Component Categories' <<<"$simulator")" = 1 ] || fail "the category description is not written once"

# A version that orders builds; the same or a lower version is replaced, a higher one refuses this package.
version=$(table Property | awk -F'\t' '$1 == "ProductVersion" { print $2 }')
[[ "$version" =~ ^1\.0\.[0-9]+$ ]] || fail "product version $version is not 1.0.<build>"
upgrades=$(table Upgrade)
grep -q -P '^\{[-0-9A-F]+\}\t\t'"${version//./\\.}"'\t\t513\t\tWIX_UPGRADE_DETECTED' <<<"$upgrades" ||
  fail "the same and older versions are not upgraded"
grep -q -P '^NOT WIX_DOWNGRADE_DETECTED\t' <<<"$(table LaunchCondition)" || fail "a downgrade is not refused"
if [ "$arch" = x86 ]; then
  grep -q -P '^Installed OR NOT VersionNT64\t.*install OPCHDAAuto-x64\.msi' <<<"$(table LaunchCondition)" ||
    fail "64-bit Windows is not refused with the x64 package's name"
fi
echo "$arch package checked"

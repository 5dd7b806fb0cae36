#!/usr/bin/env bash
# An MSI package checked from its tables and files: platform, the files and the architecture of each, the
# registration rows in each registry view, every component in a feature, the simulator's feature off by
# default, the custom actions that write what other products may own and when they run, the upgrades, and
# the x86 package's refusal of 64-bit Windows.
#   msi_check_package.sh <package.msi> x64|x86
set -euo pipefail
msi=$(realpath "$1") arch=$2
fail() { echo "FAIL: $*"; exit 1; }
table() { msiinfo export "$msi" "$1" | tail -n +4 | tr -d "\r"; }

# What the package carries, as msiextract lays it out: a 32-bit Program Files folder is "Program Files".
x86=('Program Files/OPC HDA Automation/'{OPCHDAAuto.dll,OPCHDAProxy.dll,Simulator/HdaSim.dll,Simulator/OpcServerList.dll})
case "$arch" in
  x64) platform='x64;1033' bit64=1 lib=win64 views='64 32' ca_format=pei-x86-64
       carried=('OPC HDA Automation/'{OPCHDAAuto.dll,OPCHDAProxy.dll,OPCHDAExport.exe}
                'OPC HDA Automation/Simulator/'{HdaSim.dll,HdaSimServer.exe,OpcServerList.dll} "${x86[@]}") ;;
  x86) platform='Intel;1033' bit64=0 lib=win32 views='' ca_format=pei-i386
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
msiinfo extract "$msi" Binary.SharedRegistrations >"$tmp/actions.dll"
objdump -f "$tmp/actions.dll" | grep -q "file format $ca_format" || fail "the custom actions are not $ca_format"

# Registration rows: "<key>\t<name>\t<value>\t<component>" must be a row (the x64 package: for each view).
registry=$(table Registry | cut -f 3-6)
has_row() { grep -q -x -F -- "$1" <<<"$registry" || fail "no registry row $1"; }
dll_rows=("Automation OPCHDAAuto.dll $lib")
[ "$arch" = x64 ] && dll_rows+=("Automation32 OPCHDAAuto32.dll win32")
for row in "${dll_rows[@]}"; do
  read -r component file platform <<<"$row"
  has_row "CLSID\\{0C67847E-BCD7-11d4-9E70-00B0D060205F}\\InprocServer32"$'\t\t'"[#$file]"$'\t'"$component"
  has_row "TypeLib\\{0C678470-BCD7-11d4-9E70-00B0D060205F}\\1.0\\409\\$platform"$'\t\t'"[#$file]"$'\t'"$component"
  for iid in 0C678471 0C678472 0C678473 0C678474 0C678475 0C678476 0C678477 0C678478 0C678479; do
    has_row "Interface\\{$iid-BCD7-11D4-9E70-00B0D060205F}\\TypeLib"$'\t\t{0C678470-BCD7-11d4-9E70-00B0D060205F}\t'"$component"
  done
done
has_row $'OPCHDA.Automation\\CLSID\t\t{0C67847E-BCD7-11d4-9E70-00B0D060205F}\tAutomation'
has_row $'CLSID\\{6B1F5C22-3A7D-4E59-9C1B-2D8E4F6A7B01}\\LocalServer32\t\t"[#HdaSimServer.exe]"\tSimServer'
# Both views share every key but CLSID and Interface: a value written there twice goes with either writer.
twice=$(grep -v -E '^(CLSID|Interface)\\' <<<"$registry" | cut -f 1,2 | sort | uniq -d)
[ -z "$twice" ] || fail "written by two components into a key both views share: $twice"

# Every component in the view of its architecture (in the x64 package, those named *32 in the 32-bit one)
# and in a feature.
features=$(table FeatureComponents)
while IFS='|' read -r component _ _ attributes condition _; do  # a tab would join empty fields
  want=$bit64
  [[ $component == *32 ]] && want=0
  [ $(( (attributes & 256) != 0 )) = "$want" ] || fail "component $component is in the wrong registry view"
  [ -z "$condition" ] || fail "component $component has a condition"
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

# The registrations other products may own: each feature's four actions get the same lines, one for each
# published IID (not the installer's own list: an interface left out of it has no proxy) in each view.
actions=$(table CustomAction)
data_of() {  # <feature>: its lines (a record of the table ends in a tab and a line break, a line of a field in
             # a line break)
  local targets
  targets=$(awk -F'\t' -v RS='\t\n' -v f="$1" '$1 ~ "^Set.*" f && $2 == 51 { gsub(/\n/, "\001", $4); print $4 }' \
    <<<"$actions")
  [ "$(wc -l <<<"$targets")" = 4 ] && [ "$(sort -u <<<"$targets" | wc -l)" = 1 ] ||
    fail "the four actions of the $1 feature do not get the same lines"
  head -n 1 <<<"$targets" | tr '\001' '\n'
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
[ "$(wc -l <<<"$complete")" = $((14 * $(wc -w <<<"${views:--}"))) ] || fail "unexpected registrations: $complete"
# Written after WriteRegistryValues when the feature ends up installed, removed when it goes, each step
# undone on rollback; all in the installation script (deferred, as the system).
sequence=$(table InstallExecuteSequence)
at() { awk -F'\t' -v a="$1" '$1 == a { print $3 }' <<<"$sequence"; }
for feature in Complete Simulator; do
  while read -r action type function condition; do
    grep -q -x -F "$action"$'\t'"$type"$'\tSharedRegistrations\t'"$function"$'\t' <<<"$actions" ||
      fail "no action $action ($type, $function)"
    grep -q -x -F "$action"$'\t'"${condition//F/$feature}"$'\t'"$(at "$action")" <<<"$sequence" ||
      fail "$action does not run on ${condition//F/$feature}"
    (( $(at InstallInitialize) < $(at "$action") && $(at "$action") < $(at InstallFinalize) )) ||
      fail "$action is not in the installation script"
    (( $(at CostFinalize) < $(at "Set$action") && $(at "Set$action") < $(at InstallInitialize) )) ||
      fail "the lines of $action are set before the folders are resolved or after the script is written"
  done <<LIST
Undo${feature}Write 3329 RemoveSharedRegistrations &F = 3 AND !F <> 3
Write${feature}Registrations 3073 WriteSharedRegistrations &F = 3 OR (!F = 3 AND &F <> 2)
Undo${feature}Removal 3329 WriteSharedRegistrations &F = 2 AND !F = 3
Remove${feature}Registrations 3073 RemoveSharedRegistrations &F = 2 AND !F = 3
LIST
  (( $(at "Undo${feature}Write") < $(at "Write${feature}Registrations") &&
     $(at "Write${feature}Registrations") > $(at WriteRegistryValues) &&
     $(at "Undo${feature}Removal") < $(at "Remove${feature}Registrations") )) || fail "the $feature actions are out of order"
done
# The installation folders are kept, and found again before they are resolved.
for folder in INSTALLDIR ${views:+INSTALLDIR32}; do
  has_row $'Software\\Zelvar\\OPC HDA Automation\t'"$folder"$'\t['"$folder"$']\tAutomation'
  grep -q -P "^$folder\t2\tSoftware\\\\Zelvar\\\\OPC HDA Automation\t$folder\t$((2 + 16 * bit64))$" <<<"$(table RegLocator)" ||
    fail "$folder is not found again"
done
for sequence_table in InstallExecuteSequence InstallUISequence; do
  grep -q -P '^AppSearch\t\t50$' <<<"$(table $sequence_table)" || fail "AppSearch is not in the $sequence_table"
done

# A version that orders builds; the same or a lower version is replaced, a higher one refuses this package.
# The older product is gone before the newer is installed: its removal of what is still ours would take away
# what the newer had just written.
version=$(table Property | awk -F'\t' '$1 == "ProductVersion" { print $2 }')
[[ "$version" =~ ^1\.0\.[0-9]+$ ]] || fail "product version $version is not 1.0.<build>"
upgrades=$(table Upgrade)
grep -q -P '^\{[-0-9A-F]+\}\t\t'"${version//./\\.}"'\t\t513\t\tWIX_UPGRADE_DETECTED' <<<"$upgrades" ||
  fail "the same and older versions are not upgraded"
grep -q -P '^NOT WIX_DOWNGRADE_DETECTED\t' <<<"$(table LaunchCondition)" || fail "a downgrade is not refused"
(( $(at InstallValidate) < $(at RemoveExistingProducts) && $(at RemoveExistingProducts) < $(at InstallInitialize) )) ||
  fail "the older product is removed after the newer is installed"
if [ "$arch" = x64 ]; then
  grep -q -P '^\{1DF500BA-5A3F-44C3-B155-72F76560712E\}\t0\.0\.0\t\t\t257\t\tWIX_UPGRADE_DETECTED' <<<"$upgrades" ||
    fail "an x86 package is not replaced"
else
  grep -q -P '^Installed OR NOT VersionNT64\t.*install OPCHDAAuto-x64\.msi' <<<"$(table LaunchCondition)" ||
    fail "64-bit Windows is not refused with the x64 package's name"
fi
echo "$arch package checked"

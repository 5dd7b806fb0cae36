# shellcheck shell=bash
# Sourced by the package round trips: a fresh Wine prefix of their own (WINEARCH=win32 before it makes a
# 32-bit Windows), msiexec, the clients, and what the registry, the disk and Windows Installer's list of
# products hold of ours. The prefix goes when the test passes and stays for a look when it fails.
#   source msi_session.sh <prefix folder> <loader of the prefix's msiexec: wine64 or wine32>
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$root/scripts/wine-env.sh"
prefix=$(realpath -m "$1")
export WINEPREFIX=$prefix
WINE="$root/scripts/$2"
wine64="$root/scripts/wine64" wine32="$root/scripts/wine32"
# Both round trips run 32-bit programs; where they cannot run, the test says so and is skipped.
if ! "$wine32" --version >/dev/null 2>&1; then
  echo "skipped: this machine cannot run 32-bit Windows programs (no wine32:i386, or a kernel without 32-bit support)"
  exit 77
fi
here="$root/tests/installer"
work=$prefix.packages
fail() { echo "FAIL: $*"; exit 1; }
trap 'status=$?; wine_stop_server; rm -rf "$work"; [ "$status" != 0 ] || rm -rf "$prefix"' EXIT

# msiexec quietly: msi_run /i|/x <package> [PROPERTY=value...]; its exit code also in $rc, its log in
# $prefix/msi.log.
msi_run() {
  local action=$1 package=$2
  shift 2
  rc=0
  "$WINE" msiexec "$action" "$(to_win "$package")" /qn /l "$(to_win "$prefix")\\msi.log" "$@" \
    </dev/null >/dev/null 2>&1 || rc=$?
  return "$rc"
}
# The registry files, written out when the server stops; <what it prints from them>.
stopped() {
  wine_stop_server
  wineserver -w >/dev/null 2>&1 || true
  "$@"
  wine_start_server
}
# Registry lines that name anything of ours, one per value ("[key] name=value") and one per key, without the
# keys' time stamps; 32-bit programs' keys (Wow6432Node) too.
ours='Zelvar|0C67847|OPCHDA\.Automation|OPC HDA Automation|13486D5|1F1217B|F31DFDE|B7F1A2C3|6B1F5C2|Sim\.Hda|7DE5B060|HdaSim|OpcServerList'
registry_lines() {
  awk '/^\[/ { sub(/\] [0-9]+$/, "]"); key = $0; print key; next } /^[@"]/ { print key " " $0 }' \
    "$prefix"/system.reg "$prefix"/user.reg | grep -E -i "$ours" | sort
}
registry() { stopped registry_lines; }
# "<name> <version>" of each product of ours registered for uninstall.
product_lines() {
  awk -F= '/^\[/ { if (name) print name " " version; name = version = ""; inside = /CurrentVersion\\\\Uninstall\\\\/; next }
           inside && $1 == "\"DisplayName\"" { name = $2 }
           inside && $1 == "\"DisplayVersion\"" { version = $2 }
           END { if (name) print name " " version }' "$prefix/system.reg" | grep 'OPC HDA Automation' || true
}
products() { stopped product_lines; }
# Files of ours: the installation folders and the packages Windows Installer keeps.
disk() { (cd "$prefix/drive_c" && find . \( -ipath '*OPC HDA Automation*' -o -ipath './windows/Installer/*' \) | sort); }
# installed <file>...: each is there.
installed() { local f; for f in "$@"; do [ -f "$f" ] || fail "$f is not installed"; done; }
# same <expected> <actual> <message>: fails with the difference.
same() {
  [ "$1" = "$2" ] && return 0
  diff <(echo "$1") <(echo "$2") || true
  fail "$3"
}
# removed <folder>...: gone, and the disk and the registry as before the install.
removed() {
  for f in "$@"; do [ ! -e "$f" ] || fail "left on disk: $(ls -A "$f")"; done
  same "$disk_before" "$(disk)" "the files differ" && same "$before" "$(registry)" "the registry differs"
}
# expect_run <regular expression> <loader> <program> <args>: its output shown, and matched (its lines joined).
# To a file, not a pipe: the local server COM starts inherits it.
expect_run() {
  local pattern=$1
  shift
  "$@" </dev/null >"$prefix/run.log" 2>&1 || true
  tr -d '\r' <"$prefix/run.log"
  [[ $(tr -d '\r\n' <"$prefix/run.log") =~ $pattern ]] || fail "$* did not print $pattern"
}
# client <loader> [historian]: the script host of that loader's bitness creates OPCHDA.Automation and reads
# from the historian.
client() {
  local bits=64
  [ "$1" = "$wine32" ] && bits=32
  expect_run "$bits-bit client created OPCHDA.Automation.*${2:+values read: [1-9][0-9]*.*}DONE$" "$1" \
    cscript //nologo "$(to_win "$here/read_through.vbs")" ${2:+"$2"}
}

# A new prefix, its registry and files before anything of ours.
new_prefix() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix" "$work"
  mkdir -p "$prefix" "$work"
  "$WINE" wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
  wine_start_server
  "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d no-debugger.exe /f \
    </dev/null >/dev/null 2>&1
  before=$(registry)
  disk_before=$(disk)
}

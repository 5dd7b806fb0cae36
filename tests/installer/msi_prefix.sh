# Sourced by the installer tests (after scripts/wine-env.sh): a Wine prefix of their own in $prefix, what of
# ours it holds, and msiexec. The prefix goes when the test passes and stays for a look when it fails.
export WINEPREFIX=$prefix
fail() { echo "FAIL: $*"; exit 1; }
finish() {
  local status=$?
  wine_stop_server
  [ "$status" != 0 ] || rm -rf "$prefix"
}
trap finish EXIT

fresh_prefix() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
  mkdir -p "$prefix"
  "$WINE" wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
  wine_start_server
  "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d no-debugger.exe /f \
    </dev/null >/dev/null 2>&1
}

# msiexec quietly: msi_run /i|/x <package> [PROPERTY=value...]; its exit code also in $rc.
msi_run() {
  local action=$1 package=$2
  shift 2
  rc=0
  "$WINE" msiexec "$action" "$(to_win "$package")" /qn "$@" </dev/null >/dev/null 2>&1 || rc=$?
  return "$rc"
}

# Registry lines that name anything of ours, one per value ("[key] name=value") and one per key, without the
# keys' time stamps. The server writes the registry out when it stops.
ours='Zelvar|0C67847|OPCHDA\.Automation|OPC HDA Automation|13486D5|1F1217B|F31DFDE|B7F1A2C3|6B1F5C2|Sim\.Hda|7DE5B060|HdaSim|OpcServerList'
registry() {
  wine_stop_server
  wineserver -w >/dev/null 2>&1 || true
  awk '/^\[/ { sub(/\] [0-9]+$/, "]"); key = $0; print key; next } /^[@"]/ { print key " " $0 }' \
    "$prefix"/system.reg "$prefix"/user.reg | grep -E -i "$ours" | sort
  wine_start_server
}

# The OPC interfaces whose proxy is ours in a registry() listing, one name a line.
interfaces_file="$root/installer/opc-interfaces.txt"
interface_count() { grep -c -v -E '^(#|$)' "$interfaces_file"; }
proxy_rows() {
  local name iid
  while read -r name iid; do
    [[ -z "$name" || "$name" == \#* ]] && continue
    grep -q -i -F "Interface\\\\$iid\\\\ProxyStubClsid32] @=\"{13486D50-4821-11D2-A494-3CB306C10000}\"" <<<"$1" &&
      echo "$name"
  done <"$interfaces_file"
}
all_proxies_ours() { [ "$(proxy_rows "$1" | wc -l)" = "$(interface_count)" ]; }

# Files of ours: the installation folder and the packages Windows Installer keeps.
disk() {
  (cd "$prefix/drive_c" && find . \( -ipath '*OPC HDA Automation*' -o -ipath './windows/Installer/*' \) | sort)
}

# A value registered by somebody else under HKCR: plant <key> <name, empty for the default> <data>.
plant() {
  local key="HKLM\\Software\\Classes\\$1" name=$2 data=$3
  if [ -n "$name" ]; then
    "$WINE" reg add "$key" /v "$name" /d "$data" /f </dev/null >/dev/null 2>&1
  else
    "$WINE" reg add "$key" /ve /d "$data" /f </dev/null >/dev/null 2>&1
  fi
}

# same <expected> <actual> <message>: fails with the difference.
same() {
  [ "$1" = "$2" ] && return 0
  diff <(echo "$1") <(echo "$2") || true
  fail "$3"
}

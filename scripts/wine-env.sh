# Sourced by the scripts: the private Wine prefix of a build tree that runs
# tests, the x64 one or, with OPCHDA_ARCH=x86, the x86 one (build/x86-tests,
# whose prefix is a 64-bit one that runs 32-bit programs, as 64-bit Windows
# does; its programs start through the 32-bit loader).
root=${root:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export OPCHDA_ARCH=${OPCHDA_ARCH:-x64}
case "$OPCHDA_ARCH" in
  x64) tree="$root/build/x64" WINE="$root/scripts/wine64" ;;
  x86) tree="$root/build/x86-tests" WINE="$root/scripts/wine32" ;;
  *) echo "OPCHDA_ARCH must be x64 or x86, not $OPCHDA_ARCH" >&2; return 1 ;;
esac
export WINEPREFIX="$tree/wineprefix"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# The prefix is always made by the 64-bit loader, so that it is a 64-bit Windows.
WINE64="$root/scripts/wine64"
export PATH="/usr/lib/wine:$PATH"
bin="$tree/bin"

# Wine's helper processes inherit the first Wine process's output; keep them
# off any pipe a caller reads, or the caller waits until the server exits.
wine_start_server() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wineserver -p </dev/null >/dev/null 2>&1
  "$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
  # The RPC service and the desktop process start on first use, inheriting the
  # first user's output (a test's pipe, which ctest then waits on): start them
  # now, and wait until they run (a fixed sleep loses that race on a busy
  # machine, and a test process then starts a second desktop process).
  "$WINE" net start rpcss </dev/null >/dev/null 2>&1 || true
  if [ -f "$bin/wine_ready.exe" ]; then
    "$WINE" "$bin/wine_ready.exe" </dev/null >/dev/null 2>&1 || true
  else  # not built yet: nothing of ours will run before the next start
    "$WINE" explorer.exe /desktop </dev/null >/dev/null 2>&1 &
    sleep 1
  fi
}
wine_stop_server() { wineserver -k >/dev/null 2>&1 || true; }

# A Unix path as Wine sees it (drive Z: maps the root).
to_win() { local p; p=$(readlink -f "$1"); echo "Z:${p//\//\\}"; }

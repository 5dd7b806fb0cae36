#!/usr/bin/env bash
# The x86 package's round trip in a fresh 32-bit Wine prefix (WINEARCH=win32: a 32-bit Windows): an install
# that fails at its end leaves nothing behind; installed with the simulator into a folder of the user's
# choice, a script reads through the proxies from the installed local server and an example runs in
# process; removed, nothing of ours is left.
#   msi_x86_round_trip.sh <x86 package> <example.vbs> <prefix>
set -euo pipefail
msi=$1 example=$2
export WINEARCH=win32
# shellcheck source=msi_session.sh
source "$(dirname "$0")/msi_session.sh" "$3" wine32

new_prefix
# A failed install is rolled back: the registrations the custom actions wrote go with the files. (The
# writing action refuses a line it cannot read.)
cp "$msi" "$work/failing.msi"
for row in "CustomAction|Action, Type, Source, Target|'SetFail', 51, 'Fail', 'unreadable'" \
  "CustomAction|Action, Type, Source, Target|'Fail', 3073, 'SharedRegistrations', 'WriteSharedRegistrations'" \
  "InstallExecuteSequence|Action, Sequence|'SetFail', 1010" "InstallExecuteSequence|Action, Sequence|'Fail', 6500"; do
  IFS='|' read -r table columns values <<<"$row"
  msibuild "$work/failing.msi" -q "INSERT INTO $table ($columns) VALUES ($values)"
done
! msi_run /i "$work/failing.msi" ADDLOCAL=ALL || fail "a package that fails at its end installed"
same "$before" "$(registry)" "a failed install left registrations behind"
# A folder given on the command line is one that Windows Installer forgets after the install.
folder="$prefix/drive_c/OPC HDA"
msi_run /i "$msi" ADDLOCAL=ALL 'INSTALLDIR=C:\OPC HDA' || fail "msiexec /i exited with $rc"
installed "$folder"/{OPCHDAAuto.dll,OPCHDAProxy.dll,OPCHDAExport.exe,Simulator/HdaSimServer.exe}
client "$wine32" Sim.HdaHistorian.Local
expect_run 'Server name: Sim.HdaHistorian.*DONE$' "$wine32" cscript //nologo "$(to_win "$example")"
wine_stop_server && wine_start_server
msi_run /x "$msi" || fail "msiexec /x exited with $rc"
removed "$folder"
echo "MSI x86 round trip: installed, used and removed cleanly"

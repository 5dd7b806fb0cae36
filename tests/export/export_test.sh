#!/usr/bin/env bash
# OPCHDAExport.exe against the historian simulator, one case per run:
#   export_test.sh <case> <OPCHDAExport.exe> <work folder>
# Every case runs the program under Wine (WINEPREFIX set by the caller), then
# checks its exit code, its CSV on standard output and its standard error.
# The simulator's calibration signals are exact functions of time (Ramp,
# Counter and Sine a sample every 10 s, Step every 60 s), so the expected rows
# are known without reading the simulator another way.
set -uo pipefail
case_name=$1 exe=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
wine=${OPCHDA_WINE:-$here/../../scripts/wine64}
mkdir -p "$work"
out="$work/$case_name.csv" err="$work/$case_name.err"
cal=Plant/Lab/Calibration

fail() { echo "FAIL ($case_name): $*"; echo "--- stderr:"; cat "$err"; echo "--- csv (head):"; head -5 "$out"; exit 1; }

# Runs the program and checks its exit code; the CSV (CR LF lines) lands in $out without the CRs.
export_csv() {  # <expected exit code> <arguments...>
  local want=$1 status; shift
  "$wine" "$exe" "$@" </dev/null 2>"$err" | tr -d '\r' >"$out"
  status=${PIPESTATUS[0]}
  [ "$status" -eq "$want" ] || fail "exit code $status, expected $want"
}
# Rows of an item, without the header.
rows() { grep -c "^$1[,;]" "$out"; }
# Every time stamp of the item (as Unix seconds) `step` seconds after the one before: none lost, none twice.
expect_steps() {  # <item> <step> <count>
  local n
  n=$(rows "$1")
  [ "$n" -eq "$3" ] || fail "$1: $n rows, expected $3"
  grep "^$1," "$out" | cut -d, -f2 | date -u -f - +%s |
    awk -v step="$2" 'NR > 1 && $1 - last != step { print "gap or repeat after " last; bad = 1 }
                      { last = $1 } END { exit bad }' || fail "$1: time stamps not $2 s apart"
}

case "$case_name" in
  chunked)
    # Three items through the local server, 50 values a request: each answer
    # is cut and the next starts again at the cut's last time. The rows must
    # be those of one uncut read, byte for byte.
    args=(--server Sim.HdaHistorian.Local --start 2024-01-01T00:00:00Z --end 2024-01-01T01:00:00Z
          "$cal/Ramp" "$cal/Counter" "$cal/Sine")
    rm -f "$work/uncut.csv"
    export_csv 0 --out "Z:$work/uncut.csv" "${args[@]}"
    [ ! -s "$out" ] || fail "rows on standard output with --out"
    export_csv 0 --chunk 50 "${args[@]}"
    grep -q "3 items (0 failed), 1080 values in 2[0-9] requests" "$err" || fail "not read in chunks"
    tr -d '\r' <"$work/uncut.csv" | diff -u - "$out" >/dev/null || fail "chunked rows differ from one uncut read"
    for item in Ramp Counter Sine; do expect_steps "$cal/$item" 10 360; done
    head -1 "$out" | grep -qx "item,time,value,quality,quality_text,error,error_text" || fail "header"
    # Newest first when the start is the later time: the seams hold the same way.
    export_csv 0 --server Sim.HdaHistorian.Local --chunk 50 --start 2024-01-01T01:00:00Z --end 2024-01-01T00:00:00Z \
                 "$cal/Ramp"
    expect_steps "$cal/Ramp" -10 360
    ;;
  processed)
    # Count of Ramp's samples per minute: six, calculated; then 10800
    # one-second intervals, more than the simulator's 10000 a request.
    export_csv 0 --server Sim.HdaHistorian --start 2024-01-01T00:00:00Z --end 2024-01-01T01:00:00Z \
                 --aggregate count --interval 1M "$cal/Ramp"
    expect_steps "$cal/Ramp" 60 60
    [ "$(grep -c ",6,524480,Good | Calculated,," "$out")" -eq 60 ] || fail "counts of 6"
    export_csv 0 --server Sim.HdaHistorian --start 2024-01-01T00:00:00Z --end 2024-01-01T03:00:00Z \
                 --aggregate average --interval 1S "$cal/Ramp"
    grep -q "10800 values in 2 requests" "$err" || fail "not read in two requests"
    expect_steps "$cal/Ramp" 1 10800
    # Newest first, in windows of 4000 intervals from the later time.
    export_csv 0 --server Sim.HdaHistorian --start 2024-01-01T03:00:00Z --end 2024-01-01T00:00:00Z \
                 --aggregate average --interval 1S --chunk 4000 "$cal/Ramp"
    grep -q "10800 values in 3 requests" "$err" || fail "newest first not read in three requests"
    expect_steps "$cal/Ramp" -1 10800
    # The historian in process computes in the program's floating-point state (mingw's start-up
    # leaves the x87 at 64-bit precision), the local server on threads of its own: the same
    # sines and interpolations both ways, to the last digit.
    sine=(--start 2024-01-01T00:00:00Z --end 2024-01-01T00:10:00Z --aggregate interpolative --interval 7S "$cal/Sine")
    export_csv 0 --server Sim.HdaHistorian "${sine[@]}"
    cp "$out" "$work/sine.csv"
    export_csv 0 --server Sim.HdaHistorian.Local "${sine[@]}"
    cmp -s "$work/sine.csv" "$out" || fail "in process and local server differ"
    ;;
  kinds)
    # Values at given times: two on the command line, two in a file (a
    # byte-order mark, CR LF), three time stamps a request.
    printf '\xEF\xBB\xBF2024-01-01T00:01:00Z\r\n\r\n2024-01-01T01:00:00.5+01:00\r\n' >"$work/times.txt"
    export_csv 0 --server Sim.HdaHistorian --at 2024-01-01T00:00:05Z,2024-01-01T00:00:10Z \
                 --times-from "Z:$work/times.txt" --chunk 3 "$cal/Ramp"
    grep -q "4 values in 2 requests" "$err" || fail "at times: not two requests"
    diff - <(cut -d, -f2-5 "$out") <<<"time,value,quality,quality_text
2024-01-01T00:00:05.000Z,80.5,131264,Good | Interpolated
2024-01-01T00:00:10.000Z,81,262336,Good | Raw
2024-01-01T00:01:00.000Z,86,262336,Good | Raw
2024-01-01T00:00:00.500Z,80.05,131264,Good | Interpolated" >/dev/null || fail "values at times"
    # Attributes by name and number, one row a value; an unknown number fails alone.
    export_csv 3 --server Sim.HdaHistorian --attributes "data type, 11, 99" --start 2024-01-01T00:00Z "$cal/Ramp"
    diff - "$out" <<<"item,attribute_id,attribute,time,value,error,error_text
$cal/Ramp,1,Data Type,2024-01-01T00:00:00.000Z,5,,
$cal/Ramp,11,Normal Maximum,2024-01-01T00:00:00.000Z,1000,,
$cal/Ramp,99,,,,0xC004100C,OPC_E_INVALIDATTRID: The supplied attribute ID is not valid." >/dev/null || fail "attributes"
    export_csv 1 --server Sim.HdaHistorian --attributes "Colour" --start NOW "$cal/Ramp"
    grep -q "\-\-attributes Colour: the historian lists no such attribute" "$err" || fail "unknown attribute name"
    # The note the simulator's own tools left an hour ago.
    export_csv 0 --server Sim.HdaHistorian --kind annotations --start NOW-2H "$cal/Text"
    grep -q "^$cal/Text,[-0-9T:.]*Z,[-0-9T:.]*Z,Recalibrated,lab technician,,$" "$out" || fail "annotation"
    ;;
  excel)
    # German regional settings: semicolons and decimal commas.
    LC_ALL=de_DE.UTF-8 TZ=Europe/Berlin export_csv 0 --server Sim.HdaHistorian --format excel --chunk 7 \
      --start 2023-10-29T00:30:00Z --end 2023-10-29T01:30:10Z "$cal/Step" "$cal/Sine"
    head -1 "$out" | grep -q "item;time;time_utc;value;quality;quality_text;error;error_text$" || fail "header"
    grep -q "^$cal/Step;2023-10-29 02:30:00,000;2023-10-29 00:30:00,000;0;262336;Good | Raw;;$" "$out" || fail "first"
    grep -q "^$cal/Sine;2023-10-29 02:30:10,000;2023-10-29 00:30:10,000;51,04528463267" "$out" || fail "decimal comma"
    [ "$(rows "$cal/Step")" -eq 61 ] || fail "Step rows"
    ;;
  dst_local_times)
    # 29 October 2023 in Berlin: 02:00 to 02:59 local time happen twice. The
    # offset tells them apart; chunks of 7 continue inside the repeated hour.
    TZ=Europe/Berlin export_csv 0 --server Sim.HdaHistorian --local --chunk 7 \
      --start 2023-10-29T02:00:00+02:00 --end 2023-10-29T03:00:00+01:00 "$cal/Step"
    expect_steps "$cal/Step" 60 120
    grep -q "^$cal/Step,2023-10-29T02:30:00.000+01:00," "$out" || fail "second 02:30"  # the first: test_export
    ;;
  unknown_item)
    export_csv 3 --server Sim.HdaHistorian --start NOW-5M "$cal/Ramp" Plant/No/Such
    grep -q "^Plant/No/Such,,,,,0xC0040007,OPC_E_UNKNOWNITEMID: ." "$out" || fail "no failure row"
    [ "$(rows "$cal/Ramp")" -ge 29 ] || fail "Ramp not read"
    grep -q "2 items (1 failed)" "$err" || fail "summary"
    ;;
  no_historian)
    export_csv 2 --server No.Such.Historian --start NOW-1H "$cal/Ramp"
    grep -q "cannot connect to No.Such.Historian: 0x800401F3" "$err" || fail "no message"
    [ ! -s "$out" ] || fail "rows written"
    ;;
  refused_read)
    # A relative time the historian cannot parse: the request fails as a whole.
    export_csv 4 --server Sim.HdaHistorian --start BOGUS-1X "$cal/Ramp"
    grep -q "Sim.HdaHistorian refuses the read: 0x80070057" "$err" || fail "no message"
    ;;
  usage)
    export_csv 0 --help
    grep -q "^Usage: OPCHDAExport" "$out" || fail "help text"
    grep -q -- "--kind modified" "$out" || fail "help lists no kinds"
    export_csv 1 --server S --start NOW --bogus x A  # the lines refused: test_export
    grep -q "unknown option --bogus" "$err" || fail "a refused line not told"
    ;;
  *) echo "unknown case $case_name"; exit 2 ;;
esac
echo "export case $case_name passed"

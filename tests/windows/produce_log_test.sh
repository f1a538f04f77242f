#!/usr/bin/env bash
# `velkan produce` and `velkan log` end to end under wine, on a SQLite record:
# two emulated stations with feeders program three chips each, the record
# has the six rows, and log reads them back (summary and CSV).
#   produce_log_test.sh WINE_RUN velkan.exe HEX_FILE VERSION
set -euo pipefail
wine_run=$1 velkan=$2 hex=$3 version=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
run() { "$wine_run" "$velkan" "$@" </dev/null; }
failed=0
fail() { echo "FAIL: $*"; failed=1; }

out=$(run "--emulator=$(winpath "$work/emu")" --emulators 2 --emulator-feeder produce \
        "$(winpath "$hex")" --next auto --count 3 --log "$(winpath "$work/p.db")" 2>&1) \
  || fail "produce: $out"
[[ $out == *"== total: passed 6  failed 0  yield 100.0%"* ]] || fail "produce said: $out"
[[ -s $work/p.db ]] || fail "no record p.db"

out=$(run log "$(winpath "$work/p.db")" 2>&1) || fail "log: $out"
[[ $out == *"EMU0001"*"EMU0002"* ]] || fail "log names no stations: $out"
[[ $out == *"passed 3  failed 0  yield 100.0%"* ]] || fail "log said: $out"
csv=$(run log "$(winpath "$work/p.db")" --csv 2>&1) || fail "log --csv: $csv"
rows=$(tr -d '\r' <<<"$csv" | grep -c "^20.*,full-app.hex,.*,$version,\|,$version,full-app.hex," || true)
((rows == 6)) || fail "log --csv: $rows rows of full-app.hex, expected 6: $csv"
((failed == 0)) && echo "6 chips produced and logged under wine"
exit $failed

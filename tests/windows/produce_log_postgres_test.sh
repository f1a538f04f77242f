#!/usr/bin/env bash
# `velkan produce` and `velkan log` under wine on a PostgreSQL record: a
# server of the test's own on this machine (tests/production/pg_server.sh)
# reached over TCP on 127.0.0.1 (a Windows program has no way to its Unix
# socket), velkan.exe loading the libpq.dll beside it. Two emulated stations
# with feeders program three chips each with serial numbers from the
# database; the six rows are in the database with six different numbers, and
# log reads them back (summary and CSV). A server that cannot start skips
# the test (exit 77) with one line saying why.
#   produce_log_postgres_test.sh WINE_RUN velkan.exe HEX_FILE VERSION PG_SERVER_SH
set -euo pipefail
wine_run=$1 velkan=$2 hex=$3 version=$4 pg_server=$5
work=$(mktemp -d)
# The server's folder is its own: as root the server runs as nobody, who
# has no way into the test's folder.
pgdir=$(mktemp -d)
started=0
cleanup() {
  if ((started)); then sh "$pg_server" stop "$pgdir" || true; fi
  rm -rf "$work" "$pgdir"
}
trap cleanup EXIT
cd "$work"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
if ! why=$(sh "$pg_server" start "$pgdir" "$port" 2>&1); then
  echo "SKIP: no PostgreSQL server for the test: ${why%%$'\n'*}"
  exit 77
fi
started=1
uri="postgresql://velkan@127.0.0.1:$port/postgres"
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
psql() { "$bin/psql" -X -A -t -q -h "$pgdir" -p "$port" -U velkan -d postgres -c "$1" 2>&1; }

winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
# Every run bounded, so that the server is always stopped by this script.
run() { timeout 300 "$wine_run" "$velkan" "$@" </dev/null; }
failed=0
fail() { echo "FAIL: $*"; failed=1; }

out=$(run "--emulator=$(winpath "$work/emu")" --emulators 2 --emulator-feeder produce \
        "$(winpath "$hex")" --next auto --count 3 --serial-at 9FF0 --serial-start 00000100 \
        --log "$uri" 2>&1) || fail "produce: $out"
[[ $out == *"== total: passed 6  failed 0  yield 100.0%"* ]] || fail "produce said: $out"

# The rows, read by the server's own client: three passed chips a station,
# six different serial numbers, the last one 00000105.
stations=$(psql "SELECT station_serial || ':' || count(*) FROM chips WHERE result='pass'
                 AND hex_name='full-app.hex' AND tool_version='$version'
                 GROUP BY station_serial ORDER BY station_serial" \
           | tr '\n' ' ') || fail "psql: $stations"
[[ $stations == "EMU0001:3 EMU0002:3 " ]] || fail "rows per station: $stations"
serials=$(psql "SELECT count(DISTINCT chip_serial) || ' ' || max(chip_serial) FROM chips") \
  || fail "psql: $serials"
[[ $serials == "6 00000105" ]] || fail "serial numbers (distinct, largest): $serials"

out=$(run log "$uri" 2>&1) || fail "log: $out"
[[ $out == *"EMU0001"*"EMU0002"* ]] || fail "log names no stations: $out"
[[ $out == *"passed 3  failed 0  yield 100.0%"* ]] || fail "log said: $out"
[[ $out == *"total: passed 6  failed 0  yield 100.0%"* ]] || fail "log's total: $out"
csv=$(run log "$uri" --csv 2>&1) || fail "log --csv: $csv"
rows=$(tr -d '\r' <<<"$csv" | grep -c ",$version,full-app.hex,.*,0000010[0-5],pass," || true)
((rows == 6)) || fail "log --csv: $rows rows of full-app.hex, expected 6: $csv"
((failed == 0)) && echo "6 chips produced and logged in PostgreSQL (127.0.0.1:$port) under wine"
exit $failed

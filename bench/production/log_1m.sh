#!/usr/bin/env bash
# `velkan log` on a record of a million rows: wall time and peak memory of
# the counters, CSV and JSON-rows reports (they stream the rows).
# Usage: bench/production/log_1m.sh [path/to/velkan]   (default build/bin/velkan)
set -euo pipefail
cd "$(dirname "$0")/../.."
velkan=${1:-build/bin/velkan}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
db=$work/big.db
# A real record first (the tables as production makes them), then a million rows.
"$velkan" --emulator="$work/emu" --emulator-feeder produce examples/full-app.hex --next auto \
  --count 1 --log "$db" --quiet >/dev/null
python3 - "$db" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("""INSERT INTO chips SELECT time_utc, 'ST' || (n % 8), 'port' || (n % 8), tool_version,
  hex_name, hex_sha256, image_crc, fuse, printf('%08X', n), CASE WHEN n % 50 = 0 THEN 'mismatch'
  ELSE 'pass' END, run_result, detail, duration_ms, 'attempt-' || n
  FROM chips, (WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 1000000)
  SELECT n FROM c)""")
db.commit()
print("rows:", db.execute("SELECT count(*) FROM chips").fetchone()[0])
PY
ls -l "$db" | awk '{print "file:", $5, "bytes"}'
for args in "log $db" "log $db --csv" "--json log $db --rows"; do
  /usr/bin/time -f "velkan $args: %e s, peak %M KiB" "$velkan" $args >/dev/null
done

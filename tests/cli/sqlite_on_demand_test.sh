#!/usr/bin/env bash
# velkan loads SQLite only when a command opens a SQLite record: not linked,
# not loaded for `velkan script`, loaded by `velkan log`, and a clear error
# when the library is missing.
# Usage: sqlite_on_demand_test.sh VELKAN EXAMPLES_DIR
set -uo pipefail
velkan=$1 examples=$2
failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

needed=$(readelf -d "$velkan" | grep NEEDED)
[[ $needed != *sqlite* ]] || fail "velkan is linked with SQLite: $needed"

loaded=$(LD_DEBUG=files "$velkan" script "$examples/small.hex" 2>&1 >/dev/null | grep -c 'file=libsqlite3')
[[ $loaded == 0 ]] || fail "velkan script loaded SQLite"

# An empty file is an empty SQLite database: no table of chips in it.
touch "$dir/empty.db"
out=$(LD_DEBUG=files "$velkan" log "$dir/empty.db" 2>&1)
[[ $out == *"file=libsqlite3"* ]] || fail "velkan log did not load SQLite"
[[ $out == *"no table chips"* ]] || fail "velkan log on an empty database: $out"

out=$(VELKAN_SQLITE_LIBRARY="$dir/missing/libsqlite3.so.0" "$velkan" log "$dir/empty.db" 2>&1)
rc=$?
((rc != 0)) || fail "velkan log without SQLite succeeded"
[[ $out == *"SQLite is not available (package libsqlite3-0)"*"missing/libsqlite3.so.0"* ]] ||
  fail "velkan log without SQLite said: $out"

((failures == 0)) || exit 1
echo "SQLite: not linked, loaded on demand, missing library reported"

#!/usr/bin/env bash
# Runs a test program with a PostgreSQL server of its own on this machine,
# reached over TCP on 127.0.0.1 (the way for a Windows program under wine,
# which has no way to the server's Unix socket): the server's address goes
# to the program in VELKAN_TEST_PG_URI, and the server is stopped whatever
# the program did. A server that cannot start skips the test (exit 77) with
# one line saying why.
#   with_pg_server.sh PG_SERVER_SH PROGRAM [ARGUMENTS...]
set -euo pipefail
pg_server=$1
shift
# The server's folder is its own: as root the server runs as nobody.
pgdir=$(mktemp -d)
started=0
cleanup() {
  if ((started)); then sh "$pg_server" stop "$pgdir" || true; fi
  rm -rf "$pgdir"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
if ! why=$(sh "$pg_server" start "$pgdir" "$port" 2>&1); then
  echo "SKIP: no PostgreSQL server for the test: ${why%%$'\n'*}"
  exit 77
fi
started=1
export VELKAN_TEST_PG_URI="postgresql://velkan@127.0.0.1:$port/postgres"
# Bounded, so that the server is always stopped here.
set +e
out=$(timeout 600 "$@" </dev/null 2>&1)
rc=$?
set -e
printf '%s\n' "$out"
# A test that skipped did not use the server: that is a failure here.
if ((rc == 0)) && grep -q '^\[  SKIPPED \]' <<<"$out"; then
  echo "FAIL: the test skipped although the server was up"
  exit 1
fi
exit "$rc"

#!/bin/sh
# A PostgreSQL server of the test's own: `pg_server.sh start DIR` initialises
# a cluster in DIR/data and starts it on a Unix socket in DIR (no TCP), user
# "velkan" with trust; `pg_server.sh stop DIR` stops it. `pg_server.sh start
# DIR PORT` listens on 127.0.0.1:PORT too (and the socket has that port's
# name), for clients without Unix sockets (Windows programs under wine).
# PostgreSQL refuses to run as root: as root the server runs as `nobody`.
# Exit 77 with one line when the server is not installed.
set -u
cmd=$1
dir=$2
port=${3:-}
listen="-c listen_addresses="
if [ -n "$port" ]; then listen="-c listen_addresses=127.0.0.1 -p $port"; fi
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ] || [ ! -x "$bin/pg_ctl" ]; then
  echo "PostgreSQL server not installed (no /usr/lib/postgresql/*/bin/initdb)"
  exit 77
fi
as=""
if [ "$(id -u)" = 0 ]; then
  as="setpriv --reuid=nobody --regid=nogroup --clear-groups --"
  chown nobody:nogroup "$dir"
fi
case "$cmd" in
  start)
    $as "$bin/initdb" -D "$dir/data" -U velkan -A trust -E UTF8 --no-sync >"$dir/initdb.log" 2>&1 ||
      { echo "initdb failed: $(tail -n 1 "$dir/initdb.log")"; exit 1; }
    $as "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
      -o "-k $dir $listen -c fsync=off" start >/dev/null 2>&1 ||
      { echo "the server did not start: $(tail -n 1 "$dir/server.log")"; exit 1; }
    ;;
  stop)
    $as "$bin/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null 2>&1
    ;;
esac

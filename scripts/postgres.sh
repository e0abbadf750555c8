#!/bin/sh
# Starts and stops a PostgreSQL 15 server of our own for the log service:
# Debian's binaries with a data folder in STATE_DIR, reached only through a
# Unix socket in STATE_DIR (no TCP port, no password; the folder's owner
# and root alone can reach it). The system's cluster and service are never
# used. initdb refuses root, so as root the server runs as `postgres`.
#   postgres.sh start STATE_DIR   prints the connection string (libpq's form)
#   postgres.sh stop STATE_DIR
set -eu
BIN=/usr/lib/postgresql/15/bin
command="${1:-}"
state="${2:-}"
[ -n "$state" ] || { echo "usage: $0 start|stop STATE_DIR" >&2; exit 2; }

as_owner() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

stop() {
  [ -f "$state/data/postmaster.pid" ] || return 0
  as_owner "$BIN/pg_ctl" -D "$state/data" -m fast -w -t 30 stop >/dev/null 2>&1 || true
}

case "$command" in
  start)
    [ -x "$BIN/initdb" ] || {
      echo "PostgreSQL 15 is not installed (scripts/install-deps.sh installs it)" >&2; exit 1; }
    mkdir -p "$state"
    state="$(cd "$state" && pwd)"
    state_dir="$state"
    # Its server log and socket are for the service alone (initdb keeps the
    # data folder to its owner by itself).
    chmod 700 "$state"
    if [ "$(id -u)" = 0 ] && ! runuser -u postgres -- test -x "$(dirname "$state")"; then
      # A folder above is closed to the server's user (a checkout in a
      # private folder): the cluster goes to a folder of its own that it can
      # reach, named in STATE_DIR/cluster for the next start and the stop.
      cluster="$(cat "$state/cluster" 2>/dev/null || true)"
      if [ -z "$cluster" ] || [ ! -d "$cluster" ] || [ "$(stat -c %U "$cluster")" != postgres ]; then
        cluster="$(mktemp -d /tmp/veltra-postgres.XXXXXX)"
        echo "$cluster" >"$state/cluster"
      fi
      state="$cluster"
    fi
    if [ "$(id -u)" = 0 ]; then
      chown postgres:postgres "$state"
      runuser -u postgres -- test -x "$state" || {
        echo "postgres.sh: the user postgres cannot reach $state (a folder above it is closed)" >&2
        exit 1; }
    fi
    cd "$state"
    stop
    if [ ! -f "$state/data/PG_VERSION" ]; then
      as_owner "$BIN/initdb" -D "$state/data" -U veltra -A trust -E UTF8 --no-locale \
        >"$state/initdb.log" 2>&1 || { cat "$state/initdb.log" >&2; exit 1; }
    fi
    as_owner "$BIN/pg_ctl" -D "$state/data" -l "$state/server.log" -w -t 60 \
      -o "-c listen_addresses='' -k $state -c max_connections=200" start >/dev/null ||
      { cat "$state/server.log" >&2; exit 1; }
    if ! as_owner "$BIN/psql" -h "$state" -U veltra -d postgres -tAc \
        "SELECT 1 FROM pg_database WHERE datname = 'veltra_logs'" | grep -q 1; then
      as_owner "$BIN/createdb" -h "$state" -U veltra veltra_logs
    fi
    # Clients that know STATE_DIR alone find the socket there too.
    if [ "$state" != "$state_dir" ]; then
      ln -sf "$state/.s.PGSQL.5432" "$state_dir/.s.PGSQL.5432"
    fi
    echo "host=$state user=veltra dbname=veltra_logs"
    ;;
  stop)
    [ ! -f "$state/cluster" ] || state="$(cat "$state/cluster")"
    [ ! -d "$state" ] || { state="$(cd "$state" && pwd)"; stop; }
    ;;
  *)
    echo "usage: $0 start|stop STATE_DIR" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# Starts or stops the servers a release is downloaded from on this machine:
# Azurite (the blob storage emulator, HTTPS on port 443 of
# devstoreaccount1.blob<slot>.s<subnet>.veltra.test), unless no --azurite is
# given (a release served by nginx instead, which scripts/nginx.sh starts),
# and the maker's log service (tools/logservice, HTTPS on port 8443 of
# log<slot>.s<subnet>.veltra.test).
# They run outside Wine, with the test CA's certificate
# (scripts/setup-test-network.sh), and keep everything in STATE:
#   STATE/azurite/   the emulator's storage (emptied at each start)
#   STATE/logs/      one JSON file per log upload (emptied at each start)
#   STATE/private/   the emulator's debug log: it holds every request's
#                    address with its signature, so it is never printed
#
#   services.sh install AZURITE_DIR
#   services.sh start STATE --subnet S --slot N [--azurite AZURITE_DIR]
#   services.sh stop STATE
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CA_DIR="${VELTRA_TEST_CA_DIR:-/var/lib/veltra-test-ca}"
LIFETIME=3600

# Azurite from npm, every package pinned by scripts/azurite/package-lock.json,
# into a folder of the build; again only when the lock file changed.
install_azurite() {
  local dir="$1"
  if [ -x "$dir/node_modules/.bin/azurite-blob" ] &&
     cmp -s "$ROOT/scripts/azurite/package-lock.json" "$dir/package-lock.json"; then
    return 0
  fi
  echo "Installing Azurite into $dir"
  mkdir -p "$dir"
  cp "$ROOT/scripts/azurite/package.json" "$ROOT/scripts/azurite/package-lock.json" "$dir/"
  (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
}

wait_for_port() {
  local address="$1" port="$2" pid="$3"
  for _ in $(seq 600); do
    kill -0 "$pid" 2>/dev/null || return 1
    python3 -c "import socket,sys; socket.create_connection(('$address', $port), 1).close()" \
      2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# pidfile_write and pidfile_stop: a stale pid file never kills another process.
. "$ROOT/scripts/pidfile.sh"

start() {
  local state="$1"; shift
  local subnet="" slot="" azurite=""
  while [ $# -gt 0 ]; do
    case "$1" in
      --subnet) subnet="$2"; shift 2 ;;
      --slot) slot="$2"; shift 2 ;;
      --azurite) azurite="$2"; shift 2 ;;
      *) echo "services.sh: unknown option $1" >&2; exit 2 ;;
    esac
  done
  [ -n "$subnet" ] && [ -n "$slot" ] || {
    echo "usage: services.sh start STATE --subnet S --slot N [--azurite DIR]" >&2; exit 2; }
  stop "$state"
  [ -z "$azurite" ] || install_azurite "$azurite"
  # Every start is a fresh emulator and an empty log folder.
  rm -rf "$state/azurite" "$state/logs" "$state/private"
  mkdir -p "$state/azurite" "$state/logs" "$state/private"
  chmod 700 "$state/private"
  local blob_address="127.0.$subnet.$((50 + slot))"
  local log_address="127.0.$subnet.$((100 + slot))"

  # --silent keeps the access log (which prints every signature) off; the
  # debug log goes where nothing shows it. timeout ends a server that an
  # interrupted run left behind.
  if [ -n "$azurite" ]; then
    timeout "$LIFETIME" "$azurite/node_modules/.bin/azurite-blob" \
      --blobHost "$blob_address" --blobPort 443 \
      --cert "$CA_DIR/server.pem" --key "$CA_DIR/server.key" \
      --location "$state/azurite" --debug "$state/private/azurite-debug.log" \
      --disableTelemetry --silent >"$state/azurite.out" 2>&1 &
    pidfile_write "$state/azurite.pid" $!
  fi
  python3 "$ROOT/tools/logservice/logservice.py" --address "$log_address" --port 8443 \
    --cert "$CA_DIR/server.pem" --key "$CA_DIR/server.key" --store "$state/logs" \
    --lifetime "$LIFETIME" >"$state/logservice.out" 2>&1 &
  pidfile_write "$state/logservice.pid" $!

  if [ -n "$azurite" ] && ! wait_for_port "$blob_address" 443 "$(cut -d' ' -f1 "$state/azurite.pid")"; then
    echo "services.sh: Azurite did not start on $blob_address:443:" >&2
    cat "$state/azurite.out" >&2
    stop "$state"; exit 1
  fi
  if ! wait_for_port "$log_address" 8443 "$(cut -d' ' -f1 "$state/logservice.pid")"; then
    echo "services.sh: the log service did not start on $log_address:8443:" >&2
    cat "$state/logservice.out" >&2
    stop "$state"; exit 1
  fi
}

stop() {
  local state="$1"
  pidfile_stop "$state/azurite.pid" azurite-blob
  pidfile_stop "$state/logservice.pid" logservice
}

case "${1:-}" in
  install) install_azurite "$2" ;;
  start) shift; start "$@" ;;
  stop) stop "$2" ;;
  *) echo "usage: services.sh install DIR | start STATE ... | stop STATE" >&2; exit 2 ;;
esac

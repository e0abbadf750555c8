#!/usr/bin/env bash
# Starts or stops the servers a release is downloaded from on this machine:
# Azurite (the blob storage emulator, HTTPS on port 443 of
# devstoreaccount1.blob<slot>.s<subnet>.veltra.test), unless no --azurite is
# given (a release served by nginx instead, which scripts/nginx.sh starts),
# and the maker's log service (tools/logservice, plain HTTP on port 9080 of
# log<slot>.s<subnet>.veltra.test) behind an nginx of its own that takes
# HTTPS on port 8443 of that name (scripts/nginx.sh).
# They run outside Wine, with the test CA's certificate
# (scripts/setup-test-network.sh), and keep everything in STATE:
#   STATE/azurite/   the emulator's storage (emptied at each start)
#   STATE/logs/      the log service's SQLite database (emptied at each start)
#   STATE/lognginx/  the log service's nginx: configuration and logs
#   STATE/postgres/  with --postgres: a PostgreSQL server of the run's own
#   STATE/private/   the emulator's debug log (it holds every request's
#                    address with its signature) and the dashboard's
#                    secret, so nothing here is ever printed
#
#   services.sh install AZURITE_DIR
#   services.sh start STATE --subnet S --slot N [--azurite AZURITE_DIR]
#                     [--logservice BINARY] [--postgres] [--log-rate PER_SECOND]
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
  local subnet="" slot="" azurite="" postgres="" rate=10
  local logservice="$ROOT/build/native/logservice/logservice"
  while [ $# -gt 0 ]; do
    case "$1" in
      --subnet) subnet="$2"; shift 2 ;;
      --slot) slot="$2"; shift 2 ;;
      --azurite) azurite="$2"; shift 2 ;;
      --logservice) logservice="$2"; shift 2 ;;
      --postgres) postgres=yes; shift ;;
      --log-rate) rate="$2"; shift 2 ;;
      *) echo "services.sh: unknown option $1" >&2; exit 2 ;;
    esac
  done
  [ -n "$subnet" ] && [ -n "$slot" ] || {
    echo "usage: services.sh start STATE --subnet S --slot N [--azurite DIR]" >&2; exit 2; }
  stop "$state"
  [ -z "$azurite" ] || install_azurite "$azurite"
  [ -x "$logservice" ] || { echo "services.sh: no log service at $logservice" >&2; exit 1; }
  # Every start is a fresh emulator and an empty log database.
  rm -rf "$state/azurite" "$state/logs" "$state/private" "$state/lognginx"
  mkdir -p "$state/azurite" "$state/logs" "$state/private" "$state/lognginx"
  # The logs hold what users' machines said: for the service's eyes only.
  chmod 700 "$state/private" "$state/logs"
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
  local database="sqlite:$state/logs/logs.db" workers=4
  if [ -n "$postgres" ]; then
    database="postgresql:$("$ROOT/scripts/postgres.sh" start "$state/postgres")"
    # Each upload waits for the server's commit: more of them in flight.
    workers=16
  fi
  # The dashboard's secret, made for this start; only its file names it.
  (umask 077 && head -c 24 /dev/urandom | base64 | tr '+/' '-_' >"$state/private/dashboard-secret")
  "$logservice" --database "$database" --listen "$log_address:9080" --workers "$workers" \
    --secret-file "$state/private/dashboard-secret" \
    --lifetime "$LIFETIME" >"$state/logservice.out" 2>&1 &
  pidfile_write "$state/logservice.pid" $!
  write_log_nginx "$state/lognginx/logservice.conf" "$log_address" \
    "log$slot.s$subnet.veltra.test" "$rate"

  if [ -n "$azurite" ] && ! wait_for_port "$blob_address" 443 "$(cut -d' ' -f1 "$state/azurite.pid")"; then
    echo "services.sh: Azurite did not start on $blob_address:443:" >&2
    cat "$state/azurite.out" >&2
    stop "$state"; exit 1
  fi
  if ! wait_for_port "$log_address" 9080 "$(cut -d' ' -f1 "$state/logservice.pid")"; then
    echo "services.sh: the log service did not start on $log_address:9080:" >&2
    cat "$state/logservice.out" >&2
    stop "$state"; exit 1
  fi
  if ! "$ROOT/scripts/nginx.sh" start "$state/lognginx" "$state/lognginx/logservice.conf"; then
    echo "services.sh: the log service's nginx did not start on $log_address:8443" >&2
    stop "$state"; exit 1
  fi
}

# nginx in front of the log service: TLS, the size of a log, a rate and a
# number of connections per client address, and timeouts that end slow
# clients. No one address can take the slots every client shares: beyond
# its few connections it is refused at once, and an upload's body streams
# on to the service, which ends any request not whole 10 s after its first
# byte, however slowly it trickles (nginx's own body timeout is per read).
write_log_nginx() {
  local file="$1" address="$2" name="$3" rate="$4"
  cat >"$file" <<EOF
limit_req_zone \$binary_remote_addr zone=veltra_logs:1m rate=${rate}r/s;
limit_conn_zone \$binary_remote_addr zone=veltra_log_connections:1m;
upstream veltra_logservice {
    server $address:9080;
    keepalive 32;
    # Shorter than the service's 5 s: a POST on a connection the service
    # has just closed would fail, and nginx does not send a POST again.
    keepalive_timeout 4s;
}
server {
    listen $address:8443 ssl;
    server_name $name;
    ssl_certificate $CA_DIR/server.pem;
    ssl_certificate_key $CA_DIR/server.key;
    client_max_body_size 1m;
    client_body_buffer_size 1m;
    client_header_timeout 10s;
    client_body_timeout 10s;
    send_timeout 10s;
    keepalive_timeout 15s;
    proxy_http_version 1.1;
    proxy_set_header Connection "";
    proxy_set_header Host \$host;
    proxy_set_header X-Forwarded-For \$remote_addr;
    proxy_read_timeout 30s;
    limit_conn veltra_log_connections 16;
    limit_conn_status 429;
    location = /Veltra/DownloadManager8.ashx {
        limit_req zone=veltra_logs burst=$((rate * 10)) nodelay;
        limit_req_status 429;
        proxy_request_buffering off;
        proxy_pass http://veltra_logservice;
    }
    location / {
        proxy_pass http://veltra_logservice;
    }
}
EOF
}

stop() {
  local state="$1"
  pidfile_stop "$state/azurite.pid" azurite-blob
  [ ! -d "$state/lognginx" ] || "$ROOT/scripts/nginx.sh" stop "$state/lognginx"
  pidfile_stop "$state/logservice.pid" "$state/private/dashboard-secret"
  [ ! -d "$state/postgres" ] || "$ROOT/scripts/postgres.sh" stop "$state/postgres"
}

case "${1:-}" in
  install) install_azurite "$2" ;;
  start) shift; start "$@" ;;
  stop) stop "$2" ;;
  *) echo "usage: services.sh install DIR | start STATE ... | stop STATE" >&2; exit 2 ;;
esac

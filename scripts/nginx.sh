#!/bin/sh
# Starts and stops an nginx of our own, outside Wine, serving the server
# blocks that `publisher nginx-conf` writes. Everything it keeps (its
# configuration, pid, logs and temporary files) lies in STATE_DIR; the
# system's nginx configuration and service are never used.
#   nginx.sh start STATE_DIR SERVER_BLOCK...
#   nginx.sh stop STATE_DIR
# The access log names the path only, never the query: that holds the
# signature. timing.log adds when each request ended and how long it took,
# to the millisecond, for the benchmarks.
set -eu
command="${1:-}"
state="${2:-}"
[ -n "$state" ] || { echo "usage: $0 start STATE_DIR SERVER_BLOCK... | stop STATE_DIR" >&2; exit 2; }
shift 2

# The folder by its canonical path, which the master's command line holds:
# "dir/", "dir//" and a link to it name the same nginx.
canonical() {
  (cd "$1" 2>/dev/null && pwd -P)
}

# pidfile_pid: a pid that names another process now is never signalled.
. "$(dirname "$0")/pidfile.sh"

stop() {
  state="$(canonical "$state")" || return 0
  [ -f "$state/nginx.pid" ] || return 0
  # Only ever our own master, by its command line and, from the start's
  # record beside nginx's own pid file, its start time: the pid may have
  # been reused since, even by a process with the same command line.
  record="$state/nginx.pid"
  [ ! -f "$state/nginx.started" ] || record="$state/nginx.started"
  if pid="$(pidfile_pid "$record" "-c $state/nginx.conf")" &&
     [ "$pid" = "$(cat "$state/nginx.pid")" ]; then
    kill -QUIT "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do
      [ -d "/proc/$pid" ] || break
      sleep 0.1
    done
    kill -TERM "$pid" 2>/dev/null || true
  fi
  rm -f "$state/nginx.pid" "$state/nginx.started"
}

case "$command" in
  start)
    command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || {
      echo "nginx is not installed (scripts/install-deps.sh installs it)" >&2
      exit 1
    }
    [ $# -gt 0 ] || { echo "$0: no server block given" >&2; exit 2; }
    mkdir -p "$state/tmp"
    state="$(canonical "$state")"
    # Paths go into the configuration quoted: a blank is fine, a quote, a
    # backslash or a "$" (a variable to nginx) is not.
    case "$state" in *[\"\\\$]*)
      echo "$0: the state folder's path holds a quote, backslash or \$: $state" >&2; exit 2 ;;
    esac
    stop
    includes=""
    for block in "$@"; do
      includes="$includes    include \"$(canonical "$(dirname "$block")")/$(basename "$block")\";
"
    done
    # The workers, which talk to the network, never run as root: as the
    # user Debian's nginx package makes, else nobody. They must reach every
    # folder served; a start where they cannot (a folder of mktemp's, say)
    # is refused, naming the folder that shuts them out.
    user="$(id -un)"
    if [ "$(id -u)" -eq 0 ]; then
      worker=www-data
      id "$worker" >/dev/null 2>&1 || worker=nobody
      user="$worker $(id -gn "$worker")"
      roots="$(sed -n 's/^ *root  *"\{0,1\}\([^";]*\)"\{0,1\};.*/\1/p' "$@")"
      as_worker() {
        setpriv --reuid "$worker" --regid "$worker" --clear-groups "$@"
      }
      while IFS= read -r root; do
        [ -n "$root" ] || continue
        as_worker test -r "$root/." -a -x "$root/." && continue
        closed="$root"
        walked=""
        rest="${root#/}"
        while [ -n "$rest" ]; do
          walked="$walked/${rest%%/*}"
          case "$rest" in */*) rest="${rest#*/}" ;; *) rest="" ;; esac
          if ! as_worker test -x "$walked/."; then closed="$walked"; break; fi
        done
        echo "$0: nginx's workers run as $worker, who cannot read $root ($closed is closed" \
          "to others). Serve a folder others may read: chmod o+x each folder above it and" \
          "o+rx the folder itself (chmod -R o+rX $root), or publish into another folder." \
          "nginx is not started: its workers never run as root" >&2
        exit 1
      done <<ROOTS
$roots
ROOTS
    fi
    cat >"$state/nginx.conf" <<EOF
# Written by scripts/nginx.sh for this run only.
user $user;
worker_processes 1;
# A proxied request takes two connections; many clients at once, slow or
# not, must each find one.
worker_rlimit_nofile 10000;
pid "$state/nginx.pid";
error_log "$state/error.log";
events {
    worker_connections 4096;
}
http {
    log_format veltra '\$remote_addr [\$time_local] "\$request_method \$uri" \$status \$body_bytes_sent \$connection';
    log_format veltra_timing '\$msec \$request_time \$request_method \$status \$body_bytes_sent \$uri';
    access_log "$state/access.log" veltra;
    access_log "$state/timing.log" veltra_timing;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    client_body_temp_path "$state/tmp/body";
    proxy_temp_path "$state/tmp/proxy";
    fastcgi_temp_path "$state/tmp/fastcgi";
    uwsgi_temp_path "$state/tmp/uwsgi";
    scgi_temp_path "$state/tmp/scgi";
$includes}
EOF
    nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"
    "$nginx_bin" -p "$state/" -e "$state/error.log" -c "$state/nginx.conf" -t -q
    "$nginx_bin" -p "$state/" -e "$state/error.log" -c "$state/nginx.conf"
    for _ in $(seq 1 50); do
      if [ -s "$state/nginx.pid" ]; then
        pidfile_write "$state/nginx.started" "$(cat "$state/nginx.pid")"
        exit 0
      fi
      sleep 0.1
    done
    echo "nginx did not start:" >&2
    cat "$state/error.log" >&2
    exit 1
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: $0 start STATE_DIR SERVER_BLOCK... | stop STATE_DIR" >&2
    exit 2
    ;;
esac

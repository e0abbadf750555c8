#!/bin/sh
# Runs Debian's squid as a proxy of the tests' own, outside Wine: cache-less,
# with its configuration, logs and pid in STATE_DIR, never the system's
# service.
#   squid.sh start STATE_DIR ADDRESS PORT [USER]   with USER, basic sign-in
#                                                  with the password read
#                                                  from standard input
#   squid.sh stop STATE_DIR
# With DENY_HOST in the environment, squid refuses every tunnel to that host
# with 403 and its own page, as a company's filter does.
# The access log (STATE_DIR/access.log) names the signed-in user of each
# request.
set -eu
command="$1"
link="$2"
state="$2"
# STATE_DIR may stand for a folder of its own (see below).
[ ! -L "$link" ] || state="$(readlink "$link")"

stop() {
  [ -f "$state/squid.pid" ] || return 0
  pid="$(cat "$state/squid.pid")"
  # Only ever our own squid: the pid may have been reused since.
  grep -q "$state/squid.conf" "/proc/$pid/cmdline" 2>/dev/null || { rm -f "$state/squid.pid"; return 0; }
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
  rm -f "$state/squid.pid"
}

case "$command" in
  start)
    address="$3"
    port="$4"
    user="${5:-}"
    stop
    rm -rf "$state" "$link"
    state="$link"
    mkdir -p "$state"
    # As root, squid works as the user "proxy", which must write its logs.
    # Where a folder above is closed to it (a checkout in a private folder),
    # they go to a folder of its own that STATE_DIR links to.
    if [ "$(id -u)" = 0 ] && ! runuser -u proxy -- test -x "$state"; then
      rmdir "$state"
      state="$(mktemp -d /tmp/veltra-squid.XXXXXX)"
      ln -s "$state" "$link"
    fi
    access="http_access allow all"
    deny=""
    if [ -n "${DENY_HOST:-}" ]; then
      deny="acl denied dstdomain $DENY_HOST
http_access deny denied"
    fi
    if [ -n "$user" ]; then
      htpasswd -i -c "$state/passwd" "$user" 2>/dev/null
      access="auth_param basic program /usr/lib/squid/basic_ncsa_auth $state/passwd
auth_param basic realm Veltra test proxy
acl signed_in proxy_auth REQUIRED
http_access allow signed_in
http_access deny all"
    fi
    cat >"$state/squid.conf" <<CONF
http_port $address:$port
pid_filename $state/squid.pid
access_log stdio:$state/access.log
cache_log $state/cache.log
cache_store_log none
cache deny all
cache_mem 0 MB
coredump_dir $state
netdb_filename none
shutdown_lifetime 0 seconds
acl to_https port 443 8443
acl CONNECT method CONNECT
http_access deny CONNECT !to_https
$deny
$access
CONF
    if [ "$(id -u)" = 0 ]; then chown -R proxy "$state"; fi
    setsid squid -f "$state/squid.conf" -N >"$state/squid.out" 2>&1 </dev/null &
    for _ in $(seq 1 100); do
      if grep -q "Accepting HTTP Socket connections" "$state/cache.log" 2>/dev/null; then
        exit 0
      fi
      sleep 0.1
    done
    echo "squid did not start:" >&2
    cat "$state/squid.out" "$state/cache.log" >&2 2>/dev/null || true
    exit 1
    ;;
  stop)
    stop
    ;;
esac

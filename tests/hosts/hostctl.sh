#!/bin/sh
# Starts and stops one set of test servers for CTest's fixtures, outside Wine.
#   hostctl.sh start STATE_DIR [testhosts.py options...]
#   hostctl.sh stop STATE_DIR
# STATE_DIR holds the pid, the server's output and the folder it serves.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
command="$1"
state="$2"
shift 2

# Alive and not merely a zombie waiting for whoever adopted it to reap it.
running() {
  state_line="$(grep '^State:' "/proc/$1/status" 2>/dev/null)" || return 1
  case "$state_line" in *Z*) return 1 ;; esac
}

stop() {
  [ -f "$state/pid" ] || return 0
  pid="$(cat "$state/pid")"
  rm -f "$state/pid"
  # Only ever our own server: the pid may have been reused since.
  grep -q testhosts.py "/proc/$pid/cmdline" 2>/dev/null || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 20); do
    running "$pid" || return 0
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
}

case "$command" in
  start)
    stop
    mkdir -p "$state/root"
    setsid python3 "$here/testhosts.py" --root "$state/root" "$@" >"$state/server.log" 2>&1 </dev/null &
    echo $! >"$state/pid"
    for _ in $(seq 1 100); do
      if grep -q '^ready$' "$state/server.log"; then
        exit 0
      fi
      if ! running "$(cat "$state/pid")"; then
        break
      fi
      sleep 0.1
    done
    echo "The test servers did not start:" >&2
    cat "$state/server.log" >&2
    stop
    exit 1
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: $0 start|stop STATE_DIR [options]" >&2
    exit 2
    ;;
esac

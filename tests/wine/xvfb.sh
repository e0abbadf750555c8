#!/bin/sh
# Starts or stops the virtual X server that the Wine programs of a test run
# draw on. It runs outside Wine; its display number goes to a file that
# wine-run.sh reads. Usage: xvfb.sh start|stop STATE_DIR WINE_PREFIX
set -eu
# pidfile_write and pidfile_stop: a stale pid file never kills another process.
. "$(cd "$(dirname "$0")/../.." && pwd)/scripts/pidfile.sh"
state="$2"
prefix="$3"
pidfile="$state/xvfb.pid"
displayfile="$state/xvfb.display"

stop() {
  # The prefix's wineserver holds a desktop on this display: end it first,
  # so that the next run does not inherit a desktop whose display is gone.
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  pidfile_stop "$pidfile" Xvfb
  rm -f "$displayfile"
}

case "$1" in
  start)
    mkdir -p "$state"
    stop
    # -displayfd picks a free display, so several builds may test at once.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
    pidfile_write "$pidfile" $!
    for _ in $(seq 100); do
      [ -s "$displayfile" ] && exit 0
      sleep 0.1
    done
    echo "Xvfb did not start" >&2
    stop
    exit 1
    ;;
  stop)
    stop
    ;;
esac

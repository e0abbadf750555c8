#!/usr/bin/env bash
# The main job: publishes a release, serves it from the blob storage
# emulator on this machine (or from an nginx of the run's own, the maker's
# own host) and downloads it with the program under Wine, end to end. As
# root on Debian 12; installs what is missing.
#
#   scripts/run.sh                  a sample release of about 100 MB
#   scripts/run.sh --release DIR    the files of DIR (one of them the setup .exe)
#       [--name Veltra_R1] [--subdir veltra-r1] [--product-code R1]
#   scripts/run.sh --host nginx     served by nginx with secure_link
#                                   signatures instead of the emulator
#   scripts/run.sh --hosts azurite,nginx  served by both at once: the first
#                                   is the program's host, the second its
#                                   mirror (VELTRA_MIRRORS); one verify
#                                   checks both before the program runs
#       [--congestion cubic|bbr]    the server's TCP congestion control
#   --keep-services                 leaves the servers up afterwards (an hour at
#                                   most), to look at the log dashboard; a
#                                   picture of it is saved with the screenshots
#                                   either way; scripts/services.sh stop
#                                   build/run/services stops them
#
# Everything goes to build/run/ (its own build tree, Wine prefix, servers'
# state and output); the summary at the end says where. With DISPLAY set the
# program shows on that display; otherwise it runs on a virtual one and its
# dialog is photographed as soon as it shows, then every two seconds.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RUN_DIR="${VELTRA_RUN_DIR:-$ROOT/build/run}"
# Test addresses of their own (slot 6), so that a run never meets the
# servers of a test run, which take slots 1 to 5.
SUBNET="${VELTRA_RUN_SUBNET:-10}"
SLOT=6
STATE="$RUN_DIR/services"
BUILD="$RUN_DIR/build"
args=("$@")
display_args=()
served_by=azurite
keep_services=""
for ((i = 0; i < $#; i++)); do
  if [ "${args[$i]}" = "--host" ] || [ "${args[$i]}" = "--hosts" ]; then
    served_by="${args[$((i + 1))]:-}"
  fi
  if [ "${args[$i]}" = "--keep-services" ]; then keep_services=yes; fi
done
case "$served_by" in
  azurite|nginx|azurite,nginx|nginx,azurite) ;;
  *) echo "run.sh: --host is azurite or nginx; --hosts azurite,nginx or nginx,azurite" >&2
     exit 2 ;;
esac

"$ROOT/scripts/install-deps.sh"
"$ROOT/scripts/setup-test-network.sh"

stop_all() {
  if [ "${1:-}" != keep ] || [ -z "$keep_services" ]; then
    "$ROOT/scripts/services.sh" stop "$STATE" || true
    "$ROOT/scripts/nginx.sh" stop "$STATE/nginx" || true
  fi
  # Ends the run's wineserver (and the setup's window with it) and the
  # virtual display, if any.
  "$ROOT/tests/wine/xvfb.sh" stop "$BUILD/xvfb" "$BUILD/wineprefix" || true
}
trap 'stop_all keep' EXIT
trap 'echo "Interrupted" >&2; exit 130' INT TERM

# The program's host is the first named.
host="devstoreaccount1.blob$SLOT.s$SUBNET.veltra.test"
[ "${served_by%%,*}" = azurite ] || host="host$SLOT.s$SUBNET.veltra.test"
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRA_TEST_SUBNET="$SUBNET" \
    -DVELTRA_HOST_NAME="$host" -DVELTRA_DEFAULT_HOST="$host" >/dev/null
fi
echo "== Building the publisher, the sample setup and the screenshot helper"
cmake --build "$BUILD" --parallel "$(nproc)" --target native_tools samplesetup apphelper >/dev/null

stop_all
azurite_args=()
[ "$served_by" = nginx ] || azurite_args=(--azurite "$ROOT/build/azurite")
"$ROOT/scripts/services.sh" start "$STATE" --subnet "$SUBNET" --slot "$SLOT" \
  --logservice "$BUILD/native/logservice/logservice" "${azurite_args[@]}"
if [ -n "${DISPLAY:-}" ]; then
  display_args=(--display)
else
  "$ROOT/tests/wine/xvfb.sh" start "$BUILD/xvfb" "$BUILD/wineprefix"
fi
"$BUILD/wine-run.sh" --init

python3 "$ROOT/scripts/mainjob.py" run --build "$BUILD" --out "$RUN_DIR/out" --state "$STATE" \
  --subnet "$SUBNET" --slot "$SLOT" "${display_args[@]}" "${args[@]}"

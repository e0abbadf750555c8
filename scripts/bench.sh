#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine; prints their figures.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/configure.sh"
"$ROOT/scripts/setup-test-network.sh"
command -v curl >/dev/null || apt-get install -y -q curl
# ip and tc: the shaped lines.
command -v tc >/dev/null || apt-get install -y -q iproute2
"$BUILD_DIR/wine-run.sh" --init

echo "== Program file"
stat -c "%n: %s bytes" "$BUILD_DIR"/app/*_web.exe
echo "== CRC-32"
"$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bench/crc_bench.exe"
echo "== Fresh memory, a new file's pages and an idle thread under Wine"
"$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bench/page_bench.exe"
echo "== Download: FileDownload workers, bare WinINet loop, curl"
python3 "$ROOT/bench/download_bench.py" --build "$BUILD_DIR" --source "$ROOT"
# The subnet of the names the nginx benchmarks serve under (10..19).
bench_subnet="${VELTRA_BENCH_SUBNET:-19}"
echo "== Download of a published release of 500 MB from nginx; 2,000 files of 1 KB"
python3 "$ROOT/bench/nginx_bench.py" --build "$BUILD_DIR" --source "$ROOT" \
  --publisher "$BUILD_DIR/native/publisher/publisher" --subnet "$bench_subnet"
echo "== The whole program on lines shaped to 8 and 50 Mbit/s"
python3 "$ROOT/bench/shaped_bench.py" --build "$BUILD_DIR" --source "$ROOT" \
  --publisher "$BUILD_DIR/native/publisher/publisher" --subnet "$bench_subnet"
# The lines with delay and loss of ../shared/wan (VELTRA_WAN_DIR), with the
# server's congestion control VELTRA_BENCH_CONGESTION (cubic or bbr), and the
# program of another source tree beside ours when VELTRA_BENCH_BASE names
# one (e.g. an export of main before a change).
echo "== Clients side by side on lines with delay and loss"
command -v aria2c >/dev/null || apt-get install -y -q aria2
wan_args=(--congestion "${VELTRA_BENCH_CONGESTION:-cubic}")
[ -z "${VELTRA_WAN_DIR:-}" ] || wan_args+=(--wan "$VELTRA_WAN_DIR")
[ -z "${VELTRA_BENCH_BASE:-}" ] || wan_args+=(--program-base "$VELTRA_BENCH_BASE")
python3 "$ROOT/bench/wan_bench.py" --build "$BUILD_DIR" --source "$ROOT" \
  --publisher "$BUILD_DIR/native/publisher/publisher" --subnet "$bench_subnet" "${wan_args[@]}"

# The integration tests' hosts and programs, on the build's test subnet.
echo "== A second host of the release: both up, and the first one failing"
python3 "$ROOT/bench/mirror_bench.py" --build "$BUILD_DIR" --source "$ROOT"

echo "== Verifying and merging a release on disk"
"$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bench/manager_bench.exe"
# The same steps with the files dropped from the cache before each one, so
# that every read comes from the disk.
echo "Release of 500 MB on disk, read from the disk"
bench_files=("$BUILD_DIR"/wineprefix/drive_c/users/*/Temp)
manager_step() {
  python3 "$ROOT/bench/evict_cache.py" "${bench_files[@]}"
  "$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bench/manager_bench.exe" "$1"
}
"$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bench/manager_bench.exe" prepare
for step in rawparts merge rawfinals verify; do manager_step "$step"; done
"$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bench/manager_bench.exe" clean

echo "== Whole runs of the manager: 2,000 small files; memory with failing parts"
python3 "$ROOT/bench/release_bench.py" --build "$BUILD_DIR" --source "$ROOT"

echo "== The log service: 500 uploads a second through nginx, SQLite, PostgreSQL, the old stand-in"
python3 "$ROOT/bench/logservice_bench.py" --logservice "$BUILD_DIR/native/logservice/logservice" \
  --subnet "$bench_subnet"

echo "== Checking the signature of a setup of 200 MB"
python3 "$ROOT/bench/setupsignature_bench.py" --build "$BUILD_DIR"

echo "== Publishing a release of 1 GB against cat"
python3 "$ROOT/bench/publish_bench.py" "$BUILD_DIR/native/publisher/publisher" "$BUILD_DIR"

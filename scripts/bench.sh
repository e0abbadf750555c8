#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine; prints their figures.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/configure.sh"
"$ROOT/scripts/setup-test-network.sh"
command -v curl >/dev/null || apt-get install -y -q curl
"$BUILD_DIR/wine-run.sh" --init

echo "== CRC-32"
"$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bench/crc_bench.exe"
echo "== Download: FileDownload workers, bare WinINet loop, curl"
python3 "$ROOT/bench/download_bench.py" --build "$BUILD_DIR" --source "$ROOT"

echo "== Verifying and merging a release on disk"
"$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bench/manager_bench.exe"

#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine; prints their figures.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/configure.sh"
"$BUILD_DIR/wine-run.sh" --init
"$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bench/crc_bench.exe"
"$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bench/manager_bench.exe"

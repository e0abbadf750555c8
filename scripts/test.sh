#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under Wine.
# Extra arguments go to ctest, e.g. `scripts/test.sh -L unit`.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/configure.sh"

status=0
(cd "$BUILD_DIR" && ctest --output-on-failure --parallel 2 "$@") || status=$?
# Let the build's wineserver go, so nothing outlives the run.
WINEPREFIX="$BUILD_DIR/wineprefix" wineserver -k 2>/dev/null || true
exit $status

#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under Wine.
# Extra arguments go to ctest, e.g. `scripts/test.sh -L unit`.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/configure.sh"

# Test CA, certificate and host names for the test servers (idempotent).
"$ROOT/scripts/setup-test-network.sh"

status=0
(cd "$BUILD_DIR" && ctest --output-on-failure --parallel 2 "$@") || status=$?
# CTest's fixtures stop the test servers; this catches any that an
# interrupted run left behind, so nothing outlives the run.
for state in "$BUILD_DIR"/testhosts/*/; do
  [ -d "$state" ] && "$ROOT/tests/hosts/hostctl.sh" stop "$state"
done
"$ROOT/scripts/services.sh" stop "$BUILD_DIR/e2e/services"
# Let the build's wineserver and virtual X server go, so nothing outlives
# the run.
"$ROOT/tests/wine/xvfb.sh" stop "$BUILD_DIR/xvfb" "$BUILD_DIR/wineprefix"
exit $status

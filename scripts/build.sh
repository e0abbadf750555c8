#!/usr/bin/env bash
# The plain build: installs what is missing and builds everything into build/
# (the main job, scripts/run.sh, builds what it needs by itself).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/configure.sh"
echo "Built into $BUILD_DIR"

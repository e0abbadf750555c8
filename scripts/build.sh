#!/usr/bin/env bash
# The main job: installs what is missing and builds everything into build/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/configure.sh"
echo "Built into $BUILD_DIR"

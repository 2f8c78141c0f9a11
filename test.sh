#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
export QT_QPA_PLATFORM=offscreen
"$top/scripts/setup.sh" build
ctest --test-dir "$top/build" --output-on-failure -j2 --timeout 600

#!/usr/bin/env bash
# Installs what is missing, builds, and starts the console against the built-in
# simulated generator. Extra arguments go to the console (e.g. --port /dev/ttyUSB0
# instead of the simulator).
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/setup.sh" build
if [[ $# -eq 0 ]]; then
    exec "$top/build/shell/ondrel" --simulate
fi
exec "$top/build/shell/ondrel" "$@"

#!/usr/bin/env bash
# Installs what is missing, builds, and starts the console against the built-in
# simulated generator. Arguments go to the console; with --port DEVICE it talks
# to that device instead of the simulator (./run.sh --port /dev/ttyUSB0).
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/setup.sh" build
args=("$@")
simulate=1
for a in "${args[@]}"; do
    case $a in
    --port | --port=* | --simulate) simulate=0 ;;
    esac
done
((simulate)) && args=(--simulate "${args[@]}")
exec "$top/build/shell/ondrel" "${args[@]}"

#!/usr/bin/env bash
# Installs what is missing, builds the console alone, and starts it against the
# built-in simulated generator. Arguments go to the console; with --port DEVICE
# it talks to that device instead of the simulator (./run.sh --port /dev/ttyUSB0).
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
echo "run.sh: installing missing packages and building the console in build/ (the log is build/run-build.log)..."
ONDREL_BUILD_TARGETS=ondrel ONDREL_BUILD_LOG="$top/build/run-build.log" "$top/scripts/setup.sh" build
args=("$@")
simulate=1
for a in "${args[@]}"; do
    case $a in
    --port | --port=* | --simulate | -h | --help | -v | --version | --list-ports) simulate=0 ;;
    esac
done
((simulate)) && args=(--simulate "${args[@]}")
exec "$top/build/shell/ondrel" "${args[@]}"

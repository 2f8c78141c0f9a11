#!/usr/bin/env bash
# Instructions of one status poll on the console's side, counted by callgrind:
# they repeat from run to run where CPU seconds on a shared machine do not, so
# this is the figure to compare a change against.
#
#   bench/callgrind_poll.sh [BUILD_DIR] [TICKS]     (defaults: build, 50)
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build}
ticks=${2:-50}
[[ $build = /* ]] || build=$top/$build
for tool in valgrind callgrind_annotate; do
    command -v "$tool" >/dev/null || { echo "callgrind_poll: $tool is not installed (apt-get install valgrind)" >&2; exit 1; }
done
for program in "$build/sim/ondrel-sim" "$build/bench/bench_pollcost"; do
    [[ -x $program ]] || { echo "callgrind_poll: $program is missing; build it first" >&2; exit 1; }
done

work=$(mktemp -d)
sim_pid=
cleanup() {
    [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# The generator at line speed, in a process of its own, as in bench_poll.
"$build/sim/ondrel-sim" --baud-pace --quiet --turnaround 2 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
    [[ -s $work/sim.out ]] && break
    sleep 0.1
done
port=$(head -n 1 "$work/sim.out")
[[ $port == /dev/* ]] || { echo "callgrind_poll: the simulator named no device" >&2; exit 1; }

valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$work/out" \
    "$build/bench/bench_pollcost" --port "$port" --ticks "$ticks" >"$work/run.out" 2>"$work/run.err" || {
    cat "$work/run.err" >&2
    exit 1
}
callgrind_annotate --inclusive=yes --threshold=100 "$work/out" >"$work/annotate" 2>/dev/null
total=$(grep -m1 'PROGRAM TOTALS' "$work/annotate" | awk '{gsub(",", "", $1); print $1}')
inclusive() {
    # Inclusive instructions of the first function whose name matches $1.
    grep -m1 -E "$1" "$work/annotate" | awk '{gsub(",", "", $1); print $1}'
}
poll=$(inclusive 'ondrel::COndrelView::PollStatus\(\)')
paint=$(inclusive 'QWidgetRepaintManager::sync\(\)')
per() { awk -v a="${1:-0}" -v t="$ticks" 'BEGIN { printf "%.0f", a / t }'; }
echo "instructions per poll (callgrind, $ticks ticks of the 200 ms timer, offscreen): $(per "$total")"
echo "  of which in PollStatus (both exchanges, the form's texts): $(per "$poll")"
echo "  of which in repainting (QWidgetRepaintManager::sync): $(per "$paint")"
grep '^paints of' "$work/run.out" | sed 's/^/  /' || true

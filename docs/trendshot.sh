#!/usr/bin/env bash
# Makes docs/trend.png: the console and its trend window against the built-in
# simulated generator in real time (two minutes X-rays off, one minute on, then
# the generator falls silent), shown by a real X server (Xvfb). Takes about
# three and a half minutes.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# Setup installs the X virtual framebuffer with everything else the build needs.
"$top/scripts/setup.sh" build
cmake --build "$top/build" --target ondrel-trendshot -j"$(nproc)"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1600x900x24" \
    "$top/build/docs/ondrel-trendshot" "$top/docs/trend.png" "$@"
echo "wrote docs/trend.png"

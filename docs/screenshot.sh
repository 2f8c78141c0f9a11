#!/usr/bin/env bash
# Makes docs/console.png: the console against its built-in simulated generator,
# both presets chosen and X-rays on, shown by a real X server (Xvfb).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# Setup installs the X virtual framebuffer with everything else the build needs.
"$top/scripts/setup.sh" build
cmake --build "$top/build" --target ondrel-screenshot -j"$(nproc)"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" \
    "$top/build/docs/ondrel-screenshot" "$top/docs/console.png"
echo "wrote docs/console.png"

#!/usr/bin/env bash
# Makes docs/fleet.png: the fleet window with a dozen generators in mixed states,
# shown by a real X server (Xvfb).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# Setup installs the X virtual framebuffer with everything else the build needs.
"$top/scripts/setup.sh" build
cmake --build "$top/build" --target ondrel-fleetshot -j"$(nproc)"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1600x900x24" \
    "$top/build/docs/ondrel-fleetshot" "$top/docs/fleet.png"
echo "wrote docs/fleet.png"

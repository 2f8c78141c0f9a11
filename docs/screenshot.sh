#!/usr/bin/env bash
# Makes docs/console.png: the console against its built-in simulated generator,
# both presets chosen and X-rays on, shown by a real X server (Xvfb).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v xvfb-run >/dev/null; then
    if [[ $(id -u) -eq 0 ]]; then
        apt-get install -y -qq xvfb xauth
    else
        echo "Install the X virtual framebuffer as root: apt-get install -y xvfb xauth" >&2
        exit 1
    fi
fi
"$top/scripts/setup.sh" build
cmake --build "$top/build" --target ondrel-screenshot -j"$(nproc)"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" \
    "$top/build/docs/ondrel-screenshot" "$top/docs/console.png"
echo "wrote docs/console.png"

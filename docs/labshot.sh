#!/usr/bin/env bash
# Makes docs/lab-live.png and docs/lab-history.png: the live page and the history
# page of `ondrel-lab serve --listen` in headless Chromium, against a real
# mosquitto and a dozen consoles in mixed states.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# Setup installs mosquitto, Chromium and its driver with everything else the build needs.
ONDREL_BUILD_TARGETS="ondrel-lab ondrel-labshot" "$top/scripts/setup.sh" build
"$top/build/docs/ondrel-labshot" "$top/docs/lab-live.png" "$top/docs/lab-history.png"
echo "wrote docs/lab-live.png and docs/lab-history.png"

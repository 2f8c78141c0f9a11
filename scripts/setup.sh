#!/usr/bin/env bash
# Shared set-up of run.sh and test.sh: installs the Debian packages the build
# and the suite need when they are missing, then configures and builds.
# Usage: scripts/setup.sh BUILD_DIR [extra cmake args...]
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-serialport-dev qt6-charts-dev libqt6opengl6-dev qt6-qpa-plugins libgl-dev
    fonts-dejavu-core
    clang libclang-rt-14-dev
    python3 python3-serial
    help2man dpkg-dev file lintian appstream desktop-file-utils man-db
    mosquitto mosquitto-clients libmosquitto-dev openssl
    xvfb xauth libx11-dev libxfixes-dev
    valgrind
    libsqlite3-dev tzdata
    postgresql-15 libpq-dev
    libcivetweb-dev libssl-dev libjs-chart.js chromium chromium-driver python3-selenium
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    if [[ $(id -u) -eq 0 ]]; then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
    else
        echo "These Debian packages are missing; install them as root with:" >&2
        echo "  apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
fi

build_dir=${1:-build}
shift || true
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# ONDREL_BUILD_TARGETS limits the build to those targets (run.sh builds only the
# console); ONDREL_BUILD_LOG sends the build's progress to that file instead of
# the terminal, which then sees the log's end only when the build fails.
targets=()
for t in ${ONDREL_BUILD_TARGETS:-}; do
    targets+=(--target "$t")
done
build() {
    cmake -S "$top" -B "$top/$build_dir" "$@" >/dev/null &&
        cmake --build "$top/$build_dir" "${targets[@]}" -j"$(nproc)"
}
if [[ -n ${ONDREL_BUILD_LOG:-} ]]; then
    mkdir -p "$(dirname "$ONDREL_BUILD_LOG")"
    if ! build "$@" >"$ONDREL_BUILD_LOG" 2>&1; then
        tail -n 40 "$ONDREL_BUILD_LOG" >&2
        echo "The build failed; its whole output is in $ONDREL_BUILD_LOG" >&2
        exit 1
    fi
else
    build "$@"
fi

#!/usr/bin/env bash
# Shared set-up of run.sh and test.sh: installs the Debian packages the build
# and the suite need when they are missing, then configures and builds.
# Usage: scripts/setup.sh BUILD_DIR [extra cmake args...]
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libgl-dev
    fonts-dejavu-core
    clang libclang-rt-14-dev
    python3 python3-serial
    xvfb xauth libx11-dev libxfixes-dev
    valgrind
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
cmake -S "$top" -B "$top/$build_dir" "$@" >/dev/null
cmake --build "$top/$build_dir" -j"$(nproc)"

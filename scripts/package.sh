#!/usr/bin/env bash
# Builds the Debian package in one command: installs the build's packages when
# they are missing (as root; otherwise prints the apt-get line), builds build/
# as scripts/setup.sh does, and leaves ondrel_<version>_<arch>.deb in the
# checkout's top folder, or in OUTPUT_DIR.
# Usage: scripts/package.sh [OUTPUT_DIR]
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$(realpath -m "${1:-$top}")

"$top/scripts/setup.sh" build
if [[ ! -f $top/build/CPackConfig.cmake ]]; then
    echo "package.sh: build/ makes no package (configured with ONDREL_SANITIZE or ONDREL_FUZZ," \
        "or without help2man); remove build/ and run this again" >&2
    exit 1
fi
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
(cd "$top/build" && cpack -G DEB -B "$staging" >"$staging/cpack.log") || {
    cat "$staging/cpack.log" >&2
    exit 1
}
mkdir -p "$out"
for deb in "$staging"/*.deb; do
    mv -f "$deb" "$out/"
    echo "$out/$(basename "$deb")"
done

#!/usr/bin/env bash
# Makes the release files in build/release/ with CPack: the Debian package (tervo-pack, the
# launcher stub, the manual page, the CMake package, the README and the copyright) and the Windows
# zip (tervo-pack.exe, the launcher stub, the README and the licence), each with a .sha256 file.
# Sets up and builds first (see setup.sh). Every file in them carries the time of the last commit
# ($SOURCE_DATE_EPOCH unless set), so two runs from one commit give the same contents.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    if ! SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null); then
        echo "release.sh: $root is not a git checkout; set SOURCE_DATE_EPOCH to the release time" >&2
        exit 1
    fi
fi
export SOURCE_DATE_EPOCH
if [ -n "$(git -C "$root" status --porcelain 2>/dev/null)" ]; then
    echo "release.sh: warning: the checkout has uncommitted changes; the files are built from them" >&2
fi
"$root/scripts/setup.sh"

build=$root/build
release=$build/release
mkdir -p "$release"
cpack --config "$build/host/CPackConfig.cmake" -B "$build/cpack/host" -D CPACK_OUTPUT_FILE_PREFIX="$release"
cpack --config "$build/CPackConfig.cmake" -B "$build/cpack/windows" -D CPACK_OUTPUT_FILE_PREFIX="$release"
echo
echo "Release files in $release:"
(cd "$release" && ls -l -- *.deb *.zip && cat -- *.sha256)

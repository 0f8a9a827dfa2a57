#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (when missing), then configures and
# builds everything: the Windows programs with mingw-w64 into build/, then the native Linux
# tervo-pack and its tests with the host compiler into build/host/. Run by demo.sh and test.sh.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"

packages=(cmake ninja-build mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 wixl msitools googletest
          xvfb xdotool x11-apps imagemagick osslsigncode openssl icoutils util-linux
          g++ pkg-config libmsi-dev libglib2.0-dev time file dpkg-dev xxhash python3)
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
cmake --build "$build"
cmake -S "$root" -B "$build/host" -G Ninja -DTERVO_WINDOWS_BIN="$build/bin"
cmake --build "$build/host"

#!/usr/bin/env bash
# Sets up and builds (see setup.sh), then runs the main job on the built-in sample: the native
# tervo-pack wraps the sample package into setup.exe on Linux, which is then installed silently
# under Wine, and uninstalled.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"

build=$root/build
demo=$build/demo
prefix=$build/wineprefix-demo
mkdir -p "$demo"
wine_run() { "$root/cmake/wine-run.sh" "$prefix" "$@"; }
# run-report prints the full 32-bit exit code, which Linux would cut to 8 bits.
run_setup() { wine_run "$build/bin/run-report.exe" "\"$(wine_run winepath -w "$demo/setup.exe" | tr -d '\r')\" $*" | tr -d '\r'; }
installed="$prefix/drive_c/Program Files/Tervo Hello"
wine_run cmd /c exit >/dev/null 2>&1

echo
echo "== Packing on Linux: build/host/bin/tervo-pack build/samples/hello.msi -o build/demo/setup.exe"
"$build/host/bin/tervo-pack" "$build/samples/hello.msi" -o "$demo/setup.exe"
"$build/host/bin/tervo-pack" --inspect "$demo/setup.exe"

echo
echo "== Installing: setup.exe /qn"
run_setup /qn
echo "Installed files in C:\\Program Files\\Tervo Hello:"
ls -l "$installed"
echo "readme.txt says: $(cat "$installed/readme.txt")"
log=$(ls -t "$prefix"/drive_c/users/*/Temp/Tervo\ Hello_*.log | head -n 1)
echo "The install's log, kept in %TEMP%: $(basename "$log") ($(grep -c . "$log") lines)"
cache="$prefix/drive_c/ProgramData/Tervo/Package Cache"
echo "The package, kept for repairs in C:\\ProgramData\\Tervo\\Package Cache: $(cd "$cache" && ls -d */* 2>/dev/null)"

echo
echo "== Uninstalling: setup.exe uninstall"
run_setup uninstall
if [ -e "$installed/readme.txt" ]; then
    echo "FAILED: $installed/readme.txt is still there"
    exit 1
fi
echo "The files are gone: C:\\Program Files\\Tervo Hello no longer holds readme.txt."
if [ -n "$(ls -A "$cache" 2>/dev/null)" ]; then
    echo "FAILED: the package cache still holds $(ls "$cache")"
    exit 1
fi
echo "And so is the cached package."

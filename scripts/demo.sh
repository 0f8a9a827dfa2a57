#!/usr/bin/env bash
# Sets up and builds (see setup.sh), then runs the main job on the built-in sample: the sample
# package wrapped into a launcher is installed silently under Wine, then uninstalled.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"

build=$root/build
prefix=$build/wineprefix-demo
wine_run() { "$root/cmake/wine-run.sh" "$prefix" "$@"; }
# run-report prints the full 32-bit exit code, which Linux would cut to 8 bits.
run_setup() { wine_run "$build/bin/run-report.exe" "\"$(wine_run winepath -w "$build/bin/tervo-sample-setup.exe" | tr -d '\r')\" $*" | tr -d '\r'; }
installed="$prefix/drive_c/Program Files/Tervo Hello"

echo
echo "== Installing: tervo-sample-setup.exe /qn"
run_setup /qn
echo "Installed files in C:\\Program Files\\Tervo Hello:"
ls -l "$installed"
echo "readme.txt says: $(cat "$installed/readme.txt")"

echo
echo "== Uninstalling: tervo-sample-setup.exe uninstall"
run_setup uninstall
if [ -e "$installed/readme.txt" ]; then
    echo "FAILED: $installed/readme.txt is still there"
    exit 1
fi
echo "The files are gone: C:\\Program Files\\Tervo Hello no longer holds readme.txt."

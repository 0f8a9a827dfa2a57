#!/usr/bin/env bash
# The Windows zip: its files; unzipped anywhere, its tervo-pack.exe packs with the stub beside it
# under Wine; two runs give the same zip byte for byte.
# Usage: zip-package.sh SOURCE_DIR BUILD_DIR VERSION PACKAGE
set -euo pipefail
source_dir=$1 build=$2 version=$3 package=$4
work=$build/zip-package
rm -rf "$work"
mkdir -p "$work"
fail() { echo "FAIL: $*"; exit 1; }
export SOURCE_DATE_EPOCH=1767225600
make_zip() {
    cpack --config "$build/CPackConfig.cmake" -B "$1" >"$1.log" 2>&1 || { cat "$1.log" >&2; exit 1; }
    echo "$1/tervo-$version-win64.zip"
}
zip=$(make_zip "$work/first")
cmp "$zip" "$(make_zip "$work/second")" || fail "two runs give different zips"

top=tervo-$version-win64
cmake -E tar tf "$zip" | sort >"$work/files.txt"
diff - "$work/files.txt" <<LIST || fail "unexpected files"
$top/LICENSE
$top/README.md
$top/tervo-launcher.exe
$top/tervo-pack.exe
LIST

unzipped="$work/unzipped ä"
mkdir "$unzipped"
(cd "$unzipped" && cmake -E tar xf "$zip")
run() { "$source_dir/cmake/wine-run.sh" "$build/wineprefix" "$@"; }
win() { run winepath -w "$1" | tr -d '\r'; }
# A Wine server started here must not hold this script's output open after it ends.
run cmd /c exit >/dev/null 2>&1
tool=$(win "$unzipped/$top/tervo-pack.exe")
run "$tool" "$(win "$package")" -o "$(win "$work/setup.exe")" --quiet || fail "the unzipped tool does not pack"
run "$tool" --inspect "$(win "$work/setup.exe")" | tr -d '\r' >"$work/inspect.txt"
grep -qx "Made by:       Tervo $version" "$work/inspect.txt" || fail "not packed with the zip's stub: $(cat "$work/inspect.txt")"
echo "the zip has the expected files, works unzipped, and is the same from two runs"
